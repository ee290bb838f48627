// The export log mapping file: counting its part sections and parsing it.
#include "completion/export_mapping.h"
#include "host/host_codes.h"
#include "session/messages.h"
#include "test_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class mapping_file_test : public kxtest::library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        dir_ = scratch_dir();
    }
    void TearDown() override
    {
        EXPECT_EQ(sim::open_text_channels(), failed_closes_) << "a text channel was left open";
        library_test::TearDown();
    }

    // Writes `lines`, each followed by a line feed, and returns the path.
    std::string write(const std::vector<std::string>& lines, const std::string& name = "map.txt")
    {
        const fs::path path = dir_ / name;
        std::ofstream file(path, std::ios::binary);
        for (const std::string& line : lines) file << line << '\n';
        return path.string();
    }

    struct section_view {
        std::string part_file;
        std::vector<std::pair<std::string, std::string>> lines;
        bool operator==(const section_view&) const = default;
    };
    static std::vector<section_view> sections(const kx::export_map& map)
    {
        std::vector<section_view> out;
        for (const kx::part_section& s : map.sections) {
            section_view v{s.part_file, {}};
            for (const kx::attribute_line& l : s.lines) v.lines.emplace_back(l.key, l.value);
            out.push_back(v);
        }
        return out;
    }

    fs::path dir_;
    // A close that the host refuses leaves its channel open there.
    std::size_t failed_closes_ = 0;
};

TEST_F(mapping_file_test, reads_the_documented_example)
{
    const std::string path = write({"[Defaults]", "export_dir=D:\\export", "", "[part1]", "part_file=A100.prt",
                                    "  !I_EWO=W-1234", "  !I_DOCO1=Added hole", "", "[part2]",
                                    "part_file=A100.B.SM01.prt", ""});
    int count = -1;
    EXPECT_EQ(kx::count_part_sections(path, count), 0);
    EXPECT_EQ(count, 2);

    host().calls.clear();
    host().call_counts.clear();
    kx::export_map map;
    EXPECT_EQ(kx::read_export_mapping_file(path, map), 0);
    EXPECT_EQ(map.export_dir, "D:\\export");
    EXPECT_EQ(map.section_count(), 2);
    EXPECT_EQ(sections(map), (std::vector<section_view>{
                                 {"A100.prt", {{"  !I_EWO", "W-1234"}, {"  !I_DOCO1", "Added hole"}}},
                                 {"A100.B.SM01.prt", {}}}));
    EXPECT_EQ(sim::calls_of("HOST_TEXT_open"), 2);
    EXPECT_EQ(host().calls.front(), "HOST_TEXT_open(" + path + ", " + std::to_string(kx::text_read_access) + ", " +
                                         std::to_string(kx::text_format) + ")");
    EXPECT_TRUE(host().listing.empty());
}

