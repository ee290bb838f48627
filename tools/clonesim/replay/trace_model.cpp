#include "replay/trace_model.h"

#include "host/host_codes.h"
#include "platform/os.h"
#include "run/run_error.h"
#include "session/settings.h"
#include "texts/texts.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace clonesim {

namespace {

using json = nlohmann::json;

constexpr const char* map_variable = kx::setting::import_attr_map_file;
constexpr const char* family_variable = kx::setting::allow_family_instances;

template <class Value>
std::optional<int> int_field(const Value& object, const char* key)
{
    const auto n = number_field(object, key);
    if (!n.has_value()) return std::nullopt;
    return static_cast<int>(*n);
}

// One host call as recorded.
struct host_call {
    std::string_view op;
    trace_value in;
    trace_value out;
    long long status;
};

class model_builder {
public:
    // `head`: the trace's file and header; its events come one by one.
    explicit model_builder(const trace& head)
    {
        trace_.file = head.file;
        trace_.header = head.header;
        model_.separators_as_one = recorded_elsewhere(head);
        if (model_.separators_as_one)
            model_.notes.push_back("recorded on " + text_field(head.header, "platform").value_or("") +
                                   ", replayed on " + os::system_name() +
                                   ": \"\\\" and \"/\" in file names are taken as one");
        start_scene();
    }

    void take(const trace_event& event)
    {
        if (event.kind == "host") host(event);
        else if (event.kind == "call") call(event);
        else if (event.kind == "request") request(event);
        else if (event.kind == "command") command(event);
        else if (event.kind == "env") env(event);
        else if (event.kind == "file") file(event);
    }

    trace_model build()
    {
        finish();
        return std::move(model_);
    }

private:
    // A trace from another system names files the way this system's
    // library does not: the model uses "/" throughout.
    std::string local(std::string name) const
    {
        return model_.separators_as_one ? same_separators(std::move(name)) : name;
    }

    void start_scene()
    {
        scenario& s = model_.scene;
        std::error_code ec;
        s.file = trace_.file;
        s.directory = std::filesystem::absolute(trace_.file, ec).parent_path().lexically_normal();
        s.title = "recorded session " + trace_.file.filename().string() + ": " +
                  text_field(trace_.header, "library").value_or("?") + " on " +
                  text_field(trace_.header, "platform").value_or("?") + ", " +
                  text_field(trace_.header, "time").value_or("?");
        if (const auto cls = int_field(trace_.header, "session_class")) s.operation_class = *cls;
        s.answers.emplace();
        s.commands.emplace();
    }

    sim::clone_part& part(const std::string& recorded_name)
    {
        const std::string name = local(recorded_name);
        const auto found = part_index_.find(name);
        if (found != part_index_.end()) return model_.scene.parts[found->second];
        part_index_.emplace(name, model_.scene.parts.size());
        sim::clone_part p;
        p.name = name;
        model_.scene.parts.push_back(std::move(p));
        return model_.scene.parts.back();
    }

    // The first answer of the host about a question is the one that held
    // before the library changed anything.
    bool first(std::string_view op, const std::string& about)
    {
        // Kept by what was asked about, each with the operations asked: a
        // part is asked about by many operations.
        auto id = operation_ids_.find(op);
        if (id == operation_ids_.end()) id = operation_ids_.emplace(std::string(op), operation_ids_.size()).first;
        std::vector<bool>& asked = asked_[about];
        if (asked.size() <= id->second) asked.resize(id->second + 1);
        if (asked[id->second]) return false;
        asked[id->second] = true;
        return true;
    }

    void call(const trace_event& event)
    {
        // A part the host loaded or translated belongs to the session even
        // where the trace ends before the host listed it: a session played
        // without it would load fewer parts than the recorded one.
        const auto name = text_field(event.data, "part");
        if (!name.has_value()) return;
        part(*name);
        if (text_field(event.data, "callback").value_or("") == "translate") model_.reached.insert(local(*name));
    }

