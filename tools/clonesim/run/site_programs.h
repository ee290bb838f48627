// The site programs the library runs (the additional import program, the
// item ID check under PDM_ROOT) are run through a logging wrapper of
// clonesim's own, so that the report tells with which arguments each ran and
// how it exited, without clonesim knowing what the library makes of it.
#pragma once

#include "run/outcome.h"
#include "scenario/scenario.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace clonesim {

struct site_program_watch {
    std::vector<env_setting> env;  // the scenario's, program variables pointing at the wrapper
    std::filesystem::path log;
    // What the library may print of a variable's value: the wrapped text
    // and the scenario's own, to put back in the captured output.
    std::vector<std::pair<std::string, std::string>> shown_as;
    bool answered = false;  // a stand-in answers as recorded
};

// Prepares the wrappers in `directory` (which must exist).
site_program_watch watch_site_programs(const scenario& scene, const std::filesystem::path& directory);

// For a scenario with recorded commands: the site programs are not run; a
// stand-in in `directory` answers each run with the exit code recorded for
// its program text and arguments (127 when none is), and logs it as the
// wrapper does. `shown_as` maps the stand-in's texts back to the recorded
// ones.
site_program_watch answer_site_programs(const scenario& scene, const std::filesystem::path& directory);

// The runs the wrapper logged, in order; none when the log is missing. The
// error output reads as the site's own shell would have written it.
std::vector<program_run> read_program_log(const site_program_watch& watch);

// `text` with the wrapper's name and line, which its shell puts before a
// message of its own, made the "sh" and line 1 of the library's command.
std::string as_the_site_shell_says(const std::string& text, const std::string& wrapper_name);

// The captured output with the wrapper's command lines turned back into the
// scenario's.
std::string unwrap_output(std::string text, const site_program_watch& watch);

}  // namespace clonesim
