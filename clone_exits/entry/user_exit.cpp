#include "host/host_api.h"
#include "host/host_codes.h"
#include "host/host_table.h"
#include "platform/platform.h"
#include "completion/perform_handler.h"
#include "entry/callbacks.h"
#include "export/export_admission.h"
#include "export/export_naming.h"
#include "import/import_translation.h"
#include "session/session_hooks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "trace/recorder.h"

#include <array>
#include <utility>

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
    if (platform::bind_host_operations() != 0) return 1;
    int status = host_ops().HOST_initialize();
    if (status != 0) {
        show_error(status, "");
        return status;
    }
    for (const registration& r : registrations) {
        status = host_ops().HOST_CLONE_register_ntfy_callback(r.point, r.callback, r.name, "Testing", 0, 0);
        if (status != 0) {
            show_error(status, "");
            return status;
        }
    }
    status = host_ops().HOST_terminate();
    if (status != 0) show_error(status, "");
    return status;
}

// Whatever escaped the work of a callback: its own locals are released by
// the unwinding; the user hears of it in a fixed text, since building one
// could fail the same way.
void report_escaped_exception() noexcept
{
    host_ops().HOST_UI_display_nonmodal_msg(msg::error_box_title, msg::internal_error, 0);
}

template <typename Work>
int guarded(int failure, Work&& work) noexcept
{
    try {
        return work();
    } catch (...) {
        report_escaped_exception();
        return failure;
    }
}

// The session recorder belongs to the entry points, which drive both the
// session and its recording. It is made at the first callback that needs
// it, inside that callback's guard: when it cannot be made the session goes
// on unrecorded, and the next callback tries again.
trace::session_trace* recorder_instance = nullptr;

trace::session_trace* recorder() noexcept
{
    if (recorder_instance == nullptr) {
        try {
            recorder_instance = new trace::session_trace();
        } catch (...) {
            return nullptr;
        }
    }
    return recorder_instance;
}

// A notification as the recorder sees it: the call, the work, the result.
template <typename Work>
int notified(int point, const char* part_name, Work&& work) noexcept
{
    trace::session_trace* trace = recorder();
    if (trace != nullptr) trace->callback_entered(point, part_name);
    const int result = guarded(stop_session, std::forward<Work>(work));
    if (trace != nullptr) trace->callback_returned(result);
    return result;
}

template <typename Work>
int translated(const char* part_spec, char* new_name, Work&& work) noexcept
{
    trace::session_trace* trace = recorder();
    if (trace != nullptr) trace->translation_entered(part_spec);
    const int result = guarded(stop_session, std::forward<Work>(work));
    if (trace != nullptr) trace->translation_returned(result, new_name);
    return result;
}

}  // namespace

void reset_recorder() noexcept
{
    if (recorder_instance == nullptr) return;
    recorder_instance->abandon();
    delete recorder_instance;
    recorder_instance = nullptr;
}

int clone_session_hook(int point, const char* part_name, void* data) noexcept
{
    trace::session_trace* trace = recorder();
    // Whether this session is recorded is decided anew at each session start.
    if (point == point_init_clone && trace != nullptr) trace->start();
    if (trace != nullptr) trace->callback_entered(point, part_name);
    const int result = guarded(stop_session, [&] {
        return work::clone_session(point, part_name, data, {translate_import_part, translate_export_part});
    });
    if (result == stop_session && point == point_exit_clone) {
        // The host gets its own callbacks back and the session state goes
        // even when the end of the session failed half way; releasing twice
        // is harmless.
        guarded(stop_session, [] { return end_clone_session(class_unknown); });
    }
    if (trace != nullptr) {
        trace->callback_returned(result);
        if (point == point_init_clone) trace->session_started(result);
        if (point == point_exit_clone) trace->finish();
    }
    return result;
}

int load_naming_hook(int point, const char* part_name, void* data) noexcept
{
    return notified(point, part_name, [&] { return work::load_naming(point, part_name, data); });
}

int handle_perform_notification(int point, const char* part_name, void* data) noexcept
{
    return notified(point, part_name, [&] { return work::perform_notification(point, part_name, data); });
}

int check_export_admission(int point, const char* part_name, void* data) noexcept
{
    return notified(point, part_name, [&] { return work::export_admission(point, part_name, data); });
}

int translate_export_part(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]) noexcept
{
    return translated(part_spec, new_name, [&] { return work::translate_export(part_spec, new_name); });
}

int translate_import_part(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]) noexcept
{
    return translated(part_spec, new_name, [&] { return work::translate_import(part_spec, new_name); });
}

}  // namespace kx

// The library's only exported symbol.
extern "C" __attribute__((visibility("default"))) int user_exit_start(void)
{
    return kx::guarded(kx::library_exception, [] { return kx::start(); });
}
