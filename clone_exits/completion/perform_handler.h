// The perform phase of a clone session: new items announced at its start,
// names and descriptions synchronised after each part, imported parts saved,
// back-filled and published at its end, exported parts logged.
#pragma once

#include "host/host_memory.h"

#include <string_view>

namespace kx {

namespace work {
// Begin_Perform, after each part, End_Perform.
int perform_notification(int point, const char* part_name, void* data);
}  // namespace work

// The input of prepare_new_items: item ID, revision, item type and context, each
// followed by "/", of every recorded part whose item is not in the database
// and that has a context. `text` is left empty when there is none, and not
// held when it could not be allocated. Returns the status of the last tag
// query.
int build_context_request_text(host_text_builder& text);

// The owner name of a scenario or simulation part (get_owner_name); for every
// other part `owner_name` stays absent. Returns the status of the split.
int ask_owner_name(std::string_view part_name, host_text& owner_name);

}  // namespace kx
