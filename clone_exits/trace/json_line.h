// One JSON object on one line, for the session trace. The library may use the
// standard library only, so this is the little it needs: objects, arrays,
// numbers, booleans and texts recorded as the bytes they are (a text that is
// not valid UTF-8 becomes {"bytes": ...}, one character per byte).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kx::trace {

bool is_valid_utf8(std::string_view bytes) noexcept;

class json_line {
public:
    json_line() { open_object(); }

    // The next member's name: plain ASCII names of the trace, written as given.
    json_line& key(std::string_view name);
    json_line& text(std::string_view bytes);
    // Null when `bytes` is null.
    json_line& text(const char* bytes);
    json_line& number(long long value);
    json_line& boolean(bool value);
    json_line& null();
    json_line& open_object();
    json_line& close_object();
    json_line& open_array();
    json_line& close_array();
    // A value written elsewhere as JSON, taken as it is.
    json_line& raw(std::string_view json);

    // Closes the line's object and hands the line over, newline included.
    std::string finish();

private:
    void before_value();

    std::string out_;
    std::vector<bool> has_member_;  // one per open container
    bool after_key_ = false;
};

}  // namespace kx::trace
