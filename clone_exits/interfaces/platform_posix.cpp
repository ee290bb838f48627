// The platform on POSIX systems: the C runtime's environment, the shell
// through system(3), single-quoted arguments, '/' between path elements.
#include "interfaces/platform.h"
#include "interfaces/platform_os.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx::platform {

namespace {

class os_system final : public system_interface {
public:
    std::optional<std::string> get_env(const char* name) override
    {
        const char* value = std::getenv(name);
        if (value == nullptr) return std::nullopt;
        return std::string(value);
    }

    void write_stdout(std::string_view text) override
    {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    int run_command(const std::string& command_line) override
    {
        std::fflush(nullptr);
        const int raw = std::system(command_line.c_str());
        if (raw == -1) return -1;
        if (WIFEXITED(raw)) {
            // The shell reports 127 when it cannot start the interpreter
            // itself; a program that is not found also gives 127, which is
            // an ordinary non-zero exit for the callers.
            return WEXITSTATUS(raw);
        }
        return -1;
    }

    std::string current_directory() override
    {
        std::vector<char> buffer(4096);
        if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
        return std::string(buffer.data());
    }
};

}  // namespace

bool system_interface::is_regular_file(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string quote_argument(std::string_view argument)
{
    // Single quotes keep everything literal; an embedded single quote closes
    // the quoting, is escaped, and reopens it.
    std::string quoted;
    quoted.reserve(argument.size() + 2);
    quoted += '\'';
    for (char c : argument) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

char path_separator() { return '/'; }

bool ends_folder_name(char c) noexcept { return c == '/'; }

const char* system_name()
{
#ifdef __linux__
    return "linux";
#else
    return "posix";
#endif
}

// The library passes the host's bytes through untouched; POSIX hosts speak UTF-8.
std::string code_page() { return "UTF-8"; }

std::string utc_time_text()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (gmtime_r(&now, &parts) == nullptr) return {};
    std::array<char, 32> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text.data(), n);
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

namespace os {

system_interface& real_system_instance()
{
    static os_system instance;
    return instance;
}

// The shell keeps everything inside single quotes literal.
bool may_run(const command&, const std::string&) { return true; }
bool may_delete(std::string_view) { return true; }

}  // namespace os

}  // namespace kx::platform
