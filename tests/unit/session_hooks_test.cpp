// The hooks that open and close clone sessions, driven the way the host
// drives them: Init_Clone, the load points, Begin_Apply_Defaults, the translations and
// Exit_Clone of export, import, clone and edit sessions.
#include "host/host_codes.h"
#include "pdm/pdm_requests.h"
#include "entry/callbacks.h"
#include "session/session_hooks.h"
#include "session/messages.h"
#include "session/session_state.h"
#include "session_driver.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char* end_assy_load_name = "HOST End Assy Load";
constexpr const char* begin_part_load_name = "HOST Begin Part Load";
constexpr const char* end_assy_load_description = "Called at the end of the assembly load operation,";
constexpr const char* begin_part_load_description = "Called at the start for each part,";
constexpr const char* exception_reply = "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1?KXPDM_IMPORT_FILL_ORIGINAL_FILENAME?999";

// The host's own callbacks count their calls, so a test sees whether the
// host could reach them during the session.
int end_assy_load_calls = 0;
int begin_part_load_calls = 0;
int host_end_assy_load(int, const char*, void*)
{
    ++end_assy_load_calls;
    return 0;
}
int host_begin_part_load(int, const char*, void*)
{
    ++begin_part_load_calls;
    return 0;
}

// What the library holds while the session runs, taken at Begin_Apply_Defaults.
struct session_snapshot {
    bool taken = false;
    host_clone_trans_cb translator = nullptr;
    bool import_item_list_held = false;
    std::string import_item_list;
    bool end_assy_load_registered = false;
    bool begin_part_load_registered = false;
    bool end_assy_load_suspended = false;
    bool begin_part_load_suspended = false;
};
session_snapshot snapshot;

bool registered(const char* name)
{
    const auto& callbacks = sim::host().callbacks;
    return std::any_of(callbacks.begin(), callbacks.end(),
                       [&](const sim::registered_callback& cb) { return cb.name == name; });
}

int probe(int, const char*, void*)
{
    const kx::library_state& s = kx::state();
    snapshot.taken = true;
    snapshot.translator = sim::host().translator;
    snapshot.import_item_list_held = s.import_item_list.held();
    snapshot.import_item_list = std::string(s.import_item_list.view());
    snapshot.end_assy_load_registered = registered(end_assy_load_name);
    snapshot.begin_part_load_registered = registered(begin_part_load_name);
    snapshot.end_assy_load_suspended = s.end_assy_load_suspended;
    snapshot.begin_part_load_suspended = s.begin_part_load_suspended;
    return 0;
}

class session_hooks : public kxtest::library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        end_assy_load_calls = 0;
        begin_part_load_calls = 0;
        snapshot = session_snapshot{};
        answers.clear();
        answers[36] = {1, exception_reply};
        // Keeps the perform phase of exports away from the export log.
        answers[20] = {1, std::nullopt};
        host().server = [this](int code, const char*) {
            const auto found = answers.find(code);
            return found != answers.end() ? found->second : sim::pdm_response{};
        };
    }

    void register_host_callback(int point, host_clone_notify_cb callback, const char* name,
                                const char* description)
    {
        host().callbacks.push_back(sim::registered_callback{point, callback, name, description});
    }
    void register_host_callbacks()
    {
        register_host_callback(3, host_end_assy_load, end_assy_load_name, end_assy_load_description);
        register_host_callback(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    }
    // The library's callbacks, then a probe that looks at the running session.
    void start_with_probe()
    {
        start_library();
        register_host_callback(12, probe, "TEST probe", "Testing");
    }

    void add_part(const std::string& name, int state = 0)
    {
        sim::clone_part part;
        part.name = name;
        part.state = state;
        host().parts.push_back(part);
    }

    sim::session_result play(int operation_class)
    {
        host().operation_class = operation_class;
        return sim::play_session();
    }

    int requests_of(int code) const
    {
        const auto& requests = sim::host().requests;
        return static_cast<int>(std::count_if(requests.begin(), requests.end(),
                                              [&](const sim::pdm_request& r) { return r.code == code; }));
    }
    // The call log's line of a registration of `name` at `point`.
    static std::string registration(int point, const std::string& name)
    {
        return "HOST_CLONE_register_ntfy_callback(" + std::to_string(point) + ", " + name + ")";
    }
    int calls_logged(const std::string& call) const
    {
        const auto& calls = sim::host().calls;
        return static_cast<int>(std::count(calls.begin(), calls.end(), call));
    }
    // Every entry of the host's registry under `name`.
    std::vector<sim::registered_callback> entries_named(const char* name) const
    {
        std::vector<sim::registered_callback> found;
        for (const auto& cb : sim::host().callbacks)
            if (cb.name == name) found.push_back(cb);
        return found;
    }
    void expect_restored(int point, host_clone_notify_cb callback, const char* name, const char* description)
    {
        const auto found = entries_named(name);
        ASSERT_EQ(found.size(), 1u) << name;
        EXPECT_EQ(found[0].point, point);
        EXPECT_EQ(found[0].callback, callback);
        EXPECT_EQ(found[0].description, description);
    }
    std::vector<std::string> box_texts() const
    {
        std::vector<std::string> texts;
        for (const auto& box : sim::host().message_boxes) {
            EXPECT_EQ(box.title, "Error");
            texts.push_back(box.message);
        }
        return texts;
    }

    std::map<int, sim::pdm_response> answers;
};

