// A session's outcome as the reports show it: every text the library, the
// host or the server gave is in the host's code page while the session runs
// and is compared (replay, sweep, findings); the reports are UTF-8.
#pragma once

#include "run/outcome.h"

namespace clonesim {

// Puts every text of the outcome, the scenario's among them, in UTF-8;
// once.
void texts_in_utf8(run_outcome& out);

// The file a text of the outcome names, as the library opens it.
std::filesystem::path file_named(const run_outcome& out, const std::string& text);

}  // namespace clonesim
