// The parts of the UTF-8 kernels (SimdKernels::ascii_prefix, valid_utf8) that
// every kernel set shares: the scan of ASCII a word at a time (the scalar
// set's scan, and every set's tail), and the validation around a set's scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace calcsift::utf8_scan {

using u8 = unsigned char;

inline std::uint64_t load64(const u8* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The first byte at or after p that is not ASCII, or end: 16 and then 8 bytes
// at a time in plain 64-bit words.
inline const u8* skip_ascii_words(const u8* p, const u8* end) noexcept {
    while (end - p >= 16) {
        if (((load64(p) | load64(p + 8)) & kHighBits) != 0) break;
        p += 16;
    }
    while (end - p >= 8) {
        const std::uint64_t v = load64(p) & kHighBits;
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

// Well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF),
// with SkipAscii passing the ASCII runs. Inline into each set's entry, where
// the set's scan is inline in turn.
template <const u8* (*SkipAscii)(const u8*, const u8*) noexcept>
[[gnu::always_inline]] inline bool valid_utf8_with(const char* s, std::size_t n) noexcept {
    const u8* p = reinterpret_cast<const u8*>(s);
    const u8* const end = p + n;
    for (;;) {
        p = SkipAscii(p, end);
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

// The entries of a set, from its scan.
template <const u8* (*SkipAscii)(const u8*, const u8*) noexcept>
[[gnu::always_inline]] inline std::size_t ascii_prefix_with(const char* s, std::size_t n) noexcept {
    const u8* b = reinterpret_cast<const u8*>(s);
    return static_cast<std::size_t>(SkipAscii(b, b + n) - b);
}

}  // namespace calcsift::utf8_scan
