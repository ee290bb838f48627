#include "run/findings.h"

#include "completion/design_log.h"
#include "host/host_codes.h"
#include "pdm/pdm_requests.h"
#include "platform/os.h"
#include "run/check_map.h"
#include "run/host_texts.h"
#include "server/pdm_server.h"
#include "session/messages.h"
#include "session/settings.h"
#include "texts/texts.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

namespace clonesim {

namespace {

// The length the library gave a text, in the host's bytes: the findings
// read texts already converted to UTF-8, where a "u" with umlaut takes two.
std::size_t host_size(const std::string& text)
{
    const auto in_host = os::to_host_text(text);
    return in_host.has_value() ? in_host->size() : text.size();
}

constexpr const char* map_file_variable = kx::setting::import_attr_map_file;

// The texts that separate the fields of a request's input: "/" (revision
// checks, new items, related names), "#" (native file names, publishing),
// "~~" (names and descriptions, where a "~" at either end makes "~~" with
// the separator next to it).
std::optional<std::string> separator_in(std::string_view value, bool name_request)
{
    if (name_request) {
        if (value.find("~~") != std::string_view::npos) return "~~";
        if (!value.empty() && value.front() == '~') return "begins with";
        if (!value.empty() && value.back() == '~') return "ends with";
        return std::nullopt;
    }
    for (const char* separator : {"/", "#", "~~"})
        if (value.find(separator) != std::string_view::npos) return separator;
    return std::nullopt;
}

// The prefixes of the names a site sets for the library or its host; a
// name with another prefix is not taken for a misspelling.
constexpr std::array<std::string_view, 4> setting_prefixes = {"KXPDM_", "HOST_PDM_", "PDM_", "USER_NAME_"};

std::string folded_name(std::string_view name)
{
    std::string out;
    for (const char c : name)
        if (c != '_') out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The variable the library reads that `name` looks like a slip of, when it
// is not one itself.
std::optional<std::string_view> meant_variable(const std::string& name)
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const bool site_name = std::any_of(setting_prefixes.begin(), setting_prefixes.end(),
                                       [&](std::string_view prefix) { return upper.rfind(prefix, 0) == 0; });
    if (!site_name) return std::nullopt;
    const auto& known = kx::setting::environment_variables;
    if (std::find(known.begin(), known.end(), name) != known.end()) return std::nullopt;
    for (const std::string_view variable : known)
        if (folded_name(variable) == folded_name(name)) return variable;
    for (const std::string_view variable : known)
        if (edit_distance(folded_name(variable), folded_name(name)) <= 2) return variable;
    return std::nullopt;
}

class gatherer {
public:
    explicit gatherer(const run_outcome& run) : run_(run) {}

    std::vector<finding> all()
    {
        link_refusals_to_texts();
        link_programs_to_boxes();
        separators();
        scenario_checks();
        refused_parts();
        texts_shown();
        requests();
        saves();
        existing_items();
        names_of_one_revision();
        stored_texts();
        design_logs_cut();
        dry_run();
        site_programs();
        unused_numbers();
        host_state();
        standard_output();
        return std::move(found_);
    }

private:
    void add(severity level, const char* kind, std::string part_name, std::string text)
    {
        found_.push_back(finding{level, kind, std::move(part_name), std::move(text)});
    }

    // The part whose database name or item ID this is, "" when none is.
    // Asked once for every file of a session, so the first part of each
    // name is indexed once rather than looked for among all the parts.
    std::string part_of_file(const std::string& path) const
    {
        if (!by_file_.has_value()) {
            by_file_.emplace();
            for (const part_outcome& part : run_.parts)
                if (part.new_name.has_value()) by_file_->emplace(*part.new_name, part.name);
        }
        const auto found = by_file_->find(path);
        return found != by_file_->end() ? found->second : std::string();
    }
    std::string part_of_item(const std::string& item_id) const
    {
        if (!by_item_.has_value()) {
            by_item_.emplace();
            for (const part_outcome& part : run_.parts)
                if (part.translated) by_item_->emplace(part.item_id, part.name);
        }
        const auto found = by_item_->find(item_id);
        return found != by_item_->end() ? found->second : std::string();
    }

