#include "platform/os.h"

#include "platform/platform.h"
#include "platform/system_error_win.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

namespace clonesim::os {

namespace {

// Texts are in the process's ANSI code page, as the host's and the
// library's are; the wide calls get them converted exactly.
std::wstring wide(const std::string& text)
{
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

using platform::win::last_error;

std::filesystem::path temp_folder()
{
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH) throw failure("cannot find the temporary folder: " + last_error());
    return std::filesystem::path(std::wstring(buffer, n));
}

std::string random_suffix()
{
    static std::mt19937 generator{std::random_device{}() ^ GetCurrentProcessId()};
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof letters - 2);
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix += letters[pick(generator)];
    return suffix;
}

// A record of NUL-ended fields, the form the stand-ins read.
void write_fields(const std::filesystem::path& file, const std::vector<std::string>& fields)
{
    std::ofstream out(file, std::ios::binary);
    for (const std::string& field : fields) out << field << '\0';
    out.close();
    if (!out) throw failure("cannot write " + os::text_of(file));
}

}  // namespace

const char* system_name() { return kx::platform::system_name(); }

void keep_line_ends()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::optional<std::string> get_variable(const std::string& name)
{
    const std::wstring key = wide(name);
    DWORD size = GetEnvironmentVariableW(key.c_str(), nullptr, 0);
    if (size == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::string>("");
    std::wstring value(size, L'\0');
    size = GetEnvironmentVariableW(key.c_str(), value.data(), size);
    value.resize(size);
    return narrow(value);
}

// The library reads the process's environment block, not the C runtime's
// copy, and hands the block to the programs it runs.
void set_variable(const std::string& name, const std::string& value)
{
    SetEnvironmentVariableW(wide(name).c_str(), wide(value).c_str());
}

void unset_variable(const std::string& name) { SetEnvironmentVariableW(wide(name).c_str(), nullptr); }

namespace {

bool ascii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::wstring wide_from(UINT code_page, DWORD flags, const std::string& text)
{
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(code_page, flags, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace

std::optional<std::string> to_host_text(const std::string& utf8)
{
    if (ascii(utf8) || GetACP() == CP_UTF8) return utf8;
    const std::wstring text = wide_from(CP_UTF8, MB_ERR_INVALID_CHARS, utf8);
    if (text.empty()) return std::nullopt;
    // No best fit: a Greek omega must not slip in as "O", nor any other
    // character as the default "?".
    BOOL defaulted = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, &defaulted);
    if (n <= 0 || defaulted) return std::nullopt;
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, &defaulted);
    if (defaulted || wide(out) != text) return std::nullopt;
    return out;
}

std::string from_host_text(const std::string& host)
{
    if (ascii(host) || GetACP() == CP_UTF8) return host;
    const std::wstring text = wide(host);
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return host;
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::string host_code_page()
{
    const UINT page = GetACP();
    return page == CP_UTF8 ? "" : "Windows-" + std::to_string(page);
}

std::filesystem::path path_of(const std::string& text) { return std::filesystem::path(wide(text)); }

std::string text_of(const std::filesystem::path& path) { return narrow(path.native()); }

std::optional<std::string> host_text_of(const std::filesystem::path& path)
{
    // path::string() is UTF-8 under mingw: the wide name goes through UTF-8
    // to the code page, with no best fit.
    const std::u8string utf8 = path.u8string();
    return to_host_text(std::string(utf8.begin(), utf8.end()));
}

std::filesystem::path make_temp_directory(const std::string& prefix)
{
    const std::filesystem::path base = temp_folder();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path folder = base / (prefix + "-" + random_suffix());
        if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw failure("cannot make a temporary directory in " + os::text_of(base) + ": " + last_error());
    }
    throw failure("cannot make a temporary directory in " + os::text_of(base) + ": every name tried is taken");
}

std::filesystem::path executable()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::filesystem::path(buffer.substr(0, n));
        buffer.resize(buffer.size() * 2);
    }
}

void* load_library(const std::filesystem::path& path)
{
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) throw failure("cannot load " + os::text_of(path) + ": " + last_error());
    return reinterpret_cast<void*>(module);
}

void* find_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void on_fatal_signals(void (*handler)(int))
{
    for (const int signal_number : {SIGSEGV, SIGABRT, SIGFPE, SIGILL}) std::signal(signal_number, handler);
}

