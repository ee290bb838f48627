// Reads a scenario file strictly: every field is checked for its type and
// its rules, and the first mistake is reported with the file and the
// field's path before anything runs.
#include "scenario/scenario.h"

#include "platform/os.h"
#include "host/host_codes.h"
#include "texts/texts.h"
#include "trace/json_line.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <stdexcept>

namespace clonesim {

namespace {

using json = nlohmann::ordered_json;

constexpr const char* dir_placeholder = "${SCENARIO_DIR}";

std::string known_request_codes()
{
    std::string codes;
    for (const kx::pdm_request_code code : kx::all_request_codes)
        codes += (codes.empty() ? "" : ", ") + std::to_string(code);
    return codes;
}

bool known_request_code(int code)
{
    return std::any_of(std::begin(kx::all_request_codes), std::end(kx::all_request_codes),
                       [code](kx::pdm_request_code known) { return known == code; });
}

std::string kind_of(const json& value)
{
    switch (value.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "an integer";
    case json::value_t::number_float: return "a number with a fraction";
    case json::value_t::string: return "a string";
    case json::value_t::array: return "an array";
    case json::value_t::object: return "an object";
    default: return "an unsupported value";
    }
}

// A refusal quotes the start of a long text (a file's content) only.
constexpr std::size_t refused_text_limit = 60;

// A text as a refusal quotes it: its first characters only.
std::string quote_start(const std::string& utf8)
{
    std::size_t at = 0, count = 0;
    while (at < utf8.size() && count < refused_text_limit) {
        ++at;
        while (at < utf8.size() && (static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80) ++at;
        ++count;
    }
    if (at >= utf8.size()) return quote(utf8);
    std::size_t total = count;
    for (std::size_t i = at; i < utf8.size(); ++i)
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) ++total;
    return quote(utf8.substr(0, at)) + "... (" + std::to_string(total) + " characters)";
}

// The first character of a UTF-8 text the host's code page has no place for,
// as ": no U+0301": a combining mark looks like the letter before it, and a
// long text hides it.
std::string unwritable_character(const std::string& utf8)
{
    for (std::size_t at = 0; at < utf8.size();) {
        const kx::trace::utf8_character c = kx::trace::decode_utf8(utf8, at);
        const std::size_t length = c.length == 0 ? 1 : c.length;
        if (c.length != 0 && !os::to_host_text(utf8.substr(at, length)).has_value()) {
            char shown[16];
            std::snprintf(shown, sizeof shown, "U+%04X", static_cast<unsigned>(c.code));
            return std::string(": no ") + shown;
        }
        at += length;
    }
    return "";
}

// Walks the document and reports every mistake with the file and the field.
class reader {
public:
    explicit reader(std::string file) : file_(std::move(file)) {}

    [[noreturn]] void fail(const std::string& path, const std::string& what) const
    {
        throw scenario_error(file_ + ": " + (path.empty() ? std::string("(top level)") : path) + ": " + what);
    }

    [[noreturn]] void wrong(const std::string& path, const json& value, const std::string& expected) const
    {
        fail(path, "expected " + expected + ", found " + kind_of(value));
    }

    void object(const std::string& path, const json& value, std::initializer_list<const char*> allowed) const
    {
        if (!value.is_object()) wrong(path, value, "an object");
        for (const auto& item : value.items()) {
            const std::string& key = item.key();
            const bool known = std::any_of(allowed.begin(), allowed.end(),
                                           [&](const char* name) { return key == name; });
            if (known) continue;
            std::string names;
            for (const char* name : allowed) names += std::string(names.empty() ? "" : ", ") + name;
            fail(join(path, key), "unknown field; expected one of " + names);
        }
    }

