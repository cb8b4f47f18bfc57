#include "reader.hpp"

#include <locale.h>
#include <sys/mman.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "cpu_features.hpp"
#include "utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define CALCSIFT_X86_SIMD 1
#endif

namespace calcsift {

namespace {

inline bool is_xml_space(char c) noexcept {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

inline const char* find_char(const char* p, const char* end, char c) noexcept {
    const void* r = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return r ? static_cast<const char*>(r) : nullptr;
}

inline const char* find_str(const char* p, const char* end, std::string_view needle) noexcept {
    const void* r = memmem(p, static_cast<std::size_t>(end - p), needle.data(), needle.size());
    return r ? static_cast<const char*>(r) : nullptr;
}

#ifdef CALCSIFT_X86_SIMD

// Long-range substring search with a first-and-last-byte prefilter: positions
// i where text[i] is the needle's first byte and text[i + m - 1] its last are
// checked in full, 64 at a time. The bytes that do not fill a block go to memmem.
__attribute__((target("avx2"))) const char* find_far_avx2(const char* p, const char* end,
                                                           std::string_view needle) noexcept {
    const std::size_t m = needle.size();
    const __m256i first = _mm256_set1_epi8(needle.front());
    const __m256i last = _mm256_set1_epi8(needle.back());
    while (static_cast<std::size_t>(end - p) >= m - 1 + 64) {
        const __m256i f0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i f1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const __m256i l0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + m - 1));
        const __m256i l1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + m - 1 + 32));
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

const bool kHaveAvx2 = cpu_has_avx2();

#endif

// The first occurrence of needle in [p, end), for searches over megabytes.
inline const char* find_far(const char* p, const char* end, std::string_view needle) noexcept {
#ifdef CALCSIFT_X86_SIMD
    if (kHaveAvx2 && needle.size() >= 2) return find_far_avx2(p, end, needle);
#endif
    return find_str(p, end, needle);
}

std::string_view trim_xml(const char* b, const char* e) noexcept {
    while (b < e && is_xml_space(*b)) ++b;
    while (e > b && is_xml_space(e[-1])) --e;
    return {b, static_cast<std::size_t>(e - b)};
}

bool starts_with_ci(const char* p, const char* end, std::string_view word) noexcept {
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = p[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c != word[i]) return false;
    }
    return true;
}

// End of a start tag: the first '>' outside a quoted attribute value.
const char* find_tag_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    // 16 bytes at a time: the first '>' or quote; a quoted value is passed over whole.
    const __m128i gt = _mm_set1_epi8('>');
    const __m128i dq = _mm_set1_epi8('"');
    const __m128i sq = _mm_set1_epi8('\'');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, gt), _mm_or_si128(_mm_cmpeq_epi8(v, dq), _mm_cmpeq_epi8(v, sq)))));
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
#endif
    char quote = 0;
    for (const char* q = p; q < end; ++q) {
        char c = *q;
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

// The first byte at or after q that is not XML whitespace, or end.
inline const char* skip_xml_space(const char* q, const char* end) noexcept {
#if defined(__SSE2__)
    while (end - q >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i space =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
                         _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
        const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFu;
        if (other) return q + __builtin_ctz(other);
        q += 16;
    }
#endif
    while (q < end && is_xml_space(*q)) ++q;
    return q;
}

}  // namespace

// --- Tokenizer -----------------------------------------------------------------

void Tokenizer::reset(const char* begin, const char* end) {
    begin_ = begin;
    end_ = end;
    p_ = begin;
    if (end_ - p_ >= 3 && static_cast<unsigned char>(p_[0]) == 0xEF &&
        static_cast<unsigned char>(p_[1]) == 0xBB && static_cast<unsigned char>(p_[2]) == 0xBF)
        p_ += 3;
}

