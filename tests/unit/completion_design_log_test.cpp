// The design log written into exported part files from the mapping file.
#include "completion/design_log.h"
#include "platform/platform.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kx::platform::join_path;
using attributes = std::vector<sim::attribute>;

TEST(design_log_label, table)
{
    struct row {
        std::string key;
        std::string label;
    };
    const row rows[] = {
        {"  !I_EWO", "Work Order"},
        {"  !I_DOCO12", "Change Description #12:"},
        {"  !I_DOCO1", "Change Description #1:"},
        {"!I_DOCO7", "Change Description #7:"},
        {"  !I_DOCO", "Change Description #:"},
        {"  !I_DOCO123456789", "Change Description #1234567:"},
        {"  !I_REL", "RELATION"},
        {"  !I_RELATION", "RELATION"},
        {"  !I_REVID", "DB_PART_REV"},
        {"  !I_STATUS", "RELEASE_STATUS"},
        {"  !I_DATE", "RELEASED_DATE"},
        {"  !I_CONTEXT", "CONTEXT"},
        // the first row whose marker the key holds wins
        {"  !I_EWO  !I_REL", "Work Order"},
        {"  !I_REL  !I_DOCO3", "Change Description #3:"},
        // no row: the key itself without its indentation
        {"  !I_OTHER", "!I_OTHER"},
        {"!I_REL", "!I_REL"},
        {" \t  !I_" + std::string(60, 'L'), ("!I_" + std::string(60, 'L')).substr(0, 49)},
        {"   ", ""},
        {"", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.key);
        EXPECT_EQ(kx::design_log_label(r.key), r.label);
    }
}

TEST(dots_to_underscores, replaces_in_place_and_tells_whether_there_was_one)
{
    std::string name = "A100.B.SM01.prt";
    EXPECT_EQ(kx::dots_to_underscores(name), 0);
    EXPECT_EQ(name, "A100_B_SM01_prt");
    std::string plain = "A100";
    EXPECT_EQ(kx::dots_to_underscores(plain), 1);
    EXPECT_EQ(plain, "A100");
    std::string empty;
    EXPECT_EQ(kx::dots_to_underscores(empty), 1);
}

class design_log : public kxtest::library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        dir_ = scratch_dir();
        host().def_directory = "/exp";
        host().assem_options.member[8] = 1;
    }
    void TearDown() override
    {
        EXPECT_EQ(sim::open_text_channels(), 0u);
        library_test::TearDown();
    }

    std::string write(const std::vector<std::string>& lines, const std::string& name = "map.txt")
    {
        const fs::path path = dir_ / name;
        std::ofstream file(path, std::ios::binary);
        for (const std::string& line : lines) file << line << '\n';
        return path.string();
    }

    sim::part_file& part(const std::string& path) { return host().part_files[path]; }

    static attributes log_of(const std::vector<std::pair<int, std::string>>& entries)
    {
        attributes out;
        for (const auto& [n, text] : entries) out.emplace_back("DESLOG" + std::to_string(n), text);
        return out;
    }

    int find_queries(const std::string& title)
    {
        int n = 0;
        for (const std::string& call : host().calls)
            if (call.rfind("HOST_ATTR_find_attribute(", 0) == 0 && call.find(", 6, " + title + ")") != std::string::npos)
                ++n;
        return n;
    }

    fs::path dir_;
};

