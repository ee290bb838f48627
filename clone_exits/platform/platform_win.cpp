// The platform on Windows. Texts are in the process's ANSI code page, as the
// host hands them over; they become UTF-16 only at the wide API calls here,
// and a text that does not convert exactly is treated as unusable rather
// than approximated. Commands run through cmd.exe from the system directory.
#include "platform/platform.h"
#include "platform/platform_os.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <memory>
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

// A stand-in for a text the code page cannot hold, for messages only: each
// character it lacks becomes the code page's default character ("?"), never
// a look-alike that could name something.
std::string approximation(std::wstring_view wide)
{
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(wide.size());
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int needed = WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string text(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, wide.data(), length, text.data(), needed, nullptr, nullptr) != needed)
        return std::string();
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

// The name of one entry of an environment block ("=C:=C:\\dir" is "=C:").
std::wstring_view entry_name(std::wstring_view entry)
{
    return entry.substr(0, std::min(entry.find(L'=', 1), entry.size()));
}

// Names in an environment block are kept in order, case ignored.
int compare_names(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}

struct environment_strings_release {
    void operator()(wchar_t* block) const noexcept { FreeEnvironmentStringsW(block); }
};

// The child's environment: the host's as it stands, with
// NoDefaultCurrentDirectoryInExePath added, so that cmd looks for a program
// named without a folder on PATH only and never first in the current folder,
// where the parts are. The host's own environment stays as it is.
std::optional<std::vector<wchar_t>> child_environment()
{
    constexpr std::wstring_view no_current_folder = L"NoDefaultCurrentDirectoryInExePath";
    const std::unique_ptr<wchar_t, environment_strings_release> block(GetEnvironmentStringsW());
    if (!block) return std::nullopt;
    std::vector<std::wstring_view> entries;
    for (const wchar_t* entry = block.get(); *entry != L'\0'; entry += entries.back().size() + 1)
        entries.emplace_back(entry);
    const std::wstring added = std::wstring(no_current_folder) + L"=1";
    const auto at = std::find_if(entries.begin(), entries.end(), [&](std::wstring_view entry) {
        return compare_names(entry_name(entry), no_current_folder) >= 0;
    });
    // Present with any value, it is on already.
    if (at == entries.end() || compare_names(entry_name(*at), no_current_folder) != 0) entries.insert(at, added);
    std::vector<wchar_t> environment;
    for (const std::wstring_view entry : entries) {
        environment.insert(environment.end(), entry.begin(), entry.end());
        environment.push_back(L'\0');
    }
    environment.push_back(L'\0');
    return environment;
}

// Lets a child inherit the given handles and none other that the host holds
// open: an inheritable handle of the host's own, or one the library opened,
// stays out of the programs it runs.
class inherit_only {
public:
    explicit inherit_only(std::vector<HANDLE> handles) : handles_(std::move(handles))
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
        initialized_ = true;
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                      handles_.size() * sizeof(HANDLE), nullptr, nullptr))
            list_ = list;
    }
    inherit_only(const inherit_only&) = delete;
    inherit_only& operator=(const inherit_only&) = delete;
    ~inherit_only()
    {
        if (initialized_) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
    }
    // Null when the list could not be made.
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool initialized_ = false;
};

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
    const std::string extensions = current().get_env("PATHEXT").shown().value_or(".COM;.EXE;.BAT;.CMD");
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
    env_value get_env(const char* name) override
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
            if (length < buffer.size()) {
                const std::wstring_view wide(buffer.data(), length);
                if (auto text = from_wide(wide)) return std::move(*text);
                // There, but not in the host's code page: set, and unusable.
                return env_value::unusable(approximation(wide));
            }
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
        auto environment = child_environment();
        if (!program || !line || !environment) return not_started;
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
        if (!input.valid()) return not_started;
        std::vector<HANDLE> standard{input.get()};
        for (const handle_owner* h : {&output, &error})
            if (h->valid()) standard.push_back(h->get());
        const inherit_only inherited(std::move(standard));
        if (inherited.get() == nullptr) return not_started;

        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof(startup);
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input.get();
        startup.StartupInfo.hStdOutput = output.get();
        startup.StartupInfo.hStdError = error.get();
        startup.lpAttributeList = inherited.get();
        PROCESS_INFORMATION process{};
        std::fflush(nullptr);
        if (!CreateProcessW(program->c_str(), writable.data(), nullptr, nullptr, TRUE,
                            CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT,
                            environment->data(), nullptr, &startup.StartupInfo, &process))
            return not_started;
        const handle_owner process_handle(process.hProcess);
        const handle_owner thread_handle(process.hThread);
        if (WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0) return not_started;
        DWORD code = 0;
        if (!GetExitCodeProcess(process.hProcess, &code)) return not_started;
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

