// Byte searches over the document text shared by the tokenizer and the cursor.
#pragma once

#include <cstring>
#include <string_view>

#include "core/kernels/chars.hpp"

namespace calcsift {

inline const char* find_char(const char* p, const char* end, char c) noexcept {
    const void* r = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return r ? static_cast<const char*>(r) : nullptr;
}

// The first occurrence of needle in [p, end), or nullptr; for short distances
// (long ones go through the SIMD kernels' find).
inline const char* find_str(const char* p, const char* end, std::string_view needle) noexcept {
    const void* r = memmem(p, static_cast<std::size_t>(end - p), needle.data(), needle.size());
    return r ? static_cast<const char*>(r) : nullptr;
}

// [b, e) without XML whitespace at either end.
inline std::string_view trim_xml(const char* b, const char* e) noexcept {
    while (b < e && is_xml_space(*b)) ++b;
    while (e > b && is_xml_space(e[-1])) --e;
    return {b, static_cast<std::size_t>(e - b)};
}

}  // namespace calcsift