    void scenario_checks()
    {
        const scenario& scene = run_.scene;
        if (scene.parts.empty()) add(severity::warning, "empty_assembly", "", "the session has no parts");
        for (const env_setting& setting : scene.env) {
            const auto meant = meant_variable(setting.name);
            if (!meant.has_value()) continue;
            const bool meant_set = std::any_of(scene.env.begin(), scene.env.end(), [&](const env_setting& other) {
                return other.name == *meant && other.value.has_value();
            });
            add(severity::warning, "misspelt_variable", "",
                setting.name + " is not a variable the library reads; did you mean " + std::string(*meant) + "?" +
                    (meant_set ? "" : " (the scenario leaves it unset)"));
        }
        if (scene.operation_class != kx::class_import) return;
        for (const env_setting& setting : scene.env) {
            if (setting.name != map_file_variable || !setting.value.has_value() || setting.value->empty()) continue;
            const std::filesystem::path path = std::filesystem::path(scene.directory) / file_named(run_, *setting.value);
            const std::string name = scenario_name(*setting.value);
            const map_check check = check_map(path);
            if (check.readable) {
                mapping_lines(name, check);
                continue;
            }
            add(severity::warning, "mapping_file_unreadable", "",
                std::string(map_file_variable) + " names " + quote(name) + ", which cannot be read (" +
                    (check.folder ? std::string("it is a folder") : check.unreadable_why) +
                    "): no attribute of any part is mapped" + printed_not_opened(*setting.value, name));
        }
    }

    // The lines of the mapping file that do not do what they look like, in
    // check-map's words.
    void mapping_lines(const std::string& name, const map_check& check)
    {
        // Saved by an editor in UTF-8 while the host reads its code page: the
        // titles silently match no attribute, so it is said here.
        if (check.saved_as_utf8)
            add(severity::warning, "mapping_file_encoding", "",
                "mapping file " + name + " is saved as UTF-8; the host reads it in " + check.host_code_page);
        for (const map_line_verdict& line : check.lines)
            if (misleads(line)) add(severity::warning, "mapping_line", "", "mapping file " + name + " " + map_line_text(line));
        for (int line = check.unread_from; line != 0 && line <= check.last_line; ++line)
            add(severity::warning, "mapping_line", "",
                "mapping file " + name + " line " + std::to_string(line) + ": " + unread_text());
    }

    // The library's line for a mapping file it could not open, with the
    // name the session used.
    std::string printed_not_opened(const std::string& placed, const std::string& name)
    {
        std::string printed = kx::msg::import_map_not_opened(placed);
        printed.pop_back();
        const std::string seen = printed_line([&](const std::string& line) { return line == printed; });
        if (seen.empty()) return seen;
        std::string as_named = kx::msg::import_map_not_opened(name);
        as_named.pop_back();
        return "; the library printed " + quote_folded(as_named);
    }

    // A file the run placed in a folder of its own goes by the name the
    // scenario gave it, which is the one the session used.
    std::string scenario_name(const std::string& placed) const
    {
        for (const auto& [own, placed_as] : run_.stand_ins)
            if (placed_as == placed) return own;
        return placed;
    }

    // Where the session ended, for a refusal.
    std::string stop_text() const
    {
        if (!stop_text_.empty()) return stop_text_;
        std::size_t not_reached = 0;
        for (const part_outcome& part : run_.parts)
            if (!part.translated) ++not_reached;
        const std::string& at = run_.session.refused_at;
        std::string text = "the session stopped at " + (at.empty()            ? std::string("Exit_Clone")
                                                        : at == "translation" ? std::string("this part's translation")
                                                                              : at);
        if (not_reached > 0) text += ", " + count_of(not_reached, "part", "parts") + " not reached";
        stop_text_ = text;
        return text;
    }

