// The reader: everything a section parser reads the document with.
//
//   tokenizer.hpp  Event, Tokenizer (markup events), attr_str
//   cursor.hpp     Cursor: skipping, text, rows of numbers, sizing large elements
//   numbers.hpp    parse_f64, parse_floats_into, parse_v3, integers
//   entities.hpp   unescape_into
//   kernels/chars.hpp  the character-class table, Unicode whitespace, trimming, tokens
//
// The byte scans the reader uses (scan.hpp, markup_scan.hpp, decimal.hpp, the
// SIMD kernel sets of simd.hpp) are in core/kernels/.
#pragma once

#include "core/kernels/chars.hpp"
#include "core/reader/cursor.hpp"
#include "core/reader/entities.hpp"
#include "core/reader/numbers.hpp"
#include "core/reader/tokenizer.hpp"
