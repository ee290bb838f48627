// clonesim: rehearses a site's clone rules offline. It loads the built
// user-exit library the way the host does, plays whole clone, import and
// export sessions from a scenario file against a simulated host and PDM
// server, and reports what each part became, what the user was shown and
// what looks wrong.
#include "batch/batch.h"
#include "platform/child_process.h"
#include "platform/os.h"
#include "replay/replay.h"
#include "replay/trace_model.h"
#include "run/check_map.h"
#include "run/environment.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/text_report.h"
#include "report/verdict.h"
#include "run/session.h"
#include "scenario/scenario.h"
#include "server/item_store.h"
#include "sweep/sweep.h"
#include "texts/texts.h"
#include "traces/trace.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

using clonesim::exit_usage;

constexpr const char* version_text = "clonesim " KX_VERSION " (for kxpdm_clone_userexit_v30)";
constexpr std::array<const char*, 5> commands = {"run", "check-map", "sweep", "replay", "scenario"};

// Runs a command; a broken scenario, library or store ends it with one line
// on standard error and the usage status.
template <class Body>
int reporting_errors(Body&& body)
{
    try {
        return body();
    } catch (const clonesim::platform::interrupted&) {
        throw;
    } catch (const clonesim::scenario_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    } catch (const clonesim::run_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    } catch (const clonesim::store_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    } catch (const clonesim::trace_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    }
    return exit_usage;
}

struct run_request {
    std::string scenario_file;
    std::string database = ":memory:";
    std::string library;
    bool as_json = false;
    std::string json_file;
    std::string html_file;
    std::string record_directory;
    bool strict = false;
    clonesim::report_options report;
};

int run_command(const run_request& request)
{
    return reporting_errors([&] {
        clonesim::run_options options{request.scenario_file, request.library, request.database,
                                      !request.html_file.empty(), std::nullopt};
        if (!request.record_directory.empty()) options.trace_directory = request.record_directory;
        if (!request.html_file.empty()) clonesim::check_writable(request.html_file, "HTML report");
        if (!request.json_file.empty()) clonesim::check_writable(request.json_file, "JSON report");
        const clonesim::run_outcome run = clonesim::run_scenario(options);
        const std::string trace_file = run.trace_file.has_value() ? run.trace_file->string() : "(none written)";
        if (request.report.part_name.has_value() && !clonesim::has_part(run, *request.report.part_name)) {
            std::cerr << "clonesim: --part: the scenario has no part named \"" << *request.report.part_name << "\"\n";
            return exit_usage;
        }
        // Decided once; every report renders this verdict.
        const clonesim::verdict decided = clonesim::judge(run, request.strict);
        nlohmann::ordered_json json;
        if (request.as_json || !request.json_file.empty()) {
            json = clonesim::json_report(run, decided);
            if (options.trace_directory.has_value()) json["trace"] = clonesim::json_safe(trace_file);
        }
        // The files first: a report that cannot be kept fails the command
        // before anything is printed.
        if (!request.html_file.empty()) clonesim::write_html_report(run, decided, request.html_file);
        if (!request.json_file.empty()) clonesim::write_text_file(request.json_file, json.dump(2) + "\n", "JSON report");
        if (request.as_json) {
            std::cout << json.dump(2) << "\n";
        } else {
            std::cout << clonesim::text_report(run, decided, request.report);
            if (options.trace_directory.has_value()) std::cout << "trace: " << trace_file << "\n";
        }
        std::cout.flush();
        return decided.exit_status;
    });
}

int sweep_command(clonesim::sweep_options options, bool verbose)
{
    return reporting_errors([&] {
        if (verbose) options.on_run = [](const std::string& label) { std::cerr << label << "\n"; };
        const clonesim::sweep_result result = clonesim::run_sweep(options);
        std::cout << clonesim::sweep_text(result);
        std::cout.flush();
        return result.failures.empty() ? 0 : 1;
    });
}

struct replay_command_line {
    std::vector<std::string> traces;  // trace files and folders of them
    std::string library;
    bool as_json = false;
    std::string html_file;
    std::string jobs;  // as given; empty: one for each core
    std::string result_file;  // set in a child of a replay of many traces
    std::vector<std::string> set, unset, programs, exceptions;
    std::string map_file;
};

