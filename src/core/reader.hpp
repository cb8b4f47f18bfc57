// The pull reader over the in-memory document text and the primitives every
// section parser is built from.
//
// The reader is lenient by design: end tags are not matched against start
// tags, an empty-element tag is one event, text is trimmed and whitespace-only
// text produces no event. Names, attributes and text are views into the
// document: reading an event never allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace calcsift {

enum class EventKind : std::uint8_t {
    Start,
    End,
    Empty,
    Text,
    CData,
    Comment,
    Decl,
    PI,
    DocType,
    Eof,
};

struct Event {
    EventKind kind = EventKind::Eof;
    std::string_view name;   // Start, End, Empty
    std::string_view attrs;  // Start, Empty: the raw text after the name
    std::string_view text;   // Text: trimmed, still escaped; CData/Comment/PI/...: raw content
};

// The tokenizer. It knows nothing of nesting; it only cuts the text into events.
class Tokenizer {
public:
    Tokenizer() = default;
    explicit Tokenizer(std::string_view text) { reset(text.data(), text.data() + text.size()); }

    // Restarts in the initial state over [begin, end): a leading byte-order mark is dropped.
    void reset(const char* begin, const char* end);

    // The next event; throws VasprunError (Xml) on malformed markup.
    Event next();

    // Bytes of the current suffix consumed so far.
    std::size_t position() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    const char* cursor() const noexcept { return p_; }
    const char* end() const noexcept { return end_; }

private:
    friend class Cursor;  // which reads some contents in place and resumes after them
    void set_cursor(const char* p) noexcept { p_ = p; }

    const char* begin_ = nullptr;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
};

// Unescapes the five predefined entities and character references of a text
// into out. Throws VasprunError (Message) on a bad reference.
void unescape_into(std::string_view raw, std::string& out);

// A cursor over the document: the tokenizer, the document text, the offset of the
// tokenizer's suffix, and the primitives section parsers are built from.
class Cursor {
public:
    explicit Cursor(std::string_view document);

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

    // The layout of the last row of fixed-width fields that read_floats took
    // (a cache: rows of one block look alike).
    struct RowShape {
        std::size_t length = 0;  // bytes from the start tag's '>' to the end tag's '<'
        unsigned width = 0;      // bytes per field, leading spaces included
        unsigned frac = 0;       // decimals
        unsigned fields = 0;
    };

private:
    // Offset in the document of the next occurrence of needle after the
    // reader's position (the document's size when there is none).
    std::size_t find_ahead(std::string_view needle) const noexcept;
    const char* read_fixed_row(const char* p, const char* end, std::vector<double>& out);

    Tokenizer reader_;
    std::string_view doc_;
    std::size_t base_ = 0;
    std::string scratch_;
    std::vector<double> row_;
    RowShape shape_;
};

// Attribute lookup on a Start or Empty event: the raw value between the quotes
// (entity references left as written), or nothing. Never fails.
std::optional<std::string_view> attr_str(const Event& ev, std::string_view name);

// --- numbers ---------------------------------------------------------------

// One decimal float by the standard grammar: optional sign, digits with an
// optional point, optional e/E exponent; inf, infinity, nan in any case. No
// surrounding whitespace. Out-of-range values round to infinity or zero.
std::optional<double> parse_f64(std::string_view token) noexcept;

// Appends every whitespace-separated number of text to out; a token of stars
// only is NaN. Throws ParseValue (type "f64", "invalid float") on a bad token.
// Returns the number of values appended.
std::size_t parse_floats_into(std::string_view text, std::vector<double>& out);
std::vector<double> parse_floats(std::string_view text);

// The first three numbers of text; fewer is a ParseValue error.
std::array<double, 3> parse_v3(std::string_view text);

// Splitting and trimming on Unicode whitespace.
std::string_view trim_unicode(std::string_view s) noexcept;
// Calls f(token) for each whitespace-separated token.
template <typename F>
void for_each_token(std::string_view s, F&& f);

// Length of the Unicode whitespace character at p (0 when none).
std::size_t unicode_space_len(const char* p, const char* end) noexcept;

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

// Maps in the whole pages inside [p, p + n) of a large buffer about to be
// filled, in one call instead of one page fault per page; a hint only.
void prefault_pages(const void* p, std::size_t n) noexcept;

template <typename T>
void Cursor::Rest::reserve(std::vector<T>& v, std::size_t gained, std::size_t min_bytes,
                           bool map_pages) const {
    const double more = std::min(static_cast<double>(gained) * scale_,
                                 left_ / static_cast<double>(min_bytes));
    const double want = static_cast<double>(v.size()) + more + 64;
    if (want > static_cast<double>(v.capacity())) v.reserve(static_cast<std::size_t>(want));
    if (!map_pages) return;
    const double expected = std::min(more / (1.0 + 1.0 / 32) * sizeof(T), left_);
    prefault_pages(v.data() + v.size(), std::min(static_cast<std::size_t>(expected),
                                                 (v.capacity() - v.size()) * sizeof(T)));
}

// Decimal integers: an optional sign (signed) or optional '+' (unsigned), then ASCII digits.
std::optional<std::int64_t> parse_i64(std::string_view s) noexcept;
std::optional<std::int32_t> parse_i32(std::string_view s) noexcept;
std::optional<std::uint64_t> parse_u64(std::string_view s) noexcept;

}  // namespace calcsift
