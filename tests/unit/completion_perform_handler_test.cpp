// The perform handler at Begin_Perform, after each part and at End_Perform, called directly with the
// session state filled by hand, and whole import and export sessions played
// through the simulated host.
#include "completion/perform_handler.h"
#include "host/host_codes.h"
#include "pdm/pdm_requests.h"
#include "platform/platform.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "session_driver.h"
#include "test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kx::platform::join_path;

struct entry_fields {
    std::string part_spec;
    std::string item_id;
    std::string rev_id;
    std::string item_type = "Part";
    std::string context = {};
    std::string related_name = {};
    bool in_database = false;
    bool has_relation = false;
};

struct request_view {
    int code;
    std::string input;
    bool operator==(const request_view&) const = default;
};

std::ostream& operator<<(std::ostream& os, const request_view& r) { return os << r.code << " [" << r.input << "]"; }

class perform_test : public kxtest::library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        dir_ = scratch_dir();
        host().operation_class = kx::class_import;
    }
    void TearDown() override
    {
        EXPECT_EQ(sim::open_text_channels(), 0u);
        library_test::TearDown();
    }

    void add_entry(const entry_fields& e)
    {
        kx::file_entry entry;
        ASSERT_EQ(kx::host_strdup_or_null(e.part_spec, entry.part_spec), 0);
        ASSERT_EQ(kx::host_strdup_or_null(e.item_id, entry.item_id), 0);
        ASSERT_EQ(kx::host_strdup_or_null(e.rev_id, entry.rev_id), 0);
        ASSERT_EQ(kx::host_strdup_or_null(e.item_type, entry.item_type), 0);
        ASSERT_EQ(kx::host_strdup_or_null(e.context, entry.context), 0);
        ASSERT_EQ(kx::host_strdup_or_null(e.related_name, entry.related_name), 0);
        entry.in_database = e.in_database;
        entry.has_relation = e.has_relation;
        ASSERT_EQ(kx::state().file_struct.reserve_one_more(), 0);
        kx::append_file_entry(std::move(entry));
    }

    sim::clone_part& add_part(const std::string& name)
    {
        sim::clone_part part;
        part.name = name;
        part.action = 1;
        part.naming = 1;
        host().parts.push_back(part);
        return host().parts.back();
    }

    void exceptions(const char* reply) { ASSERT_EQ(kx::split_text(reply, '?', kx::state().exception_list), 0); }

    void item_list(const std::string& text)
    {
        ASSERT_EQ(kx::state().import_item_list.create(), 0);
        ASSERT_EQ(kx::state().import_item_list.append(text), 0);
    }

    std::vector<request_view> requests() const
    {
        std::vector<request_view> out;
        for (const sim::pdm_request& r : sim::host().requests) out.push_back({r.code, r.input.value_or("<null>")});
        return out;
    }
    std::vector<request_view> requests_of(int code) const
    {
        std::vector<request_view> out;
        for (const request_view& r : requests())
            if (r.code == code) out.push_back(r);
        return out;
    }

    std::string write(const std::vector<std::string>& lines, const std::string& name = "map.txt")
    {
        const fs::path path = dir_ / name;
        std::ofstream file(path, std::ios::binary);
        for (const std::string& line : lines) file << line << '\n';
        return path.string();
    }

    int notify(int point, const char* name = nullptr) { return kx::handle_perform_notification(point, name, nullptr); }

    fs::path dir_;
};

// --- Begin_Perform --------------------------------------------------------------

class begin_perform : public perform_test {};

TEST_F(begin_perform, announces_the_new_items_that_have_a_context)
{
    add_entry({"/in/a1.prt", "A1", "01", "Part", "CTX1"});
    add_entry({"/in/e1.prt", "E1", "01", "Part", "CTXE", "", true});
    add_entry({"/in/n1.prt", "N1", "01", "Part", ""});
    add_entry({"/in/b7.prt", "B7", "02", "Part", "CTX2"});
    sim::add_item({"E1", "Part", "n", "d"});

    std::string built;
    {
        kx::host_text_builder text;
        EXPECT_EQ(kx::build_context_request_text(text), 0);
        built = std::string(text.view());
    }
    EXPECT_EQ(built, "A1/01/Part/CTX1/B7/02/Part/CTX2/");

    host().requests.clear();
    host().dry_run = true;  // not consulted at this point
    EXPECT_EQ(notify(kx::point_begin_perform), 0);
    EXPECT_EQ(requests(),
              (std::vector<request_view>{{kx::request_prepare_new_items, "A1/01/Part/CTX1/B7/02/Part/CTX2/"}}));
    EXPECT_TRUE(kx::state().file_struct.held()) << "nothing is released at the start";
}

TEST_F(begin_perform, sends_nothing_when_no_new_item_has_a_context_or_outside_imports)
{
    add_entry({"/in/e1.prt", "E1", "01", "Part", "CTX"});
    add_entry({"/in/n1.prt", "N1", "01", "Part", ""});
    sim::add_item({"E1", "Part", "n", "d"});
    EXPECT_EQ(notify(kx::point_begin_perform), 0);
    EXPECT_TRUE(host().requests.empty());

    add_entry({"/in/a1.prt", "A1", "01", "Part", "CTX"});
    for (int operation_class : {0, 1, 3}) {
        host().operation_class = operation_class;
        EXPECT_EQ(notify(kx::point_begin_perform), 0);
    }
    EXPECT_TRUE(host().requests.empty());
    EXPECT_EQ(sim::calls_of("HOST_PDM_ask_part_tag"), 2);
}

// The translation lets "/" through for an item it found in the database; a
// query that fails now counts the item as new, yet no such field is sent.
TEST_F(begin_perform, a_field_holding_a_slash_is_never_announced)
{
    add_entry({"/in/a1.prt", "A1", "01", "Part", "CTX1"});
    add_entry({"/in/e1.prt", "E1", "01", "Part", "C/D", "", true});
    add_entry({"/in/e2.prt", "E2", "01", "Pa/rt", "CTX2", "", true});
    sim::add_item({"E1", "Part", "n", "d"});
    sim::add_item({"E2", "Part", "n", "d"});
    host().faults = {{"HOST_PDM_ask_part_tag", 1, true, 7}};
    EXPECT_EQ(notify(kx::point_begin_perform), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_prepare_new_items, "A1/01/Part/CTX1/"}}));
}

