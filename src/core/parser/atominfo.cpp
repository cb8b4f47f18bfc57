// <atominfo>: the per-atom element list and the atom-type table.
#include <string>
#include <unordered_map>

#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// Calls on_row(cells) for every <rc> of a <set>, cells being the texts of its <c> cells.
template <typename OnRow>
void read_set_rows(Cursor& cur, OnRow&& on_row) {
    std::vector<std::string> cells;
    for_each_named(cur, "set", "rc", [&] {
        cells.clear();
        for_each_named(cur, "rc", "c", [&] { cells.emplace_back(cur.read_text()); });
        on_row(cells);
    });
}

std::vector<std::string> parse_atoms_table(Cursor& cur) {
    std::vector<std::string> atoms;
    for_each_named(cur, "array", "set", [&] {
        read_set_rows(cur, [&](const std::vector<std::string>& cells) {
            // The first cell is the element; the type index after it is not needed.
            atoms.emplace_back(cells.empty() ? std::string_view() : trim_unicode(cells[0]));
        });
    });
    return atoms;
}

AtomType convert_type_row(const std::vector<std::string>& cells,
                          const std::unordered_map<std::string, std::size_t>& columns) {
    auto cell = [&](const char* column) -> std::string_view {
        auto it = columns.find(column);
        if (it == columns.end() || it->second >= cells.size()) return {};
        return trim_unicode(cells[it->second]);
    };
    auto number = [&](const char* column, const char* reason) {
        std::string_view text = cell(column);
        auto v = parse_f64(text);
        if (!v) throw VasprunError::parse_value(std::string(text), "f64", reason);
        return *v;
    };
    AtomType t;
    std::string_view count = cell("atomspertype");
    auto n = parse_u64(count);
    if (!n)
        throw VasprunError::parse_value(std::string(count), "usize",
                                        "atomspertype is not a valid integer");
    t.count = *n;
    t.mass = number("mass", "mass is not a valid float");
    t.valence = number("valence", "valence is not a valid float");
    t.element = std::string(cell("element"));
    t.pseudopotential = std::string(cell("pseudopotential"));
    return t;
}

std::vector<AtomType> parse_types_table(Cursor& cur) {
    std::vector<AtomType> types;
    std::vector<std::string> fields;
    for_each_child(cur, "array", [&](const Event& ev) {
        if (ev.name == "field") {
            fields.emplace_back(cur.read_text());
            return true;
        }
        if (ev.name != "set") return false;
        // Columns are found by name; a repeated name maps to its last position.
        std::unordered_map<std::string, std::size_t> columns;
        for (std::size_t i = 0; i < fields.size(); ++i) columns[fields[i]] = i;
        read_set_rows(cur, [&](const std::vector<std::string>& cells) {
            types.push_back(convert_type_row(cells, columns));
        });
        return true;
    });
    return types;
}

}  // namespace

AtomInfo parse_atominfo(Cursor& cur) {
    std::optional<std::vector<std::string>> atoms;
    std::optional<std::vector<AtomType>> types;
    for_each_child(cur, "atominfo", [&](const Event& ev) {
        auto name = ev.name == "array" ? attr_str(ev, "name") : std::nullopt;
        if (name && *name == "atoms") {
            atoms = parse_atoms_table(cur);
        } else if (name && *name == "atomtypes") {
            types = parse_types_table(cur);
        } else {
            return false;
        }
        return true;
    });
    if (!atoms) throw VasprunError::missing_element("array[atoms]");
    if (!types) throw VasprunError::missing_element("array[atomtypes]");
    return AtomInfo{std::move(*atoms), std::move(*types)};
}

}  // namespace calcsift
