// Linear-response and phonon data of a calculation: the <varray name="epsilon...">
// blocks, <array name="born_charges"> and <dynmat>. No load depends on them.
//
// The extents of Born charges and the dynamical matrix are fixed by the atom
// count, so a block that does not match it is a Shape error with the expected
// and the actual extents (kept for its property); nothing is zero-filled or
// dropped silently.
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// The extents of rows as read, for error texts: the row count and the length of
// the first row that is not `cols` long (cols when all are).
std::vector<std::size_t> rows_extent(const Rows& r, std::size_t cols) {
    for (std::size_t i = 0; i < r.count(); ++i)
        if (r.row_size(i) != cols) return {r.count(), r.row_size(i)};
    return {r.count(), cols};
}

void expect_rows(const Rows& r, std::size_t rows, std::size_t cols) {
    std::vector<std::size_t> got = rows_extent(r, cols);
    if (got[0] != rows || got[1] != cols) throw VasprunError::shape({rows, cols}, got);
}

// The rows of a <varray> of a Hessian's size (3N rows of 3N values) into one
// buffer: after the first row, room for the rest of the element at its density,
// so that the buffer is not copied as it grows. Never more room than the text
// left can fill (a value takes two bytes at least).
Rows read_matrix(Cursor& cur) {
    Rows rows;
    const Cursor::Mark start = cur.mark();
    for_each_named(cur, "varray", "v", [&] {
        cur.read_floats(rows.values);
        rows.end_row();
        if (rows.count() != 1) return;
        if (auto rest = cur.rest_like(start, "varray")) {
            rest->reserve(rows.values, rows.values.size(), 2, /*map_pages=*/true);
            rest->reserve(rows.offsets, 1, 8);
        }
    });
    return rows;
}

// Rows already checked to be (rows, cols), as a dense block. Its values were
// read from the text, so it is no larger than the text allows.
NdArray to_block(Rows&& r, std::size_t rows, std::size_t cols) {
    NdArray a;
    a.shape = {rows, cols};
    a.data = std::move(r.values);
    return a;
}

}  // namespace

NdArray parse_varray_block(Cursor& cur) {
    Rows rows = parse_varray_floats(cur);
    const std::size_t n = rows.count();
    const std::size_t cols = n ? rows.row_size(0) : 0;
    expect_rows(rows, n, cols);
    return to_block(std::move(rows), n, cols);
}

NdArray parse_born_charges(Cursor& cur, std::size_t natoms) {
    Rows rows;
    std::vector<std::size_t> set_ends;  // row count after each set
    for_each_named(cur, "array", "set", [&] {
        for_each_named(cur, "set", "v", [&] {
            cur.read_floats(rows.values);
            rows.end_row();
        });
        set_ends.push_back(rows.count());
    });
    const std::size_t sets = set_ends.size();
    const std::size_t n = natoms ? natoms : sets;
    for (std::size_t i = 0, first = 0; i < sets; first = set_ends[i++]) {
        std::size_t len = 3;
        for (std::size_t r = first; r < set_ends[i] && len == 3; ++r) len = rows.row_size(r);
        if (set_ends[i] - first != 3 || len != 3)
            throw VasprunError::shape({n, 3, 3}, {sets, set_ends[i] - first, len});
    }
    if (sets != n) throw VasprunError::shape({n, 3, 3}, {sets, 3, 3});
    NdArray a = zeros({n, 3, 3}, cur);
    std::copy(rows.values.begin(), rows.values.end(), a.data.begin());
    return a;
}

// The extent D of the matrix is the length of the Hessian's first row; the
// rest must agree with it. Whether D fits the atom count is checked once the
// whole document is read (check_response_extents), as selective dynamics may change it.
Dynmat parse_dynmat(Cursor& cur) {
    std::optional<Rows> hessian, eigenvectors;
    std::optional<std::vector<double>> eigenvalues;
    for_each_child(cur, "dynmat", [&](const Event& ev) {
        auto name = attr_str(ev, "name");
        if (ev.name == "varray" && name && *name == "hessian") {
            hessian = read_matrix(cur);
        } else if (ev.name == "varray" && name && *name == "eigenvectors") {
            eigenvectors = read_matrix(cur);
        } else if (ev.name == "v" && name && *name == "eigenvalues") {
            eigenvalues.emplace();
            cur.read_floats(*eigenvalues);
        } else if (ev.name == "array") {
            // The force constants of VASP 5.4+ restate the Hessian per ion pair.
            cur.fast_skip("array");
        } else {
            return false;
        }
        return true;
    });
    // In file order, so that a block cut short reports the part that was cut.
    if (!hessian) throw VasprunError::missing_element("varray[hessian]");
    const std::size_t d = hessian->count() ? hessian->row_size(0) : 0;
    expect_rows(*hessian, d, d);
    if (!eigenvalues) throw VasprunError::missing_element("v[eigenvalues]");
    if (eigenvalues->size() != d) throw VasprunError::shape({d}, {eigenvalues->size()});
    if (!eigenvectors) throw VasprunError::missing_element("varray[eigenvectors]");
    expect_rows(*eigenvectors, d, d);
    Dynmat m;
    m.hessian = to_block(std::move(*hessian), d, d);
    m.eigenvalues = std::move(*eigenvalues);
    m.eigenvectors = to_block(std::move(*eigenvectors), d, d);
    return m;
}

void check_response_extents(VasprunData& d) {
    const std::size_t natoms = d.atominfo.atoms.size();
    // Checked while reading too, against the atoms known then (none when <atominfo> comes later).
    if (d.born_charges.value && d.born_charges.value->shape[0] != natoms) {
        d.born_charges.error = VasprunError::shape({natoms, 3, 3}, d.born_charges.value->shape);
        d.born_charges.value.reset();
    }
    if (!d.dynmat.value) return;
    const std::size_t extent = d.dynmat.value->eigenvalues.size();
    if (extent == 3 * natoms) return;
    // Finite differences with selective dynamics (IBRION=5) displace only the
    // free Cartesian components: the matrix has one row per T flag.
    if (const auto* selective = d.initial_structure.selective.value ? &*d.initial_structure.selective.value : nullptr) {
        std::size_t free = 0;
        for (const auto& row : *selective)
            for (bool f : row) free += f;
        if (extent == free) return;
    }
    d.dynmat.error = VasprunError::shape({3 * natoms, 3 * natoms}, {extent, extent});
    d.dynmat.value.reset();
}

}  // namespace calcsift
