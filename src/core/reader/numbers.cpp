#include "core/reader/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "core/kernels/chars.hpp"
#include "core/kernels/decimal.hpp"
#include "core/base/error.hpp"

// Without std::from_chars for double (libc++ before 17), the general path is
// strtod under the C locale (uselocale is POSIX) after a grammar check.
#if !(defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L)
#define CALCSIFT_STRTOD_FALLBACK 1
#include <locale.h>
#endif

namespace calcsift {

namespace {

#ifdef CALCSIFT_STRTOD_FALLBACK

bool is_digit(char c) noexcept { return static_cast<unsigned>(c - '0') < 10; }

bool equals_ci(const char* p, const char* e, std::string_view word) noexcept {
    if (static_cast<std::size_t>(e - p) != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != word[i]) return false;
    }
    return true;
}

// The grammar std::from_chars takes in general format, for the whole of [p, e).
bool decimal_grammar(const char* p, const char* e) noexcept {
    if (p < e && *p == '-') ++p;
    if (p < e && !is_digit(*p) && *p != '.')
        return equals_ci(p, e, "inf") || equals_ci(p, e, "infinity") || equals_ci(p, e, "nan");
    const char* digits = p;
    while (p < e && is_digit(*p)) ++p;
    std::size_t n = static_cast<std::size_t>(p - digits);
    if (p < e && *p == '.') {
        const char* frac = ++p;
        while (p < e && is_digit(*p)) ++p;
        n += static_cast<std::size_t>(p - frac);
    }
    if (n == 0) return false;
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < e && (*p == '+' || *p == '-')) ++p;
        const char* exp = p;
        while (p < e && is_digit(*p)) ++p;
        if (p == exp) return false;
    }
    return p == e;
}

double strtod_c(const char* b, const char* e) {
    char buf[128];
    std::string big;
    const char* cstr;
    const std::size_t n = static_cast<std::size_t>(e - b);
    if (n < sizeof buf) {
        std::memcpy(buf, b, n);
        buf[n] = '\0';
        cstr = buf;
    } else {
        big.assign(b, n);
        cstr = big.c_str();
    }
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    const locale_t old = uselocale(c_locale);
    const double v = std::strtod(cstr, nullptr);
    uselocale(old);
    return v;
}

#else

// The nearest double of a number too large or too small for one: infinity or
// zero, with its sign. Which of the two follows from the decimal exponent of
// its first significant digit (no double lies near the boundary between them).
double out_of_range_value(const char* p, const char* e) noexcept {
    const bool neg = *p == '-';
    p += neg;
    constexpr long long kCap = 1LL << 50;
    long long magnitude = 0;  // the value lies in [10^(magnitude-1), 10^magnitude)
    bool point = false, significant = false;
    for (; p < e && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            point = true;
        } else if (significant) {
            if (!point && magnitude < kCap) ++magnitude;
        } else if (*p != '0') {
            significant = true;
            if (!point) magnitude = 1;
        } else if (point && magnitude > -kCap) {
            --magnitude;  // a zero between the point and the first significant digit
        }
    }
    long long exponent = 0;
    if (p < e) {
        ++p;
        const bool down = *p == '-';
        p += *p == '-' || *p == '+';
        for (; p < e; ++p)
            if (exponent < kCap) exponent = exponent * 10 + (*p - '0');
        if (down) exponent = -exponent;
    }
    const double v = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return neg ? -v : v;
}

#endif

// The whole of [b, e) as a number by the grammar of std::from_chars in general
// format, or false. NaN is the quiet NaN; "nan(...)" is not a number here.
bool general_decimal(const char* b, const char* e, double& v) {
#ifdef CALCSIFT_STRTOD_FALLBACK
    if (!decimal_grammar(b, e)) return false;
    v = strtod_c(b, e);
#else
    const auto r = std::from_chars(b, e, v, std::chars_format::general);
    if (r.ptr != e) return false;
    if (r.ec == std::errc::result_out_of_range) {
        v = out_of_range_value(b, e);
        return true;
    }
    if (r.ec != std::errc()) return false;
#endif
    if (std::isnan(v)) {
        if (std::memchr(b, '(', static_cast<std::size_t>(e - b))) return false;
        v = std::numeric_limits<double>::quiet_NaN();
    }
    return true;
}

inline bool all_stars(std::string_view t) noexcept {
    for (char c : t)
        if (c != '*') return false;
    return !t.empty();
}

[[noreturn]] void bad_float(std::string_view token) {
    throw VasprunError::parse_value(std::string(token), "f64", "invalid float");
}

