// The simulated host: every operation of host/host_api.h implemented
// over the in-memory model below, with a log of the calls received, an account
// of outstanding host allocations and fault injection. Tests and clonesim set
// the model's fields directly, play a session (session_driver.h) and read the
// model back.
#pragma once

#include "host/host_api.h"
#include "host/host_codes.h"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// A clone attribute of a part, in the host's order.
using attribute = std::pair<std::string, std::string>;

// What the host knows of one part of the clone session.
struct clone_part {
    std::string name;              // the host's part name
    bool file_exists = true;       // HOST_FILE_exists(name, 0)
    int state = 0;                 // HOST_CLONE_ask_part_state
    int action = kx::action_use_default;     // HOST_CLONE_ask_action
    int naming = kx::naming_use_default;     // HOST_CLONE_ask_naming: technique
    std::optional<std::string> output_name;  // HOST_CLONE_ask_naming: output name (null when absent)
    std::optional<std::string> item_type;    // absent: the query hands out no text
    std::optional<std::string> pdm_name;
    std::optional<std::string> pdm_desc;
    std::vector<attribute> attributes;       // HOST_CLONE_ask_attribute_values
    // Filled by the session driver: the translation callback's result.
    std::optional<std::string> new_name;
    int translate_status = -1;
};

// A callback in the host's notification registry.
struct registered_callback {
    int point = 0;
    host_clone_notify_cb callback = nullptr;
    std::string name;
    std::string description;
};

// An item of the host's PDM-manager view of the database.
struct pdm_item {
    std::string item_id;
    std::string item_type;
    std::string name;
    std::string description;
};

// A part file that can be opened, saved and closed.
struct part_file {
    std::vector<attribute> attributes;  // string attributes, in creation order
    bool family_instance = false;
    bool open = false;
    int saves = 0;
    int closes = 0;
    // Options and setting in force at each save, for checking.
    std::vector<int> save_trueshape_at_save;
    std::vector<int> assem_member8_at_open;
};

// One recorded PDM request.
struct pdm_request {
    int code = 0;
    std::optional<std::string> input;  // null input stays null
    int status = 0;
    std::optional<std::string> reply;
};

// What the server handler answers.
struct pdm_response {
    int status = 0;
    std::optional<std::string> reply;  // null: no reply text
};

// The site's request handlers behind the host's request channel.
using request_handler = std::function<pdm_response(int code, const char* input)>;

// One message box shown.
struct message_box {
    std::string title;
    std::string message;
    int position = 0;
};

// Whether `name` is one of the host's operations (host/host_api.h).
bool is_host_operation(std::string_view name);

// A host fault: makes a host operation fail with `status`, only its `nth`
// call (1-based) when not persistent, or every call from the `nth` on. Only
// a host operation can be named: any other name is refused where the fault
// is made (std::invalid_argument), since such a fault would never fire.
// The operation's name is read only, so that no fault is pointed at a
// name after it was checked.
struct fault {
    fault(std::string operation, int nth = 1, bool persistent = false, int status = 1);

    const std::string& operation() const { return operation_; }  // e.g. "HOST_PART_save"
    int nth = 1;
    bool persistent = false;
    int status = 1;

private:
    std::string operation_;
};

// The host's status for HOST_PART_open of a name it holds no part file for.
inline constexpr int part_not_found = 641;

// A clone session as the host sets it up before Init_Clone: the operation
// class, the dry-run flag and the clone dialog's defaults. Unless a test or
// a scenario says otherwise a session is an import that gives new names
// (action 3) with naming technique 1.
struct session_settings {
    int operation_class = kx::class_import;
    bool dry_run = false;
    int def_action = kx::action_new_name;
    int def_naming = kx::naming_export;
    std::optional<std::string> def_item_type;
    std::optional<std::string> def_pdm_name;
    std::optional<std::string> def_pdm_desc;
    std::optional<std::string> def_directory;  // the export directory of an export
};

struct host_model : session_settings {
    std::vector<clone_part> parts;  // in the host's iteration order

    // notifications and translation
    std::vector<registered_callback> callbacks;  // in registration order
    host_clone_trans_cb translator = nullptr;
    bool initialized = false;

    // clone-part iteration: true between HOST_CLONE_start_iteration and
    // HOST_CLONE_stop_iteration, so a test can check it was always stopped
    bool iterating = false;
    std::size_t iteration_cursor = 0;
    int iteration_stops = 0;