// A trace is read only when it is a regular file (or a link to one): a pipe
// or a device would keep the reader waiting. Gives the system's reason.
void check_trace_file(const std::string& file)
{
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec == std::errc::no_such_file_or_directory) throw clonesim::trace_error(file + ": no such file");
    if (ec) throw clonesim::trace_error(file + ": " + ec.message());
    if (std::filesystem::is_directory(status)) throw clonesim::trace_error(file + ": is a folder, not a trace");
    if (!std::filesystem::is_regular_file(status)) throw clonesim::trace_error(file + ": not a regular file");
}

// A report written over a trace replayed would lose the recording.
void refuse_output_over_trace(const std::string& output, const std::string& option, const std::vector<std::string>& traces)
{
    std::error_code ec;
    for (const std::string& trace : traces)
        if (std::filesystem::equivalent(output, trace, ec))
            throw clonesim::run_error(option + " " + output + ": is the trace " + trace +
                                      " replayed, which the report would overwrite; name another file");
}

// A scenario handed to a command that reads traces is named for what it is.
void refuse_scenario(const std::string& file)
{
    if (clonesim::looks_like_scenario(file))
        throw clonesim::trace_error(file + ": is a scenario file, not a session trace: play it with `clonesim run " + file + "`");
}

clonesim::rule_changes changes_of(const replay_command_line& line)
{
    clonesim::rule_changes changes;
    for (const std::string& text : line.set) changes.set.push_back(clonesim::name_value("--set", text));
    for (const std::string& text : line.unset) changes.unset.push_back(clonesim::unset_name_of(text));
    if (!line.map_file.empty()) changes.map_file = line.map_file;
    for (const std::string& text : line.programs) changes.programs.push_back(clonesim::program_answer_of(text));
    for (const std::string& text : line.exceptions) changes.exceptions.push_back(clonesim::name_value("--exception", text));
    return changes;
}

// The rule-change options as given, each once with its value: the header of
// a replay of many traces, and what each of its children is handed.
std::vector<std::pair<std::string, std::string>> change_options(const replay_command_line& line)
{
    std::vector<std::pair<std::string, std::string>> options;
    for (const std::string& text : line.set) options.emplace_back("--set", text);
    for (const std::string& text : line.unset) options.emplace_back("--unset", text);
    if (!line.map_file.empty()) options.emplace_back("--map", line.map_file);
    for (const std::string& text : line.programs) options.emplace_back("--program", text);
    for (const std::string& text : line.exceptions) options.emplace_back("--exception", text);
    return options;
}

clonesim::batch_header header_of(const replay_command_line& line, unsigned jobs)
{
    clonesim::batch_header header{line.library, {}, jobs};
    for (const auto& [option, value] : change_options(line)) header.changes.push_back(option + " " + value);
    return header;
}

// One trace, in this process.
int replay_one(const replay_command_line& line)
{
    return reporting_errors([&] {
        const std::string& file = line.traces.front();
        check_trace_file(file);
        refuse_scenario(file);
        if (!line.html_file.empty()) {
            refuse_output_over_trace(line.html_file, "--html", {file});
            clonesim::check_writable(line.html_file, "HTML report");
        }
        const clonesim::replay_result result = clonesim::replay_trace(file, line.library, changes_of(line));
        if (!line.html_file.empty()) {
            const clonesim::batch_outcome outcome = clonesim::outcome_of({file, file}, clonesim::replay_json(result));
            clonesim::write_text_file(line.html_file, clonesim::batch_html(header_of(line, 1), {outcome}), "HTML report");
        }
        const bool as_json = line.as_json;
        if (as_json)
            std::cout << clonesim::replay_json(result).dump(2) << "\n";
        else
            std::cout << clonesim::replay_text(result);
        std::cout.flush();
        return result.differences.empty() ? 0 : 1;
    });
}

