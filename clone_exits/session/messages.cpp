#include "session/messages.h"

#include "host/host_api.h"
#include "host/host_table.h"
#include "session/settings.h"

#include <algorithm>
#include <cstring>

namespace kx {

int show_error(int code, const char* message)
{
    int result = code;
    // Starts empty, so a failing failure-text lookup shows an empty box
    // rather than whatever the buffer held.
    char buffer[HOST_FAIL_MESSAGE_BUFSIZE] = {};
    if (message != nullptr && *message != '\0') {
        const std::size_t length = std::min(std::strlen(message), error_box_limit);
        std::memcpy(buffer, message, length);
        buffer[length] = '\0';
    } else {
        result = host_ops().HOST_get_fail_message(code, buffer);
        buffer[HOST_FAIL_MESSAGE_BUFSIZE - 1] = '\0';
    }
    host_ops().HOST_UI_display_nonmodal_msg(msg::error_box_title, buffer, 0);
    return result;
}

int show_error(int code, std::string_view message)
{
    const std::string text(message);
    return show_error(code, text.c_str());
}

int write_listing_window(std::string_view text)
{
    int open = 0;
    const int ask_status = host_ops().HOST_UI_is_listing_window_open(&open);
    if (ask_status != 0) return ask_status;
    // The write is tried even when the window would not open: the host may
    // still take the text.
    if (open == 0) host_ops().HOST_UI_open_listing_window();
    const std::string line(text);
    return host_ops().HOST_UI_write_listing_window(line.c_str());
}

std::string listing_message(std::string_view before, std::string_view subject, std::string_view after)
{
    const std::size_t frame = before.size() + after.size();
    if (frame >= listing_message_limit) return std::string(before.substr(0, listing_message_limit));
    std::string text;
    text.reserve(listing_message_limit);
    text.append(before);
    text.append(subject.substr(0, listing_message_limit - frame));
    text.append(after);
    return text;
}

namespace msg {

std::string tool_pdi_refused(std::string_view item_id, std::string_view rev_id)
{
    std::string text;
    text.append(item_id).append("/").append(rev_id).append(" is a CORP_Tool PDI. Export not allowed");
    return text;
}

std::string export_attributes_failed(std::string_view part)
{
    return listing_message("Failed to get the attributes from PDM for ", part);
}

std::string could_not_sync(std::string_view part) { return listing_message("Could not Sync Attributes for ", part); }

std::string pdi_backfill_failed(std::string_view part)
{
    return listing_message("\nFailed to perform PDI Backfill for ", part, "\n");
}

std::string auto_publish_failed(std::string_view part)
{
    return listing_message("\nFailed to AutoPublish ", part, "\n");
}

std::string native_filename_failed(std::string_view part)
{
    return listing_message("\nFailed to reset import native filename for ", part, "\n");
}

std::string name_description_not_sent(std::string_view part)
{
    return listing_message("\nName and description of ", part,
                           " not sent to PDM: once cut, one holds \"~~\" or begins or ends with \"~\"\n");
}

std::string mapping_file_error(std::string_view what, int status, std::string_view file_name)
{
    return listing_message("ERROR " + std::to_string(status) + " - Error " + std::string(what) + " Mapping File:  ",
                           file_name, "\n");
}

std::string unexpected_point(int point)
{
    return "\n function called at an unexpected callback point " + std::to_string(point);
}

std::string import_map_not_opened(std::string_view path)
{
    return "ERROR: Opening mapping file [" + std::string(path) + "]\n";
}

std::string pdm_root_not_set(std::string_view part)
{
    return "PDM_ROOT is not set: item ID check not run for file [" + std::string(part) + "]\n";
}

std::string program_returned(std::string_view program, int code, std::string_view part)
{
    return std::string(program) + " program returned [" + std::to_string(code) + "] for file [" + std::string(part) +
           "]\n";
}

std::string trace_given_up(std::string_view path)
{
    return "Session trace " + std::string(path) + " could not be written; recording given up.\n";
}

std::string trace_cut(std::string_view path, unsigned long long megabytes)
{
    return "Session trace " + std::string(path) + " reached its cap of " + std::to_string(megabytes) +
           " MB; recording stopped.\n";
}

std::string trace_cap_ignored(std::string_view value, unsigned long long megabytes)
{
    return std::string(setting::trace_cap_mb) + "=" + std::string(value) + " is not a whole number of megabytes from 1 on; " +
           std::to_string(megabytes) + " used.\n";
}

}  // namespace msg

}  // namespace kx
