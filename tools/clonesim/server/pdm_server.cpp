#include "server/pdm_server.h"

#include "host/host_codes.h"
#include "platform/os.h"
#include "sim_internal.h"

#include <algorithm>
#include <fstream>
#include <utility>

namespace clonesim {

namespace {

sim::pdm_response ok(std::optional<std::string> reply = std::nullopt) { return sim::pdm_response{0, std::move(reply)}; }

// Whether an answer that replaces the handler is the server's refusal: the
// exception list comes with a non-zero status, and the status of a revision
// check is not its answer.
bool is_refusal(int code, const sim::pdm_response& response)
{
    const bool list = code == kx::request_get_exceptions && response.reply.has_value();
    return response.status != 0 && !list && code != kx::request_check_revision;
}

}  // namespace

std::vector<std::string> fields(const std::string& text, const std::string& separator)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            result.push_back(text.substr(start));
            return result;
        }
        result.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

std::optional<db_name> parse_db_name(const std::string& name)
{
    if (name.rfind("@DB/", 0) != 0) return std::nullopt;
    const auto parts = fields(name.substr(4), "/");
    if (parts.size() != 2 && parts.size() != 4) return std::nullopt;
    for (const std::string& part : parts)
        if (part.empty()) return std::nullopt;
    db_name result{parts[0], parts[1], "", ""};
    if (parts.size() == 4) {
        result.relation = parts[2];
        result.related_name = parts[3];
    }
    return result;
}

std::string request_name(int code)
{
    switch (code) {
    case kx::request_get_export_file_name: return "get_export_file_name";
    case kx::request_get_export_attributes: return "get_export_attributes";
    case kx::request_pdi_backfill: return "pdi_backfill";
    case kx::request_begin_import: return "begin_import";
    case kx::request_end_import: return "end_import";
    case kx::request_fill_import_filename: return "fill_import_filename";
    case kx::request_get_item_type: return "get_item_type";
    case kx::request_auto_publish: return "auto_publish";
    case kx::request_prepare_new_items: return "prepare_new_items";
    case kx::request_check_revision: return "check_revision";
    case kx::request_get_related_name: return "get_related_name";
    case kx::request_set_name_description: return "set_name_description";
    case kx::request_get_owner_name: return "get_owner_name";
    case kx::request_get_exceptions: return "get_exceptions";
    default: return "unknown";
    }
}

pdm_server::pdm_server(item_store& store, const scenario& scene, std::filesystem::path mapping_directory)
    : store_(store), scene_(scene), mapping_directory_(std::move(mapping_directory))
{
}

sim::pdm_response pdm_server::handle(int code, const char* input_text)
{
    ++request_counts_[code];
    last_answer_ = answer::given;
    if (scene_.answers.has_value()) return recorded(code, input_text);
    if (auto answer = scripted(code)) return *answer;
    const std::string input = input_text != nullptr ? input_text : "";
    switch (code) {
    case kx::request_get_export_file_name: return get_export_file_name(input);
    case kx::request_get_export_attributes: return get_export_attributes(input);
    case kx::request_pdi_backfill: return pdi_backfill(input);
    case kx::request_begin_import:
    case kx::request_end_import: return ok();
    case kx::request_fill_import_filename: return fill_import_filename(input);
    case kx::request_get_item_type: return get_item_type(input);
    case kx::request_auto_publish: return auto_publish(input);
    case kx::request_prepare_new_items: return prepare_new_items(input);
    case kx::request_check_revision: return check_revision(input);
    case kx::request_get_related_name: return get_related_name(input);
    case kx::request_set_name_description: return set_name_description(input);
    case kx::request_get_owner_name: return get_owner_name(input);
    case kx::request_get_exceptions: return get_exceptions();
    default: return refuse("Unknown request " + std::to_string(code));
    }
}

std::optional<sim::pdm_response> pdm_server::scripted(int code)
{
    const int n = request_counts_[code];
    for (const scripted_reply& rule : scene_.replies) {
        if (rule.code != code) continue;
        if (n != rule.nth && !(rule.persistent && n >= rule.nth)) continue;
        const sim::pdm_response response{rule.status, rule.reply};
        if (is_refusal(code, response)) last_answer_ = answer::refused;
        return response;
    }
    return std::nullopt;
}

