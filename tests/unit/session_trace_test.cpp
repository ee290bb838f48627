// The session recorder: the trace tells the session as it happened, texts
// come back byte for byte, and recording never changes what the library
// does, whether the trace is written whole, cannot be written at all, or
// reaches its cap.
#include "test_support.h"

#include "host/host_codes.h"
#include "entry/callbacks.h"
#include "session/messages.h"
#include "session_driver.h"
#include "trace/json_line.h"
#include "trace/recorder.h"
#ifdef KX_WITH_CLONESIM_READER
#include "traces/trace.h"
#endif

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <optional>
#include <tuple>
#include <set>
#include <sstream>

namespace {

using nlohmann::json;

// A text as the trace's reader gets it back.
std::string decoded(const json& value)
{
    if (value.is_string()) return value.get<std::string>();
    std::string bytes;
    const std::u32string characters = [&] {
        std::u32string out;
        const std::string utf8 = value.at("bytes").get<std::string>();
        for (std::size_t i = 0; i < utf8.size();) {
            const auto b = static_cast<unsigned char>(utf8[i]);
            if (b < 0x80) {
                out += b;
                i += 1;
            } else {
                out += static_cast<char32_t>(((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F));
                i += 2;
            }
        }
        return out;
    }();
    for (const char32_t c : characters) {
        EXPECT_LE(c, 0xFFu);
        bytes += static_cast<char>(c);
    }
    return bytes;
}

TEST(trace_texts, come_back_byte_for_byte)
{
    const struct {
        const char* what;
        std::string bytes;
        bool plain;
    } cases[] = {
        {"ASCII with quotes, backslashes and controls", "C:\\parts\\\"a\"\t\x01\x7f", true},
        {"UTF-8", "Geh\xc3\xa4use \xe2\x82\xac \xf0\x9f\x98\x80", true},
        {"Windows-1252", "Geh\xe4use \x80", false},
        {"overlong form", "\xc0\xaf", false},
        {"surrogate", "\xed\xa0\x80", false},
        {"cut sequence", "ok \xe2\x82", false},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", false},
        {"NUL inside", std::string("a\0b", 3), true},
    };
    for (const auto& c : cases) {
        kx::trace::json_line line;
        line.key("t").text(c.bytes);
        const json parsed = json::parse(line.finish());
        EXPECT_EQ(parsed.at("t").is_string(), c.plain) << c.what;
        EXPECT_EQ(decoded(parsed.at("t")), c.bytes) << c.what;
    }
}

#ifdef KX_WITH_CLONESIM_READER
// The recorder numbers the texts it writes and names a text met again by its
// number; clonesim's reader must number the same texts: those of 12 to 512
// bytes, the last 65,536 of them. Lines written with the recorder's table,
// read back, give every text as it was, at each edge.
TEST(trace_texts, named_again_read_back_as_they_were)
{
    std::vector<std::string> texts;
    for (const std::size_t size : {11u, 12u, 512u, 513u}) texts.push_back(std::string(size - 1, 'a') + "\xe4");
    for (int i = 0; i < 65536; ++i) texts.push_back("filler text " + std::to_string(i));
    // Within reach, then out of it for the first ones, then back in.
    std::vector<std::string> written = texts;
    written.insert(written.end(), texts.begin(), texts.begin() + 4);
    written.insert(written.end(), texts.end() - 4, texts.end());
    written.insert(written.end(), texts.begin(), texts.begin() + 4);

    kx::trace::text_table table;
    std::string file = "{\"trace\":\"kxpdm-clone-trace\",\"format\":2,\"library\":\"l\",\"platform\":\"linux\","
                       "\"code_page\":\"UTF-8\",\"time\":\"t\",\"session_class\":2,\"state\":{\"exception_list\":null,"
                       "\"import_attr_map\":{\"loaded\":false,\"path\":null,\"entries\":[]},"
                       "\"family_instance_check\":false,\"import_item_list\":null}}\n";
    std::size_t referenced = 0;
    for (const std::string& text : written) {
        kx::trace::json_line line(kx::trace::json_line::array_line{}, &table);
        line.word("stdout").text(text);
        const std::string written_line = line.finish();
        referenced += written_line.find("{\"t\":") != std::string::npos ? 1 : 0;
        file += written_line;
    }
    file += "[\"end\"]\n";
    const std::filesystem::path trace = std::filesystem::temp_directory_path() /
                                        ("kx-numbered-" + std::to_string(kx::platform::process_id()) + ".jsonl");
    std::ofstream(trace, std::ios::binary) << file;

    std::vector<std::string> read;
    clonesim::stream_trace(
        trace, [&](const clonesim::trace&) { read.clear(); },
        [&](const clonesim::trace_event& event) {
            if (event.kind == "stdout") read.push_back(clonesim::text_field(event.data, "text").value_or("(none)"));
        });
    std::filesystem::remove(trace);
    EXPECT_EQ(read, written);
    // The 12- and 512-byte texts and the last four fillers once each; the
    // first ones were out of reach when met again, then back in it.
    EXPECT_EQ(referenced, 4u + 2u);
}
#endif

// A format 2 line read back into the object format 1 writes (the kind under
// "e", each field under its name), as docs/trace-format.md tells it: read
// here on its own, so that the recorder is checked against the format, not
// against a reader that could share its mistakes.
class format_2_lines {
public:
    std::optional<json> event(json line)
    {
        if (line.at(0) == "op") {
            shapes_[line.at(1).get<long long>()] = {line.at(2), line.at(3), line.at(4)};
            return std::nullopt;
        }
        for (std::size_t i = 1; i < line.size(); ++i) resolve(line[i]);
        if (line.at(0).is_number()) {
            const long long number = line.at(0).get<long long>();
            if (line.size() == 1) return last_.at(number);
            const auto& [name, in, out] = shapes_.at(number);
            json event = {{"e", "host"}, {"op", name}, {"in", json::object()}, {"out", json::object()}};
            for (std::size_t i = 0; i < in.size(); ++i) event["in"][in[i].get<std::string>()] = line.at(1).at(i);
            for (std::size_t i = 0; i < out.size(); ++i) event["out"][out[i].get<std::string>()] = line.at(2).at(i);
            event["status"] = line.size() > 3 ? line[3] : json(0);
            return last_[number] = event;
        }
        static const std::map<std::string, std::vector<std::string>> fields = {
            {"return", {"result", "new_name"}}, {"request", {"code", "input", "result", "status", "reply"}},
            {"command", {"program", "arguments", "line", "exit"}}, {"delete", {"path", "exit"}},
            {"env", {"name", "value"}}, {"file", {"path", "content"}}, {"stdout", {"text"}}, {"end", {}},
            {"cut", {"bytes"}}};
        const std::string kind = line.at(0);
        const std::vector<std::string> names =
            kind != "call" ? fields.at(kind)
            : line.at(1) == "notify" ? std::vector<std::string>{"callback", "point", "part"}
                                     : std::vector<std::string>{"callback", "part"};
        json event = {{"e", kind}};
        EXPECT_LE(line.size() - 1, names.size()) << line;
        for (std::size_t i = 1; i < line.size() && i <= names.size(); ++i) event[names[i - 1]] = line[i];
        return event;
    }

private:
    // Texts of 12 to 512 bytes take numbers as they stand in the line.
    void resolve(json& value)
    {
        if (value.is_object() && value.size() == 1 && value.contains("t")) {
            value = texts_.at(value["t"].get<std::size_t>() - 1);
        } else if (value.is_string() || (value.is_object() && value.contains("bytes"))) {
            const std::size_t bytes = decoded(value).size();
            if (bytes >= 12 && bytes <= 512) texts_.push_back(value);
        } else if (value.is_object() || value.is_array()) {
            for (json& member : value) resolve(member);
        }
    }

    std::map<long long, std::tuple<std::string, json, json>> shapes_;
    std::map<long long, json> last_;
    std::vector<json> texts_;  // by number, from 1
};

class session_trace : public kxtest::library_test {
protected:
    // What the session did, as the host and the system saw it.
    struct outcome {
        std::vector<std::string> calls;
        std::vector<std::optional<std::string>> new_names;
        std::vector<std::string> boxes;
        std::string listing;
        std::vector<std::string> requests;
        std::vector<std::string> commands;
        std::string printed;
        bool operator==(const outcome&) const = default;
    };

    // An import of three parts with a mapping file, an exception list, a
    // site program and a part named in Windows-1252; `attribute_bytes`
    // makes each part's attributes that long.
    outcome play(const std::map<std::string, std::string>& env, std::size_t attribute_bytes = 0)
    {
        kx::reset_recorder();
        kx::reset_library_state();
        sim::reset();
        const std::string clock = system.time;  // a test's clock stays
        system = kxtest::fake_system{};
        system.time = clock;
        system.env = env;
        const std::string map = (scratch_dir() / "import.map").string();
        std::ofstream(map, std::ios::binary) << "DB_PART_NO = DRAWING_NO\nDB_PART_NAME = TITLE\n";
        system.env["KXPDM_IMPORT_ATTR_MAP_FILE"] = map;
        // A test that names a program of its own has it run for real.
        system.run_for_real = env.count("KXPDM_ADDITIONAL_IMPORT_PROGRAM") != 0;
        system.env.emplace("KXPDM_ADDITIONAL_IMPORT_PROGRAM", "site_check -q");
        system.exit_code = [](const std::string& line) { return line.find("refused") != std::string::npos ? 3 : 0; };
        start_library();
        // Recorded or not, the host fills fixed-size outputs to their size.
        host().unterminated_outputs = true;
        host().operation_class = kx::class_import;
        host().def_item_type = "Part";
        host().server = [](int code, const char*) -> sim::pdm_response {
            if (code == kx::request_get_exceptions) return {1, "KXPDM_AUTO_PUBLISH_AFTER_IMPORT?1"};
            if (code == kx::request_get_item_type) return {0, "Part"};
            if (code == kx::request_check_revision) return {0, "NOT_PRESENT"};
            return {0, std::nullopt};
        };
        const std::string filler(attribute_bytes, 'x');
        // A refused translation ends the session: the refused part comes last.
        for (const char* name : {"/in/plate.prt", "/in/Geh\xe4use.prt", "/in/refused.prt"}) {
            sim::clone_part part;
            part.name = name;
            part.attributes = {{"DRAWING_NO", std::string("D-") + std::to_string(host().parts.size())},
                               {"TITLE", "Title"},
                               {"FILLER", filler}};
            host().parts.push_back(part);
        }
        sim::play_session();
        outcome o{host().calls, {}, {}, host().listing, {}, system.commands, system.stdout_text};
        for (const sim::clone_part& part : host().parts) o.new_names.push_back(part.new_name);
        for (const sim::message_box& box : host().message_boxes) o.boxes.push_back(box.message);
        for (const sim::pdm_request& r : host().requests)
            o.requests.push_back(std::to_string(r.code) + ":" + r.input.value_or("(null)"));
        return o;
    }

    std::vector<std::filesystem::path> traces(const std::filesystem::path& folder)
    {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) found.push_back(entry.path());
        return found;
    }

    // The first `count` names the recorder tries, in order, for the first
    // session of a library loaded at `clock_time`.
    static constexpr char clock_time[] = "2026-12-07T16:40:02Z";
    std::vector<std::filesystem::path> first_names(const std::filesystem::path& folder, int count)
    {
        std::vector<std::filesystem::path> names;
        for (int n = 1; n <= count; ++n)
            names.push_back(folder / ("kxpdm-trace-20261207-164002-" + std::to_string(kx::platform::process_id()) +
                                      "-" + std::to_string(n) + ".jsonl"));
        return names;
    }

    // Every line of a trace, each event as format 1 writes it.
    std::vector<json> lines(const std::filesystem::path& trace)
    {
        std::ifstream in(trace, std::ios::binary);
        std::vector<json> parsed;
        format_2_lines format_2;
        for (std::string line; std::getline(in, line);) {
            json value = json::parse(line);
            if (parsed.empty()) {
                EXPECT_EQ(value.at("format"), 2);
                parsed.push_back(std::move(value));
                continue;
            }
            if (auto event = format_2.event(std::move(value))) parsed.push_back(std::move(*event));
        }
        return parsed;
    }
};

TEST_F(session_trace, tells_the_session_as_it_happened_and_changes_nothing)
{
    const outcome plain = play({});
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);
    const outcome recorded = play({{kx::trace::directory_variable, folder.string()}});
    EXPECT_EQ(recorded, plain);

