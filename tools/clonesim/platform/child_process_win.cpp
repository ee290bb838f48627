#include "platform/child_process.h"

#if defined(_WIN32)

#include "platform/system_error_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <csignal>
#include <cstdio>
#include <map>

namespace clonesim::platform {

namespace {

// The children started and not yet waited for, by process id, with the
// process handle that keeps the id from being reused until it is closed.
std::map<child_id, HANDLE>& running()
{
    static std::map<child_id, HANDLE> handles;
    return handles;
}

using win::last_error;

// An argument is a text in the ANSI code page, as the child's C runtime
// hands its argv back; one that does not come back the same from the wide
// command line would reach the child as another text.
std::wstring wide_argument(const std::string& text)
{
    if (text.find('\0') != std::string::npos) throw process_error("cannot pass an argument holding a NUL character");
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n);
    BOOL lossy = FALSE;
    std::string back(text.size() * 2 + 8, '\0');
    const int m = n <= 0 ? 0
                         : WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, out.data(), n, back.data(),
                                               static_cast<int>(back.size()), nullptr, &lossy);
    back.resize(static_cast<std::size_t>(std::max(m, 0)));
    if (n <= 0 || lossy || back != text)
        throw process_error("cannot pass the argument \"" + text + "\": the ANSI code page does not hold it");
    return out;
}

// One argument as the C runtime's argv parser takes it back whole: in
// quotes, a quote inside escaped, and the backslashes before a quote (an
// inner one or the closing one) doubled; other backslashes are literal.
void append_quoted(std::wstring& line, const std::wstring& argument)
{
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

class inheritable_file {
public:
    inheritable_file(const std::filesystem::path& file, bool for_writing)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const std::wstring name = file.empty() ? L"NUL" : file.native();
        handle_ = CreateFileW(name.c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                              for_writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            throw process_error("cannot open " + (file.empty() ? std::string("NUL") : file.string()) + " for a child: " + last_error());
    }
    ~inheritable_file() { CloseHandle(handle_); }
    inheritable_file(const inheritable_file&) = delete;
    inheritable_file& operator=(const inheritable_file&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Only the child's own three handles are inherited, never another
// inheritable handle this process holds at the time (a captured output, a
// sibling's files).
class handle_list {
public:
    explicit handle_list(std::vector<HANDLE> handles) : handles_(std::move(handles))
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) throw process_error("cannot start a process: " + last_error());
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            const std::string reason = last_error();
            DeleteProcThreadAttributeList(list_);
            throw process_error("cannot start a process: " + reason);
        }
    }
    ~handle_list() { DeleteProcThreadAttributeList(list_); }
    handle_list(const handle_list&) = delete;
    handle_list& operator=(const handle_list&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A console's Ctrl+C, Ctrl+Break or close, noted as the POSIX signal of the
// same meaning; the event wakes a wait for the children.
std::atomic<int> stop_request{0};
HANDLE stop_event = nullptr;

BOOL WINAPI note_stop_request(DWORD event)
{
    stop_request = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    if (stop_event != nullptr) SetEvent(stop_event);
    return TRUE;
}

void throw_if_stopped()
{
    if (const int signal = stop_request.load(); signal != 0) throw interrupted(signal);
}

struct exception_name {
    DWORD code;
    const char* name;
};

constexpr exception_name exception_names[] = {
    {0xC0000005, "access violation"},
    {0xC0000006, "in-page error"},
    {0xC000001D, "illegal instruction"},
    {0xC0000025, "noncontinuable exception"},
    {0xC000008C, "array bounds exceeded"},
    {0xC0000094, "integer division by zero"},
    {0xC0000095, "integer overflow"},
    {0xC00000FD, "stack overflow"},
    {0xC000013A, "control-C exit"},
    {0xC0000374, "heap corruption"},
    {0xC0000409, "stack buffer overrun"},
};

std::string ending_text(unsigned long code, bool& exited)
{
    // Exit codes in the range of error statuses are what the system gives a
    // process that an exception ended; no program of ours exits with one.
    if (code >= 0xC0000000ul) {
        exited = false;
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", code);
        std::string how = std::string("exception ") + hex;
        for (const exception_name& e : exception_names)
            if (e.code == code) how += std::string(" (") + e.name + ")";
        return how;
    }
    exited = true;
    return "exit status " + std::to_string(code);
}

}  // namespace

child_id start_child(const child_start& start)
{
    // The path given, completed from the current folder when relative: never
    // a program of the same name found elsewhere.
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::absolute(start.program, ec);
    if (ec) throw process_error("cannot start " + start.program.string() + ": " + ec.message());
    // The program's own name is taken by the C runtime up to the next quote,
    // with no escapes; a Windows file name never holds one.
    if (program.native().find(L'"') != std::wstring::npos)
        throw process_error("cannot start " + program.string() + ": its name holds a quote");
    std::wstring line = L"\"" + program.native() + L"\"";
    for (const std::string& argument : start.arguments) {
        line += L' ';
        append_quoted(line, wide_argument(argument));
    }

    // Children that run side by side must not read the console in turns.
    const inheritable_file input({}, false);
    const inheritable_file output(start.output, true);
    const inheritable_file errors(start.errors, true);
    const handle_list inherit({input.get(), output.get(), errors.get()});

    STARTUPINFOEXW info{};
    info.StartupInfo.cb = sizeof info;
    info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    info.StartupInfo.hStdInput = input.get();
    info.StartupInfo.hStdOutput = output.get();
    info.StartupInfo.hStdError = errors.get();
    info.lpAttributeList = inherit.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        nullptr, &info.StartupInfo, &process))
        throw process_error("cannot start " + program.string() + ": " + last_error());
    CloseHandle(process.hThread);
    const auto id = static_cast<child_id>(process.dwProcessId);
    running()[id] = process.hProcess;
    return id;
}

