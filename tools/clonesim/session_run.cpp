#include "session_run.h"

#include "pdm_server.h"
#include "interfaces/host_codes.h"
#include "sim_host.h"
#include "site_programs.h"
#include "texts.h"
#include "trace.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <utility>

namespace clonesim {

namespace {

// The variables the library reads. A run sets exactly those the scenario
// names, so that a session does not depend on the shell it was started from.
constexpr std::array<const char*, 7> library_variables = {
    "KXPDM_IMPORT_ATTR_MAP_FILE",       "KXPDM_PFM_ITEMID_PROPERTY",     "PDM_ROOT",
    "KXPDM_ADDITIONAL_IMPORT_PROGRAM",  "USER_NAME_DONT_OVERWRITE_NAME_DESC",
    "KXPDM_NO_SAVE_ON_CLONE_IMPORT",    "HOST_PDM_ALLOW_PFM_IMPORT_EXPORT",
};

constexpr const char* trace_variable = "KXPDM_TRACE_DIR";

constexpr const char* observer_name = "clonesim translation observer";
constexpr const char* step_observer_name = "clonesim step observer";
constexpr const char* part_observer_name = "clonesim part observer";
constexpr const char* listing_operation = "HOST_UI_write_listing_window";

using kx::notification_point;

// What the host-side observers record while the session runs. The host's
// callbacks are plain C functions, so they reach it through one pointer.
struct observations {
    host_clone_trans_cb library_translator = nullptr;
    std::map<std::string, bool> translated;
    std::vector<callback_outcome>* host_callbacks = nullptr;
    std::vector<step_mark>* steps = nullptr;
    // The part the host is working on: what a request, a box or a listing
    // text of that moment concerns.
    std::string current_part;
    std::vector<std::string> box_parts;
    std::vector<std::string> listing_parts;
};

observations* observing = nullptr;

std::size_t listing_calls()
{
    const auto& counts = sim::host().call_counts;
    const auto found = counts.find(listing_operation);
    return found != counts.end() ? static_cast<std::size_t>(found->second) : 0;
}

// Gives the boxes and listing texts that appeared since the last look to
// the part the host is working on.
void attribute_texts()
{
    if (observing == nullptr) return;
    const std::size_t boxes = sim::host().message_boxes.size();
    while (observing->box_parts.size() < boxes) observing->box_parts.push_back(observing->current_part);
    const std::size_t writes = listing_calls();
    while (observing->listing_parts.size() < writes) observing->listing_parts.push_back(observing->current_part);
}

void set_current_part(const char* part_name)
{
    attribute_texts();
    observing->current_part = part_name != nullptr ? part_name : "";
}

void mark_step(int point, const char* part_name)
{
    if (observing == nullptr || observing->steps == nullptr) return;
    const sim::host_model& h = sim::host();
    observing->steps->push_back(
        step_mark{point, part_name != nullptr ? part_name : "", h.call_counts, h.requests.size()});
}

int observe_translation(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE])
{
    {
        const sim::host_code_scope observer;
        set_current_part(part_spec);
    }
    const int status = observing->library_translator(part_spec, new_name);
    const sim::host_code_scope observer;
    observing->translated[part_spec != nullptr ? part_spec : ""] = true;
    set_current_part(nullptr);
    mark_step(translation_step, part_spec);
    return status;
}

// Registered after the library's own Init_Clone hook, so the translation
// callback it installed is in place: wrapped, each part's messages can be
// told apart.
int observe_init_clone(int point, const char* part_name, void*)
{
    const sim::host_code_scope observer;
    sim::host_model& h = sim::host();
    if (point == kx::point_init_clone && observing != nullptr && h.translator != nullptr &&
        h.translator != observe_translation) {
        observing->library_translator = h.translator;
        h.translator = observe_translation;
    }
    if (observing != nullptr) set_current_part(nullptr);
    if (point == kx::point_init_clone) mark_step(point, part_name);
    return 0;
}

// Registered before every other callback: the part named at a point is the
// one the library's callbacks for that point work on.
int observe_part(int, const char* part_name, void*)
{
    const sim::host_code_scope observer;
    if (observing != nullptr) set_current_part(part_name);
    return 0;
}

// Registered after the library's callbacks for the other points: marks the
// end of each step.
int observe_step(int point, const char* part_name, void*)
{
    const sim::host_code_scope observer;
    if (observing != nullptr) set_current_part(nullptr);
    mark_step(point, part_name);
    return 0;
}

template <std::size_t N>
int record_host_callback(int point, const char* part_name, void*)
{
    const sim::host_code_scope host_callback;
    if (observing != nullptr && observing->host_callbacks != nullptr && N < observing->host_callbacks->size()) {
        std::string call = "point " + std::to_string(point);
        if (part_name != nullptr) call += " (" + std::string(part_name) + ")";
        (*observing->host_callbacks)[N].calls.push_back(std::move(call));
    }
    return 0;
}

constexpr std::array<host_clone_notify_cb, max_host_callbacks> recorders = {
    record_host_callback<0>, record_host_callback<1>, record_host_callback<2>, record_host_callback<3>,
    record_host_callback<4>, record_host_callback<5>, record_host_callback<6>, record_host_callback<7>,
};

// Sends file descriptor 1 into a temporary file for as long as it lives:
// the library's lines and those of the site programs it runs.
class stdout_capture {
public:
    stdout_capture()
    {
        std::fflush(stdout);
        file_ = std::tmpfile();
        if (file_ == nullptr) throw run_error(std::string("cannot capture standard output: ") + std::strerror(errno));
        saved_ = dup(1);
        if (saved_ < 0 || dup2(fileno(file_), 1) < 0) {
            std::fclose(file_);
            throw run_error(std::string("cannot capture standard output: ") + std::strerror(errno));
        }
    }
    ~stdout_capture() { restore(); }
    stdout_capture(const stdout_capture&) = delete;
    stdout_capture& operator=(const stdout_capture&) = delete;

