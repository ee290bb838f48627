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

struct trace {
    std::filesystem::path file;
    nlohmann::json header;
    std::vector<trace_event> events;  // in order, the end line last
};

// Throws trace_error.
trace read_trace(const std::filesystem::path& file);

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

// The trace files the library wrote into a folder, by name.
std::vector<std::filesystem::path> trace_files_in(const std::filesystem::path& directory);

}  // namespace clonesim
