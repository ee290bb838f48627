// The platform on Windows. Texts are in the process's ANSI code page, as the
// host hands them over; they become UTF-16 only at the wide API calls here,
// and a text that does not convert exactly is treated as unusable rather
// than approximated. Commands run through cmd.exe from the system directory.
#include "interfaces/platform.h"
#include "interfaces/platform_os.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace kx::platform {

namespace {

// cmd's limit for a command line.
constexpr std::size_t interpreter_line_limit = 8191;

std::optional<std::wstring> to_wide(std::string_view text)
{
    if (text.empty()) return std::wstring();
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), needed) != needed)
        return std::nullopt;
    return wide;
}

std::optional<std::string> from_wide(std::wstring_view wide)
{
    if (wide.empty()) return std::string();
    if (wide.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const int length = static_cast<int>(wide.size());
    // UTF-8 takes neither the best-fit flag nor a default character; it
    // refuses what it cannot encode instead.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* const used_default_out = utf8 ? nullptr : &used_default;
    const int needed = WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, nullptr, used_default_out);
    if (needed <= 0 || used_default) return std::nullopt;
    std::string text(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, wide.data(), length, text.data(), needed, nullptr, used_default_out) !=
            needed ||
        used_default)
        return std::nullopt;
    return text;
}

// The text survives the way to UTF-16 and back unchanged.
bool converts_exactly(std::string_view text)
{
    const auto wide = to_wide(text);
    if (!wide) return false;
    const auto back = from_wide(*wide);
    return back && *back == text;
}

void write_handle(DWORD which, std::string_view text)
{
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (!text.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
        text.remove_prefix(written);
    }
}

