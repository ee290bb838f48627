#include "run/collect.h"

#include "host/host_codes.h"
#include "scenario/scenario.h"
#include "traces/trace.h"
#include "platform/os.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace clonesim {

namespace {

// Each text written to the listing window, from the host's call log; the
// window itself only holds them run together.
std::vector<std::string> listing_writes()
{
    const std::string prefix = std::string(listing_operation) + "(";
    std::vector<std::string> writes;
    for (const std::string& call : sim::host().calls) {
        if (call.rfind(prefix, 0) != 0 || call.size() < prefix.size() + 1) continue;
        writes.push_back(call.substr(prefix.size(), call.size() - prefix.size() - 1));
    }
    return writes;
}

// What the session showed and asked, each text with the part it was for.
void collect_shown(const observations& seen, run_outcome& out)
{
    const sim::host_model& h = sim::host();
    out.message_boxes = h.message_boxes;
    out.box_parts = seen.box_parts;
    out.box_parts.resize(out.message_boxes.size());
    out.listing_texts = listing_writes();
    out.listing_parts = seen.listing_parts;
    out.listing_parts.resize(out.listing_texts.size());
    out.requests = h.requests;
    out.request_notes.resize(out.requests.size());
    out.listing = h.listing;
    out.misuse = h.misuse;
}

void set_identity(part_outcome& p, const db_name& name)
{
    p.item_id = name.item_id;
    p.rev_id = name.rev_id;
    p.relation = name.relation;
    p.related_name = name.related_name;
}

// An export's part names its item; an import's or clone's new name does.
part_outcome part_of(const sim::clone_part& part, bool exported, const session_sources& from)
{
    part_outcome p;
    p.name = part.name;
    p.translated = from.seen.translated.count(part.name) != 0 || part.translate_status != -1;
    p.status = part.translate_status;
    p.new_name = part.new_name;
    const auto name = parse_db_name(exported ? part.name : part.new_name.value_or(""));
    if (name.has_value()) set_identity(p, *name);
    if (!exported) {
        p.item_type = part.item_type;
        p.pdm_name = part.pdm_name;
        p.pdm_desc = part.pdm_desc;
    }
    if (!name.has_value()) return p;
    p.item_existed = from.items_before.count(name->item_id) != 0;
    if (const auto item = from.store.item(name->item_id)) {
        p.stored_name = item->name;
        p.stored_desc = item->description;
        if (exported) {
            p.item_type = item->item_type;
            p.pdm_name = item->name;
            p.pdm_desc = item->description;
        }
    }
    return p;
}

void collect_parts(const session_sources& from, run_outcome& out)
{
    const bool exported = out.scene.operation_class == kx::class_export;
    for (const sim::clone_part& part : sim::host().parts) out.parts.push_back(part_of(part, exported, from));
    // A session may show a box for every part: each box finds its parts by
    // name rather than among all of them.
    std::unordered_multimap<std::string_view, part_outcome*> by_name;
    for (part_outcome& part : out.parts)
        if (part.status != 0 && part.translated) by_name.emplace(part.name, &part);
    if (by_name.empty()) return;
    for (std::size_t i = 0; i < out.message_boxes.size() && i < out.box_parts.size(); ++i) {
        const auto [first, last] = by_name.equal_range(out.box_parts[i]);
        std::vector<part_outcome*> shown;
        for (auto at = first; at != last; ++at) shown.push_back(at->second);
        // Parts of one name get the box in the order they came.
        std::sort(shown.begin(), shown.end());
        for (part_outcome* part : shown) part->messages.push_back(out.message_boxes[i].message);
    }
}

void collect_mapping_files(const pdm_server& server, run_outcome& out)
{
    for (const mapping_file& file : server.mapping_files()) {
        file_change change;
        change.kind = "mapping file";
        // A host text like the others, converted once with them: the path
        // as the library was given it.
        change.path = os::text_of(file.path);
        change.outcome = std::filesystem::exists(file.path) ? "kept" : "deleted";
        change.content = file.content;
        out.files.push_back(std::move(change));
    }
}

// Fields of items that were in the database before the session and are
// different after it: the names the server was asked to set, and the types
// the parts of existing items were given.
std::vector<item_change> changes_to_existing_items(const session_sources& from, const run_outcome& out)
{
    std::vector<item_change> changes;
    std::set<std::string> seen;
    auto add = [&](const std::string& item_id, const std::string& rev_id, const std::string& field,
                   const std::string& was, const std::string& becomes) {
        if (was == becomes || !seen.insert(item_id + "\n" + field).second) return;
        item_change change{item_id, rev_id, field, was, becomes, from.store.has_released_revision(item_id)};
        // A scenario made from a trace takes a revision the session saw
        // present as released, since the trace cannot tell: the finding says
        // so, lest a guess read as the server's word.
        std::string guessed;
        for (const revision_record& r : from.store.released_revisions(item_id))
            if (r.release_status == release_status_not_known) guessed += (guessed.empty() ? "" : ", ") + r.rev_id;
        if (!guessed.empty())
            change.released_because = "revision " + guessed + " taken as released because the trace does not tell; where it "
                                      "is not, set its \"release_status\" \"" + std::string(release_status_not_known) +
                                      "\" in the scenario's items to null";
        changes.push_back(std::move(change));
    };
    for (const journal_entry& entry : out.journal) {
        if (entry.kind != "named") continue;
        const auto earlier = from.items_before.find(entry.item_id);
        const auto now = from.store.item(entry.item_id);
        if (earlier == from.items_before.end() || !now.has_value()) continue;
        add(entry.item_id, entry.rev_id, "name", earlier->second.name, now->name);
        add(entry.item_id, entry.rev_id, "description", earlier->second.description, now->description);
    }
    if (out.scene.operation_class == kx::class_export) return changes;
    for (const part_outcome& part : out.parts) {
        const auto earlier = from.items_before.find(part.item_id);
        if (earlier == from.items_before.end() || !part.item_type.has_value() || part.item_type->empty()) continue;
        add(part.item_id, part.rev_id, "type", earlier->second.item_type, *part.item_type);
    }
    return changes;
}

}  // namespace