    std::string finish()
    {
        restore();
        std::string text;
        if (file_ == nullptr) return text;
        std::rewind(file_);
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
        std::fclose(file_);
        file_ = nullptr;
        return text;
    }

private:
    void restore()
    {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

// Goes back to the directory clonesim was started in, on every path.
class working_directory {
public:
    explicit working_directory(const std::filesystem::path& to) : saved_(std::filesystem::current_path())
    {
        std::error_code ec;
        std::filesystem::current_path(to, ec);
        if (ec) throw run_error("cannot change to the scenario's directory " + to.string() + ": " + ec.message());
    }
    ~working_directory()
    {
        std::error_code ec;
        std::filesystem::current_path(saved_, ec);
    }
    working_directory(const working_directory&) = delete;
    working_directory& operator=(const working_directory&) = delete;

private:
    std::filesystem::path saved_;
};

std::filesystem::path make_temp_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/clonesim-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw run_error("cannot make a temporary directory in " + pattern + ": " + std::strerror(errno));
    return pattern;
}

// Sets a variable for as long as it lives, then puts the old value back.
class variable_scope {
public:
    variable_scope(const char* name, const std::optional<std::filesystem::path>& value) : name_(name)
    {
        if (!value.has_value()) return;
        if (const char* old = std::getenv(name)) saved_ = old;
        setenv(name, value->c_str(), 1);
        set_ = true;
    }
    ~variable_scope()
    {
        if (!set_) return;
        if (saved_.has_value())
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }
    variable_scope(const variable_scope&) = delete;
    variable_scope& operator=(const variable_scope&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
    bool set_ = false;
};

void set_environment(const std::vector<env_setting>& env)
{
    for (const char* name : library_variables) unsetenv(name);
    for (const env_setting& setting : env) {
        if (setting.value.has_value())
            setenv(setting.name.c_str(), setting.value->c_str(), 1);
        else
            unsetenv(setting.name.c_str());
    }
    // The library deletes files with the host platform's "del" command.
    const char* path = std::getenv("PATH");
    const std::string tools = tools_directory().string();
    const std::string current = path != nullptr ? path : "";
    // Put first once: every session of a sweep sets it again.
    if (current == tools || current.rfind(tools + ":", 0) == 0) return;
    setenv("PATH", (tools + (!current.empty() ? ":" + current : std::string())).c_str(), 1);
}

// The name under which the library opens a file of the export directory.
std::string export_path(const std::string& directory, const std::string& name)
{
    return directory + "/" + name;
}

std::string export_directory(const sim::host_model& h)
{
    if (h.def_directory.has_value() && !h.def_directory->empty()) return *h.def_directory;
    return std::filesystem::current_path().string();
}

// What the host does with a translated part when the perform phase reaches
// it: an import or clone creates the item, its revision and the part file in
// the database; an export writes the part file into the export directory.
class perform_phase {
public:
    perform_phase(item_store& store, pdm_server& server) : store_(store), server_(server) {}

