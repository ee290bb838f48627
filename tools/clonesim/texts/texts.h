// How clonesim writes texts that come from the host, the library and the
// server: bytes in the host's code page, not necessarily valid UTF-8, and
// sometimes very long. UTF-8 is read with the library's own decoder
// (trace/json_line.h), so clonesim and the trace agree on what is valid.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace clonesim {

// A text in double quotes with line feeds, tabs, quotes, backslashes and
// other control characters escaped, and each byte that is not part of a
// valid UTF-8 sequence written as \xHH, so that every byte can be seen and
// told apart.
std::string quote(const std::string& text);
// The same, written onto the end of `out`.
void append_quoted(std::string& out, std::string_view text);

// The same without the quotes, for lines shown as they are.
std::string escape_bytes(const std::string& text);

// A quoted text cut to about `limit` characters for the text report, with
// how long the whole text is; the whole text stays in the JSON report.
inline constexpr std::size_t fold_limit = 160;
std::string quote_folded(const std::string& text, std::size_t limit = fold_limit);

// The reversible byte escape of the JSON report and the HTML page: each byte
// that is not part of a valid UTF-8 sequence becomes the character
// escaped_byte_base + byte (in the private use plane 16), and a character
// from escaped_byte_base to U+10FFFF in the text is itself written byte by
// byte that way. Decoding maps every character of that range back to its
// byte. Valid UTF-8 without such characters is left as it is.
inline constexpr char32_t escaped_byte_base = 0x10FF00;
std::string json_safe(const std::string& bytes);

// Texts that are not UTF-8 as the trace and the scenario file write them,
// one character per byte (kx::trace::bytes_as_characters), read back; none
// when a character is above U+00FF or the text is not UTF-8.
std::optional<std::string> characters_as_bytes(const std::string& characters);

// The text with every occurrence of a pair's first text put as its second,
// in one pass from left to right, the longest first text winning where two
// start at the same place; what was put in is not looked at again.
std::string replace_each(const std::string& text, std::vector<std::pair<std::string, std::string>> pairs);

// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);

// "1 part", "2 parts".
std::string count_of(std::size_t n, const std::string& singular, const std::string& plural);

}  // namespace clonesim
