// The model of a recorded session: what the host, the server, the site
// programs and the environment answered, as a clonesim scenario that plays
// the session again.
#pragma once

#include "scenario/scenario.h"
#include "traces/trace.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace clonesim {

struct trace_model {
    scenario scene;
    // What the library held from an earlier session and the model cannot
    // hand a fresh one (told, not counted as a difference).
    std::vector<std::string> notes;
    // The exception list was held from an earlier session: the model answers
    // the request for it from the header, and that request is the fresh
    // library's, not the session's.
    bool exceptions_from_header = false;
    // The mapping file was read in an earlier session: the model gives the
    // header's entries under this name.
    std::optional<std::string> map_file_from_header;
    // The revisions ("A100/B") whose release status the trace does not
    // tell, taken as released.
    std::vector<std::string> taken_as_released;
    // The parts the recorded session translated, as the model names them.
    std::set<std::string> reached;
    // Recorded on another system, whose library joins paths with its own
    // separator: "\\" and "/" in names are taken as one, and only then.
    bool separators_as_one = false;
};

// The trace was recorded on another system than this one (its header names
// the platform), so its names take "\\" and "/" as one.
bool recorded_elsewhere(const trace& head);

// Throws trace_error for a trace whose events do not make a model.
trace_model model_from_trace(const trace& recorded);
// The same, read from the file as it goes (see stream_trace): `head` gets
// the trace's header and where a partial one ends; `also_start` and `also`,
// when given, are handed the same as the model, for a reader of the same
// trace that needs no second reading.
trace_model model_from_trace_file(const std::filesystem::path& file, trace& head, const trace_start& also_start = {},
                                  const trace_take& also = {});

// A rule changed for the replay, as given on the command line.
struct rule_changes {
    std::vector<std::pair<std::string, std::string>> set;  // variable, value
    std::vector<std::string> unset;
    std::optional<std::filesystem::path> map_file;  // the mapping file's content instead of the recorded one
    struct program_answer {
        std::string program;  // "additional" or "check"
        int exit = 0;
        std::optional<std::string> part;  // none: every part
    };
    std::vector<program_answer> programs;
    std::vector<std::pair<std::string, std::string>> exceptions;  // name, value
    // One of many traces replayed with the same changes: a part a change
    // names that this trace does not hold leaves the change nothing to act
    // on here, where a trace replayed alone refuses it as a slip.
    bool one_of_many = false;

    bool empty() const { return set.empty() && unset.empty() && !map_file && programs.empty() && exceptions.empty(); }
};

// Reads one option's text ("NAME=VALUE", "additional=3@/parts/a.prt");
// throws run_error naming the option when it does not read.
std::pair<std::string, std::string> name_value(const std::string& option, const std::string& text);
rule_changes::program_answer program_answer_of(const std::string& text);
// An --unset's text: a variable's name alone.
std::string unset_name_of(const std::string& text);

// Applies the changes to the model; gives one line naming each, and the
// variables and files the changes give that the recorded session never read.
struct applied_changes {
    std::vector<std::string> named;
    std::vector<std::string> variables, files;
    // One of many: each part a change names that this trace does not hold,
    // as given, and the part of the trace it looks like a slip of (or "").
    std::vector<std::pair<std::string, std::string>> parts_not_held;
};
applied_changes apply_rule_changes(trace_model& model, const rule_changes& changes);

}  // namespace clonesim
