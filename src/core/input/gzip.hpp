// gzip (RFC 1952): the first member of a file, inflated with libdeflate under
// our own header and trailer code, so that the error texts are ours.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/base/buffer.hpp"
#include "core/input/file.hpp"

namespace calcsift {

// True when the extension of the path's last component (the text after its last
// '.', none when the only dot is the first character) is exactly "gz".
bool has_gz_extension(std::string_view path);

// Decodes the first gzip member of [data, data+size); anything after its trailer
// is ignored. With ascii, the ASCII prefix of the output is measured on the way.
// Throws VasprunError (Io) with the decoder's description.
Buffer gunzip(const char* data, std::size_t size, AsciiPrefix* ascii = nullptr);

}  // namespace calcsift
