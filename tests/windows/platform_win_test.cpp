// The platform layer on Windows: command lines as cmd.exe gets them, the
// commands that are never handed to it, and the Win32 environment, working
// directory and files, all with names in the ANSI code page (Windows-1252 in
// the CI's wine prefix).
#include "import/pre_import_checks.h"
#include "host/host_codes.h"
#include "platform/platform.h"
#include "session_driver.h"
#include "test_support.h"
#include "windows_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

namespace {

namespace fs = std::filesystem;
namespace platform = kx::platform;
using kxtest::library_test;
using kxtest::ansi_path;
using kxtest::read_all;
using kxtest::write_file;

class windows_platform : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        ASSERT_EQ(GetACP(), 1252u) << "run with the ANSI code page 1252 (LC_ALL=C.UTF-8 under wine)";
        dir = scratch_dir().string();
    }
    // child_probe.exe beside this program, quoted, with its mode.
    static std::string probe(const std::string& mode)
    {
        wchar_t own[MAX_PATH + 1];
        const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH + 1);
        const fs::path path = fs::path(std::wstring(own, length)).parent_path() / "child_probe.exe";
        return "\"" + path.string() + "\" " + mode;
    }
    std::string dir;
};

TEST_F(windows_platform, file_arguments_are_double_quoted_and_paths_joined_with_backslashes)
{
    EXPECT_EQ(platform::path_separator(), '\\');
    EXPECT_EQ(platform::join_path("C:\\pdm root", "bin"), "C:\\pdm root\\bin");
    EXPECT_EQ(platform::command_line({"", {"C:\\pdm root\\bin\\perl", "C:\\in\\a & b.prt"}}),
              "\"C:\\pdm root\\bin\\perl\" \"C:\\in\\a & b.prt\"");
    EXPECT_EQ(platform::command_line({"\"C:\\site\\check.cmd\" --strict", {"C:\\in\\it's (1).prt"}}),
              "\"C:\\site\\check.cmd\" --strict \"C:\\in\\it's (1).prt\"");
    EXPECT_EQ(platform::command_line({"del", {"C:\\tmp\\map 1.txt"}}), "del \"C:\\tmp\\map 1.txt\"");
}

// The line reaches the program through the real cmd.exe: each file argument
// arrives as one argument naming exactly its file, metacharacters and
// letters beyond ASCII included, and the exit code comes back.
TEST_F(windows_platform, runs_through_cmd_with_each_file_argument_whole)
{
    system.run_for_real = true;
    const std::string program = dir + "\\show args.cmd";
    write_file(program,
               "@echo off\r\n"
               "if not \"%~2\"==\"\" exit /b 9\r\n"
               "type %1 >> \"%~dp0seen.txt\"\r\n"
               "exit /b 7\r\n");
    const std::vector<std::string> names = {"two  blanks.prt", "a & mkdir kx_injected & b.prt", "x ^ y.prt",
                                            "(draft) z.prt",   "it's.prt",                  "one; two.prt",
                                            "a !b! c.prt",     "B\xFCgel \xD8 \xE9\xDF.prt"};
    std::string expected;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        write_file(ansi_path(dir + "\\" + name), name + "\n");
        expected += name + "\n";
        EXPECT_EQ(platform::run({"\"" + program + "\"", {dir + "\\" + name}}), 7);
    }
    EXPECT_EQ(read_all(ansi_path(dir + "\\seen.txt")), expected);
    EXPECT_FALSE(fs::exists("kx_injected")) << "a file argument ran a command of its own";
    // A lone '%' expands nothing.
    EXPECT_EQ(platform::run({"exit /b 3 & rem 100%", {}}), 3);
}

