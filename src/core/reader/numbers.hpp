// Numbers in text: decimal floats by the standard grammar (with the stars
// Fortran prints for a field that overflows), whitespace-separated lists of
// them, and decimal integers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace calcsift {

// One decimal float by the standard grammar: optional sign, digits with an
// optional point, optional e/E exponent; inf, infinity, nan in any case. No
// surrounding whitespace. Out-of-range values round to infinity or zero.
std::optional<double> parse_f64(std::string_view token) noexcept;

// Appends every whitespace-separated number of text to out; a token of stars
// only is NaN. Throws ParseValue (type "f64", "invalid float") on a bad token.
// Returns the number of values appended.
std::size_t parse_floats_into(std::string_view text, std::vector<double>& out);

// The first three numbers of text; fewer is a ParseValue error.
std::array<double, 3> parse_v3(std::string_view text);

// Decimal integers: an optional sign (signed) or optional '+' (unsigned), then ASCII digits.
std::optional<std::int64_t> parse_i64(std::string_view s) noexcept;
std::optional<std::int32_t> parse_i32(std::string_view s) noexcept;
std::optional<std::uint64_t> parse_u64(std::string_view s) noexcept;

}  // namespace calcsift
