// Tool parts of the PDM database may not leave it: an export that holds a
// tool PDI is refused as a whole before the host applies its defaults.
#include "export/export_naming.h"
#include "host/host_api.h"
#include "host/host_memory.h"
#include "host/host_table.h"
#include "pdm/pdm_requests.h"
#include "export/export_admission.h"
#include "host/host_codes.h"
#include "session/messages.h"

#include <string>
#include <string_view>

namespace kx {

namespace {


// Once started, the host's part iteration is stopped on every way out. One
// that the host could not start has no parts to hand out and nothing to stop.
class part_iteration {
public:
    part_iteration() : started_(host_ops().HOST_CLONE_start_iteration() == 0) {}
    ~part_iteration()
    {
        if (started_) host_ops().HOST_CLONE_stop_iteration();
    }
    part_iteration(const part_iteration&) = delete;
    part_iteration& operator=(const part_iteration&) = delete;

    // The next part's name; null after the last part.
    host_text next()
    {
        host_text part_name;
        if (started_) host_ops().HOST_CLONE_iterate(out(part_name));
        return part_name;
    }

private:
    bool started_;
};


// Whether the part is a tool PDI; `elements` keeps the split name for the
// message.
bool is_tool_pdi(const char* part_name, host_string_array& elements)
{
    split_from_second(view(part_name), '/', elements);
    // A name without item ID and revision ID names no PDI.
    if (elements.count() < 3) return false;
    if (elements[2].size() != pdi_revision_length) return false;
    std::string part_type;
    if (find_clone_attribute(part_name, "DB_PART_TYPE", part_type) != 0) return false;
    return part_type == "CORP_Tool";
}

}  // namespace

int work::export_admission(int point, const char* /*part_name*/, void* /*data*/)
{
    int operation_class = class_unknown;
    host_ops().HOST_CLONE_ask_operation_class(&operation_class);
    if (point != point_begin_apply_defaults) return 0;

    part_iteration iteration;
    for (host_text part_name = iteration.next(); part_name; part_name = iteration.next()) {
        int part_state = 0;
        host_ops().HOST_CLONE_ask_part_state(part_name.get(), &part_state);
        if (is_referenced_only(part_state) || operation_class != class_export) continue;

        host_string_array elements;
        if (!is_tool_pdi(part_name.get(), elements)) continue;

        show_error(export_refused, msg::tool_pdi_refused(elements[1], elements[2]));
        return export_refused;
    }
    return 0;
}

}  // namespace kx
