// The document driver: walks the root element once, dispatches each top-level
// section to its parser and assembles the result of the parse.
#pragma once

#include <cstddef>
#include <vector>

#include "core/reader/cursor.hpp"
#include "core/record/record.hpp"

namespace calcsift {

// Where the top-level elements that closed with their end tags end (offsets
// just past the end tag; 0 for none), for reading a cut document up to them.
struct Trace {
    std::size_t last_calculation_end = 0;
    std::size_t last_element_end = 0;
};

// The run record of the document. With a trace, the ends of its top-level
// elements are noted there as they are read (also when the parse fails).
VasprunData parse_document(Cursor& cur, const ParseOptions& options, Trace* trace = nullptr);

// Keeps, of n steps, those after the offset and then every skip-th one.
void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options);

}  // namespace calcsift
