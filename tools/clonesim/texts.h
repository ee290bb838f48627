// How clonesim writes texts that come from the host, the library and the
// server: bytes in the host's code page, not necessarily valid UTF-8, and
// sometimes very long.
#pragma once

#include <cstddef>
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

// "1 part", "2 parts".
std::string count_of(std::size_t n, const std::string& singular, const std::string& plural);

}  // namespace clonesim
