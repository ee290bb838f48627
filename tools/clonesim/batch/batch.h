// Many recorded sessions replayed in one command: the traces given and the
// traces in the folders given, each replayed by a clonesim child of its own
// (the library keeps state for as long as it is loaded, so two sessions in
// one process would not be the sessions recorded), a few at a time, and
// their outcomes summed up.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace clonesim {

struct batch_trace {
    std::filesystem::path file;
    std::string shown;  // as the user named it: the path given, or the folder given and the file's name
};

struct batch_inputs {
    std::vector<batch_trace> traces;  // in the order of their lines: by path
    std::vector<std::string> notes;   // files skipped, traces given twice
};

// The traces of the paths given: a folder gives the files in it named as
// the library names its traces (kxpdm-trace-*.jsonl; a folder below is not
// looked into), anything else is taken as a trace. Throws run_error for a
// folder that holds no trace.
batch_inputs collect_traces(const std::vector<std::string>& paths);

// What became of one trace.
enum class batch_status { same, differ, cannot_be_read, not_replayed };

struct batch_outcome {
    batch_trace trace;
    batch_status status = batch_status::not_replayed;
    std::string reason;             // why it cannot be read or was not replayed
    nlohmann::ordered_json replay;  // the replay's own JSON report; null when there is none
    std::size_t differences = 0, unanswered = 0, parts_affected = 0;
    bool partial = false;
};

// A child's result file read as an outcome. The result counts only when the
// child exited with the exit status the file names: anything else (a crash,
// a kill, a file cut short) leaves the trace not replayed, never the same.
batch_outcome outcome_of(const batch_trace& trace, const nlohmann::ordered_json& result);

// The result file a child writes: its replay report, or why the trace cannot
// be read or be replayed.
nlohmann::ordered_json cannot_be_read_result(const std::string& trace, const std::string& reason);
nlohmann::ordered_json not_replayed_result(const std::string& trace, const std::string& reason);

struct batch_run {
    std::filesystem::path clonesim;          // the executable each child runs
    std::vector<std::string> replay_options;  // handed to every child: the library and the rule changes
    unsigned jobs = 1;
    // Called once for each trace, in the order of `traces`, as soon as it and
    // every trace before it are done.
    std::function<void(const batch_outcome&)> on_outcome;
};

// Replays every trace in a child of its own, at most `jobs` at a time;
// gives the outcomes in the order of `traces`. Throws run_error when a child
// cannot be started.
std::vector<batch_outcome> replay_each(const std::vector<batch_trace>& traces, const batch_run& run);

struct batch_header {
    std::string library;
    std::vector<std::string> changes;  // the rule-change options as given
    unsigned jobs = 1;
};

// 0 every session the same (a partial one up to its end), 1 one differs or
// asks what its recording never answered, 2 one cannot be read or was not
// replayed (which outweighs a difference: the answer is not whole).
int batch_exit_status(const std::vector<batch_outcome>& outcomes);

std::string batch_head_text(const batch_header& header, std::size_t traces);
std::string batch_line(const batch_outcome& outcome);
std::string batch_summary_text(const std::vector<batch_outcome>& outcomes);
nlohmann::ordered_json batch_json(const batch_header& header, const std::vector<batch_outcome>& outcomes);
// One self-contained page: the summary, then a row for each trace with its
// differences to unfold.
std::string batch_html(const batch_header& header, const std::vector<batch_outcome>& outcomes);

}  // namespace clonesim