// Each file's sections, and its export directory ("-" when the file gives none).
TEST_F(mapping_file_test, format_cases)
{
    struct row {
        const char* what;
        std::vector<std::string> lines;
        std::string export_dir;
        std::vector<section_view> expected;
    };
    const std::vector<row> rows = {
        {"only a defaults section", {"[Defaults]", "export_dir=/exp", "other=1"}, "/exp", {}},
        {"no defaults section leaves the directory unwritten", {"[p]", "part_file=a.prt"}, "-", {{"a.prt", {}}}},
        {"part file line followed by an empty line", {"[p]", "part_file=a.prt", "", "[q]"}, "-", {{"a.prt", {}}}},
        {"empty lines between header and part file", {"[p]", "", "", "part_file=a.prt", "  !I_EWO=1"}, "-",
         {{"a.prt", {{"  !I_EWO", "1"}}}}},
        {"values keep further equals signs; part file stops at the next",
         {"[p]", "part_file=x.prt=y", "  !I_EWO=A=B", "  !I_DOCO1=", "!I_REL"},
         "-",
         {{"x.prt", {{"  !I_EWO", "A=B"}, {"  !I_DOCO1", ""}, {"!I_REL", ""}}}}},
        {"export_dir value stops at the next equals sign", {"[Defaults]", "  export_dir = /e=x", "[p]"}, " /e", {}},
        {"markers are found anywhere in a line",
         {"junk [Defaults] junk", "xx export_dir=/d", "ab[c", "  my part_file=m.prt", "key !I_X=v"},
         "/d",
         {{"m.prt", {{"key !I_X", "v"}}}}},
        {"the defaults section counts only on the first line",
         {"[p]", "part_file=a.prt", "", "[Defaults]", "export_dir=/late"},
         "-",
         {{"a.prt", {}}}},
        {"a non-attribute line ends a section and is looked at again",
         {"[p]", "part_file=a.prt", "  !I_EWO=1", "stray", "part_file=b.prt", "  !I_EWO=3"},
         "-",
         {{"a.prt", {{"  !I_EWO", "1"}}}, {"b.prt", {{"  !I_EWO", "3"}}}}},
        {"a part file name may hold brackets; a header holds no part_file=",
         {"[part_file_1]", "part_file=B[2].prt", "  !I_EWO=1", "", "[x] part_file=C[1].prt", "  !I_EWO=2"},
         "-",
         {{"B[2].prt", {{"  !I_EWO", "1"}}}, {"C[1].prt", {{"  !I_EWO", "2"}}}}},
        {"a part file line ends the defaults section",
         {"[Defaults]", "export_dir=/d", "part_file=a.prt", "  !I_EWO=1"},
         "/d",
         {{"a.prt", {{"  !I_EWO", "1"}}}}},
        {"an export directory naming part_files stays in the defaults",
         {"[Defaults]", "export_dir=/data/part_files", "[part1]", "part_file=A100.prt", "  !I_EWO=W-1"},
         "/data/part_files",
         {{"A100.prt", {{"  !I_EWO", "W-1"}}}}},
        // Inside the defaults, "export_dir" decides whatever else the line holds.
        {"an attribute line naming export_dir in the defaults",
         {"[Defaults]", "  !I_export_dir=/elsewhere", "[p]", "part_file=a.prt"},
         "/elsewhere",
         {{"a.prt", {}}}},
        {"a part file named after export_dir right after the defaults",
         {"[Defaults]", "export_dir=/d", "part_file=export_dir_A100.prt", "[p]", "part_file=b.prt"},
         "export_dir_A100.prt",
         {{"b.prt", {}}}},
        {"a part file named after export_dir in a section stays a part file",
         {"[Defaults]", "export_dir=/d", "[p]", "part_file=export_dir_old.prt"},
         "/d",
         {{"export_dir_old.prt", {}}}},
        {"a part file line directly after attribute lines opens the next section",
         {"part_file=a.prt", "  !I_EWO=1", "part_file=b.prt", ""},
         "-",
         {{"a.prt", {{"  !I_EWO", "1"}}}, {"b.prt", {}}}},
        {"a 0xFF line ends the data", {"[p]", "part_file=a.prt", "  !I_EWO=1", "\xff", "[q]", "part_file=b.prt"},
         "-",
         {{"a.prt", {{"  !I_EWO", "1"}}}}},
        {"a 0xFF line right after a part file line", {"part_file=a.prt", "\xff junk", "  !I_EWO=1"}, "-",
         {{"a.prt", {}}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string path = write(r.lines);
        kx::export_map map;
        map.export_dir = "-";
        EXPECT_EQ(kx::read_export_mapping_file(path, map), 0);
        EXPECT_EQ(map.export_dir.empty() ? std::string("-") : map.export_dir, r.export_dir);
        EXPECT_EQ(sections(map), r.expected);
        EXPECT_FALSE(map.lines_lost);
        EXPECT_TRUE(host().listing.empty());
    }
}

// An attribute line that belongs to no section cannot be placed: the sections
// around it are still read, and the map says that lines were lost.
TEST_F(mapping_file_test, attribute_lines_outside_a_section_are_lost_not_dropped)
{
    struct row {
        const char* what;
        std::vector<std::string> lines;
        std::vector<section_view> expected;
    };
    const std::vector<row> rows = {
        {"after a blank line inside a section", {"[p]", "part_file=a.prt", "", "  !I_EWO=stray"}, {{"a.prt", {}}}},
        {"before the part file line", {"[p]", "  !I_EWO=1", "part_file=a.prt"}, {{"a.prt", {}}}},
        {"after a line that ended the section",
         {"part_file=a.prt", "  !I_EWO=1", "stray", "  !I_EWO=2", "part_file=b.prt"},
         {{"a.prt", {{"  !I_EWO", "1"}}}, {"b.prt", {}}}},
        {"inside the defaults section", {"[Defaults]", "  !I_EWO=1", "[p]", "part_file=a.prt"}, {{"a.prt", {}}}},
        {"holding part_file=", {"part_file=a.prt", "", "  !I_X=part_file=b.prt"}, {{"a.prt", {}}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kx::export_map map;
        EXPECT_NE(kx::read_export_mapping_file(write(r.lines), map), 0);
        EXPECT_TRUE(map.lines_lost);
        EXPECT_EQ(sections(map), r.expected);
    }
}

TEST_F(mapping_file_test, windows_line_ends_read_like_plain_ones)
{
    const std::string path = write({"[p]\r", "part_file=a.prt\r", "  !I_EWO=W-1\r", "\r"});
    kx::export_map map;
    EXPECT_EQ(kx::read_export_mapping_file(path, map), 0);
    EXPECT_EQ(sections(map), (std::vector<section_view>{{"a.prt", {{"  !I_EWO", "W-1"}}}}));
}

TEST_F(mapping_file_test, limits_of_the_format)
{
    const std::string long_key = "  !I_" + std::string(40, 'K');
    const std::string long_value(150, 'v');
    std::vector<std::string> lines = {"[p]", "part_file=" + std::string(131, 'a'), long_key + "=" + long_value, "",
                                      "[q]", "part_file=" + std::string(132, 'b'), "", "[r]", "part_file=r.prt"};
    for (int i = 0; i < 101; ++i) lines.push_back("  !I_DOCO" + std::to_string(i) + "=line " + std::to_string(i));
    lines.push_back("[Defaults-like] export_dir=ignored");
    const std::string path = write(lines);

    kx::export_map map;
    EXPECT_NE(kx::read_export_mapping_file(path, map), 0) << "the 101st line is lost";
    EXPECT_TRUE(map.lines_lost);
    ASSERT_EQ(map.section_count(), 3);

    const kx::part_section& first = map.sections[0];
    EXPECT_EQ(first.part_file, std::string(131, 'a'));
    EXPECT_FALSE(first.part_file_too_long);
    ASSERT_EQ(first.line_count(), 1);
    EXPECT_EQ(first.lines[0].key, long_key.substr(0, 31));
    EXPECT_EQ(first.lines[0].value, long_value.substr(0, 99));

    // A name over the limit is kept whole and marked; it is never cut.
    EXPECT_EQ(map.sections[1].part_file, std::string(132, 'b'));
    EXPECT_TRUE(map.sections[1].part_file_too_long);

    const kx::part_section& third = map.sections[2];
    EXPECT_EQ(third.line_count(), 100);
    EXPECT_TRUE(third.lines_dropped);
    EXPECT_EQ(third.lines[99].value, "line 99");
    EXPECT_FALSE(first.lines_dropped);
}

TEST_F(mapping_file_test, a_long_line_is_cut_by_the_line_buffer)
{
    const std::string value(500, 'z');
    const std::string path = write({"part_file=a.prt", "  !I_EWO=" + value, "part_file=b.prt"});
    kx::export_map map;
    EXPECT_EQ(kx::read_export_mapping_file(path, map), 0);
    EXPECT_EQ(sections(map), (std::vector<section_view>{{"a.prt", {{"  !I_EWO", value.substr(0, 99)}}}, {"b.prt", {}}}));
    EXPECT_GT(sim::calls_of("HOST_TEXT_read_line"), 0);
    for (const std::string& call : host().calls)
        if (call.rfind("HOST_TEXT_read_line", 0) == 0) {
            EXPECT_EQ(call.substr(call.find(", ")), ", 400)");
        }
}

TEST_F(mapping_file_test, counting_failures_are_reported_and_give_status_1)
{
    const std::string path = write({"[p]", "part_file=a.prt", "part_file=b.prt"});
    struct row {
        const char* what;
        std::vector<sim::fault> faults;
        std::string file;
        std::string listing;
    };
    const std::vector<row> rows = {
        {"missing file", {}, (dir_ / "none.txt").string(),
         kx::msg::mapping_file_error(kx::msg::mapping_opening, -2, (dir_ / "none.txt").string())},
        {"read failure", {{"HOST_TEXT_read_line", 2, false, 5}}, path,
         kx::msg::mapping_file_error(kx::msg::mapping_reading, -5, path)},
        {"close failure", {{"HOST_TEXT_close", 1, false, 7}}, path,
         kx::msg::mapping_file_error(kx::msg::mapping_closing, 7, path)},
    };
    failed_closes_ = 2;
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        host().faults = r.faults;
        host().call_counts.clear();
        host().listing.clear();
        int count = -1;
        EXPECT_EQ(kx::count_part_sections(r.file, count), 1);
        EXPECT_EQ(host().listing, r.listing);

        host().call_counts.clear();
        host().listing.clear();
        kx::export_map map;
        EXPECT_EQ(kx::read_export_mapping_file(r.file, map), 1);
        EXPECT_EQ(map.section_count(), 0);
        EXPECT_EQ(sim::calls_of("HOST_TEXT_open"), 1) << "no second pass";
    }
}

TEST_F(mapping_file_test, the_count_counts_every_part_file_line_up_to_the_end_of_data)
{
    const std::string path =
        write({"[p]", "part_file=a.prt", "  !I_X=part_file", "", "part_file=b.prt", "\xff", "part_file=c.prt"});
    int count = -1;
    EXPECT_EQ(kx::count_part_sections(path, count), 0);
    EXPECT_EQ(count, 3);
    kx::export_map map;
    EXPECT_EQ(kx::read_export_mapping_file(path, map), 0);
    EXPECT_EQ(sections(map), (std::vector<section_view>{{"a.prt", {{"  !I_X", "part_file"}}}, {"b.prt", {}}}));

    // An export directory line in the defaults is no section.
    EXPECT_EQ(kx::count_part_sections(write({"[Defaults]", "export_dir=/data/part_files", "[p]", "part_file=a.prt"}), count), 0);
    EXPECT_EQ(count, 1);
}

// The second pass can fail on its own: the file must then be kept, so the
// status is non-zero, and what was read is handed on.
TEST_F(mapping_file_test, second_pass_failures)
{
    const std::vector<std::string> lines = {"[p]", "part_file=a.prt", "  !I_EWO=1", "", "[q]", "part_file=b.prt",
                                            "  !I_EWO=2"};
    const std::string path = write(lines);
    const int count_reads = static_cast<int>(lines.size()) + 1;  // every line, then the end of the file

    {
        SCOPED_TRACE("second open fails");
        host().faults = {{"HOST_TEXT_open", 2, false, 4}};
        kx::export_map map;
        EXPECT_NE(kx::read_export_mapping_file(path, map), 0);
        EXPECT_EQ(map.section_count(), 0);
        EXPECT_EQ(host().listing, kx::msg::mapping_file_error(kx::msg::mapping_opening, -4, path));
    }
    {
        SCOPED_TRACE("read fails inside the second section");
        host().faults = {{"HOST_TEXT_read_line", count_reads + 7, false, 9}};
        host().call_counts.clear();
        host().listing.clear();
        kx::export_map map;
        EXPECT_NE(kx::read_export_mapping_file(path, map), 0);
        EXPECT_TRUE(map.lines_lost);
        EXPECT_EQ(sections(map), (std::vector<section_view>{{"a.prt", {{"  !I_EWO", "1"}}}, {"b.prt", {}}}));
        EXPECT_EQ(host().listing, kx::msg::mapping_file_error(kx::msg::mapping_reading, -9, path));
    }
    {
        SCOPED_TRACE("close fails after a whole read: its status comes back, told apart from lost lines");
        host().faults = {{"HOST_TEXT_close", 2, false, 6}};
        host().call_counts.clear();
        host().listing.clear();
        kx::export_map map;
        EXPECT_EQ(kx::read_export_mapping_file(path, map), 6);
        failed_closes_ = 1;
        EXPECT_EQ(map.section_count(), 2);
        EXPECT_FALSE(map.lines_lost);
    }
}

}  // namespace
