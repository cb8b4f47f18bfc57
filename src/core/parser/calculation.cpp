// <calculation>: one ionic step, and its energies.
#include <limits>

#include "core/parser/table.hpp"

namespace calcsift {

StepEnergies parse_energy_fields(Cursor& cur, double missing) {
    StepEnergies e{missing, missing, missing};
    for_each_child(cur, "energy", [&](const Event& ev) {
        if (ev.name != "i") return false;
        auto name = attr_str(ev, "name");
        std::string_view text = cur.read_text();
        if (!name) return true;
        // An unreadable value (including a field of stars) counts as missing.
        double value = parse_f64(text).value_or(missing);
        if (*name == "e_fr_energy") e.e_fr_energy = value;
        else if (*name == "e_wo_entrp") e.e_wo_entrp = value;
        else if (*name == "e_0_energy") e.e_0_energy = value;
        return true;
    });
    return e;
}

StepEnergies parse_scstep(Cursor& cur) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    StepEnergies e{nan, nan, nan};
    for_each_named(cur, "scstep", "energy", [&] { e = parse_energy_fields(cur, nan); });
    return e;
}

void take_calculation(Walk& w, const Event&) {
    Calculation c;
    w.calc = &c;
    walk_children(w, "calculation", Level::calculation);
    w.calc = nullptr;

    RunProgress& run = w.data.progress;
    ++run.calculations;
    // Without a structure every <scstep> is the ground state's.
    if (!c.structure) c.ground_state_scsteps = c.scsteps.size();
    run.last_scsteps = c.ground_state_scsteps;
    if (!c.structure) return;  // no ionic step: what else it held is dropped
    ++run.ionic_steps;
    IonicStep step;
    step.structure = std::move(*c.structure);
    step.energies = c.energies.value_or(StepEnergies{});
    step.has_energies = c.energies.has_value();
    step.forces = std::move(c.forces);
    if (c.stress.size() >= 3) {
        step.stress = {c.stress[0], c.stress[1], c.stress[2]};
        step.has_stress = true;
    }
    step.magnetization = std::move(c.magnetization);
    c.scsteps.resize(c.ground_state_scsteps);
    step.scsteps = std::move(c.scsteps);
    w.data.ionic_steps.push_back(std::move(step));
}

}  // namespace calcsift