TEST_F(begin_perform, a_refusal_shows_the_reply_and_stops_the_session)
{
    add_entry({"/in/a1.prt", "A1", "01", "Part", "CTX"});
    host().server = [](int, const char*) { return sim::pdm_response{9, std::string("Context CTX unknown")}; };
    EXPECT_EQ(notify(kx::point_begin_perform), kx::stop_session);
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].title, "Error");
    EXPECT_EQ(host().message_boxes[0].message, "Context CTX unknown");

    host().server = [](int, const char*) { return sim::pdm_response{9, std::nullopt}; };
    EXPECT_EQ(notify(kx::point_begin_perform), kx::stop_session);
    ASSERT_EQ(host().message_boxes.size(), 2u);
    EXPECT_EQ(host().message_boxes[1].message, sim::fail_message(9));
}

// --- after each part, import ----------------------------------------------------

class import_after_part : public perform_test {};

TEST_F(import_after_part, sends_the_entry_name_and_description_cut_to_their_limits)
{
    add_entry({"/in/other.prt", "X1", "01"});
    add_entry({"/in/p.prt", "A1", "01"});
    add_entry({"/in/p.prt", "A2", "01"});  // only the first entry of a part counts
    sim::clone_part& part = add_part("/in/p.prt");
    part.pdm_name = std::string(40, 'n');
    part.pdm_desc = std::string(300, 'd');
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    EXPECT_EQ(requests(),
              (std::vector<request_view>{{kx::request_set_name_description,
                                          "A1~~01~~" + std::string(32, 'n') + "~~" + std::string(240, 'd')}}));

    // The first step's refusal is not looked at.
    host().requests.clear();
    host().server = [](int, const char*) { return sim::pdm_response{5, std::string("no")}; };
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    EXPECT_EQ(requests_of(kx::request_set_name_description).size(), 1u);
    EXPECT_TRUE(host().message_boxes.empty());
}

TEST_F(import_after_part, an_item_in_the_database_is_sent_only_when_it_differs)
{
    add_entry({"/in/p.prt", "A1", "01", "Part", "", "", true});
    sim::clone_part& part = add_part("/in/p.prt");
    part.pdm_name = "Bracket";
    part.pdm_desc = "Steel bracket";
    sim::add_item({"A1", "Part", "Bracket", "Steel bracket"});
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    EXPECT_TRUE(host().requests.empty());

    // Compared after the cut: a 40-character name whose first 32 match.
    host().items[0].name = std::string(32, 'n');
    host().parts[0].pdm_name = std::string(40, 'n');
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    EXPECT_TRUE(host().requests.empty());

    host().items[0].description = "Cast bracket";
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_set_name_description,
                                                      "A1~~01~~" + std::string(32, 'n') + "~~Steel bracket"}}));

    host().requests.clear();
    host().faults = {{"HOST_PDM_ask_part_name_desc", sim::calls_of("HOST_PDM_ask_part_name_desc") + 1, false, 3}};
    host().items[0].description = "Steel bracket";
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    EXPECT_EQ(requests_of(kx::request_set_name_description).size(), 1u)
        << "a failed database query counts as a difference";
}

TEST_F(import_after_part, a_name_or_description_that_cannot_be_asked_stops_quietly)
{
    add_entry({"/in/p.prt", "A1", "01"});
    add_part("/in/p.prt");
    for (const char* op : {"HOST_CLONE_ask_pdm_desc", "HOST_CLONE_ask_pdm_name"}) {
        SCOPED_TRACE(op);
        host().faults = {{op, sim::calls_of(op) + 1, false, 6}};
        EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), kx::stop_session);
        EXPECT_TRUE(host().requests.empty());
        EXPECT_TRUE(host().message_boxes.empty());
    }
}

// The second occasion: a part the user named with clone action 3 and naming
// technique 3 gets the name and description under its output name.
TEST_F(import_after_part, a_user_named_part_is_sent_under_its_output_name)
{
    struct row {
        const char* what;
        int action;
        int def_action;
        int naming;
        int def_naming;
        std::optional<std::string> output_name;
        bool in_database;
        bool sent;
    };
    const row rows[] = {
        {"action 3, naming 3", 3, 1, 3, 1, "@DB/P1/B", true, true},
        {"default action 3", 5, 3, 3, 1, "@DB/P1/B", true, true},
        {"default naming 3", 3, 1, 4, 3, "@DB/P1/B", true, true},
        {"related output name", 3, 1, 3, 1, "@DB/P1/B/manifestation/P1.B.DR01", true, true},
        {"action 4", 4, 3, 3, 1, "@DB/P1/B", true, false},
        {"default action not 3", 5, 4, 3, 1, "@DB/P1/B", true, false},
        {"naming 1", 3, 1, 1, 3, "@DB/P1/B", true, false},
        {"no output name", 3, 1, 3, 1, std::nullopt, true, false},
        {"empty output name", 3, 1, 3, 1, "", true, false},
        {"too few elements", 3, 1, 3, 1, "@DB/P1", true, false},
        {"part number over 32", 3, 1, 3, 1, "@DB/" + std::string(33, 'P') + "/B", true, false},
        {"item not in the database", 3, 1, 3, 1, "@DB/P1/B", false, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        sim::reset();
        host().operation_class = kx::class_import;
        host().def_action = r.def_action;
        host().def_naming = r.def_naming;
        sim::clone_part& part = add_part("/in/u.prt");
        part.action = r.action;
        part.naming = r.naming;
        part.output_name = r.output_name;
        part.pdm_name = "User name";
        part.pdm_desc = "User description";
        if (r.in_database) sim::add_item({"P1", "Part", "old", "old"});
        EXPECT_EQ(notify(kx::point_after_part, "/in/u.prt"), 0);
        const std::vector<request_view> expected =
            r.sent ? std::vector<request_view>{{kx::request_set_name_description, "P1~~B~~User name~~User description"}}
                   : std::vector<request_view>{};
        EXPECT_EQ(requests(), expected);
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

TEST_F(import_after_part, both_occasions_and_the_variable_that_keeps_user_names)
{
    add_entry({"/in/u.prt", "A1", "01"});
    sim::clone_part& part = add_part("/in/u.prt");
    part.action = 3;
    part.naming = 3;
    part.output_name = "@DB/A1/01";
    part.pdm_name = "N";
    part.pdm_desc = "D";
    sim::add_item({"A1", "Part", "old", "old"});
    EXPECT_EQ(notify(kx::point_after_part, "/in/u.prt"), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_set_name_description, "A1~~01~~N~~D"},
                                                     {kx::request_set_name_description, "A1~~01~~N~~D"}}));

    host().requests.clear();
    system.env["USER_NAME_DONT_OVERWRITE_NAME_DESC"] = "";  // set, even empty
    EXPECT_EQ(notify(kx::point_after_part, "/in/u.prt"), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_set_name_description, "A1~~01~~N~~D"}}));
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_naming"), 1);
}

