// The one road from the library to the host: every host operation the
// library calls goes through the table in use, never to the host's symbol
// directly. The table is the host's operations as bound for this process
// (host_binding_linked.cpp: resolved by the loader; host_binding_win.cpp:
// bound by name at start-up); the session recorder may stand in front of it
// for a session, without a line of the rules knowing.
#pragma once

#include "host/host_operations.h"

namespace kx {

struct host_operation_table {
#define KX_HOST_SLOT(ret, name, params, args, sizes) ret(*name) params;
    KX_HOST_OPERATIONS(KX_HOST_SLOT)
#undef KX_HOST_SLOT
};

// The host's own operations, as bound for this process.
const host_operation_table& bound_host_operations() noexcept;

// The table every call goes through; defined with the binding, so that it
// is set before any code of the library runs.
extern const host_operation_table* host_table_in_use;

inline const host_operation_table& host_ops() noexcept { return *host_table_in_use; }

}  // namespace kx