Event Tokenizer::next() {
    Event ev;
    for (;;) {
        if (p_ >= end_) {
            ev.kind = EventKind::Eof;
            return ev;
        }
        if (*p_ != '<') {
            // Indentation between tags is by far the most common text: pass
            // over it without a search.
            const char* q = skip_xml_space(p_, end_);
            if (q >= end_ || *q == '<') {
                p_ = q;
                continue;
            }
            const char* lt = find_char(q, end_, '<');
            if (!lt) lt = end_;
            std::string_view t = trim_xml(q, lt);
            p_ = lt;
            ev.kind = EventKind::Text;
            ev.text = t;
            return ev;
        }
        const char* s = p_ + 1;
        if (s >= end_) throw VasprunError::xml("unexpected end of input after '<'");
        char c = *s;
        if (c == '/') {
            const char* gt = find_char(s, end_, '>');
            if (!gt) throw VasprunError::xml("unclosed end tag at end of input");
            const char* ne = gt;
            while (ne > s + 1 && is_xml_space(ne[-1])) --ne;
            ev.kind = EventKind::End;
            ev.name = std::string_view(s + 1, static_cast<std::size_t>(ne - (s + 1)));
            p_ = gt + 1;
            return ev;
        }
        if (c == '!') {
            if (end_ - s >= 3 && s[1] == '-' && s[2] == '-') {
                const char* close = find_str(s + 3, end_, "-->");
                if (!close) throw VasprunError::xml("unclosed comment at end of input");
                ev.kind = EventKind::Comment;
                ev.text = std::string_view(s + 3, static_cast<std::size_t>(close - (s + 3)));
                p_ = close + 3;
                return ev;
            }
            if (end_ - s >= 8 && std::memcmp(s, "![CDATA[", 8) == 0) {
                const char* close = find_str(s + 8, end_, "]]>");
                if (!close) throw VasprunError::xml("unclosed CDATA section at end of input");
                ev.kind = EventKind::CData;
                ev.text = std::string_view(s + 8, static_cast<std::size_t>(close - (s + 8)));
                p_ = close + 3;
                return ev;
            }
            if (starts_with_ci(s + 1, end_, "DOCTYPE")) {
                // Nested markup declarations inside the internal subset: balance < and >.
                std::size_t depth = 1;
                const char* q = s + 8;
                for (; q < end_; ++q) {
                    if (*q == '<') {
                        ++depth;
                    } else if (*q == '>') {
                        if (--depth == 0) break;
                    }
                }
                if (q >= end_) throw VasprunError::xml("unclosed DOCTYPE at end of input");
                ev.kind = EventKind::DocType;
                ev.text = trim_xml(s + 8, q);
                p_ = q + 1;
                return ev;
            }
            throw VasprunError::xml("unknown markup after '<!' at byte " +
                                    std::to_string(position()));
        }
        if (c == '?') {
            const char* close = find_str(s + 1, end_, "?>");
            if (!close) throw VasprunError::xml("unclosed processing instruction at end of input");
            std::string_view body(s + 1, static_cast<std::size_t>(close - (s + 1)));
            bool decl = body.size() >= 3 && body.compare(0, 3, "xml") == 0 &&
                        (body.size() == 3 || is_xml_space(body[3]));
            ev.kind = decl ? EventKind::Decl : EventKind::PI;
            ev.text = body;
            p_ = close + 2;
            return ev;
        }
        const char* gt = find_tag_end(s, end_);
        if (!gt) throw VasprunError::xml("unclosed tag at end of input");
        const char* content_end = gt;
        ev.kind = EventKind::Start;
        if (content_end > s && content_end[-1] == '/') {
            --content_end;
            ev.kind = EventKind::Empty;
        }
        const char* n = s;
        while (n < content_end && !is_xml_space(*n)) ++n;
        ev.name = std::string_view(s, static_cast<std::size_t>(n - s));
        ev.attrs = std::string_view(n, static_cast<std::size_t>(content_end - n));
        p_ = gt + 1;
        return ev;
    }
}

// --- unescaping ---------------------------------------------------------------

