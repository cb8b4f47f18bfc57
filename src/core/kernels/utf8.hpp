// UTF-8: validation, the ASCII prefix of a text, encoding a code point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace calcsift {

// True when [p, p+n) is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF);
// with the scans of the process's SIMD kernel set, as ascii_prefix_length.
bool is_valid_utf8(const char* p, std::size_t n) noexcept;

// Bytes of the UTF-8 encoding of a Unicode scalar value.
inline std::size_t utf8_length(std::uint32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 encoding of cp at out (room for utf8_length(cp) bytes); returns the length.
inline std::size_t encode_utf8(char* out, std::uint32_t cp) noexcept {
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


// Appends the UTF-8 encoding of a Unicode scalar value.
void append_utf8(std::string& out, std::uint32_t cp);

// Number of leading bytes of [p, p+n) below 0x80.
std::size_t ascii_prefix_length(const char* p, std::size_t n) noexcept;

// A range [begin, end) of byte offsets in a text.
struct ByteRange {
    std::size_t begin = 0, end = 0;
};

// True when every byte of text outside the ranges (which may overlap) is ASCII.
bool ascii_outside(const char* text, std::size_t n, std::vector<ByteRange> ranges);

}  // namespace calcsift
