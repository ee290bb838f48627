// The simulated host's model, its allocator and its accounting. The HOST_*
// operations themselves are in sim_operations.cpp.
#include "sim_internal.h"

#include "host/host_operations.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

// The first tag handed to a part file; item tags count from 1.
constexpr host_tag_t first_part_tag = 100001u;

}  // namespace

// Neither the model nor the host's private state is ever destroyed: the
// library may give memory back from its own static destructors, after
// function-local statics here would already be gone.
host_model& host()
{
    static host_model* model = new host_model;
    return *model;
}

host_internals& internals()
{
    static host_internals* state = new host_internals;
    return *state;
}

void reset()
{
    host_internals& in = internals();
    in.live_blocks.for_each([](void* block, std::size_t) { std::free(block); });
    in.live_blocks.clear();
    reset_model();
}

void reset_model()
{
    host_internals& in = internals();
    for (auto& [channel, file] : in.channels)
        if (file.stream != nullptr) std::fclose(file.stream);
    in.channels.clear();
    in.next_channel = 0;
    host() = host_model{};
    reindex();
}

void reindex()
{
    host_internals& in = internals();
    in.parts_by_name.clear();
    in.items_by_id.clear();
    in.tags_by_name.clear();
    in.opened.file = nullptr;
    in.opened.name.clear();
    in.opened.tag = HOST_NULL_TAG;
}

part_file* opened_file(const std::string& name)
{
    const auto& opened = internals().opened;
    if (opened.file == nullptr || opened.files != host().part_files.size() || opened.name != name) return nullptr;
    return opened.file;
}

part_file* opened_file(host_tag_t tag)
{
    const auto& opened = internals().opened;
    if (opened.file == nullptr || opened.files != host().part_files.size() || opened.tag != tag) return nullptr;
    return opened.file;
}

std::size_t outstanding_allocations() { return internals().live_blocks.size(); }

namespace {

thread_local int library_depth = 0;
thread_local int host_depth = 0;

}  // namespace

bool library_code_running() noexcept { return library_depth > 0 && host_depth == 0; }

library_call_scope::library_call_scope() noexcept { ++library_depth; }
library_call_scope::~library_call_scope() { --library_depth; }
host_code_scope::host_code_scope() noexcept { ++host_depth; }
host_code_scope::~host_code_scope() { --host_depth; }

int calls_of(const std::string& operation)
{
    const auto& counts = host().call_counts;
    const auto found = counts.find(operation);
    return found == counts.end() ? 0 : found->second;
}

std::string fail_message(int status) { return "host status " + std::to_string(status); }

bool is_host_operation(std::string_view name)
{
#define KX_OPERATION_NAME(result, operation, parameters, arguments, sizes) #operation,
    static constexpr std::string_view operations[] = {KX_HOST_OPERATIONS(KX_OPERATION_NAME)};
#undef KX_OPERATION_NAME
    return std::find(std::begin(operations), std::end(operations), name) != std::end(operations);
}

fault::fault(std::string operation_name, int nth_call, bool from_then_on, int failure_status)
    : nth(nth_call), persistent(from_then_on), status(failure_status), operation_(std::move(operation_name))
{
    if (!is_host_operation(operation_)) throw std::invalid_argument("\"" + operation_ + "\" is not a host operation");
}

namespace {

template <class T, class Key>
void rebuild(name_index& index, const std::vector<T>& elements, Key key)
{
    index.positions.clear();
    // Room for what the vector has room for: items are added one by one.
    index.positions.reserve(elements.capacity());
    index.duplicates = false;
    for (std::size_t i = 0; i < elements.size(); ++i)
        if (!index.positions.try_emplace(key(elements[i]), i).second) index.duplicates = true;
    index.storage = elements.data();
    index.size = elements.size();
    index.built = true;
    index.has_last = false;
}

// The position of the first element named `name`, through the index; a
// stale hit rebuilds it. nullopt when the index has no such name.
template <class T, class Key>
std::optional<std::size_t> indexed_position(name_index& index, const std::vector<T>& elements, const std::string& name,
                                            Key key)
{
    if (!index.fresh(elements.data(), elements.size())) rebuild(index, elements, key);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto found = index.positions.find(name);
        if (found == index.positions.end()) return std::nullopt;
        if (found->second < elements.size() && key(elements[found->second]) == name) {
            index.last = found->second;
            index.has_last = true;
            return found->second;
        }
        rebuild(index, elements, key);  // an element was changed in place
    }
    return std::nullopt;
}

}  // namespace

