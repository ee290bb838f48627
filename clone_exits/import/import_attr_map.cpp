#include "import/import_attr_map.h"

#include "platform/platform.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "session/settings.h"

#include <algorithm>

namespace kx {

namespace {

constexpr const char* map_file_variable = setting::import_attr_map_file;

int lookup_pair(const char* part_spec, std::string_view first_key, std::string_view second_key,
                host_text& first, host_text& second)
{
    first.reset();
    second.reset();
    load_import_attr_map();

    host_attribute_list attributes;
    if (attributes.fetch(part_spec) != 0) attributes.reset();

    int status = lookup_mapped_attribute(first_key, attributes, first);
    if (status == 0) status = lookup_mapped_attribute(second_key, attributes, second);
    if (status != 0) {
        first.reset();
        second.reset();
    }
    return status;
}

}  // namespace

std::string trim_blanks(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::optional<import_map_entry> parse_import_attr_map_line(std::string_view line)
{
    if (line.empty()) return std::nullopt;
    const std::string trimmed = trim_blanks(line);
    const auto equals = trimmed.find('=');
    if (equals == std::string::npos) return std::nullopt;
    return import_map_entry{trim_blanks(std::string_view(trimmed).substr(0, equals)),
                            trim_blanks(std::string_view(trimmed).substr(equals + 1))};
}

int load_import_attr_map()
{
    import_attr_map& map = state().import_map;
    if (map.loaded) return 0;
    // Each outcome below is kept for the rest of the process, the file is
    // not tried again. A failure of the library's own (out of memory) is no
    // outcome: it leaves the map unloaded, so that the next translation tries
    // again instead of going on without the site's mapping for good.
    const auto path = platform::get_env(map_file_variable);
    if (!path.is_set_non_empty()) {
        map.loaded = true;
        return 0;
    }

    // A file that opens but cannot be read through is no map at all, not an
    // empty one: a partial map would map some parts' values and silently not
    // others'. A path the platform cannot hand over names no file.
    const auto content = path.usable() ? platform::read_file(*path.exact()) : std::nullopt;
    if (!content.has_value()) {
        platform::print(msg::import_map_not_opened(*path.shown()));
        map.entries.clear();
        map.loaded = true;
        return mapping_file_not_opened;
    }

    std::vector<import_map_entry> entries;
    std::string_view rest(*content);
    while (entries.size() < import_map_capacity && !rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        // The host platform's text mode drops the carriage return of a line
        // end; a last line without a line feed keeps what it has.
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (auto entry = parse_import_attr_map_line(line)) entries.push_back(std::move(*entry));
    }
    map.entries = std::move(entries);
    map.loaded = true;
    return 0;
}

int lookup_mapped_attribute(std::string_view key, const host_attribute_list& attributes, host_text& value)
{
    value.reset();
    const auto& entries = state().import_map.entries;
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [key](const import_map_entry& e) { return e.key == key; });
    if (entry == entries.end()) return 0;

    for (int i = 0; i < attributes.count(); ++i) {
        if (attributes.title(i) == entry->title) return host_strdup(attributes.value(i), value);
    }
    return 0;
}

int lookup_name_and_description(const char* part_spec, host_text& name, host_text& description)
{
    return lookup_pair(part_spec, "DB_PART_NAME", "DB_PART_DESC", name, description);
}

int lookup_item_id_and_revision(const char* part_spec, host_text& item_id, host_text& revision)
{
    return lookup_pair(part_spec, "DB_PART_NO", "DB_PART_REV", item_id, revision);
}

import_map_setting read_import_map_setting() { return platform::get_env(map_file_variable).shown(); }

int map_name_and_description(const char* part_spec, const import_map_setting& setting, host_text& name,
                             host_text& description)
{
    name.reset();
    description.reset();
    if (!setting.has_value() || setting->empty()) return 0;
    return lookup_name_and_description(part_spec, name, description);
}

}  // namespace kx
