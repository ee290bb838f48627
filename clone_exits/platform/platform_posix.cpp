// The platform on POSIX systems: the C runtime's environment, the shell
// through system(3), single-quoted arguments, '/' between path elements.
#include "platform/platform.h"
#include "platform/platform_os.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx::platform {

namespace {

class os_system final : public system_interface {
public:
    env_value get_env(const char* name) override
    {
        // The bytes are the value: every value is usable.
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
        if (raw == -1) return not_started;
        if (WIFEXITED(raw)) {
            // The shell reports 127 when it cannot start the interpreter
            // itself; a program that is not found also gives 127, which is
            // an ordinary non-zero exit for the callers.
            return WEXITSTATUS(raw);
        }
        return not_started;
    }

    std::string current_directory() override
    {
        std::vector<char> buffer(4096);
        if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
        return std::string(buffer.data());
    }
};

// What the shell is inside of while it reads a program text.
enum class context { top, single, ansi_c, double_quote, backquote, substitution, parameter, comment };

bool starts_word(char previous)
{
    return std::string_view(" \t\n;&|()<>").find(previous) != std::string_view::npos;
}

// Whether the shell stands outside every quote, escape, substitution,
// comment and here-document at the end of a program text, so that the
// quoting of the argument that follows is the first the shell meets, and
// past a word, so that the argument is an argument: not a command (after
// nothing, ";", "&", "|", "(" or a line feed) nor a redirection's file
// (after "<" or ">"). `ansi_c` reads $'...' as bash does, where a backslash
// escapes the closing quote; dash reads it as "$" and a plain single quote.
class shell_scan {
public:
    shell_scan(std::string_view text, bool ansi_c) : text_(text), ansi_c_(ansi_c), after_operator_(!text.empty()) {}

    bool ends_outside_quotes()
    {
        for (i_ = 0; i_ < text_.size(); ++i_) {
            if (!step()) return false;
        }
        return open_.size() == 1 && !after_operator_;
    }

private:
    // Reads the character at i_; false when the text cannot be run.
    bool step()
    {
        const char c = text_[i_];
        // A backslash and a line feed vanish before the shell reads on, so
        // "$\<LF>(" opens a substitution as "$(" does.
        after_ = i_ + 1;
        while (after_ + 1 < text_.size() && text_[after_] == '\\' && text_[after_ + 1] == '\n') after_ += 2;
        next_ = after_ < text_.size() ? text_[after_] : '\0';
        const context in = open_.back();
        before_ = std::exchange(previous_, c);
        const bool continuation = c == '\\' && i_ + 1 < text_.size() && text_[i_ + 1] == '\n';
        if (in == context::top && c != ' ' && c != '\t' && !continuation)
            after_operator_ = std::string_view(";&|<>(\n").find(c) != std::string_view::npos;
        if (in == context::single) {
            if (c == '\'') open_.pop_back();
            return true;
        }
        if (in == context::comment) {
            if (c == '\n') {
                open_.pop_back();
                after_operator_ = true;
            }
            return true;
        }
        if (c == '\\') {
            if (++i_ == text_.size()) return false;  // an escape waiting for the argument's first character
            // A backslash and a line feed vanish (the line goes on): what
            // follows them still follows what came before.
            previous_ = text_[i_] == '\n' ? before_ : '\\';
            return true;
        }
        switch (in) {
        case context::ansi_c:
            if (c == '\'') open_.pop_back();
            return true;
        case context::backquote:
            // The shells end it at the first unescaped backquote whatever
            // stands between, but differ in what they make of quotes,
            // comments and substitutions inside: such a text is not read.
            if (c == '`')
                open_.pop_back();
            else if (c == '\'' || c == '"' || c == '#' || (c == '$' && (next_ == '(' || next_ == '{')))
                return false;
            return true;
        case context::double_quote:
            if (c == '"') open_.pop_back();
            break;
        default:
            if (!nest(c, in)) return false;
            break;
        }
        open_substitution(c);
        return true;
    }

    // Outside quotes: what opens or closes a quote, a comment or a
    // substitution; false for a here-document.
    bool nest(char c, context in)
    {
        if (c == '\'') {
            open_.push_back(ansi_c_ && before_ == '$' ? context::ansi_c : context::single);
        } else if (c == '"') {
            open_.push_back(context::double_quote);
        } else if (c == '#' && in != context::parameter && starts_word(before_)) {
            open_.push_back(context::comment);
        } else if (c == '<' && next_ == '<') {
            return false;  // a here-document's body would take in the argument
        } else if ((c == '<' || c == '>') && next_ == '(') {
            open_.push_back(context::substitution);
            previous_ = text_[i_ = after_];
        } else if (c == '(' && in == context::substitution) {
            open_.push_back(context::substitution);
        } else if (c == ')' && in == context::substitution) {
            open_.pop_back();
        } else if (c == '}' && in == context::parameter) {
            open_.pop_back();
        }
        return true;
    }

    // Outside single quotes: a backquote, "$(" or "${".
    void open_substitution(char c)
    {
        if (c == '`') {
            open_.push_back(context::backquote);
        } else if (c == '$' && next_ == '(') {
            open_.push_back(context::substitution);
            previous_ = text_[i_ = after_];
        } else if (c == '$' && next_ == '{') {
            open_.push_back(context::parameter);
            previous_ = text_[i_ = after_];
        }
    }

    std::string_view text_;
    bool ansi_c_;
    std::vector<context> open_{context::top};
    // No text at all: the library's own command, whose first file argument
    // is the program.
    bool after_operator_;
    // What came before the current character; an escaped character counts
    // as none that starts a word or a $'...'.
    char previous_ = ' ';
    char before_ = ' ';
    char next_ = '\0';
    std::size_t i_ = 0;
    std::size_t after_ = 0;
};

bool ends_outside_quotes(std::string_view text, bool ansi_c) { return shell_scan(text, ansi_c).ends_outside_quotes(); }

}  // namespace

bool output_file::write(std::string_view bytes) noexcept
{
    if (!is_open()) return false;
    const int descriptor = static_cast<int>(handle_);
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void output_file::close() noexcept
{
    if (!is_open()) return;
    ::close(static_cast<int>(handle_));
    handle_ = closed;
}

file_creation create_new_file(const std::string& path, output_file& file)
{
    file.close();
    // O_EXCL refuses every name in use, a link that points nowhere included;
    // O_CLOEXEC keeps it from the shells the library starts.
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) return errno == EEXIST ? file_creation::name_taken : file_creation::failed;
    file.handle_ = descriptor;
    return file_creation::created;
}

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

std::string system_interface::utc_time_text()
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

// The shell keeps everything inside single quotes literal, once the program
// text has left it where it started; both shells' readings of $'...' must.
bool may_run(const command& c, const std::string&)
{
    return ends_outside_quotes(c.program, false) && ends_outside_quotes(c.program, true) &&
           names_a_command(c.program, false);
}
bool may_delete(std::string_view) { return true; }

}  // namespace os

}  // namespace kx::platform
