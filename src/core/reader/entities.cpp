#include "core/reader/entities.hpp"

#include <charconv>
#include <cstdint>

#include "core/base/error.hpp"
#include "core/kernels/utf8.hpp"

namespace calcsift {

void unescape_into(std::string_view raw, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < raw.size()) {
        std::size_t amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(raw.substr(i));
            break;
        }
        out.append(raw.substr(i, amp - i));
        std::size_t semi = raw.find(';', amp + 1);
        if (semi == std::string_view::npos)
            throw VasprunError::message("Error while escaping character at range " +
                                        std::to_string(amp) + "..: unterminated entity reference");
        std::string_view ent = raw.substr(amp + 1, semi - amp - 1);
        if (ent == "lt") {
            out += '<';
        } else if (ent == "gt") {
            out += '>';
        } else if (ent == "amp") {
            out += '&';
        } else if (ent == "apos") {
            out += '\'';
        } else if (ent == "quot") {
            out += '"';
        } else if (!ent.empty() && ent[0] == '#') {
            std::string_view digits = ent.substr(1);
            int radix = 10;
            if (!digits.empty() && digits[0] == 'x') {
                radix = 16;
                digits.remove_prefix(1);
            }
            std::uint32_t cp = 0;
            auto r = std::from_chars(digits.data(), digits.data() + digits.size(), cp, radix);
            bool ok = !digits.empty() && r.ec == std::errc() &&
                      r.ptr == digits.data() + digits.size() && cp != 0 && cp <= 0x10FFFF &&
                      !(cp >= 0xD800 && cp <= 0xDFFF);
            if (!ok)
                throw VasprunError::message("Error while escaping character at range " +
                                            std::to_string(amp) + ".." + std::to_string(semi + 1) +
                                            ": invalid character reference '&" +
                                            display_name(ent) + ";'");
            append_utf8(out, cp);
        } else {
            throw VasprunError::message("Error while escaping character at range " +
                                        std::to_string(amp) + ".." + std::to_string(semi + 1) +
                                        ": unrecognized entity '&" + display_name(ent) + ";'");
        }
        i = semi + 1;
    }
}

}  // namespace calcsift
