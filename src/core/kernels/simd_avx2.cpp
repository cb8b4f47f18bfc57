// The AVX2 kernel set: substring search, the ASCII scan of the UTF-8 check,
// plain decimals and rows of fixed-width fields, 32 or 64 bytes at a time; the
// tokenizer's scans are the SSE2 ones (markup_scan.hpp).
//
// Every function that uses an instruction beyond SSE2 carries
// CALCSIFT_AVX2_TARGET and nothing else in this file does: the tables below are
// built by plain code at load time, on any CPU. The set is used only where the
// CPU reports every feature that target names (runs_here: cpu_has_avx2).
#include "core/kernels/cpu_features.hpp"
#include "core/kernels/simd.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/kernels/decimal.hpp"
#include "core/kernels/scan.hpp"
#include "core/kernels/utf8_scan.hpp"

// The instruction sets the kernels are compiled for, and (cpu_has_avx2) the
// same list checked on the CPU: keep the two alike.
#define CALCSIFT_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2,popcnt")))

namespace calcsift {

namespace {

// Long-range substring search with a first-and-last-byte prefilter: positions
// i where text[i] is the needle's first byte and text[i + m - 1] its last are
// checked in full, 64 at a time. The bytes that do not fill a block go to memmem.
// The blocks are looked at for non-ASCII bytes on the way (one test each, the
// bytes are loaded anyway), so that the loader need not check them again.
CALCSIFT_AVX2_TARGET const char* find_avx2(const char* p, const char* end, std::string_view needle,
                                           const char** ascii_end) noexcept {
    *ascii_end = p;
    const std::size_t m = needle.size();
    if (m < 2) return find_str(p, end, needle);
    const __m256i first = _mm256_set1_epi8(needle.front());
    const __m256i last = _mm256_set1_epi8(needle.back());
    bool other = false;
    while (static_cast<std::size_t>(end - p) >= m - 1 + 64) {
        const __m256i f0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i f1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const __m256i l0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + m - 1));
        const __m256i l1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + m - 1 + 32));
        if (!other) {
            other = _mm256_movemask_epi8(_mm256_or_si256(f0, f1)) != 0;
            if (!other) *ascii_end = p + 64;
        }
        const __m256i h0 = _mm256_and_si256(_mm256_cmpeq_epi8(f0, first), _mm256_cmpeq_epi8(l0, last));
        const __m256i h1 = _mm256_and_si256(_mm256_cmpeq_epi8(f1, first), _mm256_cmpeq_epi8(l1, last));
        if (!_mm256_testz_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h0, h1))) {
            std::uint64_t mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(h0)) |
                                 static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(h1))) << 32;
            while (mask) {
                const char* at = p + __builtin_ctzll(mask);
                if (std::memcmp(at + 1, needle.data() + 1, m - 2) == 0) return at;
                mask &= mask - 1;
            }
        }
        p += 64;
    }
    return find_str(p, end, needle);
}

// The first byte at or after p that is not ASCII, or end: 64 bytes a step,
// then words.
CALCSIFT_AVX2_TARGET const utf8_scan::u8* skip_ascii_avx2(const utf8_scan::u8* p,
                                                          const utf8_scan::u8* end) noexcept {
    while (end - p >= 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) {
            const std::uint64_t m = static_cast<std::uint32_t>(_mm256_movemask_epi8(a)) |
                                    std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(b))} << 32;
            return p + __builtin_ctzll(m);
        }
        p += 64;
    }
    if (end - p >= 32) {
        const auto m = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
        if (m != 0) return p + __builtin_ctz(m);
        p += 32;
    }
    return utf8_scan::skip_ascii_words(p, end);
}

CALCSIFT_AVX2_TARGET std::size_t ascii_prefix_avx2(const char* p, std::size_t n) noexcept {
    return utf8_scan::ascii_prefix_with<skip_ascii_avx2>(p, n);
}

CALCSIFT_AVX2_TARGET bool valid_utf8_avx2(const char* p, std::size_t n) noexcept {
    return utf8_scan::valid_utf8_with<skip_ascii_avx2>(p, n);
}


// Shuffles that drop the point of a token of len bytes (point at byte dot, or
// dot == len for none) and right-align its digits in 16 bytes, zeros in front.
struct DigitShuffles {
    alignas(16) unsigned char m[17][17][16];
    DigitShuffles() {
        for (int len = 0; len <= 16; ++len) {
            for (int dot = 0; dot <= 16; ++dot) {
                const int ndig = len - (dot < len ? 1 : 0);
                for (int j = 0; j < 16; ++j) {
                    const int k = j - (16 - ndig);
                    m[len][dot][j] = k < 0 ? 0x80 : static_cast<unsigned char>(k < dot ? k : k + 1);
                }
            }
        }
    }
};
const DigitShuffles kDigitShuffles;

