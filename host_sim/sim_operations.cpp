// The host operations of host/host_api.h over the model of sim_host.h.
// Each one logs itself, counts itself and lets an injected fault fire before
// it touches anything.
#include "sim_internal.h"

#include "host/host_codes.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace sim;

namespace {

// Statuses the simulated host answers with on its own failures.
constexpr int status_bad_argument = 1;
constexpr int status_not_found = 2;
constexpr int status_not_open = 3;
constexpr int status_too_long = 4;
constexpr int status_no_work_part = 5;
constexpr int status_not_string = 6;
constexpr int status_no_iteration = 7;
constexpr int status_no_memory = 8;
constexpr int status_no_callback = 1;  // remove_ntfy_callback found nothing
constexpr int text_open_failed = -2;
constexpr int text_bad_channel = -9;

std::string num(long long value) { return std::to_string(value); }

// The call log's text of an operation that takes no arguments.
const auto no_args = [] { return std::string(); };

std::string join(std::initializer_list<std::string> parts)
{
    std::string joined;
    for (const std::string& p : parts) {
        if (!joined.empty()) joined += ", ";
        joined += p;
    }
    return joined;
}

// Flags a null output argument: a real host would crash on it.
bool null_output(const char* operation, const void* pointer)
{
    if (pointer != nullptr) return false;
    host().misuse.push_back(std::string(operation) + ": NULL output argument");
    return true;
}

clone_part* part_named(const char* name)
{
    return name != nullptr ? find_part(name) : nullptr;
}

part_file* file_of(host_tag_t tag)
{
    if (part_file* opened = opened_file(tag)) return opened;
    const auto& tags = host().part_tags;
    const auto found = tags.find(tag);
    if (found == tags.end()) return nullptr;
    const auto file = host().part_files.find(found->second);
    return file == host().part_files.end() ? nullptr : &file->second;
}

// Copies `text` into a caller's buffer of `size` bytes, cut to fit.
void copy_cut(std::string_view text, char* buffer, std::size_t size)
{
    if (host().unterminated_outputs) {
        std::memset(buffer, ' ', size);
        if (!text.empty()) std::memcpy(buffer, text.data(), std::min(text.size(), size));
        return;
    }
    const std::size_t n = std::min(text.size(), size - 1);
    if (n != 0) std::memcpy(buffer, text.data(), n);  // an empty view may have no data
    buffer[n] = '\0';
}

// The query shape shared by the optional texts of one part.
int ask_part_text(const char* operation, const char* part_name, char** out,
                  std::optional<std::string> clone_part::*field)
{
    if (auto failed = enter(operation, [&] { return arg(part_name); })) return *failed;
    if (null_output(operation, out)) return status_bad_argument;
    clone_part* part = part_named(part_name);
    if (part == nullptr) return status_not_found;
    *out = tracked_copy(part->*field);
    return 0;
}

int ask_default_text(const char* operation, char** out, const std::optional<std::string>& value)
{
    if (auto failed = enter(operation, no_args)) return *failed;
    if (null_output(operation, out)) return status_bad_argument;
    *out = tracked_copy(value);
    return 0;
}

int set_part_text(const char* operation, const char* part_name, const char* text,
                  std::optional<std::string> clone_part::*field)
{
    if (auto failed = enter(operation, [&] { return join({arg(part_name), arg(text)}); })) return *failed;
    clone_part* part = part_named(part_name);
    if (part == nullptr) return status_not_found;
    part->*field = text != nullptr ? std::optional<std::string>(text) : std::nullopt;
    return 0;
}

int ask_part_int(const char* operation, const char* part_name, int* out, int clone_part::*field)
{
    if (auto failed = enter(operation, [&] { return arg(part_name); })) return *failed;
    if (null_output(operation, out)) return status_bad_argument;
    clone_part* part = part_named(part_name);
    if (part == nullptr) return status_not_found;
    *out = part->*field;
    return 0;
}

int ask_int(const char* operation, int* out, int value)
{
    if (auto failed = enter(operation, no_args)) return *failed;
    if (null_output(operation, out)) return status_bad_argument;
    *out = value;
    return 0;
}

bool file_on_disk(const char* path)
{
    struct stat info {};
    return path != nullptr && ::stat(path, &info) == 0;
}

}  // namespace

extern "C" {

// --- start and end ----------------------------------------------------------

int HOST_initialize(void)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_initialize", no_args)) return *failed;
    host().initialized = true;
    return 0;
}

