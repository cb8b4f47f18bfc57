// <eigenvalues> and <projected>: dense band blocks.
//
// Rows are parsed straight into one flat buffer while the nesting counts are
// recorded. A regular block (every set as large as the first one at its level,
// every row full) is already in row-major order and becomes the block without
// a copy; an irregular one is copied once into a zero-filled block. A set or
// row larger than the first one at its level does not fit and is a Shape error.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

struct Nesting {
    std::vector<double> flat;
    std::vector<std::size_t> spin_ksets;     // k-point sets per spin set
    std::vector<std::uint32_t> kset_counts;  // children (band rows or band sets) per k-point set
    std::vector<std::uint32_t> band_rows;    // ion rows per band set (projected)
    std::vector<std::uint32_t> row_lens;     // values per ion row (projected)
};

std::vector<std::size_t> with(std::vector<std::size_t> dims, std::size_t axis, std::size_t n) {
    dims[axis] = n;
    return dims;
}

// Checks the counts of one nesting level against its extent (dims[axis]): a
// larger count cannot be placed and is a Shape error. Returns whether every
// count fills the extent exactly.
template <typename Counts>
bool fits_level(const Counts& counts, const std::vector<std::size_t>& dims, std::size_t axis) {
    bool regular = true;
    for (auto c : counts) {
        if (c > dims[axis]) throw VasprunError::shape(dims, with(dims, axis, c));
        regular &= c == dims[axis];
    }
    return regular;
}

// Called after the first k-point set: makes room for the rest of the block, up
// to its closing tag, at the density of that set (values and rows per byte of
// text), a little over. A band block can be most of a parse's memory; growing
// it by doubling would copy it and, for a moment, hold it one and a half times.
// Never more values than half the bytes left (a value takes a digit and a
// separator at least), nor more rows than an eighth.
void reserve_like_first_set(Cursor& cur, Nesting& n, Cursor::Mark start, std::string_view closing) {
    if (n.flat.empty()) return;
    const std::optional<Cursor::Rest> rest = cur.rest_like(start, closing);
    if (!rest) return;
    rest->reserve(n.flat, n.flat.size(), 2, /*map_pages=*/true);
    rest->reserve(n.row_lens, n.row_lens.size(), 8);
    rest->reserve(n.band_rows, n.band_rows.size(), 8);
}

// Reads outer set -> spin sets -> k-point sets, calling read_kset for each
// k-point set; `closing` is the name of the whole block.
template <typename ReadKset>
void read_spin_tree(Cursor& cur, Nesting& n, std::string_view closing,
                    ReadKset&& read_kset) {
    const Cursor::Mark start = cur.mark();
    bool first = true;
    for_each_named(cur, "set", "set", [&] {  // one spin set
        std::size_t ksets = 0;
        for_each_named(cur, "set", "set", [&] {  // one k-point set
            ++ksets;
            read_kset();
            if (first) reserve_like_first_set(cur, n, start, closing);
            first = false;
        });
        n.spin_ksets.push_back(ksets);
    });
}

std::uint32_t count32(std::size_t n) {
    if (n > UINT32_MAX) throw VasprunError::message("too many rows in one set");
    return static_cast<std::uint32_t>(n);
}

EigenvalueBlock build_eigenvalues(Cursor& cur, Nesting& n) {
    const std::size_t nspins = n.spin_ksets.size();
    const std::size_t nkpts = n.spin_ksets[0];
    const std::size_t nbands = nkpts ? n.kset_counts[0] : 0;
    const std::vector<std::size_t> dims{nspins, nkpts, nbands};
    // Checked outer level first, so the reported extent is the outermost misfit.
    bool regular = fits_level(n.spin_ksets, dims, 1);
    regular = fits_level(n.kset_counts, dims, 2) && regular;
    EigenvalueBlock block;
    block.shape = {nspins, nkpts, nbands};
    if (regular) {
        block.data.shape = {nspins, nkpts, nbands, 2};
        block.data.data = std::move(n.flat);
        return block;
    }
    block.data = zeros({nspins, nkpts, nbands, 2}, cur);
    const double* src = n.flat.data();
    std::size_t kset = 0;
    for (std::size_t s = 0; s < nspins; ++s) {
        for (std::size_t k = 0; k < n.spin_ksets[s]; ++k, ++kset) {
            std::size_t len = 2 * std::size_t{n.kset_counts[kset]};
            std::copy(src, src + len, block.data.data.begin() + ((s * nkpts + k) * nbands) * 2);
            src += len;
        }
    }
    return block;
}

}  // namespace