// --- exports: the host's own callbacks --------------------------------------------

TEST_F(session_hooks, export_suspends_the_host_load_callbacks_and_gives_them_back)
{
    register_host_callbacks();
    start_with_probe();
    add_part("@DB/P1/A");
    add_part("@DB/P2/B");
    answers[18] = {0, "p.prt"};

    const sim::session_result result = play(kx::class_export);

    EXPECT_FALSE(result.refused) << result.refused_at;
    ASSERT_TRUE(snapshot.taken);
    EXPECT_FALSE(snapshot.end_assy_load_registered);
    EXPECT_FALSE(snapshot.begin_part_load_registered);
    EXPECT_TRUE(snapshot.end_assy_load_suspended);
    EXPECT_TRUE(snapshot.begin_part_load_suspended);
    EXPECT_EQ(snapshot.translator, &kx::translate_export_part);
    // Neither was reachable at its point during the export.
    EXPECT_EQ(end_assy_load_calls, 0);
    EXPECT_EQ(begin_part_load_calls, 0);

    expect_restored(3, host_end_assy_load, end_assy_load_name, end_assy_load_description);
    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    EXPECT_FALSE(kx::state().end_assy_load_suspended);
    EXPECT_FALSE(kx::state().begin_part_load_suspended);
    // An export neither begins nor ends an import on the server.
    EXPECT_EQ(requests_of(kx::request_begin_import), 0);
    EXPECT_EQ(requests_of(kx::request_end_import), 0);
    EXPECT_EQ(result.exit_result, 0);
    EXPECT_TRUE(box_texts().empty());
    expect_no_leaks();
}

struct suspension_case {
    const char* label;
    std::vector<sim::registered_callback> host_callbacks;
    bool end_assy_load_suspended;
    bool begin_part_load_suspended;
    // Whether the host reaches its callback during the session.
    bool end_assy_load_reached;
    bool begin_part_load_reached;
};

void PrintTo(const suspension_case& c, std::ostream* os) { *os << c.label; }

class host_callback_suspension : public session_hooks,
                                 public ::testing::WithParamInterface<suspension_case> {};

TEST_P(host_callback_suspension, removes_and_registers_again_only_what_it_took)
{
    const suspension_case& c = GetParam();
    for (const auto& cb : c.host_callbacks) register_host_callback(cb.point, cb.callback, cb.name.c_str(), cb.description.c_str());
    start_with_probe();
    add_part("@DB/P1/A");
    answers[18] = {0, "p1.prt"};
    const std::vector<sim::registered_callback> before = host().callbacks;

    const sim::session_result result = play(kx::class_export);
    EXPECT_FALSE(result.refused) << result.refused_at;

    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(snapshot.end_assy_load_suspended, c.end_assy_load_suspended);
    EXPECT_EQ(snapshot.begin_part_load_suspended, c.begin_part_load_suspended);
    EXPECT_EQ(calls_logged(registration(kx::point_end_assy_load, "HOST End Assy Load")),
              c.end_assy_load_suspended ? 1 : 0);
    EXPECT_EQ(calls_logged(registration(kx::point_part_load, "HOST Begin Part Load")),
              c.begin_part_load_suspended ? 1 : 0);
    EXPECT_EQ(end_assy_load_calls > 0, c.end_assy_load_reached);
    EXPECT_EQ(begin_part_load_calls > 0, c.begin_part_load_reached);

    // Afterwards the host has each of its callbacks once, as before the
    // session, and none registered that it did not have.
    for (const auto& cb : c.host_callbacks) {
        const auto found = entries_named(cb.name.c_str());
        if (cb.callback == nullptr) continue;
        ASSERT_EQ(found.size(), 1u) << cb.name;
        EXPECT_EQ(found[0].point, cb.point) << cb.name;
        EXPECT_EQ(found[0].callback, cb.callback) << cb.name;
        EXPECT_EQ(found[0].description, cb.description) << cb.name;
    }
    for (const auto& cb : host().callbacks) EXPECT_NE(cb.callback, nullptr) << cb.name << " at point " << cb.point;
    EXPECT_FALSE(kx::state().end_assy_load_suspended);
    EXPECT_FALSE(kx::state().begin_part_load_suspended);
    expect_no_leaks();
}

