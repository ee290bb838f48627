// How a session is judged: whether it went through, the verdict line that
// every report ends with, and the exit status of clonesim run.
#pragma once

#include "run/outcome.h"

#include <cstddef>
#include <string>

namespace clonesim {

// Exit statuses of clonesim run.
inline constexpr int exit_went_through = 0;
inline constexpr int exit_failed = 1;  // refused, or an error finding (a warning too with --strict)
inline constexpr int exit_usage = 2;   // the command line or the scenario is wrong

struct verdict {
    bool went_through = false;  // the session was not refused
    int exit_status = exit_went_through;
    std::string text;
};

// `strict` judges a warning as an error.
verdict judge(const run_outcome& run, bool strict = false);

struct part_counts {
    std::size_t translated = 0, refused = 0, not_reached = 0;
};
part_counts count_parts(const run_outcome& run);

// "4 parts translated, 0 refused" ("exported" in an export).
std::string parts_text(const run_outcome& run);

// The host's name for a notification point ("Init_Clone", "after part", ...).
std::string point_name(int point);
// The name of a step: its point's, or "translation".
std::string step_point_name(int point);

}  // namespace clonesim