    static std::string join(const std::string& path, const std::string& key)
    {
        return path.empty() ? key : path + "." + key;
    }
    static std::string index(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

    int integer(const std::string& path, const json& value, long long low = INT_MIN, long long high = INT_MAX) const
    {
        if (!value.is_number_integer()) wrong(path, value, "an integer");
        long long number = 0;
        if (value.is_number_unsigned()) {
            const auto u = value.get<unsigned long long>();
            number = u > static_cast<unsigned long long>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(u);
        } else {
            number = value.get<long long>();
        }
        if (number < low || number > high)
            fail(path, "expected an integer from " + std::to_string(low) + " to " + std::to_string(high) +
                           ", found " + std::to_string(number));
        return static_cast<int>(number);
    }

    bool boolean(const std::string& path, const json& value) const
    {
        if (!value.is_boolean()) wrong(path, value, "true or false");
        return value.get<bool>();
    }

    // A text that is not UTF-8 is written {"bytes": "..."}, one character
    // per byte.
    std::string text(const std::string& path, const json& value) const
    {
        if (value.is_object() && value.size() == 1 && value.contains("bytes") && value["bytes"].is_string()) {
            if (auto bytes = characters_as_bytes(value["bytes"].get<std::string>())) return *bytes;
            fail(path, "expected one character per byte (U+0000 to U+00FF) in \"bytes\"");
        }
        if (!value.is_string()) wrong(path, value, "a string");
        return for_host(path, value.get<std::string>());
    }

    // A text of the file as the library gets it: refused here, before
    // anything runs, when the host's code page cannot hold it, rather than
    // reaching the library as some other text.
    std::string for_host(const std::string& path, const std::string& text) const
    {
        if (auto in_host = os::to_host_text(text)) return std::move(*in_host);
        fail(path, quote_start(text) + " cannot be written in the host's code page (" +
                       os::host_code_page() + ")" + unwritable_character(text));
    }

    std::string non_empty_text(const std::string& path, const json& value) const
    {
        std::string result = text(path, value);
        if (result.empty()) fail(path, "expected a non-empty string, found an empty string");
        return result;
    }

    std::optional<std::string> optional_text(const std::string& path, const json& value) const
    {
        if (value.is_null()) return std::nullopt;
        if (!value.is_string() && !value.is_object()) wrong(path, value, "a string or null");
        return text(path, value);
    }

    std::vector<text_pair> pairs(const std::string& path, const json& value) const
    {
        if (!value.is_array()) wrong(path, value, "an array of [title, value] pairs");
        std::vector<text_pair> result;
        for (std::size_t i = 0; i < value.size(); ++i) {
            const json& pair = value[i];
            const std::string here = index(path, i);
            if (!pair.is_array() || pair.size() != 2) {
                if (pair.is_array())
                    fail(here, "expected a [title, value] pair, found an array of " + std::to_string(pair.size()) +
                                   " elements");
                wrong(here, pair, "a [title, value] pair");
            }
            result.emplace_back(text(index(here, 0), pair[0]), text(index(here, 1), pair[1]));
        }
        return result;
    }

    const json& array(const std::string& path, const json& value, const std::string& of) const
    {
        if (!value.is_array()) wrong(path, value, "an array of " + of);
        return value;
    }

private:
    std::string file_;
};

std::string substitute_directory(std::string text, const std::string& directory)
{
    const std::string placeholder = dir_placeholder;
    for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at)) {
        text.replace(at, placeholder.size(), directory);
        at += directory.size();
    }
    return text;
}

std::optional<std::string> substitute_directory(std::optional<std::string> text, const std::string& directory)
{
    if (!text.has_value()) return text;
    return substitute_directory(std::move(*text), directory);
}

// Line and column of a byte position in the file, for parse errors.
std::string where_in(const std::string& content, std::size_t byte)
{
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < byte && i < content.size(); ++i) {
        if (content[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

void read_defaults(const reader& r, const json& value, scenario& s, const std::string& dir)
{
    r.object("defaults", value, {"action", "naming", "item_type", "pdm_name", "pdm_desc", "directory"});
    if (value.contains("action")) s.def_action = r.integer("defaults.action", value["action"]);
    if (value.contains("naming")) s.def_naming = r.integer("defaults.naming", value["naming"]);
    if (value.contains("item_type")) s.def_item_type = r.optional_text("defaults.item_type", value["item_type"]);
    if (value.contains("pdm_name")) s.def_pdm_name = r.optional_text("defaults.pdm_name", value["pdm_name"]);
    if (value.contains("pdm_desc")) s.def_pdm_desc = r.optional_text("defaults.pdm_desc", value["pdm_desc"]);
    if (value.contains("directory"))
        s.def_directory = substitute_directory(r.optional_text("defaults.directory", value["directory"]), dir);
}

void read_numbering(const reader& r, const json& value, scenario& s)
{
    r.object("numbering", value, {"next_item_number", "initial_revision"});
    if (value.contains("next_item_number"))
        s.next_item_number = r.integer("numbering.next_item_number", value["next_item_number"], 1, 999999);
    if (value.contains("initial_revision"))
        s.initial_revision = r.non_empty_text("numbering.initial_revision", value["initial_revision"]);
}

void read_env(const reader& r, const json& value, scenario& s, const std::string& dir)
{
    if (!value.is_object()) r.wrong("env", value, "an object of variable names and values");
    for (const auto& [name, setting] : value.items()) {
        const std::string path = reader::join("env", name);
        if (name.empty() || name.find('=') != std::string::npos)
            r.fail(path, "expected a variable name without \"=\"");
        s.env.push_back(env_setting{r.for_host(path, name), substitute_directory(r.optional_text(path, setting), dir)});
    }
}

void read_host_callbacks(const reader& r, const json& value, scenario& s)
{
    r.array("host_callbacks", value, "callbacks");
    if (value.size() > max_host_callbacks)
        r.fail("host_callbacks", "expected at most " + std::to_string(max_host_callbacks) + " callbacks, found " +
                                     std::to_string(value.size()));
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string path = reader::index("host_callbacks", i);
        const json& cb = value[i];
        r.object(path, cb, {"name", "point", "description"});
        if (!cb.contains("name")) r.fail(reader::join(path, "name"), "missing; expected a non-empty string");
        if (!cb.contains("point")) r.fail(reader::join(path, "point"), "missing; expected an integer");
        host_callback callback;
        callback.name = r.non_empty_text(reader::join(path, "name"), cb["name"]);
        callback.point = r.integer(reader::join(path, "point"), cb["point"]);
        if (cb.contains("description"))
            callback.description = r.text(reader::join(path, "description"), cb["description"]);
        s.host_callbacks.push_back(std::move(callback));
    }
}

void read_parts(const reader& r, const json& value, scenario& s, const std::string& dir)
{
    r.array("parts", value, "parts");
    std::set<std::string> names;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string path = reader::index("parts", i);
        const json& p = value[i];
        r.object(path, p,
                 {"name", "file_exists", "state", "action", "naming", "output_name", "item_type", "pdm_name",
                  "pdm_desc", "attributes"});
        if (!p.contains("name")) r.fail(reader::join(path, "name"), "missing; expected a non-empty string");
        sim::clone_part part;
        part.name = substitute_directory(r.non_empty_text(reader::join(path, "name"), p["name"]), dir);
        if (!names.insert(part.name).second)
            r.fail(reader::join(path, "name"), "the part \"" + part.name + "\" is listed twice");
        if (p.contains("file_exists")) part.file_exists = r.boolean(reader::join(path, "file_exists"), p["file_exists"]);
        if (p.contains("state")) part.state = r.integer(reader::join(path, "state"), p["state"]);
        if (p.contains("action")) part.action = r.integer(reader::join(path, "action"), p["action"]);
        if (p.contains("naming")) part.naming = r.integer(reader::join(path, "naming"), p["naming"]);
        if (p.contains("output_name"))
            part.output_name = r.optional_text(reader::join(path, "output_name"), p["output_name"]);
        if (p.contains("item_type")) part.item_type = r.optional_text(reader::join(path, "item_type"), p["item_type"]);
        if (p.contains("pdm_name")) part.pdm_name = r.optional_text(reader::join(path, "pdm_name"), p["pdm_name"]);
        if (p.contains("pdm_desc")) part.pdm_desc = r.optional_text(reader::join(path, "pdm_desc"), p["pdm_desc"]);
        if (p.contains("attributes")) part.attributes = r.pairs(reader::join(path, "attributes"), p["attributes"]);
        s.parts.push_back(std::move(part));
    }
}

void read_part_files(const reader& r, const json& value, scenario& s, const std::string& dir)
{
    r.array("part_files", value, "part files");
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string path = reader::index("part_files", i);
        const json& f = value[i];
        r.object(path, f, {"name", "path", "attributes", "family_instance"});
        part_file_seed seed;
        if (f.contains("name") == f.contains("path"))
            r.fail(path, "expected exactly one of \"name\" (relative to the export directory) or \"path\"");
        if (f.contains("name")) {
            seed.name = r.non_empty_text(reader::join(path, "name"), f["name"]);
        } else {
            seed.name = substitute_directory(r.non_empty_text(reader::join(path, "path"), f["path"]), dir);
            seed.full_path = true;
        }
        if (f.contains("attributes")) seed.attributes = r.pairs(reader::join(path, "attributes"), f["attributes"]);
        if (f.contains("family_instance"))
            seed.family_instance = r.boolean(reader::join(path, "family_instance"), f["family_instance"]);
        s.part_files.push_back(std::move(seed));
    }
}

void read_revision(const reader& r, const std::string& path, const json& v, revision_seed& rev)
{
    r.object(path, v, {"rev_id", "native_file", "release_status", "released_date", "context", "design_log"});
    if (!v.contains("rev_id")) r.fail(reader::join(path, "rev_id"), "missing; expected a non-empty string");
    rev.rev_id = r.non_empty_text(reader::join(path, "rev_id"), v["rev_id"]);
    if (rev.rev_id.find('/') != std::string::npos)
        r.fail(reader::join(path, "rev_id"), "expected a revision ID without \"/\"");
    if (v.contains("native_file")) rev.native_file = r.optional_text(reader::join(path, "native_file"), v["native_file"]);
    if (v.contains("release_status"))
        rev.release_status = r.optional_text(reader::join(path, "release_status"), v["release_status"]);
    if (v.contains("released_date"))
        rev.released_date = r.optional_text(reader::join(path, "released_date"), v["released_date"]);
    if (v.contains("context")) rev.context = r.optional_text(reader::join(path, "context"), v["context"]);
    if (v.contains("design_log")) {
        rev.design_log = r.pairs(reader::join(path, "design_log"), v["design_log"]);
        for (std::size_t k = 0; k < rev.design_log.size(); ++k) {
            const std::string& key = rev.design_log[k].first;
            const std::string here = reader::index(reader::index(reader::join(path, "design_log"), k), 0);
            if (key.empty() || key.find('=') != std::string::npos || key.find('!') != std::string::npos ||
                key.find(' ') != std::string::npos)
                r.fail(here, "expected a design log key such as \"EWO\" or \"DOCO1\" (no blanks, \"!\" or \"=\")");
            if (rev.design_log[k].second.find('\n') != std::string::npos)
                r.fail(reader::index(reader::index(reader::join(path, "design_log"), k), 1),
                       "expected a value on one line");
        }
    }
}

void read_exceptions(const reader& r, const json& ex, scenario& s)
{
    if (!ex.is_object()) r.wrong("server.exceptions", ex, "an object of exception names and values");
    std::vector<text_pair> list;
    for (const auto& [name, setting] : ex.items()) {
        const std::string path = reader::join("server.exceptions", name);
        if (name.empty() || name.find('?') != std::string::npos) r.fail(path, "expected a name without \"?\"");
        std::string text;
        if (setting.is_string())
            text = setting.get<std::string>();
        else if (setting.is_number_integer())
            text = std::to_string(r.integer(path, setting));
        else
            r.wrong(path, setting, "a string or an integer (\"999\" means off)");
        if (text.empty() || text.find('?') != std::string::npos)
            r.fail(path, "expected a non-empty value without \"?\"");
        list.emplace_back(r.for_host(path, name), r.for_host(path, text));
    }
    s.exceptions = std::move(list);
}

item_seed read_item(const reader& r, const std::string& path, const json& it)
{
    r.object(path, it, {"item_id", "type", "name", "description", "owner", "revisions"});
    if (!it.contains("item_id")) r.fail(reader::join(path, "item_id"), "missing; expected a non-empty string");
    item_seed item;
    item.item_id = r.non_empty_text(reader::join(path, "item_id"), it["item_id"]);
    if (item.item_id.find('/') != std::string::npos || item.item_id.find('#') != std::string::npos)
        r.fail(reader::join(path, "item_id"), "expected an item ID without \"/\" or \"#\"");
    if (it.contains("type")) item.item_type = r.non_empty_text(reader::join(path, "type"), it["type"]);
    if (it.contains("name")) item.name = r.text(reader::join(path, "name"), it["name"]);
    if (it.contains("description")) item.description = r.text(reader::join(path, "description"), it["description"]);
    if (it.contains("owner")) item.owner = r.optional_text(reader::join(path, "owner"), it["owner"]);
    if (!it.contains("revisions")) return item;
    const std::string rpath = reader::join(path, "revisions");
    const json& revs = r.array(rpath, it["revisions"], "revisions");
    std::set<std::string> rev_ids;
    for (std::size_t k = 0; k < revs.size(); ++k) {
        revision_seed rev;
        read_revision(r, reader::index(rpath, k), revs[k], rev);
        if (!rev_ids.insert(rev.rev_id).second)
            r.fail(reader::join(reader::index(rpath, k), "rev_id"), "the revision \"" + rev.rev_id + "\" is listed twice");
        item.revisions.push_back(std::move(rev));
    }
    return item;
}

void read_items(const reader& r, const json& value, scenario& s)
{
    const json& items = r.array("server.items", value, "items");
    std::set<std::string> ids;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string path = reader::index("server.items", i);
        item_seed item = read_item(r, path, items[i]);
        if (!ids.insert(item.item_id).second)
            r.fail(reader::join(path, "item_id"), "the item \"" + item.item_id + "\" is listed twice");
        s.items.push_back(std::move(item));
    }
}

