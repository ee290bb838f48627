#include "completion/export_mapping.h"

#include "completion/part_actions.h"
#include "host/host_api.h"
#include "host/host_table.h"
#include "session/messages.h"
#include "host/host_codes.h"

#include <string>

namespace kx {

namespace {

constexpr int mapping_file_failed = 1;

// A line whose first byte is 0xFF marks the end of the data: what follows
// it is not part of the map.
constexpr unsigned char end_of_data_marker = 0xFF;

bool contains(std::string_view line, std::string_view marker) { return line.find(marker) != std::string_view::npos; }

bool is_attribute_line(std::string_view line) { return contains(line, "!I_"); }

// A file name may hold brackets, so a line naming one is a part file line
// even with a "["; a header such as "[part_file_1]" names none. A line with
// "part_file" but no "=" and no "[" opens a section that names no file,
// which is then not written.
bool is_part_file_line(std::string_view line)
{
    if (is_attribute_line(line)) return false;
    return contains(line, "part_file=") || (contains(line, "part_file") && !contains(line, "["));
}

// Inside the defaults section a line naming the export directory stays in
// it, whatever else it holds ("export_dir=/data/part_files" names no part
// file); a header line or a part file line ends the section.
class defaults_section {
public:
    // True while `line`, the file's next one, belongs to the defaults.
    bool holds(std::string_view line)
    {
        if (first_) {
            first_ = false;
            inside_ = contains(line, "[Defaults]");
            return inside_;
        }
        if (inside_ && !is_export_dir_line(line) && (contains(line, "[") || is_part_file_line(line)))
            inside_ = false;
        return inside_;
    }
    static bool is_export_dir_line(std::string_view line) { return contains(line, "export_dir"); }

private:
    bool first_ = true;
    bool inside_ = false;
};

// The value of a "part_file" or "export_dir" line: after the first "=", up
// to the next "=". A line without "=" has none.
std::string_view field_value(std::string_view line)
{
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return {};
    const std::string_view rest = line.substr(equals + 1);
    return rest.substr(0, rest.find('='));
}

void report(std::string_view what, int status, std::string_view file_name)
{
    write_listing_window(msg::mapping_file_error(what, status, file_name));
}

// One pass over the file through the host's text channel; closed on every
// path.
class mapping_reader {
public:
    explicit mapping_reader(std::string_view file_name)
        : name_(file_name), channel_(host_ops().HOST_TEXT_open(name_.c_str(), text_read_access, text_format))
    {
        if (channel_ < 0) report(msg::mapping_opening, channel_, name_);
    }
    ~mapping_reader() { close(); }
    mapping_reader(const mapping_reader&) = delete;
    mapping_reader& operator=(const mapping_reader&) = delete;

    bool is_open() const noexcept { return channel_ >= 0; }

    // Makes the next line current. False at the end of the file, at the end
    // of the data, and when the read fails (then failed() holds).
    bool advance()
    {
        line_ = {};
        if (!is_open() || done_) return false;
        buffer_[0] = '\0';
        const int length = host_ops().HOST_TEXT_read_line(channel_, buffer_, mapping_line_buffer);
        buffer_[mapping_line_buffer - 1] = '\0';
        if (length < 0) {
            done_ = true;
            if (length != text_end_of_file) {
                failed_ = true;
                report(msg::mapping_reading, length, name_);
            }
            return false;
        }
        line_ = std::string_view(buffer_, length < mapping_line_buffer ? static_cast<std::size_t>(length)
                                                                        : mapping_line_buffer - 1);
        if (!line_.empty() && static_cast<unsigned char>(line_.front()) == end_of_data_marker) {
            done_ = true;
            line_ = {};
            return false;
        }
        return true;
    }

    std::string_view line() const noexcept { return line_; }
    bool failed() const noexcept { return failed_; }

