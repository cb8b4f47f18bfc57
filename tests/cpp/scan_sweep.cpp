// Sweeps generated text through the byte scans of every SIMD kernel set this
// CPU runs and requires the scalar set's results exactly: the tokenizer's
// events (markup with whitespace runs of every XML space byte and of bytes
// that only look like one, quoted attribute values holding '>' and the other
// quote, comments, CDATA, cut-off markup), the UTF-8 check and ASCII prefix
// (valid and broken sequences at every offset of a vector block), and the far
// search (needles across block edges; its note of ASCII bytes must hold).
//
//   scan_sweep [documents, default 20000]
//
// Exits 1 at the first disagreement, printing the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "core/base/error.hpp"
#include "core/reader/reader.hpp"
#include "rng.hpp"

namespace {

using namespace calcsift;

// The text in a buffer of exactly its size, so that a sanitizer build sees a read past it.
struct Text {
    std::unique_ptr<char[]> buf;
    std::size_t size;
    explicit Text(const std::string& s) : buf(new char[s.size() + 1]), size(s.size()) {
        std::memcpy(buf.get(), s.data(), s.size());
    }
    const char* data() const { return buf.get(); }
    std::string_view view() const { return {buf.get(), size}; }
};

[[noreturn]] void disagree(const char* what, const SimdKernels& k, std::string_view text) {
    std::fprintf(stderr, "scan_sweep: %s: the %s set differs from the scalar one\ntext: [", what, k.name);
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02X", u);
    }
    std::fprintf(stderr, "]\n");
    std::exit(1);
}

std::string whitespace(Rng& g) {
    static const char kSpace[] = {' ', ' ', ' ', '\n', '\r', '\t'};
    static const char kOther[] = {'\v', '\f', '\0', 'x', '\x85', '\xA0', '<'};
    std::string s;
    const unsigned n = g.one_in(3) ? g.below(40) : g.below(6);
    for (unsigned i = 0; i < n; ++i) s += g.one_in(30) ? kOther[g.below(sizeof kOther)] : kSpace[g.below(sizeof kSpace)];
    return s;
}

std::string quoted(Rng& g) {
    static const char* const kPieces[] = {"a", ">", "'", "\"", " ", "/>", "é", "x y", "0123456789abcdef"};
    const char q = g.one_in(2) ? '"' : '\'';
    std::string s(1, q);
    for (unsigned i = g.below(6); i > 0; --i) {
        const std::string_view piece = kPieces[g.below(9)];
        if (piece.find(q) == std::string_view::npos) s += piece;
    }
    if (!g.one_in(40)) s += q;  // else unterminated
    return s;
}

std::string markup(Rng& g) {
    switch (g.below(12)) {
        case 0: return "<!--" + whitespace(g) + "- > -->";
        case 1: return "<![CDATA[" + whitespace(g) + "<v>]]>";
        case 2: return "<?pi " + quoted(g) + "?>";
        case 3: return "</" + std::string(g.one_in(2) ? "v" : "varray") + whitespace(g) + ">";
        case 4: return "1.5 -2.25&amp;" + std::string(g.one_in(4) ? "\xC3\xA9" : "") + "3";
        default: {
            std::string s = g.one_in(2) ? "<v" : "<i";
            for (unsigned i = g.below(4); i > 0; --i) s += whitespace(g) + (g.one_in(2) ? "name=" : "type =") + quoted(g);
            s += whitespace(g);
            if (g.one_in(3)) s += '/';
            return s + '>';
        }
    }
}

// The events of the text (each as the kind and the exact views, which point
// into the one buffer), then the error, if any.
std::string events(const Text& t, const SimdKernels& k) {
    std::string out;
    try {
        Tokenizer tok(t.view(), k);
        for (;;) {
            const Event ev = tok.next();
            out += std::to_string(static_cast<int>(ev.kind));
            for (std::string_view v : {ev.name, ev.attrs, ev.text})
                out += ' ' + std::to_string(v.data() ? v.data() - t.data() : -1) + ':' + std::to_string(v.size());
            out += '\n';
            if (ev.kind == EventKind::Eof) break;
        }
    } catch (const VasprunError& e) {
        out += e.display();
    }
    return out;
}

// Mostly ASCII with UTF-8 sequences (some broken) at any offset.
std::string utf8_text(Rng& g) {
    static const char* const kSeqs[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\x80", "\xC3",
                                        "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC0\xAF", "\xFF"};
    std::string s;
    const unsigned n = g.below(200);
    for (unsigned i = 0; i < n; ++i) {
        if (g.one_in(25)) s += kSeqs[g.below(10)];
        else s += static_cast<char>(0x20 + g.below(95));
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned documents = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    const SimdKernels& scalar = scalar_kernels();
    Rng g{42};
    std::size_t compared = 0;
    for (unsigned d = 0; d < documents; ++d) {
        std::string doc;
        for (unsigned i = g.below(20); i > 0; --i) doc += whitespace(g) + markup(g);
        if (g.one_in(4) && !doc.empty()) doc.resize(g.below(static_cast<unsigned>(doc.size())));
        const Text markup_text(doc);
        const Text utf8(utf8_text(g));
        std::string hay;
        for (unsigned i = g.below(300); i > 0; --i) hay += g.one_in(40) ? "</v" : g.one_in(50) ? "\xC3\xA9" : "v";
        if (g.one_in(2)) hay += "</v>";
        const Text far(hay);
        const std::string scalar_events = events(markup_text, scalar);
        for (const SimdKernels* k : runnable_kernel_sets()) {
            if (k == &scalar) continue;
            ++compared;
            if (events(markup_text, *k) != scalar_events) disagree("tokenizer events", *k, markup_text.view());
            for (std::size_t off = 0; off < 4 && off <= utf8.size; ++off) {
                const char* p = utf8.data() + off;
                const std::size_t n = utf8.size - off;
                if (k->valid_utf8(p, n) != scalar.valid_utf8(p, n)) disagree("UTF-8 check", *k, utf8.view());
                if (k->ascii_prefix(p, n) != scalar.ascii_prefix(p, n)) disagree("ASCII prefix", *k, utf8.view());
            }
            const char *ascii_k, *ascii_s;
            const char* end = far.data() + far.size;
            if (k->find(far.data(), end, "</v>", &ascii_k) != scalar.find(far.data(), end, "</v>", &ascii_s))
                disagree("far search", *k, far.view());
            const auto seen = static_cast<std::size_t>(ascii_k - far.data());
            if (ascii_k > end || scalar.ascii_prefix(far.data(), seen) != seen)
                disagree("ASCII noted by the far search", *k, far.view());
        }
    }
    std::string sets;
    for (const SimdKernels* k : runnable_kernel_sets()) sets += (sets.empty() ? "" : ", ") + std::string(k->name);
    std::printf("scan_sweep: kernel sets %s; %u documents, %zu comparisons with the scalar set: every set agrees\n",
                sets.c_str(), documents, compared);
    return 0;
}