// A log of four entries, and a section with an ordinary
// line, a change description and a relation.
TEST_F(design_log, a_block_after_four_entries_and_a_second_export_of_the_same_part)
{
    const std::string path = join_path("/exp", "A100.prt");
    part(path).attributes = log_of({{1, " "}, {2, "a"}, {3, "b"}, {4, "c"}});
    const std::string map = write({"[Defaults]", "export_dir=D:\\elsewhere", "", "[part1]", "part_file=A100.prt",
                                   "  !I_EWO=W-1234", "  !I_DOCO1=Added hole", "  !I_REL=master", ""});

    EXPECT_EQ(kx::update_export_log("", map), 0);
    attributes expected = log_of({{1, " "}, {2, "a"}, {3, "b"}, {4, "c"}, {5, " "}, {6, "Work Order  W-1234"},
                                  {7, "Change Description #1:  Added hole"}});
    expected.emplace_back("RELATION", "master");
    expected.emplace_back("KXPDM_EXPORTED", "TRUE");
    EXPECT_EQ(part(path).attributes, expected);
    EXPECT_EQ(part(path).saves, 1);
    EXPECT_EQ(part(path).closes, 1);
    EXPECT_FALSE(part(path).open);
    EXPECT_EQ(part(path).assem_member8_at_open, std::vector<int>{0});
    EXPECT_EQ(host().assem_options.member[8], 1);
    EXPECT_EQ(host().undo_mark_deletions, 1);
    EXPECT_EQ(host().open_order, std::vector<std::string>{path});
    for (const std::string& call : host().calls)
        if (call.rfind("HOST_PART_close(", 0) == 0) {
            EXPECT_EQ(call, "HOST_PART_close(" + path + ", 1, 1)");
        }
    for (const std::string& call : host().calls)
        if (call.rfind("HOST_ATTR_assign(", 0) == 0) {
            EXPECT_EQ(call.find("DESLOG8"), std::string::npos) << call;
        }

    // Number 8 got no entry; the next export starts its block there.
    EXPECT_EQ(kx::update_export_log("", map), 0);
    const attributes& after = part(path).attributes;
    const attributes tail(after.end() - 3, after.end());
    EXPECT_EQ(tail, log_of({{8, " "}, {9, "Work Order  W-1234"}, {10, "Change Description #1:  Added hole"}}));
    EXPECT_EQ(sim::part_attribute(part(path), "DESLOG11"), nullptr);
    EXPECT_EQ(part(path).saves, 2);
}

TEST_F(design_log, a_part_without_a_log_starts_at_one)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path);
    const std::string map = write({"[p]", "part_file=A1.prt", "  !I_EWO=W-1", "  !I_DATE=2024-01-01",
                                   "  !I_STATUS=Released", "  !I_REVID=B", "  !I_CONTEXT=CTX", "  !I_XYZ=free text"});
    EXPECT_EQ(kx::update_export_log("", map), 0);
    attributes expected = log_of({{1, " "}, {2, "Work Order  W-1"}});
    expected.emplace_back("RELEASED_DATE", "2024-01-01");
    expected.emplace_back("RELEASE_STATUS", "Released");
    expected.emplace_back("DB_PART_REV", "B");
    expected.emplace_back("CONTEXT", "CTX");
    expected.emplace_back("DESLOG7", "!I_XYZ  free text");
    expected.emplace_back("KXPDM_EXPORTED", "TRUE");
    EXPECT_EQ(part(path).attributes, expected);
}

// Only the five named rows of the label table name an attribute; a label that
// merely holds one of their names is an ordinary design-log line.
TEST_F(design_log, only_the_named_rows_go_to_named_attributes)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path);
    const std::string map = write({"part_file=A1.prt", "!I_CONTEXT=c", "  !I_MYRELATION=m", "  !I_DOCOCONTEXT=d",
                                   "\t!I_RELEASED_DATE=r", "  !I_RELATION=rel"});
    EXPECT_EQ(kx::update_export_log("", map), 0);
    attributes expected = log_of({{1, " "},
                                  {2, "!I_CONTEXT  c"},
                                  {3, "!I_MYRELATION  m"},
                                  {4, "Change Description #CONTEXT:  d"},
                                  {5, "!I_RELEASED_DATE  r"}});
    expected.emplace_back("RELATION", "rel");
    expected.emplace_back("KXPDM_EXPORTED", "TRUE");
    EXPECT_EQ(part(path).attributes, expected);
}

TEST_F(design_log, empty_values_and_long_texts)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path);
    const std::string long_value(99, 'v');
    const std::string map = write({"part_file=A1.prt", "  !I_EWO=", "  !I_REL=", "  !I_DOCO2=" + long_value});
    EXPECT_EQ(kx::update_export_log("", map), 0);
    attributes expected = log_of({{1, " "}, {2, "Work Order  "}});
    expected.emplace_back("RELATION", " ");
    expected.emplace_back("DESLOG4", ("Change Description #2:  " + long_value).substr(0, 99));
    expected.emplace_back("KXPDM_EXPORTED", "TRUE");
    EXPECT_EQ(part(path).attributes, expected);
}

