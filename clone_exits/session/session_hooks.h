// The hooks that frame every clone session: what the library installs and
// suspends at Init_Clone, and what it releases and gives back at the end.
#pragma once

#include "host/host_api.h"

namespace kx {

// The translation callbacks a session start installs: the entry points'
// own, handed down so that the session's rules need not know them.
struct translation_callbacks {
    host_clone_trans_cb import_part = nullptr;
    host_clone_trans_cb export_part = nullptr;
};

// Releases the session state and gives the host back its suspended callbacks.
int end_clone_session(int operation_class);

namespace work {

// Init_Clone and Exit_Clone.
int clone_session(int point, const char* part_name, void* data, const translation_callbacks& translators);
// The assembly load and each part load.
int load_naming(int point, const char* part_name, void* data);

}  // namespace work

}  // namespace kx
