// Other processes clonesim starts itself: one child per recorded session
// replayed, so that no two sessions share a loaded library. Only this room
// knows how the operating system starts and waits for a process; the rest
// of clonesim sees an opaque child and the way it ended.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace clonesim::platform {

// A child could not be started or waited for; the message holds the
// system's reason.
class process_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using child_id = std::uint64_t;

struct child_start {
    std::filesystem::path program;       // started by this path, never looked up on PATH
    std::vector<std::string> arguments;  // after the program's own name; handed over as they are, no shell
    std::filesystem::path output;        // standard output goes here (made or emptied); empty: discarded
    std::filesystem::path errors;        // standard error likewise
    // Environment variables set in the child only, over this process's.
    std::vector<std::pair<std::string, std::string>> environment;
};

struct child_end {
    child_id id = 0;
    bool exited = false;  // false: the system stopped it (a signal, an exception)
    int exit_status = -1;  // when it exited
    std::string how;      // "exit status 1", "signal 11 (Segmentation fault)"
};

// Starts a child with the environment and the working directory of this
// process, reading nothing (standard input is empty); throws process_error.
child_id start_child(const child_start& start);

// Waits until one of the children start_child started and that is not yet
// waited for ends; throws process_error when there is none, interrupted
// when a stop request came (before or while waiting).
child_end wait_any_child();

// Stops a child that is still running and waits for it.
void stop_child(child_id id);

// A replay of many traces ends when the user asks it to: SIGINT or SIGTERM
// (or their like) wakes the wait for a child with this, so that the caller
// can stop its children and clear its files before ending by the signal.
class interrupted : public std::runtime_error {
public:
    explicit interrupted(int signal) : std::runtime_error("interrupted"), signal_(signal) {}
    int signal() const { return signal_; }

private:
    int signal_;
};

// From here on an interrupt or a termination request is noted rather than
// fatal (wait_any_child throws interrupted), and a closed standard output
// makes a write fail instead of ending the process.
void catch_stop_requests();

// Ends the process as the request noted would have: by the signal itself.
[[noreturn]] void end_by(int signal);

// The processors this process may run on (at least 1).
unsigned core_count();

}  // namespace clonesim::platform
