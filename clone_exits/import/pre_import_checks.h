// The site's programs that look at a part file before it is imported: the
// item ID check script, whose verdict decides whether the mapping file may
// give the part's item ID and revision, and the additional import program,
// which can refuse the part.
#pragma once

#include "import/import_attr_map.h"
#include "host/host_memory.h"


namespace kx {

// The mapped item ID and revision of a part (each null when there is none);
// non-zero only when a mapped value cannot be copied. Nothing is mapped
// unless `setting` names a mapping file.
int map_item_id_and_revision(const char* part_spec, const import_map_setting& setting, host_text& item_id,
                             host_text& revision);

// The additional import program's exit code (-1 when it could not run or
// was ended by a signal), or 0 when none is configured.
int run_additional_import_program(const char* part_spec);

}  // namespace kx
