// The derived-name road on any file name: derived_part_name alone, then the
// import translation callback for a part without a file whose file name the
// host gives as the input, writing into a buffer of exactly the host's size.
#include "fuzz_support.h"

#include "import/import_translation.h"
#include "entry/callbacks.h"
#include "session/session_state.h"
#include "sim_host.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

constexpr const char* part_spec = "/in/fuzz.prt";
// The host's file-name buffer holds 31 characters; a longer name is refused.
constexpr std::size_t longest_file_name = 31;

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The name must be "@DB/" NUMBER "/" REV, REV being three characters, or
// eight in the form "xxx.0yyy", or "001" after the whole file name.
void check_derived_shape(std::string_view file_name, std::string_view name)
{
    KX_FUZZ_CHECK(starts_with(name, "@DB/"));
    KX_FUZZ_CHECK(name.size() <= file_name.size() + 11);
    if (std::count(file_name.begin(), file_name.end(), '.') != 2) {
        KX_FUZZ_CHECK(name == "@DB/" + std::string(file_name) + "/001");
        return;
    }
    const std::string_view number = file_name.substr(0, file_name.find('.'));
    if (number.empty() || file_name.back() == '.' || file_name.find("..") != std::string_view::npos) {
        KX_FUZZ_CHECK(name == "@DB/" + std::string(file_name) + "/001");
        return;
    }
    const std::string base = "@DB/" + std::string(number) + "/";
    KX_FUZZ_CHECK(starts_with(name, base));
    const std::string_view revision = name.substr(base.size());
    KX_FUZZ_CHECK(revision.size() == 3 || (revision.size() == 8 && revision.substr(3, 2) == ".0"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    check_derived_shape(input, kx::derived_part_name(input));

    kx::reset_library_state();
    kxfuzz::next_input();
    sim::clone_part part;
    part.name = part_spec;
    part.file_exists = false;
    sim::host().parts.assign(1, part);
    sim::host().def_item_type = "Part";
    sim::host().file_name_override = input;

    // Exactly the host's size on the heap, so a write past it is caught.
    const auto new_name = std::make_unique<char[]>(HOST_MAX_FSPEC_BUFSIZE);
    const int status = kx::translate_import_part(part_spec, new_name.get());
    if (input.size() > longest_file_name) {
        KX_FUZZ_CHECK(status == 5);
    } else {
        KX_FUZZ_CHECK(status == 0);
        KX_FUZZ_CHECK(std::memchr(new_name.get(), '\0', HOST_MAX_FSPEC_BUFSIZE) != nullptr);
        const std::string_view written(new_name.get());
        KX_FUZZ_CHECK(written.size() < HOST_MAX_FSPEC_BUFSIZE);
        // The host hands the name over as a C text: it ends at a NUL byte.
        KX_FUZZ_CHECK(written == kx::derived_part_name(input.c_str()));
    }
    KX_FUZZ_CHECK(sim::host().message_boxes.empty());
    KX_FUZZ_CHECK(kx::state().file_struct.empty());

    kx::reset_library_state();
    KX_FUZZ_CHECK(sim::outstanding_allocations() == 0);
    KX_FUZZ_CHECK(sim::host().misuse.empty());
    return 0;
}