int HOST_terminate(void)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_terminate", no_args)) return *failed;
    host().initialized = false;
    return 0;
}

// --- notifications and auto-translation ------------------------------------

int HOST_CLONE_register_ntfy_callback(int point, host_clone_notify_cb callback, const char* name,
                                      const char* description, int, int)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_CLONE_register_ntfy_callback", [&] { return join({num(point), arg(name)}); }))
        return *failed;
    host().callbacks.push_back(
        registered_callback{point, callback, name != nullptr ? name : "", description != nullptr ? description : ""});
    return 0;
}

int HOST_CLONE_ask_ntfy_callbacks(int* count, host_clone_notify_cb** callbacks, char*** names,
                                  char*** descriptions)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_CLONE_ask_ntfy_callbacks";
    if (auto failed = enter(op, no_args)) return *failed;
    if (null_output(op, count) || null_output(op, callbacks) || null_output(op, names) ||
        null_output(op, descriptions))
        return status_bad_argument;
    const auto& registry = host().callbacks;
    std::vector<std::string> name_list;
    std::vector<std::string> description_list;
    for (const registered_callback& cb : registry) {
        name_list.push_back(cb.name);
        description_list.push_back(cb.description);
    }
    auto* functions = static_cast<host_clone_notify_cb*>(tracked_allocate(registry.size() * sizeof(host_clone_notify_cb)));
    char** name_array = tracked_string_array(name_list);
    char** description_array = tracked_string_array(description_list);
    if (functions == nullptr || name_array == nullptr || description_array == nullptr) {
        tracked_free(functions, op);
        if (name_array != nullptr) {
            for (char* text : std::vector<char*>(name_array, name_array + name_list.size())) tracked_free(text, op);
            tracked_free(name_array, op);
        }
        if (description_array != nullptr) {
            for (char* text : std::vector<char*>(description_array, description_array + description_list.size()))
                tracked_free(text, op);
            tracked_free(description_array, op);
        }
        return status_no_memory;
    }
    for (std::size_t i = 0; i < registry.size(); ++i) functions[i] = registry[i].callback;
    *count = static_cast<int>(registry.size());
    *callbacks = functions;
    *names = name_array;
    *descriptions = description_array;
    return 0;
}

int HOST_CLONE_remove_ntfy_callback(int point, const char* name, host_clone_notify_cb* removed)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_CLONE_remove_ntfy_callback";
    if (auto failed = enter(op, [&] { return join({num(point), arg(name)}); })) return *failed;
    if (null_output(op, removed)) return status_bad_argument;
    auto& registry = host().callbacks;
    for (auto it = registry.begin(); it != registry.end(); ++it) {
        if (it->point == point && name != nullptr && it->name == name) {
            *removed = it->callback;
            registry.erase(it);
            return 0;
        }
    }
    *removed = nullptr;
    return status_no_callback;
}

int HOST_PDM_set_clone_auto_trans(host_clone_trans_cb callback)
{
    const host_code_scope in_host;
    const auto described = [&] { return std::string(callback != nullptr ? "callback" : "NULL"); };
    if (auto failed = enter("HOST_PDM_set_clone_auto_trans", described))
        return *failed;
    host().translator = callback;
    return 0;
}

// --- clone queries ------------------------------------------------------------

int HOST_CLONE_ask_operation_class(int* operation_class)
{
    const host_code_scope in_host;
    return ask_int("HOST_CLONE_ask_operation_class", operation_class, host().operation_class);
}

int HOST_CLONE_ask_dryrun(int* dry_run)
{
    const host_code_scope in_host;
    return ask_int("HOST_CLONE_ask_dryrun", dry_run, host().dry_run ? 1 : 0);
}

int HOST_CLONE_ask_part_state(const char* part_name, int* state)
{
    const host_code_scope in_host;
    return ask_part_int("HOST_CLONE_ask_part_state", part_name, state, &clone_part::state);
}

int HOST_CLONE_ask_action(const char* part_name, int* action)
{
    const host_code_scope in_host;
    return ask_part_int("HOST_CLONE_ask_action", part_name, action, &clone_part::action);
}

int HOST_CLONE_ask_def_action(int* action)
{
    const host_code_scope in_host;
    return ask_int("HOST_CLONE_ask_def_action", action, host().def_action);
}

