// Item ID, revision, item type, PDM name and description of an imported part,
// and the record that the perform phase works from.
#include "import/item_identity.h"
#include "host/host_codes.h"
#include "session/session_state.h"
#include "test_support.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using kxtest::library_test;

constexpr const char* part_spec = "/in/4711.prt";

using opt = std::optional<std::string>;

void set_text(kx::host_text& field, const opt& value)
{
    if (value.has_value()) {
        ASSERT_EQ(kx::host_strdup(*value, field), 0);
    } else {
        field.reset();
    }
}

class identity : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        sim::clone_part part;
        part.name = part_spec;
        host().parts.push_back(part);
        ASSERT_EQ(kx::make_host_object(attributes), 0);
        ASSERT_EQ(kx::make_host_object(dialog), 0);
        ASSERT_EQ(kx::make_host_object(settings), 0);
    }
    void TearDown() override
    {
        attributes.reset();
        dialog.reset();
        settings.reset();
        library_test::TearDown();
    }

    sim::clone_part& part() { return host().parts.front(); }

    int assign(std::string_view mapped_id = {}, std::string_view mapped_rev = {})
    {
        return kx::assign_item_identity(*attributes, *dialog, *settings, mapped_id, mapped_rev, result);
    }

    kx::host_object<kx::import_attributes> attributes;
    kx::host_object<kx::dialog_defaults> dialog;
    kx::host_object<kx::part_clone_settings> settings;
    kx::item_identity result;
    // The fixture's own records and texts stay allocated; everything else
    // is given back.
    void expect_balanced()
    {
        std::size_t held = 3;
        for (const kx::host_text* t :
             {&attributes->part_no, &attributes->part_rev, &attributes->part_type, &attributes->part_name,
              &attributes->part_desc, &attributes->tool_id, &attributes->tool_level, &attributes->context,
              &dialog->pdm_name, &dialog->pdm_desc, &dialog->item_type, &settings->item_type,
              &settings->pdm_name, &settings->pdm_desc})
            held += *t ? 1 : 0;
        EXPECT_EQ(sim::outstanding_allocations(), held);
    }
};

std::vector<std::string> calls_starting(const std::string& prefix)
{
    std::vector<std::string> out;
    for (const std::string& call : sim::host().calls)
        if (call.rfind(prefix, 0) == 0) out.push_back(call);
    return out;
}

// --- defaults and the part's own settings ------------------------------------------

TEST_F(identity, clone_defaults_are_read_in_order_into_dialog_struct)
{
    host().def_item_type = "Part";
    host().def_pdm_name = "Default name";
    // no default description: the host hands out no text
    ASSERT_EQ(kx::read_clone_defaults(), 0);
    ASSERT_TRUE(kx::state().dialog_struct);
    EXPECT_STREQ(kx::state().dialog_struct->item_type.get(), "Part");
    EXPECT_STREQ(kx::state().dialog_struct->pdm_name.get(), "Default name");
    EXPECT_FALSE(kx::state().dialog_struct->pdm_desc);
    EXPECT_EQ(calls_starting("HOST_CLONE_ask_def_"),
              (std::vector<std::string>{"HOST_CLONE_ask_def_item_type()", "HOST_CLONE_ask_def_pdm_name()",
                                        "HOST_CLONE_ask_def_pdm_desc()"}));
}

TEST_F(identity, failed_defaults_leave_no_half_read_dialog_struct)
{
    host().def_item_type = "Part";
    for (const char* operation :
         {"HOST_CLONE_ask_def_item_type", "HOST_CLONE_ask_def_pdm_name", "HOST_CLONE_ask_def_pdm_desc",
          "HOST_allocate_memory"}) {
        SCOPED_TRACE(operation);
        host().call_counts.clear();
        host().faults = {{operation, 1, false, 41}};
        EXPECT_EQ(kx::read_clone_defaults(), 41);
        EXPECT_FALSE(kx::state().dialog_struct);
        expect_balanced();
    }
    host().faults.clear();
    ASSERT_EQ(kx::read_clone_defaults(), 0);
    EXPECT_STREQ(kx::state().dialog_struct->item_type.get(), "Part");
}

