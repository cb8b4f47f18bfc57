#include "core/record/trajectory.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/record/derived.hpp"
#include "core/base/error.hpp"

namespace calcsift {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Its extents come from blocks already read, so only the arithmetic needs a guard.
NdArray filled(std::vector<std::size_t> shape, double value) {
    return NdArray::filled(std::move(shape), value, SIZE_MAX / sizeof(double));
}

// Copies rows of three values into the step's block of `natoms` rows; rows the
// step does not have stay as they are (NaN).
void put_rows(NdArray& out, std::size_t step, std::size_t natoms, const std::vector<V3>& rows) {
    if (rows.size() > natoms) throw VasprunError::shape({natoms, 3}, {rows.size(), 3});
    double* dst = out.data.data() + step * natoms * 3;
    for (const V3& r : rows) dst = std::copy(r.begin(), r.end(), dst);
}

std::size_t widest_row(const Rows& rows) {
    std::size_t w = 0;
    for (std::size_t i = 0; i < rows.count(); ++i) w = std::max(w, rows.row_size(i));
    return w;
}

// The rows in file order: each kept ionic step, then the kept machine-learned
// steps after its calculation (those before any calculation first). A row is
// an ionic step's index, or ~index of a machine-learned step.
std::vector<std::size_t> row_order(const VasprunData& data) {
    std::vector<std::size_t> rows;
    const std::vector<CalculationInfo>* calcs = data.calculations.value ? &*data.calculations.value : nullptr;
    const std::vector<MlStep>* ml = data.ml_steps.value ? &*data.ml_steps.value : nullptr;
    if (!calcs || !ml || ml->empty()) {
        for (std::size_t i = 0; i < data.ionic_steps.size(); ++i) rows.push_back(i);
        return rows;
    }
    std::size_t next_ml = 0;
    auto ml_after = [&](std::ptrdiff_t calc) {
        for (; next_ml < ml->size() && (*ml)[next_ml].after == calc; ++next_ml)
            if ((*ml)[next_ml].kept) rows.push_back(~next_ml);
    };
    ml_after(-1);
    for (std::size_t c = 0; c < calcs->size(); ++c) {
        if ((*calcs)[c].step) rows.push_back(*(*calcs)[c].step);
        ml_after(static_cast<std::ptrdiff_t>(c));
    }
    return rows;
}

// A term of a group of energy terms by name, or NaN.
double term(const VasprunData& d, std::size_t group, std::string_view name) {
    const Terms& t = d.energy_terms;
    for (std::size_t i = t.offsets[group]; i < t.offsets[group + 1]; ++i)
        if (d.term_names.names[t.names[i]] == name) return t.values[i];
    return kNaN;
}

}  // namespace

Trajectory build_trajectory(const VasprunData& data) {
    // Its machine-learned rows come from blocks no load depends on: one that could
    // not be read leaves the rows unknown, and the trajectory raises its error.
    data.ml_steps.get();
    const auto& steps = data.ionic_steps;
    const std::vector<std::size_t> order = row_order(data);
    const std::size_t n = order.size();
    const std::size_t natoms =
        data.atominfo.atoms.empty() ? data.initial_structure.positions.size() : data.atominfo.atoms.size();

    Trajectory t;
    t.positions = filled({n, natoms, 3}, kNaN);
    t.lattice = filled({n, 3, 3}, kNaN);
    t.forces = filled({n, natoms, 3}, kNaN);
    t.stress = filled({n, 3, 3}, kNaN);
    t.e_fr_energy = filled({n}, kNaN);
    t.e_wo_entrp = filled({n}, kNaN);
    t.e_0_energy = filled({n}, kNaN);
    if (n != steps.size()) t.machine_learned.emplace(n, std::array<bool, 1>{false});

    std::size_t ncomp = 0;
    bool any_magnetization = false;
    for (const IonicStep& s : steps) {
        if (!s.magnetization) continue;
        any_magnetization = true;
        if (s.magnetization->count() > natoms)
            throw VasprunError::shape({natoms}, {s.magnetization->count()});
        ncomp = std::max(ncomp, widest_row(*s.magnetization));
    }
    if (any_magnetization) t.magnetization = filled({n, natoms, ncomp}, kNaN);

    auto put_structure = [&](std::size_t i, const Structure& s) {
        if (s.positions.size() != natoms) throw VasprunError::shape({natoms, 3}, {s.positions.size(), 3});
        put_rows(t.positions, i, natoms, s.positions);
        double* lat = t.lattice.data.data() + i * 9;
        for (const V3& r : s.lattice) lat = std::copy(r.begin(), r.end(), lat);
    };
    auto put_stress = [&](std::size_t i, const M3& m) {
        double* st = t.stress.data.data() + i * 9;
        for (const V3& r : m) st = std::copy(r.begin(), r.end(), st);
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (order[i] >= steps.size()) {
            // A machine-learned step: its energies as written (it has no electronic steps).
            const MlStep& m = (*data.ml_steps.value)[~order[i]];
            (*t.machine_learned)[i][0] = true;
            put_structure(i, m.structure);
            if (m.forces) put_rows(t.forces, i, natoms, *m.forces);
            if (m.stress) put_stress(i, *m.stress);
            if (m.energy) {
                t.e_fr_energy.data[i] = term(data, *m.energy, "e_fr_energy");
                t.e_wo_entrp.data[i] = term(data, *m.energy, "e_wo_entrp");
                t.e_0_energy.data[i] = term(data, *m.energy, "e_0_energy");
            }
            continue;
        }
        const IonicStep& s = steps[order[i]];
        put_structure(i, s.structure);
        put_rows(t.forces, i, natoms, s.forces);
        if (s.has_stress) put_stress(i, s.stress);
        const StepEnergies e = corrected_energies(s);  // NaN for a step without <energy>
        t.e_fr_energy.data[i] = e.e_fr_energy;
        t.e_wo_entrp.data[i] = e.e_wo_entrp;
        t.e_0_energy.data[i] = e.e_0_energy;
        if (s.magnetization) {
            const Rows& m = *s.magnetization;
            double* dst = t.magnetization->data.data() + i * natoms * ncomp;
            for (std::size_t r = 0; r < m.count(); ++r)
                std::copy(m.row(r), m.row(r) + m.row_size(r), dst + r * ncomp);
        }
    }
    return t;
}

}  // namespace calcsift
