#include "host/host_memory.h"
#include "host/host_table.h"

#include <cstring>

namespace kx {

namespace {

// HOST_allocate_memory takes an unsigned int; larger requests fail like an
// allocation the host refused.
constexpr std::size_t max_host_allocation = 0xFFFFFFFFu;

int allocate(std::size_t size, void*& out)
{
    out = nullptr;
    if (size > max_host_allocation) return 1;
    int status = 0;
    void* raw = host_ops().HOST_allocate_memory(static_cast<unsigned int>(size), &status);
    if (raw == nullptr) return status != 0 ? status : 1;
    if (status != 0) {
        host_ops().HOST_free(raw);
        return status;
    }
    out = raw;
    return 0;
}

}  // namespace

int grow_host_block(void*& block, std::size_t size)
{
    if (size > max_host_allocation) return 1;
    int status = 0;
    void* grown = host_ops().HOST_reallocate_memory(block, static_cast<unsigned int>(size), &status);
    if (grown == nullptr) return status != 0 ? status : 1;
    block = grown;
    return status;
}

int host_strdup(std::string_view text, host_text& out)
{
    out.reset();
    void* raw = nullptr;
    const int status = allocate(text.size() + 1, raw);
    if (status != 0) return status;
    char* copy = static_cast<char*>(raw);
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    out.reset(copy);
    return 0;
}

int host_strdup_or_null(std::string_view text, host_text& out)
{
    if (text.empty()) {
        out.reset();
        return 0;
    }
    return host_strdup(text, out);
}

int host_attribute_list::fetch(const char* part_spec)
{
    reset();
    return host_ops().HOST_CLONE_ask_attribute_values(part_spec, &count_, &titles_, &values_);
}

int host_text_builder::create(std::size_t capacity)
{
    reset();
    void* raw = nullptr;
    const int status = allocate(capacity + 1, raw);
    if (status != 0) return status;
    data_ = static_cast<char*>(raw);
    data_[0] = '\0';
    capacity_ = capacity;
    return 0;
}

int host_text_builder::reserve_extra(std::size_t extra)
{
    if (data_ == nullptr) return create(extra);
    if (size_ + extra <= capacity_) return 0;
    std::size_t wanted = capacity_ < 16 ? 16 : capacity_;
    while (wanted < size_ + extra) wanted *= 2;
    void* block = data_;
    const int status = grow_host_block(block, wanted + 1);
    data_ = static_cast<char*>(block);
    if (status != 0) return status;
    capacity_ = wanted;
    return 0;
}

void host_text_builder::append_reserved(std::string_view text) noexcept
{
    if (text.empty()) return;
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
    data_[size_] = '\0';
}

int host_text_builder::append(std::string_view text)
{
    const int status = reserve_extra(text.size());
    if (status != 0) return status;
    append_reserved(text);
    return 0;
}

}  // namespace kx
