#include "interfaces/platform.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <array>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

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
#ifdef _WIN32
        return raw;
#else
        if (raw == -1) return -1;
        if (WIFEXITED(raw)) {
            const int code = WEXITSTATUS(raw);
            // The shell reports 127 when it cannot start the interpreter
            // itself; a program that is not found also gives 127, which is
            // an ordinary non-zero exit for the callers.
            return code;
        }
        return -1;
#endif
    }

    std::string current_directory() override
    {
        std::vector<char> buffer(4096);
#ifdef _WIN32
        if (_getcwd(buffer.data(), static_cast<int>(buffer.size())) == nullptr) return {};
#else
        if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
#endif
        return std::string(buffer.data());
    }
};

system_interface* installed = nullptr;

}  // namespace

std::optional<std::string> system_interface::read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return std::nullopt;
    std::string content;
    std::array<char, 8192> block;
    while (file.read(block.data(), block.size()) || file.gcount() > 0) {
        content.append(block.data(), static_cast<std::size_t>(file.gcount()));
    }
    // A path that opens but cannot be read through (a directory on some
    // systems, a failing device) gives nothing rather than a part of it.
    if (file.bad()) return std::nullopt;
    return content;
}

system_interface& real_system()
{
    static os_system instance;
    return instance;
}

system_interface* install(system_interface* fake)
{
    system_interface* previous = installed;
    installed = fake;
    return previous;
}

system_interface& current() { return installed != nullptr ? *installed : real_system(); }

std::optional<std::string> get_env(const char* name) { return current().get_env(name); }

bool env_is_set_non_empty(const char* name)
{
    const auto value = get_env(name);
    return value.has_value() && !value->empty();
}

void print(std::string_view text) { current().write_stdout(text); }

std::string current_directory() { return current().current_directory(); }

std::optional<std::string> read_file(const std::string& path) { return current().read_file(path); }

std::string command_line(const command& c)
{
    std::string line = c.program;
    for (const std::string& argument : c.file_arguments) {
        if (!line.empty()) line += ' ';
        line += quote_argument(argument);
    }
    return line;
}

int run(const command& c) { return current().run_command(command_line(c)); }

int delete_file(std::string_view path)
{
    const std::string line = command_line(command{"del", {std::string(path)}});
    if (line.size() > delete_command_limit) return -1;
    return current().run_command(line);
}

std::string quote_argument(std::string_view argument)
{
    std::string quoted;
    quoted.reserve(argument.size() + 2);
#ifdef _WIN32
    // cmd.exe: double quotes; a double quote inside cannot be escaped safely,
    // and no Windows file name can hold one.
    quoted += '"';
    for (char c : argument) {
        if (c != '"') quoted += c;
    }
    quoted += '"';
#else
    // POSIX shell: single quotes keep everything literal; an embedded single
    // quote closes the quoting, is escaped, and reopens it.
    quoted += '\'';
    for (char c : argument) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
#endif
    return quoted;
}

char path_separator()
{
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

std::string join_path(std::string_view first, std::string_view second)
{
    std::string path;
    path.reserve(first.size() + 1 + second.size());
    path.append(first);
    path += path_separator();
    path.append(second);
    return path;
}

}  // namespace kx::platform