    const auto files = traces(folder);
    ASSERT_EQ(files.size(), 1u);
    const std::vector<json> trace = lines(files[0]);
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(trace.front().at("format"), kx::trace::format_version);
    EXPECT_EQ(trace.front().at("session_class"), kx::class_import);
    EXPECT_EQ(trace.back(), json({{"e", "end"}}));

    // Each part's translation with the name the host got, the site program
    // with its argument list, the mapping file and the requests.
    std::vector<std::string> translated, program_arguments, files_read;
    std::size_t requests = 0;
    std::optional<std::string> translating;
    for (std::size_t i = 1; i + 1 < trace.size(); ++i) {
        const json& e = trace[i];
        if (e.at("e") == "call") translating.reset();
        if (e.at("e") == "call" && e.at("callback") == "translate") translating = decoded(e.at("part"));
        if (e.at("e") == "return" && translating.has_value()) {
            const json& name = e.at("new_name");
            translated.push_back(*translating + " -> " + (name.is_null() ? "refused" : decoded(name)));
        }
        if (e.at("e") == "command")
            program_arguments.push_back(e.at("program").get<std::string>() + " " + decoded(e.at("arguments").at(0)));
        if (e.at("e") == "file") files_read.push_back(decoded(e.at("content")));
        requests += e.at("e") == "request" ? 1 : 0;
    }
    std::vector<std::string> expected_translations;
    for (std::size_t p = 0; p < plain.new_names.size(); ++p)
        expected_translations.push_back(host().parts[p].name + " -> " + plain.new_names[p].value_or("refused"));
    EXPECT_EQ(translated, expected_translations);
    EXPECT_EQ(program_arguments, (std::vector<std::string>{"site_check -q /in/plate.prt", "site_check -q /in/Geh\xe4use.prt",
                                                           "site_check -q /in/refused.prt"}));
    EXPECT_EQ(files_read, std::vector<std::string>{"DB_PART_NO = DRAWING_NO\nDB_PART_NAME = TITLE\n"});
    EXPECT_EQ(requests, plain.requests.size());
}

