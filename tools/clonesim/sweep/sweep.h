// The fault-injection sweep: plays one scenario's session again and again in
// one process, through the library loaded once, with each host call and each
// PDM request in turn made to fail, and checks after every session that the
// library came through it whole: no misuse of host memory, nothing kept that
// a clean session does not keep, the host's callbacks given back, the
// message the failure calls for shown, and a clean session afterwards that
// goes exactly as before.
#pragma once

#include "run/session.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace clonesim {

struct sweep_options {
    std::filesystem::path scenario_file;
    std::string library;
    // Calls of an operation tried: every one (1), or the first, the last and
    // every nth in between.
    int every_nth_call = 1;
    // A clean session after every faulted one; off: only after the
    // persistent ones (and those that leave state for the next session).
    bool clean_after_every_run = true;
    // Off: only the C++ allocation failures below are swept.
    bool host_and_request_faults = true;
    // Told the label of each faulted session before it is played.
    std::function<void(const std::string&)> on_run;

    // C++ allocation failures inside the library. Only a program that
    // replaces the global allocator can make them, so it hands the sweep its
    // switch: the sweep then also makes the library's nth allocation fail,
    // transiently and persistently, for n = 1, 2, ... until a session makes
    // no more than n - 1.
    struct allocation_failures {
        std::function<void(long long nth, bool persistent)> arm;  // nth 0: none fails
        std::function<long long()> failed;  // allocations failed since the last arm
    };
    std::optional<allocation_failures> cxx_allocations;
    // Every session recorded into this folder: a failure the recorder takes
    // on itself must leave the session as the clean one, its own line aside.
    std::optional<std::filesystem::path> trace_directory;
};

// A fault, as the sweep labels it.
struct sweep_fault {
    std::string label;  // "HOST_PART_save #2 persistent", "request 3 (code 23) transient, no reply"
    std::string step;   // the step of the session the failing call belongs to
};

struct sweep_result {
    std::string scenario;
    std::string operation;                    // "import", "export", ...
    std::map<std::string, int> host_calls;    // of the clean session, by operation
    std::size_t requests = 0;                 // PDM requests of the clean session
    std::size_t outstanding_baseline = 0;     // what the library keeps for its life
    std::size_t failure_points = 0;           // (operation, call) and (request) points tried
    std::size_t allocation_points = 0;        // C++ allocations of the library made to fail
    std::size_t faulted_runs = 0;
    std::size_t clean_runs = 0;               // the two clean sessions first and every check
    std::size_t message_checks = 0;           // faulted sessions whose message was checked
    std::vector<std::string> rules_met;       // each message rule that applied at least once
    std::vector<std::string> failures;        // broken invariants, one line each
    double seconds = 0;

    std::size_t sessions() const { return faulted_runs + clean_runs; }
};

// Throws scenario_error and run_error as run_scenario does.
sweep_result run_sweep(const sweep_options& options);

std::string sweep_text(const sweep_result& result);

}  // namespace clonesim
