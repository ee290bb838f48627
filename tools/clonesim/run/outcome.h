// What one session came to, as clonesim collected it for the reports: the
// parts, the PDM requests, the texts shown, the files and database changes,
// the site programs run, the host's callbacks and the findings. The run
// makes it; every report and check reads it.
#pragma once

#include "run/run_error.h"
#include "scenario/scenario.h"
#include "server/item_store.h"
#include "session_driver.h"
#include "sim_host.h"

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace clonesim {

// The host operations whose calls are the texts shown: error boxes and
// listing-window texts.
inline constexpr const char* box_operation = "HOST_UI_display_nonmodal_msg";
inline constexpr const char* listing_operation = "HOST_UI_write_listing_window";

struct part_outcome {
    std::string name;              // the host's part name
    bool translated = false;       // the translation callback was called
    int status = -1;               // its result
    std::optional<std::string> new_name;
    std::vector<std::string> messages;  // error boxes shown while it was translated
    // Import and clone: what the part becomes in the database.
    std::string item_id, rev_id, relation, related_name;
    std::optional<std::string> item_type, pdm_name, pdm_desc;
    // What the database holds for its item after the session, and whether
    // the item was there before it.
    std::optional<std::string> stored_name, stored_desc;
    bool item_existed = false;
};

// What clonesim saw of one PDM request besides what the host recorded: the
// server's own verdict (a status number alone says little: the exception
// list comes with a non-zero status and the status of a revision check
// means nothing), the part the host was working on, and how much had been
// shown by then, so that what the library did next can be told.
struct request_note {
    bool refused = false;
    bool malformed = false;  // the server could not parse the input
    std::string part_name;   // "" when the host worked on no part
    std::size_t boxes_before = 0;
    std::size_t listing_before = 0;
};

// A site program the library ran, seen through clonesim's logging wrapper.
struct program_run {
    std::string program;  // "additional import program" or "item ID check"
    std::vector<std::string> arguments;
    int exit_status = 0;
    std::string error_output;  // what it wrote to its error output
    bool answered = false;     // clonesim answered as recorded; the program itself did not run here
};

// A field of an item that was in the database before the session and is
// different after it.
struct item_change {
    std::string item_id, rev_id, field, was, becomes;
    bool released = false;  // a revision of the item carries a release status
    // Why it counts as released, as its finding says it.
    std::string released_because = "the item has a released revision";
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
    std::vector<std::string> calls;  // "point N (part name)" for each call received
    bool registered_at_end = false;
};

// The state of the session at the end of one of its steps: how often each
// host operation and how many PDM requests had been made by then. A sweep
// tells from these in which step the nth call of an operation happens.
struct step_mark {
    int point = 0;          // notification point; translation_step for a part's translation
    std::string part_name;  // "" when the step names no part
    std::map<std::string, int> call_counts;
    std::size_t requests = 0;
};
inline constexpr int translation_step = -1;

// What clonesim found wrong or worth a look in one session, from what it
// observed (run/findings.h).
enum class severity { error, warning, note };

// One finding: a stable kind for programs ("save_failed", "request_refused",
// ...), the part it concerns ("" for the session) and one line of text.
struct finding {
    severity level = severity::note;
    std::string kind;
    std::string part_name;
    std::string text;
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
    std::vector<request_note> request_notes;  // one for each request
    std::vector<sim::message_box> message_boxes;
    std::vector<std::string> box_parts;  // the part each box was shown for, "" for none
    std::vector<std::string> listing_texts;  // each text written to the listing window
    std::vector<std::string> listing_parts;
    std::string listing;
    std::string standard_output;
    std::vector<file_change> files;
    std::vector<callback_outcome> host_callbacks;
    std::vector<journal_entry> journal;
    std::vector<item_change> item_changes;
    std::vector<program_run> program_runs;
    std::vector<std::string> misuse;
    // The host's item numbers: the first it would hand out, and the next
    // after the session; those between were handed out.
    int first_item_number = 1;
    int next_item_number = 1;
    std::vector<finding> findings;  // what was found, in the order it happened
    std::filesystem::path temp_directory;  // where the server wrote its files
    std::filesystem::path work_directory;  // clonesim's own: the site programs' wrappers and log
    bool temp_directory_kept = false;
    // What user_exit_start registered (the session of a freshly started
    // library only), for later sessions of the same process.
    std::vector<sim::registered_callback> library_callbacks;
    std::vector<step_mark> steps;  // only when asked for
    // The names the run put in place of the scenario's (files written into
    // its own folder, stand-ins for the site programs): scenario's, run's.
    std::vector<std::pair<std::string, std::string>> stand_ins;
    std::optional<std::filesystem::path> trace_file;  // the trace the library wrote
    // The texts are UTF-8 (run/host_texts.h), no longer the host's.
    bool texts_in_utf8 = false;
};

}  // namespace clonesim