void unescape_into(std::string_view raw, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < raw.size()) {
        std::size_t amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(raw.substr(i));
            break;
        }
        out.append(raw.substr(i, amp - i));
        std::size_t semi = raw.find(';', amp + 1);
        if (semi == std::string_view::npos)
            throw VasprunError::message("Error while escaping character at range " +
                                        std::to_string(amp) + "..: unterminated entity reference");
        std::string_view ent = raw.substr(amp + 1, semi - amp - 1);
        if (ent == "lt") {
            out += '<';
        } else if (ent == "gt") {
            out += '>';
        } else if (ent == "amp") {
            out += '&';
        } else if (ent == "apos") {
            out += '\'';
        } else if (ent == "quot") {
            out += '"';
        } else if (!ent.empty() && ent[0] == '#') {
            std::string_view digits = ent.substr(1);
            int radix = 10;
            if (!digits.empty() && digits[0] == 'x') {
                radix = 16;
                digits.remove_prefix(1);
            }
            std::uint32_t cp = 0;
            auto r = std::from_chars(digits.data(), digits.data() + digits.size(), cp, radix);
            bool ok = !digits.empty() && r.ec == std::errc() &&
                      r.ptr == digits.data() + digits.size() && cp != 0 && cp <= 0x10FFFF &&
                      !(cp >= 0xD800 && cp <= 0xDFFF);
            if (!ok)
                throw VasprunError::message("Error while escaping character at range " +
                                            std::to_string(amp) + ".." + std::to_string(semi + 1) +
                                            ": invalid character reference '&" +
                                            display_name(ent) + ";'");
            append_utf8(out, cp);
        } else {
            throw VasprunError::message("Error while escaping character at range " +
                                        std::to_string(amp) + ".." + std::to_string(semi + 1) +
                                        ": unrecognized entity '&" + display_name(ent) + ";'");
        }
        i = semi + 1;
    }
}

// --- Cursor ----------------------------------------------------------------

Cursor::Cursor(std::string_view document) : reader_(document), doc_(document) {}

void Cursor::skip_element(std::string_view name) {
    std::size_t depth = 1;
    for (;;) {
        Event ev = reader_.next();
        switch (ev.kind) {
            case EventKind::Start:
                ++depth;
                break;
            case EventKind::End:
                if (depth == 1) return;
                --depth;
                break;
            case EventKind::Eof:
                throw VasprunError::missing_element("EOF while skipping <" + display_name(name) +
                                                    ">");
            default:
                break;
        }
    }
}

void Cursor::fast_skip(std::string_view name) {
    std::string needle;
    needle.reserve(name.size() + 3);
    needle += "</";
    needle += name;
    needle += '>';
    std::size_t start = offset();
    const char* b = doc_.data() + start;
    const char* e = doc_.data() + doc_.size();
    const char* hit = find_far(b, e, needle);
    if (!hit)
        throw VasprunError::missing_element("fast_skip: could not find </" + display_name(name) +
                                            ">");
    base_ = static_cast<std::size_t>(hit - doc_.data()) + needle.size();
    reader_.reset(doc_.data() + base_, e);
}

std::size_t Cursor::find_ahead(std::string_view needle) const noexcept {
    const char* b = doc_.data() + offset();
    const char* e = doc_.data() + doc_.size();
    const char* hit = needle.empty() ? b : find_far(b, e, needle);
    return hit ? static_cast<std::size_t>(hit - doc_.data()) : doc_.size();
}

