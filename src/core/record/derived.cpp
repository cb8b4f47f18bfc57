#include "core/record/derived.hpp"

#include <cmath>
#include <limits>
#include <string_view>
#include <variant>

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
    if (!step.has_energies) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan};
    }
    StepEnergies e = step.energies;
    if (step.scsteps.empty()) return e;
    const StepEnergies& sc = step.scsteps.back();
    e.e_wo_entrp = rebuilt(e.e_wo_entrp, e.e_fr_energy, sc.e_wo_entrp, sc.e_fr_energy);
    e.e_0_energy = rebuilt(e.e_0_energy, e.e_fr_energy, sc.e_0_energy, sc.e_fr_energy);
    return e;
}

std::optional<double> final_energy(const VasprunData& data) noexcept {
    if (data.ionic_steps.empty()) return std::nullopt;
    return corrected_energies(data.ionic_steps.back()).e_0_energy;
}

namespace {

// An item's value as a whole number: an int, or a float without fraction.
std::optional<std::int64_t> whole_number(const IncarValue* v) noexcept {
    if (!v) return std::nullopt;
    if (const auto* i = std::get_if<std::int64_t>(&v->value)) return *i;
    if (const auto* d = std::get_if<double>(&v->value)) {
        if (std::isfinite(*d) && *d == std::trunc(*d) && std::fabs(*d) < 0x1p62)
            return static_cast<std::int64_t>(*d);
    }
    return std::nullopt;
}

// A setting from <parameters>, else from the INCAR.
std::optional<std::int64_t> setting(const VasprunData& data, std::string_view name) {
    if (const Parameters* p = data.parameters.get()) {
        if (auto v = whole_number(p->values.find(name))) return v;
    }
    return whole_number(data.incar.find(name));
}

}  // namespace

bool converged_electronic(const VasprunData& data) {
    const RunProgress& run = data.progress;
    if (!run.finished || run.calculations == 0) return false;
    if (run.last_scsteps == 0) return true;
    std::optional<std::int64_t> nelm;
    if (const Parameters* p = data.parameters.get(); p && p->first_nelm) nelm = whole_number(&*p->first_nelm);
    if (!nelm) nelm = whole_number(data.incar.find("NELM"));
    std::int64_t limit = nelm.value_or(kDefaultNelm);
    return limit > 0 && run.last_scsteps < static_cast<std::uint64_t>(limit);
}

bool converged_ionic(const VasprunData& data) {
    const RunProgress& run = data.progress;
    if (!run.finished) return false;
    std::int64_t ibrion = setting(data, "IBRION").value_or(-1);
    std::int64_t nsw = setting(data, "NSW").value_or(0);
    bool relaxation = (ibrion == 1 || ibrion == 2 || ibrion == 3) && nsw > 0;
    if (!relaxation) return true;
    return run.ionic_steps > 0 && run.ionic_steps < static_cast<std::uint64_t>(nsw);
}

}  // namespace calcsift
