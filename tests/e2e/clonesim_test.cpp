// clonesim end to end: the executable plays every example through the built
// shared library (loaded with dlopen) and its reports must match the expected
// ones exactly; malformed scenarios must stop before anything runs; an import
// followed by an export shares one item store; check-map explains mapping
// files line by line.
#include "clonesim_runner.h"
#include "session/messages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kxtest::read_file;
using kxtest::scratch;
using kxtest::write_file;
using result = kxtest::run_result;

result clonesim(const std::vector<std::string>& args, const fs::path& tmp) { return kxtest::run_clonesim(args, tmp); }

// The server's temporary directory differs from run to run.
std::string normalise(const std::string& report)
{
    static const std::regex temp_dir(R"([^\s"]*clonesim-[A-Za-z0-9]{6})");
    return std::regex_replace(report, temp_dir, "<tmp>");
}

const fs::path examples = fs::path(KX_SOURCE_DIR) / "examples";

// --- the examples ------------------------------------------------------------

struct example_case {
    const char* name;
    int exit_status;
};

class clonesim_example : public ::testing::TestWithParam<example_case> {};

TEST_P(clonesim_example, text_report_matches_the_expected_report)
{
    const example_case c = GetParam();
    scratch tmp;
    const result r = clonesim({"run", (examples / (std::string(c.name) + ".json")).string()}, tmp.path());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, c.exit_status);
    const std::string expected = read_file(examples / (std::string(c.name) + ".expected.txt"));
    ASSERT_FALSE(expected.empty()) << "no expected report for " << c.name;
    EXPECT_EQ(normalise(r.out), expected);
    // Every file the server wrote was deleted by the library, so clonesim
    // leaves nothing behind.
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST_P(clonesim_example, json_report_agrees_with_the_exit_status)
{
    const example_case c = GetParam();
    scratch tmp;
    const result r = clonesim({"run", "--json", (examples / (std::string(c.name) + ".json")).string()}, tmp.path());
    EXPECT_EQ(r.exit_status, c.exit_status);
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["exit_status"], c.exit_status);
    EXPECT_EQ(report["verdict"]["outcome"], c.exit_status == 0 ? "clean" : "refused");
    EXPECT_EQ(report["scenario"], std::string(c.name) + ".json");
}