void read_replies(const reader& r, const json& value, scenario& s)
{
    const json& replies = r.array("server.replies", value, "scripted replies");
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const std::string path = reader::index("server.replies", i);
        const json& rp = replies[i];
        r.object(path, rp, {"code", "nth", "persistent", "status", "reply"});
        if (!rp.contains("code")) r.fail(reader::join(path, "code"), "missing; expected a request code");
        if (!rp.contains("status")) r.fail(reader::join(path, "status"), "missing; expected an integer");
        scripted_reply reply;
        reply.code = r.integer(reader::join(path, "code"), rp["code"], 0, 9999);
        if (!known_request_code(reply.code))
            r.fail(reader::join(path, "code"), "expected the code of a request the library sends (" +
                                                   known_request_codes() + "), found " + std::to_string(reply.code));
        if (rp.contains("nth")) reply.nth = r.integer(reader::join(path, "nth"), rp["nth"], 1);
        if (rp.contains("persistent")) reply.persistent = r.boolean(reader::join(path, "persistent"), rp["persistent"]);
        reply.status = r.integer(reader::join(path, "status"), rp["status"]);
        if (rp.contains("reply")) reply.reply = r.optional_text(reader::join(path, "reply"), rp["reply"]);
        s.replies.push_back(std::move(reply));
    }
}

