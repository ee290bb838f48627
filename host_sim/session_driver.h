// Plays the host's part of one clone session over the model of sim_host.h,
// in the host's order, through the callbacks that the library registered and
// the translation callback it installed:
//
//   Init_Clone (data: pointer to the model's operation class)
//   assembly load, each part's load (with the part name), end of load
//   Begin_Apply_Defaults
//   the translation callback for each part (results stored in clone_part)
//   Begin_Perform, after each translated part (with its name), End_Perform
//   Exit_Clone
//
// (kx::session_points names them in this order.) Every callback registered
// for a point is called, in registration order; the first non-zero result of
// a point counts as that point's result. A non-zero result at Init_Clone,
// Begin_Apply_Defaults, Begin_Perform or any translation refuses the
// session: the host skips the rest and goes straight to Exit_Clone, which is
// always called.
#pragma once

#include "sim_host.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

struct point_call {
    int point = 0;
    std::string part_name;  // "" when none was passed
    int result = 0;
};

struct session_result {
    bool refused = false;
    std::string refused_at;  // "Init_Clone", "Begin_Apply_Defaults", "translation", "Begin_Perform", ...
    std::vector<point_call> points;  // every notification sent, in order
    int exit_result = 0;             // result of Exit_Clone
};

struct session_options {
    // Called for each translated part at the start of the perform phase,
    // before the after-each-part point for it: clonesim creates the part in the database here.
    std::function<void(clone_part&)> on_perform_part;
    // Part name passed at Begin_Perform and End_Perform (null when empty).
    std::string perform_point_name;
};

// Calls every callback registered for `point`; returns the first non-zero
// result, or 0.
int notify(int point, const char* part_name, void* data);

session_result play_session(const session_options& options = {});

}  // namespace sim
