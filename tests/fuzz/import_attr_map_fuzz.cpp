// The import attribute mapping file loader on any file content, followed by
// the lookups of the four keys for a part that carries an attribute for every
// title the file mapped. The map must hold exactly the entries that the line
// rules give, and the lookups the values those entries designate.
#include "fuzz_support.h"

#include "import/import_attr_map.h"
#include "session/session_state.h"
#include "sim_host.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const char* part_spec = "/in/fuzz.prt";
constexpr std::size_t capacity = 10;

std::string without_blanks(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(' ') - first + 1));
}

// The file's entries written out plainly: lines end at a line feed (a
// carriage return before it goes with it), blanks are trimmed, lines without
// "=" are skipped, the first "=" splits, ten entries at most.
std::vector<kx::import_map_entry> expected_entries(std::string_view content)
{
    std::vector<kx::import_map_entry> entries;
    std::size_t pos = 0;
    while (pos < content.size() && entries.size() < capacity) {
        const auto end = content.find('\n', pos);
        std::string_view line = content.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = end == std::string_view::npos ? content.size() : end + 1;
        const std::string trimmed = without_blanks(line);
        const auto equals = trimmed.find('=');
        if (equals == std::string::npos) continue;
        entries.push_back({without_blanks(std::string_view(trimmed).substr(0, equals)),
                           without_blanks(std::string_view(trimmed).substr(equals + 1))});
    }
    return entries;
}

// The value a lookup must give for `key`: the attribute of the first entry's
// title, or none. A title with a NUL byte can never be an attribute title the
// host hands over, so it was given no attribute.
std::optional<std::string> expected_value(const std::vector<kx::import_map_entry>& entries, std::string_view key)
{
    for (const auto& entry : entries) {
        if (entry.key != key) continue;
        if (entry.title.find('\0') != std::string::npos) return std::nullopt;
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].title == entry.title) return "value " + std::to_string(i);
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> as_optional(const kx::host_text& text)
{
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
}

bool same(const std::vector<kx::import_map_entry>& a, const std::vector<kx::import_map_entry>& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].key != b[i].key || a[i].title != b[i].title) return false;
    return true;
}

kxfuzz::quiet_system& fuzz_system()
{
    static kxfuzz::quiet_system system;
    return system;
}

const kxfuzz::scratch_file& map_file()
{
    static const kxfuzz::scratch_file file;
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    map_file().write(data, size);
    fuzz_system().env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file().path();
    kx::platform::install(&fuzz_system());
    kx::reset_library_state();
    kxfuzz::next_input();

    KX_FUZZ_CHECK(kx::load_import_attr_map() == 0);
    const kx::import_attr_map& map = kx::state().import_map;
    KX_FUZZ_CHECK(map.loaded);
    KX_FUZZ_CHECK(map.entries.size() <= capacity);
    const std::vector<kx::import_map_entry> expected = expected_entries(content);
    KX_FUZZ_CHECK(same(map.entries, expected));

    // Loaded once: a second call changes nothing, even with the file gone.
    fuzz_system().env.erase("KXPDM_IMPORT_ATTR_MAP_FILE");
    KX_FUZZ_CHECK(kx::load_import_attr_map() == 0);
    KX_FUZZ_CHECK(same(map.entries, expected));

    sim::clone_part part;
    part.name = part_spec;
    for (std::size_t i = 0; i < map.entries.size(); ++i) {
        const std::string& title = map.entries[i].title;
        if (title.find('\0') == std::string::npos) part.attributes.emplace_back(title, "value " + std::to_string(i));
    }
    sim::host().parts.assign(1, std::move(part));
    {
        kx::host_text item_id, revision, name, description;
        KX_FUZZ_CHECK(kx::lookup_item_id_and_revision(part_spec, item_id, revision) == 0);
        KX_FUZZ_CHECK(kx::lookup_name_and_description(part_spec, name, description) == 0);
        KX_FUZZ_CHECK(as_optional(item_id) == expected_value(expected, "DB_PART_NO"));
        KX_FUZZ_CHECK(as_optional(revision) == expected_value(expected, "DB_PART_REV"));
        KX_FUZZ_CHECK(as_optional(name) == expected_value(expected, "DB_PART_NAME"));
        KX_FUZZ_CHECK(as_optional(description) == expected_value(expected, "DB_PART_DESC"));
    }
    kx::reset_library_state();
    KX_FUZZ_CHECK(sim::outstanding_allocations() == 0);
    KX_FUZZ_CHECK(sim::host().misuse.empty());
    kx::platform::install(nullptr);
    return 0;
}
