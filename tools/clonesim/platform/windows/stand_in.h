// What clonesim's Windows stand-in programs share: their arguments in the
// ANSI code page, starting a program and waiting for it, and the log record
// clonesim reads back (label, exit status, argument count, the arguments and
// the error output, each ended by a NUL byte).
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace stand_in {

inline std::wstring wide(const std::string& text)
{
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

inline std::string narrow(const wchar_t* text)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

// argv[0] is the program itself.
inline std::vector<std::string> arguments()
{
    int count = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.push_back(narrow(list[i]));
    LocalFree(list);
    return out;
}

inline std::string own_path()
{
    wchar_t buffer[32768];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
    buffer[n < 32768 ? n : 32767] = L'\0';
    return narrow(buffer);
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(stand_in::wide(path).c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<std::string> fields(const std::string& content)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t at = content.find('\0'); at != std::string::npos; at = content.find('\0', start)) {
        out.push_back(content.substr(start, at - start));
        start = at + 1;
    }
    return out;
}

// Where each argument of a command line starts, as the C runtime splits
// it, so that an argument can be passed on in the very form it came in:
// decoding and quoting again would drop the quotes cmd relies on.
inline std::vector<std::size_t> argument_starts(const std::wstring& line)
{
    std::vector<std::size_t> starts;
    std::size_t at = 0;
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    while (at < line.size()) {
        while (at < line.size() && blank(line[at])) ++at;
        if (at == line.size()) break;
        starts.push_back(at);
        bool inside = false;
        std::size_t backslashes = 0;
        for (; at < line.size() && (inside || !blank(line[at])); ++at) {
            if (line[at] == L'\\') {
                ++backslashes;
                continue;
            }
            if (line[at] == L'"' && backslashes % 2 == 0) inside = !inside;
            backslashes = 0;
        }
    }
    return starts;
}

// The text of the argument that starts at `start`, quotes and all.
inline std::wstring raw_argument(const std::wstring& line, const std::vector<std::size_t>& starts, std::size_t i)
{
    std::size_t end = i + 1 < starts.size() ? starts[i + 1] : line.size();
    while (end > starts[i] && (line[end - 1] == L' ' || line[end - 1] == L'\t')) --end;
    return line.substr(starts[i], end - starts[i]);
}

// One argument as the C runtime of the program started splits its command
// line: backslashes are literal except before a quote. cmd's own operators
// are quoted too, since the line may reach cmd before the program.
inline std::wstring quoted(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"&|<>^()%!,;=") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// Runs `command` (the program first, found as CreateProcess finds it) with
// the three standard handles of this one, error output to `errors` when
// given; the exit code, or nothing with the reason in `why`.
inline std::optional<DWORD> run_line(std::wstring line, const std::string& program, HANDLE errors, std::string& why,
                                     const wchar_t* application = nullptr)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = errors != nullptr ? errors : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        why = "cannot start " + program + " (Windows error " +
              std::to_string(GetLastError()) + ")\n";
        return std::nullopt;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

inline std::optional<DWORD> run(const std::vector<std::string>& command, HANDLE errors, std::string& why)
{
    std::wstring line;
    for (const std::string& argument : command) line += (line.empty() ? L"" : L" ") + quoted(wide(argument));
    return run_line(line, command.empty() ? std::string() : command.front(), errors, why);
}

// cmd.exe of the system folder, the one the library runs its commands with.
inline std::wstring system_cmd()
{
    wchar_t folder[MAX_PATH];
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, n < MAX_PATH ? n : 0) + L"\\cmd.exe";
}

inline void append_record(const std::string& log, const std::string& label, long status,
                          const std::vector<std::string>& arguments, const std::string& errors)
{
    std::string record = label + '\0' + std::to_string(status) + '\0' + std::to_string(arguments.size()) + '\0';
    for (const std::string& argument : arguments) record += argument + '\0';
    for (const char c : errors)
        if (c != '\0') record += c;
    record += '\0';
    std::ofstream out(wide(log).c_str(), std::ios::binary | std::ios::app);
    out << record;
}

}  // namespace stand_in
