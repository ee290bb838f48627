#include "interfaces/host_api.h"
#include "session/callbacks.h"
#include "session/messages.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

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
        result = HOST_get_fail_message(code, buffer);
        buffer[HOST_FAIL_MESSAGE_BUFSIZE - 1] = '\0';
    }
    HOST_UI_display_nonmodal_msg("Error", buffer, 0);
    return result;
}

int show_error(int code, std::string_view message)
{
    const std::string text(message);
    return show_error(code, text.c_str());
}

namespace {

struct registration {
    int point;
    host_clone_notify_cb callback;
    const char* name;
};

constexpr std::array<registration, 8> registrations = {{
    {0, clone_session_hook, "Init_Clone"},
    {2, load_naming_hook, "Assy Load"},
    {6, load_naming_hook, "Part Load"},
    {10, handle_perform_notification, "Begin_Perform"},
    {12, check_export_admission, "Begin_Apply_Defaults"},
    {51, handle_perform_notification, "End_Perform"},
    {11, handle_perform_notification, "End_Perform"},
    {1, clone_session_hook, "Exit_Clone"},
}};

int start()
{
    int status = HOST_initialize();
    if (status != 0) {
        show_error(status, "");
        return status;
    }
    for (const registration& r : registrations) {
        status = HOST_CLONE_register_ntfy_callback(r.point, r.callback, r.name, "Testing", 0, 0);
        if (status != 0) {
            show_error(status, "");
            return status;
        }
    }
    status = HOST_terminate();
    if (status != 0) show_error(status, "");
    return status;
}

}  // namespace

}  // namespace kx

// The library's only exported symbol.
extern "C" __attribute__((visibility("default"))) int user_exit_start(void)
{
    return kx::start();
}
