// <atominfo>: the per-atom element list and the atom-type table.
#include <string>
#include <unordered_map>

#include "sections.hpp"

namespace calcsift {

namespace {

// Reads one <rc> row: the texts of its <c> cells, in order.
void read_row_cells(VasprunParser& parser, std::vector<std::string>& cells) {
    cells.clear();
    for (;;) {
        Event ev = parser.next();
        if (ev.kind == EventKind::Start) {
            if (ev.name == "c") {
                cells.emplace_back(parser.read_text());
            } else {
                parser.skip_element(ev.name);
            }
        } else if (ev.kind == EventKind::End) {
            if (ev.name == "rc") return;
        } else if (ev.kind == EventKind::Eof) {
            return;
        }
    }
}

// Calls on_row(cells) for every <rc> of a <set>.
template <typename OnRow>
void read_set_rows(VasprunParser& parser, OnRow&& on_row) {
    std::vector<std::string> cells;
    for (;;) {
        Event ev = parser.next();
        if (ev.kind == EventKind::Start) {
            if (ev.name == "rc") {
                read_row_cells(parser, cells);
                on_row(cells);
            } else {
                parser.skip_element(ev.name);
            }
        } else if (ev.kind == EventKind::End) {
            if (ev.name == "set") return;
        } else if (ev.kind == EventKind::Eof) {
            return;
        }
    }
}

std::vector<std::string> parse_atoms_table(VasprunParser& parser) {
    std::vector<std::string> atoms;
    for (;;) {
        Event ev = parser.next();
        if (ev.kind == EventKind::Start) {
            if (ev.name == "set") {
                read_set_rows(parser, [&](const std::vector<std::string>& cells) {
                    atoms.emplace_back(cells.empty() ? std::string_view() : trim_unicode(cells[0]));
                });
            } else {
                parser.skip_element(ev.name);
            }
        } else if (ev.kind == EventKind::End) {
            if (ev.name == "array") return atoms;
        } else if (ev.kind == EventKind::Eof) {
            return atoms;
        }
    }
}

AtomType convert_type_row(const std::vector<std::string>& cells,
                          const std::unordered_map<std::string, std::size_t>& columns) {
    auto cell = [&](const char* column) -> std::string_view {
        auto it = columns.find(column);
        if (it == columns.end() || it->second >= cells.size()) return {};
        return trim_unicode(cells[it->second]);
    };
    AtomType t;
    std::string_view count = cell("atomspertype");
    auto n = parse_u64(count);
    if (!n)
        throw VasprunError::parse_value(std::string(count), "usize",
                                        "atomspertype is not a valid integer");
    t.count = *n;
    std::string_view mass = cell("mass");
    auto m = parse_f64(mass);
    if (!m) throw VasprunError::parse_value(std::string(mass), "f64", "mass is not a valid float");
    t.mass = *m;
    std::string_view valence = cell("valence");
    auto v = parse_f64(valence);
    if (!v)
        throw VasprunError::parse_value(std::string(valence), "f64",
                                        "valence is not a valid float");
    t.valence = *v;
    t.element = std::string(cell("element"));
    t.pseudopotential = std::string(cell("pseudopotential"));
    return t;
}

std::vector<AtomType> parse_types_table(VasprunParser& parser) {
    std::vector<AtomType> types;
    std::vector<std::string> fields;
    for (;;) {
        Event ev = parser.next();
        if (ev.kind == EventKind::Start) {
            if (ev.name == "field") {
                fields.emplace_back(parser.read_text());
            } else if (ev.name == "set") {
                std::unordered_map<std::string, std::size_t> columns;
                for (std::size_t i = 0; i < fields.size(); ++i) columns[fields[i]] = i;
                read_set_rows(parser, [&](const std::vector<std::string>& cells) {
                    types.push_back(convert_type_row(cells, columns));
                });
            } else {
                parser.skip_element(ev.name);
            }
        } else if (ev.kind == EventKind::End) {
            if (ev.name == "array") return types;
        } else if (ev.kind == EventKind::Eof) {
            return types;
        }
    }
}

}  // namespace

AtomInfo parse_atominfo(VasprunParser& parser) {
    std::optional<std::vector<std::string>> atoms;
    std::optional<std::vector<AtomType>> types;
    for (bool done = false; !done;) {
        Event ev = parser.next();
        if (ev.kind == EventKind::Start) {
            auto name = ev.name == "array" ? attr_str(ev, "name") : std::nullopt;
            if (name && *name == "atoms") {
                atoms = parse_atoms_table(parser);
            } else if (name && *name == "atomtypes") {
                types = parse_types_table(parser);
            } else {
                parser.skip_element(ev.name);
            }
        } else if (ev.kind == EventKind::End) {
            if (ev.name == "atominfo") done = true;
        } else if (ev.kind == EventKind::Eof) {
            done = true;
        }
    }
    if (!atoms) throw VasprunError::missing_element("array[atoms]");
    if (!types) throw VasprunError::missing_element("array[atomtypes]");
    return AtomInfo{std::move(*atoms), std::move(*types)};
}

}  // namespace calcsift
