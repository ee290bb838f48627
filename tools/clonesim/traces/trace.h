// A session trace as the library records it (docs/trace-format.md): read
// whole and checked line by line, so that a trace that cannot be replayed
// is refused with the line that says why.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace clonesim {

// The trace cannot be read: the message names the file and, where there is
// one, the line.
class trace_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The newest format this clonesim reads; it reads every earlier one too.
inline constexpr int trace_format = 2;

// A line's values as the reader keeps them: one flat array of nodes, each
// container followed by its members, and one buffer of characters, so that
// reading a line allocates nothing once the buffers have grown.
struct trace_node {
    enum class type : unsigned char { null, boolean, integer, whole, floating, text, array, object };
    type kind = type::null;
    bool flag = false;            // a boolean's value
    std::uint32_t key = 0, key_size = 0;  // the member's name in its object, in the characters
    std::uint32_t at = 0, size = 0;       // a text's characters
    std::uint32_t end = 0;        // the node after this one's members
    long long number = 0;         // an integer's value (a whole one's bits)
    double real = 0;
};

struct trace_storage {
    std::vector<trace_node> nodes;
    std::string chars;
};

// A value of an event, read where the event keeps it: valid as long as the
// event is. Asked for what it does not hold, it gives none (or null).
class trace_value {
public:
    trace_value() = default;
    trace_value(const trace_storage* storage, std::uint32_t node) : s_(storage), n_(node) {}

    bool is_null() const noexcept { return s_ == nullptr || node().kind == trace_node::type::null; }
    bool is_true() const noexcept { return !is_null() && node().kind == trace_node::type::boolean && node().flag; }
    bool is_object() const noexcept { return !is_null() && node().kind == trace_node::type::object; }
    bool is_array() const noexcept { return !is_null() && node().kind == trace_node::type::array; }
    bool is_string() const noexcept { return !is_null() && node().kind == trace_node::type::text; }
    bool is_integer() const noexcept
    {
        return !is_null() && (node().kind == trace_node::type::integer || node().kind == trace_node::type::whole);
    }
    // {"bytes": ...}: a text that is no UTF-8.
    bool is_bytes() const noexcept;
    // A string's characters as they stand (no bytes decoded).
    std::string_view string() const noexcept;
    // A text as the bytes it is (see trace_text); anything else: none.
    std::optional<std::string> text() const;
    std::optional<long long> integer() const noexcept;
    // An object's member; null when there is none.
    trace_value operator[](std::string_view key) const noexcept;
    // The members of an array or object in order; with their names.
    std::vector<trace_value> members() const;
    // Each member in order, with no list made for them.
    template <class Visit>
    void each_member(Visit&& visit) const
    {
        if (!is_object() && !is_array()) return;
        const std::uint32_t end = node().end;
        for (std::uint32_t i = n_ + 1; i < end; i = s_->nodes[i].end) visit(trace_value(s_, i));
    }
    std::string_view name() const noexcept;  // as a member of an object
    std::size_t size() const noexcept;
    // The value as the JSON it was read from (members of objects by name).
    nlohmann::json to_json() const;
    // A number or true/false as JSON writes it.
    std::string dump() const;

    const trace_node& node() const noexcept { return s_->nodes[n_]; }
    const trace_storage* storage() const noexcept { return s_; }
    std::uint32_t index() const noexcept { return n_; }

private:
    const trace_storage* s_ = nullptr;
    std::uint32_t n_ = 0;
};

struct trace_event {
    trace_event() = default;
    trace_event(const trace_event& other)
        : line(other.line), kind(other.kind), repeated(other.repeated), storage(other.storage)
    {
        rebind();
    }
    trace_event& operator=(const trace_event& other)
    {
        line = other.line;
        kind = other.kind;
        repeated = other.repeated;
        storage = other.storage;
        rebind();
        return *this;
    }
    trace_event(trace_event&& other) noexcept
        : line(other.line), kind(other.kind), repeated(other.repeated), storage(std::move(other.storage))
    {
        rebind();
    }
    trace_event& operator=(trace_event&& other) noexcept
    {
        line = other.line;
        kind = other.kind;
        repeated = other.repeated;
        storage = std::move(other.storage);
        rebind();
        return *this;
    }

    std::size_t line = 0;
    std::string_view kind;  // its "e": one of the names the reader knows
    // A host call that repeats the last one of its operation exactly: the
    // reader hands over the same event (at the same address) again.
    bool repeated = false;
    trace_value data;       // the whole line, as format 1 writes it (an object)
    trace_storage storage;  // where data is held