TEST_F(identity, part_clone_settings_are_read_in_order_and_fail_with_the_host_status)
{
    part().item_type = "Tool";
    part().pdm_name = "Own name";
    part().pdm_desc = "Own description";
    kx::host_object<kx::part_clone_settings> own;
    ASSERT_EQ(kx::read_part_clone_settings(part_spec, own), 0);
    EXPECT_STREQ(own->item_type.get(), "Tool");
    EXPECT_STREQ(own->pdm_name.get(), "Own name");
    EXPECT_STREQ(own->pdm_desc.get(), "Own description");
    const std::string name(part_spec);
    EXPECT_EQ(calls_starting("HOST_CLONE_ask_"),
              (std::vector<std::string>{"HOST_CLONE_ask_item_type(" + name + ")", "HOST_CLONE_ask_pdm_name(" + name + ")",
                                        "HOST_CLONE_ask_pdm_desc(" + name + ")"}));

    host().faults = {{"HOST_CLONE_ask_pdm_name", 2, false, 12}};
    EXPECT_EQ(kx::read_part_clone_settings(part_spec, own), 12);
    own.reset();
    expect_balanced();
}

// --- item identity ------------------------------------------------------------------

TEST_F(identity, item_type_precedence)
{
    struct row {
        opt attribute, own, fallback;
        const char* expected;
    };
    const row rows[] = {
        {"AttrType", "OwnType", "DefType", "AttrType"},
        {"", "OwnType", "DefType", "OwnType"},
        {std::nullopt, "", "DefType", "DefType"},
        {std::nullopt, std::nullopt, "DefType", "DefType"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        set_text(attributes->part_type, r.attribute);
        set_text(settings->item_type, r.own);
        set_text(dialog->item_type, r.fallback);
        ASSERT_EQ(assign(), 0);
        EXPECT_EQ(result.item_type, r.expected);
        // The host numbers by the type decided before the server is asked.
        const std::string call = calls_starting("HOST_PDM_assign_part_number").back();
        const std::string ending = std::string(r.expected) + ")";
        EXPECT_EQ(call.substr(call.size() - std::min(call.size(), ending.size())), ending) << call;
    }
}

TEST_F(identity, item_id_and_revision_precedence)
{
    set_text(dialog->item_type, "Part");
    host().next_item_number = 42;
    host().initial_revision = "A";
    struct row {
        opt part_no, part_rev;
        const char* mapped_id;
        const char* mapped_rev;
        const char* item_id;
        const char* rev_id;
        int numbering_calls;  // of the two operations together
    };
    const row rows[] = {
        {"4711", "B", "", "", "4711", "B", 0},
        {"4711", "B", "M-1", "MR", "M-1", "MR", 0},
        {std::nullopt, std::nullopt, "M-1", "MR", "M-1", "MR", 2},  // the host's numbers are asked anyway
        {std::nullopt, std::nullopt, "", "", "000042", "A", 2},
        {"4711", std::nullopt, "", "", "4711", "A", 1},
        {std::nullopt, "B", "", "MR", "000042", "MR", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.item_id) + "/" + r.rev_id);
        host().next_item_number = 42;
        host().call_counts.clear();
        set_text(attributes->part_no, r.part_no);
        set_text(attributes->part_rev, r.part_rev);
        ASSERT_EQ(assign(r.mapped_id, r.mapped_rev), 0);
        EXPECT_EQ(result.item_id, r.item_id);
        EXPECT_EQ(result.rev_id, r.rev_id);
        EXPECT_EQ(result.item_type, "Part");
        EXPECT_EQ(sim::calls_of("HOST_PDM_assign_part_number") + sim::calls_of("HOST_PDM_assign_part_rev"),
                  r.numbering_calls);
    }
    EXPECT_TRUE(host().requests.empty()) << "no get_item_type for items new to the database";
}