    void refused_parts()
    {
        for (const part_outcome& part : run_.parts) {
            if (!part.translated || part.status == 0 || !part.messages.empty()) continue;
            add(severity::error, "refused_without_message", part.name,
                "refused (status " + std::to_string(part.status) + ") with no message shown; " + stop_text());
        }
    }

    // A box or listing text that follows a refused request is what the user
    // saw of that refusal: it goes into the request's finding, not one of
    // its own, so that one cause is counted once.
    void link_refusals_to_texts()
    {
        for (std::size_t i = 0; i < run_.requests.size() && i < run_.request_notes.size(); ++i) {
            const request_note& note = run_.request_notes[i];
            if (!note.refused && !note.malformed) continue;
            const bool last = i + 1 >= run_.request_notes.size();
            const std::size_t boxes_end = last ? run_.message_boxes.size() : run_.request_notes[i + 1].boxes_before;
            const std::size_t listing_end =
                last ? run_.listing_texts.size() : run_.request_notes[i + 1].listing_before;
            if (note.boxes_before < boxes_end && note.boxes_before < run_.message_boxes.size())
                box_of_request_[note.boxes_before] = i;
            else if (note.listing_before < listing_end && note.listing_before < run_.listing_texts.size())
                listing_of_request_[note.listing_before] = i;
        }
    }

    // The site program's answer that a part's refusal box follows from.
    std::string program_answer(const std::string& part_name)
    {
        for (const program_run& program : run_.program_runs)
            if (program.exit_status != 0 && program.program != "item ID check" && !program.arguments.empty() &&
                program.arguments.back() == part_name)
                return "; the " + program.program + " had exited with " + std::to_string(program.exit_status) +
                       printed_exit(program);
        return {};
    }

    // A site program that could not run is the cause of the box its part
    // then shows: the box goes into the program's finding.
    void link_programs_to_boxes()
    {
        for (const program_run& program : run_.program_runs) {
            if (program.arguments.empty() || why_not_run(program).empty()) continue;
            for (std::size_t i = 0; i < run_.box_parts.size(); ++i)
                if (run_.box_parts[i] == program.arguments.back() && box_of_request_.count(i) == 0) {
                    box_of_program_[i] = &program;
                    break;
                }
        }
    }

    // A part refused for a field that holds a request's separator, and a
    // name or description not sent for one: the finding names the field and
    // the separator, and takes in the text the user saw.
    void separators()
    {
        for (const part_outcome& part : run_.parts) {
            if (!part.translated) continue;
            if (part.status != 0 && !part.messages.empty() &&
                (part.messages.front() == kx::msg::identity || part.messages.front() == kx::msg::relation))
                refused_for_separator(part);
            if (part.status == 0) name_not_sent(part);
        }
    }

    const sim::clone_part* scenario_part(const std::string& name) const
    {
        for (const sim::clone_part& part : run_.scene.parts)
            if (part.name == name) return &part;
        return nullptr;
    }

    void refused_for_separator(const part_outcome& part)
    {
        const sim::clone_part* source = scenario_part(part.name);
        if (source == nullptr) return;
        std::string field, value, separator;
        const auto look = [&](const std::string& what, const std::optional<std::string>& text) {
            if (!field.empty() || !text.has_value()) return;
            if (const auto found = separator_in(*text, false)) {
                field = what;
                value = *text;
                separator = *found;
            }
        };
        const std::set<std::string> titles = identity_titles();
        for (const auto& [title, text] : source->attributes)
            if (titles.count(title) != 0) look("the attribute " + quote(title), text);
        look("the part's item type", source->item_type);
        look("the dialog's item type", run_.scene.def_item_type);
        for (std::size_t i = 0; i < run_.requests.size() && i < run_.request_notes.size(); ++i)
            if (run_.request_notes[i].part_name == part.name && run_.requests[i].code == kx::request_get_related_name)
                look("the related name the server gave", run_.requests[i].reply);
        if (field.empty()) return;
        std::string text = "refused (status " + std::to_string(part.status) + "): " + field + " " + quote_folded(value) +
                           " holds " + quote(separator) + ", which separates the fields of a PDM request";
        for (std::size_t i = 0; i < run_.box_parts.size(); ++i)
            if (run_.box_parts[i] == part.name && box_of_request_.count(i) == 0 && box_of_program_.count(i) == 0) {
                box_of_separator_.insert(i);
                text += "; the user saw the error box " + quote_folded(run_.message_boxes[i].message);
                break;
            }
        add(severity::error, "separator_in_field", part.name, std::move(text));
    }

