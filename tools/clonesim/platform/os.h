// Everything clonesim asks of the operating system, in one place: each
// system has its own source behind this header (os_posix.cpp, os_win.cpp),
// chosen by the build, and the rooms after this one know neither.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace clonesim::os {

// What the system refused; the rooms that call turn it into their own error.
class failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The system as a session trace's header names it ("linux", "windows").
const char* system_name();

// Standard output and error keep "\n" line ends as written, so that a
// report reads the same, byte for byte, on every system.
void keep_line_ends();

// --- the environment the library and its commands see ------------------------

std::optional<std::string> get_variable(const std::string& name);
void set_variable(const std::string& name, const std::string& value);
void unset_variable(const std::string& name);

// A file name as the library and the host write it (in the ANSI code page
// on Windows, bytes elsewhere) and back: the standard library's own
// conversion on Windows is UTF-8, which the library's names are not.
std::filesystem::path path_of(const std::string& text);
std::string text_of(const std::filesystem::path& path);
// The path in the host's code page, exactly; none when the code page has no
// place for one of its characters (text_of would put another in its place).
std::optional<std::string> host_text_of(const std::filesystem::path& path);

// --- texts between clonesim and the library ------------------------------------

// clonesim's own texts (scenario files, reports) are UTF-8; the library and
// the host take and give theirs in the host's code page, the ANSI code page
// on Windows. Elsewhere both are the same bytes and these leave them be.

// The text in the host's code page; none when the code page has no place
// for one of its characters.
std::optional<std::string> to_host_text(const std::string& utf8);
// A text the library, the host or the server gave, in UTF-8.
std::string from_host_text(const std::string& host);
// The host's code page as a refusal names it ("Windows-1252"); "" where
// texts pass as they are.
std::string host_code_page();

// --- folders -----------------------------------------------------------------

// A new, empty folder in the system's temporary folder named
// `prefix`-XXXXXX (six letters or digits); throws failure.
std::filesystem::path make_temp_directory(const std::string& prefix);

// The running executable.
std::filesystem::path executable();

// Whether the system takes a file of this name, in any folder, as one of
// its devices (Windows' "NUL.map", "con") rather than a file.
bool device_name(const std::filesystem::path& name);

// --- the library -------------------------------------------------------------

// Loads a shared library the way the host does and keeps it loaded to the
// end of the process; throws failure with the system's reason.
void* load_library(const std::filesystem::path& path);
void* find_symbol(void* library, const char* name);

// --- standard output ---------------------------------------------------------

// Sends the process's standard output, as the library and the programs it
// starts write it, into a temporary file for as long as it lives. Throws
// failure when it cannot.
class output_capture {
public:
    output_capture();
    ~output_capture();
    output_capture(const output_capture&) = delete;
    output_capture& operator=(const output_capture&) = delete;

    // Puts standard output back and hands over what was written, lines
    // ended by "\n".
    std::string finish();

    struct state;

private:
    std::unique_ptr<state> state_;
};

// --- crashes -----------------------------------------------------------------

// Calls `handler` with the signal's number when the process is about to end
// by a fatal signal (the handler then ends it as the system would).
void on_fatal_signals(void (*handler)(int));

// Writes to standard error at once; safe in a signal handler.
void write_error_now(const char* text);

// Ends the process at once, without running anything else.
[[noreturn]] void exit_now(int status);

// --- the stand-in programs ---------------------------------------------------

// When `exit_status` is the one the command interpreter the library runs
// its commands with gives for a program it could not start, what that says
// ("which the shell gives for a command not found"); "" for any other.
std::string not_started_status(int exit_status);

// The folder put first on PATH so that the library's "del" finds
// clonesim's stand-in; none where the command interpreter's own is used.
std::optional<std::filesystem::path> del_stand_in_directory(const std::filesystem::path& tools);

// A stand-in program of clonesim's own named `name` in `tools` (the
// system's file name: "site-program", "site-program.exe").
std::filesystem::path tool(const std::filesystem::path& tools, const std::string& name);

// Makes a program `file` that runs `target` with `leading` before its own
// arguments; with `drop_first`, its own first argument is left out; an own
// argument that starts with `from` starts with `to` instead (none when
// `from` is empty). The site's item ID check runs such a program as its
// interpreter.
struct forwarding {
    std::filesystem::path target;
    std::vector<std::string> leading;
    bool drop_first = false;
    std::string from, to;
};
void write_forwarding_program(const std::filesystem::path& file, const forwarding& how);

// A program in `directory` that stands in for the site's programs: run as
// `program LOG LABEL PROGRAM-TEXT ARGUMENTS...`, it looks up the program
// text and the arguments, one a line with "\\" made "/", in `answers` and
// exits with the code found there (127 for none), logging the run as the
// wrapper does. Returns the program to name.
struct answer {
    std::string key;
    int exit_code = 0;
};
std::filesystem::path write_answer_program(const std::filesystem::path& tools, const std::filesystem::path& directory,
                                           const std::filesystem::path& log, const std::vector<answer>& answers);

// The site's program text as the answering program takes it, one argument
// that any quoting keeps whole (a program text of its own may hold quotes,
// which cmd and the C runtime would not hand over as they are).
std::string answer_program_text(const std::string& text);

// The interpreter's file name in a PDM root's bin folder ("perl",
// "perl.exe").
std::string interpreter_file_name(const std::string& name);

// Separates the folders of PATH.
char path_list_separator();

}  // namespace clonesim::os
