// The report of one run as JSON (`clonesim run --json`), and the records it
// is made of. The HTML page's data is made of the same records with the
// same keys, adding only what the page needs besides (a request's step, a
// part's outcome and story). Records hold texts as the bytes they are: the
// JSON report escapes them with json_safe, the page as it writes its data.
#pragma once

#include "report/verdict.h"
#include "run/outcome.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace clonesim {

nlohmann::ordered_json part_json(const run_outcome& run, const part_outcome& part);
nlohmann::ordered_json request_json(const run_outcome& run, std::size_t index);
nlohmann::ordered_json file_json(const file_change& file);
nlohmann::ordered_json journal_json(const journal_entry& entry);
nlohmann::ordered_json item_change_json(const item_change& change);
nlohmann::ordered_json finding_json(const finding& f);
nlohmann::ordered_json program_run_json(const program_run& program);
// The parts counted by their final fate, under the fate's own words, in the
// order translated (or exported), not completed, refused, not translated.
nlohmann::ordered_json part_counts_json(const run_outcome& run);
nlohmann::ordered_json callback_json(const callback_outcome& cb);

// A text, or null when there is none.
nlohmann::ordered_json optional_json(const std::optional<std::string>& value);

// The verdict as the reports carry it: outcome, exit status, text.
nlohmann::ordered_json verdict_json(const verdict& decided);

// `decided` is the run's one verdict (judge).
nlohmann::ordered_json json_report(const run_outcome& run, const verdict& decided);

}  // namespace clonesim
