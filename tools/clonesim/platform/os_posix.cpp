#include "platform/os.h"

#include "platform/platform.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace clonesim::os {

namespace {

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// The stand-ins are shell scripts run by the command interpreter the library
// uses: the platform's own quoting keeps each argument whole.
std::string quoted(const std::string& text) { return kx::platform::quote_argument(text); }

void write_script(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream script(file, std::ios::binary);
    script << text;
    script.close();
    if (!script) throw failure("cannot write " + file.string());
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
}

}  // namespace

const char* system_name() { return kx::platform::system_name(); }

void keep_line_ends() {}

std::optional<std::string> get_variable(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void set_variable(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }

void unset_variable(const std::string& name) { unsetenv(name.c_str()); }

// The library takes the bytes it is given: nothing to convert.
std::optional<std::string> to_host_text(const std::string& utf8) { return utf8; }
std::string from_host_text(const std::string& host) { return host; }
std::string host_code_page() { return ""; }

std::filesystem::path path_of(const std::string& text) { return text; }

std::string text_of(const std::filesystem::path& path) { return path.string(); }

std::optional<std::string> host_text_of(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path make_temp_directory(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw failure(system_error("cannot make a temporary directory in " + pattern));
    return pattern;
}

std::filesystem::path executable()
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec);
}

void* load_library(const std::filesystem::path& path)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw failure("cannot load " + path.string() + ": " + dlerror());
    return handle;
}

void* find_symbol(void* library, const char* name) { return dlsym(library, name); }

void on_fatal_signals(void (*handler)(int))
{
    for (const int signal_number : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE}) std::signal(signal_number, handler);
}

void write_error_now(const char* text) { [[maybe_unused]] const ssize_t n = write(2, text, std::strlen(text)); }

void exit_now(int status) { _exit(status); }

// File descriptor 1 is what the library's C runtime and its commands share.
struct output_capture::state {
    std::FILE* file = nullptr;
    int saved = -1;

    void restore()
    {
        if (saved < 0) return;
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        saved = -1;
    }
};

output_capture::output_capture() : state_(std::make_unique<state>())
{
    std::fflush(stdout);
    state_->file = std::tmpfile();
    if (state_->file == nullptr) throw failure(system_error("cannot capture standard output"));
    state_->saved = dup(1);
    if (state_->saved < 0 || dup2(fileno(state_->file), 1) < 0) {
        std::fclose(state_->file);
        state_->file = nullptr;
        throw failure(system_error("cannot capture standard output"));
    }
}

output_capture::~output_capture()
{
    state_->restore();
    if (state_->file != nullptr) std::fclose(state_->file);
}

std::string output_capture::finish()
{
    state_->restore();
    std::string text;
    if (state_->file == nullptr) return text;
    std::rewind(state_->file);
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, state_->file)) > 0) text.append(buffer, n);
    std::fclose(state_->file);
    state_->file = nullptr;
    return text;
}

std::optional<std::filesystem::path> del_stand_in_directory(const std::filesystem::path& tools) { return tools; }

std::filesystem::path tool(const std::filesystem::path& tools, const std::string& name) { return tools / name; }

void write_forwarding_program(const std::filesystem::path& file, const forwarding& how)
{
    std::string text = "#!/bin/sh\n# clonesim: runs the site's item ID check through its own stand-in\n";
    if (how.drop_first) text += "shift\n";
    if (!how.from.empty())
        text += "from=" + quoted(how.from) + "\nto=" + quoted(how.to) +
                "\nfor a do shift; case $a in \"$from\"*) a=$to${a#\"$from\"} ;; esac; set -- \"$@\" \"$a\"; done\n";
    text += "exec " + quoted(how.target.string());
    for (const std::string& argument : how.leading) text += " " + quoted(argument);
    text += " \"$@\"\n";
    write_script(file, text);
}

std::filesystem::path write_answer_program(const std::filesystem::path&, const std::filesystem::path& directory,
                                           const std::filesystem::path&, const std::vector<answer>& answers)
{
    std::string text =
        "#!/bin/sh\n# clonesim: stands in for the site's programs, answering each run with the exit code\n"
        "# recorded for its program text and arguments\nlog=$1\nlabel=$2\nshift 2\n"
        "key=$(printf '%s\\n' \"$@\" | tr '\\\\' /)\ncase \"$key\" in\n";
    for (const answer& a : answers) text += quoted(a.key) + ") status=" + std::to_string(a.exit_code) + " ;;\n";
    text += "*) status=127 ;;\nesac\nprogram=$1\nshift\nif [ -n \"$program\" ]; then set -- \"$program\" \"$@\"; fi\n"
            "{ printf '%s\\0' \"$label\" \"$status\" \"$#\"; [ $# -eq 0 ] || printf '%s\\0' \"$@\"; printf '\\0'; } >>\"$log\"\n"
            "exit $status\n";
    const std::filesystem::path file = directory / "answer";
    write_script(file, text);
    return file;
}

bool device_name(const std::filesystem::path&) { return false; }

std::string not_started_status(int exit_status)
{
    if (exit_status == 126) return "which the shell gives for a command it cannot execute";
    if (exit_status == 127) return "which the shell gives for a command not found";
    return {};
}

std::string answer_program_text(const std::string& text) { return text; }

std::string interpreter_file_name(const std::string& name) { return name; }

char path_list_separator() { return ':'; }

}  // namespace clonesim::os
