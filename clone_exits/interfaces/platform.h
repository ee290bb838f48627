// The one road from the library to the operating system for what the host
// does not provide: environment variables, standard output, the command
// interpreter, the working directory and the path and quoting conventions.
// Only platform.cpp includes system headers for these; a test can put a
// recording fake in place of the real system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kx::platform {

class system_interface {
public:
    virtual ~system_interface() = default;
    // nullopt when the variable is not set; an empty string when it is set empty.
    virtual std::optional<std::string> get_env(const char* name) = 0;
    // Writes to the process's standard output as it stands.
    virtual void write_stdout(std::string_view text) = 0;
    // Runs a command line through the command interpreter and waits for it.
    // Returns the program's exit code; -1 when the interpreter cannot be
    // started or the program was ended by a signal.
    virtual int run_command(const std::string& command_line) = 0;
    // Empty when the directory cannot be asked.
    virtual std::string current_directory() = 0;
};

// The real operating system.
system_interface& real_system();

// Substitutes the system (null restores the real one); returns the previous one.
system_interface* install(system_interface* fake);
system_interface& current();

// Convenience wrappers over current().
std::optional<std::string> get_env(const char* name);
// Set and not empty.
bool env_is_set_non_empty(const char* name);
void print(std::string_view text);
int run_command(const std::string& command_line);
std::string current_directory();

// Quotes one argument for this platform's command interpreter so that it
// reaches the program as exactly one argument and runs nothing of its own.
std::string quote_argument(std::string_view argument);

// The directory separator of the file system the host runs on.
char path_separator();

// Joins path elements with the platform's separator.
std::string join_path(std::string_view first, std::string_view second);

}  // namespace kx::platform
