#include "report/page_data.h"

#include "host/host_codes.h"
#include "run/check_map.h"
#include "run/host_texts.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/verdict.h"
#include "run/findings.h"
#include "server/pdm_server.h"
#include "texts/texts.h"
#include "session/settings.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <stdexcept>
#include <set>
#include <utility>

namespace clonesim {

namespace {

using json = nlohmann::ordered_json;

constexpr const char* map_file_variable = kx::setting::import_attr_map_file;

std::string at(const std::vector<std::string>& list, std::size_t i) { return i < list.size() ? list[i] : std::string(); }

// nlohmann's own dump stops on bytes that are not UTF-8 and leaves "<" as
// it is; the page's data goes through this one instead.
void dump(const json& j, std::string& out)
{
    switch (j.type()) {
    case json::value_t::boolean: out += j.get<bool>() ? "true" : "false"; break;
    case json::value_t::number_integer: out += std::to_string(j.get<long long>()); break;
    case json::value_t::number_unsigned: out += std::to_string(j.get<unsigned long long>()); break;
    case json::value_t::number_float: out += j.dump(); break;
    case json::value_t::string: out += script_json_string(j.get_ref<const std::string&>()); break;
    case json::value_t::array: {
        out += '[';
        const char* separator = "";
        for (const json& element : j) {
            out += std::exchange(separator, ",");
            dump(element, out);
        }
        out += ']';
        break;
    }
    case json::value_t::object: {
        out += '{';
        const char* separator = "";
        for (const auto& [key, value] : j.items()) {
            out += std::exchange(separator, ",");
            out += script_json_string(key);
            out += ':';
            dump(value, out);
        }
        out += '}';
        break;
    }
    default: out += "null"; break;
    }
}

// The fields of a request input, whichever of the channel's separators it
// uses.
std::vector<std::string> input_fields(const std::string& input)
{
    for (const char* separator : {"~~", "#", "?", "/"})
        if (input.find(separator) != std::string::npos) return fields(input, separator);
    return {input};
}

// The step of the session in which something happened, from the marks the
// run recorded at the end of each step: the first step by whose end more
// than `index` of them had happened.
class step_locator {
public:
    explicit step_locator(const std::vector<step_mark>& steps) : steps_(steps) {}

    template <class Count>
    int locate(std::size_t index, Count&& count_by_end) const
    {
        std::size_t low = 0, high = steps_.size();
        while (low < high) {
            const std::size_t mid = (low + high) / 2;
            if (count_by_end(steps_[mid]) > index)
                high = mid;
            else
                low = mid + 1;
        }
        return low < steps_.size() ? static_cast<int>(low) : -1;
    }

    int request(std::size_t index) const
    {
        return locate(index, [](const step_mark& s) { return s.requests; });
    }
    int call(const std::string& operation, std::size_t index) const
    {
        return locate(index, [&operation](const step_mark& s) {
            const auto found = s.call_counts.find(operation);
            return found != s.call_counts.end() ? static_cast<std::size_t>(found->second) : std::size_t{0};
        });
    }

private:
    const std::vector<step_mark>& steps_;
};

// Which parts each request, text, database change and file belongs to.
// A request or text belongs to the part the host was working on; the
// requests of the session's own steps (the perform phase sends one request
// for many parts) belong to every part whose item revision they name.
class part_index {
public:
    explicit part_index(const run_outcome& run)
    {
        for (std::size_t i = 0; i < run.parts.size(); ++i) {
            const part_outcome& part = run.parts[i];
            by_name_[part.name].push_back(i);
            if (part.item_id.empty()) continue;
            by_item_[part.item_id].push_back(i);
            by_revision_[{part.item_id, part.rev_id}].push_back(i);
            if (part.new_name.has_value()) by_file_[*part.new_name].push_back(i);
        }
    }

    const std::vector<std::size_t>& named(const std::string& name) const { return find(by_name_, name); }

    std::vector<std::size_t> in_request(int code, const std::string& input) const
    {
        std::set<std::size_t> found;
        const auto fields = input_fields(input);
        // Requests that name items without their revisions.
        const bool items_only = code == kx::request_get_item_type || code == kx::request_auto_publish;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (items_only) {
                for (std::size_t p : find(by_item_, fields[i])) found.insert(p);
            } else if (i + 1 < fields.size()) {
                const auto at = by_revision_.find({fields[i], fields[i + 1]});
                if (at != by_revision_.end()) found.insert(at->second.begin(), at->second.end());
            }
        }
        return {found.begin(), found.end()};
    }

