// clonesim's logging wrapper around a site program the library runs, for
// Windows: `clonesim-site-program LOG LABEL PROGRAM ARGUMENTS...` runs the
// program, appends the record of the run to the log and exits as the
// program did. A program that cannot start exits 9009, as cmd's does.
#include "stand_in.h"

int main()
{
    const std::vector<std::string> argv = stand_in::arguments();
    if (argv.size() < 4) return 2;
    const std::vector<std::string> command(argv.begin() + 3, argv.end());
    const std::string errors_file = argv[1] + ".errors." + std::to_string(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE errors = CreateFileW(stand_in::wide(errors_file).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS, 0, nullptr);
    std::string why;
    const auto code = stand_in::run(command, errors == INVALID_HANDLE_VALUE ? nullptr : errors, why);
    if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
    const std::string error_output = stand_in::read_file(errors_file) + why;
    DeleteFileW(stand_in::wide(errors_file).c_str());
    const long status = code.has_value() ? static_cast<long>(*code) : 9009;
    stand_in::append_record(argv[1], argv[2], status, std::vector<std::string>(argv.begin() + 4, argv.end()),
                            error_output);
    return static_cast<int>(status);
}
