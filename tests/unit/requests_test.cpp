// PDM requests, the split list, the exception lookup and the releases.
#include "import/attribute_readers.h"
#include "pdm/pdm_requests.h"
#include "session/session_state.h"
#include "test_support.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using kxtest::library_test;

std::vector<std::string> elements(const kx::host_string_array& list)
{
    std::vector<std::string> out;
    for (int i = 0; i < list.count(); ++i) out.emplace_back(list[i]);
    return out;
}

class split : public library_test {};

TEST_F(split, cases)
{
    struct row {
        const char* text;
        char separator;
        std::vector<std::string> expected;
    };
    const std::string long_token(140, 'x');
    const std::string long_text = "a/" + long_token;
    const row rows[] = {
        {"DB/A1/01", '/', {"DB", "A1", "01"}},
        {"A1", '/', {"A1"}},
        {" A1 ", '/', {" A1 "}},  // untrimmed: the separator does not occur
        {"//A1//01/", '/', {"A1", "01"}},
        {"", '/', {""}},
        {"/", '/', {}},
        {"///", '/', {}},
        {"  A-1 /(x)/_ABC_", '/', {"A-1", "x", "ABC"}},
        {"N1?999?N2?x", '?', {"N1", "999", "N2", "x"}},
        {"a/--/b", '/', {"a", "", "b"}},  // no letter or digit: an empty element keeps pairs aligned
        {long_text.c_str(), '/', {"a", std::string(132, 'x')}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        kx::host_string_array list;
        ASSERT_EQ(kx::split_text(r.text, r.separator, list), 0);
        EXPECT_TRUE(list.held());
        EXPECT_EQ(elements(list), r.expected);
    }
    const std::string unsplit(140, 'y');
    kx::host_string_array list;
    ASSERT_EQ(kx::split_text(unsplit.c_str(), '/', list), 0);
    EXPECT_EQ(elements(list), std::vector<std::string>{std::string(132, 'y')});
}

TEST_F(split, null_gives_no_list_and_the_second_character_rule_holds)
{
    kx::host_string_array list;
    ASSERT_EQ(kx::split_text(nullptr, '/', list), 0);
    EXPECT_FALSE(list.held());
    EXPECT_EQ(list.count(), 0);

    ASSERT_EQ(kx::split_from_second("@DB/A1/01", '/', list), 0);
    EXPECT_EQ(elements(list), (std::vector<std::string>{"DB", "A1", "01"}));
    ASSERT_EQ(kx::split_from_second("", '/', list), 0);
    EXPECT_EQ(elements(list), std::vector<std::string>{""});
}

// Every allocation the split makes can fail; the list is then released whole.
TEST_F(split, allocation_failures_release_everything)
{
    for (int n = 1; n <= 12; ++n) {
        SCOPED_TRACE(n);
        host().faults = {{"HOST_allocate_memory", n, false, 33}};
        host().faults.push_back({"HOST_reallocate_memory", n, false, 34});
        kx::host_string_array list;
        const int status = kx::split_text("a/b/c/d/e/f", '/', list);
        if (status != 0) {
            EXPECT_TRUE(status == 33 || status == 34);
        }
        list.reset();
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

// A reallocation the host refuses leaves the old block with its grower: its
// contents stay readable, it grows on the next try, and it is released once.
TEST_F(split, a_refused_reallocation_leaves_every_grower_its_old_block)
{
    host().faults = {{"HOST_reallocate_memory", 1, false, 34}};
    kx::host_text text;
    ASSERT_EQ(kx::host_strdup("abcdef", text), 0);
    void* block = text.release();
    void* const old_block = block;
    EXPECT_EQ(kx::grow_host_block(block, 64), 34);
    EXPECT_EQ(block, old_block);
    EXPECT_STREQ(static_cast<char*>(block), "abcdef");
    ASSERT_EQ(kx::grow_host_block(block, 64), 0);
    EXPECT_STREQ(static_cast<char*>(block), "abcdef");
    text.reset(static_cast<char*>(block));
    text.reset();

    // The split list: the first growth, for the second element, is refused.
    host().faults = {{"HOST_reallocate_memory", sim::calls_of("HOST_reallocate_memory") + 1, false, 34}};
    kx::host_string_array list;
    EXPECT_EQ(kx::split_text("a/b/c", '/', list), 34);
    EXPECT_EQ(elements(list), std::vector<std::string>{"a"});
    list.reset();

    // The text builder keeps what it held.
    host().faults = {{"HOST_reallocate_memory", sim::calls_of("HOST_reallocate_memory") + 1, false, 34}};
    kx::host_text_builder builder;
    ASSERT_EQ(builder.create(4), 0);
    ASSERT_EQ(builder.append("abcd"), 0);
    EXPECT_EQ(builder.append(std::string(40, 'x')), 34);
    EXPECT_EQ(builder.view(), std::string_view("abcd"));
    ASSERT_EQ(builder.append("e"), 0);
    EXPECT_EQ(builder.view(), std::string_view("abcde"));
    builder.reset();

    EXPECT_EQ(sim::outstanding_allocations(), 0u);
    EXPECT_TRUE(host().misuse.empty());
}

class exceptions : public library_test {
protected:
    void load(const char* reply)
    {
        ASSERT_EQ(kx::split_text(reply, '?', kx::state().exception_list), 0);
    }
    // The flag starts at `initial`, so an untouched flag shows.
    bool lookup(const char* name, bool initial)
    {
        bool flag = initial;
        EXPECT_EQ(kx::lookup_exception(kx::state().exception_list, name, flag), 0);
        return flag;
    }
};

TEST_F(exceptions, lookup_reads_name_value_pairs)
{
    load("N1?999?N2?x?N1?1?ODD");
    EXPECT_FALSE(lookup("N1", true));   // first pair decides
    EXPECT_TRUE(lookup("N2", false));
    EXPECT_TRUE(lookup("N3", true));    // absent: untouched
    EXPECT_FALSE(lookup("N3", false));
    EXPECT_TRUE(lookup("ODD", true));   // last of an odd list has no value
    EXPECT_FALSE(lookup("ODD", false));
    EXPECT_TRUE(lookup("999", true));   // values are never read as names
    EXPECT_FALSE(lookup("n2", false));  // exact case
}

TEST_F(exceptions, no_list_leaves_the_flag_alone)
{
    EXPECT_TRUE(lookup("KXPDM_AUTO_PUBLISH_AFTER_IMPORT", true));
    EXPECT_FALSE(lookup("KXPDM_AUTO_PUBLISH_AFTER_IMPORT", false));
}

class requests : public library_test {};

// Each sender builds exactly its text and sends it under its code.
TEST_F(requests, input_texts)
{
    struct row {
        std::function<kx::pdm_reply()> send;
        int code;
        std::optional<std::string> input;
    };
    const row rows[] = {
        {[] { return kx::get_export_file_name("@DB/A1/01"); }, 18, "@DB/A1/01"},
        {[] { return kx::get_export_attributes("@DB/A1/01"); }, 20, "@DB/A1/01"},
        {[] { return kx::pdi_backfill("A1", "ABCDEFGH"); }, 21, "A1/ABCDEFGH"},
        {[] { return kx::begin_import(); }, 23, std::nullopt},
        {[] { return kx::end_import(); }, 24, std::nullopt},
        {[] { return kx::fill_import_filename("A100", "B", "/data/in/bracket.prt", false, "x"); }, 25,
         "A100#B#bracket.prt"},
        {[] { return kx::fill_import_filename("A100", "B", "/data/in/bracket.prt", true, "A100.B.SM01"); }, 25,
         "A100#B#bracket.prt#A100.B.SM01"},
        // "\\" ends a folder's name only on Windows.
        {[] { return kx::fill_import_filename("A100", "B", "C:\\in\\b.prt", false, ""); }, 25,
         kx::platform::path_separator() == '\\' ? "A100#B#b.prt" : "A100#B#C:\\in\\b.prt"},
        {[] { return kx::get_item_type("A1"); }, 26, "A1"},
        {[] { return kx::auto_publish("A1#A2"); }, 27, "A1#A2"},
        {[] { return kx::prepare_new_items("A1/01/Part/CTX1/"); }, 28, "A1/01/Part/CTX1/"},
        {[] { return kx::check_revision("A1", "01"); }, 30, "A1/01"},
        {[] { return kx::get_related_name("A1", "01", "Part", "scenario", ""); }, 31, "A1/01/Part/scenario/"},
        {[] { return kx::set_name_description("A1", "01", "Name", "Desc"); }, 34, "A1~~01~~Name~~Desc"},
        {[] { return kx::get_owner_name("@DB/X1/A/scenario/Y1"); }, 35, "@DB/X1/A/scenario/Y1"},
        {[] { return kx::get_exceptions(); }, 36, std::nullopt},
    };
    host().server = [](int code, const char*) { return sim::pdm_response{0, "reply " + std::to_string(code)}; };
    for (const row& r : rows) {
        host().requests.clear();
        const kx::pdm_reply reply = r.send();
        ASSERT_EQ(host().requests.size(), 1u);
        EXPECT_EQ(host().requests[0].code, r.code);
        EXPECT_EQ(host().requests[0].input, r.input);
        EXPECT_TRUE(reply.ok());
        EXPECT_EQ(reply.view(), "reply " + std::to_string(r.code));
    }
}

TEST_F(requests, name_and_description_are_cut_identities_never)
{
    const std::string name(40, 'n');
    const std::string desc(300, 'd');
    EXPECT_EQ(kx::name_description_text("A1", "01", name, desc),
              "A1~~01~~" + std::string(32, 'n') + "~~" + std::string(240, 'd'));

    // Over its limit a request is not sent at all.
    const std::string long_spec = "/in/" + std::string(1100, 'p');
    kx::pdm_reply reply = kx::fill_import_filename("A1", "01", long_spec, false, "");
    EXPECT_FALSE(reply.sent);
    EXPECT_FALSE(reply.ok());
    reply = kx::get_related_name("A1", "01", "Part", "scenario", std::string(113, 'c'));
    EXPECT_FALSE(reply.sent);
    EXPECT_TRUE(host().requests.empty());
    EXPECT_TRUE(kx::get_related_name("A1", "01", "Part", "scenario", std::string(112, 'c')).sent);
}

// A field holding its request's separator is never sent: the sender fails as
// for a refused request. The same characters pass in the other formats, and a
// name or description is judged after its cut.
TEST_F(requests, a_field_holding_its_separator_is_not_sent)
{
    struct row {
        const char* what;
        std::function<kx::pdm_reply()> send;
        bool sent;
    };
    const std::string cut_to_tilde = std::string(31, 'n') + "~x";       // ends with "~" once cut
    const std::string tilde_cut_off = std::string(32, 'n') + "~~";       // the "~~" is cut off
    const std::string desc_cut_to_tilde = std::string(239, 'd') + "~d";
    const row rows[] = {
        {"backfill item ID /", [] { return kx::pdi_backfill("A/1", "ABCDEFGH"); }, false},
        {"backfill revision /", [] { return kx::pdi_backfill("A1", "ABCD/FGH"); }, false},
        {"backfill item ID #", [] { return kx::pdi_backfill("A#1", "ABCDEFGH"); }, true},
        {"native file name #", [] { return kx::fill_import_filename("A1", "B", "/in/a#b.prt", false, ""); }, false},
        {"native file name # with a relation",
         [] { return kx::fill_import_filename("A1", "B", "/in/a#b.prt", true, "R1"); }, false},
        {"# in the directory only", [] { return kx::fill_import_filename("A1", "B", "/in#x/a.prt", false, ""); },
         true},
        {"item ID #", [] { return kx::fill_import_filename("A#1", "B", "/in/a.prt", false, ""); }, false},
        {"revision #", [] { return kx::fill_import_filename("A1", "B#", "/in/a.prt", false, ""); }, false},
        {"related name #", [] { return kx::fill_import_filename("A1", "B", "/in/a.prt", true, "R#1"); }, false},
        {"unsent related name #", [] { return kx::fill_import_filename("A1", "B", "/in/a.prt", false, "R#1"); },
         true},
        {"check revision /", [] { return kx::check_revision("A1", "0/1"); }, false},
        {"check revision ~~", [] { return kx::check_revision("A1", "0~~1"); }, true},
        {"related name item type /", [] { return kx::get_related_name("A1", "01", "Pa/rt", "altrep", ""); }, false},
        {"related name relation /", [] { return kx::get_related_name("A1", "01", "Part", "alt/rep", ""); }, false},
        {"related name context /", [] { return kx::get_related_name("A1", "01", "Part", "altrep", "C/D"); }, false},
        {"related name context #", [] { return kx::get_related_name("A1", "01", "Part", "altrep", "C#D"); }, true},
        {"name ~~", [] { return kx::set_name_description("A1", "01", "a~~b", "D"); }, false},
        {"name beginning with ~", [] { return kx::set_name_description("A1", "01", "~a", "D"); }, false},
        {"description ending with ~", [] { return kx::set_name_description("A1", "01", "N", "d~"); }, false},
        {"name ending with ~ once cut", [&] { return kx::set_name_description("A1", "01", cut_to_tilde, "D"); },
         false},
        {"description ending with ~ once cut",
         [&] { return kx::set_name_description("A1", "01", "N", desc_cut_to_tilde); }, false},
        {"~~ cut off the name", [&] { return kx::set_name_description("A1", "01", tilde_cut_off, "D"); }, true},
        {"item ID ~~", [] { return kx::set_name_description("A~~1", "01", "N", "D"); }, false},
        {"one ~ inside, / and #", [] { return kx::set_name_description("A1", "01", "a~b/c#", "D"); }, true},
        {"empty name and description", [] { return kx::set_name_description("A1", "01", "", ""); }, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        host().requests.clear();
        const kx::pdm_reply reply = r.send();
        EXPECT_EQ(reply.sent, r.sent);
        EXPECT_EQ(host().requests.size(), r.sent ? 1u : 0u);
        if (!r.sent) {
            EXPECT_EQ(reply.status, kx::request_not_sent);
        }
    }
}

TEST_F(requests, a_channel_that_writes_nothing_reads_as_a_failure)
{
    host().faults.push_back({"HOST_PDM_invoke_pdm_server", 1, false, 5});
    const kx::pdm_reply reply = kx::get_item_type("A1");
    EXPECT_FALSE(reply.ok());
    EXPECT_EQ(reply.text, nullptr);
    EXPECT_EQ(reply.view(), "");
}

class releases : public library_test {};

TEST_F(releases, release_everything_and_twice_harmlessly)
{
    kx::library_state& s = kx::state();
    ASSERT_EQ(kx::make_host_object(s.dialog_struct), 0);
    ASSERT_EQ(kx::host_strdup("Part", s.dialog_struct->item_type), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(s.file_struct.reserve_one_more(), 0);
        kx::file_entry entry;
        ASSERT_EQ(kx::host_strdup("/in/p" + std::to_string(i), entry.part_spec), 0);
        ASSERT_EQ(kx::host_strdup("A" + std::to_string(i), entry.item_id), 0);
        if (i == 1) {
            ASSERT_EQ(kx::host_strdup("ctx", entry.context), 0);
        }
        s.file_struct.push_back_reserved(std::move(entry));
    }
    kx::host_object<kx::import_attributes> attributes;
    ASSERT_EQ(kx::make_host_object(attributes), 0);
    ASSERT_EQ(kx::host_strdup("X", attributes->part_no), 0);
    kx::host_text reply;
    ASSERT_EQ(kx::host_strdup("reply", reply), 0);
    EXPECT_GT(sim::outstanding_allocations(), 0u);

    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(kx::free_dialog_struct(), 0);
        EXPECT_EQ(kx::free_file_struct(), 0);
        EXPECT_EQ(kx::free_import_attributes(attributes), 0);
        reply.reset();
        EXPECT_EQ(s.dialog_struct, nullptr);
        EXPECT_FALSE(s.file_struct.held());
        EXPECT_EQ(s.file_struct.size(), 0u);
        EXPECT_EQ(attributes, nullptr);
        EXPECT_EQ(reply, nullptr);
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

// Appends stay amortised: 100,000 entries need only a handful of growths.
TEST_F(releases, file_struct_grows_geometrically)
{
    kx::library_state& s = kx::state();
    for (int i = 0; i < 100000; ++i) {
        ASSERT_EQ(s.file_struct.reserve_one_more(), 0);
        s.file_struct.push_back_reserved(kx::file_entry{});
    }
    EXPECT_EQ(s.file_struct.size(), 100000u);
    EXPECT_LT(sim::calls_of("HOST_allocate_memory"), 40);
    kx::free_file_struct();
}

}  // namespace
