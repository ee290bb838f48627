// The outcome of a recorded session compared with that of the same session
// played again: per part its new name or refusal and its messages, the
// requests sent, the texts shown, the files deleted and the commands run,
// and every question the trace cannot answer.
#pragma once

#include "replay/trace_model.h"
#include "traces/trace.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace clonesim {

struct difference {
    std::string kind;  // "part", "request", "text", "delete", "command", "host", "callback", "unanswered"
    std::string what;
    std::string recorded;
    std::string now;
    std::string part;         // the part it concerns; empty: the session's own
    bool known = true;        // false: it follows an unanswered question of its part
    std::size_t at = static_cast<std::size_t>(-1);  // its event in the replayed trace; none: -1
};

// Names the replay used in place of recorded ones: recorded, replay's.
using name_pairs = std::vector<std::pair<std::string, std::string>>;

// What the replay hands the library that the recorded session never read:
// not unanswered, since the changes give it.
struct given_names {
    std::vector<std::string> variables, files;
};

std::vector<difference> compare_outcomes(const trace& recorded, const trace& now, const trace_model& model,
                                         const name_pairs& stand_ins, const given_names& given = {});

struct replay_result {
    std::filesystem::path trace_file;
    std::string recorded_library;
    std::string library;
    std::vector<std::string> changes;  // the rule changes applied, one line each
    std::optional<std::string> partial;  // where and why a partial trace ends
    std::vector<std::string> notes;
    std::vector<difference> differences;
    std::vector<std::pair<std::string, std::string>> parts_not_held;  // as applied_changes has them
};

// Plays the trace's session against the library with recording on and the
// rule changes applied, and compares. Throws trace_error when a trace cannot
// be read, run_error when the session cannot be played or a change cannot
// be made.
replay_result replay_trace(const std::filesystem::path& file, const std::string& library,
                           const rule_changes& changes = {});

// Where and why a partial trace ends and how far it replays.
std::string partial_text(const trace& t);

std::string replay_text(const replay_result& result);
nlohmann::ordered_json replay_json(const replay_result& result);

// One line of a difference, as the text report shows it.
std::string difference_line(const difference& d);

}  // namespace clonesim
