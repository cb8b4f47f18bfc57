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

namespace calcsift {

// generator, INCAR and parameters
Generator parse_generator(Cursor& cur);
// With items, every named <i> and <v> as written goes there too (the <v>s
// read beyond the load, as extras).
IncarMap parse_incar(Cursor& cur, Fallible<std::vector<Item>>* items = nullptr);
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
// The per-atom rows a structure may carry beside its positions (no load
// depends on them): whether a <varray> of that name is one, and its reading
// from its text (after the start tag) into s, with the positions known.
bool is_structure_extra(std::string_view name) noexcept;
void read_structure_extra(const Cursor& parent, std::string_view name, std::string_view text, Structure& s);

// k-points and the generic varray readers
// With extras_error, the items of <generation> the load passes over are read
// too, and the error of reading one goes there.
Kpoints parse_kpoints(Cursor& cur, std::optional<VasprunError>* extras_error = nullptr);
KpointGeneration parse_generation_block(Cursor& cur, std::string scheme,
                                        std::optional<VasprunError>* extras_error = nullptr);
// A <v> item of <parameters>: a list of the type's values (ints, bools, or
// floats by the float rule of items), or the text when it has none or, for
// ints and bools, when one token is not of the type.
IncarValue parse_vector_value(std::string_view text, std::string_view type);
std::vector<V3> parse_varray_v3(Cursor& cur);
Rows parse_varray_floats(Cursor& cur);
std::vector<double> parse_varray_first_f64(Cursor& cur);
std::vector<std::size_t> parse_varray_indices(Cursor& cur);
std::vector<std::string> parse_varray_strings(Cursor& cur);

// calculations
// Where every term of an <energy> goes besides the three of a step (none: nowhere).
struct TermSink {
    Terms* terms = nullptr;
    TermNames* names = nullptr;
};
// The energies of a <scstep>; with a sink, its terms as one more group there.
StepEnergies parse_scstep(Cursor& cur, TermSink sink = {});
// The e_fr_energy, e_wo_entrp and e_0_energy of an <energy>; missing or
// unreadable ones take the value missing. With a sink, every term is appended
// to its last group (NaN where unreadable).
StepEnergies parse_energy_fields(Cursor& cur, double missing, TermSink sink = {});

// density of states
Dos parse_dos(Cursor& cur);
PartialDos parse_partial_dos(Cursor& cur);

// eigenvalues and projected eigenvalues; element is the name of the block's
// own element (the KPOINTS_OPT variant wraps the same layout in another name).
// With energies_only, rows that hold just an energy get a NaN occupancy.
EigenvalueBlock parse_eigenvalues(Cursor& cur, bool energies_only = false);
Projected parse_projected(Cursor& cur, std::string_view element = "projected");
// One <array> of a projected block (its start tag just read).
Projected read_projected_array(Cursor& cur, std::string_view element);

// linear response and phonons
// A <varray> of rows of equal length as a dense (rows, columns) block; rows of
// different lengths are a Shape error.
NdArray parse_varray_block(Cursor& cur);
// <array name="born_charges">: one <set> of three rows of three per atom; natoms
// is the atom count of <atominfo> (0 when it is not known: then not checked).
NdArray parse_born_charges(Cursor& cur, std::size_t natoms);
Dynmat parse_dynmat(Cursor& cur);

// KPOINTS_OPT: <eigenvalues_kpoints_opt> (its k-points, and eigenvalues under
// the switch of the run's own).
KpointsOptBands parse_eigenvalues_kpoints_opt(Cursor& cur, const ParseOptions& options);

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

// A zero-filled dense block, no larger than the document text allows (NdArray::filled).
inline NdArray zeros(std::vector<std::size_t> shape, const Cursor& cur) {
    return NdArray::filled(std::move(shape), 0.0, cur.document().size());
}

// The checks of the linear-response blocks that need the whole document (the
// atom count, selective dynamics); a failure is kept for the block's property.
void check_response_extents(VasprunData& d);

}  // namespace calcsift
