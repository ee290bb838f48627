// Attribute values and server replies far beyond the sizes of the fields they
// go into. Identities are never cut: they refuse the part with a clear text.
// Texts meant for people are cut to their documented widths, and every
// buffer the host hands over is written within its size.
#include "completion/export_mapping.h"
#include "host/host_codes.h"
#include "platform/platform.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using kx::platform::join_path;
using kxtest::library_test;
namespace fs = std::filesystem;

struct translation {
    int status = -1;
    std::string new_name;
};

// The host's buffer, exactly, so that a write past it is caught; the name
// must end inside it.
translation translate(int (*callback)(const char*, char*), const std::string& part_spec)
{
    auto buffer = std::make_unique<char[]>(HOST_MAX_FSPEC_BUFSIZE);
    std::memset(buffer.get(), 'Z', HOST_MAX_FSPEC_BUFSIZE);
    translation t;
    t.status = callback(part_spec.c_str(), buffer.get());
    if (t.status == 0) {
        const std::size_t length = strnlen(buffer.get(), HOST_MAX_FSPEC_BUFSIZE);
        EXPECT_LT(length, static_cast<std::size_t>(HOST_MAX_FSPEC_BUFSIZE)) << "name not terminated in the buffer";
        t.new_name.assign(buffer.get(), length);
    }
    return t;
}

std::vector<std::string> boxes()
{
    std::vector<std::string> out;
    for (const sim::message_box& box : sim::host().message_boxes) out.push_back(box.message);
    return out;
}

std::vector<std::string> inputs_of(int code)
{
    std::vector<std::string> out;
    for (const sim::pdm_request& r : sim::host().requests)
        if (r.code == code) out.push_back(r.input.value_or("<null>"));
    return out;
}

class oversized_import : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        prepare();
    }
    // An import session's defaults and item list, as the session start leaves
    // them.
    void prepare()
    {
        host().operation_class = kx::class_import;
        host().def_item_type = "Part";
        host().def_pdm_name = "Default name";
        host().def_pdm_desc = "Default description";
        ASSERT_EQ(kx::state().import_item_list.create(), 0);
    }
    void add_part(const std::string& name, std::vector<sim::attribute> attributes)
    {
        sim::clone_part part;
        part.name = name;
        part.attributes = std::move(attributes);
        host().parts.push_back(part);
    }
    // Refused parts leave nothing behind for the completion phase.
    void expect_nothing_recorded()
    {
        EXPECT_EQ(kx::state().file_struct.size(), 0u);
        EXPECT_EQ(kx::state().import_item_list.view(), "");
        EXPECT_EQ(sim::calls_of("HOST_CLONE_set_item_type"), 0);
    }
};

