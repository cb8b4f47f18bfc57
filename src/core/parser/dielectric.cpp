// <dielectricfunction>: energies and the six tensor components, imaginary and real.
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

DielectricComponent convert_rows(Cursor& cur, const Rows& rows) {
    DielectricComponent c;
    c.matrix = zeros({rows.count(), 6}, cur);
    for (std::size_t i = 0; i < rows.count(); ++i) {
        const double* r = rows.row(i);
        std::size_t len = rows.row_size(i);
        if (len == 0) continue;
        c.energies.push_back(r[0]);
        for (std::size_t col = 1; col < len && col <= 6; ++col) c.matrix.data[i * 6 + col - 1] = r[col];
    }
    return c;
}

}  // namespace

DielectricComponent parse_component(Cursor& cur, std::string_view tag) {
    return read_last(cur, tag, "array", "array inside dielectric component", [&] {
        Rows rows;
        for_each_named(cur, "array", "set", [&] {
            rows.clear();
            for_each_named(cur, "set", "r", [&] {
                cur.read_floats(rows.values);
                rows.end_row();
            });
        });
        return convert_rows(cur, rows);
    });
}

Dielectric parse_dielectric(Cursor& cur) {
    std::optional<DielectricComponent> imag;
    std::optional<NdArray> real;
    for_each_child(cur, "dielectricfunction", [&](const Event& ev) {
        if (ev.name == "imag") {
            imag = parse_component(cur, "imag");
            return true;
        }
        if (ev.name == "real") {
            real = std::move(parse_component(cur, "real").matrix);
            return true;
        }
        return false;
    });
    if (!imag) throw VasprunError::missing_element("imag inside dielectricfunction");
    Dielectric d;
    d.energies = std::move(imag->energies);
    d.imag = std::move(imag->matrix);
    if (real) {
        d.real = std::move(*real);
    } else {
        d.real.shape = d.imag.shape;
        d.real.data.assign(d.imag.data.size(), 0.0);
    }
    return d;
}

}  // namespace calcsift
