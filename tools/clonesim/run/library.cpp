#include "run/library.h"

#include "run/run_error.h"

#include <dlfcn.h>

#include <filesystem>

namespace clonesim {

loaded_library load_library(const std::string& path)
{
    std::error_code ec;
    loaded_library library;
    library.path = std::filesystem::absolute(path, ec).string();
    void* handle = dlopen(library.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw run_error(std::string("cannot load ") + library.path + ": " + dlerror());
    // The library stays loaded to the end of the process, as in the host.
    library.start = reinterpret_cast<int (*)()>(dlsym(handle, "user_exit_start"));
    if (library.start == nullptr) throw run_error(library.path + " has no user_exit_start");
    return library;
}

}  // namespace clonesim