std::string_view Cursor::read_text() {
    // Fast path: plain text (or nothing) straight up to an end tag.
    const char* p = reader_.cursor();
    const char* end = reader_.end();
    const char* lt = find_char(p, end, '<');
    if (!lt || (lt + 1 < end && lt[1] == '/')) {
        std::string_view raw = trim_xml(p, lt ? lt : end);
        if (lt) {
            const char* gt = find_char(lt + 1, end, '>');
            if (!gt) throw VasprunError::xml("unclosed end tag at end of input");
            reader_.set_cursor(gt + 1);
        } else {
            reader_.set_cursor(end);
        }
        if (raw.find('&') == std::string_view::npos) return trim_unicode(raw);
        unescape_into(raw, scratch_);
        return trim_unicode(scratch_);
    }
    // General case: the last text piece before the next End (or Eof) counts.
    std::string_view last;
    bool have_scratch = false;
    for (;;) {
        Event ev = reader_.next();
        if (ev.kind == EventKind::End || ev.kind == EventKind::Eof) break;
        if (ev.kind == EventKind::Text) {
            if (ev.text.find('&') == std::string_view::npos) {
                last = ev.text;
                have_scratch = false;
            } else {
                unescape_into(ev.text, scratch_);
                have_scratch = true;
            }
        }
    }
    return trim_unicode(have_scratch ? std::string_view(scratch_) : last);
}

// --- attributes -------------------------------------------------------------------

std::optional<std::string_view> attr_str(const Event& ev, std::string_view name) {
    std::string_view a = ev.attrs;
    std::size_t i = 0;
    const std::size_t n = a.size();
    while (i < n && is_xml_space(a[i])) ++i;
    // Fast path: the attribute asked for comes first, written key="value"
    // (<i name="...">), so it cannot be a duplicate.
    if (n - i > name.size() + 1 && a.compare(i, name.size(), name) == 0 &&
        a[i + name.size()] == '=' && (a[i + name.size() + 1] == '"' || a[i + name.size() + 1] == '\'')) {
        const std::size_t vs = i + name.size() + 2;
        const std::size_t ve = a.find(a[vs - 1], vs);
        if (ve != std::string_view::npos) {
            const std::string_view v = a.substr(vs, ve - vs);
            if (!is_valid_utf8(v.data(), v.size())) return std::nullopt;
            return v;
        }
    }
    // Keys seen so far, to pass over duplicates (a handful per tag at most).
    std::string_view seen[16];
    std::size_t nseen = 0;
    while (i < n) {
        while (i < n && is_xml_space(a[i])) ++i;
        if (i >= n) break;
        std::size_t ks = i;
        while (i < n && a[i] != '=' && !is_xml_space(a[i])) ++i;
        std::string_view key = a.substr(ks, i - ks);
        std::size_t j = i;
        while (j < n && is_xml_space(a[j])) ++j;
        if (j >= n || a[j] != '=') {
            // Malformed attribute (no '='): pass over it.
            i = j;
            if (i < n && a[i] != '=') continue;
            break;
        }
        ++j;
        while (j < n && is_xml_space(a[j])) ++j;
        if (j >= n || (a[j] != '"' && a[j] != '\'')) {
            // Unquoted value: pass over it.
            while (j < n && !is_xml_space(a[j])) ++j;
            i = j;
            continue;
        }
        char q = a[j];
        std::size_t vs = j + 1;
        std::size_t ve = a.find(q, vs);
        if (ve == std::string_view::npos) break;
        i = ve + 1;
        bool dup = false;
        for (std::size_t k = 0; k < nseen; ++k)
            if (seen[k] == key) dup = true;
        if (dup) continue;
        if (nseen < 16) seen[nseen++] = key;
        if (key == name) {
            std::string_view v = a.substr(vs, ve - vs);
            if (!is_valid_utf8(v.data(), v.size())) return std::nullopt;
            return v;
        }
    }
    return std::nullopt;
}

// --- whitespace -------------------------------------------------------------------

