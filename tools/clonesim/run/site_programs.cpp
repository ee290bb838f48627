#include "run/site_programs.h"

#include "platform/os.h"
#include "platform/platform.h"
#include "run/environment.h"
#include "run/run_error.h"
#include "session/settings.h"

#include <fstream>
#include <sstream>

namespace clonesim {

namespace {

// The wrappers are shell scripts run by the command interpreter the library
// uses: the platform's own quoting keeps each argument whole.
std::string shell_quote(const std::string& text) { return kx::platform::quote_argument(text); }

constexpr const char* additional_program_variable = kx::setting::additional_import_program;
constexpr const char* check_switch_variable = kx::setting::pfm_itemid_property;
constexpr const char* root_variable = kx::setting::pdm_root;

std::string wrapper() { return os::text_of(os::tool(tools_directory(), "site-program")); }

env_setting* setting(std::vector<env_setting>& env, const std::string& name)
{
    for (env_setting& s : env)
        if (s.name == name && s.value.has_value() && !s.value->empty()) return &s;
    return nullptr;
}

// The item ID check is "$PDM_ROOT/bin/perl $PDM_ROOT/bin/kxpdm_check_pfm.pl
// part": a root of clonesim's own whose interpreter forwards the run. The
// library runs the check only when both are there, so the script is too.
std::filesystem::path fake_root(const std::filesystem::path& directory, const os::forwarding& how)
{
    const std::filesystem::path fake = directory / "pdm_root";
    std::filesystem::create_directories(fake / "bin");
    std::ofstream(fake / "bin" / "kxpdm_check_pfm.pl", std::ios::binary).close();
    os::write_forwarding_program(fake / "bin" / os::interpreter_file_name("perl"), how);
    return fake;
}

// Watched, the interpreter runs the real pair through the wrapper.
void wrap_item_id_check(env_setting& root, const std::filesystem::path& directory, const std::filesystem::path& log)
{
    const std::string real = *root.value;
    os::forwarding how;
    how.target = wrapper();
    how.leading = {os::text_of(log), "item ID check", kx::platform::join_path(kx::platform::join_path(real, "bin"), "perl"),
                   kx::platform::join_path(kx::platform::join_path(real, "bin"), "kxpdm_check_pfm.pl")};
    how.drop_first = true;
    root.value = os::text_of(fake_root(directory, how));
}

std::vector<std::string> records(const std::string& content)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t at = content.find('\0'); at != std::string::npos; at = content.find('\0', start)) {
        fields.push_back(content.substr(start, at - start));
        start = at + 1;
    }
    return fields;
}

// The key a stand-in looks a run up by: the program text and the arguments,
// one a line, with one separator.
std::string run_key(const std::string& program, const std::vector<std::string>& arguments)
{
    std::string key = program;
    for (const std::string& argument : arguments) key += "\n" + argument;
    return same_separators(key);
}

std::filesystem::path write_answers(const std::vector<recorded_command>& commands, const std::filesystem::path& directory,
                                    const std::filesystem::path& log)
{
    std::vector<os::answer> answers;
    for (const recorded_command& c : commands) answers.push_back({run_key(c.program, c.arguments), static_cast<int>(c.exit)});
    try {
        return os::write_answer_program(tools_directory(), directory, log, answers);
    } catch (const os::failure& e) {
        throw run_error(e.what());
    }
}

}  // namespace

site_program_watch answer_site_programs(const scenario& scene, const std::filesystem::path& directory)
{
    site_program_watch watch;
    watch.env = scene.env;
    watch.log = directory / "site_programs.log";
    watch.answered = true;
    const std::filesystem::path answering =
        write_answers(scene.commands.value_or(std::vector<recorded_command>{}), directory, watch.log);
    const std::string answer = shell_quote(os::text_of(answering));
    const std::string log = shell_quote(os::text_of(watch.log));
    if (env_setting* program = setting(watch.env, additional_program_variable)) {
        const std::string own = *program->value;
        program->value = answer + " " + log + " " + shell_quote("additional import program") + " " +
                         shell_quote(os::answer_program_text(own));
        watch.shown_as.emplace_back(*program->value, own);
    }
    env_setting* root = setting(watch.env, root_variable);
    if (root != nullptr && setting(watch.env, check_switch_variable) != nullptr) {
        // The check is "$PDM_ROOT/bin/perl $PDM_ROOT/bin/kxpdm_check_pfm.pl part":
        // a root of the stand-in's own, whose perl names both as recorded.
        const std::string real = *root->value;
        os::forwarding how;
        how.target = answering;
        how.leading = {os::text_of(watch.log), "item ID check", os::answer_program_text(""),
                       kx::platform::join_path(kx::platform::join_path(real, "bin"), "perl")};
        how.from = os::text_of(directory / "pdm_root");
        how.to = real;
        const std::filesystem::path fake = fake_root(directory, how);
        root->value = os::text_of(fake);
        watch.shown_as.emplace_back(os::text_of(fake), real);
    }
    return watch;
}

site_program_watch watch_site_programs(const scenario& scene, const std::filesystem::path& directory)
{
    site_program_watch watch;
    watch.env = scene.env;
    watch.log = directory / "site_programs.log";
    if (env_setting* program = setting(watch.env, additional_program_variable)) {
        const std::string own = *program->value;
        program->value = shell_quote(wrapper()) + " " + shell_quote(os::text_of(watch.log)) + " " +
                         shell_quote("additional import program") + " " + own;
        watch.shown_as.emplace_back(*program->value, own);
    }
    env_setting* root = setting(watch.env, root_variable);
    if (root != nullptr && setting(watch.env, check_switch_variable) != nullptr)
        wrap_item_id_check(*root, directory, watch.log);
    return watch;
}

std::string as_the_site_shell_says(const std::string& text, const std::string& wrapper_name)
{
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        start = end;
        // dash writes "NAME: 12: ", bash "NAME: line 12: ".
        if (line.rfind(wrapper_name + ": ", 0) == 0) {
            std::size_t at = wrapper_name.size() + 2;
            const bool bash = line.compare(at, 5, "line ") == 0;
            if (bash) at += 5;
            const std::size_t digits = line.find_first_not_of("0123456789", at);
            if (digits != std::string::npos && digits > at && line.compare(digits, 2, ": ") == 0)
                line = std::string(bash ? "sh: line 1" : "sh: 1") + line.substr(digits);
        }
        out += line;
    }
    return out;
}

std::vector<program_run> read_program_log(const site_program_watch& watch)
{
    const std::filesystem::path& log = watch.log;
    std::ifstream in(log, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const auto fields = records(content.str());
    std::vector<program_run> runs;
    for (std::size_t i = 0; i + 3 <= fields.size();) {
        program_run run;
        run.program = fields[i];
        run.exit_status = std::stoi(fields[i + 1]);
        const std::size_t count = std::stoul(fields[i + 2]);
        i += 3;
        for (std::size_t k = 0; k < count && i < fields.size(); ++k, ++i) run.arguments.push_back(fields[i]);
        if (i < fields.size()) run.error_output = as_the_site_shell_says(fields[i++], wrapper());
        run.answered = watch.answered;
        runs.push_back(std::move(run));
    }
    return runs;
}

std::string unwrap_output(std::string text, const site_program_watch& watch)
{
    for (const auto& [wrapped, own] : watch.shown_as)
        for (std::size_t at = text.find(wrapped); at != std::string::npos; at = text.find(wrapped, at + own.size()))
            text.replace(at, wrapped.size(), own);
    return text;
}

}  // namespace clonesim
