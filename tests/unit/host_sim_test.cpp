// The simulated host's own logic: fault injection, allocation accounting,
// text-file reading, database part names and the session driver's order.
#include "host/host_codes.h"
#include "session_driver.h"
#include "sim_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

sim::clone_part part(const char* name)
{
    sim::clone_part p;
    p.name = name;
    return p;
}

class host_sim_test : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { sim::reset(); }
};

// --- fault injection ------------------------------------------------------------

struct fault_case {
    const char* label;
    sim::fault fault;
    std::vector<int> expected;  // status of calls 1, 2, 3, ...
};

TEST_F(host_sim_test, fault_fires_on_its_nth_call_or_from_it_on)
{
    const fault_case cases[] = {
        {"transient second", {"HOST_CLONE_ask_def_action", 2, false, 7}, {0, 7, 0, 0}},
        {"persistent second", {"HOST_CLONE_ask_def_action", 2, true, 7}, {0, 7, 7, 7}},
        {"persistent first", {"HOST_CLONE_ask_def_action", 1, true, 9}, {9, 9, 9, 9}},
        {"other operation", {"HOST_CLONE_ask_def_naming", 1, true, 9}, {0, 0, 0, 0}},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        sim::host().def_action = 4;
        sim::host().faults.push_back(c.fault);
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            int action = -1;
            EXPECT_EQ(HOST_CLONE_ask_def_action(&action), c.expected[i]) << "call " << i + 1;
            // A failed call leaves its output alone.
            EXPECT_EQ(action, c.expected[i] == 0 ? 4 : -1) << "call " << i + 1;
        }
        EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_def_action"), static_cast<int>(c.expected.size()));
    }
}

