// The import translation callback: the derived-name road for parts without a
// file, the main road with its order of precedence and every
// refusal, and whole import sessions through the simulated host.
#include "host/host_codes.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "import/item_identity.h"
#include "session_driver.h"
#include "sim_host.h"
#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using kxtest::library_test;
namespace fs = std::filesystem;

struct translation {
    int status = -1;
    std::string new_name;
};

class import_translation : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        host().operation_class = kx::class_import;
        host().def_item_type = "Part";
        host().def_pdm_name = "Default name";
        host().def_pdm_desc = "Default description";
        // An import session's item list, as the session start creates it.
        ASSERT_EQ(kx::state().import_item_list.create(), 0);
    }

    sim::clone_part& add_part(const std::string& name, std::vector<sim::attribute> attributes = {})
    {
        sim::clone_part part;
        part.name = name;
        part.attributes = std::move(attributes);
        host().parts.push_back(part);
        return host().parts.back();
    }

    translation translate(const std::string& part_spec)
    {
        // The host's buffer, exactly, so that a write past it is caught.
        auto buffer = std::make_unique<char[]>(HOST_MAX_FSPEC_BUFSIZE);
        std::memset(buffer.get(), 'Z', HOST_MAX_FSPEC_BUFSIZE);
        translation t;
        t.status = kx::translate_import_part(part_spec.c_str(), buffer.get());
        if (t.status == 0) {
            const std::size_t length = strnlen(buffer.get(), HOST_MAX_FSPEC_BUFSIZE);
            EXPECT_LT(length, static_cast<std::size_t>(HOST_MAX_FSPEC_BUFSIZE)) << "new name not terminated";
            t.new_name.assign(buffer.get(), length);
        }
        return t;
    }

    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const sim::message_box& box : host().message_boxes) {
            EXPECT_EQ(box.title, "Error");
            out.push_back(box.message);
        }
        return out;
    }

    std::vector<const sim::pdm_request*> requests(int code)
    {
        std::vector<const sim::pdm_request*> out;
        for (const sim::pdm_request& r : host().requests)
            if (r.code == code) out.push_back(&r);
        return out;
    }

    static std::string list() { return std::string(kx::state().import_item_list.view()); }
};

std::optional<std::string> text_of(const kx::host_text& text)
{
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
}

// --- derived-name road ------------------------------------------------------------

TEST_F(import_translation, derived_names_from_the_file_name)
{
    struct row {
        const char* file_name;
        const char* expected;
    };
    const row rows[] = {
        {"4711.A01.003", "@DB/4711/A01.0003"},
        {"4711.A01.000", "@DB/4711/001"},
        {"4711.123.000", "@DB/4711/123"},
        {"4711.12.000", "@DB/4711/012"},
        {"bracket", "@DB/bracket/001"},
        {"a.b.c.d", "@DB/a.b.c.d/001"},
        {"a.b", "@DB/a.b/001"},
        {"4711.ABCD.12345", "@DB/4711/BCD.0345"},
        {"4711.X123.000", "@DB/4711/123"},
        {"4711.X12.000", "@DB/4711/012"},
        {"4711.ABC.00A", "@DB/4711/0BC"},
        // short fields are padded with "0" on the left, never read past
        {"4711.A1.3", "@DB/4711/0A1.0003"},
        {"4711.A.000", "@DB/4711/00A"},
        {"4711.A.5", "@DB/4711/00A.0005"},
        {"4711.AB.12", "@DB/4711/0AB.0012"},
        // an empty field takes the whole name
        {"4711..003", "@DB/4711..003/001"},
        {".A01.003", "@DB/.A01.003/001"},
        {"4711.A01.", "@DB/4711.A01./001"},
        {"..", "@DB/../001"},
        {"1234567890123456789012345678901", "@DB/1234567890123456789012345678901/001"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.file_name);
        host().parts.clear();
        add_part(std::string("/in/") + r.file_name + ".prt").file_exists = false;
        const translation t = translate(std::string("/in/") + r.file_name + ".prt");
        EXPECT_EQ(t.status, 0);
        EXPECT_EQ(t.new_name, r.expected);
    }
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(host().requests.empty());
    EXPECT_EQ(kx::state().file_struct.size(), 0u) << "nothing is recorded on the derived-name road";
    EXPECT_EQ(list(), "");
    EXPECT_EQ(sim::calls_of("HOST_CLONE_set_pdm_name") + sim::calls_of("HOST_CLONE_set_pdm_desc") +
                  sim::calls_of("HOST_CLONE_set_item_type"),
              0);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_def_item_type"), 1) << "the defaults are read once and kept";
}