TEST_F(design_log, a_section_without_lines_is_only_marked_and_saved)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path).attributes = log_of({{1, " "}});
    const std::string map = write({"[p]", "part_file=A1.prt", ""});
    EXPECT_EQ(kx::update_export_log("", map), 0);
    attributes expected = log_of({{1, " "}});
    expected.emplace_back("KXPDM_EXPORTED", "TRUE");
    EXPECT_EQ(part(path).attributes, expected);
    EXPECT_EQ(part(path).saves, 1);
    EXPECT_EQ(sim::calls_of("HOST_ATTR_find_attribute"), 0);
}

// Sections that begin with a named line leave a hole inside their block; a
// later block must not write into it and over the entries after it.
TEST_F(design_log, an_earlier_block_with_a_hole_is_never_overwritten)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path);
    const std::string first = write({"part_file=A1.prt", "  !I_REL=master", "  !I_EWO=W-1"}, "first.txt");
    EXPECT_EQ(kx::update_export_log("", first), 0);
    attributes expected = log_of({{1, " "}});
    expected.emplace_back("RELATION", "master");
    expected.emplace_back("DESLOG3", "Work Order  W-1");
    expected.emplace_back("KXPDM_EXPORTED", "TRUE");
    ASSERT_EQ(part(path).attributes, expected);

    host().calls.clear();
    const std::string second = write({"part_file=A1.prt", "  !I_EWO=W-2", "  !I_DOCO1=more"}, "second.txt");
    EXPECT_EQ(kx::update_export_log("", second), 0);
    EXPECT_EQ(*sim::part_attribute(part(path), "DESLOG3"), "Work Order  W-1");
    EXPECT_EQ(*sim::part_attribute(part(path), "DESLOG4"), " ");
    EXPECT_EQ(*sim::part_attribute(part(path), "DESLOG5"), "Work Order  W-2");
    EXPECT_EQ(*sim::part_attribute(part(path), "DESLOG6"), "Change Description #1:  more");
    EXPECT_EQ(sim::part_attribute(part(path), "DESLOG2"), nullptr);
    for (int n = 1; n <= 6; ++n) EXPECT_EQ(find_queries("DESLOG" + std::to_string(n)), 1) << n;
    EXPECT_EQ(find_queries("DESLOG7"), 0);

    // A block that fits into the hole takes it.
    const std::string third = write({"part_file=A1.prt", "  !I_REL=other"}, "third.txt");
    EXPECT_EQ(kx::update_export_log("", third), 0);
    EXPECT_EQ(*sim::part_attribute(part(path), "DESLOG2"), " ");
}

// When the existence query keeps failing every number counts as taken: no
// block is written, the part is closed unsaved and the file is kept.
TEST_F(design_log, no_free_number_writes_nothing_and_fails)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path);
    host().faults = {{"HOST_ATTR_find_attribute", 1, true, 21}};
    const std::string map = write({"part_file=A1.prt", "  !I_EWO=W-1", "  !I_DOCO1=x"});
    EXPECT_NE(kx::update_export_log("", map), 0);
    EXPECT_TRUE(part(path).attributes.empty());
    EXPECT_EQ(part(path).saves, 0);
    EXPECT_EQ(part(path).closes, 1);
    EXPECT_FALSE(part(path).open);
    EXPECT_EQ(host().assem_options.member[8], 1);
    // The block spans three numbers, so none can start above 9997; each
    // number is asked once.
    EXPECT_EQ(sim::calls_of("HOST_ATTR_find_attribute"), 9997);
    EXPECT_EQ(sim::calls_of("HOST_ATTR_assign"), 0);
}

TEST_F(design_log, an_owner_name_opens_the_master_part_first)
{
    host().def_directory = "D:\\exp";
    const std::string master = join_path("D:\\exp", "A100.prt");
    const std::string file = join_path(join_path("D:\\exp", "A100"), "A100.B.SM01.prt");
    part(master);
    part(file);
    const std::string map = write({"[p]", "part_file=A100.B.SM01.prt", "  !I_EWO=W-1"});
    EXPECT_EQ(kx::update_export_log("A100", map), 0);
    EXPECT_EQ(host().open_order, (std::vector<std::string>{master, file}));
    EXPECT_EQ(*sim::part_attribute(part(file), "DESLOG2"), "Work Order  W-1");
    EXPECT_TRUE(part(master).attributes.empty());
    EXPECT_EQ(part(file).saves, 1);
    EXPECT_EQ(part(master).saves, 0);
    EXPECT_EQ(part(master).closes, 0) << "the master is closed only when the part file cannot be opened";
}