TEST_F(import_after_part, a_refused_user_name_stops_the_session)
{
    sim::clone_part& part = add_part("/in/u.prt");
    part.action = 3;
    part.naming = 3;
    part.output_name = "@DB/P1/B";
    sim::add_item({"P1", "Part", "old", "old"});
    host().server = [](int, const char*) { return sim::pdm_response{12, std::string("server text")}; };
    EXPECT_EQ(notify(kx::point_after_part, "/in/u.prt"), kx::stop_session);
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].title, "Error");
    EXPECT_EQ(host().message_boxes[0].message, kx::msg::name_description);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_set_name_description, "P1~~B~~~~"}}));

    host().faults = {{"HOST_CLONE_ask_pdm_name", 2, false, 6}};
    host().requests.clear();
    EXPECT_EQ(notify(kx::point_after_part, "/in/u.prt"), kx::stop_session) << "the second ask of the name fails";
    EXPECT_TRUE(host().requests.empty());
}

// A name or description the server would split at "~~" once cut is never
// sent: the entry's occasion tells the listing window and goes on, the
// user-named occasion fails as for a refused request.
TEST_F(import_after_part, a_name_or_description_split_by_its_separator_is_not_sent)
{
    struct row {
        const char* what;
        std::string name;
        std::string description;
        bool sent;
    };
    const row rows[] = {
        {"name with ~~", "a~~b", "D", false},
        {"name beginning with ~", "~a", "D", false},
        {"description ending with ~", "N", "d~", false},
        {"name ending with ~ once cut", std::string(31, 'n') + "~x", "D", false},
        {"description ending with ~ once cut", "N", std::string(239, 'd') + "~d", false},
        {"~~ cut off the name", std::string(32, 'n') + "~~", "D", true},
        {"one ~ inside", "a~b", "c~d", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kx::reset_library_state();
        sim::reset();
        host().operation_class = kx::class_import;
        add_entry({"/in/p.prt", "A1", "01"});
        sim::clone_part& entry_part = add_part("/in/p.prt");
        entry_part.pdm_name = r.name;
        entry_part.pdm_desc = r.description;
        sim::clone_part& user_part = add_part("/in/u.prt");
        user_part.action = kx::action_new_name;
        user_part.naming = kx::naming_user_name;
        user_part.output_name = "@DB/P1/B";
        user_part.pdm_name = r.name;
        user_part.pdm_desc = r.description;
        sim::add_item({"P1", "Part", "old", "old"});

        EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
        EXPECT_EQ(requests_of(kx::request_set_name_description).size(), r.sent ? 1u : 0u);
        EXPECT_EQ(host().listing, r.sent ? "" : kx::msg::name_description_not_sent("/in/p.prt"));
        EXPECT_TRUE(host().message_boxes.empty());

        host().requests.clear();
        EXPECT_EQ(notify(kx::point_after_part, "/in/u.prt"), r.sent ? 0 : kx::stop_session);
        EXPECT_EQ(requests_of(kx::request_set_name_description).size(), r.sent ? 1u : 0u);
        if (r.sent) {
            EXPECT_TRUE(host().message_boxes.empty());
        } else {
            ASSERT_EQ(host().message_boxes.size(), 1u);
            EXPECT_EQ(host().message_boxes[0].message, kx::msg::name_description);
        }
        kx::reset_library_state();
        expect_no_leaks();
    }
}

TEST_F(import_after_part, a_dry_run_or_another_class_does_nothing_after_a_part)
{
    add_entry({"/in/p.prt", "A1", "01"});
    sim::clone_part& part = add_part("/in/p.prt");
    part.action = 3;
    part.naming = 3;
    part.output_name = "@DB/A1/01";
    sim::add_item({"A1", "Part", "old", "old"});
    host().dry_run = true;
    EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    host().dry_run = false;
    for (int operation_class : {0, 1}) {
        host().operation_class = operation_class;
        EXPECT_EQ(notify(kx::point_after_part, "/in/p.prt"), 0);
    }
    EXPECT_TRUE(host().requests.empty());
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_pdm_name"), 0);
}

// The notified part is found through the table's index of part_spec values:
// it must point at the right entry however often the table grew, and must be
// empty once the table is released.
TEST_F(import_after_part, finds_its_entry_among_many_after_the_table_grew_and_none_once_released)
{
    for (int i = 0; i < 300; ++i) {
        const std::string number = std::to_string(i);
        add_entry({"/in/p" + number + ".prt", "A" + number, "01"});
        add_part("/in/p" + number + ".prt").pdm_name = "name " + number;
    }
    add_entry({"/in/p157.prt", "DUP", "01"});  // a later entry of the same part
    EXPECT_EQ(notify(kx::point_after_part, "/in/p157.prt"), 0);
    EXPECT_EQ(requests_of(kx::request_set_name_description),
              (std::vector<request_view>{{kx::request_set_name_description, "A157~~01~~name 157~~"}}));

    host().requests.clear();
    EXPECT_EQ(notify(kx::point_after_part, "/in/p0.prt"), 0);
    EXPECT_EQ(notify(kx::point_after_part, "/in/p299.prt"), 0);
    EXPECT_EQ(requests_of(kx::request_set_name_description),
              (std::vector<request_view>{{kx::request_set_name_description, "A0~~01~~name 0~~"},
                                         {kx::request_set_name_description, "A299~~01~~name 299~~"}}));

    // A part of a released table is no longer known (and its texts are gone).
    kx::free_file_struct();
    host().requests.clear();
    EXPECT_EQ(notify(kx::point_after_part, "/in/p157.prt"), 0);
    EXPECT_TRUE(requests_of(kx::request_set_name_description).empty());
    EXPECT_TRUE(kx::state().file_struct_index.empty());

    add_entry({"/in/p157.prt", "B157", "02"});
    EXPECT_EQ(notify(kx::point_after_part, "/in/p157.prt"), 0);
    EXPECT_EQ(requests_of(kx::request_set_name_description),
              (std::vector<request_view>{{kx::request_set_name_description, "B157~~02~~name 157~~"}}));
    kx::reset_library_state();
    EXPECT_TRUE(kx::state().file_struct_index.empty());
}

// --- after each part, export ------------------------------------------------------

class export_after_part : public perform_test {
protected:
    void SetUp() override
    {
        perform_test::SetUp();
        host().operation_class = kx::class_export;
        host().def_directory = "/exp";
    }
    void serve_mapping_file(const std::string& path, const std::string& owner = "OWN")
    {
        host().server = [path, owner](int code, const char*) {
            if (code == kx::request_get_export_attributes) return sim::pdm_response{0, path};
            if (code == kx::request_get_owner_name) return sim::pdm_response{0, owner};
            return sim::pdm_response{0, std::nullopt};
        };
    }
};

TEST_F(export_after_part, logs_the_part_and_deletes_the_mapping_file)
{
    const std::string file = join_path("/exp", "X1.prt");
    host().part_files[file] = {};
    const std::string map = write({"[p]", "part_file=X1.prt", "  !I_EWO=W-9"});
    serve_mapping_file(map);
    EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_get_export_attributes, "@DB/X1/A"}}));
    EXPECT_EQ(*sim::part_attribute(host().part_files[file], "DESLOG2"), "Work Order  W-9");
    EXPECT_EQ(system.commands, std::vector<std::string>{"del " + kx::platform::quote_argument(map)});
    EXPECT_TRUE(host().listing.empty());
}

