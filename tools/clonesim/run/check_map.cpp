#include "run/check_map.h"

#include "import/import_attr_map.h"
#include "session/messages.h"
#include "platform/os.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace clonesim {

namespace {

constexpr std::array<const char*, 4> served_keys = {"DB_PART_NO", "DB_PART_REV", "DB_PART_NAME", "DB_PART_DESC"};

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void add_note(map_line_verdict& verdict, const std::string& note)
{
    verdict.why += (verdict.why.empty() ? "" : "; ") + note;
}

std::string shown(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c == '"')
            out += "\\\"";
        else
            out += c;
    }
    return out + "\"";
}

// What becomes of one line read as an entry, and the notes on it; the key
// it serves takes the first entry for it.
void read_entry(const kx::import_map_entry& entry, map_line_verdict& verdict, map_check& check)
{
    verdict.entry = true;
    verdict.key = entry.key;
    verdict.title = entry.title;
    const bool served = std::find(served_keys.begin(), served_keys.end(), entry.key) != served_keys.end();
    if (served) {
        auto& slot = std::find_if(check.keys.begin(), check.keys.end(), [&](const auto& k) { return k.first == entry.key; })
                         ->second;
        if (slot.has_value())
            add_note(verdict, "not used: the entry of line " + std::to_string(slot->line) + " comes first");
        else
            slot = verdict;
    } else {
        add_note(verdict, "never used: the library asks only for DB_PART_NO, DB_PART_REV, DB_PART_NAME and "
                          "DB_PART_DESC");
        if (!entry.key.empty() && entry.key[0] == '#')
            add_note(verdict, "there is no comment syntax: a line with \"=\" is an entry");
        else if (std::find(served_keys.begin(), served_keys.end(), upper(entry.key)) != served_keys.end())
            add_note(verdict, "keys are compared case-sensitively");
    }
    if (entry.title.empty()) add_note(verdict, "the attribute title is empty");
    if (entry.key.find('\t') != std::string::npos || entry.title.find('\t') != std::string::npos)
        add_note(verdict, "a tab is not trimmed and stays part of the text");
    if (!entry.title.empty() && entry.title.back() == '\r')
        add_note(verdict, "the last line ends in a carriage return without a line feed; it stays part of the title");
}

std::string why_skipped(const std::string& line)
{
    if (line.empty()) return "empty line";
    if (kx::trim_blanks(line).empty()) return "blanks only";
    return "no \"=\"";
}

}  // namespace

namespace {

// Valid UTF-8 holding at least one character outside ASCII.
bool utf8_beyond_ascii(const std::vector<map_line_verdict>& lines)
{
    bool beyond = false;
    for (const map_line_verdict& verdict : lines) {
        const std::string& t = verdict.text;
        for (std::size_t i = 0; i < t.size();) {
            const auto lead = static_cast<unsigned char>(t[i]);
            const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                 : (lead & 0xF8) == 0xF0 ? 4 : 0;
            if (length == 0 || lead == 0xC0 || lead == 0xC1 || i + length > t.size()) return false;
            for (std::size_t k = 1; k < length; ++k)
                if ((static_cast<unsigned char>(t[i + k]) & 0xC0) != 0x80) return false;
            beyond = beyond || length > 1;
            i += length;
        }
    }
    return beyond;
}

void in_utf8(map_line_verdict& verdict)
{
    for (std::string* text : {&verdict.text, &verdict.key, &verdict.title, &verdict.why})
        *text = os::from_host_text(*text);
}

}  // namespace

