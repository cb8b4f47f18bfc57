// The properties of a parsed run record, in their order: the Python class
// exposes them as its read-only properties, the JSON dump writes them as the
// keys of its document. Each has one entry in `properties` below (name,
// docstring, parse option, emitter); its type is declared in
// src/python/calcsift.pyi, in the same order.
//
// A new property: its entry here (the dump and the Python class take it from
// the table; tests/test_cli.py checks that the stub and the dump follow it), and
// its typed @property in calcsift.pyi at the same place. New data that is a new
// record type also gets an emit function in layout.hpp.
#pragma once

#include "derived.hpp"
#include "layout.hpp"
#include "parser/driver.hpp"

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
void eigenvalue_shape(Out& o, const VasprunData& d) {
    if (!d.eigenvalues) return o.none();
    o.begin_tuple(3);
    for (std::size_t n : d.eigenvalues->shape) o.u64(n);
    o.end_tuple();
}

}  // namespace property

inline constexpr char kEigenvaluesDoc[] =
    "ndarray shape (nspins, nkpts, nbands, 2).  Axis-3: [energy, occupancy].";
inline constexpr char kProjectedDoc[] =
    "Returns a dict with keys ``\"data\"`` (ndarray shape\n"
    "``(nspins, nkpts, nbands, nions, norbitals)``) and ``\"orbitals\"``\n"
    "(list of orbital label strings), or ``None`` if not parsed.";

// A property's emitter is a lambda when it is one statement, else a function in
// namespace property above.
template <LayoutOutput Out>
inline constexpr Property<Out> properties[] = {
    {"program", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.generator.program); }},
    {"version", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.generator.version); }},
    {"incar", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.incar); }},
    {"atoms", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.atominfo.atoms); }},
    {"atom_types", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.atominfo.atom_types); }},
    {"kpoints", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.kpoints); }},
    {"initial_structure", nullptr, Needs::always,
     [](Out& o, const VasprunData& d) { value(o, d.initial_structure); }},
    {"final_structure", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.final_structure); }},
    {"ionic_steps", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.ionic_steps); }},
    {"eigenvalues", kEigenvaluesDoc, Needs::eigen,
     [](Out& o, const VasprunData& d) { d.eigenvalues ? value(o, d.eigenvalues->data) : o.none(); }},
    {"eigenvalue_shape", nullptr, Needs::eigen, property::eigenvalue_shape<Out>},
    {"projected", kProjectedDoc, Needs::projected, [](Out& o, const VasprunData& d) { value(o, d.projected); }},
    {"efermi", nullptr, Needs::dos, [](Out& o, const VasprunData& d) { value(o, d.efermi); }},
    {"dos", nullptr, Needs::dos, [](Out& o, const VasprunData& d) { value(o, d.dos); }},
    {"dielectric", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, d.dielectric); }},
    {"converged", nullptr, Needs::always, [](Out& o, const VasprunData& d) { value(o, converged(d)); }},
};

}  // namespace calcsift::layout
