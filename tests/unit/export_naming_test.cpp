// Native file names of exported parts: the server's name, library tool
// names, the fallback for parts in states 1 and 4, and the clone attribute
// lookup, driven through export sessions of the simulated host.
#include "export/export_naming.h"
#include "host/host_codes.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session_driver.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

const std::string export_error(kx::msg::export_file_name);

const std::vector<sim::attribute> library_tool = {{"USE_TOOL", "LIBRARY"}, {"DB_PART_TYPE", "CORP_Tool"}};

class export_naming : public kxtest::library_test {
protected:
    void SetUp() override
    {
        library_test::SetUp();
        host().operation_class = kx::class_export;
        host().server = [this](int code, const char* input) {
            if (code == kx::request_get_exceptions) return sim::pdm_response{1, "A?1"};
            if (code == kx::request_get_export_attributes) return sim::pdm_response{1, std::nullopt};
            if (code != kx::request_get_export_file_name) return sim::pdm_response{};
            const auto found = names.find(input != nullptr ? input : "");
            return found != names.end() ? found->second : sim::pdm_response{};
        };
    }

    sim::clone_part& add_part(const std::string& name, int state = 0, std::vector<sim::attribute> attributes = {})
    {
        sim::clone_part part;
        part.name = name;
        part.state = state;
        part.attributes = std::move(attributes);
        host().parts.push_back(part);
        return host().parts.back();
    }

    int export_name_requests() const
    {
        int n = 0;
        for (const auto& r : sim::host().requests) n += r.code == kx::request_get_export_file_name ? 1 : 0;
        return n;
    }

    std::vector<std::string> box_texts() const
    {
        std::vector<std::string> texts;
        for (const auto& box : sim::host().message_boxes) texts.push_back(box.title + ": " + box.message);
        return texts;
    }

    // Server answers to get_export_file_name, by the part name sent.
    std::map<std::string, sim::pdm_response> names;
};

struct naming_case {
    const char* label;
    std::string part_name;
    int state;
    std::vector<sim::attribute> attributes;
    bool in_database;
    std::optional<sim::pdm_response> answer;  // none: get_export_file_name must not be sent
    int expected_status;
    std::string expected_name;  // when the status is 0
    bool error_box;
};

void PrintTo(const naming_case& c, std::ostream* os) { *os << c.label; }

std::string repeated(char c, std::size_t n) { return std::string(n, c); }