    void operator()(sim::clone_part& part) const
    {
        if (observing != nullptr) set_current_part(part.name.c_str());
        sim::host_model& h = sim::host();
        if (h.dry_run || !part.new_name.has_value()) return;
        if (h.operation_class == kx::class_clone || h.operation_class == kx::class_import) create_in_database(part);
        if (h.operation_class == kx::class_export) write_export_file(part);
    }

private:
    void create_in_database(const sim::clone_part& part) const
    {
        const auto name = parse_db_name(*part.new_name);
        if (!name.has_value()) return;
        sim::host_model& h = sim::host();
        std::string type = part.item_type.value_or("");
        if (type.empty()) type = h.def_item_type.value_or("");
        if (type.empty()) type = "Part";
        std::string pdm_name = part.pdm_name.value_or("");
        if (pdm_name.empty()) pdm_name = name->item_id;
        const item_record item{name->item_id, type, pdm_name, part.pdm_desc.value_or(""), std::nullopt};
        if (store_.create_item(item)) {
            store_.journal("created", name->item_id, "", "item of type " + type);
            server_.host_item_added(item);
        }
        if (store_.create_revision(name->item_id, name->rev_id))
            store_.journal("created", name->item_id, name->rev_id, "revision");
        if (!name->relation.empty())
            store_.journal("created", name->item_id, name->rev_id,
                           name->relation + " part " + name->related_name);
        h.part_files.try_emplace(*part.new_name);
    }

    void write_export_file(const sim::clone_part& part) const
    {
        sim::host_model& h = sim::host();
        const std::string directory = export_directory(h);
        server_.note_exported(part.name, *part.new_name);
        const auto name = parse_db_name(part.name);
        if (name.has_value() && (name->relation == "scenario" || name->relation == "simulation")) {
            // Scenario and simulation parts go into a folder named after the
            // owner, beside the owner's master part file.
            if (const auto owner = server_.owner_name(name->item_id)) {
                h.part_files.try_emplace(export_path(export_path(directory, *owner), *part.new_name));
                h.part_files.try_emplace(export_path(directory, *owner + ".prt"));
                return;
            }
        }
        h.part_files.try_emplace(export_path(directory, *part.new_name));
    }

