#include "reader.hpp"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "utf8.hpp"

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
    const char* gt = find_char(p, end, '>');
    if (!gt) return nullptr;
    // Quotes are rare in the hot tags (<r>, <v>, <c>); only then scan carefully.
    if (!std::memchr(p, '"', static_cast<std::size_t>(gt - p)) &&
        !std::memchr(p, '\'', static_cast<std::size_t>(gt - p)))
        return gt;
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

}  // namespace

// --- Reader -----------------------------------------------------------------

void Reader::reset(const char* begin, const char* end) {
    begin_ = begin;
    end_ = end;
    p_ = begin;
    if (end_ - p_ >= 3 && static_cast<unsigned char>(p_[0]) == 0xEF &&
        static_cast<unsigned char>(p_[1]) == 0xBB && static_cast<unsigned char>(p_[2]) == 0xBF)
        p_ += 3;
}

Event Reader::next() {
    Event ev;
    for (;;) {
        if (p_ >= end_) {
            ev.kind = EventKind::Eof;
            return ev;
        }
        if (*p_ != '<') {
            const char* lt = find_char(p_, end_, '<');
            if (!lt) lt = end_;
            std::string_view t = trim_xml(p_, lt);
            p_ = lt;
            if (t.empty()) continue;
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

// --- VasprunParser ----------------------------------------------------------------

VasprunParser::VasprunParser(std::string_view document) : reader_(document), doc_(document) {}

void VasprunParser::skip_element(std::string_view name) {
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

void VasprunParser::fast_skip(std::string_view name) {
    std::string needle;
    needle.reserve(name.size() + 3);
    needle += "</";
    needle += name;
    needle += '>';
    std::size_t start = offset();
    const char* b = doc_.data() + start;
    const char* e = doc_.data() + doc_.size();
    const char* hit = find_str(b, e, needle);
    if (!hit)
        throw VasprunError::missing_element("fast_skip: could not find </" + display_name(name) +
                                            ">");
    base_ = static_cast<std::size_t>(hit - doc_.data()) + needle.size();
    reader_.reset(doc_.data() + base_, e);
}

std::string_view VasprunParser::read_text() {
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
