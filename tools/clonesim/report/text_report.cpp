#include "report/text_report.h"

#include "host/host_codes.h"
#include "report/verdict.h"
#include "run/findings.h"
#include "server/pdm_server.h"
#include "texts/texts.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace clonesim {

namespace {

// Lists longer than this are folded in the text report: the first and the
// last entries are shown, the rest is counted.
constexpr std::size_t list_fold = 60;
constexpr std::size_t fold_head = 40;
constexpr std::size_t fold_tail = 10;
// Findings of one kind shown before the rest of that kind is counted.
constexpr std::size_t findings_per_kind = 10;

bool is_export(const run_outcome& run) { return run.scene.operation_class == kx::class_export; }

std::string scenario_name(const run_outcome& run) { return run.scene.file.filename().string(); }

// --- folding -------------------------------------------------------------------

// Writes `count` entries through `write`, folded when there are many.
template <class Write>
void folded_list(std::ostream& out, std::size_t count, const std::string& what, Write&& write)
{
    if (count == 0) out << "  (none)\n";
    const bool fold = count > list_fold;
    for (std::size_t i = 0; i < count; ++i) {
        if (fold && i == fold_head) {
            out << "  ... " << (count - fold_head - fold_tail) << " more " << what
                << " (--part NAME shows one part's, --json all of them)\n";
            i = count - fold_tail;
        }
        write(i);
    }
}

// --- the text report's sections -------------------------------------------------

class text_writer {
public:
    text_writer(const run_outcome& run, const verdict& decided, const report_options& options)
        : run_(run), verdict_(decided), options_(options)
    {
    }

    std::string write()
    {
        header();
        summary();
        findings();
        if (options_.findings_only) return out_.str();
        parts();
        requests();
        texts_shown();
        files();
        callbacks();
        database();
        misuse();
        notifications();
        if (run_.temp_directory_kept) out_ << "\nfiles left in " << run_.temp_directory.string() << "\n";
        out_ << "\nverdict: " << verdict_.text << "\n";
        return out_.str();
    }

private:
    // With --part, only what concerns that part.
    bool shows(const std::string& part_name) const { return !options_.part_name.has_value() || part_name == *options_.part_name; }
    bool shows_item(const std::string& item_id) const
    {
        if (!options_.part_name.has_value()) return true;
        for (const part_outcome& part : run_.parts)
            if (part.name == *options_.part_name) return !part.item_id.empty() && part.item_id == item_id;
        return false;
    }
    bool shows_request(std::size_t i) const
    {
        if (!options_.part_name.has_value()) return true;
        if (i < run_.request_notes.size() && run_.request_notes[i].part_name == *options_.part_name) return true;
        const auto& input = run_.requests[i].input;
        for (const part_outcome& part : run_.parts)
            if (part.name == *options_.part_name && !part.item_id.empty() && input.has_value())
                return input->find(part.item_id) != std::string::npos;
        return false;
    }

    template <class Keep>
    std::vector<std::size_t> picked(std::size_t count, Keep&& keep) const
    {
        std::vector<std::size_t> indexes;
        for (std::size_t i = 0; i < count; ++i)
            if (keep(i)) indexes.push_back(i);
        return indexes;
    }

    void header()
    {
        const scenario& scene = run_.scene;
        out_ << "clonesim report: " << scenario_name(run_) << " (" << outcome_name(verdict_.outcome) << ", exit status "
             << verdict_.exit_status << ")\n";
        out_ << "  " << operation_name(scene.operation_class) << " session" << (scene.dry_run ? ", dry run" : "");
        if (!scene.title.empty()) out_ << ": " << escape_bytes(scene.title);
        out_ << "\n";
        if (options_.part_name.has_value()) out_ << "  the story of the part " << quote(*options_.part_name) << "\n";
    }

    void summary()
    {
        std::size_t refused_requests = 0;
        for (const request_note& note : run_.request_notes)
            if (note.refused || note.malformed) ++refused_requests;
        out_ << "\nsummary\n";
        out_ << "  parts           " << parts_text(run_) << "\n";
        out_ << "  PDM requests    " << run_.requests.size() << ", " << refused_requests << " refused by the server\n";
        out_ << "  shown           " << count_of(run_.message_boxes.size(), "error box", "error boxes") << ", "
             << count_of(run_.listing_texts.size(), "listing-window text", "listing-window texts") << ", "
             << count_of(lines_of(run_.standard_output).size(), "line", "lines") << " of standard output\n";
        out_ << "  PDM database    " << count_of(run_.journal.size(), "change", "changes") << "\n";
        out_ << "  findings        " << counts_text(count_findings(run_.findings)) << "\n";
        out_ << "  verdict         " << verdict_.text << "\n";
    }

