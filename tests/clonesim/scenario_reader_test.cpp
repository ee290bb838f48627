// The scenario reader in process: a mistake anywhere in the file is refused
// with the path of its field, what is absent takes the simulated host's
// defaults, paths and bytes are read as the format says, and a scenario
// written back reads as the same scenario.
#include "host/host_codes.h"
#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using clonesim::load_scenario;
using clonesim::scenario;
using clonesim::scenario_error;

class scenario_reader : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::path(::testing::TempDir()) / "scenario-reader-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    fs::path write(const std::string& text, const std::string& name = "scenario.json") const
    {
        std::ofstream(folder_ / name, std::ios::binary) << text;
        return folder_ / name;
    }

    // The error of a scenario that has `members` besides a valid start.
    std::string error_of(const std::string& members) const
    {
        const fs::path file = write(R"({"operation": "import", "parts": [{"name": "/a.prt"}])" + members + "}");
        try {
            load_scenario(file);
        } catch (const scenario_error& e) {
            const std::string what = e.what();
            return what.substr(what.find(": ") + 2);
        }
        return "(read without error)";
    }

    fs::path folder_;
};

TEST_F(scenario_reader, refuses_a_mistake_with_the_path_of_its_field)
{
    struct refusal_case {
        const char* members;
        const char* error;
    };
    const refusal_case cases[] = {
        {R"(, "server": {"items": [{"item_id": "A1", "revisions": [{"rev_id": "A", "colour": 1}]}]})",
         "server.items[0].revisions[0].colour: unknown field; expected one of rev_id, native_file, release_status, "
         "released_date, context, design_log"},
        {R"(, "server": {"items": [{"item_id": "A1", "revisions": [{"rev_id": "A"}, {"rev_id": "A"}]}]})",
         "server.items[0].revisions[1].rev_id: the revision \"A\" is listed twice"},
        {R"(, "server": {"items": [{"item_id": "A1", "revisions": [{"rev_id": "A", "design_log": [["E=W", "1"]]}]}]})",
         "server.items[0].revisions[0].design_log[0][0]: expected a design log key such as \"EWO\" or \"DOCO1\" "
         "(no blanks, \"!\" or \"=\")"},
        {R"(, "env": {"A=B": "1"})", "env.A=B: expected a variable name without \"=\""},
        {R"(, "defaults": {"naming": "4"})", "defaults.naming: expected an integer, found a string"},
        {R"(, "host_callbacks": [{"point": 3}])", "host_callbacks[0].name: missing; expected a non-empty string"},
        {R"(, "part_files": [{"path": {"bytes": "\u0100"}}])",
         "part_files[0].path: expected one character per byte (U+0000 to U+00FF) in \"bytes\""},
        {R"(, "server": {"answers": [{"code": 30, "input": "A/B"}]})",
         "server.answers[0].status: missing; expected an integer"},
        {R"(, "commands": [{"program": "x", "arguments": ["a", 1], "exit": 0}])",
         "commands[0].arguments[1]: expected a string, found an integer"},
        {R"(, "files": [{"content": "x"}])", "files[0].path: missing; expected a non-empty string"},
        // A fault is made by the simulated host, which refuses a name that is
        // no host operation; the reader says where it was written.
        {R"(, "faults": [{"operation": "HOST_PART_save"}, {"operation": "HOST_PART_saveAs"}])",
         "faults[1].operation: expected the name of a host operation such as \"HOST_PART_save\", found "
         "\"HOST_PART_saveAs\""},
        {R"(, "faults": [{"operation": "HOST_free_string_array"}])",
         "faults[0].operation: \"HOST_free_string_array\" returns nothing and cannot fail"},
        {R"(, "faults": [{"operation": "HOST_PART_save", "status": 0}])", "faults[0].status: expected a non-zero status"},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.members);
        EXPECT_EQ(error_of(c.members), c.error);
    }
}

