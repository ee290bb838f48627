// A user-exit library with planted faults, for the tests of the fault sweep:
// every clean session goes right, but the way it handles one failing host
// call or PDM request is wrong, in the way KX_FAULTY_EXIT names:
//
//   leak      an Init_Clone whose class query fails keeps the default
//             directory text it asked for
//   callback  an export whose end cannot ask the class never gives the
//             host's "HOST End Assy Load" callback back
//   silent    a refused begin of an import shows nothing
//   crash     a default directory the host does not hand out ends the
//             process, as reading through the null text would
//
// Nothing else of the real library's rules is here.
#include "host/host_api.h"
#include "host/host_codes.h"
#include "session/messages.h"

#include <csignal>
#include <cstdlib>
#include <string>

namespace {

std::string mode()
{
    const char* value = std::getenv("KX_FAULTY_EXIT");
    return value != nullptr ? value : "";
}

host_clone_notify_cb saved_end_assy_load = nullptr;
bool suspended = false;

int init_clone(void* data)
{
    const int operation_class = data != nullptr ? *static_cast<const int*>(data) : kx::class_unknown;

    char* directory = nullptr;
    HOST_CLONE_ask_def_directory(&directory);
    if (mode() == "crash" && directory == nullptr) std::raise(SIGSEGV);
    int asked = 0;
    if (HOST_CLONE_ask_operation_class(&asked) != 0) {
        if (mode() == "leak") return kx::stop_session;
        HOST_free(directory);
        return kx::stop_session;
    }
    HOST_free(directory);

    if (operation_class == kx::class_import) {
        int status = 1;
        char* reply = nullptr;
        HOST_PDM_invoke_pdm_server(kx::request_begin_import, nullptr, &status, &reply);
        if (status != 0 && mode() != "silent") {
            HOST_UI_display_nonmodal_msg(kx::msg::error_box_title, reply != nullptr ? reply : "", 0);
            HOST_free(reply);
            return kx::stop_session;
        }
        HOST_free(reply);
    }
    if (operation_class == kx::class_export) {
        host_clone_notify_cb removed = nullptr;
        HOST_CLONE_remove_ntfy_callback(kx::point_end_assy_load, "HOST End Assy Load", &removed);
        if (removed != nullptr) {
            saved_end_assy_load = removed;
            suspended = true;
        }
    }
    return 0;
}

int exit_clone()
{
    int operation_class = kx::class_unknown;
    const int status = HOST_CLONE_ask_operation_class(&operation_class);
    if (status != 0 && mode() == "callback") return kx::go_on;
    if (suspended) {
        HOST_CLONE_register_ntfy_callback(kx::point_end_assy_load, saved_end_assy_load, "HOST End Assy Load",
                                          "Called at the end of the assembly load operation,", 0, 0);
        suspended = false;
    }
    if (operation_class == kx::class_import) {
        int request_status = 1;
        char* reply = nullptr;
        HOST_PDM_invoke_pdm_server(kx::request_end_import, nullptr, &request_status, &reply);
        HOST_free(reply);
    }
    return 0;
}

int session_hook(int point, const char*, void* data)
{
    if (point == kx::point_init_clone) return init_clone(data);
    if (point == kx::point_exit_clone) return exit_clone();
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int user_exit_start(void)
{
    if (HOST_initialize() != 0) return 1;
    HOST_CLONE_register_ntfy_callback(kx::point_init_clone, session_hook, "Init_Clone", "Testing", 0, 0);
    HOST_CLONE_register_ntfy_callback(kx::point_exit_clone, session_hook, "Exit_Clone", "Testing", 0, 0);
    return HOST_terminate();
}