INSTANTIATE_TEST_SUITE_P(examples, clonesim_example,
                         ::testing::Values(example_case{"import_mapped", 0}, example_case{"clone", 0},
                                           example_case{"export_design_log", 0},
                                           example_case{"export_tool_refused", 1}, example_case{"import_refused", 1},
                                           example_case{"edit", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(clonesim_json, import_report_matches_the_expected_json_report)
{
    scratch tmp;
    const result r = clonesim({"run", "--json", (examples / "import_mapped.json").string()}, tmp.path());
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const auto expected = nlohmann::json::parse(read_file(examples / "import_mapped.expected.json"));
    EXPECT_EQ(nlohmann::json::parse(normalise(r.out)), expected);
}

// --- malformed scenarios -----------------------------------------------------

struct malformed_case {
    const char* label;
    const char* scenario;
    const char* error;  // after "clonesim: FILE: "
};

class clonesim_malformed : public ::testing::TestWithParam<malformed_case> {};

TEST_P(clonesim_malformed, names_the_file_the_field_and_what_was_expected_and_runs_nothing)
{
    const malformed_case c = GetParam();
    scratch tmp;
    const fs::path file = tmp / "broken.json";
    write_file(file, c.scenario);
    const result r = clonesim({"run", file.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "clonesim: " + file.string() + ": " + c.error + "\n");
    // No server directory was made: the run stopped before the library was loaded.
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(tmp.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<fs::path>{"broken.json"});
}

// A file of the scenario that cannot be placed stops the run once its
// folders are made: they go with it.
TEST(clonesim_run, a_file_that_cannot_be_placed_stops_the_run_and_leaves_no_folder)
{
    scratch tmp;
    const fs::path file = tmp / "scene.json";
    write_file(file, R"({"operation": "import", "files": [{"path": "maps/", "content": "x"}],
                         "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]})");
    const result r = clonesim({"run", file.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(tmp.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<fs::path>{"scene.json"});
}

// Valid settings before the mistake, so the mistake is found wherever it is.
#define KX_ENV R"("env": {"PDM_ROOT": "/opt/pdm", "KXPDM_NO_SAVE_ON_CLONE_IMPORT": null})"

INSTANTIATE_TEST_SUITE_P(
    scenarios, clonesim_malformed,
    ::testing::Values(
        malformed_case{"top_level_array", "[1, 2]", "(top level): expected an object, found an array"},
        malformed_case{"missing_operation", "{" KX_ENV ", \"parts\": []}",
                       "operation: missing; expected \"clone\", \"edit\", \"import\", \"export\" or a class number"},
        malformed_case{"unknown_operation", "{\"operation\": \"copy\", " KX_ENV ", \"parts\": []}",
                       "operation: expected \"clone\", \"edit\", \"import\" or \"export\", found \"copy\""},
        malformed_case{"operation_of_wrong_type", "{\"operation\": true, \"parts\": []}",
                       "operation: expected \"clone\", \"edit\", \"import\", \"export\" or a class number, found a "
                       "boolean"},
        malformed_case{"missing_parts", "{\"operation\": \"import\", " KX_ENV "}",
                       "parts: missing; expected an array of parts"},
        malformed_case{"unknown_top_level_field", "{\"operation\": \"import\", " KX_ENV ", \"parts\": [], \"part\": 1}",
                       "part: unknown field; expected one of description, operation, dry_run, env, defaults, "
                       "numbering, host_callbacks, parts, part_files, server, commands, files, faults"},
        malformed_case{"state_as_text",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [{\"name\": \"/a.prt\"}, {\"name\": \"/b.prt\", \"state\": \"1\"}]}",
                       "parts[1].state: expected an integer, found a string"},
        malformed_case{"state_with_fraction",
                       "{\"operation\": \"import\", " KX_ENV ", \"parts\": [{\"name\": \"/a.prt\", \"state\": 1.5}]}",
                       "parts[0].state: expected an integer, found a number with a fraction"},
        malformed_case{"unknown_part_field",
                       "{\"operation\": \"import\", " KX_ENV ", \"parts\": [{\"name\": \"/a.prt\", \"colour\": 1}]}",
                       "parts[0].colour: unknown field; expected one of name, file_exists, state, action, naming, "
                       "output_name, item_type, pdm_name, pdm_desc, attributes"},
        malformed_case{"part_without_name", "{\"operation\": \"import\", " KX_ENV ", \"parts\": [{\"state\": 1}]}",
                       "parts[0].name: missing; expected a non-empty string"},
        malformed_case{"part_listed_twice",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [{\"name\": \"/a.prt\"}, {\"name\": \"/a.prt\"}]}",
                       "parts[1].name: the part \"/a.prt\" is listed twice"},
        malformed_case{"attribute_of_three",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [{\"name\": \"/a.prt\", \"attributes\": [[\"A\", \"1\"], [\"B\", \"2\", \"3\"]]}]}",
                       "parts[0].attributes[1]: expected a [title, value] pair, found an array of 3 elements"},
        malformed_case{"attribute_value_number",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [{\"name\": \"/a.prt\", \"attributes\": [[\"A\", 1]]}]}",
                       "parts[0].attributes[0][1]: expected a string, found an integer"},
        malformed_case{"env_value_number", "{\"operation\": \"import\", \"env\": {\"PDM_ROOT\": 5}, \"parts\": []}",
                       "env.PDM_ROOT: expected a string or null, found an integer"},
        malformed_case{"defaults_not_object", "{\"operation\": \"import\", " KX_ENV ", \"defaults\": [], \"parts\": []}",
                       "defaults: expected an object, found an array"},
        malformed_case{"revision_without_id",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [], \"server\": {\"items\": [{\"item_id\": \"A1\", \"revisions\": [{}]}]}}",
                       "server.items[0].revisions[0].rev_id: missing; expected a non-empty string"},
        malformed_case{"item_id_with_slash",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [], \"server\": {\"items\": [{\"item_id\": \"A/1\"}]}}",
                       "server.items[0].item_id: expected an item ID without \"/\" or \"#\""},
        malformed_case{"exception_value_with_question_mark",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [], \"server\": {\"exceptions\": {\"KXPDM_AUTO_PUBLISH_AFTER_IMPORT\": \"1?2\"}}}",
                       "server.exceptions.KXPDM_AUTO_PUBLISH_AFTER_IMPORT: expected a non-empty value without \"?\""},
        malformed_case{"reply_without_status",
                       "{\"operation\": \"import\", " KX_ENV ", \"parts\": [], \"server\": {\"replies\": [{\"code\": 24}]}}",
                       "server.replies[0].status: missing; expected an integer"},
        malformed_case{"fault_not_a_host_operation",
                       "{\"operation\": \"import\", " KX_ENV ", \"parts\": [], \"faults\": [{\"operation\": \"PART_save\"}]}",
                       "faults[0].operation: expected the name of a host operation such as \"HOST_PART_save\", "
                       "found \"PART_save\""},
        malformed_case{"fault_operation_misspelt",
                       "{\"operation\": \"import\", " KX_ENV ", \"parts\": [], \"faults\": [{\"operation\": \"HOST_PART_sav\"}]}",
                       "faults[0].operation: expected the name of a host operation such as \"HOST_PART_save\", "
                       "found \"HOST_PART_sav\""},
        malformed_case{"fault_on_a_release",
                       "{\"operation\": \"import\", " KX_ENV ", \"parts\": [], \"faults\": [{\"operation\": \"HOST_free\"}]}",
                       "faults[0].operation: \"HOST_free\" returns nothing and cannot fail"},
        malformed_case{"reply_for_an_unknown_request",
                       "{\"operation\": \"import\", " KX_ENV
                       ", \"parts\": [], \"server\": {\"replies\": [{\"code\": 29, \"status\": 1}]}}",
                       "server.replies[0].code: expected the code of a request the library sends (18, 20, 21, 23, "
                       "24, 25, 26, 27, 28, 30, 31, 34, 35, 36), found 29"},
        malformed_case{"unknown_operation_class", "{\"operation\": 4, " KX_ENV ", \"parts\": []}",
                       "operation: expected an integer from 0 to 3, found 4"},
        malformed_case{"numbers_beyond_six_digits",
                       "{\"operation\": \"import\", " KX_ENV ", \"numbering\": {\"next_item_number\": 999999}, "
                       "\"parts\": [{\"name\": \"/a.prt\"}, {\"name\": \"/b.prt\"}]}",
                       "numbering.next_item_number: the 2 parts may need item numbers up to 1000000, beyond the "
                       "host's six digits (at most 999999)"},
        malformed_case{"part_file_with_name_and_path",
                       "{\"operation\": \"export\", " KX_ENV
                       ", \"parts\": [], \"part_files\": [{\"name\": \"a.prt\", \"path\": \"/x/a.prt\"}]}",
                       "part_files[0]: expected exactly one of \"name\" (relative to the export directory) or \"path\""},
        malformed_case{"too_many_host_callbacks",
                       "{\"operation\": \"export\", " KX_ENV ", \"parts\": [], \"host_callbacks\": ["
                       "{\"name\": \"a\", \"point\": 3}, {\"name\": \"b\", \"point\": 3}, {\"name\": \"c\", \"point\": 3},"
                       "{\"name\": \"d\", \"point\": 3}, {\"name\": \"e\", \"point\": 3}, {\"name\": \"f\", \"point\": 3},"
                       "{\"name\": \"g\", \"point\": 3}, {\"name\": \"h\", \"point\": 3}, {\"name\": \"i\", \"point\": 3}]}",
                       "host_callbacks: expected at most 8 callbacks, found 9"},
        malformed_case{"not_json", "{\"operation\": \"import\",\n  \"parts\": [}",
                       "line 2, column 13: not valid JSON: syntax error while parsing value - unexpected '}'; "
                       "expected '[', '{', or a literal"}),
    [](const auto& info) { return std::string(info.param.label); });

// A site program that marks the directory when it runs: with a mistake at the
// end of the file it must not run; without it, it does.
TEST(clonesim_malformed_file, a_mistake_at_the_end_stops_the_site_program_at_the_start)
{
    const std::string valid = R"({
      "operation": "import",
      "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "touch ran; true"},
      "defaults": {"item_type": "Part"},
      "parts": [{"name": "/in/a.prt"}])";
    scratch tmp;
    write_file(tmp / "broken.json", valid + R"(, "faults": [{"operation": "HOST_PART_save", "nth": 0}]})");
    const result broken = clonesim({"run", (tmp / "broken.json").string()}, tmp.path());
    EXPECT_EQ(broken.exit_status, 2);
    EXPECT_EQ(broken.err, "clonesim: " + (tmp / "broken.json").string() +
                              ": faults[0].nth: expected an integer from 1 to 2147483647, found 0\n");
    EXPECT_FALSE(fs::exists(tmp / "ran"));

    write_file(tmp / "valid.json", valid + "}");
    const result ran = clonesim({"run", (tmp / "valid.json").string()}, tmp.path());
    EXPECT_EQ(ran.exit_status, 0) << ran.out << ran.err;
    EXPECT_TRUE(fs::exists(tmp / "ran"));
}

TEST(clonesim_malformed_file, a_missing_scenario_file_or_a_directory_is_a_usage_error)
{
    scratch tmp;
    const fs::path file = tmp / "absent.json";
    const result r = clonesim({"run", file.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, "clonesim: " + file.string() + ": cannot be read: No such file or directory\n");
    fs::create_directories(tmp / "dir.json");
    const result dir = clonesim({"run", (tmp / "dir.json").string()}, tmp.path());
    EXPECT_EQ(dir.exit_status, 2);
    EXPECT_EQ(dir.err, "clonesim: " + (tmp / "dir.json").string() + ": is a directory, expected a scenario file\n");
}

// --- the command line ----------------------------------------------------------

TEST(clonesim_command_line, help_exits_zero_and_a_missing_subcommand_is_a_usage_error)
{
    scratch tmp;
    const result help = clonesim({"run", "--help"}, tmp.path());
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("--db"), std::string::npos);
    const result check_help = clonesim({"check-map", "--help"}, tmp.path());
    EXPECT_EQ(check_help.exit_status, 0);
    EXPECT_EQ(clonesim({}, tmp.path()).exit_status, 2);
    EXPECT_EQ(clonesim({"run"}, tmp.path()).exit_status, 2);
    EXPECT_EQ(clonesim({"run", "x.json", "--no-such-option"}, tmp.path()).exit_status, 2);
    const result unknown = clonesim({"rnu", "x.json"}, tmp.path());
    EXPECT_EQ(unknown.exit_status, 2);
    EXPECT_EQ(unknown.err.rfind("clonesim: unknown command \"rnu\"", 0), 0u) << unknown.err;
    const result json_to_file = clonesim({"run", "x.json", "--json", "out.json"}, tmp.path());
    EXPECT_EQ(json_to_file.exit_status, 2);
    EXPECT_NE(json_to_file.err.find("give --json-file FILE"), std::string::npos) << json_to_file.err;
    EXPECT_NE(help.out.find("Exit status: 0 the session went through with no error finding"), std::string::npos);
    EXPECT_NE(help.out.find("--strict"), std::string::npos);
    const result version = clonesim({"--version"}, tmp.path());
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out.rfind("clonesim ", 0), 0u) << version.out;
}

TEST(clonesim_command_line, a_library_that_cannot_be_loaded_is_a_usage_error)
{
    scratch tmp;
    const fs::path missing = tmp / "libnothing.so";
    const result r = clonesim({"run", (examples / "clone.json").string(), "--library", missing.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("clonesim: cannot load " + missing.string() + ": ", 0), 0u) << r.err;
}

// --- an import followed by an export on one item store -----------------------

constexpr const char* import_scenario = R"({
  "operation": "import",
  "defaults": {"item_type": "Part"},
  "parts": [
    {"name": "/in/flange.prt", "attributes": [["DB_PART_NO", "FL-10"], ["DB_PART_NAME", "Flange"]]},
    {"name": "/in/gasket.prt"}
  ],
  "server": {"exceptions": {"KXPDM_IMPORT_FILL_ORIGINAL_FILENAME": "1"}}
})";

constexpr const char* export_scenario = R"({
  "operation": "export",
  "defaults": {"directory": "/export"},
  "parts": [{"name": "@DB/FL-10/A"}, {"name": "@DB/000001/A"}]
})";

std::vector<std::string> requests_of(const nlohmann::json& report, int code)
{
    std::vector<std::string> texts;
    for (const auto& request : report["requests"]) {
        if (request["code"] != code) continue;
        texts.push_back(request["input"].dump() + " -> " + std::to_string(request["status"].get<int>()) + " " +
                        request["reply"].dump());
    }
    return texts;
}

TEST(clonesim_item_store, an_export_finds_the_items_and_native_file_names_of_an_earlier_import)
{
    scratch tmp;
    const fs::path db = tmp / "items.db";
    write_file(tmp / "import.json", import_scenario);
    write_file(tmp / "export.json", export_scenario);

    const result imported = clonesim({"run", "--json", "--db", db.string(), (tmp / "import.json").string()}, tmp.path());
    ASSERT_EQ(imported.exit_status, 0) << imported.out << imported.err;
    EXPECT_EQ(requests_of(nlohmann::json::parse(imported.out), 25),
              (std::vector<std::string>{R"("FL-10#A#flange.prt" -> 0 null)", R"("000001#A#gasket.prt" -> 0 null)"}));

    const result exported = clonesim({"run", "--json", "--db", db.string(), (tmp / "export.json").string()}, tmp.path());
    ASSERT_EQ(exported.exit_status, 0) << exported.out << exported.err;
    const auto report = nlohmann::json::parse(exported.out);
    EXPECT_EQ(requests_of(report, 18), (std::vector<std::string>{R"("@DB/FL-10/A" -> 0 "flange.prt")",
                                                                  R"("@DB/000001/A" -> 0 "gasket.prt")"}));
    EXPECT_EQ(report["parts"][0]["exported_as"], "flange.prt");
    EXPECT_EQ(report["parts"][0]["pdm_name"], "Flange");
    EXPECT_EQ(report["parts"][1]["exported_as"], "gasket.prt");

    // The host's numbering goes on where the first import stopped.
    const result again = clonesim({"run", "--json", "--db", db.string(), (tmp / "import.json").string()}, tmp.path());
    ASSERT_EQ(again.exit_status, 0) << again.err;
    EXPECT_EQ(nlohmann::json::parse(again.out)["parts"][1]["database_name"], "@DB/000002/A");
}

TEST(clonesim_item_store, without_the_store_the_same_export_is_refused)
{
    scratch tmp;
    write_file(tmp / "export.json", export_scenario);
    const result r = clonesim({"run", (tmp / "export.json").string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("verdict: export refused at the translation of \"@DB/FL-10/A\" (status 3): \"Error in "
                         "Generating the Export Filename\"; parts: 0 exported, 1 refused, 1 not reached"),
              std::string::npos)
        << r.out;
}

// --- scripted replies, faults and dry runs --------------------------------------

struct feature_case {
    const char* label;
    const char* scenario;
    int exit_status;
    const char* verdict;
    const char* also;  // another line the report must hold, or ""
};

class clonesim_feature : public ::testing::TestWithParam<feature_case> {};

TEST_P(clonesim_feature, the_scenario_shapes_the_session)
{
    const feature_case c = GetParam();
    scratch tmp;
    write_file(tmp / "scenario.json", c.scenario);
    const result r = clonesim({"run", (tmp / "scenario.json").string()}, tmp.path());
    const std::string report = normalise(r.out);
    EXPECT_EQ(r.exit_status, c.exit_status) << report << r.err;
    // The verdict goes on with the counts of parts and findings.
    EXPECT_NE(report.find(std::string("\nverdict: ") + c.verdict), std::string::npos) << report;
    if (*c.also != '\0') {
        EXPECT_NE(report.find(c.also), std::string::npos) << report;
    }
}

INSTANTIATE_TEST_SUITE_P(
    scenarios, clonesim_feature,
    ::testing::Values(
        feature_case{"scripted_end_import_failure",
                     R"({"operation": "import", "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}],
                         "server": {"replies": [{"code": 24, "status": 7, "reply": "Server is shutting down"}]}})",
                     1, "import refused at Exit_Clone (result 3): \"Server is shutting down\"",
                     "  24 end_import (no input) -> status 7, reply \"Server is shutting down\" [refused by the server]\n"},
        feature_case{"scripted_begin_import_failure_without_text",
                     R"({"operation": "import", "parts": [{"name": "/in/a.prt"}],
                         "server": {"replies": [{"code": 23, "status": 12}]}})",
                     1, "import refused at Init_Clone: \"host status 12\"", "    not translated"},
        feature_case{"failed_import_save_is_shown",
                     R"({"operation": "import", "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}],
                         "faults": [{"operation": "HOST_PART_save", "status": 5}]})",
                     1, "import ran to its end with 1 error finding; parts: 1 translated, 0 refused; findings: 1 error,",
                     "part file @DB/000001/A: saved 0 times, 1 save failed\n"},
        feature_case{"failed_export_save_keeps_the_part_open_and_the_mapping_file",
                     R"({"operation": "export", "defaults": {"directory": "/exp"}, "parts": [{"name": "@DB/A1/B"}],
                         "server": {"items": [{"item_id": "A1", "revisions": [{"rev_id": "B"}]}]},
                         "faults": [{"operation": "HOST_PART_save", "status": 5}]})",
                     1, "export ran to its end with 1 error finding; parts: 1 exported, 0 refused; findings: 1 error, 2 warnings",
                     "part file /exp/A1_B.prt: saved 0 times, 1 save failed, left open\n"
                     "    DESLOG1 = \" \"\n"
                     "    RELATION = \"master\"\n"
                     "    DB_PART_REV = \"B\"\n"
                     "    KXPDM_EXPORTED = \"TRUE\"\n"
                     "  mapping file <tmp>/export_1.map: written by the server, kept\n"},
        feature_case{"dry_run_creates_nothing",
                     R"({"operation": "import", "dry_run": true, "defaults": {"item_type": "Part"},
                         "parts": [{"name": "/in/a.prt"}]})",
                     0, "import went through (dry run); parts: 1 translated, 0 refused; findings: 0 errors",
                     "PDM database\n  (no change)\n"},
        feature_case{"failed_publishing_is_a_listing_message",
                     R"({"operation": "import", "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}],
                         "server": {"exceptions": {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT": "1"},
                                    "replies": [{"code": 27, "status": 3, "reply": "Publishing is off"}]}})",
                     1, "import ran to its end with 1 error finding; parts: 1 translated, 0 refused; findings: 1 error, 0 warnings",
                     "\"; then the library sent 24 end_import\n"},
        feature_case{"refused_at_begin_perform_nothing_is_imported",
                     R"({"operation": "import", "defaults": {"item_type": "Part"},
                         "parts": [{"name": "/in/a.prt", "attributes": [["CONTEXT", "ENG"]]}, {"name": "/in/b.prt"}],
                         "server": {"replies": [{"code": 28, "status": 2, "reply": "No new items today"}]}})",
                     1, "import refused at Begin_Perform: \"No new items today\"; parts: 2 translated, then not imported, 0 refused",
                     "    in the end      translated, then not imported: the session was refused at Begin_Perform\n"},
        feature_case{"item_type_document_refused",
                     R"({"operation": "import", "defaults": {"item_type": "Document"}, "parts": [{"name": "/in/a.prt"}]})",
                     1,
                     "import refused at the translation of \"/in/a.prt\" (status 3): \"Cannot create Item of Type Item "
                     "or Document...\"",
                     ""}),
    [](const auto& info) { return std::string(info.param.label); });

