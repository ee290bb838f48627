// The report of one run: a summary (counts, findings, verdict) first, then
// what each part became, what the PDM server was asked, what the user was
// shown and which files changed.
#pragma once

#include "session_run.h"
#include "texts.h"

#include <nlohmann/json.hpp>

#include <optional>
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

verdict judge(const run_outcome& run, bool strict = false);

struct report_options {
    bool strict = false;
    bool findings_only = false;        // the summary and the findings only
    std::optional<std::string> part;   // one part's story
};

std::string text_report(const run_outcome& run, const report_options& options = {});
nlohmann::ordered_json json_report(const run_outcome& run, bool strict = false);
// A text, or null when there is none.
nlohmann::ordered_json optional_json(const std::optional<std::string>& value);

// Whether the session has a part of this name.
bool has_part(const run_outcome& run, const std::string& name);

// The host's name for a notification point.
std::string point_name(int point);

}  // namespace clonesim
