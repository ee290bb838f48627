#include "completion/perform_handler.h"

#include "completion/design_log.h"
#include "completion/part_actions.h"
#include "import/attribute_readers.h"
#include "host/host_api.h"
#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "platform/platform.h"
#include "session/session_hooks.h"
#include "host/host_codes.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "session/settings.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace kx {

namespace {

// False only when the database holds the item with exactly this name and
// description; every failure on the way counts as a difference.
bool name_description_differs(std::string_view item_id, std::string_view name, std::string_view description)
{
    const std::string number(item_id);
    host_tag_t tag = HOST_NULL_TAG;
    if (host_ops().HOST_PDM_ask_part_tag(number.c_str(), &tag) != 0 || tag == HOST_NULL_TAG) return true;
    char database_name[HOST_PDM_NAME_BUFSIZE] = {};
    char database_description[HOST_PDM_DESC_BUFSIZE] = {};
    if (host_ops().HOST_PDM_ask_part_name_desc(tag, database_name, database_description) != 0) return true;
    database_name[HOST_PDM_NAME_BUFSIZE - 1] = '\0';
    database_description[HOST_PDM_DESC_BUFSIZE - 1] = '\0';
    return name != database_name || description != database_description;
}

// The part number and revision of an output name fill the host's fields.
constexpr std::size_t output_name_field_limit = 32;

constexpr char name_separator = '/';

// Host queries take a text; an absent one is passed as empty.
const char* c_text(const host_text& text) noexcept { return text ? text.get() : ""; }

// Whatever its value, even one the platform cannot hand over.
bool env_is_set(const char* name) { return platform::get_env(name).is_set(); }

// The part's PDM name and description as the host holds them for the clone.
int ask_pdm_name_and_description(const char* part_name, host_text& name, host_text& description)
{
    int status = host_ops().HOST_CLONE_ask_pdm_desc(part_name, out(description));
    if (status != 0) return status;
    status = host_ops().HOST_CLONE_ask_pdm_name(part_name, out(name));
    return status;
}

int effective_action(const char* part_name)
{
    int action = 0;
    host_ops().HOST_CLONE_ask_action(part_name, &action);
    if (action == action_use_default) {
        action = 0;
        host_ops().HOST_CLONE_ask_def_action(&action);
    }
    return action;
}

int begin_perform(int operation_class)
{
    if (operation_class != class_import) return 0;
    host_text_builder text;
    build_context_request_text(text);
    if (text.view().empty()) return 0;
    const pdm_reply reply = prepare_new_items(text.c_str());
    if (!reply.ok()) {
        show_error(reply.status, reply.c_str());
        return stop_session;
    }
    return 0;
}

// The part's own entry: its name and description go to the server unless
// the database holds them already.
int synchronise_entry(const char* part_name)
{
    const library_state& session = state();
    if (const auto found = session.file_struct_index.find(view(part_name), session.file_struct)) {
        const file_entry& entry = session.file_struct[*found];
        host_text name;
        host_text description;
        if (ask_pdm_name_and_description(part_name, name, description) != 0) return stop_session;
        const std::string_view cut_name = view(name).substr(0, pdm_name_cut);
        const std::string_view cut_description = view(description).substr(0, pdm_desc_cut);
        if (!entry.in_database || name_description_differs(view(entry.item_id), cut_name, cut_description)) {
            if (!name_description_fits(cut_name, cut_description)) {
                // The server would split them wrongly; the user is told, the
                // part itself was imported.
                write_listing_window(msg::name_description_not_sent(view(part_name)));
            } else {
                // Not tested: the part's own entry is only brought up to date.
                set_name_description(view(entry.item_id), view(entry.rev_id), cut_name, cut_description);
            }
        }
    }
    return 0;
}

// A part the user named (action 3, naming 3) has its name and description
// sent under the item of its output name.
int send_user_named(const char* part_name)
{
    const int action = effective_action(part_name);
    int naming = 0;
    host_text output_name;
    host_ops().HOST_CLONE_ask_naming(part_name, &naming, out(output_name));
    if (naming == naming_use_default) {
        naming = 0;
        host_ops().HOST_CLONE_ask_def_naming(&naming);
    }
    if (action != action_new_name || naming != naming_user_name || is_empty(output_name)) return 0;

    // The prefix, part number "/" revision: anything shorter names no item.
    host_string_array fields;
    split_from_second(view(output_name), name_separator, fields);
    output_name.reset();
    if (fields.count() < 3) return 0;
    const std::string part_number(fields[1]);
    const std::string revision(fields[2]);
    fields.reset();
    if (part_number.size() > output_name_field_limit || revision.size() > output_name_field_limit) return 0;

    host_text name;
    host_text description;
    if (ask_pdm_name_and_description(part_name, name, description) != 0) return stop_session;

    host_tag_t tag = HOST_NULL_TAG;
    host_ops().HOST_PDM_ask_part_tag(part_number.c_str(), &tag);
    if (tag == HOST_NULL_TAG) return 0;

    // A name or description the server would split wrongly is not sent and
    // fails like a refused request.
    const pdm_reply reply = set_name_description(part_number, revision, view(name), view(description));
    if (!reply.ok()) {
        show_error(reply.status, msg::name_description);
        return stop_session;
    }
    return 0;
}

int import_after_part(const char* part_name)
{
    if (synchronise_entry(part_name) != 0) return stop_session;
    if (env_is_set(setting::keep_user_names)) return 0;
    return send_user_named(part_name);
}

int export_after_part(const char* part_name)
{
    const std::string part(view(part_name));
    const pdm_reply mapping_file = get_export_attributes(part);
    if (!mapping_file.ok()) {
        write_listing_window(msg::export_attributes_failed(part));
        return 0;
    }
    host_text owner_name;
    ask_owner_name(part, owner_name);
    if (update_export_log(view(owner_name), mapping_file.view()) != 0) {
        // The mapping file is kept: it is the only record of what was not
        // written.
        write_listing_window(msg::could_not_sync(part));
        return 0;
    }
    platform::delete_file(mapping_file.view());
    return 0;
}

int after_part(int operation_class, const char* part_name)
{
    switch (operation_class) {
    case class_import:
        return import_after_part(part_name);
    case class_export:
        return export_after_part(part_name);
    default:
        return 0;
    }
}

// A part in a state its own rules skip, and a part the session kept as it
// was (action 4, directly or by default) whose item exists already, have
// nothing to finish.
bool nothing_to_finish(const file_entry& entry, const char* part_spec)
{
    int part_state = 0;
    host_ops().HOST_CLONE_ask_part_state(part_spec, &part_state);
    if (is_referenced_only(part_state)) return true;
    int action = 0;
    host_ops().HOST_CLONE_ask_action(part_spec, &action);
    int default_action = 0;
    host_ops().HOST_CLONE_ask_def_action(&default_action);
    const bool retained = action == action_retain || (action == action_use_default && default_action == action_retain);
    return entry.in_database && retained;
}

// Saves one imported part, records its native file name and back-fills a
// PDI master; false when the back-fill was refused and the phase ends.
bool finish_part(const file_entry& entry, bool save, const char* part_name)
{
    const char* part_spec = c_text(entry.part_spec);
    const std::string_view item_id = view(entry.item_id);
    const std::string_view rev_id = view(entry.rev_id);
    if (save) {
        if (entry.has_relation) {
            host_text relation;
            read_part_relation(part_spec, relation);
            save_imported_part(item_id, rev_id, view(relation), view(entry.related_name));
        } else {
            save_imported_part(item_id, rev_id, {}, {});
        }
    }
    reset_native_filename(item_id, rev_id, view(entry.part_spec), entry.has_relation, view(entry.related_name));

    if (!entry.has_relation && rev_id.size() == pdi_revision_length) {
        const pdm_reply reply = pdi_backfill(item_id, rev_id);
        if (!reply.ok()) {
            write_listing_window(msg::pdi_backfill_failed(view(part_name)));
            return false;
        }
    }
    return true;
}

// Publishes the session's new items when the server's switch says so;
// false when publishing was refused.
bool publish_new_items(const char* part_name)
{
    host_text_builder& items = state().import_item_list;
    if (items.held() && !items.view().empty() && items.view().back() == '#') items.pop_back();
    bool publish = false;
    lookup_exception(state().exception_list, setting::auto_publish, publish);
    if (!publish || !items.held() || items.view().empty()) return true;
    const pdm_reply reply = auto_publish(items.view());
    if (reply.ok()) return true;
    write_listing_window(msg::auto_publish_failed(view(part_name)));
    return false;
}

int end_perform(int operation_class, const char* part_name)
{
    if (operation_class != class_import) {
        end_clone_session(operation_class);
        return 0;
    }
    const bool save = !env_is_set(setting::no_save_on_import);
    auto& entries = state().file_struct;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const file_entry& entry = entries[i];
        if (nothing_to_finish(entry, c_text(entry.part_spec))) continue;
        // A refused back-fill or publishing skips the rest of the phase;
        // Exit_Clone releases the session state.
        if (!finish_part(entry, save, part_name)) return 0;
    }
    if (!publish_new_items(part_name)) return 0;
    end_clone_session(operation_class);
    return 0;
}

}  // namespace