// Bit masks of the 64 bytes at `at`: digits, points, minus signs, ASCII
// whitespace (chars::kSpace: space and 0x09..0x0D).
struct ByteClasses {
    std::uint64_t digit, dot, neg, space;
};

CALCSIFT_AVX2_TARGET inline ByteClasses byte_classes(const char* at) {
    const __m256i zero_char = _mm256_set1_epi8('0');
    const __m256i nine = _mm256_set1_epi8(9);
    const __m256i tab = _mm256_set1_epi8(0x09);
    const __m256i four = _mm256_set1_epi8(4);
    std::uint32_t r[4][2];
    for (int h = 0; h < 2; ++h) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32 * h));
        const __m256i d = _mm256_sub_epi8(v, zero_char);
        const __m256i c = _mm256_sub_epi8(v, tab);
        r[0][h] = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(d, nine), d)));
        r[1][h] = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('.'))));
        r[2][h] = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('-'))));
        r[3][h] = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')),
                            _mm256_cmpeq_epi8(_mm256_min_epu8(c, four), c))));
    }
    return {r[0][0] | std::uint64_t{r[0][1]} << 32, r[1][0] | std::uint64_t{r[1][1]} << 32,
            r[2][0] | std::uint64_t{r[2][1]} << 32, r[3][0] | std::uint64_t{r[3][1]} << 32};
}

// Appends mantissa[i] / scale[i] for i < k, four divisions at a time.
CALCSIFT_AVX2_TARGET inline void divide_into(double* mantissa, const double* scale, std::size_t k,
                                             std::vector<double>& out) {
    std::size_t i = 0;
    for (; i + 4 <= k; i += 4)
        _mm256_store_pd(mantissa + i,
                        _mm256_div_pd(_mm256_load_pd(mantissa + i), _mm256_load_pd(scale + i)));
    for (; i < k; ++i) mantissa[i] /= scale[i];
    out.insert(out.end(), mantissa, mantissa + k);
}

// scan_plain_decimals, 64 bytes at a time. Byte classes of a whole block give
// every token's start, end, sign and point as bits; each token is then one
// 16-byte load, one shuffle and three multiply-adds. Mantissas and powers of
// ten are collected and divided four at a time. A block that holds anything
// but plain decimals and ASCII whitespace ends the fast path (false).
CALCSIFT_AVX2_TARGET bool scan_plain_decimals_avx2(const char* p, const char* e, const char* limit,
                                                   std::vector<double>& out) {
    constexpr std::size_t kBatch = 32;
    alignas(32) double mantissa[kBatch];
    alignas(32) double scale[kBatch];
    std::size_t k = 0;
    const __m128i zero_char16 = _mm_set1_epi8('0');
    const __m128i w10 = _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1);
    const __m128i w100 = _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1);
    const __m128i w10000 = _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1);
    while (p < e) {
        // Loads reach 64 bytes for the classes and 16 bytes from a token's start.
        if (limit - p < 80) {
            divide_into(mantissa, scale, k, out);
            return scan_plain_decimals(p, e, out);
        }
        const ByteClasses b = byte_classes(p);
        const std::uint64_t dot = b.dot, neg = b.neg, space = b.space;
        const std::uint64_t num = b.digit | dot | neg;
        // This block ends at the row's '<' or, failing that, at its last
        // whitespace byte: a token cut by the block's edge starts the next one.
        std::uint64_t region;
        std::size_t advance;
        if (e - p < 64) {
            advance = static_cast<std::size_t>(e - p);
            region = (std::uint64_t{1} << advance) - 1;
        } else {
            if (!space) break;  // a 64-byte token: not a plain decimal
            advance = 63 - static_cast<std::size_t>(__builtin_clzll(space));
            region = advance == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (advance + 1)) - 1;
            advance += 1;
        }
        if (~(num | space) & region) break;
        const std::uint64_t in = num & region;
        std::uint64_t starts = in & ~(in << 1);
        std::uint64_t ends = in & ~(in >> 1);
        if (neg & region & ~starts) break;  // a sign inside a token
        while (starts) {
            const unsigned s = static_cast<unsigned>(__builtin_ctzll(starts));
            const unsigned t = static_cast<unsigned>(__builtin_ctzll(ends));
            starts &= starts - 1;
            ends &= ends - 1;
            const unsigned sign = static_cast<unsigned>((neg >> s) & 1);
            const unsigned ds = s + sign;
            const unsigned len = t + 1 - ds;
            if (len == 0 || len > 16) goto slow;
            const unsigned dots = static_cast<unsigned>(_bzhi_u64(dot >> ds, len));
            if (dots & (dots - 1)) goto slow;
            const unsigned dp = dots ? static_cast<unsigned>(__builtin_ctz(dots)) : len;
            const unsigned ndig = len - (dots ? 1u : 0u);
            if (ndig == 0 || ndig > 15) goto slow;
            {
                const __m128i d = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + ds)),
                                               zero_char16);
                const __m128i digits = _mm_shuffle_epi8(
                    d, _mm_load_si128(reinterpret_cast<const __m128i*>(kDigitShuffles.m[len][dp])));
                const __m128i quads = _mm_madd_epi16(_mm_maddubs_epi16(digits, w10), w100);
                const __m128i octs = _mm_madd_epi16(_mm_packus_epi32(quads, quads), w10000);
                const std::uint64_t m =
                    static_cast<std::uint64_t>(_mm_cvtsi128_si32(octs)) * 100000000u +
                    static_cast<std::uint32_t>(_mm_extract_epi32(octs, 1));
                const double v = static_cast<double>(static_cast<std::int64_t>(m));
                mantissa[k] = sign ? -v : v;
                scale[k] = kPow10[dots ? len - dp - 1 : 0];
                if (++k == kBatch) {
                    divide_into(mantissa, scale, k, out);
                    k = 0;
                }
            }
        }
        p += advance;
    }
    if (p >= e) {
        divide_into(mantissa, scale, k, out);
        return true;
    }