TEST_F(identity, an_existing_item_takes_its_type_from_get_item_type)
{
    set_text(attributes->part_no, "4711");
    set_text(attributes->part_rev, "B");
    set_text(attributes->part_type, "Bolt");
    sim::add_item({"4711", "Item", "", ""});
    host().server = [](int code, const char* input) -> sim::pdm_response {
        if (code == kx::request_get_item_type && std::string(input) == "4711") return {0, "Item"};
        return {99, std::nullopt};
    };
    ASSERT_EQ(assign(), 0);
    EXPECT_EQ(result.item_type, "Item");
    ASSERT_EQ(host().requests.size(), 1u);
    EXPECT_EQ(host().requests[0].code, 26);
    EXPECT_EQ(host().requests[0].input, "4711");

    // An empty or absent reply tells nothing: the type decided so far stays.
    for (const opt& reply : {opt(""), opt()}) {
        host().server = [reply](int, const char*) { return sim::pdm_response{0, reply}; };
        ASSERT_EQ(assign(), 0);
        EXPECT_EQ(result.item_type, "Bolt");
    }

    // The mapped item ID is the one asked about.
    host().requests.clear();
    host().server = [](int, const char*) { return sim::pdm_response{0, "Other"}; };
    ASSERT_EQ(assign("NEW-1", ""), 0);
    EXPECT_TRUE(host().requests.empty());
    EXPECT_EQ(result.item_type, "Bolt");
    expect_balanced();
}

TEST_F(identity, failures_return_the_first_status)
{
    set_text(dialog->item_type, "Part");
    sim::add_item({"000001", "Part", "", ""});
    struct row {
        const char* operation;
        int status;
    };
    for (const row& r : {row{"HOST_PDM_assign_part_number", 21}, row{"HOST_PDM_assign_part_rev", 22},
                         row{"HOST_PDM_ask_part_tag", 23}}) {
        SCOPED_TRACE(r.operation);
        host().next_item_number = 1;
        host().call_counts.clear();
        host().faults = {{r.operation, 1, false, r.status}};
        EXPECT_EQ(assign(), r.status);
    }
    host().faults.clear();
    host().next_item_number = 1;
    host().server = [](int, const char*) { return sim::pdm_response{17, "server says no"}; };
    EXPECT_EQ(assign(), 17) << "get_item_type failing";
    expect_balanced();
}

TEST_F(identity, identities_too_long_for_the_host_fields_are_refused_not_cut)
{
    set_text(dialog->item_type, "Part");
    const std::string fits(32, 'N');
    const std::string too_long(33, 'N');

    set_text(attributes->part_no, fits);
    set_text(attributes->part_rev, fits);
    ASSERT_EQ(assign(), 0);
    EXPECT_EQ(result.item_id, fits);
    EXPECT_EQ(result.rev_id, fits);

    set_text(attributes->part_no, "SHORT");
    EXPECT_EQ(assign("", too_long), kx::item_identity_too_long);
    set_text(attributes->part_no, too_long);
    EXPECT_EQ(assign("SHORT", ""), 0) << "the mapped item ID replaces the long one";
    EXPECT_EQ(result.item_id, "SHORT");

    host().call_counts.clear();
    EXPECT_EQ(assign(), kx::item_identity_too_long);
    EXPECT_TRUE(result.item_id.empty()) << "a refused identity hands nothing back";

    set_text(attributes->part_no, "4711");
    set_text(attributes->part_rev, too_long);
    EXPECT_EQ(assign(), kx::item_identity_too_long);
    set_text(attributes->part_rev, "A");
    EXPECT_EQ(assign(too_long, ""), kx::item_identity_too_long);
    EXPECT_EQ(assign("", too_long), kx::item_identity_too_long);
    EXPECT_EQ(sim::calls_of("HOST_PDM_ask_part_tag"), 0) << "a refused identity is never looked up";
}

