// The section parsers. Each is called right after its element's start tag has
// been consumed and returns after the matching end tag (or at end of input).
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <string_view>
#include <utility>
#include <vector>

#include "core/reader/reader.hpp"
#include "core/record/record.hpp"
#include "core/parser/driver.hpp"

namespace calcsift {

// generator, INCAR and parameters
Generator parse_generator(Cursor& cur);
IncarMap parse_incar(Cursor& cur);
IncarValue parse_incar_value(std::string_view text, std::string_view type);
Parameters parse_parameters(Cursor& cur);

// atom info
AtomInfo parse_atominfo(Cursor& cur);

// structures
Structure parse_structure(Cursor& cur, const std::vector<std::string>& atom_names);
struct Crystal {
    M3 lattice{};
    M3 rec_lattice{};
    double volume = 0.0;
};
Crystal parse_crystal(Cursor& cur);
// Varrays of a structure beyond its positions, as read: selective-dynamics flags
// (the text of each row) and velocities.
struct StructureExtras {
    std::optional<std::vector<std::string>> selective;
    std::optional<Rows> velocities;
};
// Takes the <varray> named name (its start tag just read) when it is one of the extras.
bool parse_structure_extra(Cursor& cur, std::string_view name, StructureExtras& out);
// Checks the extras against the structure's atom count and stores them in s.
void attach_structure_extras(StructureExtras&& extras, Structure& s);

// k-points and the generic varray readers
Kpoints parse_kpoints(Cursor& cur);
KpointGeneration parse_generation_block(Cursor& cur, std::string scheme);
std::vector<V3> parse_varray_v3(Cursor& cur);
Rows parse_varray_floats(Cursor& cur);
std::vector<double> parse_varray_first_f64(Cursor& cur);
std::vector<std::size_t> parse_varray_indices(Cursor& cur);
std::vector<std::string> parse_varray_strings(Cursor& cur);

// calculations
CalculationOutput parse_calculation(Cursor& cur,
                                    const std::vector<std::string>& atom_names,
                                    const ParseOptions& options);
StepEnergies parse_scstep(Cursor& cur);
// The e_fr_energy, e_wo_entrp and e_0_energy of an <energy>; missing or
// unreadable ones take the value missing.
StepEnergies parse_energy_fields(Cursor& cur, double missing);

// density of states
Dos parse_dos(Cursor& cur);
PartialDos parse_partial_dos(Cursor& cur);

// eigenvalues and projected eigenvalues; element is the name of the block's
// own element (the KPOINTS_OPT variant wraps the same layout in another name).
// With energies_only, rows that hold just an energy get a NaN occupancy.
EigenvalueBlock parse_eigenvalues(Cursor& cur, bool energies_only = false);
Projected parse_projected(Cursor& cur, std::string_view element = "projected");

// Dielectric tensors, Born charges and the dynamical matrix: takes the child ev
// of <calculation> when it is one of them (returns false otherwise). natoms is
// the atom count of <atominfo> (0 when not known yet: then not checked).
bool parse_response_child(Cursor& cur, const Event& ev, std::size_t natoms, Response& out);
// Later calculations replace what they carry: each tensor by name, the blocks whole.
void merge_response(Response& into, Response&& from);
// The extents that depend on the whole document: Born charges of one set per atom
// of <atominfo>, a dynamical matrix of 3 * natoms rows, or of one per free degree
// of freedom when selective dynamics fixes some; a Shape error otherwise.
void check_response_extents(const Response& r, std::size_t natoms, const Structure& initial);

// The KPOINTS_OPT blocks of a calculation: takes the child ev when it is one.
bool parse_kpoints_opt_child(Cursor& cur, const Event& ev, const ParseOptions& options,
                             std::optional<KpointsOpt>& out);

// dielectric function
Dielectric parse_dielectric(Cursor& cur);
struct DielectricComponent {
    std::vector<double> energies;
    NdArray matrix;  // (rows, 6)
};
DielectricComponent parse_component(Cursor& cur, std::string_view tag);

// The event loop of one level: calls on_start(event) for each start tag of a
// child; a child it does not take (returns false) is consumed whole. Ends at the
// end tag named end_name (returns true) or at end of input (returns false);
// other events are ignored.
template <typename OnStart>
bool for_each_child(Cursor& cur, std::string_view end_name, OnStart&& on_start) {
    for (;;) {
        Event ev = cur.next();
        if (ev.kind == EventKind::Start) {
            if (!on_start(ev)) cur.skip_element(ev.name);
        } else if (ev.kind == EventKind::End) {
            if (ev.name == end_name) return true;
        } else if (ev.kind == EventKind::Eof) {
            return false;
        }
    }
}

// Calls on_child() for each child start tag named child; others are consumed whole.
template <typename OnChild>
void for_each_named(Cursor& cur, std::string_view end_name, std::string_view child,
                    OnChild&& on_child) {
    for_each_child(cur, end_name, [&](const Event& ev) {
        if (ev.name != child) return false;
        on_child();
        return true;
    });
}

// A block that may come again replaces the one read before it: the earlier one
// is freed first, so that the two are never held at once.
template <typename T, typename Make>
void keep_last(std::optional<T>& slot, Make&& make) {
    slot.reset();
    slot.emplace(make());
}

// The last child named child of end_name, as read() (called after the child's
// start tag, returning the child's record) reads it: a repeated array replaces
// the one before. No such child is the MissingElement error "<missing>".
template <typename Read>
auto read_last(Cursor& cur, std::string_view end_name, std::string_view child,
               const char* missing, Read&& read) {
    std::optional<std::invoke_result_t<Read&>> last;
    for_each_named(cur, end_name, child, [&] { keep_last(last, read); });
    if (!last) throw VasprunError::missing_element(missing);
    return std::move(*last);
}

// A zero-filled dense block. Its number of values may not exceed the length
// of the document text: a real document spends at least a byte of text on
// every value, so anything larger is a malformed file asking for a memory bomb.
NdArray zeros(std::vector<std::size_t> shape, const Cursor& cur);

}  // namespace calcsift
