#include "report/json_report.h"

#include "host/host_codes.h"
#include "report/verdict.h"
#include "run/findings.h"
#include "server/pdm_server.h"
#include "texts/texts.h"

namespace clonesim {

namespace {

using json = nlohmann::ordered_json;

// Every string of the report through the reversible byte escape.
void make_safe(json& value)
{
    if (value.is_string()) {
        value = json_safe(value.get<std::string>());
        return;
    }
    if (value.is_structured())
        for (auto& member : value) make_safe(member);
}

template <class Record, class Make>
json list_json(const std::vector<Record>& records, Make&& make)
{
    json list = json::array();
    for (const Record& record : records) list.push_back(make(record));
    return list;
}

json shown_json(const run_outcome& run)
{
    json boxes = json::array();
    for (std::size_t i = 0; i < run.message_boxes.size(); ++i)
        boxes.push_back(json{{"title", run.message_boxes[i].title},
                             {"message", run.message_boxes[i].message},
                             {"part", run.box_parts[i]}});
    return boxes;
}

json session_json(const run_outcome& run)
{
    json out;
    out["host_callbacks"] = list_json(run.host_callbacks, callback_json);
    out["pdm_database"] = list_json(run.journal, journal_json);
    out["site_programs"] = list_json(run.program_runs, program_run_json);
    out["notifications"] = list_json(run.session.points, [](const sim::point_call& call) {
        return json{{"point", call.point}, {"part", call.part_name}, {"result", call.result}};
    });
    return out;
}

json summary_json(const run_outcome& run)
{
    const finding_counts counts = count_findings(run.findings);
    return json{{"parts", part_counts_json(run)},
                {"requests", run.requests.size()},
                {"errors", counts.errors},
                {"warnings", counts.warnings},
                {"notes", counts.notes}};
}

}  // namespace

json part_counts_json(const run_outcome& run)
{
    const part_counts parts = count_parts(run);
    return json{{fate_name(run, part_fate::done), parts.done},
                {fate_name(run, part_fate::not_completed), parts.not_completed},
                {fate_name(run, part_fate::refused), parts.refused},
                {fate_name(run, part_fate::not_translated), parts.not_reached}};
}

json part_json(const run_outcome& run, const part_outcome& part)
{
    const bool exported = run.scene.operation_class == kx::class_export;
    json p;
    p["name"] = part.name;
    p["translated"] = part.translated;
    p["status"] = part.status;
    p["fate"] = fate_name(run, fate_of(run, part));
    p[exported ? "exported_as" : "database_name"] = optional_json(part.new_name);
    p["messages"] = part.messages;
    p["item_id"] = part.item_id;
    p["rev_id"] = part.rev_id;
    p["relation"] = part.relation;
    p["related_name"] = part.related_name;
    p["item_type"] = optional_json(part.item_type);
    p["pdm_name"] = optional_json(part.pdm_name);
    p["pdm_desc"] = optional_json(part.pdm_desc);
    p["stored_name"] = optional_json(part.stored_name);
    p["stored_desc"] = optional_json(part.stored_desc);
    return p;
}

json request_json(const run_outcome& run, std::size_t index)
{
    const sim::pdm_request& request = run.requests[index];
    const request_note note = index < run.request_notes.size() ? run.request_notes[index] : request_note{};
    return json{{"code", request.code},
                {"name", request_name(request.code)},
                {"input", optional_json(request.input)},
                {"status", request.status},
                {"reply", optional_json(request.reply)},
                {"refused_by_server", note.refused || note.malformed},
                {"input_not_understood", note.malformed},
                {"part", note.part_name}};
}

json file_json(const file_change& file)
{
    json f;
    f["kind"] = file.kind;
    f["path"] = file.path;
    if (file.kind == "mapping file") {
        f["outcome"] = file.outcome;
        f["content"] = file.content;
        return f;
    }
    f["saves"] = file.saves;
    f["failed_saves"] = file.failed_saves;
    f["left_open"] = file.left_open;
    json attributes = json::array();
    for (const auto& [title, value] : file.attributes_written) attributes.push_back(json::array({title, value}));
    f["attributes_written"] = std::move(attributes);
    return f;
}

json journal_json(const journal_entry& entry)
{
    return json{{"kind", entry.kind}, {"item_id", entry.item_id}, {"rev_id", entry.rev_id}, {"detail", entry.detail}};
}

json item_change_json(const item_change& c)
{
    return json{{"item_id", c.item_id}, {"rev_id", c.rev_id}, {"field", c.field},
                {"was", c.was},         {"becomes", c.becomes}, {"released", c.released}};
}

json finding_json(const finding& f)
{
    return json{{"severity", severity_name(f.level)}, {"kind", f.kind}, {"part", f.part_name}, {"text", f.text}};
}

json program_run_json(const program_run& program)
{
    return json{{"program", program.program},
                {"arguments", program.arguments},
                {"exit_status", program.exit_status},
                {"error_output", program.error_output}};
}

json callback_json(const callback_outcome& cb)
{
    return json{{"name", cb.name}, {"point", cb.point}, {"calls", cb.calls}, {"registered_at_end", cb.registered_at_end}};
}

json optional_json(const std::optional<std::string>& value) { return value.has_value() ? json(*value) : json(); }

json verdict_json(const verdict& decided)
{
    return json{{"outcome", outcome_name(decided.outcome)},
                {"exit_status", decided.exit_status},
                {"text", decided.text},
                {"strict", decided.strict}};
}

json json_report(const run_outcome& run, const verdict& decided)
{
    const scenario& scene = run.scene;
    json report;
    report["scenario"] = scene.file.filename().string();
    report["description"] = scene.title;
    report["operation"] = operation_name(scene.operation_class);
    report["operation_class"] = scene.operation_class;
    report["dry_run"] = scene.dry_run;
    report["start_status"] = run.start_status;
    report["summary"] = summary_json(run);
    report["findings"] = list_json(run.findings, finding_json);
    report["parts"] = list_json(run.parts, [&run](const part_outcome& part) { return part_json(run, part); });
    json requests = json::array();
    for (std::size_t i = 0; i < run.requests.size(); ++i) requests.push_back(request_json(run, i));
    report["requests"] = std::move(requests);
    report["error_boxes"] = shown_json(run);
    report["listing_window"] = run.listing_texts;
    report["standard_output"] = lines_of(run.standard_output);
    report["files_changed"] = list_json(run.files, file_json);
    report.update(session_json(run));
    report["existing_items_changed"] = list_json(run.item_changes, item_change_json);
    report["misuse"] = run.misuse;
    report["files_left_in"] = run.temp_directory_kept ? json(run.temp_directory.string()) : json();
    report["verdict"] = verdict_json(decided);
    report["exit_status"] = decided.exit_status;
    report["byte_escape"] = "a byte that is not part of valid UTF-8 is the character U+10FF00 + byte; "
                            "characters U+10FF00 to U+10FFFF of a text are written that way byte by byte";
    make_safe(report);
    return report;
}

}  // namespace clonesim
