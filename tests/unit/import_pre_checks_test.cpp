// The programs run before a part is imported: the item ID check script,
// which lets the mapping file give the item ID and revision, and the site's
// additional import program, which can refuse the part. Command lines are
// checked through the recording system; exit codes, argument passing and
// injection through small real scripts.
#include "import/pre_import_checks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using kxtest::library_test;
namespace fs = std::filesystem;

using mapped = std::pair<std::optional<std::string>, std::optional<std::string>>;

class pre_import_checks : public library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        std::string pattern = (fs::temp_directory_path() / "kx_pre_import_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        map_file = (dir / "map.txt").string();
        std::ofstream(map_file, std::ios::binary) << "DB_PART_NO = NUMBER\nDB_PART_REV = REV\n";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        library_test::TearDown();
    }

    void add_part(const std::string& name)
    {
        sim::clone_part part;
        part.name = name;
        part.attributes = {{"NUMBER", "M-4711"}, {"REV", "MB"}};
        host().parts.push_back(part);
    }

    mapped map(const std::string& part_spec)
    {
        kx::host_text item_id, revision;
        EXPECT_EQ(kx::map_item_id_and_revision(part_spec.c_str(), kx::read_import_map_setting(), item_id, revision), 0);
        return {item_id ? std::optional<std::string>(item_id.get()) : std::nullopt,
                revision ? std::optional<std::string>(revision.get()) : std::nullopt};
    }

    void write_script(const fs::path& path, const std::string& body)
    {
        std::ofstream(path, std::ios::binary) << "#!/bin/sh\n" << body;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
    }

    // A PDM installation whose "perl" runs the check script with the shell;
    // the script records its arguments and exits with the code in a file.
    void install_pdm_root()
    {
        fs::create_directories(dir / "pdm" / "bin");
        write_script(dir / "pdm" / "bin" / "perl", "exec /bin/sh \"$@\"\n");
        write_script(dir / "pdm" / "bin" / "kxpdm_check_pfm.pl", recorder("check"));
        system.env["PDM_ROOT"] = (dir / "pdm").string();
    }
    // A site program recording its arguments the same way.
    std::string install_site_program()
    {
        write_script(dir / "site_check", recorder("site"));
        return (dir / "site_check").string();
    }
    std::string recorder(const std::string& name)
    {
        const std::string args = (dir / (name + "_args")).string();
        const std::string code = (dir / (name + "_exit")).string();
        return "printf '%s\\n' \"$#\" > '" + args + "'\n" + "for a in \"$@\"; do printf '[%s]\\n' \"$a\" >> '" + args +
               "'; done\n" + "exit $(cat '" + code + "')\n";
    }
    void set_exit(const std::string& name, int code) { std::ofstream(dir / (name + "_exit")) << code << "\n"; }
    std::string recorded_args(const std::string& name)
    {
        std::ifstream in(dir / (name + "_args"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir;
    std::string map_file;
};

// --- item ID check script ---------------------------------------------------------

TEST_F(pre_import_checks, without_a_mapping_file_nothing_runs_and_nothing_is_mapped)
{
    add_part("/in/a.prt");
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
    system.env["PDM_ROOT"] = "/opt/pdm";
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = "";
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
    EXPECT_TRUE(system.commands.empty());
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_attribute_values"), 0);
}

TEST_F(pre_import_checks, without_the_check_switch_the_mapping_is_used_without_a_script)
{
    add_part("/in/a.prt");
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "";
    EXPECT_EQ(map("/in/a.prt"), (mapped{"M-4711", "MB"}));
    EXPECT_TRUE(system.commands.empty());

    // The setting follows the environment at every part.
    system.env.erase("KXPDM_IMPORT_ATTR_MAP_FILE");
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
}

TEST_F(pre_import_checks, only_exit_code_1_of_the_check_script_lets_the_mapping_be_used)
{
    add_part("/in/parts/a b.prt");
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
    system.env["PDM_ROOT"] = "/opt/pdm root";
    struct row {
        int code;
        mapped expected;
    };
    // 257 would pass a test that looks only at the low bits of a raw status.
    for (const row& r : {row{0, {std::nullopt, std::nullopt}}, row{1, {"M-4711", "MB"}},
                         row{2, {std::nullopt, std::nullopt}}, row{-1, {std::nullopt, std::nullopt}},
                         row{257, {std::nullopt, std::nullopt}}, row{127, {std::nullopt, std::nullopt}}}) {
        SCOPED_TRACE(r.code);
        system.commands.clear();
        system.exit_code = [&](const std::string&) { return r.code; };
        EXPECT_EQ(map("/in/parts/a b.prt"), r.expected);
        EXPECT_EQ(system.commands,
                  std::vector<std::string>{
                      "'/opt/pdm root/bin/perl' '/opt/pdm root/bin/kxpdm_check_pfm.pl' '/in/parts/a b.prt'"});
    }
    EXPECT_EQ(system.stdout_text, "") << "the check script's verdict is not reported";
}

TEST_F(pre_import_checks, without_pdm_root_the_check_is_not_run_and_nothing_is_mapped)
{
    add_part("/in/a.prt");
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
    system.exit_code = [](const std::string&) { return 1; };
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
    system.env["PDM_ROOT"] = "";
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
    EXPECT_TRUE(system.commands.empty());
    EXPECT_EQ(system.stdout_text, kx::msg::pdm_root_not_set("/in/a.prt") + kx::msg::pdm_root_not_set("/in/a.prt"));
}

TEST_F(pre_import_checks, real_check_script_exit_codes_and_its_one_argument)
{
    install_pdm_root();
    add_part("/in/a b.prt");
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
    system.run_for_real = true;

    set_exit("check", 0);
    EXPECT_EQ(map("/in/a b.prt"), (mapped{std::nullopt, std::nullopt}));
    EXPECT_EQ(recorded_args("check"), "1\n[/in/a b.prt]\n");
    set_exit("check", 1);
    EXPECT_EQ(map("/in/a b.prt"), (mapped{"M-4711", "MB"}));
    set_exit("check", 2);
    EXPECT_EQ(map("/in/a b.prt"), (mapped{std::nullopt, std::nullopt}));

    // A missing script: the interpreter fails, which is not the verdict 1.
    fs::remove(dir / "pdm" / "bin" / "kxpdm_check_pfm.pl");
    EXPECT_EQ(map("/in/a b.prt"), (mapped{std::nullopt, std::nullopt}));
    EXPECT_EQ(system.commands.size(), 4u);
}

// --- additional import program -------------------------------------------------------

TEST_F(pre_import_checks, additional_program_switched_off)
{
    EXPECT_EQ(kx::run_additional_import_program("/in/a.prt"), 0);
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "";
    EXPECT_EQ(kx::run_additional_import_program("/in/a.prt"), 0);
    EXPECT_TRUE(system.commands.empty());
    EXPECT_EQ(system.stdout_text, "");
}

TEST_F(pre_import_checks, additional_program_command_line_and_exit_codes)
{
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "/opt/site/check --strict";
    struct row {
        int code;
        std::string printed;
    };
    const std::string program = "/opt/site/check --strict";
    const std::string part = "C:\\in\\a b.prt";
    for (const row& r : {row{0, ""}, row{3, kx::msg::program_returned(program, 3, part)},
                         row{-1, kx::msg::program_returned(program, -1, part)}}) {
        SCOPED_TRACE(r.code);
        system.commands.clear();
        system.stdout_text.clear();
        system.exit_code = [&](const std::string&) { return r.code; };
        EXPECT_EQ(kx::run_additional_import_program("C:\\in\\a b.prt"), r.code);
        EXPECT_EQ(system.commands, std::vector<std::string>{"/opt/site/check --strict 'C:\\in\\a b.prt'"});
        EXPECT_EQ(system.stdout_text, r.printed);
    }
}

TEST_F(pre_import_checks, real_additional_program_exit_codes)
{
    const std::string program = install_site_program();
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = program + " --mode strict";
    system.run_for_real = true;

    set_exit("site", 0);
    EXPECT_EQ(kx::run_additional_import_program("/in/a.prt"), 0);
    EXPECT_EQ(recorded_args("site"), "3\n[--mode]\n[strict]\n[/in/a.prt]\n");
    EXPECT_EQ(system.stdout_text, "");

    set_exit("site", 3);
    EXPECT_EQ(kx::run_additional_import_program("/in/a.prt"), 3) << "the exit code, not the raw wait status";
    EXPECT_EQ(system.stdout_text, kx::msg::program_returned(program + " --mode strict", 3, "/in/a.prt"));

    // Ended by a signal: the interpreter reports it as a failure of its own
    // (or -1 when it was hit itself); either way the part must not pass.
    system.stdout_text.clear();
    write_script(dir / "site_check", "kill -9 $$\n");
    const int killed = kx::run_additional_import_program("/in/a.prt");
    EXPECT_NE(killed, 0);
    EXPECT_EQ(system.stdout_text, kx::msg::program_returned(program + " --mode strict", killed, "/in/a.prt"));

    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = (dir / "no_such_program").string();
    EXPECT_NE(kx::run_additional_import_program("/in/a.prt"), 0);
}

// --- settings that cannot be handed over ----------------------------------------------

// A value the platform cannot hand over exactly (on Windows, one the ANSI
// code page cannot hold) is set, and names nothing: the additional program
// cannot be started, the check switch stays on, and a PDM root or mapping
// file so named gives no mapped item ID or revision.
TEST_F(pre_import_checks, settings_that_cannot_be_handed_over_are_set_and_name_nothing)
{
    add_part("/in/a.prt");
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "/opt/s?te/check";
    system.unusable = {"KXPDM_ADDITIONAL_IMPORT_PROGRAM"};
    EXPECT_EQ(kx::run_additional_import_program("/in/a.prt"), kx::platform::not_started);
    EXPECT_EQ(system.stdout_text, kx::msg::program_returned("/opt/s?te/check", -1, "/in/a.prt"));

    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "??????";
    system.env["PDM_ROOT"] = "/opt/pdm";
    system.unusable = {"KXPDM_PFM_ITEMID_PROPERTY"};
    system.exit_code = [](const std::string&) { return 2; };
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt})) << "the check ran and said no";
    EXPECT_EQ(system.commands.size(), 1u);

    system.unusable = {"PDM_ROOT"};
    system.exit_code = [](const std::string&) { return 1; };
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
    EXPECT_EQ(system.commands.size(), 1u) << "no interpreter under a root that names nothing";

    system.env.erase("KXPDM_PFM_ITEMID_PROPERTY");
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = "/data/??????.map";
    system.unusable = {"KXPDM_IMPORT_ATTR_MAP_FILE"};
    system.stdout_text.clear();
    EXPECT_EQ(map("/in/a.prt"), (mapped{std::nullopt, std::nullopt}));
    EXPECT_EQ(system.stdout_text, kx::msg::import_map_not_opened("/data/??????.map"));
}

