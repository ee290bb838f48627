// The import attribute mapping file: a site's list of which clone attribute
// of a part carries its PDM item ID, revision, name and description. Each
// line "KEY = attribute title"; read once per library lifetime from the file
// named by KXPDM_IMPORT_ATTR_MAP_FILE and kept in state().import_map.
#pragma once

#include "host/host_memory.h"
#include "session/session_state.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t import_map_capacity = 10;
// Result of a load whose file cannot be opened.
inline constexpr int mapping_file_not_opened = 2;

// Reads the file at the first call only, whatever its outcome.
int load_import_attr_map();

// Without leading and trailing spaces; tabs stay.
std::string trim_blanks(std::string_view text);

// The entry that one line of the file makes (the line as read, without its
// line end), or none when the line is skipped: empty, blanks only, or no "=".
// The key and the title are the trimmed texts before and after the first "=".
std::optional<import_map_entry> parse_import_attr_map_line(std::string_view line);

// A new copy of the value of the attribute that the first entry for `key`
// names (an empty value gives an empty text); null when there is no such
// entry or attribute. Non-zero only for a failed allocation.
int lookup_mapped_attribute(std::string_view key, const host_attribute_list& attributes, host_text& value);

// Load, fetch the part's clone attributes, look up the two keys, release.
// Non-zero only for a failed allocation, after which both outputs are null.
int lookup_name_and_description(const char* part_spec, host_text& name, host_text& description);
int lookup_item_id_and_revision(const char* part_spec, host_text& item_id, host_text& revision);

// The mapping-file variable as it stands; read once for each part, so that
// its item ID and its name and description follow the same setting. It only
// switches the mapping on (set and not empty): a value the platform cannot
// hand over is kept as its stand-in and switches it on too, while the file is
// only ever opened from the variable's exact value.
using import_map_setting = std::optional<std::string>;
import_map_setting read_import_map_setting();

// The mapped name and description of a part; both null unless `setting`
// names a mapping file.
int map_name_and_description(const char* part_spec, const import_map_setting& setting, host_text& name,
                             host_text& description);

}  // namespace kx
