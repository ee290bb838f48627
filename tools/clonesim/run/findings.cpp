#include "run/findings.h"

#include "host/host_codes.h"
#include "server/pdm_server.h"
#include "texts/texts.h"
#include "session/settings.h"

#include <fstream>
#include <map>
#include <set>

namespace clonesim {

namespace {

constexpr const char* map_file_variable = kx::setting::import_attr_map_file;
// Exit statuses of the command interpreter for a program it could not run.
constexpr int not_executable = 126;
constexpr int not_found = 127;

class gatherer {
public:
    explicit gatherer(const run_outcome& run) : run_(run) {}

    std::vector<finding> all()
    {
        scenario_checks();
        refused_parts();
        texts_shown();
        requests();
        saves();
        existing_items();
        names_of_one_revision();
        stored_texts();
        dry_run();
        site_programs();
        host_state();
        return std::move(found_);
    }

private:
    void add(severity level, const char* kind, std::string part_name, std::string text)
    {
        found_.push_back(finding{level, kind, std::move(part_name), std::move(text)});
    }

    // The part whose database name or item ID this is, "" when none is.
    std::string part_of_file(const std::string& path) const
    {
        for (const part_outcome& part : run_.parts)
            if (part.new_name == path) return part.name;
        return {};
    }
    std::string part_of_item(const std::string& item_id) const
    {
        for (const part_outcome& part : run_.parts)
            if (part.item_id == item_id && part.translated) return part.name;
        return {};
    }

    void scenario_checks()
    {
        const scenario& scene = run_.scene;
        if (scene.parts.empty()) add(severity::warning, "empty_assembly", "", "the session has no parts");
        if (scene.operation_class != kx::class_import) return;
        for (const env_setting& setting : scene.env) {
            if (setting.name != map_file_variable || !setting.value.has_value() || setting.value->empty()) continue;
            const std::filesystem::path path = std::filesystem::path(scene.directory) / *setting.value;
            std::ifstream in(path, std::ios::binary);
            if (in && !std::filesystem::is_directory(path)) continue;
            add(severity::warning, "mapping_file_unreadable", "",
                std::string(map_file_variable) + " names " + quote(*setting.value) +
                    ", which cannot be read: no attribute of any part is mapped");
        }
    }

    // Where the session ended, for a refusal.
    std::string stop_text() const
    {
        std::size_t not_reached = 0;
        for (const part_outcome& part : run_.parts)
            if (!part.translated) ++not_reached;
        const std::string& at = run_.session.refused_at;
        std::string text = "the session stopped at " + (at.empty()            ? std::string("Exit_Clone")
                                                        : at == "translation" ? std::string("this part's translation")
                                                                              : at);
        if (not_reached > 0) text += ", " + count_of(not_reached, "part", "parts") + " not reached";
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

    void texts_shown()
    {
        for (std::size_t i = 0; i < run_.message_boxes.size(); ++i)
            add(severity::error, "error_box", run_.box_parts[i],
                "error box " + quote(run_.message_boxes[i].title) + ": " + quote_folded(run_.message_boxes[i].message));
        for (std::size_t i = 0; i < run_.listing_texts.size(); ++i)
            add(severity::warning, "listing_text", run_.listing_parts[i],
                "listing window: " + quote_folded(run_.listing_texts[i]));
        std::size_t start = 0;
        const std::string& out = run_.standard_output;
        while (start < out.size()) {
            std::size_t end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            if (end > start)
                add(severity::note, "standard_output", "",
                    "standard output: " + quote_folded(out.substr(start, end - start)));
            start = end + 1;
        }
    }

    // What the library did after request `index`: the boxes and listing
    // texts up to its next request.
    std::string next_step(std::size_t index) const
    {
        const request_note& note = run_.request_notes[index];
        const bool last = index + 1 >= run_.request_notes.size();
        const std::size_t boxes_end = last ? run_.message_boxes.size() : run_.request_notes[index + 1].boxes_before;
        const std::size_t listing_end =
            last ? run_.listing_texts.size() : run_.request_notes[index + 1].listing_before;
        if (note.boxes_before < boxes_end && note.boxes_before < run_.message_boxes.size())
            return "then the library showed the error box " + quote_folded(run_.message_boxes[note.boxes_before].message);
        if (note.listing_before < listing_end && note.listing_before < run_.listing_texts.size())
            return "then the library wrote to the listing window " +
                   quote_folded(run_.listing_texts[note.listing_before]);
        if (last && run_.session.refused) return "then " + stop_text();
        return "the library went on without a word";
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

    void saves()
    {
        std::set<std::string> failed_items;
        for (const file_change& file : run_.files) {
            if (file.kind != "part file") continue;
            const std::string part_name = part_of_file(file.path);
            if (file.failed_saves > 0) {
                add(severity::error, "save_failed", part_name,
                    "part file " + file.path + ": saved " + count_of(file.saves, "time", "times") + ", " +
                        count_of(file.failed_saves, "save", "saves") + " failed");
                if (const auto name = parse_db_name(file.path)) failed_items.insert(name->item_id);
            }
            if (file.left_open) add(severity::warning, "left_open", part_name, "part file " + file.path + " left open");
        }
        for (const journal_entry& entry : run_.journal) {
            if ((entry.kind != "published" && entry.kind != "back-filled") || failed_items.count(entry.item_id) == 0)
                continue;
            add(severity::error, "completed_after_failed_save", part_of_item(entry.item_id),
                entry.item_id + " was " + entry.kind + " although the save of its part file failed");
        }
    }

    void existing_items()
    {
        for (const item_change& change : run_.item_changes) {
            std::string text = "existing item " + change.item_id + ": " + change.field + " " + quote_folded(change.was) +
                               " becomes " + quote_folded(change.becomes);
            if (change.released) text += " (the item has a released revision)";
            add(change.released ? severity::error : severity::warning,
                change.released ? "released_item_changed" : "existing_item_changed", part_of_item(change.item_id),
                text);
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
                    std::string(field) + " stored cut at " + std::to_string(stored->size()) + " of its " +
                        std::to_string(shown->size()) + " bytes: " + quote_folded(*stored, fold_limit / 2));
            }
        }
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

    void site_programs()
    {
        for (const program_run& program : run_.program_runs) {
            const std::string part_name = program.arguments.empty() ? "" : program.arguments.back();
            if (program.exit_status == not_executable || program.exit_status == not_found) {
                std::string command;
                for (const std::string& argument : program.arguments) command += " " + quote(argument);
                add(severity::error, "site_program_not_run", part_name,
                    "the " + program.program + " could not be run (exit " + std::to_string(program.exit_status) +
                        "):" + command);
            } else if (program.exit_status != 0 && program.program != "item ID check") {
                // The check's exit status is its answer, not a failure.
                add(severity::note, "site_program_exit", part_name,
                    "the " + program.program + " exited with " + std::to_string(program.exit_status));
            }
        }
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

    const run_outcome& run_;
    std::vector<finding> found_;
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
