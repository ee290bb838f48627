// Many recorded sessions replayed in one command: folders and traces given
// together, each trace in a clonesim child of its own, one line per trace by
// path, a summary, and the exit status of the worst trace.
#include "clonesim_runner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

using json = nlohmann::json;
using kxtest::read_file;
using kxtest::scratch;
using kxtest::write_file;

const fs::path examples = fs::path(KX_SOURCE_DIR) / "examples";

kxtest::run_result clonesim(const std::vector<std::string>& args, const scratch& tmp,
                            const std::map<std::string, std::string>& env = {})
{
    return kxtest::run_clonesim(args, tmp.path(), env);
}

// Records an example's session into `folder` and gives its trace, moved to
// `name` in that folder.
fs::path record(const std::string& example, const fs::path& folder, const std::string& name, const scratch& tmp)
{
    const fs::path recording = tmp / "recording";
    fs::remove_all(recording);
    const auto r = clonesim({"run", "--record", recording.string(), (examples / (example + ".json")).string()}, tmp);
    EXPECT_TRUE(r.exited) << r.err;
    fs::create_directories(folder);
    for (const auto& entry : fs::directory_iterator(recording)) {
        fs::rename(entry.path(), folder / name);
        return folder / name;
    }
    ADD_FAILURE() << example << " left no trace:\n" << r.out << r.err;
    return {};
}

