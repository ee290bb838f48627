// The report of one run: what each part became, what the PDM server was
// asked, what the user was shown, which files changed, and a verdict.
#pragma once

#include "session_run.h"

#include <nlohmann/json.hpp>

#include <string>

namespace clonesim {

struct verdict {
    bool went_through = false;
    std::string text;
};

verdict judge(const run_outcome& run);

std::string text_report(const run_outcome& run);
nlohmann::ordered_json json_report(const run_outcome& run);

// A text in double quotes with line feeds, tabs, quotes and other control
// characters escaped, so that every byte of a message can be seen.
std::string quote(const std::string& text);

// The host's name for a notification point.
std::string point_name(int point);

}  // namespace clonesim
