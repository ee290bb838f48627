#include "sweep/sweep.h"

#include "host/host_codes.h"
#include "platform/os.h"
#include "report/text_report.h"
#include "report/verdict.h"
#include "session/messages.h"
#include "sim_host.h"
#include "sweep/expectations.h"
#include "texts/texts.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

// Present only in a sanitizer build: tells which session was running when a
// sanitizer ends the process.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace clonesim {

namespace {

using kx::class_import;

constexpr std::size_t failures_listed = 40;

// --- the session that is running, for a crash report ------------------------

char running[512] = "the first clean session";

void tell_running()
{
    os::write_error_now("\nclonesim sweep: the process ended during: ");
    os::write_error_now(running);
    os::write_error_now("\n");
}

extern "C" void on_fatal_signal(int signal_number)
{
    tell_running();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void note_running(const std::string& label)
{
    std::snprintf(running, sizeof running, "%s", label.c_str());
}

// A sanitizer's report ends the process: the sweep's own status tells it
// from a broken invariant (1) whatever the sanitizer's exit code.
constexpr int sanitizer_report_status = 70;

void tell_running_and_exit()
{
    tell_running();
    os::exit_now(sanitizer_report_status);
}

void install_crash_reporting()
{
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(tell_running_and_exit);
    os::on_fatal_signals(on_fatal_signal);
}

// --- what one session left behind ---------------------------------------------

std::string normalise(const std::string& report)
{
    static const std::regex temp_dir(R"([^\s"]*clonesim-[A-Za-z0-9]{6})");
    return std::regex_replace(report, temp_dir, "<tmp>");
}

// Everything a session showed and changed, as its report tells it. The first
// session of a library also fetches the exception list, which it then keeps;
// that request can be left out to compare it with later sessions.
std::string fingerprint(const run_outcome& run, bool without_exception_request)
{
    if (!without_exception_request) return normalise(text_report(run, judge(run)));
    run_outcome copy = run;
    copy.requests.clear();
    copy.request_notes.clear();
    for (std::size_t i = 0; i < run.requests.size(); ++i) {
        if (run.requests[i].code == kx::request_get_exceptions) continue;
        copy.requests.push_back(run.requests[i]);
        if (i < run.request_notes.size()) copy.request_notes.push_back(run.request_notes[i]);
    }
    return normalise(text_report(copy, judge(copy)));
}

bool fired(const std::string& operation)
{
    for (const std::string& hit : sim::host().faults_fired)
        if (hit.rfind(operation + " #", 0) == 0) return true;
    return false;
}

// The descriptions under which the library gives the host's load callbacks
// back after an export.
std::string given_back_description(const std::string& name)
{
    if (name == "HOST End Assy Load") return "Called at the end of the assembly load operation,";
    if (name == "HOST Begin Part Load") return "Called at the start for each part,";
    return {};
}

std::string step_label(const step_mark* step)
{
    if (step == nullptr) return "after the session";
    std::string label = step_point_name(step->point);
    if (!step->part_name.empty()) label += " of " + step->part_name;
    return label;
}


// --- the sweep ------------------------------------------------------------------

class sweeper {
public:
    explicit sweeper(const sweep_options& options)
        : options_(options), scene_(load_scenario(options.scenario_file)), library_(load_library(options.library))
    {
        result_.scenario = scene_.file.filename().string();
        result_.operation = operation_name(scene_.operation_class);
    }

    sweep_result run()
    {
        const auto started = std::chrono::steady_clock::now();
        install_crash_reporting();
        warm_up();
        if (options_.host_and_request_faults) {
            sweep_host_calls();
            sweep_requests();
        }
        sweep_cxx_allocations();
        note_running("the end of the sweep");
        result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return std::move(result_);
    }

private:
    // The first session starts the library, which then keeps its exception
    // list and mapping file for the process; the second one is the clean
    // session every faulted one is measured against.
    void warm_up()
    {
        note_running("the first clean session");
        sim::reset_model();
        const run_outcome first = play({}, std::nullopt, false, true);
        started_ = first.library_callbacks;
        baseline_ = sim::outstanding_allocations();
        result_.outstanding_baseline = baseline_;
        check_invariants("first clean session", first);
        const std::string first_print = fingerprint(first, true);
        finish_session(first);

        note_running("the second clean session");
        clean_ = play({}, std::nullopt, true, false);
        result_.host_calls = sim::host().call_counts;
        result_.requests = clean_.requests.size();
        clean_print_ = fingerprint(clean_, false);
        clean_effects_ = effects(clean_);
        check_invariants("second clean session", clean_);
        if (fingerprint(clean_, true) != first_print)
            fail("second clean session", "went otherwise than the first (the exception list request left aside)");
        finish_session(clean_);
    }

