// The fault sweep with the library's C++ allocations failing too: this
// program replaces the global allocator so that the nth allocation made while
// library code runs throws std::bad_alloc (allocations of the simulated host
// and of clonesim itself are never failed: a real host is C and throws
// nothing), and lets the sweep play each scenario with n = 1, 2, ..., once
// transiently and once persistently.
//
//     cxx_allocation_sweep [--record DIR] LIBRARY SCENARIO...
//
// With --record every session is recorded into DIR, so the recorder's own
// allocations fail too.
#include "sim_host.h"
#include "sweep/sweep.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <iostream>
#include <new>

namespace {

long long counted = 0;
long long fail_from = 0;  // 0: none fails
bool fail_persistently = false;
long long failed = 0;

void* allocate(std::size_t size, std::size_t alignment)
{
    if (fail_from != 0 && sim::library_code_running()) {
        ++counted;
        if (counted == fail_from || (fail_persistently && counted > fail_from)) {
            ++failed;
            throw std::bad_alloc();
        }
    }
    if (size == 0) size = 1;
    void* block = alignment <= alignof(std::max_align_t)
                      ? std::malloc(size)
                      : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void* allocate_nothrow(std::size_t size, std::size_t alignment) noexcept
{
    try {
        return allocate(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size, 0); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return allocate_nothrow(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return allocate_nothrow(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

int main(int argc, char** argv)
{
    std::optional<std::filesystem::path> record;
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--record") {
        record = argv[2];
        first = 3;
    }
    if (argc < first + 2) {
        std::cerr << "usage: cxx_allocation_sweep [--record DIR] LIBRARY SCENARIO...\n";
        return 2;
    }
    int failures = 0;
    for (int i = first + 1; i < argc; ++i) {
        clonesim::sweep_options options;
        options.library = argv[first];
        options.scenario_file = argv[i];
        options.trace_directory = record;
        // The host-call and request sweeps run in tests of their own.
        options.host_and_request_faults = false;
        options.cxx_allocations = clonesim::sweep_options::allocation_failures{
            [](long long nth, bool persistent) {
                counted = 0;
                failed = 0;
                fail_from = nth;
                fail_persistently = persistent;
            },
            [] { return failed; }};
        try {
            const clonesim::sweep_result result = clonesim::run_sweep(options);
            std::cout << clonesim::sweep_text(result);
            if (result.allocation_points == 0) {
                std::cout << "no C++ allocation of the library was failed\n";
                ++failures;
            }
            failures += static_cast<int>(result.failures.size());
        } catch (const std::exception& e) {
            std::cerr << argv[i] << ": " << e.what() << "\n";
            return 2;
        }
    }
    return failures == 0 ? 0 : 1;
}
