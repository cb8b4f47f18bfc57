#include "utf8.hpp"

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

// windows-1252 bytes 0x80..0x9F; the rest map to themselves.
constexpr std::uint16_t kC1Table[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline std::size_t utf8_len(std::uint32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes the encoding of cp at out (room for utf8_len(cp) bytes); returns the length.
inline std::size_t put_utf8(char* out, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

inline std::uint32_t unit16(const u8* p, bool big_endian) noexcept {
    return big_endian ? (std::uint32_t{p[0]} << 8 | p[1]) : (std::uint32_t{p[1]} << 8 | p[0]);
}

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
    out.append(buf, put_utf8(buf, cp));
}

std::size_t ascii_prefix_length(const char* p, std::size_t n) noexcept {
    const u8* b = reinterpret_cast<const u8*>(p);
    return static_cast<std::size_t>(skip_ascii(b, b + n) - b);
}

std::uint32_t windows1252_code_point(unsigned char b) noexcept {
    return (b >= 0x80 && b < 0xA0) ? kC1Table[b - 0x80] : b;
}

std::size_t windows1252_utf8_size(const char* s, std::size_t n) noexcept {
    const u8* p = reinterpret_cast<const u8*>(s);
    const u8* const end = p + n;
    std::size_t extra = 0;
    for (;;) {
        p = skip_ascii(p, end);
        if (p == end) break;
        extra += utf8_len(windows1252_code_point(*p)) - 1;
        ++p;
    }
    return n + extra;
}

void windows1252_decode_in_place(char* buf, std::size_t n, std::size_t out_size) noexcept {
    // Everything before the first non-ASCII byte is already in place.
    const std::size_t stop = ascii_prefix_length(buf, n);
    std::size_t r = n;
    std::size_t w = out_size;
    const u8* in = reinterpret_cast<const u8*>(buf);
    while (r > stop) {
        if (r - stop >= 8 && (load64(in + r - 8) & kHighBits) == 0) {
            r -= 8;
            w -= 8;
            std::memmove(buf + w, buf + r, 8);
            continue;
        }
        const u8 b = in[--r];
        if (b < 0x80) {
            buf[--w] = static_cast<char>(b);
        } else {
            const std::uint32_t cp = windows1252_code_point(b);
            w -= utf8_len(cp);
            put_utf8(buf + w, cp);
        }
    }
}

bool utf16_utf8_size(const char* s, std::size_t n, bool big_endian,
                     std::size_t& out_size) noexcept {
    if (n % 2 != 0) return false;  // a dangling half code unit
    const u8* p = reinterpret_cast<const u8*>(s);
    const u8* const end = p + n;
    std::size_t size = 0;
    while (p < end) {
        const std::uint32_t u = unit16(p, big_endian);
        p += 2;
        if (u < 0x80) {
            size += 1;
        } else if (u < 0x800) {
            size += 2;
        } else if (u < 0xD800 || u > 0xDFFF) {
            size += 3;
        } else if (u <= 0xDBFF) {
            if (p == end) return false;
            const std::uint32_t lo = unit16(p, big_endian);
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            p += 2;
            size += 4;
        } else {
            return false;  // low surrogate without a high one
        }
    }
    out_size = size;
    return true;
}

void utf16_decode(const char* s, std::size_t n, bool big_endian, char* out) noexcept {
    const u8* p = reinterpret_cast<const u8*>(s);
    const u8* const end = p + n;
    while (p < end) {
        std::uint32_t u = unit16(p, big_endian);
        p += 2;
        if (u >= 0xD800 && u <= 0xDBFF) {
            const std::uint32_t lo = unit16(p, big_endian);
            p += 2;
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        }
        out += put_utf8(out, u);
    }
}

}  // namespace calcsift
