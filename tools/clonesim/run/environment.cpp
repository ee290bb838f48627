#include "run/environment.h"

#include "run/run_error.h"
#include "texts/texts.h"
#include "session/settings.h"

#include <stdlib.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace clonesim {

namespace {

// The variables the library reads.
constexpr std::array<const char*, 7> library_variables = {
    kx::setting::import_attr_map_file, kx::setting::pfm_itemid_property,    kx::setting::pdm_root,
    kx::setting::additional_import_program, kx::setting::keep_user_names, kx::setting::no_save_on_import,
    kx::setting::allow_family_instances,
};

}  // namespace

std::filesystem::path tools_directory()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && std::filesystem::exists(self.parent_path() / "del")) return self.parent_path();
    return KX_CLONESIM_TOOLS_DIR;
}

std::filesystem::path make_temp_directory(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw run_error("cannot make a temporary directory in " + pattern + ": " + std::strerror(errno));
    return pattern;
}

void set_environment(const std::vector<env_setting>& env)
{
    for (const char* name : library_variables) unsetenv(name);
    for (const env_setting& setting : env) {
        if (setting.value.has_value())
            setenv(setting.name.c_str(), setting.value->c_str(), 1);
        else
            unsetenv(setting.name.c_str());
    }
    // The library deletes files with the host platform's "del" command.
    const char* path = std::getenv("PATH");
    const std::string tools = tools_directory().string();
    const std::string current = path != nullptr ? path : "";
    // Put first once: every session of a sweep sets it again.
    if (current == tools || current.rfind(tools + ":", 0) == 0) return;
    setenv("PATH", (tools + (!current.empty() ? ":" + current : std::string())).c_str(), 1);
}

void place_files(scenario& scene, const std::filesystem::path& folder,
                 std::vector<std::pair<std::string, std::string>>& stand_ins)
{
    if (scene.files.empty()) return;
    std::filesystem::create_directories(folder);
    std::vector<std::pair<std::string, std::string>> names;
    for (std::size_t i = 0; i < scene.files.size(); ++i) {
        const file_seed& seed = scene.files[i];
        const std::string base = std::filesystem::path(same_separators(seed.path)).filename().string();
        // The file keeps its own name, which the library may show.
        const std::filesystem::path placed = folder / std::to_string(i + 1) / base;
        std::filesystem::create_directories(placed.parent_path());
        if (seed.content.has_value()) {
            std::ofstream out(placed, std::ios::binary);
            out << *seed.content;
            if (!out) throw run_error("cannot write " + placed.string());
        }
        names.emplace_back(seed.path, placed.string());
    }
    auto replace_names = [&names](std::string& text) { text = replace_each(text, names); };
    for (env_setting& setting : scene.env)
        if (setting.value.has_value()) replace_names(*setting.value);
    if (scene.answers.has_value())
        for (recorded_answer& answer : *scene.answers)
            if (answer.reply.has_value()) replace_names(*answer.reply);
    stand_ins.insert(stand_ins.end(), names.begin(), names.end());
}

variable_scope::variable_scope(const char* name, const std::optional<std::filesystem::path>& value) : name_(name)
{
    if (!value.has_value()) return;
    if (const char* old = std::getenv(name)) saved_ = old;
    setenv(name, value->c_str(), 1);
    set_ = true;
}

variable_scope::~variable_scope()
{
    if (!set_) return;
    if (saved_.has_value())
        setenv(name_, saved_->c_str(), 1);
    else
        unsetenv(name_);
}

working_directory::working_directory(const std::filesystem::path& to) : saved_(std::filesystem::current_path())
{
    std::error_code ec;
    std::filesystem::current_path(to, ec);
    if (ec) throw run_error("cannot change to the scenario's directory " + to.string() + ": " + ec.message());
}

working_directory::~working_directory()
{
    std::error_code ec;
    std::filesystem::current_path(saved_, ec);
}

}  // namespace clonesim