#ifdef KX_WITH_CLONESIM_READER
// clonesim keeps a line as flat nodes and hands a repeated host call over as
// the event it kept: each event must still be the one the format tells, with
// its references, repeats and texts given as bytes.
TEST_F(session_trace, clonesims_reader_gives_each_event_as_the_format_tells)
{
    for (const std::size_t attribute_bytes : {std::size_t{0}, std::size_t{40}}) {
        const std::filesystem::path folder = scratch_dir() / ("traces-" + std::to_string(attribute_bytes));
        std::filesystem::create_directory(folder);
        play({{kx::trace::directory_variable, folder.string()}}, attribute_bytes);
        const auto files = traces(folder);
        ASSERT_EQ(files.size(), 1u);
        std::vector<json> read;
        std::size_t repeated = 0;
        clonesim::stream_trace(
            files[0], [&](const clonesim::trace& head) { read.assign(1, head.header); },
            [&](const clonesim::trace_event& event) {
                read.push_back(event.data.to_json());
                EXPECT_EQ(event.kind, read.back().at("e").get<std::string>());
                repeated += event.repeated ? 1 : 0;
            });
        EXPECT_EQ(read, lines(files[0])) << "attributes of " << attribute_bytes << " bytes";
        EXPECT_GT(repeated, 0u);
    }
}
#endif

