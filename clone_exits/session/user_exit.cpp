#include "interfaces/host_api.h"
#include "interfaces/host_codes.h"
#include "session/callbacks.h"
#include "session/messages.h"

#include <array>

namespace kx {

namespace {

struct registration {
    notification_point point;
    host_clone_notify_cb callback;
    const char* name;
};

constexpr std::array<registration, 8> registrations = {{
    {point_init_clone, clone_session_hook, "Init_Clone"},
    {point_assy_load, load_naming_hook, "Assy Load"},
    {point_part_load, load_naming_hook, "Part Load"},
    {point_begin_perform, handle_perform_notification, "Begin_Perform"},
    {point_begin_apply_defaults, check_export_admission, "Begin_Apply_Defaults"},
    {point_after_part, handle_perform_notification, "End_Perform"},
    {point_end_perform, handle_perform_notification, "End_Perform"},
    {point_exit_clone, clone_session_hook, "Exit_Clone"},
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