int HOST_CLONE_ask_naming(const char* part_name, int* naming_technique, char** output_name)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_CLONE_ask_naming";
    if (auto failed = enter(op, [&] { return arg(part_name); })) return *failed;
    if (null_output(op, naming_technique) || null_output(op, output_name)) return status_bad_argument;
    clone_part* part = part_named(part_name);
    if (part == nullptr) return status_not_found;
    *naming_technique = part->naming;
    *output_name = tracked_copy(part->output_name);
    return 0;
}

int HOST_CLONE_ask_def_naming(int* naming_technique)
{
    const host_code_scope in_host;
    return ask_int("HOST_CLONE_ask_def_naming", naming_technique, host().def_naming);
}

int HOST_CLONE_ask_item_type(const char* part_name, char** item_type)
{
    const host_code_scope in_host;
    return ask_part_text("HOST_CLONE_ask_item_type", part_name, item_type, &clone_part::item_type);
}

int HOST_CLONE_ask_def_item_type(char** item_type)
{
    const host_code_scope in_host;
    return ask_default_text("HOST_CLONE_ask_def_item_type", item_type, host().def_item_type);
}

int HOST_CLONE_ask_pdm_name(const char* part_name, char** name)
{
    const host_code_scope in_host;
    return ask_part_text("HOST_CLONE_ask_pdm_name", part_name, name, &clone_part::pdm_name);
}

int HOST_CLONE_ask_def_pdm_name(char** name)
{
    const host_code_scope in_host;
    return ask_default_text("HOST_CLONE_ask_def_pdm_name", name, host().def_pdm_name);
}

int HOST_CLONE_ask_pdm_desc(const char* part_name, char** description)
{
    const host_code_scope in_host;
    return ask_part_text("HOST_CLONE_ask_pdm_desc", part_name, description, &clone_part::pdm_desc);
}

int HOST_CLONE_ask_def_pdm_desc(char** description)
{
    const host_code_scope in_host;
    return ask_default_text("HOST_CLONE_ask_def_pdm_desc", description, host().def_pdm_desc);
}

int HOST_CLONE_ask_attribute_values(const char* part_name, int* count, char*** titles, char*** values)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_CLONE_ask_attribute_values";
    if (auto failed = enter(op, [&] { return arg(part_name); })) return *failed;
    if (null_output(op, count) || null_output(op, titles) || null_output(op, values)) return status_bad_argument;
    clone_part* part = part_named(part_name);
    if (part == nullptr) return status_not_found;
    std::vector<std::string> title_list;
    std::vector<std::string> value_list;
    for (const attribute& attr : part->attributes) {
        title_list.push_back(attr.first);
        value_list.push_back(attr.second);
    }
    // Arrays are handed out even for no attributes, so that a caller that
    // forgets to release them shows up as a leak.
    char** title_array = tracked_string_array(title_list);
    char** value_array = tracked_string_array(value_list);
    if (title_array == nullptr || value_array == nullptr) {
        for (char** array : {title_array, value_array}) {
            if (array == nullptr) continue;
            for (std::size_t i = 0; i < title_list.size(); ++i) tracked_free(array[i], op);
            tracked_free(array, op);
        }
        return status_no_memory;
    }
    *count = static_cast<int>(title_list.size());
    *titles = title_array;
    *values = value_array;
    return 0;
}

int HOST_CLONE_ask_def_directory(char** directory)
{
    const host_code_scope in_host;
    return ask_default_text("HOST_CLONE_ask_def_directory", directory, host().def_directory);
}

int HOST_CLONE_start_iteration(void)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_CLONE_start_iteration", no_args)) return *failed;
    host().iterating = true;
    host().iteration_cursor = 0;
    return 0;
}

int HOST_CLONE_iterate(char** part_name)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_CLONE_iterate";
    if (auto failed = enter(op, no_args)) return *failed;
    if (null_output(op, part_name)) return status_bad_argument;
    host_model& h = host();
    if (!h.iterating) {
        h.misuse.push_back("HOST_CLONE_iterate: no iteration started");
        return status_no_iteration;
    }
    if (h.iteration_cursor >= h.parts.size()) {
        *part_name = nullptr;
        return 0;
    }
    char* copy = tracked_copy(std::string_view(h.parts[h.iteration_cursor].name));
    if (copy == nullptr) return status_no_memory;
    ++h.iteration_cursor;
    *part_name = copy;
    return 0;
}