TEST_F(scenario_reader, what_is_absent_takes_the_simulated_hosts_defaults)
{
    const scenario s = load_scenario(write(R"({"operation": "export", "parts": [{"name": "@DB/A1/A"}]})"));
    const sim::session_settings host;
    EXPECT_EQ(s.operation_class, kx::class_export);
    EXPECT_EQ(s.def_action, host.def_action);
    EXPECT_EQ(s.def_naming, host.def_naming);
    EXPECT_FALSE(s.def_directory.has_value());
    ASSERT_EQ(s.parts.size(), 1u);
    EXPECT_EQ(s.parts[0].action, kx::action_use_default);
    EXPECT_EQ(s.parts[0].naming, kx::naming_use_default);
    EXPECT_TRUE(s.parts[0].file_exists);
    EXPECT_FALSE(s.exceptions.has_value()) << "no exception list unless the scenario gives one";
    EXPECT_FALSE(s.answers.has_value());
    EXPECT_FALSE(s.commands.has_value());
}

TEST_F(scenario_reader, reads_paths_bytes_and_exceptions_as_the_format_says)
{
    const scenario s = load_scenario(write(R"({
        "operation": 2,
        "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": "${SCENARIO_DIR}/site.map", "PDM_ROOT": null},
        "defaults": {"directory": "${SCENARIO_DIR}/out"},
        "parts": [{"name": {"bytes": "/x/caf\u00e9.prt"}, "attributes": [["TITLE", {"bytes": "\u00ff"}]]}],
        "server": {"exceptions": {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT": 999}}
    })"));
    const std::string dir = fs::absolute(folder_).lexically_normal().string();
    ASSERT_EQ(s.env.size(), 2u);
    EXPECT_EQ(s.env[0].value, dir + "/site.map");
    EXPECT_FALSE(s.env[1].value.has_value()) << "null unsets the variable";
    EXPECT_EQ(s.def_directory, dir + "/out");
    EXPECT_EQ(s.parts.at(0).name, "/x/caf\xE9.prt") << "one character per byte: the byte";
    EXPECT_EQ(s.parts.at(0).attributes.at(0).second, "\xFF");
    ASSERT_TRUE(s.exceptions.has_value());
    EXPECT_EQ(s.exceptions->at(0).second, "999");
}

TEST_F(scenario_reader, a_scenario_written_back_reads_as_the_same_scenario)
{
    const scenario first = load_scenario(write(R"({
        "description": "recorded",
        "operation": "clone", "dry_run": true,
        "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "check"},
        "defaults": {"action": 4, "naming": 3, "item_type": "Part", "pdm_name": null},
        "numbering": {"next_item_number": 17, "initial_revision": {"bytes": "\u00c4"}},
        "host_callbacks": [{"name": "HOST End Assy Load", "point": 3, "description": "d"}],
        "parts": [{"name": {"bytes": "/p\u00e4rt.prt"}, "file_exists": false, "state": 4, "output_name": "o",
                   "attributes": [["TITLE", "t"]]}],
        "part_files": [{"path": "/e/a.prt", "attributes": [["DESLOG1", "x"]], "family_instance": true}],
        "server": {"items": [{"item_id": "A1", "type": "Tool", "owner": "O"}],
                   "answers": [{"code": 30, "input": null, "status": 0, "reply": {"bytes": "\u00fe"}}]},
        "commands": [{"program": "", "arguments": ["/p.prt"], "exit": 1}],
        "files": [{"path": "/site.map", "content": null}]
    })"));
    const scenario again = load_scenario(write(clonesim::scenario_file_text(first), "again.json"));
    EXPECT_EQ(clonesim::scenario_file_text(again), clonesim::scenario_file_text(first));
    EXPECT_EQ(again.title, "recorded");
    EXPECT_TRUE(again.dry_run);
    EXPECT_EQ(again.def_action, 4);
    EXPECT_EQ(again.next_item_number, 17);
    EXPECT_EQ(again.initial_revision, "\xC4");
    EXPECT_EQ(again.parts.at(0).name, "/p\xE4rt.prt");
    EXPECT_EQ(again.parts.at(0).state, 4);
    EXPECT_FALSE(again.parts.at(0).file_exists);
    EXPECT_TRUE(again.part_files.at(0).full_path);
    EXPECT_EQ(again.items.at(0).item_type, "Tool");
    EXPECT_EQ(again.answers->at(0).reply, "\xFE");
    EXPECT_EQ(again.commands->at(0).exit, 1);
    EXPECT_FALSE(again.files.at(0).content.has_value());
}

}  // namespace