// --- name and description -------------------------------------------------------------

TEST_F(identity, name_and_description_precedence)
{
    struct row {
        const char* mapped;
        opt attribute, own, fallback;
        const char* expected;
    };
    const row rows[] = {
        {"Mapped", "Attr", "Own", "Default", "Mapped"},
        {"", "Attr", "Own", "Default", "Attr"},
        {"", "", "Own", "Default", "Own"},
        {"", std::nullopt, "", "Default", "Default"},
        {"", std::nullopt, std::nullopt, "", "4711"},
        {"", std::nullopt, std::nullopt, std::nullopt, "4711"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.expected);
        set_text(attributes->part_name, r.attribute);
        set_text(settings->pdm_name, r.own);
        set_text(dialog->pdm_name, r.fallback);
        ASSERT_EQ(kx::set_part_pdm_name(part_spec, *attributes, *dialog, *settings, r.mapped, "4711"), 0);
        EXPECT_EQ(part().pdm_name, r.expected);

        set_text(attributes->part_desc, r.attribute);
        set_text(settings->pdm_desc, r.own);
        set_text(dialog->pdm_desc, r.fallback);
        ASSERT_EQ(kx::set_part_pdm_description(part_spec, *attributes, *dialog, *settings, r.mapped, "4711"), 0);
        EXPECT_EQ(part().pdm_desc, r.expected);
    }
    // The name never leaks into the description or the other way round.
    set_text(attributes->part_name, "Only name");
    set_text(attributes->part_desc, std::nullopt);
    set_text(settings->pdm_desc, std::nullopt);
    set_text(dialog->pdm_desc, std::nullopt);
    ASSERT_EQ(kx::set_part_pdm_description(part_spec, *attributes, *dialog, *settings, "", "4711"), 0);
    EXPECT_EQ(part().pdm_desc, "4711");

    host().faults = {{"HOST_CLONE_set_pdm_name", 1, true, 31}, {"HOST_CLONE_set_pdm_desc", 1, true, 32}};
    EXPECT_EQ(kx::set_part_pdm_name(part_spec, *attributes, *dialog, *settings, "", "4711"), 31);
    EXPECT_EQ(kx::set_part_pdm_description(part_spec, *attributes, *dialog, *settings, "", "4711"), 32);
}

// --- recording ---------------------------------------------------------------------------

class recording : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        for (const char* name : {"/in/a.prt", "/in/b.prt", "/in/c.prt"}) {
            sim::clone_part part;
            part.name = name;
            host().parts.push_back(part);
        }
        // An import session's list, as the session start creates it.
        ASSERT_EQ(kx::state().import_item_list.create(), 0);
    }

    static kx::recorded_part part(const char* name, std::string_view item_id, std::string_view rev_id = "A")
    {
        kx::recorded_part p;
        p.part_spec = name;
        p.item_id = item_id;
        p.rev_id = rev_id;
        p.item_type = "Part";
        return p;
    }
    static std::string list() { return std::string(kx::state().import_item_list.view()); }
    static const kx::file_entry& entry(std::size_t i) { return kx::state().file_struct[i]; }
};

opt text_of(const kx::host_text& text) { return text ? opt(text.get()) : std::nullopt; }

