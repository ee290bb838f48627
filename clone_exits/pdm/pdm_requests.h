// The PDM server requests: the one place where request codes, their exact
// input texts and their limits are fixed. Each sender builds its text here and
// the reply comes back owned, so it is released on every path.
#pragma once

#include "host/host_codes.h"
#include "host/host_memory.h"

#include <string>
#include <string_view>

namespace kx {

struct pdm_reply {
    int status = 1;   // non-zero until the server says otherwise
    host_text text;   // the reply, or null
    bool sent = false;
    bool ok() const noexcept { return status == 0; }
    std::string_view view() const noexcept { return kx::view(text); }
    const char* c_str() const noexcept { return text ? text.get() : ""; }
};

// Sends one request; the input may be null. Status and reply start as a
// failure with no reply, so a channel that writes nothing reads as one.
pdm_reply send_pdm_request(int code, const char* input_text);

// A database part name: this prefix, item ID "/" revision ID, and for a
// part under a relation "/" relation "/" related part name.
inline constexpr std::string_view database_name_prefix = "@DB/";

// Each element of a split list holds at most this many characters.
inline constexpr std::size_t split_element_limit = 132;

// Input-text limits of the server, in characters.
inline constexpr std::size_t fill_import_filename_limit = 1023;
inline constexpr std::size_t check_revision_limit = 139;
inline constexpr std::size_t get_related_name_limit = 132;
inline constexpr std::size_t pdm_name_cut = 32;
inline constexpr std::size_t pdm_desc_cut = 240;

// The server splits each request text at its separator, so a field that
// holds it, or in the "~~" texts a field that begins or ends with "~" and
// so makes a run of three, would be cut in the wrong place. One check per
// format; the senders refuse such a field and the import translation refuses
// a part before it records one.
// "/": pdi_backfill, prepare_new_items, check_revision, get_related_name and
// the database part name.
bool fits_slash_request(std::string_view field) noexcept;
// "#": fill_import_filename and auto_publish.
bool fits_hash_request(std::string_view field) noexcept;
// "~~": set_name_description.
bool fits_tilde_request(std::string_view field) noexcept;

pdm_reply get_export_file_name(std::string_view part_name);
pdm_reply get_export_attributes(std::string_view part_name);
pdm_reply pdi_backfill(std::string_view item_id, std::string_view rev_id);
pdm_reply begin_import();
pdm_reply end_import();
// The native file name is the text of part_spec after its last "/".
pdm_reply fill_import_filename(std::string_view item_id, std::string_view rev_id,
                               std::string_view part_spec, bool has_relation,
                               std::string_view related_name);
pdm_reply get_item_type(std::string_view item_id);
pdm_reply auto_publish(std::string_view item_list);
pdm_reply prepare_new_items(const char* records);
pdm_reply check_revision(std::string_view item_id, std::string_view rev_id);
std::string related_name_request_text(std::string_view item_id, std::string_view rev_id,
                                      std::string_view default_item_type,
                                      std::string_view relation, std::string_view context);
pdm_reply get_related_name(std::string_view item_id, std::string_view rev_id, std::string_view default_item_type,
                           std::string_view relation, std::string_view context);
// Name cut to 32 and description to 240 characters.
std::string name_description_text(std::string_view item_id, std::string_view rev_id,
                                  std::string_view name, std::string_view description);
// True when the name and description, once cut, can be sent.
bool name_description_fits(std::string_view name, std::string_view description) noexcept;
pdm_reply set_name_description(std::string_view item_id, std::string_view rev_id, std::string_view name,
                               std::string_view description);
pdm_reply get_owner_name(std::string_view part_name);
pdm_reply get_exceptions();

// Splits `text` at `separator` into a list of host texts (see the .cpp for
// the rules). A null text gives count 0 and no array. Returns a host status.
int split_text(const char* text, char separator, host_string_array& list);
// Splits a database part name from its second character on.
int split_from_second(std::string_view name, char separator, host_string_array& list);

// Sets `flag` from the exception list: 1 when the name is held with a value
// other than "999", 0 when held with "999", untouched otherwise. Returns 0.
int lookup_exception(const host_string_array& list, std::string_view name, bool& flag);

}  // namespace kx
