// Driving one session: fills the simulated host and server from a scenario,
// starts the library (or puts back the registrations of a started one),
// plays the session with the library's standard output captured and the
// site programs watched, and hands back its outcome with the findings.
#pragma once

#include "run/library.h"
#include "run/outcome.h"
#include "scenario/scenario.h"
#include "sim_host.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace clonesim {

struct run_options {
    std::filesystem::path scenario_file;
    std::string library;
    std::string database = ":memory:";
    // The HTML report tells in which step of the session each request was
    // sent and each text shown.
    bool record_steps = false;
    // Record the session's trace into this folder (made when missing).
    std::optional<std::filesystem::path> trace_directory;
};

// Reads the scenario, loads the library and plays the session. Throws
// scenario_error for a malformed scenario and run_error when the run cannot
// start.
run_outcome run_scenario(const run_options& options);

// A server fault: the server answers the nth request of the session
// (counted over every code), or every request from the nth on, with a
// failure of its own instead of handling it. The counterpart of a host
// fault (sim::fault).
struct server_fault {
    int nth = 1;
    bool persistent = false;
    int status = 1;
    std::optional<std::string> reply;
};

struct session_setup {
    std::string database = ":memory:";
    // A later session of a library that is already started: its
    // registrations are put back in the host's registry as the host kept
    // them, instead of calling user_exit_start again.
    const std::vector<sim::registered_callback>* started_library = nullptr;
    std::vector<sim::fault> host_faults;  // besides the scenario's own
    std::optional<clonesim::server_fault> server_fault;
    bool record_steps = false;
    std::optional<std::filesystem::path> trace_directory;
    // For a report: the outcome's texts are put in UTF-8 before its
    // findings are written, which quote them. A replay or a sweep compares
    // them with the host's as they are.
    bool texts_in_utf8 = false;
    // A replay compares the session's own trace and nothing else: what a
    // report is made of (parts, files, the journal, findings) is not
    // gathered, which at a site's scale is a tenth of the replay.
    bool gather_outcome = true;
};

// Plays one session of `scene` over the model as it stands (a fresh or
// reset one), through a loaded library.
run_outcome run_session(const scenario& scene, const loaded_library& library, const session_setup& setup);

}  // namespace clonesim