// A fault for a name the host has no operation of would never fire: it is
// refused when it is made, not found missing after the session.
TEST_F(host_sim_test, a_fault_for_no_host_operation_is_refused_where_it_is_made)
{
    for (const char* name : {"HOST_PART_sav", "PART_save", "host_part_save", ""}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(sim::fault(name, 1, false, 5), std::invalid_argument);
    }
    for (const char* name : {"HOST_PART_save", "HOST_allocate_memory", "HOST_free_string_array"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(sim::fault(name).operation(), name);
    }
}

TEST_F(host_sim_test, failed_calls_change_nothing_and_are_still_logged)
{
    sim::host().parts.push_back(part("a.prt"));
    sim::host().faults = {{"HOST_CLONE_set_pdm_name", 1, false, 5}, {"HOST_PDM_invoke_pdm_server", 1, false, 6}};
    EXPECT_EQ(HOST_CLONE_set_pdm_name("a.prt", "name"), 5);
    EXPECT_FALSE(sim::host().parts[0].pdm_name.has_value());
    EXPECT_EQ(HOST_CLONE_set_pdm_name("a.prt", "name"), 0);
    EXPECT_EQ(sim::host().parts[0].pdm_name, "name");

    int status = -1;
    char* reply = nullptr;
    EXPECT_EQ(HOST_PDM_invoke_pdm_server(kx::request_begin_import, "x", &status, &reply), 6);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(sim::host().requests.empty());
    const std::vector<std::string> expected = {
        "HOST_CLONE_set_pdm_name(a.prt, name)", "HOST_CLONE_set_pdm_name(a.prt, name)",
        "HOST_PDM_invoke_pdm_server(" + std::to_string(kx::request_begin_import) + ", x)"};
    EXPECT_EQ(sim::host().calls, expected);
}

TEST_F(host_sim_test, failed_allocation_returns_null_and_keeps_the_old_block)
{
    sim::host().faults = {{"HOST_allocate_memory", 2, false, 12}, {"HOST_reallocate_memory", 1, false, 13}};
    int status = -1;
    void* first = HOST_allocate_memory(8, &status);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(HOST_allocate_memory(8, &status), nullptr);
    EXPECT_EQ(status, 12);

    std::memset(first, 'x', 8);
    EXPECT_EQ(HOST_reallocate_memory(first, 64, &status), nullptr);
    EXPECT_EQ(status, 13);
    EXPECT_EQ(sim::outstanding_allocations(), 1u);
    void* grown = HOST_reallocate_memory(first, 64, &status);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(static_cast<char*>(grown)[7], 'x');
    HOST_free(grown);
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
    EXPECT_TRUE(sim::host().misuse.empty());
}

TEST_F(host_sim_test, text_faults_read_as_negative_statuses)
{
    sim::host().faults = {{"HOST_TEXT_open", 1, false, 4}, {"HOST_TEXT_read_line", 1, true, -kx::text_end_of_file},
                          {"HOST_TEXT_close", 1, false, -8}};
    EXPECT_EQ(HOST_TEXT_open("/dev/null", 1, 1), -4);
    char line[8];
    EXPECT_EQ(HOST_TEXT_read_line(0, line, sizeof line), kx::text_end_of_file);
    sim::host().faults[1].status = -5;
    EXPECT_EQ(HOST_TEXT_read_line(0, line, sizeof line), -5);
    sim::host().faults[1].status = 5;
    EXPECT_EQ(HOST_TEXT_read_line(0, line, sizeof line), -5);
    EXPECT_EQ(HOST_TEXT_close(0, 0), -8);
}

// --- allocation accounting ------------------------------------------------------

TEST_F(host_sim_test, counts_live_blocks_and_flags_bad_frees)
{
    int status = 0;
    void* a = HOST_allocate_memory(4, &status);
    void* b = HOST_allocate_memory(0, &status);
    ASSERT_NE(b, nullptr) << "a zero-size allocation must not read as a failure";
    EXPECT_EQ(sim::outstanding_allocations(), 2u);
    HOST_free(a);
    HOST_free(nullptr);
    EXPECT_EQ(sim::outstanding_allocations(), 1u);
    EXPECT_TRUE(sim::host().misuse.empty());

    HOST_free(a);  // twice
    int local = 0;
    HOST_free(&local);  // never handed out: must not reach free()
    EXPECT_EQ(sim::host().misuse.size(), 2u);
    EXPECT_EQ(sim::outstanding_allocations(), 1u);
    EXPECT_EQ(sim::calls_of("HOST_free"), 4);

    sim::reset();
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
    EXPECT_TRUE(sim::host().misuse.empty());
}

TEST_F(host_sim_test, handed_out_arrays_are_tracked_until_released)
{
    sim::host().parts.push_back(part("a.prt"));
    sim::host().parts[0].attributes = {{"T1", "v1"}, {"T2", "v2"}};
    int count = 0;
    char** titles = nullptr;
    char** values = nullptr;
    ASSERT_EQ(HOST_CLONE_ask_attribute_values("a.prt", &count, &titles, &values), 0);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(titles[1], "T2");
    EXPECT_STREQ(values[0], "v1");
    EXPECT_EQ(sim::outstanding_allocations(), 6u);
    HOST_free_string_array(count, titles);
    EXPECT_EQ(sim::outstanding_allocations(), 3u);
    HOST_free(values);  // the elements leak
    EXPECT_EQ(sim::outstanding_allocations(), 2u);

    // Even an empty answer is an allocation the caller must give back.
    sim::host().parts[0].attributes.clear();
    ASSERT_EQ(HOST_CLONE_ask_attribute_values("a.prt", &count, &titles, &values), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(sim::outstanding_allocations(), 4u);
    HOST_free_string_array(0, titles);
    HOST_free_string_array(0, values);
    EXPECT_EQ(sim::outstanding_allocations(), 2u);

    // A count beyond the array is caught instead of read past.
    char** names = nullptr;
    char** descriptions = nullptr;
    host_clone_notify_cb* functions = nullptr;
    ASSERT_EQ(HOST_CLONE_register_ntfy_callback(kx::point_init_clone, nullptr, "n", "d", 0, 0), 0);
    ASSERT_EQ(HOST_CLONE_ask_ntfy_callbacks(&count, &functions, &names, &descriptions), 0);
    HOST_free_string_array(count + 5, names);
    EXPECT_EQ(sim::host().misuse.size(), 1u);
    HOST_free_string_array(count, descriptions);
    HOST_free(functions);
    EXPECT_EQ(sim::outstanding_allocations(), 2u);
}

TEST_F(host_sim_test, failed_part_open_still_hands_out_a_load_status)
{
    sim::host().part_files["known.prt"] = {};
    host_tag_t tag = 99;
    host_part_load_status_t load{};
    EXPECT_EQ(HOST_PART_open("missing.prt", &tag, &load), sim::host().default_open_failure);
    EXPECT_EQ(tag, HOST_NULL_TAG);
    EXPECT_EQ(load.failed, 1);
    EXPECT_EQ(sim::outstanding_allocations(), 3u);
    HOST_free_string_array(load.n_parts, load.file_names);
    HOST_free(load.statuses);

    ASSERT_EQ(HOST_PART_open("known.prt", &tag, &load), 0);
    EXPECT_EQ(load.failed, 0);
    EXPECT_STREQ(load.file_names[0], "known.prt");
    HOST_free_string_array(load.n_parts, load.file_names);
    HOST_free(load.statuses);
    EXPECT_EQ(tag, sim::part_tag("known.prt"));
    EXPECT_EQ(sim::host().work_part, "known.prt");
    EXPECT_EQ(HOST_PART_close(tag, 0, 0), 0);
    EXPECT_NE(HOST_PART_close(tag, 0, 0), 0) << "a closed part's tag is no longer valid";
    EXPECT_EQ(HOST_PART_save(), 5) << "closing the work part leaves none to save";
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
}

// --- text files ---------------------------------------------------------------------

TEST_F(host_sim_test, reads_lines_as_the_host_does)
{
    const std::string path = ::testing::TempDir() + "host_sim_lines.txt";
    {
        std::ofstream file(path, std::ios::binary);
        file << "alpha\r\nbeta\n\n0123456789\n\r\nlast";
    }
    struct expected_line {
        int result;
        const char* text;
    };
    const expected_line lines[] = {
        {5, "alpha"}, {4, "beta"}, {0, ""}, {7, "0123456"}, {0, ""}, {4, "last"},
        {kx::text_end_of_file, nullptr}, {kx::text_end_of_file, nullptr},
    };
    const int channel = HOST_TEXT_open(path.c_str(), 1, 1);
    ASSERT_GE(channel, 0);
    for (const expected_line& e : lines) {
        char line[8];
        std::memset(line, '#', sizeof line);
        ASSERT_EQ(HOST_TEXT_read_line(channel, line, sizeof line), e.result) << (e.text ? e.text : "end");
        if (e.text != nullptr) {
            EXPECT_STREQ(line, e.text);
        }
    }
    EXPECT_EQ(sim::open_text_channels(), 1u);
    EXPECT_EQ(HOST_TEXT_close(channel, 1), 0);
    EXPECT_EQ(sim::open_text_channels(), 0u);
    EXPECT_NE(HOST_FILE_exists(path.c_str(), 0), 0) << "closing with delete removes the file";
    EXPECT_NE(HOST_TEXT_close(channel, 0), 0);
    EXPECT_LT(HOST_TEXT_read_line(channel, nullptr, 0), 0);
    EXPECT_LT(HOST_TEXT_open((path + ".none").c_str(), 1, 1), 0);
}

// --- names -------------------------------------------------------------------------

TEST_F(host_sim_test, decodes_database_part_names)
{
    struct decode_case {
        std::string encoded;
        int ok;
        std::vector<std::string> fields;
    };
    const std::string field_132(132, 'n');
    const decode_case cases[] = {
        {"@DB/100/A", 1, {"100", "A", "", ""}},
        {"@DB/100/A/rel/p1", 1, {"100", "A", "rel", "p1"}},
        {"@DB/" + field_132 + "/A", 1, {field_132, "A", "", ""}},
        {"@DB/" + field_132 + "n/A", 0, {}},
        {"@DB/100", 0, {}},
        {"@DB/100/A/rel", 0, {}},
        {"@DB/100/A/rel/p1/x", 0, {}},
        {"DB/100/A", 0, {}},
        {"/work/a.prt", 0, {}},
    };
    for (const decode_case& c : cases) {
        SCOPED_TRACE(c.encoded);
        char out[4][HOST_PDM_FIELD_BUFSIZE] = {"-", "-", "-", "-"};
        const int status = HOST_PDM_decode_part_filename(c.encoded.c_str(), out[0], out[1], out[2], out[3]);
        if (!c.ok) {
            EXPECT_NE(status, 0);
            EXPECT_STREQ(out[0], "-");
            continue;
        }
        ASSERT_EQ(status, 0);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], c.fields[i]);
    }
}

