// Owners for memory that crosses the host boundary. Everything the host hands
// out is taken by one of these at once, so it is released exactly once on every
// path by construction. Allocations that the library makes for the session
// state come from the host's allocator too, so that the host can account for
// them and make them fail.
#pragma once

#include "host/host_api.h"
#include "host/host_table.h"

#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kx {

struct host_free_deleter {
    void operator()(void* p) const noexcept { host_ops().HOST_free(p); }
};

// A NUL-terminated text from the host's allocator.
using host_text = std::unique_ptr<char, host_free_deleter>;

// Absent reads as empty everywhere: compared, measured and formatted as "".
inline std::string_view view(const char* text) noexcept
{
    return text != nullptr ? std::string_view(text) : std::string_view();
}
inline std::string_view view(const host_text& text) noexcept { return view(text.get()); }
inline bool is_empty(const char* text) noexcept { return text == nullptr || *text == '\0'; }
inline bool is_empty(const host_text& text) noexcept { return is_empty(text.get()); }

// Copies `text` into a new host allocation of length + 1. On failure the
// host's status is returned and `out` stays null.
int host_strdup(std::string_view text, host_text& out);

// Grows a host block to `size` bytes; every growing block of the library goes
// through here. On success `block` is the grown block, perhaps moved, and 0 is
// returned. On failure the host's status (1 when it gave none) is returned and
// `block` is still the caller's to use and release: the old block when the
// host gave NULL, as its contract has it; a block handed back with a non-zero
// status replaces it, but its new size is not counted on.
int grow_host_block(void*& block, std::size_t size);

// A copy that is null when `text` is empty: the session records keep absent
// and empty alike as null.
int host_strdup_or_null(std::string_view text, host_text& out);

// Adapts an owner to a `T**` output argument: the owner is emptied before the
// call (so a host that writes nothing reads as "no text") and takes whatever
// the host wrote when the adapter goes out of scope at the end of the call.
template <class Owner>
class out_ptr_t {
public:
    using pointer = typename Owner::pointer;
    explicit out_ptr_t(Owner& owner) noexcept : owner_(owner) { owner_.reset(); }
    ~out_ptr_t() { owner_.reset(raw_); }
    out_ptr_t(const out_ptr_t&) = delete;
    out_ptr_t& operator=(const out_ptr_t&) = delete;
    operator pointer*() noexcept { return &raw_; }

private:
    Owner& owner_;
    pointer raw_ = nullptr;
};

template <class Owner>
out_ptr_t<Owner> out(Owner& owner) noexcept
{
    return out_ptr_t<Owner>(owner);
}

// A counted array of host texts, released with HOST_free_string_array.
class host_string_array {
public:
    host_string_array() = default;
    ~host_string_array() { reset(); }
    host_string_array(host_string_array&& other) noexcept
        : count_(std::exchange(other.count_, 0)), data_(std::exchange(other.data_, nullptr)) {}
    host_string_array& operator=(host_string_array&& other) noexcept
    {
        if (this != &other) {
            reset();
            count_ = std::exchange(other.count_, 0);
            data_ = std::exchange(other.data_, nullptr);
        }
        return *this;
    }
    host_string_array(const host_string_array&) = delete;
    host_string_array& operator=(const host_string_array&) = delete;

    // Released whenever the host handed an array out, even with count 0.
    void reset() noexcept
    {
        if (data_ != nullptr) host_ops().HOST_free_string_array(count_, data_);
        data_ = nullptr;
        count_ = 0;
    }
    // Output arguments for a host call; the array is emptied first.
    int* count_out() noexcept { reset(); return &count_; }
    char*** array_out() noexcept { return &data_; }

    // Takes an array whose elements were all allocated with the host allocator.
    void adopt(int count, char** data) noexcept { reset(); count_ = count; data_ = data; }
    // Gives the array up without releasing it.
    char** release() noexcept { count_ = 0; return std::exchange(data_, nullptr); }

    bool held() const noexcept { return data_ != nullptr; }
    int count() const noexcept { return data_ != nullptr && count_ > 0 ? count_ : 0; }
    std::string_view operator[](int i) const noexcept
    {
        return i >= 0 && i < count() ? view(data_[i]) : std::string_view();
    }
    char** data() const noexcept { return data_; }

private:
    int count_ = 0;
    char** data_ = nullptr;
};

// The title and value arrays of HOST_CLONE_ask_attribute_values.
class host_attribute_list {
public:
    host_attribute_list() = default;
    ~host_attribute_list() { reset(); }
    host_attribute_list(const host_attribute_list&) = delete;
    host_attribute_list& operator=(const host_attribute_list&) = delete;

    void reset() noexcept
    {
        if (titles_ != nullptr) host_ops().HOST_free_string_array(count_, titles_);
        if (values_ != nullptr) host_ops().HOST_free_string_array(count_, values_);
        titles_ = values_ = nullptr;
        count_ = 0;
    }
    // Asks the host for the part's clone attributes; returns the host status.
    int fetch(const char* part_spec);

