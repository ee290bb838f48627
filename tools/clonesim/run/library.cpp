#include "run/library.h"

#include "platform/os.h"
#include "run/run_error.h"

#include <filesystem>

namespace clonesim {

loaded_library load_library(const std::string& path)
{
    std::error_code ec;
    loaded_library library;
    library.path = std::filesystem::absolute(path, ec).string();
    void* handle = nullptr;
    try {
        handle = os::load_library(library.path);
    } catch (const os::failure& e) {
        throw run_error(e.what());
    }
    // The library stays loaded to the end of the process, as in the host.
    library.start = reinterpret_cast<int (*)()>(os::find_symbol(handle, "user_exit_start"));
    if (library.start == nullptr) throw run_error(library.path + " has no user_exit_start");
    return library;
}

}  // namespace clonesim
