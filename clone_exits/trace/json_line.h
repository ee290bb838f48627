// One JSON object on one line, for the session trace. The library may use the
// standard library only, so this is the little it needs: objects, arrays,
// numbers, booleans and texts recorded as the bytes they are (a text that is
// not valid UTF-8 becomes {"bytes": ...}, one character per byte).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kx::trace {

// One character of UTF-8 text: its length in bytes and its code point. The
// length is 0 where no valid sequence starts: no overlong forms, no
// surrogates, nothing beyond U+10FFFF.
struct utf8_character {
    std::size_t length = 0;
    char32_t code = 0;
};
utf8_character decode_utf8(std::string_view bytes, std::size_t at) noexcept;

bool is_valid_utf8(std::string_view bytes) noexcept;

// The trace's form of a text that is not UTF-8: each byte as the character of
// the same value (U+0000 to U+00FF), in UTF-8.
std::string bytes_as_characters(std::string_view bytes);

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