    // The attributes whose values go into the identity requests: the
    // library's own titles and those the mapping file gives the item ID
    // and revision.
    std::set<std::string> identity_titles() const
    {
        std::set<std::string> titles = {"DB_PART_NO", "DB_PART_REV", "DB_PART_TYPE", "RELATION", "CONTEXT"};
        for (const env_setting& setting : run_.scene.env) {
            if (setting.name != map_file_variable || !setting.value.has_value() || setting.value->empty()) continue;
            const map_check check = check_map(std::filesystem::path(run_.scene.directory) / file_named(run_, *setting.value));
            for (const auto& [key, entry] : check.keys)
                if (entry.has_value() && (key == "DB_PART_NO" || key == "DB_PART_REV")) titles.insert(entry->title);
        }
        return titles;
    }

    void name_not_sent(const part_outcome& part)
    {
        const std::string not_sent = kx::msg::name_description_not_sent(part.name);
        for (std::size_t i = 0; i < run_.listing_texts.size(); ++i) {
            if (run_.listing_parts[i] != part.name || run_.listing_texts[i] != not_sent) continue;
            std::string text;
            for (const auto& [what, value, cut] : {std::tuple{"PDM name", part.pdm_name, kx::pdm_name_cut},
                                                   std::tuple{"description", part.pdm_desc, kx::pdm_desc_cut}}) {
                if (!value.has_value()) continue;
                const auto separator = separator_in(std::string_view(*value).substr(0, cut), true);
                if (!separator.has_value()) continue;
                const bool at_end = *separator != "~~";
                text += std::string(text.empty() ? "the " : "; the ") + what + " " + quote_folded(*value) +
                        (value->size() > cut ? " once cut at " + std::to_string(cut) : "") + " " +
                        (at_end ? *separator + " " + quote("~") : "holds " + quote(*separator));
            }
            if (text.empty()) return;
            listing_of_separator_.insert(i);
            add(severity::warning, "separator_in_field", part.name,
                text + ", which separates the fields of set_name_description: the name and description were not "
                       "sent; the user saw in the listing window " + quote_folded(run_.listing_texts[i]));
            return;
        }
    }

    void texts_shown()
    {
        for (std::size_t i = 0; i < run_.message_boxes.size(); ++i) {
            if (box_of_request_.count(i) != 0 || box_of_program_.count(i) != 0 || box_of_separator_.count(i) != 0)
                continue;
            add(severity::error, "error_box", run_.box_parts[i],
                "error box " + quote(run_.message_boxes[i].title) + ": " + quote_folded(run_.message_boxes[i].message) +
                    program_answer(run_.box_parts[i]));
        }
        for (std::size_t i = 0; i < run_.listing_texts.size(); ++i) {
            if (listing_of_request_.count(i) != 0 || listing_of_separator_.count(i) != 0) continue;
            add(severity::warning, "listing_text", run_.listing_parts[i],
                "listing window: " + quote_folded(run_.listing_texts[i]));
        }
    }

    // The lines of standard output that no finding has taken in as what
    // followed from its cause.
    void standard_output()
    {
        const std::vector<std::string> lines = lines_of(run_.standard_output);
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (!lines[i].empty() && explained_lines_.count(i) == 0)
                add(severity::note, "standard_output", "", "standard output: " + quote_folded(lines[i]));
    }

