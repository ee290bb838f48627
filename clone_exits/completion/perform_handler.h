// The perform phase of a clone session: new items announced at its start,
// names and descriptions synchronised after each part, imported parts saved,
// back-filled and published at its end, exported parts logged.
// handle_perform_notification itself is declared in session/callbacks.h.
#pragma once

#include "interfaces/host_memory.h"

#include <string_view>

namespace kx {

// The input of request 28: item ID, revision, item type and context, each
// followed by "/", of every recorded part whose item is not in the database
// and that has a context. `text` is left empty when there is none, and not
// held when it could not be allocated. Returns the status of the last tag
// query.
int build_context_request_text(host_text_builder& text);

// False only when the database holds the item with exactly this name and
// description; every failure on the way counts as a difference.
bool name_description_differs(std::string_view item_id, std::string_view name, std::string_view description);

// The owner name of a scenario or simulation part (request 35); for every
// other part `owner_name` stays absent. Returns the status of the split.
int ask_owner_name(std::string_view part_name, host_text& owner_name);

}  // namespace kx
