// One clonesim run: loads the library as the host does, fills the simulated
// host and server from the scenario, plays the session and collects what
// happened for the report.
#pragma once

#include "item_store.h"
#include "scenario.h"
#include "session_driver.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace clonesim {

// The run could not start (the library cannot be loaded, the item store
// cannot be opened, ...): a usage error, not a refused session.
class run_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct run_options {
    std::filesystem::path scenario_file;
    std::string library;
    std::string database = ":memory:";
};

struct part_outcome {
    std::string name;
    bool translated = false;       // the translation callback was called
    int status = -1;               // its result
    std::optional<std::string> new_name;
    std::vector<std::string> messages;  // error boxes shown while it was translated
    // Import and clone: what the part becomes in the database.
    std::string item_id, rev_id, relation, related_name;
    std::optional<std::string> item_type, pdm_name, pdm_desc;
};

struct file_change {
    std::string kind;  // "part file" or "mapping file"
    std::string path;
    int saves = 0;
    int failed_saves = 0;  // saves the host was asked for that did not happen
    bool left_open = false;
    std::vector<std::pair<std::string, std::string>> attributes_written;  // in the file's order
    std::string outcome;  // mapping files: "deleted" or "kept"
    std::string content;  // mapping files: what the server wrote
};

struct callback_outcome {
    std::string name;
    int point = 0;
    std::vector<std::string> calls;  // "point 6 (part name)" for each call received
    bool registered_at_end = false;
};

struct run_outcome {
    scenario scene;
    std::string library;
    std::string database;
    int start_status = 0;  // user_exit_start
    bool started = false;  // a session was played
    sim::session_result session;
    std::vector<part_outcome> parts;
    std::vector<sim::pdm_request> requests;
    std::vector<sim::message_box> message_boxes;
    std::string listing;
    std::string standard_output;
    std::vector<file_change> files;
    std::vector<callback_outcome> host_callbacks;
    std::vector<journal_entry> journal;
    std::vector<std::string> misuse;
    std::filesystem::path temp_directory;  // where the server wrote its files
    bool temp_directory_kept = false;
};

// Throws scenario_error for a malformed scenario and run_error when the run
// cannot start.
run_outcome run_scenario(const run_options& options);

// Directory holding the "del" stand-in, put first on PATH for the session.
std::filesystem::path tools_directory();

}  // namespace clonesim
