// Collecting a session's outcome from the simulated host, the server, the
// item store and the observers once it has been played.
#pragma once

#include "run/observers.h"
#include "run/outcome.h"
#include "server/item_store.h"
#include "server/pdm_server.h"
#include "sim_host.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace clonesim {

// The items of the store by item ID.
std::map<std::string, item_record> items_by_id(const item_store& store);

// The part files the session saved, failed to save, left open or wrote
// attributes into, against the part files before it.
std::vector<file_change> part_file_changes(const std::map<std::string, sim::part_file>& before);

// The site programs of a recorded session, as its trace tells them; none
// when the trace is not whole.
std::vector<program_run> recorded_program_runs(const std::filesystem::path& trace_file);

// What the run holds besides the host when the session is over.
struct session_sources {
    const item_store& store;
    const pdm_server& server;
    const observations& seen;
    const std::map<std::string, item_record>& items_before;
    long long journal_start = 0;
};

// Everything the reports read of a session that has been played: what it
// showed and asked, each part's outcome, the mapping files, the host's
// callbacks, the database's journal and the changes to existing items.
void collect_outcome(const session_sources& from, run_outcome& out);

}  // namespace clonesim
