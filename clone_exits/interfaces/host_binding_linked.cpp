// Where the loader resolves the host's operations (a shared library on
// POSIX systems, a program linking the library statically), there is
// nothing left to bind.
#include "interfaces/platform.h"

namespace kx::platform {

int bind_host_operations() { return 0; }

}  // namespace kx::platform