    // The first line of standard output not yet taken in that `matches`,
    // as the text a finding adds; "" when none does.
    template <class Match>
    std::string printed_line(Match&& matches)
    {
        const std::vector<std::string> lines = lines_of(run_.standard_output);
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (explained_lines_.count(i) == 0 && matches(lines[i])) {
                explained_lines_.insert(i);
                return "; the library printed " + quote_folded(lines[i]);
            }
        return {};
    }

    // What the library printed of a site program's exit status.
    std::string printed_exit(const program_run& program)
    {
        if (program.arguments.empty()) return {};
        std::string tail = kx::msg::program_returned("", program.exit_status, program.arguments.back());
        tail.pop_back();
        return printed_line([&](const std::string& line) {
            return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
        });
    }

    // What the user saw of the refusal of request `index`, and what the
    // library did next: the session stopping, or the request it sent after.
    std::string next_step(std::size_t index) const
    {
        std::string seen = "the user was shown nothing";
        for (const auto& [box, request] : box_of_request_)
            if (request == index) seen = "the user saw the error box " + quote_folded(run_.message_boxes[box].message);
        for (const auto& [text, request] : listing_of_request_)
            if (request == index) seen = "the user saw in the listing window " + quote_folded(run_.listing_texts[text]);
        std::string then;
        if (index + 1 < run_.requests.size()) {
            const sim::pdm_request& next = run_.requests[index + 1];
            then = "then the library sent " + std::to_string(next.code) + " " + request_name(next.code);
            if (run_.request_notes[index + 1].refused || run_.request_notes[index + 1].malformed)
                then += " (refused as well)";
        } else if (!run_.session.refused) {
            then = "no request followed";
        }
        bool last_refusal = true;
        for (std::size_t k = index + 1; k < run_.request_notes.size(); ++k)
            last_refusal = last_refusal && !run_.request_notes[k].refused && !run_.request_notes[k].malformed;
        if (run_.session.refused && last_refusal) then += (then.empty() ? "then " : ", and ") + stop_text();
        return seen + "; " + then;
    }

    void requests()
    {
        for (std::size_t i = 0; i < run_.requests.size() && i < run_.request_notes.size(); ++i) {
            const sim::pdm_request& request = run_.requests[i];
            const request_note& note = run_.request_notes[i];
            if (!note.refused && !note.malformed) continue;
            const std::string what = request_name(request.code) + " " +
                                     (request.input.has_value() ? quote_folded(*request.input) : "(no input)");
            const std::string reply = request.reply.has_value() ? ": " + quote_folded(*request.reply) : "";
            if (note.malformed)
                add(severity::error, "request_malformed", note.part_name,
                    "the server could not parse the input of " + what + reply + "; " + next_step(i));
            else
                add(severity::error, "request_refused", note.part_name,
                    "the server refused " + what + " (status " + std::to_string(request.status) + reply + "); " +
                        next_step(i));
        }
    }

    // A failed save and what the session still did with its item are one
    // cause: the finding of the save names what followed it.
    void saves()
    {
        for (const file_change& file : run_.files) {
            if (file.kind != "part file") continue;
            const std::string part_name = part_of_file(file.path);
            if (file.failed_saves > 0) {
                std::string text = "part file " + file.path + ": saved " + count_of(file.saves, "time", "times") + ", " +
                                   count_of(file.failed_saves, "save", "saves") + " failed";
                std::vector<std::string> completed;
                if (const auto name = parse_db_name(file.path))
                    for (const journal_entry& entry : run_.journal)
                        if ((entry.kind == "published" || entry.kind == "back-filled") && entry.item_id == name->item_id)
                            completed.push_back(entry.kind);
                for (const std::string& kind : completed)
                    text += "; then " + parse_db_name(file.path)->item_id + " was " + kind + " all the same";
                add(severity::error, completed.empty() ? "save_failed" : "completed_after_failed_save", part_name,
                    std::move(text));
            }
            if (file.left_open) add(severity::warning, "left_open", part_name, "part file " + file.path + " left open");
        }
    }