INSTANTIATE_TEST_SUITE_P(
    cases, host_callback_suspension,
    ::testing::Values(
        suspension_case{"both",
                        {{kx::point_end_assy_load, host_end_assy_load, end_assy_load_name, end_assy_load_description},
                         {kx::point_part_load, host_begin_part_load, begin_part_load_name, begin_part_load_description}},
                        true,
                        true,
                        false,
                        false},
        suspension_case{"neither", {}, false, false, false, false},
        suspension_case{"only_begin_part_load",
                        {{kx::point_part_load, host_begin_part_load, begin_part_load_name, begin_part_load_description}},
                        false,
                        true,
                        false,
                        false},
        suspension_case{"only_end_assy_load",
                        {{kx::point_end_assy_load, host_end_assy_load, end_assy_load_name, end_assy_load_description}},
                        true,
                        false,
                        false,
                        false},
        // Names are compared whole and case-sensitively.
        suspension_case{"names_that_only_contain_the_names",
                        {{kx::point_end_assy_load, host_end_assy_load, "HOST End Assy Load 2", end_assy_load_description},
                         {kx::point_part_load, host_begin_part_load, "My HOST Begin Part Load", begin_part_load_description}},
                        false,
                        false,
                        true,
                        true},
        suspension_case{"names_in_other_letter_case",
                        {{kx::point_end_assy_load, host_end_assy_load, "HOST end assy load", end_assy_load_description},
                         {kx::point_part_load, host_begin_part_load, "host begin part load", begin_part_load_description}},
                        false,
                        false,
                        true,
                        true},
        // The name is found, but nothing is registered under it at the end of the assembly load:
        // the removal hands back nothing, so nothing is registered at the end.
        suspension_case{"name_registered_at_another_point",
                        {{5, host_end_assy_load, end_assy_load_name, end_assy_load_description}},
                        false,
                        false,
                        false,
                        false}),
    [](const ::testing::TestParamInfo<suspension_case>& info) { return std::string(info.param.label); });

TEST_F(session_hooks, a_removed_null_callback_is_not_registered_again)
{
    register_host_callback(3, nullptr, end_assy_load_name, end_assy_load_description);
    register_host_callback(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    start_library();

    play(kx::class_export);

    EXPECT_TRUE(entries_named(end_assy_load_name).empty());
    EXPECT_EQ(calls_logged(registration(kx::point_end_assy_load, "HOST End Assy Load")), 0);
    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    expect_no_leaks();
}

TEST_F(session_hooks, a_failed_removal_leaves_the_host_callback_in_place_once)
{
    register_host_callbacks();
    start_library();
    add_part("@DB/P1/A");
    answers[18] = {0, "p1.prt"};
    host().faults.push_back({"HOST_CLONE_remove_ntfy_callback", 1, false, 4});

    const sim::session_result result = play(kx::class_export);

    EXPECT_FALSE(result.refused);
    EXPECT_EQ(end_assy_load_calls, 1);  // still reached at the end of the assembly load
    EXPECT_EQ(begin_part_load_calls, 0);
    expect_restored(3, host_end_assy_load, end_assy_load_name, end_assy_load_description);
    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    EXPECT_EQ(calls_logged(registration(kx::point_end_assy_load, "HOST End Assy Load")), 0);
}

TEST_F(session_hooks, a_failed_callback_query_suspends_nothing)
{
    register_host_callbacks();
    start_library();
    add_part("@DB/P1/A");
    answers[18] = {0, "p1.prt"};
    host().faults.push_back({"HOST_CLONE_ask_ntfy_callbacks", 1, false, 8});

    const sim::session_result result = play(kx::class_export);

    EXPECT_FALSE(result.refused);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_remove_ntfy_callback"), 0);
    EXPECT_EQ(end_assy_load_calls, 1);
    EXPECT_EQ(begin_part_load_calls, 1);
    expect_restored(3, host_end_assy_load, end_assy_load_name, end_assy_load_description);
    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    expect_no_leaks();
}

TEST_F(session_hooks, export_stops_when_its_translation_cannot_be_installed)
{
    register_host_callbacks();
    start_library();
    host().faults.push_back({"HOST_PDM_set_clone_auto_trans", 1, false, 5});

    const sim::session_result result = play(kx::class_export);

    EXPECT_TRUE(result.refused);
    EXPECT_EQ(result.refused_at, "Init_Clone");
    ASSERT_FALSE(result.points.empty());
    EXPECT_EQ(result.points.front().result, 3);
    EXPECT_TRUE(box_texts().empty());
    EXPECT_EQ(host().translator, nullptr);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_ntfy_callbacks"), 0);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_remove_ntfy_callback"), 0);
    EXPECT_EQ(requests_of(kx::request_get_exceptions), 0);
    EXPECT_EQ(requests_of(kx::request_end_import), 0);
    EXPECT_EQ(result.exit_result, 0);
    expect_restored(3, host_end_assy_load, end_assy_load_name, end_assy_load_description);
    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
}

