// Blocks no load depends on (see Fallible): the load passes over such a block
// exactly as it passes over an element it does not know, and that alone decides
// whether and where it goes on; the block is then read from its own text, and
// an error there is kept for its property.
#pragma once

#include <optional>
#include <string_view>

#include "core/reader/cursor.hpp"
#include "core/record/record.hpp"

namespace calcsift {

// How a block is passed over: tokenised, as any unknown element (skip_element),
// or by a byte-level search for its end tag (fast_skip).
enum class Skip : std::uint8_t { element, bytes };

inline void skip_block(Cursor& cur, Skip skip, std::string_view name) {
    if (skip == Skip::bytes) cur.fast_skip(name);
    else cur.skip_element(name);
}

// Passes over the element whose start tag was just read and returns its text
// (from after the start tag through the end tag), or nothing when the parse
// does not read extras.
inline std::optional<std::string_view> extra_text(Cursor& cur, Skip skip, std::string_view name) {
    const std::size_t begin = cur.offset();
    skip_block(cur, skip, name);
    if (!cur.extras()) return std::nullopt;
    return cur.document().substr(begin, cur.offset() - begin);
}

// read(sub) over the text of an extra block, with a cursor of its own.
template <class Read>
auto read_text_of(const Cursor& parent, std::string_view text, Read&& read) {
    Cursor sub(text, parent.kernels());
    return read(sub);
}

}  // namespace calcsift
