// Pins every named host code and every library text to its literal value.
// This is the one place besides the header and the messages module that
// spells them, so that a mistyped value or text cannot copy itself into the
// other tests: they all use the names.
#include "host/host_codes.h"
#include "session/messages.h"
#include "session/settings.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>
#include <string_view>

namespace {

struct pinned_code {
    const char* name;
    int value;
    int literal;
};

TEST(names_and_texts, every_code_keeps_its_value)
{
    const pinned_code codes[] = {
        {"class_unknown", kx::class_unknown, -1},
        {"class_clone", kx::class_clone, 0},
        {"class_edit", kx::class_edit, 1},
        {"class_import", kx::class_import, 2},
        {"class_export", kx::class_export, 3},
        {"point_init_clone", kx::point_init_clone, 0},
        {"point_exit_clone", kx::point_exit_clone, 1},
        {"point_assy_load", kx::point_assy_load, 2},
        {"point_end_assy_load", kx::point_end_assy_load, 3},
        {"point_part_load", kx::point_part_load, 6},
        {"point_begin_perform", kx::point_begin_perform, 10},
        {"point_end_perform", kx::point_end_perform, 11},
        {"point_begin_apply_defaults", kx::point_begin_apply_defaults, 12},
        {"point_after_part", kx::point_after_part, 51},
        {"go_on", kx::go_on, 0},
        {"export_refused", kx::export_refused, 2},
        {"stop_session", kx::stop_session, 3},
        {"translation_no_file_name", kx::translation_no_file_name, 5},
        {"part_state_referenced", kx::part_state_referenced, 1},
        {"part_state_referenced_loaded", kx::part_state_referenced_loaded, 4},
        {"action_new_name", kx::action_new_name, 3},
        {"action_retain", kx::action_retain, 4},
        {"action_use_default", kx::action_use_default, 5},
        {"naming_export", kx::naming_export, 1},
        {"naming_user_name", kx::naming_user_name, 3},
        {"naming_use_default", kx::naming_use_default, 4},
        {"file_type_any", kx::file_type_any, 0},
        {"file_type_part", kx::file_type_part, 2},
        {"close_this_part_only", kx::close_this_part_only, 0},
        {"close_with_components", kx::close_with_components, 1},
        {"close_unloading", kx::close_unloading, 1},
        {"component_loading_member", kx::component_loading_member, 8},
        {"string_attribute", kx::string_attribute, 5},
        {"attribute_query_type", kx::attribute_query_type, 6},
        {"text_read_access", kx::text_read_access, 1},
        {"text_format", kx::text_format, 2004},
        {"text_keep_file", kx::text_keep_file, 0},
        {"text_delete_file", kx::text_delete_file, 1},
        {"text_end_of_file", kx::text_end_of_file, -23},
        {"request_get_export_file_name", kx::request_get_export_file_name, 18},
        {"request_get_export_attributes", kx::request_get_export_attributes, 20},
        {"request_pdi_backfill", kx::request_pdi_backfill, 21},
        {"request_begin_import", kx::request_begin_import, 23},
        {"request_end_import", kx::request_end_import, 24},
        {"request_fill_import_filename", kx::request_fill_import_filename, 25},
        {"request_get_item_type", kx::request_get_item_type, 26},
        {"request_auto_publish", kx::request_auto_publish, 27},
        {"request_prepare_new_items", kx::request_prepare_new_items, 28},
        {"request_check_revision", kx::request_check_revision, 30},
        {"request_get_related_name", kx::request_get_related_name, 31},
        {"request_set_name_description", kx::request_set_name_description, 34},
        {"request_get_owner_name", kx::request_get_owner_name, 35},
        {"request_get_exceptions", kx::request_get_exceptions, 36},
        {"request_not_sent", kx::request_not_sent, 9901},
        {"request_text_too_long", kx::request_text_too_long, 9901},
        {"part_field_unusable", kx::part_field_unusable, 9902},
        {"item_identity_too_long", kx::item_identity_too_long, 9902},
        {"pdi_revision_length", static_cast<int>(kx::pdi_revision_length), 8},
        {"error_box_limit", static_cast<int>(kx::error_box_limit), 132},
        {"listing_message_limit", static_cast<int>(kx::listing_message_limit), 1023},
    };
    for (const pinned_code& c : codes) EXPECT_EQ(c.value, c.literal) << c.name;
    EXPECT_EQ(std::size(kx::all_request_codes), 14u);
    EXPECT_EQ(std::size(kx::session_points), 9u);
}

struct pinned_text {
    std::string value;
    const char* literal;
};

TEST(names_and_texts, every_text_keeps_its_words)
{
    using namespace kx::msg;
    const pinned_text texts[] = {
        {error_box_title, "Error"},
        {std::string(memory), "Error in Memory Allocation..."},
        {std::string(settings), "Error in Getting Exceptions..."},
        {std::string(no_item_type), "Invalid or no Item type selected..."},
        {std::string(generic_item_type), "Cannot create Item of Type Item or Document..."},
        {std::string(mapping), "Error in Getting User Defined Attributes..."},
        {std::string(user_function), "Error from User Function----Part file Not OK for Import"},
        {std::string(identity), "Error in Getting Item ID, Rev ID and Type..."},
        {std::string(item_name), "Error in Setting Item Name..."},
        {std::string(item_description), "Error in Setting Item Description..."},
        {std::string(relation), "Error in Getting Relation..."},
        {std::string(import_record), "Error in Filling Import Structure..."},
        {std::string(long_relation), "Error in Getting Relation: relation longer than 132 characters..."},
        {std::string(long_related_request),
         "Error in Getting Related Part Name: get_related_name request text longer than 132 characters..."},
        {std::string(empty_related_name), "Error in Getting Related Part Name: the PDM server gave none..."},
        {std::string(long_related_name),
         "Error in Getting Related Part Name: related part name longer than 132 characters..."},
        {std::string(long_database_name),
         "Error in Writing Part Name: database part name longer than 256 characters..."},
        {std::string(export_file_name), "Error in Generating the Export Filename"},
        {std::string(name_description), "Problem with setting name and description."},
        {std::string(free_dialog_struct), "Failed to free dialog_struct"},
        {std::string(free_file_struct), "Failed to free file_struct"},
        {tool_pdi_refused("T100", "ABCDEFGH"), "T100/ABCDEFGH is a CORP_Tool PDI. Export not allowed"},
        {std::string(no_mapping_file), "Mapping file does not exist."},
        {export_attributes_failed("@DB/A/1"), "Failed to get the attributes from PDM for @DB/A/1"},
        {could_not_sync("@DB/A/1"), "Could not Sync Attributes for @DB/A/1"},
        {pdi_backfill_failed("p"), "\nFailed to perform PDI Backfill for p\n"},
        {auto_publish_failed("p"), "\nFailed to AutoPublish p\n"},
        {native_filename_failed("p"), "\nFailed to reset import native filename for p\n"},
        {name_description_not_sent("p"),
         "\nName and description of p not sent to PDM: once cut, one holds \"~~\" or begins or ends with \"~\"\n"},
        {mapping_file_error(mapping_opening, 4, "/tmp/m.txt"), "ERROR 4 - Error Opening Mapping File:  /tmp/m.txt\n"},
        {mapping_file_error(mapping_reading, -7, "m"), "ERROR -7 - Error Reading Mapping File:  m\n"},
        {mapping_file_error(mapping_closing, 6, "m"), "ERROR 6 - Error Closing Mapping File:  m\n"},
        {std::string(nothing_to_log), "No exported file to be updated to the log file. "},
        {unexpected_point(5), "\n function called at an unexpected callback point 5"},
        {import_map_not_opened("/m.txt"), "ERROR: Opening mapping file [/m.txt]\n"},
        {pdm_root_not_set("/in/a.prt"), "PDM_ROOT is not set: item ID check not run for file [/in/a.prt]\n"},
        {program_returned("check", 3, "/in/a.prt"), "check program returned [3] for file [/in/a.prt]\n"},
        {trace_given_up("/t/a.jsonl"), "Session trace /t/a.jsonl could not be written; recording given up.\n"},
        {trace_cut("/t/a.jsonl", 5), "Session trace /t/a.jsonl reached its cap of 5 MB; recording stopped.\n"},
        {trace_cap_ignored("x1", 100),
         "KXPDM_TRACE_MAX_MB=x1 is not a whole number of megabytes from 1 on; 100 used.\n"},
    };
    for (const pinned_text& t : texts) EXPECT_EQ(t.value, t.literal);
}

TEST(names_and_texts, a_listing_text_keeps_its_frame_when_the_name_is_cut)
{
    const std::string long_name(2000, 'n');
    const std::string text = kx::msg::pdi_backfill_failed(long_name);
    EXPECT_EQ(text.size(), kx::listing_message_limit);
    EXPECT_EQ(text.front(), '\n');
    EXPECT_EQ(text.back(), '\n');
}

TEST(names, settings_are_the_names_a_site_writes)
{
    const std::pair<std::string_view, std::string_view> settings[] = {
        {kx::setting::import_attr_map_file, "KXPDM_IMPORT_ATTR_MAP_FILE"},
        {kx::setting::pfm_itemid_property, "KXPDM_PFM_ITEMID_PROPERTY"},
        {kx::setting::pdm_root, "PDM_ROOT"},
        {kx::setting::additional_import_program, "KXPDM_ADDITIONAL_IMPORT_PROGRAM"},
        {kx::setting::keep_user_names, "USER_NAME_DONT_OVERWRITE_NAME_DESC"},
        {kx::setting::no_save_on_import, "KXPDM_NO_SAVE_ON_CLONE_IMPORT"},
        {kx::setting::allow_family_instances, "HOST_PDM_ALLOW_PFM_IMPORT_EXPORT"},
        {kx::setting::trace_directory, "KXPDM_TRACE_DIR"},
        {kx::setting::trace_cap_mb, "KXPDM_TRACE_MAX_MB"},
        {kx::setting::auto_publish, "KXPDM_AUTO_PUBLISH_AFTER_IMPORT"},
        {kx::setting::fill_original_filename, "KXPDM_IMPORT_FILL_ORIGINAL_FILENAME"},
    };
    for (const auto& [name, text] : settings) EXPECT_EQ(name, text);
    EXPECT_EQ(std::size(kx::setting::environment_variables), 9u);
}

}  // namespace
