// What the simulated host keeps for itself: live allocations, open text
// channels and the helpers the HOST_* operations share.
#pragma once

#include "sim_host.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sim {

struct text_channel {
    std::FILE* stream = nullptr;
    std::string path;
};

// Positions by name in one of the model's public vectors. The vectors are
// written directly by tests and tools, so an index only trusts itself while
// the vector keeps the storage and size it was built from, and every hit is
// checked against the element it points to.
struct name_index {
    const void* storage = nullptr;
    std::size_t size = 0;
    bool built = false;
    std::unordered_map<std::string, std::size_t> positions;  // first element of each name
    // The element found last: a session asks about one part many times in a
    // row, and that element is still in the cache.
    std::size_t last = 0;
    bool has_last = false;
    bool duplicates = false;  // some name is held by more than one element

    bool fresh(const void* data, std::size_t count) const { return built && storage == data && size == count; }
    void clear()
    {
        storage = nullptr;
        size = 0;
        built = false;
        positions.clear();
        has_last = false;
    }
};

// The host's live blocks and their sizes, by address: a page of slots for
// each MiB of memory that holds a block, one slot per 32 bytes (no two live
// blocks of the allocator start within 32 bytes of each other). Blocks made
// or given back one after another sit in neighbouring slots, so a session
// that holds hundreds of thousands of blocks costs no more per call than a
// small one, and a foreign pointer is told apart exactly.
class block_table {
public:
    std::size_t size() const { return count_; }
    bool contains(const void* block) const { return find(block).has_value(); }
    // The size of a live block; nullopt when the block is not live.
    std::optional<std::size_t> find(const void* block) const;
    void insert(void* block, std::size_t size);  // the block must not be live
    bool erase(const void* block);
    template <class F>
    void for_each(F&& f) const
    {
        for (const auto& [number, page] : pages_)
            for (std::size_t i = 0; i < page->slots.size(); ++i)
                if (page->slots[i] != 0) f(block_at(number, i, page->slots[i]), size_of(page->slots[i]));
    }
    void clear();

private:
    static constexpr unsigned slot_shift = 5;
    static constexpr unsigned page_shift = 20;
    static constexpr std::size_t page_slots = std::size_t{1} << (page_shift - slot_shift);

    // A slot holds the size + 1 above one bit: whether the block starts 16
    // bytes into its 32; 0 is an empty slot.
    struct page {
        std::vector<std::uint32_t> slots = std::vector<std::uint32_t>(page_slots);
        std::size_t live = 0;
    };
    static std::uint32_t encode(const void* block, std::size_t size);
    static std::size_t size_of(std::uint32_t slot) { return (slot >> 1) - 1; }
    static void* block_at(std::uintptr_t number, std::size_t index, std::uint32_t slot)
    {
        return reinterpret_cast<void*>((number << page_shift) | (index << slot_shift) | ((slot & 1u) << 4));
    }
    page* page_of(std::uintptr_t number) const;

    std::unordered_map<std::uintptr_t, std::unique_ptr<page>> pages_;
    mutable std::uintptr_t last_number_ = ~std::uintptr_t{0};
    mutable page* last_page_ = nullptr;
    std::size_t count_ = 0;
};

struct host_internals {
    block_table live_blocks;  // pointer -> size
    std::map<int, text_channel> channels;
    int next_channel = 0;
    name_index parts_by_name;
    name_index items_by_id;
    // Reverse of host_model::part_tags, which only part_tag() writes.
    std::unordered_map<std::string, host_tag_t> tags_by_name;
    // The part file opened last, which the calls that follow an open (save,
    // close, attributes) are about. Trusted only while `part_files` keeps the
    // size it had; emptied by reset_model() and reindex().
    struct {
        part_file* file = nullptr;
        std::map<std::string, part_file>::iterator at;  // of `file`
        std::string name;
        host_tag_t tag = HOST_NULL_TAG;
        std::size_t files = 0;
    } opened;
};

// The part file opened last when it is the one named, or tagged; else null.
part_file* opened_file(const std::string& name);
part_file* opened_file(host_tag_t tag);

host_internals& internals();

// Counts the call and answers the status of an injected fault that fires on
// it, or nullopt when the call goes on.
std::optional<int> count_call(const char* operation);

// Logs the call (when the model logs calls; `describe` builds the argument
// text only then) and counts it, as count_call.
template <class Describe>
std::optional<int> enter(const char* operation, Describe&& describe)
{
    host_model& h = host();
    if (h.log_calls) h.calls.push_back(std::string(operation) + "(" + describe() + ")");
    return count_call(operation);
}

// The tag (index + 1) of the first item with this ID; HOST_NULL_TAG when none.
host_tag_t item_tag(const std::string& item_id);

// A text argument as the call log shows it.
std::string arg(const char* text);

// The host's own allocator, used for everything it hands out. These do not
// count as calls of HOST_allocate_memory and never fail by injection.
// Rebuilds the lookup indexes from the model as it stands.
void reindex();

void* tracked_allocate(std::size_t size);
void* tracked_reallocate(void* block, std::size_t size);
// Records a misuse and leaves the block alone when it is not a live block.
bool tracked_free(void* block, const char* what);
bool is_tracked(const void* block);
char* tracked_copy(std::string_view text);
char* tracked_copy(const std::optional<std::string>& text);  // NULL when absent
char** tracked_string_array(const std::vector<std::string>& texts);

}  // namespace sim
