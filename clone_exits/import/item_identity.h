// What an imported part becomes in the PDM database: its item ID, revision ID
// and item type, its PDM name and description, and the record of it that the
// perform phase works from. Each value is taken from the first source that
// has one, in a fixed order of precedence; none of these operations shows a
// message, each returns the first non-zero status.
#pragma once

#include "host/host_codes.h"
#include "host/host_memory.h"
#include "import/attribute_readers.h"
#include "session/session_state.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// The part's own clone settings, as the host holds them.
struct part_clone_settings {
    host_text item_type;
    host_text pdm_name;
    host_text pdm_desc;
};

struct item_identity {
    std::string item_id;
    std::string rev_id;
    std::string item_type;
};

// Item IDs and revision IDs fill the host's 33-byte fields.
inline constexpr std::size_t item_id_limit = HOST_PDM_ID_BUFSIZE - 1;


// Fills dialog_struct with the clone dialog's defaults. On failure nothing
// half-read is kept, so the next part asks the host again.
int read_clone_defaults();

// Hands the caller a new record at once, then asks the host for the part's
// item type, PDM name and PDM description, in that order.
int read_part_clone_settings(const char* part_spec, host_object<part_clone_settings>& settings);

// Empty mapped values count as absent.
int assign_item_identity(const import_attributes& attributes, const dialog_defaults& dialog,
                         const part_clone_settings& settings, std::string_view mapped_item_id,
                         std::string_view mapped_rev, item_identity& identity);

// Give the host the first non-empty of: the mapped value, the attribute,
// the part's own setting, the dialog's default, the item ID.
int set_part_pdm_name(const char* part_spec, const import_attributes& attributes, const dialog_defaults& dialog,
                      const part_clone_settings& settings, std::string_view mapped_name, std::string_view item_id);
int set_part_pdm_description(const char* part_spec, const import_attributes& attributes,
                             const dialog_defaults& dialog, const part_clone_settings& settings,
                             std::string_view mapped_description, std::string_view item_id);

// One part as it is recorded; empty values are recorded as absent.
struct recorded_part {
    const char* part_spec = nullptr;
    std::string_view item_id;
    std::string_view rev_id;
    std::string_view item_type;
    std::string_view tool_id;
    std::string_view tool_level;
    std::string_view context;
    std::string_view relation;
    std::string_view related_name;
};

// Appends one file_struct entry, counted only when complete, and, in an
// import session, the item ID to the import item list.
int record_imported_part(const recorded_part& part);

}  // namespace kx