double token_value(std::string_view t) {
    double v;
    if (general_decimal(t.data(), t.data() + t.size(), v)) return v;
    if (all_stars(t)) return std::numeric_limits<double>::quiet_NaN();
    const auto slow = parse_f64(t);  // a leading '+'
    if (!slow) bad_float(t);
    return *slow;
}

}  // namespace

std::optional<double> parse_f64(std::string_view token) noexcept {
    const char* b = token.data();
    const char* e = b + token.size();
    if (b == e) return std::nullopt;
    if (*b == '+') {
        ++b;
        if (b == e || *b == '-' || *b == '+') return std::nullopt;
    }
    double v = 0.0;
    if (fast_decimal(b, e, v) == e) return v;
    try {
        if (general_decimal(b, e, v)) return v;
    } catch (...) {  // a long token's copy for strtod
    }
    return std::nullopt;
}

bool scan_plain_decimals(const char* p, const char* e, std::vector<double>& out) {
    for (;;) {
        if (is_ascii_space(*p)) {
            ++p;
            continue;
        }
        if (p == e) return true;
        const bool neg = *p == '-';
        p += neg;
        const char* start = p;
        std::uint64_t m = 0;
        unsigned d;
        while ((d = static_cast<unsigned char>(*p) - unsigned{'0'}) < 10) {
            m = m * 10 + d;
            ++p;
        }
        int digits = static_cast<int>(p - start);
        int frac = 0;
        if (*p == '.') {
            const char* fs = ++p;
            while ((d = static_cast<unsigned char>(*p) - unsigned{'0'}) < 10) {
                m = m * 10 + d;
                ++p;
            }
            frac = static_cast<int>(p - fs);
            digits += frac;
        }
        if (digits == 0 || digits > 15) return false;
        if (p != e && !is_ascii_space(*p)) return false;
        double v = static_cast<double>(m);
        if (frac) v /= kPow10[frac];
        out.push_back(neg ? -v : v);
    }
}

std::size_t parse_floats_into(std::string_view text, std::vector<double>& out) {
    const char* p = text.data();
    const char* e = p + text.size();
    std::size_t count = 0;
    while (p < e) {
        if (const std::size_t w = unicode_space_len(p, e)) {
            p += w;
            continue;
        }
        double v;
        if (const char* q = fast_decimal(p, e, v)) {
            out.push_back(v);
            ++count;
            p = q;
            continue;
        }
        const char* t = p;
        while (p < e && unicode_space_len(p, e) == 0) ++p;
        out.push_back(token_value(std::string_view(t, static_cast<std::size_t>(p - t))));
        ++count;
    }
    return count;
}

std::array<double, 3> parse_v3(std::string_view text) {
    // Rows hold three numbers almost always: parse into a small local buffer.
    thread_local std::vector<double> vals;
    vals.clear();
    parse_floats_into(text, vals);
    if (vals.size() < 3)
        throw VasprunError::parse_value(std::string(text), "[f64; 3]",
                                        "expected 3 values, got " + std::to_string(vals.size()));
    return {vals[0], vals[1], vals[2]};
}


// --- integers ---------------------------------------------------------------------

std::optional<std::int64_t> parse_i64(std::string_view s) noexcept {
    if (s.empty()) return std::nullopt;
    const char* b = s.data();
    const char* e = b + s.size();
    if (*b == '+') {
        ++b;
        if (b == e || *b == '-' || *b == '+') return std::nullopt;
    }
    std::int64_t v = 0;
    auto r = std::from_chars(b, e, v, 10);
    if (r.ec != std::errc() || r.ptr != e) return std::nullopt;
    return v;
}

std::optional<std::int32_t> parse_i32(std::string_view s) noexcept {
    auto v = parse_i64(s);
    if (!v || *v < std::numeric_limits<std::int32_t>::min() ||
        *v > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    // An i64 parse would also accept 20-digit overflow forms as failure; fine.
    return static_cast<std::int32_t>(*v);
}

std::optional<std::uint64_t> parse_u64(std::string_view s) noexcept {
    if (s.empty()) return std::nullopt;
    const char* b = s.data();
    const char* e = b + s.size();
    if (*b == '+') ++b;
    if (b == e || *b < '0' || *b > '9') return std::nullopt;
    std::uint64_t v = 0;
    auto r = std::from_chars(b, e, v, 10);
    if (r.ec != std::errc() || r.ptr != e) return std::nullopt;
    return v;
}

}  // namespace calcsift
