// The tokenizer: cuts the document text into markup events.
//
// It is lenient by design: end tags are not matched against start tags, an
// empty-element tag is one event, text is trimmed and whitespace-only text
// produces no event. Names, attributes and text are views into the document:
// reading an event never allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/error.hpp"
#include "core/kernels/simd.hpp"

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

// It knows nothing of nesting; it only cuts the text into events. Its byte
// scans are those of a SIMD kernel set: its loop is compiled once per form of
// the scans (SimdKernels::markup), and a tokenizer calls the one of its set.
class Tokenizer {
public:
    explicit Tokenizer(std::string_view text, const SimdKernels& kernels = simd_kernels());

    // Restarts in the initial state over [begin, end): a leading byte-order mark is dropped.
    void reset(const char* begin, const char* end);

    // The next event; throws VasprunError (Xml) on malformed markup.
    Event next() { return next_(*this); }

    // Bytes of the current suffix consumed so far.
    std::size_t position() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    const char* cursor() const noexcept { return p_; }
    const char* end() const noexcept { return end_; }

private:
    friend class Cursor;  // which reads some contents in place and resumes after them
    void set_cursor(const char* p) noexcept { p_ = p; }

    using NextFn = Event (*)(Tokenizer&);
    static NextFn loop_for(const SimdKernels& kernels) noexcept;
    // next_as<Scans> is the loop with the scans of one form (next_with, inline in it).
    template <class Scans>
    static Event next_as(Tokenizer& t);
    template <class Scans>
    [[gnu::always_inline]] inline Event next_with();

    NextFn next_;
    const char* begin_ = nullptr;
    const char* p_ = nullptr;
    const char* end_ = nullptr;
};

// Attribute lookup on a Start or Empty event: the raw value between the quotes
// (entity references left as written) of the first attribute of that name, or
// nothing. Never fails.
std::optional<std::string_view> attr_str(const Event& ev, std::string_view name);

}  // namespace calcsift
