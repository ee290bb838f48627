// Plays the host on Windows: the simulated host's operations are exported
// from this executable (stand_in_host.def), the DLL is loaded by name with
// LoadLibrary and binds them itself at user_exit_start, and whole sessions
// run with the site's programs as .cmd scripts through the real cmd.exe.
#include "host/host_codes.h"
#include "session/messages.h"
#include "session_driver.h"
#include "sim_host.h"
#include "windows_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

namespace {

namespace fs = std::filesystem;
using kxtest::ansi_path;
using kxtest::read_all;
using kxtest::write_file;

void set_env(const char* name, const std::string& value) { SetEnvironmentVariableA(name, value.c_str()); }

class stand_in_host : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The non-ASCII names below are Windows-1252 bytes, the code page
        // the CI's wine prefix is set to.
        ASSERT_EQ(GetACP(), 1252u) << "run with the ANSI code page 1252 (LC_ALL=C.UTF-8 under wine)";
        sim::reset();
        std::mt19937_64 numbers(std::random_device{}());
        dir = fs::temp_directory_path() / ("kx_stand_in_" + std::to_string(numbers()));
        ASSERT_TRUE(fs::create_directories(dir));
        dir_text = dir.string();
        // The DLL is found beside the executable, as the host finds it.
        library = LoadLibraryW(L"kxpdm_clone_userexit_v30.dll");
        ASSERT_NE(library, nullptr) << "LoadLibrary failed: " << GetLastError();
        const auto start = reinterpret_cast<int (*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(library, "user_exit_start")));
        ASSERT_NE(start, nullptr);
        ASSERT_EQ(start(), 0);
        ASSERT_EQ(sim::host().callbacks.size(), 8u);
    }
    void TearDown() override
    {
        for (const char* name : {"KXPDM_IMPORT_ATTR_MAP_FILE", "KXPDM_PFM_ITEMID_PROPERTY", "PDM_ROOT",
                                 "KXPDM_ADDITIONAL_IMPORT_PROGRAM"})
            SetEnvironmentVariableA(name, nullptr);
        EXPECT_TRUE(sim::host().misuse.empty()) << (sim::host().misuse.empty() ? "" : sim::host().misuse.front());
        // The callbacks point into the library: the model forgets them first.
        sim::reset();
        if (library != nullptr) FreeLibrary(library);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path dir;
    std::string dir_text;
    HMODULE library = nullptr;
};

// The PDM server of an import: exceptions that ask for the original file
// names, parts not yet in the database.
sim::pdm_response import_server(int code, const char*)
{
    switch (code) {
    case kx::request_get_exceptions:
        return {1, std::string("KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1?KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?1")};
    case kx::request_check_revision:
        return {0, std::string("NOT_PRESENT")};
    case kx::request_get_item_type:
        return {0, std::string("Part")};
    default:
        return {0, std::nullopt};
    }
}