slow:
    return false;
}

// --- rows of fixed-width fields ---
//
// Fortran writes the numbers of a row in fields of one width w with a fixed
// number f of decimals ("  0.0133  0.0031", "    -8.2592     0.0000"). Such a
// row is checked and converted without looking for tokens: a 16-byte load that
// ends where a field ends puts the point, the decimals and the last integer
// digit of every field of the row at the same bytes, so fixed masks check the
// field's form (spaces, an optional minus, digits, the point, f decimals, and
// a space first unless it is the row's first field) and one fixed shuffle
// drops the point. Such a row tokenises into exactly these fields, so the
// values are those of the token-by-token parse.

struct FieldMasks {
    // Bytes of a 16-byte window that ends with the field; both 128-bit lanes alike.
    alignas(32) unsigned char must_digit[32];  // the decimals and the last integer digit
    alignas(32) unsigned char point[32];
    alignas(32) unsigned char int_part[32];    // spaces, sign and integer digits
    alignas(32) unsigned char int_pair[32];    // int_part bytes whose predecessor is in int_part
    alignas(32) unsigned char field[32];
    alignas(32) unsigned char shuffle[32];     // drops the point, digits right-aligned
    alignas(32) unsigned char must_space[4][32];  // the field's first byte, in no/lane 0/lane 1/both lanes
};

struct FieldMaskTable {
    FieldMasks m[17][15];  // [w][f] for 2 <= w <= 16, f <= min(w - 2, 14)
    FieldMaskTable() {
        for (int w = 2; w <= 16; ++w) {
            for (int f = 0; f <= w - 2 && f < 15; ++f) {
                FieldMasks& k = m[w][f];
                const int dot = 15 - f;
                for (int lane = 0; lane < 2; ++lane) {
                    for (int j = 0; j < 16; ++j) {
                        const int i = lane * 16 + j;
                        const bool in = j >= 16 - w;
                        k.must_digit[i] = (j > dot || j == dot - 1) ? 0xFF : 0;
                        k.point[i] = j == dot ? 0xFF : 0;
                        k.int_part[i] = (in && j < dot) ? 0xFF : 0;
                        k.int_pair[i] = (in && j < dot && j > 16 - w) ? 0xFF : 0;
                        k.field[i] = in ? 0xFF : 0;
                        k.shuffle[i] = static_cast<unsigned char>(j > dot ? j : j >= 1 ? j - 1 : 0x80);
                        for (int v = 0; v < 4; ++v)
                            k.must_space[v][i] = ((v >> lane) & 1) && j == 16 - w ? 0xFF : 0;
                    }
                }
            }
        }
    }
};
const FieldMaskTable kFieldMasks;

// Sign bits of four doubles, by a 4-bit index.
struct SignTable {
    alignas(32) std::uint64_t m[16][4];
    SignTable() {
        for (int i = 0; i < 16; ++i)
            for (int j = 0; j < 4; ++j) m[i][j] = ((i >> j) & 1) ? std::uint64_t{1} << 63 : 0;
    }
};
const SignTable kSignBits;

