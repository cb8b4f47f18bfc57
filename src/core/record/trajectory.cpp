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

}  // namespace

Trajectory build_trajectory(const VasprunData& data) {
    const auto& steps = data.ionic_steps;
    const std::size_t n = steps.size();
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

    for (std::size_t i = 0; i < n; ++i) {
        const IonicStep& s = steps[i];
        if (s.structure.positions.size() != natoms)
            throw VasprunError::shape({natoms, 3}, {s.structure.positions.size(), 3});
        put_rows(t.positions, i, natoms, s.structure.positions);
        double* lat = t.lattice.data.data() + i * 9;
        for (const V3& r : s.structure.lattice) lat = std::copy(r.begin(), r.end(), lat);
        put_rows(t.forces, i, natoms, s.forces);
        if (s.has_stress) {
            double* st = t.stress.data.data() + i * 9;
            for (const V3& r : s.stress) st = std::copy(r.begin(), r.end(), st);
        }
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