// --- no command injection ---------------------------------------------------------------

// A program text that leaves the shell inside a quote, an escape, a
// substitution, a comment or a here-document would let the characters of
// the part name that follows run as commands, and one that ends in an
// operator would make the part name a command or a file to write: it is
// never run, like a program that cannot be started. Constructs the shells
// read differently count as open.
TEST_F(pre_import_checks, program_texts_that_leave_the_shell_inside_a_quote_are_never_run)
{
    const struct {
        const char* program;
        bool runs;
    } rows[] = {
        {"echo '", false},
        {"check \"--mode", false},
        {"check \\", false},
        {"check `", false},
        {"check $'\\'", false},        // bash: the quote is escaped
        {"check \\$'x' 'y", false},   // neither shell reads this one closed
        {"check \"$(\"", false},
        {"check \"`\"", false},
        {"check `'`'", false},          // dash ends the backquote at the first one, bash does not
        {"check # the site's", false},
        {"check \\\n# the site's", false},  // the line goes on: still a comment
        {"check <\\\n<END", false},
        {"check <<END", false},
        {"check ${X:-'", false},
        {"check |", false},  // the part name would be a command
        {"check ; ", false},
        {"check # note\n", false},
        {"  ", false},
        {"check >", false},  // or the file the program's output goes to
        {"!", false},                    // no command word: the part name is the command
        {"LANG=C", false},
        {">/var/log/check 2>&1", false},
        {"LANG=C /opt/site/check.sh --strict", true},
        {"LANG='C x'", false},           // a quoted value is not read, never guessed at
        {"! /opt/site/check.sh", true},  // the shell's own word, then a command
        {"'/opt/my site/check' --mode \"strict\"", true},
        {"\"$HOME/bin/check\" -q \\# x", true},
        {"check \\$'x' $(printf 'a(b)') ${X:-'y'} `date`", true},
        {"check 'it''s' # note\n  --strict", true},
        {"check \\| 2>&1", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.program);
        system.commands.clear();
        system.stdout_text.clear();
        system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = r.program;
        EXPECT_EQ(kx::run_additional_import_program("/in/a.prt"), r.runs ? 0 : kx::platform::not_started);
        EXPECT_EQ(system.commands.size(), r.runs ? 1u : 0u);
        EXPECT_EQ(system.stdout_text, r.runs ? "" : kx::msg::program_returned(r.program, -1, "/in/a.prt"));
    }

    // Through the real shell: a quote the program text left open would have
    // let the part name's line feeds end its argument.
    system.run_for_real = true;
    const std::string pwned = (dir / "pwned").string();
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = "echo '";
    const std::string part = "/in/a\ntouch " + pwned + "\nb.prt";
    EXPECT_EQ(kx::run_additional_import_program(part.c_str()), kx::platform::not_started);
    EXPECT_FALSE(fs::exists(pwned)) << "a part name ran a command of its own";
}