// The lines between the header and the summary: one per trace.
std::vector<std::string> trace_lines(const std::string& out)
{
    std::vector<std::string> lines;
    const std::size_t from = out.find("\n\n");
    const std::size_t to = out.find("\n\nsummary\n");
    if (from == std::string::npos || to == std::string::npos) return {"(no lines: " + out + ")"};
    std::string body = out.substr(from + 2, to - from - 1);
    for (std::size_t at = 0; at < body.size();) {
        const std::size_t end = body.find('\n', at);
        lines.push_back(body.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Three desks' sessions: an import with the mapping file, a clone, and an
// import whose site program refuses a part.
struct desks {
    scratch tmp;
    fs::path folder = tmp / "desks";
    fs::path mapped = record("import_mapped", folder, "kxpdm-trace-20261208-090000-100-1.jsonl", tmp);
    fs::path cloned = record("clone", folder, "kxpdm-trace-20261208-090500-200-1.jsonl", tmp);
    fs::path refused = record("import_refused", folder, "kxpdm-trace-20261208-091000-300-1.jsonl", tmp);
    std::string name(const fs::path& trace) const { return trace.string(); }
};

// --- the exit status is the worst trace's ------------------------------------------

TEST(folder_replay, every_session_the_same_exits_0_and_skips_what_is_no_trace_by_name)
{
    desks d;
    write_file(d.folder / "notes.txt", "collected from the desks on Monday\n");
    write_file(d.folder / "import_mapped.json", read_file(examples / "import_mapped.json"));
    const auto r = clonesim({"replay", d.folder.string()}, d.tmp);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(trace_lines(r.out), (std::vector<std::string>{d.name(d.mapped) + ": same", d.name(d.cloned) + ": same",
                                                             d.name(d.refused) + ": same"}));
    EXPECT_NE(r.out.find("  traces          3\n  the same        3 sessions\n  that differ     0 sessions\n  parts affected  0\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("verdict: every session is the same as recorded\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(d.folder.string() + ": 2 files not named kxpdm-trace-*.jsonl skipped"), std::string::npos) << r.err;
}

// A change applies to every trace: a part it names is acted on where the
// trace holds it, and leaves the others alone.
TEST(folder_replay, a_session_that_differs_exits_1_and_the_page_shows_every_trace)
{
    desks d;
    const fs::path page = d.tmp / "desks.html";
    const auto r = clonesim({"replay", "--html", page.string(), "--program", "additional=3@/data/incoming/pump_housing.prt",
                             d.folder.string()},
                            d.tmp);
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_EQ(trace_lines(r.out), (std::vector<std::string>{d.name(d.mapped) + ": same", d.name(d.cloned) + ": same",
                                                             d.name(d.refused) + ": 10 differences, 2 parts affected"}));
    EXPECT_NE(r.out.find("  that differ     1 session\n  parts affected  2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verdict: 1 of 3 sessions differs from the recorded outcome\n"), std::string::npos) << r.out;

    const std::string html = read_file(page);
    std::size_t rows = 0;
    for (std::size_t at = html.find("<tr class=\""); at != std::string::npos; at = html.find("<tr class=\"", at + 1)) ++rows;
    EXPECT_EQ(rows, 3u) << html;
    EXPECT_NE(html.find("<tr class=\"differ\"><td>" + d.name(d.refused) + "</td><td><details><summary>10 differences"),
              std::string::npos);
    EXPECT_NE(html.find("now refused with result 3"), std::string::npos);
}

// A trace that cannot be read, and one whose child crashed, are never
// counted as the same, and outweigh a difference; the other traces are
// still replayed.
TEST(folder_replay, a_trace_that_cannot_be_read_or_a_crashed_child_exits_2)
{
    desks d;
    const fs::path broken = d.folder / "kxpdm-trace-20261208-092000-400-1.jsonl";
    write_file(broken, read_file(d.cloned).substr(0, 40) + "\n{\"e\":\"call\"}\n");
    const auto r = clonesim({"replay", "--set", "KXPDM_NO_SAVE_ON_CLONE_IMPORT=1", d.folder.string(), (d.tmp / "missing.jsonl").string()},
                            d.tmp);
    EXPECT_EQ(r.exit_status, 2) << r.out << r.err;
    const std::vector<std::string> lines = trace_lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], d.name(d.mapped) + ": 20 differences, 4 parts affected");
    EXPECT_EQ(lines[3].rfind(broken.string() + ": cannot be read: line 1: ", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], (d.tmp / "missing.jsonl").string() + ": cannot be read: no such file");
    EXPECT_NE(r.out.find("  cannot be read  2 traces\n"), std::string::npos) << r.out;

    // The planted library ends the process at the session's start.
    const auto crashed = clonesim({"replay", "--library", KX_FAULTY_EXIT_PATH, d.mapped.string(), d.cloned.string()}, d.tmp,
                                  {{"KX_FAULTY_EXIT", "crash"}});
    EXPECT_EQ(crashed.exit_status, 2) << crashed.out << crashed.err;
    for (const std::string& line : trace_lines(crashed.out))
        EXPECT_NE(line.find(": not replayed: its clonesim "), std::string::npos) << line;
    EXPECT_NE(crashed.out.find("verdict: 2 traces were not replayed\n"), std::string::npos) << crashed.out;
}

TEST(folder_replay, a_folder_without_traces_exits_2_before_anything_is_replayed)
{
    desks d;
    fs::create_directories(d.tmp / "empty");
    write_file(d.tmp / "empty" / "session.jsonl", read_file(d.cloned));
    const auto r = clonesim({"replay", d.folder.string(), (d.tmp / "empty").string()}, d.tmp);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "clonesim: " + (d.tmp / "empty").string() + ": the folder holds no trace (no file named kxpdm-trace-*.jsonl)\n");
}

// --- what the command line gets wrong ----------------------------------------------

// Each row a slip the command is given: it ends with the usage status and
// says what was wrong, and no trace given is written over.
TEST(folder_replay, slips_of_the_command_line_exit_2_naming_the_slip)
{
    desks d;
    const std::string folder = d.folder.string(), cloned = d.cloned.string(), refused = d.refused.string();
    const std::string missing = (d.tmp / "missing.jsonl").string();
    const fs::path junk = d.tmp / "junk.jsonl";
    write_file(junk, "not a trace\n");
    const fs::path loop = d.tmp / "loop.jsonl";
    fs::create_symlink(loop, loop);
    const std::string recorded = read_file(d.cloned);
    struct row {
        std::vector<std::string> args;
        std::string said;  // in standard output or standard error
    };
    const std::vector<row> rows = {
        // Changes checked against no trace at all.
        {{"--program", "additional=3", folder, missing}, missing + ": cannot be read: no such file\n"},
        {{"--exception", "A=1", folder, missing}, missing + ": cannot be read: no such file\n"},
        {{"--set", "KXPDM_NO_SAVE_ON_CLONE_IMPORT=1", "KXPDM_DEBUG=1", cloned},
         "\"KXPDM_DEBUG=1\" is no file and looks like the value of a rule change: each --set, --unset, --program and "
         "--exception takes one value; repeat the option for each"},
        {{"--program", "additional=3@/data/incoming/PUMP_housing.prt", folder},
         "no trace holds the part \"/data/incoming/PUMP_housing.prt\"; did you mean \"/data/incoming/pump_housing.prt\"?"},
        {{"--program", "check=1@/data/incoming/nowhere.prt", refused, refused}, "no trace holds the part \"/data/incoming/nowhere.prt\"\n"},
        {{"--html", cloned, folder}, "it is a recorded session trace, which the report would overwrite"},
        {{"--html", cloned, cloned}, "which the report would overwrite"},
        {{"--html", junk.string(), junk.string(), refused}, "--html " + junk.string() + ": is the trace " + junk.string() + " replayed"},
        {{"--jobs", "0", folder}, "--jobs \"0\": give a whole number from 1 to"},
        {{"--jobs", "-1", folder}, "--jobs \"-1\": give a whole number from 1 to"},
        {{"--jobs", "abc", folder}, "--jobs \"abc\": give a whole number from 1 to"},
        {{"--result-file", (d.tmp / "r.json").string(), cloned, refused}, "--result-file is for one trace"},
        {{cloned + "/"}, cloned + "/: Not a directory"},
        {{folder, loop.string()}, loop.string() + ": cannot be read: Too many levels of symbolic links\n"},
    };
    for (const row& r : rows) {
        std::vector<std::string> args{"replay"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const auto result = clonesim(args, d.tmp);
        EXPECT_TRUE(result.exited) << r.said;
        EXPECT_EQ(result.exit_status, 2) << r.said << "\n" << result.out << result.err;
        EXPECT_NE((result.out + result.err).find(r.said), std::string::npos) << result.out << result.err;
    }
    EXPECT_EQ(read_file(d.cloned), recorded);
    EXPECT_EQ(read_file(junk), "not a trace\n");

    // No more children than traces, and the header says so.
    const auto r = clonesim({"replay", "--jobs", "8", folder}, d.tmp);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(", 3 at a time\n"), std::string::npos) << r.out;
}

// A pipe named like a trace would keep its child waiting for a writer: in
// a folder only regular files are taken, and one named alone is never
// opened.
TEST(folder_replay, what_is_no_regular_file_is_skipped_and_never_opened)
{
    desks d;
    const fs::path pipe = d.folder / "kxpdm-trace-20261208-093000-500-1.jsonl";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    fs::create_directories(d.folder / "kxpdm-trace-20261208-094000-600-1.jsonl");
    fs::copy_file(d.cloned, d.tmp / "kept-elsewhere.jsonl");
    fs::create_symlink(d.tmp / "kept-elsewhere.jsonl", d.folder / "kxpdm-trace-20261208-095000-700-1.jsonl");
    const auto r = clonesim({"replay", d.folder.string()}, d.tmp);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(trace_lines(r.out).size(), 4u) << r.out;
    EXPECT_NE(r.err.find(d.folder.string() + ": 2 entries named like a trace but not a regular file skipped"), std::string::npos) << r.err;

    const auto named = clonesim({"replay", d.cloned.string(), pipe.string()}, d.tmp);
    EXPECT_EQ(named.exit_status, 2) << named.out << named.err;
    EXPECT_NE(named.out.find(pipe.string() + ": cannot be read: not a regular file\n"), std::string::npos) << named.out;
    const auto alone = clonesim({"replay", pipe.string()}, d.tmp);
    EXPECT_EQ(alone.exit_status, 2);
    EXPECT_EQ(alone.err, "clonesim: " + pipe.string() + ": not a regular file\n");
}

// A name is bytes: a line feed in it must not make a second result line,
// nor a byte that is no UTF-8 come out raw.
TEST(folder_replay, a_name_with_a_line_feed_or_a_stray_byte_stays_on_its_line)
{
    desks d;
    const fs::path odd = d.tmp / "odd";
    fs::create_directories(odd);
    fs::copy_file(d.cloned, odd / "kxpdm-trace-a\nb.jsonl");
    fs::copy_file(d.cloned, odd / "kxpdm-trace-\xff.jsonl");
    const fs::path page = d.tmp / "odd.html";
    const auto r = clonesim({"replay", "--html", page.string(), odd.string()}, d.tmp);
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(trace_lines(r.out), (std::vector<std::string>{odd.string() + "/kxpdm-trace-a\\nb.jsonl: same",
                                                             odd.string() + "/kxpdm-trace-\\xff.jsonl: same"}));
    const std::string html = read_file(page);
    EXPECT_NE(html.find("kxpdm-trace-\\xff.jsonl</td>"), std::string::npos) << html;
    EXPECT_EQ(html.find("\xf4\x8f\xbf\xbf"), std::string::npos);
}

// --- stopped by the user -----------------------------------------------------------

// The processes whose command line names `text`.
std::size_t processes_naming(const std::string& text)
{
    std::size_t found = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        std::string line = read_file(entry.path() / "cmdline");
        if (line.find(text) != std::string::npos) ++found;
    }
    return found;
}

