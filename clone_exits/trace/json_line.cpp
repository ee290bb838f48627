#include "trace/json_line.h"

#include <array>
#include <cstdint>

namespace kx::trace {

namespace {

void append_ascii_escaped(std::string& out, char c)
{
    switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
    }
    if (static_cast<unsigned char>(c) < 0x20) {
        constexpr std::array<char, 16> hex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                              '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
        out += "\\u00";
        out += hex[static_cast<unsigned char>(c) >> 4];
        out += hex[static_cast<unsigned char>(c) & 0xF];
        return;
    }
    out += c;
}

}  // namespace

utf8_character decode_utf8(std::string_view s, std::size_t at) noexcept
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) return {1, lead};
    std::size_t length = 0;
    char32_t code = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {};
    }
    if (at + length > s.size()) return {};
    if (byte(at + 1) < low || byte(at + 1) > high) return {};
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return {};
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    return {length, code};
}

bool is_valid_utf8(std::string_view bytes) noexcept
{
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t n = decode_utf8(bytes, at).length;
        if (n == 0) return false;
        at += n;
    }
    return true;
}

std::string bytes_as_characters(std::string_view bytes)
{
    std::string characters;
    characters.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            characters += c;
        } else {
            characters += static_cast<char>(0xC0 | (b >> 6));
            characters += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return characters;
}

unsigned long long text_table::refer(std::string_view bytes)
{
    if (by_slot_.capacity() < reach) {
        by_slot_.reserve(reach);
        slot_hash_.reserve(reach);
        numbers_.reserve(reach);
    }
    const std::size_t hash = std::hash<std::string_view>{}(bytes);
    const auto found = numbers_.find(key{bytes, hash});
    if (found != numbers_.end()) return found->second;
    // The text that falls out of reach gives its slot to the new one.
    const std::size_t slot = static_cast<std::size_t>(count_ % reach);
    if (slot < by_slot_.size()) {
        numbers_.erase(key{by_slot_[slot], slot_hash_[slot]});
        by_slot_[slot].assign(bytes);
        slot_hash_[slot] = hash;
    } else {
        by_slot_.emplace_back(bytes);
        slot_hash_.push_back(hash);
    }
    try {
        numbers_.emplace(key{by_slot_[slot], hash}, count_ + 1);
    } catch (...) {
        // A slot no key names would be erased by a key it does not hold.
        by_slot_[slot].clear();
        throw;
    }
    ++count_;
    return 0;
}

// Room for most lines of a session at once: a line grown a few bytes at a
// time would be allocated and copied again several times over.
void json_line::reserve()
{
    out_.reserve(256);
    open_.reserve(4);
    names_.reserve(64);
}

void json_line::before_value()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!open_.empty()) {
        if (open_.back().has_member) out_ += ',';
        open_.back().has_member = true;
    }
}

json_line& json_line::key(std::string_view name)
{
    if (!open_.empty() && open_.back().positional) {
        names_.append(name);
        names_ += ',';
        return *this;
    }
    before_value();
    out_ += '"';
    out_.append(name);
    out_ += "\":";
    after_key_ = true;
    return *this;
}

json_line& json_line::text(std::string_view bytes)
{
    if (texts_ != nullptr && bytes.size() >= text_table::shortest && bytes.size() <= text_table::longest) {
        const unsigned long long earlier = texts_->refer(bytes);
        if (earlier != 0) {
            before_value();
            out_ += "{\"t\":";
            out_ += std::to_string(earlier);
            out_ += '}';
            return *this;
        }
        numbered_ = true;
    }
    write_text(bytes);
    return *this;
}

json_line& json_line::word(std::string_view ascii)
{
    write_text(ascii);
    return *this;
}

void json_line::write_text(std::string_view bytes)
{
    // Each byte as the character of the same value: read back byte by byte,
    // the text is exactly what it was.
    if (!is_valid_utf8(bytes)) {
        before_value();
        out_ += "{\"bytes\":";
        after_key_ = true;
        write_text(bytes_as_characters(bytes));
        out_ += '}';
        return;
    }
    before_value();
    out_ += '"';
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80)
            append_ascii_escaped(out_, c);
        else
            out_ += c;
    }
    out_ += '"';
}

json_line& json_line::text(const char* bytes) { return bytes == nullptr ? null() : text(std::string_view(bytes)); }

json_line& json_line::number(long long value)
{
    before_value();
    out_ += std::to_string(value);
    return *this;
}

json_line& json_line::boolean(bool value)
{
    before_value();
    out_ += value ? "true" : "false";
    return *this;
}

json_line& json_line::null()
{
    before_value();
    out_ += "null";
    return *this;
}

json_line& json_line::open_object()
{
    before_value();
    out_ += '{';
    open_.push_back({'}', false, false});
    return *this;
}

json_line& json_line::close_object()
{
    out_ += open_.back().closer;
    open_.pop_back();
    return *this;
}

json_line& json_line::open_array()
{
    before_value();
    out_ += '[';
    open_.push_back({']', false, false});
    return *this;
}

json_line& json_line::open_positional()
{
    before_value();
    out_ += '[';
    open_.push_back({']', false, true});
    return *this;
}

json_line& json_line::close_array()
{
    if (open_.back().positional) names_ += ';';
    return close_object();
}

json_line& json_line::raw(std::string_view json)
{
    before_value();
    out_.append(json);
    return *this;
}

std::string json_line::finish()
{
    while (!open_.empty()) close_object();
    out_ += '\n';
    return std::move(out_);
}

std::string json_line::finish_with_first(std::string_view first)
{
    const bool more = !open_.empty() && open_.front().has_member;
    std::string line = finish();
    line.insert(1, first.size() + (more ? 1 : 0), ',');
    line.replace(1, first.size(), first);
    return line;
}

}  // namespace kx::trace