    const std::vector<std::size_t>& of_item(const std::string& item_id, const std::string& rev_id) const
    {
        if (rev_id.empty()) return find(by_item_, item_id);
        return find(by_revision_, std::make_pair(item_id, rev_id));
    }

    // A part file written under the part's new name, in the export
    // directory or in a folder of it.
    const std::vector<std::size_t>& in_file(const std::string& path) const
    {
        const auto& whole = find(by_file_, path);
        if (!whole.empty()) return whole;
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? whole : find(by_file_, path.substr(slash + 1));
    }

private:
    template <class Map, class Key>
    static const std::vector<std::size_t>& find(const Map& map, const Key& key)
    {
        static const std::vector<std::size_t> none;
        const auto at = map.find(key);
        return at != map.end() ? at->second : none;
    }

    std::map<std::string, std::vector<std::size_t>> by_name_, by_item_, by_file_;
    std::map<std::pair<std::string, std::string>, std::vector<std::size_t>> by_revision_;
};

// What concerns one part, by index into the page's lists.
struct part_story {
    std::vector<std::size_t> requests, texts, changes, item_changes, files, findings;
};

json indices(const std::vector<std::size_t>& list)
{
    json out = json::array();
    for (std::size_t i : list) out.push_back(i);
    return out;
}

// Writes one JSON object member by member.
class data_writer {
public:
    explicit data_writer(std::string& out) : out_(out) { out_ += '{'; }
    void field(const char* key, const json& value)
    {
        name(key);
        dump(value, out_);
    }
    void begin_array(const char* key)
    {
        name(key);
        out_ += '[';
        first_element_ = true;
    }
    void element(const json& value)
    {
        if (!first_element_) out_ += ',';
        first_element_ = false;
        dump(value, out_);
    }
    void end_array() { out_ += ']'; }

    // A list of records with the same keys, as a table: the keys once, then
    // each record's values in their order ({"keys": [...], "rows": [[...]]});
    // the page makes the records again. Tens of thousands of parts and
    // requests would otherwise spell out every key of every record.
    void begin_table(const char* key)
    {
        name(key);
        table_keys_.reset();
    }
    void row(const json& record)
    {
        if (!table_keys_.has_value()) {
            table_keys_.emplace();
            for (const auto& [key, value] : record.items()) table_keys_->push_back(key);
            out_ += "{\"keys\":";
            dump(json(*table_keys_), out_);
            out_ += ",\"rows\":[";
        } else {
            out_ += ',';
        }
        if (record.size() != table_keys_->size())
            throw std::logic_error("the records of one table of the page have different keys");
        out_ += '[';
        std::size_t i = 0;
        for (const auto& [key, value] : record.items()) {
            if (key != (*table_keys_)[i]) throw std::logic_error("the records of one table of the page have different keys");
            if (i++ != 0) out_ += ',';
            dump(value, out_);
        }
        out_ += ']';
    }
    void end_table() { out_ += table_keys_.has_value() ? "]}" : "{\"keys\":[],\"rows\":[]}"; }

    void finish() { out_ += '}'; }

private:
    void name(const char* key)
    {
        if (!first_field_) out_ += ',';
        first_field_ = false;
        out_ += script_json_string(key);
        out_ += ':';
    }
    std::string& out_;
    bool first_field_ = true;
    bool first_element_ = true;
    std::optional<std::vector<std::string>> table_keys_;
};

// The page's data, list by list; each list tells the parts' stories what
// of it concerns them, and the parts come after every list they refer to.
class page_data_writer {
public:
    page_data_writer(const run_outcome& run, const verdict& decided, std::string& out)
        : run_(run), verdict_(decided), index_(run), locate_(run.steps), stories_(run.parts.size()), data_(out)
    {
    }

    void write()
    {
        header();
        steps();
        requests();
        texts();
        changes();
        item_changes();
        files();
        findings();
        parts();
        site();
        session_end();
        data_.finish();
    }

private:
    void add_to(const std::vector<std::size_t>& parts, std::vector<std::size_t> part_story::*list, std::size_t index)
    {
        for (std::size_t p : parts) (stories_[p].*list).push_back(index);
    }

