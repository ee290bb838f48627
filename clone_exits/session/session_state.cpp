#include "session/session_state.h"

#include <functional>

namespace kx {

namespace {

union state_storage {
    library_state value;
    constexpr state_storage() : value() {}
    ~state_storage() {}
};
constinit state_storage storage;

}  // namespace

library_state& state() noexcept { return storage.value; }

void reset_library_state()
{
    library_state& s = state();
    s.file_struct_index.clear();
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

int free_dialog_struct()
{
    state().dialog_struct.reset();
    return 0;
}

int free_file_struct()
{
    state().file_struct_index.clear();
    state().file_struct.reset();
    return 0;
}

void append_file_entry(file_entry&& entry)
{
    library_state& s = state();
    s.file_struct.push_back_reserved(std::move(entry));
    const std::size_t position = s.file_struct.size() - 1;
    s.file_struct_index.add(view(s.file_struct[position].part_spec), position, s.file_struct);
}

std::size_t part_spec_index::probe(std::string_view part_spec, std::size_t hash,
                                   const host_vector<file_entry>& entries) const
{
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].position != 0 &&
           (slots_[i].hash != hash || view(entries[slots_[i].position - 1].part_spec) != part_spec))
        i = (i + 1) & mask;
    return i;
}

void part_spec_index::add(std::string_view part_spec, std::size_t position, const host_vector<file_entry>& entries)
{
    if ((count_ + 1) * 2 > slots_.size()) {
        std::vector<slot> old(slots_.empty() ? 64 : slots_.size() * 2);
        old.swap(slots_);
        for (const slot& s : old) {
            if (s.position == 0) continue;
            std::size_t i = s.hash & (slots_.size() - 1);
            while (slots_[i].position != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }
    const std::size_t hash = std::hash<std::string_view>{}(part_spec);
    slot& found = slots_[probe(part_spec, hash, entries)];
    // The first entry of a part_spec is the one the perform phase uses.
    if (found.position != 0) return;
    found = slot{hash, position + 1};
    ++count_;
}

std::optional<std::size_t> part_spec_index::find(std::string_view part_spec,
                                                 const host_vector<file_entry>& entries) const
{
    if (count_ == 0) return std::nullopt;
    const slot& found = slots_[probe(part_spec, std::hash<std::string_view>{}(part_spec), entries)];
    if (found.position == 0) return std::nullopt;
    return found.position - 1;
}

void part_spec_index::clear() noexcept
{
    slots_ = std::vector<slot>();
    count_ = 0;
}

}  // namespace kx
