// <structure> and its <crystal>.
#include "core/parser/extras.hpp"
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

M3 first_three_rows(const std::vector<V3>& rows) {
    if (rows.size() < 3) throw VasprunError::shape({3, 3}, {rows.size()});
    return {rows[0], rows[1], rows[2]};
}

}  // namespace

Crystal parse_crystal(Cursor& cur) {
    Crystal c;
    std::optional<M3> basis, rec_basis;
    for_each_child(cur, "crystal", [&](const Event& ev) {
        auto name = attr_str(ev, "name");
        if (ev.name == "i") {
            std::string_view text = cur.read_text();
            if (name && *name == "volume") c.volume = parse_f64(text).value_or(0.0);
        } else if (ev.name == "varray" && name && *name == "basis") {
            basis = first_three_rows(parse_varray_v3(cur));
        } else if (ev.name == "varray" && name && *name == "rec_basis") {
            rec_basis = first_three_rows(parse_varray_v3(cur));
        } else {
            return false;
        }
        return true;
    });
    if (!basis) throw VasprunError::missing_element("varray[basis]");
    if (!rec_basis) throw VasprunError::missing_element("varray[rec_basis]");
    c.lattice = *basis;
    c.rec_lattice = *rec_basis;
    return c;
}

Structure parse_structure(Cursor& cur, const std::vector<std::string>& atom_names) {
    std::optional<Crystal> crystal;
    std::optional<std::vector<V3>> positions;
    std::vector<std::pair<std::string_view, std::string_view>> extras;  // name, text
    for_each_child(cur, "structure", [&](const Event& ev) {
        if (ev.name == "crystal") {
            crystal = parse_crystal(cur);
            return true;
        }
        auto name = ev.name == "varray" ? attr_str(ev, "name") : std::nullopt;
        if (!name) return false;
        if (*name == "positions") {
            positions = parse_varray_v3(cur);
        } else if (is_structure_extra(*name)) {
            // Read once the atom count is known.
            if (auto text = extra_text(cur, Skip::element, ev.name)) extras.emplace_back(*name, *text);
        } else {
            return false;
        }
        return true;
    });
    if (!crystal) throw VasprunError::missing_element("crystal");
    if (!positions) throw VasprunError::missing_element("varray[positions]");
    Structure s;
    s.lattice = crystal->lattice;
    s.rec_lattice = crystal->rec_lattice;
    s.volume = crystal->volume;
    s.positions = std::move(*positions);
    if (atom_names.empty()) {
        s.species.assign(s.positions.size(), "X");
    } else if (atom_names.size() != s.positions.size()) {
        throw VasprunError::shape({atom_names.size()}, {s.positions.size()});
    } else {
        s.species = atom_names;
    }
    for (const auto& [name, text] : extras) read_structure_extra(cur, name, text, s);
    return s;
}

}  // namespace calcsift
