// The built shared library, seen as the host sees it: one exported entry
// point, every host operation left to the loading process.
#include "sim_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> dynamic_symbols(const std::string& flags)
{
    const std::string command = "nm -D " + flags + " --format=posix '" KX_LIBRARY_PATH "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    EXPECT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[1024];
    while (pipe && std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        const auto at = name.find('@');
        names.insert(at == std::string::npos ? name : name.substr(0, at));
    }
    return names;
}

TEST(library_exports, only_user_exit_start_is_defined)
{
    EXPECT_EQ(dynamic_symbols("--defined-only"), std::set<std::string>{"user_exit_start"});
}

TEST(library_exports, host_operations_stay_undefined)
{
    const auto undefined = dynamic_symbols("--undefined-only");
    for (const char* name : {"HOST_initialize", "HOST_CLONE_register_ntfy_callback", "HOST_allocate_memory",
                             "HOST_PDM_invoke_pdm_server", "HOST_UI_display_nonmodal_msg"})
        EXPECT_EQ(undefined.count(name), 1u) << name;
}

TEST(library_exports, loads_resolves_host_operations_from_the_process_and_registers)
{
    sim::reset();
    void* handle = dlopen(KX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    EXPECT_EQ(dlsym(handle, "HOST_free"), nullptr);  // not in the library itself
    auto start = reinterpret_cast<int (*)()>(dlsym(handle, "user_exit_start"));
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start(), 0);
    EXPECT_EQ(sim::host().callbacks.size(), 8u);
    sim::reset();
    // The library stays loaded, as in the host, whose process exit unloads it.
}

}  // namespace