// A recorded session is answered as it was: the same question gets the same
// answer in the same turn, and a question it never asked gets none.
sim::pdm_response pdm_server::recorded(int code, const char* input)
{
    const std::optional<std::string> asked = input != nullptr ? std::optional<std::string>(input) : std::nullopt;
    if (!answers_indexed_) {
        for (const recorded_answer& a : *scene_.answers)
            answers_by_question_[{a.code, a.input.has_value() ? std::optional(same_separators(*a.input)) : std::nullopt}]
                .push_back(&a);
        answers_indexed_ = true;
    }
    const auto found =
        answers_by_question_.find({code, asked.has_value() ? std::optional(same_separators(*asked)) : std::nullopt});
    if (found == answers_by_question_.end()) {
        last_answer_ = answer::unanswered;
        return sim::pdm_response{1, std::nullopt};
    }
    const std::vector<const recorded_answer*>& matching = found->second;
    std::size_t& turn = answers_given_[question{code, same_separators(asked.value_or(""))}];
    const recorded_answer& a = *matching[std::min(turn, matching.size() - 1)];
    ++turn;
    const sim::pdm_response response{a.status, a.reply};
    if (is_refusal(code, response)) {
        last_answer_ = answer::refused;
        return response;
    }
    // What the server did on a request it granted happens to the store too,
    // so that the items after the session are as the recorded server left
    // them; the answer stays the recorded one.
    const std::string text = asked.value_or("");
    switch (code) {
    case kx::request_pdi_backfill: pdi_backfill(text); break;
    case kx::request_fill_import_filename: fill_import_filename(text); break;
    case kx::request_auto_publish: auto_publish(text); break;
    case kx::request_prepare_new_items: prepare_new_items(text); break;
    case kx::request_set_name_description: set_name_description(text); break;
    default: break;
    }
    last_answer_ = answer::given;
    return response;
}

sim::pdm_response pdm_server::refuse(std::string reply)
{
    last_answer_ = answer::refused;
    return sim::pdm_response{1, std::move(reply)};
}

sim::pdm_response pdm_server::reject_malformed(std::string reply)
{
    last_answer_ = answer::malformed;
    return sim::pdm_response{1, std::move(reply)};
}

std::optional<std::string> pdm_server::export_file_name(const db_name& name) const
{
    if (!store_.revision(name.item_id, name.rev_id).has_value()) return std::nullopt;
    if (auto recorded = store_.native_file(name.item_id, name.rev_id, name.related_name)) return recorded;
    if (!name.related_name.empty()) return name.related_name + ".prt";
    return name.item_id + "_" + name.rev_id + ".prt";
}

void pdm_server::note_exported(const std::string& part_name, const std::string& file_name)
{
    exported_files_[part_name] = file_name;
}

std::optional<std::string> pdm_server::owner_name(const std::string& item_id) const
{
    const auto item = store_.item(item_id);
    if (!item.has_value()) return std::nullopt;
    return item->owner.has_value() && !item->owner->empty() ? *item->owner : item->item_id;
}

void pdm_server::sync_host_items() const
{
    std::vector<sim::pdm_item> view;
    for (const item_record& item : store_.items())
        view.push_back(sim::pdm_item{item.item_id, item.item_type, item.name, item.description});
    sim::host().items = std::move(view);
}

void pdm_server::host_item_added(const item_record& item) const
{
    sim::add_item(sim::pdm_item{item.item_id, item.item_type, item.name, item.description});
}

sim::pdm_response pdm_server::get_export_file_name(const std::string& input)
{
    const auto name = parse_db_name(input);
    if (!name.has_value()) return reject_malformed("Not a database part name: " + input);
    auto file = export_file_name(*name);
    if (!file.has_value()) return refuse("No such item revision: " + name->item_id + "/" + name->rev_id);
    return ok(std::move(file));
}

sim::pdm_response pdm_server::get_export_attributes(const std::string& input)
{
    const auto name = parse_db_name(input);
    if (!name.has_value()) return reject_malformed("Not a database part name: " + input);
    const auto revision = store_.revision(name->item_id, name->rev_id);
    const auto written = exported_files_.find(input);
    const auto file = written != exported_files_.end() ? std::optional<std::string>(written->second)
                                                       : export_file_name(*name);
    if (!revision.has_value() || !file.has_value())
        return refuse("No such item revision: " + name->item_id + "/" + name->rev_id);

    std::string content;
    const auto& directory = sim::host().def_directory;
    if (directory.has_value() && !directory->empty()) content += "[Defaults]\nexport_dir=" + *directory + "\n\n";
    content += "[part1]\npart_file=" + *file + "\n";
    // Ordinary design log lines first: the named ones still use up a
    // number each, and put first they would leave gaps inside the block.
    for (const auto& [key, value] : store_.design_log(name->item_id, name->rev_id))
        content += "  !I_" + key + "=" + value + "\n";
    content += "  !I_REL=" + (name->relation.empty() ? std::string("master") : name->relation) + "\n";
    content += "  !I_REVID=" + name->rev_id + "\n";
    if (revision->release_status.has_value()) content += "  !I_STATUS=" + *revision->release_status + "\n";
    if (revision->released_date.has_value()) content += "  !I_DATE=" + *revision->released_date + "\n";
    if (revision->context.has_value()) content += "  !I_CONTEXT=" + *revision->context + "\n";
    content += "\n";

    const std::filesystem::path path =
        mapping_directory_ / ("export_" + std::to_string(mapping_files_.size() + 1) + ".map");
    std::ofstream out(path, std::ios::binary);
    out << content;
    out.close();
    if (!out) return refuse("Cannot write the export log mapping file " + path.string());
    mapping_files_.push_back(mapping_file{path, input, content});
    // The reply is the library's text: the path in the host's code page,
    // which the run's folder is known to hold.
    return ok(os::text_of(path));
}

