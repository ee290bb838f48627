// How a session is judged, once: the outcome, the exit status of clonesim
// run and the verdict's words. Every report renders this one decision and
// never judges again, so that the exit status, the text, the JSON and the
// page cannot disagree.
#pragma once

#include "run/outcome.h"

#include <cstddef>
#include <string>

namespace clonesim {

// Exit statuses of clonesim run.
inline constexpr int exit_went_through = 0;
inline constexpr int exit_failed = 1;  // refused, or an error finding (a warning too with --strict)
inline constexpr int exit_usage = 2;   // the command line or the scenario is wrong

enum class verdict_outcome {
    clean,     // went through with no finding that fails the run
    findings,  // went through, but a finding fails the run
    refused,   // the library or the host stopped the session
};

struct verdict {
    verdict_outcome outcome = verdict_outcome::clean;
    int exit_status = exit_went_through;
    bool strict = false;
    std::string text;  // the whole line: what happened; parts: ...; findings: ...
};

// `strict` judges a warning as an error.
verdict judge(const run_outcome& run, bool strict = false);

std::string outcome_name(verdict_outcome outcome);  // "clean", "findings", "refused"

// What became of a part in the end: its translation, and for a translated
// part whether the session carried it through (a refusal at Begin_Perform
// leaves it translated but never in the database).
enum class part_fate { done, not_completed, refused, not_translated };

part_fate fate_of(const run_outcome& run, const part_outcome& part);
// "translated" ("exported" in an export), "not imported", "refused", "not translated".
std::string fate_name(const run_outcome& run, part_fate fate);
// A part's fate in words, with why for a part the session did not carry through.
std::string fate_text(const run_outcome& run, const part_outcome& part);

struct part_counts {
    std::size_t done = 0, not_completed = 0, refused = 0, not_reached = 0;
};
part_counts count_parts(const run_outcome& run);

// "4 translated, 0 refused" ("exported" in an export); counts of parts only.
std::string parts_text(const run_outcome& run);

// The worst severity found about a part, "" when nothing was.
std::string part_label(const run_outcome& run, const part_outcome& part);

// The host's name for a notification point ("Init_Clone", "after part", ...).
std::string point_name(int point);
// The name of a step: its point's, or "translation".
std::string step_point_name(int point);

}  // namespace clonesim
