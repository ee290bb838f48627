// Part names as users really type them, blanks, quotes and the shell's
// metacharacters, through the whole import translation with both site
// programs switched on and run for real by the command interpreter. Each name
// must reach each program as exactly one argument, run nothing of its own,
// and come out whole in the part's record.
#include "host/host_codes.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kxtest::library_test;
namespace fs = std::filesystem;

class bad_part_names : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        std::string pattern = (fs::temp_directory_path() / "kx_bad_names_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        host().operation_class = kx::class_import;
        host().def_item_type = "Part";
        host().def_pdm_name = "Default name";
        host().def_pdm_desc = "Default description";
        ASSERT_EQ(kx::state().import_item_list.create(), 0);

        const std::string map_file = (dir / "map.txt").string();
        std::ofstream(map_file, std::ios::binary) << "DB_PART_NO = NUMBER\nDB_PART_REV = REV\n";
        fs::create_directories(dir / "pdm" / "bin");
        // The installation's "perl" hands the check script to the shell.
        write_script(dir / "pdm" / "bin" / "perl", "exec /bin/sh \"$@\"\n");
        write_script(dir / "pdm" / "bin" / "kxpdm_check_pfm.pl", recorder("check", 1));
        write_script(dir / "site program", recorder("site", 0));

        system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
        system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
        system.env["PDM_ROOT"] = (dir / "pdm").string();
        // The site's own program text, quoted by the site as it must be.
        system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "'" + (dir / "site program").string() + "' --strict";
        system.run_for_real = true;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        library_test::TearDown();
    }

    void write_script(const fs::path& path, const std::string& body)
    {
        std::ofstream(path, std::ios::binary) << "#!/bin/sh\n" << body;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
    }
    // Appends its argument count and each argument in brackets to a log, and
    // exits with `code`.
    std::string recorder(const std::string& name, int code)
    {
        const std::string log = (dir / (name + ".log")).string();
        return "printf '%s\\n' \"$#\" >> '" + log + "'\n" + "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> '" + log +
               "'; done\n" + "exit " + std::to_string(code) + "\n";
    }
    std::string log_of(const std::string& name)
    {
        std::ifstream in(dir / (name + ".log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir;
};

TEST_F(bad_part_names, reach_both_programs_as_one_argument_and_are_recorded_whole)
{
    const std::string pwned = (dir / "pwned").string();
    const std::vector<std::string> names = {
        "/in/two  blanks and a trailing one .prt",
        "/in/a; touch " + pwned + ".prt",
        "/in/$(touch " + pwned + ").prt",
        "/in/`touch " + pwned + "`.prt",
        "/in/it's.prt",
        "/in/x' ; touch " + pwned + " ; echo '.prt",
        "/in/\"double\" & touch " + pwned + " | cat > " + pwned + ".prt",
        "/in/a && touch " + pwned + " || touch " + pwned + ".prt",
        "/in/*.prt",
        "/in/~root/$HOME/${PATH}.prt",
        "/in/line\nbreak; touch " + pwned + ".prt",
        "/in/tab\there <in >out 2>&1.prt",
        "/in/back\\slash\\'.prt",
        "-n",
        "/in/!event #comment.prt",
    };
    std::string expected_check, expected_site;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        SCOPED_TRACE(name);
        const std::string number = "M-" + std::to_string(i);
        sim::clone_part part;
        part.name = name;
        part.attributes = {{"NUMBER", number}, {"REV", "B"}};
        host().parts.push_back(part);

        auto buffer = std::make_unique<char[]>(HOST_MAX_FSPEC_BUFSIZE);
        ASSERT_EQ(kx::translate_import_part(name.c_str(), buffer.get()), 0)
            << (host().message_boxes.empty() ? "" : host().message_boxes.front().message);
        // The check script said 1, so the mapped number stands.
        EXPECT_EQ(std::string(buffer.get()), "@DB/" + number + "/B");
        expected_check += "1\n[" + name + "]\n";
        expected_site += "2\n[--strict]\n[" + name + "]\n";
        EXPECT_FALSE(fs::exists(pwned)) << "a part name ran a command of its own";
    }
    EXPECT_EQ(log_of("check"), expected_check);
    EXPECT_EQ(log_of("site"), expected_site);
    EXPECT_EQ(system.commands.size(), 2 * names.size());
    EXPECT_EQ(system.stdout_text, "");
    EXPECT_TRUE(host().message_boxes.empty());

    ASSERT_EQ(kx::state().file_struct.size(), names.size());
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(kx::view(kx::state().file_struct[i].part_spec), names[i]);
        list += "M-" + std::to_string(i) + "#";
    }
    EXPECT_EQ(kx::state().import_item_list.view(), list);
}

// A refusing program names the part exactly as the host gave it, and the part
// is refused with the error box; the next part still goes through.
TEST_F(bad_part_names, a_refusal_names_the_part_whole)
{
    write_script(dir / "site program", "exit 7\n");
    const std::string name = "/in/it's \"quoted\"; $(x).prt";
    sim::clone_part part;
    part.name = name;
    part.attributes = {{"NUMBER", "M-1"}, {"REV", "B"}};
    host().parts.push_back(part);

    auto buffer = std::make_unique<char[]>(HOST_MAX_FSPEC_BUFSIZE);
    EXPECT_EQ(kx::translate_import_part(name.c_str(), buffer.get()), 3);
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, kx::msg::user_function);
    EXPECT_EQ(system.stdout_text, kx::msg::program_returned(system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"], 7, name));
    EXPECT_EQ(kx::state().file_struct.size(), 0u);
    EXPECT_EQ(kx::state().import_item_list.view(), "");
}

}  // namespace
