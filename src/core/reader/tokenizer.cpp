#include "core/reader/tokenizer.hpp"

#include <cstring>
#include <string>

#include "core/kernels/markup_scan.hpp"
#include "core/kernels/scan.hpp"

namespace calcsift {

namespace {

bool starts_with_ci(const char* p, const char* end, std::string_view word) noexcept {
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = p[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c != word[i]) return false;
    }
    return true;
}

}  // namespace

Tokenizer::Tokenizer(std::string_view text, const SimdKernels& kernels) : next_(loop_for(kernels)) {
    reset(text.data(), text.data() + text.size());
}

Tokenizer::NextFn Tokenizer::loop_for(const SimdKernels& kernels) noexcept {
    switch (kernels.markup) {
#if defined(__SSE2__)
        case MarkupScans::Sse2:
            return &next_as<Sse2Markup>;
#endif
        default:
            return &next_as<ScalarMarkup>;
    }
}

void Tokenizer::reset(const char* begin, const char* end) {
    begin_ = begin;
    end_ = end;
    p_ = begin;
    if (end_ - p_ >= 3 && static_cast<unsigned char>(p_[0]) == 0xEF &&
        static_cast<unsigned char>(p_[1]) == 0xBB && static_cast<unsigned char>(p_[2]) == 0xBF)
        p_ += 3;
}

template <class Scans>
Event Tokenizer::next_with() {
    Event ev;
    for (;;) {
        if (p_ >= end_) {
            ev.kind = EventKind::Eof;
            return ev;
        }
        if (*p_ != '<') {
            // Indentation between tags is by far the most common text: pass
            // over it without a search.
            const char* q = Scans::skip_xml_space(p_, end_);
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
        const char* gt = Scans::tag_end(s, end_);
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

template <class Scans>
Event Tokenizer::next_as(Tokenizer& t) {
    return t.next_with<Scans>();
}

}  // namespace calcsift