    void sweep_host_calls()
    {
        const int every = std::max(1, options_.every_nth_call);
        for (const auto& [operation, count] : result_.host_calls) {
            // Operations that return nothing cannot fail.
            if (operation == "HOST_free" || operation == "HOST_free_string_array") continue;
            for (int k = 1; k <= count; ++k) {
                if (k != 1 && k != count && (k - 1) % every != 0) continue;
                ++result_.failure_points;
                const located_call at = locate_host_call(clean_.steps, operation, k);
                for (const bool persistent : {false, true}) {
                    sim::fault fault{operation, k, persistent, host_fault_status};
                    const std::string label = operation + " #" + std::to_string(k) +
                                              (persistent ? " persistent" : " transient") + " [" +
                                              step_label(at.step) + "]";
                    begin_run(label);
                    const run_outcome run = play({fault}, std::nullopt, false, false);
                    if (!fired(operation)) fail(label, "the fault never fired: the session went another way");
                    check_invariants(label, run);
                    check_message(label, run, host_call_expectation(scene_.operation_class, operation, at, persistent));
                    finish_session(run);
                    if (persistent || options_.clean_after_every_run || kept_item_list(run)) check_clean_session(label);
                }
            }
        }
    }

    void sweep_requests()
    {
        for (std::size_t k = 1; k <= clean_.requests.size(); ++k) {
            const sim::pdm_request& request = clean_.requests[k - 1];
            const step_mark* step = locate_request(clean_.steps, k);
            ++result_.failure_points;
            for (const bool with_reply : {true, false}) {
                // A non-zero status with a text is how the server hands out
                // the exception list: no failure of that request looks so.
                if (request.code == kx::request_get_exceptions && with_reply) continue;
                for (const bool persistent : {false, true}) {
                    server_fault failure{static_cast<int>(k), persistent, server_fault_status,
                                           with_reply ? std::optional<std::string>(server_fault_reply) : std::nullopt};
                    const std::string label = "request " + std::to_string(k) + " (code " +
                                              std::to_string(request.code) + ")" +
                                              (persistent ? " persistent" : " transient") +
                                              (with_reply ? ", with a reply" : ", no reply") + " [" +
                                              step_label(step) + "]";
                    begin_run(label);
                    const run_outcome run = play({}, failure, false, false);
                    if (run.requests.size() < k || run.requests[k - 1].status != server_fault_status)
                        fail(label, "the failure never reached the library: the session went another way");
                    check_invariants(label, run);
                    check_message(label, run,
                                  request_expectation(failed_request{request, step, with_reply, persistent}, clean_));
                    finish_session(run);
                    if (persistent || options_.clean_after_every_run || kept_item_list(run)) check_clean_session(label);
                }
            }
        }
    }

    // Each C++ allocation the library makes in a session fails in turn; an
    // exception must never leave a callback, and the library must come
    // through whole as after any other failure.
    void sweep_cxx_allocations()
    {
        if (!options_.cxx_allocations.has_value()) return;
        const auto& failures = *options_.cxx_allocations;
        for (const bool persistent : {false, true}) {
            for (long long nth = 1;; ++nth) {
                const std::string label =
                    "C++ allocation #" + std::to_string(nth) + (persistent ? " persistent" : " transient");
                begin_run(label);
                failures.arm(nth, persistent);
                std::optional<run_outcome> run;
                std::string escaped;
                try {
                    run = play({}, std::nullopt, false, false);
                } catch (const std::exception& e) {
                    escaped = e.what();
                } catch (...) {
                    escaped = "an exception of another kind";
                }
                const bool fired = failures.failed() > 0;
                failures.arm(0, false);
                if (run.has_value()) {
                    --result_.clean_runs;
                    ++result_.faulted_runs;
                }
                if (!run.has_value()) {
                    fail(label, "an exception left the library: " + escaped);
                    return;
                }
                if (!fired) break;
                ++result_.allocation_points;
                check_invariants(label, *run);
                const bool told = std::any_of(run->message_boxes.begin(), run->message_boxes.end(),
                                              [](const sim::message_box& box) { return box.message == kx::msg::internal_error; });
                // The recorder's own failures end the recording, never a step.
                const bool recorder_took_it = options_.trace_directory.has_value() && effects(*run) == clean_effects_;
                if (!told && !recorder_took_it) fail(label, "no error box told the user that a step was stopped");
                finish_session(*run);
                check_clean_session(label);
            }
        }
    }

