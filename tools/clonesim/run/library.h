// Loading the user-exit library the way the host loads it.
#pragma once

#include <string>

namespace clonesim {

// The library, loaded and kept loaded to the end of the process, as in the
// host.
struct loaded_library {
    std::string path;  // absolute
    int (*start)() = nullptr;
};

// Throws run_error.
loaded_library load_library(const std::string& path);

}  // namespace clonesim