// --- findings --------------------------------------------------------------------

// The site's mapping file of the findings scenarios.
constexpr const char* site_map = "DB_PART_NO = NO\nDB_PART_REV = REV\nDB_PART_NAME = TITLE\nDB_PART_DESC = DESC\n";

#define KX_MAPPED R"("operation": "import", "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": "site.map"}, "defaults": {"item_type": "Part"})"

struct finding_case {
    const char* label;
    const char* scenario;
    bool strict;
    int exit_status;
    const char* severity;
    const char* kind;
    const char* line;  // the finding's line in the text report
};

class clonesim_finding : public ::testing::TestWithParam<finding_case> {};

TEST_P(clonesim_finding, is_reported_with_its_severity_and_sets_the_exit_status)
{
    const finding_case c = GetParam();
    scratch tmp;
    write_file(tmp / "site.map", site_map);
    write_file(tmp / "scenario.json", c.scenario);
    std::vector<std::string> args{"run", (tmp / "scenario.json").string()};
    if (c.strict) args.push_back("--strict");
    const result text = clonesim(args, tmp.path());
    EXPECT_EQ(text.exit_status, c.exit_status) << text.out << text.err;
    // Findings come before the details.
    const std::string summary = text.out.substr(0, text.out.find("\nparts\n"));
    EXPECT_NE(summary.find(std::string("\n  ") + c.line), std::string::npos) << text.out;

    args.push_back("--json");
    const result as_json = clonesim(args, tmp.path());
    EXPECT_EQ(as_json.exit_status, c.exit_status);
    const auto report = nlohmann::json::parse(as_json.out);
    EXPECT_EQ(report["exit_status"], c.exit_status);
    bool listed = false;
    for (const auto& f : report["findings"]) listed = listed || (f["kind"] == c.kind && f["severity"] == c.severity);
    EXPECT_TRUE(listed) << report["findings"].dump(2);
}

