#include "core/reader/cursor.hpp"

#include <cstring>

#include "core/reader/entities.hpp"
#include "core/reader/numbers.hpp"
#include "core/kernels/scan.hpp"

namespace calcsift {

Cursor::Cursor(std::string_view document, const SimdKernels& kernels)
    : simd_(&kernels), reader_(document, kernels), doc_(document) {}

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
    const char* ascii_end;
    const char* hit = simd_->find(b, e, needle, &ascii_end);
    note_ascii(b, ascii_end);
    if (!hit)
        throw VasprunError::missing_element("fast_skip: could not find </" + display_name(name) +
                                            ">");
    base_ = static_cast<std::size_t>(hit - doc_.data()) + needle.size();
    reader_.reset(doc_.data() + base_, e);
}

std::size_t Cursor::find_ahead(std::string_view needle) const noexcept {
    const char* b = doc_.data() + offset();
    const char* e = doc_.data() + doc_.size();
    if (needle.empty()) return offset();
    const char* ascii_end;
    const char* hit = simd_->find(b, e, needle, &ascii_end);
    note_ascii(b, ascii_end);
    return hit ? static_cast<std::size_t>(hit - doc_.data()) : doc_.size();
}

void Cursor::note_ascii(const char* b, const char* e) const noexcept {
    // Short spans cost little to check again. The list keeps the longest ones.
    if (e - b < (std::ptrdiff_t{1} << 16)) return;
    const Span span{static_cast<std::size_t>(b - doc_.data()), static_cast<std::size_t>(e - doc_.data())};
    if (ascii_count_ < ascii_spans_.size()) {
        ascii_spans_[ascii_count_++] = span;
        return;
    }
    Span* shortest = &ascii_spans_[0];
    for (Span& s : ascii_spans_)
        if (s.end - s.begin < shortest->end - shortest->begin) shortest = &s;
    if (span.end - span.begin > shortest->end - shortest->begin) *shortest = span;
}

std::vector<Cursor::Span> Cursor::ascii_spans() const {
    return std::vector<Span>(ascii_spans_.begin(), ascii_spans_.begin() + ascii_count_);
}

std::size_t Cursor::text_left(std::string_view name) const noexcept {
    // No element this is asked about has a long name; for one, the rest of the document is the bound.
    char needle[64];
    if (name.size() + 3 > sizeof needle) return doc_.size() - offset();
    needle[0] = '<';
    needle[1] = '/';
    std::memcpy(needle + 2, name.data(), name.size());
    needle[name.size() + 2] = '>';
    return find_ahead(std::string_view(needle, name.size() + 3)) - offset();
}

std::optional<Cursor::Rest> Cursor::rest_like(Mark since, std::string_view name) const noexcept {
    const std::size_t here = offset();
    if (here <= since.at) return std::nullopt;
    Rest r;
    r.left_ = static_cast<double>(text_left(name));
    r.scale_ = r.left_ / static_cast<double>(here - since.at) * (1.0 + 1.0 / 32);
    return r;
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

// --- rows of numbers ----------------------------------------------------------------

// The layout of a row of fixed-width fields, read from its first field, or
// false. *e is the row's '<'.
bool Cursor::row_shape(const char* p, const char* e, RowShape& s) {
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

// A row of fixed-width fields at p, its layout guessed from the last such row
// (or read afresh); returns the row's '<', or nullptr with out unchanged or
// longer (the caller cuts it back).
const char* Cursor::read_fixed_row(const char* p, const char* end, std::vector<double>& out) {
    if (!simd_->fixed_fields) return nullptr;
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
        if (ok && simd_->fixed_fields(p, shape_.width, shape_.frac, shape_.fields, out)) return e;
        if (!cached) return nullptr;
        cached = false;
    }
    return nullptr;
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
        if (simd_->decimals(p, lt, end, out)) {
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

}  // namespace calcsift
