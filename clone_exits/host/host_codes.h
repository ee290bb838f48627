// Every number the library and the host exchange, named once: the host's
// clone codes, notification points and callback results, the arguments and
// statuses of its part, attribute and text-file operations, the PDM request
// codes, and the statuses of the library's own that reach a caller. The
// library, the simulated host, clonesim and the tests all use these names;
// their meaning beyond these numbers is the host's.
#pragma once

#include <cstddef>

namespace kx {

enum operation_class : int {
    // Written before a class query whose status is not tested: a query that
    // answers nothing must pass for no class with rules of its own.
    class_unknown = -1,
    class_clone = 0,
    class_edit = 1,
    class_import = 2,
    class_export = 3,
};

enum notification_point : int {
    point_init_clone = 0,
    point_exit_clone = 1,
    point_assy_load = 2,
    point_end_assy_load = 3,
    point_part_load = 6,
    point_begin_perform = 10,
    point_end_perform = 11,
    point_begin_apply_defaults = 12,
    point_after_part = 51,
};

// The points in the order the host reaches them in a whole session.
inline constexpr notification_point session_points[] = {
    point_init_clone,      point_assy_load,     point_part_load,  point_end_assy_load, point_begin_apply_defaults,
    point_begin_perform,   point_after_part,    point_end_perform, point_exit_clone};

// Callback results.
inline constexpr int go_on = 0;
inline constexpr int export_refused = 2;
inline constexpr int stop_session = 3;
// A translation whose part file name cannot be asked.
inline constexpr int translation_no_file_name = 5;

// Clone actions and naming techniques.
inline constexpr int action_new_name = 3;
inline constexpr int action_retain = 4;
inline constexpr int action_use_default = 5;
inline constexpr int naming_export = 1;
inline constexpr int naming_user_name = 3;
inline constexpr int naming_use_default = 4;

// Parts in these two states are treated alike: their own rules skip them.
// What else the states mean is the host's.
inline constexpr int part_state_referenced = 1;
inline constexpr int part_state_referenced_loaded = 4;
constexpr bool is_referenced_only(int part_state) noexcept
{
    return part_state == part_state_referenced || part_state == part_state_referenced_loaded;
}

// A PDI is a part whose revision ID has exactly this many characters.
inline constexpr std::size_t pdi_revision_length = 8;

// Part files: the file types of the file queries, the close scope and mode,
// and the member of the assembly options that switches component loading.
inline constexpr int file_type_any = 0;
inline constexpr int file_type_part = 2;
inline constexpr int close_this_part_only = 0;
inline constexpr int close_with_components = 1;
inline constexpr int close_unloading = 1;
inline constexpr int component_loading_member = 8;

// Attributes: the value type of a text attribute and the type asked of a
// title by the attribute search.
inline constexpr int string_attribute = 5;
inline constexpr int attribute_query_type = 6;

// Text files: how they are opened and closed, and the read's end of file.
inline constexpr int text_read_access = 1;
inline constexpr int text_format = 2004;
inline constexpr int text_keep_file = 0;
inline constexpr int text_delete_file = 1;
inline constexpr int text_end_of_file = -23;

enum pdm_request_code : int {
    request_get_export_file_name = 18,
    request_get_export_attributes = 20,
    request_pdi_backfill = 21,
    request_begin_import = 23,
    request_end_import = 24,
    request_fill_import_filename = 25,
    request_get_item_type = 26,
    request_auto_publish = 27,
    request_prepare_new_items = 28,
    request_check_revision = 30,
    request_get_related_name = 31,
    request_set_name_description = 34,
    request_get_owner_name = 35,
    request_get_exceptions = 36,
};

inline constexpr pdm_request_code all_request_codes[] = {
    request_get_export_file_name, request_get_export_attributes, request_pdi_backfill,
    request_begin_import,         request_end_import,            request_fill_import_filename,
    request_get_item_type,        request_auto_publish,          request_prepare_new_items,
    request_check_revision,       request_get_related_name,      request_set_name_description,
    request_get_owner_name,       request_get_exceptions};

// The library's own statuses. A request whose input would not fit the
// server's limit, or holds a field the server would split at its separator,
// is not sent (an identity is never cut) and its sender fails as for a
// refused request; an imported part with a field that does not fit the host's
// field, or that would corrupt a request or its database part name, is
// refused.
inline constexpr int request_not_sent = 9901;
inline constexpr int request_text_too_long = request_not_sent;
inline constexpr int part_field_unusable = 9902;
inline constexpr int item_identity_too_long = part_field_unusable;
// Start-up stopped by an exception inside the library.
inline constexpr int library_exception = 9903;

}  // namespace kx