// Interrupted mid-run, the replay stops its children, removes their results
// and ends by the signal, as an interrupted command does.
TEST(folder_replay, an_interrupt_stops_the_children_and_leaves_nothing_behind)
{
    desks d;
    const fs::path many = d.tmp / "many";
    fs::create_directories(many);
    for (int i = 0; i < 60; ++i) fs::copy_file(d.mapped, many / ("kxpdm-trace-" + std::to_string(100 + i) + ".jsonl"));
    const fs::path work = d.tmp / "work";
    fs::create_directories(work);
    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr) _exit(127);
        setenv("TMPDIR", work.c_str(), 1);
        std::string program = KX_CLONESIM_PATH, replay = "replay", jobs = "--jobs", one = "1", folder = many.string();
        char* argv[] = {program.data(), replay.data(), jobs.data(), one.data(), folder.data(), nullptr};
        execv(program.c_str(), argv);
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // Polled: the signal goes once a child runs.
    for (int i = 0; i < 3000 && processes_naming(work.string() + "/clonesim-replays-") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "wait status " << status;
    // Nor the children's own temporary folders.
    EXPECT_TRUE(fs::is_empty(work)) << fs::directory_iterator(work)->path();
    EXPECT_EQ(processes_naming(work.string()), 0u);
}

// --- jobs and order ----------------------------------------------------------------

