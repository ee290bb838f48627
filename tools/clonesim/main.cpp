// clonesim: rehearses a site's clone rules offline. It loads the built
// user-exit library the way the host does, plays whole clone, import and
// export sessions from a scenario file against a simulated host and PDM
// server, and reports what each part became and what the user was shown.
#include "check_map.h"
#include "html_report.h"
#include "report.h"
#include "scenario.h"
#include "session_run.h"
#include "sweep.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

constexpr int exit_went_through = 0;
constexpr int exit_refused = 1;
constexpr int exit_usage = 2;

// Runs a command; a broken scenario, library or store ends it with one line
// on standard error and the usage status.
template <class Body>
int reporting_errors(Body&& body)
{
    try {
        return body();
    } catch (const clonesim::scenario_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    } catch (const clonesim::run_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    } catch (const clonesim::store_error& e) {
        std::cerr << "clonesim: " << e.what() << "\n";
    }
    return exit_usage;
}

int run_command(const std::string& scenario_file, bool as_json, const std::string& database, const std::string& library,
                const std::string& html_file)
{
    return reporting_errors([&] {
        const clonesim::run_outcome run =
            clonesim::run_scenario({scenario_file, library, database, !html_file.empty()});
        if (as_json)
            std::cout << clonesim::json_report(run).dump(2) << "\n";
        else
            std::cout << clonesim::text_report(run);
        std::cout.flush();
        if (!html_file.empty()) clonesim::write_html_report(run, html_file);
        return clonesim::judge(run).went_through ? exit_went_through : exit_refused;
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

int check_map_command(const std::string& file)
{
    const clonesim::map_check check = clonesim::check_map(file);
    std::cout << clonesim::map_check_text(check);
    if (!check.readable) return exit_usage;
    for (const auto& key : check.keys)
        if (key.second.has_value()) return 0;
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"clonesim: rehearse a site's clone, import and export rules on whole sessions, offline,\n"
                 "against the built user-exit library and a simulated host and PDM server."};
    app.require_subcommand(1);

    std::string scenario_file;
    std::string database = ":memory:";
    std::string library = KX_DEFAULT_LIBRARY;
    bool as_json = false;
    CLI::App* run = app.add_subcommand(
        "run", "Play the session of a scenario file and report what each part became.\n"
               "Exit status: 0 the session went through, 1 it was refused, 2 usage or scenario error.");
    run->add_option("scenario", scenario_file, "Scenario file (JSON)")->required();
    run->add_flag("--json", as_json, "Report as JSON instead of text");
    std::string html_file;
    run->add_option("--html", html_file,
                    "Also write the report as one self-contained HTML page to this file, to open in a browser");
    run->add_option("--db", database,
                    "SQLite file that keeps the simulated PDM database between runs (default: in memory)");
    run->add_option("--library", library, "The user-exit library to load")->capture_default_str();

    std::string map_file;
    CLI::App* check = app.add_subcommand(
        "check-map", "Read an import attribute mapping file as the library does and explain each line.\n"
                     "Exit status: 0 at least one key is mapped, 1 none is, 2 the file cannot be read.");
    check->add_option("file", map_file, "Import attribute mapping file")->required();

    clonesim::sweep_options sweep_options;
    sweep_options.library = KX_DEFAULT_LIBRARY;
    bool verbose = false;
    CLI::App* sweep = app.add_subcommand(
        "sweep", "Play the scenario's session once clean, then again with each host call and each PDM request\n"
                 "in turn made to fail (once only, and from then on), all in one process with the library\n"
                 "loaded once, and check after every session that nothing leaked, the host's callbacks are\n"
                 "back, the failure's message was shown and a clean session still goes as before.\n"
                 "Exit status: 0 every invariant held, 1 one broke, 2 usage or scenario error.");
    sweep->add_option("scenario", sweep_options.scenario_file, "Scenario file (JSON)")->required();
    sweep->add_option("--library", sweep_options.library, "The user-exit library to load")->capture_default_str();
    sweep->add_option("--every", sweep_options.every_nth_call,
                      "Try the first, the last and every Nth call of each operation (default: every call)")
        ->check(CLI::PositiveNumber);
    bool persistent_only = false;
    sweep->add_flag("--clean-after-persistent-only", persistent_only,
                    "Play the clean session that checks the library is ready for the next one only after the\n"
                    "persistent faults (default: after every faulted session)");
    sweep->add_flag("--verbose", verbose, "Name each faulted session on standard error before it is played");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : exit_usage;
    }

    if (run->parsed()) return run_command(scenario_file, as_json, database, library, html_file);
    if (check->parsed()) return check_map_command(map_file);
    if (sweep->parsed()) {
        sweep_options.clean_after_every_run = !persistent_only;
        return sweep_command(sweep_options, verbose);
    }
    return exit_usage;
}