// The export directory's value may name part files: it neither ends the
// defaults nor opens a part, so the part is logged and the file deleted.
TEST_F(export_after_part, an_export_directory_naming_part_files_opens_no_part)
{
    const std::string file = join_path("/exp", "A100.prt");
    host().part_files[file] = {};
    const std::string map =
        write({"[Defaults]", "export_dir=/data/part_files", "[part1]", "part_file=A100.prt", "  !I_EWO=W-1"});
    serve_mapping_file(map);
    EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
    EXPECT_EQ(host().open_order, std::vector<std::string>{file});
    EXPECT_EQ(*sim::part_attribute(host().part_files[file], "DESLOG2"), "Work Order  W-1");
    EXPECT_EQ(system.commands, std::vector<std::string>{"del " + kx::platform::quote_argument(map)});
    EXPECT_TRUE(host().listing.empty());
}

TEST_F(export_after_part, a_scenario_part_is_logged_under_its_owner)
{
    const std::string master = join_path("/exp", "OWN.prt");
    const std::string file = join_path(join_path("/exp", "OWN"), "X1.A.SM01.prt");
    host().part_files[master] = {};
    host().part_files[file] = {};
    const std::string map = write({"[p]", "part_file=X1.A.SM01.prt", "  !I_EWO=W-9"});
    serve_mapping_file(map);
    EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A/scenario/Y1"), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_get_export_attributes, "@DB/X1/A/scenario/Y1"},
                                                     {kx::request_get_owner_name, "@DB/X1/A/scenario/Y1"}}));
    EXPECT_EQ(host().open_order, (std::vector<std::string>{master, file}));
    EXPECT_EQ(system.commands.size(), 1u);

    host().requests.clear();
    EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A/simulation/Y1"), 0);
    EXPECT_EQ(requests_of(kx::request_get_owner_name).size(), 1u);
}

TEST_F(export_after_part, owner_names)
{
    struct row {
        const char* part_name;
        const char* reply;
        std::size_t requests;
        std::string owner;
    };
    const row rows[] = {
        {"@DB/X1/A/scenario/Y1", "OWN", 1, "OWN"},
        {"@DB/X1/A/simulation", "OWN", 1, "OWN"},
        {"@DB/X1/scenario", "OWN", 0, ""},  // three elements: not more than 3
        {"@DB/X1/A", "OWN", 0, ""},
        {"@DB/X1/A/Scenario/Y1", "OWN", 0, ""},
        {"@DB/X1/A/manifestation/Y1", "OWN", 0, ""},
        {"@DB/X1/A/scenario/Y1", nullptr, 1, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.part_name);
        host().requests.clear();
        const std::optional<std::string> reply = r.reply != nullptr ? std::optional<std::string>(r.reply) : std::nullopt;
        host().server = [reply](int, const char*) { return sim::pdm_response{0, reply}; };
        kx::host_text owner;
        kx::ask_owner_name(r.part_name, owner);
        EXPECT_EQ(std::string(kx::view(owner)), r.owner);
        EXPECT_EQ(requests_of(kx::request_get_owner_name).size(), r.requests);
    }
}

TEST_F(export_after_part, failures_go_to_the_listing_window_and_keep_the_file)
{
    {
        SCOPED_TRACE("get_export_attributes refused");
        host().server = [](int, const char*) { return sim::pdm_response{4, std::string("no attributes")}; };
        EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
        EXPECT_EQ(host().listing, kx::msg::export_attributes_failed("@DB/X1/A"));
        EXPECT_TRUE(system.commands.empty());
        EXPECT_TRUE(requests_of(kx::request_get_owner_name).empty());
    }
    {
        SCOPED_TRACE("the part file cannot be opened");
        host().listing.clear();
        const std::string map = write({"[p]", "part_file=missing.prt", "  !I_EWO=W-9"});
        serve_mapping_file(map);
        EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
        EXPECT_EQ(host().listing, kx::msg::could_not_sync("@DB/X1/A"));
        EXPECT_TRUE(system.commands.empty());
        EXPECT_TRUE(fs::exists(map));
    }
    {
        SCOPED_TRACE("an empty reply names no file");
        host().listing.clear();
        serve_mapping_file("");
        EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
        EXPECT_EQ(host().listing, std::string(kx::msg::no_mapping_file) + kx::msg::could_not_sync("@DB/X1/A"));
        EXPECT_TRUE(system.commands.empty());
    }
    {
        SCOPED_TRACE("a dry run does nothing");
        host().requests.clear();
        host().dry_run = true;
        EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
        EXPECT_TRUE(host().requests.empty());
    }
}