TEST_F(import_translation, derived_road_failures_show_nothing)
{
    // A file name that does not fit the 32-byte buffer: the host refuses it.
    const std::string long_name = "/in/" + std::string(32, 'n') + ".prt";
    add_part(long_name).file_exists = false;
    EXPECT_EQ(translate(long_name).status, 5);

    // The working copy cannot be allocated: the host's status comes back.
    add_part("/in/4711.A01.003.prt").file_exists = false;
    ASSERT_TRUE(kx::state().dialog_struct);
    host().call_counts.clear();
    host().faults = {{"HOST_allocate_memory", 1, false, 87}};
    EXPECT_EQ(translate("/in/4711.A01.003.prt").status, 87);

    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(kx::state().dialog_struct) << "the derived road releases nothing";
}

// --- main road: what a part becomes ------------------------------------------------------

TEST_F(import_translation, a_plain_new_part)
{
    sim::clone_part& part = add_part("/in/a.prt", {{"TOOL_ID", "T1"}, {"TOOL_LEVEL", "2"}, {"CONTEXT", "CTX"}});
    part.item_type = "Old type";
    part.pdm_name.reset();
    const translation t = translate("/in/a.prt");
    ASSERT_EQ(t.status, 0) << (messages().empty() ? "" : messages().front());
    EXPECT_EQ(t.new_name, "@DB/000001/A");

    const sim::clone_part& after = host().parts[0];
    EXPECT_EQ(after.item_type, "Old type") << "the part's own type wins over the dialog's";
    EXPECT_EQ(after.pdm_name, "Default name");
    EXPECT_EQ(after.pdm_desc, "Default description");

    ASSERT_EQ(kx::state().file_struct.size(), 1u);
    const kx::file_entry& entry = kx::state().file_struct[0];
    EXPECT_EQ(text_of(entry.part_spec), "/in/a.prt");
    EXPECT_EQ(text_of(entry.item_id), "000001");
    EXPECT_EQ(text_of(entry.rev_id), "A");
    EXPECT_EQ(text_of(entry.item_type), "Old type");
    EXPECT_EQ(text_of(entry.tool_id), "T1");
    EXPECT_EQ(text_of(entry.tool_level), "2");
    EXPECT_EQ(text_of(entry.context), "CTX");
    EXPECT_FALSE(entry.has_relation);
    EXPECT_FALSE(entry.in_database);
    EXPECT_EQ(list(), "000001#");
    EXPECT_TRUE(kx::state().dialog_struct) << "kept for the next part";
    EXPECT_TRUE(messages().empty());
}

