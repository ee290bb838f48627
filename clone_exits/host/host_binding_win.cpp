// The host's operations in the Windows DLL. A DLL cannot leave them to the
// loader, and the host's module names are not ours to know, so the table of
// the host's operations is filled by name when the library starts: the
// executable first, then every other module of the process, first exporter
// wins. The memory operations all come
// from the module that exports HOST_allocate_memory, so that a block is
// always freed by the allocator that made it.
#include "host/host_table.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include <windows.h>
// EnumProcessModules as exported by kernel32 (K32EnumProcessModules), so
// that psapi.dll is not needed.
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <psapi.h>

namespace {

using kx::host_operation_table;

host_operation_table bound{};
bool binding_done = false;

constexpr std::array<const char*, 4> memory_operations = {"HOST_allocate_memory", "HOST_reallocate_memory",
                                                          "HOST_free", "HOST_free_string_array"};

bool is_memory_operation(const char* name)
{
    for (const char* memory : memory_operations) {
        if (std::strcmp(memory, name) == 0) return true;
    }
    return false;
}

// The executable's module first, then the others in the loader's order.
std::vector<HMODULE> process_modules()
{
    std::vector<HMODULE> modules{GetModuleHandleW(nullptr)};
    std::vector<HMODULE> listed(256);
    for (;;) {
        DWORD needed = 0;
        const DWORD size = static_cast<DWORD>(listed.size() * sizeof(HMODULE));
        if (!EnumProcessModules(GetCurrentProcess(), listed.data(), size, &needed)) break;
        if (needed <= size) {
            listed.resize(needed / sizeof(HMODULE));
            for (HMODULE m : listed) {
                if (m != modules.front()) modules.push_back(m);
            }
            break;
        }
        listed.resize(needed / sizeof(HMODULE) + 16);
    }
    return modules;
}

FARPROC find_export(const std::vector<HMODULE>& modules, const char* name, HMODULE* found_in)
{
    for (HMODULE m : modules) {
        if (const FARPROC address = GetProcAddress(m, name)) {
            if (found_in != nullptr) *found_in = m;
            return address;
        }
    }
    return nullptr;
}

void report_missing(const char* name) noexcept
{
    // Built in a fixed buffer: this also reports running out of memory.
    std::array<char, 160> line{};
    std::size_t used = 0;
    for (std::string_view piece : {std::string_view("kxpdm_clone_userexit_v30: host operation "),
                                   std::string_view(name), std::string_view(" not found\n")}) {
        const std::size_t room = line.size() - 1 - used;
        const std::size_t n = std::min(piece.size(), room);
        std::copy_n(piece.data(), n, line.data() + used);
        used += n;
    }
    line[used] = '\0';
    // A windowed host shows no standard error; the debugger sees the line too.
    OutputDebugStringA(line.data());
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(error, line.data(), static_cast<DWORD>(used), &written, nullptr);
    }
}

template <typename F>
void assign(F*& slot, FARPROC address)
{
    // GetProcAddress hands out one generic function type; the name fixes the real one.
    slot = reinterpret_cast<F*>(reinterpret_cast<void (*)()>(address));
}

int bind_all()
{
    const std::vector<HMODULE> modules = process_modules();
    HMODULE memory_module = nullptr;
    find_export(modules, "HOST_allocate_memory", &memory_module);
    const std::vector<HMODULE> memory_modules =
        memory_module != nullptr ? std::vector<HMODULE>{memory_module} : std::vector<HMODULE>{};

    // Filled aside and taken only whole, so a failed binding leaves no
    // half-bound table behind.
    host_operation_table table{};
    const char* missing = nullptr;
#define KX_BIND(ret, name, params, args, sizes)                                                             \
    if (missing == nullptr) {                                                                         \
        const FARPROC address = find_export(is_memory_operation(#name) ? memory_modules : modules, #name, \
                                            nullptr);                                                  \
        if (address == nullptr)                                                                       \
            missing = #name;                                                                          \
        else                                                                                          \
            assign(table.name, address);                                                              \
    }
    KX_HOST_OPERATIONS(KX_BIND)
#undef KX_BIND
    if (missing != nullptr) {
        report_missing(missing);
        return 1;
    }
    bound = table;
    binding_done = true;
    return 0;
}

}  // namespace

namespace kx {

// Until the binding is done the table is empty and nothing may call the host.
constinit const host_operation_table* host_table_in_use = &bound;

const host_operation_table& bound_host_operations() noexcept { return bound; }

}  // namespace kx

namespace kx::platform {

int bind_host_operations()
{
    if (binding_done) return 0;
    // Nothing may escape towards a caller that would report it through the
    // host's operations, which are not bound.
    try {
        return bind_all();
    } catch (...) {
        report_missing("(binding ran out of memory)");
        return 1;
    }
}

}  // namespace kx::platform
