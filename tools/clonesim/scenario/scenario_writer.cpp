// A scenario written back as a scenario file: what `clonesim scenario
// --from-trace` writes, and what load_scenario reads again.
#include "scenario/scenario.h"

#include "platform/os.h"

#include "trace/json_line.h"

#include <nlohmann/json.hpp>

namespace clonesim {

namespace {

using json = nlohmann::ordered_json;

// The texts are the host's; the file is UTF-8 and load_scenario puts them
// back in the host's code page.
json text_json(const std::string& host)
{
    const std::string text = os::from_host_text(host);
    if (kx::trace::is_valid_utf8(text)) return json(text);
    return json{{"bytes", kx::trace::bytes_as_characters(text)}};
}

json optional(const std::optional<std::string>& text) { return text.has_value() ? text_json(*text) : json(nullptr); }

json texts_json(const std::vector<std::string>& texts)
{
    json list = json::array();
    for (const std::string& text : texts) list.push_back(text_json(text));
    return list;
}

json pairs_json(const std::vector<text_pair>& pairs)
{
    json list = json::array();
    for (const auto& [first, second] : pairs) list.push_back(json::array({text_json(first), text_json(second)}));
    return list;
}

json parts_json(const std::vector<sim::clone_part>& parts)
{
    json list = json::array();
    for (const sim::clone_part& part : parts) {
        json p = {{"name", text_json(part.name)}};
        if (!part.file_exists) p["file_exists"] = false;
        p["state"] = part.state;
        p["action"] = part.action;
        p["naming"] = part.naming;
        if (part.output_name.has_value()) p["output_name"] = text_json(*part.output_name);
        if (part.item_type.has_value()) p["item_type"] = text_json(*part.item_type);
        if (part.pdm_name.has_value()) p["pdm_name"] = text_json(*part.pdm_name);
        if (part.pdm_desc.has_value()) p["pdm_desc"] = text_json(*part.pdm_desc);
        if (!part.attributes.empty()) p["attributes"] = pairs_json(part.attributes);
        list.push_back(std::move(p));
    }
    return list;
}

json server_json(const scenario& s)
{
    json server = json::object();
    if (s.exceptions.has_value()) {
        json list = json::object();
        for (const auto& [name, value] : *s.exceptions) list[os::from_host_text(name)] = text_json(value);
        server["exceptions"] = std::move(list);
    }
    if (!s.items.empty()) {
        json items = json::array();
        for (const item_seed& item : s.items) {
            json it = {{"item_id", text_json(item.item_id)}, {"type", text_json(item.item_type)},
                       {"name", text_json(item.name)}, {"description", text_json(item.description)}};
            if (item.owner.has_value()) it["owner"] = text_json(*item.owner);
            if (!item.revisions.empty()) {
                json revisions = json::array();
                for (const revision_seed& rev : item.revisions) {
                    json r = {{"rev_id", text_json(rev.rev_id)}};
                    if (rev.native_file.has_value()) r["native_file"] = text_json(*rev.native_file);
                    if (rev.release_status.has_value()) r["release_status"] = text_json(*rev.release_status);
                    if (rev.released_date.has_value()) r["released_date"] = text_json(*rev.released_date);
                    if (rev.context.has_value()) r["context"] = text_json(*rev.context);
                    if (!rev.design_log.empty()) r["design_log"] = pairs_json(rev.design_log);
                    revisions.push_back(std::move(r));
                }
                it["revisions"] = std::move(revisions);
            }
            items.push_back(std::move(it));
        }
        server["items"] = std::move(items);
    }
    if (s.answers.has_value()) {
        json answers = json::array();
        for (const recorded_answer& a : *s.answers)
            answers.push_back({{"code", a.code}, {"input", optional(a.input)}, {"status", a.status},
                               {"reply", optional(a.reply)}});
        server["answers"] = std::move(answers);
    }
    return server;
}

}  // namespace

std::string scenario_file_text(const scenario& s)
{
    json doc = json::object();
    if (!s.title.empty()) doc["description"] = text_json(s.title);
    doc["operation"] = operation_class_of(operation_name(s.operation_class)).has_value()
                           ? json(operation_name(s.operation_class))
                           : json(s.operation_class);
    if (s.dry_run) doc["dry_run"] = true;
    json env = json::object();
    for (const env_setting& setting : s.env) env[os::from_host_text(setting.name)] = optional(setting.value);
    doc["env"] = std::move(env);
    json defaults = {{"action", s.def_action}, {"naming", s.def_naming}};
    if (s.def_item_type.has_value()) defaults["item_type"] = text_json(*s.def_item_type);
    if (s.def_pdm_name.has_value()) defaults["pdm_name"] = text_json(*s.def_pdm_name);
    if (s.def_pdm_desc.has_value()) defaults["pdm_desc"] = text_json(*s.def_pdm_desc);
    if (s.def_directory.has_value()) defaults["directory"] = text_json(*s.def_directory);
    doc["defaults"] = std::move(defaults);
    json numbering = json::object();
    if (s.next_item_number.has_value()) numbering["next_item_number"] = *s.next_item_number;
    if (s.initial_revision.has_value()) numbering["initial_revision"] = text_json(*s.initial_revision);
    if (!numbering.empty()) doc["numbering"] = std::move(numbering);
    if (!s.host_callbacks.empty()) {
        json callbacks = json::array();
        for (const host_callback& cb : s.host_callbacks)
            callbacks.push_back({{"name", text_json(cb.name)}, {"point", cb.point}, {"description", text_json(cb.description)}});
        doc["host_callbacks"] = std::move(callbacks);
    }
    doc["parts"] = parts_json(s.parts);
    if (!s.part_files.empty()) {
        json files = json::array();
        for (const part_file_seed& seed : s.part_files) {
            json f = {{seed.full_path ? "path" : "name", text_json(seed.name)}};
            if (!seed.attributes.empty()) f["attributes"] = pairs_json(seed.attributes);
            if (seed.family_instance) f["family_instance"] = true;
            files.push_back(std::move(f));
        }
        doc["part_files"] = std::move(files);
    }
    json server = server_json(s);
    if (!server.empty()) doc["server"] = std::move(server);
    if (s.commands.has_value()) {
        json commands = json::array();
        for (const recorded_command& c : *s.commands)
            commands.push_back({{"program", text_json(c.program)}, {"arguments", texts_json(c.arguments)}, {"exit", c.exit}});
        doc["commands"] = std::move(commands);
    }
    if (!s.files.empty()) {
        json files = json::array();
        for (const file_seed& f : s.files) files.push_back({{"path", text_json(f.path)}, {"content", optional(f.content)}});
        doc["files"] = std::move(files);
    }
    // Names of variables and exceptions are keys, which have no bytes form.
    return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace clonesim