TEST_F(session_hooks, a_failed_registration_is_not_tried_again)
{
    register_host_callbacks();
    start_library();  // eight registrations
    host().faults.push_back({"HOST_CLONE_register_ntfy_callback", 9, false, 6});

    play(kx::class_export);
    // A later session must not register it either.
    play(kx::class_export);

    EXPECT_EQ(calls_logged(registration(kx::point_end_assy_load, "HOST End Assy Load")), 1);
    EXPECT_EQ(calls_logged(registration(kx::point_part_load, "HOST Begin Part Load")), 2);
    EXPECT_TRUE(entries_named(end_assy_load_name).empty());
    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
    EXPECT_FALSE(kx::state().end_assy_load_suspended);
}

// --- end_clone_session ----------------------------------------------------------------

TEST_F(session_hooks, end_clone_session_returns_the_status_of_its_last_registration)
{
    struct registration_case {
        const char* label;
        bool end_assy_load;
        bool begin_part_load;
        int failing_call;  // 0: none
        int expected;
        int registrations;
    };
    const registration_case cases[] = {
        {"nothing suspended", false, false, 0, 0, 0},
        {"both, first fails", true, true, 1, 0, 2},
        {"both, last fails", true, true, 2, 17, 2},
        {"only the part load, fails", false, true, 1, 17, 1},
        {"only the assembly load, succeeds", true, false, 0, 0, 1},
    };
    for (const registration_case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        kx::library_state& s = kx::state();
        s.end_assy_load_suspended = c.end_assy_load;
        s.begin_part_load_suspended = c.begin_part_load;
        s.saved_end_assy_load = host_end_assy_load;
        s.saved_begin_part_load = host_begin_part_load;
        if (c.failing_call != 0) host().faults.push_back({"HOST_CLONE_register_ntfy_callback", c.failing_call, false, 17});

        EXPECT_EQ(kx::end_clone_session(kx::class_export), c.expected);
        EXPECT_EQ(sim::calls_of("HOST_CLONE_register_ntfy_callback"), c.registrations);
        EXPECT_FALSE(s.end_assy_load_suspended);
        EXPECT_FALSE(s.begin_part_load_suspended);
        // A second run finds nothing to give back.
        EXPECT_EQ(kx::end_clone_session(kx::class_export), 0);
        EXPECT_EQ(sim::calls_of("HOST_CLONE_register_ntfy_callback"), c.registrations);
    }
}

TEST_F(session_hooks, end_clone_session_releases_the_session_records)
{
    kx::library_state& s = kx::state();
    ASSERT_EQ(kx::make_host_object(s.dialog_struct), 0);
    ASSERT_EQ(kx::host_strdup("Default name", s.dialog_struct->pdm_name), 0);
    ASSERT_EQ(kx::host_strdup("Part", s.dialog_struct->item_type), 0);
    for (const char* item : {"A1", "B7"}) {
        kx::file_entry entry;
        ASSERT_EQ(kx::host_strdup(std::string("@DB/") + item + "/01", entry.part_spec), 0);
        ASSERT_EQ(kx::host_strdup(item, entry.item_id), 0);
        ASSERT_EQ(kx::host_strdup("01", entry.rev_id), 0);
        ASSERT_EQ(s.file_struct.reserve_one_more(), 0);
        s.file_struct.push_back_reserved(std::move(entry));
    }
    ASSERT_GT(sim::outstanding_allocations(), 0u);

    EXPECT_EQ(kx::end_clone_session(kx::class_import), 0);

    EXPECT_FALSE(s.dialog_struct);
    EXPECT_FALSE(s.file_struct.held());
    EXPECT_EQ(s.file_struct.size(), 0u);
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
    EXPECT_TRUE(host().misuse.empty());
    EXPECT_EQ(kx::end_clone_session(kx::class_import), 0);
}

// --- clone, import and edit sessions ------------------------------------------------