// Item IDs and revisions are never cut, wherever they come from: a cut one
// would name another item.
TEST_F(oversized_import, identities_beyond_32_characters_refuse_the_part)
{
    std::string pattern = (fs::temp_directory_path() / "kx_oversized_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "map.txt", std::ios::binary) << "DB_PART_NO = SITE_NUMBER\n";

    struct row {
        const char* label;
        std::vector<sim::attribute> attributes;
        bool mapping_file;
        int status;
        std::string new_name;
    };
    const std::string id_32(32, 'I');
    const row rows[] = {
        {"DB_PART_NO of 200", {{"DB_PART_NO", std::string(200, 'N')}, {"DB_PART_REV", "A"}}, false, 3, ""},
        {"DB_PART_REV of 200", {{"DB_PART_NO", "4711"}, {"DB_PART_REV", std::string(200, 'R')}}, false, 3, ""},
        {"mapped item ID of 200", {{"SITE_NUMBER", std::string(200, 'M')}}, true, 3, ""},
        {"DB_PART_NO of 33", {{"DB_PART_NO", std::string(33, 'N')}}, false, 3, ""},
        {"DB_PART_NO of 32 fits", {{"DB_PART_NO", id_32}, {"DB_PART_REV", "A"}}, false, 0, "@DB/" + id_32 + "/A"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        kx::reset_library_state();
        sim::reset();
        prepare();
        if (r.mapping_file) system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = (dir / "map.txt").string();
        else system.env.erase("KXPDM_IMPORT_ATTR_MAP_FILE");
        add_part("/in/p.prt", r.attributes);

        const translation t = translate(kx::translate_import_part, "/in/p.prt");
        EXPECT_EQ(t.status, r.status);
        if (r.status == 0) {
            EXPECT_EQ(t.new_name, r.new_name);
            EXPECT_TRUE(boxes().empty());
            EXPECT_EQ(kx::state().file_struct.size(), 1u);
            continue;
        }
        EXPECT_EQ(boxes(), std::vector<std::string>{std::string(kx::msg::identity)});
        EXPECT_EQ(sim::calls_of("HOST_CLONE_set_pdm_name"), 0) << "refused before anything was set";
        EXPECT_TRUE(inputs_of(kx::request_check_revision).empty());
        expect_nothing_recorded();
    }
    fs::remove_all(dir);
}

// The related part name is a field of the database part name: a reply that
// does not fit refuses the part; one that fits is taken whole.
TEST_F(oversized_import, get_related_name_replies_beyond_132_characters_refuse_the_part)
{
    std::string reply;
    host().server = [&reply](int code, const char*) -> sim::pdm_response {
        if (code == kx::request_get_related_name) return {0, reply};
        return {0, std::string("NOT_PRESENT")};
    };
    const std::vector<sim::attribute> attributes = {
        {"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"F_CLASS", "DWGFMT"}, {"CONTEXT", "DRW"}};

    reply = std::string(300, 'r');
    add_part("/in/long.prt", attributes);
    EXPECT_EQ(translate(kx::translate_import_part, "/in/long.prt").status, 3);
    EXPECT_EQ(boxes(), std::vector<std::string>{std::string(kx::msg::long_related_name)});
    EXPECT_EQ(inputs_of(kx::request_get_related_name), std::vector<std::string>{"4711/001/Part/manifestation/DRW"});
    expect_nothing_recorded();

    reply = std::string(132, 'r');
    add_part("/in/fits.prt", attributes);
    const translation t = translate(kx::translate_import_part, "/in/fits.prt");
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(t.new_name, "@DB/4711/001/manifestation/" + reply);
    ASSERT_EQ(kx::state().file_struct.size(), 1u);
    EXPECT_EQ(kx::view(kx::state().file_struct[0].related_name), reply);
}

// An error text from the server far beyond the box: the box shows its first
// 132 characters and the callback refuses.
TEST_F(oversized_import, a_5000_character_error_reply_is_cut_to_the_box)
{
    const std::string reply = std::string(130, 'e') + "XYZ" + std::string(4867, 'e');
    host().server = [&reply](int code, const char*) -> sim::pdm_response {
        if (code == kx::request_get_related_name) return {9, reply};
        return {0, std::string("NOT_PRESENT")};
    };
    add_part("/in/p.prt", {{"DB_PART_NO", "4711"}, {"DB_PART_REV", "001"}, {"F_CLASS", "DWGFMT"}});
    EXPECT_EQ(translate(kx::translate_import_part, "/in/p.prt").status, 3);
    EXPECT_EQ(boxes(), std::vector<std::string>{reply.substr(0, 132)});
    expect_nothing_recorded();

    // The same at the session start (begin_import).
    sim::host().message_boxes.clear();
    host().server = [&reply](int code, const char*) -> sim::pdm_response {
        return code == kx::request_begin_import ? sim::pdm_response{4, reply} : sim::pdm_response{0, std::nullopt};
    };
    int operation_class = kx::class_import;
    EXPECT_EQ(kx::clone_session_hook(kx::point_init_clone, nullptr, &operation_class), kx::stop_session);
    EXPECT_EQ(boxes(), std::vector<std::string>{reply.substr(0, 132)});
    EXPECT_EQ(host().translator, nullptr);
}

// A name and description far beyond the server's fields reach the host whole
// and the server cut to 32 and 240 characters.
TEST_F(oversized_import, pdm_name_and_description_are_cut_for_set_name_description)
{
    std::string name(1000, 'n');
    name.replace(30, 4, "ABCD");
    std::string description(5000, 'd');
    description.replace(238, 4, "WXYZ");
    add_part("/in/p.prt", {{"DB_PART_NO", "4711"}, {"DB_PART_REV", "A"}, {"DB_PART_NAME", name},
                           {"DB_PART_DESC", description}});
    ASSERT_EQ(translate(kx::translate_import_part, "/in/p.prt").status, 0);
    EXPECT_EQ(host().parts[0].pdm_name, name);
    EXPECT_EQ(host().parts[0].pdm_desc, description);

    EXPECT_EQ(kx::handle_perform_notification(kx::point_after_part, "/in/p.prt", nullptr), 0);
    EXPECT_EQ(inputs_of(kx::request_set_name_description),
              std::vector<std::string>{"4711~~A~~" + name.substr(0, 32) + "~~" + description.substr(0, 240)});
    EXPECT_TRUE(boxes().empty());
}

// get_export_file_name: the server's name, however long, is cut to 252 characters and
// given ".prt", which fills the host's buffer to its last byte.
class oversized_reply : public library_test {};

TEST_F(oversized_reply, get_export_file_name_reply_of_5000_characters)
{
    host().operation_class = kx::class_export;
    std::string reply(5000, 'x');
    reply.replace(248, 4, "ABCD");
    host().server = [&reply](int code, const char*) -> sim::pdm_response {
        return code == kx::request_get_export_file_name ? sim::pdm_response{0, reply}
                                                        : sim::pdm_response{0, std::nullopt};
    };
    sim::clone_part part;
    part.name = "@DB/P1/A";
    host().parts.push_back(part);
    const translation t = translate(kx::translate_export_part, "@DB/P1/A");
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(t.new_name, reply.substr(0, 252) + ".prt");
    EXPECT_EQ(t.new_name.size(), static_cast<std::size_t>(HOST_MAX_FSPEC_BUFSIZE - 1));
    EXPECT_TRUE(boxes().empty());
}

// The export side: a part file exported, the server's mapping file naming it
// with values and names beyond the format's widths.
class oversized_export_log : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        dir_ = scratch_dir();
        host().operation_class = kx::class_export;
        host().def_directory = "/exp";
        host().part_files[join_path("/exp", "A.prt")];
    }
    void TearDown() override
    {
        EXPECT_EQ(sim::open_text_channels(), 0u);
        library_test::TearDown();
    }
    // Writes the mapping file and lets the server hand out its name; then the
    // part's after-each-part point comes.
    int export_part(const std::vector<std::string>& lines)
    {
        map_ = (dir_ / "map.txt").string();
        std::ofstream file(map_, std::ios::binary);
        for (const std::string& line : lines) file << line << '\n';
        file.close();
        host().server = [this](int code, const char*) {
            return code == kx::request_get_export_attributes ? sim::pdm_response{0, map_}
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

    fs::path dir_;
    std::string map_;
};

TEST_F(oversized_export_log, values_of_500_characters_are_cut_to_99)
{
    std::string value(500, 'v');
    value.replace(96, 4, "ABCD");
    ASSERT_EQ(export_part({"[p]", "part_file=A.prt", "  !I_EWO=" + value, "  !I_STATUS=" + value,
                           "  !I_" + std::string(60, 'K') + "=short"}),
              0);
    EXPECT_EQ(attribute("DESLOG2"), ("Work Order  " + value).substr(0, 99));
    EXPECT_EQ(attribute("RELEASE_STATUS"), value.substr(0, 99));
    // The key is cut to 31 characters, its indentation included.
    EXPECT_EQ(attribute("DESLOG4"), "!I_" + std::string(26, 'K') + "  short");
    EXPECT_EQ(attribute("KXPDM_EXPORTED"), "TRUE");
    EXPECT_EQ(system.commands, std::vector<std::string>{"del " + kx::platform::quote_argument(map_)});
    EXPECT_TRUE(host().listing.empty());
}

// A part file name that does not fit is never cut (a cut name names another
// file): its section fails, the others are written, and the mapping file is
// kept for another try.
TEST_F(oversized_export_log, a_part_file_of_200_characters_fails_its_section_only)
{
    const std::string long_name = std::string(196, 'f') + ".prt";
    host().part_files[join_path("/exp", long_name.substr(0, 131))];
    ASSERT_EQ(export_part({"[long]", "part_file=" + long_name, "  !I_EWO=W-1", "", "[a]", "part_file=A.prt",
                           "  !I_EWO=W-2", ""}),
              0);
    EXPECT_EQ(host().open_order, std::vector<std::string>{join_path("/exp", "A.prt")});
    EXPECT_EQ(attribute("DESLOG2"), "Work Order  W-2");
    EXPECT_EQ(host().listing, kx::msg::could_not_sync("@DB/A/1"));
    EXPECT_TRUE(system.commands.empty()) << "the mapping file is kept";
    EXPECT_TRUE(fs::exists(map_));
}

}  // namespace