    void existing_items()
    {
        // The fields of one item change together (one request sets the
        // name and the description): one finding names them all.
        for (std::size_t i = 0; i < run_.item_changes.size();) {
            const item_change& change = run_.item_changes[i];
            std::string text = "existing item " + change.item_id + ": ";
            const item_change* released = nullptr;  // the first field changed on a released item
            std::size_t k = i;
            for (; k < run_.item_changes.size() && run_.item_changes[k].item_id == change.item_id; ++k) {
                const item_change& field = run_.item_changes[k];
                text += (k == i ? "" : ", ") + field.field + " " + quote_folded(field.was) + " becomes " +
                        quote_folded(field.becomes);
                if (field.released && released == nullptr) released = &field;
            }
            i = k;
            if (released != nullptr) text += " (" + released->released_because + ")";
            add(released ? severity::error : severity::warning,
                released ? "released_item_changed" : "existing_item_changed", part_of_item(change.item_id), text);
        }
    }

    void names_of_one_revision()
    {
        std::map<std::string, const part_outcome*> first;
        for (const part_outcome& part : run_.parts) {
            if (!part.translated || part.status != 0 || part.item_id.empty()) continue;
            const std::string key = part.item_id + "/" + part.rev_id;
            const auto [at, inserted] = first.emplace(key, &part);
            if (inserted) continue;
            const part_outcome& other = *at->second;
            for (const auto& [field, mine, theirs] :
                 {std::tuple{"PDM name", part.pdm_name, other.pdm_name},
                  std::tuple{"description", part.pdm_desc, other.pdm_desc}}) {
                if (mine == theirs) continue;
                add(severity::warning, "names_disagree", part.name,
                    key + " gets the " + field + " " + quote_folded(mine.value_or("")) + " from this part and " +
                        quote_folded(theirs.value_or("")) + " from " + other.name);
            }
        }
    }

    void stored_texts()
    {
        if (run_.scene.operation_class == kx::class_export) return;
        for (const part_outcome& part : run_.parts) {
            if (!part.translated || part.status != 0) continue;
            for (const auto& [field, shown, stored] : {std::tuple{"PDM name", part.pdm_name, part.stored_name},
                                                       std::tuple{"description", part.pdm_desc, part.stored_desc}}) {
                if (!shown.has_value() || !stored.has_value() || stored->empty() || stored->size() >= shown->size() ||
                    shown->compare(0, stored->size(), *stored) != 0)
                    continue;
                add(severity::warning, "stored_cut", part.name,
                    std::string(field) + " stored cut at " + std::to_string(host_size(*stored)) + " of its " +
                        std::to_string(host_size(*shown)) + " bytes: " + quote_folded(*stored, fold_limit / 2));
            }
        }
    }

    // A design-log entry written shorter than the export log's line it came
    // from: the entry is "label  value", so its text after the first two
    // blanks is the start of the line's value, and the rest was lost.
    void design_logs_cut()
    {
        std::vector<std::string> values;
        for (const file_change& file : run_.files) {
            if (file.kind != "mapping file") continue;
            for (const std::string& line : lines_of(file.content)) {
                const std::size_t equals = line.find('=');
                if (equals != std::string::npos) values.push_back(line.substr(equals + 1));
            }
        }
        for (const file_change& file : run_.files) {
            if (file.kind != "part file") continue;
            for (const auto& [title, written] : file.attributes_written) {
                if (title.rfind("DESLOG", 0) != 0 || host_size(written) < kx::design_log_text_limit) continue;
                const std::size_t gap = written.find("  ");
                if (gap == std::string::npos || gap + 2 >= written.size()) continue;
                const std::string start = written.substr(gap + 2);
                for (const std::string& value : values) {
                    if (value.size() <= start.size() || value.compare(0, start.size(), start) != 0) continue;
                    add(severity::warning, "design_log_cut", part_of_export(file.path),
                        "part file " + file.path + ": " + title + " stored cut at " + std::to_string(host_size(written)) +
                            " characters; lost: " + quote_folded(value.substr(start.size())));
                    break;
                }
            }
        }
    }

