// The SSE2 kernel set: the x86-64 baseline, 16 bytes at a time. It has the
// tokenizer's scans (markup_scan.hpp), the ASCII scan of the UTF-8 check and
// the long-range search; rows of numbers go the scalar way (their kernels
// need byte shuffles, which SSE2 lacks).
#include "core/kernels/simd.hpp"

#if defined(__SSE2__)

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "core/kernels/cpu_features.hpp"
#include "core/kernels/scan.hpp"
#include "core/kernels/simd_scalar.hpp"
#include "core/kernels/utf8_scan.hpp"

namespace calcsift {

namespace {

using utf8_scan::u8;

inline unsigned high_bits(__m128i v) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v)); }

// The first byte at or after p that is not ASCII, or end: 64 bytes a step,
// then 16, then words.
const u8* skip_ascii_sse2(const u8* p, const u8* end) noexcept {
    while (end - p >= 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
        if (high_bits(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) {
            const std::uint64_t m = std::uint64_t{high_bits(a)} | std::uint64_t{high_bits(b)} << 16 |
                                    std::uint64_t{high_bits(c)} << 32 | std::uint64_t{high_bits(d)} << 48;
            return p + __builtin_ctzll(m);
        }
        p += 64;
    }
    while (end - p >= 16) {
        const unsigned m = high_bits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (m != 0) return p + __builtin_ctz(m);
        p += 16;
    }
    return utf8_scan::skip_ascii_words(p, end);
}

std::size_t ascii_prefix_sse2(const char* p, std::size_t n) noexcept {
    return utf8_scan::ascii_prefix_with<skip_ascii_sse2>(p, n);
}

bool valid_utf8_sse2(const char* p, std::size_t n) noexcept {
    return utf8_scan::valid_utf8_with<skip_ascii_sse2>(p, n);
}

// Long-range substring search with a first-and-last-byte prefilter (as the
// AVX2 set's), 64 positions a step in four 16-byte loads; the blocks are
// looked at for non-ASCII bytes on the way.
const char* find_sse2(const char* p, const char* end, std::string_view needle,
                      const char** ascii_end) noexcept {
    *ascii_end = p;
    const std::size_t m = needle.size();
    if (m < 2) return find_str(p, end, needle);
    const __m128i first = _mm_set1_epi8(needle.front());
    const __m128i last = _mm_set1_epi8(needle.back());
    bool other = false;
    while (static_cast<std::size_t>(end - p) >= m - 1 + 64) {
        std::uint64_t mask = 0;
        __m128i any = _mm_setzero_si128();
        for (int i = 0; i < 4; ++i) {
            const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + m - 1 + 16 * i));
            any = _mm_or_si128(any, f);
            mask |= std::uint64_t{high_bits(_mm_and_si128(_mm_cmpeq_epi8(f, first), _mm_cmpeq_epi8(l, last)))}
                    << (16 * i);
        }
        if (!other) {
            other = high_bits(any) != 0;
            if (!other) *ascii_end = p + 64;
        }
        while (mask) {
            const char* at = p + __builtin_ctzll(mask);
            if (std::memcmp(at + 1, needle.data() + 1, m - 2) == 0) return at;
            mask &= mask - 1;
        }
        p += 64;
    }
    return find_str(p, end, needle);
}

const SimdKernels kSse2{"sse2",          "sse2",          cpu_has_sse2, MarkupScans::Sse2,
                        ascii_prefix_sse2, valid_utf8_sse2, find_sse2,    scalar_decimals,
                        nullptr};

}  // namespace

const SimdKernels* sse2_kernel_set() noexcept { return &kSse2; }

}  // namespace calcsift

#else

namespace calcsift {

const SimdKernels* sse2_kernel_set() noexcept { return nullptr; }

}  // namespace calcsift

#endif
