#include "texts.h"

#include <algorithm>
#include <cstdio>

namespace clonesim {

namespace {

constexpr unsigned long escape_base = 0x10FF00;

// Length of the valid UTF-8 sequence at `at` (shortest form, no surrogates),
// 0 when the byte there does not start one.
std::size_t utf8_length(const std::string& text, std::size_t at, unsigned long& code)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void append_utf8(std::string& out, unsigned long code)
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

// Escapes one text; `stop` characters of it at most (the rest is counted).
std::string escaped(const std::string& text, bool quotes, std::size_t stop, std::size_t& shown)
{
    std::string out;
    shown = 0;
    for (std::size_t at = 0; at < text.size() && shown < stop; ++shown) {
        unsigned long code = 0;
        const std::size_t length = utf8_length(text, at, code);
        const char c = text[at];
        if (length == 0) {
            out += hex_escape(static_cast<unsigned char>(c));
            ++at;
            continue;
        }
        if (length == 1) {
            switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += quotes ? "\\\"" : "\""; break;
            default: out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? hex_escape(static_cast<unsigned char>(c)) : std::string(1, c);
            }
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

std::size_t characters(const std::string& text)
{
    std::size_t n = 0;
    for (std::size_t at = 0; at < text.size(); ++n) {
        unsigned long code = 0;
        const std::size_t length = utf8_length(text, at, code);
        at += length == 0 ? 1 : length;
    }
    return n;
}

}  // namespace

std::string quote(const std::string& text)
{
    std::size_t shown = 0;
    return "\"" + escaped(text, true, text.size() + 1, shown) + "\"";
}

std::string escape_bytes(const std::string& text)
{
    std::size_t shown = 0;
    return escaped(text, false, text.size() + 1, shown);
}

std::string quote_folded(const std::string& text, std::size_t limit)
{
    const std::size_t total = characters(text);
    if (total <= limit) return quote(text);
    std::size_t shown = 0;
    return "\"" + escaped(text, true, limit, shown) + "\"... (" + std::to_string(total) +
           " characters; the whole text is in --json)";
}

std::string json_safe(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        unsigned long code = 0;
        const std::size_t length = utf8_length(bytes, at, code);
        if (length != 0 && code < escape_base) {
            out.append(bytes, at, length);
            at += length;
            continue;
        }
        // An invalid byte, or a character of the escape range taken apart.
        const std::size_t count = length == 0 ? 1 : length;
        for (std::size_t i = 0; i < count; ++i)
            append_utf8(out, escape_base + static_cast<unsigned char>(bytes[at + i]));
        at += count;
    }
    return out;
}

bool valid_utf8(const std::string& text)
{
    unsigned long code = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_length(text, at, code);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string bytes_as_characters(const std::string& bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> characters_as_bytes(const std::string& characters)
{
    std::string bytes;
    unsigned long code = 0;
    for (std::size_t at = 0; at < characters.size();) {
        const std::size_t length = utf8_length(characters, at, code);
        if (length == 0 || code > 0xFF) return std::nullopt;
        bytes += static_cast<char>(code);
        at += length;
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

std::string count_of(std::size_t n, const std::string& singular, const std::string& plural)
{
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace clonesim
