#include "core/input/mapped_text.hpp"

#include <cstdint>

#include "core/base/error.hpp"
#include "core/base/memory.hpp"
#include "core/input/gzip.hpp"
#include "core/input/text.hpp"

namespace calcsift {

namespace {

// A file may be mapped when it is a regular file of at least the mapping
// threshold (below it, reading is as cheap as mapping).
bool worth_mapping(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_size > 0 &&
           static_cast<std::uint64_t>(st.st_size) >= memory_thresholds().map_file &&
           static_cast<std::uint64_t>(st.st_size) <= SIZE_MAX / 2;
}

}  // namespace

std::unique_ptr<MappedText> MappedText::open(InputFile& file, bool gz) {
    if (!worth_mapping(file.status())) return nullptr;
    std::unique_ptr<MappedFile> map =
        MappedFile::map(file.fd(), static_cast<std::size_t>(file.status().st_size));
    if (!map) return nullptr;
    std::unique_ptr<MappedText> text(new MappedText(file, std::move(map)));
    const std::string_view bytes = text->map_->bytes();
    try {
        const auto* u = reinterpret_cast<const unsigned char*>(bytes.data());
        if (gz) {
            AsciiPrefix ascii;
            Buffer raw = gunzip(bytes.data(), bytes.size(), &ascii);
            if (text->moved()) return nullptr;
            text->release();  // the compressed bytes are no longer needed
            text->owned_ = make_document_text(std::move(raw), ascii.length());
        } else if (bytes.size() >= 2 && ((u[0] == 0xFF && u[1] == 0xFE) || (u[0] == 0xFE && u[1] == 0xFF))) {
            Buffer decoded = decode_other(bytes, raw_form(bytes.data(), bytes.size(), 0));
            if (text->moved()) return nullptr;
            text->release();
            rewrite_xml_declaration_in_place(decoded);
            text->owned_ = std::move(decoded);
        } else {
            // Taken as UTF-8 until a parse has shown which parts it need not
            // check (for a large file, mostly skipped blocks, that is little).
            // The declaration rewrite and a decoding touch bytes of their own,
            // so their order does not matter.
            std::size_t start = 0;
            if (const std::size_t head = declaration_to_rewrite(bytes)) {
                char* w = text->map_->writable_prefix(head);
                if (!w) return nullptr;
                start = rewrite_declaration(w, head);
            }
            text->view_ = bytes.substr(start);
            text->unchecked_ = true;
            return text;
        }
    } catch (const VasprunError&) {
        if (text->moved()) return nullptr;
        throw;
    }
    text->view_ = text->owned_.view();
    return text;
}

std::optional<Buffer> MappedText::decoded(const std::vector<ByteRange>& ascii_ranges) const {
    if (!unchecked_ || ascii_outside(view_.data(), view_.size(), ascii_ranges)) return std::nullopt;
    const RawForm form = raw_form(view_.data(), view_.size(), 0);
    if (form == RawForm::Utf8) return std::nullopt;
    Buffer text = decode_other(view_, form);
    rewrite_xml_declaration_in_place(text);
    return text;
}

bool MappedText::moved() const noexcept {
    return map_ && (map_->lost_pages() || file_->changed());
}

}  // namespace calcsift