TEST_F(session_trace, a_library_loaded_again_never_writes_over_a_trace)
{
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);
    for (int load = 0; load < 3; ++load) {
        // A fresh load counts its sessions from 1 again, within the same second.
        kx::reset_recorder();
        play({{kx::trace::directory_variable, folder.string()}});
    }
    EXPECT_EQ(traces(folder).size(), 3u);
}

TEST_F(session_trace, a_trace_that_cannot_be_written_or_reaches_its_cap_leaves_the_session_as_it_was)
{
    const outcome plain = play({}, 40000);
    const std::string missing = (scratch_dir() / "no such folder").string();
    const std::filesystem::path capped = scratch_dir() / "capped";
    std::filesystem::create_directory(capped);

    outcome unwritable = play({{kx::trace::directory_variable, missing}}, 40000);
    // The one line names the file it could not write, in the folder given.
    const std::string given_up = unwritable.printed.substr(0, unwritable.printed.find('\n') + 1);
    const std::size_t folder_at = given_up.find(kx::platform::join_path(missing, "kxpdm-trace-"));
    ASSERT_NE(folder_at, std::string::npos) << given_up;
    const std::string path = given_up.substr(folder_at, given_up.find(".jsonl") + 6 - folder_at);
    EXPECT_EQ(given_up, kx::msg::trace_given_up(path));
    unwritable.printed.erase(0, given_up.size());
    EXPECT_EQ(unwritable, plain);

    // A text written again names the earlier one: an attribute of more
    // than 1 MB is past the cap on its own.
    outcome cut = play({{kx::trace::directory_variable, capped.string()}, {kx::trace::cap_variable, "1"}}, 1100000);
    const outcome plain_large = play({}, 1100000);
    const auto files = traces(capped);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_LE(std::filesystem::file_size(files[0]), 1024u * 1024u);
    const std::vector<json> trace = lines(files[0]);
    EXPECT_EQ(trace.back().at("e"), "cut");
    const std::string cut_line = kx::msg::trace_cut(files[0].string(), 1);
    ASSERT_NE(cut.printed.find(cut_line), std::string::npos) << cut.printed;
    cut.printed.erase(cut.printed.find(cut_line), cut_line.size());
    EXPECT_EQ(cut, plain_large);
}

