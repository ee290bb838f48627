// One verdict in every report: each example and each guide scenario is run
// once, with the JSON and the page written beside the text report, plain
// and with --strict, and the exit status, the text report's first and last
// lines, the JSON verdict and the page's data must tell the same decision.
// What the page draws of it is checked in chromium (tests/browser/).
#include "clonesim_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using kxtest::page_data;
using kxtest::read_file;
using kxtest::scratch;

struct verdict_case {
    std::string scenario;  // below examples/
    bool strict;
};

std::vector<verdict_case> every_scenario()
{
    const fs::path examples = fs::path(KX_SOURCE_DIR) / "examples";
    std::vector<std::string> names;
    for (const fs::path& folder : {examples, examples / "guide"})
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().extension() == ".json" && entry.path().stem().string().find('.') == std::string::npos)
                names.push_back(fs::relative(entry.path(), examples).string());
    std::sort(names.begin(), names.end());
    std::vector<verdict_case> cases;
    for (const std::string& name : names)
        for (const bool strict : {false, true}) cases.push_back({name, strict});
    return cases;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The worst severity of the findings about a part, "" for none.
std::string worst_finding(const nlohmann::json& report, const std::string& part)
{
    std::string worst;
    for (const auto& f : report["findings"]) {
        if (f["part"] != part) continue;
        const std::string level = f["severity"];
        if (level == "error" || (level == "warning" && worst != "error") || worst.empty()) worst = level;
    }
    return worst;
}

void PrintTo(const verdict_case& c, std::ostream* os) { *os << c.scenario << (c.strict ? " --strict" : ""); }

class one_verdict : public ::testing::TestWithParam<verdict_case> {};

TEST_P(one_verdict, every_report_tells_the_same_decision)
{
    const verdict_case& c = GetParam();
    scratch tmp;
    const fs::path page_file = tmp / "page.html";
    const fs::path json_file = tmp / "report.json";
    std::vector<std::string> args{"run", (fs::path(KX_SOURCE_DIR) / "examples" / c.scenario).string(), "--html",
                                  page_file.string(), "--json-file", json_file.string()};
    if (c.strict) args.push_back("--strict");
    const auto run = kxtest::run_clonesim(args, tmp.path());
    ASSERT_TRUE(run.exit_status == 0 || run.exit_status == 1) << run.err;

    const auto report = nlohmann::json::parse(read_file(json_file));
    const auto& verdict = report["verdict"];
    const std::string outcome = verdict["outcome"];
    const std::string text = verdict["text"];
    EXPECT_EQ(verdict["exit_status"], run.exit_status);
    EXPECT_EQ(report["exit_status"], run.exit_status);
    EXPECT_EQ(outcome == "clean", run.exit_status == 0) << outcome;
    EXPECT_EQ(text.find("went through") != std::string::npos, run.exit_status == 0) << text;
    const auto& summary = report["summary"];
    if (summary["errors"] > 0 || (c.strict && summary["warnings"] > 0)) {
        EXPECT_NE(outcome, "clean");
    }

    const auto text_lines = lines(run.out);
    ASSERT_FALSE(text_lines.empty());
    EXPECT_EQ(text_lines.front(), "clonesim report: " + fs::path(c.scenario).filename().string() + " (" + outcome +
                                      ", exit status " + std::to_string(run.exit_status) + ")");
    EXPECT_EQ(text_lines.back(), "verdict: " + text);

    const auto page = page_data(read_file(page_file));
    EXPECT_EQ(page["verdict"], verdict);
    ASSERT_EQ(page["parts"].size(), report["parts"].size());
    for (std::size_t i = 0; i < report["parts"].size(); ++i) {
        const auto& part = report["parts"][i];
        const auto& drawn = page["parts"][i];
        const std::string name = part["name"];
        EXPECT_EQ(drawn["label"], worst_finding(report, name)) << name;
        // One word for a fate: the page files a part under the JSON's.
        EXPECT_EQ(drawn["outcome"], part["fate"]) << name;
    }
    // One count: the page counts parts as the JSON does.
    EXPECT_EQ(page["counts"], summary["parts"]);
}

INSTANTIATE_TEST_SUITE_P(scenarios, one_verdict, ::testing::ValuesIn(every_scenario()), [](const auto& info) {
    std::string name = info.param.scenario + (info.param.strict ? "_strict" : "");
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

// A report file that cannot be written stops the command before the session
// runs and before any report is printed.
TEST(report_files, are_checked_before_the_session_runs)
{
    scratch tmp;
    fs::create_directories(tmp / "folder");
    // A named pipe would block the check until something read from it.
    ASSERT_EQ(mkfifo((tmp / "pipe").c_str(), 0600), 0);
    const std::string scenario = (fs::path(KX_SOURCE_DIR) / "examples" / "clone.json").string();
    for (const char* option : {"--html", "--json-file"}) {
        for (const fs::path& target : {tmp / "folder", tmp / "missing" / "page.html", tmp / "pipe"}) {
            const auto run = kxtest::run_clonesim({"run", scenario, option, target.string()}, tmp.path());
            EXPECT_EQ(run.exit_status, 2) << option << " " << target;
            EXPECT_EQ(run.out, "") << option << " " << target;
            EXPECT_EQ(run.err.rfind("clonesim: cannot write the ", 0), 0u) << run.err;
            EXPECT_NE(run.err.find(target.string() + ": "), std::string::npos) << run.err;
        }
    }
    EXPECT_FALSE(fs::exists(tmp / "missing"));
}

}  // namespace
