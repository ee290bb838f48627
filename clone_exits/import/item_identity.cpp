#include "import/item_identity.h"

#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "host/host_codes.h"

#include <initializer_list>
#include <utility>

namespace kx {

namespace {

std::string_view first_non_empty(std::initializer_list<std::string_view> candidates) noexcept
{
    for (std::string_view candidate : candidates) {
        if (!candidate.empty()) return candidate;
    }
    return {};
}

// The part's own clone action is 3, or it takes the session's default
// action (5) and that is 3.
int ask_takes_existing_revision(const char* part_spec, bool& takes)
{
    takes = false;
    int default_action = 0;
    int status = host_ops().HOST_CLONE_ask_def_action(&default_action);
    if (status != 0) return status;
    int action = 0;
    status = host_ops().HOST_CLONE_ask_action(part_spec, &action);
    if (status != 0) return status;
    takes = action == action_new_name || (action == action_use_default && default_action == action_new_name);
    return 0;
}

using assign_operation = int (*)(const char*, const char*, char*, int*);

// The host's numbering writes into a fixed field; it is read as a text of at
// most the field's size whatever the host wrote.
int assign_from_host(assign_operation assign, const std::string& item_type, std::string& result)
{
    char field[HOST_PDM_ID_BUFSIZE] = {};
    int modifiable = 0;
    const int status = assign("", item_type.c_str(), field, &modifiable);
    if (status != 0) return status;
    field[HOST_PDM_ID_BUFSIZE - 1] = '\0';
    result = field;
    return 0;
}

}  // namespace

int read_clone_defaults()
{
    host_object<dialog_defaults>& dialog = state().dialog_struct;
    int status = make_host_object(dialog);
    if (status != 0) return status;

    status = host_ops().HOST_CLONE_ask_def_item_type(out(dialog->item_type));
    if (status == 0) status = host_ops().HOST_CLONE_ask_def_pdm_name(out(dialog->pdm_name));
    if (status == 0) status = host_ops().HOST_CLONE_ask_def_pdm_desc(out(dialog->pdm_desc));
    if (status != 0) free_dialog_struct();
    return status;
}

int read_part_clone_settings(const char* part_spec, host_object<part_clone_settings>& settings)
{
    int status = make_host_object(settings);
    if (status != 0) return status;

    status = host_ops().HOST_CLONE_ask_item_type(part_spec, out(settings->item_type));
    if (status != 0) return status;
    status = host_ops().HOST_CLONE_ask_pdm_name(part_spec, out(settings->pdm_name));
    if (status != 0) return status;
    return host_ops().HOST_CLONE_ask_pdm_desc(part_spec, out(settings->pdm_desc));
}

int assign_item_identity(const import_attributes& attributes, const dialog_defaults& dialog,
                         const part_clone_settings& settings, std::string_view mapped_item_id,
                         std::string_view mapped_rev, item_identity& identity)
{
    identity = item_identity{};
    std::string item_type(first_non_empty({view(attributes.part_type), view(settings.item_type),
                                           view(dialog.item_type)}));

    // The host's numbering is asked even when a mapped value replaces its
    // answer: the host may count the numbers it hands out.
    std::string item_id(view(attributes.part_no));
    if (item_id.empty()) {
        const int status = assign_from_host(host_ops().HOST_PDM_assign_part_number, item_type, item_id);
        if (status != 0) return status;
    }
    if (!mapped_item_id.empty()) item_id = mapped_item_id;

    std::string rev_id(view(attributes.part_rev));
    if (rev_id.empty()) {
        const int status = assign_from_host(host_ops().HOST_PDM_assign_part_rev, item_type, rev_id);
        if (status != 0) return status;
    }
    if (!mapped_rev.empty()) rev_id = mapped_rev;

    if (item_id.size() > item_id_limit || rev_id.size() > item_id_limit) return item_identity_too_long;
    // Both go into the database part name and into requests of every format.
    for (std::string_view field : {std::string_view(item_id), std::string_view(rev_id)}) {
        if (!fits_slash_request(field) || !fits_hash_request(field) || !fits_tilde_request(field)) {
            return part_field_unusable;
        }
    }

    host_tag_t item = HOST_NULL_TAG;
    const int status = host_ops().HOST_PDM_ask_part_tag(item_id.c_str(), &item);
    if (status != 0) return status;
    if (item != HOST_NULL_TAG) {
        // An existing item keeps its type; an empty answer tells nothing.
        const pdm_reply reply = get_item_type(item_id);
        if (!reply.ok()) return reply.status;
        if (!reply.view().empty()) item_type = reply.view();
    }

    identity.item_id = std::move(item_id);
    identity.rev_id = std::move(rev_id);
    identity.item_type = std::move(item_type);
    return 0;
}

int set_part_pdm_name(const char* part_spec, const import_attributes& attributes, const dialog_defaults& dialog,
                      const part_clone_settings& settings, std::string_view mapped_name, std::string_view item_id)
{
    const std::string name(first_non_empty(
        {mapped_name, view(attributes.part_name), view(settings.pdm_name), view(dialog.pdm_name), item_id}));
    return host_ops().HOST_CLONE_set_pdm_name(part_spec, name.c_str());
}

int set_part_pdm_description(const char* part_spec, const import_attributes& attributes,
                             const dialog_defaults& dialog, const part_clone_settings& settings,
                             std::string_view mapped_description, std::string_view item_id)
{
    const std::string description(first_non_empty({mapped_description, view(attributes.part_desc),
                                                   view(settings.pdm_desc), view(dialog.pdm_desc), item_id}));
    return host_ops().HOST_CLONE_set_pdm_desc(part_spec, description.c_str());
}

int record_imported_part(const recorded_part& part)
{
    library_state& session = state();
    int status = session.file_struct.reserve_one_more();
    if (status != 0) return status;

    file_entry entry;
    entry.has_relation = !part.relation.empty();
    const std::pair<host_text*, std::string_view> texts[] = {
        {&entry.part_spec, view(part.part_spec)},
        {&entry.item_id, part.item_id},
        {&entry.rev_id, part.rev_id},
        {&entry.item_type, part.item_type},
        {&entry.tool_id, part.tool_id},
        {&entry.tool_level, part.tool_level},
        {&entry.context, entry.has_relation ? std::string_view() : part.context},
        {&entry.related_name, part.related_name},
    };
    for (const auto& [field, value] : texts) {
        status = host_strdup_or_null(value, *field);
        if (status != 0) return status;
    }

    if (!part.item_id.empty() && !part.rev_id.empty()) {
        {
            const pdm_reply reply = check_revision(part.item_id, part.rev_id);
            // No answer at all tells nothing about the revision either.
            if (!reply.view().empty() && reply.view() != "NOT_PRESENT") {
                status = ask_takes_existing_revision(part.part_spec, entry.revision_present);
                if (status != 0) return status;
            }
        }

        host_tag_t item = HOST_NULL_TAG;
        const std::string item_id(part.item_id);
        status = host_ops().HOST_PDM_ask_part_tag(item_id.c_str(), &item);
        if (status != 0) return status;
        entry.in_database = item != HOST_NULL_TAG;

        // Only import sessions keep an item list; a clone session has none
        // and its parts are published by nobody.
        host_text_builder& item_list = session.import_item_list;
        if (item_list.held()) {
            status = item_list.reserve_extra(part.item_id.size() + 1);
            if (status != 0) return status;
            bool listed = true;
            if (entry.in_database) {
                status = ask_takes_existing_revision(part.part_spec, listed);
                if (status != 0) return status;
            }
            if (listed) {
                item_list.append_reserved(part.item_id);
                item_list.append_reserved("#");
            }
        }
    }

    append_file_entry(std::move(entry));
    return 0;
}

}  // namespace kx
