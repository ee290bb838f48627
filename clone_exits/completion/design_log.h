// The design log of exported part files: a block of string attributes
// "DESLOG<n>" per export, the five attributes named by their lines, and the
// mark "KXPDM_EXPORTED", written from the export log mapping file.
#pragma once

#include "host/host_api.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

inline constexpr std::size_t design_log_label_limit = 49;
inline constexpr std::size_t design_log_text_limit = 99;
// Design-log numbers have at most four digits.
inline constexpr int design_log_last_number = 9999;
// Paths built for a section, in characters.
inline constexpr std::size_t export_path_limit = 387;

// Writes the design log of every part file the mapping file names. Returns 2
// when the mapping file name is empty; non-zero when the reader lost lines
// (every section read is still written); otherwise the first non-zero status
// of the sections, 0 when every line was written. The caller keeps the file
// exactly when the result is non-zero, so a failed close after a whole read
// does not count. An empty owner name counts as none.
int update_export_log(std::string_view owner_name, std::string_view mapping_file_name);

// The label a design-log line gets for `key` (the text before "=", with its
// indentation). A key matching no row of the table is labelled by itself
// without its leading blanks, at most design_log_label_limit characters.
std::string design_log_label(std::string_view key);

// Assigns a string attribute; an empty value is stored as a single space.
// Returns the host's status.
int assign_string_attribute(std::string_view title, std::string_view value, host_tag_t attribute_object);

// Replaces every "." by "_" in place; 0 when there was one, 1 when none.
int dots_to_underscores(std::string& text);

}  // namespace kx