int HOST_CLONE_stop_iteration(void)
{
    const host_code_scope in_host;
    const auto described = [] { return std::string(host().iterating ? "iterating" : "not iterating"); };
    if (auto failed = enter("HOST_CLONE_stop_iteration", described))
        return *failed;
    host().iterating = false;
    ++host().iteration_stops;
    return 0;
}

// --- clone settings -------------------------------------------------------------

int HOST_CLONE_set_def_naming(int naming_technique)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_CLONE_set_def_naming", [&] { return num(naming_technique); })) return *failed;
    host().def_naming = naming_technique;
    return 0;
}

int HOST_CLONE_set_item_type(const char* part_name, const char* item_type)
{
    const host_code_scope in_host;
    return set_part_text("HOST_CLONE_set_item_type", part_name, item_type, &clone_part::item_type);
}

int HOST_CLONE_set_pdm_name(const char* part_name, const char* name)
{
    const host_code_scope in_host;
    return set_part_text("HOST_CLONE_set_pdm_name", part_name, name, &clone_part::pdm_name);
}

int HOST_CLONE_set_pdm_desc(const char* part_name, const char* description)
{
    const host_code_scope in_host;
    return set_part_text("HOST_CLONE_set_pdm_desc", part_name, description, &clone_part::pdm_desc);
}

// --- PDM manager ------------------------------------------------------------------

int HOST_PDM_ask_part_tag(const char* part_number, host_tag_t* part)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_ask_part_tag";
    if (auto failed = enter(op, [&] { return arg(part_number); })) return *failed;
    if (null_output(op, part)) return status_bad_argument;
    *part = HOST_NULL_TAG;
    if (part_number == nullptr) return 0;
    *part = item_tag(part_number);
    return 0;
}

int HOST_PDM_ask_part_name_desc(host_tag_t part, char name[HOST_PDM_NAME_BUFSIZE],
                                char description[HOST_PDM_DESC_BUFSIZE])
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_ask_part_name_desc";
    if (auto failed = enter(op, [&] { return num(part); })) return *failed;
    if (null_output(op, name) || null_output(op, description)) return status_bad_argument;
    const auto& items = host().items;
    if (part == HOST_NULL_TAG || part > items.size()) return status_not_found;
    const pdm_item& item = items[part - 1];
    copy_cut(item.name, name, HOST_PDM_NAME_BUFSIZE);
    copy_cut(item.description, description, HOST_PDM_DESC_BUFSIZE);
    return 0;
}

int HOST_PDM_assign_part_number(const char* part_number, const char* item_type,
                                char new_number[HOST_PDM_ID_BUFSIZE], int* modifiable)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_assign_part_number";
    if (auto failed = enter(op, [&] { return join({arg(part_number), arg(item_type)}); })) return *failed;
    if (null_output(op, new_number) || null_output(op, modifiable)) return status_bad_argument;
    char number[HOST_PDM_ID_BUFSIZE];
    std::snprintf(number, sizeof number, "%06d", host().next_item_number++);
    copy_cut(number, new_number, HOST_PDM_ID_BUFSIZE);
    *modifiable = 1;
    return 0;
}

int HOST_PDM_assign_part_rev(const char* part_number, const char* item_type,
                             char new_revision[HOST_PDM_ID_BUFSIZE], int* modifiable)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_assign_part_rev";
    if (auto failed = enter(op, [&] { return join({arg(part_number), arg(item_type)}); })) return *failed;
    if (null_output(op, new_revision) || null_output(op, modifiable)) return status_bad_argument;
    copy_cut(host().initial_revision, new_revision, HOST_PDM_ID_BUFSIZE);
    *modifiable = 1;
    return 0;
}

int HOST_PDM_decode_part_filename(const char* encoded_name, char part_number[HOST_PDM_FIELD_BUFSIZE],
                                  char part_revision[HOST_PDM_FIELD_BUFSIZE],
                                  char file_type[HOST_PDM_FIELD_BUFSIZE],
                                  char file_name[HOST_PDM_FIELD_BUFSIZE])
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_decode_part_filename";
    if (auto failed = enter(op, [&] { return arg(encoded_name); })) return *failed;
    if (null_output(op, part_number) || null_output(op, part_revision) || null_output(op, file_type) ||
        null_output(op, file_name))
        return status_bad_argument;
    constexpr std::string_view prefix = "@DB/";
    const std::string_view name = encoded_name != nullptr ? encoded_name : "";
    if (name.substr(0, prefix.size()) != prefix) return status_bad_argument;
    std::vector<std::string_view> fields;
    std::string_view rest = name.substr(prefix.size());
    for (;;) {
        const std::size_t slash = rest.find('/');
        fields.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (fields.size() != 2 && fields.size() != 4) return status_bad_argument;
    for (std::string_view field : fields)
        if (field.size() > HOST_PDM_FIELD_BUFSIZE - 1) return status_too_long;
    fields.resize(4);
    char* outputs[] = {part_number, part_revision, file_type, file_name};
    for (std::size_t i = 0; i < 4; ++i) copy_cut(fields[i], outputs[i], HOST_PDM_FIELD_BUFSIZE);
    return 0;
}