// Each name is created in one step: when all the names a session may take
// are in use, one line says so, no trace is written and nothing planted
// under those names is written over.
TEST_F(session_trace, when_every_name_is_taken_one_line_says_so_and_nothing_is_written_over)
{
    const outcome plain = play({});
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);
    const std::vector<std::filesystem::path> planted = first_names(folder, 1000);
    for (const auto& name : planted) std::ofstream(name, std::ios::binary) << "planted";

    system.time = clock_time;
    kx::reset_recorder();  // a fresh load: its sessions count from 1
    outcome recorded = play({{kx::trace::directory_variable, folder.string()}});
    const std::string line = kx::msg::trace_given_up(planted.back().string());
    EXPECT_EQ(recorded.printed.substr(0, line.size()), line);
    recorded.printed.erase(0, line.size());
    EXPECT_EQ(recorded, plain);
    EXPECT_EQ(traces(folder).size(), planted.size());
    for (const auto& name : planted) {
        std::ifstream in(name, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        ASSERT_EQ(content.str(), "planted") << name;
    }
}

#ifndef _WIN32
// A link planted under a free name, pointing nowhere, is a name in use: it
// is never followed, and the trace takes the next name.
TEST_F(session_trace, a_link_planted_under_a_free_name_is_never_followed)
{
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);
    const std::filesystem::path target = scratch_dir() / "made through the link";
    std::filesystem::create_symlink(target, first_names(folder, 1).front());

    system.time = clock_time;
    kx::reset_recorder();
    play({{kx::trace::directory_variable, folder.string()}});
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(target)));
    std::vector<std::filesystem::path> written;
    for (const auto& file : traces(folder))
        if (!std::filesystem::is_symlink(file)) written.push_back(file);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], first_names(folder, 2).back());
    EXPECT_EQ(lines(written[0]).back(), json({{"e", "end"}}));
}
#endif

#ifdef __linux__
// The programs the library runs while recording do not get the trace open.
TEST_F(session_trace, the_trace_stays_out_of_the_programs_the_library_runs)
{
    const std::filesystem::path program = scratch_dir() / "site_check";
    std::ofstream(program, std::ios::binary) << "#!/bin/sh\n"
                                                "for fd in /proc/$$/fd/*; do\n"
                                                "  case \"$(readlink \"$fd\")\" in *kxpdm-trace-*) exit 9 ;; esac\n"
                                                "done\n"
                                                "exit 0\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);

    const outcome plain = play({{"KXPDM_ADDITIONAL_IMPORT_PROGRAM", program.string()}});
    const outcome recorded = play(
        {{"KXPDM_ADDITIONAL_IMPORT_PROGRAM", program.string()}, {kx::trace::directory_variable, folder.string()}});
    EXPECT_EQ(recorded.printed.find("returned [9]"), std::string::npos) << recorded.printed;
    EXPECT_EQ(recorded, plain);
    EXPECT_EQ(traces(folder).size(), 1u);
}
#endif

}  // namespace

namespace {

// A host that fills each fixed-size output to its size with no terminator:
// the trace holds each such output at exactly the size the host interface
// declares for it, never what lies beyond.
TEST_F(session_trace, reads_each_fixed_size_output_within_its_size)
{
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);
    system.env = {{kx::trace::directory_variable, folder.string()}};
    start_library();
    host().unterminated_outputs = true;
    host().def_item_type = "Part";
    sim::add_item({"E1", "Part", std::string(40, 'n'), "d"});
    sim::clone_part derived;
    derived.name = "/in/4711.A01.003.prt";
    derived.file_exists = false;
    sim::clone_part existing;
    existing.name = "/in/e1.prt";
    existing.attributes = {{"DB_PART_NO", "E1"}, {"DB_PART_REV", "B"}};
    sim::clone_part numbered;
    numbered.name = "/in/numbered.prt";
    host().parts = {derived, existing, numbered};
    // An end refused without a reply shows the host's text for its status.
    host().server = [](int code, const char*) -> sim::pdm_response {
        if (code == kx::request_end_import) return {5, std::nullopt};
        if (code == kx::request_check_revision) return {0, "NOT_PRESENT"};
        if (code == kx::request_get_item_type) return {0, "Part"};
        return {0, std::nullopt};
    };
    sim::play_session();