// Whether cmd, having read the program text, stands outside every quote and
// escape, so that the quote that opens the first file argument opens it: a
// '"' switches quoting, and outside quotes '^' makes the next character
// literal. And past a word, so that the argument is an argument: not a
// command (after nothing, "&", "|" or "(") nor a redirection's file (after
// "<" or ">"). A control character ends cmd's line (the file arguments
// would be cut off) and is not run either.
bool ends_outside_quotes(std::string_view text)
{
    bool quoted = false;
    // No text at all: the library's own command, whose first file argument
    // is the program.
    bool after_operator = !text.empty();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return false;
        if (c == '"') {
            quoted = !quoted;
            after_operator = false;
        } else if (quoted || c == ' ' || c == '\t') {
            continue;
        } else if (c == '^') {
            if (++i == text.size()) return false;
            if (static_cast<unsigned char>(text[i]) < 0x20 && text[i] != '\t') return false;
            after_operator = false;
        } else {
            after_operator = std::string_view("<>|&(").find(c) != std::string_view::npos;
        }
    }
    return !quoted && !after_operator;
}

bool changes_quoting(std::string_view text)
{
    return std::any_of(text.begin(), text.end(), [](char ch) {
        return ch == '"' || ch == '^' || (static_cast<unsigned char>(ch) < 0x20 && ch != '\t');
    });
}

bool is_dynamic_variable(std::string_view name)
{
    static constexpr std::string_view dynamic[] = {"CD",          "DATE",          "TIME",
                                                   "RANDOM",      "ERRORLEVEL",    "CMDEXTVERSION",
                                                   "CMDCMDLINE",  "HIGHESTNUMANODENUMBER", "__CD__",
                                                   "__APPDIR__"};
    for (std::string_view d : dynamic) {
        if (d.size() == name.size() && std::equal(d.begin(), d.end(), name.begin(), [](char a, char b) {
                return a == (b >= 'a' && b <= 'z' ? static_cast<char>(b - 'a' + 'A') : b);
            }))
            return true;
    }
    return false;
}

// cmd puts the values of %NAME% into the line before it reads it; a value
// with a quote, a caret or a line break in it would change what the scan of
// the program text saw. Every text between two neighbouring '%' may be a
// reference, whichever way cmd pairs them; after a ':' it edits the value
// (%NAME:~0,4%, %NAME:a=b%), and a replacement may bring in such a character
// of its own.
bool references_keep_quoting(std::string_view text)
{
    std::size_t start = text.find('%');
    while (start != std::string_view::npos) {
        const std::size_t end = text.find('%', start + 1);
        if (end == std::string_view::npos) break;
        const std::string_view reference = text.substr(start + 1, end - start - 1);
        const std::string_view name = reference.substr(0, std::min(reference.find(':'), reference.size()));
        if (!name.empty() && name.find_first_of("\"^") == std::string_view::npos) {
            const env_value value = current().get_env(std::string(name).c_str());
            // cmd's own variables are in no environment; %CMDCMDLINE% holds
            // the quoted part name itself and %CD% a folder name of any
            // characters: their values cannot be looked at, so not run.
            if (!value.is_set() && is_dynamic_variable(name)) return false;
            if (value.is_set()) {
                // An unusable value's stand-in keeps every ASCII character.
                // cmd reads its operators after putting the value in.
                if (changes_quoting(*value.shown()) ||
                    value.shown()->find_first_of("&|<>()") != std::string::npos)
                    return false;
                if (reference.size() > name.size() && changes_quoting(reference.substr(name.size()))) return false;
            }
        }
        start = end;
    }
    return true;
}

}  // namespace

bool output_file::write(std::string_view bytes) noexcept
{
    if (!is_open()) return false;
    const auto handle = reinterpret_cast<HANDLE>(handle_);
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

void output_file::close() noexcept
{
    if (!is_open()) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = closed;
}

file_creation create_new_file(const std::string& path, output_file& file)
{
    file.close();
    const auto wide = to_wide(path);
    if (!wide || wide->empty()) return file_creation::failed;
    // CREATE_NEW fails on every name in use, a link included, and never
    // follows one; no security attributes: no child inherits the handle.
    const HANDLE handle = CreateFileW(wide->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return file_creation::name_taken;
        // A folder of that name may answer "access denied" instead.
        if (GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES) return file_creation::name_taken;
        return file_creation::failed;
    }
    file.handle_ = reinterpret_cast<std::intptr_t>(handle);
    return file_creation::created;
}

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
    // The program's C runtime then reads backslashes before a quote as
    // escapes: those before the closing one are doubled, so that a folder's
    // trailing backslash stays one and the quote closes.
    const std::size_t trailing = argument.size() - std::min(argument.find_last_not_of('\\') + 1, argument.size());
    std::string quoted;
    quoted.reserve(argument.size() + trailing + 2);
    quoted += '"';
    quoted.append(argument);
    quoted.append(trailing, '\\');
    quoted += '"';
    return quoted;
}

char path_separator() { return '\\'; }

bool ends_folder_name(char c) noexcept { return c == '\\' || c == '/'; }

const char* system_name() { return "windows"; }

std::string code_page() { return std::to_string(GetACP()); }

std::string system_interface::utc_time_text()
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
    // cmd counts its limit in the UTF-16 characters it gets.
    const auto wide = to_wide(line);
    if (!wide || wide->size() > interpreter_line_limit) return false;
    if (!ends_outside_quotes(c.program) || !references_keep_quoting(c.program) || !names_a_command(c.program, true))
        return false;
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