int HOST_PDM_encode_part_filename(const char* part_number, const char* part_revision,
                                  const char* file_type, const char* file_name,
                                  char encoded_name[HOST_MAX_FSPEC_BUFSIZE])
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_encode_part_filename";
    const auto described = [&] { return join({arg(part_number), arg(part_revision), arg(file_type), arg(file_name)}); };
    if (auto failed = enter(op, described))
        return *failed;
    if (null_output(op, encoded_name)) return status_bad_argument;
    auto text = [](const char* t) { return std::string(t != nullptr ? t : ""); };
    std::string encoded = "@DB/" + text(part_number) + "/" + text(part_revision);
    if (file_type != nullptr && *file_type != '\0') encoded += "/" + text(file_type) + "/" + text(file_name);
    if (encoded.size() > HOST_MAX_FSPEC_BUFSIZE - 1) return status_too_long;
    copy_cut(encoded, encoded_name, HOST_MAX_FSPEC_BUFSIZE);
    return 0;
}

int HOST_PDM_invoke_pdm_server(int request_code, const char* input_text, int* status, char** reply_text)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PDM_invoke_pdm_server";
    if (auto failed = enter(op, [&] { return join({num(request_code), arg(input_text)}); })) return *failed;
    if (null_output(op, status) || null_output(op, reply_text)) return status_bad_argument;
    host_model& h = host();
    pdm_response response;
    if (h.server) response = h.server(request_code, input_text);
    char* reply = tracked_copy(response.reply);
    if (response.reply.has_value() && reply == nullptr) return status_no_memory;
    *status = response.status;
    *reply_text = reply;
    h.requests.push_back(pdm_request{request_code,
                                     input_text != nullptr ? std::optional<std::string>(input_text) : std::nullopt,
                                     response.status, response.reply});
    return 0;
}

// --- parts and attributes ---------------------------------------------------------

// A Windows host's file names take "\\" and "/" as one, and the library there
// joins its paths with "\\": a name that differs from a part file of the model
// only so names that part file.
static std::string windows_file_name(const host_model& h, std::string name)
{
#ifdef _WIN32
    if (h.part_files.count(name) != 0 || name.find('\\') == std::string::npos) return name;
    std::string slashes = name;
    for (char& c : slashes)
        if (c == '\\') c = '/';
    if (h.part_files.count(slashes) != 0) return slashes;
#else
    (void)h;
#endif
    return name;
}

int HOST_PART_open(const char* part_name, host_tag_t* part, host_part_load_status_t* load_status)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PART_open";
    if (auto failed = enter(op, [&] { return arg(part_name); })) return *failed;
    if (null_output(op, part) || null_output(op, load_status)) return status_bad_argument;
    host_model& h = host();
    const std::string name = windows_file_name(h, part_name != nullptr ? part_name : "");
    if (h.log_calls) h.open_order.push_back(name);
    // Parts are mostly opened in the order of their names: the one after the
    // part opened last is tried first.
    auto found = h.part_files.end();
    auto& opened = internals().opened;
    if (opened.file != nullptr && opened.files == h.part_files.size() && opened.at != h.part_files.end()) {
        const auto next = std::next(opened.at);
        if (opened.at->first == name)
            found = opened.at;
        else if (next != h.part_files.end() && next->first == name)
            found = next;
    }
    if (found == h.part_files.end()) found = h.part_files.find(name);
    const int result = found != h.part_files.end() ? 0 : h.default_open_failure;

    // The load status is filled on failure too, so that a caller that does
    // not release it on that path leaks.
    char** names = tracked_string_array({name});
    auto* statuses = static_cast<int*>(tracked_allocate(sizeof(int)));
    if (names == nullptr || statuses == nullptr) {
        if (names != nullptr) {
            tracked_free(names[0], op);
            tracked_free(names, op);
        }
        tracked_free(statuses, op);
        return status_no_memory;
    }
    statuses[0] = result;
    *load_status = host_part_load_status_t{result != 0 ? 1 : 0, 1, names, statuses};

    if (result != 0) {
        *part = HOST_NULL_TAG;
        return result;
    }
    part_file& file = found->second;
    file.open = true;
    if (h.log_calls) file.assem_member8_at_open.push_back(h.assem_options.member[kx::component_loading_member]);
    h.work_part = name;
    *part = part_tag(name);
    opened.file = &file;
    opened.at = found;
    opened.name = name;
    opened.tag = *part;
    opened.files = h.part_files.size();
    return 0;
}

