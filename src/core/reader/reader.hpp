// The reader: everything a section parser reads the document with.
//
//   tokenizer.hpp  Event, Tokenizer (markup events), attr_str
//   cursor.hpp     Cursor: skipping, text, rows of numbers, sizing large elements
//   numbers.hpp    parse_f64, parse_floats_into, parse_v3, integers
//   chars.hpp      the character-class table, Unicode whitespace, trimming, tokens
//   entities.hpp   unescape_into
//
// Internal to the reader: scan.hpp (byte searches), decimal.hpp (the exact
// fast path for plain decimals), simd.hpp with simd.cpp and simd_avx2.cpp (the
// kernel sets and their choice), memory.hpp (page prefaulting).
#pragma once

#include "core/kernels/chars.hpp"
#include "core/reader/cursor.hpp"
#include "core/reader/entities.hpp"
#include "core/reader/numbers.hpp"
#include "core/reader/tokenizer.hpp"