void read_answers(const reader& r, const json& value, scenario& s)
{
    const json& answers = r.array("server.answers", value, "recorded answers");
    std::vector<recorded_answer> list;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const std::string path = reader::index("server.answers", i);
        const json& a = answers[i];
        r.object(path, a, {"code", "input", "status", "reply"});
        if (!a.contains("code")) r.fail(reader::join(path, "code"), "missing; expected a request code");
        if (!a.contains("status")) r.fail(reader::join(path, "status"), "missing; expected an integer");
        recorded_answer answer;
        answer.code = r.integer(reader::join(path, "code"), a["code"]);
        if (a.contains("input")) answer.input = r.optional_text(reader::join(path, "input"), a["input"]);
        answer.status = r.integer(reader::join(path, "status"), a["status"]);
        if (a.contains("reply")) answer.reply = r.optional_text(reader::join(path, "reply"), a["reply"]);
        list.push_back(std::move(answer));
    }
    s.answers = std::move(list);
}

void read_commands(const reader& r, const json& value, scenario& s)
{
    const json& commands = r.array("commands", value, "recorded commands");
    std::vector<recorded_command> list;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const std::string path = reader::index("commands", i);
        const json& c = commands[i];
        r.object(path, c, {"program", "arguments", "exit"});
        if (!c.contains("exit")) r.fail(reader::join(path, "exit"), "missing; expected an integer");
        recorded_command command;
        if (c.contains("program")) command.program = r.text(reader::join(path, "program"), c["program"]);
        if (c.contains("arguments")) {
            const std::string apath = reader::join(path, "arguments");
            const json& args = r.array(apath, c["arguments"], "strings");
            for (std::size_t k = 0; k < args.size(); ++k) command.arguments.push_back(r.text(reader::index(apath, k), args[k]));
        }
        command.exit = r.integer(reader::join(path, "exit"), c["exit"]);
        list.push_back(std::move(command));
    }
    s.commands = std::move(list);
}