    void host(const trace_event& event)
    {
        host_call c{{}, {}, {}, 0};
        event.data.each_member([&](const trace_value& m) {
            const std::string_view name = m.name();
            if (name == "op") c.op = m.string();
            else if (name == "in") c.in = m;
            else if (name == "out") c.out = m;
            else if (name == "status") c.status = m.integer().value_or(0);
        });
        // A repeated call is taken as if written out: the first of them may
        // have been passed over for a tag or part not known then.
        if (c.op == "HOST_TEXT_open" || c.op == "HOST_TEXT_read_line" || c.op == "HOST_TEXT_close") {
            text_file(c);
            return;
        }
        if (c.op == "HOST_FILE_exists") {
            const auto file = text_field(c.in, "file_spec");
            if (file.has_value() && first(c.op, local(*file))) file_exists_[local(*file)] = c.status == 0;
            return;
        }
        if (c.status != 0) return;
        if (c.op == "HOST_CLONE_ask_ntfy_callbacks" || c.op == "HOST_CLONE_remove_ntfy_callback") host_callback_query(c);
        else if (c.op.rfind("HOST_CLONE_", 0) == 0) clone_query(c);
        else if (c.op.rfind("HOST_PDM_", 0) == 0) pdm_query(c);
        else part_file_query(c);
    }

    void clone_query(const host_call& c)
    {
        scenario& s = model_.scene;
        if (c.op == "HOST_CLONE_iterate") {
            if (const auto name = text_field(c.out, "part_name")) part(*name);
            return;
        }
        if (!first(c.op, text_field(c.in, "part_name").value_or(""))) return;
        if (c.op == "HOST_CLONE_ask_operation_class" && !int_field(trace_.header, "session_class").has_value())
            s.operation_class = int_field(c.out, "operation_class").value_or(s.operation_class);
        else if (c.op == "HOST_CLONE_ask_dryrun") s.dry_run = int_field(c.out, "dry_run").value_or(0) != 0;
        else if (c.op == "HOST_CLONE_ask_def_action") s.def_action = int_field(c.out, "action").value_or(s.def_action);
        else if (c.op == "HOST_CLONE_ask_def_naming")
            s.def_naming = int_field(c.out, "naming_technique").value_or(s.def_naming);
        else if (c.op == "HOST_CLONE_ask_def_item_type") s.def_item_type = text_field(c.out, "item_type");
        else if (c.op == "HOST_CLONE_ask_def_pdm_name") s.def_pdm_name = text_field(c.out, "name");
        else if (c.op == "HOST_CLONE_ask_def_pdm_desc") s.def_pdm_desc = text_field(c.out, "description");
        else if (c.op == "HOST_CLONE_ask_def_directory") {
            const auto directory = text_field(c.out, "directory");
            s.def_directory = directory.has_value() ? std::optional<std::string>(local(*directory)) : std::nullopt;
        } else {
            part_query(c);
        }
    }

    void part_query(const host_call& c)
    {
        const auto name = text_field(c.in, "part_name");
        if (!name.has_value()) return;
        sim::clone_part& p = part(*name);
        if (c.op == "HOST_CLONE_ask_part_state") p.state = int_field(c.out, "state").value_or(p.state);
        else if (c.op == "HOST_CLONE_ask_action") p.action = int_field(c.out, "action").value_or(p.action);
        else if (c.op == "HOST_CLONE_ask_naming") {
            p.naming = int_field(c.out, "naming_technique").value_or(p.naming);
            p.output_name = text_field(c.out, "output_name");
        } else if (c.op == "HOST_CLONE_ask_item_type") p.item_type = text_field(c.out, "item_type");
        else if (c.op == "HOST_CLONE_ask_pdm_name") p.pdm_name = text_field(c.out, "name");
        else if (c.op == "HOST_CLONE_ask_pdm_desc") p.pdm_desc = text_field(c.out, "description");
        else if (c.op == "HOST_CLONE_ask_attribute_values") {
            const auto titles = texts_field(c.out, "titles");
            const auto values = texts_field(c.out, "values");
            p.attributes.clear();
            for (std::size_t i = 0; i < titles.size() && i < values.size(); ++i)
                p.attributes.emplace_back(titles[i], values[i]);
        }
    }

