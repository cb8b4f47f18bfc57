// <calculation>: one ionic step and the band, DOS and dielectric blocks nested in it.
#include <limits>

#include "core/parser/sections.hpp"

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

CalculationOutput parse_calculation(Cursor& cur,
                                    const std::vector<std::string>& atom_names,
                                    const ParseOptions& options) {
    CalculationOutput out;
    std::optional<Structure> structure;
    std::optional<StepEnergies> energies;
    std::vector<V3> forces;
    std::vector<V3> stress;
    std::optional<Rows> magnetization;
    std::vector<StepEnergies> scsteps;

    for_each_child(cur, "calculation", [&](const Event& ev) {
        std::string_view name = ev.name;
        if (name == "structure") {
            structure = parse_structure(cur, atom_names);
        } else if (name == "scstep") {
            // After the structure come the linear-response loops of DFPT runs.
            if (structure) return false;
            scsteps.push_back(parse_scstep(cur));
        } else if (name == "energy") {
            energies = parse_energy_fields(cur, 0.0);
        } else if (name == "varray") {
            auto vname = attr_str(ev, "name");
            if (vname && *vname == "forces") {
                forces = parse_varray_v3(cur);
            } else if (vname && *vname == "stress") {
                stress = parse_varray_v3(cur);
            } else if (vname && *vname == "magnetization") {
                magnetization = parse_varray_floats(cur);
            } else if (!parse_response_child(cur, ev, atom_names.size(), out.response)) {
                cur.skip_element("varray");
            }
        } else if (name == "dos" && attr_str(ev, "comment") != "kpoints_opt") {
            if (options.parse_dos) {
                keep_last(out.dos, [&] { return parse_dos(cur); });
            } else {
                cur.fast_skip("dos");
            }
        } else if (name == "projected") {
            out.saw_projected = true;
            if (options.parse_projected) {
                keep_last(out.projected, [&] { return parse_projected(cur); });
            } else {
                cur.fast_skip("projected");
            }
        } else if (name == "eigenvalues") {
            auto comment = attr_str(ev, "comment");
            if (comment && *comment == "interpolated") {
                // Eigenvalues on an interpolated k-point mesh wrap their own
                // <kpoints> and an inner <eigenvalues>: not the run's block.
                // Tokenise through it so the nested same-name element is balanced.
                cur.skip_element(name);
            } else if (options.parse_eigen) {
                keep_last(out.eigenvalues, [&] { return parse_eigenvalues(cur); });
            } else {
                cur.fast_skip("eigenvalues");
            }
        } else if (name == "dielectricfunction") {
            // The first one of a calculation is read; later ones are passed over.
            if (!out.dielectric) {
                out.dielectric = parse_dielectric(cur);
            } else {
                cur.fast_skip("dielectricfunction");
            }
        } else {
            return parse_response_child(cur, ev, atom_names.size(), out.response) ||
                   parse_kpoints_opt_child(cur, ev, options, out.kpoints_opt);
        }
        return true;
    });

    out.ground_state_scsteps = scsteps.size();
    if (structure) {
        IonicStep step;
        step.structure = std::move(*structure);
        step.energies = energies.value_or(StepEnergies{});
        step.has_energies = energies.has_value();
        step.forces = std::move(forces);
        if (stress.size() >= 3) {
            step.stress = {stress[0], stress[1], stress[2]};
            step.has_stress = true;
        }
        step.magnetization = std::move(magnetization);
        step.scsteps = std::move(scsteps);
        out.ionic_step = std::move(step);
    }
    return out;
}

}  // namespace calcsift
