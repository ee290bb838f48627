#include "report/verdict.h"

#include "host/host_codes.h"
#include "run/findings.h"
#include "texts/texts.h"

#include <optional>

namespace clonesim {

namespace {

bool is_export(const run_outcome& run) { return run.scene.operation_class == kx::class_export; }

const part_outcome* refused_part(const run_outcome& run)
{
    for (const part_outcome& part : run.parts)
        if (part.translated && part.status != 0) return &part;
    return nullptr;
}

std::string last_message(const run_outcome& run)
{
    if (run.message_boxes.empty()) return "no message was shown";
    return quote_folded(run.message_boxes.back().message);
}

// Why the session did not go through; nullopt when it did.
std::optional<std::string> refusal(const run_outcome& run)
{
    const std::string operation = operation_name(run.scene.operation_class);
    if (run.start_status != 0)
        return "refused: user_exit_start returned " + std::to_string(run.start_status) + ": " + last_message(run);
    if (run.session.refused) {
        if (run.session.refused_at != "translation")
            return operation + " refused at " + run.session.refused_at + ": " + last_message(run);
        const part_outcome* part = refused_part(run);
        if (part == nullptr) return operation + " refused at translation";
        return operation + " refused at the translation of " + quote(part->name) + " (status " +
               std::to_string(part->status) + "): " +
               (part->messages.empty() ? std::string("no message was shown") : quote_folded(part->messages.front()));
    }
    for (const sim::point_call& call : run.session.points) {
        if (call.result == kx::go_on || call.point == kx::point_exit_clone) continue;
        std::string where = point_name(call.point);
        if (!call.part_name.empty()) where += " of " + quote(call.part_name);
        return operation + " stopped at " + where + " (result " + std::to_string(call.result) +
               "): " + last_message(run);
    }
    if (run.session.exit_result != kx::go_on)
        return operation + " refused at Exit_Clone (result " + std::to_string(run.session.exit_result) +
               "): " + last_message(run);
    return std::nullopt;
}

// What the session does with a translated part once it is carried through.
std::string completion_verb(const run_outcome& run)
{
    switch (run.scene.operation_class) {
    case kx::class_import: return "imported";
    case kx::class_export: return "exported";
    case kx::class_clone: return "cloned";
    default: return "saved";
    }
}

}  // namespace

std::string outcome_name(verdict_outcome outcome)
{
    switch (outcome) {
    case verdict_outcome::clean: return "clean";
    case verdict_outcome::findings: return "findings";
    case verdict_outcome::refused: return "refused";
    }
    return "refused";
}

// The host carries every translated part through the perform phase unless
// the session was refused before it; a refusal at a later translation stops
// the parts translated before it as well.
part_fate fate_of(const run_outcome& run, const part_outcome& part)
{
    if (!part.translated) return part_fate::not_translated;
    if (part.status != 0) return part_fate::refused;
    if (run.session.refused) return part_fate::not_completed;
    return part_fate::done;
}

std::string fate_name(const run_outcome& run, part_fate fate)
{
    switch (fate) {
    case part_fate::done: return is_export(run) ? "exported" : "translated";
    case part_fate::not_completed: return "not " + completion_verb(run);
    case part_fate::refused: return "refused";
    case part_fate::not_translated: return "not translated";
    }
    return "not translated";
}

std::string fate_text(const run_outcome& run, const part_outcome& part)
{
    const part_fate fate = fate_of(run, part);
    if (fate != part_fate::not_completed) return fate_name(run, fate);
    return "translated, then not " + completion_verb(run) + ": the session was refused at " +
           (run.session.refused_at == "translation" ? std::string("a later translation") : run.session.refused_at);
}

part_counts count_parts(const run_outcome& run)
{
    part_counts counts;
    for (const part_outcome& part : run.parts) {
        switch (fate_of(run, part)) {
        case part_fate::done: ++counts.done; break;
        case part_fate::not_completed: ++counts.not_completed; break;
        case part_fate::refused: ++counts.refused; break;
        case part_fate::not_translated: ++counts.not_reached; break;
        }
    }
    return counts;
}

std::string parts_text(const run_outcome& run)
{
    const part_counts counts = count_parts(run);
    std::string text;
    if (counts.not_completed > 0)
        text = std::to_string(counts.not_completed) + " translated, then not " + completion_verb(run) + ", ";
    if (counts.done > 0 || counts.not_completed == 0)
        text += std::to_string(counts.done) + (is_export(run) ? " exported" : " translated") + ", ";
    text += std::to_string(counts.refused) + " refused";
    if (counts.not_reached > 0) text += ", " + std::to_string(counts.not_reached) + " not reached";
    return text;
}

std::string part_label(const run_outcome& run, const part_outcome& part)
{
    std::optional<severity> worst;
    for (const finding& f : run.findings)
        if (f.part_name == part.name && (!worst.has_value() || f.level < *worst)) worst = f.level;
    return worst.has_value() ? severity_name(*worst) : "";
}

std::string point_name(int point)
{
    switch (point) {
    case kx::point_init_clone: return "Init_Clone";
    case kx::point_exit_clone: return "Exit_Clone";
    case kx::point_assy_load: return "assembly load";
    case kx::point_end_assy_load: return "end of assembly load";
    case kx::point_part_load: return "part load";
    case kx::point_begin_perform: return "Begin_Perform";
    case kx::point_end_perform: return "End_Perform";
    case kx::point_begin_apply_defaults: return "Begin_Apply_Defaults";
    case kx::point_after_part: return "after part";
    default: return "point " + std::to_string(point);
    }
}

std::string step_point_name(int point) { return point == translation_step ? "translation" : point_name(point); }

verdict judge(const run_outcome& run, bool strict)
{
    const finding_counts counts = count_findings(run.findings);
    const auto refused = refusal(run);
    const std::string operation = operation_name(run.scene.operation_class);
    verdict v;
    v.strict = strict;
    std::string what;
    if (refused.has_value()) {
        v.outcome = verdict_outcome::refused;
        what = *refused;
    } else if (counts.errors > 0) {
        v.outcome = verdict_outcome::findings;
        what = operation + " ran to its end with " + count_of(counts.errors, "error finding", "error findings");
    } else if (strict && counts.warnings > 0) {
        v.outcome = verdict_outcome::findings;
        what = operation + " ran to its end with " +
               count_of(counts.warnings, "warning finding, which fails", "warning findings, which fail") +
               " with --strict";
    } else {
        v.outcome = verdict_outcome::clean;
        what = operation + " went through";
    }
    if (run.scene.dry_run && !refused.has_value()) what += " (dry run)";
    v.exit_status = v.outcome == verdict_outcome::clean ? exit_went_through : exit_failed;
    v.text = what + "; parts: " + parts_text(run) + "; findings: " + counts_text(counts);
    return v;
}

}  // namespace clonesim