void write_error_now(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void exit_now(int status) { _exit(status); }

// The library writes to the process's standard output handle; the C
// runtime's descriptor 1 (the library and clonesim share msvcrt.dll) and
// the programs the library starts, which inherit the handle, go the same
// way.
struct output_capture::state {
    std::filesystem::path path;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE saved_handle = INVALID_HANDLE_VALUE;
    int saved_descriptor = -1;
    bool redirected = false;

    void restore()
    {
        if (!redirected) return;
        std::fflush(stdout);
        if (saved_descriptor >= 0) {
            _dup2(saved_descriptor, 1);
            _close(saved_descriptor);
            saved_descriptor = -1;
        }
        SetStdHandle(STD_OUTPUT_HANDLE, saved_handle);
        redirected = false;
    }

    void close()
    {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        if (!path.empty()) DeleteFileW(path.c_str());
        path.clear();
    }
};

output_capture::output_capture() : state_(std::make_unique<state>())
{
    std::fflush(stdout);
    const std::filesystem::path folder = temp_folder();
    // Not inheritable: the library hands the programs it runs a handle of
    // their own. Deleted on close, so that the file goes with the last
    // handle even when a program that could not start left one behind.
    for (int attempt = 0; attempt < 100 && state_->file == INVALID_HANDLE_VALUE; ++attempt) {
        state_->path = folder / ("clonesim-output-" + random_suffix() + ".txt");
        state_->file = CreateFileW(state_->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (state_->file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (state_->file == INVALID_HANDLE_VALUE) {
        const std::string reason = last_error();
        state_->path.clear();
        throw failure("cannot capture standard output: " + reason);
    }
    state_->saved_handle = GetStdHandle(STD_OUTPUT_HANDLE);
    // Descriptor 1 gets a handle of its own, so that closing it never
    // closes the file read back at the end.
    HANDLE for_runtime = INVALID_HANDLE_VALUE;
    if (DuplicateHandle(GetCurrentProcess(), state_->file, GetCurrentProcess(), &for_runtime, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(for_runtime), _O_WRONLY | _O_BINARY);
        if (descriptor < 0) {
            CloseHandle(for_runtime);
        } else {
            state_->saved_descriptor = _dup(1);
            _dup2(descriptor, 1);
            _close(descriptor);
        }
    }
    SetStdHandle(STD_OUTPUT_HANDLE, state_->file);
    state_->redirected = true;
}

output_capture::~output_capture()
{
    state_->restore();
    state_->close();
}

std::string output_capture::finish()
{
    state_->restore();
    std::string text;
    if (state_->file == INVALID_HANDLE_VALUE) return text;
    SetFilePointer(state_->file, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(state_->file, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    state_->close();
    // cmd and the programs it runs end their lines with "\r\n"; the report
    // shows lines.
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
    return lines;
}

// cmd's own "del" deletes the mapping files: nothing stands in for it.
std::optional<std::filesystem::path> del_stand_in_directory(const std::filesystem::path&) { return std::nullopt; }

std::filesystem::path tool(const std::filesystem::path& tools, const std::string& name)
{
    return tools / (name + ".exe");
}

// A copy of clonesim's forwarding program, told what to do by the file
// beside it: the target, whether to drop its first argument, the prefix
// swap and the leading arguments.
void write_forwarding_program(const std::filesystem::path& file, const forwarding& how)
{
    std::error_code ec;
    std::filesystem::remove(file, ec);
    const std::filesystem::path program = tool(executable().parent_path(), "clonesim-forward");
    std::filesystem::create_hard_link(program, file, ec);
    if (ec) std::filesystem::copy_file(program, file, ec);
    if (ec) throw failure("cannot make " + os::text_of(file) + ": " + ec.message());
    std::vector<std::string> fields{os::text_of(how.target), how.drop_first ? "drop" : "keep", how.from, how.to};
    fields.insert(fields.end(), how.leading.begin(), how.leading.end());
    write_fields(std::filesystem::path(file.native() + L".forward"), fields);
}

// The answers go beside the log, where the one answering program reads them.
std::filesystem::path write_answer_program(const std::filesystem::path& tools, const std::filesystem::path&,
                                           const std::filesystem::path& log, const std::vector<answer>& answers)
{
    std::vector<std::string> fields;
    for (const answer& a : answers) {
        fields.push_back(a.key);
        fields.push_back(std::to_string(a.exit_code));
    }
    write_fields(std::filesystem::path(log.native() + L".answers"), fields);
    return tool(tools, "clonesim-answer");
}

// "=" and the bytes in hexadecimal: letters and digits alone pass cmd and
// the C runtime unchanged.
bool device_name(const std::filesystem::path& name)
{
    // The part before the first dot, blanks at its end left out, names the
    // device whatever the folder and the extension.
    std::wstring stem = name.filename().native();
    stem = stem.substr(0, stem.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" || stem == L"CONOUT$")
        return true;
    if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t digit = stem[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3';
}

std::string not_started_status(int exit_status)
{
    // cmd's own status for a program it cannot find or start ("... is not
    // recognized as an internal or external command").
    if (exit_status == 9009) return "which cmd gives for a command it cannot find or start";
    return {};
}

std::string answer_program_text(const std::string& text)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out = "=";
    for (const unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string interpreter_file_name(const std::string& name) { return name + ".exe"; }

char path_list_separator() { return ';'; }

}  // namespace clonesim::os
