// The hooks that frame every clone session: what the library installs and
// suspends at Init_Clone, and what it releases and gives back at the end.
#include "host/host_api.h"
#include "host/host_memory.h"
#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "platform/platform.h"
#include "session/session_hooks.h"
#include "host/host_codes.h"
#include "session/messages.h"
#include "session/session_state.h"

#include <memory>
#include <string>
#include <string_view>

namespace kx {

namespace {

constexpr char exception_separator = '?';

// The host's own callbacks that would name exported parts their way.
struct host_load_callback {
    int point;
    const char* name;
    const char* description;
};
constexpr host_load_callback host_end_assy_load{point_end_assy_load, "HOST End Assy Load",
                                                "Called at the end of the assembly load operation,"};
constexpr host_load_callback host_begin_part_load{point_part_load, "HOST Begin Part Load",
                                                  "Called at the start for each part,"};

using callback_array = std::unique_ptr<host_clone_notify_cb, host_free_deleter>;

void report_unexpected_point(int point)
{
    platform::print(msg::unexpected_point(point));
}

int ask_operation_class()
{
    int operation_class = class_unknown;
    host_ops().HOST_CLONE_ask_operation_class(&operation_class);
    return operation_class;
}

// The list is kept for the life of the library once the server has handed
// one out; until then every session asks again.
int load_exception_list()
{
    host_string_array& list = state().exception_list;
    if (list.held()) return 0;
    const pdm_reply reply = get_exceptions();
    // This request answers with a non-zero status when it has a list.
    if (reply.status != 0) {
        host_string_array fresh;
        // A list cut short by a failed allocation would hide switches for
        // the rest of the process; without one the next session asks again.
        if (split_text(reply.text.get(), exception_separator, fresh) == 0) list = std::move(fresh);
    }
    return 0;
}

// Takes the host's callback out of the registry; only a callback that came
// back can be given back later.
void suspend(const host_load_callback& callback, bool& suspended, host_clone_notify_cb& saved)
{
    host_clone_notify_cb removed = nullptr;
    host_ops().HOST_CLONE_remove_ntfy_callback(callback.point, callback.name, &removed);
    if (removed == nullptr) return;
    saved = removed;
    suspended = true;
}

int resume(const host_load_callback& callback, bool& suspended, host_clone_notify_cb saved)
{
    const int status = host_ops().HOST_CLONE_register_ntfy_callback(callback.point, saved, callback.name,
                                                         callback.description, 0, 0);
    // Cleared whatever the host answered, so that it is never registered twice.
    suspended = false;
    return status;
}

int begin_export_session(host_clone_trans_cb translate_export_part)
{
    if (host_ops().HOST_PDM_set_clone_auto_trans(translate_export_part) != 0) return stop_session;

    int count = 0;
    callback_array callbacks;
    char** raw_names = nullptr;
    char** raw_descriptions = nullptr;
    host_ops().HOST_CLONE_ask_ntfy_callbacks(&count, out(callbacks), &raw_names, &raw_descriptions);
    host_string_array names;
    host_string_array descriptions;
    names.adopt(count, raw_names);
    descriptions.adopt(count, raw_descriptions);

    // Names are compared whole, whatever point they are registered under.
    bool end_assy_load_found = false;
    bool begin_part_load_found = false;
    for (int i = 0; i < names.count(); ++i) {
        if (names[i] == host_end_assy_load.name)
            end_assy_load_found = true;
        else if (names[i] == host_begin_part_load.name)
            begin_part_load_found = true;
    }

    library_state& s = state();
    if (end_assy_load_found) suspend(host_end_assy_load, s.end_assy_load_suspended, s.saved_end_assy_load);
    if (begin_part_load_found)
        suspend(host_begin_part_load, s.begin_part_load_suspended, s.saved_begin_part_load);
    return load_exception_list();
}

int begin_clone_or_import_session(int operation_class, host_clone_trans_cb translate_import_part)
{
    library_state& s = state();
    // A list kept because the last session's end was refused by the server
    // belongs to no session any more.
    s.import_item_list.reset();

    {
        const pdm_reply reply = begin_import();
        if (!reply.ok()) {
            show_error(reply.status, reply.c_str());
            return stop_session;
        }
    }
    if (host_ops().HOST_PDM_set_clone_auto_trans(translate_import_part) != 0) return stop_session;

    if (operation_class == class_import) {
        const int status = s.import_item_list.create();
        if (status != 0) {
            show_error(status, "");
            return stop_session;
        }
    }
    return load_exception_list();
}

int begin_session(void* data, const translation_callbacks& translators)
{
    // The host passes the class; without it, it is asked rather than read
    // through a null pointer.
    const int operation_class = data != nullptr ? *static_cast<const int*>(data) : ask_operation_class();
    switch (operation_class) {
    case class_export:
        return begin_export_session(translators.export_part);
    case class_clone:
    case class_import:
        return begin_clone_or_import_session(operation_class, translators.import_part);
    default:
        return load_exception_list();
    }
}

int finish_session()
{
    const int operation_class = ask_operation_class();
    // The end of the perform phase has released the session already unless
    // the session stopped before it; a second release finds nothing held and
    // nothing suspended, so it does nothing.
    end_clone_session(operation_class);

    switch (operation_class) {
    case class_clone:
    case class_import: {
        const pdm_reply reply = end_import();
        if (!reply.ok()) {
            // The list is kept; the next clone or import session drops it.
            show_error(reply.status, reply.c_str());
            return stop_session;
        }
        state().import_item_list.reset();
        return 0;
    }
    case class_edit:
    case class_export:
        return 0;
    default:
        // The class could not be asked: no session of this process needs
        // the list any more.
        state().import_item_list.reset();
        return 0;
    }
}

}  // namespace

int work::clone_session(int point, const char* /*part_name*/, void* data, const translation_callbacks& translators)
{
    switch (point) {
    case point_init_clone:
        return begin_session(data, translators);
    case point_exit_clone:
        return finish_session();
    default:
        report_unexpected_point(point);
        return 0;
    }
}

int work::load_naming(int point, const char* /*part_name*/, void* /*data*/)
{
    const int operation_class = ask_operation_class();
    if (point != point_assy_load && point != point_part_load) {
        report_unexpected_point(point);
        return 0;
    }
    if (operation_class == class_export) host_ops().HOST_CLONE_set_def_naming(naming_export);
    return 0;
}

int end_clone_session(int /*operation_class*/)
{
    int status = free_dialog_struct();
    if (status != 0) {
        show_error(status, msg::free_dialog_struct);
        return stop_session;
    }
    status = free_file_struct();
    if (status != 0) {
        show_error(status, msg::free_file_struct);
        return stop_session;
    }

    library_state& s = state();
    int result = 0;
    if (s.end_assy_load_suspended)
        result = resume(host_end_assy_load, s.end_assy_load_suspended, s.saved_end_assy_load);
    if (s.begin_part_load_suspended)
        result = resume(host_begin_part_load, s.begin_part_load_suspended, s.saved_begin_part_load);
    return result;
}

}  // namespace kx
