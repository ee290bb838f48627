// clonesim --html, checked in the page's source: whatever the texts of a
// session hold, the session's data cannot end its script element or open an
// HTML comment, the page is plain ASCII, and the data gives back every text
// byte for byte. What the page shows is checked in chromium
// (tests/browser/).
#include "clonesim_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kxtest::page_data;
using kxtest::read_file;
using kxtest::scratch;

const fs::path source_dir = KX_SOURCE_DIR;

std::size_t count_of(std::string text, const std::string& what)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Undoes the escape of bytes that are not UTF-8 (U+10FF00 + byte, which
// is F4 8F BC..BF xx in UTF-8).
std::string bytes_of(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xF4 && i + 3 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x8F &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFC) == 0xBC) {
            const unsigned low = ((static_cast<unsigned char>(text[i + 2]) & 0x3) << 6) |
                                 (static_cast<unsigned char>(text[i + 3]) & 0x3F);
            out += static_cast<char>(low);
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct page_case {
    const char* name;
    fs::path scenario;
};

void PrintTo(const page_case& c, std::ostream* os) { *os << c.name; }

class html_page : public ::testing::TestWithParam<page_case> {};

TEST_P(html_page, data_cannot_break_out_and_is_ascii)
{
    scratch tmp;
    const fs::path file = tmp / "page.html";
    const auto run = kxtest::run_clonesim({"run", GetParam().scenario.string(), "--html", file.string()}, tmp.path());
    ASSERT_TRUE(run.exit_status == 0 || run.exit_status == 1) << run.err;
    const std::string page = read_file(file);
    // The data element and the page's own script.
    EXPECT_EQ(count_of(page, "</script"), 2u);
    EXPECT_EQ(count_of(page, "<script"), 2u);
    EXPECT_EQ(count_of(page, "<!--"), 0u);
    EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
    const auto data = page_data(page);
    ASSERT_TRUE(data.is_object());
    EXPECT_FALSE(data["parts"].empty());
}

INSTANTIATE_TEST_SUITE_P(
    sessions, html_page,
    ::testing::Values(page_case{"import_mapped", source_dir / "examples/import_mapped.json"},
                      page_case{"export_design_log", source_dir / "examples/export_design_log.json"},
                      page_case{"import_refused", source_dir / "examples/import_refused.json"},
                      page_case{"hostile", source_dir / "tests/browser/hostile/hostile.json"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(html_page_texts, come_back_byte_for_byte)
{
    scratch tmp;
    const fs::path scenario = source_dir / "tests/browser/hostile/hostile.json";
    const fs::path file = tmp / "page.html";
    const auto run = kxtest::run_clonesim({"run", scenario.string(), "--html", file.string()}, tmp.path());
    ASSERT_TRUE(run.exit_status == 0 || run.exit_status == 1) << run.err;
    const auto data = page_data(read_file(file));
    const auto source = nlohmann::json::parse(read_file(scenario));

    EXPECT_EQ(data["parts"][0]["name"], source["parts"][0]["name"]);
    // The PDM name is cut at 32 bytes inside "é": its first byte is left.
    bool cut_seen = false;
    for (const auto& request : data["requests"])
        if (request["code"] == 34 && request["input"].is_string())
            cut_seen |= bytes_of(request["input"].get<std::string>()).find("cast i\xC3~~") != std::string::npos;
    EXPECT_TRUE(cut_seen);
    std::string out;
    for (const auto& line : data["stdout"]) out += bytes_of(line.get<std::string>());
    EXPECT_NE(out.find("\xE2\x80\xA8 \xFF\xFE"), std::string::npos);
}

TEST(html_page_file, a_page_that_cannot_be_written_is_a_usage_error)
{
    scratch tmp;
    const auto run = kxtest::run_clonesim(
        {"run", (source_dir / "examples/clone.json").string(), "--html", tmp.path().string()}, tmp.path());
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err.rfind("clonesim: cannot write the HTML report", 0), 0u) << run.err;
}

}  // namespace