// A map without sections is nothing to log: the file is deleted all the same.
TEST_F(export_after_part, a_map_without_sections_is_deleted)
{
    const std::string map = write({"[Defaults]", "export_dir=/x"});
    serve_mapping_file(map);
    EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
    EXPECT_EQ(system.stdout_text, kx::msg::nothing_to_log);
    EXPECT_EQ(system.commands, std::vector<std::string>{"del " + kx::platform::quote_argument(map)});
}

// A cut path would delete another file.
TEST_F(export_after_part, a_delete_command_over_its_limit_is_not_run)
{
    fs::path deep = dir_;
    while (deep.string().size() < 1030) deep /= std::string(200, 'm');
    fs::create_directories(deep);
    const std::string map = (deep / "map.txt").string();
    std::ofstream(map) << "[Defaults]\n";
    serve_mapping_file(map);
    EXPECT_EQ(notify(kx::point_after_part, "@DB/X1/A"), 0);
    EXPECT_EQ(system.stdout_text, kx::msg::nothing_to_log) << "the log itself succeeded";
    EXPECT_TRUE(system.commands.empty());
    EXPECT_TRUE(host().listing.empty());
}

// --- End_Perform ------------------------------------------------------------------

class end_perform : public perform_test {
protected:
    void SetUp() override
    {
        perform_test::SetUp();
        host().def_action = 3;
        exceptions("KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1?KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1");
    }
};

TEST_F(end_perform, saves_records_backfills_publishes_and_releases)
{
    struct row {
        entry_fields entry;
        int state;
        int action;
        bool processed;
    };
    const std::vector<row> rows = {
        {{"/in/s1.prt", "S1", "01"}, 1, 3, false},
        {{"/in/s4.prt", "S4", "01"}, 4, 3, false},
        {{"/in/k4.prt", "K4", "01", "Part", "", "", true}, 0, 4, false},
        {{"/in/k5.prt", "K5", "01", "Part", "", "", true}, 0, 5, true},  // default action is 3 here
        {{"/in/n4.prt", "N4", "01"}, 0, 4, true},                         // action 4, but a new item
        {{"/in/a1.prt", "A1", "01"}, 0, 3, true},
        {{"/in/d1.dwg", "A1", "01", "Part", "", "A1.01.DR01", false, true}, 0, 3, true},
        {{"/in/p8.prt", "P8", "AB123456"}, 0, 3, true},
        {{"/in/p7.prt", "P7", "AB12345"}, 0, 3, true},
        {{"/in/p9.prt", "P9", "AB1234567"}, 0, 3, true},
        {{"/in/r8.prt", "R8", "AB123456", "Part", "", "R8.AB123456.SM01", false, true}, 0, 3, true},
    };
    for (const row& r : rows) {
        add_entry(r.entry);
        sim::clone_part& part = add_part(r.entry.part_spec);
        part.state = r.state;
        part.action = r.action;
        if (r.entry.has_relation) part.attributes = {{"RELATION", "manifestation"}};
        const std::string encoded =
            "@DB/" + r.entry.item_id + "/" + r.entry.rev_id +
            (r.entry.has_relation ? "/manifestation/" + r.entry.related_name : std::string());
        host().part_files[encoded] = {};
    }
    item_list("K5#N4#A1#P8#");
    host().assem_options.member[8] = 1;

    EXPECT_EQ(notify(kx::point_end_perform, "END"), 0);

    for (const row& r : rows) {
        SCOPED_TRACE(r.entry.part_spec);
        const std::string encoded =
            "@DB/" + r.entry.item_id + "/" + r.entry.rev_id +
            (r.entry.has_relation ? "/manifestation/" + r.entry.related_name : std::string());
        // A1 is saved twice: once as a master and once under its relation.
        EXPECT_EQ(host().part_files[encoded].saves > 0, r.processed);
    }
    EXPECT_EQ(requests(), (std::vector<request_view>{
                              {kx::request_fill_import_filename, "K5#01#k5.prt"},
                              {kx::request_fill_import_filename, "N4#01#n4.prt"},
                              {kx::request_fill_import_filename, "A1#01#a1.prt"},
                              {kx::request_fill_import_filename, "A1#01#d1.dwg#A1.01.DR01"},
                              {kx::request_fill_import_filename, "P8#AB123456#p8.prt"},
                              {kx::request_pdi_backfill, "P8/AB123456"},
                              {kx::request_fill_import_filename, "P7#AB12345#p7.prt"},
                              {kx::request_fill_import_filename, "P9#AB1234567#p9.prt"},
                              {kx::request_fill_import_filename, "R8#AB123456#r8.prt#R8.AB123456.SM01"},
                              {kx::request_auto_publish, "K5#N4#A1#P8"},
                          }));
    EXPECT_TRUE(host().listing.empty());
    EXPECT_FALSE(kx::state().file_struct.held()) << "the session state is released";
    EXPECT_EQ(kx::state().import_item_list.view(), "K5#N4#A1#P8");
    EXPECT_EQ(host().assem_options.member[8], 1) << "options as they were";
    EXPECT_EQ(host().part_files["@DB/A1/01"].assem_member8_at_open, std::vector<int>{0});
}

TEST_F(end_perform, the_variable_that_keeps_parts_unsaved)
{
    add_entry({"/in/a1.prt", "A1", "01"});
    add_part("/in/a1.prt");
    host().part_files["@DB/A1/01"] = {};
    system.env["KXPDM_NO_SAVE_ON_CLONE_IMPORT"] = "";
    EXPECT_EQ(notify(kx::point_end_perform), 0);
    EXPECT_EQ(sim::calls_of("HOST_PART_open"), 0);
    EXPECT_EQ(requests(), (std::vector<request_view>{{kx::request_fill_import_filename, "A1#01#a1.prt"}}));
}

