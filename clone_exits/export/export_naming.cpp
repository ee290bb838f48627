// Native file names of exported parts. The server names each part; library
// tool parts are named after their item ID, and parts that the host only
// references (states 1 and 4) get a stand-in name rather than failing the
// export.
#include "export/export_naming.h"

#include "host/host_memory.h"
#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "host/host_codes.h"
#include "session/messages.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace kx {

namespace {

constexpr std::string_view export_extension = ".prt";
constexpr std::string_view fallback_suffix = "_no.prt";

// Split-list elements hold at most split_element_limit characters: an item
// ID that long may have been cut, and a cut item ID would name another item.


// The host's buffer holds HOST_MAX_FSPEC_BUFSIZE - 1 characters; callers
// only pass names that fit.
void write_name(std::string_view name, char* new_name) noexcept
{
    const std::size_t length = std::min(name.size(), static_cast<std::size_t>(HOST_MAX_FSPEC_BUFSIZE - 1));
    if (length > 0) std::memcpy(new_name, name.data(), length);
    new_name[length] = '\0';
}

struct decoded_part_name {
    char part_number[HOST_PDM_FIELD_BUFSIZE] = {};
    char revision[HOST_PDM_FIELD_BUFSIZE] = {};
    char file_type[HOST_PDM_FIELD_BUFSIZE] = {};
    char file_name[HOST_PDM_FIELD_BUFSIZE] = {};
};

// A failed decoding leaves every field empty.
int decode_part_name(const char* part_spec, decoded_part_name& decoded)
{
    const int status = host_ops().HOST_PDM_decode_part_filename(part_spec, decoded.part_number, decoded.revision,
                                                     decoded.file_type, decoded.file_name);
    for (char* field : {decoded.part_number, decoded.revision, decoded.file_type, decoded.file_name}) {
        if (status != 0) field[0] = '\0';
        field[HOST_PDM_FIELD_BUFSIZE - 1] = '\0';
    }
    return status;
}

// The server's name as the host gets it: long names keep their first 252
// characters and the part file extension.
std::string server_export_name(std::string_view reply)
{
    if (reply.size() <= export_name_limit) return std::string(reply);
    std::string name(reply.substr(0, export_name_limit));
    name.append(export_extension);
    return name;
}

// The server's name from its first "." on, not counting the dots it begins
// with; empty when there is no such ".".
std::string_view extension_of(std::string_view reply)
{
    const auto start = reply.find_first_not_of('.');
    if (start == std::string_view::npos) return {};
    const auto dot = reply.find('.', start);
    return dot == std::string_view::npos ? std::string_view() : reply.substr(dot);
}

std::string ascii_lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Renames a library tool part after its item ID. Whatever cannot be built
// whole leaves the server's name that was already written.
void write_library_tool_name(const char* part_spec, std::string_view reply, char* new_name)
{
    host_string_array elements;
    if (split_from_second(view(part_spec), '/', elements) != 0) return;
    const std::string_view item_id = elements[1];
    if (item_id.empty() || item_id.size() >= split_element_limit) return;
    std::string name = ascii_lower(item_id);
    name.append(extension_of(reply));
    if (name.size() >= HOST_MAX_FSPEC_BUFSIZE) return;
    write_name(name, new_name);
}

}  // namespace

void make_fallback_export_name(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE])
{
    decoded_part_name decoded;
    decode_part_name(part_spec, decoded);

    std::string name;
    if (!is_empty(decoded.file_name)) {
        name.append(decoded.file_name).append(fallback_suffix);
    } else if (!is_empty(decoded.part_number) && !is_empty(decoded.revision)) {
        name.append(decoded.part_number).append("_").append(decoded.revision).append(fallback_suffix);
    } else {
        name.assign(view(part_spec));
    }
    if (name.size() > fallback_name_limit) name.resize(fallback_name_limit);
    write_name(name, new_name);
}

int find_clone_attribute(const char* part_spec, std::string_view title, std::string& value)
{
    host_attribute_list attributes;
    const int status = attributes.fetch(part_spec);
    if (status != 0) return status;
    for (int i = 0; i < attributes.count(); ++i) {
        if (attributes.title(i) == title) {
            value.assign(attributes.value(i));
            break;
        }
    }
    return 0;
}

int work::translate_export(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE])
{
    const char* const name = part_spec != nullptr ? part_spec : "";

    int part_state = 0;
    host_ops().HOST_CLONE_ask_part_state(name, &part_state);

    pdm_reply reply;
    if (is_referenced_only(part_state)) {
        decoded_part_name decoded;
        if (decode_part_name(name, decoded) != 0 || is_empty(decoded.part_number)) {
            make_fallback_export_name(name, new_name);
            return 0;
        }
        host_tag_t part = HOST_NULL_TAG;
        if (host_ops().HOST_PDM_ask_part_tag(decoded.part_number, &part) != 0 || part == HOST_NULL_TAG) {
            make_fallback_export_name(name, new_name);
            return 0;
        }
        reply = get_export_file_name(name);
        // An empty reply names no file: it fails like a refused request.
        if (!reply.ok() || reply.view().empty()) {
            make_fallback_export_name(name, new_name);
            return 0;
        }
    } else {
        reply = get_export_file_name(name);
        if (!reply.ok() || reply.view().empty()) {
            show_error(reply.status, msg::export_file_name);
            return stop_session;
        }
    }

    write_name(server_export_name(reply.view()), new_name);

    std::string part_type;
    std::string use_tool;
    find_clone_attribute(name, "DB_PART_TYPE", part_type);
    const int use_tool_status = find_clone_attribute(name, "USE_TOOL", use_tool);
    if (use_tool == "LIBRARY" && part_type == "CORP_Tool" && use_tool_status == 0)
        write_library_tool_name(name, reply.view(), new_name);
    return 0;
}

}  // namespace kx
