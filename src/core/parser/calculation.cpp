// <calculation>: one ionic step and the band, DOS and dielectric blocks nested in it.
#include "sections.hpp"

namespace calcsift {

StepEnergies parse_energy_fields(VasprunParser& parser) {
    StepEnergies e;
    for_each_child(parser, "energy", [&](const Event& ev) {
        if (ev.name != "i") return false;
        auto name = attr_str(ev, "name");
        std::string_view text = parser.read_text();
        if (!name) return true;
        // An unreadable value (including a field of stars) counts as 0.0.
        double value = parse_f64(text).value_or(0.0);
        if (*name == "e_fr_energy") e.e_fr_energy = value;
        else if (*name == "e_wo_entrp") e.e_wo_entrp = value;
        else if (*name == "e_0_energy") e.e_0_energy = value;
        return true;
    });
    return e;
}

StepEnergies parse_scstep(VasprunParser& parser) {
    StepEnergies e;
    for_each_named(parser, "scstep", "energy", [&] { e = parse_energy_fields(parser); });
    return e;
}

CalculationOutput parse_calculation(VasprunParser& parser,
                                    const std::vector<std::string>& atom_names,
                                    const ParseOptions& options) {
    CalculationOutput out;
    std::optional<Structure> structure;
    StepEnergies energies;
    std::vector<V3> forces;
    std::vector<V3> stress;
    std::optional<Rows> magnetization;
    std::vector<StepEnergies> scsteps;

    for_each_child(parser, "calculation", [&](const Event& ev) {
        std::string_view name = ev.name;
        if (name == "structure") {
            structure = parse_structure(parser, atom_names);
        } else if (name == "scstep") {
            scsteps.push_back(parse_scstep(parser));
        } else if (name == "energy") {
            energies = parse_energy_fields(parser);
        } else if (name == "varray") {
            auto vname = attr_str(ev, "name");
            if (vname && *vname == "forces") {
                forces = parse_varray_v3(parser);
            } else if (vname && *vname == "stress") {
                stress = parse_varray_v3(parser);
            } else if (vname && *vname == "magnetization") {
                magnetization = parse_varray_floats(parser);
            } else {
                parser.skip_element("varray");
            }
        } else if (name == "dos") {
            if (options.parse_dos) {
                out.dos.reset();
                out.dos = parse_dos(parser);
            } else {
                parser.fast_skip("dos");
            }
        } else if (name == "projected") {
            if (options.parse_projected) {
                out.projected.reset();
                out.projected = parse_projected(parser);
            } else {
                parser.fast_skip("projected");
            }
        } else if (name == "eigenvalues") {
            auto comment = attr_str(ev, "comment");
            if (comment && *comment == "interpolated") {
                // Eigenvalues on an interpolated k-point mesh wrap their own
                // <kpoints> and an inner <eigenvalues>: not the run's block.
                // Tokenise through it so the nested same-name element is balanced.
                parser.skip_element(name);
            } else if (options.parse_eigen) {
                out.eigenvalues.reset();
                out.eigenvalues = parse_eigenvalues(parser);
            } else {
                parser.fast_skip("eigenvalues");
            }
        } else if (name == "dielectricfunction") {
            // The first one of a calculation is read; later ones are passed over.
            if (!out.dielectric) {
                out.dielectric = parse_dielectric(parser);
            } else {
                parser.fast_skip("dielectricfunction");
            }
        } else {
            return false;
        }
        return true;
    });

    if (structure) {
        IonicStep step;
        step.structure = std::move(*structure);
        step.energies = energies;
        step.forces = std::move(forces);
        if (stress.size() >= 3) step.stress = {stress[0], stress[1], stress[2]};
        step.magnetization = std::move(magnetization);
        step.scsteps = std::move(scsteps);
        out.ionic_step = std::move(step);
    }
    return out;
}

}  // namespace calcsift