EigenvalueBlock parse_eigenvalues(Cursor& cur, bool energies_only) {
    return read_last(cur, "eigenvalues", "array", "array inside eigenvalues", [&] {
        Nesting n;
        bool have_spins = false;
        for_each_named(cur, "array", "set", [&] {  // the outer set
            n = Nesting();
            read_spin_tree(cur, n, "eigenvalues", [&] {
                std::size_t rows = 0;
                for_each_named(cur, "set", "r", [&] {
                    std::size_t got = cur.read_floats(n.flat);
                    if (got >= 2) {
                        n.flat.resize(n.flat.size() - (got - 2));
                    } else if (got == 1 && energies_only) {
                        n.flat.push_back(std::numeric_limits<double>::quiet_NaN());
                    } else {
                        throw VasprunError::shape({2}, {got});
                    }
                    ++rows;
                });
                n.kset_counts.push_back(count32(rows));
            });
            have_spins = !n.spin_ksets.empty();
        });
        if (!have_spins) throw VasprunError::missing_element("spin sets in eigenvalues");
        return build_eigenvalues(cur, n);
    });
}

namespace {

NdArray build_projected(Cursor& cur, Nesting& n, std::size_t norbitals) {
    const std::size_t nspins = n.spin_ksets.size();
    const std::size_t nkpts = n.spin_ksets[0];
    const std::size_t nbands = nkpts ? n.kset_counts[0] : 0;
    const std::size_t nions = nbands ? n.band_rows[0] : 0;
    const std::vector<std::size_t> dims{nspins, nkpts, nbands, nions, norbitals};
    bool regular = fits_level(n.spin_ksets, dims, 1);
    regular = fits_level(n.kset_counts, dims, 2) && regular;
    regular = fits_level(n.band_rows, dims, 3) && regular;
    regular = fits_level(n.row_lens, dims, 4) && regular;
    if (regular) {
        NdArray a;
        a.shape = dims;
        a.data = std::move(n.flat);
        return a;
    }
    NdArray a = zeros(dims, cur);
    const double* src = n.flat.data();
    std::size_t kset = 0, band = 0, row = 0;
    for (std::size_t s = 0; s < nspins; ++s) {
        for (std::size_t k = 0; k < n.spin_ksets[s]; ++k, ++kset) {
            for (std::size_t b = 0; b < n.kset_counts[kset]; ++b, ++band) {
                for (std::size_t i = 0; i < n.band_rows[band]; ++i, ++row) {
                    std::size_t len = n.row_lens[row];
                    std::size_t at = (((s * nkpts + k) * nbands + b) * nions + i) * norbitals;
                    std::copy(src, src + len, a.data.begin() + static_cast<std::ptrdiff_t>(at));
                    src += len;
                }
            }
        }
    }
    return a;
}

}  // namespace

Projected read_projected_array(Cursor& cur, std::string_view element) {
    Projected p;
    Nesting n;
    bool have_spins = false;
    for_each_child(cur, "array", [&](const Event& ev) {
        if (ev.name == "field") {
            p.orbitals.emplace_back(cur.read_text());
            return true;
        }
        if (ev.name != "set") return false;
        n = Nesting();
        read_spin_tree(cur, n, element, [&] {
            std::size_t bands = 0;
            for_each_named(cur, "set", "set", [&] {  // one band set
                ++bands;
                std::size_t ions = 0;
                for_each_named(cur, "set", "r", [&] {
                    std::size_t got = cur.read_floats(n.flat);
                    n.row_lens.push_back(count32(got));
                    ++ions;
                });
                n.band_rows.push_back(count32(ions));
            });
            n.kset_counts.push_back(count32(bands));
        });
        have_spins = !n.spin_ksets.empty();
        return true;
    });
    if (!have_spins) throw VasprunError::missing_element("spin sets in projected");
    std::size_t norbitals = std::max<std::size_t>(1, p.orbitals.size());
    p.data = build_projected(cur, n, norbitals);
    return p;
}

Projected parse_projected(Cursor& cur, std::string_view element) {
    return read_last(cur, element, "array", "array inside projected",
                     [&] { return read_projected_array(cur, element); });
}

}  // namespace calcsift
