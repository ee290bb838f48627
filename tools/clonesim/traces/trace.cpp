#include "traces/trace.h"

#include "scenario/scenario.h"
#include "texts/texts.h"
#include "trace/json_line.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <unordered_map>

namespace clonesim {

namespace {

using json = nlohmann::json;

enum class shape { text, integer, boolean, object, texts, any };

struct field {
    const char* name;
    shape kind;
};

// What each kind of line must hold.
const std::map<std::string, std::vector<field>, std::less<>>& event_fields()
{
    static const std::map<std::string, std::vector<field>, std::less<>> fields = {
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

using node_type = trace_node::type;

// The recorder nests a line's values four levels deep at most, and its
// longest texts are the settings files the library reads whole, far below
// 64 MiB: a line beyond these was never recorded, and would run the reader
// out of stack, or its texts past the nodes' 32-bit offsets.
constexpr std::size_t deepest = 64;
constexpr std::size_t longest_line = std::size_t{64} << 20;
const std::string too_deep = "nested deeper than " + std::to_string(deepest) + " levels";
const std::string too_long = "more than " + std::to_string(longest_line >> 20) + " MiB of characters in one line";

// What each kind of line must hold, as the events stand; checked the same
// whatever the format.
bool node_is_text(const trace_value& value) { return value.is_null() || value.is_string() || value.is_bytes(); }

bool node_fits(const trace_value& value, shape kind)
{
    switch (kind) {
    case shape::text: return node_is_text(value);
    case shape::integer: return value.is_integer();
    case shape::boolean: return value.storage() != nullptr && value.node().kind == node_type::boolean;
    case shape::object: return value.is_object();
    case shape::texts: {
        if (!value.is_array()) return false;
        for (const trace_value& v : value.members())
            if (!node_is_text(v)) return false;
        return true;
    }
    default: return true;
    }
}

// The member of an object by name; none: a value without storage. The
// reader refuses an object that names a member twice, so the first found
// is the only one.
std::optional<trace_value> find_member(const trace_value& object, std::string_view key)
{
    if (!object.is_object()) return std::nullopt;
    const trace_storage& s = *object.storage();
    const char* chars = s.chars.data();
    const std::uint32_t end = s.nodes[object.index()].end;
    for (std::uint32_t i = object.index() + 1; i < end; i = s.nodes[i].end) {
        const trace_node& n = s.nodes[i];
        if (n.key_size == key.size() && std::char_traits<char>::compare(chars + n.key, key.data(), key.size()) == 0)
            return trace_value(&s, i);
    }
    return std::nullopt;
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

    void require(std::size_t line, const trace_value& object, const std::vector<field>& fields, std::string_view kind) const
    {
        for (const field& f : fields) {
            const auto value = find_member(object, f.name);
            if (!value)
                fail(line, "this \"" + std::string(kind) + "\" line has no \"" + f.name + "\" (" + shape_name(f.kind) + ")");
            if (!node_fits(*value, f.kind))
                fail(line, "this \"" + std::string(kind) + "\" line: \"" + f.name + "\" is not " + shape_name(f.kind));
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

    void check_bytes(std::size_t line, const trace_storage& s) const
    {
        for (std::uint32_t i = 0; i < s.nodes.size(); i = s.nodes[i].kind == node_type::text ? s.nodes[i].end : i + 1) {
            const trace_value value(&s, i);
            if (value.is_bytes() && (!value.members()[0].is_string() || !value.text().has_value()))
                fail(line, "a text given as bytes holds a character above U+00FF");
        }
    }

    // The first line: a trace header of a format this clonesim reads.
    void check_header(const json& value) const
    {
        const auto name = value.find("trace");
        if (name == value.end() || !name->is_string() || *name != "kxpdm-clone-trace")
            fail(1, "not a session trace (the first line is no trace header)");
        if (!value.contains("format") || !value["format"].is_number_integer()) fail(1, "the header has no format version");
        // A whole number past the signed range is newer, not negative.
        const json& format = value["format"];
        if (format.is_number_unsigned() ? format.get<unsigned long long>() > trace_format : format.get<long long>() > trace_format)
            fail(1, "format " + format.dump() + " is newer than this clonesim reads (" + std::to_string(trace_format) + ")");
        if (format.get<long long>() < 1) fail(1, "format " + format.dump() + " is not a known format");
        require(1, value, header_fields, "the header");
        require(1, value["state"], state_fields, "the header's state");
    }

    // An event of a known kind with its fields; gives the kind's name as
    // the reader keeps it.
    std::string_view event(std::size_t line, const trace_event& event, std::string_view kind) const
    {
        const auto known = event_fields().find(kind);
        if (known == event_fields().end()) fail(line, "an unknown kind of line \"" + std::string(kind) + "\"");
        require(line, event.data, known->second, kind);
        // The new name a callback gives back is not always there; where it
        // is, replay compares it as a text.
        if (kind == "return") {
            const auto name = find_member(event.data, "new_name");
            if (name && !node_is_text(*name)) fail(line, "this \"return\" line: \"new_name\" is not a text");
        }
        return known->first;
    }

private:
    std::string file_;
};

// A line's JSON as nodes, through the parser's events: no tree of JSON
// values is built. The lines are read with RapidJSON's event reader, three
// times as fast as nlohmann's parser on a trace's lines, and a replay reads
// two traces whole; the header is then read again by nlohmann, and
// everything clonesim writes stays with it. A line is taken or refused as
// nlohmann took it, with two exceptions, both of numbers the recorder never
// writes: a number whose exponent takes it past 10^308 before its fraction
// is counted is refused (0e400), and one whose digits before the point pass
// about 1.8e308 even when its exponent brings it back.
class line_parser {
public:
    // False: the line is no JSON, or `handler` refused it.
    template <class Handler>
    bool parse(const std::string& text, Handler& handler)
    {
        // A byte order mark at the start is passed over, and the line ends
        // at a byte 0, as nlohmann read them; the stream ends with the line,
        // so nothing past it is ever read.
        const std::size_t skip = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        rapidjson::MemoryStream in(text.data() + skip, text.size() - skip);
        if (!reader_) reader_.emplace();
        // Numbers are taken as their text, converted by Handler::RawNumber:
        // this reader's own conversion of fractions reads past its tables on
        // some of them. Texts are checked to be UTF-8 by the handler, as
        // written and as their escapes give them, so the reader does not
        // check them too.
        constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
        const bool read = !reader_->Parse<flags>(in, handler).IsError();
        // The reader keeps the room a line's longest text took: given up
        // after a long line, so one such line does not hold it for the rest.
        if (text.size() > (std::size_t{1} << 20)) reader_.reset();
        return read;
    }

private:
    std::optional<rapidjson::Reader> reader_;
};

class node_builder {
public:
    node_builder(trace_storage& s, std::vector<std::uint32_t>& open) : s_(s), open_(open)
    {
        s_.nodes.clear();
        s_.chars.clear();
        open_.clear();
    }

    bool Null() { return add(node_type::null), true; }
    bool Bool(bool value) { return add(node_type::boolean).flag = value, true; }
    bool Int(int) { return false; }  // numbers come as their text (see RawNumber)
    bool Int64(std::int64_t) { return false; }
    bool Uint(unsigned) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    // A number as nlohmann reads one: without a fraction or an exponent, a
    // whole number when it has no sign and an integer when it has, each
    // while it fits in 64 bits; otherwise a floating one, refused when it
    // is past the largest.
    bool RawNumber(const char* text, rapidjson::SizeType size, bool)
    {
        const char* end = text + size;
        if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == end) {
            if (*text == '-') {
                std::int64_t value = 0;
                if (std::from_chars(text, end, value).ec == std::errc()) return add(node_type::integer).number = value, true;
            } else {
                std::uint64_t value = 0;
                if (std::from_chars(text, end, value).ec == std::errc())
                    return add(node_type::whole).number = static_cast<long long>(value), true;
            }
        }
        const double value = std::strtod(std::string(text, size).c_str(), nullptr);
        if (!std::isfinite(value)) return false;
        return add(node_type::floating).real = value, true;
    }
    bool String(const char* text, rapidjson::SizeType size, bool)
    {
        if (!room(size) || !valid(text, size)) return false;
        trace_node& n = add(node_type::text);
        n.at = static_cast<std::uint32_t>(s_.chars.size());
        n.size = static_cast<std::uint32_t>(size);
        s_.chars.append(text, size);
        return true;
    }
    bool StartObject()
    {
        objects_ = true;
        return open(node_type::object);
    }
    // Whether the line holds an object: only an object can be a text given
    // as bytes.
    bool objects() const noexcept { return objects_; }
    bool Key(const char* text, rapidjson::SizeType size, bool)
    {
        if (!room(size) || !valid(text, size)) return false;
        key_ = static_cast<std::uint32_t>(s_.chars.size());
        key_size_ = static_cast<std::uint32_t>(size);
        keyed_ = true;
        s_.chars.append(text, size);
        return true;
    }
    bool EndObject(rapidjson::SizeType) { return unique_names() && close(); }
    bool StartArray() { return open(node_type::array); }
    bool EndArray(rapidjson::SizeType) { return close(); }
    // Why a line that is JSON was not read; empty: it is no JSON.
    const std::string& refused() const noexcept { return refused_; }

private:
    bool refuse(std::string why)
    {
        refused_ = std::move(why);
        return false;
    }
    bool room(std::size_t size)
    {
        return s_.chars.size() + size <= longest_line || refuse(too_long);
    }
    // Every text and name once, after its escapes are undone: an escape of
    // half a surrogate pair gives bytes that are no UTF-8.
    static bool valid(const char* text, std::size_t size) { return kx::trace::is_valid_utf8(std::string_view(text, size)); }
    std::string_view name_of(std::uint32_t i) const
    {
        return std::string_view(s_.chars).substr(s_.nodes[i].key, s_.nodes[i].key_size);
    }
    // A JSON object keeps the last of two members of one name, while the
    // recorder never writes one: such a line was edited by hand.
    bool unique_names()
    {
        const std::uint32_t first = open_.back() + 1, end = static_cast<std::uint32_t>(s_.nodes.size());
        if (first == end || s_.nodes[first].end == end) return true;  // most hold one member: nothing to sort
        names_.clear();
        for (std::uint32_t i = first; i < end; i = s_.nodes[i].end) names_.push_back(name_of(i));
        std::sort(names_.begin(), names_.end());
        const auto twice = std::adjacent_find(names_.begin(), names_.end());
        return twice == names_.end() || refuse("an object names " + json(std::string(*twice)).dump() + " twice");
    }
    trace_node& add(node_type kind)
    {
        trace_node n;
        n.kind = kind;
        if (keyed_) {
            n.key = key_;
            n.key_size = key_size_;
            keyed_ = false;
        }
        n.end = static_cast<std::uint32_t>(s_.nodes.size() + 1);
        s_.nodes.push_back(n);
        return s_.nodes.back();
    }
    bool open(node_type kind)
    {
        // Stopped here, the reader never nests deeper either.
        if (open_.size() == deepest) return refuse(too_deep);
        add(kind);
        open_.push_back(static_cast<std::uint32_t>(s_.nodes.size() - 1));
        return true;
    }
    bool close()
    {
        s_.nodes[open_.back()].end = static_cast<std::uint32_t>(s_.nodes.size());
        open_.pop_back();
        return true;
    }

    trace_storage& s_;
    std::vector<std::uint32_t>& open_;
    std::uint32_t key_ = 0, key_size_ = 0;
    bool keyed_ = false;
    bool objects_ = false;
    std::string refused_;
    std::vector<std::string_view> names_;
};

// Builds an event's nodes: the line's characters are kept, so that what is
// copied from the line keeps its place in them.
class event_writer {
public:
    event_writer(trace_storage& out, const trace_storage& line) : out_(out), line_(line)
    {
        out_.chars = line.chars;
        out_.nodes.clear();
    }

    void open(node_type kind, std::string_view key = {})
    {
        trace_node n;
        n.kind = kind;
        name(n, key);
        out_.nodes.push_back(n);
        open_[depth_++] = static_cast<std::uint32_t>(out_.nodes.size() - 1);
    }
    void close()
    {
        out_.nodes[open_[--depth_]].end = static_cast<std::uint32_t>(out_.nodes.size());
    }
    void text(std::string_view key, std::string_view text)
    {
        trace_node n;
        n.kind = node_type::text;
        name(n, key);
        n.at = static_cast<std::uint32_t>(out_.chars.size());
        n.size = static_cast<std::uint32_t>(text.size());
        out_.chars += text;
        n.end = static_cast<std::uint32_t>(out_.nodes.size() + 1);
        out_.nodes.push_back(n);
    }
    void integer(std::string_view key, long long value)
    {
        trace_node n;
        n.kind = node_type::integer;
        name(n, key);
        n.number = value;
        n.end = static_cast<std::uint32_t>(out_.nodes.size() + 1);
        out_.nodes.push_back(n);
    }
    // The line's value at `from`, with all it holds, under a new name.
    void copy(std::uint32_t from, std::string_view key)
    {
        const std::uint32_t to = static_cast<std::uint32_t>(out_.nodes.size());
        const std::uint32_t end = line_.nodes[from].end;
        out_.nodes.insert(out_.nodes.end(), line_.nodes.begin() + from, line_.nodes.begin() + end);
        for (std::uint32_t i = to; i < out_.nodes.size(); ++i) out_.nodes[i].end = out_.nodes[i].end - from + to;
        name(out_.nodes[to], key);
    }

private:
    void name(trace_node& n, std::string_view key)
    {
        n.key = static_cast<std::uint32_t>(out_.chars.size());
        n.key_size = static_cast<std::uint32_t>(key.size());
        out_.chars += key;
    }

    trace_storage& out_;
    const trace_storage& line_;
    std::array<std::uint32_t, 2> open_{};  // an event and its inputs or outputs
    std::size_t depth_ = 0;
};

}  // namespace

bool trace_value::is_bytes() const noexcept
{
    if (!is_object()) return false;
    const trace_node& o = node();
    if (o.end == n_ + 1 || s_->nodes[n_ + 1].end != o.end) return false;
    return trace_value(s_, n_ + 1).name() == "bytes";
}

std::string_view trace_value::string() const noexcept
{
    if (!is_string()) return {};
    return std::string_view(s_->chars).substr(node().at, node().size);
}

std::string_view trace_value::name() const noexcept
{
    if (s_ == nullptr) return {};
    // The builders keep every name within the characters.
    return std::string_view(s_->chars.data() + node().key, node().key_size);
}

std::optional<std::string> trace_value::text() const
{
    if (is_string()) return std::string(string());
    if (!is_bytes()) return std::nullopt;
    const trace_value characters(s_, n_ + 1);
    if (!characters.is_string()) return std::nullopt;
    return characters_as_bytes(std::string(characters.string()));
}

std::optional<long long> trace_value::integer() const noexcept
{
    if (!is_integer()) return std::nullopt;
    return node().number;
}

trace_value trace_value::operator[](std::string_view key) const noexcept
{
    return find_member(*this, key).value_or(trace_value());
}

std::vector<trace_value> trace_value::members() const
{
    std::vector<trace_value> out;
    if (!is_object() && !is_array()) return out;
    for (std::uint32_t i = n_ + 1; i < node().end; i = s_->nodes[i].end) out.emplace_back(s_, i);
    return out;
}

std::size_t trace_value::size() const noexcept
{
    if (!is_object() && !is_array()) return 0;
    std::size_t n = 0;
    for (std::uint32_t i = n_ + 1; i < node().end; i = s_->nodes[i].end) ++n;
    return n;
}

json trace_value::to_json() const
{
    if (s_ == nullptr) return nullptr;
    switch (node().kind) {
    case node_type::boolean: return node().flag;
    case node_type::integer: return node().number;
    case node_type::whole: return static_cast<unsigned long long>(node().number);
    case node_type::floating: return node().real;
    case node_type::text: return std::string(string());
    case node_type::array: {
        json out = json::array();
        for (const trace_value& m : members()) out.push_back(m.to_json());
        return out;
    }
    case node_type::object: {
        json out = json::object();
        for (const trace_value& m : members()) out[std::string(m.name())] = m.to_json();
        return out;
    }
    default: return nullptr;
    }
}

std::string trace_value::dump() const
{
    if (s_ == nullptr) return "null";
    switch (node().kind) {
    case node_type::boolean: return node().flag ? "true" : "false";
    case node_type::integer: return std::to_string(node().number);
    case node_type::whole: return std::to_string(static_cast<unsigned long long>(node().number));
    default: return to_json().dump();
    }
}

trace_value member(const trace_value& object, const char* key) { return object[key]; }

std::optional<std::string> trace_text(const trace_value& value) { return value.text(); }

std::optional<std::string> text_field(const trace_value& object, const char* key) { return object[key].text(); }

std::optional<long long> number_field(const trace_value& object, const char* key) { return object[key].integer(); }

std::vector<std::string> texts_field(const trace_value& object, const char* key)
{
    std::vector<std::string> texts;
    const trace_value list = object[key];
    if (!list.is_array()) return texts;
    for (const trace_value& value : list.members()) texts.push_back(value.text().value_or(""));
    return texts;
}

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
            if (depth_++ == 0) call_ = event;
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
    json last_call() const { return last_call_.data.to_json(); }

private:
    std::size_t seen_ = 0, depth_ = 0, complete_ = 0, complete_line_ = 0;
    trace_event call_, last_call_;
};

// Format 2 writes each event as an array of its fields in a fixed order,
// each host operation's parameter names once (an "op" line), a text met
// again as the number it took ({"t": n}) and a host call that repeats the
// last of its operation and shape as the number alone. This turns a line
// back into the event as format 1 writes it.
class format_2_lines {
public:
    explicit format_2_lines(const line_reader& reader) : r_(reader) {}

    // Reads a line into the reader's own nodes; false: it is no JSON.
    bool parse(const std::string& text)
    {
        node_builder builder(line_, open_);
        const bool read = parser_.parse(text, builder);
        objects_ = builder.objects();
        refused_ = builder.refused();
        return read;
    }
    const std::string& refused() const noexcept { return refused_; }

    // The event of the line parsed last; none for an operation's line. It
    // stays as it is until the next line is read.
    const trace_event* event(std::size_t line)
    {
        const auto& nodes = line_.nodes;
        const trace_value value(&line_, 0);
        if (!value.is_array() || value.size() == 0) r_.fail(line, "not a JSON array: the trace is corrupted here");
        std::vector<trace_value>& members = members_;
        members.clear();
        for (std::uint32_t i = 1; i < nodes[0].end; i = nodes[i].end) members.emplace_back(&line_, i);
        if (members[0].is_string() && members[0].string() == "op") {
            operation(line, members);
            return nullptr;
        }
        for (std::size_t i = 1; i < members.size(); ++i) resolve(line, members[i].index());
        if (nodes[1].kind == node_type::whole) return &host(line, members);
        if (!members[0].is_string()) r_.fail(line, "a line whose first member is neither a kind nor an operation's number");
        const std::string_view kind = members[0].string();
        const std::vector<const char*>* names = fields_of(kind, members);
        if (names == nullptr) r_.fail(line, "an unknown kind of line \"" + std::string(kind) + "\"");
        if (members.size() - 1 > names->size())
            r_.fail(line, "this \"" + std::string(kind) + "\" line has " + std::to_string(members.size() - 1) +
                              " members, at most " + std::to_string(names->size()) + " are known");
        event_.line = line;
        {
            event_writer w(event_.storage, line_);
            w.open(node_type::object);
            w.text("e", kind);
            for (std::size_t i = 1; i < members.size(); ++i) {
                // A request's status the library did not ask for is not there.
                if (kind == "request" && members[i].is_null() && std::string_view((*names)[i - 1]) == "status") continue;
                w.copy(members[i].index(), (*names)[i - 1]);
            }
            w.close();
        }
        event_.rebind();
        if (objects_) r_.check_bytes(line, event_.storage);
        event_.kind = r_.event(line, event_, kind);
        return &event_;
    }

private:
    struct shape {
        std::string name;
        std::vector<std::string> in, out;
    };

    static const std::vector<const char*>* fields_of(std::string_view kind, const std::vector<trace_value>& members)
    {
        static const std::map<std::string, std::vector<const char*>, std::less<>> fields = {
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
        if (kind == "call") return members.size() > 1 && members[1].is_string() && members[1].string() == "notify" ? &notify : &translate;
        const auto found = fields.find(kind);
        return found == fields.end() ? nullptr : &found->second;
    }

    void operation(std::size_t line, const std::vector<trace_value>& value)
    {
        const auto names = [&](const trace_value& list) {
            std::vector<std::string> out;
            if (!list.is_array()) r_.fail(line, "an \"op\" line's names are not a list");
            for (const trace_value& name : list.members()) {
                if (!name.is_string()) r_.fail(line, "an \"op\" line's names are not texts");
                // Its calls' inputs and outputs become objects by these names.
                if (std::find(out.begin(), out.end(), name.string()) != out.end())
                    r_.fail(line, "an \"op\" line names " + json(std::string(name.string())).dump() + " twice");
                out.emplace_back(name.string());
            }
            return out;
        };
        if (value.size() != 5 || value[1].node().kind != node_type::whole || !value[2].is_string())
            r_.fail(line, "an \"op\" line is [\"op\", number, name, [inputs], [outputs]]");
        // The recorder names each operation once, numbering from 1: a number
        // named again would give the calls repeated after it another meaning.
        const auto number = static_cast<std::size_t>(value[1].node().number);
        if (number == 0) r_.fail(line, "an \"op\" line numbers its operation 0; numbers start at 1");
        if (shapes_.count(number) != 0) r_.fail(line, "names operation " + std::to_string(number) + " again");
        shapes_[number] = shape{std::string(value[2].string()), names(value[3]), names(value[4])};
    }

public:
    // A line that is only a host call's number ("[12]"), as the recorder
    // writes a repeated call and as more than a quarter of a big session's
    // lines are: its number, read without the JSON parser. Anything else, a
    // number written another way included, goes through the parser.
    static std::optional<std::size_t> repeat_line(const std::string& text)
    {
        // At most 18 digits, so the number cannot wrap.
        if (text.size() < 3 || text.size() > 20 || text.front() != '[' || text.back() != ']') return std::nullopt;
        if (text[1] == '0' && text.size() > 3) return std::nullopt;  // JSON writes no leading zero
        std::size_t number = 0;
        for (std::size_t i = 1; i + 1 < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            number = number * 10 + static_cast<std::size_t>(text[i] - '0');
        }
        return number;
    }

    // The event of the call `number` repeats.
    const trace_event& repeat(std::size_t line, std::size_t number)
    {
        const auto last = last_.find(number);
        if (last == last_.end()) r_.fail(line, "repeats host call " + std::to_string(number) + ", of which none came before");
        last->second.line = line;
        last->second.repeated = true;
        return last->second;
    }

private:
    const trace_event& host(std::size_t line, const std::vector<trace_value>& value)
    {
        const auto number = static_cast<std::size_t>(value[0].node().number);
        if (value.size() == 1) return repeat(line, number);
        const auto found = shapes_.find(number);
        if (found == shapes_.end()) r_.fail(line, "a host call of operation " + std::to_string(number) + ", which no \"op\" line named");
        const shape& s = found->second;
        if (value.size() < 3 || value.size() > 4 || !value[1].is_array() || !value[2].is_array() ||
            value[1].size() != s.in.size() || value[2].size() != s.out.size())
            r_.fail(line, "a call of " + s.name + " whose inputs and outputs are not those its \"op\" line names");
        trace_event& event = last_[number];
        event.line = line;
        event.repeated = false;
        {
            event_writer w(event.storage, line_);
            w.open(node_type::object);
            w.text("e", "host");
            w.text("op", s.name);
            const auto& nodes = line_.nodes;
            w.open(node_type::object, "in");
            std::uint32_t at = value[1].index() + 1;
            for (std::size_t i = 0; i < s.in.size(); ++i, at = nodes[at].end) w.copy(at, s.in[i]);
            w.close();
            w.open(node_type::object, "out");
            at = value[2].index() + 1;
            for (std::size_t i = 0; i < s.out.size(); ++i, at = nodes[at].end) w.copy(at, s.out[i]);
            w.close();
            if (value.size() == 4) w.copy(value[3].index(), "status");
            else w.integer("status", 0);
            w.close();
        }
        event.rebind();
        if (objects_) r_.check_bytes(line, event.storage);
        // The operation's name and its inputs and outputs are as they must
        // be by now; the status is the line's own.
        if (!event.data["status"].is_integer()) r_.fail(line, "this \"host\" line: \"status\" is not a whole number");
        event.kind = "host";
        return event;
    }

    // Texts take numbers in the order they stand in the line (an object of
    // the trace holds at most one text, so its members' order does not
    // matter); a reference is replaced by its text.
    void resolve(std::size_t line, std::uint32_t at)
    {
        const trace_value value(&line_, at);
        const trace_node& n = line_.nodes[at];
        if (n.kind == node_type::text) {
            number(value.string(), false, n.size);
        } else if (value.is_object() && value.size() == 1 && trace_value(&line_, at + 1).name() == "t") {
            const trace_node& t = line_.nodes[at + 1];
            const auto number = static_cast<unsigned long long>(t.number);
            if (t.kind != node_type::whole || number == 0 || number > count_ || number + reach <= count_)
                r_.fail(line, "a reference to text " + trace_value(&line_, at + 1).to_json().dump() +
                                  ", which is not one of the last " + std::to_string(reach) + " texts");
            const numbered& text = texts_[(number - 1) % reach];
            // A short line of many references would otherwise take memory
            // without end.
            if (line_.chars.size() + text.characters.size() > longest_line) r_.fail(line, too_long);
            // The reference and its number make room for the text: an
            // object of one member, or a text whose member is passed over.
            trace_node& child = line_.nodes[at + 1];
            if (text.bytes) {
                child.kind = node_type::text;
                child.key = static_cast<std::uint32_t>(line_.chars.size());
                child.key_size = 5;
                line_.chars += "bytes";
                child.at = static_cast<std::uint32_t>(line_.chars.size());
                child.size = static_cast<std::uint32_t>(text.characters.size());
            } else {
                trace_node& whole = line_.nodes[at];
                whole.kind = node_type::text;
                whole.at = static_cast<std::uint32_t>(line_.chars.size());
                whole.size = static_cast<std::uint32_t>(text.characters.size());
            }
            line_.chars += text.characters;
        } else if (value.is_bytes()) {
            const trace_value characters(&line_, at + 1);
            const std::size_t bytes = value.text().value_or("").size();
            if (characters.is_string()) number(characters.string(), true, bytes);
        } else if (value.is_object() || value.is_array()) {
            for (std::uint32_t i = at + 1; i < n.end; i = line_.nodes[i].end) resolve(line, i);
        }
    }

    void number(std::string_view characters, bool bytes, std::size_t size)
    {
        if (size < shortest || size > longest) return;
        if (texts_.empty()) texts_.resize(reach);
        numbered& slot = texts_[count_++ % reach];
        slot.characters.assign(characters);
        slot.bytes = bytes;
    }

    // As the library's recorder keeps them.
    static constexpr std::size_t reach = 65536, shortest = 12, longest = 512;

    struct numbered {
        std::string characters;
        bool bytes = false;
    };

    const line_reader& r_;
    trace_storage line_;
    bool objects_ = false;
    std::string refused_;
    std::vector<std::uint32_t> open_;
    line_parser parser_;
    std::vector<trace_value> members_;
    trace_event event_;
    std::map<std::size_t, shape> shapes_;
    std::unordered_map<std::size_t, trace_event> last_;
    std::vector<numbered> texts_;
    unsigned long long count_ = 0;
};

// A format 1 line, already read into the event's nodes, as an event.
const trace_event& format_1_event(const line_reader& r, std::size_t line, trace_event& event)
{
    event.line = line;
    event.rebind();
    if (!event.data.is_object()) r.fail(line, "not a JSON object: the trace is corrupted here");
    r.check_bytes(line, event.storage);
    const trace_value kind = event.data["e"];
    if (!kind.is_string()) r.fail(line, "a line without \"e\" (its kind)");
    event.kind = r.event(line, event, kind.string());
    return event;
}

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
        trace_event format_1;
        line_parser format_1_parser;
        std::vector<std::uint32_t> open;
        callback_depth callbacks;
        std::string text;
        std::size_t line = 0;
        bool ended = false;
        std::string_view last_kind;
        std::optional<std::string> cut_short;
        while (std::getline(in, text)) {
            ++line;
            if (!text.empty() && text.back() == '\r') text.pop_back();
            if (text.size() > longest_line) r.fail(line, too_long);
            if (ended) r.fail(line, "a line after the trace's last line (\"" + std::string(last_kind) + "\")");
            // A last line without its line end is one the writer never
            // finished: the host went down or the disk filled up.
            const auto unreadable = [&] {
                if (line > 1 && in.eof()) {
                    cut_short = "its last line was cut in the middle, at line " + std::to_string(line);
                    return;
                }
                r.fail(line, std::string("not a JSON ") + (format_2 ? "array" : "object") + ": the trace is corrupted here");
            };
            const trace_event* event = nullptr;
            if (format_2) {
                if (const auto number = format_2_lines::repeat_line(text)) {
                    event = &format_2->repeat(line, *number);
                } else if (!format_2->parse(text)) {
                    if (!format_2->refused().empty()) r.fail(line, format_2->refused());
                    unreadable();
                    break;
                } else {
                    event = format_2->event(line);
                    if (event == nullptr) continue;
                }
            } else {
                node_builder builder(format_1.storage, open);
                if (!format_1_parser.parse(text, builder)) {
                    if (!builder.refused().empty()) r.fail(line, builder.refused());
                    unreadable();
                    break;
                }
                if (line == 1) {
                    // Read through the nodes first, the header nests no
                    // deeper than the checks below can recurse.
                    json value;
                    try {
                        value = json::parse(text);
                    } catch (const json::exception&) {
                        // A guard: no header the reader above took has been
                        // found that nlohmann refuses; if one is, it is named
                        // as corruption at its line, not in nlohmann's words.
                        r.fail(line, "not a JSON object: the trace is corrupted here");
                    }
                    if (!value.is_object()) r.fail(line, "not a JSON object: the trace is corrupted here");
                    r.check_bytes(line, value);
                    r.check_header(value);
                    if (value["format"].get<long long>() >= 2) format_2.emplace(r);
                    t.header = std::move(value);
                    start(t);
                    continue;
                }
                event = &format_1_event(r, line, format_1);
            }
            last_kind = event->kind;
            ended = last_kind == "end" || last_kind == "cut";
            callbacks.see(*event);
            if (t.event_count < limit) {
                take(*event);
                ++t.event_count;
            }
            if (last_kind == "cut") {
                const long long bytes = number_field(event->data, "bytes").value_or(0);
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

std::string callback_key(const trace_value& call)
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
