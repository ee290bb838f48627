// How clonesim writes texts that come from the host, the library and the
// server: bytes in the host's code page, not necessarily valid UTF-8, and
// sometimes very long.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>
#include <string>

namespace clonesim {

// A text in double quotes with line feeds, tabs, quotes, backslashes and
// other control characters escaped, and each byte that is not part of a
// valid UTF-8 sequence written as \xHH, so that every byte can be seen and
// told apart.
std::string quote(const std::string& text);

// The same without the quotes, for lines shown as they are.
std::string escape_bytes(const std::string& text);

// A quoted text cut to about `limit` characters for the text report, with
// how long the whole text is; the whole text stays in the JSON report.
inline constexpr std::size_t fold_limit = 160;
std::string quote_folded(const std::string& text, std::size_t limit = fold_limit);

// The reversible escape of the JSON report: each byte that is not part of a
// valid UTF-8 sequence becomes the character U+10FF00 + byte (in the private
// use plane 16), and a character from U+10FF00 to U+10FFFF in the text is
// itself written byte by byte that way. Decoding maps every character of
// that range back to its byte. Valid UTF-8 without such characters is left
// as it is.
std::string json_safe(const std::string& bytes);

// Whether every byte is part of a valid UTF-8 sequence.
bool valid_utf8(const std::string& text);

// Texts that are not UTF-8 as the trace and the scenario file write them:
// one character per byte, the character with the byte's value (U+0000 to
// U+00FF), in UTF-8; and back, none when a character is above U+00FF or the
// text is not UTF-8.
std::string bytes_as_characters(const std::string& bytes);
std::optional<std::string> characters_as_bytes(const std::string& characters);

// The text with every occurrence of a pair's first text put as its second,
// in one pass from left to right, the longest first text winning where two
// start at the same place; what was put in is not looked at again.
std::string replace_each(const std::string& text, std::vector<std::pair<std::string, std::string>> pairs);

// "1 part", "2 parts".
std::string count_of(std::size_t n, const std::string& singular, const std::string& plural);

}  // namespace clonesim