    // PDM manager view: tag of an item is its index + 1
    std::vector<pdm_item> items;
    int next_item_number = 1;          // HOST_PDM_assign_part_number gives "%06d"
    std::string initial_revision = "A";  // HOST_PDM_assign_part_rev

    // parts, attributes and options
    std::map<std::string, part_file> part_files;  // by the name HOST_PART_open is given
    std::vector<std::string> open_order;           // every HOST_PART_open name, in order
    std::string work_part;                         // name of the work part, "" when none
    std::map<host_tag_t, std::string> part_tags;   // tag of each part file handed out (part_tag())
    host_assem_options_t assem_options{};
    bool save_trueshape = false;
    int undo_mark_deletions = 0;
    int default_open_failure = part_not_found;  // status of HOST_PART_open for an unknown part

    // messages
    std::vector<message_box> message_boxes;
    // Told of each box as it is shown, so that a test can look at the
    // library's state at that moment.
    std::function<void(const message_box&)> on_message_box;
    std::string listing;
    bool listing_open = false;

    // PDM server
    request_handler server;  // empty: every request answers status 0 with no reply
    std::vector<pdm_request> requests;

    // file-name queries: when set, HOST_FILE_ask_name returns this for every part
    std::optional<std::string> file_name_override;

    // Fixed-size outputs (names, descriptions, numbers, decoded fields, fail
    // messages, file names, lines) filled to their whole size, the text and
    // then blanks, with no terminator: nothing in the host interface
    // promises one.
    bool unterminated_outputs = false;

    // accounting
    // Off for long benchmark sessions: `calls`, `open_order` and the per-open
    // and per-save records of part files stay empty; counts, faults and
    // PDM requests are still kept.
    bool log_calls = true;
    std::vector<std::string> calls;            // "HOST_x(args)" for every call received
    std::map<std::string, int> call_counts;    // by operation name
    std::vector<fault> faults;
    std::vector<std::string> faults_fired;     // "HOST_x #n" for each call an injected fault made fail
    std::vector<std::string> misuse;           // frees of unknown memory, double frees, ...
};

// The single model the HOST_* operations work on.
host_model& host();

// Clears the model and frees every outstanding allocation (counted as leaks
// before the reset: read outstanding_allocations() first).
void reset();

// Puts the model, its counters and the call log back to their defaults and
// clears the faults, but keeps every outstanding allocation live and tracked:
// a library that stays loaded across sessions still holds what it keeps for
// its life, and can give it back later. Open text channels are closed.
void reset_model();

// Lookups by part name and item ID go through indexes of their own, rebuilt
// when `parts` or `items` changes size or storage and at the start of every
// session, so a part or item renamed in place is seen from the next session.

// Number of host allocations not yet given back.
std::size_t outstanding_allocations();

// Whether the library's own code is running now: the host has called into the
// library (a callback, a translation, or start-up as marked by a
// library_call_scope) and the library is not inside one of the host's
// operations. A test counts C++ allocations by it, since the real host is C
// and throws nothing.
bool library_code_running() noexcept;

// Marks a call from the host into the library.
class library_call_scope {
public:
    library_call_scope() noexcept;
    ~library_call_scope();
    library_call_scope(const library_call_scope&) = delete;
    library_call_scope& operator=(const library_call_scope&) = delete;
};

// Marks host code running inside a call into the library: one of the host's
// operations, or a host-side observer that wraps a library callback.
class host_code_scope {
public:
    host_code_scope() noexcept;
    ~host_code_scope();
    host_code_scope(const host_code_scope&) = delete;
    host_code_scope& operator=(const host_code_scope&) = delete;
};

// Total number of calls of `operation` so far.
int calls_of(const std::string& operation);

// The host's failure text for a status: "host status <n>".
std::string fail_message(int status);

// Finds a part of the session by name; null when none.
clone_part* find_part(const std::string& name);

// Adds an item to the PDM-manager view and returns its tag.
host_tag_t add_item(pdm_item item);

// Finds a string attribute of a part file; null when none.
const std::string* part_attribute(const part_file& file, const std::string& title);

// The stable tag of a part file by its name; one is assigned on first use.
// Part-file tags are far from item tags, so the two are never confused.
host_tag_t part_tag(const std::string& name);

// Text files opened with HOST_TEXT_open and not yet closed.
std::size_t open_text_channels();

}  // namespace sim
