// split_text on any text and any separator: the first input byte is the
// separator, the rest the text (up to its first NUL, as the host hands texts
// over). Every list must match the splitting rule, fit its elements and be
// given back whole.
#include "fuzz_support.h"

#include "pdm/pdm_requests.h"
#include "sim_host.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t element_limit = 132;

bool is_ascii_alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The splitting rule written out plainly: the whole text when the separator
// does not occur, otherwise the non-empty tokens trimmed to their first and
// last letter or digit (a token without any gives an empty element).
std::vector<std::string> expected_split(std::string_view text, char separator)
{
    if (text.find(separator) == std::string_view::npos) return {std::string(text.substr(0, element_limit))};
    std::vector<std::string> elements;
    std::string token;
    const auto flush = [&] {
        if (token.empty()) return;
        std::size_t first = 0, last = token.size();
        while (first < last && !is_ascii_alnum(token[first])) ++first;
        while (last > first && !is_ascii_alnum(token[last - 1])) --last;
        elements.push_back(token.substr(first, std::min(last - first, element_limit)));
        token.clear();
    };
    for (char c : text) {
        if (c == separator) flush();
        else token.push_back(c);
    }
    flush();
    return elements;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    kxfuzz::next_input();
    {
        kx::host_string_array list;
        if (size == 0) {
            KX_FUZZ_CHECK(kx::split_text(nullptr, '/', list) == 0);
            KX_FUZZ_CHECK(!list.held() && list.count() == 0);
            return 0;
        }
        const char separator = static_cast<char>(data[0]);
        const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
        const char* text = bytes.c_str();

        KX_FUZZ_CHECK(kx::split_text(text, separator, list) == 0);
        const std::vector<std::string> expected = expected_split(text, separator);
        KX_FUZZ_CHECK(list.held());
        KX_FUZZ_CHECK(static_cast<std::size_t>(list.count()) == expected.size());
        for (int i = 0; i < list.count(); ++i) {
            const std::string_view element = list[i];
            KX_FUZZ_CHECK(element.size() <= element_limit);
            KX_FUZZ_CHECK(separator == '\0' || element.find(separator) == std::string_view::npos);
            KX_FUZZ_CHECK(element == expected[static_cast<std::size_t>(i)]);
        }
    }
    KX_FUZZ_CHECK(sim::outstanding_allocations() == 0);
    KX_FUZZ_CHECK(sim::host().misuse.empty());
    return 0;
}
