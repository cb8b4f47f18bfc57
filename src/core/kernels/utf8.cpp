#include "core/kernels/utf8.hpp"

#include <algorithm>

#include "core/kernels/simd.hpp"

namespace calcsift {

namespace {

// The chosen set's scans; the scalar set's where CALCSIFT_SIMD is refused
// (no parse gets this far then, but a check outside a parse must still work).
const SimdKernels& text_kernels() noexcept {
    const SimdKernels* k = chosen_kernels();
    return k ? *k : scalar_kernels();
}

}  // namespace

bool is_valid_utf8(const char* p, std::size_t n) noexcept { return text_kernels().valid_utf8(p, n); }

std::size_t ascii_prefix_length(const char* p, std::size_t n) noexcept {
    return text_kernels().ascii_prefix(p, n);
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    out.append(buf, encode_utf8(buf, cp));
}

bool ascii_outside(const char* text, std::size_t n, std::vector<ByteRange> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange& x, const ByteRange& y) { return x.begin < y.begin; });
    std::size_t at = 0;
    for (const ByteRange& r : ranges) {
        if (r.begin > at && ascii_prefix_length(text + at, r.begin - at) != r.begin - at) return false;
        at = std::max(at, r.end);
    }
    return at >= n || ascii_prefix_length(text + at, n - at) == n - at;
}

}  // namespace calcsift
