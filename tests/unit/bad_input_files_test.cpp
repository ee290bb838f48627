// Mapping files as they really arrive: lines of 10,000 characters, NUL and
// 0xFF bytes, no final line feed, CR LF line ends, nothing but blanks; an
// export log mapping file that holds more sections than its first pass
// counted or a thousand attribute lines in one section; a mapping file that
// cannot be read or has vanished. Each gets its defined outcome: an entry
// skipped or a clear message, nothing written past a field, and no design
// log lost (the server's file is kept whenever one was not written).
#include "completion/design_log.h"
#include "completion/export_mapping.h"
#include "import/import_attr_map.h"
#include "host/host_codes.h"
#include "platform/platform.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using kx::platform::join_path;
using kxtest::library_test;
namespace fs = std::filesystem;

class mapping_files : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        dir_ = scratch_dir();
    }
    void TearDown() override
    {
        EXPECT_EQ(sim::open_text_channels(), 0u) << "a text channel was left open";
        library_test::TearDown();
    }

    // The bytes exactly as given.
    std::string write(const std::string& content, const std::string& name = "map.txt")
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path dir_;
};

// --- the import attribute mapping file --------------------------------------------

using entry_list = std::vector<std::pair<std::string, std::string>>;

class import_mapping_file : public mapping_files {
protected:
    entry_list load(const std::string& content)
    {
        kx::reset_library_state();
        system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = write(content);
        EXPECT_EQ(kx::load_import_attr_map(), 0);
        entry_list out;
        for (const kx::import_map_entry& e : kx::state().import_map.entries) out.emplace_back(e.key, e.title);
        return out;
    }
    void add_part(const std::string& name, std::vector<sim::attribute> attributes)
    {
        sim::clone_part part;
        part.name = name;
        part.attributes = std::move(attributes);
        host().parts.push_back(part);
    }
};

