// The properties of a parsed run record, in their order: the Python class
// exposes them as its read-only properties, the JSON dump writes them as the
// keys of its document. Each has one emit function below and one entry in
// `properties`; its type is declared in src/calcsift/__init__.pyi, in the same order.
//
// A new property: its emit function in namespace property, its entry in the
// table (the Python class and the dump take it from there; tests/test_cli.py
// checks that the stub and the dump follow the table), and its typed @property
// in __init__.pyi at the same place. New data of a new record type also gets
// an emit function in layout.hpp (or details.hpp, for what the record keeps
// beside the sections the load reads).
#pragma once

#include "core/record/derived.hpp"
#include "core/layout/details.hpp"
#include "core/layout/layout.hpp"
#include "core/record/record.hpp"

namespace calcsift::layout {

// The parse option (dump flag) a property's data needs: without it the data is
// not parsed, and the dump writes null.
enum class Needs { always, dos, eigen, projected };

constexpr bool wanted(Needs needs, const ParseOptions& options) noexcept {
    switch (needs) {
        case Needs::dos: return options.parse_dos;
        case Needs::eigen: return options.parse_eigen;
        case Needs::projected: return options.parse_projected;
        case Needs::always: break;
    }
    return true;
}

template <class Out>
struct Property {
    const char* name;
    const char* doc;  // the Python docstring, or nullptr for none
    Needs needs;
    void (*emit)(Out&, const VasprunData&);
};

namespace property {

template <LayoutOutput Out>
void program(Out& o, const VasprunData& d) { o.str(d.generator.program); }

template <LayoutOutput Out>
void version(Out& o, const VasprunData& d) { o.str(d.generator.version); }

template <LayoutOutput Out>
void incar(Out& o, const VasprunData& d) { emit(o, d.incar); }

template <LayoutOutput Out>
void atoms(Out& o, const VasprunData& d) { strings(o, d.atominfo.atoms); }

template <LayoutOutput Out>
void atom_types(Out& o, const VasprunData& d) { emit(o, d.atominfo.atom_types); }

template <LayoutOutput Out>
void kpoints(Out& o, const VasprunData& d) { emit(o, d.kpoints); }

template <LayoutOutput Out>
void initial_structure(Out& o, const VasprunData& d) { emit(o, d.initial_structure); }

template <LayoutOutput Out>
void final_structure(Out& o, const VasprunData& d) { emit(o, d.final_structure); }

template <LayoutOutput Out>
void ionic_steps(Out& o, const VasprunData& d) { emit(o, d.ionic_steps); }

template <LayoutOutput Out>
void eigenvalues(Out& o, const VasprunData& d) {
    if (d.eigenvalues) array(o, d.eigenvalues->data);
    else o.none();
}

template <LayoutOutput Out>
void eigenvalue_shape(Out& o, const VasprunData& d) {
    if (!d.eigenvalues) return o.none();
    o.begin_tuple(3);
    for (std::size_t n : d.eigenvalues->shape) o.u64(n);
    o.end_tuple();
}

template <LayoutOutput Out>
void projected(Out& o, const VasprunData& d) { emit(o, d.projected); }

template <LayoutOutput Out>
void efermi(Out& o, const VasprunData& d) {
    if (d.efermi) o.f64(*d.efermi);
    else o.none();
}

template <LayoutOutput Out>
void dos(Out& o, const VasprunData& d) { emit(o, d.dos); }

template <LayoutOutput Out>
void dielectric(Out& o, const VasprunData& d) { emit(o, d.dielectric); }

template <LayoutOutput Out>
void converged(Out& o, const VasprunData& d) { o.boolean(calcsift::converged(d)); }

template <LayoutOutput Out>
void parameters(Out& o, const VasprunData& d) { emit(o, d.parameters); }

template <LayoutOutput Out>
void electronic_steps(Out& o, const VasprunData& d) { layout::electronic_steps(o, d.ionic_steps); }

template <LayoutOutput Out>
void converged_electronic(Out& o, const VasprunData& d) { o.boolean(calcsift::converged_electronic(d)); }

template <LayoutOutput Out>
void converged_ionic(Out& o, const VasprunData& d) { o.boolean(calcsift::converged_ionic(d)); }

template <LayoutOutput Out>
void complete(Out& o, const VasprunData& d) { o.boolean(d.progress.finished); }

template <LayoutOutput Out>
void final_energy(Out& o, const VasprunData& d) {
    if (auto e = calcsift::final_energy(d)) o.f64(*e);
    else o.none();
}

template <LayoutOutput Out>
void selective_dynamics(Out& o, const VasprunData& d) {
    if (const auto* f = d.initial_structure.selective.get()) flags(o, *f);
    else o.none();
}

template <LayoutOutput Out>
void initial_velocities(Out& o, const VasprunData& d) {
    if (const auto* v = d.initial_structure.velocities.get()) array(o, *v);
    else o.none();
}

template <LayoutOutput Out>
void final_velocities(Out& o, const VasprunData& d) {
    if (const auto* v = d.final_structure.velocities.get()) array(o, *v);
    else o.none();
}

template <LayoutOutput Out>
void dielectric_tensors(Out& o, const VasprunData& d) { emit(o, d.dielectric_tensors); }

template <LayoutOutput Out>
void born_charges(Out& o, const VasprunData& d) { emit(o, d.born_charges); }

template <LayoutOutput Out>
void dynmat(Out& o, const VasprunData& d) { emit(o, d.dynmat); }

template <LayoutOutput Out>
void kpoints_opt(Out& o, const VasprunData& d) {
    layout::kpoints_opt(o, d.kpoints_opt.get(), d.kpoints_opt_projected.get(),
                        d.kpoints_opt_dos ? &*d.kpoints_opt_dos : nullptr);
}

template <LayoutOutput Out>
void trajectory(Out& o, const VasprunData& d) { emit(o, build_trajectory(d)); }

template <LayoutOutput Out>
void generator(Out& o, const VasprunData& d) {
    o.begin_dict();
    for (const auto& named : d.generator.items) emit(o, named);
    o.end_dict();
}

template <LayoutOutput Out>
void incar_items(Out& o, const VasprunData& d) {
    if (const auto* list = d.incar_items.get()) items(o, *list, false);
    else o.none();
}

template <LayoutOutput Out>
void parameter_items(Out& o, const VasprunData& d) {
    if (const Parameters* p = d.parameters.get()) items(o, p->items, true);
    else o.none();
}

template <LayoutOutput Out>
void kpoint_blocks(Out& o, const VasprunData& d) {
    const auto& blocks = *d.kpoint_blocks.get();
    o.begin_list(blocks.size());
    for (const Kpoints& k : blocks) kpoint_block(o, k);
    o.end_list();
}

template <LayoutOutput Out>
void named_structures(Out& o, const VasprunData& d) {
    for (const auto& named : d.named_structures) named.second.selective.get();  // raises before any output
    o.begin_dict();
    for (const auto& [name, s] : d.named_structures) {
        o.key(std::string_view(name));
        structure_with_flags(o, s);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void calculations(Out& o, const VasprunData& d) {
    const auto& calcs = *d.calculations.get();
    o.begin_list(calcs.size());
    for (const CalculationInfo& c : calcs) calculation(o, c, d);
    o.end_list();
}

template <LayoutOutput Out>
void ml_steps(Out& o, const VasprunData& d) {
    const auto& steps = *d.ml_steps.get();
    o.begin_list(steps.size());
    for (const MlStep& m : steps) ml_step(o, m, d);
    o.end_list();
}

template <LayoutOutput Out>
void dielectric_functions(Out& o, const VasprunData& d) {
    const auto& all = *d.dielectric_functions.get();
    o.begin_list(all.size());
    for (const DielectricFunction& f : all) dielectric_function(o, f);
    o.end_list();
}

template <LayoutOutput Out>
void optical_transitions(Out& o, const VasprunData& d) { emit(o, d.optical_transitions); }

template <LayoutOutput Out>
void projected_magnetization(Out& o, const VasprunData& d) {
    layout::projected_magnetization(o, d.projected ? &*d.projected : nullptr);
}

}  // namespace property

inline constexpr char kEigenvaluesDoc[] =
    "ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy].";
inline constexpr char kProjectedDoc[] =
    "Returns a dict with keys ``\"data\"`` (ndarray shape\n"
    "``(nspins, nkpts, nbands, nions, norbitals)``) and ``\"orbitals\"``\n"
    "(list of orbital label strings), or ``None`` if not parsed.";

template <LayoutOutput Out>
inline constexpr Property<Out> properties[] = {
    {"program", nullptr, Needs::always, property::program<Out>},
    {"version", nullptr, Needs::always, property::version<Out>},
    {"incar", nullptr, Needs::always, property::incar<Out>},
    {"atoms", nullptr, Needs::always, property::atoms<Out>},
    {"atom_types", nullptr, Needs::always, property::atom_types<Out>},
    {"kpoints", nullptr, Needs::always, property::kpoints<Out>},
    {"initial_structure", nullptr, Needs::always, property::initial_structure<Out>},
    {"final_structure", nullptr, Needs::always, property::final_structure<Out>},
    {"ionic_steps", nullptr, Needs::always, property::ionic_steps<Out>},
    {"eigenvalues", kEigenvaluesDoc, Needs::eigen, property::eigenvalues<Out>},
    {"eigenvalue_shape", nullptr, Needs::eigen, property::eigenvalue_shape<Out>},
    {"projected", kProjectedDoc, Needs::projected, property::projected<Out>},
    {"efermi", nullptr, Needs::dos, property::efermi<Out>},
    {"dos", nullptr, Needs::dos, property::dos<Out>},
    {"dielectric", nullptr, Needs::always, property::dielectric<Out>},
    {"converged", nullptr, Needs::always, property::converged<Out>},
    {"parameters", nullptr, Needs::always, property::parameters<Out>},
    {"electronic_steps", nullptr, Needs::always, property::electronic_steps<Out>},
    {"converged_electronic", nullptr, Needs::always, property::converged_electronic<Out>},
    {"converged_ionic", nullptr, Needs::always, property::converged_ionic<Out>},
    {"complete", nullptr, Needs::always, property::complete<Out>},
    {"final_energy", nullptr, Needs::always, property::final_energy<Out>},
    {"selective_dynamics", nullptr, Needs::always, property::selective_dynamics<Out>},
    {"initial_velocities", nullptr, Needs::always, property::initial_velocities<Out>},
    {"final_velocities", nullptr, Needs::always, property::final_velocities<Out>},
    {"dielectric_tensors", nullptr, Needs::always, property::dielectric_tensors<Out>},
    {"born_charges", nullptr, Needs::always, property::born_charges<Out>},
    {"dynmat", nullptr, Needs::always, property::dynmat<Out>},
    // Each part of kpoints_opt is parsed under its main counterpart's option.
    {"kpoints_opt", nullptr, Needs::always, property::kpoints_opt<Out>},
    {"trajectory", nullptr, Needs::always, property::trajectory<Out>},
    {"generator", nullptr, Needs::always, property::generator<Out>},
    {"incar_items", nullptr, Needs::always, property::incar_items<Out>},
    {"parameter_items", nullptr, Needs::always, property::parameter_items<Out>},
    {"kpoint_blocks", nullptr, Needs::always, property::kpoint_blocks<Out>},
    {"named_structures", nullptr, Needs::always, property::named_structures<Out>},
    {"calculations", nullptr, Needs::always, property::calculations<Out>},
    {"ml_steps", nullptr, Needs::always, property::ml_steps<Out>},
    {"dielectric_functions", nullptr, Needs::always, property::dielectric_functions<Out>},
    {"optical_transitions", nullptr, Needs::always, property::optical_transitions<Out>},
    {"projected_magnetization", nullptr, Needs::projected, property::projected_magnetization<Out>},
};

}  // namespace calcsift::layout