// A child of a replay of many traces: its result goes to a file, whatever
// becomes of the trace, and its exit status is the one the file names.
int replay_child(const replay_command_line& line)
{
    const std::string& file = line.traces.front();
    nlohmann::ordered_json result;
    try {
        check_trace_file(file);
        refuse_scenario(file);
        clonesim::rule_changes changes = changes_of(line);
        changes.one_of_many = true;
        const clonesim::replay_result replayed = clonesim::replay_trace(file, line.library, changes);
        result = clonesim::replay_json(replayed);
        // For the parent, which tells a part no trace holds from a slip.
        for (const auto& [part, near] : replayed.parts_not_held)
            result["parts_not_held"].push_back({{"part", clonesim::json_safe(part)}, {"near", clonesim::json_safe(near)}});
    } catch (const clonesim::run_error& e) {
        // The session could not be played: the library, a change, a file.
        result = clonesim::not_replayed_result(file, e.what());
    } catch (const std::exception& e) {
        // Anything else was thrown reading the trace.
        result = clonesim::cannot_be_read_result(file, e.what());
    }
    return reporting_errors([&] {
        clonesim::write_text_file(line.result_file, result.dump() + "\n", "replay result");
        return result["exit_status"].get<int>();
    });
}

// A part a --program names that no trace replayed holds is a slip of the
// user's, not a change with nothing to act on: gives what to say, or "".
std::string part_held_by_none(const replay_command_line& line, const std::vector<clonesim::batch_outcome>& outcomes)
{
    for (const std::string& text : line.programs) {
        const clonesim::rule_changes::program_answer change = clonesim::program_answer_of(text);
        if (!change.part.has_value()) continue;
        bool held = false, replayed = false;
        std::string meant;
        for (const clonesim::batch_outcome& o : outcomes) {
            if (!o.replay.is_object()) continue;
            replayed = true;
            bool missing = false;
            for (const auto& entry : o.replay.value("parts_not_held", nlohmann::ordered_json::array()))
                if (entry.is_object() && entry.value("part", "") == clonesim::json_safe(*change.part)) {
                    missing = true;
                    if (meant.empty()) meant = entry.value("near", "");
                }
            held = held || !missing;
        }
        if (replayed && !held)
            return "--program " + clonesim::quote(text) + ": no trace holds the part " + clonesim::quote(*change.part) +
                   (meant.empty() ? "" : "; did you mean \"" + meant + "\"?");
    }
    return "";
}

// Several traces, or a folder: each in a child process of its own, since a
// loaded library keeps state from one session to the next.
int replay_many_here(const replay_command_line& line);

int replay_many(const replay_command_line& line)
{
    try {
        return replay_many_here(line);
    } catch (const clonesim::platform::interrupted& stopped) {
        // The children are stopped and their folder is gone (the stack
        // unwound): end as the signal asks.
        std::cout.flush();
        clonesim::platform::end_by(stopped.signal());
    }
}

int replay_many_here(const replay_command_line& line)
{
    clonesim::platform::catch_stop_requests();
    return reporting_errors([&] {
        // Every change is read once here, with the children's own rules, so
        // that one that does not read stops the command before any child
        // starts instead of failing each trace.
        clonesim::rule_changes changes = changes_of(line);
        changes.one_of_many = true;
        clonesim::trace_model nothing;
        // A trace's model always has these, if empty; the changes are
        // made on them.
        nothing.scene.commands.emplace();
        nothing.scene.answers.emplace();
        clonesim::apply_rule_changes(nothing, changes);
        std::error_code ec;
        if (!std::filesystem::exists(clonesim::os::path_of(line.library), ec)) throw clonesim::run_error("cannot load " + line.library + ": no such file");
        if (!line.html_file.empty()) clonesim::check_writable(line.html_file, "HTML report");
        const clonesim::batch_inputs inputs = clonesim::collect_traces(line.traces);
        if (!line.html_file.empty()) {
            std::vector<std::string> files;
            for (const clonesim::batch_trace& trace : inputs.traces) files.push_back(trace.file.string());
            refuse_output_over_trace(line.html_file, "--html", files);
        }
        for (const std::string& note : inputs.notes) std::cerr << "clonesim: note: " << note << "\n";

        // No more children than traces: the header says how many run.
        const unsigned wanted = line.jobs.empty() ? clonesim::platform::core_count() : static_cast<unsigned>(std::stoul(line.jobs));
        const auto jobs = static_cast<unsigned>(std::min<std::size_t>(wanted, std::max<std::size_t>(1, inputs.traces.size())));
        const clonesim::batch_header header = header_of(line, jobs);
        clonesim::batch_run run;
        run.clonesim = clonesim::os::executable();
        if (run.clonesim.empty()) throw clonesim::run_error("cannot find clonesim's own executable");
        run.jobs = jobs;
        run.replay_options = {"--library", line.library};
        for (const auto& [option, value] : change_options(line)) run.replay_options.insert(run.replay_options.end(), {option, value});
        if (!line.as_json) {
            std::cout << clonesim::batch_head_text(header, inputs.traces.size());
            std::cout.flush();
            run.on_outcome = [](const clonesim::batch_outcome& outcome) {
                std::cout << clonesim::batch_line(outcome);
                std::cout.flush();
                // A reader gone (`| head -1`): the rest would go nowhere.
                if (!std::cout) throw clonesim::run_error("cannot write to standard output: the replay is stopped");
            };
        }
        const std::vector<clonesim::batch_outcome> outcomes = clonesim::replay_each(inputs.traces, run);
        if (const std::string missing = part_held_by_none(line, outcomes); !missing.empty()) throw clonesim::run_error(missing);
        if (!line.html_file.empty()) clonesim::write_text_file(line.html_file, clonesim::batch_html(header, outcomes), "HTML report");
        if (line.as_json)
            std::cout << clonesim::batch_json(header, outcomes).dump(2) << "\n";
        else
            std::cout << clonesim::batch_summary_text(outcomes);
        std::cout.flush();
        return clonesim::batch_exit_status(outcomes);
    });
}

