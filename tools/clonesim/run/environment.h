// What surrounds a session in the process: the variables the library reads,
// the directory it runs in, clonesim's own temporary folders, and the folder
// of the stand-ins the library's commands find first on PATH.
#pragma once

#include "scenario/scenario.h"

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace clonesim {

// Whether the running program lies in the build tree it was built in: only
// then may it fall back on the build's and the source's files.
bool runs_from_build_tree();

// Directory holding the "del" stand-in and the site programs' logging
// wrapper, put first on PATH for the session.
std::filesystem::path tools_directory();

// A new folder below $TMPDIR (else /tmp) named `prefix`-XXXXXX; throws
// run_error.
std::filesystem::path make_temp_directory(const std::string& prefix = "clonesim");

// Sets exactly the library's variables the scenario names (so that a
// session does not depend on the shell it was started from) and puts the
// tools directory first on PATH.
void set_environment(const std::vector<env_setting>& env);

// Writes the files the library reads into `folder` and puts their names in
// place of the scenario's, in the variables and in the server's recorded
// answers; adds each pair (scenario's, run's) to `stand_ins`.
void place_files(scenario& scene, const std::filesystem::path& folder,
                 std::vector<std::pair<std::string, std::string>>& stand_ins);

// Sets a variable for as long as it lives (when there is a value), then puts
// the old value back.
class variable_scope {
public:
    variable_scope(const char* name, const std::optional<std::filesystem::path>& value);
    ~variable_scope();
    variable_scope(const variable_scope&) = delete;
    variable_scope& operator=(const variable_scope&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
    bool set_ = false;
};

// Goes to a directory for as long as it lives and back to the one clonesim
// was started in, on every path; throws run_error when it cannot go there.
class working_directory {
public:
    explicit working_directory(const std::filesystem::path& to);
    ~working_directory();
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;

private:
    std::filesystem::path saved_;
};

}  // namespace clonesim