std::vector<naming_case> naming_cases()
{
    const std::string name_252 = repeated('n', 248) + ".prt";
    const std::string name_253 = repeated('n', 249) + ".prt";
    const std::string long_item = repeated('L', 40);
    const std::string long_tail_reply = "a." + repeated('x', 250);             // 252 characters
    const std::string long_tool_reply = "T1." + repeated('x', 250);            // 253 characters
    return {
        {"server name", "@DB/P1/A", 0, {}, false, sim::pdm_response{0, "P1_A.prt"}, 0, "P1_A.prt", false},
        {"server name of 252 characters unchanged", "@DB/P1/A", 0, {}, false, sim::pdm_response{0, name_252}, 0,
         name_252, false},
        {"server name of 253 characters cut", "@DB/P1/A", 0, {}, false, sim::pdm_response{0, name_253}, 0,
         name_253.substr(0, 252) + ".prt", false},
        {"library tool", "@DB/ABC-123/A", 2, library_tool, false, sim::pdm_response{0, "ABC-123_A.prt"}, 0,
         "abc-123.prt", false},
        {"library tool, reply without dot", "@DB/T1/A", 0, library_tool, false, sim::pdm_response{0, "T1_A"}, 0, "t1",
         false},
        {"library tool, reply with several dots", "@DB/T1/A", 0, library_tool, false, sim::pdm_response{0, "x.y.prt"},
         0, "t1.y.prt", false},
        {"library tool, reply beginning with dots", "@DB/T1/A", 0, library_tool, false, sim::pdm_response{0, "..x.y"},
         0, "t1.y", false},
        {"library tool, reply of dots only", "@DB/T1/A", 0, library_tool, false, sim::pdm_response{0, "..."}, 0, "t1",
         false},
        {"library tool with relation", "@DB/Tool-9/A/manifestation/dwg", 0, library_tool, false,
         sim::pdm_response{0, "tool_9.prt"}, 0, "tool-9.prt", false},
        {"library tool, attributes in other order", "@DB/T2/A", 0,
         {{"DB_PART_TYPE", "CORP_Tool"}, {"OTHER", "x"}, {"USE_TOOL", "LIBRARY"}}, false,
         sim::pdm_response{0, "t.prt"}, 0, "t2.prt", false},
        // The extension comes from the whole reply, not from its cut form.
        {"library tool, long reply", "@DB/T1/A", 0, library_tool, false, sim::pdm_response{0, long_tool_reply}, 0,
         "t1." + repeated('x', 250), false},
        // 40 + 251 characters do not fit the host's buffer: the server's name stands.
        {"library tool name too long", "@DB/" + long_item + "/A", 0, library_tool, false,
         sim::pdm_response{0, long_tail_reply}, 0, long_tail_reply, false},
        {"part type in other letter case", "@DB/T1/A", 0, {{"USE_TOOL", "LIBRARY"}, {"DB_PART_TYPE", "corp_tool"}},
         false, sim::pdm_response{0, "T1.prt"}, 0, "T1.prt", false},
        {"part type with a trailing blank", "@DB/T1/A", 0,
         {{"USE_TOOL", "LIBRARY"}, {"DB_PART_TYPE", "CORP_Tool "}}, false, sim::pdm_response{0, "T1.prt"}, 0,
         "T1.prt", false},
        {"longer part type", "@DB/T1/A", 0, {{"USE_TOOL", "LIBRARY"}, {"DB_PART_TYPE", "CORP_Tools"}}, false,
         sim::pdm_response{0, "T1.prt"}, 0, "T1.prt", false},
        {"longer tool use", "@DB/T1/A", 0, {{"USE_TOOL", "LIBRARY_2"}, {"DB_PART_TYPE", "CORP_Tool"}}, false,
         sim::pdm_response{0, "T1.prt"}, 0, "T1.prt", false},
        {"tool use only", "@DB/T1/A", 0, {{"USE_TOOL", "LIBRARY"}}, false, sim::pdm_response{0, "T1.prt"}, 0,
         "T1.prt", false},
        // The first attribute of a title counts.
        {"first of two tool uses", "@DB/T1/A", 0,
         {{"USE_TOOL", "NONE"}, {"USE_TOOL", "LIBRARY"}, {"DB_PART_TYPE", "CORP_Tool"}}, false,
         sim::pdm_response{0, "T1.prt"}, 0, "T1.prt", false},
        {"state 1 in the database", "@DB/P100/A", 1, {}, true, sim::pdm_response{0, "p100.prt"}, 0, "p100.prt", false},
        {"state 4 library tool in the database", "@DB/T7/A", 4, library_tool, true, sim::pdm_response{0, "x.asm"}, 0,
         "t7.asm", false},
        {"state 4 not in the database", "@DB/P100/A", 4, {}, false, std::nullopt, 0, "P100_A_no.prt", false},
        {"state 1 with relation, not in the database", "@DB/P100/A/manifestation/dwg1", 1, {}, false, std::nullopt, 0,
         "dwg1_no.prt", false},
        {"state 4 fallback cut", "@DB/ABCDEFGHIJKLM/ABCDEFGH", 4, {}, false, std::nullopt, 0,
         "ABCDEFGHIJKLM_ABCDEFGH_no.", false},
        {"state 4, name the host cannot decode", "native_part_file_name_that_is_long.prt", 4, {}, false, std::nullopt,
         0, "native_part_file_name_that", false},
        {"state 1, request refused", "@DB/P100/A", 1, {}, true, sim::pdm_response{3, "no name"}, 0, "P100_A_no.prt",
         false},
        {"state 4, empty reply", "@DB/P100/A", 4, {}, true, sim::pdm_response{0, ""}, 0, "P100_A_no.prt", false},
        {"state 4, no reply", "@DB/P100/A", 4, {}, true, sim::pdm_response{0, std::nullopt}, 0, "P100_A_no.prt",
         false},
        {"state 2, request refused", "@DB/P1/A", 2, {}, false, sim::pdm_response{6, "no name"}, 3, "", true},
        {"state 0, empty reply", "@DB/P1/A", 0, {}, false, sim::pdm_response{0, ""}, 3, "", true},
        {"state 3, no reply", "@DB/P1/A", 3, library_tool, true, sim::pdm_response{0, std::nullopt}, 3, "", true},
    };
}

