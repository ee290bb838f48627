// The library's three roads to the user (the host's non-modal "Error" box,
// the listing window and standard output) and every text it shows, prints or
// writes on them, each in one place. A text that names a part or a file is
// built here by a function; the rest are constants.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// The longest text the error box shows; longer messages are cut here.
inline constexpr std::size_t error_box_limit = 132;
// The longest text written to the listing window.
inline constexpr std::size_t listing_message_limit = 1023;

// Shows `message` (or, when it is null or empty, the host's text for `code`)
// in the box titled "Error". Returns `code` when a message was given, else the
// status of the host's failure-text lookup.
int show_error(int code, const char* message);
int show_error(int code, std::string_view message);

// Writes `text` as it is, opening the window first when it is closed.
// Returns the status of the window query when that fails, else of the write.
int write_listing_window(std::string_view text);

// `before` + `subject` + `after`, with `subject` shortened so that the whole
// stays within listing_message_limit and the message keeps its own frame.
std::string listing_message(std::string_view before, std::string_view subject, std::string_view after = {});

namespace msg {

inline constexpr char error_box_title[] = "Error";

// Shown when a callback's work stopped on an exception (memory exhausted,
// most likely); a plain array, so showing it allocates nothing.
inline constexpr char internal_error[] = "The clone user exit ran out of memory or failed internally; the step was stopped.";

// Error-box texts of the import translation.
inline constexpr std::string_view memory = "Error in Memory Allocation...";
inline constexpr std::string_view settings = "Error in Getting Exceptions...";
inline constexpr std::string_view no_item_type = "Invalid or no Item type selected...";
inline constexpr std::string_view generic_item_type = "Cannot create Item of Type Item or Document...";
inline constexpr std::string_view mapping = "Error in Getting User Defined Attributes...";
inline constexpr std::string_view user_function = "Error from User Function----Part file Not OK for Import";
inline constexpr std::string_view identity = "Error in Getting Item ID, Rev ID and Type...";
inline constexpr std::string_view item_name = "Error in Setting Item Name...";
inline constexpr std::string_view item_description = "Error in Setting Item Description...";
inline constexpr std::string_view relation = "Error in Getting Relation...";
inline constexpr std::string_view import_record = "Error in Filling Import Structure...";
inline constexpr std::string_view long_relation = "Error in Getting Relation: relation longer than 132 characters...";
inline constexpr std::string_view long_related_request =
    "Error in Getting Related Part Name: get_related_name request text longer than 132 characters...";
inline constexpr std::string_view empty_related_name = "Error in Getting Related Part Name: the PDM server gave none...";
inline constexpr std::string_view long_related_name =
    "Error in Getting Related Part Name: related part name longer than 132 characters...";
inline constexpr std::string_view long_database_name =
    "Error in Writing Part Name: database part name longer than 256 characters...";

// Error-box texts of the export and the completion.
inline constexpr std::string_view export_file_name = "Error in Generating the Export Filename";
inline constexpr std::string_view name_description = "Problem with setting name and description.";
inline constexpr std::string_view free_dialog_struct = "Failed to free dialog_struct";
inline constexpr std::string_view free_file_struct = "Failed to free file_struct";
// "<item ID>/<revision ID> is a CORP_Tool PDI. Export not allowed"
std::string tool_pdi_refused(std::string_view item_id, std::string_view rev_id);

// Listing-window texts.
inline constexpr std::string_view no_mapping_file = "Mapping file does not exist.";
std::string export_attributes_failed(std::string_view part);
std::string could_not_sync(std::string_view part);
std::string pdi_backfill_failed(std::string_view part);
std::string auto_publish_failed(std::string_view part);
std::string native_filename_failed(std::string_view part);
std::string name_description_not_sent(std::string_view part);
// "ERROR <status> - Error <Opening|Reading|Closing> Mapping File:  <file>"
std::string mapping_file_error(std::string_view what, int status, std::string_view file_name);
inline constexpr std::string_view mapping_opening = "Opening";
inline constexpr std::string_view mapping_reading = "Reading";
inline constexpr std::string_view mapping_closing = "Closing";

// Standard-output texts.
inline constexpr std::string_view nothing_to_log = "No exported file to be updated to the log file. ";
std::string unexpected_point(int point);
std::string import_map_not_opened(std::string_view path);
std::string pdm_root_not_set(std::string_view part);
std::string program_returned(std::string_view program, int code, std::string_view part);
// Standard-output texts of the session recorder.
std::string trace_given_up(std::string_view path);
std::string trace_cut(std::string_view path, unsigned long long megabytes);
std::string trace_cap_ignored(std::string_view value, unsigned long long megabytes);

}  // namespace msg

}  // namespace kx