INSTANTIATE_TEST_SUITE_P(
    scenarios, clonesim_finding,
    ::testing::Values(
        finding_case{"published_after_its_save_failed",
                     R"({"operation": "import", "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}],
                         "server": {"exceptions": {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT": "1"}},
                         "faults": [{"operation": "HOST_PART_save", "status": 5}]})",
                     false, 1, "error", "completed_after_failed_save",
                     "error    /in/a.prt: part file @DB/000001/A: saved 0 times, 1 save failed; then 000001 was published "
                     "all the same\n"},
        finding_case{"released_item_renamed",
                     "{" KX_MAPPED R"(, "parts": [{"name": "/in/x.prt",
                         "attributes": [["NO", "X1"], ["REV", "B"], ["TITLE", "New name"], ["DESC", "New desc"]]}],
                         "server": {"items": [{"item_id": "X1", "name": "Old name", "description": "Old desc",
                                               "revisions": [{"rev_id": "A", "release_status": "Released"}]}]}})",
                     false, 1, "error", "released_item_changed",
                     "error    /in/x.prt: existing item X1: name \"Old name\" becomes \"New name\", description "
                     "\"Old desc\" becomes \"New desc\" (the item has a released revision)\n"},
        finding_case{"existing_item_renamed",
                     "{" KX_MAPPED R"(, "parts": [{"name": "/in/x.prt",
                         "attributes": [["NO", "X1"], ["REV", "B"], ["TITLE", "Old name"], ["DESC", "New desc"]]}],
                         "server": {"items": [{"item_id": "X1", "name": "Old name", "description": "Old desc"}]}})",
                     false, 0, "warning", "existing_item_changed",
                     "warning  /in/x.prt: existing item X1: description \"Old desc\" becomes \"New desc\""},
        finding_case{"existing_item_renamed_strict",
                     "{" KX_MAPPED R"(, "parts": [{"name": "/in/x.prt",
                         "attributes": [["NO", "X1"], ["REV", "B"], ["DESC", "New desc"]]}],
                         "server": {"items": [{"item_id": "X1", "type": "Tool", "name": "X1", "description": "Old desc"}]}})",
                     true, 1, "warning", "existing_item_changed",
                     "warning  /in/x.prt: existing item X1: description \"Old desc\" becomes \"New desc\""},
        finding_case{"mapping_file_unreadable",
                     R"({"operation": "import", "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": "maps/absent.map"},
                         "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]})",
                     false, 0, "warning", "mapping_file_unreadable",
                     "warning  KXPDM_IMPORT_ATTR_MAP_FILE names \"maps/absent.map\", which cannot be read (No such "
                     "file or directory): no attribute of any part is mapped; the library printed \"ERROR: Opening "
                     "mapping file [maps/absent.map]\"\n"},
        finding_case{"drawing_and_model_disagree",
                     "{" KX_MAPPED R"(, "parts": [
                         {"name": "/in/d1_dwg.prt", "attributes": [["NO", "D1"], ["REV", "A"], ["TITLE", "Drawing"]]},
                         {"name": "/in/d1.prt", "attributes": [["NO", "D1"], ["REV", "A"],
                                                              ["TITLE", "Model name that has 33 characters"]]}]})",
                     false, 0, "warning", "names_disagree",
                     "warning  /in/d1.prt: D1/A gets the PDM name \"Model name that has 33 characters\" from this part "
                     "and \"Drawing\" from /in/d1_dwg.prt"},
        finding_case{"stored_cut",
                     "{" KX_MAPPED R"(, "parts": [{"name": "/in/d1.prt", "attributes": [["NO", "D1"], ["REV", "A"],
                                                              ["TITLE", "Model name that has 33 characters"]]}]})",
                     false, 0, "warning", "stored_cut",
                     "warning  /in/d1.prt: PDM name stored cut at 32 of its 33 bytes: \"Model name that has 33 "
                     "character\""},
        finding_case{"name_holding_the_request_separator",
                     "{" KX_MAPPED R"(, "parts": [{"name": "/in/a.prt",
                         "attributes": [["NO", "A1"], ["TITLE", "Left ~~ right"]]}]})",
                     false, 0, "warning", "separator_in_field",
                     "warning  /in/a.prt: the PDM name \"Left ~~ right\" holds \"~~\", which separates the fields of "
                     "set_name_description: the name and description were not sent; the user saw in the listing window "
                     "\"\\n"},
        finding_case{"name_ending_in_the_separators_half",
                     "{" KX_MAPPED R"(, "parts": [{"name": "/in/a.prt",
                         "attributes": [["NO", "A1"], ["TITLE", "Left~"]]}]})",
                     false, 0, "warning", "separator_in_field",
                     "warning  /in/a.prt: the PDM name \"Left~\" ends with \"~\", which separates the fields of "
                     "set_name_description"},
        finding_case{"request_refused_and_what_came_next",
                     R"({"operation": "import", "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}],
                         "server": {"exceptions": {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT": "1"},
                                    "replies": [{"code": 27, "status": 3, "reply": "Publishing is off"}]}})",
                     false, 1, "error", "request_refused",
                     "error    the server refused auto_publish \"000001\" (status 3: \"Publishing is off\"); the user "
                     "saw in the listing window \"\\n"},
        finding_case{"refused_without_a_message",
                     R"({"operation": "import", "defaults": {"item_type": "Part"},
                         "parts": [{"name": "/in/a_name_longer_than_thirty_one_characters.prt", "file_exists": false},
                                   {"name": "/in/b.prt"}]})",
                     false, 1, "error", "refused_without_message",
                     "error    /in/a_name_longer_than_thirty_one_characters.prt: refused (status 5) with no message "
                     "shown; the session stopped at this part's translation, 1 part not reached"},
        finding_case{"empty_assembly", R"({"operation": "import", "parts": []})", false, 0, "warning",
                     "empty_assembly", "warning  the session has no parts"},
        finding_case{"empty_assembly_strict", R"({"operation": "import", "parts": []})", true, 1, "warning",
                     "empty_assembly", "warning  the session has no parts"},
        finding_case{"site_program_not_found",
                     R"({"operation": "import", "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "no_such_site_program"},
                         "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]})",
                     false, 1, "error", "site_program_not_run",
                     "error    /in/a.prt: the additional import program could not be run (exit 127, which the shell "
                     "gives for a command not found): \"no_such_site_program\" \"/in/a.prt\"; its error output: "
                     "\"sh: 1: no_such_site_program: not found\"; the library printed \"no_such_site_program "},
        finding_case{"site_program_that_ran_and_gave_127",
                     R"({"operation": "import", "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "sh -c 'exit 127'"},
                         "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]})",
                     false, 1, "error", "site_program_not_run",
                     "error    /in/a.prt: the additional import program could not be run (exit 127, which the shell "
                     "gives for a command not found): \"sh\" \"-c\" \"exit 127\" \"/in/a.prt\"; the library printed"},
        finding_case{"mapping_file_a_folder",
                     R"({"operation": "import", "env": {"KXPDM_IMPORT_ATTR_MAP_FILE": "."},
                         "defaults": {"item_type": "Part"}, "parts": [{"name": "/in/a.prt"}]})",
                     false, 0, "warning", "mapping_file_unreadable",
                     "warning  KXPDM_IMPORT_ATTR_MAP_FILE names \".\", which cannot be read (it is a folder)"}),
    [](const auto& info) { return std::string(info.param.label); });