    // The exported part whose file this is: its exported name ends the path.
    std::string part_of_export(const std::string& path) const
    {
        for (const part_outcome& part : run_.parts)
            if (part.new_name.has_value() && !part.new_name->empty() && path.size() >= part.new_name->size() &&
                path.compare(path.size() - part.new_name->size(), part.new_name->size(), *part.new_name) == 0)
                return part.name;
        return {};
    }

    // Announcing new items is a request, not a change: a dry run still
    // announces them.
    void dry_run()
    {
        if (!run_.scene.dry_run) return;
        std::vector<const journal_entry*> changes;
        for (const journal_entry& entry : run_.journal)
            if (entry.kind != "announced") changes.push_back(&entry);
        if (changes.empty()) return;
        add(severity::error, "dry_run_changed_database", "",
            "a dry run changed the database: " + count_of(changes.size(), "change", "changes") + ", the first " +
                changes.front()->kind + " " + changes.front()->item_id);
    }

    // A file a site program names, as the session's shell found it: a
    // relative name is taken from the scenario's directory.
    std::filesystem::path site_file(const std::string& name) const
    {
        const std::filesystem::path path = file_named(run_, name);
        return path.is_relative() ? run_.scene.directory / path : path;
    }

    // Why a site program could not run, from what is seen of it: the
    // command interpreter's statuses for a program it cannot start, a
    // command or script file that is not there or cannot be run, an
    // interpreter that failed on its script and said so. "" when it ran.
    std::string why_not_run(const program_run& program) const
    {
        const std::string status = "exit " + std::to_string(program.exit_status);
        std::string by_status = os::not_started_status(program.exit_status);
        if (!by_status.empty()) by_status = status + ", " + by_status;
        // An answer recorded for the program is what it said when it ran:
        // the files of the site it ran on are not here to look at.
        if (program.answered || program.exit_status == 0 || program.arguments.size() < 2) return by_status;
        std::error_code ec;
        const std::string& command = program.arguments.front();
        if (os::path_of(command).has_parent_path() && !std::filesystem::exists(site_file(command), ec))
            return status + ": " + command + " is missing";
        if (!by_status.empty()) return by_status;
        // "sh script", "perl script": the interpreter runs, the script is not there.
        static const std::set<std::string> interpreters = {"sh", "bash", "dash", "ksh", "zsh", "perl", "python", "python3"};
        const std::string base = std::filesystem::path(command).filename().string();
        if (interpreters.count(base) == 0 || program.error_output.empty() || program.arguments.size() < 3) return {};
        const std::string& script = program.arguments[1];
        if (script.empty() || script[0] == '-' || std::filesystem::exists(site_file(script), ec)) return {};
        return status + ": its script " + script + " is missing";
    }

    static std::string first_line(const std::string& text)
    {
        const std::size_t end = text.find('\n');
        return text.substr(0, end);
    }

    void site_programs()
    {
        for (const program_run& program : run_.program_runs) {
            const std::string part_name = program.arguments.empty() ? "" : program.arguments.back();
            if (const std::string why = why_not_run(program); !why.empty()) {
                std::string command;
                for (const std::string& argument : program.arguments) command += " " + quote(argument);
                std::string text = "the " + program.program + " could not be run (" + why + "):" + command;
                if (!program.error_output.empty())
                    text += "; its error output: " + quote_folded(first_line(program.error_output));
                text += printed_exit(program);
                for (const auto& [box, cause] : box_of_program_)
                    if (cause == &program) text += "; the user saw the error box " + quote_folded(run_.message_boxes[box].message);
                add(severity::error, "site_program_not_run", part_name, std::move(text));
            } else if (program.exit_status != 0 && program.program != "item ID check" &&
                       !refused_with_message(part_name)) {
                // The check's exit status is its answer, not a failure; a
                // refusal shown for the part already tells this answer.
                std::string text = "the " + program.program + " exited with " + std::to_string(program.exit_status);
                if (!program.error_output.empty())
                    text += "; its error output: " + quote_folded(first_line(program.error_output));
                text += printed_exit(program);
                add(severity::note, "site_program_exit", part_name, std::move(text));
            }
        }
    }

