// The fault sweep itself under test: on the real library it plays every
// failure point of a session and reports its counts; on a library with a
// planted fault it names the failure point and the invariant that broke, and
// a crash names the session that was running. (ctest runs the sweep of every
// example on the real library as fault_sweep.<example>.)
#include "clonesim_runner.h"
#include "host/host_codes.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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
using result = kxtest::run_result;

struct scratch : kxtest::scratch {
    scratch() : kxtest::scratch("fault-sweep") {}
};

// Runs clonesim with `args`; `faulty_mode` set runs it with the planted
// fault of that name.
result clonesim(const std::vector<std::string>& args, const fs::path& tmp, const std::string& faulty_mode = "")
{
    if (faulty_mode.empty()) return kxtest::run_clonesim(args, tmp);
    // A planted leak is the sweep's to report; in a sanitizer build the leak
    // checker would report it again at exit.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return kxtest::run_clonesim(args, tmp,
                                {{"KX_FAULTY_EXIT", faulty_mode},
                                 {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"}});
}

std::string example(const char* name) { return (fs::path(KX_SOURCE_DIR) / "examples" / name).string(); }

long count_after(const std::string& text, const std::string& label)
{
    const std::regex number(label + R"(: (\d+))");
    std::smatch m;
    if (!std::regex_search(text, m, number)) return -1;
    return std::stol(m[1]);
}

TEST(fault_sweep, real_library_holds_every_invariant_of_the_edit_session_and_reports_its_counts)
{
    scratch tmp;
    const result r = clonesim({"sweep", example("edit.json")}, tmp.path());
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Fault sweep of edit.json (edit session)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("result: every invariant held"), std::string::npos) << r.out;
    // Every host call but the releases, which cannot fail, and the one
    // request of the session are failure points.
    const long points = count_after(r.out, "failure points tried");
    EXPECT_GT(points, 10) << r.out;
    const long sessions = count_after(r.out, "sessions played");
    // Each point transient and persistent, plus a clean session after each
    // persistent one.
    EXPECT_GE(sessions, 3 * points) << r.out;
    EXPECT_TRUE(fs::is_empty(tmp.path())) << "the sweep leaves no server files behind";
}

TEST(fault_sweep, every_nth_call_samples_the_calls_but_keeps_every_operation)
{
    scratch tmp;
    const result all = clonesim({"sweep", example("export_tool_refused.json")}, tmp.path());
    const result sampled = clonesim({"sweep", "--every", "5", example("export_tool_refused.json")}, tmp.path());
    ASSERT_EQ(all.exit_status, 0) << all.out << all.err;
    ASSERT_EQ(sampled.exit_status, 0) << sampled.out << sampled.err;
    EXPECT_LT(count_after(sampled.out, "failure points tried"), count_after(all.out, "failure points tried"));
    // The clean session's counts do not depend on the sampling.
    const std::regex clean_line("clean session: [^\n]*");
    std::smatch a, s;
    ASSERT_TRUE(std::regex_search(all.out, a, clean_line));
    ASSERT_TRUE(std::regex_search(sampled.out, s, clean_line));
    EXPECT_EQ(a.str(), s.str());
}

struct planted_case {
    const char* mode;
    const char* scenario;
    std::string report_line;  // a line the report must hold
};

class fault_sweep_planted : public ::testing::TestWithParam<planted_case> {};

TEST_P(fault_sweep_planted, names_the_failure_point_and_the_broken_invariant)
{
    const planted_case c = GetParam();
    scratch tmp;
    const result r = clonesim({"sweep", "--library", KX_FAULTY_EXIT_PATH, example(c.scenario)}, tmp.path(), c.mode);
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(c.report_line), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("every invariant held"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    faults, fault_sweep_planted,
    ::testing::Values(
        planted_case{"leak", "export_tool_refused.json",
                     "HOST_CLONE_ask_operation_class #1 transient [Init_Clone]: 1 host allocations outstanding "
                     "after Exit_Clone, 0 before the session"},
        planted_case{"callback", "export_tool_refused.json",
                     "HOST_CLONE_ask_operation_class #2 transient [Exit_Clone]: the host's callback \"HOST End Assy "
                     "Load\" is not registered again as it was (0 registrations)"},
        planted_case{"silent", "import_mapped.json",
                     "request 1 (code " + std::to_string(kx::request_begin_import) +
                         ") transient, with a reply [Init_Clone]: the error box \"The PDM server failed this "
                         "request\" was not shown (begin or end of import refused: the reply)"}),
    [](const auto& info) { return std::string(info.param.mode); });

TEST(fault_sweep, a_crash_names_the_session_that_was_running)
{
    scratch tmp;
    const result r =
        clonesim({"sweep", "--library", KX_FAULTY_EXIT_PATH, example("export_tool_refused.json")}, tmp.path(), "crash");
    EXPECT_FALSE(r.exited && r.exit_status == 0) << r.out << r.err;
    EXPECT_FALSE(r.exited && r.exit_status == 1) << "a crash is not reported as a broken invariant";
    EXPECT_NE(r.err.find("clonesim sweep: the process ended during: HOST_CLONE_ask_def_directory #1 transient "
                         "[Init_Clone]"),
              std::string::npos)
        << r.err;
}

TEST(fault_sweep, a_malformed_scenario_stops_before_anything_runs)
{
    scratch tmp;
    const fs::path file = tmp.path() / "broken.json";
    std::ofstream(file) << "{\"operation\": \"copy\", \"parts\": []}";
    const result r = clonesim({"sweep", file.string()}, tmp.path());
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("operation: expected"), std::string::npos) << r.err;
}

}  // namespace
