#include "import/import_translation.h"

#include "import/attribute_readers.h"
#include "import/import_attr_map.h"
#include "import/item_identity.h"
#include "import/pre_import_checks.h"
#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "session/messages.h"
#include "session/session_state.h"

#include <algorithm>
#include <cstring>

namespace kx {

namespace {

constexpr int file_name_size = 32;

// Each field of a database part name must fit the host's decoded fields.
constexpr std::size_t database_field_limit = HOST_PDM_FIELD_BUFSIZE - 1;
constexpr std::size_t database_name_limit = HOST_MAX_FSPEC_BUFSIZE - 1;

bool is_generic_item_type(std::string_view item_type) noexcept
{
    return item_type == "Item" || item_type == "Document";
}

bool is_digit(char c, char lowest) noexcept { return c >= lowest && c <= '9'; }

// The last `count` characters of a field, padded on the left with "0" when
// the field is shorter, so nothing outside the field is read.
std::string last_characters(std::string_view field, std::size_t count)
{
    std::string result(count > field.size() ? count - field.size() : 0, '0');
    result.append(field.substr(field.size() - std::min(count, field.size())));
    return result;
}

void write_new_name(char* new_name, std::string_view name) noexcept
{
    if (new_name == nullptr) return;
    const std::size_t length = std::min(name.size(), database_name_limit);
    std::memcpy(new_name, name.data(), length);
    new_name[length] = '\0';
}

// As prepare_new_items asks it: an item whose query fails counts as new.
bool item_is_new(const std::string& item_id)
{
    host_tag_t tag = HOST_NULL_TAG;
    return host_ops().HOST_PDM_ask_part_tag(item_id.c_str(), &tag) != 0 || tag == HOST_NULL_TAG;
}

int derive_name_from_file_name(const char* part_spec, char* new_name)
{
    char file_name[file_name_size] = {};
    if (host_ops().HOST_FILE_ask_name(part_spec, file_type_part, file_name, file_name_size) != 0) return translation_no_file_name;
    file_name[file_name_size - 1] = '\0';

    host_text working;
    const int status = host_strdup(file_name, working);
    if (status != 0) return status;
    write_new_name(new_name, derived_part_name(view(working)));
    return 0;
}

// The main road, one part at a time. Each step returns 0 to go on, or the
// callback's result once it has reported why the part stops.
class part_translation {
public:
    part_translation(const char* part_spec, char* new_name) : part_spec_(part_spec), new_name_(new_name) {}

    int run()
    {
        if (read_part_clone_settings(part_spec_, settings_) != 0) return report(stop_session, msg::settings);
        const dialog_defaults& dialog = *state().dialog_struct;
        item_identity identity;
        part_relation relation;
        int stopped = check_dialog_item_type(dialog);
        if (stopped == 0) stopped = read_mapped_values();
        if (stopped == 0) stopped = decide_identity(dialog, *settings_, identity);
        if (stopped == 0) stopped = give_name_and_description(dialog, *settings_, identity);
        if (stopped == 0) stopped = read_relation(identity, relation);
        if (stopped == 0) stopped = give_item_type_or_related_name(dialog, identity, relation);
        if (stopped == 0) stopped = record_and_name(identity, relation);
        return stopped;
    }

private:
    struct part_relation {
        host_text relation;
        host_text related_name;
        bool present = false;
    };

    int check_dialog_item_type(const dialog_defaults& dialog)
    {
        const std::string_view default_item_type = view(dialog.item_type);
        if (default_item_type.empty()) return refuse(stop_session, msg::no_item_type);
        if (is_generic_item_type(default_item_type)) return refuse(stop_session, msg::generic_item_type);
        return 0;
    }

    // The part's attributes, the site's mapped values, and the site's
    // program's word on the part file.
    int read_mapped_values()
    {
        if (read_import_attributes(part_spec_, attributes_) != 0) return refuse(stop_session, msg::memory);
        const import_map_setting map_setting = read_import_map_setting();
        int status = map_item_id_and_revision(part_spec_, map_setting, mapped_item_id_, mapped_rev_);
        if (status != 0) return refuse(status, msg::mapping);
        status = map_name_and_description(part_spec_, map_setting, mapped_name_, mapped_desc_);
        if (status != 0) return refuse(status, msg::mapping);
        status = run_additional_import_program(part_spec_);
        if (status != 0) return refuse(status, msg::user_function);
        return 0;
    }

    int decide_identity(const dialog_defaults& dialog, const part_clone_settings& settings, item_identity& identity)
    {
        const int status = assign_item_identity(*attributes_, dialog, settings, view(mapped_item_id_),
                                                view(mapped_rev_), identity);
        if (status != 0) return refuse(status, msg::identity);
        if (is_generic_item_type(identity.item_type)) return refuse(stop_session, msg::generic_item_type);
        return 0;
    }

    int give_name_and_description(const dialog_defaults& dialog, const part_clone_settings& settings,
                                  const item_identity& identity)
    {
        int status = set_part_pdm_name(part_spec_, *attributes_, dialog, settings, view(mapped_name_),
                                       identity.item_id);
        if (status != 0) return refuse(status, msg::item_name);
        status = set_part_pdm_description(part_spec_, *attributes_, dialog, settings, view(mapped_desc_),
                                          identity.item_id);
        if (status != 0) return refuse(status, msg::item_description);
        return 0;
    }

