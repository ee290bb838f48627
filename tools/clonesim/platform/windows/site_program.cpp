// clonesim's logging wrapper around a site program the library runs, for
// Windows: `clonesim-site-program LOG LABEL PROGRAM ARGUMENTS...` runs the
// program, appends the record of the run to the log and exits as the
// program did. The program's part of the line goes on to cmd exactly as the
// library wrote it, run as the library runs it (cmd /d /v:off /s /c), so
// that a rehearsal sees what the desk sees: the library's quotes, the
// program found through PATHEXT, cmd's 9009 for one it cannot find.
#include "stand_in.h"

int main()
{
    const std::vector<std::string> argv = stand_in::arguments();
    if (argv.size() < 4) return 2;
    const std::wstring line = GetCommandLineW();
    const std::vector<std::size_t> starts = stand_in::argument_starts(line);
    if (starts.size() != argv.size()) return 2;
    const std::wstring program_line = line.substr(starts[3]);
    const std::wstring cmd = stand_in::system_cmd();
    const std::string errors_file = argv[1] + ".errors." + std::to_string(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE errors = CreateFileW(stand_in::wide(errors_file).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS, 0, nullptr);
    std::string why;
    const auto code = stand_in::run_line(L"\"" + cmd + L"\" /d /v:off /s /c \"" + program_line + L"\"", argv[3],
                                         errors == INVALID_HANDLE_VALUE ? nullptr : errors, why, cmd.c_str());
    if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
    const std::string error_output = stand_in::read_file(errors_file) + why;
    DeleteFileW(stand_in::wide(errors_file).c_str());
    const long status = code.has_value() ? static_cast<long>(*code) : 9009;
    stand_in::append_record(argv[1], argv[2], status, std::vector<std::string>(argv.begin() + 3, argv.end()),
                            error_output);
    return static_cast<int>(status);
}