    void findings()
    {
        out_ << "\nfindings\n";
        std::size_t shown = 0;
        for (const severity level : {severity::error, severity::warning, severity::note}) {
            std::map<std::string, std::size_t> of_kind;
            for (const finding& f : run_.findings) {
                if (f.level != level || !shows(f.part_name)) continue;
                // A mapping-file line comes once per line of the file, not
                // once per part: each one is a line to mend.
                if (++of_kind[f.kind] > findings_per_kind && f.kind != "mapping_line") continue;
                out_ << "  " << severity_name(level) << std::string(9 - severity_name(level).size(), ' ');
                if (!f.part_name.empty()) out_ << escape_bytes(f.part_name) << ": ";
                out_ << f.text << "\n";
                ++shown;
            }
            for (const auto& [kind, count] : of_kind)
                if (count > findings_per_kind && kind != "mapping_line")
                    out_ << "  " << severity_name(level) << std::string(9 - severity_name(level).size(), ' ') << "... "
                         << (count - findings_per_kind) << " more of the kind " << kind << " (--json lists them all)\n";
            shown += of_kind.size();
        }
        if (shown == 0) out_ << "  (none)\n";
    }

    void part_details(const part_outcome& part)
    {
        out_ << "  " << escape_bytes(part.name) << "\n";
        if (!part.translated) {
            out_ << "    not translated: the session stopped before this part\n";
            return;
        }
        if (part.status != 0) {
            out_ << "    refused (status " << part.status << ")";
            if (part.messages.empty()) out_ << ", no message shown";
            for (std::size_t i = 0; i < part.messages.size(); ++i)
                out_ << (i == 0 ? ": " : ", ") << quote_folded(part.messages[i]);
            out_ << "\n";
            return;
        }
        auto field = [this](const std::string& label, const std::string& value) {
            out_ << "    " << label << std::string(16 - label.size(), ' ') << value << "\n";
        };
        auto optional = [](const std::optional<std::string>& value) {
            return value.has_value() ? quote_folded(*value) : std::string("(none)");
        };
        field(is_export(run_) ? "exported as" : "database name", escape_bytes(part.new_name.value_or("")));
        if (fate_of(run_, part) == part_fate::not_completed) field("in the end", fate_text(run_, part));
        if (const std::string label = part_label(run_, part); !label.empty()) field("worst finding", label);
        if (!part.item_id.empty()) {
            field("item ID", escape_bytes(part.item_id));
            field("revision", escape_bytes(part.rev_id));
            if (!part.relation.empty()) {
                field("relation", escape_bytes(part.relation));
                field("related name", escape_bytes(part.related_name));
            }
        }
        field("item type", optional(part.item_type));
        field("PDM name", optional(part.pdm_name));
        field("description", optional(part.pdm_desc));
    }

    void parts()
    {
        out_ << "\nparts\n";
        const auto chosen = picked(run_.parts.size(), [this](std::size_t i) { return shows(run_.parts[i].name); });
        folded_list(out_, chosen.size(), "parts", [&](std::size_t i) { part_details(run_.parts[chosen[i]]); });
    }

    void requests()
    {
        out_ << "\nPDM requests\n";
        const auto chosen = picked(run_.requests.size(), [this](std::size_t i) { return shows_request(i); });
        folded_list(out_, chosen.size(), "requests", [&](std::size_t k) {
            const std::size_t i = chosen[k];
            const sim::pdm_request& request = run_.requests[i];
            out_ << "  " << request.code << " " << request_name(request.code) << " "
                 << (request.input.has_value() ? quote_folded(*request.input) : std::string("(no input)"))
                 << " -> status " << request.status;
            if (request.reply.has_value()) out_ << ", reply " << quote_folded(*request.reply);
            if (i < run_.request_notes.size() && run_.request_notes[i].malformed)
                out_ << " [input not understood by the server]";
            else if (i < run_.request_notes.size() && run_.request_notes[i].refused)
                out_ << " [refused by the server]";
            out_ << "\n";
        });
    }

    void texts_shown()
    {
        out_ << "\nerror boxes\n";
        const auto boxes = picked(run_.message_boxes.size(), [this](std::size_t i) { return shows(run_.box_parts[i]); });
        folded_list(out_, boxes.size(), "error boxes", [&](std::size_t k) {
            const sim::message_box& box = run_.message_boxes[boxes[k]];
            out_ << "  " << quote(box.title) << ": " << quote_folded(box.message) << "\n";
        });
        out_ << "\nlisting window\n";
        const auto writes =
            picked(run_.listing_texts.size(), [this](std::size_t i) { return shows(run_.listing_parts[i]); });
        folded_list(out_, writes.size(), "listing-window texts",
                    [&](std::size_t k) { out_ << "  " << quote_folded(run_.listing_texts[writes[k]]) << "\n"; });
        out_ << "\nstandard output\n";
        const auto lines = options_.part_name.has_value() ? std::vector<std::string>() : lines_of(run_.standard_output);
        folded_list(out_, lines.size(), "lines",
                    [&](std::size_t i) { out_ << "  " << escape_bytes(lines[i]) << "\n"; });
        error_output();
    }