// A native file name holding "#" fails its own request; the phase goes on.
TEST_F(end_perform, a_native_file_name_holding_its_separator_is_not_sent)
{
    for (const char* part_name : {"/in/a#b.prt", "/in/c.prt"}) {
        add_entry({part_name, "A1", "01"});
        add_part(part_name);
    }
    host().part_files["@DB/A1/01"] = {};
    EXPECT_EQ(notify(kx::point_end_perform, "END"), 0);
    EXPECT_EQ(requests_of(kx::request_fill_import_filename),
              (std::vector<request_view>{{kx::request_fill_import_filename, "A1#01#c.prt"}}));
    EXPECT_EQ(host().listing, kx::msg::native_filename_failed("/in/a#b.prt"));
    EXPECT_EQ(host().part_files["@DB/A1/01"].saves, 2) << "both parts are saved";
}

TEST_F(end_perform, a_failed_backfill_stops_the_phase)
{
    for (const char* id : {"A1", "A2", "A3"}) {
        add_entry({std::string("/in/") + id + ".prt", id, "AB123456"});
        add_part(std::string("/in/") + id + ".prt");
        host().part_files[std::string("@DB/") + id + "/AB123456"] = {};
    }
    item_list("A1#A2#A3#");
    host().server = [](int code, const char* input) {
        return sim::pdm_response{code == kx::request_pdi_backfill && std::string(input) == "A2/AB123456" ? 7 : 0,
                                 std::nullopt};
    };
    EXPECT_EQ(notify(kx::point_end_perform, "END"), 0);
    EXPECT_EQ(host().listing, kx::msg::pdi_backfill_failed("END"));
    EXPECT_EQ(host().part_files["@DB/A3/AB123456"].saves, 0);
    EXPECT_TRUE(requests_of(kx::request_auto_publish).empty());
    EXPECT_EQ(requests_of(kx::request_pdi_backfill).size(), 2u);
    EXPECT_TRUE(kx::state().file_struct.held()) << "left for Exit_Clone";
    EXPECT_EQ(kx::state().import_item_list.view(), "A1#A2#A3#");
}

TEST_F(end_perform, publishing)
{
    struct row {
        const char* what;
        std::optional<std::string> list;  // absent: no list held
        const char* exceptions;
        std::vector<request_view> expected;
        std::string list_after;
    };
    const std::vector<row> rows = {
        {"in force", "A1#A2#", "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1", {{kx::request_auto_publish, "A1#A2"}}, "A1#A2"},
        {"switch at 999", "A1#A2#", "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?999", {}, "A1#A2"},
        {"switch absent", "A1#", "OTHER?1", {}, "A1"},
        {"no exception list", "A1#", nullptr, {}, "A1"},
        {"empty list", "", "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1", {}, ""},
        {"only the separator", "#", "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1", {}, ""},
        {"no list", std::nullopt, "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1", {}, ""},
        {"no final separator", "A1", "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1", {{kx::request_auto_publish, "A1"}}, "A1"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kx::reset_library_state();
        sim::reset();
        host().operation_class = kx::class_import;
        if (r.exceptions != nullptr) exceptions(r.exceptions);
        if (r.list) item_list(*r.list);
        add_entry({"/in/x.prt", "X", "01"});
        EXPECT_EQ(notify(kx::point_end_perform), 0);
        EXPECT_EQ(requests_of(kx::request_auto_publish), r.expected);
        EXPECT_EQ(std::string(kx::state().import_item_list.view()), r.list_after);
        EXPECT_FALSE(kx::state().file_struct.held());
    }
}

TEST_F(end_perform, a_failed_publishing_keeps_the_session_state)
{
    item_list("A1#");
    add_entry({"/in/x.prt", "X", "01"});
    host().server = [](int code, const char*) {
        return sim::pdm_response{code == kx::request_auto_publish ? 8 : 0, std::nullopt};
    };
    EXPECT_EQ(notify(kx::point_end_perform, nullptr), 0);
    EXPECT_EQ(host().listing, kx::msg::auto_publish_failed(""));
    EXPECT_TRUE(kx::state().file_struct.held());
}

TEST_F(end_perform, other_classes_only_release_and_a_dry_run_does_nothing)
{
    add_entry({"/in/x.prt", "X", "AB123456"});
    host().dry_run = true;
    EXPECT_EQ(notify(kx::point_end_perform), 0);
    EXPECT_TRUE(kx::state().file_struct.held());
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_part_state"), 0);

    host().dry_run = false;
    host().operation_class = kx::class_clone;
    item_list("X#");
    EXPECT_EQ(notify(kx::point_end_perform), 0);
    EXPECT_FALSE(kx::state().file_struct.held());
    EXPECT_TRUE(host().requests.empty());
    EXPECT_EQ(kx::state().import_item_list.view(), "X#");

    for (int point :
         {kx::point_init_clone, kx::point_exit_clone, kx::point_begin_apply_defaults, kx::notification_point{50}})
        EXPECT_EQ(notify(point), 0);
    EXPECT_TRUE(host().requests.empty());
}

}  // namespace

// --- whole sessions through the simulated host ---------------------------------

namespace {

class whole_session : public perform_test {
protected:
    void SetUp() override
    {
        perform_test::SetUp();
        start_library();
    }

    std::vector<int> codes() const
    {
        std::vector<int> out;
        for (const sim::pdm_request& r : sim::host().requests) out.push_back(r.code);
        return out;
    }
    std::vector<request_view> requests_from(int code) const
    {
        const std::vector<request_view> all = requests();
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i].code == code) return {all.begin() + static_cast<std::ptrdiff_t>(i), all.end()};
        return {};
    }

    // What the host does in the perform phase: the item and its part file
    // come into being under the translated name.
    static sim::session_options creating_items()
    {
        sim::session_options options;
        options.perform_point_name = "ASSY";
        options.on_perform_part = [](sim::clone_part& part) {
            const std::string& name = *part.new_name;
            sim::host().part_files[name];
            const std::string item_id = name.substr(4, name.find('/', 4) - 4);
            host_tag_t tag = HOST_NULL_TAG;
            HOST_PDM_ask_part_tag(item_id.c_str(), &tag);
            if (tag == HOST_NULL_TAG) sim::add_item({item_id, "Part", "", ""});
        };
        return options;
    }
};