TEST_F(design_log, the_master_is_closed_when_the_part_file_cannot_be_opened)
{
    const std::string master = join_path("/exp", "A100.prt");
    part(master);
    const std::string map = write({"[p]", "part_file=missing.prt", "  !I_EWO=W-1"});
    EXPECT_EQ(kx::update_export_log("A100", map), host().default_open_failure);
    EXPECT_EQ(part(master).closes, 1);
    EXPECT_EQ(host().assem_options.member[8], 1);

    // A master that did not open is not closed.
    host().part_files.clear();
    host().calls.clear();
    EXPECT_NE(kx::update_export_log("A100", map), 0);
    for (const std::string& call : host().calls) EXPECT_NE(call.rfind("HOST_PART_close(", 0), 0u) << call;
}

TEST_F(design_log, the_export_directory)
{
    struct row {
        const char* what;
        std::optional<std::string> def_directory;
        std::vector<sim::fault> faults;
        std::string owner;
        std::string part_file;
        std::string opened;
    };
    const std::vector<row> rows = {
        {"the default clone directory", "/exp", {}, "", "A1.prt", join_path("/exp", "A1.prt")},
        {"empty: the working directory", "", {}, "", "A1.prt", join_path("/work/cwd", "A1.prt")},
        {"absent: the working directory", std::nullopt, {}, "", "A1.prt", join_path("/work/cwd", "A1.prt")},
        {"the query fails: working directory, dots made underscores, no owner",
         "/exp",
         {{"HOST_CLONE_ask_def_directory", 1, false, 3}},
         "A100",
         "A1.x.prt",
         join_path("/work/cwd", "A1_x_prt")},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        sim::reset();
        host().def_directory = r.def_directory;
        host().faults = r.faults;
        part(r.opened);
        const std::string map = write({"part_file=" + r.part_file, "  !I_EWO=W"});
        EXPECT_EQ(kx::update_export_log(r.owner, map), 0);
        EXPECT_EQ(host().open_order, std::vector<std::string>{r.opened});
        EXPECT_EQ(part(r.opened).saves, 1);
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

TEST_F(design_log, a_failed_directory_query_and_a_name_without_a_dot_skip_the_section)
{
    host().faults = {{"HOST_CLONE_ask_def_directory", 1, false, 3}};
    const std::string map = write({"part_file=A1", "  !I_EWO=W"});
    EXPECT_EQ(kx::update_export_log("", map), 3) << "the mapping file must be kept";
    EXPECT_EQ(sim::calls_of("HOST_PART_open"), 0);
    EXPECT_EQ(sim::calls_of("HOST_ASSEM_set_assem_options"), 0);
}

TEST_F(design_log, save_trueshape_is_off_during_the_save_only)
{
    const std::string path = join_path("/exp", "A1.prt");
    part(path);
    const std::string map = write({"part_file=A1.prt"});

    host().save_trueshape = true;
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_EQ(part(path).save_trueshape_at_save, std::vector<int>{0});
    EXPECT_TRUE(host().save_trueshape);
    EXPECT_EQ(sim::calls_of("HOST_ASSEM_set_save_trueshape"), 2);

    host().save_trueshape = false;
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_EQ(sim::calls_of("HOST_ASSEM_set_save_trueshape"), 2) << "an off setting is not touched";

    host().save_trueshape = true;
    host().faults = {{"HOST_ASSEM_ask_save_trueshape", 3, false, 8}};
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_EQ(sim::calls_of("HOST_ASSEM_set_save_trueshape"), 2) << "a setting that could not be asked is left alone";
    EXPECT_EQ(part(path).saves, 3);
}

TEST_F(design_log, two_sections_get_a_block_each)
{
    const std::string a = join_path("/exp", "A.prt");
    const std::string b = join_path("/exp", "B.prt");
    part(a).attributes = log_of({{1, " "}, {2, "old"}});
    part(b);
    const std::string map =
        write({"[a]", "part_file=A.prt", "  !I_EWO=W-A", "", "[b]", "part_file=B.prt", "  !I_EWO=W-B", ""});
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_EQ(*sim::part_attribute(part(a), "DESLOG3"), " ");
    EXPECT_EQ(*sim::part_attribute(part(a), "DESLOG4"), "Work Order  W-A");
    EXPECT_EQ(*sim::part_attribute(part(b), "DESLOG1"), " ");
    EXPECT_EQ(*sim::part_attribute(part(b), "DESLOG2"), "Work Order  W-B");
    EXPECT_EQ(host().undo_mark_deletions, 2);
}

TEST_F(design_log, family_instances_with_the_check_on)
{
    const std::string path = join_path("/exp", "F.prt");
    part(path).family_instance = true;
    const std::string map = write({"part_file=F.prt", "  !I_EWO=W"});

    // Off: a family instance is written like any part.
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_EQ(part(path).saves, 1);
    EXPECT_EQ(sim::calls_of("HOST_PART_is_family_instance"), 0);

    part(path).attributes.clear();
    system.env["HOST_PDM_ALLOW_PFM_IMPORT_EXPORT"] = "";
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_FALSE(kx::state().family_instance_check) << "set but empty does not count";

    system.env["HOST_PDM_ALLOW_PFM_IMPORT_EXPORT"] = "1";
    EXPECT_EQ(kx::update_export_log("", map), 0);
    part(path).attributes.clear();
    system.env.erase("HOST_PDM_ALLOW_PFM_IMPORT_EXPORT");
    const int saves = part(path).saves;
    const int closes = part(path).closes;
    EXPECT_EQ(kx::update_export_log("", map), 0);
    EXPECT_TRUE(part(path).attributes.empty()) << "the check stays on once seen";
    EXPECT_EQ(part(path).saves, saves);
    EXPECT_EQ(part(path).closes, closes + 1);
    EXPECT_EQ(host().assem_options.member[8], 1);

    // A failing query ends the section with the part open, options restored.
    host().faults = {{"HOST_PART_is_family_instance", sim::calls_of("HOST_PART_is_family_instance") + 1, false, 19}};
    EXPECT_EQ(kx::update_export_log("", map), 19);
    EXPECT_TRUE(part(path).open);
    EXPECT_EQ(host().assem_options.member[8], 1);
}

// Every section is written; the first failure is what the caller hears, so
// the mapping file is kept.
TEST_F(design_log, failures_of_one_section_do_not_stop_the_others)
{
    const std::string b = join_path("/exp", "B.prt");
    const std::string c = join_path("/exp", "C.prt");
    part(b);
    part(c);
    const std::string map = write({"part_file=missing.prt", "  !I_EWO=1", "", "part_file=B.prt", "  !I_EWO=2", "",
                                   "part_file=C.prt", "  !I_EWO=3"});
    EXPECT_EQ(kx::update_export_log("", map), host().default_open_failure);
    EXPECT_EQ(*sim::part_attribute(part(b), "DESLOG2"), "Work Order  2");
    EXPECT_EQ(*sim::part_attribute(part(c), "DESLOG2"), "Work Order  3");

    // A save that fails: that part stays open, the options are restored, the
    // others are still written, and the status is the save's.
    part(b).attributes.clear();
    part(c).attributes.clear();
    const std::string saved = write({"part_file=B.prt", "  !I_EWO=2", "", "part_file=C.prt", "  !I_EWO=3"}, "bc.txt");
    host().faults = {{"HOST_PART_save", sim::calls_of("HOST_PART_save") + 1, false, 44}};
    EXPECT_EQ(kx::update_export_log("", saved), 44);
    EXPECT_TRUE(part(b).open);
    EXPECT_EQ(*sim::part_attribute(part(c), "KXPDM_EXPORTED"), "TRUE");
    EXPECT_FALSE(part(c).open);
    EXPECT_EQ(host().assem_options.member[8], 1);
    const std::string last_set = [&] {
        std::string found;
        for (const std::string& call : host().calls)
            if (call.rfind("HOST_ASSEM_set_assem_options", 0) == 0) found = call;
        return found;
    }();
    EXPECT_EQ(last_set, "HOST_ASSEM_set_assem_options(member8=1)");
}

TEST_F(design_log, sections_outside_the_format_fail_but_keep_what_fits)
{
    const std::string a = join_path("/exp", "A.prt");
    part(a);
    std::vector<std::string> lines = {"part_file=" + std::string(132, 'n'), "  !I_EWO=1", "", "part_file=A.prt"};
    for (int i = 0; i < 101; ++i) lines.push_back("  !I_DOCO" + std::to_string(i) + "=x");
    const std::string map = write(lines);
    EXPECT_EQ(kx::update_export_log("", map), 1);
    EXPECT_EQ(host().open_order, std::vector<std::string>{a}) << "a name over the limit is never cut and opened";
    EXPECT_EQ(*sim::part_attribute(part(a), "DESLOG101"), "Change Description #99:  x");
    EXPECT_EQ(sim::part_attribute(part(a), "DESLOG102"), nullptr);
    EXPECT_EQ(part(a).saves, 1);
}

TEST_F(design_log, the_quiet_cases_and_reader_failures)
{
    EXPECT_EQ(kx::update_export_log("", ""), 2);
    EXPECT_EQ(host().listing, kx::msg::no_mapping_file);
    EXPECT_EQ(sim::calls_of("HOST_TEXT_open"), 0);

    host().listing.clear();
    const std::string only_defaults = write({"[Defaults]", "export_dir=/x"});
    EXPECT_EQ(kx::update_export_log("", only_defaults), 0);
    EXPECT_EQ(system.stdout_text, kx::msg::nothing_to_log);
    EXPECT_TRUE(host().listing.empty());

    system.stdout_text.clear();
    EXPECT_EQ(kx::update_export_log("", (dir_ / "absent.txt").string()), 1);
    EXPECT_TRUE(system.stdout_text.empty());
    EXPECT_EQ(sim::calls_of("HOST_PART_open"), 0);

    // The sections read before a read error are written; the status keeps
    // the file.
    const std::string path = join_path("/exp", "A.prt");
    part(path);
    const std::string map = write({"part_file=A.prt", "  !I_EWO=1", "", "part_file=B.prt", "  !I_EWO=2"}, "m2.txt");
    host().call_counts.clear();
    host().faults = {{"HOST_TEXT_read_line", 6 + 5, false, 2}};
    EXPECT_EQ(kx::update_export_log("", map), 1);
    EXPECT_EQ(*sim::part_attribute(part(path), "DESLOG2"), "Work Order  1");
}

// Lines the reader could not place keep the file although every section read
// is written; a close that fails after a whole read does not.
TEST_F(design_log, lost_lines_fail_the_log_and_a_failed_close_alone_does_not)
{
    const std::string a = join_path("/exp", "A.prt");
    const std::string b = join_path("/exp", "B.prt");
    struct row {
        const char* what;
        std::vector<std::string> lines;
        std::vector<sim::fault> faults;
        bool fails;
    };
    const std::vector<row> rows = {
        {"a stray attribute line between the sections",
         {"part_file=A.prt", "  !I_EWO=1", "", "  !I_EWO=lost", "part_file=B.prt", "  !I_EWO=2"}, {}, true},
        {"a failed close after a whole read",
         {"part_file=A.prt", "  !I_EWO=1", "", "part_file=B.prt", "  !I_EWO=2"}, {{"HOST_TEXT_close", 2, false, 6}},
         false},
        {"only defaults and a failed close", {"[Defaults]", "export_dir=/x"}, {{"HOST_TEXT_close", 2, false, 6}}, false},
        {"a stray attribute line alone", {"[Defaults]", "  !I_EWO=lost"}, {}, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        sim::reset_model();
        host().def_directory = "/exp";
        part(a);
        part(b);
        host().faults = r.faults;
        const int status = kx::update_export_log("", write(r.lines));
        EXPECT_EQ(status != 0, r.fails) << status;
        if (r.lines.front().rfind("part_file", 0) == 0) {
            EXPECT_EQ(*sim::part_attribute(part(a), "DESLOG2"), "Work Order  1");
            EXPECT_EQ(*sim::part_attribute(part(b), "DESLOG2"), "Work Order  2");
        }
    }
}

TEST_F(design_log, assign_string_attribute_stores_a_space_for_an_empty_value)
{
    const std::string path = join_path("/exp", "A.prt");
    part(path).open = true;
    const host_tag_t object = sim::part_tag(path);
    EXPECT_EQ(kx::assign_string_attribute("T1", "", object), 0);
    EXPECT_EQ(kx::assign_string_attribute("T2", "v", object), 0);
    EXPECT_EQ(part(path).attributes, (attributes{{"T1", " "}, {"T2", "v"}}));

    host().faults = {{"HOST_ATTR_assign", 3, false, 17}};
    EXPECT_EQ(kx::assign_string_attribute("T3", "v", object), 17);
    EXPECT_EQ(sim::calls_of("HOST_get_fail_message"), 1);
    EXPECT_TRUE(host().message_boxes.empty());
}

}  // namespace
