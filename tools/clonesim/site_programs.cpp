#include "site_programs.h"

#include <fstream>
#include <sstream>

namespace clonesim {

namespace {

constexpr const char* additional_program_variable = "KXPDM_ADDITIONAL_IMPORT_PROGRAM";
constexpr const char* check_switch_variable = "KXPDM_PFM_ITEMID_PROPERTY";
constexpr const char* root_variable = "PDM_ROOT";

std::string wrapper() { return (tools_directory() / "site-program").string(); }

env_setting* setting(std::vector<env_setting>& env, const std::string& name)
{
    for (env_setting& s : env)
        if (s.name == name && s.value.has_value() && !s.value->empty()) return &s;
    return nullptr;
}

// The item ID check is "$PDM_ROOT/bin/perl $PDM_ROOT/bin/kxpdm_check_pfm.pl
// part": a root of clonesim's own whose perl runs the real pair through the
// wrapper.
void wrap_item_id_check(env_setting& root, const std::filesystem::path& directory, const std::filesystem::path& log)
{
    const std::filesystem::path fake = directory / "pdm_root";
    std::filesystem::create_directories(fake / "bin");
    const std::string real = *root.value;
    const std::filesystem::path perl = fake / "bin" / "perl";
    std::ofstream script(perl, std::ios::binary);
    script << "#!/bin/sh\n# clonesim: runs the site's item ID check through its logging wrapper\nshift\n"
           << "exec " << shell_quote(wrapper()) << " " << shell_quote(log.string()) << " 'item ID check' "
           << shell_quote(real + "/bin/perl") << " " << shell_quote(real + "/bin/kxpdm_check_pfm.pl") << " \"$@\"\n";
    script.close();
    std::filesystem::permissions(perl, std::filesystem::perms::owner_all);
    root.value = fake.string();
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

}  // namespace

std::string shell_quote(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

site_program_watch watch_site_programs(const scenario& scene, const std::filesystem::path& directory)
{
    site_program_watch watch;
    watch.env = scene.env;
    watch.log = directory / "site_programs.log";
    if (env_setting* program = setting(watch.env, additional_program_variable)) {
        const std::string own = *program->value;
        program->value = shell_quote(wrapper()) + " " + shell_quote(watch.log.string()) +
                         " 'additional import program' " + own;
        watch.shown_as.emplace_back(*program->value, own);
    }
    env_setting* root = setting(watch.env, root_variable);
    if (root != nullptr && setting(watch.env, check_switch_variable) != nullptr)
        wrap_item_id_check(*root, directory, watch.log);
    return watch;
}

std::vector<program_run> read_program_log(const std::filesystem::path& log)
{
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