TEST_F(recording, entry_fields_and_the_context_rule)
{
    kx::recorded_part p = part("/in/a.prt", "4711", "B");
    p.tool_id = "T1";
    p.tool_level = "";
    p.context = "CTX";
    ASSERT_EQ(kx::record_imported_part(p), 0);

    p = part("/in/b.prt", "4712", "C");
    p.item_type = "";
    p.context = "CTX";
    p.relation = "manifestation";
    p.related_name = "4712.C.CTX";
    ASSERT_EQ(kx::record_imported_part(p), 0);

    ASSERT_EQ(kx::state().file_struct.size(), 2u);
    const kx::file_entry& a = entry(0);
    EXPECT_EQ(text_of(a.part_spec), "/in/a.prt");
    EXPECT_EQ(text_of(a.item_id), "4711");
    EXPECT_EQ(text_of(a.rev_id), "B");
    EXPECT_EQ(text_of(a.item_type), "Part");
    EXPECT_EQ(text_of(a.tool_id), "T1");
    EXPECT_EQ(text_of(a.tool_level), std::nullopt) << "empty is recorded as absent";
    EXPECT_EQ(text_of(a.context), "CTX");
    EXPECT_EQ(text_of(a.related_name), std::nullopt);
    EXPECT_FALSE(a.has_relation);

    const kx::file_entry& b = entry(1);
    EXPECT_EQ(text_of(b.item_type), std::nullopt);
    EXPECT_EQ(text_of(b.context), std::nullopt) << "a part with relation keeps no context";
    EXPECT_EQ(text_of(b.related_name), "4712.C.CTX");
    EXPECT_TRUE(b.has_relation);

    const std::vector<std::string> inputs = {"4711/B", "4712/C"};
    std::vector<std::string> sent;
    for (const sim::pdm_request& r : host().requests) {
        EXPECT_EQ(r.code, 30);
        sent.push_back(r.input.value_or("NULL"));
    }
    EXPECT_EQ(sent, inputs);
}

TEST_F(recording, revision_present_rules)
{
    struct row {
        const char* what;
        int status;
        opt reply;
        int action, def_action;
        bool expected;
        bool asks_actions;
    };
    const row rows[] = {
        {"not present", 0, "NOT_PRESENT", 3, 3, false, false},
        {"present, action 3", 0, "PRESENT", 3, 1, true, true},
        {"present, default action 3", 0, "A", 5, 3, true, true},
        {"present, default action 1", 0, "A", 5, 1, false, true},
        {"present, action 4", 0, "A", 4, 3, false, true},
        {"status is not examined", 9, "A", 3, 1, true, true},
        {"no reply text", 9, std::nullopt, 3, 3, false, false},
        {"empty reply text", 0, "", 3, 3, false, false},
        {"not_present is another answer", 0, "not_present", 3, 3, true, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kx::reset_library_state();
        host().call_counts.clear();
        host().parts[0].action = r.action;
        host().def_action = r.def_action;
        host().server = [r](int, const char*) { return sim::pdm_response{r.status, r.reply}; };
        ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "4711")), 0);
        ASSERT_EQ(kx::state().file_struct.size(), 1u);
        EXPECT_EQ(entry(0).revision_present, r.expected);
        EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_action") > 0, r.asks_actions);
    }
}

TEST_F(recording, import_item_list_rules)
{
    sim::add_item({"OLD3", "Part", "", ""});
    sim::add_item({"OLD4", "Part", "", ""});
    sim::add_item({"OLD5", "Part", "", ""});
    host().def_action = 3;
    host().server = [](int, const char*) { return sim::pdm_response{0, "NOT_PRESENT"}; };

    host().parts[0].action = 3;
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD3")), 0);
    host().parts[0].action = 4;
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD4")), 0);
    host().parts[0].action = 5;
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD5")), 0);
    ASSERT_EQ(kx::record_imported_part(part("/in/b.prt", "NEW")), 0);
    ASSERT_EQ(kx::record_imported_part(part("/in/c.prt", "NEW")), 0);  // not made unique
    EXPECT_EQ(list(), "OLD3#OLD5#NEW#NEW#");

    host().def_action = 1;
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD5")), 0);
    EXPECT_EQ(list(), "OLD3#OLD5#NEW#NEW#");

    ASSERT_EQ(kx::state().file_struct.size(), 6u);
    const bool in_database[] = {true, true, true, false, false, true};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(entry(i).in_database, in_database[i]) << i;
}