TEST_F(import_mapping_file, odd_bytes_and_line_ends)
{
    const std::string title_9987(9987, 'T');
    struct row {
        const char* label;
        std::string content;
        entry_list entries;
    };
    const std::vector<row> rows = {
        {"a 10,000-character line, then an entry",
         "DB_PART_NAME=" + title_9987 + "\nDB_PART_NO = NR\n",
         {{"DB_PART_NAME", title_9987}, {"DB_PART_NO", "NR"}}},
        {"10,000 blanks, then an entry", std::string(10000, ' ') + "\nDB_PART_NO = NR\n", {{"DB_PART_NO", "NR"}}},
        {"a 10,000-character line without \"=\"", std::string(10000, 'x') + "\nDB_PART_NO = NR\n",
         {{"DB_PART_NO", "NR"}}},
        {"NUL bytes are kept in the texts", "DB_PART_NO = N\0R\nDB\0_PART_REV = REV\n"s,
         {{"DB_PART_NO", "N\0R"s}, {"DB\0_PART_REV"s, "REV"}}},
        {"a NUL line", "\0\nDB_PART_NO = NR\n"s, {{"DB_PART_NO", "NR"}}},
        {"0xFF bytes are ordinary text", "\xff\xfe\nDB_PART_REV = \xffREV\n\xff=X",
         {{"DB_PART_REV", "\xffREV"}, {"\xff", "X"}}},
        {"no final line feed", "DB_PART_NO = NR\nDB_PART_REV = REV", {{"DB_PART_NO", "NR"}, {"DB_PART_REV", "REV"}}},
        {"CR LF line ends", "DB_PART_NO = NR \r\n\r\nDB_PART_REV=REV\r\n",
         {{"DB_PART_NO", "NR"}, {"DB_PART_REV", "REV"}}},
        {"a CR inside a line stays", "DB_PART_NO = N\rR\r\n", {{"DB_PART_NO", "N\rR"}}},
        {"only blanks", "   \n\n      \n ", {}},
        {"only blanks and tabs", " \t \n\t\n", {}},
        {"an empty file", "", {}},
        {"only line feeds", "\n\n\n", {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        EXPECT_EQ(load(r.content), r.entries);
    }
    EXPECT_EQ(system.stdout_text, "") << "a file that opens is no error";
}

// A title holding a NUL byte can never be a title the host hands over, and
// is not cut to match the shorter one; a title with 0xFF bytes or 10,000
// characters matches exactly its own attribute.
TEST_F(import_mapping_file, odd_titles_match_only_themselves)
{
    const std::string long_title(9987, 'T');
    load("DB_PART_NO = N\0R\nDB_PART_REV = \xffREV\nDB_PART_NAME = "s + long_title + "\nDB_PART_DESC = D\n");
    add_part("/in/p.prt", {{"N", "wrong"},
                           {"\xffREV", "B"},
                           {long_title.substr(0, 31), "cut"},
                           {long_title, "Long title"},
                           {"D", "Desc"}});
    kx::host_text item_id, revision, name, description;
    ASSERT_EQ(kx::lookup_item_id_and_revision("/in/p.prt", item_id, revision), 0);
    ASSERT_EQ(kx::lookup_name_and_description("/in/p.prt", name, description), 0);
    EXPECT_EQ(item_id, nullptr);
    EXPECT_EQ(kx::view(revision), "B");
    EXPECT_EQ(kx::view(name), "Long title");
    EXPECT_EQ(kx::view(description), "Desc");
}

// The file vanished before the first part: one message, the import goes on
// without mapped values, and a file that appears later is not read.
TEST_F(import_mapping_file, a_vanished_file_is_reported_once_and_the_import_goes_on)
{
    host().def_item_type = "Part";
    const std::string path = (dir_ / "gone.txt").string();
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = path;
    add_part("/in/a.prt", {{"DB_PART_NO", "A1"}, {"DB_PART_REV", "01"}, {"SITE", "MAPPED"}});
    add_part("/in/b.prt", {{"DB_PART_NO", "B1"}, {"DB_PART_REV", "01"}, {"SITE", "MAPPED"}});
    char name[HOST_MAX_FSPEC_BUFSIZE] = {};

    ASSERT_EQ(kx::translate_import_part("/in/a.prt", name), 0);
    EXPECT_STREQ(name, "@DB/A1/01");
    write("DB_PART_NO = SITE\n", "gone.txt");
    ASSERT_EQ(kx::translate_import_part("/in/b.prt", name), 0);
    EXPECT_STREQ(name, "@DB/B1/01");
    EXPECT_EQ(system.stdout_text, kx::msg::import_map_not_opened(path));
    EXPECT_TRUE(host().message_boxes.empty());
}

// The file vanishes after the first part: the map read then stays in force,
// so no later part loses its mapped values.
TEST_F(import_mapping_file, a_file_that_vanishes_later_is_not_needed_again)
{
    host().def_item_type = "Part";
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = write("DB_PART_NO = SITE\n");
    add_part("/in/a.prt", {{"SITE", "S-1"}, {"DB_PART_REV", "01"}});
    add_part("/in/b.prt", {{"SITE", "S-2"}, {"DB_PART_REV", "01"}});
    char name[HOST_MAX_FSPEC_BUFSIZE] = {};
    ASSERT_EQ(kx::translate_import_part("/in/a.prt", name), 0);
    EXPECT_STREQ(name, "@DB/S-1/01");
    fs::remove(dir_ / "map.txt");
    ASSERT_EQ(kx::translate_import_part("/in/b.prt", name), 0);
    EXPECT_STREQ(name, "@DB/S-2/01");
    EXPECT_EQ(system.stdout_text, "");
}

// A path that names something that is no readable file (here a directory,
// which opens on some systems but reads nothing) is reported like a file that
// cannot be opened, not taken silently for an empty map.
TEST_F(import_mapping_file, an_unreadable_file_is_reported)
{
    const std::string path = dir_.string();
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = path;
    EXPECT_EQ(kx::load_import_attr_map(), kx::mapping_file_not_opened);
    EXPECT_TRUE(kx::state().import_map.entries.empty());
    EXPECT_EQ(system.stdout_text, kx::msg::import_map_not_opened(path));
}

// --- the export log mapping file ----------------------------------------------------

struct section_view {
    std::string part_file;
    std::vector<std::pair<std::string, std::string>> lines;
    bool part_file_refused = false;
    bool lines_dropped = false;
    bool operator==(const section_view&) const = default;
};

std::ostream& operator<<(std::ostream& os, const section_view& s)
{
    os << "{" << s.part_file.size() << " chars \"" << s.part_file.substr(0, 40) << "\"" << (s.part_file_refused ? " refused" : "")
       << (s.lines_dropped ? " dropped" : "") << ":";
    for (const auto& [key, value] : s.lines) os << " [" << key << "]=[" << value.substr(0, 40) << "]";
    return os << "}";
}

std::vector<section_view> sections_of(const kx::export_map& map)
{
    std::vector<section_view> out;
    for (const kx::part_section& s : map.sections) {
        section_view v{s.part_file, {}, s.part_file_too_long, s.lines_dropped};
        for (const kx::attribute_line& l : s.lines) v.lines.emplace_back(l.key, l.value);
        out.push_back(v);
    }
    return out;
}

class export_mapping_file : public mapping_files {
protected:
    struct reading {
        int status = -1;
        int counted = -1;
        bool lines_lost = false;
        std::vector<section_view> sections;
    };
    reading read(const std::string& path)
    {
        reading r;
        EXPECT_EQ(kx::count_part_sections(path, r.counted), 0);
        kx::export_map map;
        r.status = kx::read_export_mapping_file(path, map);
        r.sections = sections_of(map);
        r.lines_lost = map.lines_lost;
        return r;
    }
};

TEST_F(export_mapping_file, odd_bytes_and_line_ends)
{
    const std::string v_9991(9991, 'v');
    struct row {
        const char* label;
        std::string content;
        int counted;
        std::vector<section_view> sections;
    };
    const std::vector<row> rows = {
        {"a 10,000-character attribute line is cut to its fields; the next line is read",
         "[p]\npart_file=A.prt\n  !I_EWO=" + v_9991 + "\n  !I_DOCO1=x\n",
         1,
         {{"A.prt", {{"  !I_EWO", std::string(99, 'v')}, {"  !I_DOCO1", "x"}}}}},
        {"a 10,000-character part file line refuses its section only",
         "[p]\npart_file=" + std::string(9990, 'f') + "\n  !I_EWO=1\n\n[q]\npart_file=B.prt\n  !I_EWO=2\n",
         2,
         {{std::string(389, 'f'), {{"  !I_EWO", "1"}}, true}, {"B.prt", {{"  !I_EWO", "2"}}}}},
        {"a 10,000-character header line is passed over",
         "[" + std::string(9999, 'h') + "\npart_file=A.prt\n  !I_EWO=1\n",
         1,
         {{"A.prt", {{"  !I_EWO", "1"}}}}},
        {"0xFF first in a line ends the data", "[p]\npart_file=A.prt\n  !I_EWO=1\n\xff\n[q]\npart_file=B.prt\n", 1,
         {{"A.prt", {{"  !I_EWO", "1"}}}}},
        {"0xFF elsewhere is text", "[p]\npart_file=A\xff.prt\n  !I_EWO=\xffW\n", 1,
         {{"A\xff.prt", {{"  !I_EWO", "\xffW"}}}}},
        {"no final line feed", "[p]\npart_file=A.prt\n  !I_EWO=W-1", 1, {{"A.prt", {{"  !I_EWO", "W-1"}}}}},
        {"CR LF line ends", "[p]\r\npart_file=A.prt\r\n  !I_EWO=W-1\r\n\r\n[q]\r\npart_file=B.prt\r\n\r\n", 2,
         {{"A.prt", {{"  !I_EWO", "W-1"}}}, {"B.prt", {}}}},
        {"only blanks", "   \n \n\t\n    ", 0, {}},
        {"an empty file", "", 0, {}},
        {"NUL bytes in a value stay in the line", "[p]\npart_file=A.prt\n  !I_EWO=W-1\0junk\n"s, 1,
         {{"A.prt", {{"  !I_EWO", "W-1\0junk"s}}}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        const reading got = read(write(r.content));
        EXPECT_EQ(got.status, 0);
        EXPECT_FALSE(got.lines_lost);
        EXPECT_EQ(got.counted, r.counted);
        EXPECT_EQ(got.sections, r.sections);
    }
    EXPECT_EQ(host().listing, "");
}

// Header lines without a part file line make no section: the file lists more
// sections than it counts, and only the counted ones are read. The orphan
// attribute line belongs to no section, so it is lost, and the reader says so.
TEST_F(export_mapping_file, sections_without_a_part_file_are_passed_over)
{
    const reading got = read(write("[p1]\n  !I_EWO=orphan\n\n[p2]\npart_file=A.prt\n  !I_EWO=W\n\n[p3]\n\n[p4]\n"));
    EXPECT_NE(got.status, 0);
    EXPECT_TRUE(got.lines_lost);
    EXPECT_EQ(got.counted, 1);
    EXPECT_EQ(got.sections, (std::vector<section_view>{{"A.prt", {{"  !I_EWO", "W"}}}}));
}

// The server's file changes between the two passes (here a pipe that gives
// one section to the first pass and three to the second). No more sections
// are read than were counted, and the reader says that it did not read all,
// so the file is not taken as done.
TEST_F(export_mapping_file, more_sections_than_counted_are_not_read_and_not_lost)
{
    const std::string path = (dir_ / "pipe").string();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const std::vector<std::string> passes = {
        "[a]\npart_file=A.prt\n  !I_EWO=1\n\n",
        "[a]\npart_file=A.prt\n  !I_EWO=1\n\n[b]\npart_file=B.prt\n  !I_EWO=2\n\n[c]\npart_file=C.prt\n\n",
    };
    // Each pass opens the pipe anew. The content of a pass is written only
    // once the reader's end is open in this process, and the next is offered
    // only once that end is closed again, so the passes never mix.
    const auto ends_open = [&path] {
        int n = 0;
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
            std::error_code link_error;
            if (fs::read_symlink(fd.path(), link_error) == path) ++n;
        }
        return n;
    };
    const auto wait_until = [](const auto& condition) {
        for (int i = 0; i < 5000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::thread server([&] {
        for (std::size_t i = 0; i < passes.size(); ++i) {
            const int fd = ::open(path.c_str(), O_WRONLY);
            if (fd < 0) return;
            wait_until([&] { return ends_open() >= 2; });
            const ssize_t written = ::write(fd, passes[i].data(), passes[i].size());
            (void)written;
            ::close(fd);
            if (i + 1 < passes.size()) wait_until([&] { return ends_open() == 0; });
        }
    });
    kx::export_map map;
    const int status = kx::read_export_mapping_file(path, map);
    // Releases the server should a pass not have come.
    const int release = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    server.join();
    if (release >= 0) ::close(release);
    EXPECT_NE(status, 0);
    EXPECT_TRUE(map.lines_lost);
    EXPECT_EQ(sections_of(map), (std::vector<section_view>{{"A.prt", {{"  !I_EWO", "1"}}}}));
}

// --- through the export's after-each-part point -----------------------------------------

class export_log_files : public mapping_files {
protected:
    void SetUp() override
    {
        mapping_files::SetUp();
        host().operation_class = kx::class_export;
        host().def_directory = "/exp";
        host().part_files[join_path("/exp", "A.prt")];
    }
    // The server names `path` as the part's mapping file; then the after-each-part point.
    int after_part(const std::string& path)
    {
        host().server = [path](int code, const char*) {
            return code == kx::request_get_export_attributes ? sim::pdm_response{0, path}
                                                             : sim::pdm_response{0, std::nullopt};
        };
        return kx::handle_perform_notification(kx::point_after_part, "@DB/A/1", nullptr);
    }
    const sim::part_file& part() { return host().part_files[join_path("/exp", "A.prt")]; }
    std::string attribute(const std::string& title)
    {
        const std::string* value = sim::part_attribute(part(), title);
        return value != nullptr ? *value : "<none>";
    }
    std::vector<std::string> deleted(const std::string& path)
    {
        return {"del " + kx::platform::quote_argument(path)};
    }
};

// A thousand attribute lines: the first hundred are written, the file is
// kept with the rest, and the listing window says so.
TEST_F(export_log_files, a_thousand_attribute_lines_in_one_section)
{
    std::string content = "[p]\npart_file=A.prt\n";
    for (int i = 1; i <= 1000; ++i) content += "  !I_L" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
    const std::string path = write(content);
    EXPECT_EQ(after_part(path), 0);
    EXPECT_EQ(attribute("DESLOG1"), " ");
    EXPECT_EQ(attribute("DESLOG2"), "!I_L1  v1");
    EXPECT_EQ(attribute("DESLOG101"), "!I_L100  v100");
    EXPECT_EQ(attribute("DESLOG102"), "<none>");
    EXPECT_EQ(part().saves, 1);
    EXPECT_EQ(host().listing, kx::msg::could_not_sync("@DB/A/1"));
    EXPECT_TRUE(system.commands.empty());
    EXPECT_TRUE(fs::exists(path));
}

// Whether the mapping file goes after its part: it is kept exactly when a
// line of it was not written, and a failed close of a whole read decides
// nothing by itself.
TEST_F(export_log_files, the_file_is_kept_exactly_when_a_line_was_not_written)
{
    enum class told { nothing, not_synced, close_failed };
    struct row {
        const char* what;
        std::string content;
        std::string part_file;
        std::vector<sim::fault> faults;
        bool kept;
        told listing;
    };
    const std::vector<row> rows = {
        {"a part file name with brackets", "[p]\npart_file=B[2].prt\n  !I_EWO=W-1\n", "B[2].prt", {}, false,
         told::nothing},
        {"a part file line right after the defaults", "[Defaults]\nexport_dir=/x\npart_file=A.prt\n  !I_EWO=W-1\n",
         "A.prt", {}, false, told::nothing},
        {"an attribute line after a blank line", "[p]\npart_file=A.prt\n  !I_EWO=W-1\n\n  !I_DOCO1=late\n", "A.prt",
         {}, true, told::not_synced},
        {"the second close fails after a whole read", "[p]\npart_file=A.prt\n  !I_EWO=W-1\n", "A.prt",
         {{"HOST_TEXT_close", 2, false, 6}}, false, told::close_failed},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        // Also closes the channel that a refused close left open.
        sim::reset_model();
        host().operation_class = 3;
        host().def_directory = "/exp";
        host().part_files[join_path("/exp", r.part_file)];
        host().faults = r.faults;
        system.commands.clear();
        const std::string path = write(r.content);
        EXPECT_EQ(after_part(path), 0);
        const sim::part_file& written = host().part_files[join_path("/exp", r.part_file)];
        const std::string* entry = sim::part_attribute(written, "DESLOG2");
        EXPECT_EQ(entry != nullptr ? *entry : "<none>", "Work Order  W-1");
        EXPECT_EQ(written.saves, 1);
        EXPECT_EQ(system.commands, r.kept ? std::vector<std::string>{} : deleted(path));
        const std::string listing = r.listing == told::not_synced     ? kx::msg::could_not_sync("@DB/A/1")
                                    : r.listing == told::close_failed ? kx::msg::mapping_file_error(
                                                                            kx::msg::mapping_closing, 6, path)
                                                                      : "";
        EXPECT_EQ(host().listing, listing);
    }
    sim::reset_model();
}

// A value with a NUL byte reaches the host as a text, which ends there.
TEST_F(export_log_files, a_nul_byte_ends_the_value_the_host_gets)
{
    const std::string path = write("[p]\npart_file=A.prt\n  !I_EWO=W-1\0junk\n  !I_STATUS=Rel\0eased\n"s);
    EXPECT_EQ(after_part(path), 0);
    EXPECT_EQ(attribute("DESLOG2"), "Work Order  W-1");
    EXPECT_EQ(attribute("RELEASE_STATUS"), "Rel");
    EXPECT_EQ(system.commands, deleted(path));
}

// A part file name with a NUL byte would reach the host cut there, naming
// another file: its section is refused like a name that does not fit.
TEST_F(export_log_files, a_part_file_name_with_a_nul_byte_is_refused)
{
    host().part_files[join_path("/exp", "A")];
    const std::string path = write("[p]\npart_file=A\0.prt\n  !I_EWO=W-1\n"s);
    EXPECT_EQ(after_part(path), 0);
    EXPECT_TRUE(host().open_order.empty()) << "no file opened under a cut name";
    EXPECT_EQ(host().listing, kx::msg::could_not_sync("@DB/A/1"));
    EXPECT_TRUE(system.commands.empty());
}

// A file of blanks only names nothing to log: nothing is written and the file
// goes, as a map without sections does.
TEST_F(export_log_files, a_file_of_blanks_only)
{
    const std::string path = write("   \n\n  \t  \n   ");
    EXPECT_EQ(after_part(path), 0);
    EXPECT_TRUE(host().open_order.empty());
    EXPECT_EQ(system.stdout_text, kx::msg::nothing_to_log);
    EXPECT_EQ(system.commands, deleted(path));
}

TEST_F(export_log_files, a_vanished_or_unreadable_file_is_reported_and_kept)
{
    {
        SCOPED_TRACE("vanished before the first pass");
        const std::string path = (dir_ / "gone.txt").string();
        EXPECT_EQ(after_part(path), 0);
        EXPECT_EQ(host().listing,
                  kx::msg::mapping_file_error(kx::msg::mapping_opening, -2, path) + kx::msg::could_not_sync("@DB/A/1"));
        EXPECT_TRUE(system.commands.empty());
    }
    const std::string path = write("[p]\npart_file=A.prt\n  !I_EWO=W-1\n");
    {
        SCOPED_TRACE("a read that fails in the first pass");
        host().listing.clear();
        host().call_counts.clear();
        host().faults = {{"HOST_TEXT_read_line", 2, false, 5}};
        EXPECT_EQ(after_part(path), 0);
        EXPECT_EQ(host().listing,
                  kx::msg::mapping_file_error(kx::msg::mapping_reading, -5, path) + kx::msg::could_not_sync("@DB/A/1"));
        EXPECT_TRUE(host().open_order.empty());
        EXPECT_TRUE(system.commands.empty());
    }
    {
        SCOPED_TRACE("vanished between the passes");
        host().listing.clear();
        host().call_counts.clear();
        host().faults = {{"HOST_TEXT_open", 2, false, 2}};
        EXPECT_EQ(after_part(path), 0);
        EXPECT_EQ(host().listing,
                  kx::msg::mapping_file_error(kx::msg::mapping_opening, -2, path) + kx::msg::could_not_sync("@DB/A/1"));
        EXPECT_TRUE(host().open_order.empty());
        EXPECT_TRUE(system.commands.empty());
    }
    EXPECT_EQ(attribute("DESLOG2"), "<none>");
    EXPECT_TRUE(fs::exists(path));
}

}  // namespace
