// The one road from the library to the operating system for what the host
// does not provide: environment variables, standard output, the command
// interpreter, file reads and deletions, the working directory and the path
// and quoting conventions. Only the platform sources include system headers
// (platform_posix.cpp or platform_win.cpp, chosen by the build); a test can
// put a recording fake in place of the real system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx::platform {

// An environment variable as the library reads it: not set, set to a text,
// or set to a value this platform cannot hand over exactly (on Windows one
// that the ANSI code page cannot hold). An unusable value is set, never
// unset: it switches on what any set value switches on, and as a path or a
// program it names nothing.
class env_value {
public:
    env_value() = default;
    env_value(std::nullopt_t) {}
    env_value(std::string text) : shown_(std::move(text)) {}
    env_value(std::optional<std::string> text) : shown_(std::move(text)) {}
    // `shown` stands in for the value in messages and traces only.
    static env_value unusable(std::string shown)
    {
        env_value value(std::move(shown));
        value.usable_ = false;
        return value;
    }

    bool is_set() const noexcept { return shown_.has_value(); }
    // An unusable value is never the empty text.
    bool is_set_non_empty() const noexcept { return is_set() && (!usable_ || !shown_->empty()); }
    bool usable() const noexcept { return is_set() && usable_; }
    // The value itself; null when it is not set or unusable.
    const std::string* exact() const noexcept { return usable() ? &*shown_ : nullptr; }
    // The value, or for an unusable one its stand-in; nullopt when not set.
    const std::optional<std::string>& shown() const noexcept { return shown_; }

private:
    std::optional<std::string> shown_;
    bool usable_ = true;
};

// The exit code given for a program that could not be started or is not run.
inline constexpr int not_started = -1;

class system_interface {
public:
    virtual ~system_interface() = default;
    virtual env_value get_env(const char* name) = 0;
    // Writes to the process's standard output as it stands.
    virtual void write_stdout(std::string_view text) = 0;
    // Runs a command line through the command interpreter and waits for it.
    // Returns the program's exit code; -1 when the interpreter cannot be
    // started or the program was ended by a signal.
    virtual int run_command(const std::string& command_line) = 0;
    // Empty when the directory cannot be asked.
    virtual std::string current_directory() = 0;
    // The whole content of a file, bytes as they are; nullopt when it cannot
    // be opened or read through. By default the real file system.
    virtual std::optional<std::string> read_file(const std::string& path);
    // Whether the path names a regular file (not a folder or a device). By
    // default the real file system.
    virtual bool is_regular_file(const std::string& path);
    // The time as "2026-12-07T16:40:02Z". By default the real clock.
    virtual std::string utc_time_text();
};

// A command for the interpreter: a program text used as it stands (a site's
// own command, options and all; may be empty), then file arguments, each
// quoted so that it reaches the program as one argument and runs nothing.
struct command {
    std::string program;
    std::vector<std::string> file_arguments;
    // How many of the first file arguments are the programs themselves (an
    // interpreter and its script). Where the interpreter's own failures end
    // with exit codes a program could also give (Windows), the command is
    // not run unless each of them exists as a file.
    std::size_t program_files = 0;
};

// The longest deletion command that is run: a cut path could name another
// file, so a longer one is not run at all.
inline constexpr std::size_t delete_command_limit = 1023;

// The real operating system.
system_interface& real_system();

// Substitutes the system (null restores the real one); returns the previous one.
system_interface* install(system_interface* fake);
system_interface& current();

// Sees everything that goes along this road, after it happened: the session
// recorder stands here. An observer never throws and never changes a result.
class system_observer {
public:
    // An unusable value comes as its stand-in.
    virtual void env_read(const char* name, const std::optional<std::string>& value) noexcept = 0;
    virtual void printed(std::string_view text) noexcept = 0;
    virtual void file_read(const std::string& path, const std::optional<std::string>& content) noexcept = 0;
    // `exit_code` -1: not started or not run.
    virtual void command_run(const command& c, const std::string& line, int exit_code) noexcept = 0;
    virtual void file_deleted(std::string_view path, int exit_code) noexcept = 0;

protected:
    ~system_observer() = default;
};

// Puts an observer on the road (null takes it off); returns the previous one.
system_observer* observe(system_observer* observer) noexcept;

// Convenience wrappers over current().
env_value get_env(const char* name);
// Set and not empty.
bool env_is_set_non_empty(const char* name);
void print(std::string_view text);
std::string current_directory();
std::optional<std::string> read_file(const std::string& path);

enum class file_creation { created, name_taken, failed };
class output_file;

// Creates `path` as a new file in one step and hands it to `file`: a name in
// use (a file, a folder, a link, even one that points nowhere) is taken, never
// opened, and the file is never inherited by the programs the library runs.
file_creation create_new_file(const std::string& path, output_file& file);

// A file the library created for itself and alone writes; closed with its owner.
class output_file {
public:
    output_file() noexcept = default;
    output_file(output_file&& other) noexcept : handle_(std::exchange(other.handle_, closed)) {}
    output_file& operator=(output_file&& other) noexcept
    {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, closed);
        }
        return *this;
    }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file() { close(); }

    bool is_open() const noexcept { return handle_ != closed; }
    // Writes all of `bytes`; false when that failed.
    bool write(std::string_view bytes) noexcept;
    void close() noexcept;

private:
    friend file_creation create_new_file(const std::string& path, output_file& file);
    static constexpr std::intptr_t closed = -1;
    std::intptr_t handle_ = closed;  // the system's descriptor or handle
};

// The line the interpreter gets for `c`.
std::string command_line(const command& c);
// Runs `c` and returns the program's exit code; not_started when it could
// not start or is not run. Some commands are never run because the
// interpreter would not keep their file arguments literal: a program text
// that leaves the interpreter inside a quote, an escape (or, on POSIX, a
// substitution, comment or here-document) at its end; on Windows also a
// quote or a control character in a file argument, `%` pairs reaching one,
// a line beyond cmd's length.
int run(const command& c);
// Deletes one file through the interpreter's "del" with the path quoted.
// Returns the exit code, or -1 when the command is not run (on Windows also
// for a wildcard or a path that is not a regular file, which "del" would
// expand or ask about).
int delete_file(std::string_view path);

// What a session trace tells of the system it was recorded on: "linux" or
// "windows"; the code page of the host's texts ("UTF-8", or the Windows ANSI
// code page's number); the time as "2026-12-07T16:40:02Z"; the process.
const char* system_name();
std::string code_page();
std::string utc_time_text();
unsigned long process_id();

// Resolves the host's operations where the loader does not (a Windows DLL
// binds them by name). 0 when every operation is there; otherwise non-zero
// after one line naming the first missing operation, and no host operation
// may be called.
int bind_host_operations();

// Quotes one argument for this platform's command interpreter so that it
// reaches the program as exactly one argument and runs nothing of its own.
std::string quote_argument(std::string_view argument);

// The directory separator of the file system the host runs on.
char path_separator();
// Whether a character ends a folder's name in a path: "/", and on Windows "\" too.
bool ends_folder_name(char c) noexcept;

// Joins path elements with the platform's separator.
std::string join_path(std::string_view first, std::string_view second);

}  // namespace kx::platform
