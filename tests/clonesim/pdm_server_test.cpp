// The simulated PDM server in process, over an item store in memory: what it
// answers to each request and how it takes it (given, refused, not
// understood), the scripted and recorded answers that replace its handlers,
// and what it keeps in the store: names, native file names, the journal and
// the released items.
#include "host/host_codes.h"
#include "server/item_store.h"
#include "server/pdm_server.h"
#include "sim_host.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using clonesim::item_seed;
using clonesim::pdm_server;
using answer = pdm_server::answer;

class simulated_server : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        std::string pattern = (fs::path(::testing::TempDir()) / "pdm-server-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        item_seed bolt{"N-1", "Standard_Part", "Bolt", "M8", std::nullopt, {}};
        bolt.revisions.push_back({"A", std::nullopt, "Released", "2026-01-02", "ENG", {{"EWO", "W-1"}}});
        item_seed bracket{"D-2", "Part", "Bracket", "", "Owner", {}};
        bracket.revisions.push_back({"B", "bracket_b.prt", "", std::nullopt, std::nullopt, {}});
        scene_.items = {bolt, bracket};
        scene_.exceptions = {{{"KXPDM_AUTO_PUBLISH_AFTER_IMPORT", "1"}, {"KXPDM_IMPORT_FILL_ORIGINAL_FILENAME", "999"}}};
        store_.seed(scene_.items);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(folder_, ec);
        sim::reset();
    }

    pdm_server server() { return pdm_server(store_, scene_, folder_); }

    clonesim::item_store store_{":memory:"};
    clonesim::scenario scene_;
    fs::path folder_;
};

struct request_case {
    const char* label;
    int code;
    std::optional<std::string> input;
    int status;
    std::optional<std::string> reply;
    answer taken;
};

TEST_F(simulated_server, answers_each_request_and_says_how_it_took_it)
{
    const request_case cases[] = {
        {"item type", kx::request_get_item_type, "N-1", 0, "Standard_Part", answer::given},
        {"item type of no item", kx::request_get_item_type, "X-9", 1, "Item X-9 does not exist", answer::refused},
        {"revision there", kx::request_check_revision, "D-2/B", 0, "PRESENT", answer::given},
        {"revision not there", kx::request_check_revision, "D-2/C", 0, "NOT_PRESENT", answer::given},
        {"recorded native file name", kx::request_get_export_file_name, "@DB/D-2/B", 0, "bracket_b.prt", answer::given},
        {"file name of a related part", kx::request_get_export_file_name, "@DB/N-1/A/manifestation/N-1.DRW", 0,
         "N-1.DRW.prt", answer::given},
        {"file name made of item and revision", kx::request_get_export_file_name, "@DB/N-1/A", 0, "N-1_A.prt",
         answer::given},
        {"file name of no revision", kx::request_get_export_file_name, "@DB/N-1/Z", 1, "No such item revision: N-1/Z",
         answer::refused},
        {"file name of no database name", kx::request_get_export_file_name, "N-1/A", 1,
         "Not a database part name: N-1/A", answer::malformed},
        {"related name", kx::request_get_related_name, "N-1/A//manifestation/DRW", 0, "N-1.A.DRW", answer::given},
        {"related name of an altrep", kx::request_get_related_name, "N-1/A//altrep/", 0, "N-1.altrep", answer::given},
        {"related name without relation", kx::request_get_related_name, "N-1/A///", 1,
         "Cannot name a related part from N-1/A///", answer::malformed},
        {"owner", kx::request_get_owner_name, "@DB/D-2/B", 0, "Owner", answer::given},
        {"owner of an item without one", kx::request_get_owner_name, "@DB/N-1/A", 0, "N-1", answer::given},
        {"owner of no item", kx::request_get_owner_name, "@DB/X-9/A", 1, std::nullopt, answer::refused},
        {"back-fill of no revision", kx::request_pdi_backfill, "N-1/Z", 1, "No such item revision for back-fill: N-1/Z",
         answer::refused},
        {"back-fill without revision", kx::request_pdi_backfill, "N-1", 1, "Malformed back-fill request: N-1",
         answer::malformed},
        {"name of no item", kx::request_set_name_description, "X-9~~A~~n~~d", 1, "Item X-9 does not exist",
         answer::refused},
        {"name without description", kx::request_set_name_description, "N-1~~A~~n", 1,
         "Malformed name and description: N-1~~A~~n", answer::malformed},
        {"new items without the closing separator", kx::request_prepare_new_items, "N-1/A/Part/ENG", 1,
         "Malformed new item list: N-1/A/Part/ENG", answer::malformed},
        {"publishing one item that is not there", kx::request_auto_publish, "N-1#X-9", 1,
         "Cannot publish X-9: no such item", answer::refused},
        // A non-zero status is how the server says that the reply is the list.
        {"exception list", kx::request_get_exceptions, std::nullopt, 1,
         "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1?KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?999", answer::given},
        {"a code of no request", 29, std::nullopt, 1, "Unknown request 29", answer::refused},
    };
    for (const request_case& c : cases) {
        SCOPED_TRACE(c.label);
        pdm_server s = server();
        const sim::pdm_response response = s.handle(c.code, c.input.has_value() ? c.input->c_str() : nullptr);
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.reply, c.reply);
        EXPECT_EQ(s.last_answer(), c.taken);
    }
    EXPECT_EQ(store_.journal_since(0).size(), 0u) << "a refused or malformed request changes nothing";
}

