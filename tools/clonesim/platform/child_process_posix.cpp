#include "platform/child_process.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <string_view>

extern char** environ;

namespace clonesim::platform {

namespace {

// The children started and not yet waited for. waitpid(-1) could reap a
// process some other part of clonesim started; only these are reported.
std::set<pid_t>& running()
{
    static std::set<pid_t> pids;
    return pids;
}

volatile std::sig_atomic_t stop_request = 0;

extern "C" void note_stop_request(int signal) { stop_request = signal; }

void throw_if_stopped()
{
    if (stop_request != 0) throw interrupted(stop_request);
}

std::string reason(int error) { return std::strerror(error); }

// The signals this process catches or ignores go back to their default in
// a child: an ignored SIGPIPE would otherwise pass through exec.
class spawn_attributes {
public:
    spawn_attributes()
    {
        if (const int e = posix_spawnattr_init(&attributes_); e != 0) throw process_error("cannot start a process: " + reason(e));
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
    }
    ~spawn_attributes() { posix_spawnattr_destroy(&attributes_); }
    spawn_attributes(const spawn_attributes&) = delete;
    spawn_attributes& operator=(const spawn_attributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

class spawn_actions {
public:
    spawn_actions()
    {
        if (const int e = posix_spawn_file_actions_init(&actions_); e != 0) throw process_error("cannot start a process: " + reason(e));
    }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions_); }
    spawn_actions(const spawn_actions&) = delete;
    spawn_actions& operator=(const spawn_actions&) = delete;

    void open(int fd, const std::filesystem::path& file, int flags)
    {
        const std::string name = file.empty() ? "/dev/null" : file.string();
        if (const int e = posix_spawn_file_actions_addopen(&actions_, fd, name.c_str(), flags, 0600); e != 0)
            throw process_error("cannot start a process: " + reason(e));
    }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

child_end ended(pid_t pid, int status)
{
    child_end end;
    end.id = static_cast<child_id>(pid);
    if (WIFEXITED(status)) {
        end.exited = true;
        end.exit_status = WEXITSTATUS(status);
        end.how = "exit status " + std::to_string(end.exit_status);
    } else if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = strsignal(signal);
        end.how = "signal " + std::to_string(signal) + (name != nullptr ? std::string(" (") + name + ")" : std::string());
    } else {
        end.how = "wait status " + std::to_string(status);
    }
    return end;
}

}  // namespace

child_id start_child(const child_start& start)
{
    throw_if_stopped();
    spawn_actions actions;
    spawn_attributes attributes;
    // Children that run side by side must not read the terminal in turns.
    actions.open(STDIN_FILENO, {}, O_RDONLY);
    actions.open(STDOUT_FILENO, start.output, O_WRONLY | O_CREAT | O_TRUNC);
    actions.open(STDERR_FILENO, start.errors, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::string> words{start.program.string()};
    words.insert(words.end(), start.arguments.begin(), start.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> settings;
    for (const auto& [name, value] : start.environment) settings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& setting : settings) envp.push_back(setting.data());
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view setting = *entry;
        const bool replaced = std::any_of(start.environment.begin(), start.environment.end(), [&](const auto& change) {
            return setting.size() > change.first.size() && setting.substr(0, change.first.size()) == change.first &&
                   setting[change.first.size()] == '=';
        });
        if (!replaced) envp.push_back(*entry);
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    // posix_spawn, not posix_spawnp: the program is the path given.
    if (const int e = posix_spawn(&pid, words.front().c_str(), actions.get(), attributes.get(), argv.data(), envp.data()); e != 0)
        throw process_error("cannot start " + start.program.string() + ": " + reason(e));
    running().insert(pid);
    return static_cast<child_id>(pid);
}

child_end wait_any_child()
{
    while (!running().empty()) {
        throw_if_stopped();
        int status = 0;
        // A stop request interrupts the wait (the handler is set without
        // SA_RESTART), and is seen at the loop's head.
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            throw process_error("cannot wait for a child process: " + reason(errno));
        }
        if (running().erase(pid) == 0) continue;
        return ended(pid, status);
    }
    throw process_error("no child process is running");
}

void stop_child(child_id id)
{
    const auto pid = static_cast<pid_t>(id);
    if (running().erase(pid) == 0) return;
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void catch_stop_requests()
{
    struct sigaction action {};
    action.sa_handler = note_stop_request;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void end_by(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

unsigned core_count()
{
    // The processors this process may use, which a container or taskset
    // may hold below those the machine has.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1u;
}

}  // namespace clonesim::platform

#endif
