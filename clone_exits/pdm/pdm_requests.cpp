#include "pdm/pdm_requests.h"

#include "host/host_table.h"
#include "platform/platform.h"

#include <cstring>

namespace kx {

namespace {

bool is_ascii_alnum(char c) noexcept
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Drops leading and trailing characters that are not ASCII letters or digits.
// A token with none at all trims to the empty text, so name/value pairs stay
// aligned.
std::string_view trim_to_alnum(std::string_view token) noexcept
{
    std::size_t first = 0;
    while (first < token.size() && !is_ascii_alnum(token[first])) ++first;
    if (first == token.size()) return {};
    std::size_t last = token.size();
    while (!is_ascii_alnum(token[last - 1])) --last;
    return token.substr(first, last - first);
}

pdm_reply send_text(int code, const std::string& input) { return send_pdm_request(code, input.c_str()); }

pdm_reply not_sent()
{
    pdm_reply reply;
    reply.status = request_not_sent;
    return reply;
}

std::string joined(std::initializer_list<std::string_view> fields, std::string_view separator)
{
    std::size_t size = 0;
    for (auto f : fields) size += f.size() + separator.size();
    std::string text;
    text.reserve(size);
    bool first = true;
    for (auto f : fields) {
        if (!first) text.append(separator);
        text.append(f);
        first = false;
    }
    return text;
}

// Grows the list's array by one slot and puts a copy of `element` (cut at
// 132 characters) there. The list stays valid and releasable on failure.
class list_builder {
public:
    explicit list_builder(host_string_array& list) : list_(list) {}

    int start()
    {
        int status = 0;
        void* raw = host_ops().HOST_allocate_memory(sizeof(char*), &status);
        if (raw == nullptr || status != 0) {
            if (raw != nullptr) host_ops().HOST_free(raw);
            return status != 0 ? status : 1;
        }
        capacity_ = 1;
        list_.adopt(0, static_cast<char**>(raw));
        return 0;
    }

