// A session trace as the library records it (docs/trace-format.md): read
// whole and checked line by line, so that a trace that cannot be replayed
// is refused with the line that says why.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace clonesim {

// The trace cannot be read: the message names the file and, where there is
// one, the line.
class trace_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int trace_format = 1;

struct trace_event {
    std::size_t line = 0;
    std::string kind;     // its "e"
    nlohmann::json data;  // the whole line
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
    std::vector<trace_event> events;  // in order, the end line last
    std::optional<trace_cut> partial; // set when the trace has no end line
};

// Throws trace_error. A trace cut at its size cap, without its end line, or
// whose last line was cut in the middle is read up to its last complete
// callback and marked partial.
trace read_trace(const std::filesystem::path& file);

// The events of `events` up to the return of the last of its outermost
// callbacks that the host made as in `recorded` (the same callback, point
// and part, in the same place), at most as many as `recorded` holds whole.
// A session played from a partial trace knows only the parts seen so far,
// so the host's callbacks part from the recorded ones where the trace ends.
std::vector<trace_event> callbacks_as_in(const std::vector<trace_event>& events, const std::vector<trace_event>& recorded);

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

// Whether a file is named as the library names its traces.
bool is_trace_name(const std::filesystem::path& file);

// The trace files the library wrote into a folder, by name: the regular
// files so named.
std::vector<std::filesystem::path> trace_files_in(const std::filesystem::path& directory);

}  // namespace clonesim
