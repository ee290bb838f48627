#include "texts/texts.h"

#include "trace/json_line.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace clonesim {

namespace {

using kx::trace::decode_utf8;

void append_utf8(std::string& out, char32_t code)
{
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
}

std::string hex_escape(unsigned char c)
{
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    return escaped;
}

std::string escaped_ascii(char c, bool quotes)
{
    switch (c) {
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\\': return "\\\\";
    case '"': return quotes ? "\\\"" : "\"";
    default:
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? hex_escape(static_cast<unsigned char>(c))
                                                                 : std::string(1, c);
    }
}

// Escapes one text; `stop` characters of it at most (the rest is counted).
void append_escaped(std::string& out, std::string_view text, bool quotes, std::size_t stop)
{
    std::size_t shown = 0;
    for (std::size_t at = 0; at < text.size() && shown < stop; ++shown) {
        // Most of a report's texts are plain ASCII: taken as they are,
        // without decoding, since a replay quotes every host call it compares.
        if (const char c = text[at]; c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += c;
            ++at;
            continue;
        }
        const std::size_t length = decode_utf8(text, at).length;
        if (length == 0)
            out += hex_escape(static_cast<unsigned char>(text[at]));
        else if (length == 1)
            out += escaped_ascii(text[at], quotes);
        else
            out.append(text, at, length);
        at += length == 0 ? 1 : length;
    }
}

std::string escaped(const std::string& text, bool quotes, std::size_t stop)
{
    std::string out;
    out.reserve(std::min(text.size(), stop) + 2);
    append_escaped(out, text, quotes, stop);
    return out;
}

std::size_t characters(const std::string& text)
{
    std::size_t n = 0;
    for (std::size_t at = 0; at < text.size(); ++n) {
        const std::size_t length = decode_utf8(text, at).length;
        at += length == 0 ? 1 : length;
    }
    return n;
}

}  // namespace

void append_quoted(std::string& out, std::string_view text)
{
    out += '"';
    append_escaped(out, text, true, text.size() + 1);
    out += '"';
}

std::string quote(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

std::string escape_bytes(const std::string& text) { return escaped(text, false, text.size() + 1); }

std::string quote_folded(const std::string& text, std::size_t limit)
{
    const std::size_t total = characters(text);
    if (total <= limit) return quote(text);
    return "\"" + escaped(text, true, limit) + "\"... (" + std::to_string(total) +
           " characters; the whole text is in --json)";
}

std::string json_safe(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        const auto character = decode_utf8(bytes, at);
        if (character.length != 0 && character.code < escaped_byte_base) {
            out.append(bytes, at, character.length);
            at += character.length;
            continue;
        }
        // An invalid byte, or a character of the escape range taken apart.
        const std::size_t count = character.length == 0 ? 1 : character.length;
        for (std::size_t i = 0; i < count; ++i)
            append_utf8(out, escaped_byte_base + static_cast<unsigned char>(bytes[at + i]));
        at += count;
    }
    return out;
}

std::optional<std::string> characters_as_bytes(const std::string& characters)
{
    std::string bytes;
    for (std::size_t at = 0; at < characters.size();) {
        const auto character = decode_utf8(characters, at);
        if (character.length == 0 || character.code > 0xFF) return std::nullopt;
        bytes += static_cast<char>(character.code);
        at += character.length;
    }
    return bytes;
}

std::string replace_each(const std::string& text, std::vector<std::pair<std::string, std::string>> pairs)
{
    std::erase_if(pairs, [](const auto& pair) { return pair.first.empty(); });
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto found = std::find_if(pairs.begin(), pairs.end(), [&](const auto& pair) {
            return text.compare(at, pair.first.size(), pair.first) == 0;
        });
        if (found == pairs.end()) {
            out += text[at++];
            continue;
        }
        out += found->second;
        at += found->first.size();
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string count_of(std::size_t n, const std::string& singular, const std::string& plural)
{
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace clonesim