TEST_F(session_hooks, import_session_begins_and_ends_an_import_with_an_item_list)
{
    start_with_probe();

    const sim::session_result result = play(kx::class_import);

    EXPECT_FALSE(result.refused) << result.refused_at;
    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(snapshot.translator, &kx::translate_import_part);
    EXPECT_TRUE(snapshot.import_item_list_held);
    EXPECT_EQ(snapshot.import_item_list, "");
    EXPECT_FALSE(snapshot.end_assy_load_suspended);

    ASSERT_EQ(requests_of(kx::request_begin_import), 1);
    ASSERT_EQ(requests_of(kx::request_end_import), 1);
    for (const auto& request : host().requests)
        if (request.code == kx::request_begin_import || request.code == kx::request_end_import ||
            request.code == kx::request_get_exceptions) {
            EXPECT_FALSE(request.input.has_value());
        }
    // begin_import before anything of the session's own, end_import at its very end.
    EXPECT_EQ(host().requests.front().code, 23);
    EXPECT_EQ(host().requests.back().code, 24);
    EXPECT_FALSE(kx::state().import_item_list.held());
    EXPECT_EQ(result.exit_result, 0);
    EXPECT_TRUE(box_texts().empty());
    // No naming technique is set outside exports.
    EXPECT_EQ(sim::calls_of("HOST_CLONE_set_def_naming"), 0);
    expect_no_leaks();
}

TEST_F(session_hooks, clone_session_begins_and_ends_an_import_without_an_item_list)
{
    start_with_probe();

    const sim::session_result result = play(kx::class_clone);

    EXPECT_FALSE(result.refused) << result.refused_at;
    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(snapshot.translator, &kx::translate_import_part);
    EXPECT_FALSE(snapshot.import_item_list_held);
    EXPECT_EQ(requests_of(kx::request_begin_import), 1);
    EXPECT_EQ(requests_of(kx::request_end_import), 1);
    EXPECT_EQ(requests_of(kx::request_get_exceptions), 1);
    EXPECT_EQ(result.exit_result, 0);
    expect_no_leaks();
}

TEST_F(session_hooks, edit_session_only_loads_the_exception_list)
{
    register_host_callbacks();
    start_with_probe();

    const sim::session_result result = play(kx::class_edit);

    EXPECT_FALSE(result.refused) << result.refused_at;
    ASSERT_TRUE(snapshot.taken);
    EXPECT_EQ(snapshot.translator, nullptr);
    EXPECT_FALSE(snapshot.import_item_list_held);
    EXPECT_TRUE(snapshot.end_assy_load_registered);
    EXPECT_EQ(sim::calls_of("HOST_PDM_set_clone_auto_trans"), 0);
    EXPECT_EQ(requests_of(kx::request_begin_import), 0);
    EXPECT_EQ(requests_of(kx::request_end_import), 0);
    EXPECT_EQ(requests_of(kx::request_get_exceptions), 1);
    EXPECT_TRUE(kx::state().exception_list.held());
    EXPECT_EQ(end_assy_load_calls, 1);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_set_def_naming"), 0);
    expect_no_leaks();
}

struct begin_failure_case {
    const char* label;
    int operation_class;
    sim::pdm_response answer;
    const char* box;
};

TEST_F(session_hooks, a_refused_begin_import_shows_the_reply_and_stops_the_session)
{
    const begin_failure_case cases[] = {
        {"import, reply text", kx::class_import, {5, "Server is busy"}, "Server is busy"},
        {"import, no reply", kx::class_import, {7, std::nullopt}, "host status 7"},
        {"clone, empty reply", kx::class_clone, {9, ""}, "host status 9"},
        {"clone, reply text", kx::class_clone, {-2, "No licence"}, "No licence"},
    };
    for (const begin_failure_case& c : cases) {
        SCOPED_TRACE(c.label);
        kx::reset_library_state();
        sim::reset();
        SetUp();
        answers[23] = c.answer;
        start_library();

        const sim::session_result result = play(c.operation_class);

        EXPECT_EQ(result.refused_at, "Init_Clone");
        ASSERT_FALSE(result.points.empty());
        EXPECT_EQ(result.points.front().result, 3);
        EXPECT_EQ(box_texts(), std::vector<std::string>{c.box});
        EXPECT_EQ(host().translator, nullptr);
        EXPECT_FALSE(kx::state().import_item_list.held());
        // The session ends before the exception list is asked for.
        EXPECT_EQ(requests_of(kx::request_get_exceptions), 0);
        expect_no_leaks();
    }
}