std::size_t unicode_space_len(const char* p, const char* end) noexcept {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
    std::size_t left = static_cast<std::size_t>(end - p);
    unsigned char c1 = left > 1 ? static_cast<unsigned char>(p[1]) : 0;
    unsigned char c2 = left > 2 ? static_cast<unsigned char>(p[2]) : 0;
    if (c == 0xC2) return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
    if (c == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
    if (c == 0xE2) {
        if (c1 == 0x80 && ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
            return 3;
        if (c1 == 0x81 && c2 == 0x9F) return 3;
        return 0;
    }
    if (c == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
    return 0;
}

std::string_view trim_unicode(std::string_view s) noexcept {
    const char* b = s.data();
    const char* e = b + s.size();
    std::size_t w;
    while (b < e && (w = unicode_space_len(b, e)) != 0) b += w;
    // Trailing: step back over whole characters.
    while (e > b) {
        unsigned char last = static_cast<unsigned char>(e[-1]);
        if (last < 0x80) {
            if (unicode_space_len(e - 1, e) == 0) break;
            --e;
            continue;
        }
        bool trimmed = false;
        for (std::size_t len = 2; len <= 3 && !trimmed; ++len) {
            if (static_cast<std::size_t>(e - b) >= len && unicode_space_len(e - len, e) == len) {
                e -= len;
                trimmed = true;
            }
        }
        if (!trimmed) break;
    }
    return {b, static_cast<std::size_t>(e - b)};
}

// --- numbers ----------------------------------------------------------------------

namespace {

// Overflow and underflow: the nearest double is infinity or zero.
double out_of_range_value(std::string_view token) {
    char buf[128];
    std::string big;
    const char* cstr;
    if (token.size() < sizeof buf) {
        std::memcpy(buf, token.data(), token.size());
        buf[token.size()] = '\0';
        cstr = buf;
    } else {
        big.assign(token);
        cstr = big.c_str();
    }
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(cstr, nullptr, c_locale);
}

}  // namespace

namespace {
inline const char* fast_decimal(const char* p, const char* e, double& out) noexcept;
}  // namespace

std::optional<double> parse_f64(std::string_view token) noexcept {
    const char* b = token.data();
    const char* e = b + token.size();
    if (b == e) return std::nullopt;
    bool plus = false;
    if (*b == '+') {
        ++b;
        plus = true;
        if (b == e || *b == '-' || *b == '+') return std::nullopt;
    }
    double v = 0.0;
    if (fast_decimal(b, e, v) == e) return v;
    auto r = std::from_chars(b, e, v, std::chars_format::general);
    if (r.ptr != e) return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) {
        try {
            return out_of_range_value(std::string_view(b, static_cast<std::size_t>(e - b)));
        } catch (...) {
            return std::nullopt;
        }
    }
    if (r.ec != std::errc()) return std::nullopt;
    if (std::isnan(v)) {
        // "nan(payload)" is not a number here.
        if (std::memchr(b, '(', static_cast<std::size_t>(e - b))) return std::nullopt;
        return std::numeric_limits<double>::quiet_NaN();
    }
    (void)plus;
    return v;
}

namespace {

inline bool all_stars(std::string_view t) noexcept {
    for (char c : t)
        if (c != '*') return false;
    return !t.empty();
}

[[noreturn]] void bad_float(std::string_view token) {
    throw VasprunError::parse_value(std::string(token), "f64", "invalid float");
}

inline double token_value(std::string_view t) {
    double v;
    const char* b = t.data();
    const char* e = b + t.size();
    auto r = std::from_chars(b, e, v, std::chars_format::general);
    if (r.ec == std::errc() && r.ptr == e && !std::isnan(v)) return v;
    if (all_stars(t)) return std::numeric_limits<double>::quiet_NaN();
    auto slow = parse_f64(t);
    if (!slow) bad_float(t);
    return *slow;
}

inline bool is_ascii_space(unsigned char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The numbers of a run record are almost all plain fixed-point decimals
// ("-12.34567890"). With at most 15 significant digits the mantissa and the
// power of ten are exact doubles, so one division gives the correctly rounded
// value. Returns the end of the number, or nullptr when the token needs the
// general parser (exponent, long mantissa, inf/nan, stars, garbage).
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
    if (p < e && !is_ascii_space(static_cast<unsigned char>(*p))) return nullptr;
    double v = static_cast<double>(m);
    if (frac) v /= kPow10[frac];
    out = neg ? -v : v;
    return p;
}

// The numbers of [p, e), where *e is '<': the '<' stops every loop below, so
// none needs a bounds check. Takes only what fast_decimal takes; returns false
// at the first other token (exponent, stars, inf/nan, '&', non-ASCII, garbage),
// leaving the values of the tokens before it in out.
bool scan_plain_decimals(const char* p, const char* e, std::vector<double>& out) {
    for (;;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is_ascii_space(c)) {
            ++p;
            continue;
        }
        if (p == e) return true;
        const bool neg = c == '-';
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
        if (p != e && !is_ascii_space(static_cast<unsigned char>(*p))) return false;
        double v = static_cast<double>(m);
        if (frac) v /= kPow10[frac];
        out.push_back(neg ? -v : v);
    }
}

#ifdef CALCSIFT_X86_SIMD

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

// The AVX2 code is compiled for AVX2 whatever the build's target and only
// run where the CPU has it.
#define CALCSIFT_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2,popcnt")))

// Bit masks of the 64 bytes at `at`: digits, points, minus signs, ASCII whitespace.
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
        // Both terms are integers below 2^53: the sum is exact, the division rounds once.
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

// The layout of a row of fixed-width fields, read from its first field, or
// false. *e is the row's '<'.
bool row_shape(const char* p, const char* e, Cursor::RowShape& s) {
    const char* q = p;
    while (*q == ' ') ++q;
    if (q == e) return false;
    q += *q == '-';
    const char* digits = q;
    while (static_cast<unsigned>(static_cast<unsigned char>(*q) - '0') < 10) ++q;
    if (q == digits || *q != '.') return false;
    const char* point = q++;
    while (static_cast<unsigned>(static_cast<unsigned char>(*q) - '0') < 10) ++q;
    const auto width = static_cast<unsigned>(q - p);
    const auto frac = static_cast<unsigned>(q - point - 1);
    if (width > 32 || frac > 14 || (q != e && *q != ' ')) return false;
    const std::size_t length = static_cast<std::size_t>(e - p);
    if (length / width > 0xFFFFFFFFu) return false;
    s = {length, width, frac, static_cast<unsigned>(length / width)};
    return true;
}

#endif  // CALCSIFT_X86_SIMD

// scan_plain_decimals with loads of up to 16 bytes allowed anywhere before limit.
inline bool scan_decimals(const char* p, const char* e, const char* limit, std::vector<double>& out) {
#ifdef CALCSIFT_X86_SIMD
    if (kHaveAvx2) return scan_plain_decimals_avx2(p, e, limit, out);
#endif
    (void)limit;
    return scan_plain_decimals(p, e, out);
}

}  // namespace

std::size_t parse_floats_into(std::string_view text, std::vector<double>& out) {
    const char* p = text.data();
    const char* e = p + text.size();
    std::size_t count = 0;
    while (p < e) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (is_ascii_space(c)) {
            ++p;
            continue;
        }
        if (c >= 0x80) {
            std::size_t w = unicode_space_len(p, e);
            if (w) {
                p += w;
                continue;
            }
        }
        double v;
        if (const char* q = fast_decimal(p, e, v)) {
            out.push_back(v);
            ++count;
            p = q;
            continue;
        }
        const char* t = p;
        while (p < e) {
            unsigned char d = static_cast<unsigned char>(*p);
            if (is_ascii_space(d)) break;
            if (d >= 0x80 && unicode_space_len(p, e)) break;
            ++p;
        }
        out.push_back(token_value(std::string_view(t, static_cast<std::size_t>(p - t))));
        ++count;
    }
    return count;
}

