// <calculation>: one ionic step, and its energies.
#include <limits>

#include "core/parser/table.hpp"

namespace calcsift {

StepEnergies parse_energy_fields(Cursor& cur, double missing, TermSink sink) {
    StepEnergies e{missing, missing, missing};
    const std::size_t first = sink.terms ? sink.terms->values.size() : 0;
    std::uint64_t seen = 0;  // the term names (ids below 64) this <energy> has had
    for_each_child(cur, "energy", [&](const Event& ev) {
        if (ev.name != "i") return false;
        auto name = attr_str(ev, "name");
        std::string_view text = cur.read_text();
        if (!name) return true;
        const std::optional<double> read = parse_f64(text);
        if (sink.terms) {
            // Every term, in file order; a repeated name keeps its place and takes the last value.
            const std::uint32_t id = sink.names->id(*name);
            const double value = read.value_or(std::numeric_limits<double>::quiet_NaN());
            const bool again = id >= 64 || (seen >> id & 1);  // (rare) look for it in the group
            if (id < 64) seen |= std::uint64_t{1} << id;
            std::size_t at = sink.terms->names.size();
            if (again) {
                at = first;
                while (at < sink.terms->names.size() && sink.terms->names[at] != id) ++at;
            }
            if (at < sink.terms->names.size()) {
                sink.terms->values[at] = value;
            } else {
                sink.terms->names.push_back(id);
                sink.terms->values.push_back(value);
            }
        }
        // An unreadable value (including a field of stars) counts as missing.
        double value = read.value_or(missing);
        if (*name == "e_fr_energy") e.e_fr_energy = value;
        else if (*name == "e_wo_entrp") e.e_wo_entrp = value;
        else if (*name == "e_0_energy") e.e_0_energy = value;
        return true;
    });
    return e;
}

StepEnergies parse_scstep(Cursor& cur, TermSink sink) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    StepEnergies e{nan, nan, nan};
    // Of several <energy>s the last one counts, for the terms too.
    const std::size_t first = sink.terms ? sink.terms->values.size() : 0;
    for_each_named(cur, "scstep", "energy", [&] {
        if (sink.terms) {
            sink.terms->names.resize(first);
            sink.terms->values.resize(first);
        }
        e = parse_energy_fields(cur, nan, sink);
    });
    if (sink.terms) sink.terms->end_group();
    return e;
}

void take_calculation(Walk& w, const Event&) {
    Calculation c;
    c.info.scsteps_first = w.data.scstep_terms.count();
    w.calc = &c;
    c.info.closed = walk_children(w, "calculation", Level::calculation);
    w.calc = nullptr;

    RunProgress& run = w.data.progress;
    ++run.calculations;
    // Without a structure every <scstep> is the ground state's.
    if (!c.structure) c.ground_state_scsteps = c.scsteps.size();
    run.last_scsteps = c.ground_state_scsteps;
    CalculationInfo& info = c.info;
    info.scsteps_end = w.data.scstep_terms.count();
    info.ground_state_scsteps = c.ground_state_scsteps;
    if (c.structure) {
        info.step = w.data.ionic_steps.size();  // before the selection of steps (finish maps it)
        if (c.structure->selective.value) info.selective = *c.structure->selective.value;
    }
    if (w.data.calculations.value) w.data.calculations.value->push_back(std::move(info));
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
