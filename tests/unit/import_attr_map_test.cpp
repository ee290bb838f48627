// The import attribute mapping file: parsing, the once-per-library load and
// the lookups of mapped values from a part's clone attributes.
#include "import/import_attr_map.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using kxtest::library_test;
namespace fs = std::filesystem;

constexpr const char* part_spec = "/in/4711.prt";

class import_map : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        std::string pattern = (fs::temp_directory_path() / "kx_import_map_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        sim::clone_part part;
        part.name = part_spec;
        host().parts.push_back(part);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        library_test::TearDown();
    }

    // Writes the file byte for byte and points the variable at it.
    std::string use_file(const std::string& content, const char* name = "map.txt")
    {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = path;
        return path;
    }

    std::vector<std::pair<std::string, std::string>> entries()
    {
        std::vector<std::pair<std::string, std::string>> out;
        for (const kx::import_map_entry& e : kx::state().import_map.entries) out.emplace_back(e.key, e.title);
        return out;
    }

    void set_attributes(std::vector<sim::attribute> attributes) { host().parts[0].attributes = std::move(attributes); }

    std::pair<std::optional<std::string>, std::optional<std::string>> name_and_description()
    {
        kx::host_text name, description;
        EXPECT_EQ(kx::lookup_name_and_description(part_spec, name, description), 0);
        return {name ? std::optional<std::string>(name.get()) : std::nullopt,
                description ? std::optional<std::string>(description.get()) : std::nullopt};
    }
    std::pair<std::optional<std::string>, std::optional<std::string>> item_id_and_revision()
    {
        kx::host_text item_id, revision;
        EXPECT_EQ(kx::lookup_item_id_and_revision(part_spec, item_id, revision), 0);
        return {item_id ? std::optional<std::string>(item_id.get()) : std::nullopt,
                revision ? std::optional<std::string>(revision.get()) : std::nullopt};
    }

    fs::path dir;
};

using entry_list = std::vector<std::pair<std::string, std::string>>;

TEST_F(import_map, trim_blanks_removes_spaces_only)
{
    EXPECT_EQ(kx::trim_blanks("   DB_PART_REV   "), "DB_PART_REV");
    EXPECT_EQ(kx::trim_blanks(" R "), "R");
    EXPECT_EQ(kx::trim_blanks("R"), "R");
    EXPECT_EQ(kx::trim_blanks("    "), "");
    EXPECT_EQ(kx::trim_blanks(""), "");
    EXPECT_EQ(kx::trim_blanks("\tA B\t "), "\tA B\t");
}

TEST_F(import_map, line_parsing_cases)
{
    use_file("   DB_PART_REV   =   REV   \n"
             "DB_PART_NAME=TITLE=X\n"
             "no equals sign here\n"
             "      \n"
             "\n"
             "#DB_PART_NO = X\n"
             "db_part_no = lower\n"
             "DB_PART_DESC =\n"
             "DB_PART_NO =\tTAB\t\n"
             "  = EMPTYKEY\r\n"
             "LAST = NO LINE FEED");
    ASSERT_EQ(kx::load_import_attr_map(), 0);
    EXPECT_EQ(entries(), (entry_list{{"DB_PART_REV", "REV"},
                                     {"DB_PART_NAME", "TITLE=X"},
                                     {"#DB_PART_NO", "X"},
                                     {"db_part_no", "lower"},
                                     {"DB_PART_DESC", ""},
                                     {"DB_PART_NO", "\tTAB\t"},
                                     {"", "EMPTYKEY"},
                                     {"LAST", "NO LINE FEED"}}));
    EXPECT_TRUE(kx::state().import_map.loaded);
    EXPECT_EQ(system.stdout_text, "");
}

