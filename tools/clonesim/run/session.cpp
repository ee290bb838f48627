#include "platform/os.h"
#include "run/session.h"

#include "run/collect.h"
#include "run/environment.h"
#include "run/findings.h"
#include "run/host_texts.h"
#include "run/observers.h"
#include "run/perform_phase.h"
#include "run/site_programs.h"
#include "server/item_store.h"
#include "server/pdm_server.h"
#include "session_driver.h"
#include "traces/trace.h"
#include "session/settings.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace clonesim {

namespace {

constexpr const char* trace_variable = kx::setting::trace_directory;

// The item store of a session, with the scenario's items in it.
std::unique_ptr<item_store> open_store(const std::string& database, const scenario& scene)
{
    try {
        auto store = std::make_unique<item_store>(database);
        store->seed(scene.items);
        return store;
    } catch (const store_error& e) {
        throw run_error(e.what());
    }
}

// Puts the server behind the host's request channel, with the fault a sweep
// asks for, and notes what clonesim sees of each request.
void connect_server(pdm_server& server, const std::optional<server_fault>& fault, std::vector<request_note>& notes)
{
    auto requests_seen = std::make_shared<int>(0);
    sim::host().server = [&server, &notes, requests_seen, fault](int code, const char* input) {
        const int n = ++*requests_seen;
        request_note note;
        note.boxes_before = sim::host().message_boxes.size();
        note.listing_before = listing_calls();
        note.part_name = current_part_name();
        sim::pdm_response response;
        if (fault.has_value() && (n == fault->nth || (fault->persistent && n >= fault->nth))) {
            response = sim::pdm_response{fault->status, fault->reply};
            note.refused = true;
        } else {
            response = server.handle(code, input);
            note.refused = server.last_answer() != pdm_server::answer::given;
            note.malformed = server.last_answer() == pdm_server::answer::malformed;
        }
        notes.push_back(std::move(note));
        return response;
    };
}

// The simulated host as the scenario and the setup have it, before the
// library is started.
void load_model(const scenario& scene, const item_store& store, const session_setup& setup)
{
    sim::host_model& h = sim::host();
    static_cast<sim::session_settings&>(h) = scene;
    h.parts = scene.parts;
    // Numbers the host handed out in earlier runs on the same store are
    // not handed out again.
    h.next_item_number = std::max(scene.next_item_number.value_or(1), store.next_item_number().value_or(1));
    if (scene.initial_revision.has_value()) h.initial_revision = *scene.initial_revision;
    h.faults = scene.faults;
    h.faults.insert(h.faults.end(), setup.host_faults.begin(), setup.host_faults.end());
}

void seed_part_files(const scenario& scene)
{
    sim::host_model& h = sim::host();
    const std::string directory = export_directory(h);
    for (const part_file_seed& seed : scene.part_files) {
        sim::part_file file;
        file.attributes = seed.attributes;
        file.family_instance = seed.family_instance;
        h.part_files[seed.full_path ? seed.name : export_path(directory, seed.name)] = std::move(file);
    }
}

// Starts the library (or puts back the registrations of a started one) and
// surrounds every point with clonesim's observers.
void start_library(const loaded_library& library, const session_setup& setup, run_outcome& out)
{
    sim::host_model& h = sim::host();
    if (setup.started_library != nullptr) {
        h.callbacks.insert(h.callbacks.end(), setup.started_library->begin(), setup.started_library->end());
        out.start_status = 0;
    } else {
        const std::size_t before = h.callbacks.size();
        out.start_status = library.start();
        out.library_callbacks.assign(h.callbacks.begin() + static_cast<std::ptrdiff_t>(before), h.callbacks.end());
    }
    if (out.start_status == 0) surround_library_callbacks();
}

// How the site programs are run: answered as recorded, as they are (a run
// that records must hold the site's own program texts), or through the
// logging wrapper.
site_program_watch site_programs_of(const scenario& scene, const session_setup& setup, run_outcome& out)
{
    site_program_watch watch;
    if (scene.commands.has_value())
        watch = answer_site_programs(scene, out.work_directory);
    else if (setup.trace_directory.has_value())
        watch.env = scene.env;
    else
        watch = watch_site_programs(scene, out.work_directory);
    for (const auto& [shown, own] : watch.shown_as) out.stand_ins.emplace_back(own, shown);
    return watch;
}

// Plays the session in the scenario's directory with standard output
// captured and the site programs watched.
void play(const loaded_library& library, const session_setup& setup, item_store& store, pdm_server& server,
          run_outcome& out)
{
    const site_program_watch watch = site_programs_of(out.scene, setup, out);
    set_environment(watch.env);
    const variable_scope recording(trace_variable, setup.trace_directory);
    working_directory in_scenario(out.scene.directory);
    seed_part_files(out.scene);
    const auto files_before = sim::host().part_files;

    os::output_capture capture;
    start_library(library, setup, out);
    if (out.start_status == 0) {
        sim::session_options options;
        options.on_perform_part = perform_phase(store, server);
        out.session = sim::play_session(options);
        out.started = true;
    }
    attribute_texts();
    out.standard_output = unwrap_output(capture.finish(), watch);
    out.files = part_file_changes(files_before);
    if (!watch.log.empty()) out.program_runs = read_program_log(watch);
}

// The traces of the folder before the session, to tell the session's own.
std::vector<std::filesystem::path> traces_before(const session_setup& setup)
{
    if (!setup.trace_directory.has_value()) return {};
    std::error_code ec;
    std::filesystem::create_directories(*setup.trace_directory, ec);
    if (ec) throw run_error("cannot make the trace folder " + setup.trace_directory->string() + ": " + ec.message());
    return trace_files_in(*setup.trace_directory);
}

void find_trace(const session_setup& setup, const std::vector<std::filesystem::path>& before, run_outcome& out)
{
    if (!setup.trace_directory.has_value()) return;
    // Both lists come sorted: a folder of thousands of traces costs a
    // search per file, not a pass over the folder per file.
    for (const std::filesystem::path& file : trace_files_in(*setup.trace_directory))
        if (!std::binary_search(before.begin(), before.end(), file)) out.trace_file = file;
    if (out.trace_file.has_value() && !out.scene.commands.has_value())
        out.program_runs = recorded_program_runs(*out.trace_file);
}

run_outcome new_outcome(const scenario& scene, const loaded_library& library, const session_setup& setup)
{
    run_outcome out;
    out.scene = scene;
    out.library = library.path;
    std::error_code ec;
    out.database = setup.database == ":memory:" ? setup.database
                                                 : std::filesystem::absolute(setup.database, ec).string();
    return out;
}

// The run's own folders: the server's files and clonesim's (the site
// programs' wrappers and log, the files the library reads).
void make_folders(run_outcome& out)
{
    out.temp_directory = make_temp_directory();
    out.work_directory = make_temp_directory();
    place_files(out.scene, out.work_directory / "files", out.stand_ins);
}

}  // namespace

