// The per-atom rows a structure may carry beside its positions: the
// selective-dynamics flags (<varray name="selective" type="logical">, rows of
// T and F) and the velocities of an MD run (<varray name="velocities">).
// Both have one row of three per atom. Their values are read like any varray's
// (a token that is not a flag or a number is an error), but a varray of another
// extent is not kept: the structure loads as it did before these were read.
#include "core/parser/sections.hpp"

namespace calcsift {

bool parse_structure_extra(Cursor& cur, std::string_view name, StructureExtras& out) {
    if (name == "selective") {
        out.selective = parse_varray_strings(cur);
    } else if (name == "velocities") {
        out.velocities = parse_varray_floats(cur);
    } else {
        return false;
    }
    return true;
}

namespace {

// A flag as VASP writes it (T, F), or any form of an INCAR logical.
bool parse_flag(std::string_view token) {
    IncarValue v = parse_incar_value(token, "logical");
    if (const bool* b = std::get_if<bool>(&v.value)) return *b;
    throw VasprunError::parse_value(std::string(token), "bool", "expected T or F");
}

// Every token is read (a bad one is an error, like a bad number); the flags are
// kept when there is a row of three per atom.
std::optional<std::vector<std::array<bool, 3>>> to_flags(const std::vector<std::string>& rows,
                                                         std::size_t natoms) {
    bool fits = rows.size() == natoms;
    std::vector<std::array<bool, 3>> flags(fits ? natoms : 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::size_t k = 0;
        for_each_token(rows[i], [&](std::string_view tok) {
            bool flag = parse_flag(tok);
            if (fits && k < 3) flags[i][k] = flag;
            ++k;
        });
        fits &= k == 3;
    }
    if (!fits) return std::nullopt;
    return flags;
}

std::optional<std::vector<V3>> to_v3(const Rows& rows, std::size_t natoms) {
    if (rows.count() != natoms) return std::nullopt;
    for (std::size_t i = 0; i < natoms; ++i)
        if (rows.row_size(i) != 3) return std::nullopt;
    std::vector<V3> out(natoms);
    for (std::size_t i = 0; i < natoms; ++i) std::copy(rows.row(i), rows.row(i) + 3, out[i].begin());
    return out;
}

}  // namespace

void attach_structure_extras(StructureExtras&& extras, Structure& s) {
    const std::size_t natoms = s.positions.size();
    if (extras.selective) s.selective = to_flags(*extras.selective, natoms);
    if (extras.velocities) s.velocities = to_v3(*extras.velocities, natoms);
}

}  // namespace calcsift
