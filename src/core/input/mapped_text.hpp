// The document text of a file read through a mapping: plain text straight from
// the page cache (only the pages of a rewritten declaration become private
// copies), a .gz inflated from the mapping, UTF-16 decoded from it.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/input/file.hpp"
#include "core/input/mapped_file.hpp"
#include "core/kernels/utf8.hpp"

namespace calcsift {

class MappedText {
public:
    // The text of the file through a mapping, or nothing when the file is not
    // worth mapping, cannot be mapped, or changed while it was decoded (the
    // caller then reads it). Throws VasprunError when the bytes cannot be
    // decoded (and did not change meanwhile).
    static std::unique_ptr<MappedText> open(InputFile& file, bool gz);

    std::string_view view() const noexcept { return view_; }

    // True when the view is the mapped bytes themselves, not yet known to be
    // UTF-8 (checking a large file first would cost a pass over it): a parse
    // over it stands only when decoded() finds nothing to decode afterwards.
    bool unchecked() const noexcept { return unchecked_; }

    // For an unchecked text, once a parse over it has noted the ranges it
    // found to be ASCII: nothing when the text is UTF-8; otherwise the text
    // decoded into memory, declaration rewritten, to be parsed instead.
    std::optional<Buffer> decoded(const std::vector<ByteRange>& ascii_ranges) const;

    // True when what was read may not be the file: the mapping lost pages (the
    // file shrank) or the file changed. The result of a parse over bytes that
    // moved under it is never returned, nor its error.
    bool moved() const noexcept;

private:
    MappedText(InputFile& file, std::unique_ptr<MappedFile> map) : file_(&file), map_(std::move(map)) {}
    void release() noexcept { map_.reset(); }

    InputFile* file_;
    std::unique_ptr<MappedFile> map_;
    Buffer owned_;  // the text when it is not the mapped bytes
    std::string_view view_;
    bool unchecked_ = false;
};

}  // namespace calcsift