map_check check_map(const std::filesystem::path& file)
{
    map_check check;
    check.file = file;
    for (const char* key : served_keys) check.keys.emplace_back(key, std::nullopt);

    // Read as the library's loader reads: whole lines, binary, the carriage
    // return of a line end dropped, reading stopped once the map is full.
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) {
        check.folder = true;
        return check;
    }
    // A named pipe or a device would block the reading until its other end
    // writes; the library's loader is given regular files.
    if (std::filesystem::exists(file, ec) && !std::filesystem::is_regular_file(file, ec)) {
        check.unreadable_why = "it is not a regular file";
        return check;
    }
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        check.unreadable_why = errno != 0 ? std::strerror(errno) : "the system gives no reason";
        return check;
    }
    check.readable = true;

    int entries = 0;
    int number = 0;
    std::string line;
    while (entries < static_cast<int>(kx::import_map_capacity) && std::getline(in, line)) {
        ++number;
        const bool had_line_feed = !in.eof();
        map_line_verdict verdict;
        verdict.line = number;
        if (had_line_feed && !line.empty() && line.back() == '\r') line.pop_back();
        verdict.text = line;
        if (const auto entry = kx::parse_import_attr_map_line(line)) {
            verdict.entry_number = ++entries;
            read_entry(*entry, verdict, check);
        } else {
            verdict.why = why_skipped(line);
        }
        check.lines.push_back(std::move(verdict));
    }
    check.last_line = number;
    if (entries == static_cast<int>(kx::import_map_capacity)) {
        int rest = number;
        while (std::getline(in, line)) ++rest;
        if (rest > number) {
            check.unread_from = number + 1;
            check.last_line = rest;
        }
    }
    check.host_code_page = os::host_code_page();
    check.saved_as_utf8 = !check.host_code_page.empty() && utf8_beyond_ascii(check.lines);
    // The file holds the host's texts, read as the library reads them; the
    // reports are UTF-8. Everything above was judged on the bytes.
    for (map_line_verdict& verdict : check.lines) in_utf8(verdict);
    for (auto& [key, entry] : check.keys)
        if (entry.has_value()) in_utf8(*entry);
    return check;
}

std::string map_line_text(const map_line_verdict& line)
{
    std::string text = "line " + std::to_string(line.line) + ": ";
    if (!line.entry) return text + "skipped: " + line.why;
    text += "entry " + std::to_string(line.entry_number) + ": " + shown(line.key) + " -> attribute " + shown(line.title);
    if (!line.why.empty()) text += " (" + line.why + ")";
    return text;
}

bool misleads(const map_line_verdict& line)
{
    if (line.entry) return !line.why.empty();
    return line.why != why_skipped("") && line.why != why_skipped(" ");
}

std::string unread_text()
{
    return "not read: the library stops after the " + std::to_string(kx::import_map_capacity) + "th entry";
}

std::string map_check_text(const map_check& check)
{
    std::ostringstream out;
    out << "check-map: " << check.file.string() << "\n";
    if (check.folder) {
        out << "  it is a folder, not a mapping file\n";
        return out.str();
    }
    if (!check.readable) {
        out << "  the file cannot be read: " << check.unreadable_why << "\n";
        std::string printed = kx::msg::import_map_not_opened("...");
        if (!printed.empty() && printed.back() == '\n') printed.pop_back();
        out << "  the library prints \"" << printed
            << "\", keeps an empty map and imports without mapped values\n";
        return out.str();
    }
    for (const map_line_verdict& line : check.lines) out << "  " << map_line_text(line) << "\n";
    if (check.lines.empty()) out << "  (the file is empty)\n";
    if (check.unread_from != 0) {
        if (check.last_line > check.unread_from)
            out << "  lines " << check.unread_from << " to " << check.last_line;
        else
            out << "  line " << check.unread_from;
        out << ": " << unread_text() << "\n";
    }
    out << "keys\n";
    int mapped = 0;
    for (const auto& [key, entry] : check.keys) {
        out << "  " << key << std::string(14 - std::string(key).size(), ' ');
        if (entry.has_value()) {
            out << "attribute " << shown(entry->title) << " (line " << entry->line << ")\n";
            ++mapped;
        } else {
            out << "not mapped\n";
        }
    }
    out << "verdict: " << mapped << " of 4 keys mapped\n";
    return out.str();
}

}  // namespace clonesim
