// The export log mapping file reader on any file content, read through the
// simulated host's text-file operations as the server's file would be. Every
// field must stay within its width, no section may appear that the counting
// pass did not count, and both passes must close their file.
#include "fuzz_support.h"

#include "completion/export_mapping.h"
#include "sim_host.h"

#include <string>

namespace {

const kxfuzz::scratch_file& mapping_file()
{
    static const kxfuzz::scratch_file file;
    return file;
}

// The host's line buffer holds at most this many characters of a line.
constexpr std::size_t longest_line = kx::mapping_line_buffer - 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    mapping_file().write(data, size);
    kxfuzz::next_input();
    const std::string& path = mapping_file().path();

    int counted = -1;
    KX_FUZZ_CHECK(kx::count_part_sections(path, counted) == 0);
    KX_FUZZ_CHECK(counted >= 0 && static_cast<std::size_t>(counted) <= size);
    KX_FUZZ_CHECK(sim::open_text_channels() == 0);

    {
        kx::export_map map;
        // Nothing fails here but lost lines, and those are always told.
        const int status = kx::read_export_mapping_file(path, map);
        KX_FUZZ_CHECK(status == (map.lines_lost ? 1 : 0));
        KX_FUZZ_CHECK(sim::open_text_channels() == 0);
        KX_FUZZ_CHECK(map.section_count() <= counted);
        KX_FUZZ_CHECK(map.export_dir.size() <= kx::export_dir_limit);
        for (const kx::part_section& section : map.sections) {
            KX_FUZZ_CHECK(section.part_file.size() <= longest_line);
            KX_FUZZ_CHECK(section.part_file.find('=') == std::string::npos);
            KX_FUZZ_CHECK(section.part_file_too_long == (section.part_file.size() > kx::part_file_limit ||
                                                        section.part_file.find('\0') != std::string::npos));
            KX_FUZZ_CHECK(section.lines.size() <= kx::mapping_lines_limit);
            KX_FUZZ_CHECK(!section.lines_dropped || section.lines.size() == kx::mapping_lines_limit);
            KX_FUZZ_CHECK(!section.lines_dropped || map.lines_lost);
            for (const kx::attribute_line& line : section.lines) {
                KX_FUZZ_CHECK(line.key.size() <= kx::mapping_key_limit);
                KX_FUZZ_CHECK(line.key.find('=') == std::string::npos);
                KX_FUZZ_CHECK(line.value.size() <= kx::mapping_value_limit);
            }
        }
    }
    KX_FUZZ_CHECK(sim::outstanding_allocations() == 0);
    KX_FUZZ_CHECK(sim::host().misuse.empty());
    return 0;
}
