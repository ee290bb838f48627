// The session's data for the HTML page, written as one JSON object that is
// safe inside a script element. Parts, requests, files, database changes,
// changes to existing items and findings are the JSON report's records
// (json_report.h) with the page's own additions: a request's and a text's
// step, a part's outcome and its story (the requests, texts, changes and
// files that concern it, by index), a finding's part by index. The long
// lists are written as tables, each key once.
#pragma once

#include "report/verdict.h"
#include "run/outcome.h"

#include <string>

namespace clonesim {

// Appends the data object to `out`, member by member, so that a session of
// tens of thousands of parts never lives twice in memory as a JSON tree.
void write_page_data(const run_outcome& run, const verdict& decided, std::string& out);

}  // namespace clonesim
