// The cursor: walks the document with the tokenizer and holds the primitives
// section parsers are built from (skipping, text, rows of numbers, and sizing
// the buffers of large elements).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/memory.hpp"
#include "core/kernels/utf8.hpp"
#include "core/kernels/simd.hpp"
#include "core/reader/tokenizer.hpp"

namespace calcsift {

// A cursor over the document: the tokenizer, the document text, the offset of the
// tokenizer's suffix, and the primitives section parsers are built from.
class Cursor {
public:
    // kernels: the SIMD kernel set for the tokenizer, rows and searches (simd.hpp).
    explicit Cursor(std::string_view document, const SimdKernels& kernels = simd_kernels());

    const SimdKernels& kernels() const noexcept { return *simd_; }

    Event next() { return reader_.next(); }

    // Consumes the rest of an element whose Start event has just been read.
    void skip_element(std::string_view name);

    // The same at byte level: one substring search for "</name>" and a restart after it.
    void fast_skip(std::string_view name);

    // Text content of the element whose Start event has just been read, up to
    // the next End event (any name) or end of input. When the content is split
    // into pieces, the last piece counts. The view is valid until the next call.
    std::string_view read_text();

    // parse_floats_into(read_text(), out), with rows of plain decimals parsed
    // straight from the document. Returns the number of values appended.
    std::size_t read_floats(std::vector<double>& out);

    // parse_v3(read_text()), by way of read_floats.
    std::array<double, 3> read_v3();

    std::string_view document() const noexcept { return doc_; }

    // Whether the parse reads the blocks no load depends on (on by default).
    bool extras() const noexcept { return extras_; }
    void set_extras(bool on) noexcept { extras_ = on; }
    // Offset of the reader in the whole document.
    std::size_t offset() const noexcept { return base_ + reader_.position(); }

    // --- sizing the buffers of a large element before they are filled ---

    // The bytes of text from the reader's position up to the next </name> (up
    // to the end of the document when there is none): the most text the rest
    // of the element can hold. One scan at memory speed.
    std::size_t text_left(std::string_view name) const noexcept;

    // A point in the text, to measure the part of an element read after it.
    struct Mark {
        std::size_t at = 0;
    };
    Mark mark() const noexcept { return {offset()}; }

    // The rest of an element compared with its part read since a mark: room for
    // what the rest holds at the density of that part.
    class Rest {
    public:
        // Reserves room in v for the entries the rest of the element will add,
        // `gained` being how many the part read added: at the same density, a
        // little over and 64 spare, but never more than one entry per
        // `min_bytes` bytes of the text left. With map_pages, the pages of the
        // expected entries are mapped in at once (never more bytes than the
        // text left, so a crafted block cannot make it commit more memory).
        template <typename T>
        void reserve(std::vector<T>& v, std::size_t gained, std::size_t min_bytes,
                     bool map_pages = false) const;

    private:
        friend class Cursor;
        double left_ = 0;   // bytes of the rest
        double scale_ = 0;  // bytes of the rest per byte of the part read, a little over
    };
    // Nothing when nothing was read since the mark. `name` is the element's name.
    std::optional<Rest> rest_like(Mark since, std::string_view name) const noexcept;

private:
    // The layout of the last row of fixed-width fields that read_floats took
    // (a cache: rows of one block look alike).
    struct RowShape {
        std::size_t length = 0;  // bytes from the start tag's '>' to the end tag's '<'
        unsigned width = 0;      // bytes per field, leading spaces included
        unsigned frac = 0;       // decimals
        unsigned fields = 0;
    };
    static bool row_shape(const char* p, const char* e, RowShape& s);

public:
    // Spans of the document that the byte-level searches (fast_skip,
    // text_left) found to hold only ASCII on their way, in search order (they
    // may overlap; the longest are kept), so that the loader need check only
    // the rest of a mapped text for UTF-8.
    using Span = ByteRange;
    std::vector<Span> ascii_spans() const;

private:

    // Offset in the document of the next occurrence of needle after the
    // reader's position (the document's size when there is none).
    std::size_t find_ahead(std::string_view needle) const noexcept;
    const char* read_fixed_row(const char* p, const char* end, std::vector<double>& out);
    void note_ascii(const char* b, const char* e) const noexcept;

    const SimdKernels* simd_;
    bool extras_ = true;
    Tokenizer reader_;
    std::string_view doc_;
    std::size_t base_ = 0;
    std::string scratch_;
    std::vector<double> row_;
    RowShape shape_;
    mutable std::array<Span, 32> ascii_spans_{};
    mutable std::size_t ascii_count_ = 0;
};

template <typename T>
void Cursor::Rest::reserve(std::vector<T>& v, std::size_t gained, std::size_t min_bytes,
                           bool map_pages) const {
    const double more = std::min(static_cast<double>(gained) * scale_,
                                 left_ / static_cast<double>(min_bytes));
    const double want = static_cast<double>(v.size()) + more + 64;
    if (want > static_cast<double>(v.capacity())) v.reserve(static_cast<std::size_t>(want));
    if (!map_pages) return;
    advise_huge_pages(v.data(), v.capacity() * sizeof(T));
    const double expected = std::min(more / (1.0 + 1.0 / 32) * sizeof(T), left_);
    prepare_for_writing(v.data() + v.size(), std::min(static_cast<std::size_t>(expected),
                                                      (v.capacity() - v.size()) * sizeof(T)));
}

}  // namespace calcsift
