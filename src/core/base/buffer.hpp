// A plain malloc'd byte buffer: no zero-fill on growth (files can be gigabytes),
// huge pages for large sizes, shrinkable with realloc, and a view that may start
// past its first byte.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "core/base/memory.hpp"

namespace calcsift {

class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t capacity) { reserve(capacity); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept { swap(o); }
    Buffer& operator=(Buffer&& o) noexcept {
        Buffer tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~Buffer() { std::free(data_); }

    void swap(Buffer& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
        std::swap(start_, o.start_);
    }

    // Grow (or shrink) the allocation; contents up to min(size, n) are kept.
    void reserve(std::size_t n) {
        if (n == capacity_) return;
        void* p = std::realloc(data_, n ? n : 1);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        if (n > capacity_) advise_huge_pages(data_, n);
        capacity_ = n;
        if (size_ > n) size_ = n;
    }
    void shrink_to_fit() { reserve(size_); }
    // Sets the used size; n must not exceed the capacity.
    void set_size(std::size_t n) { size_ = n; }
    void append(const char* p, std::size_t n) {
        if (size_ + n > capacity_) reserve(std::max(size_ + n, capacity_ * 2));
        if (n) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // The document text is [start, size): an in-place rewrite may drop a prefix.
    void set_start(std::size_t start) { start_ = start; }
    std::string_view view() const noexcept {
        return data_ ? std::string_view(data_ + start_, size_ - start_) : std::string_view();
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;
};

}  // namespace calcsift
