// All process-wide state of the library, in one place. The host calls the
// library on one thread, one callback at a time, and runs one clone session at
// a time, so nothing here is locked.
#pragma once

#include "host/host_api.h"
#include "host/host_memory.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// One part translated in a clone or import session. Texts are null when the
// value was absent or empty.
struct file_entry {
    host_text part_spec;
    host_text item_id;
    host_text rev_id;
    host_text item_type;
    host_text tool_id;
    host_text tool_level;
    host_text context;       // only for a part without relation
    host_text related_name;  // only for a part with relation
    bool in_database = false;
    bool revision_present = false;
    bool has_relation = false;
};

// The clone dialog's defaults, read once per session.
struct dialog_defaults {
    host_text pdm_name;
    host_text pdm_desc;
    host_text item_type;
};

struct import_map_entry {
    std::string key;
    std::string title;
};

// The import attribute mapping file, read at most once per library lifetime.
struct import_attr_map {
    bool loaded = false;
    std::vector<import_map_entry> entries;
};

// Positions of file_struct entries by part_spec: the first entry
// of each. An open-addressing table of hashes and positions in one block, so
// that adding, finding and clearing cost the same in a session of a hundred
// thousand parts as in one of ten; the keys are the entries' own texts.
class part_spec_index {
public:
    void add(std::string_view part_spec, std::size_t position, const host_vector<file_entry>& entries);
    // The position of the first entry of `part_spec`; nullopt when none.
    std::optional<std::size_t> find(std::string_view part_spec, const host_vector<file_entry>& entries) const;
    void clear() noexcept;
    bool empty() const noexcept { return count_ == 0; }

private:
    struct slot {
        std::size_t hash = 0;
        std::size_t position = 0;  // of the entry + 1; 0: a free slot
    };
    std::size_t probe(std::string_view part_spec, std::size_t hash, const host_vector<file_entry>& entries) const;

    std::vector<slot> slots_;  // a power of two long, at most half full
    std::size_t count_ = 0;
};

struct library_state {
    // --- one clone session ---
    host_vector<file_entry> file_struct;  // its size is the file_struct count
    // The first entry of each part_spec, so that the perform phase
    // finds a notified part without a scan of the whole table; cleared
    // whenever the table is released.
    part_spec_index file_struct_index;
    host_object<dialog_defaults> dialog_struct;
    host_text_builder import_item_list;  // held only in import sessions
    bool end_assy_load_suspended = false;
    bool begin_part_load_suspended = false;
    host_clone_notify_cb saved_end_assy_load = nullptr;
    host_clone_notify_cb saved_begin_part_load = nullptr;

    // --- the life of the loaded library ---
    host_string_array exception_list;  // not held until the server hands one out
    import_attr_map import_map;
    bool family_instance_check = false;
};

// The one instance: constant-initialised, so that reaching it allocates
// nothing (a process whose first allocation fails still gets its callbacks
// answered), and never destroyed, so that no host memory is given back
// after the host has gone away at process exit.
library_state& state() noexcept;

// Back to the state of a freshly loaded library; used by the tests.
void reset_library_state();

// Release operations. Each returns 0, clears what it released and may be
// called again harmlessly.
int free_dialog_struct();
int free_file_struct();

// Counts a complete entry in file_struct (room made beforehand with
// reserve_one_more) and indexes it under its part_spec.
void append_file_entry(file_entry&& entry);

}  // namespace kx
