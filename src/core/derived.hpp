// Values derived from the records, computed here once for every front end
// (the Python module, the JSON dump, the summary table).
#pragma once

#include "parser/driver.hpp"

namespace calcsift {

// The run finished its last kept ionic step: that step's e_fr_energy is not 0.0
// (NaN compares unequal to 0.0, so it counts as converged). False without steps.
bool converged(const VasprunData& data) noexcept;

// A step's energies as VASP meant them. VASP before 6.1 wrote wrong values into
// the calculation-level <energy> block (its e_0_energy holds the entropy term,
// its e_wo_entrp the sigma-to-zero energy); the last electronic step's energies
// are right. Each of e_wo_entrp and e_0_energy is rebuilt from the step's free
// energy and the last electronic step's difference to its own free energy,
// e_x = e_fr_energy + (sc.e_x - sc.e_fr_energy), where the file's value is more
// than kEnergyAgreement away from that; consistent files (VASP 6.1 and later)
// keep their values bit for bit. A step without electronic steps, or whose last
// one lacks a value, keeps the file's value.
StepEnergies corrected_energies(const IonicStep& step) noexcept;

// Files print energies with 8 decimals: values that agree are within a few 1e-8 eV.
inline constexpr double kEnergyAgreement = 1e-6;

}  // namespace calcsift
