#include "memory.hpp"

#include <cstdint>

#include <sys/mman.h>

namespace calcsift {

void prefault_pages(const void* p, std::size_t n) noexcept {
#ifdef MADV_POPULATE_WRITE
    // Small ranges fault in quickly enough on their own.
    if (n < (std::size_t{1} << 20)) return;
    const std::uintptr_t b = (reinterpret_cast<std::uintptr_t>(p) + 4095) & ~std::uintptr_t{4095};
    const std::uintptr_t e = (reinterpret_cast<std::uintptr_t>(p) + n) & ~std::uintptr_t{4095};
    // Older kernels refuse the advice (EINVAL): the pages then fault in as they are written.
    if (e > b) (void)madvise(reinterpret_cast<void*>(b), e - b, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace calcsift