TEST_F(session_hooks, a_refused_end_import_keeps_the_item_list_until_the_next_session_begins)
{
    struct next_session_case {
        const char* label;
        int operation_class;
        sim::pdm_response begin_answer;
    };
    const next_session_case cases[] = {
        {"next import", kx::class_import, {}},
        {"next clone", kx::class_clone, {}},
        {"next import refused at its beginning", kx::class_import, {4, "busy"}},
    };
    for (const next_session_case& c : cases) {
        SCOPED_TRACE(c.label);
        kx::reset_library_state();
        sim::reset();
        SetUp();
        start_library();
        answers[24] = {3, "Import could not be closed"};

        const sim::session_result first = play(kx::class_import);

        EXPECT_EQ(first.exit_result, 3);
        EXPECT_EQ(box_texts(), std::vector<std::string>{"Import could not be closed"});
        EXPECT_TRUE(kx::state().import_item_list.held());
        EXPECT_EQ(sim::outstanding_allocations(), kxtest::library_lifetime_allocations() + 1);

        answers[24] = {};
        answers[23] = c.begin_answer;
        host().operation_class = c.operation_class;
        int operation_class = c.operation_class;
        sim::notify(kx::point_init_clone, nullptr, &operation_class);

        // Only a new import's own empty list is held now.
        const bool fresh_list = c.operation_class == kx::class_import && c.begin_answer.status == 0;
        EXPECT_EQ(kx::state().import_item_list.held(), fresh_list);
        EXPECT_EQ(sim::outstanding_allocations(), kxtest::library_lifetime_allocations() + (fresh_list ? 1 : 0));
        if (fresh_list) {
            EXPECT_EQ(kx::state().import_item_list.view(), "");
        }

        EXPECT_EQ(sim::notify(kx::point_exit_clone, nullptr, nullptr), 0);
        EXPECT_FALSE(kx::state().import_item_list.held());
        EXPECT_TRUE(host().misuse.empty());
        expect_no_leaks();
    }
}

TEST_F(session_hooks, a_refused_end_import_without_reply_shows_the_host_text)
{
    start_library();
    answers[24] = {12, std::nullopt};

    const sim::session_result result = play(kx::class_clone);

    EXPECT_EQ(result.exit_result, 3);
    EXPECT_EQ(box_texts(), std::vector<std::string>{"host status 12"});
    expect_no_leaks();
}

TEST_F(session_hooks, import_stops_without_message_when_its_translation_cannot_be_installed)
{
    for (int operation_class : {kx::class_import, kx::class_clone}) {
        SCOPED_TRACE(operation_class);
        kx::reset_library_state();
        sim::reset();
        SetUp();
        start_library();
        host().faults.push_back({"HOST_PDM_set_clone_auto_trans", 1, false, 5});

        const sim::session_result result = play(operation_class);

        EXPECT_EQ(result.refused_at, "Init_Clone");
        EXPECT_EQ(requests_of(kx::request_begin_import), 1);
        EXPECT_TRUE(box_texts().empty());
        EXPECT_FALSE(kx::state().import_item_list.held());
        EXPECT_EQ(requests_of(kx::request_get_exceptions), 0);
        // The server was told that an import began, so it is told it ended.
        EXPECT_EQ(requests_of(kx::request_end_import), 1);
        expect_no_leaks();
    }
}

TEST_F(session_hooks, import_stops_when_its_item_list_cannot_be_made)
{
    start_library();
    // The list is the first host allocation of a fresh library's session.
    host().faults.push_back({"HOST_allocate_memory", 1, false, 8});

    const sim::session_result result = play(kx::class_import);

    EXPECT_EQ(result.refused_at, "Init_Clone");
    EXPECT_EQ(box_texts(), std::vector<std::string>{"host status 8"});
    EXPECT_FALSE(kx::state().import_item_list.held());
    EXPECT_EQ(requests_of(kx::request_end_import), 1);
    expect_no_leaks();
}

// --- the exception list --------------------------------------------------------------

TEST_F(session_hooks, the_exception_list_is_asked_for_until_the_server_hands_one_out)
{
    start_library();
    // Sessions of every class, each with what the server answers to get_exceptions.
    struct step {
        int operation_class;
        sim::pdm_response answer;
        int requests_after;
        bool held_after;
    };
    const step steps[] = {
        {kx::class_export, {0, "IGNORED?1"}, 1, false},  // status 0: no list
        {kx::class_edit, {0, std::nullopt}, 2, false},
        {kx::class_import, {5, std::nullopt}, 3, false},  // nothing handed out
        {kx::class_clone, {1, exception_reply}, 4, true},
        {kx::class_export, {1, "OTHER?1"}, 4, true},
        {kx::class_import, {1, "OTHER?1"}, 4, true},
        {kx::class_edit, {1, "OTHER?1"}, 4, true},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.operation_class);
        answers[36] = s.answer;
        play(s.operation_class);
        EXPECT_EQ(requests_of(kx::request_get_exceptions), s.requests_after);
        EXPECT_EQ(kx::state().exception_list.held(), s.held_after);
        expect_no_leaks();
    }
    // The list kept is the one first handed out.
    bool publish = false;
    bool fill_name = true;
    kx::lookup_exception(kx::state().exception_list, "KXPDM_AUTO_PUBLISH_AFTER_IMPORT", publish);
    kx::lookup_exception(kx::state().exception_list, "KXPDM_IMPORT_FILL_ORIGINAL_FILENAME", fill_name);
    EXPECT_TRUE(publish);
    EXPECT_FALSE(fill_name);
    bool other = false;
    kx::lookup_exception(kx::state().exception_list, "OTHER", other);
    EXPECT_FALSE(other);
}