// Only a name close to one the library reads, under one of its prefixes, is
// taken for a slip; the name the library reads is named.
TEST(clonesim_findings, a_variable_close_to_one_the_library_reads_names_it)
{
    scratch tmp;
    write_file(tmp / "scenario.json", R"({"operation": "import", "defaults": {"item_type": "Part"},
        "parts": [{"name": "/in/a.prt"}],
        "env": {"KXPDM_IMPORT_ATTR_MAPFILE": "x.map", "kxpdm_pfm_itemid_property": "1", "PDM_ROOTS": "/opt",
                "USER_NAME_DONT_OVERWRITE_NAME": "1", "KXPDM_SITE_COLOUR": "blue", "MY_PDM_ROOT": "/opt",
                "PDM_ROOT": "/opt", "KXPDM_TRACE_DIRS": null, "pdm_rot": "/opt", "kxpdm_trace_dri": null,
                "Kxpdm_Import_Attr_Map_Fil": null}})");
    const result r = clonesim({"run", "--json", (tmp / "scenario.json").string()}, tmp.path());
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const auto report = nlohmann::json::parse(r.out);
    std::vector<std::string> named;
    for (const auto& f : report["findings"])
        if (f["kind"] == "misspelt_variable") named.push_back(f["text"]);
    const std::vector<std::string> expected = {
        "KXPDM_IMPORT_ATTR_MAPFILE is not a variable the library reads; did you mean KXPDM_IMPORT_ATTR_MAP_FILE? "
        "(the scenario leaves it unset)",
        "kxpdm_pfm_itemid_property is not a variable the library reads; did you mean KXPDM_PFM_ITEMID_PROPERTY? "
        "(the scenario leaves it unset)",
        "PDM_ROOTS is not a variable the library reads; did you mean PDM_ROOT?",
        "KXPDM_TRACE_DIRS is not a variable the library reads; did you mean KXPDM_TRACE_DIR? (the scenario leaves it "
        "unset)",
        "pdm_rot is not a variable the library reads; did you mean PDM_ROOT?",
        "kxpdm_trace_dri is not a variable the library reads; did you mean KXPDM_TRACE_DIR? (the scenario leaves it "
        "unset)",
        "Kxpdm_Import_Attr_Map_Fil is not a variable the library reads; did you mean KXPDM_IMPORT_ATTR_MAP_FILE? (the "
        "scenario leaves it unset)"};
    std::vector<std::string> sorted_named = named, sorted_expected = expected;
    std::sort(sorted_named.begin(), sorted_named.end());
    std::sort(sorted_expected.begin(), sorted_expected.end());
    EXPECT_EQ(sorted_named, sorted_expected);
}

