#include "core/input/encodings.hpp"

#include <cstring>

#include "core/kernels/utf8.hpp"
#include "core/kernels/utf8_scan.hpp"

namespace calcsift {

namespace {

using utf8_scan::kHighBits;
using utf8_scan::load64;
using utf8_scan::u8;

// windows-1252 bytes 0x80..0x9F; the rest map to themselves.
constexpr std::uint16_t kC1Table[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline std::uint32_t unit16(const u8* p, bool big_endian) noexcept {
    return big_endian ? (std::uint32_t{p[0]} << 8 | p[1]) : (std::uint32_t{p[1]} << 8 | p[0]);
}

}  // namespace

std::uint32_t windows1252_code_point(unsigned char b) noexcept {
    return (b >= 0x80 && b < 0xA0) ? kC1Table[b - 0x80] : b;
}

std::size_t windows1252_utf8_size(const char* s, std::size_t n) noexcept {
    const u8* p = reinterpret_cast<const u8*>(s);
    const u8* const end = p + n;
    std::size_t extra = 0;
    for (;;) {
        p += ascii_prefix_length(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
        if (p == end) break;
        extra += utf8_length(windows1252_code_point(*p)) - 1;
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
            w -= utf8_length(cp);
            encode_utf8(buf + w, cp);
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
        out += encode_utf8(out, u);
    }
}

}  // namespace calcsift
