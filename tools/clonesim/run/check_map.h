// `clonesim check-map`: reads an import attribute mapping file as the
// library does and tells, line by line, what becomes an entry and why a line
// is skipped, and which of the four keys the file maps.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace clonesim {

struct map_line_verdict {
    int line = 0;
    std::string text;              // as read, without its line end
    bool entry = false;
    int entry_number = 0;          // 1-based, for entries
    std::string key, title;        // for entries
    std::string why;               // skipped: the reason; entries: notes
};

struct map_check {
    std::filesystem::path file;
    bool readable = false;
    bool folder = false;        // the name is a folder's
    std::string unreadable_why;  // the system's reason, when it cannot be read
    std::vector<map_line_verdict> lines;
    int unread_from = 0;  // first line not read because the map was full; 0 when none
    int last_line = 0;
    // The file is UTF-8 with letters outside ASCII, and the host reads it in
    // another code page (check.host_code_page): its titles are not the
    // attributes' titles there.
    bool saved_as_utf8 = false;
    std::string host_code_page;
    // For each of the four keys the entry that serves it, when there is one.
    std::vector<std::pair<std::string, std::optional<map_line_verdict>>> keys;
};

map_check check_map(const std::filesystem::path& file);
std::string map_check_text(const map_check& check);

// One line as check-map explains it: "line 3: skipped: no "="", "line 1:
// entry 1: ... (notes)".
std::string map_line_text(const map_line_verdict& line);
// Whether a line does not do what it looks like: skipped though it holds
// text, or an entry with a note.
bool misleads(const map_line_verdict& line);
// Why the lines after the last entry the map holds are not read.
std::string unread_text();

}  // namespace clonesim
