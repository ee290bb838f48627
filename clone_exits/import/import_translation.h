// The auto-translation callback of clone and import sessions
// (translate_import_part, declared with the other callbacks) and the
// derivation of a database part name from a bare file name.
#pragma once

#include "host/host_api.h"

#include <string>
#include <string_view>

namespace kx {

namespace work {
// The translation of one part of a clone or import session.
int translate_import(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]);
}  // namespace work

// The database part name of a file name for which no part file exists:
// "NUMBER.REV.SEQ" names give "@DB/NUMBER/REV" forms, any other name
// "@DB/<name>/001".
std::string derived_part_name(std::string_view file_name);

}  // namespace kx
