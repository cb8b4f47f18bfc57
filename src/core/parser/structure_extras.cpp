// The per-atom rows a structure may carry beside its positions: the
// selective-dynamics flags (<varray name="selective" type="logical">, rows of
// T and F) and the velocities of an MD run (<varray name="velocities">).
// Both have one row of three per atom. No load depends on them: a bad flag or
// number, or a varray of another extent, is kept as the error of its property.
#include "core/parser/extras.hpp"
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// A flag as VASP writes it (T, F), or any form of an INCAR logical.
bool parse_flag(std::string_view token) {
    IncarValue v = parse_incar_value(token, "logical");
    if (const bool* b = std::get_if<bool>(&v.value)) return *b;
    throw VasprunError::parse_value(std::string(token), "bool", "expected T or F");
}

std::vector<std::array<bool, 3>> to_flags(const std::vector<std::string>& rows, std::size_t natoms) {
    if (rows.size() != natoms) throw VasprunError::shape({natoms, 3}, {rows.size(), 3});
    std::vector<std::array<bool, 3>> flags(natoms);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::size_t k = 0;
        for_each_token(rows[i], [&](std::string_view tok) {
            bool flag = parse_flag(tok);
            if (k < 3) flags[i][k] = flag;
            ++k;
        });
        if (k != 3) throw VasprunError::shape({natoms, 3}, {natoms, k});
    }
    return flags;
}

std::vector<V3> to_v3(const Rows& rows, std::size_t natoms) {
    if (rows.count() != natoms) throw VasprunError::shape({natoms, 3}, {rows.count(), 3});
    std::vector<V3> out(natoms);
    for (std::size_t i = 0; i < natoms; ++i) {
        if (rows.row_size(i) != 3) throw VasprunError::shape({natoms, 3}, {natoms, rows.row_size(i)});
        std::copy(rows.row(i), rows.row(i) + 3, out[i].begin());
    }
    return out;
}

}  // namespace

bool is_structure_extra(std::string_view name) noexcept { return name == "selective" || name == "velocities"; }

void read_structure_extra(const Cursor& parent, std::string_view name, std::string_view text, Structure& s) {
    const std::size_t natoms = s.positions.size();
    if (name == "selective") {
        s.selective.read([&] {
            return read_text_of(parent, text, [&](Cursor& sub) { return to_flags(parse_varray_strings(sub), natoms); });
        });
    } else {
        s.velocities.read([&] {
            return read_text_of(parent, text, [&](Cursor& sub) { return to_v3(parse_varray_floats(sub), natoms); });
        });
    }
}

}  // namespace calcsift
