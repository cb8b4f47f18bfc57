// The document driver: walks the root element once, dispatches each top-level
// section to its parser and assembles the result of the parse.
#pragma once

#include <vector>

#include "core/reader/cursor.hpp"
#include "core/record/record.hpp"

namespace calcsift {

VasprunData parse_document(Cursor& cur, const ParseOptions& options);

// Keeps, of n steps, those after the offset and then every skip-th one.
void select_ionic_steps(std::vector<IonicStep>& steps, const ParseOptions& options);

}  // namespace calcsift