TEST_F(host_sim_test, encodes_database_part_names_within_the_buffer)
{
    struct encode_case {
        std::string number, revision, type, name;
        std::optional<std::string> expected;  // absent: too long
    };
    const encode_case cases[] = {
        {"100", "A", "", "ignored", "@DB/100/A"},
        {"100", "A", "rel", "p1", "@DB/100/A/rel/p1"},
        {std::string(250, 'n'), "AB", "", "", std::nullopt},  // 4 + 250 + 1 + 2 = 257
        {std::string(249, 'n'), "AB", "", "", "@DB/" + std::string(249, 'n') + "/AB"},  // exactly 256: fits
    };
    for (const encode_case& c : cases) {
        char out[HOST_MAX_FSPEC_BUFSIZE] = "-";
        const int status =
            HOST_PDM_encode_part_filename(c.number.c_str(), c.revision.c_str(), c.type.c_str(), c.name.c_str(), out);
        if (!c.expected) {
            EXPECT_NE(status, 0) << c.number.size();
            EXPECT_STREQ(out, "-");
        } else {
            ASSERT_EQ(status, 0) << c.number.size();
            EXPECT_EQ(out, *c.expected);
        }
    }
}

TEST_F(host_sim_test, file_name_drops_only_a_part_extension)
{
    struct name_case {
        const char* file;
        int size;
        const char* expected;  // null: does not fit
    };
    const name_case cases[] = {
        {"C:\\parts\\bolt.prt", 32, "bolt"}, {"/a/b/c.d.prt", 32, "c.d"}, {"/a/b/readme.txt", 32, "readme.txt"},
        {"plain", 6, "plain"},               {"plain", 5, nullptr},       {"/x/bolt.PRT", 32, "bolt.PRT"},
    };
    for (const name_case& c : cases) {
        char out[32] = "-";
        const int status = HOST_FILE_ask_name(c.file, 0, out, c.size);
        if (c.expected == nullptr) {
            EXPECT_NE(status, 0) << c.file;
            EXPECT_STREQ(out, "-");
        } else {
            EXPECT_EQ(status, 0) << c.file;
            EXPECT_STREQ(out, c.expected);
        }
    }
}

