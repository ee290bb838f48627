#include "traces/trace.h"

#include "scenario/scenario.h"
#include "texts/texts.h"

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <map>

namespace clonesim {

namespace {

using json = nlohmann::json;

enum class shape { text, integer, boolean, object, texts, any };

struct field {
    const char* name;
    shape kind;
};

// What each kind of line must hold.
const std::map<std::string, std::vector<field>>& event_fields()
{
    static const std::map<std::string, std::vector<field>> fields = {
        {"call", {{"callback", shape::text}, {"part", shape::text}}},
        {"return", {{"result", shape::integer}}},
        {"host", {{"op", shape::text}, {"in", shape::object}, {"out", shape::any}, {"status", shape::integer}}},
        {"request",
         {{"code", shape::integer},
          {"input", shape::text},
          {"result", shape::integer},
          {"status", shape::integer},
          {"reply", shape::text}}},
        {"command",
         {{"program", shape::text}, {"arguments", shape::texts}, {"line", shape::text}, {"exit", shape::integer}}},
        {"delete", {{"path", shape::text}, {"exit", shape::integer}}},
        {"env", {{"name", shape::text}, {"value", shape::text}}},
        {"file", {{"path", shape::text}, {"content", shape::text}}},
        {"stdout", {{"text", shape::text}}},
        {"end", {}},
        {"cut", {{"bytes", shape::integer}}},
    };
    return fields;
}

const std::vector<field> header_fields = {
    {"library", shape::text}, {"platform", shape::text}, {"code_page", shape::any},
    {"time", shape::text},    {"session_class", shape::any}, {"state", shape::object},
};

const std::vector<field> state_fields = {
    {"exception_list", shape::any},
    {"import_attr_map", shape::object},
    {"family_instance_check", shape::boolean},
    {"import_item_list", shape::any},
};

bool is_bytes(const json& value) { return value.is_object() && value.size() == 1 && value.contains("bytes"); }

bool is_text(const json& value) { return value.is_null() || value.is_string() || is_bytes(value); }

const char* shape_name(shape kind)
{
    switch (kind) {
    case shape::text: return "a text";
    case shape::integer: return "a whole number";
    case shape::boolean: return "true or false";
    case shape::object: return "an object";
    case shape::texts: return "a list of texts";
    default: return "a value";
    }
}

bool fits(const json& value, shape kind)
{
    switch (kind) {
    case shape::text: return is_text(value);
    case shape::integer: return value.is_number_integer();
    case shape::boolean: return value.is_boolean();
    case shape::object: return value.is_object();
    case shape::texts: return value.is_array() && std::all_of(value.begin(), value.end(), is_text);
    default: return true;
    }
}

class line_reader {
public:
    explicit line_reader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void fail(std::size_t line, const std::string& what) const
    {
        throw trace_error(file_ + ": line " + std::to_string(line) + ": " + what);
    }

    void require(std::size_t line, const json& object, const std::vector<field>& fields, const std::string& what) const
    {
        for (const field& f : fields) {
            if (!object.contains(f.name))
                fail(line, what + " has no \"" + f.name + "\" (" + shape_name(f.kind) + ")");
            if (!fits(object[f.name], f.kind))
                fail(line, what + ": \"" + f.name + "\" is not " + shape_name(f.kind));
        }
    }

    // Every {"bytes": ...} of the line holds only characters that stand
    // for one byte.
    void check_bytes(std::size_t line, const json& value) const
    {
        if (is_bytes(value)) {
            if (!value["bytes"].is_string() || !trace_text(value).has_value())
                fail(line, "a text given as bytes holds a character above U+00FF");
            return;
        }
        if (value.is_object() || value.is_array())
            for (const json& member : value) check_bytes(line, member);
    }

    // The first line: a trace header of a format this clonesim reads.
    void check_header(const json& value) const
    {
        if (value.value("trace", std::string()) != "kxpdm-clone-trace")
            fail(1, "not a session trace (the first line is no trace header)");
        if (!value.contains("format") || !value["format"].is_number_integer()) fail(1, "the header has no format version");
        const long long format = value["format"].get<long long>();
        if (format > trace_format)
            fail(1, "format " + std::to_string(format) + " is newer than this clonesim reads (" +
                        std::to_string(trace_format) + ")");
        if (format != trace_format) fail(1, "format " + std::to_string(format) + " is not a known format");
        require(1, value, header_fields, "the header");
        require(1, value["state"], state_fields, "the header's state");
    }

