#include "core/load/load.hpp"

#include <exception>
#include <memory>
#include <optional>

#include "core/base/error.hpp"
#include "core/input/file.hpp"
#include "core/input/gzip.hpp"
#include "core/input/mapped_text.hpp"
#include "core/input/text.hpp"
#include "core/kernels/chars.hpp"
#include "core/parser/driver.hpp"

namespace calcsift {

namespace {

// A parse of the document text a cursor stands at the start of.
using Parse = VasprunData (*)(Cursor& cur, const ParseOptions& options);

VasprunData parse_whole(Cursor& cur, const ParseOptions& options) { return parse_document(cur, options); }

// True when the text ends with the root's end tag (and white space): VASP
// wrote the record to its end, and nothing in it is cut.
bool closed(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && is_xml_space(text[n - 1])) --n;
    constexpr std::string_view kEnd = "</modeling>";
    return n >= kEnd.size() && text.substr(n - kEnd.size(), kEnd.size()) == kEnd;
}

// The parse of a record that may be cut: read whole when it is not cut; else
// again up to the end of its last complete calculation (before any, its last
// complete top-level element), as a document that ends there. A record that
// is not cut fails as the whole parse fails.
VasprunData parse_partial(Cursor& cur, const ParseOptions& options) {
    Trace trace;
    std::optional<VasprunData> whole;
    std::exception_ptr failure;
    try {
        whole = parse_document(cur, options, &trace);
        if (whole->progress.finished) return std::move(*whole);
    } catch (const VasprunError&) {
        if (closed(cur.document())) throw;
        failure = std::current_exception();
    }
    const std::size_t cut = trace.last_calculation_end ? trace.last_calculation_end : trace.last_element_end;
    if (cut == 0) {
        if (failure) std::rethrow_exception(failure);
        return std::move(*whole);
    }
    Cursor head(cur.document().substr(0, cut), cur.kernels());
    return parse_document(head, options);
}

// The parse over a mapping of the file, or nothing when the file is not
// mapped or changed while it was (the caller then reads it).
std::optional<VasprunData> parse_mapped(InputFile& file, bool gz, Parse parse, const ParseOptions& options,
                                        const SimdKernels& kernels) {
    std::unique_ptr<MappedText> text = MappedText::open(file, gz);
    if (!text) return std::nullopt;
    if (!text->unchecked()) {
        Cursor cur(text->view(), kernels);
        return parse(cur, options);
    }
    // Parsed as UTF-8 before the text is checked: the parse stands only when
    // the text is UTF-8, and is done again over the decoded text otherwise.
    std::optional<VasprunData> result;
    std::optional<Buffer> decoded;
    try {
        std::exception_ptr failure;
        Cursor cur(text->view(), kernels);
        try {
            result = parse(cur, options);
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
    Cursor cur(decoded->view(), kernels);
    return parse(cur, options);
}

VasprunData load_file(const std::string& path, Parse parse, const ParseOptions& options) {
    // A CALCSIFT_SIMD this process cannot follow fails every parse, before any work.
    const SimdKernels& kernels = simd_kernels();
    InputFile file(path);
    const bool gz = has_gz_extension(path);
    if (std::optional<VasprunData> result = parse_mapped(file, gz, parse, options, kernels))
        return std::move(*result);
    // Not mapped, or the file changed while it was: read it from its start
    // into private memory, as it is now.
    file.rewind();
    const Buffer text = read_document_text(file, gz);
    Cursor cur(text.view(), kernels);
    return parse(cur, options);
}

}  // namespace

VasprunData parse_text(std::string_view text, const ParseOptions& options, const SimdKernels& kernels) {
    Cursor cur(text, kernels);
    return parse_document(cur, options);
}

VasprunData parse_file(const std::string& path, const ParseOptions& options) {
    return load_file(path, parse_whole, options);
}

VasprunData parse_file_partial(const std::string& path, const ParseOptions& options) {
    return load_file(path, parse_partial, options);
}

VasprunData parse_bytes(const char* data, std::size_t size, const ParseOptions& options) {
    const SimdKernels& kernels = simd_kernels();
    Buffer raw(size);
    raw.append(data, size);
    const Buffer text = make_document_text(std::move(raw));
    return parse_text(text.view(), options, kernels);
}

}  // namespace calcsift
