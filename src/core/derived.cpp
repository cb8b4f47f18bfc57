#include "derived.hpp"

#include <cmath>

namespace calcsift {

bool converged(const VasprunData& data) noexcept {
    return !data.ionic_steps.empty() && data.ionic_steps.back().energies.e_fr_energy != 0.0;
}

namespace {

double rebuilt(double file_value, double e_fr, double sc_value, double sc_fr) noexcept {
    if (!std::isfinite(sc_value) || !std::isfinite(sc_fr) || !std::isfinite(e_fr)) return file_value;
    double value = e_fr + (sc_value - sc_fr);
    // A NaN file value never compares within the agreement, so it is replaced too.
    return std::fabs(file_value - value) <= kEnergyAgreement ? file_value : value;
}

}  // namespace

StepEnergies corrected_energies(const IonicStep& step) noexcept {
    StepEnergies e = step.energies;
    if (step.scsteps.empty()) return e;
    const StepEnergies& sc = step.scsteps.back();
    e.e_wo_entrp = rebuilt(e.e_wo_entrp, e.e_fr_energy, sc.e_wo_entrp, sc.e_fr_energy);
    e.e_0_energy = rebuilt(e.e_0_energy, e.e_fr_energy, sc.e_0_energy, sc.e_fr_energy);
    return e;
}

}  // namespace calcsift
