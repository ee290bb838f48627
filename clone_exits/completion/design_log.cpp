#include "completion/design_log.h"

#include "completion/export_mapping.h"
#include "completion/part_actions.h"
#include "host/host_codes.h"
#include "host/host_table.h"
#include "session/messages.h"
#include "host/host_memory.h"
#include "platform/platform.h"
#include "session/session_state.h"
#include "session/settings.h"

#include <array>
#include <string>
#include <vector>

namespace kx {

namespace {

constexpr int empty_mapping_file_name = 2;
// A section whose entries could not all be written; the mapping file, the
// only record of them, must then be kept.
constexpr int section_not_written = 1;

constexpr std::string_view design_log_title = "DESLOG";

struct label_row {
    std::string_view marker;
    std::string_view label;
    // The line goes to the attribute titled by the label, not to the log.
    bool names_attribute;
};
constexpr std::string_view change_description_marker = "!I_DOCO";
// Tested in this order; the first whose marker the key holds wins. The
// change-description row sits second and is handled on its own.
constexpr std::array<label_row, 6> label_table = {{
    {"  !I_EWO", "Work Order", false},
    {"  !I_REL", "RELATION", true},
    {"  !I_REVID", "DB_PART_REV", true},
    {"  !I_STATUS", "RELEASE_STATUS", true},
    {"  !I_DATE", "RELEASED_DATE", true},
    {"  !I_CONTEXT", "CONTEXT", true},
}};
constexpr std::size_t change_number_limit = 7;

bool contains(std::string_view text, std::string_view marker) { return text.find(marker) != std::string_view::npos; }

std::string design_log_entry(int number) { return std::string(design_log_title) + std::to_string(number); }

struct design_log_line_label {
    std::string text;
    // Only a row of the table decides this: a label that merely holds an
    // attribute's name (a key matching no row, a change number) is an
    // ordinary design-log line.
    bool names_attribute = false;
};

design_log_line_label label_of(std::string_view key)
{
    const auto from_row = [](const label_row& row) {
        return design_log_line_label{std::string(row.label), row.names_attribute};
    };
    if (contains(key, label_table[0].marker)) return from_row(label_table[0]);
    if (const auto marker = key.find(change_description_marker); marker != std::string_view::npos) {
        const std::string_view number = key.substr(marker + change_description_marker.size(), change_number_limit);
        return {"Change Description #" + std::string(number) + ":", false};
    }
    for (std::size_t row = 1; row < label_table.size(); ++row) {
        if (contains(key, label_table[row].marker)) return from_row(label_table[row]);
    }
    const auto first = key.find_first_not_of(" \t");
    const std::string_view unindented = first == std::string_view::npos ? std::string_view() : key.substr(first);
    return {std::string(unindented.substr(0, design_log_label_limit)), false};
}

// The first number at which the whole block fits: the separator at `first`
// and every number first + offset that the block writes must be free, so
// that an earlier block, holes included, is never overwritten. Each number is
// asked once; a failed query counts as taken. 0 when no block fits within
// four digits.
int first_free_block(host_tag_t attribute_object, const std::vector<int>& offsets)
{
    std::vector<signed char> known(design_log_last_number + 1, -1);
    auto is_free = [&](int number) {
        if (known[number] < 0) {
            int title_type = 0;
            const std::string title = design_log_entry(number);
            const int status = host_ops().HOST_ATTR_find_attribute(attribute_object, attribute_query_type, title.c_str(),
                                                        &title_type);
            known[number] = status == 0 && title_type == 0 ? 1 : 0;
        }
        return known[number] == 1;
    };
    const int span = offsets.back();
    for (int first = 1; first + span <= design_log_last_number; ++first) {
        bool fits = true;
        for (int offset : offsets) {
            if (!is_free(first + offset)) {
                fits = false;
                break;
            }
        }
        if (fits) return first;
    }
    return 0;
}

// A line keeps the number of its position in the section even when it goes
// to a named attribute instead, so a block's numbers follow the file.
int write_design_log_block(host_tag_t attribute_object, const part_section& section)
{
    std::vector<design_log_line_label> labels;
    std::vector<int> offsets{0};
    for (int k = 0; k < section.line_count(); ++k) {
        labels.push_back(label_of(section.lines[k].key));
        if (!labels.back().names_attribute) offsets.push_back(k + 1);
    }
    const int first = first_free_block(attribute_object, offsets);
    if (first == 0) return section_not_written;

    assign_string_attribute(design_log_entry(first), " ", attribute_object);
    for (int k = 0; k < section.line_count(); ++k) {
        const std::string& label = labels[k].text;
        const std::string& value = section.lines[k].value;
        if (labels[k].names_attribute) {
            assign_string_attribute(label, value, attribute_object);
        } else {
            std::string text = label + "  " + value;
            if (text.size() > design_log_text_limit) text.resize(design_log_text_limit);
            assign_string_attribute(design_log_entry(first + k + 1), text, attribute_object);
        }
    }
    return 0;
}

// Saves the work part with save-trueshape off; a setting that could not be
// asked is left as it is.
int save_without_trueshape()
{
    int trueshape = 0;
    const bool turned_off = host_ops().HOST_ASSEM_ask_save_trueshape(&trueshape) == 0 && trueshape != 0;
    if (turned_off) host_ops().HOST_ASSEM_set_save_trueshape(0);
    const int save_status = host_ops().HOST_PART_save();
    if (turned_off) host_ops().HOST_ASSEM_set_save_trueshape(1);
    return save_status;
}

void close_part(host_tag_t part)
{
    host_ops().HOST_PART_close(part, close_with_components, close_unloading);
    host_ops().HOST_UNDO_delete_all_marks();
}

struct section_paths {
    std::string part;
    std::string master;  // empty without an owner name
};

// The export directory is asked anew for every section: the host's default
// clone directory, else the working directory. When the host cannot be asked
// the part file's dots become underscores and the owner is not used; a name
// without a dot then names no file, and the section is not written.
int build_section_paths(std::string_view owner_name, part_section& section, std::string& export_dir,
                        section_paths& paths)
{
    host_text directory;
    const int directory_status = host_ops().HOST_CLONE_ask_def_directory(out(directory));
    if (directory_status == 0 && !is_empty(directory))
        export_dir = std::string(view(directory));
    else
        export_dir = platform::current_directory();
    directory.reset();
    if (export_dir.empty() || export_dir.size() > export_dir_limit) return section_not_written;

    if (directory_status == 0) {
        if (!owner_name.empty()) {
            paths.part = platform::join_path(platform::join_path(export_dir, owner_name), section.part_file);
            paths.master = platform::join_path(export_dir, std::string(owner_name) + ".prt");
        } else {
            paths.part = platform::join_path(export_dir, section.part_file);
        }
    } else {
        if (dots_to_underscores(section.part_file) != 0) return directory_status;
        paths.part = platform::join_path(export_dir, section.part_file);
    }
    if (paths.part.size() > export_path_limit || paths.master.size() > export_path_limit) return section_not_written;
    return 0;
}

int write_section(std::string_view owner_name, part_section& section, std::string& export_dir)
{
    // A cut name would name another file.
    if (section.part_file.empty() || section.part_file_too_long) return section_not_written;
    section_paths paths;
    const int path_status = build_section_paths(owner_name, section, export_dir, paths);
    if (path_status != 0) return path_status;

    // Restores the kept options on every way out of the section.
    reduced_component_loading loading;

    // The master part is opened first so that the part file loads in its
    // context.
    host_tag_t master = HOST_NULL_TAG;
    bool master_open = false;
    if (!paths.master.empty()) {
        host_load_status load_status;
        master_open = host_ops().HOST_PART_open(paths.master.c_str(), &master, load_status.out()) == 0;
    }

    host_tag_t part = HOST_NULL_TAG;
    int open_status = 0;
    {
        host_load_status load_status;
        open_status = host_ops().HOST_PART_open(paths.part.c_str(), &part, load_status.out());
    }
    if (open_status != 0) {
        if (master_open) host_ops().HOST_PART_close(master, close_with_components, close_unloading);
        return open_status;
    }

    bool family_instance = false;
    if (state().family_instance_check) {
        int is_instance = 0;
        const int query_status = host_ops().HOST_PART_is_family_instance(part, &is_instance);
        if (query_status != 0) return query_status;  // the part stays open
        family_instance = is_instance != 0;
    }

    if (!family_instance) {
        host_tag_t attribute_object = HOST_NULL_TAG;
        host_ops().HOST_ATTR_ask_part_attribute(&attribute_object);
        if (section.line_count() > 0) {
            const int block_status = write_design_log_block(attribute_object, section);
            if (block_status != 0) {
                // Nothing was assigned; the part goes back untouched.
                close_part(part);
                return block_status;
            }
        }
        assign_string_attribute("KXPDM_EXPORTED", "TRUE", attribute_object);
        const int save_status = save_without_trueshape();
        if (save_status != 0) return save_status;  // the part stays open
    }
    close_part(part);
    loading.restore();
    return 0;
}

}  // namespace

int update_export_log(std::string_view owner_name, std::string_view mapping_file_name)
{
    // Once seen, the check stays on for the life of the process.
    if (platform::env_is_set_non_empty(setting::allow_family_instances)) state().family_instance_check = true;

    if (mapping_file_name.empty()) {
        write_listing_window(msg::no_mapping_file);
        return empty_mapping_file_name;
    }

    export_map map;
    const int read_status = read_export_mapping_file(mapping_file_name, map);
    // A close that failed after every line was placed loses nothing: the
    // sections alone decide whether the file is still needed.
    const int reader_result = map.lines_lost ? (read_status != 0 ? read_status : section_not_written) : 0;
    if (map.sections.empty()) {
        if (!map.lines_lost) platform::print(msg::nothing_to_log);
        return reader_result;
    }

    // Every section is written even after a failure; the first failure is
    // what the caller hears, and it keeps the mapping file.
    int result = reader_result;
    for (part_section& section : map.sections) {
        const int status = write_section(owner_name, section, map.export_dir);
        if (result == 0) result = status;
    }
    return result;
}

std::string design_log_label(std::string_view key) { return label_of(key).text; }

int assign_string_attribute(std::string_view title, std::string_view value, host_tag_t attribute_object)
{
    const std::string title_text(title);
    const std::string value_text = value.empty() ? std::string(" ") : std::string(value);
    const int status =
        host_ops().HOST_ATTR_assign(attribute_object, title_text.c_str(), host_attr_value_t{string_attribute, value_text.c_str()});
    if (status != 0) {
        // Fetched as the host expects after a failure, but not shown: one
        // missing attribute must not stop the export.
        char message[HOST_FAIL_MESSAGE_BUFSIZE] = {};
        host_ops().HOST_get_fail_message(status, message);
    }
    return status;
}

int dots_to_underscores(std::string& text)
{
    bool had_dot = false;
    for (char& c : text) {
        if (c == '.') {
            c = '_';
            had_dot = true;
        }
    }
    return had_dot ? 0 : 1;
}

}  // namespace kx
