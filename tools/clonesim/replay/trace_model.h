// The model of a recorded session: what the host, the server, the site
// programs and the environment answered, as a clonesim scenario that plays
// the session again.
#pragma once

#include "scenario/scenario.h"
#include "traces/trace.h"

#include <string>
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
};

// Throws trace_error for a trace whose events do not make a model.
trace_model model_from_trace(const trace& recorded);

}  // namespace clonesim
