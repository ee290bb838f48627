// The names of the settings the library reads: its environment variables
// and the switches of the server's exception list, each written once.
#pragma once

#include <array>
#include <string_view>

namespace kx::setting {

// Environment variables, read at the moment of use.
inline constexpr char import_attr_map_file[] = "KXPDM_IMPORT_ATTR_MAP_FILE";
inline constexpr char pfm_itemid_property[] = "KXPDM_PFM_ITEMID_PROPERTY";
inline constexpr char pdm_root[] = "PDM_ROOT";
inline constexpr char additional_import_program[] = "KXPDM_ADDITIONAL_IMPORT_PROGRAM";
inline constexpr char keep_user_names[] = "USER_NAME_DONT_OVERWRITE_NAME_DESC";
inline constexpr char no_save_on_import[] = "KXPDM_NO_SAVE_ON_CLONE_IMPORT";
inline constexpr char allow_family_instances[] = "HOST_PDM_ALLOW_PFM_IMPORT_EXPORT";
inline constexpr char trace_directory[] = "KXPDM_TRACE_DIR";
inline constexpr char trace_cap_mb[] = "KXPDM_TRACE_MAX_MB";

// Switches of the exception list.
inline constexpr char auto_publish[] = "KXPDM_AUTO_PUBLISH_AFTER_IMPORT";
inline constexpr char fill_original_filename[] = "KXPDM_IMPORT_FILL_ORIGINAL_FILENAME";

// Every environment variable the library reads.
inline constexpr std::array<std::string_view, 9> environment_variables = {
    import_attr_map_file, pfm_itemid_property, pdm_root,        additional_import_program, keep_user_names,
    no_save_on_import,    allow_family_instances, trace_directory, trace_cap_mb};

}  // namespace kx::setting