    int count() const noexcept { return titles_ != nullptr && values_ != nullptr && count_ > 0 ? count_ : 0; }
    std::string_view title(int i) const noexcept { return i < count() ? view(titles_[i]) : std::string_view(); }
    std::string_view value(int i) const noexcept { return i < count() ? view(values_[i]) : std::string_view(); }

private:
    int count_ = 0;
    char** titles_ = nullptr;
    char** values_ = nullptr;
};

// The file-name and status arrays that HOST_PART_open hands back.
class host_load_status {
public:
    host_load_status() noexcept { clear(); }
    ~host_load_status() { reset(); }
    host_load_status(const host_load_status&) = delete;
    host_load_status& operator=(const host_load_status&) = delete;

    void reset() noexcept
    {
        if (status_.file_names != nullptr) host_ops().HOST_free_string_array(status_.n_parts, status_.file_names);
        if (status_.statuses != nullptr) host_ops().HOST_free(status_.statuses);
        clear();
    }
    host_part_load_status_t* out() noexcept { reset(); return &status_; }

private:
    void clear() noexcept { status_ = host_part_load_status_t{0, 0, nullptr, nullptr}; }
    host_part_load_status_t status_{};
};

// A C++ object placed in host memory: destroyed, then given back with HOST_free.
struct host_object_deleter {
    template <class T>
    void operator()(T* p) const noexcept
    {
        if (p == nullptr) return;
        p->~T();
        host_ops().HOST_free(p);
    }
};
template <class T>
using host_object = std::unique_ptr<T, host_object_deleter>;

template <class T>
int make_host_object(host_object<T>& out)
{
    out.reset();
    int status = 0;
    void* raw = host_ops().HOST_allocate_memory(static_cast<unsigned int>(sizeof(T)), &status);
    if (raw == nullptr) return status != 0 ? status : 1;
    if (status != 0) {
        host_ops().HOST_free(raw);
        return status;
    }
    out.reset(new (raw) T());
    return 0;
}

// A growable array of C++ objects in host memory. Capacity doubles, so a
// session of many parts appends in amortised constant time.
template <class T>
class host_vector {
public:
    host_vector() = default;
    ~host_vector() { reset(); }
    host_vector(const host_vector&) = delete;
    host_vector& operator=(const host_vector&) = delete;

    void reset() noexcept
    {
        for (std::size_t i = 0; i < size_; ++i) data_[i].~T();
        // Releasing what is not held stays with the library: a second
        // release of the session state never reaches the host.
        if (data_ != nullptr) host_ops().HOST_free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool held() const noexcept { return data_ != nullptr; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // Makes room for one more element; returns the host status of a failed
    // allocation, leaving the contents as they were.
    int reserve_one_more()
    {
        if (size_ < capacity_) return 0;
        const std::size_t wanted = capacity_ == 0 ? 1 : capacity_ * 2;
        if (wanted > (static_cast<std::size_t>(0xFFFFFFFFu) / sizeof(T))) return 1;
        int status = 0;
        void* raw = host_ops().HOST_allocate_memory(static_cast<unsigned int>(wanted * sizeof(T)), &status);
        if (raw == nullptr) return status != 0 ? status : 1;
        if (status != 0) {
            host_ops().HOST_free(raw);
            return status;
        }
        T* fresh = static_cast<T*>(raw);
        for (std::size_t i = 0; i < size_; ++i) {
            new (fresh + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        if (data_ != nullptr) host_ops().HOST_free(data_);
        data_ = fresh;
        capacity_ = wanted;
        return 0;
    }
    // Appends a complete element; room must have been made beforehand, so
    // that nothing half-built is ever counted.
    void push_back_reserved(T&& value)
    {
        new (data_ + size_) T(std::move(value));
        ++size_;
    }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A text in host memory that grows by appending; its length and capacity are
// kept beside it, so appends never rescan it.
class host_text_builder {
public:
    host_text_builder() = default;
    ~host_text_builder() { reset(); }
    host_text_builder(const host_text_builder&) = delete;
    host_text_builder& operator=(const host_text_builder&) = delete;

    void reset() noexcept
    {
        if (data_ != nullptr) host_ops().HOST_free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
    // Allocates an empty text with room for `capacity` characters.
    int create(std::size_t capacity = 0);
    // Makes sure `extra` more characters fit; returns a host status.
    int reserve_extra(std::size_t extra);
    // Appends; the room must have been reserved.
    void append_reserved(std::string_view text) noexcept;
    // Reserves and appends in one step.
    int append(std::string_view text);
    void pop_back() noexcept
    {
        if (size_ > 0) data_[--size_] = '\0';
    }

    bool held() const noexcept { return data_ != nullptr; }
    std::size_t size() const noexcept { return size_; }
    const char* c_str() const noexcept { return data_ != nullptr ? data_ : ""; }
    std::string_view view() const noexcept { return {c_str(), size_}; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kx
