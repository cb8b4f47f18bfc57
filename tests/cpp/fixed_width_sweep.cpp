// Sweeps rows of numbers through every reader of a row and requires bit-exact
// agreement: the cursor with each SIMD kernel set this CPU runs (AVX2:
// fixed-width fields, plain decimals token by token; SSE2 and scalar: token by
// token), and the general way (parse_floats_into of the row's text). Same
// values to the bit, same error text, same end.
//
// Rows of fixed-width fields cover every width 2..32 with every number of
// decimals 0..14 the width allows, signs, leading zeros, 15-digit mantissas,
// -0.0, rows of 1 to 70 fields and trailing spaces; each such row must also be
// taken whole by every fixed-width kernel (so the fast path is really tested,
// not passed over). Then the same rows broken in every way a field can be
// (stars of an overflowed field, exponents, '+', a decimal too many, glued
// fields, other whitespace, any byte at any place), free-form rows of tokens
// for the plain-decimal kernel, and every byte value as a separator.
//
//   fixed_width_sweep [rows per width and decimals, default 200]
//
// Exits 1 at the first disagreement, printing the row.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/reader/reader.hpp"
#include "rng.hpp"

namespace {

using namespace calcsift;

struct Result {
    std::vector<double> values;
    std::string error;
    std::size_t end = 0;
};

// A document "<pad spaces><r>row</r><tail>" in a buffer of exactly its size
// (so that a sanitizer build sees any read past it).
class Doc {
public:
    Doc(std::size_t pad, std::string_view row, std::string_view tail) {
        const std::string text = std::string(pad, ' ') + "<r>" + std::string(row) + "</r>" + std::string(tail);
        size_ = text.size();
        buf_.reset(new char[size_]);
        std::memcpy(buf_.get(), text.data(), size_);
        row_ = buf_.get() + pad + 3;
    }
    std::string_view view() const { return {buf_.get(), size_}; }
    const char* row() const { return row_; }

private:
    std::unique_ptr<char[]> buf_;
    std::size_t size_ = 0;
    const char* row_ = nullptr;
};

// kernels null: the general way.
Result read_row(const Doc& doc, const SimdKernels* kernels) {
    Result r;
    Cursor cur(doc.view(), kernels ? *kernels : scalar_kernels());
    try {
        for (;;) {
            const Event ev = cur.next();
            if (ev.kind == EventKind::Eof) break;
            if (ev.kind != EventKind::Start || ev.name != "r") continue;
            if (kernels) {
                cur.read_floats(r.values);
            } else {
                parse_floats_into(cur.read_text(), r.values);
            }
            break;
        }
        r.end = cur.offset();
    } catch (const VasprunError& e) {
        r.error = e.display();
    }
    return r;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

[[noreturn]] void disagree(const char* what, std::string_view row, const Result& a, const Result& b) {
    std::fprintf(stderr, "fixed_width_sweep: %s\nrow: [", what);
    for (char c : row) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) std::fputc(c, stderr);
        else std::fprintf(stderr, "\\x%02X", u);
    }
    std::fprintf(stderr, "]\n");
    for (const Result* r : {&a, &b}) {
        std::fprintf(stderr, "  end %zu, error '%s', %zu values:", r->end, r->error.c_str(), r->values.size());
        for (double v : r->values) std::fprintf(stderr, " %.17g", v);
        std::fprintf(stderr, "\n");
    }
    std::exit(1);
}

struct Sweep {
    std::size_t rows = 0, fixed_taken = 0;

    // Every reader of the row agrees; with expect_fixed, each fixed-width
    // kernel also takes the row whole (n fields of width w, f decimals).
    void check(std::string_view row, bool expect_fixed = false, unsigned w = 0, unsigned f = 0,
               unsigned n = 0, std::size_t pad = 24, std::string_view tail = "\n") {
        ++rows;
        const Doc doc(pad, row, tail);
        const Result general = read_row(doc, nullptr);
        for (const SimdKernels* k : runnable_kernel_sets()) {
            const Result fast = read_row(doc, k);
            if (fast.error != general.error || !same_bits(fast.values, general.values) || fast.end != general.end) {
                std::fprintf(stderr, "kernel set %s:\n", k->name);
                disagree("a kernel set differs from the general reader", row, fast, general);
            }
            if (!expect_fixed || !k->fixed_fields) continue;
            Result direct;
            if (!k->fixed_fields(doc.row(), w, f, n, direct.values))
                disagree("the fixed-width kernel refused a row of its form", row, direct, general);
            if (!same_bits(direct.values, general.values))
                disagree("the fixed-width kernel differs from the general reader", row, direct, general);
            ++fixed_taken;
        }
    }
};

std::string digits(Rng& g, unsigned k) {
    std::string s;
    const unsigned mode = g.below(8);
    for (unsigned i = 0; i < k; ++i) {
        char c = static_cast<char>('0' + g.below(10));
        if (mode == 0) c = '0';
        if (mode == 1) c = '9';
        if (mode == 2 && i < k / 2) c = '0';
        s += c;
    }
    return s;
}

// A number of at most maxlen bytes with f decimals (maxlen >= f + 2).
std::string number(Rng& g, unsigned maxlen, unsigned f) {
    const bool neg = maxlen >= f + 3 && g.one_in(3);
    const unsigned room = maxlen - f - 1 - (neg ? 1 : 0);
    const unsigned k = g.one_in(4) ? room : 1 + g.below(room);
    std::string s = neg ? "-" : "";
    s += digits(g, k);
    s += '.';
    s += digits(g, f);
    return s;
}