void read_files(const reader& r, const json& value, scenario& s)
{
    const json& files = r.array("files", value, "files");
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string path = reader::index("files", i);
        const json& f = files[i];
        r.object(path, f, {"path", "content"});
        if (!f.contains("path")) r.fail(reader::join(path, "path"), "missing; expected a non-empty string");
        file_seed seed;
        seed.path = r.non_empty_text(reader::join(path, "path"), f["path"]);
        if (f.contains("content")) seed.content = r.optional_text(reader::join(path, "content"), f["content"]);
        s.files.push_back(std::move(seed));
    }
}

void read_server(const reader& r, const json& value, scenario& s)
{
    r.object("server", value, {"exceptions", "items", "replies", "answers"});
    if (value.contains("answers")) read_answers(r, value["answers"], s);
    if (value.contains("exceptions")) read_exceptions(r, value["exceptions"], s);
    if (value.contains("items")) read_items(r, value["items"], s);
    if (value.contains("replies")) read_replies(r, value["replies"], s);
}

// A fault for a name that is no host operation is refused by the simulated
// host itself; the scenario says where it was written.
sim::fault host_fault(const reader& r, const std::string& path, const std::string& operation)
{
    try {
        return sim::fault(operation);
    } catch (const std::invalid_argument&) {
        r.fail(path, "expected the name of a host operation such as \"HOST_PART_save\", found \"" + operation + "\"");
    }
}