    void rebind() noexcept { data = storage.nodes.empty() ? trace_value() : trace_value(&storage, 0); }
};

// Where a trace the session never ended stops, and how much of it is whole:
// the events are kept up to the return of the last callback the library
// finished, since a callback cut in the middle says nothing certain.
struct trace_cut {
    std::size_t last_line = 0;     // the file's last line
    std::string why;               // "it was cut at its size cap (4096 bytes)", ...
    std::size_t complete_line = 0; // the return line of the last complete callback; 0: none
    nlohmann::json last_call;      // that callback's call line; null: none
};

struct trace {
    std::filesystem::path file;
    nlohmann::json header;
    std::vector<trace_event> events;  // in order, the end line last (none when streamed)
    std::optional<trace_cut> partial; // set when the trace has no end line
    std::size_t event_count = 0;      // the events handed over
};

// Throws trace_error. A trace cut at its size cap, without its end line, or
// whose last line was cut in the middle is read up to its last complete
// callback and marked partial. Every event is in the format 1 shape (the
// kind in "e", each field under its name), whatever the file's format.
trace read_trace(const std::filesystem::path& file);

// Reads the trace a line at a time, keeping none: `start` gets the trace's
// file and header, then `take` each event in order. Only when the trace
// turns out partial is it read again, up to its last complete callback:
// `start` is called again first, so that what was taken is dropped. Gives
// the header, the number of events handed over and where a partial trace
// ends.
using trace_start = std::function<void(const trace& head)>;
using trace_take = std::function<void(const trace_event& event)>;
trace stream_trace(const std::filesystem::path& file, const trace_start& start, const trace_take& take);

// The events of `events` up to the return of the last of its outermost
// callbacks that the host made as in `recorded` (the same callback, point
// and part, in the same place), at most as many as `recorded` holds whole.
// A session played from a partial trace knows only the parts seen so far,
// so the host's callbacks part from the recorded ones where the trace ends.
std::vector<trace_event> callbacks_as_in(const std::vector<trace_event>& events, const std::vector<trace_event>& recorded);

// The same, as the events stream by: fed the outermost callbacks of the
// recorded trace (callback_key of each call line), it says whether each
// event of the other trace is still within them. The events of a callback
// are only known to count once it returned, so a reader takes them up to
// `kept()` of a first reading.
class callbacks_matcher {
public:
    explicit callbacks_matcher(std::vector<std::string> recorded) : recorded_(std::move(recorded)) {}
    void see(const trace_event& event);
    // The number of events up to the return of the last matching callback.
    std::size_t kept() const noexcept { return kept_; }

private:
    std::vector<std::string> recorded_;
    std::size_t seen_ = 0, kept_ = 0, depth_ = 0, outer_ = 0;
    bool parted_ = false;
};

// What tells a callback from another: its kind, point and part.
std::string callback_key(const nlohmann::json& call);
std::string callback_key(const trace_value& call);

// A file that is a scenario rather than a trace: one JSON object with the
// members only a scenario has.
bool looks_like_scenario(const std::filesystem::path& file);

// A recorded text as the bytes it is: a string, or {"bytes": ...} with one
// character per byte; null and anything else is no text.
std::optional<std::string> trace_text(const nlohmann::json& value);

// A member of an object; null when it has none or is no object.
const nlohmann::json& member(const nlohmann::json& object, const char* key);

// A field of an object as a text, a number or a list of texts; absent or of
// another kind: none.
std::optional<std::string> text_field(const nlohmann::json& object, const char* key);
std::optional<long long> number_field(const nlohmann::json& object, const char* key);
std::vector<std::string> texts_field(const nlohmann::json& object, const char* key);

// The same of an event's value.
trace_value member(const trace_value& object, const char* key);
std::optional<std::string> text_field(const trace_value& object, const char* key);
std::optional<long long> number_field(const trace_value& object, const char* key);
std::vector<std::string> texts_field(const trace_value& object, const char* key);
std::optional<std::string> trace_text(const trace_value& value);

// Whether a file is named as the library names its traces.
bool is_trace_name(const std::filesystem::path& file);

// The trace files the library wrote into a folder, by name: the regular
// files so named.
std::vector<std::filesystem::path> trace_files_in(const std::filesystem::path& directory);

}  // namespace clonesim
