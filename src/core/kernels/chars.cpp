#include "core/kernels/chars.hpp"

namespace calcsift {

std::size_t wide_space_len(const char* p, const char* end) noexcept {
    const unsigned char c = static_cast<unsigned char>(*p);
    const std::size_t left = static_cast<std::size_t>(end - p);
    const unsigned char c1 = left > 1 ? static_cast<unsigned char>(p[1]) : 0;
    const unsigned char c2 = left > 2 ? static_cast<unsigned char>(p[2]) : 0;
    if (c == 0xC2) return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
    if (c == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
    if (c == 0xE2) {
        if (c1 == 0x80 && ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
            return 3;
        if (c1 == 0x81 && c2 == 0x9F) return 3;
        return 0;
    }
    if (c == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
    return 0;
}

std::string_view trim_unicode(std::string_view s) noexcept {
    const char* b = s.data();
    const char* e = b + s.size();
    std::size_t w;
    while (b < e && (w = unicode_space_len(b, e)) != 0) b += w;
    // Trailing: step back over whole characters.
    while (e > b) {
        unsigned char last = static_cast<unsigned char>(e[-1]);
        if (last < 0x80) {
            if (!is_ascii_space(e[-1])) break;
            --e;
            continue;
        }
        bool trimmed = false;
        for (std::size_t len = 2; len <= 3 && !trimmed; ++len) {
            if (static_cast<std::size_t>(e - b) >= len && unicode_space_len(e - len, e) == len) {
                e -= len;
                trimmed = true;
            }
        }
        if (!trimmed) break;
    }
    return {b, static_cast<std::size_t>(e - b)};
}

}  // namespace calcsift
