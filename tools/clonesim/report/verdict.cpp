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

}  // namespace

part_counts count_parts(const run_outcome& run)
{
    part_counts counts;
    for (const part_outcome& part : run.parts) {
        if (!part.translated)
            ++counts.not_reached;
        else if (part.status == 0)
            ++counts.translated;
        else
            ++counts.refused;
    }
    return counts;
}

std::string parts_text(const run_outcome& run)
{
    const part_counts counts = count_parts(run);
    std::string text = count_of(counts.translated, "part", "parts") + (is_export(run) ? " exported" : " translated") +
                       ", " + std::to_string(counts.refused) + " refused";
    if (counts.not_reached > 0) text += ", " + std::to_string(counts.not_reached) + " not reached";
    return text;
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
    verdict v;
    v.went_through = !refused.has_value();
    std::string text = refused.value_or(operation_name(run.scene.operation_class) + " went through");
    if (run.scene.dry_run && v.went_through) text += " (dry run)";
    text += ": " + parts_text(run) + "; " + counts_text(counts);
    const bool failed = !v.went_through || counts.errors > 0 || (strict && counts.warnings > 0);
    v.exit_status = failed ? exit_failed : exit_went_through;
    if (v.went_through && counts.errors > 0) text += " (errors found)";
    else if (v.went_through && strict && counts.warnings > 0) text += " (warnings fail with --strict)";
    v.text = std::move(text);
    return v;
}

}  // namespace clonesim