TEST_F(stand_in_host, import_with_the_item_id_check_and_the_site_program_as_cmd_scripts)
{
    const fs::path bin = dir / "pdm" / "bin";
    fs::create_directories(bin);
    // The installation's "perl" is found by cmd as perl.cmd; it says 1 (use
    // the mapped item ID) for a part file it could read as one argument.
    write_file(bin / "perl.cmd",
               "@echo off\r\n"
               "if not exist %1 exit /b 5\r\n"
               "if not \"%~3\"==\"\" exit /b 9\r\n"
               "type %2 >> \"%~dp0checked.txt\"\r\n"
               "exit /b 1\r\n");
    write_file(bin / "kxpdm_check_pfm.pl", "# read by perl.cmd\r\n");
    write_file(dir / "site program.cmd",
               "@echo off\r\n"
               "if not \"%~1\"==\"--strict\" exit /b 8\r\n"
               "if not \"%~3\"==\"\" exit /b 9\r\n"
               "type %2 >> \"%~dp0site.txt\"\r\n"
               "exit /b 0\r\n");
    write_file(dir / "map.txt", "DB_PART_NO = NUMBER\r\nDB_PART_REV = REV\r\n");

    // Set while the library is loaded: it reads the process's environment
    // each time, not a copy from its start.
    set_env("KXPDM_IMPORT_ATTR_MAP_FILE", (dir / "map.txt").string());
    set_env("KXPDM_PFM_ITEMID_PROPERTY", "PART_NUMBER");
    set_env("PDM_ROOT", (dir / "pdm").string());
    set_env("KXPDM_ADDITIONAL_IMPORT_PROGRAM", "\"" + (dir / "site program.cmd").string() + "\" --strict");

    const std::vector<std::string> names = {
        "two  blanks.prt", "a & b.prt", "x ^ y.prt", "(draft) z.prt", "it's.prt", "one; two.prt",
        "B\xFCgel \xD8 \xE9\xDF.prt",  // Bügel Ø éß
    };
    std::string expected;
    sim::host().operation_class = kx::class_import;
    sim::host().def_item_type = "Part";
    sim::host().def_action = 3;
    sim::host().server = import_server;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string part_name = dir_text + "\\" + names[i];
        write_file(ansi_path(part_name), "content of part " + std::to_string(i) + "\n");
        expected += "content of part " + std::to_string(i) + "\n";
        sim::clone_part part;
        part.name = part_name;
        part.attributes = {{"NUMBER", "M-" + std::to_string(i)}, {"REV", "B"}};
        sim::host().parts.push_back(part);
    }
    sim::session_options options;
    options.on_perform_part = [](sim::clone_part& part) {
        const std::string& name = *part.new_name;
        sim::host().part_files[name];
        sim::add_item({name.substr(4, name.find('/', 4) - 4), "Part", "", ""});
    };

    const sim::session_result result = sim::play_session(options);
    ASSERT_FALSE(result.refused) << result.refused_at << ": "
                                 << (sim::host().message_boxes.empty() ? "" : sim::host().message_boxes[0].message);
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        // The check said 1 for every part, so each takes its mapped identity.
        EXPECT_EQ(sim::host().parts[i].new_name.value_or(""), "@DB/M-" + std::to_string(i) + "/B");
    }
    // Each program read each part file through its one argument, in order.
    EXPECT_EQ(read_all(bin / "checked.txt"), expected);
    EXPECT_EQ(read_all(dir / "site.txt"), expected);
    EXPECT_TRUE(sim::host().message_boxes.empty());
}

// A session whose site program Windows alone refuses plays differently
// elsewhere, so it is kept out of the recordings that are replayed on Linux.
class unrecorded {
public:
    unrecorded()
    {
        const DWORD length = GetEnvironmentVariableW(L"KXPDM_TRACE_DIR", nullptr, 0);
        if (length == 0) return;
        saved_.resize(length);
        saved_.resize(GetEnvironmentVariableW(L"KXPDM_TRACE_DIR", saved_.data(), length));
        was_set_ = true;
        SetEnvironmentVariableW(L"KXPDM_TRACE_DIR", nullptr);
    }
    ~unrecorded()
    {
        if (was_set_) SetEnvironmentVariableW(L"KXPDM_TRACE_DIR", saved_.c_str());
    }

private:
    std::wstring saved_;
    bool was_set_ = false;
};

// One new part imported; its file is made, with its mapped number in its
// attributes.
sim::session_result import_one_part(const std::string& part_name)
{
    write_file(ansi_path(part_name), "part\n");
    sim::host().operation_class = kx::class_import;
    sim::host().def_item_type = "Part";
    sim::host().def_action = 3;
    sim::host().server = import_server;
    sim::clone_part part;
    part.name = part_name;
    part.attributes = {{"NUMBER", "M-0"}, {"REV", "B"}};
    sim::host().parts.push_back(part);
    return sim::play_session();
}

// The additional program's closing quote forgotten: the part name that
// follows would run "mkdir" of its own. The program is one that cannot be
// started, and the part is refused.
TEST_F(stand_in_host, a_program_text_left_inside_a_quote_refuses_the_part_and_runs_nothing)
{
    const unrecorded quiet;
    fs::create_directories(dir / "site dir");
    write_file(dir / "site dir" / "check.cmd", "@exit /b 0\r\n");
    set_env("KXPDM_ADDITIONAL_IMPORT_PROGRAM", "\"" + (dir / "site dir" / "check.cmd").string());

    const sim::session_result result = import_one_part(dir_text + "\\a & mkdir kx_injected & b.prt");
    EXPECT_TRUE(result.refused);
    ASSERT_EQ(sim::host().message_boxes.size(), 1u);
    EXPECT_EQ(sim::host().message_boxes[0].message, kx::msg::user_function);
    EXPECT_FALSE(fs::exists("kx_injected"));
    EXPECT_FALSE(fs::exists(dir / "kx_injected"));
}