    // Numbers the host handed out that no part took: the library asked for
    // more than it used (a number is never handed out twice).
    void unused_numbers()
    {
        std::set<std::string> used;
        for (const part_outcome& part : run_.parts) used.insert(part.item_id);
        std::vector<std::string> unused;
        std::string first_used;
        for (int n = run_.first_item_number; n < run_.next_item_number; ++n) {
            char number[16];
            std::snprintf(number, sizeof number, "%06d", n);
            if (used.count(number) == 0)
                unused.emplace_back(number);
            else if (first_used.empty())
                first_used = number;
        }
        if (unused.empty()) return;
        std::string numbers;
        if (unused.size() > 5)
            numbers = std::to_string(unused.size()) + " numbers, " + unused[0] + ", " + unused[1] + ", " + unused[2] +
                      ", ... " + unused.back() + ",";
        else
            for (std::size_t i = 0; i < unused.size(); ++i)
                numbers += (i == 0 ? "" : i + 1 == unused.size() ? " and " : ", ") + unused[i];
        const char* noun = unused.size() == 1 ? "number " : unused.size() <= 5 ? "numbers " : "";
        std::string text = "the host handed out " + std::string(noun) + numbers + " that no part took";
        if (!first_used.empty()) text += "; the first part needing a number got " + first_used;
        add(severity::note, "numbers_unused", "", std::move(text));
    }

    void host_state()
    {
        for (const std::string& misuse : run_.misuse) add(severity::error, "host_misuse", "", misuse);
        for (const callback_outcome& cb : run_.host_callbacks)
            if (!cb.registered_at_end && run_.started)
                add(severity::error, "host_callback_lost", "",
                    "the host's callback " + quote(cb.name) + " is not registered at the end of the session");
        if (run_.temp_directory_kept)
            add(severity::note, "files_left", "", "files left in " + run_.temp_directory.string());
    }

    bool refused_with_message(const std::string& part_name) const
    {
        for (const part_outcome& part : run_.parts)
            if (part.name == part_name) return part.translated && part.status != 0 && !part.messages.empty();
        return false;
    }

    const run_outcome& run_;
    std::vector<finding> found_;
    // Worked out when first asked, from the run that does not change.
    mutable std::optional<std::unordered_map<std::string, std::string>> by_file_;
    mutable std::optional<std::unordered_map<std::string, std::string>> by_item_;
    mutable std::string stop_text_;
    std::map<std::size_t, std::size_t> box_of_request_;      // box index -> refused request index
    std::map<std::size_t, std::size_t> listing_of_request_;  // listing text index -> refused request index
    std::map<std::size_t, const program_run*> box_of_program_;  // box index -> the program that could not run
    std::set<std::size_t> box_of_separator_, listing_of_separator_;
    std::set<std::size_t> explained_lines_;  // lines of standard output a finding took in
};

}  // namespace

std::string severity_name(severity s)
{
    switch (s) {
    case severity::error: return "error";
    case severity::warning: return "warning";
    case severity::note: return "note";
    }
    return "note";
}

finding_counts count_findings(const std::vector<finding>& findings)
{
    finding_counts counts;
    for (const finding& f : findings) {
        if (f.level == severity::error) ++counts.errors;
        if (f.level == severity::warning) ++counts.warnings;
        if (f.level == severity::note) ++counts.notes;
    }
    return counts;
}

std::string counts_text(const finding_counts& counts)
{
    return count_of(counts.errors, "error", "errors") + ", " + count_of(counts.warnings, "warning", "warnings") + ", " +
           count_of(counts.notes, "note", "notes");
}

std::vector<finding> gather_findings(const run_outcome& run) { return gatherer(run).all(); }

}  // namespace clonesim
