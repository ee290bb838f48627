// The admission check of an export: a tool part that may not leave the PDM
// database refuses the whole export at Begin_Apply_Defaults.
#pragma once

namespace kx::work {

int export_admission(int point, const char* part_name, void* data);

}  // namespace kx::work