    sim::reset_model();
    start_library();
    host().unterminated_outputs = true;
    host().operation_class = kx::class_export;
    sim::clone_part exported;
    exported.name = "@DB/E1/B";
    exported.state = kx::part_state_referenced;  // a part the host only refers to is decoded
    host().parts = {exported};
    sim::play_session();

    const std::map<std::string, std::map<std::string, std::size_t>> sized = {
        {"HOST_PDM_ask_part_name_desc", {{"name", HOST_PDM_NAME_BUFSIZE}, {"description", HOST_PDM_DESC_BUFSIZE}}},
        {"HOST_PDM_assign_part_number", {{"new_number", HOST_PDM_ID_BUFSIZE}}},
        {"HOST_PDM_assign_part_rev", {{"new_revision", HOST_PDM_ID_BUFSIZE}}},
        {"HOST_PDM_decode_part_filename",
         {{"part_number", HOST_PDM_FIELD_BUFSIZE}, {"part_revision", HOST_PDM_FIELD_BUFSIZE},
          {"file_type", HOST_PDM_FIELD_BUFSIZE}, {"file_name", HOST_PDM_FIELD_BUFSIZE}}},
        {"HOST_FILE_ask_name", {{"name", 32}}},
        {"HOST_get_fail_message", {{"message", HOST_FAIL_MESSAGE_BUFSIZE}}},
    };
    std::set<std::string> seen;
    const auto files = traces(folder);
    ASSERT_EQ(files.size(), 2u);
    for (const auto& file : files) {
        for (const json& e : lines(file)) {
            if (!e.contains("e") || e.at("e") != "host" || !sized.contains(e.at("op")) || e.at("status") != 0) continue;
            const std::string op = e.at("op");
            seen.insert(op);
            for (const auto& [field, size] : sized.at(op)) {
                SCOPED_TRACE(op + " " + field);
                ASSERT_TRUE(e.at("out").contains(field));
                EXPECT_EQ(decoded(e.at("out").at(field)).size(), size);
            }
        }
    }
    EXPECT_EQ(seen.size(), sized.size()) << [&] {
        std::string all;
        for (const std::string& op : seen) all += op + " ";
        return all;
    }();
}

// After an Init_Clone that stopped its session, only the Exit_Clone that
// comes next belongs to the trace: any other callback of the host's first
// ends the trace, unrecorded, and takes the recorder off the host's road.
TEST_F(session_trace, records_nothing_outside_a_session)
{
    const std::filesystem::path folder = scratch_dir() / "traces";
    std::filesystem::create_directory(folder);
    system.env = {{kx::trace::directory_variable, folder.string()}};
    start_library();
    host().server = [](int code, const char*) -> sim::pdm_response {
        return code == kx::request_begin_import ? sim::pdm_response{4, "No import today"} : sim::pdm_response{0, {}};
    };
    int import = kx::class_import;
    // What each trace holds after the header: its events' kinds and points.
    const auto events = [&](const std::filesystem::path& file) {
        std::vector<std::string> kinds;
        const std::vector<json> all = lines(file);
        for (std::size_t i = 1; i < all.size(); ++i) {
            const json& e = all[i];
            const std::string kind = e.at("e");
            if (kind == "call")
                kinds.push_back(kind + " " + std::to_string(e.at("point").get<int>()));
            else if (kind == "return" || kind == "end")
                kinds.push_back(kind);
        }
        return kinds;
    };

    ASSERT_EQ(sim::notify(kx::point_init_clone, nullptr, &import), kx::stop_session);
    EXPECT_EQ(sim::notify(kx::point_part_load, "/in/opened_later.prt", nullptr), 0);
    sim::notify(kx::point_exit_clone, nullptr, nullptr);
    auto files = traces(folder);
    ASSERT_EQ(files.size(), 1u);
    // The host never ended that session: no end mark.
    EXPECT_EQ(events(files[0]), (std::vector<std::string>{"call 0", "return"}));

    std::filesystem::remove(files[0]);
    ASSERT_EQ(sim::notify(kx::point_init_clone, nullptr, &import), kx::stop_session);
    sim::notify(kx::point_exit_clone, nullptr, nullptr);
    files = traces(folder);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(events(files[0]), (std::vector<std::string>{"call 0", "return", "call 1", "return", "end"}));
}

}  // namespace