// Settings the ANSI code page cannot hold are set, and name nothing: a site
// program in a Greek folder cannot be started, so the part is refused.
TEST_F(stand_in_host, a_program_the_code_page_cannot_hold_refuses_the_part)
{
    const unrecorded quiet;
    const fs::path greek = dir / L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1";
    fs::create_directories(greek);
    write_file(greek / "check.cmd", "@exit /b 0\r\n");
    SetEnvironmentVariableW(L"KXPDM_ADDITIONAL_IMPORT_PROGRAM", (greek / "check.cmd").wstring().c_str());

    const sim::session_result result = import_one_part(dir_text + "\\a.prt");
    EXPECT_TRUE(result.refused);
    ASSERT_EQ(sim::host().message_boxes.size(), 1u);
    EXPECT_EQ(sim::host().message_boxes[0].message, kx::msg::user_function);
}

// The same in the item-ID switch keeps the check on: the check says no, and
// the mapped number is not used.
TEST_F(stand_in_host, an_item_id_switch_the_code_page_cannot_hold_keeps_the_check_on)
{
    const unrecorded quiet;
    const fs::path bin = dir / "pdm" / "bin";
    fs::create_directories(bin);
    write_file(bin / "perl.cmd", "@echo checked> \"%~dp0checked.txt\"\r\n@exit /b 2\r\n");
    write_file(bin / "kxpdm_check_pfm.pl", "");
    write_file(dir / "map.txt", "DB_PART_NO = NUMBER\r\nDB_PART_REV = REV\r\n");
    set_env("KXPDM_IMPORT_ATTR_MAP_FILE", (dir / "map.txt").string());
    SetEnvironmentVariableW(L"KXPDM_PFM_ITEMID_PROPERTY", L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1");
    set_env("PDM_ROOT", (dir / "pdm").string());

    const sim::session_result result = import_one_part(dir_text + "\\a.prt");
    ASSERT_FALSE(result.refused) << result.refused_at;
    EXPECT_TRUE(fs::exists(bin / "checked.txt")) << "the check did not run";
    EXPECT_NE(sim::host().parts[0].new_name.value_or(""), "@DB/M-0/B");
}

TEST_F(stand_in_host, export_writes_the_design_log_and_del_removes_the_mapping_file)
{
    const std::string export_dir = "C:\\exp";
    sim::host().operation_class = kx::class_export;
    sim::host().def_directory = export_dir;
    sim::clone_part part;
    part.name = "@DB/X1/A";
    sim::host().parts = {part};
    const std::string part_file = export_dir + "\\x1_a.prt";
    sim::host().part_files[part_file];
    const std::string mapping = dir_text + "\\it's a m\xE4pping (1) & more.txt";
    write_file(ansi_path(mapping), "[x1]\r\npart_file=x1_a.prt\r\n  !I_EWO=W-1\r\n");
    const fs::path neighbour = ansi_path(dir_text + "\\it's a m\xE4pping (2).txt");
    write_file(neighbour, "kept");
    sim::host().server = [mapping](int code, const char*) {
        switch (code) {
        case kx::request_get_export_file_name:
            return sim::pdm_response{0, std::string("x1_a.prt")};
        case kx::request_get_export_attributes:
            return sim::pdm_response{0, mapping};
        default:
            return sim::pdm_response{0, std::nullopt};
        }
    };

    const sim::session_result result = sim::play_session();
    ASSERT_FALSE(result.refused) << result.refused_at;
    const std::string* log = sim::part_attribute(sim::host().part_files[part_file], "DESLOG2");
    ASSERT_NE(log, nullptr) << sim::host().listing;
    EXPECT_EQ(*log, "Work Order  W-1");
    EXPECT_FALSE(fs::exists(ansi_path(mapping))) << "del did not remove the mapping file";
    EXPECT_TRUE(fs::exists(neighbour));
    EXPECT_TRUE(sim::host().listing.empty()) << sim::host().listing;
}

}  // namespace
