// clonesim's trace reader in process: the values of a line as the readers
// get them, where the JSON reader and the conversions clonesim does itself
// meet (numbers at the edges of 64 bits, escapes, a byte order mark, a
// byte 0), and the quoting that replay's comparison texts are built with.
#include "texts/texts.h"
#include "traces/trace.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using clonesim::trace_node;
using clonesim::trace_value;

const std::string header =
    "{\"trace\":\"kxpdm-clone-trace\",\"format\":2,\"library\":\"l\",\"platform\":\"linux\",\"code_page\":\"UTF-8\","
    "\"time\":\"t\",\"session_class\":2,\"state\":{\"exception_list\":null,\"import_attr_map\":{\"loaded\":false,"
    "\"path\":null,\"entries\":[]},\"family_instance_check\":false,\"import_item_list\":null}}\n";

struct read_event {
    std::string kind;
    bool repeated = false;
    std::vector<std::pair<std::string, trace_node>> in;  // a host call's inputs
    std::vector<std::string> texts;                      // their texts, in order
    std::string stdout_text;
};

std::vector<read_event> read(const std::string& body)
{
    // A name of this process's own, removed on every way out (a refused
    // trace throws): runs side by side never share a file.
    static int made = 0;
    struct removed_after {
        fs::path file;
        ~removed_after() { std::error_code ignored; fs::remove(file, ignored); }
    } const scratch{fs::path(::testing::TempDir()) /
                    ("kx-reader-" + std::to_string(::getpid()) + "-" + std::to_string(++made) + ".jsonl")};
    const fs::path& file = scratch.file;
    std::ofstream(file, std::ios::binary) << header << body;
    std::vector<read_event> events;
    clonesim::stream_trace(
        file, [&](const clonesim::trace&) { events.clear(); },
        [&](const clonesim::trace_event& e) {
            read_event r{std::string(e.kind), e.repeated, {}, {}, {}};
            if (e.kind == "host")
                e.data["in"].each_member([&](const trace_value& v) {
                    r.in.emplace_back(std::string(v.name()), v.node());
                    r.texts.push_back(v.text().value_or("(no text)"));
                });
            if (e.kind == "stdout") r.stdout_text = clonesim::text_field(e.data, "text").value_or("(none)");
            events.push_back(std::move(r));
        });
    return events;
}

// Each number reads as nlohmann read it: a whole number without a sign and
// an integer with one while it fits in 64 bits, a floating one beyond; and
// each text as the bytes its escapes stand for.
TEST(trace_reader, takes_numbers_and_texts_as_they_were_always_taken)
{
    const std::vector<read_event> events = read(
        "[\"op\",1,\"HOST_X\",[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\"],[]]\n"
        "[1,[-9223372036854775808,18446744073709551615,1.5,-0,\"\\u00e9\\uD83D\\uDE00\",\"a\\u0000b\","
        "18446744073709551616],[]]\n"
        "\xEF\xBB\xBF[\"stdout\",\"after a byte order mark\"]\n" +
        std::string("[\"stdout\",\"up to a byte 0\"]") + '\0' + "[not read]\n" +
        "[1]\n"
        "[\"end\"]\n");
    ASSERT_EQ(events.size(), 5u);
    ASSERT_EQ(events[0].kind, "host");
    const auto& in = events[0].in;
    ASSERT_EQ(in.size(), 7u);
    EXPECT_EQ(in[0].second.kind, trace_node::type::integer);
    EXPECT_EQ(in[0].second.number, std::numeric_limits<long long>::min());
    EXPECT_EQ(in[1].second.kind, trace_node::type::whole);
    EXPECT_EQ(static_cast<std::uint64_t>(in[1].second.number), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(in[2].second.kind, trace_node::type::floating);
    EXPECT_EQ(in[2].second.real, 1.5);
    EXPECT_EQ(in[3].second.kind, trace_node::type::integer);
    EXPECT_EQ(in[3].second.number, 0);
    EXPECT_EQ(events[0].texts[4], "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(events[0].texts[5], std::string("a\0b", 3));
    EXPECT_EQ(in[6].second.kind, trace_node::type::floating);
    EXPECT_EQ(in[6].second.real, 18446744073709551616.0);
    EXPECT_EQ(events[1].stdout_text, "after a byte order mark");
    EXPECT_EQ(events[2].stdout_text, "up to a byte 0");
    EXPECT_EQ(events[3].kind, "host");
    EXPECT_TRUE(events[3].repeated);
    EXPECT_EQ(events[3].in.size(), 7u);
    EXPECT_EQ(events[4].kind, "end");
}

// A line that stops right after the first byte of a character of three or
// four bytes, inside a text, is refused at its line; the reader must not look
// past the line's end for the rest of the character (the sanitizer build
// catches a read beyond it). The long text makes the line's buffer fit it
// exactly.
TEST(trace_reader, a_line_ending_inside_a_character_is_refused_at_its_end)
{
    for (const char* lead : {"\xE2", "\xED", "\xF0", "\xF4"}) {
        const std::string body = "[\"stdout\",\"" + std::string(2000, 'q') + lead + "\n[\"end\"]\n";
        std::string refusal;
        try {
            read(body);
        } catch (const clonesim::trace_error& e) {
            refusal = e.what();
        }
        EXPECT_NE(refusal.find("line 2: not a JSON array: the trace is corrupted here"), std::string::npos) << refusal;
    }
}

// A text or a member name that is no UTF-8, as written or as its escapes
// give it, is refused at its line, in both formats.
TEST(trace_reader, a_text_or_a_name_that_is_no_utf8_is_refused)
{
    for (const std::string bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\\udc00", "\xE2\x82"}) {
        const std::pair<std::string, std::string> lines[] = {
            {"[\"stdout\",\"a" + bad + "\"]", "not a JSON array"},
            {"[\"stdout\",{\"bytes\":\"a\",\"" + bad + "\":1}]", "not a JSON array"},
        };
        for (const auto& [line, says] : lines) {
            std::string refusal;
            try {
                read(line + "\n[\"end\"]\n");
            } catch (const clonesim::trace_error& e) {
                refusal = e.what();
            }
            EXPECT_NE(refusal.find("line 2: " + says + ": the trace is corrupted here"), std::string::npos) << line << refusal;
        }
    }
}

// Replay builds its comparison texts onto one growing text; each piece must
// read as the text quoted on its own, with what a terminal cannot show as
// escapes and a byte that is not UTF-8 as its value.
TEST(trace_reader, a_text_quoted_onto_another_reads_as_quoted_alone)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain", R"("plain")"},
        {"tab\there \"quoted\" back\\slash", R"("tab\there \"quoted\" back\\slash")"},
        {"M\xFCller \xC3\xA9t\xC3\xA9", "\"M\\xfcller \xC3\xA9t\xC3\xA9\""},
        {std::string("nul\0in\n\r\x7F", 9), R"("nul\x00in\n\r\x7f")"},
        {"", R"("")"},
    };
    for (const auto& [text, quoted] : cases) {
        std::string out = "call(";
        clonesim::append_quoted(out, text);
        EXPECT_EQ(out, "call(" + quoted) << text;
        EXPECT_EQ(clonesim::quote(text), quoted) << text;
    }
}

}  // namespace