    // The host's own callbacks, as far as the library touched them: those it
    // took away for a while (and gave back).
    void host_callback_query(const host_call& c)
    {
        if (c.op == "HOST_CLONE_ask_ntfy_callbacks") {
            if (registry_names_.empty()) {
                registry_names_ = texts_field(c.out, "names");
                registry_descriptions_ = texts_field(c.out, "descriptions");
            }
            return;
        }
        const auto name = text_field(c.in, "name");
        const auto point = int_field(c.in, "point");
        auto& callbacks = model_.scene.host_callbacks;
        if (!name.has_value() || !point.has_value() || !member(c.out, "removed").is_true() ||
            callbacks.size() == max_host_callbacks)
            return;
        const bool known = std::any_of(callbacks.begin(), callbacks.end(), [&](const host_callback& k) {
            return k.name == *name && k.point == *point;
        });
        if (!known) callbacks.push_back(host_callback{*name, *point, ""});
    }

    void pdm_query(const host_call& c)
    {
        scenario& s = model_.scene;
        if (c.op == "HOST_PDM_ask_part_tag") {
            const auto number = text_field(c.in, "part_number");
            const auto tag = number_field(c.out, "part");
            if (number.has_value() && tag.has_value() && *tag != 0 && !item_tags_.count(*tag)) {
                item_tags_[*tag] = s.items.size();
                item_seed item;
                item.item_id = *number;
                s.items.push_back(std::move(item));
            }
        } else if (c.op == "HOST_PDM_ask_part_name_desc") {
            const auto tag = number_field(c.in, "part");
            const auto found = tag.has_value() ? item_tags_.find(*tag) : item_tags_.end();
            if (found == item_tags_.end() || !first(c.op, std::to_string(*tag))) return;
            s.items[found->second].name = text_field(c.out, "name").value_or("");
            s.items[found->second].description = text_field(c.out, "description").value_or("");
        } else if (c.op == "HOST_PDM_assign_part_number" && !s.next_item_number.has_value()) {
            const std::string number = text_field(c.out, "new_number").value_or("");
            if (!number.empty() && number.size() <= 6 && std::all_of(number.begin(), number.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
                s.next_item_number = std::max(1, std::stoi(number));
        } else if (c.op == "HOST_PDM_assign_part_rev" && !s.initial_revision.has_value()) {
            const std::string revision = text_field(c.out, "new_revision").value_or("");
            if (!revision.empty()) s.initial_revision = revision;
        }
    }

    part_file_seed* part_file(long long tag)
    {
        const auto found = file_tags_.find(tag);
        return found != file_tags_.end() ? &model_.scene.part_files[found->second] : nullptr;
    }

    void part_file_query(const host_call& c)
    {
        scenario& s = model_.scene;
        if (c.op == "HOST_PART_open") {
            const auto name = text_field(c.in, "part_name");
            const auto tag = number_field(c.out, "part");
            if (!name.has_value() || !tag.has_value()) return;
            work_part_ = *tag;
            if (file_tags_.count(*tag)) return;
            file_tags_[*tag] = s.part_files.size();
            part_file_seed seed;
            seed.name = local(*name);
            seed.full_path = true;
            s.part_files.push_back(std::move(seed));
        } else if (c.op == "HOST_ATTR_ask_part_attribute") {
            // The attribute object is the work part's: the part opened last.
            const auto tag = number_field(c.out, "attribute_object");
            if (tag.has_value() && !file_tags_.count(*tag) && file_tags_.count(work_part_))
                file_tags_[*tag] = file_tags_[work_part_];
        } else if (c.op == "HOST_ATTR_find_attribute") {
            part_file_seed* seed = part_file(number_field(c.in, "object").value_or(0));
            const auto title = text_field(c.in, "title");
            if (seed == nullptr || !title.has_value() || int_field(c.out, "title_type").value_or(0) == 0) return;
            const bool known = std::any_of(seed->attributes.begin(), seed->attributes.end(),
                                           [&](const text_pair& a) { return a.first == *title; });
            // Only whether the part file has it was asked, not its value.
            if (!known) seed->attributes.emplace_back(*title, "");
        } else if (c.op == "HOST_PART_is_family_instance") {
            if (part_file_seed* seed = part_file(number_field(c.in, "part").value_or(0)))
                seed->family_instance = int_field(c.out, "is_instance").value_or(0) != 0;
        }
    }

    // Text files read through the host, rebuilt line by line.
    void text_file(const host_call& c)
    {
        if (c.op == "HOST_TEXT_open") {
            const auto name = text_field(c.in, "file_name");
            if (!name.has_value()) return;
            const std::size_t index = file_seed_index(*name);
            if (c.status >= 0) {
                model_.scene.files[index].content = model_.scene.files[index].content.value_or("");
                channels_[c.status] = index;
            }
        } else if (c.op == "HOST_TEXT_read_line") {
            const auto channel = channels_.find(number_field(c.in, "channel").value_or(-1));
            const auto line = text_field(c.out, "line");
            if (channel == channels_.end() || c.status < 0 || !line.has_value()) return;
            if (read_whole_.count(channel->second)) return;
            *model_.scene.files[channel->second].content += *line + "\n";
        } else {
            const auto channel = channels_.find(number_field(c.in, "channel").value_or(-1));
            if (channel == channels_.end()) return;
            // A second reading of the same file reads the same lines.
            read_whole_.insert(channel->second);
            channels_.erase(channel);
        }
    }

    std::size_t file_seed_index(const std::string& path)
    {
        auto& files = model_.scene.files;
        for (std::size_t i = 0; i < files.size(); ++i)
            if (files[i].path == path) return i;
        files.push_back(file_seed{path, std::nullopt});
        return files.size() - 1;
    }

    void request(const trace_event& event)
    {
        recorded_answer answer;
        answer.code = int_field(event.data, "code").value_or(0);
        answer.input = text_field(event.data, "input");
        answer.status = int_field(event.data, "status").value_or(0);
        answer.reply = text_field(event.data, "reply");
        if (answer.code == kx::request_get_exceptions) exceptions_asked_ = true;
        if (answer.status == 0 && answer.input.has_value() && answer.reply.has_value()) {
            if (answer.code == kx::request_get_item_type) item_types_.try_emplace(*answer.input, *answer.reply);
            if (answer.code == kx::request_check_revision && *answer.reply == "PRESENT") present_.push_back(*answer.input);
        }
        if (const auto result = int_field(event.data, "result"); result.value_or(0) != 0)
            model_.notes.push_back("line " + std::to_string(event.line) + ": the host's request channel failed (" +
                                   std::to_string(*result) + "); the replay's channel answers as the server did");
        model_.scene.answers->push_back(std::move(answer));
    }

    void command(const trace_event& event)
    {
        recorded_command c;
        c.program = text_field(event.data, "program").value_or("");
        c.arguments = texts_field(event.data, "arguments");
        c.exit = int_field(event.data, "exit").value_or(-1);
        auto& commands = *model_.scene.commands;
        const bool known = std::any_of(commands.begin(), commands.end(), [&](const recorded_command& k) {
            return k.program == c.program && k.arguments == c.arguments && k.exit == c.exit;
        });
        if (!known) commands.push_back(std::move(c));
    }

    void env(const trace_event& event)
    {
        const std::string name = text_field(event.data, "name").value_or("");
        if (name.empty() || name.rfind("KXPDM_TRACE_", 0) == 0) return;
        auto& env = model_.scene.env;
        if (std::any_of(env.begin(), env.end(), [&](const env_setting& e) { return e.name == name; })) return;
        env.push_back(env_setting{name, text_field(event.data, "value")});
    }

    void file(const trace_event& event)
    {
        const auto path = text_field(event.data, "path");
        if (!path.has_value()) return;
        const std::size_t index = file_seed_index(*path);
        if (!model_.scene.files[index].content.has_value())
            model_.scene.files[index].content = text_field(event.data, "content");
    }

    env_setting* variable(const std::string& name)
    {
        for (env_setting& e : model_.scene.env)
            if (e.name == name) return &e;
        return nullptr;
    }

    // What the library held when the session began, given to a fresh one.
    void finish()
    {
        scenario& s = model_.scene;
        for (sim::clone_part& p : s.parts) {
            const auto exists = file_exists_.find(p.name);
            if (exists != file_exists_.end()) p.file_exists = exists->second;
        }
        for (host_callback& callback : s.host_callbacks)
            for (std::size_t i = 0; i < registry_names_.size() && i < registry_descriptions_.size(); ++i)
                if (registry_names_[i] == callback.name) callback.description = registry_descriptions_[i];
        const json& state = member(trace_.header, "state");
        const json& exceptions = member(state, "exception_list");
        if (exceptions.is_array() && !exceptions_asked_) {
            std::string list;
            for (const json& entry : exceptions) list += (list.empty() ? "" : "?") + trace_text(entry).value_or("");
            // The server hands the list over with a non-zero status.
            s.answers->push_back(recorded_answer{kx::request_get_exceptions, std::nullopt, 1, list});
            model_.exceptions_from_header = true;
        }
        const json& map = member(state, "import_attr_map");
        const env_setting* map_setting = variable(map_variable);
        if (member(map, "loaded") == json(true) && map_setting != nullptr && map_setting->value.has_value() &&
            !map_setting->value->empty()) {
            std::string content;
            for (const json& entry : member(map, "entries"))
                if (entry.is_array() && entry.size() == 2)
                    content += trace_text(entry[0]).value_or("") + "=" + trace_text(entry[1]).value_or("") + "\n";
            s.files[file_seed_index(*map_setting->value)].content = content;
            model_.map_file_from_header = *map_setting->value;
        }
        if (member(state, "family_instance_check") == json(true)) {
            env_setting* family = variable(family_variable);
            if (family == nullptr) {
                s.env.push_back(env_setting{family_variable, "1"});
            } else if (!family->value.has_value() || family->value->empty()) {
                family->value = "1";
            }
        }
        existing_items();
        if (!member(state, "import_item_list").is_null())
            model_.notes.push_back("the import item list carried over from an earlier session is not given to the replay");
    }

    // The items the PDM manager held as the session saw them: the type the
    // server named for each, and the revisions it said are present. An
    // import never sees whether a revision is released, so each is taken as
    // released: renaming an item that may be released is the case to catch.
    void existing_items()
    {
        for (item_seed& item : model_.scene.items) {
            if (const auto type = item_types_.find(item.item_id); type != item_types_.end() && !type->second.empty())
                item.item_type = type->second;
            for (const std::string& present : present_) {
                const auto slash = present.find('/');
                if (slash == std::string::npos || present.compare(0, slash, item.item_id) != 0 || slash != item.item_id.size())
                    continue;
                const std::string rev = present.substr(slash + 1);
                const bool known = std::any_of(item.revisions.begin(), item.revisions.end(),
                                               [&](const revision_seed& r) { return r.rev_id == rev; });
                if (known || rev.empty()) continue;
                revision_seed revision;
                revision.rev_id = rev;
                revision.release_status = release_status_not_known;
                item.revisions.push_back(std::move(revision));
                model_.taken_as_released.push_back(item.item_id + "/" + rev);
            }
        }
    }

    trace trace_;  // the file and header only
    std::unordered_map<std::string, std::string> item_types_;
    std::vector<std::string> present_;
    trace_model model_;
    std::unordered_map<std::string, std::size_t> part_index_;
    std::unordered_map<std::string, std::vector<bool>> asked_;  // by what was asked about
    std::map<std::string, std::size_t, std::less<>> operation_ids_;
    std::unordered_map<std::string, bool> file_exists_;
    std::map<long long, std::size_t> item_tags_;
    std::map<long long, std::size_t> file_tags_;
    long long work_part_ = 0;
    std::map<long long, std::size_t> channels_;
    std::set<std::size_t> read_whole_;
    bool exceptions_asked_ = false;
    std::vector<std::string> registry_names_, registry_descriptions_;
};

}  // namespace

bool recorded_elsewhere(const trace& head)
{
    const std::string recorded_on = text_field(head.header, "platform").value_or("");
    return !recorded_on.empty() && recorded_on != os::system_name();
}

trace_model model_from_trace(const trace& recorded)
{
    model_builder builder(recorded);
    for (const trace_event& event : recorded.events) builder.take(event);
    return builder.build();
}

trace_model model_from_trace_file(const std::filesystem::path& file, trace& head, const trace_start& also_start,
                                  const trace_take& also)
{
    std::optional<model_builder> builder;
    head = stream_trace(
        file,
        [&](const trace& t) {
            builder.emplace(t);
            if (also_start) also_start(t);
        },
        [&](const trace_event& event) {
            builder->take(event);
            if (also) also(event);
        });
    return builder->build();
}

std::pair<std::string, std::string> name_value(const std::string& option, const std::string& text)
{
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw run_error(option + " " + quote(text) + ": expected NAME=VALUE");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

rule_changes::program_answer program_answer_of(const std::string& text)
{
    const auto [program, rest] = name_value("--program", text);
    if (program != "additional" && program != "check")
        throw run_error("--program " + quote(text) + ": the program is additional or check");
    rule_changes::program_answer answer{program, 0, std::nullopt};
    const auto at = rest.find('@');
    const std::string exit = rest.substr(0, at);
    if (exit.empty() || exit.size() > 3 || !std::all_of(exit.begin(), exit.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
        throw run_error("--program " + quote(text) + ": the exit code is a whole number from 0 to 255");
    answer.exit = std::stoi(exit);
    if (answer.exit > 255) throw run_error("--program " + quote(text) + ": the exit code is a whole number from 0 to 255");
    if (at != std::string::npos) {
        answer.part = rest.substr(at + 1);
        if (answer.part->empty()) throw run_error("--program " + quote(text) + ": no part after @");
    }
    return answer;
}

std::string unset_name_of(const std::string& text)
{
    if (text.empty()) throw run_error("--unset \"\": expected a variable's NAME");
    if (text.find('=') != std::string::npos)
        throw run_error("--unset " + quote(text) + ": expected a variable's NAME alone, without \"=\" (--set NAME=VALUE sets one)");
    return text;
}

namespace {

env_setting& setting_of(scenario& s, const std::string& name)
{
    for (env_setting& e : s.env)
        if (e.name == name) return e;
    s.env.push_back(env_setting{name, std::nullopt});
    return s.env.back();
}

file_seed& file_of(scenario& s, const std::string& path)
{
    for (file_seed& f : s.files)
        if (same_separators(f.path) == same_separators(path)) return f;
    s.files.push_back(file_seed{path, std::nullopt});
    return s.files.back();
}

// The mapping file's content from FILE, under the name the session reads
// it by; a session that names none is given FILE's own name.
std::string replace_map(trace_model& model, const std::filesystem::path& file, applied_changes& applied)
{
    // Only a regular file is opened: a folder reads as nothing, and a pipe
    // would wait for a writer that may never come.
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (std::filesystem::is_directory(status)) throw run_error("--map " + file.string() + ": is a folder, not a mapping file");
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        throw run_error("--map " + file.string() + ": is not a regular file");
    std::ifstream in(file, std::ios::binary);
    if (!in) throw run_error("--map " + file.string() + ": cannot be read");
    std::ostringstream content;
    content << in.rdbuf();
    env_setting& variable = setting_of(model.scene, map_variable);
    if (!variable.value.has_value() || variable.value->empty()) {
        variable.value = std::filesystem::absolute(file, ec).string();
        applied.variables.push_back(variable.name);
    }
    file_of(model.scene, *variable.value).content = content.str();
    applied.files.push_back(*variable.value);
    // A mapping file the library held from an earlier session is the one
    // the model hands the fresh library, so the option replaces it too.
    if (model.map_file_from_header.has_value()) return "the mapping file " + quote(*variable.value) + " (held as loaded) reads " + file.string();
    return "the mapping file " + quote(*variable.value) + " reads " + file.string();
}

// Gives how many runs the answer applies to.
std::size_t answer_programs(trace_model& model, const rule_changes::program_answer& change)
{
    std::size_t answered = 0;
    auto& commands = *model.scene.commands;
    const bool check = change.program == "check";
    std::vector<recorded_command> added;
    for (recorded_command& c : commands) {
        if (c.program.empty() != check) continue;
        if (!change.part.has_value() || (!c.arguments.empty() && same_separators(c.arguments.back()) == same_separators(*change.part))) {
            c.exit = change.exit;
            ++answered;
        }
    }
    // A part the program never ran for when recorded gets the same answer
    // when the change names it or every part: its run looks like the others
    // with that part as the last argument.
    const auto shape = std::find_if(commands.begin(), commands.end(),
                                    [&](const recorded_command& c) { return c.program.empty() == check && !c.arguments.empty(); });
    if (shape == commands.end()) return answered;
    const recorded_command pattern = *shape;
    for (const sim::clone_part& part : model.scene.parts) {
        if (change.part.has_value() && same_separators(part.name) != same_separators(*change.part)) continue;
        const bool known = std::any_of(commands.begin(), commands.end(), [&](const recorded_command& c) {
            return c.program.empty() == check && !c.arguments.empty() && same_separators(c.arguments.back()) == same_separators(part.name);
        });
        if (known) continue;
        recorded_command c = pattern;
        c.arguments.back() = part.name;
        c.exit = change.exit;
        added.push_back(std::move(c));
    }
    answered += added.size();
    commands.insert(commands.end(), added.begin(), added.end());
    return answered;
}

void set_exception(trace_model& model, const std::string& name, const std::string& value)
{
    auto& answers = *model.scene.answers;
    bool found = false;
    for (recorded_answer& a : answers) {
        if (a.code != kx::request_get_exceptions) continue;
        found = true;
        std::vector<std::string> entries;
        if (a.status != 0 && a.reply.has_value()) {
            std::string rest = *a.reply;
            for (std::size_t at; (at = rest.find('?')) != std::string::npos; rest.erase(0, at + 1)) entries.push_back(rest.substr(0, at));
            entries.push_back(rest);
        }
        bool set = false;
        for (std::size_t i = 0; i + 1 < entries.size(); i += 2)
            if (entries[i] == name) {
                entries[i + 1] = value;
                set = true;
            }
        if (!set) {
            if (entries.size() % 2 != 0) entries.pop_back();
            entries.push_back(name);
            entries.push_back(value);
        }
        std::string list;
        for (const std::string& entry : entries) list += (list.empty() ? "" : "?") + entry;
        // The server hands the list over with a non-zero status.
        a.status = 1;
        a.reply = list;
    }
    if (!found) answers.push_back(recorded_answer{kx::request_get_exceptions, std::nullopt, 1, name + "?" + value});
}

// A part name as a slip of it may differ: any case, either separator, a
// separator doubled.
std::string folded_part(const std::string& name)
{
    std::string folded;
    for (const char c : same_separators(name)) {
        if (c == '/' && !folded.empty() && folded.back() == '/') continue;
        folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return folded;
}

bool holds_part(const trace_model& model, const std::string& part)
{
    return std::any_of(model.scene.parts.begin(), model.scene.parts.end(),
                       [&](const sim::clone_part& p) { return same_separators(p.name) == same_separators(part); });
}

// The part of the trace a name that is none of them looks like a slip of,
// or "".
std::string near_part(const trace_model& model, const std::string& part)
{
    const auto meant = std::find_if(model.scene.parts.begin(), model.scene.parts.end(),
                                    [&](const sim::clone_part& p) { return folded_part(p.name) == folded_part(part); });
    return meant != model.scene.parts.end() ? meant->name : "";
}

// The part a change names, as the model names it; a part the trace does
// not hold is refused, with the one it looks like a slip of.
std::string part_of_change(const trace_model& model, const std::string& option, const std::string& part)
{
    for (const sim::clone_part& p : model.scene.parts)
        if (same_separators(p.name) == same_separators(part)) return p.name;
    std::string text = option + ": the trace holds no part " + quote(part);
    const auto meant = std::find_if(model.scene.parts.begin(), model.scene.parts.end(),
                                    [&](const sim::clone_part& p) { return folded_part(p.name) == folded_part(part); });
    if (meant != model.scene.parts.end()) text += "; did you mean " + quote(meant->name) + "?";
    throw run_error(text);
}

// Nothing reads a variable the library does not know, so changing it
// changes nothing.
std::string unread(const std::string& name)
{
    const auto& known = kx::setting::environment_variables;
    if (std::find(known.begin(), known.end(), name) != known.end()) return "";
    return " (the library reads no variable of this name: the change has nothing to act on)";
}

}  // namespace

applied_changes apply_rule_changes(trace_model& model, const rule_changes& changes)
{
    applied_changes applied;
    for (const auto& [name, value] : changes.set) {
        setting_of(model.scene, name).value = value;
        applied.variables.push_back(name);
        applied.named.push_back("--set " + name + "=" + value + unread(name));
    }
    for (const std::string& name : changes.unset) {
        setting_of(model.scene, name).value = std::nullopt;
        applied.variables.push_back(name);
        applied.named.push_back("--unset " + name + unread(name));
    }
    if (changes.map_file.has_value()) applied.named.push_back("--map: " + replace_map(model, *changes.map_file, applied));
    for (auto change : changes.programs) {
        const std::string option = "--program " + quote(change.program + "=" + std::to_string(change.exit) + "@" + change.part.value_or(""));
        if (change.part.has_value() && changes.one_of_many && !holds_part(model, *change.part)) {
            applied.named.push_back(option + " (this trace holds no such part: the change has nothing to act on)");
            applied.parts_not_held.emplace_back(*change.part, near_part(model, *change.part));
            continue;
        }
        if (change.part.has_value()) change.part = part_of_change(model, option, *change.part);
        const bool answers = answer_programs(model, change) > 0;
        const bool reached = !change.part.has_value() || model.reached.count(*change.part) > 0;
        applied.named.push_back("--program: the " + std::string(change.program == "check" ? "item ID check" : "additional import program") +
                                " exits " + std::to_string(change.exit) +
                                (change.part.has_value() ? " for " + quote(*change.part) : " for every part") +
                                (!reached  ? " (the recorded session never reached this part: the change has nothing to act on)"
                                 : answers ? ""
                                           : " (the recorded session never ran it: nothing to answer)"));
    }
    for (const auto& [name, value] : changes.exceptions) {
        set_exception(model, name, value);
        applied.named.push_back("--exception " + name + "=" + value +
                                (model.exceptions_from_header ? " (in the list held from an earlier session)" : ""));
    }
    return applied;
}

}  // namespace clonesim