void read_faults(const reader& r, const json& value, scenario& s)
{
    r.array("faults", value, "faults");
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string path = reader::index("faults", i);
        const json& f = value[i];
        r.object(path, f, {"operation", "nth", "persistent", "status"});
        const std::string operation_path = reader::join(path, "operation");
        if (!f.contains("operation"))
            r.fail(operation_path, "missing; expected a host operation name such as \"HOST_PART_save\"");
        sim::fault fault = host_fault(r, operation_path, r.non_empty_text(operation_path, f["operation"]));
        if (fault.operation() == "HOST_free" || fault.operation() == "HOST_free_string_array")
            r.fail(operation_path, "\"" + fault.operation() + "\" returns nothing and cannot fail");
        if (f.contains("nth")) fault.nth = r.integer(reader::join(path, "nth"), f["nth"], 1);
        if (f.contains("persistent")) fault.persistent = r.boolean(reader::join(path, "persistent"), f["persistent"]);
        if (f.contains("status")) fault.status = r.integer(reader::join(path, "status"), f["status"]);
        if (fault.status == 0) r.fail(reader::join(path, "status"), "expected a non-zero status");
        s.faults.push_back(std::move(fault));
    }
}

// The host hands out six-digit numbers: a scenario whose parts could need
// more than are left is wrong before it runs.
void check_numbering(const reader& r, const scenario& s)
{
    constexpr long long last_number = 999999;
    const long long first = s.next_item_number.value_or(1);
    const long long needed = static_cast<long long>(s.parts.size());
    if (needed == 0 || first + needed - 1 <= last_number) return;
    r.fail(s.next_item_number.has_value() ? "numbering.next_item_number" : "parts",
           "the " + std::to_string(needed) + " parts may need item numbers up to " +
               std::to_string(first + needed - 1) + ", beyond the host's six digits (at most " +
               std::to_string(last_number) + ")");
}

// The document of a scenario file; a file that cannot be read or is not
// JSON is named with the line and column an editor shows.
json parse_file(const std::filesystem::path& file)
{
    const std::string name = file.string();
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) throw scenario_error(name + ": is a directory, expected a scenario file");
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw scenario_error(name + ": cannot be read: " +
                             (errno != 0 ? std::strerror(errno) : "the system gives no reason"));
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string content = buffer.str();
    // A session trace is JSON Lines, whose first line is its header: named
    // for what it is rather than as a JSON error on line 2.
    const json first = json::parse(content.substr(0, content.find('\n')), nullptr, false);
    if (first.is_object() && first.contains("trace") && first["trace"] == "kxpdm-clone-trace")
        throw scenario_error(name + ": is a session trace, not a scenario file: replay it with `clonesim replay " + name +
                             "`, or turn it into a scenario with `clonesim scenario --from-trace " + name + "`");
    try {
        return json::parse(content);
    } catch (const json::parse_error& e) {
        // The parser's own message repeats the position as a byte offset.
        std::string what = e.what();
        const auto colon = what.find(": ", what.find("parse error"));
        const std::string detail = colon != std::string::npos ? what.substr(colon + 2) : what;
        throw scenario_error(name + ": " + where_in(content, e.byte) + ": not valid JSON: " + detail);
    }
}

