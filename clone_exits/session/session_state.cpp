#include "session/session_state.h"

namespace kx {

library_state& state()
{
    static library_state* instance = new library_state();
    return *instance;
}

void reset_library_state()
{
    library_state& s = state();
    s.file_struct.reset();
    s.dialog_struct.reset();
    s.import_item_list.reset();
    s.end_assy_load_suspended = false;
    s.begin_part_load_suspended = false;
    s.saved_end_assy_load = nullptr;
    s.saved_begin_part_load = nullptr;
    s.exception_list.reset();
    s.import_map = import_attr_map{};
    s.family_instance_check = false;
}

int free_text(host_text& text)
{
    text.reset();
    return 0;
}

int free_dialog_struct()
{
    state().dialog_struct.reset();
    return 0;
}

int free_file_struct()
{
    state().file_struct.reset();
    return 0;
}

int free_import_attributes(host_object<import_attributes>& attributes)
{
    attributes.reset();
    return 0;
}

}  // namespace kx
