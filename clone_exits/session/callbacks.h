// The callbacks that the library hands to the host. Each is defined in the
// module that owns its rules and has the host's C signature.
#pragma once

#include "interfaces/host_api.h"

namespace kx {

// Session framing (Init_Clone and Exit_Clone) and export naming at load (the
// assembly load and each part load).
int clone_session_hook(int point, const char* part_name, void* data);
int load_naming_hook(int point, const char* part_name, void* data);
// Releases the session state and gives the host back its suspended callbacks.
int end_clone_session(int operation_class);

// Perform phase (Begin_Perform, after each part, End_Perform).
int handle_perform_notification(int point, const char* part_name, void* data);

// Export admission (Begin_Apply_Defaults).
int check_export_admission(int point, const char* part_name, void* data);

// Auto-translation callbacks.
int translate_export_part(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]);
int translate_import_part(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]);

}  // namespace kx

extern "C" int user_exit_start(void);