TEST_F(import_map, only_the_first_ten_entries_count)
{
    std::string content;
    for (int i = 1; i <= 12; ++i) {
        content += "K" + std::to_string(i) + " = T" + std::to_string(i) + "\n";
        if (i == 3) content += "not an entry\n";
    }
    use_file(content);
    ASSERT_EQ(kx::load_import_attr_map(), 0);
    const entry_list got = entries();
    ASSERT_EQ(got.size(), 10u);
    EXPECT_EQ(got.front(), (std::pair<std::string, std::string>{"K1", "T1"}));
    EXPECT_EQ(got.back(), (std::pair<std::string, std::string>{"K10", "T10"}));
}

TEST_F(import_map, carriage_returns_go_with_the_line_feed_only)
{
    use_file("DB_PART_NO = NUM\r\n\r\nDB_PART_REV = REV \r\nDB_PART_NAME = NAME\r");
    ASSERT_EQ(kx::load_import_attr_map(), 0);
    // A line of only CR LF is empty; "REV \r\n" loses its CR, then its blank.
    // A CR at the very end, with no line feed after it, stays in the text.
    EXPECT_EQ(entries(), (entry_list{{"DB_PART_NO", "NUM"}, {"DB_PART_REV", "REV"}, {"DB_PART_NAME", "NAME\r"}}));
}

TEST_F(import_map, long_lines_keys_and_titles_are_held_whole)
{
    const std::string long_title = "T" + std::string(700, 'x');
    const std::string long_key = "DB_PART_NO" + std::string(600, ' ') + "y";
    use_file(long_key + " = TAIL_IS_NO_ENTRY=\n" + "DB_PART_NAME = " + long_title + "\n" +
             "DB_PART_NO = NUM\n");
    ASSERT_EQ(kx::load_import_attr_map(), 0);
    const entry_list got = entries();
    ASSERT_EQ(got.size(), 3u) << "the tail of a long line is no entry of its own";
    EXPECT_EQ(got[0].first, long_key);
    EXPECT_EQ(got[1].second, long_title);

    // A title cut to 31 characters would match this attribute.
    set_attributes({{long_title.substr(0, 31), "wrong"}, {"NUM", "4711"}});
    EXPECT_EQ(name_and_description().first, std::nullopt);
    set_attributes({{long_title, "Long"}, {"NUM", "4711"}});
    EXPECT_EQ(name_and_description().first, "Long");
    EXPECT_EQ(item_id_and_revision().first, "4711") << "the long key serves no lookup";
}

TEST_F(import_map, lookups_follow_the_first_entry_for_a_key_and_exact_titles)
{
    use_file("DB_PART_NAME = TITLE\n"
             "DB_PART_NAME = OTHER\n"
             "db_part_desc = DESCRIPTION\n"
             "DB_PART_NO = NUMBER\n"
             "DB_PART_REV = R\n");
    set_attributes({{"OTHER", "from second line"},
                    {"TITLE", "Bracket"},
                    {"TITLE", "later duplicate"},
                    {"DESCRIPTION", "not mapped"},
                    {"number", "case differs"},
                    {"R", ""}});
    EXPECT_EQ(name_and_description(),
              (std::pair<std::optional<std::string>, std::optional<std::string>>{"Bracket", std::nullopt}));
    // NUMBER is missing; R exists with an empty value, which is a value.
    EXPECT_EQ(item_id_and_revision(),
              (std::pair<std::optional<std::string>, std::optional<std::string>>{std::nullopt, ""}));
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_attribute_values"), 2) << "one fetch per lookup pair";
}

TEST_F(import_map, the_file_is_read_once_per_library_lifetime)
{
    const std::string path = use_file("DB_PART_NO = NUMBER\n");
    set_attributes({{"NUMBER", "4711"}, {"OTHER", "9999"}});
    EXPECT_EQ(item_id_and_revision().first, "4711");

    std::ofstream(path, std::ios::binary | std::ios::trunc) << "DB_PART_NO = OTHER\n";
    EXPECT_EQ(item_id_and_revision().first, "4711") << "an edit has no effect until the next run";
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = (dir / "elsewhere.txt").string();
    EXPECT_EQ(item_id_and_revision().first, "4711");
    EXPECT_EQ(system.stdout_text, "");
}