// One trace named alone replays in this process, as it always has; several,
// or a folder, each in a child of its own.
// `--set A=1 B=2 T`: B=2 is taken as a trace, since each change option
// takes one value (so that the traces after it are not taken as values).
bool looks_like_change_value(const std::string& word)
{
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    return std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(equals), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    });
}

int replay_command(const replay_command_line& line)
{
    if (!line.result_file.empty()) {
        if (line.traces.size() != 1) {
            std::cerr << "clonesim: --result-file is for one trace\n";
            return exit_usage;
        }
        return replay_child(line);
    }
    // Checked here rather than by the parser, whose message for a bad
    // number names the range of a double.
    constexpr std::size_t most_jobs = 4096;
    if (!line.jobs.empty() && (line.jobs.size() > 4 || !std::all_of(line.jobs.begin(), line.jobs.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
                               std::stoul(line.jobs) < 1 || std::stoul(line.jobs) > most_jobs)) {
        std::cerr << "clonesim: --jobs " << clonesim::quote(line.jobs) << ": give a whole number from 1 to " << most_jobs
                  << " (how many traces replay at once)\n";
        return exit_usage;
    }
    for (const std::string& word : line.traces) {
        std::error_code ec;
        if (std::filesystem::symlink_status(word, ec).type() != std::filesystem::file_type::not_found || !looks_like_change_value(word))
            continue;
        std::cerr << "clonesim: " << clonesim::quote(word)
                  << " is no file and looks like the value of a rule change: each --set, --unset, --program and --exception "
                     "takes one value; repeat the option for each (--set A=1 --set B=2)\n";
        return exit_usage;
    }
    std::error_code ec;
    if (line.traces.size() == 1 && !std::filesystem::is_directory(line.traces.front(), ec)) return replay_one(line);
    return replay_many(line);
}

int scenario_command(const std::string& trace_file, const std::string& output)
{
    return reporting_errors([&] {
        refuse_scenario(trace_file);
        clonesim::trace recorded;
        clonesim::trace_model model = clonesim::model_from_trace_file(trace_file, recorded);
        if (recorded.partial.has_value()) model.scene.title += " (partial: up to line " + std::to_string(recorded.partial->complete_line) + ")";
        const std::string text = clonesim::scenario_file_text(model.scene);
        if (recorded.partial.has_value()) std::cerr << "clonesim: note: " << clonesim::partial_text(recorded) << "\n";
        for (const std::string& note : model.notes) std::cerr << "clonesim: note: " << note << "\n";
        if (!model.taken_as_released.empty()) {
            std::string revisions;
            for (const std::string& revision : model.taken_as_released) revisions += (revisions.empty() ? "" : ", ") + revision;
            std::cerr << "clonesim: note: the trace does not tell whether these revisions are released, so each is taken as "
                         "released: "
                      << revisions << "; where one is not, set its \"release_status\" in the scenario's items to null\n";
        }
        if (output.empty() || output == "-") {
            std::cout << text;
            return 0;
        }
        std::ofstream out(output, std::ios::binary);
        out << text;
        out.close();
        if (!out) throw clonesim::run_error("cannot write " + output);
        return 0;
    });
}

int check_map_command(const std::string& file)
{
    const clonesim::map_check check = clonesim::check_map(file);
    std::cout << clonesim::map_check_text(check);
    if (!check.readable) return exit_usage;
    for (const auto& key : check.keys)
        if (key.second.has_value()) return 0;
    return 1;
}

// The library beside clonesim's own executable when one is there or when
// clonesim runs outside its build tree (a copied or installed tool must
// never load a developer's build), else the built one; on Windows always
// the one beside clonesim.exe, since the build machine's path means nothing
// on the desk it is copied to. Named as the user would: relative to the current directory
// when it lies below it.
std::string default_library()
{
    std::filesystem::path library = KX_DEFAULT_LIBRARY;
    std::error_code ec;
    const std::filesystem::path self = clonesim::os::executable();
    if (!self.empty()) {
        const std::filesystem::path beside = self.parent_path() / library.filename();
        if (KX_LIBRARY_BESIDE_ONLY || std::filesystem::exists(beside, ec) || !clonesim::runs_from_build_tree())
            library = beside;
    }
    const auto relative = std::filesystem::relative(library, std::filesystem::current_path(ec), ec);
    if (ec || relative.empty() || relative.begin()->string() == "..") return clonesim::os::text_of(library);
    return clonesim::os::text_of(relative);
}

// `run ... --json FILE`: the word after --json that the command line had no
// place for, which the user meant as the report's file; null otherwise.
const char* json_given_a_file(int argc, char** argv, const std::string& complaint)
{
    if (argc < 2 || std::string(argv[1]) != "run") return nullptr;
    for (int i = 2; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--json" && argv[i + 1][0] != '-' &&
            complaint.find(std::string("not expected: ") + argv[i + 1]) != std::string::npos)
            return argv[i + 1];
    return nullptr;
}

// A first word that is no option and no command is named, rather than
// reported as an unexpected argument.
bool unknown_command(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-') return false;
    const std::string word = argv[1];
    for (const char* command : commands)
        if (word == command) return false;
    std::cerr << "clonesim: unknown command \"" << word << "\"; the commands are run, check-map, sweep, replay and scenario "
              << "(clonesim --help)\n";
    return true;
}

constexpr const char* run_help =
    "Play the session of a scenario file and report what each part became, with a summary and the\n"
    "findings first.\n"
    "Exit status: 0 the session went through with no error finding; 1 it was refused, or an error was\n"
    "found (with --strict, a warning too); 2 the command line or the scenario is wrong, or a report file\n"
    "cannot be written (checked before the session runs).\n"
    "Examples:\n"
    "  clonesim run examples/import_mapped.json\n"
    "  clonesim run --findings-only --strict big_import.json\n"
    "  clonesim run --part /data/incoming/bracket_plate.prt examples/import_mapped.json\n"
    "  clonesim run --json examples/clone.json > clone.report.json\n"
    "  clonesim run --record traces examples/clone.json";

struct run_command_line {
    run_request request;
    bool findings_only = false;
    std::string part;
};

CLI::App* add_run(CLI::App& app, run_command_line& line)
{
    CLI::App* run = app.add_subcommand("run", run_help);
    run->add_option("scenario", line.request.scenario_file, "Scenario file (JSON)")->required();
    run->add_flag("--json", line.request.as_json, "Report as JSON (every text whole, findings as a list)");
    run->add_option("--json-file", line.request.json_file,
                    "Also write the JSON report to this file (checked before the session runs)");
    run->add_flag("--strict", line.request.strict, "Fail (exit status 1) on warnings too");
    run->add_flag("--findings-only", line.findings_only, "Show only the summary and the findings");
    run->add_option("--part", line.part, "Show one part's story: its outcome, requests, texts, files and findings");
    run->add_option("--html", line.request.html_file,
                    "Also write the report as one self-contained HTML page to this file, to open in a browser\n"
                    "(checked before the session runs)");
    run->add_option("--db", line.request.database,
                    "SQLite file that keeps the simulated PDM database between runs (default: in memory)");
    run->add_option("--library", line.request.library, "The user-exit library to load")->capture_default_str();
    run->add_option("--record", line.request.record_directory,
                    "Have the library record the session's trace into this folder (made when missing);\n"
                    "the report names the trace file");
    return run;
}

CLI::App* add_replay(CLI::App& app, replay_command_line& line)
{
    CLI::App* replay = app.add_subcommand(
        "replay", "Play a recorded session's trace again against a library and report every difference in\n"
                  "outcome: each part's new name or refusal and its messages, the requests sent, the texts\n"
                  "shown, the files deleted and the commands run. What the new library asks that the\n"
                  "recorded session never did is reported as unanswered, never answered by a guess.\n"
                  "A trace cut at its size cap or without its end line replays up to its last complete callback.\n"
                  "Several traces, or folders of them, replay each in a clonesim process of its own, with the\n"
                  "same changes: one line per trace, by path, then a summary.\n"
                  "Exit status: 0 same outcome (every trace's); 1 differences (in any trace); 2 a trace cannot be\n"
                  "read (the line is named).\n"
                  "Examples:\n"
                  "  clonesim replay traces/kxpdm-trace-20261207-164002-4711-1.jsonl\n"
                  "  clonesim replay --jobs 4 --html desks.html desks/*/\n"
                  "  clonesim replay --set KXPDM_NO_SAVE_ON_CLONE_IMPORT=1 session.jsonl\n"
                  "  clonesim replay --program additional=3@/data/incoming/a.prt --map site.map session.jsonl\n"
                  "  clonesim replay --json --library new/libkxpdm_clone_userexit_v30.so session.jsonl");
    replay->add_option("trace", line.traces,
                       "Trace file (JSON Lines) the library recorded, or a folder of them (the files named\n"
                       "kxpdm-trace-*.jsonl in it); several may be given")->required();
    replay->add_option("--library", line.library, "The user-exit library to play it against")->capture_default_str();
    replay->add_flag("--json", line.as_json, "Report as JSON");
    replay->add_option("--html", line.html_file,
                       "Also write the outcome of every trace as one HTML page to this file (checked before\n"
                       "anything is replayed)");
    replay->add_option("--jobs", line.jobs, "How many traces replay at once (default: one for each core)")->type_name("N");
    // How a replay of many traces starts each of its children; not for users.
    replay->add_option("--result-file", line.result_file)->group("");
    // Each change option takes one value and is repeated for more, so that
    // the words after it are the traces.
    replay->add_option("--set", line.set, "Set an environment variable for the replay: NAME=VALUE")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    replay->add_option("--unset", line.unset, "Unset an environment variable for the replay")->type_name("NAME")->allow_extra_args(false);
    replay->add_option("--map", line.map_file,
                       "The import attribute mapping file's content from FILE instead of the recorded one\n"
                       "(also where the library held it as loaded from an earlier session)")->type_name("FILE");
    replay->add_option("--program", line.programs,
                       "The additional import program's or the item ID check's exit code, for every part or\n"
                       "for one: additional=EXIT, check=EXIT@PART")
        ->type_name("additional|check=EXIT[@PART]")
        ->allow_extra_args(false);
    replay->add_option("--exception", line.exceptions,
                       "Set an entry of the exception list the server hands out (also one held from an\n"
                       "earlier session): NAME=VALUE")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    return replay;
}

struct scenario_command_line {
    std::string trace_file;
    std::string output;
};

CLI::App* add_scenario(CLI::App& app, scenario_command_line& line)
{
    CLI::App* scenario = app.add_subcommand(
        "scenario", "Write a recorded session as an editable scenario file: running it plays the session\n"
                    "as recorded (the server answers as it did, the site programs exit as they did).\n"
                    "Exit status: 0 written; 2 the trace cannot be read or the file cannot be written.\n"
                    "Example:\n  clonesim scenario --from-trace session.jsonl -o session.json");
    scenario->add_option("--from-trace", line.trace_file, "Trace file (JSON Lines) the library recorded")->required();
    scenario->add_option("-o,--output", line.output, "Scenario file to write (default: standard output)");
    return scenario;
}

CLI::App* add_check_map(CLI::App& app, std::string& map_file)
{
    CLI::App* check = app.add_subcommand(
        "check-map", "Read an import attribute mapping file as the library does and explain each line.\n"
                     "Exit status: 0 at least one key is mapped, 1 none is, 2 the file cannot be read or is a folder.\n"
                     "Example:\n  clonesim check-map examples/maps/import_attributes.map");
    check->add_option("file", map_file, "Import attribute mapping file")->required();
    return check;
}

struct sweep_command_line {
    clonesim::sweep_options options;
    bool verbose = false;
    bool persistent_only = false;
};

CLI::App* add_sweep(CLI::App& app, sweep_command_line& line)
{
    CLI::App* sweep = app.add_subcommand(
        "sweep", "Play the scenario's session once clean, then again with each host call and each PDM request\n"
                 "in turn made to fail (once only, and from then on), all in one process with the library\n"
                 "loaded once, and check after every session that nothing leaked, the host's callbacks are\n"
                 "back, the failure's message was shown and a clean session still goes as before.\n"
                 "Exit status: 0 every invariant held, 1 one broke, 2 usage or scenario error.\n"
                 "Example:\n  clonesim sweep --every 5 examples/import_mapped.json");
    sweep->add_option("scenario", line.options.scenario_file, "Scenario file (JSON)")->required();
    sweep->add_option("--library", line.options.library, "The user-exit library to load")->capture_default_str();
    sweep->add_option("--every", line.options.every_nth_call,
                      "Try the first, the last and every Nth call of each operation (default: every call)")
        ->check(CLI::PositiveNumber);
    sweep->add_flag("--clean-after-persistent-only", line.persistent_only,
                    "Play the clean session that checks the library is ready for the next one only after the\n"
                    "persistent faults (default: after every faulted session)");
    sweep->add_flag("--verbose", line.verbose, "Name each faulted session on standard error before it is played");
    return sweep;
}

}  // namespace