// Each command that cmd would not keep literal is never handed to it: the
// recording system sees nothing and the caller gets -1, as for a command
// that could not start.
TEST_F(windows_platform, commands_that_are_never_run)
{
    const std::string existing = dir + "\\existing.txt";
    write_file(existing, "x");
    fs::create_directories(fs::path(dir) / "folder");
    write_file(dir + "\\100%%.txt", "x");
    struct never_run {
        const char* why;
        platform::command command;
    };
    const std::vector<never_run> cases = {
        {"a quote in a file argument", {"check.cmd", {"C:\\in\\say \"hi\".prt"}}},
        {"a line break in a file argument", {"check.cmd", {"C:\\in\\a\r\nb.prt"}}},
        {"a tab in a file argument", {"check.cmd", {"C:\\in\\a\tb.prt"}}},
        {"a % pair inside a file argument", {"check.cmd", {"C:\\in\\%PATH%.prt"}}},
        {"% in the program and % in a file argument", {"check.cmd %X", {"C:\\in\\50%.prt"}}},
        {"% in two file arguments", {"check.cmd", {"C:\\in\\1%.prt", "C:\\in\\2%.prt"}}},
        {"a line over 8191 characters", {"check.cmd", {"C:\\in\\" + std::string(8200, 'a') + ".prt"}}},
        {"an interpreter that is not there", {"", {dir + "\\no perl", existing, "C:\\in\\a.prt"}, 2}},
        {"a script that is not there", {"", {existing, dir + "\\no script.pl", "C:\\in\\a.prt"}, 2}},
    };
    for (const never_run& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(platform::run(c.command), -1);
    }
    for (const std::string& path : {dir + "\\*.txt", dir + "\\existing.tx?", dir + "\\folder", dir + "\\missing.txt",
                                    dir + "\\100%%.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(platform::delete_file(path), -1);
    }
    EXPECT_TRUE(system.commands.empty()) << system.commands.front();

    // The same commands with what made them unsafe taken away do run.
    EXPECT_EQ(platform::run({"check.cmd", {"C:\\in\\50%.prt"}}), 0);
    EXPECT_EQ(platform::run({"check.cmd %X", {"C:\\in\\50.prt"}}), 0);
    EXPECT_EQ(platform::run({"", {existing, existing, "C:\\in\\a.prt"}, 2}), 0);
    EXPECT_EQ(platform::delete_file(existing), 0);
    EXPECT_EQ(system.commands.size(), 4u);
}

// Program texts as cmd reads them, each with a part name that would run a
// command of its own if the text left cmd inside a quote or an escape. Such
// a text is never run, like a program that cannot be started; so is one
// whose %NAME% brings in a quote or a caret, and one that ends in an
// operator (wine's cmd even honours a ">" inside the quoted name after one).
TEST_F(windows_platform, program_texts_that_leave_cmd_inside_a_quote_are_never_run)
{
    system.env["KX_QUOTE"] = "say \"hi";
    system.env["KX_SITE"] = "C:\\site";
    system.env["KX_AMP"] = "x &";
    const struct {
        const char* program;
        bool runs;
    } rows[] = {
        {"\"C:\\site dir\\check.cmd", false},
        {"check.cmd ^\"\"", false},  // an even count, and inside a quote
        {"check.cmd ^", false},
        {"check.cmd \"a\" \"b", false},
        {"check.cmd\n", false},
        {"check.cmd ^\n", false},
        {"check.cmd %KX_QUOTE%", false},
        {"check.cmd %KX_SITE:site=\"%", false},
        {"check.cmd >&", false},  // the part name would be a file to write, or a command
        {"check.cmd | ", false},
        {"  ", false},
        {"@", false},  // no command word: the part name would be the command
        {">nul 2>&1", false},
        {"check.cmd %KX_AMP%", false},  // cmd reads the value's operator
        {"check.cmd %CD%", false},      // cmd's own variable, in no environment
        {"\"C:\\site dir\\check.cmd\" --strict", true},
        {"check.cmd ^\"x^\" \"^\"", true},
        {"%KX_SITE%\\check.cmd %KX_UNSET%", true},
        {"check.cmd ^> 2>nul", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.program);
        system.commands.clear();
        EXPECT_EQ(platform::run({r.program, {"C:\\in\\a & mkdir X & b.prt"}}), r.runs ? 0 : platform::not_started);
        EXPECT_EQ(system.commands.size(), r.runs ? 1u : 0u);
    }

    // Through the real cmd, the additional import program with its closing
    // quote forgotten: the part is refused and its name runs nothing.
    system.run_for_real = true;
    write_file(dir + "\\check.cmd", "@exit /b 0\r\n");
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "\"" + dir + "\\check.cmd";
    const std::string part = dir + "\\a & mkdir kx_injected & b.prt";
    EXPECT_EQ(kx::run_additional_import_program(part.c_str()), platform::not_started);
    EXPECT_FALSE(fs::exists("kx_injected")) << "a part name ran a command of its own";
    EXPECT_FALSE(fs::exists(fs::path(dir) / "kx_injected")) << "a part name ran a command of its own";
}

// The program's C runtime reads backslashes before a quote as escapes: an
// argument ending in backslashes reaches it with all of them and no quote.
// cmd's limit counts UTF-16 characters.
TEST_F(windows_platform, file_arguments_ending_in_backslashes_reach_the_program_whole)
{
    system.run_for_real = true;
    const std::string seen = dir + "\\args.txt";
    const std::vector<std::string> arguments = {"C:\\in\\sub dir\\", "C:\\in\\a\\\\", "C:\\in\\x\\y.prt",
                                                "\\\\server\\share\\"};
    EXPECT_EQ(platform::run({probe("args \"" + seen + "\""), arguments}), 0);
    EXPECT_EQ(read_all(seen), "[C:\\in\\sub dir\\]\n[C:\\in\\a\\\\]\n[C:\\in\\x\\y.prt]\n[\\\\server\\share\\]\n");

    system.run_for_real = false;
    system.commands.clear();
    const std::string program = "check.cmd";  // with the blank and the quotes, 12 characters
    EXPECT_EQ(platform::run({program, {std::string(8191 - 12, '\xE9')}}), 0);
    EXPECT_EQ(platform::run({program, {std::string(8191 - 11, '\xE9')}}), platform::not_started);
    EXPECT_EQ(system.commands.size(), 1u);
}

// cmd looks for a program named without a folder in the current folder
// first, where the parts lie. The child's environment block switches that
// off; wine's cmd does not honour it, so the block itself is what is seen
// here. The host's own environment is left as it is.
TEST_F(windows_platform, programs_get_an_environment_that_keeps_cmd_out_of_the_current_folder)
{
    system.run_for_real = true;
    SetEnvironmentVariableA("KX_SET_BY_THE_HOST", "1");
    const int switched_off = platform::run({probe("env NoDefaultCurrentDirectoryInExePath"), {}});
    const int host_variable = platform::run({probe("env KX_SET_BY_THE_HOST"), {}});
    SetEnvironmentVariableA("KX_SET_BY_THE_HOST", nullptr);
    EXPECT_EQ(switched_off, 0);
    EXPECT_EQ(host_variable, 0) << "the child gets the host's environment as it stands";
    EXPECT_EQ(platform::run({probe("env KX_NEVER_SET"), {}}), 7);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetEnvironmentVariableA("NoDefaultCurrentDirectoryInExePath", nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

// A program gets its standard handles and nothing else the host holds open:
// neither an inheritable handle of the host's own nor the library's trace.
TEST_F(windows_platform, programs_inherit_only_their_standard_handles)
{
    system.run_for_real = true;
    // The probe finds a file it holds: here, the output cmd opened for it.
    EXPECT_EQ(platform::run({probe("handles kx_redirected") + " > \"" + dir + "\\kx_redirected.txt\"", {}}), 1);

    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const HANDLE host_file = CreateFileW(ansi_path(dir + "\\kx_host_file.txt").c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(host_file, INVALID_HANDLE_VALUE);
    platform::output_file trace;
    ASSERT_EQ(platform::create_new_file(dir + "\\kx_trace.jsonl", trace), platform::file_creation::created);
    const int host_file_seen = platform::run({probe("handles kx_host_file"), {}});
    const int trace_seen = platform::run({probe("handles kx_trace"), {}});
    CloseHandle(host_file);
    EXPECT_EQ(host_file_seen, 0);
    EXPECT_EQ(trace_seen, 0);
}

// A trace file is created new in one step, by its name in the code page (a
// folder named with the bytes 0x80 and 0x9F, the euro sign and Y-diaeresis
// in Windows-1252): a name in use, file or folder, is taken and left as it is.
TEST_F(windows_platform, files_are_created_only_under_free_names)
{
    const std::string folder = dir + "\\\x80 \x9F";
    fs::create_directories(ansi_path(folder + "\\folder.jsonl"));
    const std::string taken = folder + "\\taken.jsonl";
    write_file(ansi_path(taken), "planted");
    platform::output_file file;
    EXPECT_EQ(platform::create_new_file(taken, file), platform::file_creation::name_taken);
    EXPECT_EQ(platform::create_new_file(folder + "\\folder.jsonl", file), platform::file_creation::name_taken);
    EXPECT_EQ(platform::create_new_file(folder + "\\no folder\\x.jsonl", file), platform::file_creation::failed);
    EXPECT_FALSE(file.is_open());
    EXPECT_EQ(read_all(ansi_path(taken)), "planted");

    const std::string name = folder + "\\\xC9tude.jsonl";
    ASSERT_EQ(platform::create_new_file(name, file), platform::file_creation::created);
    EXPECT_TRUE(file.write("line\n"));
    file.close();
    EXPECT_EQ(read_all(ansi_path(name)), "line\n");
}

// A session recorded while the site's program runs: the program gets no
// handle to the trace file.
TEST_F(windows_platform, a_session_trace_stays_out_of_the_site_program)
{
    system.run_for_real = true;
    system.env["KXPDM_TRACE_DIR"] = dir;
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = probe("handles kxpdm-trace-");
    start_library();
    host().operation_class = kx::class_import;
    host().def_item_type = "Part";
    host().server = [](int code, const char*) -> sim::pdm_response {
        if (code == kx::request_get_item_type) return {0, std::string("Part")};
        if (code == kx::request_check_revision) return {0, std::string("NOT_PRESENT")};
        return {0, std::nullopt};
    };
    sim::clone_part part;
    part.name = "C:\\in\\a.prt";
    host().parts.push_back(part);

    const sim::session_result result = sim::play_session();
    EXPECT_FALSE(result.refused) << result.refused_at << ": " << system.stdout_text;
    bool traced = false;
    for (const auto& entry : fs::directory_iterator(dir))
        traced = traced || entry.path().filename().string().rfind("kxpdm-trace-", 0) == 0;
    EXPECT_TRUE(traced);
}

// A program named without an extension is there when cmd would find it
// with one of the executable extensions.
TEST_F(windows_platform, an_interpreter_is_found_as_cmd_finds_it)
{
    write_file(dir + "\\perl.cmd", "@exit /b 1\r\n");
    write_file(dir + "\\check.pl", "");
    EXPECT_EQ(platform::run({"", {dir + "\\perl", dir + "\\check.pl", "C:\\in\\a.prt"}, 2}), 0);
    EXPECT_EQ(system.commands.size(), 1u);
}

// The item-ID check on Windows: its three arguments double-quoted, and no
// run at all while the interpreter or the script is missing, since cmd's own
// "not found" could end with the exit code that lets the mapping through.
TEST_F(windows_platform, the_item_id_check_runs_only_when_its_programs_are_there)
{
    const std::string map_file = dir + "\\map.txt";
    write_file(map_file, "DB_PART_NO = NUMBER\r\nDB_PART_REV = REV\r\n");
    const std::string root = dir + "\\pdm root";
    fs::create_directories(fs::path(root) / "bin");
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
    system.env["PDM_ROOT"] = root;
    system.exit_code = [](const std::string&) { return 1; };
    const std::string part_spec = "C:\\in\\a & b.prt";
    sim::clone_part part;
    part.name = part_spec;
    part.attributes = {{"NUMBER", "M-4711"}, {"REV", "MB"}};
    host().parts.push_back(part);
    auto mapped_item_id = [&] {
        kx::host_text item_id, revision;
        EXPECT_EQ(kx::map_item_id_and_revision(part_spec.c_str(), map_file, item_id, revision), 0);
        return item_id ? std::string(item_id.get()) : std::string("(none)");
    };

    EXPECT_EQ(mapped_item_id(), "(none)");
    write_file(root + "\\bin\\perl.exe", "");
    EXPECT_EQ(mapped_item_id(), "(none)");
    EXPECT_TRUE(system.commands.empty());

    write_file(root + "\\bin\\kxpdm_check_pfm.pl", "");
    EXPECT_EQ(mapped_item_id(), "M-4711");
    EXPECT_EQ(system.commands, std::vector<std::string>{"\"" + root + "\\bin\\perl\" \"" + root +
                                                        "\\bin\\kxpdm_check_pfm.pl\" \"C:\\in\\a & b.prt\""});
}

// del through the real cmd removes exactly the one file, and a wildcard or
// a folder is left alone.
TEST_F(windows_platform, del_removes_the_one_file_and_nothing_else)
{
    system.run_for_real = true;
    const std::string name = dir + "\\it's a m\xE4pping (1) & more.txt";
    const std::string other = dir + "\\it's a m\xE4pping (2) & more.txt";
    write_file(ansi_path(name), "x");
    write_file(ansi_path(other), "y");
    EXPECT_EQ(platform::delete_file(name), 0);
    EXPECT_FALSE(fs::exists(ansi_path(name)));
    EXPECT_TRUE(fs::exists(ansi_path(other)));
    EXPECT_EQ(platform::delete_file(dir + "\\*.txt"), -1);
    EXPECT_EQ(platform::delete_file(dir), -1);
    EXPECT_TRUE(fs::exists(ansi_path(other)));
}

// The real system's environment is the process's, asked each time: a
// variable set after start is seen, an empty one is set.
TEST_F(windows_platform, environment_is_read_from_win32_each_time)
{
    platform::system_interface& real = platform::real_system();
    const char* name = "KX_PLATFORM_TEST_VARIABLE";
    auto exact = [&] {
        const platform::env_value value = real.get_env(name);
        return value.exact() != nullptr ? std::optional<std::string>(*value.exact()) : std::nullopt;
    };
    SetEnvironmentVariableA(name, nullptr);
    EXPECT_FALSE(real.get_env(name).is_set());
    SetEnvironmentVariableA(name, "");
    EXPECT_EQ(exact(), std::string());
    SetEnvironmentVariableA(name, "C:\\B\xFCgel\\map.txt");
    EXPECT_EQ(exact(), std::string("C:\\B\xFCgel\\map.txt"));
    const std::string long_value(5000, 'v');
    SetEnvironmentVariableA(name, long_value.c_str());
    EXPECT_EQ(exact(), long_value);

    // A value the code page cannot hold is there, and unusable: set and not
    // empty, with no exact text, and shown with "?" for what is missing.
    SetEnvironmentVariableW(L"KX_PLATFORM_TEST_VARIABLE", L"C:\\Sites\\\u0395\u03bb\u03bb\u03ac\u03b4\u03b1\\check.cmd");
    const platform::env_value greek = real.get_env(name);
    EXPECT_TRUE(greek.is_set_non_empty());
    EXPECT_EQ(greek.exact(), nullptr);
    EXPECT_EQ(greek.shown(), std::string("C:\\Sites\\??????\\check.cmd"));

    SetEnvironmentVariableA(name, nullptr);
    EXPECT_FALSE(real.get_env(name).is_set());
}

TEST_F(windows_platform, working_directory_and_files_by_ansi_names)
{
    platform::system_interface& real = platform::real_system();
    const std::string folder = dir + "\\\xC9tude (1)";
    fs::create_directories(ansi_path(folder));
    const std::string file = folder + "\\B\xFCgel.txt";
    write_file(ansi_path(file), "line 1\r\nline 2\r\n");
    EXPECT_EQ(real.read_file(file), std::string("line 1\r\nline 2\r\n"));
    EXPECT_EQ(real.read_file(folder + "\\missing.txt"), std::nullopt);
    EXPECT_TRUE(real.is_regular_file(file));
    EXPECT_FALSE(real.is_regular_file(folder));

    wchar_t saved[MAX_PATH + 1];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH + 1, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryW(ansi_path(folder).c_str()));
    const std::string cwd = real.current_directory();
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(cwd, folder);
}

}  // namespace