TEST_F(import_map, a_file_that_cannot_be_opened_is_reported_once_and_never_tried_again)
{
    const std::string path = (dir / "missing.txt").string();
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = path;
    set_attributes({{"NUMBER", "4711"}});
    EXPECT_EQ(kx::load_import_attr_map(), kx::mapping_file_not_opened);
    EXPECT_EQ(system.stdout_text, kx::msg::import_map_not_opened(path));

    std::ofstream(path, std::ios::binary) << "DB_PART_NO = NUMBER\n";
    EXPECT_EQ(item_id_and_revision().first, std::nullopt);
    EXPECT_EQ(kx::load_import_attr_map(), 0);
    EXPECT_EQ(system.stdout_text, kx::msg::import_map_not_opened(path)) << "reported once";
    EXPECT_TRUE(entries().empty());
}

TEST_F(import_map, an_unset_or_empty_variable_loads_nothing_for_good)
{
    set_attributes({{"NUMBER", "4711"}});
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = "";
    EXPECT_EQ(item_id_and_revision().first, std::nullopt);
    EXPECT_TRUE(kx::state().import_map.loaded);
    use_file("DB_PART_NO = NUMBER\n");
    EXPECT_EQ(item_id_and_revision().first, std::nullopt);
    EXPECT_EQ(system.stdout_text, "");
}

TEST_F(import_map, name_and_description_follow_the_setting_they_are_given)
{
    use_file("DB_PART_NAME = TITLE\nDB_PART_DESC = TEXT\n");
    set_attributes({{"TITLE", "Bracket"}, {"TEXT", "Steel bracket"}});

    kx::host_text name, description;
    ASSERT_EQ(kx::map_name_and_description(part_spec, std::nullopt, name, description), 0);
    EXPECT_FALSE(name);
    EXPECT_FALSE(description);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_attribute_values"), 0) << "no lookup without a setting";

    ASSERT_EQ(kx::map_name_and_description(part_spec, std::string(), name, description), 0);
    EXPECT_FALSE(name);

    ASSERT_EQ(kx::map_name_and_description(part_spec, system.env["KXPDM_IMPORT_ATTR_MAP_FILE"], name, description), 0);
    EXPECT_STREQ(name.get(), "Bracket");
    EXPECT_STREQ(description.get(), "Steel bracket");
}

TEST_F(import_map, a_failed_attribute_query_gives_no_values)
{
    use_file("DB_PART_NO = NUMBER\nDB_PART_REV = REV\n");
    set_attributes({{"NUMBER", "4711"}, {"REV", "B"}});
    host().faults = {{"HOST_CLONE_ask_attribute_values", 1, false, 9}};
    EXPECT_EQ(item_id_and_revision(),
              (std::pair<std::optional<std::string>, std::optional<std::string>>{std::nullopt, std::nullopt}));
    EXPECT_EQ(item_id_and_revision(),
              (std::pair<std::optional<std::string>, std::optional<std::string>>{"4711", "B"}));
}

// A mapped value that cannot be copied fails the lookup instead of reading
// as "no value", and both outputs are null.
TEST_F(import_map, a_failed_copy_of_a_mapped_value_fails_the_lookup)
{
    use_file("DB_PART_NO = NUMBER\nDB_PART_REV = REV\n");
    set_attributes({{"NUMBER", "4711"}, {"REV", "B"}});
    for (int n = 1; n <= 2; ++n) {
        SCOPED_TRACE(n);
        host().call_counts.clear();
        host().faults = {{"HOST_allocate_memory", n, false, 44}};
        kx::host_text item_id, revision;
        EXPECT_EQ(kx::lookup_item_id_and_revision(part_spec, item_id, revision), 44);
        EXPECT_FALSE(item_id);
        EXPECT_FALSE(revision);
        expect_no_leaks();
    }
}

}  // namespace
