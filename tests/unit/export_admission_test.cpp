// The refusal of exports that hold a tool PDI, at Begin_Apply_Defaults
// (Begin_Apply_Defaults), called as the host calls it and within whole sessions.
#include "host/host_codes.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session_driver.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct part_setup {
    std::string name;
    int state = 0;
    std::string part_type;  // "" : no DB_PART_TYPE attribute
};

class export_admission : public kxtest::library_test {
protected:
    void add_parts(const std::vector<part_setup>& parts)
    {
        for (const part_setup& p : parts) {
            sim::clone_part part;
            part.name = p.name;
            part.state = p.state;
            part.attributes = {{"TOOL_ID", "T"}};
            if (!p.part_type.empty()) part.attributes.push_back({"DB_PART_TYPE", p.part_type});
            host().parts.push_back(part);
        }
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
    // Started and stopped once, and not running any more.
    void expect_iteration_closed()
    {
        EXPECT_EQ(sim::calls_of("HOST_CLONE_start_iteration"), 1);
        EXPECT_EQ(sim::calls_of("HOST_CLONE_stop_iteration"), 1);
        EXPECT_FALSE(host().iterating);
    }
};

struct admission_case {
    const char* label;
    int operation_class;
    std::vector<part_setup> parts;
    int expected;
    std::string message;   // "" : no box
    int attribute_queries;
    int parts_handed_out;  // by the host's iteration, the final null not counted
};

void PrintTo(const admission_case& c, std::ostream* os) { *os << c.label; }

std::vector<admission_case> admission_cases()
{
    const std::string long_item(120, 'L');
    const std::string long_message = kx::msg::tool_pdi_refused(long_item, "ABCDEFGH");
    return {
        {"tool PDI", kx::class_export, {{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}}, 2,
         kx::msg::tool_pdi_refused("T100", "ABCDEFGH"), 1, 1},
        {"tool PDI with relation", kx::class_export, {{"@DB/T100/ABCDEFGH/manifestation/dwg", 2, "CORP_Tool"}}, 2,
         kx::msg::tool_pdi_refused("T100", "ABCDEFGH"), 1, 1},
        {"revision of 3 characters", kx::class_export, {{"@DB/T100/ABC", 0, "CORP_Tool"}}, 0, "", 0, 1},
        {"revision of 9 characters", kx::class_export, {{"@DB/T100/ABCDEFGHI", 0, "CORP_Tool"}}, 0, "", 0, 1},
        {"part type in other letter case", kx::class_export, {{"@DB/T100/ABCDEFGH", 0, "corp_tool"}}, 0, "", 1, 1},
        {"part type with a trailing blank", kx::class_export, {{"@DB/T100/ABCDEFGH", 0, "CORP_Tool "}}, 0, "", 1, 1},
        {"longer part type", kx::class_export, {{"@DB/T100/ABCDEFGH", 0, "CORP_Tools"}}, 0, "", 1, 1},
        {"no part type", kx::class_export, {{"@DB/T100/ABCDEFGH", 0, ""}}, 0, "", 1, 1},
        {"state 1", kx::class_export, {{"@DB/T100/ABCDEFGH", 1, "CORP_Tool"}}, 0, "", 0, 1},
        {"state 4", kx::class_export, {{"@DB/T100/ABCDEFGH", 4, "CORP_Tool"}}, 0, "", 0, 1},
        {"name without revision", kx::class_export, {{"@DB/T100", 0, "CORP_Tool"}}, 0, "", 0, 1},
        {"name of one element", kx::class_export, {{"ABCDEFGH", 0, "CORP_Tool"}}, 0, "", 0, 1},
        {"no parts", kx::class_export, {}, 0, "", 0, 0},
        {"two tool PDIs: the first is named",
         kx::class_export,
         {{"@DB/P1/A", 0, "Part"}, {"@DB/T1/ABCDEFGH", 0, "CORP_Tool"}, {"@DB/T2/12345678", 0, "CORP_Tool"}},
         2,
         kx::msg::tool_pdi_refused("T1", "ABCDEFGH"),
         1,
         2},
        {"other parts admitted",
         kx::class_export,
         {{"@DB/P1/12345678", 0, "Part"}, {"@DB/P2/A", 0, "CORP_Tool"}, {"@DB/T3/ABCDEFGH", 4, "CORP_Tool"}},
         0,
         "",
         1,
         3},
        // The message is cut where the error box ends.
        {"long item ID", kx::class_export, {{"@DB/" + long_item + "/ABCDEFGH", 0, "CORP_Tool"}}, 2,
         long_message.substr(0, 132), 1, 1},
        {"clone session", kx::class_clone, {{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}}, 0, "", 0, 1},
        {"import session", kx::class_import, {{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}}, 0, "", 0, 1},
        {"edit session", kx::class_edit, {{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}}, 0, "", 0, 1},
    };
}

class admission_check : public export_admission, public ::testing::WithParamInterface<admission_case> {};

TEST_P(admission_check, at_begin_apply_defaults)
{
    const admission_case& c = GetParam();
    host().operation_class = c.operation_class;
    add_parts(c.parts);

    EXPECT_EQ(kx::check_export_admission(kx::point_begin_apply_defaults, nullptr, nullptr), c.expected);

    EXPECT_EQ(box_texts(), c.message.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.message});
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_attribute_values"), c.attribute_queries);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_operation_class"), 1);
    // Handed-out names plus the null that ends the walk, unless it stopped early.
    const int expected_iterations =
        c.parts_handed_out + (c.expected == 0 ? 1 : 0);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_iterate"), expected_iterations);
    expect_iteration_closed();
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(cases, admission_check, ::testing::ValuesIn(admission_cases()),
                         [](const ::testing::TestParamInfo<admission_case>& info) {
                             std::string name = info.param.label;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST_F(export_admission, other_points_start_no_iteration)
{
    host().operation_class = kx::class_export;
    add_parts({{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}});
    for (int point : {kx::point_init_clone, kx::point_exit_clone, kx::point_assy_load, kx::point_part_load,
                      kx::point_begin_perform, kx::point_end_perform, kx::point_after_part,
                      kx::notification_point{13}}) {
        SCOPED_TRACE(point);
        EXPECT_EQ(kx::check_export_admission(point, "@DB/T100/ABCDEFGH", nullptr), 0);
    }
    // The class is asked on every call all the same.
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_operation_class"), 8);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_start_iteration"), 0);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_attribute_values"), 0);
    EXPECT_TRUE(host().message_boxes.empty());
}

