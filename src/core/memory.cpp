#include "memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace calcsift {

namespace {

std::atomic<std::size_t> map_threshold{MemoryThresholds{}.map_file};
std::atomic<std::size_t> huge_threshold{MemoryThresholds{}.huge_pages};

// The size of a transparent huge page (2 MiB on x86-64), from the kernel when it says.
std::size_t huge_page_size() noexcept {
    static const std::size_t size = [] {
        std::size_t s = std::size_t{2} << 20;
        if (std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "r")) {
            unsigned long long v = 0;
            if (std::fscanf(f, "%llu", &v) == 1 && v >= 4096 && (v & (v - 1)) == 0)
                s = static_cast<std::size_t>(v);
            std::fclose(f);
        }
        return s;
    }();
    return size;
}

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// [b, e): the whole units of `unit` bytes inside [p, p + n); empty when there are none.
bool inner_range(const void* p, std::size_t n, std::size_t unit, std::uintptr_t& b,
                 std::uintptr_t& e) noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    b = (a + unit - 1) & ~(std::uintptr_t{unit} - 1);
    e = (a + n) & ~(std::uintptr_t{unit} - 1);
    return e > b;
}

}  // namespace

MemoryThresholds memory_thresholds() noexcept {
    MemoryThresholds t;
    t.map_file = map_threshold.load(std::memory_order_relaxed);
    t.huge_pages = huge_threshold.load(std::memory_order_relaxed);
    return t;
}

void set_memory_thresholds(const MemoryThresholds& t) noexcept {
    map_threshold.store(t.map_file, std::memory_order_relaxed);
    huge_threshold.store(t.huge_pages, std::memory_order_relaxed);
}

void advise_huge_pages(void* p, std::size_t n) noexcept {
#ifdef MADV_HUGEPAGE
    if (!p || n < huge_threshold.load(std::memory_order_relaxed)) return;
    std::uintptr_t b, e;
    if (inner_range(p, n, huge_page_size(), b, e))
        (void)madvise(reinterpret_cast<void*>(b), e - b, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

void prepare_for_writing(void* p, std::size_t n) noexcept {
    advise_huge_pages(p, n);
#ifdef MADV_POPULATE_WRITE
    // Small ranges fault in quickly enough on their own.
    if (!p || n < (std::size_t{1} << 20)) return;
    std::uintptr_t b, e;
    // Older kernels refuse the advice (EINVAL): the pages then fault in as they are written.
    if (inner_range(p, n, page_size(), b, e))
        (void)madvise(reinterpret_cast<void*>(b), e - b, MADV_POPULATE_WRITE);
#endif
}

void* alloc_for_writing(std::size_t n) noexcept {
    void* p = std::malloc(n ? n : 1);
    if (p) prepare_for_writing(p, n);
    return p;
}

}  // namespace calcsift
