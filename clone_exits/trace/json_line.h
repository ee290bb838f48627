// One JSON object on one line, for the session trace. The library may use the
// standard library only, so this is the little it needs: objects, arrays,
// numbers, booleans and texts recorded as the bytes they are (a text that is
// not valid UTF-8 becomes {"bytes": ...}, one character per byte).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The texts a trace has written whole, by number, so that a text written
// again can name the earlier one ({"t": n}) instead. Only the last `reach`
// texts are kept, none longer than `longest`: whatever the session's size,
// the table holds at most `reach` * `longest` bytes of text (32 MiB), and a
// few megabytes when the texts are part names.
class text_table {
public:
    static constexpr std::size_t reach = 65536;
    // Shorter texts are written whole every time: a reference is no shorter.
    static constexpr std::size_t shortest = 12;
    // Nor is a longer one kept (a file's content, a request naming every
    // part): what the table holds stays small in the host's process.
    static constexpr std::size_t longest = 512;

    // The number of an earlier text within reach; 0 when `bytes` is not one,
    // and it then takes the next number.
    unsigned long long refer(std::string_view bytes);

private:
    // A text's key carries its hash: a bucket's chain is then walked and a
    // text's slot given up without hashing any kept text again, and a lookup
    // takes the bytes as they are, without a copy made only to ask.
    struct key {
        std::string_view bytes;
        std::size_t hash;
    };
    struct key_hash {
        std::size_t operator()(const key& k) const noexcept { return k.hash; }
    };
    struct key_equal {
        bool operator()(const key& a, const key& b) const noexcept { return a.hash == b.hash && a.bytes == b.bytes; }
    };
    std::unordered_map<key, unsigned long long, key_hash, key_equal> numbers_;
    // The text each slot numbers now, and its hash. Reserved whole at the
    // first text, so that a key's bytes never move.
    std::vector<std::string> by_slot_;
    std::vector<std::size_t> slot_hash_;
    unsigned long long count_ = 0;
};

class json_line {
public:
    json_line()
    {
        reserve();
        open_object();
    }
    // A line that is one JSON array, whose members are written in order
    // without their names (the names given are kept apart, see names()),
    // its texts numbered in `texts` when it is not null.
    struct array_line {};
    json_line(array_line, text_table* texts) : texts_(texts)
    {
        reserve();
        open_positional();
    }

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
    // A text written whole and never numbered: a line's kind, an operation's name.
    json_line& word(std::string_view ascii);
    // An array whose members' names are kept apart, like the line's own.
    json_line& open_positional();
    // The names given to members of positional arrays, each array's
    // followed by ";".
    const std::string& names() const noexcept { return names_; }
    // Whether a text of the line took a number.
    bool numbered() const noexcept { return numbered_; }

    // Closes the line's object and hands the line over, newline included.
    std::string finish();
    // The line with `first` as the first member of its array.
    std::string finish_with_first(std::string_view first);

private:
    void reserve();
    void before_value();
    void write_text(std::string_view bytes);

    struct container {
        char closer;
        bool has_member;
        bool positional;
    };
    std::string out_;
    std::vector<container> open_;
    std::string names_;
    text_table* texts_ = nullptr;
    bool after_key_ = false;
    bool numbered_ = false;
};

}  // namespace kx::trace
