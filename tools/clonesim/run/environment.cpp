#include "run/environment.h"

#include "platform/os.h"
#include "run/run_error.h"
#include "texts/texts.h"
#include "session/settings.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace clonesim {

namespace {

// The variables the library reads.
constexpr std::array<const char*, 7> library_variables = {
    kx::setting::import_attr_map_file, kx::setting::pfm_itemid_property,    kx::setting::pdm_root,
    kx::setting::additional_import_program, kx::setting::keep_user_names, kx::setting::no_save_on_import,
    kx::setting::allow_family_instances,
};

}  // namespace

bool runs_from_build_tree()
{
    std::error_code ec;
    const auto self = std::filesystem::weakly_canonical(os::executable(), ec);
    if (ec || self.empty()) return false;
    const auto tree = std::filesystem::weakly_canonical(std::filesystem::path(KX_CLONESIM_BUILD_TREE), ec);
    if (ec || tree.empty()) return false;
    auto [in_tree, in_self] = std::mismatch(tree.begin(), tree.end(), self.begin(), self.end());
    return in_tree == tree.end() || (in_tree->empty() && std::next(in_tree) == tree.end());
}

std::filesystem::path tools_directory()
{
    std::error_code ec;
    const auto self = os::executable();
    if (!self.empty() && std::filesystem::exists(os::tool(self.parent_path(), "site-program"), ec))
        return self.parent_path();
    // A copied clonesim that lost its programs must say so rather than run
    // a developer's: only a build's own programs and tests reach the source.
    if (!self.empty() && !runs_from_build_tree()) return self.parent_path();
    return KX_CLONESIM_TOOLS_DIR;
}

std::filesystem::path make_temp_directory(const std::string& prefix)
{
    try {
        std::filesystem::path folder = os::make_temp_directory(prefix);
        // The library is given paths in this folder (the server's mapping
        // files) in the host's code page: a folder it cannot name (a user
        // "José" under a code page without "é") would reach the library as
        // another folder, so the run stops here instead.
        if (!os::host_text_of(folder).has_value()) {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
            const std::u8string shown = folder.u8string();
            throw run_error("the temporary folder " + std::string(shown.begin(), shown.end()) +
                            " cannot be written in the host's code page (" + os::host_code_page() +
                            "): set TEMP to a folder it can name");
        }
        return folder;
    } catch (const os::failure& e) {
        throw run_error(e.what());
    }
}

void set_environment(const std::vector<env_setting>& env)
{
    for (const char* name : library_variables) os::unset_variable(name);
    for (const env_setting& setting : env) {
        if (setting.value.has_value())
            os::set_variable(setting.name, *setting.value);
        else
            os::unset_variable(setting.name);
    }
    // The library deletes files with the host platform's "del" command,
    // which is clonesim's stand-in where the system has none of its own.
    const auto del_directory = os::del_stand_in_directory(tools_directory());
    if (!del_directory.has_value()) return;
    const std::string current = os::get_variable("PATH").value_or("");
    const std::string tools = del_directory->string();
    const char separator = os::path_list_separator();
    // Put first once: every session of a sweep sets it again.
    if (current == tools || current.rfind(tools + separator, 0) == 0) return;
    os::set_variable("PATH", tools + (!current.empty() ? separator + current : std::string()));
}

void place_files(scenario& scene, const std::filesystem::path& folder,
                 std::vector<std::pair<std::string, std::string>>& stand_ins)
{
    if (scene.files.empty()) return;
    std::filesystem::create_directories(folder);
    std::vector<std::pair<std::string, std::string>> names;
    for (std::size_t i = 0; i < scene.files.size(); ++i) {
        const file_seed& seed = scene.files[i];
        const std::filesystem::path base = os::path_of(same_separators(seed.path)).filename();
        // Written under that name the content would go to the device.
        if (os::device_name(base))
            throw run_error("the scenario's file " + seed.path + " is named as a device of the system; rename it");
        // The file keeps its own name, which the library may show.
        const std::filesystem::path placed = folder / std::to_string(i + 1) / base;
        std::filesystem::create_directories(placed.parent_path());
        if (seed.content.has_value()) {
            std::ofstream out(placed, std::ios::binary);
            out << *seed.content;
            if (!out) throw run_error("cannot write " + placed.string());
        }
        names.emplace_back(seed.path, os::text_of(placed));
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
    saved_ = os::get_variable(name);
    os::set_variable(name, value->string());
    set_ = true;
}

variable_scope::~variable_scope()
{
    if (!set_) return;
    if (saved_.has_value())
        os::set_variable(name_, *saved_);
    else
        os::unset_variable(name_);
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