    // Returns the host's status of the close; 0 when nothing was open.
    int close()
    {
        if (!is_open()) return 0;
        const int status = host_ops().HOST_TEXT_close(channel_, text_keep_file);
        channel_ = -1;
        if (status != 0) report(msg::mapping_closing, status, name_);
        return status;
    }

private:
    std::string name_;
    int channel_;
    char buffer_[mapping_line_buffer] = {};
    std::string_view line_;
    bool done_ = false;
    bool failed_ = false;
};

void add_attribute_line(export_map& map, part_section& section, std::string_view line)
{
    if (section.lines.size() >= mapping_lines_limit) {
        section.lines_dropped = true;
        map.lines_lost = true;
        return;
    }
    const auto equals = line.find('=');
    attribute_line attribute;
    attribute.key = std::string(line.substr(0, equals).substr(0, mapping_key_limit));
    if (equals != std::string_view::npos)
        attribute.value = std::string(line.substr(equals + 1).substr(0, mapping_value_limit));
    section.lines.push_back(std::move(attribute));
}

}  // namespace

int count_part_sections(std::string_view file_name, int& count)
{
    count = 0;
    mapping_reader file(file_name);
    if (!file.is_open()) return mapping_file_failed;
    defaults_section defaults;
    while (file.advance()) {
        if (!defaults.holds(file.line()) && contains(file.line(), "part_file")) ++count;
    }
    const bool read_failed = file.failed();
    const int close_status = file.close();
    return read_failed || close_status != 0 ? mapping_file_failed : 0;
}

namespace {

// Reads the defaults section, when the file begins with one; false when no
// line is left after it.
bool read_defaults(mapping_reader& file, export_map& map)
{
    defaults_section defaults;
    bool have = file.advance();
    if (!have || !defaults.holds(file.line())) return have;
    while ((have = file.advance()) && defaults.holds(file.line())) {
        if (defaults_section::is_export_dir_line(file.line()))
            map.export_dir = std::string(field_value(file.line()).substr(0, export_dir_limit));
        else if (is_attribute_line(file.line()))
            map.lines_lost = true;
    }
    return have;
}

// Reads the part sections from the current line on; never more than
// `counted` of them.
void read_sections(mapping_reader& file, bool have, std::size_t counted, export_map& map)
{
    // Every pass through the loop either reads a line or ends it, and every
    // line that ends a section is looked at again, so nothing is skipped and
    // the loop always ends.
    while (have) {
        const std::string_view line = file.line();
        // Header lines, blank lines and anything else outside a section are
        // passed over: only a part file line opens a section. An attribute
        // line here belongs to no part file, and its loss must keep the file.
        if (!is_part_file_line(line)) {
            if (is_attribute_line(line)) map.lines_lost = true;
            have = file.advance();
            continue;
        }
        // The file changed between the passes: never more than counted, and
        // the sections not read keep the file from being taken as done.
        if (map.sections.size() >= counted) {
            map.lines_lost = true;
            return;
        }
        part_section& section = map.sections.emplace_back();
        const std::string_view name = field_value(line);
        section.part_file = std::string(name);
        // A NUL byte would end the name where the host reads it, naming
        // another file, just as a cut name would.
        section.part_file_too_long = name.size() > part_file_limit || name.find('\0') != std::string_view::npos;
        while ((have = file.advance()) && is_attribute_line(file.line())) add_attribute_line(map, section, file.line());
    }
}

}  // namespace

int read_export_mapping_file(std::string_view file_name, export_map& map)
{
    map = export_map{};
    int counted = 0;
    const int count_status = count_part_sections(file_name, counted);
    if (count_status != 0) {
        map.lines_lost = true;
        return count_status;
    }
    map.sections.reserve(static_cast<std::size_t>(counted));

    // A file that vanished between the passes is kept, not deleted unread.
    mapping_reader file(file_name);
    if (!file.is_open()) {
        map.lines_lost = true;
        return mapping_file_failed;
    }
    const bool have = read_defaults(file, map);
    read_sections(file, have, static_cast<std::size_t>(counted), map);

    if (file.failed()) map.lines_lost = true;
    // Reported in the listing window; after a whole read it loses nothing.
    const int close_status = file.close();
    return map.lines_lost ? mapping_file_failed : close_status;
}

}  // namespace kx