TEST(clonesim_findings, the_site_programs_run_with_the_arguments_the_library_gave)
{
    scratch tmp;
    write_file(tmp / "check.sh", "#!/bin/sh\nexit 0\n");
    write_file(tmp / "scenario.json", R"({"operation": "import", "defaults": {"item_type": "Part"},
        "env": {"KXPDM_ADDITIONAL_IMPORT_PROGRAM": "sh check.sh --strict"},
        "parts": [{"name": "/in/it's a.prt"}, {"name": "/in/b.prt"}]})");
    const result r = clonesim({"run", "--json", (tmp / "scenario.json").string()}, tmp.path());
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const auto runs = nlohmann::json::parse(r.out)["site_programs"];
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0]["arguments"], (std::vector<std::string>{"sh", "check.sh", "--strict", "/in/it's a.prt"}));
    EXPECT_EQ(runs[1]["exit_status"], 0);
}

// A name cut at 32 bytes splits its last character: the reports still come
// out, the text one shows the byte escaped and the JSON one keeps it
// reversibly.
TEST(clonesim_findings, a_text_cut_inside_a_character_is_reported)
{
    scratch tmp;
    write_file(tmp / "site.map", site_map);
    const std::string name = std::string(31, 'A') + "\xc3\xa9";
    write_file(tmp / "scenario.json", "{" KX_MAPPED ", \"parts\": [{\"name\": \"/in/a.prt\", \"attributes\": "
                                      "[[\"NO\", \"A1\"], [\"TITLE\", \"" + name + "\"]]}]}");
    const result text = clonesim({"run", (tmp / "scenario.json").string()}, tmp.path());
    EXPECT_EQ(text.exit_status, 0) << text.err;
    EXPECT_NE(text.out.find("named A1/A: \"" + std::string(31, 'A') + "\\xc3\", \"A1\""), std::string::npos)
        << text.out;

    const result as_json = clonesim({"run", "--json", (tmp / "scenario.json").string()}, tmp.path());
    ASSERT_EQ(as_json.exit_status, 0) << as_json.err;
    const auto report = nlohmann::json::parse(as_json.out);
    const std::string stored = report["parts"][0]["stored_name"];
    // U+10FF00 + 0xC3 in UTF-8.
    EXPECT_EQ(stored, std::string(31, 'A') + "\xf4\x8f\xbf\x83");
}

TEST(clonesim_findings, one_part_and_the_findings_alone)
{
    scratch tmp;
    const fs::path scenario = examples / "import_mapped.json";
    const result one = clonesim({"run", "--part", "/data/incoming/bracket_plate.prt", scenario.string()}, tmp.path());
    EXPECT_EQ(one.exit_status, 0) << one.err;
    EXPECT_NE(one.out.find("  34 set_name_description \"D-4712~~A~~Bracket plate~~D-4712\""), std::string::npos);
    EXPECT_EQ(one.out.find("D-4711~~B"), std::string::npos) << one.out;
    EXPECT_EQ(one.out.find("bracket_assy"), std::string::npos) << one.out;

    const result unknown = clonesim({"run", "--part", "/nowhere.prt", scenario.string()}, tmp.path());
    EXPECT_EQ(unknown.exit_status, 2);
    EXPECT_EQ(unknown.err, "clonesim: --part: the scenario has no part named \"/nowhere.prt\"\n");

    const result findings = clonesim({"run", "--findings-only", scenario.string()}, tmp.path());
    EXPECT_EQ(findings.exit_status, 0);
    EXPECT_EQ(findings.out.find("\nparts\n"), std::string::npos);
    EXPECT_NE(findings.out.find("\nfindings\n  note     the host handed out numbers 000001 and 000002 that no part "
                                "took\n"),
              std::string::npos)
        << findings.out;
}