// A row of fixed-width fields at p, its layout guessed from the last such row
// (or read afresh); returns the row's '<', or nullptr with out unchanged or
// longer (the caller cuts it back).
const char* Cursor::read_fixed_row(const char* p, const char* end, std::vector<double>& out) {
#ifdef CALCSIFT_X86_SIMD
    if (!kHaveAvx2) return nullptr;
    const char* e = nullptr;
    bool cached = shape_.length && static_cast<std::size_t>(end - p) > shape_.length &&
                  p[shape_.length] == '<';
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (cached) {
            e = p + shape_.length;
        } else {
            e = find_char(p, end, '<');
            if (!e) return nullptr;
            RowShape s;
            if (!row_shape(p, e, s)) return nullptr;
            if (attempt == 1 && s.length == shape_.length && s.width == shape_.width &&
                s.frac == shape_.frac)
                return nullptr;  // the same layout failed already
            shape_ = s;
        }
        // The first field's window starts up to 16 bytes before the row.
        if (p + shape_.width < doc_.data() + 16) return nullptr;
        const char* tail = p + std::size_t{shape_.fields} * shape_.width;
        bool ok = true;
        for (const char* q = tail; q < e; ++q) ok &= *q == ' ';
        if (ok && scan_fixed_fields_avx2(p, shape_.width, shape_.frac, shape_.fields, out)) return e;
        if (!cached) return nullptr;
        cached = false;
    }
    return nullptr;
