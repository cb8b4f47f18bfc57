// The kept ionic steps as dense arrays, one leading axis over the steps: what
// trajectory analyses and training sets of fitted potentials read, without a
// container per value. The machine-learned steps of a run are rows too, marked.
#pragma once

#include <optional>

#include "core/record/record.hpp"

namespace calcsift {

struct Trajectory {
    NdArray positions;    // (nsteps, natoms, 3) fractional
    NdArray lattice;      // (nsteps, 3, 3) rows are the lattice vectors
    NdArray forces;       // (nsteps, natoms, 3) NaN rows where a step lacks them
    NdArray stress;       // (nsteps, 3, 3) NaN where a step lacks it
    NdArray e_fr_energy;  // (nsteps,) NaN where a step lacks its <energy>
    NdArray e_wo_entrp;   // (nsteps,) as corrected_energies gives them, NaN likewise
    NdArray e_0_energy;   // (nsteps,) as corrected_energies gives them, NaN likewise
    // (nsteps, natoms, ncomponents) when any kept step carries a magnetization;
    // ncomponents is the widest row, NaN where a step or row has fewer values.
    std::optional<NdArray> magnetization;
    // (nsteps,) when the run has machine-learned steps among its rows: which rows they are.
    std::optional<std::vector<std::array<bool, 1>>> machine_learned;
};

// Raises the error of the machine-learned steps when one of their blocks could
// not be read. natoms is the number of atoms of <atominfo> (of the initial structure when
// the file has none). A step with fewer force or magnetization rows than that
// (a run cut off while writing it) gets NaN for the missing rows; a step with
// more rows than there are atoms cannot be placed and raises
// VasprunError::shape.
Trajectory build_trajectory(const VasprunData& data);

}  // namespace calcsift