std::string right(std::string s, unsigned w) {
    return s.size() >= w ? s : std::string(w - s.size(), ' ') + s;
}

// A row of n fields of width w with f decimals in the form Fortran writes.
std::vector<std::string> fixed_fields(Rng& g, unsigned w, unsigned f, unsigned n) {
    std::vector<std::string> fields;
    for (unsigned i = 0; i < n; ++i) {
        // The number lies in the field's last 16 bytes and, but in the first
        // field, leaves a space before it.
        unsigned maxlen = i == 0 ? w : w - 1;
        if (maxlen > 16) maxlen = 16;
        fields.push_back(right(number(g, maxlen, f), w));
    }
    return fields;
}

std::string join(const std::vector<std::string>& fields, unsigned tail) {
    std::string s;
    for (const auto& x : fields) s += x;
    return s + std::string(tail, ' ');
}

// The same row with one field (or byte) broken.
std::string broken(Rng& g, std::vector<std::string> fields, unsigned w, unsigned f, unsigned& byte) {
    const unsigned i = g.below(static_cast<unsigned>(fields.size()));
    std::string& x = fields[i];
    switch (g.below(10)) {
        case 0: x = right(std::string(1 + g.below(w), '*'), w); break;                 // overflowed field
        case 1: x = right(number(g, 8, 3) + (g.one_in(2) ? "E+0" : "e-") + std::to_string(g.below(40)), w); break;
        case 2: if (w >= f + 4 && f < 14) x = right(number(g, std::min(w - 1, 16u) - 1, f).insert(0, 1, '+'), w); break;
        case 3: if (w >= f + 4) x = right(number(g, w - 1, f + 1), w); break;         // a decimal too many
        case 4: if (f > 0) x = right(number(g, w - 1, f - 1), w); break;              // one too few
        case 5: if (i > 0 && w >= f + 2) x = right(number(g, std::min(w, 16u), f), w); break;  // may touch the field before
        case 6: { auto p = x.find(' '); if (p != std::string::npos) x[p] = "\t\n\r\v\f"[g.below(5)]; break; }
        case 7: x = std::string(w, ' '); break;                                         // an empty field
        case 8: x = right(g.one_in(2) ? "--1." : "-.5", w); break;
        default: {                                                                      // any byte, anywhere
            std::string row = join(fields, 0);
            row[g.below(static_cast<unsigned>(row.size()))] = static_cast<char>(byte++ & 0xFF);
            return row;
        }
    }
    return join(fields, g.below(3));
}

// Free-form tokens for the plain-decimal kernel: 0 to 20 digits (more than 15
// is not plain), a point or not, ASCII whitespace runs, sometimes a word.
std::string token_row(Rng& g) {
    static const char* const kWords[] = {"nan", "-inf", "1e5", "****", "1.5E-3", "+2.0", "0x1", "."};
    std::string s(g.below(3), ' ');
    const unsigned ntok = g.below(60);
    for (unsigned t = 0; t < ntok; ++t) {
        if (g.one_in(50)) {
            s += kWords[g.below(8)];
        } else {
            if (g.one_in(3)) s += '-';
            s += digits(g, g.below(11));
            if (!g.one_in(4)) s += '.' + digits(g, g.below(11));
        }
        const unsigned sep = 1 + g.below(g.one_in(8) ? 70 : 3);
        for (unsigned k = 0; k < sep; ++k) s += g.one_in(6) ? "\t\n\r\v\f"[g.below(5)] : ' ';
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned per = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 200;
    Rng g{20240601};
    Sweep sweep;
    unsigned byte = 0;

    for (unsigned w = 2; w <= 32; ++w) {
        for (unsigned f = 0; f <= 14 && f + 2 <= w; ++f) {
            for (unsigned t = 0; t < per; ++t) {
                // Later fields need a space before their number.
                const unsigned n = w >= f + 3 ? 1 + (g.one_in(6) ? g.below(70) : g.below(9)) : 1;
                const auto fields = fixed_fields(g, w, f, n);
                sweep.check(join(fields, g.below(w)), true, w, f, n);
                sweep.check(broken(g, fields, w, f, byte));
                // The row at the very start and end of the document.
                if (t % 8 == 0) sweep.check(join(fields, 0), false, 0, 0, 0, g.below(4), "");
            }
        }
    }
    const std::size_t fixed_rows = sweep.rows;
    for (unsigned t = 0; t < 40 * per; ++t) sweep.check(token_row(g), false, 0, 0, 0, g.below(30), g.one_in(4) ? "" : "\n");
    for (unsigned b = 0; b < 256; ++b) {
        const std::string sep(1, static_cast<char>(b));
        sweep.check("1.5" + sep + "-2.25" + sep + "3.0");
        sweep.check("    1.50" + sep + "   -2.25" + "    3.00");
        sweep.check(sep + "  0.125  0.250" + sep);
    }
    std::string sets;
    for (const SimdKernels* k : runnable_kernel_sets()) sets += (sets.empty() ? "" : ", ") + std::string(k->name);
    std::printf("fixed_width_sweep: kernel sets %s; %zu fixed-width rows (%zu taken whole by a fixed-width kernel), "
                "%zu rows in all: every reader agrees\n",
                sets.c_str(), fixed_rows, sweep.fixed_taken, sweep.rows);
    return 0;
}
