#include "import/pre_import_checks.h"

#include "import/import_attr_map.h"
#include "platform/platform.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "session/settings.h"

namespace kx {

namespace {

// The check script's verdict that the mapped item ID and revision may be used.
constexpr int mapping_allowed = 1;

// The part name reaches each program as one quoted argument. The
// interpreter and its script must be there: an interpreter that fails to
// find a program may end with the very code that lets the mapping through.
platform::command item_id_check_command(std::string_view pdm_root, std::string_view part_spec)
{
    const std::string bin = platform::join_path(pdm_root, "bin");
    return {"",
            {platform::join_path(bin, "perl"), platform::join_path(bin, "kxpdm_check_pfm.pl"), std::string(part_spec)},
            2};
}

platform::command additional_import_command(std::string_view program, std::string_view part_spec)
{
    // The site's program text is its own command, options and all.
    return {std::string(program), {std::string(part_spec)}};
}

}  // namespace

int map_item_id_and_revision(const char* part_spec, const import_map_setting& setting, host_text& item_id,
                             host_text& revision)
{
    item_id.reset();
    revision.reset();

    const bool check_on = platform::env_is_set_non_empty(setting::pfm_itemid_property);
    const auto pdm_root = platform::get_env(setting::pdm_root);

    if (!setting.has_value() || setting->empty()) return 0;

    if (check_on) {
        // Without an installation root there is no interpreter to ask, and
        // an unchecked part must not take the mapped identity.
        if (!pdm_root.is_set_non_empty()) {
            platform::print(msg::pdm_root_not_set(view(part_spec)));
            return 0;
        }
        // A root the platform cannot hand over names no interpreter either.
        const std::string* root = pdm_root.exact();
        if (root == nullptr) return 0;
        if (platform::run(item_id_check_command(*root, view(part_spec))) != mapping_allowed) return 0;
    }
    return lookup_item_id_and_revision(part_spec, item_id, revision);
}

int run_additional_import_program(const char* part_spec)
{
    const auto program = platform::get_env(setting::additional_import_program);
    if (!program.is_set_non_empty()) return 0;

    // A program text the platform cannot hand over names no program: it
    // cannot be started, and the part is refused as for any such program.
    const int code = program.usable() ? platform::run(additional_import_command(*program.exact(), view(part_spec)))
                                      : platform::not_started;
    if (code != 0) {
        platform::print(msg::program_returned(*program.shown(), code, view(part_spec)));
    }
    return code;
}

}  // namespace kx