TEST_F(pre_import_checks, part_names_reach_both_programs_as_one_argument_and_run_nothing)
{
    install_pdm_root();
    const std::string program = install_site_program();
    system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map_file;
    system.env["KXPDM_PFM_ITEMID_PROPERTY"] = "PART_NUMBER";
    system.env["KXPDM_ADDITIONAL_IMPORT_PROGRAM"] = program;
    system.run_for_real = true;
    set_exit("check", 1);
    set_exit("site", 0);

    const std::string pwned = (dir / "pwned").string();
    const std::vector<std::string> names = {
        "a; touch " + pwned,
        "$(touch " + pwned + ")",
        "`touch " + pwned + "`",
        "x' ; touch " + pwned + " ; echo '",
        "\"quoted\" & touch " + pwned + " | cat > " + pwned,
        "it's  two  blanks.prt",
        "-n",
        "a\\b.prt",
        "a\ntouch " + pwned + "\nb.prt",
        "C:\\in\\sub dir\\",
        "a\"b ^\" c",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        add_part(name);
        fs::remove(dir / "check_args");
        fs::remove(dir / "site_args");

        EXPECT_EQ(map(name), (mapped{"M-4711", "MB"})) << "the check script saw the verdict 1";
        EXPECT_EQ(recorded_args("check"), "1\n[" + name + "]\n");
        EXPECT_EQ(kx::run_additional_import_program(name.c_str()), 0);
        EXPECT_EQ(recorded_args("site"), "1\n[" + name + "]\n");
        EXPECT_FALSE(fs::exists(pwned)) << "a part name ran a command of its own";
    }
    EXPECT_EQ(system.stdout_text, "");
}

}  // namespace
