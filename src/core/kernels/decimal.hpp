// The exact fast path for plain decimals, shared by the scalar reader and the
// SIMD kernels.
//
// The numbers of a run record are almost all plain fixed-point decimals
// ("-12.34567890"). Such a number with at most 15 significant digits is
// m / 10^f with an integer mantissa m < 10^15 < 2^53 and f <= 15 < 22: both
// are exact doubles, so one IEEE division, rounded to nearest, gives the
// correctly rounded value of the decimal, which is what the general parser
// (std::from_chars, or strtod) returns. This holds only in the default
// rounding mode (round to nearest, even); nothing here changes the mode, and
// a caller that does gets results that may differ in the last bit from the
// general path. Negation is exact, so the sign is applied afterwards (-0.0
// stays negative). Anything else (an exponent, a longer mantissa, inf/nan,
// stars) goes to the general parser.
#pragma once

#include <cstdint>
#include <vector>

#include "core/kernels/chars.hpp"

namespace calcsift {

inline constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A plain decimal at p, ended by ASCII whitespace or e: its value in out and
// its end, or nullptr when the token needs the general parser.
inline const char* fast_decimal(const char* p, const char* e, double& out) noexcept {
    bool neg = false;
    if (p < e && *p == '-') {
        neg = true;
        ++p;
    }
    std::uint64_t m = 0;
    int digits = 0, frac = 0;
    const char* start = p;
    while (p < e && static_cast<unsigned>(*p - '0') < 10) {
        m = m * 10 + static_cast<unsigned>(*p - '0');
        ++p;
        ++digits;
    }
    if (p < e && *p == '.') {
        ++p;
        const char* fs = p;
        while (p < e && static_cast<unsigned>(*p - '0') < 10) {
            m = m * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        frac = static_cast<int>(p - fs);
        digits += frac;
    }
    if (p == start || digits == 0 || digits > 15) return nullptr;
    if (p < e && !is_ascii_space(*p)) return nullptr;
    double v = static_cast<double>(m);
    if (frac) v /= kPow10[frac];
    out = neg ? -v : v;
    return p;
}

// The numbers of [p, e), where *e is '<': the '<' stops every loop, so none
// needs a bounds check. Takes only what fast_decimal takes; returns false at
// the first other token (exponent, stars, inf/nan, '&', non-ASCII, garbage),
// leaving the values of the tokens before it in out. The scalar kernel of
// SimdKernels::decimals.
bool scan_plain_decimals(const char* p, const char* e, std::vector<double>& out);

}  // namespace calcsift