    void begin_run(const std::string& label)
    {
        note_running(label);
        if (options_.on_run) options_.on_run(label);
    }

    run_outcome play(std::vector<sim::fault> faults, std::optional<server_fault> failure, bool record_steps,
                     bool first)
    {
        sim::reset_model();
        session_setup setup;
        if (!first) setup.started_library = &started_;
        setup.host_faults = std::move(faults);
        setup.server_fault = std::move(failure);
        setup.record_steps = record_steps;
        setup.trace_directory = options_.trace_directory;
        run_outcome run = run_session(scene_, library_, setup);
        if (first && run.start_status != 0)
            throw run_error("user_exit_start answered " + std::to_string(run.start_status) + " in a clean session");
        if (setup.host_faults.empty() && !setup.server_fault.has_value())
            ++result_.clean_runs;
        else
            ++result_.faulted_runs;
        return run;
    }

    // What must hold after every session, faulted or not.
    void check_invariants(const std::string& label, const run_outcome& run)
    {
        const sim::host_model& h = sim::host();
        for (const std::string& misuse : h.misuse) fail(label, "host misuse: " + misuse);
        const std::size_t outstanding = sim::outstanding_allocations();
        // An import whose end the server did not accept keeps its item list
        // until the next import session starts: the one allocation allowed.
        const std::size_t allowed = baseline_ + (kept_item_list(run) ? 1 : 0);
        if (outstanding != baseline_ && outstanding != allowed)
            fail(label, std::to_string(outstanding) + " host allocations outstanding after Exit_Clone, " +
                            std::to_string(baseline_) + " before the session");
        if (sim::open_text_channels() != 0 && !fired("HOST_TEXT_close"))
            fail(label, std::to_string(sim::open_text_channels()) + " text channels left open");
        if (h.iterating && !fired("HOST_CLONE_stop_iteration")) fail(label, "the part iteration was left running");

        // The host's own callbacks, suspended during an export, are back with
        // their functions, names and descriptions, each once. Only a host
        // that refused the registration itself keeps one out.
        if (!fired("HOST_CLONE_register_ntfy_callback")) {
            for (std::size_t i = 0; i < scene_.host_callbacks.size(); ++i) {
                const host_callback& expected = scene_.host_callbacks[i];
                int registrations = 0;
                bool same_description = false;
                for (const sim::registered_callback& cb : h.callbacks) {
                    if (cb.name != expected.name) continue;
                    ++registrations;
                    same_description = cb.point == expected.point && (cb.description == expected.description ||
                                                                      cb.description == given_back_description(cb.name));
                }
                if (i >= run.host_callbacks.size() || !run.host_callbacks[i].registered_at_end || registrations != 1 ||
                    !same_description)
                    fail(label, "the host's callback \"" + expected.name + "\" is not registered again as it was (" +
                                    std::to_string(registrations) + " registrations)");
            }
        }
        if (!run.started) fail(label, "no session was played");
    }

    bool kept_item_list(const run_outcome& run) const
    {
        if (scene_.operation_class != class_import) return false;
        for (const sim::pdm_request& request : run.requests)
            if (request.code == kx::request_end_import && request.status == 0) return false;
        return true;
    }

    void check_message(const std::string& label, const run_outcome& run, const std::optional<expectation>& e)
    {
        if (!e.has_value()) return;
        ++result_.message_checks;
        rules_met_.insert(e->rule);
        const std::string problem = check_shown(*e, run, clean_);
        if (!problem.empty()) fail(label, problem);
    }