sim::clone_part import_part(const std::string& name, std::vector<sim::attribute> attributes)
{
    sim::clone_part part;
    part.name = name;
    part.attributes = std::move(attributes);
    return part;
}

TEST_F(whole_session, an_import_announces_synchronises_saves_backfills_and_publishes)
{
    host().def_item_type = "Part";
    host().def_action = 3;
    host().assem_options.member[8] = 1;
    host().parts = {
        import_part("/in/a1.prt", {{"DB_PART_NO", "A1"}, {"DB_PART_REV", "01"}, {"CONTEXT", "CTX1"},
                                   {"DB_PART_NAME", "Bracket"}, {"DB_PART_DESC", "Steel bracket"}}),
        import_part("/in/b7.prt", {{"DB_PART_NO", "B7"}, {"DB_PART_REV", "AB123456"}, {"CONTEXT", "CTX2"}}),
        import_part("/in/e1.prt", {{"DB_PART_NO", "E1"}, {"DB_PART_REV", "02"}, {"CONTEXT", "CTX3"},
                                   {"DB_PART_NAME", "Plate"}}),
    };
    sim::add_item({"E1", "Part", "Old plate", ""});
    host().server = [](int code, const char*) {
        switch (code) {
        case kx::request_get_exceptions:
            return sim::pdm_response{1, std::string("KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1?"
                                                    "KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1")};
        case kx::request_check_revision:
            return sim::pdm_response{0, std::string("NOT_PRESENT")};
        case kx::request_get_item_type:
            return sim::pdm_response{0, std::string("Part")};
        default:
            return sim::pdm_response{0, std::nullopt};
        }
    };

    const sim::session_result result = sim::play_session(creating_items());
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(result.exit_result, 0);

    EXPECT_EQ(requests_from(kx::request_prepare_new_items),
              (std::vector<request_view>{
                  {kx::request_prepare_new_items, "A1/01/Part/CTX1/B7/AB123456/Part/CTX2/"},
                  {kx::request_set_name_description, "A1~~01~~Bracket~~Steel bracket"},
                  {kx::request_set_name_description, "B7~~AB123456~~B7~~B7"},
                  {kx::request_set_name_description, "E1~~02~~Plate~~E1"},
                  {kx::request_fill_import_filename, "A1#01#a1.prt"},
                  {kx::request_fill_import_filename, "B7#AB123456#b7.prt"},
                  {kx::request_pdi_backfill, "B7/AB123456"},
                  {kx::request_fill_import_filename, "E1#02#e1.prt"},
                  {kx::request_auto_publish, "A1#B7#E1"},
                  {kx::request_end_import, "<null>"},
              }));
    for (const char* name : {"@DB/A1/01", "@DB/B7/AB123456", "@DB/E1/02"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(host().part_files[name].saves, 1);
        EXPECT_EQ(host().part_files[name].assem_member8_at_open, std::vector<int>{0});
    }
    EXPECT_EQ(host().assem_options.member[8], 1);
    EXPECT_TRUE(host().listing.empty());
    EXPECT_TRUE(host().message_boxes.empty());
    EXPECT_FALSE(kx::state().file_struct.held());
    EXPECT_FALSE(kx::state().import_item_list.held());
    expect_no_leaks();
}

TEST_F(whole_session, an_import_without_saving_and_with_a_failed_backfill)
{
    system.env["KXPDM_NO_SAVE_ON_CLONE_IMPORT"] = "1";
    host().def_item_type = "Part";
    host().parts = {
        import_part("/in/p1.prt", {{"DB_PART_NO", "P1"}, {"DB_PART_REV", "AB123456"}}),
        import_part("/in/p2.prt", {{"DB_PART_NO", "P2"}, {"DB_PART_REV", "AB123456"}}),
        import_part("/in/p3.prt", {{"DB_PART_NO", "P3"}, {"DB_PART_REV", "AB123456"}}),
    };
    host().server = [](int code, const char* input) {
        if (code == kx::request_get_exceptions)
            return sim::pdm_response{1, std::string("KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1")};
        if (code == kx::request_check_revision) return sim::pdm_response{0, std::string("NOT_PRESENT")};
        if (code == kx::request_pdi_backfill && std::string(input) == "P2/AB123456")
            return sim::pdm_response{3, std::nullopt};
        return sim::pdm_response{0, std::nullopt};
    };
    const sim::session_result result = sim::play_session(creating_items());
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(sim::calls_of("HOST_PART_open"), 0);
    EXPECT_EQ(requests_from(kx::request_pdi_backfill),
              (std::vector<request_view>{{kx::request_pdi_backfill, "P1/AB123456"},
                                         {kx::request_pdi_backfill, "P2/AB123456"},
                                         {kx::request_end_import, "<null>"}}));
    EXPECT_EQ(host().listing, kx::msg::pdi_backfill_failed("ASSY"));
    EXPECT_FALSE(kx::state().file_struct.held()) << "Exit_Clone released what End_Perform left";
    expect_no_leaks();
}

TEST_F(whole_session, a_dry_run_import_only_announces)
{
    host().def_item_type = "Part";
    host().dry_run = true;
    host().parts = {import_part("/in/a1.prt", {{"DB_PART_NO", "A1"}, {"DB_PART_REV", "01"}, {"CONTEXT", "C"}})};
    host().server = [](int code, const char*) {
        if (code == kx::request_check_revision) return sim::pdm_response{0, std::string("NOT_PRESENT")};
        return sim::pdm_response{0, std::nullopt};
    };
    const sim::session_result result = sim::play_session(creating_items());
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(requests_from(kx::request_prepare_new_items),
              (std::vector<request_view>{{kx::request_prepare_new_items, "A1/01/Part/C/"},
                                         {kx::request_end_import, "<null>"}}));
    EXPECT_EQ(host().part_files["@DB/A1/01"].saves, 0);
    expect_no_leaks();
}

TEST_F(whole_session, a_refused_announcement_stops_the_import_before_its_parts)
{
    host().def_item_type = "Part";
    host().parts = {import_part("/in/a1.prt", {{"DB_PART_NO", "A1"}, {"DB_PART_REV", "01"}, {"CONTEXT", "C"}})};
    host().server = [](int code, const char*) {
        if (code == kx::request_prepare_new_items) return sim::pdm_response{2, std::string("Context C is not known")};
        if (code == kx::request_check_revision) return sim::pdm_response{0, std::string("NOT_PRESENT")};
        return sim::pdm_response{0, std::nullopt};
    };
    const sim::session_result result = sim::play_session(creating_items());
    EXPECT_TRUE(result.refused);
    EXPECT_EQ(result.refused_at, "Begin_Perform");
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, "Context C is not known");
    EXPECT_EQ(requests_from(kx::request_prepare_new_items),
              (std::vector<request_view>{{kx::request_prepare_new_items, "A1/01/Part/C/"},
                                         {kx::request_end_import, "<null>"}}));
    expect_no_leaks();
}

