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
        if (format < 1) fail(1, "format " + std::to_string(format) + " is not a known format");
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

// The outermost callbacks as the events go by: where the last one that
// returned ends, and its call line.
class callback_depth {
public:
    // Gives true when the event ends an outermost callback.
    bool see(const trace_event& event)
    {
        ++seen_;
        if (event.kind == "call") {
            if (depth_++ == 0) call_ = event.data;
        } else if (event.kind == "return" && depth_ > 0 && --depth_ == 0) {
            complete_ = seen_;
            complete_line_ = event.line;
            last_call_ = call_;
            return true;
        }
        return false;
    }
    std::size_t complete() const { return complete_; }
    std::size_t complete_line() const { return complete_line_; }
    const json& last_call() const { return last_call_; }

private:
    std::size_t seen_ = 0, depth_ = 0, complete_ = 0, complete_line_ = 0;
    json call_, last_call_;
};

// Format 2 writes each event as an array of its fields in a fixed order,
// each host operation's parameter names once (an "op" line), a text met
// again as the number it took ({"t": n}) and a host call that repeats the
// last of its operation and shape as the number alone. This turns a line
// back into the event as format 1 writes it.
class format_2_lines {
public:
    explicit format_2_lines(const line_reader& reader) : r_(reader) {}

    // The event of a line; none for an operation's line.
    std::optional<json> event(std::size_t line, json value)
    {
        if (!value.is_array() || value.empty()) r_.fail(line, "not a JSON array: the trace is corrupted here");
        if (value[0].is_string() && value[0].get_ref<const std::string&>() == "op") {
            operation(line, value);
            return std::nullopt;
        }
        for (std::size_t i = 1; i < value.size(); ++i) resolve(line, value[i]);
        if (value[0].is_number_unsigned()) return host(line, value);
        if (!value[0].is_string()) r_.fail(line, "a line whose first member is neither a kind nor an operation's number");
        const std::string kind = value[0].get<std::string>();
        const std::vector<const char*>* names = fields_of(kind, value);
        if (names == nullptr) r_.fail(line, "an unknown kind of line \"" + kind + "\"");
        if (value.size() - 1 > names->size())
            r_.fail(line, "this \"" + kind + "\" line has " + std::to_string(value.size() - 1) + " members, at most " +
                              std::to_string(names->size()) + " are known");
        json event = {{"e", kind}};
        for (std::size_t i = 1; i < value.size(); ++i) {
            // A request's status the library did not ask for is not there.
            if (kind == "request" && value[i].is_null() && std::string((*names)[i - 1]) == "status") continue;
            event[(*names)[i - 1]] = std::move(value[i]);
        }
        return event;
    }

private:
    struct shape {
        std::string name;
        std::vector<std::string> in, out;
    };

    static const std::vector<const char*>* fields_of(const std::string& kind, const json& value)
    {
        static const std::map<std::string, std::vector<const char*>> fields = {
            {"return", {"result", "new_name"}},
            {"request", {"code", "input", "result", "status", "reply"}},
            {"command", {"program", "arguments", "line", "exit"}},
            {"delete", {"path", "exit"}},
            {"env", {"name", "value"}},
            {"file", {"path", "content"}},
            {"stdout", {"text"}},
            {"end", {}},
            {"cut", {"bytes"}},
        };
        static const std::vector<const char*> notify = {"callback", "point", "part"}, translate = {"callback", "part"};
        if (kind == "call") return value.size() > 1 && value[1] == "notify" ? &notify : &translate;
        const auto found = fields.find(kind);
        return found == fields.end() ? nullptr : &found->second;
    }

    void operation(std::size_t line, const json& value)
    {
        const auto names = [&](const json& list) {
            std::vector<std::string> out;
            if (!list.is_array()) r_.fail(line, "an \"op\" line's names are not a list");
            for (const json& name : list) {
                if (!name.is_string()) r_.fail(line, "an \"op\" line's names are not texts");
                out.push_back(name.get<std::string>());
            }
            return out;
        };
        if (value.size() != 5 || !value[1].is_number_unsigned() || !value[2].is_string())
            r_.fail(line, "an \"op\" line is [\"op\", number, name, [inputs], [outputs]]");
        // The recorder names each operation once, numbering from 1: a number
        // named again would give the calls repeated after it another meaning.
        const std::size_t number = value[1].get<std::size_t>();
        if (number == 0) r_.fail(line, "an \"op\" line numbers its operation 0; numbers start at 1");
        if (shapes_.count(number) != 0) r_.fail(line, "names operation " + std::to_string(number) + " again");
        shapes_[number] = shape{value[2].get<std::string>(), names(value[3]), names(value[4])};
    }

    json host(std::size_t line, const json& value)
    {
        const std::size_t number = value[0].get<std::size_t>();
        if (value.size() == 1) {
            const auto last = last_.find(number);
            if (last == last_.end()) r_.fail(line, "repeats host call " + std::to_string(number) + ", of which none came before");
            return last->second;
        }
        const auto found = shapes_.find(number);
        if (found == shapes_.end()) r_.fail(line, "a host call of operation " + std::to_string(number) + ", which no \"op\" line named");
        const shape& s = found->second;
        if (value.size() > 4 || !value[1].is_array() || !value[2].is_array() || value[1].size() != s.in.size() ||
            value[2].size() != s.out.size())
            r_.fail(line, "a call of " + s.name + " whose inputs and outputs are not those its \"op\" line names");
        json event = {{"e", "host"}, {"op", s.name}, {"in", json::object()}, {"out", json::object()}};
        json& in = event["in"];
        json& out = event["out"];
        for (std::size_t i = 0; i < s.in.size(); ++i) in[s.in[i]] = std::move(value[1][i]);
        for (std::size_t i = 0; i < s.out.size(); ++i) out[s.out[i]] = std::move(value[2][i]);
        event["status"] = value.size() == 4 ? value[3] : json(0);
        last_[number] = event;
        return event;
    }