run_outcome run_session(const scenario& scene, const loaded_library& library, const session_setup& given)
{
    session_setup setup = given;
    // The session runs in the scenario's directory; the folder was named
    // from this one.
    if (setup.trace_directory.has_value()) setup.trace_directory = std::filesystem::absolute(*setup.trace_directory);
    run_outcome out = new_outcome(scene, library, setup);
    const std::unique_ptr<item_store> store = open_store(out.database, out.scene);
    const long long journal_start = store->last_journal_seq();
    const auto items_before = items_by_id(*store);
    // Until the session's outcome is gathered, a failure (a file the
    // scenario names that cannot be placed, a folder not made, the library
    // throwing) takes the run's folders with it.
    struct folders_guard {
        run_outcome& out;
        bool done = false;
        ~folders_guard()
        {
            if (done) return;
            std::error_code ec;
            if (!out.temp_directory.empty()) std::filesystem::remove_all(out.temp_directory, ec);
            if (!out.work_directory.empty()) std::filesystem::remove_all(out.work_directory, ec);
        }
    } guard{out};
    make_folders(out);
    const auto traces = traces_before(setup);
    pdm_server server(*store, out.scene, out.temp_directory);
    load_model(out.scene, *store, setup);
    out.first_item_number = sim::host().next_item_number;
    server.sync_host_items();
    connect_server(server, setup.server_fault, out.request_notes);

    observations seen;
    if (setup.record_steps) seen.steps = &out.steps;
    seen.host_callbacks = &out.host_callbacks;
    const observation_scope observing(seen);
    register_host_callbacks(out.scene.host_callbacks, out.host_callbacks);
    std::error_code ec;
    try {
        play(library, setup, *store, server, out);
    } catch (...) {
        sim::host().server = nullptr;
        throw;
    }
    find_trace(setup, traces, out);
    if (setup.gather_outcome) collect_outcome(session_sources{*store, server, seen, items_before, journal_start}, out);
    sim::host().server = nullptr;
    out.next_item_number = sim::host().next_item_number;
    store->set_next_item_number(out.next_item_number);
    if (setup.gather_outcome) {
        if (setup.texts_in_utf8) texts_in_utf8(out);
        out.findings = gather_findings(out);
    }

    guard.done = true;
    // A file the library left behind stays for the user to look at.
    std::filesystem::remove(out.temp_directory, ec);
    out.temp_directory_kept = std::filesystem::exists(out.temp_directory);
    std::filesystem::remove_all(out.work_directory, ec);
    return out;
}

run_outcome run_scenario(const run_options& options)
{
    const scenario scene = load_scenario(options.scenario_file);
    // The database is checked before the library is loaded, so that a
    // mistake in either is reported in the order the run meets them.
    if (options.database != ":memory:") {
        try {
            item_store check(options.database);
        } catch (const store_error& e) {
            throw run_error(e.what());
        }
    }
    const loaded_library library = load_library(options.library);
    session_setup setup;
    setup.database = options.database;
    setup.record_steps = options.record_steps;
    setup.trace_directory = options.trace_directory;
    setup.texts_in_utf8 = true;
    return run_session(scene, library, setup);
}

}  // namespace clonesim
