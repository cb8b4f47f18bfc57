// Values derived from the records, computed here once for every front end
// (the Python module, the JSON dump, the summary table).
#pragma once

#include <cstdint>
#include <optional>

#include "core/record/record.hpp"

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
// one lacks a value, keeps the file's value. A step without an <energy> block
// (a run cut off while writing it) has NaN for all three.
StepEnergies corrected_energies(const IonicStep& step) noexcept;

// The corrected e_0_energy of the last kept ionic step; nothing without steps.
std::optional<double> final_energy(const VasprunData& data) noexcept;

// Convergence of the whole run, judged on the document's last calculation
// whatever steps were kept. A record VASP did not close (</modeling> missing:
// the run stopped or is still running) is converged in neither sense.
//
// Electronic: the last calculation's ground-state loop (its <scstep>s before
// the structure) took fewer than NELM steps. NELM is the first one in
// <parameters> (VASP 5 repeats the name for the GW loop), else the INCAR's,
// else VASP's default 60. A calculation without electronic steps (GW and other
// response-function runs start from a converged ground state) counts as
// converged; the linear-response loops of DFPT runs are not judged. False
// without any calculation.
bool converged_electronic(const VasprunData& data);

// Ionic: a relaxation (IBRION 1, 2 or 3 with NSW > 0) converged when it
// stopped before using all NSW ionic steps (and made at least one). Every
// other run (static, MD, finite differences, DFPT) has no ionic convergence to
// miss and counts as converged. IBRION and NSW come from <parameters>, else
// the INCAR; VASP's defaults (NSW = 0) otherwise.
//
// Both raise the error of <parameters> when it could not be read: a verdict
// from the INCAR alone could be wrong.
bool converged_ionic(const VasprunData& data);

// VASP's default electronic step limit.
inline constexpr std::int64_t kDefaultNelm = 60;

// Files print energies with 8 decimals: values that agree are within a few 1e-8 eV.
inline constexpr double kEnergyAgreement = 1e-6;

}  // namespace calcsift
