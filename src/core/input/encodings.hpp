// The decoders of input that is not UTF-8: windows-1252 (the WHATWG table) and UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

namespace calcsift {

// windows-1252 as the WHATWG index defines it: every byte is a character; 0x81,
// 0x8D, 0x8F, 0x90 and 0x9D map to the C1 controls of the same value.
std::uint32_t windows1252_code_point(unsigned char b) noexcept;
// Size in bytes of the UTF-8 text that [p, p+n) decodes to as windows-1252.
std::size_t windows1252_utf8_size(const char* p, std::size_t n) noexcept;
// Decodes in place: buf holds n windows-1252 bytes and has room for out_size bytes
// (the value of windows1252_utf8_size); afterwards buf[0, out_size) is the UTF-8
// text. The output never overtakes the input, so it is written from the end back.
void windows1252_decode_in_place(char* buf, std::size_t n, std::size_t out_size) noexcept;

// UTF-16 to UTF-8 in two passes. The sizing pass fails (returns false) on an odd
// byte count or an unpaired surrogate; the fill pass takes input the sizing pass
// accepted and writes exactly out_size bytes.
bool utf16_utf8_size(const char* p, std::size_t n, bool big_endian,
                     std::size_t& out_size) noexcept;
void utf16_decode(const char* p, std::size_t n, bool big_endian, char* out) noexcept;

}  // namespace calcsift
