// Big buffers and the kernel's memory: huge-page advice, populating pages in
// one call, and the sizes from which the loader and the buffers use them.
#pragma once

#include <cstddef>

namespace calcsift {

// The sizes from which a file is mapped instead of read, and from which a
// buffer is advised for huge pages. Fixed in normal use (huge pages are left
// off where they fill slower, see memory.cpp); the fuzz target lowers them so
// that its small inputs take the paths of large files.
struct MemoryThresholds {
    std::size_t map_file = std::size_t{256} << 10;
    std::size_t huge_pages = std::size_t{4} << 20;
};
MemoryThresholds memory_thresholds() noexcept;
void set_memory_thresholds(const MemoryThresholds& t) noexcept;

// Asks for transparent huge pages on the whole huge pages inside [p, p + n)
// when n is at least the huge-page threshold: one fault then maps 2 MiB
// instead of 4 KiB, which is most of the cost of filling fresh memory. Must come
// before the first write to the range. A hint only (the kernel may refuse it).
void advise_huge_pages(void* p, std::size_t n) noexcept;

// advise_huge_pages, then maps in the whole pages inside [p, p + n) in one call
// (a write fault each, done by the kernel in a loop). Only for memory that is
// about to be filled: every page becomes resident. A hint only.
void prepare_for_writing(void* p, std::size_t n) noexcept;

// Allocates n bytes for a buffer that is filled at once (NumPy's copies of the
// records): malloc for small sizes; prepared for writing from the huge-page
// threshold on. Returns nullptr when out of memory; release with std::free.
void* alloc_for_writing(std::size_t n) noexcept;

}  // namespace calcsift