int HOST_PART_save(void)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_PART_save", [&] { return std::string(host().work_part); })) return *failed;
    host_model& h = host();
    part_file* file = opened_file(h.work_part);
    if (file == nullptr && !h.work_part.empty()) {
        const auto found = h.part_files.find(h.work_part);
        if (found != h.part_files.end()) file = &found->second;
    }
    if (h.work_part.empty() || file == nullptr) return status_no_work_part;
    ++file->saves;
    if (h.log_calls) file->save_trueshape_at_save.push_back(h.save_trueshape ? 1 : 0);
    return 0;
}

int HOST_PART_close(host_tag_t part, int scope, int mode)
{
    const host_code_scope in_host;
    const auto& opened = internals().opened;
    std::string name;
    if (opened_file(part) != nullptr) {
        name = opened.name;
    } else {
        const auto tagged = host().part_tags.find(part);
        name = tagged != host().part_tags.end() ? tagged->second : num(part);
    }
    if (auto failed = enter("HOST_PART_close", [&] { return join({name, num(scope), num(mode)}); })) return *failed;
    part_file* file = file_of(part);
    if (file == nullptr) return status_not_found;
    // A closed part's tag is no longer valid in the host.
    if (!file->open) return status_not_open;
    file->open = false;
    ++file->closes;
    if (host().work_part == name) host().work_part.clear();
    return 0;
}

int HOST_PART_is_family_instance(host_tag_t part, int* is_instance)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_PART_is_family_instance";
    if (auto failed = enter(op, [&] { return num(part); })) return *failed;
    if (null_output(op, is_instance)) return status_bad_argument;
    const part_file* file = file_of(part);
    if (file == nullptr) return status_not_found;
    *is_instance = file->family_instance ? 1 : 0;
    return 0;
}

int HOST_ASSEM_ask_assem_options(host_assem_options_t* options)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_ASSEM_ask_assem_options";
    if (auto failed = enter(op, no_args)) return *failed;
    if (null_output(op, options)) return status_bad_argument;
    *options = host().assem_options;
    return 0;
}

int HOST_ASSEM_set_assem_options(const host_assem_options_t* options)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_ASSEM_set_assem_options";
    const auto described = [&] {
        return options != nullptr ? "member8=" + num(options->member[kx::component_loading_member])
                                  : std::string("NULL");
    };
    if (auto failed = enter(op, described))
        return *failed;
    if (options == nullptr) return status_bad_argument;
    host().assem_options = *options;
    return 0;
}

int HOST_ASSEM_ask_save_trueshape(int* on)
{
    const host_code_scope in_host;
    return ask_int("HOST_ASSEM_ask_save_trueshape", on, host().save_trueshape ? 1 : 0);
}

int HOST_ASSEM_set_save_trueshape(int on)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_ASSEM_set_save_trueshape", [&] { return num(on); })) return *failed;
    host().save_trueshape = on != 0;
    return 0;
}

int HOST_ATTR_ask_part_attribute(host_tag_t* attribute_object)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_ATTR_ask_part_attribute";
    if (auto failed = enter(op, [&] { return std::string(host().work_part); })) return *failed;
    if (null_output(op, attribute_object)) return status_bad_argument;
    const host_model& h = host();
    if (h.work_part.empty() || (opened_file(h.work_part) == nullptr && h.part_files.count(h.work_part) == 0)) {
        *attribute_object = HOST_NULL_TAG;
        return status_no_work_part;
    }
    *attribute_object = part_tag(h.work_part);
    return 0;
}