CALCSIFT_AVX2_TARGET inline __m256i load256(const unsigned char* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

// The constants of field_pair, in memory: as operands of the vector
// instructions they cost no register and no instruction of their own.
struct FieldConstants {
    alignas(32) unsigned char zero_char[32], nine[32], point[32], minus[32], space[32], w10[32];
    alignas(32) std::int16_t w100[16], w10000[16];
    FieldConstants() {
        for (int i = 0; i < 32; ++i) {
            zero_char[i] = '0';
            nine[i] = 9;
            point[i] = '.';
            minus[i] = '-';
            space[i] = ' ';
            w10[i] = i % 2 ? 1 : 10;  // byte weights (10, 1)
        }
        for (int i = 0; i < 16; ++i) {
            w100[i] = static_cast<std::int16_t>(i % 2 ? 1 : 100);
            w10000[i] = static_cast<std::int16_t>(i % 2 ? 1 : 10000);
        }
    }
};
const FieldConstants kFieldConstants;

CALCSIFT_AVX2_TARGET inline __m256i load256(const std::int16_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

// Checks two fields (one per 128-bit lane) and leaves their mantissas as
// 32-bit halves: [high 8 digits, low 8 digits, ...] per lane; minus gets the
// fields' sign bytes. False when a field is not of the row's form.
CALCSIFT_AVX2_TARGET inline bool field_pair(__m256i v, const FieldMasks& k, __m256i must_space,
                                            __m256i& octs, unsigned& minus) {
    const FieldConstants& c = kFieldConstants;
    const __m256i d = _mm256_sub_epi8(v, load256(c.zero_char));
    const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(d, load256(c.nine)), d);
    const __m256i point = _mm256_cmpeq_epi8(v, load256(c.point));
    const __m256i neg = _mm256_cmpeq_epi8(v, load256(c.minus));
    const __m256i space = _mm256_cmpeq_epi8(v, load256(c.space));
    const __m256i signed_digit = _mm256_or_si256(digit, neg);
    __m256i bad = _mm256_andnot_si256(digit, load256(k.must_digit));
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(point, load256(k.point)));
    bad = _mm256_or_si256(
        bad, _mm256_andnot_si256(_mm256_or_si256(signed_digit, space), load256(k.int_part)));
    // After a sign or a digit only digits may follow.
    bad = _mm256_or_si256(
        bad, _mm256_andnot_si256(digit, _mm256_and_si256(_mm256_slli_si256(signed_digit, 1),
                                                         load256(k.int_pair))));
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(space, must_space));
    if (!_mm256_testz_si256(bad, bad)) return false;
    const __m256i field = load256(k.field);
    const __m256i digits =
        _mm256_shuffle_epi8(_mm256_and_si256(d, _mm256_and_si256(digit, field)), load256(k.shuffle));
    const __m256i quads =
        _mm256_madd_epi16(_mm256_maddubs_epi16(digits, load256(c.w10)), load256(c.w100));
    octs = _mm256_madd_epi16(_mm256_packus_epi32(quads, quads), load256(c.w10000));
    minus = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(neg, field)));
    return true;
}

// True when the bytes of both a and b that pad selects are spaces.
CALCSIFT_AVX2_TARGET inline bool padded_pair(const char* a, const char* b, unsigned pad) {
    const __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1);
    const unsigned m = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, load256(kFieldConstants.space))));
    return (m & pad) == pad && ((m >> 16) & pad) == pad;
}

// The two 16-byte windows that end at a and b, one per lane.
CALCSIFT_AVX2_TARGET inline __m256i windows(const char* a, const char* b) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a - 16))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b - 16)), 1);
}

// The fields of a row that one step takes: four fields ending at end[0..3]
// (the last step of a row may repeat its last field).
struct FieldStep {
    const FieldMasks& k;
    __m256d scale, e8;
    __m256i gather;
    unsigned w, pad;

