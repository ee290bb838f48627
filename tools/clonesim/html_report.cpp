#include "html_report.h"

#include "check_map.h"
#include "interfaces/host_codes.h"
#include "pdm_server.h"
#include "report.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace clonesim {

namespace {

using json = nlohmann::ordered_json;

constexpr const char* box_operation = "HOST_UI_display_nonmodal_msg";
constexpr const char* listing_operation = "HOST_UI_write_listing_window";

std::string at(const std::vector<std::string>& list, std::size_t i) { return i < list.size() ? list[i] : std::string(); }
constexpr char32_t escaped_byte_base = 0x10FF00;

void append_u_escape(std::string& out, unsigned unit)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", unit & 0xFFFFu);
    out += text;
}

void append_code_point(std::string& out, char32_t cp)
{
    if (cp < 0x10000) {
        append_u_escape(out, static_cast<unsigned>(cp));
        return;
    }
    const char32_t v = cp - 0x10000;
    append_u_escape(out, static_cast<unsigned>(0xD800 + (v >> 10)));
    append_u_escape(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
}

// Length of the valid UTF-8 sequence at `i` (0 when the byte there does not
// start one), with its code point.
std::size_t utf8_sequence(const std::string& s, std::size_t i, char32_t& cp)
{
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2, cp = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3, cp = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4, cp = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

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
        bool first = true;
        for (const json& element : j) {
            if (!first) out += ',';
            first = false;
            dump(element, out);
        }
        out += ']';
        break;
    }
    case json::value_t::object: {
        out += '{';
        bool first = true;
        for (const auto& [key, value] : j.items()) {
            if (!first) out += ',';
            first = false;
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

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

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

    std::vector<std::size_t> in_journal(const journal_entry& entry) const
    {
        if (entry.rev_id.empty()) return find(by_item_, entry.item_id);
        return find(by_revision_, std::make_pair(entry.item_id, entry.rev_id));
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

struct part_story {
    std::vector<std::size_t> requests, texts, changes, item_changes, files, findings;
};

void add_to(std::vector<part_story>& stories, const std::vector<std::size_t>& parts,
            std::vector<std::size_t> part_story::*list, std::size_t index)
{
    for (std::size_t p : parts) (stories[p].*list).push_back(index);
}

json indices(const std::vector<std::size_t>& list)
{
    json out = json::array();
    for (std::size_t i : list) out.push_back(i);
    return out;
}

// Writes the page's data object member by member, so that a session of
// tens of thousands of parts never lives twice in memory as a JSON tree.
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
};

void write_page_data(const run_outcome& run, bool strict, std::string& out)
{
    const scenario& scene = run.scene;
    const bool is_export = scene.operation_class == 3;
    const part_index index(run);
    const step_locator locate(run.steps);
    std::vector<part_story> stories(run.parts.size());
    data_writer data(out);

    data.field("scenario", scene.file.filename().string());
    data.field("description", scene.title);
    data.field("operation", operation_name(scene.operation_class));
    data.field("dry_run", scene.dry_run);
    data.field("export", is_export);

    // A step is its point and the part it names: the part's number when
    // there is one, so that long names are not written again and again.
    data.begin_array("steps");
    for (const step_mark& step : run.steps) {
        const std::string label = step.point == translation_step ? "translation" : point_name(step.point);
        json part;
        if (!step.part_name.empty()) {
            const auto& named = index.named(step.part_name);
            part = named.size() == 1 ? json(named.front()) : json(step.part_name);
        }
        data.element(json::array({label, part}));
    }
    data.end_array();


    json names = json::object();
    data.begin_array("requests");
    for (std::size_t i = 0; i < run.requests.size(); ++i) {
        const sim::pdm_request& request = run.requests[i];
        names[std::to_string(request.code)] = request_name(request.code);
        const request_note note = i < run.request_notes.size() ? run.request_notes[i] : request_note{};
        std::vector<std::size_t> parts = index.named(note.part);
        if (parts.empty() && request.input.has_value()) parts = index.in_request(request.code, *request.input);
        add_to(stories, parts, &part_story::requests, i);
        json r{{"c", request.code}, {"in", optional_json(request.input)}, {"st", request.status},
               {"rp", optional_json(request.reply)}, {"s", locate.request(i)}};
        // The server's own verdict: the status number alone says little.
        if (note.malformed) r["f"] = "malformed";
        else if (note.refused) r["f"] = "refused";
        data.element(r);
    }
    data.end_array();
    data.field("request_names", names);

    // Error boxes and listing-window texts in one list, each with its step.
    std::size_t text_count = 0;
    data.begin_array("texts");
    const auto add_text = [&](const std::string& kind, const std::string& title, const std::string& text, int step,
                              const std::string& part) {
        add_to(stories, index.named(part), &part_story::texts, text_count++);
        data.element(json{{"k", kind}, {"t", title}, {"m", text}, {"s", step}});
    };
    for (std::size_t i = 0; i < run.message_boxes.size(); ++i)
        add_text("error box", run.message_boxes[i].title, run.message_boxes[i].message, locate.call(box_operation, i),
                 at(run.box_parts, i));
    for (std::size_t i = 0; i < run.listing_texts.size(); ++i)
        add_text("listing window", "", run.listing_texts[i], locate.call(listing_operation, i), at(run.listing_parts, i));
    data.end_array();

    // A name given to an item shows what it replaced: the scenario's name for
    // an item that was in the database, else the last name of this session.
    std::map<std::string, std::string> item_names;
    for (const item_seed& item : scene.items)
        item_names[item.item_id] = "\"" + item.name + "\", \"" + item.description + "\"";
    data.begin_array("changes");
    for (std::size_t i = 0; i < run.journal.size(); ++i) {
        const journal_entry& entry = run.journal[i];
        json was;
        if (entry.kind == "named") {
            const auto known = item_names.find(entry.item_id);
            if (known != item_names.end()) was = known->second;
            item_names[entry.item_id] = entry.detail;
        }
        add_to(stories, index.in_journal(entry), &part_story::changes, i);
        data.element(json{{"k", entry.kind}, {"id", entry.item_id}, {"rev", entry.rev_id}, {"d", entry.detail}, {"was", was}});
    }
    data.end_array();

    // Fields of items that were in the database before the session.
    data.begin_array("item_changes");
    for (std::size_t i = 0; i < run.item_changes.size(); ++i) {
        const item_change& change = run.item_changes[i];
        add_to(stories, index.in_journal(journal_entry{0, "", change.item_id, change.rev_id, ""}),
               &part_story::item_changes, i);
        data.element(json{{"id", change.item_id}, {"rev", change.rev_id}, {"field", change.field},
                          {"was", change.was}, {"becomes", change.becomes}, {"released", change.released}});
    }
    data.end_array();

    // A mapping file belongs to the part whose request it answered.
    std::map<std::string, std::vector<std::size_t>> mapping_owner;
    for (const file_change& file : run.files)
        if (file.kind == "mapping file") mapping_owner[file.path];
    for (std::size_t i = 0; i < run.requests.size(); ++i) {
        const auto& reply = run.requests[i].reply;
        if (!reply.has_value()) continue;
        const auto owner = mapping_owner.find(*reply);
        if (owner == mapping_owner.end()) continue;
        for (std::size_t p : index.in_request(run.requests[i].code, run.requests[i].input.value_or("")))
            owner->second.push_back(p);
    }
    data.begin_array("files");
    for (std::size_t i = 0; i < run.files.size(); ++i) {
        const file_change& file = run.files[i];
        json f{{"k", file.kind}, {"path", file.path}};
        if (file.kind == "mapping file") {
            f["outcome"] = file.outcome;
            f["content"] = file.content;
            add_to(stories, mapping_owner[file.path], &part_story::files, i);
        } else {
            f["saves"] = file.saves;
            f["failed"] = file.failed_saves;
            f["open"] = file.left_open;
            json attributes = json::array();
            for (const auto& [title, value] : file.attributes_written) attributes.push_back(json::array({title, value}));
            f["attributes"] = std::move(attributes);
            add_to(stories, index.in_file(file.path), &part_story::files, i);
        }
        data.element(f);
    }
    data.end_array();

    data.begin_array("findings");
    for (std::size_t i = 0; i < run.findings.size(); ++i) {
        const finding& f = run.findings[i];
        const auto& parts = index.named(f.part);
        add_to(stories, parts, &part_story::findings, i);
        data.element(json{{"level", severity_name(f.level)}, {"kind", f.kind},
                          {"part", parts.empty() ? json(-1) : json(parts.front())}, {"text", f.text}});
    }
    data.end_array();
    const finding_counts found = count_findings(run.findings);
    data.field("finding_counts", json{{"error", found.errors}, {"warning", found.warnings}, {"note", found.notes}});

    std::map<std::string, std::size_t> counts{{"translated", 0}, {"warning", 0}, {"refused", 0}, {"not translated", 0}};
    data.begin_array("parts");
    for (std::size_t i = 0; i < run.parts.size(); ++i) {
        const part_outcome& part = run.parts[i];
        const part_story& story = stories[i];
        std::string outcome = "translated";
        if (!part.translated) {
            outcome = "not translated";
        } else if (part.status != 0) {
            outcome = "refused";
        } else {
            for (std::size_t f : story.findings)
                if (run.findings[f].level != severity::note) outcome = "warning";
        }
        ++counts[outcome];
        json p{{"n", part.name}, {"db", optional_json(part.new_name)}, {"id", part.item_id}, {"rev", part.rev_id}};
        if (!part.relation.empty()) {
            p["rel"] = part.relation;
            p["reln"] = part.related_name;
        }
        p["type"] = optional_json(part.item_type);
        p["pn"] = optional_json(part.pdm_name);
        p["pd"] = optional_json(part.pdm_desc);
        p["o"] = outcome;
        if (part.status != 0) {
            p["st"] = part.status;
            p["msg"] = part.messages;
        }
        p["rq"] = indices(story.requests);
        p["tx"] = indices(story.texts);
        p["ch"] = indices(story.changes);
        p["ic"] = indices(story.item_changes);
        p["fl"] = indices(story.files);
        data.element(p);
    }
    data.end_array();
    data.field("counts", counts);

    const verdict v = judge(run, strict);
    data.field("verdict", json{{"went_through", v.went_through}, {"exit_status", v.exit_status}, {"text", v.text}});

    json env = json::array();
    for (const env_setting& setting : scene.env) env.push_back(json::array({setting.name, optional_json(setting.value)}));
    data.field("env", env);
    for (const env_setting& setting : scene.env) {
        if (setting.name != "KXPDM_IMPORT_ATTR_MAP_FILE" || !setting.value.has_value() || setting.value->empty()) continue;
        std::filesystem::path file = *setting.value;
        if (file.is_relative()) file = scene.directory / file;
        const map_check check = check_map(file);
        json lines = json::array();
        for (const map_line_verdict& line : check.lines)
            lines.push_back(json{{"line", line.line}, {"text", line.text}, {"entry", line.entry}, {"key", line.key},
                                 {"title", line.title}, {"why", line.why}});
        json keys = json::array();
        for (const auto& [key, entry] : check.keys)
            keys.push_back(json::array({key, entry.has_value() ? json(entry->title) : json()}));
        data.field("mapping", json{{"file", *setting.value}, {"readable", check.readable}, {"lines", lines}, {"keys", keys}});
    }
    data.field("stdout", lines_of(run.standard_output));
    json programs = json::array();
    for (const program_run& program : run.program_runs)
        programs.push_back(json{{"program", program.program}, {"arguments", program.arguments}, {"exit", program.exit_status}});
    data.field("programs", programs);

    json callbacks = json::array();
    for (const callback_outcome& cb : run.host_callbacks)
        callbacks.push_back(json{{"name", cb.name}, {"point", cb.point}, {"calls", cb.calls.size()},
                                 {"registered", cb.registered_at_end}});
    data.field("callbacks", callbacks);
    // The steps tell every notification; those answered with a non-zero
    // result are the ones a reader looks for.
    data.field("played", run.started);
    data.begin_array("stops");
    for (const sim::point_call& call : run.session.points)
        if (call.result != 0) data.element(json::array({point_name(call.point), call.part_name, call.result}));
    data.end_array();
    data.field("misuse", run.misuse);
    data.finish();
}

}  // namespace

std::string script_json_string(const std::string& bytes)
{
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '<':
            case '>':
            case '&': append_u_escape(out, c); break;
            default:
                if (c < 0x20 || c == 0x7F)
                    append_u_escape(out, c);
                else
                    out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        char32_t cp = 0;
        const std::size_t n = utf8_sequence(bytes, i, cp);
        if (n == 0) {
            append_code_point(out, escaped_byte_base + c);
            ++i;
            continue;
        }
        if (cp >= escaped_byte_base) {
            for (std::size_t k = 0; k < n; ++k)
                append_code_point(out, escaped_byte_base + static_cast<unsigned char>(bytes[i + k]));
        } else {
            append_code_point(out, cp);
        }
        i += n;
    }
    return out + "\"";
}

std::string html_report(const run_outcome& run, bool strict)
{
    std::string data;
    write_page_data(run, strict, data);
    std::string page;
    page.reserve(data.size() + 64 * 1024);
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            // Nothing may be fetched: the page is passed around and opened
            // from disks and mail, and must show the same everywhere.
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<title>clonesim report</title>\n<style>\n";
    page += html_page_style();
    page += "</style>\n</head>\n<body>\n"
            "<noscript><p>This report draws itself with a script; allow scripts for this file.</p></noscript>\n"
            "<script type=\"application/json\" id=\"session-data\">";
    page += data;
    page += "</script>\n<script>\n";
    page += html_page_script();
    page += "</script>\n</body>\n</html>\n";
    return page;
}

void write_html_report(const run_outcome& run, const std::filesystem::path& file, bool strict)
{
    const std::string page = html_report(run, strict);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) throw run_error("cannot write the HTML report " + file.string());
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
    out.close();
    if (!out) throw run_error("cannot write the HTML report " + file.string());
}

}  // namespace clonesim