class export_session : public whole_session {
protected:
    void SetUp() override
    {
        whole_session::SetUp();
        host().operation_class = kx::class_export;
        host().def_directory = "/exp";
        sim::clone_part part;
        part.name = "@DB/X1/A";
        part.state = 0;
        host().parts = {part};
        host().part_files[join_path("/exp", "x1_a.prt")];
    }
    void serve(const std::string& mapping_file)
    {
        host().server = [mapping_file](int code, const char*) {
            switch (code) {
            case kx::request_get_export_file_name:
                return sim::pdm_response{0, std::string("x1_a.prt")};
            case kx::request_get_export_attributes:
                return sim::pdm_response{0, mapping_file};
            default:
                return sim::pdm_response{0, std::nullopt};
            }
        };
    }
};

TEST_F(export_session, each_export_adds_a_design_log_block_and_deletes_its_mapping_file)
{
    const std::string file = join_path("/exp", "x1_a.prt");
    const std::string first = write({"[Defaults]", "export_dir=/exp", "", "[x1]", "part_file=x1_a.prt",
                                     "  !I_EWO=W-1234", "  !I_DOCO1=Added hole", "  !I_REL=master", ""},
                                    "first.txt");
    serve(first);
    sim::session_result result = sim::play_session();
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(requests_from(kx::request_get_export_attributes),
              (std::vector<request_view>{{kx::request_get_export_attributes, "@DB/X1/A"}}));
    {
        const sim::part_file& part = host().part_files[file];
        const std::vector<sim::attribute> expected = {{"DESLOG1", " "},
                                                      {"DESLOG2", "Work Order  W-1234"},
                                                      {"DESLOG3", "Change Description #1:  Added hole"},
                                                      {"RELATION", "master"},
                                                      {"KXPDM_EXPORTED", "TRUE"}};
        EXPECT_EQ(part.attributes, expected);
        EXPECT_EQ(part.saves, 1);
        EXPECT_FALSE(part.open);
    }
    EXPECT_EQ(system.commands, std::vector<std::string>{"del " + kx::platform::quote_argument(first)});
    EXPECT_TRUE(host().listing.empty());
    expect_no_leaks();

    // The same part exported again: its new block starts after the number
    // the relation line used up.
    host().requests.clear();
    const std::string second =
        write({"[x1]", "part_file=x1_a.prt", "  !I_EWO=W-5678", "  !I_STATUS=Released", ""}, "second.txt");
    serve(second);
    result = sim::play_session();
    ASSERT_FALSE(result.refused) << result.refused_at;
    const sim::part_file& part = host().part_files[file];
    EXPECT_EQ(*sim::part_attribute(part, "DESLOG4"), " ");
    EXPECT_EQ(*sim::part_attribute(part, "DESLOG5"), "Work Order  W-5678");
    EXPECT_EQ(sim::part_attribute(part, "DESLOG6"), nullptr);
    EXPECT_EQ(*sim::part_attribute(part, "RELEASE_STATUS"), "Released");
    EXPECT_EQ(*sim::part_attribute(part, "DESLOG3"), "Change Description #1:  Added hole");
    EXPECT_EQ(part.saves, 2);
    EXPECT_EQ(system.commands.back(), "del " + kx::platform::quote_argument(second));
    expect_no_leaks();
}

TEST_F(export_session, a_mapping_file_that_cannot_be_synchronised_is_kept)
{
    const std::string map = write({"[x1]", "part_file=missing.prt", "  !I_EWO=W-1", ""});
    serve(map);
    const sim::session_result result = sim::play_session();
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(host().listing, kx::msg::could_not_sync("@DB/X1/A"));
    EXPECT_TRUE(system.commands.empty());
    expect_no_leaks();
}

// Through the real command interpreter, with a stand-in for the host
// platform's "del" first on the PATH: the file is gone afterwards, and only
// after the log was written.
TEST_F(export_session, the_delete_command_removes_the_mapping_file)
{
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    {
        std::ofstream del(bin / "del");
        del << "#!/bin/sh\nfor f in \"$@\"; do rm -f -- \"$f\"; done\n";
    }
    fs::permissions(bin / "del", fs::perms::owner_all);
    const char* old_path = std::getenv("PATH");
    const std::string saved_path = old_path != nullptr ? old_path : "";
    ::setenv("PATH", (bin.string() + ":" + saved_path).c_str(), 1);
    system.run_for_real = true;

    const std::string map = write({"[x1]", "part_file=x1_a.prt", "  !I_EWO=W-1", ""}, "it's a map.txt");
    serve(map);
    sim::session_result result = sim::play_session();
    ::setenv("PATH", saved_path.c_str(), 1);
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(system.commands.size(), 1u);
    EXPECT_FALSE(fs::exists(map));
    EXPECT_EQ(*sim::part_attribute(host().part_files[join_path("/exp", "x1_a.prt")], "DESLOG2"), "Work Order  W-1");
    expect_no_leaks();
}

}  // namespace