    // Checks the fields and stores their four values at dst; spaces_a and
    // spaces_b select the fields that must start with a space.
    template <bool Wide>
    CALCSIFT_AVX2_TARGET bool run(const char* const* end, __m256i spaces_a, __m256i spaces_b,
                                  bool pair_b, double* dst) const {
        __m256i oa, ob;
        unsigned ma, mb = 0;
        if (Wide && !padded_pair(end[0] - w, end[1] - w, pad)) return false;
        if (!field_pair(windows(end[0], end[1]), k, spaces_a, oa, ma)) return false;
        if (pair_b) {
            if (Wide && !padded_pair(end[2] - w, end[3] - w, pad)) return false;
            if (!field_pair(windows(end[2], end[3]), k, spaces_b, ob, mb)) return false;
        } else {
            ob = oa;  // the values of a missing pair are not kept
        }
        const __m128i pa = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(oa, gather));
        const __m128i pb = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(ob, gather));
        const __m256d hi = _mm256_cvtepi32_pd(_mm_unpacklo_epi64(pa, pb));
        const __m256d lo = _mm256_cvtepi32_pd(_mm_unpackhi_epi64(pa, pb));
        // Both terms are integers below 2^53 (a field has at most 15 digits:
        // the 16-byte window holds its point too), so the sum is exact and the
        // division by the exact 10^f rounds once: the correctly rounded value
        // in the default rounding mode (see decimal.hpp).
        const __m256d v = _mm256_div_pd(_mm256_add_pd(_mm256_mul_pd(hi, e8), lo), scale);
        const unsigned signs = ((ma & 0xFFFF) != 0) | ((ma >> 16) != 0) << 1 |
                               ((mb & 0xFFFF) != 0) << 2 | ((mb >> 16) != 0) << 3;
        _mm256_store_pd(dst, _mm256_xor_pd(v, _mm256_load_pd(reinterpret_cast<const double*>(
                                                  kSignBits.m[signs]))));
        return true;
    }
};

// The n fields of width w (2 to 32) with f decimals from p on; the window of
// the first field starts at p + w - 16, the last field ends at p + n * w, all
// readable. A field wider than 16 bytes starts with w - 16 spaces, so that its
// number lies in the window (which then needs no separator of its own).
template <bool Wide>
CALCSIFT_AVX2_TARGET bool fixed_fields(const char* p, unsigned w, unsigned f, unsigned n,
                                       std::vector<double>& out) {
    const FieldMasks& k = kFieldMasks.m[Wide ? 16 : w][f];
    const FieldStep step{k,
                         _mm256_set1_pd(kPow10[f]),
                         _mm256_set1_pd(1e8),
                         _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5),
                         w,
                         Wide ? (1u << (w - 16)) - 1 : 0};
    // Which lanes need a separator: none when the fields are wide, and not the
    // row's first field.
    const __m256i inner = load256(k.must_space[Wide ? 0 : 3]);
    const __m256i first = load256(k.must_space[Wide ? 0 : 2]);
    constexpr unsigned kBatch = 64;
    alignas(32) double vals[kBatch];
    unsigned nv = 0;
    unsigned i = 0;
    const char* end[4];
    for (; i + 4 <= n; i += 4) {
        const char* e0 = p + std::size_t{i + 1} * w;
        end[0] = e0;
        end[1] = e0 + w;
        end[2] = e0 + 2 * w;
        end[3] = e0 + 3 * w;
        if (!step.run<Wide>(end, i ? inner : first, inner, true, vals + nv)) return false;
        nv += 4;
        if (nv == kBatch) {
            out.insert(out.end(), vals, vals + nv);
            nv = 0;
        }
    }
    if (i < n) {
        // The last one to three fields; a missing field repeats the last one.
        for (unsigned j = 0; j < 4; ++j) end[j] = p + std::size_t{std::min(i + j, n - 1) + 1} * w;
        const __m256i lanes = n - i >= 2 ? inner : load256(k.must_space[Wide ? 0 : 1]);
        if (!step.run<Wide>(end, i ? lanes : (n >= 2 ? first : load256(k.must_space[0])), inner, n - i > 2,
                            vals + nv))
            return false;
        nv += n - i;
    }
    out.insert(out.end(), vals, vals + nv);
    return true;
}

CALCSIFT_AVX2_TARGET bool scan_fixed_fields_avx2(const char* p, unsigned w, unsigned f, unsigned n,
                                                 std::vector<double>& out) {
    return w > 16 ? fixed_fields<true>(p, w, f, n, out) : fixed_fields<false>(p, w, f, n, out);
}

const SimdKernels kAvx2{"avx2",
                        "avx2, bmi1, bmi2, popcnt and the YMM registers saved by the operating system",
                        cpu_has_avx2,
                        MarkupScans::Sse2,
                        ascii_prefix_avx2,
                        valid_utf8_avx2,
                        find_avx2,
                        scan_plain_decimals_avx2,
                        scan_fixed_fields_avx2};

}  // namespace

const SimdKernels* avx2_kernel_set() noexcept { return &kAvx2; }

}  // namespace calcsift

#else

namespace calcsift {

const SimdKernels* avx2_kernel_set() noexcept { return nullptr; }

}  // namespace calcsift

#endif
