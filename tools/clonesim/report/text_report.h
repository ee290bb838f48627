// The report of one run as text: a summary (counts, findings, verdict)
// first, then what each part became, what the PDM server was asked, what
// the user was shown and which files changed.
#pragma once

#include "report/verdict.h"
#include "run/outcome.h"

#include <optional>
#include <string>

namespace clonesim {

struct report_options {
    bool findings_only = false;        // the summary and the findings only
    std::optional<std::string> part_name;  // one part's story (--part)
};

// `decided` is the run's one verdict (judge), rendered in the first and last lines.
std::string text_report(const run_outcome& run, const verdict& decided, const report_options& options = {});

// Whether the session has a part of this name.
bool has_part(const run_outcome& run, const std::string& name);

}  // namespace clonesim
