// The section parsers. Each is called right after its element's start tag has
// been consumed and returns after the matching end tag (or at end of input).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../reader.hpp"
#include "../records.hpp"
#include "driver.hpp"

namespace calcsift {

// generator and INCAR
Generator parse_generator(VasprunParser& parser);
IncarMap parse_incar(VasprunParser& parser);
IncarValue parse_incar_value(std::string_view text, std::string_view type);

// atom info
AtomInfo parse_atominfo(VasprunParser& parser);

// structures
Structure parse_structure(VasprunParser& parser, const std::vector<std::string>& atom_names);
struct Crystal {
    M3 lattice{};
    M3 rec_lattice{};
    double volume = 0.0;
};
Crystal parse_crystal(VasprunParser& parser);

// k-points and the generic varray readers
Kpoints parse_kpoints(VasprunParser& parser);
KpointGeneration parse_generation_block(VasprunParser& parser, std::string scheme);
std::vector<V3> parse_varray_v3(VasprunParser& parser);
Rows parse_varray_floats(VasprunParser& parser);
std::vector<double> parse_varray_first_f64(VasprunParser& parser);
std::vector<std::size_t> parse_varray_indices(VasprunParser& parser);
std::vector<std::string> parse_varray_strings(VasprunParser& parser);

// calculations
CalculationOutput parse_calculation(VasprunParser& parser,
                                    const std::vector<std::string>& atom_names,
                                    const ParseOptions& options);
StepEnergies parse_scstep(VasprunParser& parser);
StepEnergies parse_energy_fields(VasprunParser& parser);

// density of states
Dos parse_dos(VasprunParser& parser);
Rows parse_dos_spin_set(VasprunParser& parser);
PartialDos parse_partial_dos(VasprunParser& parser);

// eigenvalues and projected eigenvalues
EigenvalueBlock parse_eigenvalues(VasprunParser& parser);
Projected parse_projected(VasprunParser& parser);

// dielectric function
Dielectric parse_dielectric(VasprunParser& parser);
struct DielectricComponent {
    std::vector<double> energies;
    NdArray matrix;  // (rows, 6)
};
DielectricComponent parse_component(VasprunParser& parser, std::string_view tag);

// The event loop of one level: calls on_start(event) for each start tag of a
// child; a child it does not take (returns false) is consumed whole. Ends at the
// end tag named end_name or at end of input; other events are ignored.
template <typename OnStart>
void for_each_child(VasprunParser& parser, std::string_view end_name, OnStart&& on_start) {
    for (;;) {
        Event ev = parser.next();
        if (ev.kind == EventKind::Start) {
            if (!on_start(ev)) parser.skip_element(ev.name);
        } else if (ev.kind == EventKind::End) {
            if (ev.name == end_name) return;
        } else if (ev.kind == EventKind::Eof) {
            return;
        }
    }
}

// Calls on_child() for each child start tag named child; others are consumed whole.
template <typename OnChild>
void for_each_named(VasprunParser& parser, std::string_view end_name, std::string_view child,
                    OnChild&& on_child) {
    for_each_child(parser, end_name, [&](const Event& ev) {
        if (ev.name != child) return false;
        on_child();
        return true;
    });
}

// A zero-filled dense block. Its number of values may not exceed the length
// of the document text: a real document spends at least a byte of text on
// every value, so anything larger is a malformed file asking for a memory bomb.
NdArray zeros(std::vector<std::size_t> shape, const VasprunParser& parser);

}  // namespace calcsift