// --- session driver --------------------------------------------------------------

struct recorder {
    std::vector<std::string> seen;
    int refuse_point = -1;
    int operation_class_seen = -1;
    int translations = 0;
    int refuse_translation = -1;  // 1-based
};
recorder rec;

int record_point(int point, const char* part_name, void* data)
{
    rec.seen.push_back(std::to_string(point) + (part_name != nullptr ? std::string(":") + part_name : ""));
    if (point == kx::point_init_clone && data != nullptr) rec.operation_class_seen = *static_cast<int*>(data);
    if (point != kx::point_init_clone && data != nullptr) rec.seen.push_back("unexpected data");
    return point == rec.refuse_point ? kx::stop_session : kx::go_on;
}

int second_listener(int point, const char*, void*)
{
    rec.seen.push_back("second " + std::to_string(point));
    return 0;
}

int translate(const char* part_spec, char new_name[HOST_MAX_FSPEC_BUFSIZE])
{
    ++rec.translations;
    rec.seen.push_back(std::string("T:") + part_spec);
    if (rec.translations == rec.refuse_translation) return 1;
    const std::string name = std::string("@DB/") + part_spec + "/A";
    std::memcpy(new_name, name.c_str(), name.size());  // relies on the zero-filled buffer
    return 0;
}

TEST_F(host_sim_test, driver_plays_points_in_order_and_refusals_skip_to_exit)
{
    struct driver_case {
        int refuse_point;
        int refuse_translation;
        const char* refused_at;
        std::vector<std::string> expected;
    };
    const std::vector<std::string> load = {"2", "6:a", "6:b", "3", "12"};
    auto with = [](std::vector<std::string> head, std::vector<std::string> tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const driver_case cases[] = {
        {-1, -1, "", with(load, {"T:a", "T:b", "10:P", "51:a", "second 51", "51:b", "second 51", "11:P", "1"})},
        {kx::point_init_clone, -1, "Init_Clone", {"0", "1"}},
        {kx::point_begin_apply_defaults, -1, "Begin_Apply_Defaults", with(load, {"1"})},
        {-1, 2, "translation", with(load, {"T:a", "T:b", "1"})},
        {kx::point_begin_perform, -1, "Begin_Perform", with(load, {"T:a", "T:b", "10:P", "1"})},
        // Results at the other points are recorded but do not stop the host.
        {kx::point_after_part, -1, "",
         with(load, {"T:a", "T:b", "10:P", "51:a", "second 51", "51:b", "second 51", "11:P", "1"})},
    };
    for (const driver_case& c : cases) {
        SCOPED_TRACE(c.refuse_point * 100 + c.refuse_translation);
        sim::reset();
        rec = recorder{};
        rec.refuse_point = c.refuse_point;
        rec.refuse_translation = c.refuse_translation;
        sim::host().operation_class = kx::class_export;
        sim::host().parts = {part("a"), part("b")};
        for (int point : kx::session_points)
            HOST_CLONE_register_ntfy_callback(point, record_point, "rec", "", 0, 0);
        HOST_CLONE_register_ntfy_callback(kx::point_after_part, second_listener, "second", "", 0, 0);
        HOST_PDM_set_clone_auto_trans(translate);

        sim::session_options options;
        options.perform_point_name = "P";
        const sim::session_result result = sim::play_session(options);

        std::vector<std::string> expected = c.expected;
        if (c.refuse_point != kx::point_init_clone) expected.insert(expected.begin(), "0");
        EXPECT_EQ(rec.seen, expected);
        EXPECT_EQ(rec.operation_class_seen, kx::class_export);
        EXPECT_EQ(result.refused, *c.refused_at != '\0');
        EXPECT_EQ(result.refused_at, c.refused_at);
        ASSERT_FALSE(result.points.empty());
        EXPECT_EQ(result.points.back().point, kx::point_exit_clone);
        // One record per point sent, with the first non-zero result.
        for (const sim::point_call& p : result.points)
            EXPECT_EQ(p.result, p.point == c.refuse_point ? kx::stop_session : kx::go_on) << p.point;
        if (c.refuse_point == -1 && c.refuse_translation == -1) {
            EXPECT_EQ(sim::host().parts[1].new_name, "@DB/b/A");
            EXPECT_EQ(sim::host().parts[1].translate_status, 0);
        }
    }
    EXPECT_TRUE(sim::host().misuse.empty());
}

TEST_F(host_sim_test, driver_keeps_part_names_without_a_translator)
{
    rec = recorder{};
    sim::host().parts = {part("a")};
    HOST_CLONE_register_ntfy_callback(kx::point_after_part, record_point, "rec", "", 0, 0);
    HOST_CLONE_register_ntfy_callback(kx::point_exit_clone, record_point, "rec", "", 0, 0);
    const sim::session_result result = sim::play_session();
    EXPECT_FALSE(result.refused);
    EXPECT_EQ(sim::host().parts[0].new_name, "a");
    EXPECT_EQ(rec.seen, (std::vector<std::string>{"51:a", "1"}));
}

TEST_F(host_sim_test, removing_a_callback_takes_the_first_match_only)
{
    HOST_CLONE_register_ntfy_callback(kx::point_end_assy_load, record_point, "HOST End Assy Load", "", 0, 0);
    HOST_CLONE_register_ntfy_callback(kx::point_end_assy_load, second_listener, "HOST End Assy Load", "", 0, 0);
    host_clone_notify_cb removed = nullptr;
    EXPECT_EQ(HOST_CLONE_remove_ntfy_callback(kx::point_part_load, "HOST End Assy Load", &removed), 1);
    EXPECT_EQ(removed, nullptr);
    EXPECT_EQ(HOST_CLONE_remove_ntfy_callback(kx::point_end_assy_load, "HOST End Assy Load", &removed), 0);
    EXPECT_EQ(removed, record_point);
    ASSERT_EQ(sim::host().callbacks.size(), 1u);
    EXPECT_EQ(sim::host().callbacks[0].callback, second_listener);
}

}  // namespace