TEST_F(session_hooks, an_exception_list_that_cannot_be_stored_is_asked_for_again)
{
    start_library();
    // The split list is the first host allocation of an edit session.
    host().faults.push_back({"HOST_allocate_memory", 2, false, 8});

    play(kx::class_edit);
    EXPECT_FALSE(kx::state().exception_list.held());
    expect_no_leaks();

    play(kx::class_edit);
    EXPECT_EQ(requests_of(kx::request_get_exceptions), 2);
    EXPECT_TRUE(kx::state().exception_list.held());
    EXPECT_EQ(kx::state().exception_list.count(), 4);
    expect_no_leaks();
}

// --- load naming -----------------------------------------------------------------------

TEST_F(session_hooks, load_points_set_the_export_naming_technique)
{
    struct naming_case {
        int operation_class;
        int settings;  // assembly load + one per part
    };
    const naming_case cases[] = {
        {kx::class_export, 3}, {kx::class_import, 0}, {kx::class_clone, 0}, {kx::class_edit, 0}};
    for (const naming_case& c : cases) {
        SCOPED_TRACE(c.operation_class);
        kx::reset_library_state();
        sim::reset();
        SetUp();
        start_library();
        host().def_naming = 4;
        if (c.operation_class == kx::class_export) {
            add_part("@DB/P1/A");
            add_part("@DB/P2/A");
            answers[18] = {0, "p.prt"};
        }

        play(c.operation_class);

        EXPECT_EQ(calls_logged("HOST_CLONE_set_def_naming(1)"), c.settings);
        EXPECT_EQ(sim::calls_of("HOST_CLONE_set_def_naming"), c.settings);
        EXPECT_EQ(host().def_naming, c.settings > 0 ? 1 : 4);
        expect_no_leaks();
    }
}

TEST_F(session_hooks, hooks_called_at_other_points_only_say_so)
{
    struct point_case {
        int (*hook)(int, const char*, void*);
        int point;
    };
    const point_case cases[] = {
        {kx::clone_session_hook, 5},
        {kx::clone_session_hook, kx::point_assy_load},
        {kx::load_naming_hook, kx::point_end_assy_load},
        {kx::load_naming_hook, -1},
    };
    host().operation_class = kx::class_export;
    for (const point_case& c : cases) {
        system.stdout_text.clear();
        const int requests_before = static_cast<int>(host().requests.size());
        int operation_class = kx::class_export;
        EXPECT_EQ(c.hook(c.point, "@DB/P1/A", &operation_class), 0);
        EXPECT_EQ(system.stdout_text, kx::msg::unexpected_point(c.point));
        EXPECT_EQ(static_cast<int>(host().requests.size()), requests_before);
    }
    EXPECT_EQ(sim::calls_of("HOST_CLONE_set_def_naming"), 0);
    EXPECT_EQ(sim::calls_of("HOST_PDM_set_clone_auto_trans"), 0);
    EXPECT_TRUE(box_texts().empty());
}

// --- the operation class ---------------------------------------------------------------

TEST_F(session_hooks, init_clone_without_data_asks_the_host_for_the_class)
{
    struct class_case {
        int host_class;
        bool class_query_fails;
        host_clone_trans_cb translator;
        int begin_imports;
    };
    const class_case cases[] = {
        {kx::class_export, false, kx::translate_export_part, 0},
        {kx::class_import, false, kx::translate_import_part, 1},
        {kx::class_clone, false, kx::translate_import_part, 1},
        {kx::class_edit, false, nullptr, 0},
        // A class the host cannot tell has no rules of the library.
        {kx::class_clone, true, nullptr, 0},
    };
    for (const class_case& c : cases) {
        SCOPED_TRACE(c.host_class);
        kx::reset_library_state();
        sim::reset();
        SetUp();
        host().operation_class = c.host_class;
        if (c.class_query_fails) host().faults.push_back({"HOST_CLONE_ask_operation_class", 1, true, 2});

        EXPECT_EQ(kx::clone_session_hook(kx::point_init_clone, nullptr, nullptr), 0);

        EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_operation_class"), 1);
        EXPECT_EQ(host().translator, c.translator);
        EXPECT_EQ(requests_of(kx::request_begin_import), c.begin_imports);
        EXPECT_EQ(requests_of(kx::request_get_exceptions), 1);

        EXPECT_EQ(kx::clone_session_hook(kx::point_exit_clone, nullptr, nullptr), 0);
        EXPECT_EQ(requests_of(kx::request_end_import), c.begin_imports);
        EXPECT_FALSE(kx::state().import_item_list.held());
        expect_no_leaks();
    }
}