child_end wait_any_child()
{
    if (running().empty()) throw process_error("no child process is running");
    // One wait takes at most 64 handles: with more children, each group is
    // looked at in turn, briefly, until one of them has ended.
    // The stop event takes one place in every group.
    std::vector<std::pair<child_id, HANDLE>> children(running().begin(), running().end());
    const std::size_t per_group = stop_event != nullptr ? MAXIMUM_WAIT_OBJECTS - 1 : MAXIMUM_WAIT_OBJECTS;
    const bool one_group = children.size() <= per_group;
    for (;;) {
        for (std::size_t first = 0; first < children.size(); first += per_group) {
            throw_if_stopped();
            const std::size_t count = std::min<std::size_t>(per_group, children.size() - first);
            std::vector<HANDLE> group;
            for (std::size_t i = first; i < first + count; ++i) group.push_back(children[i].second);
            if (stop_event != nullptr) group.push_back(stop_event);
            const DWORD got = WaitForMultipleObjects(static_cast<DWORD>(group.size()), group.data(), FALSE, one_group ? INFINITE : 20);
            if (got == WAIT_TIMEOUT) continue;
            if (got == WAIT_OBJECT_0 + count && stop_event != nullptr) throw_if_stopped();
            if (got >= WAIT_OBJECT_0 + count) throw process_error("cannot wait for a child process: " + last_error());
            const auto [id, handle] = children[first + (got - WAIT_OBJECT_0)];
            DWORD code = 0;
            const bool known = GetExitCodeProcess(handle, &code);
            const std::string reason = known ? std::string() : last_error();
            CloseHandle(handle);
            running().erase(id);
            if (!known) throw process_error("cannot learn how a child process ended: " + reason);
            child_end end;
            end.id = id;
            end.how = ending_text(code, end.exited);
            if (end.exited) end.exit_status = static_cast<int>(code);
            return end;
        }
    }
}

void stop_child(child_id id)
{
    const auto found = running().find(id);
    if (found == running().end()) return;
    const HANDLE handle = found->second;
    running().erase(found);
    TerminateProcess(handle, 1);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

void catch_stop_requests()
{
    if (stop_event == nullptr) stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_stop_request, TRUE);
}

void end_by(int)
{
    // What the console's own handler would have ended the process with.
    std::fflush(nullptr);
    ExitProcess(0xC000013A);
}

unsigned core_count()
{
    // The processors this process may use, which a job or an affinity set
    // at its start may hold below those the machine has.
    DWORD_PTR process = 0, system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
    return 1;
}

}  // namespace clonesim::platform

#endif