    void header()
    {
        const scenario& scene = run_.scene;
        data_.field("scenario", scene.file.filename().string());
        data_.field("description", scene.title);
        data_.field("operation", operation_name(scene.operation_class));
        data_.field("dry_run", scene.dry_run);
        data_.field("export", scene.operation_class == kx::class_export);
    }

    // A step is its point and the part it names: the part's number when
    // there is one, so that long names are not written again and again.
    void steps()
    {
        data_.begin_array("steps");
        for (const step_mark& step : run_.steps) {
            const std::string label = step_point_name(step.point);
            json part;
            if (!step.part_name.empty()) {
                const auto& named = index_.named(step.part_name);
                part = named.size() == 1 ? json(named.front()) : json(step.part_name);
            }
            data_.element(json::array({label, part}));
        }
        data_.end_array();
    }

    void requests()
    {
        data_.begin_table("requests");
        for (std::size_t i = 0; i < run_.requests.size(); ++i) {
            const sim::pdm_request& request = run_.requests[i];
            std::vector<std::size_t> parts = index_.named(i < run_.request_notes.size() ? run_.request_notes[i].part_name : "");
            if (parts.empty() && request.input.has_value()) parts = index_.in_request(request.code, *request.input);
            add_to(parts, &part_story::requests, i);
            json r = request_json(run_, i);
            r["step"] = locate_.request(i);
            data_.row(r);
        }
        data_.end_table();
    }

    // Error boxes and listing-window texts in one list, each with its step.
    void texts()
    {
        std::size_t count = 0;
        data_.begin_table("texts");
        const auto add_text = [&](const char* kind, const std::string& title, const std::string& text, int step,
                                  const std::string& part_name) {
            add_to(index_.named(part_name), &part_story::texts, count++);
            data_.row(json{{"kind", kind}, {"title", title}, {"text", text}, {"step", step}});
        };
        for (std::size_t i = 0; i < run_.message_boxes.size(); ++i)
            add_text("error box", run_.message_boxes[i].title, run_.message_boxes[i].message,
                     locate_.call(box_operation, i), at(run_.box_parts, i));
        for (std::size_t i = 0; i < run_.listing_texts.size(); ++i)
            add_text("listing window", "", run_.listing_texts[i], locate_.call(listing_operation, i),
                     at(run_.listing_parts, i));
        data_.end_table();
    }

    // A name given to an item shows what it replaced: the scenario's name for
    // an item that was in the database, else the last name of this session.
    void changes()
    {
        std::map<std::string, std::string> item_names;
        for (const item_seed& item : run_.scene.items)
            item_names[item.item_id] = "\"" + item.name + "\", \"" + item.description + "\"";
        data_.begin_table("changes");
        for (std::size_t i = 0; i < run_.journal.size(); ++i) {
            const journal_entry& entry = run_.journal[i];
            json was;
            if (entry.kind == "named") {
                const auto known = item_names.find(entry.item_id);
                if (known != item_names.end()) was = known->second;
                item_names[entry.item_id] = entry.detail;
            }
            add_to(index_.of_item(entry.item_id, entry.rev_id), &part_story::changes, i);
            json change = journal_json(entry);
            change["was"] = std::move(was);
            data_.row(change);
        }
        data_.end_table();
    }

    // Fields of items that were in the database before the session.
    void item_changes()
    {
        data_.begin_table("item_changes");
        for (std::size_t i = 0; i < run_.item_changes.size(); ++i) {
            const item_change& change = run_.item_changes[i];
            add_to(index_.of_item(change.item_id, change.rev_id), &part_story::item_changes, i);
            data_.row(item_change_json(change));
        }
        data_.end_table();
    }

    // A mapping file belongs to the part whose request it answered.
    std::map<std::string, std::vector<std::size_t>> mapping_owners() const
    {
        std::map<std::string, std::vector<std::size_t>> owners;
        for (const file_change& file : run_.files)
            if (file.kind == "mapping file") owners[file.path];
        for (const sim::pdm_request& request : run_.requests) {
            if (!request.reply.has_value()) continue;
            const auto owner = owners.find(*request.reply);
            if (owner == owners.end()) continue;
            for (std::size_t p : index_.in_request(request.code, request.input.value_or("")))
                owner->second.push_back(p);
        }
        return owners;
    }

    void files()
    {
        auto owners = mapping_owners();
        data_.begin_array("files");
        for (std::size_t i = 0; i < run_.files.size(); ++i) {
            const file_change& file = run_.files[i];
            add_to(file.kind == "mapping file" ? owners[file.path] : index_.in_file(file.path), &part_story::files, i);
            data_.element(file_json(file));
        }
        data_.end_array();
    }

