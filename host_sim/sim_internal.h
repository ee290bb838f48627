// What the simulated host keeps for itself: live allocations, open text
// channels and the helpers the HOST_* operations share.
#pragma once

#include "sim_host.h"

#include <cstdio>
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

struct host_internals {
    std::unordered_map<void*, std::size_t> live_blocks;  // pointer -> size
    std::map<int, text_channel> channels;
    int next_channel = 0;
};

host_internals& internals();

// Logs the call and counts it; answers the status of an injected fault that
// fires on this call, or nullopt when the call goes on.
std::optional<int> enter(const char* operation, const std::string& args);

// A text argument as the call log shows it.
std::string arg(const char* text);

// The host's own allocator, used for everything it hands out. These do not
// count as calls of HOST_allocate_memory and never fail by injection.
void* tracked_allocate(std::size_t size);
void* tracked_reallocate(void* block, std::size_t size);
// Records a misuse and leaves the block alone when it is not a live block.
bool tracked_free(void* block, const char* what);
bool is_tracked(const void* block);
char* tracked_copy(std::string_view text);
char* tracked_copy(const std::optional<std::string>& text);  // NULL when absent
char** tracked_string_array(const std::vector<std::string>& texts);

}  // namespace sim
