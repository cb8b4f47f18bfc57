#include "core/kernels/utf8.hpp"

#include <algorithm>
#include <cstring>

// SSE2 belongs to x86-64 itself: code under __SSE2__ needs no run-time check.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace calcsift {

namespace {

using u8 = unsigned char;

inline std::uint64_t load64(const u8* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// First byte at or after p that is not ASCII, or end.
inline const u8* skip_ascii(const u8* p, const u8* end) noexcept {
#if defined(__SSE2__)
    while (end - p >= 64) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
        __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        if (_mm_movemask_epi8(any) != 0) {
            std::uint64_t m = static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(a))) |
                              static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(b))) << 16 |
                              static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(c))) << 32 |
                              static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(d))) << 48;
            return p + __builtin_ctzll(m);
        }
        p += 64;
    }
    while (end - p >= 16) {
        int m = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (m != 0) return p + __builtin_ctz(static_cast<unsigned>(m));
        p += 16;
    }
#else
    while (end - p >= 16) {
        if (((load64(p) | load64(p + 8)) & kHighBits) != 0) break;
        p += 16;
    }
#endif
    while (end - p >= 8) {
        std::uint64_t v = load64(p) & kHighBits;
        if (v != 0) {
            // Little-endian: the lowest set bit is the first non-ASCII byte.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return p + (__builtin_ctzll(v) >> 3);
#else
            break;
#endif
        }
        p += 8;
    }
    while (p < end && *p < 0x80) ++p;
    return p;
}

inline bool is_cont(u8 c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(const char* s, std::size_t n) noexcept {
    const u8* p = reinterpret_cast<const u8*>(s);
    const u8* const end = p + n;
    for (;;) {
        p = skip_ascii(p, end);
        if (p == end) return true;
        // Decode a run of multibyte sequences before going back to the block scan.
        do {
            const u8 c = *p;
            const std::size_t left = static_cast<std::size_t>(end - p);
            if (c < 0x80) {
                ++p;
            } else if (c < 0xC2) {
                return false;  // stray continuation byte, or overlong lead C0/C1
            } else if (c < 0xE0) {
                if (left < 2 || !is_cont(p[1])) return false;
                p += 2;
            } else if (c < 0xF0) {
                if (left < 3) return false;
                const u8 c1 = p[1];
                // E0: no overlongs (second byte A0..BF); ED: no surrogates (80..9F).
                const u8 lo = c == 0xE0 ? 0xA0 : 0x80;
                const u8 hi = c == 0xED ? 0x9F : 0xBF;
                if (c1 < lo || c1 > hi || !is_cont(p[2])) return false;
                p += 3;
            } else if (c < 0xF5) {
                if (left < 4) return false;
                const u8 c1 = p[1];
                // F0: no overlongs (90..BF); F4: nothing above U+10FFFF (80..8F).
                const u8 lo = c == 0xF0 ? 0x90 : 0x80;
                const u8 hi = c == 0xF4 ? 0x8F : 0xBF;
                if (c1 < lo || c1 > hi || !is_cont(p[2]) || !is_cont(p[3])) return false;
                p += 4;
            } else {
                return false;
            }
        } while (p < end && *p >= 0x80);
    }
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    out.append(buf, encode_utf8(buf, cp));
}

std::size_t ascii_prefix_length(const char* p, std::size_t n) noexcept {
    const u8* b = reinterpret_cast<const u8*>(p);
    return static_cast<std::size_t>(skip_ascii(b, b + n) - b);
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
