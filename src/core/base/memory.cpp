#include "core/base/memory.hpp"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace calcsift {

namespace {

// Huge pages fill fresh memory with one fault per 2 MiB instead of one per 4
// KiB, which is faster where the memory behind them is there. Under a
// hypervisor that takes free memory back (a virtio balloon with free page
// reporting, which hands every free 2 MiB block to the host after a few
// seconds), a huge page always comes from such a block and waits for the host
// to back it again: on the 2-core VM of bench/run.py, first writes ran at
// 300-500 MB/s in huge pages against 1.5-1.9 GB/s in 4 KiB pages (which come
// mostly from memory still backed), and a parse with every block on took 0.8-1.6 s
// instead of 0.5 s. Huge pages are therefore asked for only where no balloon
// device reports free pages.
bool free_pages_reported() noexcept {
    const char* const dir = "/sys/bus/virtio/drivers/virtio_balloon";
    DIR* d = opendir(dir);
    if (!d) return false;
    bool reporting = false;
    while (const dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, "virtio", 6) != 0) continue;
        char path[320];
        std::snprintf(path, sizeof path, "%s/%s/features", dir, e->d_name);
        if (std::FILE* f = std::fopen(path, "r")) {
            // One character per feature bit; bit 5 is VIRTIO_BALLOON_F_REPORTING.
            char bits[8] = {};
            reporting |= std::fread(bits, 1, 6, f) == 6 && bits[5] == '1';
            std::fclose(f);
        }
    }
    closedir(d);
    return reporting;
}

std::size_t default_huge_threshold() noexcept {
    return free_pages_reported() ? SIZE_MAX : MemoryThresholds{}.huge_pages;
}

std::atomic<std::size_t> map_threshold{MemoryThresholds{}.map_file};
std::atomic<std::size_t> huge_threshold{default_huge_threshold()};

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
