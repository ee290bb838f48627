// The fault sweep with the library's C++ allocations failing too: this
// program replaces the global allocator so that the nth allocation made while
// library code runs throws std::bad_alloc (allocations of the simulated host
// and of clonesim itself are never failed: a real host is C and throws
// nothing), and lets the sweep play each scenario with n = 1, 2, ..., once
// transiently and once persistently.
//
//     cxx_allocation_sweep [--first-session] [--record DIR] LIBRARY SCENARIO...
//
// With --record every session is recorded into DIR, so the recorder's own
// allocations fail too. With --first-session each n runs in a process of its
// own that loads the library afresh, so the allocations that only the first
// session of a process makes (the library's state, the recorder) fail too.
#include "host/host_codes.h"
#include "session/messages.h"
#include "sim_host.h"
#include "sweep/sweep.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <iostream>
#include <new>
#include <sstream>
#include <vector>

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

namespace first_session {

// What a session did that the user or the server would see; the exception
// list's request aside, since a session that could not keep the list asks
// for it again in the next.
std::string fingerprint(const clonesim::run_outcome& run)
{
    std::ostringstream out;
    for (const clonesim::part_outcome& part : run.parts)
        out << "part " << part.name << " " << part.status << " " << part.new_name.value_or("-") << "\n";
    for (const sim::pdm_request& request : run.requests)
        if (request.code != kx::request_get_exceptions)
            out << "request " << request.code << " " << request.input.value_or("-") << " " << request.status << "\n";
    for (const sim::message_box& box : run.message_boxes) out << "box " << box.message << "\n";
    out << "listing " << run.listing << "\n";
    return out.str();
}

struct child_report {
    bool fired = false;
    std::string first, second;  // the sessions' fingerprints
    std::string problems;       // broken invariants, one line each
};

// In a process of its own: loads the library afresh, plays the first
// session with the nth C++ allocation failing (none when nth is 0), then a
// clean second session in the same process.
child_report play_in_child(const std::string& library, const clonesim::scenario& scene,
                           const std::optional<std::filesystem::path>& record, long long nth, bool persistent)
{
    child_report report;
    const clonesim::loaded_library loaded = clonesim::load_library(library);
    clonesim::session_setup setup;
    setup.trace_directory = record;
    counted = 0;
    failed = 0;
    fail_from = nth;
    fail_persistently = persistent;
    clonesim::run_outcome first;
    try {
        first = clonesim::run_session(scene, loaded, setup);
    } catch (const std::exception& e) {
        fail_from = 0;
        report.problems += std::string("the first session could not be played: ") + e.what() + "\n";
        return report;
    }
    fail_from = 0;
    report.fired = failed > 0;
    report.first = fingerprint(first);
    for (const std::string& misuse : sim::host().misuse) report.problems += "host misuse: " + misuse + "\n";
    const bool told = std::any_of(first.message_boxes.begin(), first.message_boxes.end(),
                                  [](const sim::message_box& box) { return box.message == kx::msg::internal_error; });
    if (report.fired && told) report.first = "told";

    sim::reset_model();
    setup.started_library = &first.library_callbacks;
    const clonesim::run_outcome second = clonesim::run_session(scene, loaded, setup);
    report.second = fingerprint(second);
    for (const std::string& misuse : sim::host().misuse) report.problems += "host misuse: " + misuse + "\n";
    return report;
}

// Runs `play_in_child` in a child process and reads its report back; a child
// that dies is a host that went down.
child_report in_new_process(const std::string& library, const clonesim::scenario& scene,
                            const std::optional<std::filesystem::path>& record, long long nth, bool persistent)
{
    int channel[2];
    if (pipe(channel) != 0) throw std::runtime_error("no pipe");
    std::cout.flush();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("no process");
    if (child == 0) {
        close(channel[0]);
        std::string text;
        try {
            const child_report r = play_in_child(library, scene, record, nth, persistent);
            text = std::string(r.fired ? "1" : "0") + '\0' + r.first + '\0' + r.second + '\0' + r.problems;
        } catch (const std::exception& e) {
            text = std::string("0") + '\0' + '\0' + '\0' + "the run could not start: " + e.what() + "\n";
        }
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t n = write(channel[1], text.data() + at, text.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    child_report report;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        report.fired = true;
        report.problems = "the host went down (status " + std::to_string(status) + ")\n";
        return report;
    }
    std::vector<std::string> parts;
    for (std::size_t at = 0; parts.size() < 3;) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string::npos) break;
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
        if (parts.size() == 3) parts.push_back(text.substr(at));
    }
    if (parts.size() != 4) {
        report.problems = "the child's report could not be read\n";
        return report;
    }
    report.fired = parts[0] == "1";
    report.first = parts[1];
    report.second = parts[2];
    report.problems = parts[3];
    return report;
}

// n = 1, 2, ... in a new process each, transient and persistent, until a
// first session fires no fault. Every faulted session tells the user, or
// goes as the clean one did (a failure the recorder takes on itself); the
// second session goes as the clean second one did. Returns the failures.
int sweep(const std::string& library, const std::filesystem::path& scenario_file,
          const std::optional<std::filesystem::path>& record)
{
    const clonesim::scenario scene = clonesim::load_scenario(scenario_file);
    const child_report clean = in_new_process(library, scene, record, 0, false);
    int failures = 0;
    if (!clean.problems.empty()) {
        std::cout << scenario_file.filename().string() << ": the clean first session: " << clean.problems;
        return 1;
    }
    long long points = 0;
    for (const bool persistent : {false, true}) {
        for (long long nth = 1;; ++nth) {
            const child_report run = in_new_process(library, scene, record, nth, persistent);
            const std::string label = scenario_file.filename().string() + ": first session, C++ allocation #" +
                                      std::to_string(nth) + (persistent ? " persistent" : " transient");
            std::string problems = run.problems;
            if (run.problems.empty() && run.fired && run.first != "told" && run.first != clean.first)
                problems += "no error box told the user that a step was stopped\n";
            if (run.problems.empty() && run.second != clean.second)
                problems += "the next session went otherwise than after a clean one:\n" + run.second +
                            "  where after a clean one:\n" + clean.second;
            if (!problems.empty()) {
                std::cout << label << ": " << problems;
                ++failures;
            }
            if (!run.fired) break;
            ++points;
        }
    }
    std::cout << scenario_file.filename().string() << ": first session swept, " << points
              << " C++ allocations failed, each in a process of its own, " << failures << " failures\n";
    if (points == 0) ++failures;
    return failures;
}

}  // namespace first_session

int main(int argc, char** argv)
{
    std::optional<std::filesystem::path> record;
    int first = 1;
    bool first_session = false;
    if (argc > first && std::string(argv[first]) == "--first-session") {
        first_session = true;
        ++first;
    }
    if (argc > first + 1 && std::string(argv[first]) == "--record") {
        record = argv[first + 1];
        first += 2;
    }
    if (argc < first + 2) {
        std::cerr << "usage: cxx_allocation_sweep [--first-session] [--record DIR] LIBRARY SCENARIO...\n";
        return 2;
    }
    if (first_session) {
        int failures = 0;
        for (int i = first + 1; i < argc; ++i) {
            try {
                failures += first_session::sweep(argv[first], argv[i], record);
            } catch (const std::exception& e) {
                std::cerr << argv[i] << ": " << e.what() << "\n";
                return 2;
            }
        }
        return failures == 0 ? 0 : 1;
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
