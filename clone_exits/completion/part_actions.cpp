#include "completion/part_actions.h"

#include "host/host_codes.h"
#include "host/host_memory.h"
#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "session/settings.h"

#include <string>

namespace kx {

reduced_component_loading::reduced_component_loading()
{
    host_assem_options_t reduced{};
    read_status_ = host_ops().HOST_ASSEM_ask_assem_options(&kept_);
    if (read_status_ == 0) read_status_ = host_ops().HOST_ASSEM_ask_assem_options(&reduced);
    if (read_status_ != 0) return;
    reduced.member[component_loading_member] = 0;
    pending_ = true;
    // Its status is not tested: the part is opened either way, and the kept
    // copy is applied afterwards all the same.
    host_ops().HOST_ASSEM_set_assem_options(&reduced);
}

reduced_component_loading::~reduced_component_loading() { restore(); }

int reduced_component_loading::restore()
{
    if (read_status_ != 0) return read_status_;
    if (!pending_) return 0;
    pending_ = false;
    return host_ops().HOST_ASSEM_set_assem_options(&kept_);
}

int save_imported_part(std::string_view item_id, std::string_view rev_id, std::string_view file_type,
                       std::string_view file_name)
{
    char encoded[HOST_MAX_FSPEC_BUFSIZE] = {};
    const std::string number(item_id), revision(rev_id), type(file_type), name(file_name);
    const int encode_status =
        host_ops().HOST_PDM_encode_part_filename(number.c_str(), revision.c_str(), type.c_str(), name.c_str(), encoded);
    if (encode_status != 0) return encode_status;
    encoded[HOST_MAX_FSPEC_BUFSIZE - 1] = '\0';

    reduced_component_loading loading;
    host_tag_t part = HOST_NULL_TAG;
    host_load_status load_status;
    const int open_status = host_ops().HOST_PART_open(encoded, &part, load_status.out());
    if (open_status != 0) {
        // Fetched as the host expects after a failed open, but not shown: the
        // import itself went through, only this save is missed.
        char message[HOST_FAIL_MESSAGE_BUFSIZE] = {};
        host_ops().HOST_get_fail_message(open_status, message);
    } else {
        int is_instance = 0;
        host_ops().HOST_PART_is_family_instance(part, &is_instance);
        if (is_instance == 0) host_ops().HOST_PART_save();
        host_ops().HOST_PART_close(part, close_this_part_only, close_unloading);
    }
    load_status.reset();
    return loading.restore();
}

int reset_native_filename(std::string_view item_id, std::string_view rev_id, std::string_view part_spec,
                          bool has_relation, std::string_view related_name)
{
    bool fill = false;
    lookup_exception(state().exception_list, setting::fill_original_filename, fill);
    if (!fill) return 0;
    // A text over the server's limit is not sent at all and reads as a refusal.
    const pdm_reply reply = fill_import_filename(item_id, rev_id, part_spec, has_relation, related_name);
    if (!reply.ok()) write_listing_window(msg::native_filename_failed(part_spec));
    return 0;
}

}  // namespace kx
