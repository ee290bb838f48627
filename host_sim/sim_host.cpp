// The simulated host's model, its allocator and its accounting. The HOST_*
// operations themselves are in sim_operations.cpp.
#include "sim_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    for (auto& [block, size] : in.live_blocks) std::free(block);
    in.live_blocks.clear();
    for (auto& [channel, file] : in.channels)
        if (file.stream != nullptr) std::fclose(file.stream);
    in.channels.clear();
    in.next_channel = 0;
    host() = host_model{};
}

std::size_t outstanding_allocations() { return internals().live_blocks.size(); }

int calls_of(const std::string& operation)
{
    const auto& counts = host().call_counts;
    const auto found = counts.find(operation);
    return found == counts.end() ? 0 : found->second;
}

std::string fail_message(int status) { return "host status " + std::to_string(status); }

clone_part* find_part(const std::string& name)
{
    for (clone_part& part : host().parts)
        if (part.name == name) return &part;
    return nullptr;
}

host_tag_t add_item(pdm_item item)
{
    host().items.push_back(std::move(item));
    return static_cast<host_tag_t>(host().items.size());
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
    for (const auto& [tag, tagged] : tags)
        if (tagged == name) return tag;
    const host_tag_t tag = tags.empty() ? first_part_tag : tags.rbegin()->first + 1;
    tags.emplace(tag, name);
    return tag;
}

std::size_t open_text_channels() { return internals().channels.size(); }

// --- accounting -------------------------------------------------------------

std::optional<int> enter(const char* operation, const std::string& args)
{
    host_model& h = host();
    h.calls.push_back(std::string(operation) + "(" + args + ")");
    const int n = ++h.call_counts[operation];
    for (const fault& f : h.faults) {
        if (f.operation != operation) continue;
        if (n == f.nth || (f.persistent && n >= f.nth)) return f.status;
    }
    return std::nullopt;
}

std::string arg(const char* text) { return text != nullptr ? std::string(text) : std::string("NULL"); }

// --- tracked memory ---------------------------------------------------------

void* tracked_allocate(std::size_t size)
{
    // malloc(0) may answer NULL, which would read as a failure.
    void* block = std::malloc(size != 0 ? size : 1);
    if (block != nullptr) internals().live_blocks[block] = size;
    return block;
}

void* tracked_reallocate(void* block, std::size_t size)
{
    // The old entry goes before the block may move, so no stale pointer is read.
    auto& live = internals().live_blocks;
    const auto old_size = live[block];
    live.erase(block);
    void* fresh = std::realloc(block, size != 0 ? size : 1);
    if (fresh == nullptr) {
        live[block] = old_size;  // realloc failed: the old block is still valid
        return nullptr;
    }
    live[fresh] = size;
    return fresh;
}

bool tracked_free(void* block, const char* what)
{
    if (block == nullptr) return true;
    auto& live = internals().live_blocks;
    const auto found = live.find(block);
    if (found == live.end()) {
        // Freeing it for real would crash or corrupt the heap; keep going so
        // that the test can report the misuse.
        host().misuse.push_back(std::string(what) + ": memory the host did not hand out, or already freed");
        return false;
    }
    live.erase(found);
    std::free(block);
    return true;
}

bool is_tracked(const void* block)
{
    return internals().live_blocks.count(const_cast<void*>(block)) != 0;
}

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