TEST_F(export_admission, host_failures_admit_the_part)
{
    struct failure_case {
        const char* label;
        sim::fault fault;
        int expected;
    };
    const failure_case cases[] = {
        {"attribute query", {"HOST_CLONE_ask_attribute_values", 1, true, 3}, 0},
        // An unknown class is no export.
        {"class query", {"HOST_CLONE_ask_operation_class", 1, true, 3}, 0},
        // Without a state the part counts as one to examine.
        {"state query", {"HOST_CLONE_ask_part_state", 1, true, 3}, 2},
        // The walk ends where the host hands out no name.
        {"iteration", {"HOST_CLONE_iterate", 1, true, 3}, 0},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::reset();
        host().operation_class = kx::class_export;
        add_parts({{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}});
        host().faults.push_back(c.fault);

        EXPECT_EQ(kx::check_export_admission(kx::point_begin_apply_defaults, nullptr, nullptr), c.expected);

        EXPECT_EQ(host().message_boxes.size(), c.expected == 2 ? 1u : 0u);
        EXPECT_EQ(sim::calls_of("HOST_CLONE_stop_iteration"), 1);
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

TEST_F(export_admission, an_iteration_the_host_did_not_start_is_neither_walked_nor_stopped)
{
    host().operation_class = kx::class_export;
    add_parts({{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}});
    host().faults.push_back({"HOST_CLONE_start_iteration", 1, false, 3});

    EXPECT_EQ(kx::check_export_admission(kx::point_begin_apply_defaults, nullptr, nullptr), 0);

    EXPECT_EQ(sim::calls_of("HOST_CLONE_iterate"), 0);
    EXPECT_EQ(sim::calls_of("HOST_CLONE_stop_iteration"), 0);
    EXPECT_TRUE(host().message_boxes.empty());
}

TEST_F(export_admission, refuses_a_whole_export_session)
{
    host().callbacks.push_back({3, [](int, const char*, void*) { return 0; }, "HOST End Assy Load",
                                "Called at the end of the assembly load operation,"});
    start_library();
    host().operation_class = kx::class_export;
    add_parts({{"@DB/P1/A", 0, "Part"}, {"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}});
    host().server = [](int code, const char*) {
        return code == kx::request_get_exceptions ? sim::pdm_response{1, "A?1"} : sim::pdm_response{0, "p.prt"};
    };

    const sim::session_result result = sim::play_session();

    EXPECT_TRUE(result.refused);
    EXPECT_EQ(result.refused_at, "Begin_Apply_Defaults");
    bool apply_defaults_seen = false;
    for (const auto& call : result.points) {
        if (call.point != kx::point_begin_apply_defaults) continue;
        apply_defaults_seen = true;
        EXPECT_EQ(call.result, kx::export_refused);
    }
    EXPECT_TRUE(apply_defaults_seen);
    EXPECT_EQ(box_texts(), std::vector<std::string>{kx::msg::tool_pdi_refused("T100", "ABCDEFGH")});
    // Nothing was named, and the session ended as any other.
    for (const auto& part : host().parts) EXPECT_EQ(part.translate_status, -1);
    for (const auto& r : host().requests) EXPECT_NE(r.code, 18);
    EXPECT_EQ(result.exit_result, 0);
    expect_iteration_closed();
    ASSERT_EQ(host().callbacks.back().name, "HOST End Assy Load");
    EXPECT_EQ(host().callbacks.back().point, 3);
    expect_no_leaks();
}

TEST_F(export_admission, import_session_passes_begin_apply_defaults)
{
    start_library();
    host().operation_class = kx::class_import;
    add_parts({{"@DB/T100/ABCDEFGH", 0, "CORP_Tool"}});

    const sim::session_result result = sim::play_session();

    EXPECT_NE(result.refused_at, "Begin_Apply_Defaults");
    for (const auto& call : result.points) {
        if (call.point == kx::point_begin_apply_defaults) {
            EXPECT_EQ(call.result, 0);
        }
    }
    EXPECT_EQ(sim::calls_of("HOST_CLONE_start_iteration"), sim::calls_of("HOST_CLONE_stop_iteration"));
    for (const auto& box : host().message_boxes)
        EXPECT_EQ(box.message.find("CORP_Tool PDI"), std::string::npos) << box.message;
}

}  // namespace