sim::pdm_response pdm_server::pdi_backfill(const std::string& input)
{
    const auto f = fields(input, "/");
    if (f.size() != 2) return reject_malformed("Malformed back-fill request: " + input);
    if (!store_.revision(f[0], f[1]).has_value()) return refuse("No such item revision for back-fill: " + input);
    store_.journal("back-filled", f[0], f[1], "");
    return ok();
}

sim::pdm_response pdm_server::fill_import_filename(const std::string& input)
{
    const auto f = fields(input, "#");
    if (f.size() != 3 && f.size() != 4) return reject_malformed("Malformed native file name record: " + input);
    if (!store_.revision(f[0], f[1]).has_value()) return refuse("No such item revision: " + f[0] + "/" + f[1]);
    const std::string related = f.size() == 4 ? f[3] : "";
    store_.set_native_file(f[0], f[1], related, f[2]);
    store_.journal("native file", f[0], f[1], related.empty() ? f[2] : f[2] + " (" + related + ")");
    return ok();
}

sim::pdm_response pdm_server::get_item_type(const std::string& input)
{
    const auto item = store_.item(input);
    if (!item.has_value()) return refuse("Item " + input + " does not exist");
    return ok(item->item_type);
}

sim::pdm_response pdm_server::auto_publish(const std::string& input)
{
    const auto ids = fields(input, "#");
    for (const std::string& id : ids)
        if (!store_.item(id).has_value()) return refuse("Cannot publish " + id + ": no such item");
    for (const std::string& id : ids) store_.journal("published", id, "", "");
    return ok();
}

sim::pdm_response pdm_server::prepare_new_items(const std::string& input)
{
    auto f = fields(input, "/");
    // Every field is followed by "/", so the text ends with an empty field.
    if (f.empty() || !f.back().empty() || (f.size() - 1) % 4 != 0)
        return reject_malformed("Malformed new item list: " + input);
    for (std::size_t i = 0; i + 4 < f.size(); i += 4)
        store_.journal("announced", f[i], f[i + 1], "type " + f[i + 2] + ", context " + f[i + 3]);
    return ok();
}

sim::pdm_response pdm_server::check_revision(const std::string& input)
{
    const auto f = fields(input, "/");
    if (f.size() == 2 && store_.revision(f[0], f[1]).has_value()) return ok("PRESENT");
    return ok("NOT_PRESENT");
}

sim::pdm_response pdm_server::get_related_name(const std::string& input)
{
    const auto f = fields(input, "/");
    if (f.size() != 5 || f[0].empty() || f[1].empty() || f[3].empty())
        return reject_malformed("Cannot name a related part from " + input);
    const std::string& suffix = f[4].empty() ? f[3] : f[4];
    if (f[3] == "altrep") return ok(f[0] + "." + suffix);
    return ok(f[0] + "." + f[1] + "." + suffix);
}

sim::pdm_response pdm_server::set_name_description(const std::string& input)
{
    const auto f = fields(input, "~~");
    if (f.size() != 4) return reject_malformed("Malformed name and description: " + input);
    if (!store_.item(f[0]).has_value()) return refuse("Item " + f[0] + " does not exist");
    store_.set_name_description(f[0], f[2], f[3]);
    store_.journal("named", f[0], f[1], "\"" + f[2] + "\", \"" + f[3] + "\"");
    // The host's view of an item changes in place: its tag stays.
    if (const host_tag_t tag = sim::item_tag(f[0]); tag != HOST_NULL_TAG) {
        sim::pdm_item& item = sim::host().items[static_cast<std::size_t>(tag - 1)];
        item.name = f[2];
        item.description = f[3];
    }
    return ok();
}

sim::pdm_response pdm_server::get_owner_name(const std::string& input)
{
    const auto name = parse_db_name(input);
    if (!name.has_value()) {
        last_answer_ = answer::malformed;
        return sim::pdm_response{1, std::nullopt};
    }
    auto owner = owner_name(name->item_id);
    if (!owner.has_value()) {
        last_answer_ = answer::refused;
        return sim::pdm_response{1, std::nullopt};
    }
    return ok(std::move(owner));
}

sim::pdm_response pdm_server::get_exceptions()
{
    if (!scene_.exceptions.has_value() || scene_.exceptions->empty()) return ok();
    std::string list;
    for (const auto& [name, value] : *scene_.exceptions) {
        if (!list.empty()) list += "?";
        list += name + "?" + value;
    }
    // A non-zero status is how the server says that the reply is the list.
    return sim::pdm_response{1, std::move(list)};
}

}  // namespace clonesim