    int read_relation(const item_identity& identity, part_relation& relation)
    {
        if (read_part_relation(part_spec_, relation.relation) != 0) return refuse(stop_session, msg::relation);
        relation.present = !is_empty(relation.relation);
        if (view(relation.relation).size() > database_field_limit) return refuse(stop_session, msg::long_relation);
        if (!fits_slash_request(view(relation.relation))) return refuse(part_field_unusable, msg::relation);
        const std::string_view context = view(attributes_->context);
        // Without a relation a part with a context sends its item type and
        // context in prepare_new_items, but only in an import session (the
        // one that keeps an item list) and only when its item is new to the
        // database: a field that no request carries refuses nothing.
        if (!relation.present && !context.empty() && state().import_item_list.held() &&
            (!fits_slash_request(identity.item_type) || !fits_slash_request(context)) &&
            item_is_new(identity.item_id)) {
            return refuse(part_field_unusable, msg::identity);
        }
        return 0;
    }

    int give_item_type_or_related_name(const dialog_defaults& dialog, const item_identity& identity,
                                       part_relation& relation)
    {
        if (!relation.present) {
            const int status = host_ops().HOST_CLONE_set_item_type(part_spec_, identity.item_type.c_str());
            return status != 0 ? refuse(status, "") : 0;
        }
        build_related_part_name(part_spec_, relation.related_name);
        if (!relation.related_name) {
            const std::string_view default_item_type = view(dialog.item_type);
            const std::string_view context = view(attributes_->context);
            if (!fits_slash_request(default_item_type) || !fits_slash_request(context))
                return refuse(part_field_unusable, msg::identity);
            // The dialog's item type, not the decided one: the server
            // names related parts by the type the user chose.
            pdm_reply reply = get_related_name(identity.item_id, identity.rev_id, default_item_type,
                                               view(relation.relation), context);
            if (!reply.sent) return refuse(reply.status, msg::long_related_request);
            if (!reply.ok()) return refuse(reply.status, reply.view());
            if (reply.view().empty()) return refuse(stop_session, msg::empty_related_name);
            relation.related_name = std::move(reply.text);
        }
        const std::string_view related_name = view(relation.related_name);
        if (related_name.size() > database_field_limit) return refuse(stop_session, msg::long_related_name);
        // It goes into the database part name and fill_import_filename.
        if (!fits_slash_request(related_name) || !fits_hash_request(related_name))
            return refuse(part_field_unusable, msg::relation);
        return 0;
    }

    int record_and_name(const item_identity& identity, const part_relation& relation)
    {
        std::string database_name = std::string(database_name_prefix) + identity.item_id + "/" + identity.rev_id;
        if (relation.present) {
            database_name.append("/").append(view(relation.relation)).append("/").append(view(relation.related_name));
        }
        // Refused before recording, so no entry is left for a part the host
        // never got a name for.
        if (database_name.size() > database_name_limit) return refuse(stop_session, msg::long_database_name);

        recorded_part part;
        part.part_spec = part_spec_;
        part.item_id = identity.item_id;
        part.rev_id = identity.rev_id;
        part.item_type = identity.item_type;
        part.tool_id = view(attributes_->tool_id);
        part.tool_level = view(attributes_->tool_level);
        part.context = view(attributes_->context);
        part.relation = view(relation.relation);
        part.related_name = view(relation.related_name);
        if (record_imported_part(part) != 0) return refuse(stop_session, msg::import_record);

        write_new_name(new_name_, database_name);
        free_import_attributes(attributes_);
        return 0;
    }

    static int report(int code, std::string_view message)
    {
        show_error(code, message);
        return stop_session;
    }

    // Released first, then reported: the dialog's defaults go even when the
    // box's text cannot be built, and the next part reads them again.
    int refuse(int code, std::string_view message)
    {
        free_import_attributes(attributes_);
        free_dialog_struct();
        return report(code, message);
    }

    const char* part_spec_;
    char* new_name_;
    host_object<import_attributes> attributes_;
    // Declared before the mapped texts so that, as members go in reverse, the
    // texts are released before the settings they were read beside.
    host_object<part_clone_settings> settings_;
    host_text mapped_item_id_, mapped_rev_, mapped_name_, mapped_desc_;
};

}  // namespace

std::string derived_part_name(std::string_view file_name)
{
    const std::string prefix(database_name_prefix);
    const auto whole = [&] { return prefix + std::string(file_name) + "/001"; };
    if (std::count(file_name.begin(), file_name.end(), '.') != 2) return whole();

    const auto first_dot = file_name.find('.');
    const auto second_dot = file_name.find('.', first_dot + 1);
    const std::string_view number = file_name.substr(0, first_dot);
    const std::string_view revision = file_name.substr(first_dot + 1, second_dot - first_dot - 1);
    const std::string_view sequence = file_name.substr(second_dot + 1);
    if (number.empty() || revision.empty() || sequence.empty()) return whole();

    const std::string base = prefix + std::string(number) + "/";
    if (is_digit(sequence.back(), '1')) {
        return base + last_characters(revision, 3) + ".0" + last_characters(sequence, 3);
    }
    if (revision.size() >= 3 && is_digit(revision[revision.size() - 3], '0')) {
        return base + last_characters(revision, 3);
    }
    return base + "0" + last_characters(revision, 2);
}

int work::translate_import(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE])
{
    if (part_spec == nullptr) part_spec = "";
    if (!state().dialog_struct) {
        const int status = read_clone_defaults();
        if (status != 0) {
            show_error(status, msg::memory);
            return stop_session;
        }
    }
    if (host_ops().HOST_FILE_exists(part_spec, file_type_any) != 0) return derive_name_from_file_name(part_spec, new_name);
    return part_translation(part_spec, new_name).run();
}

}  // namespace kx
