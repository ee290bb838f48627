#include "report.h"

#include "pdm_server.h"

#include <cstdio>
#include <sstream>

namespace clonesim {

namespace {

using json = nlohmann::ordered_json;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Each text written to the listing window, from the host's call log; the
// window itself only holds them run together.
std::vector<std::string> listing_writes()
{
    const std::string prefix = "HOST_UI_write_listing_window(";
    std::vector<std::string> writes;
    for (const std::string& call : sim::host().calls) {
        if (call.rfind(prefix, 0) != 0 || call.size() < prefix.size() + 1) continue;
        writes.push_back(call.substr(prefix.size(), call.size() - prefix.size() - 1));
    }
    return writes;
}

const part_outcome* refused_part(const run_outcome& run)
{
    for (const part_outcome& part : run.parts)
        if (part.translated && part.status != 0) return &part;
    return nullptr;
}

std::string last_message(const run_outcome& run)
{
    if (run.message_boxes.empty()) return "no message was shown";
    return quote(run.message_boxes.back().message);
}

bool is_export(const run_outcome& run) { return run.scene.operation_class == 3; }

std::string scenario_name(const run_outcome& run) { return run.scene.file.filename().string(); }

}  // namespace

std::string point_name(int point)
{
    switch (point) {
    case 0: return "Init_Clone";
    case 1: return "Exit_Clone";
    case 2: return "assembly load";
    case 3: return "end of assembly load";
    case 6: return "part load";
    case 10: return "Begin_Perform";
    case 11: return "End_Perform";
    case 12: return "Begin_Apply_Defaults";
    case 51: return "after part";
    default: return "point " + std::to_string(point);
    }
}

std::string quote(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

verdict judge(const run_outcome& run)
{
    const std::string operation = operation_name(run.scene.operation_class);
    if (run.start_status != 0)
        return {false, "refused: user_exit_start returned " + std::to_string(run.start_status) + ": " +
                           last_message(run)};
    if (run.session.refused) {
        if (run.session.refused_at == "translation") {
            if (const part_outcome* part = refused_part(run))
                return {false, operation + " refused at the translation of " + quote(part->name) + " (status " +
                                   std::to_string(part->status) + "): " +
                                   (part->messages.empty() ? std::string("no message was shown")
                                                           : quote(part->messages.front()))};
            return {false, operation + " refused at translation"};
        }
        return {false, operation + " refused at " + run.session.refused_at + ": " + last_message(run)};
    }
    for (const sim::point_call& call : run.session.points) {
        if (call.result == 0 || call.point == 1) continue;
        std::string where = point_name(call.point);
        if (!call.part_name.empty()) where += " of " + quote(call.part_name);
        return {false, operation + " stopped at " + where + " (result " + std::to_string(call.result) +
                           "): " + last_message(run)};
    }
    if (run.session.exit_result != 0)
        return {false, operation + " refused at Exit_Clone (result " + std::to_string(run.session.exit_result) +
                           "): " + last_message(run)};

    std::size_t translated = 0;
    for (const part_outcome& part : run.parts)
        if (part.translated && part.status == 0) ++translated;
    std::string text = operation + " went through: " + std::to_string(translated) +
                       (translated == 1 ? " part" : " parts") + (is_export(run) ? " exported" : " translated");
    if (run.scene.dry_run) text += " (dry run)";
    const std::size_t notes = listing_writes().size();
    if (notes > 0)
        text += ", " + std::to_string(notes) + " listing-window message" + (notes == 1 ? "" : "s");
    return {true, text};
}

std::string text_report(const run_outcome& run)
{
    std::ostringstream out;
    const scenario& scene = run.scene;
    out << "clonesim report: " << scenario_name(run) << "\n";
    out << "  " << operation_name(scene.operation_class) << " session" << (scene.dry_run ? ", dry run" : "");
    if (!scene.title.empty()) out << ": " << scene.title;
    out << "\n";

    out << "\nparts\n";
    if (run.parts.empty()) out << "  (none)\n";
    for (const part_outcome& part : run.parts) {
        out << "  " << part.name << "\n";
        if (!part.translated) {
            out << "    not translated: the session stopped before this part\n";
            continue;
        }
        if (part.status != 0) {
            out << "    refused (status " << part.status << ")";
            if (part.messages.empty()) out << ", no message shown";
            for (std::size_t i = 0; i < part.messages.size(); ++i) out << (i == 0 ? ": " : ", ") << quote(part.messages[i]);
            out << "\n";
            continue;
        }
        auto field = [&out](const char* label, const std::string& value) {
            out << "    " << label << std::string(16 - std::string(label).size(), ' ') << value << "\n";
        };
        auto optional = [](const std::optional<std::string>& value) {
            return value.has_value() ? quote(*value) : std::string("(none)");
        };
        field(is_export(run) ? "exported as" : "database name", part.new_name.value_or(""));
        if (!part.item_id.empty()) {
            field("item ID", part.item_id);
            field("revision", part.rev_id);
            if (!part.relation.empty()) {
                field("relation", part.relation);
                field("related name", part.related_name);
            }
        }
        field("item type", optional(part.item_type));
        field("PDM name", optional(part.pdm_name));
        field("description", optional(part.pdm_desc));
    }

    out << "\nPDM requests\n";
    if (run.requests.empty()) out << "  (none)\n";
    for (const sim::pdm_request& request : run.requests) {
        out << "  " << request.code << " " << request_name(request.code) << " "
            << (request.input.has_value() ? quote(*request.input) : std::string("(no input)")) << " -> status "
            << request.status;
        if (request.reply.has_value()) out << ", reply " << quote(*request.reply);
        out << "\n";
    }

    out << "\nerror boxes\n";
    if (run.message_boxes.empty()) out << "  (none)\n";
    for (const sim::message_box& box : run.message_boxes)
        out << "  " << quote(box.title) << ": " << quote(box.message) << "\n";

    out << "\nlisting window\n";
    const auto writes = listing_writes();
    if (writes.empty()) out << "  (none)\n";
    for (const std::string& text : writes) out << "  " << quote(text) << "\n";

    out << "\nstandard output\n";
    const auto lines = lines_of(run.standard_output);
    if (lines.empty()) out << "  (none)\n";
    for (const std::string& line : lines) out << "  " << line << "\n";

    out << "\nfiles changed\n";
    if (run.files.empty()) out << "  (none)\n";
    for (const file_change& file : run.files) {
        out << "  " << file.kind << " " << file.path << ": ";
        if (file.kind == "mapping file") {
            out << "written by the server, " << (file.outcome == "deleted" ? "deleted by the library" : "kept")
                << "\n";
            for (const std::string& line : lines_of(file.content)) out << "      | " << line << "\n";
            continue;
        }
        out << "saved " << file.saves << (file.saves == 1 ? " time" : " times");
        if (file.failed_saves > 0)
            out << ", " << file.failed_saves << (file.failed_saves == 1 ? " save" : " saves") << " failed";
        if (file.left_open) out << ", left open";
        out << "\n";
        for (const auto& [title, value] : file.attributes_written)
            out << "    " << title << " = " << quote(value) << "\n";
    }

    if (!run.host_callbacks.empty()) {
        out << "\nhost callbacks\n";
        for (const callback_outcome& cb : run.host_callbacks) {
            out << "  " << quote(cb.name) << " at point " << cb.point << ": called " << cb.calls.size()
                << (cb.calls.size() == 1 ? " time" : " times") << "; "
                << (cb.registered_at_end ? "registered at the end" : "NOT registered at the end") << "\n";
        }
    }

    out << "\nPDM database\n";
    if (run.journal.empty()) out << "  (no change)\n";
    for (const journal_entry& entry : run.journal) {
        out << "  " << entry.kind << " " << entry.item_id;
        if (!entry.rev_id.empty()) out << "/" << entry.rev_id;
        if (!entry.detail.empty()) out << ": " << entry.detail;
        out << "\n";
    }

    if (!run.misuse.empty()) {
        out << "\nhost misuse by the library\n";
        for (const std::string& m : run.misuse) out << "  " << m << "\n";
    }

    out << "\nnotifications\n ";
    if (!run.started) out << " (no session was played)";
    for (const sim::point_call& call : run.session.points) {
        out << " " << call.point;
        if (call.result != 0) out << "=" << call.result;
    }
    out << "\n";

    if (run.temp_directory_kept) out << "\nfiles left in " << run.temp_directory.string() << "\n";

    out << "\nverdict: " << judge(run).text << "\n";
    return out.str();
}

json json_report(const run_outcome& run)
{
    const scenario& scene = run.scene;
    auto optional = [](const std::optional<std::string>& value) { return value.has_value() ? json(*value) : json(); };

    json report;
    report["scenario"] = scenario_name(run);
    report["description"] = scene.title;
    report["operation"] = operation_name(scene.operation_class);
    report["operation_class"] = scene.operation_class;
    report["dry_run"] = scene.dry_run;
    report["start_status"] = run.start_status;

    json parts = json::array();
    for (const part_outcome& part : run.parts) {
        json p;
        p["name"] = part.name;
        p["translated"] = part.translated;
        p["status"] = part.status;
        p[is_export(run) ? "exported_as" : "database_name"] = optional(part.new_name);
        p["messages"] = part.messages;
        p["item_id"] = part.item_id;
        p["rev_id"] = part.rev_id;
        p["relation"] = part.relation;
        p["related_name"] = part.related_name;
        p["item_type"] = optional(part.item_type);
        p["pdm_name"] = optional(part.pdm_name);
        p["pdm_desc"] = optional(part.pdm_desc);
        parts.push_back(std::move(p));
    }
    report["parts"] = std::move(parts);

    json requests = json::array();
    for (const sim::pdm_request& request : run.requests) {
        json r;
        r["code"] = request.code;
        r["name"] = request_name(request.code);
        r["input"] = optional(request.input);
        r["status"] = request.status;
        r["reply"] = optional(request.reply);
        requests.push_back(std::move(r));
    }
    report["requests"] = std::move(requests);

    json boxes = json::array();
    for (const sim::message_box& box : run.message_boxes) boxes.push_back(json{{"title", box.title}, {"message", box.message}});
    report["error_boxes"] = std::move(boxes);
    report["listing_window"] = listing_writes();
    report["standard_output"] = lines_of(run.standard_output);

    json files = json::array();
    for (const file_change& file : run.files) {
        json f;
        f["kind"] = file.kind;
        f["path"] = file.path;
        if (file.kind == "mapping file") {
            f["outcome"] = file.outcome;
            f["content"] = file.content;
        } else {
            f["saves"] = file.saves;
            f["failed_saves"] = file.failed_saves;
            f["left_open"] = file.left_open;
            json attributes = json::array();
            for (const auto& [title, value] : file.attributes_written) attributes.push_back(json::array({title, value}));
            f["attributes_written"] = std::move(attributes);
        }
        files.push_back(std::move(f));
    }
    report["files_changed"] = std::move(files);

    json callbacks = json::array();
    for (const callback_outcome& cb : run.host_callbacks)
        callbacks.push_back(
            json{{"name", cb.name}, {"point", cb.point}, {"calls", cb.calls}, {"registered_at_end", cb.registered_at_end}});
    report["host_callbacks"] = std::move(callbacks);

    json journal = json::array();
    for (const journal_entry& entry : run.journal)
        journal.push_back(
            json{{"kind", entry.kind}, {"item_id", entry.item_id}, {"rev_id", entry.rev_id}, {"detail", entry.detail}});
    report["pdm_database"] = std::move(journal);

    json points = json::array();
    for (const sim::point_call& call : run.session.points)
        points.push_back(json{{"point", call.point}, {"part", call.part_name}, {"result", call.result}});
    report["notifications"] = std::move(points);
    report["misuse"] = run.misuse;
    report["files_left_in"] = run.temp_directory_kept ? json(run.temp_directory.string()) : json();

    const verdict v = judge(run);
    report["verdict"] = json{{"went_through", v.went_through}, {"text", v.text}};
    report["exit_status"] = v.went_through ? 0 : 1;
    return report;
}

}  // namespace clonesim
