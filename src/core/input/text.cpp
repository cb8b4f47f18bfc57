#include "core/input/text.hpp"

#include <algorithm>
#include <cstring>

#include "core/base/error.hpp"
#include "core/input/encodings.hpp"
#include "core/input/gzip.hpp"
#include "core/kernels/utf8.hpp"

namespace calcsift {

namespace {

constexpr std::string_view kUpperName = "ISO-8859-1";
constexpr std::string_view kLowerName = "iso-8859-1";
constexpr std::string_view kUtf8Name = "UTF-8";

// Replaces every `from` in p[0, n) by the shorter `to`, compacting towards the
// front; returns the new length.
std::size_t replace_compact(char* p, std::size_t n, std::string_view from, std::string_view to) {
    std::size_t r = 0;
    std::size_t w = 0;
    while (r < n) {
        const std::size_t hit = std::string_view(p + r, n - r).find(from);
        const std::size_t keep = hit == std::string_view::npos ? n - r : hit;
        if (w != r) std::memmove(p + w, p + r, keep);
        w += keep;
        r += keep;
        if (hit == std::string_view::npos) break;
        std::memcpy(p + w, to.data(), to.size());
        w += to.size();
        r += from.size();
    }
    return w;
}

std::size_t view_offset(const Buffer& b) {
    return b.data() ? static_cast<std::size_t>(b.view().data() - b.data()) : 0;
}

[[noreturn]] void decode_failure() {
    throw VasprunError::encoding("Failed to decode vasprun.xml as ISO-8859-1");
}

Buffer decode_utf16(const char* p, std::size_t n, bool big_endian) {
    std::size_t out_size = 0;
    if (!utf16_utf8_size(p + 2, n - 2, big_endian, out_size)) decode_failure();
    Buffer text(out_size);
    if (out_size) utf16_decode(p + 2, n - 2, big_endian, text.data());
    text.set_size(out_size);
    return text;
}

}  // namespace

std::size_t declaration_to_rewrite(std::string_view v) noexcept {
    const std::size_t end = v.find("?>");
    if (end == std::string_view::npos) return 0;
    const std::string_view head = v.substr(0, end + 2);
    if (head.find(kUpperName) == std::string_view::npos &&
        head.find(kLowerName) == std::string_view::npos)
        return 0;
    return end + 2;
}

std::size_t rewrite_declaration(char* head, std::size_t head_len) noexcept {
    // Both names are longer than the replacement, so each pass only compacts.
    std::size_t len = replace_compact(head, head_len, kUpperName, kUtf8Name);
    len = replace_compact(head, len, kLowerName, kUtf8Name);
    std::memmove(head + (head_len - len), head, len);
    return head_len - len;
}

void rewrite_xml_declaration_in_place(Buffer& text) {
    const std::size_t head_len = declaration_to_rewrite(text.view());
    if (head_len == 0) return;
    const std::size_t base = view_offset(text);
    text.set_start(base + rewrite_declaration(text.data() + base, head_len));
}

RawForm raw_form(const char* p, std::size_t n, std::size_t known) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    // An ASCII prefix ends on a character boundary: only the rest needs checking.
    known = std::min(known, n);
    if (is_valid_utf8(p + known, n - known)) return RawForm::Utf8;
    // A UTF-8 byte-order mark before text that is not UTF-8 (the mark itself
    // is, so the rest is not): the file says UTF-8 and is not, and guessing
    // windows-1252 for it would be wrong.
    if (n >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) decode_failure();
    if (n >= 2 && u[0] == 0xFF && u[1] == 0xFE) return RawForm::Utf16Le;
    if (n >= 2 && u[0] == 0xFE && u[1] == 0xFF) return RawForm::Utf16Be;
    return RawForm::Windows1252;
}

Buffer decode_other(std::string_view bytes, RawForm form) {
    if (form == RawForm::Utf16Le || form == RawForm::Utf16Be)
        return decode_utf16(bytes.data(), bytes.size(), form == RawForm::Utf16Be);
    const std::size_t out_size = windows1252_utf8_size(bytes.data(), bytes.size());
    Buffer text(out_size);
    text.append(bytes.data(), bytes.size());
    windows1252_decode_in_place(text.data(), bytes.size(), out_size);
    text.set_size(out_size);
    return text;
}

Buffer make_document_text(Buffer raw, std::size_t ascii_prefix) {
    if (view_offset(raw) != 0) {
        ascii_prefix = 0;
        // Work on a buffer whose text starts at its first byte.
        const std::string_view v = raw.view();
        std::memmove(raw.data(), v.data(), v.size());
        raw.set_size(v.size());
        raw.set_start(0);
    }
    const char* p = raw.data();
    const std::size_t n = raw.size();

    Buffer text;
    switch (raw_form(p, n, ascii_prefix)) {
        case RawForm::Utf8:
            text = std::move(raw);  // the common case: no decoding, no copy
            break;
        case RawForm::Utf16Le:
        case RawForm::Utf16Be:
            text = decode_utf16(p, n, p[0] == '\xFE');
            raw = Buffer();
            break;
        case RawForm::Windows1252: {
            // windows-1252 never fails; it grows the text, decoded inside the raw buffer.
            const std::size_t out_size = windows1252_utf8_size(p, n);
            raw.reserve(out_size);
            windows1252_decode_in_place(raw.data(), n, out_size);
            raw.set_size(out_size);
            text = std::move(raw);
            break;
        }
    }
    rewrite_xml_declaration_in_place(text);
    return text;
}

Buffer read_document_text(InputFile& file, bool gz) {
    // The ASCII scan is done on the way, while each piece is in the cache.
    AsciiPrefix ascii;
    Buffer raw;
    if (gz) {
        const Buffer packed = file.read_all();
        raw = gunzip(packed.data(), packed.size(), &ascii);
    } else {
        raw = file.read_all(&ascii);
    }
    return make_document_text(std::move(raw), ascii.length());
}

}  // namespace calcsift