clone_part* find_part(const std::string& name)
{
    auto& parts = host().parts;
    name_index& index = internals().parts_by_name;
    // The host and the library mostly ask about the part they asked about
    // last, or the one after it as they go through the session in order.
    // Without two parts of one name, such a part is the first of its name.
    if (index.has_last && !index.duplicates && index.fresh(parts.data(), parts.size())) {
        for (std::size_t at = index.last; at < parts.size() && at <= index.last + 1; ++at) {
            if (parts[at].name != name) continue;
            index.last = at;
            return &parts[at];
        }
    }
    const auto key = [](const clone_part& part) -> const std::string& { return part.name; };
    if (const auto at = indexed_position(index, parts, name, key)) return &parts[*at];
    // A name the index does not hold is looked for in the vector itself, so
    // that a part renamed in place is still found. The names asked for are
    // nearly always the session's own, so this costs nothing in practice.
    for (clone_part& part : parts)
        if (part.name == name) return &part;
    return nullptr;
}

host_tag_t item_tag(const std::string& item_id)
{
    const auto key = [](const pdm_item& item) -> const std::string& { return item.item_id; };
    const auto at = indexed_position(internals().items_by_id, host().items, item_id, key);
    return at.has_value() ? static_cast<host_tag_t>(*at + 1) : HOST_NULL_TAG;
}

host_tag_t add_item(pdm_item item)
{
    auto& items = host().items;
    name_index& index = internals().items_by_id;
    const bool was_fresh = index.fresh(items.data(), items.size());
    const std::string id = item.item_id;
    items.push_back(std::move(item));
    if (was_fresh) {
        // Kept up to date rather than rebuilt: sessions add items one by one.
        index.positions.try_emplace(id, items.size() - 1);
        index.storage = items.data();
        index.size = items.size();
    }
    return static_cast<host_tag_t>(items.size());
}

const std::string* part_attribute(const part_file& file, const std::string& title)
{
    for (const attribute& attr : file.attributes)
        if (attr.first == title) return &attr.second;
    return nullptr;
}

host_tag_t part_tag(const std::string& name)
{
    auto& tags = host().part_tags;
    auto& by_name = internals().tags_by_name;
    if (by_name.size() != tags.size()) {
        by_name.clear();
        for (const auto& [tag, tagged] : tags) by_name.try_emplace(tagged, tag);
    }
    if (const auto found = by_name.find(name); found != by_name.end()) {
        const auto tagged = tags.find(found->second);
        if (tagged != tags.end() && tagged->second == name) return found->second;
    }
    const host_tag_t tag = tags.empty() ? first_part_tag : tags.rbegin()->first + 1;
    tags.emplace_hint(tags.end(), tag, name);
    by_name[name] = tag;
    return tag;
}

std::size_t open_text_channels() { return internals().channels.size(); }

// --- accounting -------------------------------------------------------------

std::optional<int> count_call(const char* operation)
{
    host_model& h = host();
    const int n = ++h.call_counts[operation];
    for (const fault& f : h.faults) {
        if (f.operation() != operation) continue;
        if (n == f.nth || (f.persistent && n >= f.nth)) {
            h.faults_fired.push_back(std::string(operation) + " #" + std::to_string(n));
            return f.status;
        }
    }
    return std::nullopt;
}

std::string arg(const char* text) { return text != nullptr ? std::string(text) : std::string("NULL"); }

// --- tracked memory ---------------------------------------------------------

