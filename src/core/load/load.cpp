#include "core/load/load.hpp"

#include <exception>
#include <memory>
#include <optional>

#include "core/base/error.hpp"
#include "core/input/file.hpp"
#include "core/input/gzip.hpp"
#include "core/input/mapped_text.hpp"
#include "core/input/text.hpp"
#include "core/parser/driver.hpp"

namespace calcsift {

namespace {

// The parse over a mapping of the file, or nothing when the file is not
// mapped or changed while it was (the caller then reads it).
std::optional<VasprunData> parse_mapped(InputFile& file, bool gz, const ParseOptions& options,
                                        const SimdKernels& kernels) {
    std::unique_ptr<MappedText> text = MappedText::open(file, gz);
    if (!text) return std::nullopt;
    if (!text->unchecked()) return parse_text(text->view(), options, kernels);
    // Parsed as UTF-8 before the text is checked: the parse stands only when
    // the text is UTF-8, and is done again over the decoded text otherwise.
    std::optional<VasprunData> result;
    std::optional<Buffer> decoded;
    try {
        std::exception_ptr failure;
        Cursor cur(text->view(), kernels);
        try {
            result = parse_document(cur, options);
        } catch (const VasprunError&) {
            failure = std::current_exception();
        }
        decoded = text->decoded(cur.ascii_spans());
        if (decoded) {
            result.reset();
            failure = nullptr;
        }
        if (failure) std::rethrow_exception(failure);
    } catch (const VasprunError&) {
        if (text->moved()) return std::nullopt;
        throw;
    }
    if (text->moved()) return std::nullopt;
    text.reset();
    if (result) return result;
    return parse_text(decoded->view(), options, kernels);
}

}  // namespace

VasprunData parse_text(std::string_view text, const ParseOptions& options, const SimdKernels& kernels) {
    Cursor cur(text, kernels);
    return parse_document(cur, options);
}

VasprunData parse_file(const std::string& path, const ParseOptions& options) {
    // A CALCSIFT_SIMD this process cannot follow fails every parse, before any work.
    const SimdKernels& kernels = simd_kernels();
    InputFile file(path);
    const bool gz = has_gz_extension(path);
    if (std::optional<VasprunData> result = parse_mapped(file, gz, options, kernels)) return std::move(*result);
    // Not mapped, or the file changed while it was: read it from its start
    // into private memory, as it is now.
    file.rewind();
    const Buffer text = read_document_text(file, gz);
    return parse_text(text.view(), options, kernels);
}

VasprunData parse_bytes(const char* data, std::size_t size, const ParseOptions& options) {
    const SimdKernels& kernels = simd_kernels();
    Buffer raw(size);
    raw.append(data, size);
    const Buffer text = make_document_text(std::move(raw));
    return parse_text(text.view(), options, kernels);
}

}  // namespace calcsift