class export_file_name : public export_naming, public ::testing::WithParamInterface<naming_case> {};

TEST_P(export_file_name, is_written_for_the_host)
{
    const naming_case& c = GetParam();
    start_library();
    add_part(c.part_name, c.state, c.attributes);
    if (c.in_database) {
        std::string item = c.part_name.substr(4);
        item = item.substr(0, item.find('/'));
        sim::add_item({item, "Part", "", ""});
    }
    if (c.answer) names[c.part_name] = *c.answer;

    const sim::session_result result = sim::play_session();

    const sim::clone_part& part = host().parts.front();
    EXPECT_EQ(part.translate_status, c.expected_status);
    EXPECT_EQ(export_name_requests(), c.answer ? 1 : 0);
    if (c.answer) {
        // The request after the exception list's carries the part name as it came.
        ASSERT_GE(host().requests.size(), 2u);
        EXPECT_EQ(host().requests[1].input.value_or("(null)"), c.part_name);
    }
    if (c.expected_status == 0) {
        EXPECT_FALSE(result.refused) << result.refused_at;
        ASSERT_TRUE(part.new_name.has_value());
        EXPECT_EQ(*part.new_name, c.expected_name);
        EXPECT_LE(part.new_name->size(), static_cast<std::size_t>(HOST_MAX_FSPEC_BUFSIZE - 1));
    } else {
        EXPECT_EQ(result.refused_at, "translation");
        EXPECT_FALSE(part.new_name.has_value());
    }
    EXPECT_EQ(box_texts(), c.error_box ? std::vector<std::string>{std::string("Error: ") + export_error}
                                       : std::vector<std::string>{});
    expect_no_leaks();
}

