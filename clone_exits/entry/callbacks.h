// The callbacks that the library hands to the host. The host is C and knows
// nothing of C++ exceptions: each callback is a noexcept trampoline
// (user_exit.cpp) that runs its work and turns anything thrown into the
// callback's failure result. The work is defined in the module that owns its
// rules, declared in that module's header, and may throw.
#pragma once

#include "host/host_api.h"

namespace kx {

// Session framing (Init_Clone and Exit_Clone) and export naming at load (the
// assembly load and each part load).
int clone_session_hook(int point, const char* part_name, void* data) noexcept;
int load_naming_hook(int point, const char* part_name, void* data) noexcept;

// Perform phase (Begin_Perform, after each part, End_Perform).
int handle_perform_notification(int point, const char* part_name, void* data) noexcept;

// Export admission (Begin_Apply_Defaults).
int check_export_admission(int point, const char* part_name, void* data) noexcept;

// Auto-translation callbacks.
int translate_export_part(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]) noexcept;
int translate_import_part(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE]) noexcept;

// The recorder as a library loaded afresh has it: a recording left open is
// ended without its end mark and the sessions are counted from 1 again;
// used by the tests.
void reset_recorder() noexcept;

}  // namespace kx

extern "C" int user_exit_start(void);