    // The library is ready for a normal session: it goes exactly as the
    // clean one did and keeps no more than it did.
    // What a session did to the host, the server and the user: its parts,
    // requests, texts shown, files and the host's callbacks. A recorded
    // session's report also tells what the trace holds (its name, the site
    // programs' runs), which a recording given up lacks.
    static std::string effects(const run_outcome& run)
    {
        std::ostringstream out;
        for (const part_outcome& p : run.parts) {
            out << "part " << p.name << " " << p.translated << " " << p.status << " " << p.new_name.value_or("-")
                << " " << p.item_id << "/" << p.rev_id << "\n";
            for (const std::string& m : p.messages) out << "  message " << m << "\n";
        }
        for (const sim::pdm_request& r : run.requests)
            out << "request " << r.code << " " << r.input.value_or("-") << " " << r.status << " "
                << r.reply.value_or("-") << "\n";
        for (const sim::message_box& box : run.message_boxes) out << "box " << box.message << "\n";
        out << "listing " << run.listing << "\n";
        for (const file_change& f : run.files)
            out << "file " << f.path << " " << f.saves << " " << f.failed_saves << " " << f.left_open << " "
                << f.outcome << " " << f.attributes_written.size() << "\n";
        for (const callback_outcome& c : run.host_callbacks) out << "callback " << c.name << " " << c.registered_at_end << "\n";
        for (const std::string& m : run.misuse) out << "misuse " << m << "\n";
        return out.str();
    }

    void check_clean_session(const std::string& after)
    {
        const std::string label = "clean session after " + after;
        note_running(label);
        const run_outcome run = play({}, std::nullopt, false, false);
        check_invariants(label, run);
        const bool same = options_.trace_directory.has_value() ? effects(run) == clean_effects_
                                                               : fingerprint(run, false) == clean_print_;
        if (!same) fail(label, "went otherwise than the clean session");
        finish_session(run);
    }

    // Removes what the session's server wrote, kept files included.
    void finish_session(const run_outcome& run)
    {
        std::error_code ec;
        if (!run.temp_directory.empty()) std::filesystem::remove_all(run.temp_directory, ec);
        // A recorded sweep keeps no trace: thousands of them would only slow
        // the search for each session's own.
        if (run.trace_file.has_value()) std::filesystem::remove(*run.trace_file, ec);
    }

    void fail(const std::string& label, const std::string& what)
    {
        result_.failures.push_back(label + ": " + what);
    }

    const sweep_options& options_;
    scenario scene_;
    loaded_library library_;
    std::vector<sim::registered_callback> started_;
    std::size_t baseline_ = 0;
    run_outcome clean_;
    std::string clean_print_;
    std::string clean_effects_;
    std::set<std::string> rules_met_;
    sweep_result result_;

public:
    std::vector<std::string> rules() const { return {rules_met_.begin(), rules_met_.end()}; }
};

}  // namespace

sweep_result run_sweep(const sweep_options& options)
{
    sweeper sweep(options);
    sweep_result result = sweep.run();
    result.rules_met = sweep.rules();
    return result;
}

std::string sweep_text(const sweep_result& r)
{
    std::ostringstream out;
    std::size_t calls = 0;
    for (const auto& [operation, count] : r.host_calls) calls += static_cast<std::size_t>(count);
    out << "Fault sweep of " << r.scenario << " (" << r.operation << " session)\n";
    out << "  clean session: " << calls << " host calls of " << r.host_calls.size() << " operations, " << r.requests
        << " PDM requests\n";
    out << "  failure points tried: " << r.failure_points << "\n";
    if (r.allocation_points != 0) out << "  C++ allocations of the library failed: " << r.allocation_points << "\n";
    out << "  sessions played: " << r.sessions() << " (" << r.faulted_runs << " with a fault, " << r.clean_runs
        << " clean)\n";
    out << "  messages checked: " << r.message_checks << " sessions, " << r.rules_met.size() << " rules\n";
    for (const std::string& rule : r.rules_met) out << "    - " << rule << "\n";
    out << "  host allocations the library keeps for its life: " << r.outstanding_baseline << "\n";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
    out << "  time: " << seconds << " s\n";
    if (r.failures.empty()) {
        out << "  result: every invariant held\n";
    } else {
        out << "  result: " << r.failures.size() << " broken invariants\n";
        for (std::size_t i = 0; i < r.failures.size() && i < failures_listed; ++i) out << "    " << r.failures[i] << "\n";
        if (r.failures.size() > failures_listed)
            out << "    ... and " << r.failures.size() - failures_listed << " more\n";
    }
    return out.str();
}

}  // namespace clonesim
