#include "platform/platform.h"

#include "platform/platform_os.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <vector>
#include <fstream>

namespace kx::platform {

namespace {

system_interface* installed = nullptr;
system_observer* observer = nullptr;

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

system_interface& real_system() { return os::real_system_instance(); }

system_interface* install(system_interface* fake)
{
    system_interface* previous = installed;
    installed = fake;
    return previous;
}

system_interface& current() { return installed != nullptr ? *installed : real_system(); }

system_observer* observe(system_observer* next) noexcept
{
    system_observer* previous = observer;
    observer = next;
    return previous;
}

env_value get_env(const char* name)
{
    env_value value = current().get_env(name);
    if (observer != nullptr) observer->env_read(name, value.shown());
    return value;
}

bool env_is_set_non_empty(const char* name) { return get_env(name).is_set_non_empty(); }

void print(std::string_view text)
{
    current().write_stdout(text);
    if (observer != nullptr) observer->printed(text);
}

std::string current_directory() { return current().current_directory(); }

std::string utc_time_text() { return current().utc_time_text(); }

std::optional<std::string> read_file(const std::string& path)
{
    auto content = current().read_file(path);
    if (observer != nullptr) observer->file_read(path, content);
    return content;
}

std::string command_line(const command& c)
{
    std::string line = c.program;
    for (const std::string& argument : c.file_arguments) {
        if (!line.empty()) line += ' ';
        line += quote_argument(argument);
    }
    return line;
}

int run(const command& c)
{
    const std::string line = command_line(c);
    const int exit_code = os::may_run(c, line) ? current().run_command(line) : -1;
    if (observer != nullptr) observer->command_run(c, line, exit_code);
    return exit_code;
}

namespace os {

bool names_a_command(std::string_view text, bool cmd)
{
    // The library's own command ("del") has no text: its first argument is
    // the program.
    if (text.empty()) return true;
    std::vector<std::string_view> words;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t start = text.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    const auto is_redirection = [](std::string_view word) {
        const std::size_t digits = std::min(word.find_first_not_of("0123456789"), word.size());
        return digits < word.size() && (word[digits] == '<' || word[digits] == '>');
    };
    static constexpr std::string_view shell_words[] = {"!",    "{",    "}",    "if",    "then",  "else",
                                                       "elif", "fi",   "do",   "done",  "case",  "esac",
                                                       "while", "until", "for", "in", "function", "select",
                                                       "[[",   "]]",   "time", "coproc"};
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string_view word = words[i];
        if (cmd) {
            while (!word.empty() && word.front() == '@') word.remove_prefix(1);
            if (word.empty()) continue;
        }
        if (is_redirection(word)) {
            // An operator standing alone takes the next word as its target.
            if (word.find_last_of("<>&") == word.size() - 1) ++i;
            continue;
        }
        if (!cmd) {
            const std::size_t equals = word.find('=');
            const bool assignment = equals != std::string_view::npos && equals > 0 &&
                                    word.substr(0, equals).find_first_not_of(
                                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") ==
                                        std::string_view::npos &&
                                    !(word[0] >= '0' && word[0] <= '9');
            if (assignment) {
                // A quoted or substituted value may hold blanks this reading
                // does not see: such a text is not read, never guessed at.
                if (word.substr(equals + 1).find_first_of("'\"\\`$") != std::string_view::npos) return false;
                continue;
            }
            // A word the shell reads as its own ("! prog", "time prog")
            // still wants a command after it.
            if (std::find(std::begin(shell_words), std::end(shell_words), word) != std::end(shell_words)) continue;
        }
        return true;
    }
    return false;
}

}  // namespace os

namespace {

int run_deletion(std::string_view path)
{
    const command c{"del", {std::string(path)}};
    const std::string line = command_line(c);
    if (line.size() > delete_command_limit) return -1;
    if (!os::may_run(c, line) || !os::may_delete(path)) return -1;
    return current().run_command(line);
}

}  // namespace

int delete_file(std::string_view path)
{
    const int exit_code = run_deletion(path);
    if (observer != nullptr) observer->file_deleted(path, exit_code);
    return exit_code;
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
