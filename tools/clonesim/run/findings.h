// What clonesim found wrong or worth a look in one session, from what it
// observed: host calls and their statuses, requests and the server's answers,
// texts shown, database changes and files. It never decides by the library's
// own rules what the library should have done.
#pragma once

#include "run/outcome.h"

#include <cstddef>
#include <string>
#include <vector>

namespace clonesim {

// The findings of a session played to its end, in the order they happened.
std::vector<finding> gather_findings(const run_outcome& run);

std::string severity_name(severity s);  // "error", "warning", "note"

struct finding_counts {
    std::size_t errors = 0;
    std::size_t warnings = 0;
    std::size_t notes = 0;
};

finding_counts count_findings(const std::vector<finding>& findings);

// "1 error, 2 warnings, no notes".
std::string counts_text(const finding_counts& counts);

}  // namespace clonesim
