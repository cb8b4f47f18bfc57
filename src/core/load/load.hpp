// The entry points of the core: a file or bytes in memory to the run record.
// The input layer makes the UTF-8 text, the parser reads it; when the text was
// a mapping of a file that changed while it was read, the file is read again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/kernels/simd.hpp"
#include "core/record/record.hpp"

namespace calcsift {

// The whole load: read, decode, parse. Throws VasprunError.
VasprunData parse_file(const std::string& path, const ParseOptions& options);

// The record of a file that may be cut (a run killed by a time limit): read
// whole when the file ends with </modeling> (it is not cut: it loads or fails
// as parse_file does); otherwise everything it holds up to the end of its last
// complete <calculation> (before any, of its last complete top-level element),
// read as a document that ends there.
VasprunData parse_file_partial(const std::string& path, const ParseOptions& options);

// The same over bytes already in memory (treated as the plain file's content).
VasprunData parse_bytes(const char* data, std::size_t size, const ParseOptions& options);

// The parse of a document text that is UTF-8 already, with a SIMD kernel set
// of this CPU (simd.hpp; the fuzz target compares them).
VasprunData parse_text(std::string_view text, const ParseOptions& options,
                       const SimdKernels& kernels = simd_kernels());

}  // namespace calcsift
