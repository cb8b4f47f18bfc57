// The tokenizer's byte scans, in each form a kernel set may take
// (SimdKernels::markup). Inline, for the tokenizer's loop compiled per form.
//
// The AVX2 set takes the SSE2 form: the runs these scans pass (indentation,
// the inside of a tag) are mostly shorter than 16 bytes, so a wider load
// would find nothing more per step.
#pragma once

#include "core/kernels/chars.hpp"
#include "core/kernels/scan.hpp"

// SSE2 is part of x86-64 itself: the form exists wherever the compiler targets it.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace calcsift {

struct ScalarMarkup {
    // The first byte at or after q that is not XML whitespace (chars::kXmlSpace), or end.
    static const char* skip_xml_space(const char* q, const char* end) noexcept {
        while (q < end && is_xml_space(*q)) ++q;
        return q;
    }

    // The end of a start tag: the first '>' outside a quoted attribute value, or nullptr.
    static const char* tag_end(const char* p, const char* end) noexcept {
        char quote = 0;
        for (const char* q = p; q < end; ++q) {
            const char c = *q;
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return q;
            }
        }
        return nullptr;
    }
};

#if defined(__SSE2__)
struct Sse2Markup {
    // 16 bytes at a time; the rest of the text byte by byte.
    static const char* skip_xml_space(const char* q, const char* end) noexcept {
        while (end - q >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const __m128i space = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
            const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFu;
            if (other) return q + __builtin_ctz(other);
            q += 16;
        }
        return ScalarMarkup::skip_xml_space(q, end);
    }

    // 16 bytes at a time: the first '>' or quote; a quoted value is passed over whole.
    static const char* tag_end(const char* p, const char* end) noexcept {
        const __m128i gt = _mm_set1_epi8('>');
        const __m128i dq = _mm_set1_epi8('"');
        const __m128i sq = _mm_set1_epi8('\'');
        while (end - p >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                _mm_cmpeq_epi8(v, gt), _mm_or_si128(_mm_cmpeq_epi8(v, dq), _mm_cmpeq_epi8(v, sq)))));
            if (!m) {
                p += 16;
                continue;
            }
            const char* q = p + __builtin_ctz(m);
            if (*q == '>') return q;
            const char* close = find_char(q + 1, end, *q);
            if (!close) return nullptr;
            p = close + 1;
        }
        return ScalarMarkup::tag_end(p, end);
    }
};
#endif

}  // namespace calcsift