// Lines come by path whatever the order given and however many replay at
// once; a trace named twice is replayed once; each trace's report is the
// one it gives replayed alone.
TEST(folder_replay, lines_by_path_whatever_the_jobs_and_each_report_as_alone)
{
    desks d;
    const fs::path later = d.tmp / "z-desk";
    const fs::path other = record("export_design_log", later, "kxpdm-trace-20261208-080000-50-1.jsonl", d.tmp);
    json first;
    for (const char* jobs : {"1", "3"}) {
        const auto r = clonesim({"replay", "--json", "--jobs", jobs, "--set", "KXPDM_NO_SAVE_ON_CLONE_IMPORT=1",
                                 later.string(), d.refused.string(), d.folder.string()},
                                d.tmp);
        EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(d.refused.string() + " is given more than once: it is replayed once"), std::string::npos) << r.err;
        json report = json::parse(r.out);
        EXPECT_EQ(report["jobs"], std::stoi(jobs));
        std::vector<std::string> order;
        for (const json& t : report["traces"]) order.push_back(t["trace"]);
        EXPECT_EQ(order, (std::vector<std::string>{d.name(d.mapped), d.name(d.cloned), d.name(d.refused), other.string()}));
        report.erase("jobs");
        if (first.is_null())
            first = report;
        else
            EXPECT_EQ(report, first);
    }
    ASSERT_FALSE(first.is_null());
    EXPECT_EQ(first["summary"], json::parse(R"({"traces": 4, "same": 3, "differ": 1, "parts_affected": 4,
                                               "cannot_be_read": 0, "not_replayed": 0})"));
    const auto alone = clonesim({"replay", "--json", "--set", "KXPDM_NO_SAVE_ON_CLONE_IMPORT=1", d.mapped.string()}, d.tmp);
    EXPECT_EQ(alone.exit_status, 1);
    EXPECT_EQ(first["traces"][0]["replay"], json::parse(alone.out));

    const auto none = clonesim({"replay", "--jobs", "0", d.folder.string()}, d.tmp);
    EXPECT_EQ(none.exit_status, 2);
}

}  // namespace