int HOST_ATTR_find_attribute(host_tag_t object, int type, const char* title, int* title_type)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_ATTR_find_attribute";
    if (auto failed = enter(op, [&] { return join({num(object), num(type), arg(title)}); })) return *failed;
    if (null_output(op, title_type)) return status_bad_argument;
    const part_file* file = file_of(object);
    if (file == nullptr) {
        *title_type = 0;
        return status_not_found;
    }
    *title_type = title != nullptr && part_attribute(*file, title) != nullptr ? kx::string_attribute : 0;
    return 0;
}

int HOST_ATTR_assign(host_tag_t object, const char* title, host_attr_value_t value)
{
    const host_code_scope in_host;
    const auto described = [&] { return join({num(object), arg(title), arg(value.string)}); };
    if (auto failed = enter("HOST_ATTR_assign", described)) return *failed;
    if (value.type != kx::string_attribute) return status_not_string;
    if (title == nullptr) return status_bad_argument;
    part_file* file = file_of(object);
    if (file == nullptr) return status_not_found;
    const std::string text = value.string != nullptr ? value.string : "";
    for (attribute& attr : file->attributes) {
        if (attr.first == title) {
            attr.second = text;
            return 0;
        }
    }
    file->attributes.emplace_back(title, text);
    return 0;
}

int HOST_UNDO_delete_all_marks(void)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_UNDO_delete_all_marks", no_args)) return *failed;
    ++host().undo_mark_deletions;
    return 0;
}

// --- files -------------------------------------------------------------------------

int HOST_FILE_exists(const char* file_spec, int file_type)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_FILE_exists", [&] { return join({arg(file_spec), num(file_type)}); })) return *failed;
    if (const clone_part* part = part_named(file_spec)) return part->file_exists ? 0 : status_not_found;
    return file_on_disk(file_spec) ? 0 : status_not_found;
}

int HOST_FILE_ask_name(const char* file_spec, int file_type, char* name, int name_size)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_FILE_ask_name";
    if (auto failed = enter(op, [&] { return join({arg(file_spec), num(file_type), num(name_size)}); })) return *failed;
    if (null_output(op, name)) return status_bad_argument;
    std::string result;
    if (host().file_name_override.has_value()) {
        result = *host().file_name_override;
    } else {
        const std::string_view path = file_spec != nullptr ? file_spec : "";
        const std::size_t separator = path.find_last_of("/\\");
        std::string_view base = separator == std::string_view::npos ? path : path.substr(separator + 1);
        const std::size_t dot = base.rfind('.');
        if (dot != std::string_view::npos && base.substr(dot) == ".prt") base = base.substr(0, dot);
        result = base;
    }
    if (name_size <= 0 || result.size() + 1 > static_cast<std::size_t>(name_size)) return status_too_long;
    copy_cut(result, name, static_cast<std::size_t>(name_size));
    return 0;
}

int HOST_TEXT_open(const char* file_name, int access, int format)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_TEXT_open", [&] { return join({arg(file_name), num(access), num(format)}); }))
        return *failed > 0 ? -*failed : (*failed < 0 ? *failed : text_open_failed);
    if (file_name == nullptr) return text_open_failed;
    std::FILE* stream = std::fopen(file_name, "rb");
    if (stream == nullptr) return text_open_failed;
    host_internals& in = internals();
    const int channel = in.next_channel++;
    in.channels[channel] = text_channel{stream, file_name};
    return channel;
}

int HOST_TEXT_read_line(int channel, char* line, int line_size)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_TEXT_read_line";
    if (auto failed = enter(op, [&] { return join({num(channel), num(line_size)}); })) {
        // Only the end of file reads as kx::text_end_of_file, so a fault never looks like one
        // unless the test asks for exactly that.
        return *failed != 0 ? -std::abs(*failed) : -status_bad_argument;
    }
    const auto found = internals().channels.find(channel);
    if (found == internals().channels.end()) return text_bad_channel;
    if (line == nullptr || line_size <= 0) {
        null_output(op, nullptr);
        return -status_bad_argument;
    }
    std::FILE* stream = found->second.stream;
    std::string text;
    bool any = false;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        any = true;
        if (c == '\n') break;
        text.push_back(static_cast<char>(c));
    }
    if (!any) return kx::text_end_of_file;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    copy_cut(text, line, static_cast<std::size_t>(line_size));
    return static_cast<int>(std::min(text.size(), static_cast<std::size_t>(line_size - 1)));
}