TEST_F(simulated_server, keeps_what_it_is_told_in_the_store_and_the_hosts_view)
{
    pdm_server s = server();
    s.sync_host_items();
    EXPECT_EQ(s.handle(kx::request_set_name_description, "D-2~~B~~Bracket, left~~Welded").status, 0);
    EXPECT_EQ(s.handle(kx::request_fill_import_filename, "N-1#A#bolt.prt#N-1.DRW").status, 0);
    EXPECT_EQ(s.handle(kx::request_prepare_new_items, "N-1/A/Part/ENG/D-2/B/Part//").status, 0);
    EXPECT_EQ(s.handle(kx::request_auto_publish, "N-1#D-2").status, 0);

    EXPECT_EQ(store_.item("D-2")->name, "Bracket, left");
    EXPECT_EQ(sim::host().items.at(1).description, "Welded") << "the host's view of the item, changed in place";
    EXPECT_EQ(s.handle(kx::request_get_export_file_name, "@DB/N-1/A/manifestation/N-1.DRW").reply, "bolt.prt");
    std::string journal;
    for (const clonesim::journal_entry& e : store_.journal_since(0)) journal += e.kind + " " + e.item_id + "; ";
    EXPECT_EQ(journal, "named D-2; native file N-1; announced N-1; announced D-2; published N-1; published D-2; ");
}

TEST_F(simulated_server, writes_the_export_log_mapping_file_of_a_revision)
{
    sim::host().def_directory = "/export";
    pdm_server s = server();
    s.note_exported("@DB/N-1/A", "bolt_as_written.prt");
    const sim::pdm_response response = s.handle(kx::request_get_export_attributes, "@DB/N-1/A");
    ASSERT_EQ(response.status, 0);
    ASSERT_EQ(s.mapping_files().size(), 1u);
    EXPECT_EQ(response.reply, s.mapping_files()[0].path.string());
    std::ostringstream written;
    written << std::ifstream(s.mapping_files()[0].path).rdbuf();
    EXPECT_EQ(written.str(),
              "[Defaults]\nexport_dir=/export\n\n[part1]\npart_file=bolt_as_written.prt\n  !I_EWO=W-1\n  !I_REL=master\n"
              "  !I_REVID=A\n  !I_STATUS=Released\n  !I_DATE=2026-01-02\n  !I_CONTEXT=ENG\n\n");
}

TEST_F(simulated_server, knows_the_items_with_a_released_revision)
{
    EXPECT_TRUE(store_.has_released_revision("N-1"));
    EXPECT_FALSE(store_.has_released_revision("D-2")) << "an empty release status is no release";
    EXPECT_FALSE(store_.has_released_revision("X-9"));
}

TEST_F(simulated_server, scripted_replies_take_the_place_of_its_handlers)
{
    scene_.replies = {{kx::request_get_item_type, 2, false, 7, "busy"},
                      {kx::request_check_revision, 1, true, 5, "PRESENT"},
                      {kx::request_get_exceptions, 1, false, 1, "A?1"}};
    pdm_server s = server();
    struct turn {
        int code;
        int status;
        answer taken;
    };
    // The second item type request only; every revision check, whose status
    // is no answer; the exception list, which comes with a non-zero status.
    const turn turns[] = {{kx::request_get_item_type, 0, answer::given},   {kx::request_get_item_type, 7, answer::refused},
                          {kx::request_get_item_type, 0, answer::given},   {kx::request_check_revision, 5, answer::given},
                          {kx::request_check_revision, 5, answer::given},  {kx::request_get_exceptions, 1, answer::given}};
    for (std::size_t i = 0; i < std::size(turns); ++i) {
        SCOPED_TRACE("request " + std::to_string(i + 1));
        EXPECT_EQ(s.handle(turns[i].code, "N-1").status, turns[i].status);
        EXPECT_EQ(s.last_answer(), turns[i].taken);
    }
}

TEST_F(simulated_server, a_recorded_session_is_answered_as_it_was_and_nothing_more)
{
    scene_.answers = std::vector<clonesim::recorded_answer>{{kx::request_check_revision, "C:\\a/1", 0, "NOT_PRESENT"},
                                                            {kx::request_check_revision, "C:\\a/1", 0, "PRESENT"},
                                                            {kx::request_get_item_type, "N-1", 1, "gone"}};
    pdm_server s = server();
    struct turn {
        int code;
        const char* input;
        int status;
        std::optional<std::string> reply;
        answer taken;
    };
    // The nth question gets the nth answer, later ones the last; "\" and "/"
    // are one separator; a question never asked is unanswered.
    const turn turns[] = {{kx::request_check_revision, "C:/a/1", 0, "NOT_PRESENT", answer::given},
                          {kx::request_check_revision, "C:\\a/1", 0, "PRESENT", answer::given},
                          {kx::request_check_revision, "C:/a/1", 0, "PRESENT", answer::given},
                          {kx::request_get_item_type, "N-1", 1, "gone", answer::refused},
                          {kx::request_get_item_type, "D-2", 1, std::nullopt, answer::unanswered}};
    for (std::size_t i = 0; i < std::size(turns); ++i) {
        SCOPED_TRACE("request " + std::to_string(i + 1));
        const sim::pdm_response response = s.handle(turns[i].code, turns[i].input);
        EXPECT_EQ(response.status, turns[i].status);
        EXPECT_EQ(response.reply, turns[i].reply);
        EXPECT_EQ(s.last_answer(), turns[i].taken);
    }
}

}  // namespace
