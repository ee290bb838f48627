#include "sweep/expectations.h"

#include "host/host_codes.h"
#include "server/pdm_server.h"
#include "session/messages.h"
#include "texts/texts.h"

#include <initializer_list>
#include <map>

namespace clonesim {

namespace {

using kx::class_clone;
using kx::class_export;
using kx::class_import;
using kx::point_after_part;
using kx::point_begin_perform;
using kx::point_end_perform;
using kx::point_init_clone;

int count_in(const std::map<std::string, int>& counts, const std::string& operation)
{
    const auto found = counts.find(operation);
    return found == counts.end() ? 0 : found->second;
}

bool is_one_of(const std::string& operation, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (operation == name) return true;
    return false;
}

bool clones_or_imports(int operation_class) { return operation_class == class_clone || operation_class == class_import; }

// The part name behind a native file name record (fill_import_filename),
// from the clean session's parts.
std::string part_of_native_file_record(const run_outcome& clean, const std::string& input)
{
    const std::vector<std::string> f = fields(input, "#");
    if (f.size() < 3) return {};
    for (const part_outcome& part : clean.parts) {
        const auto slash = part.name.rfind('/');
        const std::string native = slash == std::string::npos ? part.name : part.name.substr(slash + 1);
        if (part.item_id == f[0] && part.rev_id == f[1] && native == f[2]) return part.name;
    }
    return {};
}

}  // namespace

located_call locate_host_call(const std::vector<step_mark>& steps, const std::string& operation, int nth)
{
    int before = 0;
    for (const step_mark& step : steps) {
        const int count = count_in(step.call_counts, operation);
        if (count >= nth) return located_call{&step, nth - before};
        before = count;
    }
    return {};
}

const step_mark* locate_request(const std::vector<step_mark>& steps, std::size_t nth)
{
    for (const step_mark& step : steps)
        if (step.requests >= nth) return &step;
    return nullptr;
}

// The messages the failures of host calls must show, by the step their call
// belongs to. Faults whose call is made from several places within a step
// count only where the place follows from the step's order of work.
std::optional<expectation> host_call_expectation(int operation_class, const std::string& operation,
                                                 const located_call& at, bool persistent)
{
    if (at.step == nullptr) return std::nullopt;
    const int point = at.step->point;
    const std::string& part_name = at.step->part_name;

    if (point == point_init_clone && operation == "HOST_PDM_set_clone_auto_trans" && !persistent)
        return expectation{"translation callback not installed: no message", shown::no_error_box, ""};

    if (point == translation_step && clones_or_imports(operation_class)) {
        if (is_one_of(operation, {"HOST_CLONE_ask_def_item_type", "HOST_CLONE_ask_def_pdm_name",
                                  "HOST_CLONE_ask_def_pdm_desc"}))
            return expectation{"clone defaults unreadable", shown::error_box, std::string(kx::msg::memory)};
        if (is_one_of(operation, {"HOST_CLONE_ask_item_type", "HOST_CLONE_ask_pdm_name", "HOST_CLONE_ask_pdm_desc"}))
            return expectation{"part clone settings unreadable", shown::error_box, std::string(kx::msg::settings)};
        if (operation == "HOST_CLONE_ask_attribute_values" && at.index_in_step == 1)
            return expectation{"import attributes unreadable", shown::error_box, std::string(kx::msg::memory)};
        if (is_one_of(operation, {"HOST_PDM_assign_part_number", "HOST_PDM_assign_part_rev"}) ||
            (operation == "HOST_PDM_ask_part_tag" && at.index_in_step == 1))
            return expectation{"item identity undecided", shown::error_box,
                               std::string(kx::msg::identity)};
        if ((operation == "HOST_PDM_ask_part_tag" && at.index_in_step == 2) ||
            is_one_of(operation, {"HOST_CLONE_ask_action", "HOST_CLONE_ask_def_action"}))
            return expectation{"part not recorded", shown::error_box, std::string(kx::msg::import_record)};
        if (operation == "HOST_CLONE_set_pdm_name")
            return expectation{"PDM name refused", shown::error_box, std::string(kx::msg::item_name)};
        if (operation == "HOST_CLONE_set_pdm_desc")
            return expectation{"PDM description refused", shown::error_box, std::string(kx::msg::item_description)};
        if (operation == "HOST_CLONE_set_item_type")
            return expectation{"item type refused: the host's text", shown::error_box,
                               sim::fail_message(host_fault_status)};
        if (operation == "HOST_FILE_ask_name" && !persistent)
            return expectation{"no file name on the derived-name road: no message", shown::no_error_box, ""};
    }

    if (point == point_after_part && operation_class == class_import && !persistent &&
        is_one_of(operation, {"HOST_CLONE_ask_pdm_name", "HOST_CLONE_ask_pdm_desc"}))
        return expectation{"name unreadable after a part: no message", shown::no_error_box, ""};

    if (point == point_after_part && operation_class == class_export &&
        is_one_of(operation, {"HOST_PART_save", "HOST_TEXT_open", "HOST_TEXT_read_line"}))
        return expectation{"design log not written", shown::listing, kx::msg::could_not_sync(part_name)};

    return std::nullopt;
}

namespace {

// Requests whose refusal stops the step that sent them, with an error box.
std::optional<expectation> refused_in_its_step(int operation_class, const failed_request& f, int point)
{
    const std::string reply_or_host_text =
        f.with_reply ? std::string(server_fault_reply) : sim::fail_message(server_fault_status);
    switch (f.request.code) {
    case kx::request_begin_import:
    case kx::request_end_import:
        if (clones_or_imports(operation_class))
            return expectation{"begin or end of import refused: the reply", shown::error_box, reply_or_host_text};
        break;
    case kx::request_prepare_new_items:
        if (operation_class == class_import && point == point_begin_perform)
            return expectation{"new items not announced: the reply", shown::error_box, reply_or_host_text};
        break;
    case kx::request_get_related_name:
        if (f.with_reply && point == translation_step)
            return expectation{"related part name refused: the reply", shown::error_box, server_fault_reply};
        break;
    case kx::request_get_item_type:
        if (point == translation_step)
            return expectation{"item type of an existing item unknown", shown::error_box,
                               std::string(kx::msg::identity)};
        break;
    default:
        break;
    }
    return std::nullopt;
}

// An export part's file name: only a part the export's own rules do not
// skip shows its refusal.
std::optional<expectation> refused_export_file_name(const failed_request& f, const scenario& scene)
{
    const sim::clone_part* part = nullptr;
    for (const sim::clone_part& p : scene.parts)
        if (p.name == f.step->part_name) part = &p;
    if (part == nullptr || kx::is_referenced_only(part->state)) return std::nullopt;
    return expectation{"export file name refused", shown::error_box, std::string(kx::msg::export_file_name)};
}

// Requests of the completion, whose refusal is written to the listing
// window and lets the completion go on.
std::optional<expectation> refused_in_completion(int operation_class, const failed_request& f, int point,
                                                 const run_outcome& clean)
{
    const std::string input = f.request.input.value_or("");
    if (f.request.code == kx::request_get_export_attributes && operation_class == class_export &&
        point == point_after_part)
        return expectation{"export attributes refused", shown::listing, kx::msg::export_attributes_failed(input)};
    if (operation_class != class_import || point != point_end_perform) return std::nullopt;
    switch (f.request.code) {
    case kx::request_pdi_backfill:
        return expectation{"back-fill refused", shown::listing, kx::msg::pdi_backfill_failed("")};
    case kx::request_fill_import_filename:
        return expectation{"native file name not recorded", shown::listing,
                           kx::msg::native_filename_failed(part_of_native_file_record(clean, input))};
    case kx::request_auto_publish:
        return expectation{"publishing refused", shown::listing, kx::msg::auto_publish_failed("")};
    default:
        return std::nullopt;
    }
}

// Requests whose answer the library does not examine as a refusal.
std::optional<expectation> not_examined(const failed_request& f)
{
    switch (f.request.code) {
    case kx::request_check_revision:
    case kx::request_set_name_description:
    case kx::request_get_owner_name:
        if (!f.persistent) return expectation{"request not examined: no message", shown::no_error_box, ""};
        break;
    case kx::request_get_exceptions:
        if (!f.persistent && !f.with_reply)
            return expectation{"no exception list: no message", shown::no_error_box, ""};
        break;
    default:
        break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<expectation> request_expectation(const failed_request& failure, const run_outcome& clean)
{
    const int operation_class = clean.scene.operation_class;
    const int point = failure.step != nullptr ? failure.step->point : -100;
    if (auto e = refused_in_its_step(operation_class, failure, point)) return e;
    if (failure.request.code == kx::request_get_export_file_name && operation_class == class_export &&
        point == translation_step)
        return refused_export_file_name(failure, clean.scene);
    if (auto e = refused_in_completion(operation_class, failure, point, clean)) return e;
    return not_examined(failure);
}

// Empty when the session showed what it must.
std::string check_shown(const expectation& e, const run_outcome& run, const run_outcome& clean)
{
    switch (e.where) {
    case shown::error_box:
        for (const sim::message_box& box : run.message_boxes)
            if (box.title == "Error" && box.message == e.text) return {};
        return "the error box " + quote(e.text) + " was not shown (" + e.rule + ")";
    case shown::listing:
        if (run.listing.find(e.text) != std::string::npos) return {};
        return "the listing window did not get " + quote(e.text) + " (" + e.rule + ")";
    case shown::no_error_box:
        // Boxes the clean session shows too (a part the site refuses) are
        // not the failure's.
        for (const sim::message_box& box : run.message_boxes) {
            bool also_clean = false;
            for (const sim::message_box& c : clean.message_boxes)
                also_clean = also_clean || (c.title == box.title && c.message == box.message);
            if (!also_clean) return "an error box " + quote(box.message) + " was shown (" + e.rule + ")";
        }
        return {};
    }
    return {};
}

}  // namespace clonesim
