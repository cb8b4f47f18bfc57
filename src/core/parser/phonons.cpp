// Linear-response and phonon data of a calculation: the <varray name="epsilon...">
// dielectric tensors, <array name="born_charges"> and <dynmat>.
//
// Their extents are fixed by the atom count, so a block that does not match it
// (including one cut short by the end of the file) is a Shape error with the
// expected and the actual extents; nothing is zero-filled or dropped silently.
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

M3 read_tensor(Cursor& cur) {
    Rows rows = parse_varray_floats(cur);
    expect_rows(rows, 3, 3);
    M3 m;
    for (std::size_t i = 0; i < 3; ++i) std::copy(rows.row(i), rows.row(i) + 3, m[i].begin());
    return m;
}

void put_tensor(Response& r, std::string_view name, const M3& m) {
    for (auto& [known, value] : r.dielectric_tensors) {
        if (known == name) {
            value = m;
            return;
        }
    }
    r.dielectric_tensors.emplace_back(std::string(name), m);
}

// One <set> of three rows of three per ion.
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

}  // namespace

bool parse_response_child(Cursor& cur, const Event& ev, std::size_t natoms, Response& out) {
    if (ev.name == "varray") {
        auto name = attr_str(ev, "name");
        if (!name || !name->starts_with("epsilon")) return false;
        put_tensor(out, *name, read_tensor(cur));
        return true;
    }
    if (ev.name == "array") {
        auto name = attr_str(ev, "name");
        if (!name || *name != "born_charges") return false;
        keep_last(out.born_charges, [&] { return parse_born_charges(cur, natoms); });
        return true;
    }
    if (ev.name == "dynmat") {
        keep_last(out.dynmat, [&] { return parse_dynmat(cur); });
        return true;
    }
    return false;
}

void merge_response(Response& into, Response&& from) {
    for (const auto& [name, value] : from.dielectric_tensors) put_tensor(into, name, value);
    if (from.born_charges) into.born_charges = std::move(from.born_charges);
    if (from.dynmat) into.dynmat = std::move(from.dynmat);
}

void check_response_extents(const Response& r, std::size_t natoms, const Structure& initial) {
    // Checked while reading too, against the atoms known then (none when <atominfo> comes later).
    if (r.born_charges && r.born_charges->shape[0] != natoms)
        throw VasprunError::shape({natoms, 3, 3}, r.born_charges->shape);
    if (!r.dynmat) return;
    const std::size_t extent = r.dynmat->eigenvalues.size();
    if (extent == 3 * natoms) return;
    // Finite differences with selective dynamics (IBRION=5) displace only the
    // free Cartesian components: the matrix has one row per T flag.
    if (initial.selective) {
        std::size_t free = 0;
        for (const auto& row : *initial.selective)
            for (bool f : row) free += f;
        if (extent == free) return;
    }
    throw VasprunError::shape({3 * natoms, 3 * natoms}, {extent, extent});
}

}  // namespace calcsift