// Owns a kernel handle.
class handle_owner {
public:
    explicit handle_owner(HANDLE h = nullptr) : handle_(h) {}
    handle_owner(const handle_owner&) = delete;
    handle_owner& operator=(const handle_owner&) = delete;
    ~handle_owner()
    {
        if (valid()) CloseHandle(handle_);
    }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// An inheritable copy of one of our standard handles for the child; none
// when we have none (a windowed host).
handle_owner inheritable_std_handle(DWORD which)
{
    const HANDLE own = GetStdHandle(which);
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return handle_owner();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return handle_owner();
    return handle_owner(copy);
}

std::optional<std::wstring> interpreter_path()
{
    std::vector<wchar_t> directory(MAX_PATH + 1);
    UINT length = GetSystemDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
    if (length >= directory.size()) {
        directory.resize(length + 1);
        length = GetSystemDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
    }
    if (length == 0 || length >= directory.size()) return std::nullopt;
    return std::wstring(directory.data(), length) + L"\\cmd.exe";
}

// cmd runs a program named without an extension ("perl") as the first of
// the executable extensions it finds (perl.exe, perl.cmd, ...).
bool program_exists(const std::string& path)
{
    if (current().is_regular_file(path)) return true;
    const std::size_t name_start = path.find_last_of("\\/:");
    const std::string_view name = std::string_view(path).substr(name_start == std::string::npos ? 0 : name_start + 1);
    if (name.empty() || name.find('.') != std::string_view::npos) return false;
    const std::string extensions = current().get_env("PATHEXT").value_or(".COM;.EXE;.BAT;.CMD");
    std::size_t start = 0;
    while (start <= extensions.size()) {
        const std::size_t end = std::min(extensions.find(';', start), extensions.size());
        if (end > start && current().is_regular_file(path + extensions.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

class os_system final : public system_interface {
public:
    std::optional<std::string> get_env(const char* name) override
    {
        // Asked of the process's environment block each time, so that a
        // variable the host sets while running is seen.
        const auto wide_name = to_wide(name);
        if (!wide_name || wide_name->empty()) return std::nullopt;
        std::vector<wchar_t> buffer(256);
        for (;;) {
            SetLastError(ERROR_SUCCESS);
            const DWORD length =
                GetEnvironmentVariableW(wide_name->c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length == 0) {
                if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
                return std::string();  // set to the empty text
            }
            if (length < buffer.size()) return from_wide(std::wstring_view(buffer.data(), length));
            buffer.resize(length);
        }
    }

    void write_stdout(std::string_view text) override
    {
        // Straight to the handle: no C-runtime buffer to fall out of order
        // with the output of the programs run in between.
        write_handle(STD_OUTPUT_HANDLE, text);
    }

    int run_command(const std::string& command_line) override
    {
        const auto program = interpreter_path();
        const auto line = to_wide(command_line);
        if (!program || !line) return -1;
        // The outer quotes are cmd's own under /s: it strips exactly those
        // and keeps the quotes of the line. /d skips AutoRun commands, /v:off
        // keeps '!' literal.
        std::wstring arguments = L"\"" + *program + L"\" /d /v:off /s /c \"" + *line + L"\"";
        std::vector<wchar_t> writable(arguments.begin(), arguments.end());
        writable.push_back(L'\0');

        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const handle_owner input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        const handle_owner output = inheritable_std_handle(STD_OUTPUT_HANDLE);
        const handle_owner error = inheritable_std_handle(STD_ERROR_HANDLE);
        if (!input.valid()) return -1;

        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.get();
        startup.hStdOutput = output.get();
        startup.hStdError = error.get();
        PROCESS_INFORMATION process{};
        std::fflush(nullptr);
        if (!CreateProcessW(program->c_str(), writable.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &process))
            return -1;
        const handle_owner process_handle(process.hProcess);
        const handle_owner thread_handle(process.hThread);
        if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        if (!GetExitCodeProcess(process.hProcess, &code)) return -1;
        return static_cast<int>(code);
    }

    std::string current_directory() override
    {
        const DWORD needed = GetCurrentDirectoryW(0, nullptr);
        if (needed == 0) return {};
        std::vector<wchar_t> buffer(needed);
        const DWORD length = GetCurrentDirectoryW(needed, buffer.data());
        if (length == 0 || length >= needed) return {};
        return from_wide(std::wstring_view(buffer.data(), length)).value_or(std::string());
    }

    std::optional<std::string> read_file(const std::string& path) override
    {
        const auto wide = to_wide(path);
        if (!wide || wide->empty()) return std::nullopt;
        const handle_owner file(CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return std::nullopt;
        std::string content;
        std::vector<char> block(8192);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr))
                return std::nullopt;
            if (got == 0) return content;
            content.append(block.data(), got);
        }
    }
};

}  // namespace

bool system_interface::is_regular_file(const std::string& path)
{
    const auto wide = to_wide(path);
    if (!wide || wide->empty()) return false;
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::string quote_argument(std::string_view argument)
{
    // cmd keeps everything between double quotes literal except '%' and the
    // quote itself; the arguments that hold either are never run (os::may_run).
    std::string quoted;
    quoted.reserve(argument.size() + 2);
    quoted += '"';
    quoted.append(argument);
    quoted += '"';
    return quoted;
}

char path_separator() { return '\\'; }

bool ends_folder_name(char c) noexcept { return c == '\\' || c == '/'; }

const char* system_name() { return "windows"; }

std::string code_page() { return std::to_string(GetACP()); }

std::string utc_time_text()
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    std::array<char, 32> text{};
    const int n = std::snprintf(text.data(), text.size(), "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth,
                                now.wDay, now.wHour, now.wMinute, now.wSecond);
    return n > 0 ? std::string(text.data(), static_cast<std::size_t>(n)) : std::string();
}

unsigned long process_id() { return GetCurrentProcessId(); }

namespace os {

system_interface& real_system_instance()
{
    static os_system instance;
    return instance;
}

bool may_run(const command& c, const std::string& line)
{
    if (line.size() > interpreter_line_limit) return false;
    const bool percent_pairs = std::count(line.begin(), line.end(), '%') >= 2;
    for (const std::string& argument : c.file_arguments) {
        for (char ch : argument) {
            const auto byte = static_cast<unsigned char>(ch);
            if (ch == '"' || byte < 0x20) return false;
            // cmd expands %NAME% even between quotes, and nothing escapes it there.
            if (ch == '%' && percent_pairs) return false;
        }
        if (!converts_exactly(argument)) return false;
    }
    // cmd's own failures (no such program) end with exit codes the programs
    // could give too; only a program that is there is asked.
    const std::size_t programs = std::min(c.program_files, c.file_arguments.size());
    for (std::size_t i = 0; i < programs; ++i) {
        if (!program_exists(c.file_arguments[i])) return false;
    }
    return true;
}

bool may_delete(std::string_view path)
{
    // "del" expands wildcards even between quotes, and asks before emptying
    // a folder.
    if (path.find_first_of("*?") != std::string_view::npos) return false;
    return current().is_regular_file(std::string(path));
}

}  // namespace os

}  // namespace kx::platform