    // What the site programs wrote to their error output: often the only
    // word on why one could not run. Shown only when one wrote something.
    void error_output()
    {
        const auto chosen = picked(run_.program_runs.size(), [this](std::size_t i) {
            const program_run& program = run_.program_runs[i];
            return !program.error_output.empty() && shows(program.arguments.empty() ? "" : program.arguments.back());
        });
        if (chosen.empty()) return;
        out_ << "\nsite programs' error output\n";
        folded_list(out_, chosen.size(), "runs", [&](std::size_t k) {
            const program_run& program = run_.program_runs[chosen[k]];
            out_ << "  " << program.program;
            for (const std::string& argument : program.arguments) out_ << " " << quote(argument);
            out_ << ": exit " << program.exit_status << "\n";
            for (const std::string& line : lines_of(program.error_output)) out_ << "      | " << escape_bytes(line) << "\n";
        });
    }

    void file_details(const file_change& file)
    {
        out_ << "  " << file.kind << " " << escape_bytes(file.path) << ": ";
        if (file.kind == "mapping file") {
            out_ << "written by the server, " << (file.outcome == "deleted" ? "deleted by the library" : "kept")
                 << "\n";
            for (const std::string& line : lines_of(file.content)) out_ << "      | " << escape_bytes(line) << "\n";
            return;
        }
        out_ << "saved " << count_of(static_cast<std::size_t>(file.saves), "time", "times");
        if (file.failed_saves > 0)
            out_ << ", " << count_of(static_cast<std::size_t>(file.failed_saves), "save", "saves") << " failed";
        if (file.left_open) out_ << ", left open";
        out_ << "\n";
        for (const auto& [title, value] : file.attributes_written)
            out_ << "    " << escape_bytes(title) << " = " << quote_folded(value) << "\n";
    }

    bool shows_file(const file_change& file) const
    {
        if (!options_.part_name.has_value()) return true;
        for (const part_outcome& part : run_.parts)
            if (part.name == *options_.part_name) return part.new_name == file.path;
        return false;
    }

    void files()
    {
        out_ << "\nfiles changed\n";
        const auto chosen = picked(run_.files.size(), [this](std::size_t i) { return shows_file(run_.files[i]); });
        folded_list(out_, chosen.size(), "files", [&](std::size_t i) { file_details(run_.files[chosen[i]]); });
    }

    void callbacks()
    {
        if (run_.host_callbacks.empty() || options_.part_name.has_value()) return;
        out_ << "\nhost callbacks\n";
        for (const callback_outcome& cb : run_.host_callbacks)
            out_ << "  " << quote(cb.name) << " at point " << cb.point << ": called "
                 << count_of(cb.calls.size(), "time", "times") << "; "
                 << (cb.registered_at_end ? "registered at the end" : "NOT registered at the end") << "\n";
    }

    void database()
    {
        out_ << "\nPDM database\n";
        const auto chosen =
            picked(run_.journal.size(), [this](std::size_t i) { return shows_item(run_.journal[i].item_id); });
        if (chosen.empty()) {
            out_ << "  (no change)\n";
            return;
        }
        folded_list(out_, chosen.size(), "changes", [&](std::size_t i) {
            const journal_entry& entry = run_.journal[chosen[i]];
            out_ << "  " << entry.kind << " " << escape_bytes(entry.item_id);
            if (!entry.rev_id.empty()) out_ << "/" << escape_bytes(entry.rev_id);
            if (!entry.detail.empty()) out_ << ": " << escape_bytes(entry.detail);
            out_ << "\n";
        });
    }

    void misuse()
    {
        if (run_.misuse.empty()) return;
        out_ << "\nhost misuse by the library\n";
        for (const std::string& m : run_.misuse) out_ << "  " << escape_bytes(m) << "\n";
    }

    // The points in order; a run of one point is written once with its
    // length ("6x4"), so that a large session stays on one readable line.
    void notifications()
    {
        out_ << "\nnotifications\n ";
        if (!run_.started) out_ << " (no session was played)";
        const auto& points = run_.session.points;
        for (std::size_t i = 0; i < points.size();) {
            const sim::point_call& call = points[i];
            if (!shows(call.part_name) && !call.part_name.empty()) {
                ++i;
                continue;
            }
            std::size_t run_length = 1;
            while (call.result == 0 && !options_.part_name.has_value() && i + run_length < points.size() &&
                   points[i + run_length].point == call.point && points[i + run_length].result == 0)
                ++run_length;
            out_ << " " << call.point;
            if (call.result != 0) out_ << "=" << call.result;
            if (run_length > 1) out_ << "x" << run_length;
            i += run_length;
        }
        out_ << "\n";
    }

    const run_outcome& run_;
    const verdict& verdict_;
    const report_options& options_;
    std::ostringstream out_;
};

}  // namespace

bool has_part(const run_outcome& run, const std::string& name)
{
    return std::any_of(run.parts.begin(), run.parts.end(), [&](const part_outcome& p) { return p.name == name; });
}

std::string text_report(const run_outcome& run, const verdict& decided, const report_options& options)
{
    return text_writer(run, decided, options).write();
}

}  // namespace clonesim
