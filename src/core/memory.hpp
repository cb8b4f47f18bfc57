// Memory hints for large buffers.
#pragma once

#include <cstddef>

namespace calcsift {

// Maps in the whole pages inside [p, p + n) of a large buffer about to be
// filled, in one call instead of one page fault per page; a hint only.
void prefault_pages(const void* p, std::size_t n) noexcept;

}  // namespace calcsift
