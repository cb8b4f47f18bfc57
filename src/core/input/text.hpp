// Raw bytes to the UTF-8 document text: valid UTF-8 is kept as it is;
// otherwise the byte-order mark decides (UTF-8, UTF-16LE, UTF-16BE), and
// windows-1252 is the rest. Then the XML declaration rewrite: an ISO-8859-1
// declaration is made to name UTF-8, which the text now is.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/input/file.hpp"

namespace calcsift {

// The document text of raw bytes whose first ascii_prefix bytes are known to
// be ASCII, decoded in place where it can be. Throws VasprunError (Encoding).
Buffer make_document_text(Buffer raw, std::size_t ascii_prefix = 0);

// The whole text of a file read into memory (inflated when gz).
Buffer read_document_text(InputFile& file, bool gz);

// Replaces "ISO-8859-1" then "iso-8859-1" by "UTF-8" in the text up to and
// including the first "?>", inside the buffer: the shorter head is written so
// that it ends where the old one ended and the view is moved to its first byte.
// Never fails.
void rewrite_xml_declaration_in_place(Buffer& text);

// The length of the head of v (through its first "?>") when the declaration
// rewrite changes it; 0 when it changes nothing.
std::size_t declaration_to_rewrite(std::string_view v) noexcept;

// The rewrite of the head_len bytes at head, in place: the shorter head is
// written so that it ends where the old one ended. Returns the number of bytes
// it frees at the front.
std::size_t rewrite_declaration(char* head, std::size_t head_len) noexcept;

// How raw bytes become the document text.
enum class RawForm { Utf8, Utf16Le, Utf16Be, Windows1252 };

// The form of n raw bytes whose first `known` bytes are ASCII. Throws
// VasprunError (Encoding) when the bytes cannot be read in the form they announce.
RawForm raw_form(const char* p, std::size_t n, std::size_t known);

// The UTF-8 text of bytes that are not valid UTF-8, by their form.
Buffer decode_other(std::string_view bytes, RawForm form);

}  // namespace calcsift