    // A line after the header: an event of a known kind with its fields.
    trace_event event(std::size_t line, json value) const
    {
        if (!value.contains("e") || !value["e"].is_string()) fail(line, "a line without \"e\" (its kind)");
        const std::string kind = value["e"].get<std::string>();
        const auto known = event_fields().find(kind);
        if (known == event_fields().end()) fail(line, "an unknown kind of line \"" + kind + "\"");
        require(line, value, known->second, "this \"" + kind + "\" line");
        return trace_event{line, kind, std::move(value)};
    }

private:
    std::string file_;
};

}  // namespace

const json& member(const json& object, const char* key)
{
    static const json none;
    return object.is_object() && object.contains(key) ? object[key] : none;
}

std::optional<std::string> trace_text(const json& value)
{
    if (value.is_string()) return value.get<std::string>();
    if (!is_bytes(value) || !value["bytes"].is_string()) return std::nullopt;
    return characters_as_bytes(value["bytes"].get_ref<const std::string&>());
}

std::optional<std::string> text_field(const json& object, const char* key)
{
    if (!object.is_object() || !object.contains(key)) return std::nullopt;
    return trace_text(object[key]);
}

std::optional<long long> number_field(const json& object, const char* key)
{
    if (!object.is_object() || !object.contains(key) || !object[key].is_number_integer()) return std::nullopt;
    return object[key].get<long long>();
}

std::vector<std::string> texts_field(const json& object, const char* key)
{
    std::vector<std::string> texts;
    if (!object.is_object() || !object.contains(key) || !object[key].is_array()) return texts;
    for (const json& value : object[key]) texts.push_back(trace_text(value).value_or(""));
    return texts;
}

namespace {

// Keeps the events up to the last complete callback and says why the trace
// stops where it does.
void mark_partial(trace& t, std::size_t last_line, std::string why)
{
    trace_cut cut;
    cut.last_line = last_line;
    cut.why = std::move(why);
    std::size_t depth = 0, keep = 0;
    const trace_event* outer_call = nullptr;
    for (std::size_t i = 0; i < t.events.size(); ++i) {
        const trace_event& event = t.events[i];
        if (event.kind == "call") {
            if (depth++ == 0) outer_call = &event;
        } else if (event.kind == "return" && depth > 0 && --depth == 0) {
            keep = i + 1;
            cut.complete_line = event.line;
            cut.last_call = outer_call->data;
        }
    }
    t.events.resize(keep);
    t.partial = std::move(cut);
}

}  // namespace

namespace {

// The outermost calls of a trace with the index of their return line.
std::vector<std::pair<const trace_event*, std::size_t>> outer_callbacks(const std::vector<trace_event>& events)
{
    std::vector<std::pair<const trace_event*, std::size_t>> calls;
    std::size_t depth = 0;
    const trace_event* call = nullptr;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == "call") {
            if (depth++ == 0) call = &events[i];
        } else if (events[i].kind == "return" && depth > 0 && --depth == 0) {
            calls.emplace_back(call, i);
        }
    }
    return calls;
}

std::string callback_key(const nlohmann::json& call)
{
    return text_field(call, "callback").value_or("") + "\n" + std::to_string(number_field(call, "point").value_or(-1)) +
           "\n" + same_separators(text_field(call, "part").value_or(""));
}

}  // namespace

std::vector<trace_event> callbacks_as_in(const std::vector<trace_event>& events, const std::vector<trace_event>& recorded)
{
    const auto was = outer_callbacks(recorded);
    const auto is = outer_callbacks(events);
    std::size_t keep = 0;
    for (std::size_t i = 0; i < was.size() && i < is.size(); ++i) {
        if (callback_key(was[i].first->data) != callback_key(is[i].first->data)) break;
        keep = is[i].second + 1;
    }
    return {events.begin(), events.begin() + static_cast<std::ptrdiff_t>(keep)};
}

trace read_trace(const std::filesystem::path& file)
{
    const std::string name = file.string();
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) throw trace_error(name + ": is a folder, expected a trace file");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw trace_error(name + ": cannot be read");
    const line_reader r(name);

    trace t;
    t.file = file;
    std::string text;
    std::size_t line = 0;
    bool ended = false;
    std::string last_kind;
    while (std::getline(in, text)) {
        ++line;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (ended) r.fail(line, "a line after the trace's last line (\"" + last_kind + "\")");
        json value;
        try {
            value = json::parse(text);
        } catch (const json::parse_error&) {
            // A last line without its line end is one the writer never
            // finished: the host went down or the disk filled up.
            if (line > 1 && in.eof()) {
                mark_partial(t, line, "its last line was cut in the middle, at line " + std::to_string(line));
                return t;
            }
            r.fail(line, "not a JSON object: the trace is corrupted here");
        }
        if (!value.is_object()) r.fail(line, "not a JSON object: the trace is corrupted here");
        r.check_bytes(line, value);
        if (line == 1) {
            r.check_header(value);
            t.header = std::move(value);
            continue;
        }
        t.events.push_back(r.event(line, std::move(value)));
        last_kind = t.events.back().kind;
        ended = last_kind == "end" || last_kind == "cut";
    }
    if (line == 0) throw trace_error(name + ": line 1: empty, no trace header");
    if (last_kind == "cut") {
        const long long bytes = number_field(t.events.back().data, "bytes").value_or(0);
        mark_partial(t, line, "it was cut at its size cap (" + std::to_string(bytes) + " bytes) at line " +
                                  std::to_string(line));
    } else if (!ended) {
        mark_partial(t, line, "it has no end line after line " + std::to_string(line) +
                                  ": the host ended before the session did");
    }
    return t;
}

bool looks_like_scenario(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const json value = json::parse(in, nullptr, false);
    return value.is_object() && !value.contains("trace") && (value.contains("parts") || value.contains("operation"));
}

bool is_trace_name(const std::filesystem::path& file)
{
    const std::string name = file.filename().string();
    return name.rfind("kxpdm-trace-", 0) == 0 && file.extension() == ".jsonl";
}

std::vector<std::filesystem::path> trace_files_in(const std::filesystem::path& directory)
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        // Regular files only (a link to one counts): a pipe named like a
        // trace would keep its reader waiting.
        if (is_trace_name(entry.path()) && entry.is_regular_file(ec)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace clonesim