INSTANTIATE_TEST_SUITE_P(cases, export_file_name, ::testing::ValuesIn(naming_cases()),
                         [](const ::testing::TestParamInfo<naming_case>& info) {
                             std::string name = info.param.label;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST_F(export_naming, a_refused_name_leaves_the_host_buffer_alone)
{
    add_part("@DB/P1/A", 2);
    names["@DB/P1/A"] = {5, "refused"};
    char buffer[HOST_MAX_FSPEC_BUFSIZE];
    std::memset(buffer, 'z', sizeof buffer);

    EXPECT_EQ(kx::translate_export_part("@DB/P1/A", buffer), 3);

    for (char ch : buffer) ASSERT_EQ(ch, 'z');
    ASSERT_EQ(host().message_boxes.size(), 1u);
    EXPECT_EQ(host().message_boxes[0].message, export_error);
}

TEST_F(export_naming, state_1_and_4_parts_fall_back_when_the_host_cannot_resolve_them)
{
    struct host_failure_case {
        const char* label;
        sim::fault fault;
        const char* expected;
    };
    const host_failure_case cases[] = {
        // The fallback decodes the name again, which then works.
        {"decoding fails once", {"HOST_PDM_decode_part_filename", 1, false, 4}, "P100_A_no.prt"},
        {"decoding fails", {"HOST_PDM_decode_part_filename", 1, true, 4}, "@DB/P100/A"},
        {"database query fails", {"HOST_PDM_ask_part_tag", 1, false, 7}, "P100_A_no.prt"},
        {"request channel fails", {"HOST_PDM_invoke_pdm_server", 1, false, 7}, "P100_A_no.prt"},
    };
    for (int state : {1, 4}) {
        for (const host_failure_case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + ", state " + std::to_string(state));
            sim::reset();
            host().server = [](int, const char*) { return sim::pdm_response{0, "p100.prt"}; };
            add_part("@DB/P100/A", state);
            sim::add_item({"P100", "Part", "", ""});
            host().faults.push_back(c.fault);
            char buffer[HOST_MAX_FSPEC_BUFSIZE] = {};

            EXPECT_EQ(kx::translate_export_part("@DB/P100/A", buffer), 0);

            EXPECT_STREQ(buffer, c.expected);
            EXPECT_TRUE(host().message_boxes.empty());
            EXPECT_TRUE(host().requests.empty());
            EXPECT_EQ(sim::outstanding_allocations(), 0u);
        }
    }
}

TEST_F(export_naming, a_failed_attribute_query_keeps_the_server_name)
{
    // The first lookup is the part type, the second the tool use.
    for (int nth : {1, 2}) {
        SCOPED_TRACE(nth);
        sim::reset();
        host().server = [](int, const char*) { return sim::pdm_response{0, "T1_A.prt"}; };
        add_part("@DB/T1/A", 0, library_tool);
        host().faults.push_back({"HOST_CLONE_ask_attribute_values", nth, false, 3});
        char buffer[HOST_MAX_FSPEC_BUFSIZE] = {};

        EXPECT_EQ(kx::translate_export_part("@DB/T1/A", buffer), 0);

        EXPECT_STREQ(buffer, "T1_A.prt");
        EXPECT_EQ(sim::calls_of("HOST_CLONE_ask_attribute_values"), 2);
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

TEST_F(export_naming, a_refused_request_shows_the_error_and_stops_a_whole_export)
{
    start_library();
    add_part("@DB/P1/A");
    add_part("@DB/P2/A", 2);
    add_part("@DB/P3/A");
    names["@DB/P1/A"] = {0, "p1.prt"};
    names["@DB/P2/A"] = {11, std::nullopt};
    names["@DB/P3/A"] = {0, "p3.prt"};

    const sim::session_result result = sim::play_session();

    EXPECT_EQ(result.refused_at, "translation");
    EXPECT_EQ(host().parts[0].new_name, "p1.prt");
    EXPECT_EQ(host().parts[1].translate_status, 3);
    EXPECT_EQ(host().parts[2].translate_status, -1);  // never asked
    EXPECT_EQ(box_texts(), std::vector<std::string>{std::string("Error: ") + export_error});
    expect_no_leaks();
}

TEST_F(export_naming, fallback_names)
{
    struct fallback_case {
        const char* part_name;
        const char* expected;
    };
    const fallback_case cases[] = {
        {"@DB/P100/A", "P100_A_no.prt"},
        {"@DB/P100/A/manifestation/dwg1", "dwg1_no.prt"},
        {"@DB/ABCDEFGHIJKLM/ABCDEFGH", "ABCDEFGHIJKLM_ABCDEFGH_no."},
        {"@DB/P1/A/manifestation/a_rather_long_drawing", "a_rather_long_drawing_no.p"},
        {"@DB/ABCDEFGHIJKLMNOPQRSTUVWXYZ0123/A", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"},
        // Names that do not decode, or decode without number or revision.
        {"@DB/P100/", "@DB/P100/"},
        {"plain.prt", "plain.prt"},
        {"", ""},
        {"a_native_file_name_longer_than_26.prt", "a_native_file_name_longer_"},
    };
    for (const fallback_case& c : cases) {
        SCOPED_TRACE(c.part_name);
        char buffer[HOST_MAX_FSPEC_BUFSIZE];
        std::memset(buffer, 'z', sizeof buffer);
        kx::make_fallback_export_name(c.part_name, buffer);
        EXPECT_STREQ(buffer, c.expected);
    }
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
}

TEST_F(export_naming, find_clone_attribute_hands_back_the_first_whole_value)
{
    const std::string long_value = repeated('v', 300);
    add_part("@DB/P1/A", 0,
             {{"DB_PART_TYPE", "CORP_Tool"}, {"LONG", long_value}, {"EMPTY", ""}, {"DB_PART_TYPE", "Second"}});
    struct lookup_case {
        const char* title;
        std::string expected;
    };
    const lookup_case cases[] = {
        {"DB_PART_TYPE", "CORP_Tool"},
        {"LONG", long_value},
        {"EMPTY", ""},
        {"db_part_type", "before"},  // titles are compared exactly
        {"DB_PART", "before"},
        {"MISSING", "before"},
    };
    for (const lookup_case& c : cases) {
        SCOPED_TRACE(c.title);
        std::string value = "before";
        EXPECT_EQ(kx::find_clone_attribute("@DB/P1/A", c.title, value), 0);
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(sim::outstanding_allocations(), 0u);
    }
}

TEST_F(export_naming, find_clone_attribute_passes_a_failed_query_on)
{
    add_part("@DB/P1/A", 0, {{"DB_PART_TYPE", "CORP_Tool"}});
    host().faults.push_back({"HOST_CLONE_ask_attribute_values", 1, false, 13});
    std::string value = "before";

    EXPECT_EQ(kx::find_clone_attribute("@DB/P1/A", "DB_PART_TYPE", value), 13);
    EXPECT_EQ(value, "before");
    // A part the host does not know: the host's own failure.
    EXPECT_NE(kx::find_clone_attribute("@DB/UNKNOWN/A", "DB_PART_TYPE", value), 0);
    EXPECT_EQ(value, "before");
    EXPECT_EQ(sim::outstanding_allocations(), 0u);
}

// Every host call of the naming road fails once and from then on, for its
// n-th call, in an export of parts of every kind.
TEST_F(export_naming, every_export_survives_every_host_fault)
{
    const char* operations[] = {
        "HOST_CLONE_ask_part_state",     "HOST_PDM_decode_part_filename", "HOST_PDM_ask_part_tag",
        "HOST_PDM_invoke_pdm_server",    "HOST_CLONE_ask_attribute_values", "HOST_allocate_memory",
        "HOST_reallocate_memory",        "HOST_get_fail_message",
    };
    for (const char* operation : operations) {
        for (bool persistent : {false, true}) {
            for (int n = 1;; ++n) {
                SCOPED_TRACE(std::string(operation) + " call " + std::to_string(n) + (persistent ? " on" : " once"));
                kx::reset_library_state();
                sim::reset();
                SetUp();
                start_library();
                add_part("@DB/T1/A", 0, library_tool);
                add_part("@DB/P100/A", 4);
                add_part("@DB/P2/A/manifestation/dwg2", 1);
                sim::add_item({"P100", "Part", "", ""});
                names["@DB/T1/A"] = {0, "T1_A.prt"};
                names["@DB/P100/A"] = {0, "p100.prt"};
                host().faults.push_back({operation, n, persistent, 9});

                sim::play_session();
                const bool fired = sim::calls_of(operation) >= n;

                EXPECT_TRUE(host().misuse.empty()) << host().misuse.front();
                EXPECT_EQ(sim::outstanding_allocations(), kxtest::library_lifetime_allocations());
                // Whatever failed, each name given is one of the names of
                // the part, never a part of one.
                for (const auto& part : host().parts) {
                    if (!part.new_name) continue;
                    const std::vector<std::string>* allowed = nullptr;
                    static const std::vector<std::string> tool = {"t1.prt", "T1_A.prt"};
                    static const std::vector<std::string> p100 = {"p100.prt", "P100_A_no.prt", "@DB/P100/A"};
                    static const std::vector<std::string> p2 = {"dwg2_no.prt", "@DB/P2/A/manifestation/dwg"};
                    allowed = part.name == "@DB/T1/A" ? &tool : part.name == "@DB/P100/A" ? &p100 : &p2;
                    EXPECT_NE(std::find(allowed->begin(), allowed->end(), *part.new_name), allowed->end())
                        << part.name << " named " << *part.new_name;
                }
                host().faults.clear();
                const sim::session_result next = sim::play_session();
                EXPECT_FALSE(next.refused) << next.refused_at;
                EXPECT_EQ(host().parts[0].new_name, "t1.prt");
                EXPECT_EQ(host().parts[1].new_name, "p100.prt");
                EXPECT_EQ(host().parts[2].new_name, "dwg2_no.prt");
                expect_no_leaks();
                if (!fired) break;
            }
        }
    }
}

}  // namespace
