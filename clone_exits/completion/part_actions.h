// What the end of an import does to each imported part: open, save and close
// it under reduced component loading, and tell the server the native file name
// it came from.
#pragma once

#include "host/host_api.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// Puts the host into reduced component loading for one part and back again.
// The options are read twice, one copy kept as it was; when they cannot be
// read nothing is applied, then or afterwards, since there is nothing sound
// to restore. Leaving scope restores them if restore() was not called.
class reduced_component_loading {
public:
    reduced_component_loading();
    ~reduced_component_loading();
    reduced_component_loading(const reduced_component_loading&) = delete;
    reduced_component_loading& operator=(const reduced_component_loading&) = delete;

    // Applies the kept options again, once; returns the status of doing so,
    // or the failed read's status when the options were never read.
    int restore();

private:
    host_assem_options_t kept_{};
    int read_status_ = 0;
    bool pending_ = false;
};

// Opens the database part (item ID, revision, and for a part under a relation
// its file type and file name), saves it unless it is a family instance and
// closes it. Returns the encoding's status when that fails, otherwise the
// status of restoring the assembly load options.
int save_imported_part(std::string_view item_id, std::string_view rev_id, std::string_view file_type,
                       std::string_view file_name);

// Sends fill_import_filename when "KXPDM_IMPORT_FILL_ORIGINAL_FILENAME" is in force; a
// refusal goes to the listing window. Returns 0 in every case.
int reset_native_filename(std::string_view item_id, std::string_view rev_id, std::string_view part_spec,
                          bool has_relation, std::string_view related_name);

}  // namespace kx