TEST_F(recording, an_empty_item_id_or_revision_is_recorded_without_asking_anyone)
{
    sim::add_item({"4711", "Part", "", ""});
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "", "A")), 0);
    ASSERT_EQ(kx::record_imported_part(part("/in/b.prt", "4711", "")), 0);
    ASSERT_EQ(kx::state().file_struct.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_FALSE(entry(i).in_database);
        EXPECT_FALSE(entry(i).revision_present);
    }
    EXPECT_TRUE(host().requests.empty());
    EXPECT_EQ(sim::calls_of("HOST_PDM_ask_part_tag"), 0);
    EXPECT_EQ(list(), "");
}

TEST_F(recording, a_clone_session_has_no_item_list_and_recording_leaves_it_alone)
{
    kx::state().import_item_list.reset();
    sim::add_item({"OLD", "Part", "", ""});
    host().parts[0].action = 3;
    host().server = [](int, const char*) { return sim::pdm_response{0, "PRESENT"}; };
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "NEW")), 0);
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD")), 0);
    EXPECT_FALSE(kx::state().import_item_list.held());
    ASSERT_EQ(kx::state().file_struct.size(), 2u);
    EXPECT_FALSE(entry(0).in_database);
    EXPECT_TRUE(entry(1).in_database);
    EXPECT_TRUE(entry(1).revision_present);
}

TEST_F(recording, a_failed_step_counts_no_entry_and_the_next_call_fills_the_same_place)
{
    sim::add_item({"OLD", "Part", "", ""});
    host().server = [](int, const char*) { return sim::pdm_response{0, "PRESENT"}; };
    struct row {
        const char* operation;
        int nth;
    };
    // The action queries are asked twice for an existing item.
    for (const row& r : {row{"HOST_CLONE_ask_def_action", 1}, row{"HOST_CLONE_ask_action", 1},
                         row{"HOST_PDM_ask_part_tag", 1}, row{"HOST_CLONE_ask_def_action", 2},
                         row{"HOST_CLONE_ask_action", 2}}) {
        SCOPED_TRACE(std::string(r.operation) + " #" + std::to_string(r.nth));
        host().call_counts.clear();
        host().faults = {{r.operation, r.nth, false, 61}};
        EXPECT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD")), 61);
        EXPECT_EQ(kx::state().file_struct.size(), 0u);
        EXPECT_EQ(list(), "");
    }
    host().faults.clear();
    host().parts[0].action = 3;
    ASSERT_EQ(kx::record_imported_part(part("/in/a.prt", "OLD")), 0);
    ASSERT_EQ(kx::state().file_struct.size(), 1u);
    EXPECT_EQ(text_of(entry(0).item_id), "OLD");
    EXPECT_EQ(list(), "OLD#");
}

// Every allocation and reallocation of a recording can fail: the result is
// either a complete entry or none, and nothing leaks.
TEST_F(recording, allocation_faults_leave_complete_entries_only)
{
    for (const char* operation : {"HOST_allocate_memory", "HOST_reallocate_memory"}) {
        bool completed = false;
        for (int n = 1; n <= 30 && !completed; ++n) {
            SCOPED_TRACE(std::string(operation) + " #" + std::to_string(n));
            kx::reset_library_state();
            host().faults.clear();
            ASSERT_EQ(kx::state().import_item_list.create(), 0);
            host().call_counts.clear();
            host().faults = {{operation, n, false, 71}};
            kx::recorded_part p = part("/in/a.prt", "A-LONGER-ITEM-ID-THAN-SIXTEEN");
            p.tool_id = "T";
            p.tool_level = "L";
            p.context = "C";
            const int status = kx::record_imported_part(p);
            const std::size_t count = kx::state().file_struct.size();
            if (status == 0) {
                completed = true;
                EXPECT_EQ(count, 1u);
                EXPECT_EQ(list(), "A-LONGER-ITEM-ID-THAN-SIXTEEN#");
            } else {
                EXPECT_EQ(status, 71);
                EXPECT_EQ(count, 0u);
            }
            kx::reset_library_state();
            expect_no_leaks();
        }
        EXPECT_TRUE(completed) << operation;
    }
}

}  // namespace
