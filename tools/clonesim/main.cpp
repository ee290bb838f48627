// clonesim: loads the built user-exit library the way the host does and shows
// what it registered.
#include "sim_host.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    std::string library = KX_DEFAULT_LIBRARY;
    if (argc > 2 && std::string(argv[1]) == "--library") library = argv[2];
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "clonesim: cannot load %s: %s\n", library.c_str(), dlerror());
        return 2;
    }
    auto start = reinterpret_cast<int (*)()>(dlsym(handle, "user_exit_start"));
    if (start == nullptr) {
        std::fprintf(stderr, "clonesim: %s has no user_exit_start\n", library.c_str());
        return 2;
    }
    const int status = start();
    std::printf("user_exit_start returned %d\n", status);
    for (const auto& cb : sim::host().callbacks)
        std::printf("  point %2d  %-22s %s\n", cb.point, cb.name.c_str(), cb.description.c_str());
    return status == 0 ? 0 : 1;
}
