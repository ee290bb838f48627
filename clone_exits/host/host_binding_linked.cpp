// Where the loader resolves the host's operations (a shared library on
// POSIX systems, a program linking the library statically), the table is
// their addresses, fixed before any code runs: nothing is looked up and
// nothing is filled at start-up.
#include "host/host_table.h"
#include "platform/platform.h"

namespace kx {

namespace {

#define KX_HOST_ADDRESS(ret, name, params, args, sizes) &::name,
constinit const host_operation_table linked_operations = {KX_HOST_OPERATIONS(KX_HOST_ADDRESS)};
#undef KX_HOST_ADDRESS

}  // namespace

constinit const host_operation_table* host_table_in_use = &linked_operations;

const host_operation_table& bound_host_operations() noexcept { return linked_operations; }

namespace platform {

int bind_host_operations() { return 0; }

}  // namespace platform

}  // namespace kx
