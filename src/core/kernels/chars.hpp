// Character classes of the document text: one 256-entry table, looked up by
// byte, for every scanning loop that asks "is this whitespace?" or "does this
// end a name?", and the Unicode whitespace that trimming and token splitting
// use. The vector scanners (scan.hpp, simd_avx2.cpp) test the same classes
// with compares; the fixed-width sweep and the fuzz target check they agree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace calcsift {

namespace chars {

enum : std::uint8_t {
    kXmlSpace = 1 << 0,    // XML whitespace between markup: space, tab, LF, CR
    kSpace = 1 << 1,       // ASCII whitespace of the number and token grammar: XML's, VT, FF
    kKeyEnd = 1 << 2,      // ends an attribute name: XML whitespace and '='
    kWideSpace = 1 << 3,   // may start a multi-byte Unicode whitespace character (C2, E1, E2, E3)
};

constexpr std::array<std::uint8_t, 256> make_table() noexcept {
    std::array<std::uint8_t, 256> t{};
    for (unsigned char c : {' ', '\t', '\n', '\r'}) t[c] |= kXmlSpace | kSpace | kKeyEnd;
    for (unsigned char c : {'\v', '\f'}) t[c] |= kSpace;
    t['='] |= kKeyEnd;
    for (unsigned c : {0xC2u, 0xE1u, 0xE2u, 0xE3u}) t[c] |= kWideSpace;
    return t;
}

inline constexpr std::array<std::uint8_t, 256> kTable = make_table();

constexpr bool has(char c, std::uint8_t cls) noexcept {
    return (kTable[static_cast<unsigned char>(c)] & cls) != 0;
}

}  // namespace chars

constexpr bool is_xml_space(char c) noexcept { return chars::has(c, chars::kXmlSpace); }
constexpr bool is_ascii_space(char c) noexcept { return chars::has(c, chars::kSpace); }

// The multi-byte part of unicode_space_len: the length of the Unicode
// whitespace character (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000) at p, or 0.
std::size_t wide_space_len(const char* p, const char* end) noexcept;

// Length of the Unicode whitespace character at p (0 when none).
inline std::size_t unicode_space_len(const char* p, const char* end) noexcept {
    const std::uint8_t cls = chars::kTable[static_cast<unsigned char>(*p)];
    if (cls & chars::kSpace) return 1;
    return (cls & chars::kWideSpace) ? wide_space_len(p, end) : 0;
}

// Trimming on Unicode whitespace.
std::string_view trim_unicode(std::string_view s) noexcept;

// Calls f(token) for each token of s separated by Unicode whitespace.
template <typename F>
void for_each_token(std::string_view s, F&& f) {
    const char* p = s.data();
    const char* e = p + s.size();
    while (p < e) {
        std::size_t w;
        while (p < e && (w = unicode_space_len(p, e)) != 0) p += w;
        if (p >= e) break;
        const char* t = p;
        while (p < e && unicode_space_len(p, e) == 0) ++p;
        f(std::string_view(t, static_cast<std::size_t>(p - t)));
    }
}

}  // namespace calcsift