TEST_F(session_hooks, exit_clone_that_cannot_ask_the_class_leaves_nothing_behind)
{
    start_library();
    host().operation_class = kx::class_import;
    int operation_class = kx::class_import;
    ASSERT_EQ(kx::clone_session_hook(kx::point_init_clone, nullptr, &operation_class), 0);
    ASSERT_TRUE(kx::state().import_item_list.held());
    host().faults.push_back({"HOST_CLONE_ask_operation_class", 1, true, 2});

    EXPECT_EQ(kx::clone_session_hook(kx::point_exit_clone, nullptr, nullptr), 0);

    EXPECT_EQ(requests_of(kx::request_end_import), 0);
    EXPECT_FALSE(kx::state().import_item_list.held());
    expect_no_leaks();
}

// --- faults ------------------------------------------------------------------------------

// Makes the n-th call of each host operation fail, once and from then on,
// for n = 1, 2, ... until a session runs with no fault fired. After every
// session: nothing left behind but what a refused end of import keeps, the
// host's callbacks back in place, and the next session in the same process
// works.
TEST_F(session_hooks, every_session_survives_every_host_fault)
{
    const char* operations[] = {
        "HOST_allocate_memory",          "HOST_reallocate_memory",          "HOST_PDM_invoke_pdm_server",
        "HOST_PDM_set_clone_auto_trans", "HOST_CLONE_ask_ntfy_callbacks",   "HOST_CLONE_remove_ntfy_callback",
        "HOST_CLONE_ask_operation_class", "HOST_CLONE_set_def_naming",      "HOST_CLONE_ask_part_state",
        "HOST_CLONE_ask_attribute_values", "HOST_PDM_decode_part_filename", "HOST_PDM_ask_part_tag",
        "HOST_get_fail_message",         "HOST_UI_display_nonmodal_msg",
    };
    const int classes[] = {kx::class_export, kx::class_import, kx::class_clone, kx::class_edit};
    for (int operation_class : classes) {
        for (const char* operation : operations) {
            for (bool persistent : {false, true}) {
                for (int n = 1;; ++n) {
                    SCOPED_TRACE(std::string(operation) + " call " + std::to_string(n) +
                                 (persistent ? " on" : " once") + ", class " + std::to_string(operation_class));
                    kx::reset_library_state();
                    sim::reset();
                    SetUp();
                    register_host_callbacks();
                    start_library();
                    // Parts only where the library translates them itself.
                    if (operation_class == kx::class_export) {
                        add_part("@DB/P1/A", 4);
                        add_part("@DB/P2/B");
                        sim::add_item({"P1", "Part", "", ""});
                        answers[18] = {0, "p.prt"};
                    }
                    host().faults.push_back({operation, n, persistent, 9});

                    const sim::session_result result = play(operation_class);
                    const bool fired = sim::calls_of(operation) >= n;

                    EXPECT_TRUE(host().misuse.empty()) << host().misuse.front();
                    const bool list_kept = kx::state().import_item_list.held();
                    if (list_kept) {
                        EXPECT_EQ(result.exit_result, 3);
                    }
                    EXPECT_EQ(sim::outstanding_allocations(),
                              kxtest::library_lifetime_allocations() + (list_kept ? 1 : 0));
                    expect_restored(3, host_end_assy_load, end_assy_load_name, end_assy_load_description);
                    expect_restored(6, host_begin_part_load, begin_part_load_name, begin_part_load_description);
                    EXPECT_FALSE(kx::state().end_assy_load_suspended);
                    EXPECT_FALSE(kx::state().begin_part_load_suspended);

                    host().faults.clear();
                    const sim::session_result next = play(operation_class);
                    EXPECT_FALSE(next.refused) << next.refused_at;
                    EXPECT_EQ(next.exit_result, 0);
                    expect_no_leaks();
                    if (!fired) break;
                }
            }
        }
    }
}

}  // namespace