std::map<std::string, item_record> items_by_id(const item_store& store)
{
    std::map<std::string, item_record> items;
    for (item_record& item : store.items()) items.emplace(item.item_id, std::move(item));
    return items;
}

std::vector<file_change> part_file_changes(const std::map<std::string, sim::part_file>& before)
{
    // The host's call log names the work part of every save asked for,
    // including those that failed.
    std::map<std::string, int> save_requests;
    const std::string save_call = "HOST_PART_save(";
    for (const std::string& call : sim::host().calls)
        if (call.rfind(save_call, 0) == 0 && call.size() > save_call.size())
            ++save_requests[call.substr(save_call.size(), call.size() - save_call.size() - 1)];

    std::vector<file_change> changes;
    for (const auto& [path, file] : sim::host().part_files) {
        const auto earlier = before.find(path);
        file_change change;
        change.kind = "part file";
        change.path = path;
        change.saves = file.saves;
        change.failed_saves = std::max(0, save_requests[path] - file.saves);
        change.left_open = file.open;
        for (const auto& [title, value] : file.attributes) {
            const std::string* old = earlier != before.end() ? sim::part_attribute(earlier->second, title) : nullptr;
            if (old == nullptr || *old != value) change.attributes_written.emplace_back(title, value);
        }
        if (change.saves > 0 || change.failed_saves > 0 || change.left_open || !change.attributes_written.empty())
            changes.push_back(std::move(change));
    }
    return changes;
}

std::vector<program_run> recorded_program_runs(const std::filesystem::path& trace_file)
{
    std::vector<program_run> runs;
    try {
        // Read as it goes: a large session's trace is never held whole.
        stream_trace(trace_file, [&](const trace&) { runs.clear(); }, [&](const trace_event& event) {
            if (event.kind != "command") return;
            program_run run;
            const std::string program = text_field(event.data, "program").value_or("");
            run.program = program.empty() ? "item ID check" : "additional import program";
            if (!program.empty()) run.arguments.push_back(program);
            for (std::string& argument : texts_field(event.data, "arguments")) run.arguments.push_back(std::move(argument));
            run.exit_status = static_cast<int>(number_field(event.data, "exit").value_or(-1));
            runs.push_back(std::move(run));
        });
    } catch (const trace_error&) {
        // The library said on standard output why its trace is not whole.
    }
    return runs;
}

void collect_outcome(const session_sources& from, run_outcome& out)
{
    collect_shown(from.seen, out);
    collect_parts(from, out);
    collect_mapping_files(from.server, out);
    note_registered_host_callbacks(out.host_callbacks);
    out.journal = from.store.journal_since(from.journal_start);
    out.item_changes = changes_to_existing_items(from, out);
}

}  // namespace clonesim
