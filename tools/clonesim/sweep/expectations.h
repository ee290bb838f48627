// What a failure the sweep plants must show: where in the session the
// failing host call or PDM request falls (by the clean session's step
// marks), the message its step calls for, and whether a session showed it.
#pragma once

#include "run/outcome.h"
#include "scenario/scenario.h"
#include "sim_host.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace clonesim {

// Statuses no host operation or server answers with on its own, so that a
// message naming one can be told apart.
inline constexpr int host_fault_status = 93;
inline constexpr int server_fault_status = 2;
inline constexpr const char* server_fault_reply = "The PDM server failed this request";

struct located_call {
    const step_mark* step = nullptr;
    int index_in_step = 0;  // 1 for the first call of the operation within the step
};

// The step of the nth call of a host operation; no step when the clean
// session made fewer.
located_call locate_host_call(const std::vector<step_mark>& steps, const std::string& operation, int nth);
// The step of the nth request; null when the clean session sent fewer.
const step_mark* locate_request(const std::vector<step_mark>& steps, std::size_t nth);

enum class shown { error_box, listing, no_error_box };

struct expectation {
    std::string rule;
    shown where = shown::error_box;
    std::string text;
};

// The messages the failures of host calls must show, by the step their call
// belongs to; none where the step tells nothing for sure.
std::optional<expectation> host_call_expectation(int operation_class, const std::string& operation,
                                                 const located_call& at, bool persistent);

// A PDM request the sweep makes fail, and how.
struct failed_request {
    const sim::pdm_request& request;  // as the clean session sent it
    const step_mark* step = nullptr;
    bool with_reply = false;
    bool persistent = false;
};

// The message a failed request must show, by its code and step.
std::optional<expectation> request_expectation(const failed_request& failure, const run_outcome& clean);

// Empty when the session showed what it must; else what it did not.
std::string check_shown(const expectation& e, const run_outcome& run, const run_outcome& clean);

}  // namespace clonesim