#else
    (void)p;
    (void)end;
    (void)out;
    return nullptr;
#endif
}

std::size_t Cursor::read_floats(std::vector<double>& out) {
    // Fast paths: a row of plain decimals straight up to an end tag, parsed in
    // place, as fixed-width fields or token by token. Anything else (a comment,
    // an entity, an exponent, a bad token) goes the general way, which decides
    // the result and any error.
    const char* p = reader_.cursor();
    const char* end = reader_.end();
    const std::size_t before = out.size();
    const char* lt = read_fixed_row(p, end, out);
    if (lt && lt + 1 < end && lt[1] == '/') {
        // Rows end with </r> or </v> (or a longer name: then search).
        const char* gt = lt + 3 < end && lt[3] == '>' && lt[2] != '>' ? lt + 3 : find_char(lt + 2, end, '>');
        if (!gt) throw VasprunError::xml("unclosed end tag at end of input");
        reader_.set_cursor(gt + 1);
        return out.size() - before;
    }
    out.resize(before);
    if (!lt) lt = find_char(p, end, '<');
    if (lt && lt + 1 < end && lt[1] == '/') {
        if (scan_decimals(p, lt, end, out)) {
            const char* gt = find_char(lt + 2, end, '>');
            if (!gt) throw VasprunError::xml("unclosed end tag at end of input");
            reader_.set_cursor(gt + 1);
            return out.size() - before;
        }
        out.resize(before);
    }
    return parse_floats_into(read_text(), out);
}

std::array<double, 3> Cursor::read_v3() {
    const char* start = reader_.cursor();
    row_.clear();
    if (read_floats(row_) >= 3) return {row_[0], row_[1], row_[2]};
    // Too few values: the error names the row's text, so read it again as text.
    reader_.set_cursor(start);
    return parse_v3(read_text());
}

std::vector<double> parse_floats(std::string_view text) {
    std::vector<double> out;
    parse_floats_into(text, out);
    return out;
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

// --- memory -----------------------------------------------------------------------

void prefault_pages(const void* p, std::size_t n) noexcept {
#ifdef MADV_POPULATE_WRITE
    // Small ranges fault in quickly enough on their own.
    if (n < (std::size_t{1} << 20)) return;
    const std::uintptr_t b = (reinterpret_cast<std::uintptr_t>(p) + 4095) & ~std::uintptr_t{4095};
    const std::uintptr_t e = (reinterpret_cast<std::uintptr_t>(p) + n) & ~std::uintptr_t{4095};
    // Older kernels refuse the advice (EINVAL): the pages then fault in as they are written.
    if (e > b) (void)madvise(reinterpret_cast<void*>(b), e - b, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
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