TEST_F(import_translation, precedence_from_mapping_file_over_attributes_over_settings)
{
    std::string pattern = (fs::temp_directory_path() / "kx_translation_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string map_file = (dir / "map.txt").string();
    std::ofstream(map_file, std::ios::binary)
        << "DB_PART_NO = P_NUM\nDB_PART_REV = P_REV\nDB_PART_NAME = P_NAME\nDB_PART_DESC = P_DESC\n";
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "P_NUM";
    system.env["PDM_ROOT"] = "/opt/pdm";
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "/opt/site/check";
    system.exit_code = [](const std::string& command) { return command.find("kxpdm_check_pfm.pl") != std::string::npos; };

    const std::vector<sim::attribute> attributes = {
        {"DB_PART_NO", "A-NO"}, {"DB_PART_REV", "A-REV"}, {"DB_PART_TYPE", "Bolt"}, {"DB_PART_NAME", "A-name"},
        {"DB_PART_DESC", "A-desc"}, {"P_NUM", "M-NO"}, {"P_REV", "M-REV"}, {"P_NAME", "M-name"}, {"P_DESC", "M-desc"}};
    sim::clone_part& part = add_part("/in/a.prt", attributes);
    part.item_type = "Own type";
    part.pdm_name = "Own name";
    part.pdm_desc = "Own desc";

    const std::size_t before = host().calls.size();
    translation t = translate("/in/a.prt");
    ASSERT_EQ(t.status, 0) << (messages().empty() ? "" : messages().front());
    // The mapped texts go before the part's clone settings, as they always
    // have: the settings' block is the translation's last release.
    std::string last_release;
    for (std::size_t i = before; i < host().calls.size(); ++i)
        if (host().calls[i].starts_with("HOST_free")) last_release = host().calls[i];
    EXPECT_EQ(last_release, "HOST_free(" + std::to_string(sizeof(kx::part_clone_settings)) + ")");
    EXPECT_EQ(t.new_name, "@DB/M-NO/M-REV");
    EXPECT_EQ(host().parts[0].pdm_name, "M-name");
    EXPECT_EQ(host().parts[0].pdm_desc, "M-desc");
    EXPECT_EQ(host().parts[0].item_type, "Bolt");
    EXPECT_EQ(system.commands, (std::vector<std::string>{
                                   "'/opt/pdm/bin/perl' '/opt/pdm/bin/kxpdm_check_pfm.pl' '/in/a.prt'",
                                   "/opt/site/check '/in/a.prt'"}));

    // The check script says no: the attributes decide the identity, the
    // mapping file still gives name and description.
    system.exit_code = [](const std::string&) { return 0; };
    host().parts[0].attributes = attributes;
    t = translate("/in/a.prt");
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(t.new_name, "@DB/A-NO/A-REV");
    EXPECT_EQ(host().parts[0].pdm_name, "M-name");

    // Without the mapping file: the part's attributes.
    system.env.erase("KXPDM_IMPORT_ATTR_MAP_FILE");
    t = translate("/in/a.prt");
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(host().parts[0].pdm_name, "A-name");
    EXPECT_EQ(host().parts[0].pdm_desc, "A-desc");
    EXPECT_EQ(list(), "M-NO#A-NO#A-NO#");

    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

TEST_F(import_translation, relations_and_related_part_names)
{
    host().server = [](int code, const char* input) -> sim::pdm_response {
        // The name echoes the request, with "." for "/", which no related
        // part name may hold.
        std::string echo = input != nullptr ? input : "";
        std::replace(echo.begin(), echo.end(), '/', '.');
        if (code == kx::request_get_related_name)
            return {0, echo.size() < 100 ? "srv-" + echo : std::string("srv-long")};
        return {0, "NOT_PRESENT"};
    };
    // Complete attributes: the name is built here, no get_related_name.
    sim::clone_part& full = add_part("/in/full.prt", {{"DB_PART_NO", "4711"},
                                                      {"DB_PART_REV", "001"},
                                                      {"DB_PART_TYPE", "Drawing"},
                                                      {"CONTEXT", "SIMULAT_01"},
                                                      {"RELATION", "scenario"}});
    full.item_type = "Untouched";
    translation t = translate("/in/full.prt");
    ASSERT_EQ(t.status, 0) << (messages().empty() ? "" : messages().front());
    EXPECT_EQ(t.new_name, "@DB/4711/001/scenario/4711.001.SM01");
    EXPECT_TRUE(requests(31).empty());
    EXPECT_EQ(host().parts[0].item_type, "Untouched") << "a part with relation keeps the host's item type";
    EXPECT_EQ(sim::calls_of("HOST_CLONE_set_item_type"), 0);

    // Relation only from F_CLASS: the server names the part, asked with the
    // dialog's item type even though DB_PART_TYPE decided another.
    add_part("/in/fmt.prt",
             {{"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"DB_PART_TYPE", "Drawing"}, {"F_CLASS", "DWGFMT"},
              {"CONTEXT", "DRW"}});
    t = translate("/in/fmt.prt");
    ASSERT_EQ(t.status, 0);
    ASSERT_EQ(requests(31).size(), 1u);
    EXPECT_EQ(requests(31)[0]->input, "4711/001/Part/manifestation/DRW");
    EXPECT_EQ(t.new_name, "@DB/4711/001/manifestation/srv-4711.001.Part.manifestation.DRW");

    // No CONTEXT: its place in the request stays empty.
    add_part("/in/noctx.prt", {{"DB_PART_NO", "4712"}, {"DB_PART_REV", "002"}, {"RELATION", "altrep"}});
    t = translate("/in/noctx.prt");
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(requests(31).back()->input, "4712/002/Part/altrep/");

    // A request text of exactly 132 characters is sent whole.
    const std::string context(104, 'C');
    add_part("/in/limit.prt", {{"DB_PART_NO", "4713"}, {"DB_PART_REV", "003"}, {"F_CLASS", "LYTFMT"},
                               {"CONTEXT", context}});
    t = translate("/in/limit.prt");
    ASSERT_EQ(t.status, 0);
    ASSERT_EQ(requests(31).size(), 3u);
    EXPECT_EQ(requests(31).back()->input, "4713/003/Part/manifestation/" + context);
    EXPECT_EQ(requests(31).back()->input.value_or("").size(), 132u);
    EXPECT_EQ(t.new_name, "@DB/4713/003/manifestation/srv-long");

    ASSERT_EQ(kx::state().file_struct.size(), 4u);
    const kx::file_entry& first = kx::state().file_struct[0];
    EXPECT_TRUE(first.has_relation);
    EXPECT_EQ(text_of(first.related_name), "4711.001.SM01");
    EXPECT_EQ(text_of(first.context), std::nullopt);
    EXPECT_EQ(text_of(first.item_type), "Drawing");
    EXPECT_EQ(text_of(kx::state().file_struct[1].related_name), "srv-4711.001.Part.manifestation.DRW");
    EXPECT_TRUE(messages().empty());
}

TEST_F(import_translation, an_existing_item_takes_its_type_from_the_server)
{
    sim::add_item({"4711", "Bolt", "", ""});
    host().server = [](int code, const char*) -> sim::pdm_response {
        if (code == kx::request_get_item_type) return {0, "Bolt"};
        return {0, "A"};
    };
    host().def_action = 3;
    add_part("/in/a.prt", {{"DB_PART_NO", "4711"}, {"DB_PART_REV", "B"}, {"DB_PART_TYPE", "Nut"}});
    const translation t = translate("/in/a.prt");
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(host().parts[0].item_type, "Bolt");
    const kx::file_entry& entry = kx::state().file_struct[0];
    EXPECT_TRUE(entry.in_database);
    EXPECT_TRUE(entry.revision_present) << "action 5 with default action 3";
    EXPECT_EQ(list(), "4711#");
}

// --- main road: every refusal ------------------------------------------------------------

struct refusal {
    const char* what;
    std::function<void(import_translation&, kxtest::fake_system&)> arrange;
    std::string message;
    bool dialog_kept = false;
};

TEST_F(import_translation, every_refusal_shows_its_text_and_records_nothing)
{
    const std::string user_function(kx::msg::user_function);
    const std::string identity(kx::msg::identity);
    const std::string generic(kx::msg::generic_item_type);
    const std::string long_id(33, 'N');
    std::string pattern = (fs::temp_directory_path() / "kx_refusal_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string id_map = (dir / "id_map.txt").string();
    const std::string name_map = (dir / "name_map.txt").string();
    std::ofstream(id_map, std::ios::binary) << "DB_PART_NO = P_NUM\n";
    std::ofstream(name_map, std::ios::binary) << "DB_PART_NAME = P_NAME\n";
    // With the defaults still to read, the fourth allocation of a translation
    // is the first copy of a mapped value: the dialog record, the part's
    // settings and its import-attribute record come first.
    const auto mapped_copy_fails = [](const std::string& map_file) {
        return [map_file](import_translation&, kxtest::fake_system& s) {
            s.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
            sim::host().parts[0].attributes = {{"P_NUM", "M1"}, {"P_NAME", "Mapped"}};
            sim::host().call_counts.clear();
            sim::host().faults = {{"HOST_allocate_memory", 4, false, 5}};
        };
    };
    const std::vector<refusal> rows = {
        {"defaults cannot be read",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_ask_def_pdm_name", 1, false, 5}}; },
         std::string(kx::msg::memory)},
        {"clone settings cannot be read",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_ask_pdm_desc", 1, false, 5}}; },
         std::string(kx::msg::settings), true},
        {"no default item type", [](auto&, auto&) { sim::host().def_item_type.reset(); },
         std::string(kx::msg::no_item_type)},
        {"empty default item type", [](auto&, auto&) { sim::host().def_item_type = ""; },
         std::string(kx::msg::no_item_type)},
        {"default type Item", [](auto&, auto&) { sim::host().def_item_type = "Item"; }, generic},
        {"default type Document", [](auto&, auto&) { sim::host().def_item_type = "Document"; }, generic},
        {"import attributes cannot be read",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_ask_attribute_values", 1, false, 5}}; },
         std::string(kx::msg::memory)},
        {"mapped item ID cannot be copied", mapped_copy_fails(id_map),
         std::string(kx::msg::mapping)},
        {"mapped name cannot be copied", mapped_copy_fails(name_map),
         std::string(kx::msg::mapping)},
        {"additional program refuses",
         [](auto&, kxtest::fake_system& s) {
             s.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "site_check";
             s.exit_code = [](const std::string&) { return 3; };
         },
         user_function},
        {"item ID too long",
         [long_id](auto&, auto&) { sim::host().parts[0].attributes = {{"DB_PART_NO", long_id}}; }, identity},
        {"revision too long",
         [long_id](auto&, auto&) { sim::host().parts[0].attributes = {{"DB_PART_REV", long_id}}; }, identity},
        {"host numbering fails",
         [](auto&, auto&) { sim::host().faults = {{"HOST_PDM_assign_part_rev", 1, false, 5}}; }, identity},
        {"get_item_type fails",
         [](auto&, auto&) {
             sim::add_item({"000001", "Part", "", ""});
             sim::host().server = [](int, const char*) { return sim::pdm_response{4, "no type"}; };
         },
         identity},
        {"decided type Item from DB_PART_TYPE",
         [](auto&, auto&) { sim::host().parts[0].attributes = {{"DB_PART_TYPE", "Item"}}; }, generic},
        {"decided type Document from the server",
         [](auto&, auto&) {
             sim::add_item({"000001", "Document", "", ""});
             sim::host().server = [](int, const char*) { return sim::pdm_response{0, "Document"}; };
         },
         generic},
        {"PDM name refused",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_set_pdm_name", 1, false, 5}}; },
         std::string(kx::msg::item_name)},
        {"PDM description refused",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_set_pdm_desc", 1, false, 5}}; },
         std::string(kx::msg::item_description)},
        {"relation cannot be read",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_ask_attribute_values", 2, false, 5}}; },
         std::string(kx::msg::relation)},
        {"item type refused by the host",
         [](auto&, auto&) { sim::host().faults = {{"HOST_CLONE_set_item_type", 1, false, 47}}; },
         "host status 47"},
        {"get_related_name fails with a text",
         [](auto&, auto&) {
             sim::host().parts[0].attributes = {{"RELATION", "altrep"}};
             sim::host().server = [](int code, const char*) {
                 return code == kx::request_get_related_name ? sim::pdm_response{6, "No such context"}
                                                             : sim::pdm_response{0, "A"};
             };
         },
         "No such context"},
        {"get_related_name fails without a text",
         [](auto&, auto&) {
             sim::host().parts[0].attributes = {{"RELATION", "altrep"}};
             sim::host().server = [](int code, const char*) {
                 return code == kx::request_get_related_name ? sim::pdm_response{48, std::nullopt}
                                                             : sim::pdm_response{0, "A"};
             };
         },
         "host status 48"},
        {"get_related_name answers no name",
         [](auto&, auto&) {
             sim::host().parts[0].attributes = {{"RELATION", "altrep"}};
             sim::host().server = [](int, const char*) { return sim::pdm_response{0, ""}; };
         },
         std::string(kx::msg::empty_related_name)},
        {"get_related_name text too long",
         [](auto&, auto&) {
             sim::host().parts[0].attributes = {{"RELATION", "altrep"}, {"CONTEXT", std::string(112, 'C')}};
         },
         std::string(kx::msg::long_related_request)},
        {"relation too long",
         [](auto&, auto&) { sim::host().parts[0].attributes = {{"RELATION", std::string(133, 'R')}}; },
         std::string(kx::msg::long_relation)},
        {"related part name too long",
         [](auto&, auto&) {
             sim::host().parts[0].attributes = {{"DB_PART_NO", std::string(32, 'N')},
                                                {"DB_PART_REV", std::string(32, 'R')},
                                                {"CONTEXT", std::string(70, 'C')},
                                                {"RELATION", "manifestation"}};
         },
         std::string(kx::msg::long_related_name)},
        {"database part name too long",
         [](auto&, auto&) {
             sim::host().parts[0].attributes = {{"DB_PART_NO", std::string(32, 'N')},
                                                {"DB_PART_REV", std::string(32, 'R')},
                                                {"CONTEXT", std::string(60, 'C')},
                                                {"RELATION", std::string(132, 'L')}};
         },
         std::string(kx::msg::long_database_name)},
        {"the part cannot be recorded",
         [](auto&, auto&) { sim::host().faults = {{"HOST_PDM_ask_part_tag", 2, false, 5}}; },
         std::string(kx::msg::import_record)},
    };
    for (const refusal& r : rows) {
        SCOPED_TRACE(r.what);
        kx::reset_library_state();
        sim::reset();
        system.env.clear();
        system.exit_code = nullptr;
        system.stdout_text.clear();
        host().def_item_type = "Part";
        ASSERT_EQ(kx::state().import_item_list.create(), 0);
        add_part("/in/a.prt");
        r.arrange(*this, system);
        // A refusal releases first, then reports.
        std::optional<bool> dialog_held_at_box;
        host().on_message_box = [&](const sim::message_box&) { dialog_held_at_box = bool(kx::state().dialog_struct); };

        EXPECT_EQ(translate("/in/a.prt").status, 3);
        EXPECT_EQ(messages(), std::vector<std::string>{r.message});
        EXPECT_EQ(dialog_held_at_box, r.dialog_kept);
        EXPECT_EQ(kx::state().file_struct.size(), 0u);
        EXPECT_EQ(list(), "");
        EXPECT_EQ(bool(kx::state().dialog_struct), r.dialog_kept);
        kx::state().import_item_list.reset();
        kx::reset_library_state();
        expect_no_leaks();
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

TEST_F(import_translation, a_decided_generic_type_is_refused_after_the_site_programs_ran)
{
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "site_check";
    add_part("/in/a.prt", {{"DB_PART_TYPE", "Item"}});
    EXPECT_EQ(translate("/in/a.prt").status, 3);
    EXPECT_EQ(system.commands, std::vector<std::string>{"site_check '/in/a.prt'"});
    EXPECT_EQ(sim::calls_of("HOST_CLONE_set_pdm_name"), 0);

    // Case matters: these are ordinary types.
    host().message_boxes.clear();
    for (const char* type : {"item", "DOCUMENT"}) {
        host().parts[0].attributes = {{"DB_PART_TYPE", type}};
        EXPECT_EQ(translate("/in/a.prt").status, 0) << type;
    }
    host().def_item_type = "document";
    host().parts[0].attributes.clear();
    EXPECT_EQ(translate("/in/a.prt").status, 0);
    EXPECT_TRUE(messages().empty());
}

TEST_F(import_translation, additional_program_refusal_reports_its_exit_code)
{
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "site_check";
    system.exit_code = [](const std::string&) { return 3; };
    add_part("C:\\in\\a.prt");
    EXPECT_EQ(translate("C:\\in\\a.prt").status, 3);
    EXPECT_EQ(system.stdout_text, kx::msg::program_returned("site_check", 3, "C:\\in\\a.prt"));
    EXPECT_EQ(messages(), std::vector<std::string>{std::string(kx::msg::user_function)});
    EXPECT_EQ(sim::calls_of("HOST_PDM_assign_part_number"), 0) << "refused before the identity is decided";
}

TEST_F(import_translation, a_refusal_leaves_earlier_settings_and_the_next_part_reads_the_defaults_again)
{
    add_part("/in/a.prt");
    add_part("/in/b.prt");
    host().faults = {{"HOST_CLONE_set_pdm_desc", 1, false, 5}};
    EXPECT_EQ(translate("/in/a.prt").status, 3);
    EXPECT_EQ(host().parts[0].pdm_name, "Default name") << "the PDM name set before the refusal stays";
    EXPECT_FALSE(kx::state().dialog_struct);

    host().def_pdm_desc = "Changed meanwhile";
    EXPECT_EQ(translate("/in/b.prt").status, 0);
    EXPECT_EQ(host().parts[1].pdm_desc, "Changed meanwhile");
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_def_item_type"), 2);

    // A refusal before the item type check keeps the defaults.
    host().faults = {{"HOST_CLONE_ask_item_type", 3, false, 5}};
    EXPECT_EQ(translate("/in/a.prt").status, 3);
    EXPECT_TRUE(kx::state().dialog_struct);
    EXPECT_EQ(translate("/in/a.prt").status, 0);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_def_item_type"), 2);
}

// A field that would be split at its request's separator, or would split the
// database part name, refuses the part before anything goes out or is
// recorded; the same characters elsewhere pass.
TEST_F(import_translation, a_field_holding_a_separator_refuses_its_part)
{
    struct row {
        const char* what;
        std::vector<sim::attribute> attributes;
        std::string related_name = "srv";  // the server's answer to get_related_name
        std::string dialog_type = "Part";
        std::string part_spec = "/in/a.prt";
        std::string_view message = {};     // empty: the part is translated
        bool item_exists = false;          // X1 is in the database already
        bool clone_session = false;        // a clone announces no context
    };
    const std::string_view identity = kx::msg::identity;
    const row rows[] = {
        {"item ID with #", {{"DB_PART_NO", "X#1"}}, "srv", "Part", "/in/a.prt", identity},
        {"item ID with /", {{"DB_PART_NO", "X/1"}}, "srv", "Part", "/in/a.prt", identity},
        {"item ID with ~~", {{"DB_PART_NO", "X~~1"}}, "srv", "Part", "/in/a.prt", identity},
        {"item ID beginning with ~", {{"DB_PART_NO", "~X1"}}, "srv", "Part", "/in/a.prt", identity},
        {"revision ending with ~", {{"DB_PART_REV", "A~"}}, "srv", "Part", "/in/a.prt", identity},
        {"revision with /", {{"DB_PART_REV", "A/1"}}, "srv", "Part", "/in/a.prt", identity},
        {"revision with #", {{"DB_PART_REV", "A#1"}}, "srv", "Part", "/in/a.prt", identity},
        {"relation with /", {{"RELATION", "alt/rep"}}, "srv", "Part", "/in/a.prt", kx::msg::relation},
        {"related name with #", {{"RELATION", "altrep"}}, "a#b", "Part", "/in/a.prt", kx::msg::relation},
        {"related name with /", {{"RELATION", "altrep"}}, "a/b", "Part", "/in/a.prt", kx::msg::relation},
        {"item type with / and a context", {{"DB_PART_TYPE", "A/B"}, {"CONTEXT", "CTX"}}, "srv", "Part",
         "/in/a.prt", identity},
        {"context with /", {{"CONTEXT", "C/D"}}, "srv", "Part", "/in/a.prt", identity},
        {"context with / asked for a related name", {{"RELATION", "altrep"}, {"CONTEXT", "C/D"}}, "srv", "Part",
         "/in/a.prt", identity},
        {"dialog type with / asked for a related name", {{"RELATION", "altrep"}}, "srv", "Pa/rt", "/in/a.prt",
         identity},
        // Nothing else is refused for its characters.
        {"item ID with one ~ inside", {{"DB_PART_NO", "X~1"}}},
        {"item type with / and no context", {{"DB_PART_TYPE", "A/B"}}},
        {"dialog type with / and no relation", {}, "srv", "Pa/rt"},
        {"relation with #", {{"RELATION", "alt#rep"}}},
        {"related name with ~~", {{"RELATION", "altrep"}}, "a~~b"},
        {"file name with #", {}, "srv", "Part", "/in/a#b.prt"},
        {"name and description with ~~", {{"DB_PART_NAME", "~~n"}, {"DB_PART_DESC", "d~"}}},
        // Only an item new to the database has its item type and context
        // announced.
        {"context with / of an item in the database",
         {{"DB_PART_NO", "X1"}, {"DB_PART_REV", "A"}, {"CONTEXT", "C/D"}}, "srv", "Part", "/in/a.prt", {}, true},
        {"context with / in a clone session",
         {{"DB_PART_NO", "X1"}, {"DB_PART_REV", "A"}, {"CONTEXT", "C/D"}}, "srv", "Part", "/in/a.prt", {}, false,
         true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        kx::reset_library_state();
        sim::reset();
        host().def_item_type = r.dialog_type;
        if (!r.clone_session) {
            ASSERT_EQ(kx::state().import_item_list.create(), 0);
        }
        add_part(r.part_spec, r.attributes);
        if (r.item_exists) sim::add_item({"X1", "Part", "Plate", ""});
        host().server = [related = r.related_name](int code, const char*) {
            return code == kx::request_get_related_name ? sim::pdm_response{0, related}
                                                        : sim::pdm_response{0, "NOT_PRESENT"};
        };

        const translation t = translate(r.part_spec);
        if (r.message.empty()) {
            EXPECT_EQ(t.status, 0) << (messages().empty() ? "" : messages().front());
            EXPECT_EQ(kx::state().file_struct.size(), 1u);
            if (r.item_exists || r.clone_session) {
                EXPECT_EQ(t.new_name, "@DB/X1/A");
            }
        } else {
            EXPECT_EQ(t.status, kx::stop_session);
            EXPECT_EQ(messages(), std::vector<std::string>{std::string(r.message)});
            EXPECT_EQ(kx::state().file_struct.size(), 0u);
            EXPECT_EQ(list(), "");
            // Nothing carries the field to the server: the only request a
            // refused part may have sent is the one that brought the field.
            for (const sim::pdm_request& request : host().requests) {
                EXPECT_EQ(request.code, kx::request_get_related_name);
                const std::string input = request.input.value_or("");
                EXPECT_EQ(input.find_first_of("#~"), std::string::npos);
                EXPECT_LE(std::count(input.begin(), input.end(), '/'), 4);
            }
        }
        kx::state().import_item_list.reset();
        kx::reset_library_state();
        expect_no_leaks();
    }
}

// Every allocation of a translation may fail: the part is refused or
// translated whole, and nothing leaks.
TEST_F(import_translation, allocation_faults_refuse_cleanly)
{
    for (const char* operation : {"HOST_allocate_memory", "HOST_reallocate_memory"}) {
        bool completed = false;
        for (int n = 1; n <= 40 && !completed; ++n) {
            SCOPED_TRACE(std::string(operation) + " #" + std::to_string(n));
            kx::reset_library_state();
            sim::reset();
            host().def_item_type = "Part";
            ASSERT_EQ(kx::state().import_item_list.create(), 0);
            add_part("/in/a.prt", {{"DB_PART_NO", "4711"}, {"TOOL_ID", "T"}, {"CONTEXT", "SIMULAT_01"},
                                   {"RELATION", "scenario"}, {"DB_PART_REV", "B"}});
            host().faults = {{operation, n, false, 91}};
            const translation t = translate("/in/a.prt");
            if (t.status == 0) {
                completed = true;
                EXPECT_EQ(t.new_name, "@DB/4711/B/scenario/4711.B.SM01");
                EXPECT_EQ(kx::state().file_struct.size(), 1u);
            } else {
                EXPECT_EQ(t.status, 3);
                EXPECT_EQ(messages().size(), 1u);
                EXPECT_EQ(kx::state().file_struct.size(), 0u);
            }
            kx::state().import_item_list.reset();
            kx::reset_library_state();
            expect_no_leaks();
        }
        EXPECT_TRUE(completed) << operation;
    }
}

// --- whole sessions -----------------------------------------------------------------------

TEST_F(import_translation, an_import_session_records_every_part_and_publishes_the_new_items)
{
    kx::state().import_item_list.reset();
    start_library();
    host().def_action = 3;
    sim::add_item({"OLD", "Part", "", ""});
    std::vector<std::string> received;
    host().server = [&received](int code, const char* input) -> sim::pdm_response {
        received.push_back(std::to_string(code) + ":" + (input != nullptr ? input : "NULL"));
        if (code == kx::request_get_exceptions) return {1, "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1"};
        if (code == kx::request_get_item_type) return {0, "Part"};
        if (code == kx::request_check_revision) return {0, "NOT_PRESENT"};
        return {0, std::nullopt};
    };
    add_part("/in/new.prt", {{"DB_PART_NO", "NEW1"}, {"DB_PART_REV", "A"}, {"CONTEXT", "CTX"}});
    add_part("/in/old.prt", {{"DB_PART_NO", "OLD"}, {"DB_PART_REV", "B"}}).action = 4;
    add_part("/in/num.prt");
    add_part("/in/4711.A01.003.prt").file_exists = false;

    struct snapshot {
        std::string part_spec, item_id, rev_id;
        bool in_database;
    };
    std::vector<snapshot> recorded;
    std::string item_list;
    sim::session_options options;
    options.on_perform_part = [&](sim::clone_part&) {
        if (!recorded.empty()) return;
        for (const kx::file_entry& e : kx::state().file_struct)
            recorded.push_back({e.part_spec.get(), e.item_id.get(), e.rev_id.get(), e.in_database});
        item_list = kx::state().import_item_list.view();
    };
    const sim::session_result result = sim::play_session(options);
    EXPECT_FALSE(result.refused) << result.refused_at;
    EXPECT_TRUE(messages().empty()) << messages().front();

    EXPECT_EQ(host().parts[0].new_name, "@DB/NEW1/A");
    EXPECT_EQ(host().parts[1].new_name, "@DB/OLD/B");
    EXPECT_EQ(host().parts[2].new_name, "@DB/000001/A");
    EXPECT_EQ(host().parts[3].new_name, "@DB/4711/A01.0003");

    ASSERT_EQ(recorded.size(), 3u) << "the derived-name part is not recorded";
    EXPECT_EQ(recorded[0].part_spec, "/in/new.prt");
    EXPECT_FALSE(recorded[0].in_database);
    EXPECT_EQ(recorded[1].item_id, "OLD");
    EXPECT_TRUE(recorded[1].in_database);
    EXPECT_EQ(recorded[2].item_id, "000001");
    EXPECT_EQ(item_list, "NEW1#000001#") << "the existing item with action 4 is not listed";

    EXPECT_NE(std::find(received.begin(), received.end(), "27:NEW1#000001"), received.end())
        << "the list goes to the server without its last #";
    EXPECT_FALSE(kx::state().import_item_list.held()) << "dropped at the end of the session";
    EXPECT_EQ(kx::state().file_struct.size(), 0u);
}

TEST_F(import_translation, a_clone_session_records_parts_without_an_item_list)
{
    kx::state().import_item_list.reset();
    start_library();
    host().operation_class = kx::class_clone;
    add_part("/in/a.prt", {{"DB_PART_NO", "C1"}, {"DB_PART_REV", "A"}});
    bool list_held = true;
    std::size_t entries = 0;
    sim::session_options options;
    options.on_perform_part = [&](sim::clone_part&) {
        list_held = kx::state().import_item_list.held();
        entries = kx::state().file_struct.size();
    };
    const sim::session_result result = sim::play_session(options);
    EXPECT_FALSE(result.refused) << result.refused_at;
    EXPECT_EQ(host().parts[0].new_name, "@DB/C1/A");
    EXPECT_EQ(entries, 1u);
    EXPECT_FALSE(list_held);
}

}  // namespace