// A mapping-file finding is one line of the file to mend: however many,
// the text report folds none of them.
TEST(clonesim_findings, mapping_file_lines_are_never_folded)
{
    scratch tmp;
    const result r =
        clonesim({"run", "--findings-only", (examples / "guide" / "misleading_map.json").string()}, tmp.path());
    EXPECT_NE(r.out.find("  warning  mapping file misleading.map line 13: not read: the library stops after the 10th "
                         "entry\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("more of the kind"), std::string::npos) << r.out;
}

// A scenario written from a trace places the session's files in a folder of
// the run's own; a finding names them as the session did.
TEST(clonesim_findings, a_file_of_a_scenario_from_a_trace_goes_by_the_sessions_name)
{
    scratch tmp;
    const std::string recorded = (examples / "guide" / "unreadable_map.json").string();
    ASSERT_EQ(clonesim({"run", "--record", (tmp / "traces").string(), recorded}, tmp.path()).exit_status, 0);
    fs::path trace;
    for (const auto& entry : fs::directory_iterator(tmp / "traces")) trace = entry.path();
    const std::string scenario = (tmp / "s.json").string();
    ASSERT_EQ(clonesim({"scenario", "--from-trace", trace.string(), "-o", scenario}, tmp.path()).exit_status, 0);
    const result r = clonesim({"run", "--findings-only", scenario}, tmp.path());
    EXPECT_NE(r.out.find("KXPDM_IMPORT_ATTR_MAP_FILE names \"missing.map\", which cannot be read (No such file or "
                         "directory): no attribute of any part is mapped; the library printed \"ERROR: Opening mapping "
                         "file [missing.map]\"\n"),
              std::string::npos)
        << r.out;
}

// The README quotes the start and the end of an example's report as it is.
TEST(clonesim_readme, quotes_the_example_report_as_it_is)
{
    const std::string readme = read_file(fs::path(KX_SOURCE_DIR) / "README.md");
    const std::string opening = "```text\nclonesim report: import_mapped.json";
    const std::size_t start = readme.find(opening);
    ASSERT_NE(start, std::string::npos);
    const std::string quoted = readme.substr(start + 8, readme.find("```", start + 8) - start - 8);
    const std::string expected = read_file(examples / "import_mapped.expected.txt");
    // The quote leaves out the middle, where its "  ... (" line stands.
    const std::size_t gap = quoted.find("  ... (");
    ASSERT_NE(gap, std::string::npos);
    EXPECT_EQ(expected.substr(0, gap), quoted.substr(0, gap));
    const std::size_t last = quoted.rfind("\nverdict: ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(expected.substr(expected.rfind("\nverdict: ")), quoted.substr(last));
}

// A large session's report stays readable: long lists and texts are folded
// in the text report and whole in the JSON one.
TEST(clonesim_findings, long_lists_and_texts_are_folded)
{
    scratch tmp;
    std::string parts;
    for (int i = 1; i <= 70; ++i) parts += std::string(i == 1 ? "" : ", ") + "{\"name\": \"/in/p" + std::to_string(i) + ".prt\"}";
    write_file(tmp / "scenario.json", R"({"operation": "import", "defaults": {"item_type": "Part"},
        "server": {"exceptions": {"KXPDM_AUTO_PUBLISH_AFTER_IMPORT": "1"}}, "parts": [)" + parts + "]}");
    const result text = clonesim({"run", (tmp / "scenario.json").string()}, tmp.path());
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_NE(text.out.find("\n  ... 20 more parts (--part NAME shows one part's, --json all of them)\n"),
              std::string::npos);
    EXPECT_EQ(text.out.find("/in/p45.prt"), std::string::npos);
    EXPECT_NE(text.out.find("/in/p70.prt"), std::string::npos);
    // The publishing request names all 70 items.
    EXPECT_NE(text.out.find("\"... (489 characters; the whole text is in --json) -> status 0"), std::string::npos)
        << text.out;

    const result as_json = clonesim({"run", "--json", (tmp / "scenario.json").string()}, tmp.path());
    const auto report = nlohmann::json::parse(as_json.out);
    EXPECT_EQ(report["parts"].size(), 70u);
    bool whole = false;
    for (const auto& request : report["requests"])
        whole = whole || (request["name"] == "auto_publish" && request["input"].get<std::string>().size() == 489);
    EXPECT_TRUE(whole);
}

// --- the administrator's reference ----------------------------------------------

// Each scenario of examples/guide backs rules of docs/administrators.md: the
// values the reference states are read from the JSON report by pointer.
struct guide_case {
    const char* scenario;
    int exit_status;
    std::vector<std::pair<const char*, nlohmann::json>> values;
};

class clonesim_guide : public ::testing::TestWithParam<guide_case> {};

TEST_P(clonesim_guide, the_example_shows_what_the_reference_says)
{
    const guide_case& c = GetParam();
    scratch tmp;
    const fs::path file = examples / "guide" / (std::string(c.scenario) + ".json");
    const result r = clonesim({"run", "--json", file.string()}, tmp.path());
    ASSERT_EQ(r.exit_status, c.exit_status) << r.out << r.err;
    const auto report = nlohmann::json::parse(r.out);
    for (const auto& [pointer, value] : c.values)
        EXPECT_EQ(report.value(nlohmann::json::json_pointer(pointer), nlohmann::json()), value) << pointer;
}

INSTANTIATE_TEST_SUITE_P(
    guide, clonesim_guide,
    ::testing::Values(
        guide_case{"precedence",
                   0,
                   {{"/parts/0/item_id", "M-100"},
                    {"/parts/0/rev_id", "C"},
                    {"/parts/0/item_type", "Attr_Type"},
                    {"/parts/0/pdm_name", "Mapped title"},
                    {"/parts/1/item_id", "A-200"},
                    {"/parts/1/pdm_name", "Attribute name"},
                    {"/parts/1/pdm_desc", "Attribute description"},
                    {"/parts/2/item_id", "000700"},
                    {"/parts/2/rev_id", "A"},
                    {"/parts/2/item_type", "Own_Type"},
                    {"/parts/2/pdm_name", "Own name"},
                    {"/parts/3/pdm_name", "Default name"},
                    {"/parts/3/pdm_desc", "000701"},
                    {"/parts/4/item_type", "Tool"}}},
        guide_case{"cuts",
                   0,
                   {{"/parts/0/stored_name", "A name of forty characters, long"},
                    {"/findings/0/kind", "stored_cut"},
                    {"/findings/1/kind", "stored_cut"}}},
        guide_case{"long_identity",
                   1,
                   {{"/parts/0/messages/0", kx::msg::identity},
                    {"/parts/1/translated", false}}},
        guide_case{"generic_type", 1, {{"/parts/0/messages/0", kx::msg::generic_item_type}}},
        guide_case{"dry_run",
                   0,
                   {{"/pdm_database", nlohmann::json::array({{{"kind", "announced"},
                                                              {"item_id", "D-1"},
                                                              {"rev_id", "A"},
                                                              {"detail", "type Part, context ENG"}}})},
                    {"/files_changed", nlohmann::json::array()},
                    {"/summary/requests", 5}}},
        guide_case{"switches",
                   0,
                   {{"/requests/4/input", "P-1#00000001#pdi.prt"},
                    {"/requests/5/code", 21},
                    {"/requests/6/code", 24},
                    {"/files_changed", nlohmann::json::array()}}},
        guide_case{"unreadable_map",
                   0,
                   {{"/parts/0/item_id", "A-1"},
                    {"/findings/0/kind", "mapping_file_unreadable"},
                    {"/summary/warnings", 1},
                    {"/summary/notes", 0}}},
        guide_case{"misspelt_variable",
                   0,
                   {{"/findings/0/kind", "misspelt_variable"},
                    {"/findings/0/text", "KXPDM_IMPORT_ATTR_MAPFILE is not a variable the library reads; did you mean "
                                         "KXPDM_IMPORT_ATTR_MAP_FILE? (the scenario leaves it unset)"},
                    {"/parts/0/item_id", "000001"}}},
        guide_case{"misleading_map",
                   0,
                   {{"/summary/warnings", 11},
                    {"/findings/0/text", "mapping file misleading.map line 1: entry 1: \"DB_PART_NO\\t\" -> attribute "
                                         "\"NO\" (never used: the library asks only for DB_PART_NO, DB_PART_REV, "
                                         "DB_PART_NAME and DB_PART_DESC; a tab is not trimmed and stays part of the text)"},
                    {"/findings/3/text", "mapping file misleading.map line 5: skipped: no \"=\""},
                    {"/findings/10/text",
                     "mapping file misleading.map line 13: not read: the library stops after the 10th entry"},
                    {"/parts/0/pdm_name", "000001"}}},
        guide_case{"design_log_cut",
                   0,
                   {{"/findings/0/kind", "design_log_cut"},
                    {"/findings/0/text", "part file /export/long_log/l-1.prt: DESLOG2 stored cut at 99 characters; "
                                         "lost: \"p and added a chamfer on every outer edge\""}}},
        guide_case{"site_program_missing",
                   1,
                   {{"/findings/0/kind", "site_program_not_run"},
                    {"/site_programs/0/error_output", "sh: 0: cannot open site/no_such_check.sh: No such file\n"},
                    {"/summary/errors", 1},
                    {"/summary/warnings", 0},
                    {"/summary/notes", 0}}},
        guide_case{"separator",
                   1,
                   {{"/findings/0/kind", "separator_in_field"},
                    {"/findings/0/text", "refused (status 3): the attribute \"DB_PART_NO\" \"S/2\" holds \"/\", which "
                                         "separates the fields of a PDM request; the user saw the error box \"Error in "
                                         "Getting Item ID, Rev ID and Type...\""},
                    {"/summary/errors", 1}}},
        guide_case{"numbers_unused",
                   0,
                   {{"/findings/0/kind", "numbers_unused"},
                    {"/findings/0/text", "the host handed out numbers 007100, 007101 and 007102 that no part took; the "
                                         "first part needing a number got 007103"},
                    {"/parts/3/item_id", "007103"}}},
        guide_case{"item_id_check",
                   0,
                   {{"/parts/0/item_id", "M-1"},
                    {"/parts/1/item_id", "A-2"},
                    {"/site_programs/0/arguments/2", "/in/approved.prt"},
                    {"/site_programs/1/exit_status", 0}}}),
    [](const auto& info) { return std::string(info.param.scenario); });

// --- check-map -------------------------------------------------------------------

struct map_case {
    const char* label;
    const char* content;
    int exit_status;
    const char* report;  // after the "check-map: FILE" line
};

class clonesim_check_map : public ::testing::TestWithParam<map_case> {};

TEST_P(clonesim_check_map, explains_each_line_as_the_library_reads_it)
{
    const map_case c = GetParam();
    scratch tmp;
    const fs::path file = tmp / "import.map";
    write_file(file, c.content);
    const result r = clonesim({"check-map", file.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.out, "check-map: " + file.string() + "\n" + c.report);
}

INSTANTIATE_TEST_SUITE_P(
    files, clonesim_check_map,
    ::testing::Values(
        map_case{"crlf_and_padding", "DB_PART_NO = DRAWING_NO\r\n   DB_PART_REV  =  R  \r\nDB_PART_NAME=TITLE=X\r\n", 0,
                 "  line 1: entry 1: \"DB_PART_NO\" -> attribute \"DRAWING_NO\"\n"
                 "  line 2: entry 2: \"DB_PART_REV\" -> attribute \"R\"\n"
                 "  line 3: entry 3: \"DB_PART_NAME\" -> attribute \"TITLE=X\"\n"
                 "keys\n"
                 "  DB_PART_NO    attribute \"DRAWING_NO\" (line 1)\n"
                 "  DB_PART_REV   attribute \"R\" (line 2)\n"
                 "  DB_PART_NAME  attribute \"TITLE=X\" (line 3)\n"
                 "  DB_PART_DESC  not mapped\n"
                 "verdict: 3 of 4 keys mapped\n"},
        map_case{"skipped_lines_and_traps", "\n   \nDB_PART_DESC\n#DB_PART_NO = X\ndb_part_no = Y\n\tDB_PART_DESC = D\n", 1,
                 "  line 1: skipped: empty line\n"
                 "  line 2: skipped: blanks only\n"
                 "  line 3: skipped: no \"=\"\n"
                 "  line 4: entry 1: \"#DB_PART_NO\" -> attribute \"X\" (never used: the library asks only for "
                 "DB_PART_NO, DB_PART_REV, DB_PART_NAME and DB_PART_DESC; there is no comment syntax: a line with "
                 "\"=\" is an entry)\n"
                 "  line 5: entry 2: \"db_part_no\" -> attribute \"Y\" (never used: the library asks only for "
                 "DB_PART_NO, DB_PART_REV, DB_PART_NAME and DB_PART_DESC; keys are compared case-sensitively)\n"
                 "  line 6: entry 3: \"\\tDB_PART_DESC\" -> attribute \"D\" (never used: the library asks only for "
                 "DB_PART_NO, DB_PART_REV, DB_PART_NAME and DB_PART_DESC; a tab is not trimmed and stays part of "
                 "the text)\n"
                 "keys\n"
                 "  DB_PART_NO    not mapped\n"
                 "  DB_PART_REV   not mapped\n"
                 "  DB_PART_NAME  not mapped\n"
                 "  DB_PART_DESC  not mapped\n"
                 "verdict: 0 of 4 keys mapped\n"},
        map_case{"first_key_wins_and_last_line_without_line_feed",
                 "DB_PART_NAME = TITLE\nDB_PART_NAME = NAME\nDB_PART_DESC = DESC\r", 0,
                 "  line 1: entry 1: \"DB_PART_NAME\" -> attribute \"TITLE\"\n"
                 "  line 2: entry 2: \"DB_PART_NAME\" -> attribute \"NAME\" (not used: the entry of line 1 comes "
                 "first)\n"
                 "  line 3: entry 3: \"DB_PART_DESC\" -> attribute \"DESC\\r\" (the last line ends in a carriage "
                 "return without a line feed; it stays part of the title)\n"
                 "keys\n"
                 "  DB_PART_NO    not mapped\n"
                 "  DB_PART_REV   not mapped\n"
                 "  DB_PART_NAME  attribute \"TITLE\" (line 1)\n"
                 "  DB_PART_DESC  attribute \"DESC\\r\" (line 3)\n"
                 "verdict: 2 of 4 keys mapped\n"},
        map_case{"reading_stops_after_ten_entries",
                 "K1=A\nK2=A\nK3=A\nK4=A\nK5=A\nK6=A\nK7=A\nK8=A\nK9=A\nDB_PART_REV = ISSUE\nDB_PART_NO = NUMBER\n"
                 "DB_PART_NAME = TITLE\n",
                 0,
                 "  line 1: entry 1: \"K1\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 2: entry 2: \"K2\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 3: entry 3: \"K3\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 4: entry 4: \"K4\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 5: entry 5: \"K5\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 6: entry 6: \"K6\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 7: entry 7: \"K7\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 8: entry 8: \"K8\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 9: entry 9: \"K9\" -> attribute \"A\" (never used: the library asks only for DB_PART_NO, "
                 "DB_PART_REV, DB_PART_NAME and DB_PART_DESC)\n"
                 "  line 10: entry 10: \"DB_PART_REV\" -> attribute \"ISSUE\"\n"
                 "  lines 11 to 12: not read: the library stops after the 10th entry\n"
                 "keys\n"
                 "  DB_PART_NO    not mapped\n"
                 "  DB_PART_REV   attribute \"ISSUE\" (line 10)\n"
                 "  DB_PART_NAME  not mapped\n"
                 "  DB_PART_DESC  not mapped\n"
                 "verdict: 1 of 4 keys mapped\n"},
        map_case{"empty_file", "", 1,
                 "  (the file is empty)\n"
                 "keys\n"
                 "  DB_PART_NO    not mapped\n"
                 "  DB_PART_REV   not mapped\n"
                 "  DB_PART_NAME  not mapped\n"
                 "  DB_PART_DESC  not mapped\n"
                 "verdict: 0 of 4 keys mapped\n"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(clonesim_check_map_file, an_unreadable_file_is_a_usage_error)
{
    scratch tmp;
    const fs::path file = tmp / "absent.map";
    const result r = clonesim({"check-map", file.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.out.find("the file cannot be read: No such file or directory"), std::string::npos) << r.out;
    fs::create_directories(tmp / "maps");
    const result folder = clonesim({"check-map", (tmp / "maps").string()}, tmp.path());
    EXPECT_EQ(folder.exit_status, 2);
    EXPECT_NE(folder.out.find("it is a folder, not a mapping file"), std::string::npos) << folder.out;
    // A named pipe would block a reader until something writes to it.
    const fs::path pipe = tmp / "pipe.map";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const result fifo = clonesim({"check-map", pipe.string()}, tmp.path());
    EXPECT_EQ(fifo.exit_status, 2);
    EXPECT_NE(fifo.out.find("the file cannot be read: it is not a regular file"), std::string::npos) << fifo.out;
}

// The example mapping file and the example that uses it agree.
TEST(clonesim_check_map_file, the_example_mapping_file_maps_all_four_keys)
{
    scratch tmp;
    const result r = clonesim({"check-map", (examples / "maps" / "import_attributes.map").string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("verdict: 4 of 4 keys mapped\n"), std::string::npos) << r.out;
}

}  // namespace