    void findings()
    {
        data_.begin_table("findings");
        for (std::size_t i = 0; i < run_.findings.size(); ++i) {
            const finding& f = run_.findings[i];
            const auto& parts = index_.named(f.part_name);
            add_to(parts, &part_story::findings, i);
            json record = finding_json(f);
            record["part_index"] = parts.empty() ? json(-1) : json(parts.front());
            data_.row(record);
        }
        data_.end_table();
        const finding_counts found = count_findings(run_.findings);
        data_.field("finding_counts", json{{"error", found.errors}, {"warning", found.warnings}, {"note", found.notes}});
    }

    // A part's label is the worst severity found about it.
    std::string label_of(const part_story& story) const
    {
        std::optional<severity> worst;
        for (std::size_t f : story.findings)
            if (!worst.has_value() || run_.findings[f].level < *worst) worst = run_.findings[f].level;
        return worst.has_value() ? severity_name(*worst) : "";
    }

    void parts()
    {
        data_.begin_table("parts");
        for (std::size_t i = 0; i < run_.parts.size(); ++i) {
            const part_story& story = stories_[i];
            json p = part_json(run_, run_.parts[i]);
            const part_fate fate = fate_of(run_, run_.parts[i]);
            // The page files a part under its fate in the words the text
            // and the JSON give it; "fate" holds why when it was not carried through.
            p["outcome"] = fate_name(run_, fate);
            if (fate == part_fate::not_completed) p["fate"] = fate_text(run_, run_.parts[i]);
            p["label"] = label_of(story);
            p["story"] = json{{"requests", indices(story.requests)},   {"texts", indices(story.texts)},
                              {"changes", indices(story.changes)},     {"item_changes", indices(story.item_changes)},
                              {"files", indices(story.files)}};
            data_.row(p);
        }
        data_.end_table();
        data_.field("counts", part_counts_json(run_));
        data_.field("verdict", verdict_json(verdict_));
    }

    // The mapping file as check-map reads it, when the session names one.
    void mapping_file()
    {
        for (const env_setting& setting : run_.scene.env) {
            if (setting.name != map_file_variable || !setting.value.has_value() || setting.value->empty()) continue;
            std::filesystem::path file = file_named(run_, *setting.value);
            if (file.is_relative()) file = run_.scene.directory / file;
            const map_check check = check_map(file);
            json lines = json::array();
            for (const map_line_verdict& line : check.lines)
                lines.push_back(json{{"line", line.line}, {"text", line.text}, {"entry", line.entry}, {"key", line.key},
                                     {"title", line.title}, {"why", line.why}});
            json keys = json::array();
            for (const auto& [key, entry] : check.keys)
                keys.push_back(json::array({key, entry.has_value() ? json(entry->title) : json()}));
            data_.field("mapping", json{{"file", *setting.value}, {"readable", check.readable}, {"lines", lines}, {"keys", keys}});
        }
    }

    void site()
    {
        json env = json::array();
        for (const env_setting& setting : run_.scene.env)
            env.push_back(json::array({setting.name, optional_json(setting.value)}));
        data_.field("env", env);
        mapping_file();
        data_.field("stdout", lines_of(run_.standard_output));
        data_.begin_array("programs");
        for (const program_run& program : run_.program_runs) data_.element(program_run_json(program));
        data_.end_array();
        data_.begin_array("callbacks");
        for (const callback_outcome& cb : run_.host_callbacks) data_.element(callback_json(cb));
        data_.end_array();
    }

    // The steps tell every notification; those answered with a non-zero
    // result are the ones a reader looks for.
    void session_end()
    {
        data_.field("played", run_.started);
        data_.begin_array("stops");
        for (const sim::point_call& call : run_.session.points)
            if (call.result != 0) data_.element(json::array({point_name(call.point), call.part_name, call.result}));
        data_.end_array();
        data_.field("misuse", run_.misuse);
    }

    const run_outcome& run_;
    const verdict& verdict_;
    const part_index index_;
    const step_locator locate_;
    std::vector<part_story> stories_;
    data_writer data_;
};

}  // namespace

void write_page_data(const run_outcome& run, const verdict& decided, std::string& out)
{
    page_data_writer(run, decided, out).write();
}

}  // namespace clonesim