int work::perform_notification(int point, const char* part_name, void* /*data*/)
{
    int operation_class = class_unknown;
    host_ops().HOST_CLONE_ask_operation_class(&operation_class);
    int dry_run = 0;
    host_ops().HOST_CLONE_ask_dryrun(&dry_run);

    switch (point) {
    case point_begin_perform:
        return begin_perform(operation_class);
    case point_after_part:
        return dry_run != 0 ? 0 : after_part(operation_class, part_name);
    case point_end_perform:
        return dry_run != 0 ? 0 : end_perform(operation_class, part_name);
    default:
        return 0;
    }
}

int build_context_request_text(host_text_builder& text)
{
    text.reset();
    const auto& entries = state().file_struct;
    std::size_t capacity = 100;
    for (const file_entry& entry : entries) {
        capacity += view(entry.item_id).size() + view(entry.rev_id).size() + view(entry.item_type).size() +
                    view(entry.context).size() + 4;
    }
    if (text.create(capacity) != 0) return 0;

    int status = 0;
    for (const file_entry& entry : entries) {
        host_tag_t tag = HOST_NULL_TAG;
        status = host_ops().HOST_PDM_ask_part_tag(c_text(entry.item_id), &tag);
        if (tag != HOST_NULL_TAG || is_empty(entry.context)) continue;
        const std::string_view fields[] = {view(entry.item_id), view(entry.rev_id), view(entry.item_type),
                                           view(entry.context)};
        // The translation let a field holding "/" through for an item found
        // in the database; one whose query fails now still counts as new,
        // and its record would shift every record after it at the server.
        if (!std::all_of(std::begin(fields), std::end(fields), fits_slash_request)) continue;
        for (std::string_view field : fields) {
            text.append_reserved(field);
            text.append_reserved("/");
        }
    }
    return status;
}

int ask_owner_name(std::string_view part_name, host_text& owner_name)
{
    owner_name.reset();
    host_string_array fields;
    const int status = split_from_second(part_name, name_separator, fields);
    if (fields.count() > 3 && (fields[3] == "scenario" || fields[3] == "simulation")) {
        // Not tested: without a reply the part is logged as any other.
        pdm_reply reply = get_owner_name(part_name);
        owner_name = std::move(reply.text);
    }
    return status;
}

}  // namespace kx
