// The host's clone codes that the library's rules test, and what its
// callbacks answer. Their meaning beyond these numbers is the host's.
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

// Callback results.
inline constexpr int go_on = 0;
inline constexpr int export_refused = 2;
inline constexpr int stop_session = 3;

// Clone actions and naming techniques.
inline constexpr int action_new_name = 3;
inline constexpr int action_retain = 4;
inline constexpr int action_use_default = 5;
inline constexpr int naming_export = 1;
inline constexpr int naming_user_name = 3;
inline constexpr int naming_use_default = 4;

// Parts in states 1 and 4 are treated alike: their own rules skip them.
constexpr bool is_referenced_only(int part_state) noexcept { return part_state == 1 || part_state == 4; }

// A PDI is a part whose revision ID has exactly this many characters.
inline constexpr std::size_t pdi_revision_length = 8;

}  // namespace kx
