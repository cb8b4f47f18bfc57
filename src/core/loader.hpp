// Turning a file (plain or .gz) or an in-memory byte buffer into the UTF-8
// document text, and running the parse over it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "buffer.hpp"
#include "parser/driver.hpp"

namespace calcsift {

// Reads the whole file; gunzips it when the last path component's extension is
// exactly "gz". Throws VasprunError (Io) on any failure, a NUL byte in the path
// among them.
Buffer read_file_bytes(const std::string& path);

// True when the extension of the path's last component (the text after its last
// '.', none when the only dot is the first character) is exactly "gz".
bool has_gz_extension(std::string_view path);

// Decodes the first gzip member of [data, data+size); anything after its trailer
// is ignored. Throws VasprunError (Io) with the decoder's description.
Buffer gunzip(const char* data, std::size_t size);

// Decodes raw bytes in place into UTF-8 document text: valid UTF-8 is kept as is;
// otherwise BOM sniffing (UTF-8, UTF-16LE, UTF-16BE) or windows-1252. Then the
// XML declaration rewrite. Throws VasprunError (Encoding).
Buffer make_document_text(Buffer raw);

// Replaces "ISO-8859-1" then "iso-8859-1" by "UTF-8" in the text up to and
// including the first "?>", inside the buffer: the shorter head is written so
// that it ends where the old one ended and the view is moved to its first byte.
// Never fails.
void rewrite_xml_declaration_in_place(Buffer& text);

// The whole load: read, decode, parse. Throws VasprunError.
VasprunData parse_file(const std::string& path, const ParseOptions& options);

// The same over bytes already in memory (treated as the plain file's content).
VasprunData parse_bytes(const char* data, std::size_t size, const ParseOptions& options);

}  // namespace calcsift
