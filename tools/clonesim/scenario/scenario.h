// A clonesim scenario: everything the simulated host and the simulated PDM
// server hold before a session starts, read from one JSON file and checked
// strictly, so that a mistake in the file is reported before anything runs.
#pragma once

#include "sim_host.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace clonesim {

// A malformed scenario: the message names the file, the field and what was
// expected.
class scenario_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using text_pair = std::pair<std::string, std::string>;

// One environment variable for the session; an absent value unsets it.
struct env_setting {
    std::string name;
    std::optional<std::string> value;
};

// One of the host's own notification callbacks.
struct host_callback {
    std::string name;
    int point = 0;
    std::string description;
};

// A part file the host has written (export): the name relative to the
// export directory, or the full name as the host opens it.
struct part_file_seed {
    std::string name;
    bool full_path = false;
    std::vector<text_pair> attributes;
    bool family_instance = false;
};

// The release status a scenario from a trace gives a revision the session
// saw present: an import never sees whether a revision is released, and the
// server counts any status as released.
inline constexpr char release_status_not_known[] = "not known from the trace";

struct revision_seed {
    std::string rev_id;
    std::optional<std::string> native_file;
    std::optional<std::string> release_status;
    std::optional<std::string> released_date;
    std::optional<std::string> context;
    // Design log lines of the revision: key after "!I_" and value.
    std::vector<text_pair> design_log;
};

struct item_seed {
    std::string item_id;
    std::string item_type = "Part";
    std::string name;
    std::string description;
    std::optional<std::string> owner;
    std::vector<revision_seed> revisions;
};

// A scripted answer of the server: replaces the simulated handler for the
// nth request of `code` (and every later one when persistent).
struct scripted_reply {
    int code = 0;
    int nth = 1;
    bool persistent = false;
    int status = 0;
    std::optional<std::string> reply;
};

// The server's recorded answer to one request, found by code and input: the
// nth request with the same code and input gets the nth answer, later ones
// the last.
struct recorded_answer {
    int code = 0;
    std::optional<std::string> input;
    int status = 0;
    std::optional<std::string> reply;
};

// A site program's recorded run: its program text (empty for the item ID
// check), its arguments and its exit code.
struct recorded_command {
    std::string program;
    std::vector<std::string> arguments;
    int exit = 0;
};

// A file the library reads, by the name it reads it under; no content: it
// cannot be read. The run writes it into a folder of its own and puts that
// name in place of this one in the variables and the server's answers.
struct file_seed {
    std::string path;
    std::optional<std::string> content;
};

// The session's settings (operation class, dry run, the clone dialog's
// defaults) are the simulated host's own, with its defaults.
struct scenario : sim::session_settings {
    std::filesystem::path file;       // as given on the command line
    std::filesystem::path directory;  // absolute directory of the file
    std::string title;

    std::vector<env_setting> env;

    std::optional<int> next_item_number;
    std::optional<std::string> initial_revision;

    std::vector<host_callback> host_callbacks;
    std::vector<sim::clone_part> parts;
    std::vector<part_file_seed> part_files;

    // The server's exception list; absent: the server hands out none.
    std::optional<std::vector<text_pair>> exceptions;
    std::vector<item_seed> items;
    std::vector<scripted_reply> replies;
    // When present, the server answers from these alone; a request that is
    // not among them is refused and counts as unanswered.
    std::optional<std::vector<recorded_answer>> answers;
    // When present, the site programs are not run: each run is answered
    // with the exit code recorded for its program and arguments.
    std::optional<std::vector<recorded_command>> commands;
    std::vector<file_seed> files;
    std::vector<sim::fault> faults;
};

// The most host callbacks a scenario may register (clonesim has one
// recording function per place).
inline constexpr std::size_t max_host_callbacks = 8;

// Reads and checks a scenario file; throws scenario_error.
scenario load_scenario(const std::filesystem::path& file);

// The scenario as a scenario file reads it back (load_scenario).
std::string scenario_file_text(const scenario& scene);

// Texts that name files, compared with "\\" and "/" as one separator.
std::string same_separators(std::string text);

// The operation class for its name ("clone", "edit", "import", "export").
std::optional<int> operation_class_of(const std::string& name);
std::string operation_name(int operation_class);

}  // namespace clonesim
