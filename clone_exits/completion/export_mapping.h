// The export log mapping file that the PDM server writes for each exported
// part: an optional defaults section, then one section per part file written,
// each listing the attribute lines for that file's design log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// Widths of the format, in characters.
inline constexpr std::size_t export_dir_limit = 255;
inline constexpr std::size_t part_file_limit = 131;
inline constexpr std::size_t mapping_key_limit = 31;
inline constexpr std::size_t mapping_value_limit = 99;
inline constexpr std::size_t mapping_lines_limit = 100;
// The line buffer handed to the host, terminator included.
inline constexpr int mapping_line_buffer = 400;

struct attribute_line {
    std::string key;    // text before the first "=", indentation kept
    std::string value;  // text after the first "=", further "=" kept
};

struct part_section {
    std::string part_file;  // relative to the export directory
    std::vector<attribute_line> lines;
    // The file named more than part_file_limit characters, or held a NUL
    // byte; the section is not to be written, since a cut name would name
    // another file.
    bool part_file_too_long = false;
    // More than mapping_lines_limit attribute lines; only the first are kept.
    bool lines_dropped = false;

    int line_count() const noexcept { return static_cast<int>(lines.size()); }
};

struct export_map {
    std::string export_dir;  // only when the file has a defaults section
    std::vector<part_section> sections;
    // Some line of the file is in no section: an attribute line outside a
    // part section, a line beyond the limit of a section or beyond the
    // counted sections, or lines not read at all. The file then still holds
    // what the map lacks. A failed close alone does not set it.
    bool lines_lost = false;

    int section_count() const noexcept { return static_cast<int>(sections.size()); }
};

// Counts the lines holding "part_file" up to the end of the data. Returns 0,
// or 1 when the file cannot be opened, read or closed (reported in the
// listing window).
int count_part_sections(std::string_view file_name, int& count);

// Reads the file into `map` (emptied first); the sections read are kept on
// every path. Returns 1, with `lines_lost` set, when a line could not be
// placed or read (the counting pass or the second open failing included);
// otherwise the status of closing the file, which loses nothing then.
int read_export_mapping_file(std::string_view file_name, export_map& map);

}  // namespace kx
