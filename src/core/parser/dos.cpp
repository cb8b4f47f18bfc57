// <dos>: total and partial density of states and the Fermi energy.
#include "core/parser/sections.hpp"

namespace calcsift {

namespace {

// One spin set's rows; `like` (a spin set read before, if any) sizes the
// buffers, since the sets of one block are alike. The reservation never exceeds
// what the text up to the set's end can fill (a value takes a digit and a
// separator, a row at least "<r></r>"), so empty sets cannot reserve memory.
Rows read_spin_set(Cursor& cur, const Rows* like) {
    Rows rows;
    if (like && !like->values.empty()) {
        const std::size_t rest = cur.text_left("set");
        rows.values.reserve(std::min(like->values.size(), rest / 2));
        rows.offsets.reserve(std::min(like->offsets.size(), rest / 7 + 1));
    }
    for_each_named(cur, "set", "r", [&] {
        cur.read_floats(rows.values);
        rows.end_row();
    });
    return rows;
}

DosData build_total(Cursor& cur, const std::vector<Rows>& spins) {
    if (spins.empty()) throw VasprunError::missing_element("spin sets in DOS");
    const std::size_t nspins = spins.size();
    const std::size_t grid = spins[0].count();
    DosData d;
    d.densities = zeros({nspins, grid}, cur);
    d.integrated = zeros({nspins, grid}, cur);
    d.energies.reserve(grid);
    for (std::size_t s = 0; s < nspins; ++s) {
        const Rows& rows = spins[s];
        if (rows.count() > grid) throw VasprunError::shape({nspins, grid}, {nspins, rows.count()});
        for (std::size_t i = 0; i < rows.count(); ++i) {
            const double* r = rows.row(i);
            std::size_t len = rows.row_size(i);
            if (s == 0 && len >= 1) d.energies.push_back(r[0]);
            if (len >= 2) d.densities.data[s * grid + i] = r[1];
            if (len >= 3) d.integrated.data[s * grid + i] = r[2];
        }
    }
    return d;
}

DosData parse_total(Cursor& cur) {
    return read_last(cur, "total", "array", "array inside dos/total", [&] {
        std::vector<Rows> spins;
        for_each_named(cur, "array", "set", [&] {  // the outer set
            spins.clear();
            for_each_named(cur, "set", "set", [&] {
                spins.push_back(read_spin_set(cur, spins.empty() ? nullptr : &spins.front()));
            });
        });
        return build_total(cur, spins);
    });
}

// ions -> spin sets -> rows
using IonSets = std::vector<std::vector<Rows>>;

NdArray build_partial(Cursor& cur, const IonSets& ions, std::size_t norbitals) {
    const std::size_t nions = ions.size();
    const std::size_t nspins = nions ? ions[0].size() : 0;
    const std::size_t grid = nspins ? ions[0][0].count() : 0;
    const std::vector<std::size_t> dims{nspins, nions, norbitals, grid};
    NdArray data = zeros(dims, cur);
    if (nions == 0 || norbitals == 0) return data;
    for (std::size_t ion = 0; ion < nions; ++ion) {
        if (ions[ion].size() > nspins)
            throw VasprunError::shape(dims, {ions[ion].size(), nions, norbitals, grid});
        for (std::size_t s = 0; s < ions[ion].size(); ++s) {
            const Rows& rows = ions[ion][s];
            if (rows.count() > grid)
                throw VasprunError::shape(dims, {nspins, nions, norbitals, rows.count()});
            double* block = data.data.data() + (s * nions + ion) * norbitals * grid;
            for (std::size_t i = 0; i < rows.count(); ++i) {
                std::size_t len = rows.row_size(i);
                if (len < 2) continue;
                const double* r = rows.row(i);
                std::size_t k_end = std::min(norbitals, len - 1);
                for (std::size_t k = 0; k < k_end; ++k) block[k * grid + i] = r[k + 1];
            }
        }
    }
    return data;
}

}  // namespace

PartialDos parse_partial_dos(Cursor& cur) {
    return read_last(cur, "partial", "array", "array inside dos/partial", [&] {
        PartialDos p;
        bool first_field = true;
        IonSets ions;
        for_each_child(cur, "array", [&](const Event& ev) {
            if (ev.name == "field") {
                std::string_view text = cur.read_text();
                // The first field names the energy column.
                if (!first_field) p.orbitals.emplace_back(text);
                first_field = false;
                return true;
            }
            if (ev.name != "set") return false;
            ions.clear();
            for_each_named(cur, "set", "set", [&] {  // one ion
                std::vector<Rows> spins;
                for_each_named(cur, "set", "set", [&] {
                    const Rows* like = nullptr;
                    if (!spins.empty()) {
                        like = &spins.front();
                    } else if (!ions.empty() && !ions.front().empty()) {
                        like = &ions.front().front();
                    }
                    spins.push_back(read_spin_set(cur, like));
                });
                ions.push_back(std::move(spins));
            });
            return true;
        });
        p.data = build_partial(cur, ions, p.orbitals.size());
        return p;
    });
}

Dos parse_dos(Cursor& cur) {
    Dos dos;
    std::optional<DosData> total;
    for_each_child(cur, "dos", [&](const Event& ev) {
        if (ev.name == "i") {
            auto name = attr_str(ev, "name");
            std::string_view text = cur.read_text();
            if (name && *name == "efermi") dos.efermi = parse_f64(text).value_or(0.0);
            return true;
        }
        if (ev.name == "total") {
            keep_last(total, [&] { return parse_total(cur); });
            return true;
        }
        if (ev.name == "partial") {
            keep_last(dos.partial, [&] { return parse_partial_dos(cur); });
            return true;
        }
        return false;
    });
    if (!total) throw VasprunError::missing_element("total inside dos");
    dos.total = std::move(*total);
    return dos;
}

}  // namespace calcsift