    item_store& store_;
    pdm_server& server_;
};

void load_model(const scenario& scene, item_store& store)
{
    sim::host_model& h = sim::host();
    h.operation_class = scene.operation_class;
    h.dry_run = scene.dry_run;
    h.def_action = scene.def_action;
    h.def_naming = scene.def_naming;
    h.def_item_type = scene.def_item_type;
    h.def_pdm_name = scene.def_pdm_name;
    h.def_pdm_desc = scene.def_pdm_desc;
    h.def_directory = scene.def_directory;
    h.parts = scene.parts;
    // Numbers the host handed out in earlier runs on the same store are
    // not handed out again.
    h.next_item_number = std::max(scene.next_item_number.value_or(1), store.next_item_number().value_or(1));
    if (scene.initial_revision.has_value()) h.initial_revision = *scene.initial_revision;
    h.faults = scene.faults;
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

std::vector<file_change> part_file_changes(const std::map<std::string, sim::part_file>& before)
{
    // The host's call log names the work part of every save asked for,
    // including those that failed.
    std::map<std::string, int> save_requests;
    const std::string save_call = "HOST_PART_save(";
    for (const std::string& call : sim::host().calls)
        if (call.rfind(save_call, 0) == 0 && call.size() > save_call.size())
            ++save_requests[call.substr(save_call.size(), call.size() - save_call.size() - 1)];

    std::vector<file_change> changes;
    for (const auto& [path, file] : sim::host().part_files) {
        const auto earlier = before.find(path);
        file_change change;
        change.kind = "part file";
        change.path = path;
        change.saves = file.saves;
        change.failed_saves = std::max(0, save_requests[path] - file.saves);
        change.left_open = file.open;
        for (const auto& [title, value] : file.attributes) {
            const std::string* old =
                earlier != before.end() ? sim::part_attribute(earlier->second, title) : nullptr;
            if (old == nullptr || *old != value) change.attributes_written.emplace_back(title, value);
        }
        if (change.saves > 0 || change.failed_saves > 0 || change.left_open || !change.attributes_written.empty())
            changes.push_back(std::move(change));
    }
    return changes;
}

}  // namespace

std::filesystem::path tools_directory()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && std::filesystem::exists(self.parent_path() / "del")) return self.parent_path();
    return KX_CLONESIM_TOOLS_DIR;
}

loaded_library load_library(const std::string& path)
{
    std::error_code ec;
    loaded_library library;
    library.path = std::filesystem::absolute(path, ec).string();
    void* handle = dlopen(library.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw run_error(std::string("cannot load ") + library.path + ": " + dlerror());
    // The library stays loaded to the end of the process, as in the host.
    library.start = reinterpret_cast<int (*)()>(dlsym(handle, "user_exit_start"));
    if (library.start == nullptr) throw run_error(library.path + " has no user_exit_start");
    return library;
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
    return run_session(scene, library, setup);
}

namespace {

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

// Puts the server behind the host's request channel, with the failure a
// sweep asks for, and notes what clonesim sees of each request.
void connect_server(pdm_server& server, const std::optional<server_failure>& failure,
                    std::vector<request_note>& notes)
{
    auto requests_seen = std::make_shared<int>(0);
    sim::host().server = [&server, &notes, requests_seen, failure](int code, const char* input) {
        const int n = ++*requests_seen;
        request_note note;
        note.boxes_before = sim::host().message_boxes.size();
        note.listing_before = listing_calls();
        if (observing != nullptr) note.part = observing->current_part;
        sim::pdm_response response;
        if (failure.has_value() && (n == failure->nth || (failure->persistent && n >= failure->nth))) {
            response = sim::pdm_response{failure->status, failure->reply};
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

// The host's own callbacks are in place before the library is loaded.
void register_host_callbacks(const scenario& scene, run_outcome& out)
{
    sim::host_model& h = sim::host();
    for (std::size_t i = 0; i < scene.host_callbacks.size(); ++i) {
        const host_callback& cb = scene.host_callbacks[i];
        out.host_callbacks.push_back(callback_outcome{cb.name, cb.point, {}, false});
        h.callbacks.push_back(sim::registered_callback{cb.point, recorders[i], cb.name, cb.description});
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
    if (out.start_status != 0) return;
    for (const notification_point point : kx::session_points)
        h.callbacks.insert(h.callbacks.begin(), sim::registered_callback{point, observe_part, part_observer_name, ""});
    h.callbacks.push_back(sim::registered_callback{kx::point_init_clone, observe_init_clone, observer_name, ""});
    for (const notification_point point : kx::session_points)
        if (point != kx::point_init_clone)
            h.callbacks.push_back(sim::registered_callback{point, observe_step, step_observer_name, ""});
}

// Plays the session in the scenario's directory with standard output
// captured and the site programs watched.
void play(const scenario& scene, const loaded_library& library, const session_setup& setup, item_store& store,
          pdm_server& server, run_outcome& out)
{
    sim::host_model& h = sim::host();
    // A recorded session must hold the site's own program texts, so a run
    // that records does not wrap them.
    site_program_watch watch;
    if (scene.commands.has_value())
        watch = answer_site_programs(scene, out.work_directory);
    else if (setup.trace_directory.has_value())
        watch.env = scene.env;
    else
        watch = watch_site_programs(scene, out.work_directory);
    for (const auto& [shown, own] : watch.shown_as) out.stand_ins.emplace_back(own, shown);
    set_environment(watch.env);
    const variable_scope recording(trace_variable, setup.trace_directory);
    working_directory in_scenario(scene.directory);
    seed_part_files(scene);
    const auto files_before = h.part_files;

    stdout_capture capture;
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
    if (!watch.log.empty()) out.program_runs = read_program_log(watch.log);
}

void set_identity(part_outcome& p, const db_name& name)
{
    p.item_id = name.item_id;
    p.rev_id = name.rev_id;
    p.relation = name.relation;
    p.related_name = name.related_name;
}

part_outcome part_of(const sim::clone_part& part, const scenario& scene, const item_store& store,
                     const std::map<std::string, item_record>& items_before)
{
    part_outcome p;
    p.name = part.name;
    p.translated = (observing != nullptr && observing->translated.count(part.name) != 0) || part.translate_status != -1;
    p.status = part.translate_status;
    p.new_name = part.new_name;
    const bool exported = scene.operation_class == kx::class_export;
    const auto name = parse_db_name(exported ? part.name : part.new_name.value_or(""));
    if (name.has_value()) set_identity(p, *name);
    if (!exported) {
        p.item_type = part.item_type;
        p.pdm_name = part.pdm_name;
        p.pdm_desc = part.pdm_desc;
    }
    if (!name.has_value()) return p;
    p.item_existed = items_before.count(name->item_id) != 0;
    if (const auto item = store.item(name->item_id)) {
        p.stored_name = item->name;
        p.stored_desc = item->description;
        if (exported) {
            p.item_type = item->item_type;
            p.pdm_name = item->name;
            p.pdm_desc = item->description;
        }
    }
    return p;
}

void collect_parts(const scenario& scene, const item_store& store,
                   const std::map<std::string, item_record>& items_before, run_outcome& out)
{
    for (const sim::clone_part& part : sim::host().parts) out.parts.push_back(part_of(part, scene, store, items_before));
    for (std::size_t i = 0; i < out.message_boxes.size(); ++i)
        for (part_outcome& part : out.parts)
            if (i < out.box_parts.size() && out.box_parts[i] == part.name && part.status != 0 && part.translated)
                part.messages.push_back(out.message_boxes[i].message);
}

void collect_mapping_files(const pdm_server& server, run_outcome& out)
{
    for (const mapping_file& file : server.mapping_files()) {
        file_change change;
        change.kind = "mapping file";
        change.path = file.path.string();
        change.outcome = std::filesystem::exists(file.path) ? "kept" : "deleted";
        change.content = file.content;
        out.files.push_back(std::move(change));
    }
}

void collect_callbacks(run_outcome& out)
{
    for (std::size_t index = 0; index < out.host_callbacks.size(); ++index) {
        callback_outcome& cb = out.host_callbacks[index];
        for (const sim::registered_callback& registered : sim::host().callbacks)
            if (registered.callback == recorders[index] && registered.point == cb.point && registered.name == cb.name)
                cb.registered_at_end = true;
    }
}

// Each text written to the listing window, from the host's call log; the
// window itself only holds them run together.
std::vector<std::string> listing_writes();

// What the session showed and asked, each text with the part it was for.
void collect_shown(const observations& seen, run_outcome& out)
{
    const sim::host_model& h = sim::host();
    out.message_boxes = h.message_boxes;
    out.box_parts = seen.box_parts;
    out.box_parts.resize(out.message_boxes.size());
    out.listing_texts = listing_writes();
    out.listing_parts = seen.listing_parts;
    out.listing_parts.resize(out.listing_texts.size());
    out.requests = h.requests;
    out.request_notes.resize(out.requests.size());
    out.listing = h.listing;
    out.misuse = h.misuse;
}

std::vector<std::string> listing_writes()
{
    const std::string prefix = std::string(listing_operation) + "(";
    std::vector<std::string> writes;
    for (const std::string& call : sim::host().calls) {
        if (call.rfind(prefix, 0) != 0 || call.size() < prefix.size() + 1) continue;
        writes.push_back(call.substr(prefix.size(), call.size() - prefix.size() - 1));
    }
    return writes;
}

// Fields of items that were in the database before the session and are
// different after it: the names the server was asked to set, and the types
// the parts of existing items were given.
std::vector<item_change> changes_to_existing_items(const std::map<std::string, item_record>& before,
                                                   const item_store& store, const run_outcome& out)
{
    std::vector<item_change> changes;
    std::set<std::string> seen;
    auto released = [&store](const std::string& item_id) { return store.has_released_revision(item_id); };
    auto add = [&](const std::string& item_id, const std::string& rev_id, const std::string& field,
                   const std::string& was, const std::string& becomes) {
        if (was == becomes || !seen.insert(item_id + "\n" + field).second) return;
        changes.push_back(item_change{item_id, rev_id, field, was, becomes, released(item_id)});
    };
    for (const journal_entry& entry : out.journal) {
        if (entry.kind != "named") continue;
        const auto earlier = before.find(entry.item_id);
        const auto now = store.item(entry.item_id);
        if (earlier == before.end() || !now.has_value()) continue;
        add(entry.item_id, entry.rev_id, "name", earlier->second.name, now->name);
        add(entry.item_id, entry.rev_id, "description", earlier->second.description, now->description);
    }
    if (out.scene.operation_class == kx::class_export) return changes;
    for (const part_outcome& part : out.parts) {
        const auto earlier = before.find(part.item_id);
        if (earlier == before.end() || !part.item_type.has_value() || part.item_type->empty()) continue;
        add(part.item_id, part.rev_id, "type", earlier->second.item_type, *part.item_type);
    }
    return changes;
}

std::map<std::string, item_record> items_by_id(const item_store& store)
{
    std::map<std::string, item_record> items;
    for (item_record& item : store.items()) items.emplace(item.item_id, std::move(item));
    return items;
}

// Writes the files the library reads into the run's folder and puts their
// names in place of the scenario's, in the variables and in the server's
// answers.
void place_files(scenario& scene, const std::filesystem::path& folder,
                 std::vector<std::pair<std::string, std::string>>& stand_ins)
{
    if (scene.files.empty()) return;
    std::filesystem::create_directories(folder);
    std::vector<std::pair<std::string, std::string>> names;
    for (std::size_t i = 0; i < scene.files.size(); ++i) {
        const file_seed& seed = scene.files[i];
        const std::string base = std::filesystem::path(same_separators(seed.path)).filename().string();
        // The file keeps its own name, which the library may show.
        const std::filesystem::path placed = folder / std::to_string(i + 1) / base;
        std::filesystem::create_directories(placed.parent_path());
        if (seed.content.has_value()) {
            std::ofstream out(placed, std::ios::binary);
            out << *seed.content;
            if (!out) throw run_error("cannot write " + placed.string());
        }
        names.emplace_back(seed.path, placed.string());
    }
    auto replace_names = [&names](std::string& text) { text = replace_each(text, names); };
    for (env_setting& setting : scene.env)
        if (setting.value.has_value()) replace_names(*setting.value);
    if (scene.answers.has_value())
        for (recorded_answer& answer : *scene.answers)
            if (answer.reply.has_value()) replace_names(*answer.reply);
    stand_ins.insert(stand_ins.end(), names.begin(), names.end());
}

// The site programs of a recorded session, as the trace tells them.
std::vector<program_run> recorded_program_runs(const std::filesystem::path& file)
{
    std::vector<program_run> runs;
    try {
        for (const trace_event& event : read_trace(file).events) {
            if (event.kind != "command") continue;
            program_run run;
            const std::string program = text_field(event.data, "program").value_or("");
            run.program = program.empty() ? "item ID check" : "additional import program";
            if (!program.empty()) run.arguments.push_back(program);
            for (std::string& argument : texts_field(event.data, "arguments")) run.arguments.push_back(std::move(argument));
            run.exit_status = static_cast<int>(number_field(event.data, "exit").value_or(-1));
            runs.push_back(std::move(run));
        }
    } catch (const trace_error&) {
        // The library said on standard output why its trace is not whole.
    }
    return runs;
}

}  // namespace

run_outcome run_session(const scenario& scene_in, const loaded_library& library, const session_setup& given)
{
    session_setup setup = given;
    // The session runs in the scenario's directory; the folder was named
    // from this one.
    if (setup.trace_directory.has_value()) setup.trace_directory = std::filesystem::absolute(*setup.trace_directory);
    run_outcome out;
    out.scene = scene_in;
    const scenario& scene = out.scene;
    std::error_code ec;
    out.library = library.path;
    out.database = setup.database == ":memory:" ? setup.database
                                                 : std::filesystem::absolute(setup.database, ec).string();
    const std::unique_ptr<item_store> opened = open_store(out.database, scene);
    item_store& store = *opened;
    const long long journal_start = store.last_journal_seq();
    const auto items_before = items_by_id(store);

    out.temp_directory = make_temp_directory();
    out.work_directory = make_temp_directory();
    place_files(out.scene, out.work_directory / "files", out.stand_ins);
    std::vector<std::filesystem::path> traces_before;
    if (setup.trace_directory.has_value()) {
        std::filesystem::create_directories(*setup.trace_directory, ec);
        if (ec) throw run_error("cannot make the trace folder " + setup.trace_directory->string() + ": " + ec.message());
        traces_before = trace_files_in(*setup.trace_directory);
    }
    pdm_server server(store, scene, out.temp_directory);
    sim::host_model& h = sim::host();
    load_model(scene, store);
    h.faults.insert(h.faults.end(), setup.extra_faults.begin(), setup.extra_faults.end());
    server.sync_host_items();
    connect_server(server, setup.server_fails, out.request_notes);

    observations seen;
    if (setup.record_steps) seen.steps = &out.steps;
    seen.host_callbacks = &out.host_callbacks;
    observing = &seen;
    register_host_callbacks(scene, out);
    try {
        play(scene, library, setup, store, server, out);
    } catch (...) {
        observing = nullptr;
        h.server = nullptr;
        std::filesystem::remove_all(out.temp_directory, ec);
        std::filesystem::remove_all(out.work_directory, ec);
        throw;
    }
    if (setup.trace_directory.has_value()) {
        for (const std::filesystem::path& file : trace_files_in(*setup.trace_directory))
            if (std::find(traces_before.begin(), traces_before.end(), file) == traces_before.end()) out.trace_file = file;
        if (out.trace_file.has_value() && !scene.commands.has_value())
            out.program_runs = recorded_program_runs(*out.trace_file);
    }
    collect_shown(seen, out);
    collect_parts(scene, store, items_before, out);
    observing = nullptr;
    collect_mapping_files(server, out);
    collect_callbacks(out);
    out.journal = store.journal_since(journal_start);
    out.item_changes = changes_to_existing_items(items_before, store, out);
    h.server = nullptr;
    store.set_next_item_number(h.next_item_number);
    out.findings = gather_findings(out);

    // A file the library left behind stays for the user to look at.
    std::filesystem::remove(out.temp_directory, ec);
    out.temp_directory_kept = std::filesystem::exists(out.temp_directory);
    std::filesystem::remove_all(out.work_directory, ec);
    return out;
}

}  // namespace clonesim
