#include "run/library.h"

#include "platform/os.h"
#include "run/run_error.h"

#include <filesystem>

namespace clonesim {

loaded_library load_library(const std::string& path)
{
    std::error_code ec;
    loaded_library library;
    const std::filesystem::path absolute = std::filesystem::absolute(os::path_of(path), ec);
    library.path = os::text_of(absolute);
    void* handle = nullptr;
    try {
        handle = os::load_library(absolute);
    } catch (const os::failure& e) {
        throw run_error(e.what());
    }
    // The library stays loaded to the end of the process, as in the host.
    library.start = reinterpret_cast<int (*)()>(os::find_symbol(handle, "user_exit_start"));
    if (library.start == nullptr) throw run_error(library.path + " has no user_exit_start");
    return library;
}

}  // namespace clonesim
