// What the import rules take from a part's clone attributes: the eight import
// attributes, the relation under which the part hangs below its item revision,
// and the related part name built from the number, revision and context.
// Each reader asks the host for the attribute list afresh and releases it
// before returning; the readers show nothing and return the host's status.
#pragma once

#include "host/host_memory.h"
#include "session/session_state.h"

#include <string>
#include <string_view>

namespace kx {

// The eight import attributes of one part; each absent or non-empty.
struct import_attributes {
    host_text part_no;    // DB_PART_NO
    host_text part_rev;   // DB_PART_REV
    host_text part_type;  // DB_PART_TYPE
    host_text part_name;  // DB_PART_NAME
    host_text part_desc;  // DB_PART_DESC
    host_text tool_id;    // TOOL_ID
    host_text tool_level; // TOOL_LEVEL
    host_text context;    // CONTEXT
};

// Releases the record and leaves it absent; returns 0.
int free_import_attributes(host_object<import_attributes>& attributes);

// Hands the caller a new record at once (all fields absent), then fills it.
// Titles are compared exactly; an empty value counts as absent and a later
// attribute of the same title replaces an earlier one.
int read_import_attributes(const char* part_spec, host_object<import_attributes>& attributes);

// The first RELATION attribute decides; without a non-empty one, the first
// F_CLASS attribute of "DWGFMT" or "LYTFMT" gives "manifestation".
int read_part_relation(const char* part_spec, host_text& relation);

// number "." revision "." context, or number "." context for "altrep"; no
// name unless DB_PART_NO, DB_PART_REV, CONTEXT and RELATION are all there.
int build_related_part_name(const char* part_spec, host_text& related_name);

// The two-letter code of a scenario or simulation context followed by the
// context's last two characters, or empty when the context (without its last
// three characters) is not in the code table.
std::string context_code(std::string_view context);

}  // namespace kx