    // Texts take numbers in the order they stand in the line (an object of
    // the trace holds at most one text, so its members' order does not
    // matter); a reference is replaced by its text.
    void resolve(std::size_t line, json& value)
    {
        if (value.is_string()) {
            number(value, value.get_ref<const std::string&>().size());
        } else if (value.is_object() && value.size() == 1 && value.contains("t")) {
            const json& n = value["t"];
            if (!n.is_number_unsigned() || n.get<unsigned long long>() == 0 || n.get<unsigned long long>() > count_ ||
                n.get<unsigned long long>() + reach <= count_)
                r_.fail(line, "a reference to text " + n.dump() + ", which is not one of the last " + std::to_string(reach) + " texts");
            value = texts_[(n.get<unsigned long long>() - 1) % reach];
        } else if (is_bytes(value)) {
            number(value, trace_text(value).value_or("").size());
        } else if (value.is_object() || value.is_array()) {
            for (json& member : value) resolve(line, member);
        }
    }

    void number(const json& text, std::size_t bytes)
    {
        if (bytes < shortest || bytes > longest) return;
        if (texts_.empty()) texts_.resize(reach);
        texts_[count_++ % reach] = text;
    }

    // As the library's recorder keeps them.
    static constexpr std::size_t reach = 65536, shortest = 12, longest = 512;

    const line_reader& r_;
    std::map<std::size_t, shape> shapes_;
    std::map<std::size_t, json> last_;
    std::vector<json> texts_;
    unsigned long long count_ = 0;
};

}  // namespace

trace stream_trace(const std::filesystem::path& file, const trace_start& start, const trace_take& take)
{
    const std::string name = file.string();
    const line_reader r(name);
    // The first reading hands over every event; a partial trace is read
    // again up to its last complete callback.
    std::size_t limit = static_cast<std::size_t>(-1);
    for (;;) {
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec)) throw trace_error(name + ": is a folder, expected a trace file");
        std::ifstream in(file, std::ios::binary);
        if (!in) throw trace_error(name + ": cannot be read");

        trace t;
        t.file = file;
        std::optional<format_2_lines> format_2;
        callback_depth callbacks;
        std::string text;
        std::size_t line = 0;
        bool ended = false;
        std::string last_kind;
        std::optional<std::string> cut_short;
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
                    cut_short = "its last line was cut in the middle, at line " + std::to_string(line);
                    break;
                }
                r.fail(line, std::string("not a JSON ") + (format_2 ? "array" : "object") + ": the trace is corrupted here");
            }
            if (line == 1) {
                if (!value.is_object()) r.fail(line, "not a JSON object: the trace is corrupted here");
                r.check_bytes(line, value);
                r.check_header(value);
                if (value["format"].get<long long>() >= 2) format_2.emplace(r);
                t.header = std::move(value);
                start(t);
                continue;
            }
            if (format_2) {
                std::optional<json> event = format_2->event(line, std::move(value));
                if (!event) continue;
                value = std::move(*event);
            }
            if (!value.is_object()) r.fail(line, "not a JSON object: the trace is corrupted here");
            r.check_bytes(line, value);
            trace_event event = r.event(line, std::move(value));
            last_kind = event.kind;
            ended = last_kind == "end" || last_kind == "cut";
            callbacks.see(event);
            if (t.event_count < limit) {
                take(event);
                ++t.event_count;
            }
            if (last_kind == "cut") {
                const long long bytes = number_field(event.data, "bytes").value_or(0);
                cut_short = "it was cut at its size cap (" + std::to_string(bytes) + " bytes) at line " + std::to_string(line);
            }
        }
        if (line == 0) throw trace_error(name + ": line 1: empty, no trace header");
        if (!cut_short && !ended)
            cut_short = "it has no end line after line " + std::to_string(line) + ": the host ended before the session did";
        if (!cut_short) return t;
        trace_cut cut;
        cut.last_line = line;
        cut.why = *cut_short;
        cut.complete_line = callbacks.complete_line();
        cut.last_call = callbacks.complete_line() != 0 ? callbacks.last_call() : json();
        t.partial = std::move(cut);
        if (t.event_count == callbacks.complete()) return t;
        limit = callbacks.complete();
    }
}

trace read_trace(const std::filesystem::path& file)
{
    std::vector<trace_event> events;
    trace t = stream_trace(
        file, [&](const trace&) { events.clear(); }, [&](const trace_event& event) { events.push_back(event); });
    t.events = std::move(events);
    return t;
}

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

}  // namespace

std::string callback_key(const nlohmann::json& call)
{
    return text_field(call, "callback").value_or("") + "\n" + std::to_string(number_field(call, "point").value_or(-1)) +
           "\n" + same_separators(text_field(call, "part").value_or(""));
}

void callbacks_matcher::see(const trace_event& event)
{
    ++seen_;
    if (parted_) return;
    if (event.kind == "call") {
        if (depth_++ > 0) return;
        if (outer_ >= recorded_.size() || callback_key(event.data) != recorded_[outer_]) parted_ = true;
    } else if (event.kind == "return" && depth_ > 0 && --depth_ == 0) {
        ++outer_;
        kept_ = seen_;
    }
}

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