int read_operation(const reader& r, const json& document)
{
    if (!document.contains("operation"))
        r.fail("operation", "missing; expected \"clone\", \"edit\", \"import\", \"export\" or a class number");
    const json& op = document["operation"];
    if (op.is_number_integer()) return r.integer("operation", op, kx::class_clone, kx::class_export);
    if (!op.is_string()) r.wrong("operation", op, "\"clone\", \"edit\", \"import\", \"export\" or a class number");
    const auto operation_class = operation_class_of(op.get<std::string>());
    if (!operation_class.has_value())
        r.fail("operation", "expected \"clone\", \"edit\", \"import\" or \"export\", found \"" +
                                op.get<std::string>() + "\"");
    return *operation_class;
}

}  // namespace

std::string same_separators(std::string text)
{
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::optional<int> operation_class_of(const std::string& name)
{
    if (name == "clone") return kx::class_clone;
    if (name == "edit") return kx::class_edit;
    if (name == "import") return kx::class_import;
    if (name == "export") return kx::class_export;
    return std::nullopt;
}

std::string operation_name(int operation_class)
{
    switch (operation_class) {
    case kx::class_clone: return "clone";
    case kx::class_edit: return "edit";
    case kx::class_import: return "import";
    case kx::class_export: return "export";
    default: return "class " + std::to_string(operation_class);
    }
}

scenario load_scenario(const std::filesystem::path& file)
{
    const std::string name = file.string();
    const reader r(name);
    const json document = parse_file(file);

    scenario s;
    std::error_code ec;
    s.file = file;
    s.directory = std::filesystem::absolute(file, ec).parent_path().lexically_normal();
    // The directory put in the texts is one of them, in the host's code page,
    // exactly: a folder named with a Greek omega must not reach the library as "O".
    const auto dir_in_host = os::host_text_of(s.directory);
    if (!dir_in_host.has_value() && document.dump().find(dir_placeholder) != std::string::npos) {
        const std::u8string shown = s.directory.u8string();
        const std::string folder(shown.begin(), shown.end());
        r.fail("", std::string(dir_placeholder) + " is " + quote(folder) + ", which cannot be written in the host's code page (" +
                       os::host_code_page() + ")" + unwritable_character(folder));
    }
    const std::string dir = dir_in_host.value_or(std::string());

    r.object("", document,
             {"description", "operation", "dry_run", "env", "defaults", "numbering", "host_callbacks", "parts",
              "part_files", "server", "commands", "files", "faults"});
    if (document.contains("description")) s.title = r.text("description", document["description"]);
    s.operation_class = read_operation(r, document);
    if (document.contains("dry_run")) s.dry_run = r.boolean("dry_run", document["dry_run"]);
    if (document.contains("env")) read_env(r, document["env"], s, dir);
    if (document.contains("defaults")) read_defaults(r, document["defaults"], s, dir);
    if (document.contains("numbering")) read_numbering(r, document["numbering"], s);
    if (document.contains("host_callbacks")) read_host_callbacks(r, document["host_callbacks"], s);
    if (!document.contains("parts")) r.fail("parts", "missing; expected an array of parts");
    read_parts(r, document["parts"], s, dir);
    if (document.contains("part_files")) read_part_files(r, document["part_files"], s, dir);
    if (document.contains("server")) read_server(r, document["server"], s);
    if (document.contains("commands")) read_commands(r, document["commands"], s);
    if (document.contains("files")) read_files(r, document["files"], s);
    if (document.contains("faults")) read_faults(r, document["faults"], s);
    check_numbering(r, s);
    return s;
}

}  // namespace clonesim