int HOST_TEXT_close(int channel, int delete_file)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_TEXT_close", [&] { return join({num(channel), num(delete_file)}); })) return *failed;
    auto& channels = internals().channels;
    const auto found = channels.find(channel);
    if (found == channels.end()) return status_not_found;
    std::fclose(found->second.stream);
    const std::string path = found->second.path;
    channels.erase(found);
    if (delete_file != 0 && std::remove(path.c_str()) != 0) return status_not_found;
    return 0;
}

// --- messages ----------------------------------------------------------------------

int HOST_UI_display_nonmodal_msg(const char* title, const char* message, int position)
{
    const host_code_scope in_host;
    const auto described = [&] { return join({arg(title), arg(message), num(position)}); };
    if (auto failed = enter("HOST_UI_display_nonmodal_msg", described))
        return *failed;
    host().message_boxes.push_back(
        message_box{title != nullptr ? title : "", message != nullptr ? message : "", position});
    if (host().on_message_box) host().on_message_box(host().message_boxes.back());
    return 0;
}

int HOST_UI_is_listing_window_open(int* open)
{
    const host_code_scope in_host;
    return ask_int("HOST_UI_is_listing_window_open", open, host().listing_open ? 1 : 0);
}

int HOST_UI_open_listing_window(void)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_UI_open_listing_window", no_args)) return *failed;
    host().listing_open = true;
    return 0;
}

int HOST_UI_write_listing_window(const char* text)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_UI_write_listing_window", [&] { return arg(text); })) return *failed;
    if (text != nullptr) host().listing += text;
    return 0;
}

int HOST_get_fail_message(int status, char message[HOST_FAIL_MESSAGE_BUFSIZE])
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_get_fail_message";
    if (auto failed = enter(op, [&] { return num(status); })) return *failed;
    if (null_output(op, message)) return status_bad_argument;
    copy_cut(fail_message(status), message, HOST_FAIL_MESSAGE_BUFSIZE);
    return 0;
}

// --- memory -------------------------------------------------------------------------

void* HOST_allocate_memory(unsigned int size, int* status)
{
    const host_code_scope in_host;
    if (auto failed = enter("HOST_allocate_memory", [&] { return num(size); })) {
        if (status != nullptr) *status = *failed;
        return nullptr;
    }
    void* block = tracked_allocate(size);
    if (status != nullptr) *status = block != nullptr ? 0 : status_no_memory;
    return block;
}

void* HOST_reallocate_memory(void* data, unsigned int size, int* status)
{
    const host_code_scope in_host;
    constexpr const char* op = "HOST_reallocate_memory";
    if (auto failed = enter(op, [&] { return num(size); })) {
        if (status != nullptr) *status = *failed;
        return nullptr;
    }
    if (data != nullptr && !is_tracked(data)) {
        host().misuse.push_back("HOST_reallocate_memory: memory the host did not hand out, or already freed");
        if (status != nullptr) *status = status_bad_argument;
        return nullptr;
    }
    void* block = data != nullptr ? tracked_reallocate(data, size) : tracked_allocate(size);
    if (status != nullptr) *status = block != nullptr ? 0 : status_no_memory;
    return block;
}

void HOST_free(void* data)
{
    const host_code_scope in_host;
    enter("HOST_free", [&] {
        const auto size = internals().live_blocks.find(data);
        return data == nullptr ? std::string("NULL")
                               : size.has_value() ? num(static_cast<long long>(*size)) : "unknown";
    });
    tracked_free(data, "HOST_free");
}

void HOST_free_string_array(int count, char** array)
{
    const host_code_scope in_host;
    enter("HOST_free_string_array", [&] { return join({num(count), array != nullptr ? "array" : "NULL"}); });
    if (array == nullptr) return;
    if (!is_tracked(array)) {
        host().misuse.push_back("HOST_free_string_array: array the host did not hand out, or already freed");
        return;
    }
    // A count beyond the array's own size would read past it.
    const std::size_t capacity = internals().live_blocks.find(array).value_or(0) / sizeof(char*);
    std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    if (count < 0 || n > capacity) {
        host().misuse.push_back("HOST_free_string_array: count " + num(count) + " does not match the array");
        n = std::min(n, capacity);
    }
    for (std::size_t i = 0; i < n; ++i) tracked_free(array[i], "HOST_free_string_array");
    tracked_free(array, "HOST_free_string_array");
}

}  // extern "C"