int main(int argc, char** argv)
{
    clonesim::os::keep_line_ends();
    if (unknown_command(argc, argv)) return exit_usage;
    CLI::App app{"clonesim: rehearse a site's clone, import and export rules on whole sessions, offline,\n"
                 "against the built user-exit library and a simulated host and PDM server.\n"
                 "Examples:\n"
                 "  clonesim run examples/import_mapped.json\n"
                 "  clonesim check-map examples/maps/import_attributes.map\n"
                 "  clonesim sweep examples/clone.json\n"
                 "  clonesim run --record traces examples/clone.json\n"
                 "  clonesim replay traces/kxpdm-trace-20261207-164002-4711-1.jsonl"};
    app.require_subcommand(1);
    // Options are spelt as on Linux everywhere; a word that starts with "/"
    // is a path (a scenario file, a part's name), never an option.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", version_text);

    run_command_line run_line;
    run_line.request.library = default_library();
    CLI::App* run = add_run(app, run_line);
    std::string map_file;
    CLI::App* check = add_check_map(app, map_file);
    sweep_command_line sweep_line;
    sweep_line.options.library = run_line.request.library;
    CLI::App* sweep = add_sweep(app, sweep_line);
    replay_command_line replay_line;
    replay_line.library = run_line.request.library;
    CLI::App* replay = add_replay(app, replay_line);
    scenario_command_line scenario_line;
    CLI::App* scenario = add_scenario(app, scenario_line);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (const char* file = json_given_a_file(argc, argv, e.what())) {
            std::cerr << "clonesim: --json takes no file name (it prints the JSON report): to write it to \"" << file
                      << "\", give --json-file FILE (clonesim run --help)\n";
            return exit_usage;
        }
        std::cerr << "clonesim: " << e.what() << " (clonesim --help)\n";
        return exit_usage;
    }

    if (run->parsed()) {
        run_line.request.report.findings_only = run_line.findings_only;
        if (!run_line.part.empty()) run_line.request.report.part_name = run_line.part;
        return run_command(run_line.request);
    }
    if (check->parsed()) return check_map_command(map_file);
    if (replay->parsed()) return replay_command(replay_line);
    if (scenario->parsed()) return scenario_command(scenario_line.trace_file, scenario_line.output);
    if (sweep->parsed()) {
        sweep_line.options.clean_after_every_run = !sweep_line.persistent_only;
        return sweep_command(sweep_line.options, sweep_line.verbose);
    }
    return exit_usage;
}