std::uint32_t block_table::encode(const void* block, std::size_t size)
{
    // Sizes beyond what the host's allocator takes are not asked for.
    const std::uint32_t stored = size >= 0x7FFFFFFEu ? 0x7FFFFFFEu : static_cast<std::uint32_t>(size);
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    return ((stored + 1) << 1) | static_cast<std::uint32_t>((address >> 4) & 1u);
}

block_table::page* block_table::page_of(std::uintptr_t number) const
{
    if (number == last_number_) return last_page_;
    const auto found = pages_.find(number);
    if (found == pages_.end()) return nullptr;
    last_number_ = number;
    last_page_ = found->second.get();
    return last_page_;
}

std::optional<std::size_t> block_table::find(const void* block) const
{
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    if (block == nullptr || (address & 15u) != 0) return std::nullopt;
    const page* p = page_of(address >> page_shift);
    if (p == nullptr) return std::nullopt;
    const std::uint32_t slot = p->slots[(address >> slot_shift) & (page_slots - 1)];
    if (slot == 0 || (slot & 1u) != ((address >> 4) & 1u)) return std::nullopt;
    return size_of(slot);
}

void block_table::insert(void* block, std::size_t size)
{
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t number = address >> page_shift;
    page* p = page_of(number);
    if (p == nullptr) {
        auto fresh = std::make_unique<page>();
        p = fresh.get();
        pages_.emplace(number, std::move(fresh));
        last_number_ = number;
        last_page_ = p;
    }
    std::uint32_t& slot = p->slots[(address >> slot_shift) & (page_slots - 1)];
    if (slot == 0) {
        ++p->live;
        ++count_;
    }
    slot = encode(block, size);
}

bool block_table::erase(const void* block)
{
    if (!find(block).has_value()) return false;
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    page* p = page_of(address >> page_shift);
    p->slots[(address >> slot_shift) & (page_slots - 1)] = 0;
    --p->live;
    --count_;
    // Pages stay for blocks to come: memory, once used, is used again.
    return true;
}

void block_table::clear()
{
    pages_.clear();
    last_number_ = ~std::uintptr_t{0};
    last_page_ = nullptr;
    count_ = 0;
}

void* tracked_allocate(std::size_t size)
{
    // malloc(0) may answer NULL, which would read as a failure.
    void* block = std::malloc(size != 0 ? size : 1);
    if (block != nullptr) internals().live_blocks.insert(block, size);
    return block;
}

void* tracked_reallocate(void* block, std::size_t size)
{
    // The old entry goes before the block may move, so no stale pointer is read.
    auto& live = internals().live_blocks;
    const std::size_t old_size = live.find(block).value_or(0);
    live.erase(block);
    void* fresh = std::realloc(block, size != 0 ? size : 1);
    if (fresh == nullptr) {
        live.insert(block, old_size);  // realloc failed: the old block is still valid
        return nullptr;
    }
    live.insert(fresh, size);
    return fresh;
}

bool tracked_free(void* block, const char* what)
{
    if (block == nullptr) return true;
    if (!internals().live_blocks.erase(block)) {
        // Freeing it for real would crash or corrupt the heap; keep going so
        // that the test can report the misuse.
        host().misuse.push_back(std::string(what) + ": memory the host did not hand out, or already freed");
        return false;
    }
    std::free(block);
    return true;
}

bool is_tracked(const void* block) { return internals().live_blocks.contains(block); }

char* tracked_copy(std::string_view text)
{
    auto* copy = static_cast<char*>(tracked_allocate(text.size() + 1));
    if (copy == nullptr) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

char* tracked_copy(const std::optional<std::string>& text)
{
    return text.has_value() ? tracked_copy(std::string_view(*text)) : nullptr;
}

char** tracked_string_array(const std::vector<std::string>& texts)
{
    auto** array = static_cast<char**>(tracked_allocate(texts.size() * sizeof(char*)));
    if (array == nullptr) return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        array[i] = tracked_copy(std::string_view(texts[i]));
        if (array[i] == nullptr) {
            for (std::size_t j = 0; j < i; ++j) tracked_free(array[j], "tracked_string_array");
            tracked_free(array, "tracked_string_array");
            return nullptr;
        }
    }
    return array;
}

}  // namespace sim