    int add(std::string_view element)
    {
        if (element.size() > split_element_limit) element = element.substr(0, split_element_limit);
        char** array = list_.data();
        int count = list_.count();
        if (static_cast<std::size_t>(count) == capacity_) {
            void* block = array;
            const int status = grow_host_block(block, capacity_ * 2 * sizeof(char*));
            // The list keeps whichever block is the caller's now, grown or not,
            // so it stays readable and is released once.
            array = static_cast<char**>(block);
            list_.release();
            list_.adopt(count, array);
            if (status != 0) return status;
            capacity_ *= 2;
        }
        host_text copy;
        const int status = host_strdup(element, copy);
        if (status != 0) return status;
        array[count] = copy.release();
        list_.release();
        list_.adopt(count + 1, array);
        return 0;
    }

private:
    host_string_array& list_;
    std::size_t capacity_ = 0;
};

// The native file name of a part_spec: its text after the last "/". On
// Windows "\" ends a folder's name as well: the file name of
// "C:\parts\a.prt" is "a.prt", never the whole path.
std::string_view native_file_name(std::string_view part_spec)
{
    for (std::size_t at = part_spec.size(); at > 0; --at) {
        if (platform::ends_folder_name(part_spec[at - 1])) return part_spec.substr(at);
    }
    return part_spec;
}

}  // namespace

pdm_reply send_pdm_request(int code, const char* input_text)
{
    pdm_reply reply;
    reply.sent = true;
    char* raw = nullptr;
    reply.status = 1;
    host_ops().HOST_PDM_invoke_pdm_server(code, input_text, &reply.status, &raw);
    reply.text.reset(raw);
    return reply;
}

bool fits_slash_request(std::string_view field) noexcept { return field.find('/') == std::string_view::npos; }

bool fits_hash_request(std::string_view field) noexcept { return field.find('#') == std::string_view::npos; }

bool fits_tilde_request(std::string_view field) noexcept
{
    return field.find("~~") == std::string_view::npos && (field.empty() || (field.front() != '~' && field.back() != '~'));
}

pdm_reply get_export_file_name(std::string_view part_name)
{
    return send_text(request_get_export_file_name, std::string(part_name));
}

pdm_reply get_export_attributes(std::string_view part_name)
{
    return send_text(request_get_export_attributes, std::string(part_name));
}

pdm_reply pdi_backfill(std::string_view item_id, std::string_view rev_id)
{
    if (!fits_slash_request(item_id) || !fits_slash_request(rev_id)) return not_sent();
    return send_text(request_pdi_backfill, joined({item_id, rev_id}, "/"));
}

pdm_reply begin_import() { return send_pdm_request(request_begin_import, nullptr); }

pdm_reply end_import() { return send_pdm_request(request_end_import, nullptr); }

pdm_reply fill_import_filename(std::string_view item_id, std::string_view rev_id, std::string_view part_spec,
                               bool has_relation, std::string_view related_name)
{
    const std::string_view file_name = native_file_name(part_spec);
    for (std::string_view field : {item_id, rev_id, file_name, has_relation ? related_name : std::string_view()}) {
        if (!fits_hash_request(field)) return not_sent();
    }
    std::string text = joined({item_id, rev_id, file_name}, "#");
    if (has_relation) {
        text += '#';
        text.append(related_name);
    }
    if (text.size() > fill_import_filename_limit) return not_sent();
    return send_text(request_fill_import_filename, text);
}

pdm_reply get_item_type(std::string_view item_id) { return send_text(request_get_item_type, std::string(item_id)); }

pdm_reply auto_publish(std::string_view item_list)
{
    return send_text(request_auto_publish, std::string(item_list));
}

pdm_reply prepare_new_items(const char* records) { return send_pdm_request(request_prepare_new_items, records); }

pdm_reply check_revision(std::string_view item_id, std::string_view rev_id)
{
    if (!fits_slash_request(item_id) || !fits_slash_request(rev_id)) return not_sent();
    const std::string text = joined({item_id, rev_id}, "/");
    if (text.size() > check_revision_limit) return not_sent();
    return send_text(request_check_revision, text);
}

std::string related_name_request_text(std::string_view item_id, std::string_view rev_id,
                                      std::string_view default_item_type, std::string_view relation,
                                      std::string_view context)
{
    return joined({item_id, rev_id, default_item_type, relation, context}, "/");
}

pdm_reply get_related_name(std::string_view item_id, std::string_view rev_id, std::string_view default_item_type,
                           std::string_view relation, std::string_view context)
{
    for (std::string_view field : {item_id, rev_id, default_item_type, relation, context}) {
        if (!fits_slash_request(field)) return not_sent();
    }
    const std::string request_text = related_name_request_text(item_id, rev_id, default_item_type, relation, context);
    if (request_text.size() > get_related_name_limit) return not_sent();
    return send_text(request_get_related_name, request_text);
}

std::string name_description_text(std::string_view item_id, std::string_view rev_id, std::string_view name,
                                  std::string_view description)
{
    return joined({item_id, rev_id, name.substr(0, pdm_name_cut), description.substr(0, pdm_desc_cut)}, "~~");
}

bool name_description_fits(std::string_view name, std::string_view description) noexcept
{
    return fits_tilde_request(name.substr(0, pdm_name_cut)) && fits_tilde_request(description.substr(0, pdm_desc_cut));
}

pdm_reply set_name_description(std::string_view item_id, std::string_view rev_id, std::string_view name,
                               std::string_view description)
{
    if (!fits_tilde_request(item_id) || !fits_tilde_request(rev_id) || !name_description_fits(name, description)) {
        return not_sent();
    }
    return send_text(request_set_name_description, name_description_text(item_id, rev_id, name, description));
}

pdm_reply get_owner_name(std::string_view part_name)
{
    return send_text(request_get_owner_name, std::string(part_name));
}

pdm_reply get_exceptions() { return send_pdm_request(request_get_exceptions, nullptr); }

int split_text(const char* text, char separator, host_string_array& list)
{
    list.reset();
    if (text == nullptr) return 0;
    list_builder builder(list);
    int status = builder.start();
    if (status != 0) return status;

    const std::string_view whole(text);
    if (whole.find(separator) == std::string_view::npos) return builder.add(whole);

    std::size_t pos = 0;
    while (pos < whole.size()) {
        const auto next = whole.find(separator, pos);
        const auto end = next == std::string_view::npos ? whole.size() : next;
        if (end > pos) {
            status = builder.add(trim_to_alnum(whole.substr(pos, end - pos)));
            if (status != 0) return status;
        }
        pos = end + 1;
    }
    return 0;
}

int split_from_second(std::string_view name, char separator, host_string_array& list)
{
    const std::string rest(name.empty() ? std::string_view() : name.substr(1));
    return split_text(rest.c_str(), separator, list);
}

int lookup_exception(const host_string_array& list, std::string_view name, bool& flag)
{
    // A name in last position of an odd-length list has no value: untouched.
    for (int i = 0; i + 1 < list.count(); i += 2) {
        if (list[i] == name) {
            flag = list[i + 1] != "999";
            return 0;
        }
    }
    return 0;
}

}  // namespace kx
