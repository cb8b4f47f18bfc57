// The section table and the walk over it (see table.hpp).
#include "core/parser/table.hpp"

#include <iterator>

namespace calcsift {

namespace {

// --- readers in the table's terms --------------------------------------------

Structure read_step_structure(Walk& w, const Event&) {
    Calculation& c = *w.calc;
    // The <scstep>s before the structure are the ground state's electronic steps.
    if (!c.structure) c.ground_state_scsteps = c.scsteps.size();
    return parse_structure(w.cur, w.atoms());
}

StepEnergies read_step_energies(Cursor& cur) { return parse_energy_fields(cur, 0.0); }

EigenvalueBlock read_eigenvalues(Cursor& cur) { return parse_eigenvalues(cur); }

Projected read_projected(Cursor& cur) { return parse_projected(cur); }

Projected read_projected_kpoints_opt(Cursor& cur) { return parse_projected(cur, "projected_kpoints_opt"); }

NdArray read_born_charges(Walk& w, const Event&) { return parse_born_charges(w.cur, w.atoms().size()); }

KpointsOptBands read_kpoints_opt(Walk& w, const Event&) { return parse_eigenvalues_kpoints_opt(w.cur, w.options); }

// --- where the document is odd -------------------------------------------------

// Top-level structures: "finalpos" is the final structure; any other is the
// initial one when there is none yet, else the final one. VASP 6.1 writes the
// symmetry-reduced cell at top level too, before <atominfo>: it is not a
// structure of the run and must not take the initial slot (that would drop the
// real initialpos); some VASP 5.4.4 runs write it instead of initialpos, so the
// last one is kept as the initial structure of last resort.
void take_structure(Walk& w, const Event& ev) {
    const auto name = attr_str(ev, "name");
    Structure s = parse_structure(w.cur, w.atoms());
    if (name == "primitive_cell") {
        w.primitive_cell = std::move(s);
    } else if (name == "finalpos" || w.have_initial) {
        w.data.final_structure = std::move(s);
        w.have_final = true;
    } else {
        w.data.initial_structure = std::move(s);
        w.have_initial = true;
    }
}

// Noted whether it is read or passed over (the summary lists the blocks a file has).
void take_projected(Walk& w, const Event& ev) {
    w.data.saw_projected = true;
    if (w.options.parse_projected) fill<&VasprunData::projected, Merge::last, read_projected>(w, ev);
    else w.cur.fast_skip("projected");
}

// Eigenvalues on an interpolated k-point mesh wrap their own <kpoints> and an
// inner <eigenvalues>: not the run's block. Tokenised through, so that the
// nested element of the same name is balanced and nothing inside reaches the
// calculation.
void take_interpolated_eigenvalues(Walk& w, const Event& ev) { w.cur.skip_element(ev.name); }

// The first <dielectricfunction> of a calculation is read; later ones are passed over.
void take_dielectric(Walk& w, const Event& ev) {
    if (w.calc->dielectric_read) return w.cur.fast_skip("dielectricfunction");
    w.calc->dielectric_read = true;
    fill<&VasprunData::dielectric, Merge::last, parse_dielectric>(w, ev);
}

constexpr auto D = Level::document;
constexpr auto C = Level::calculation;

constexpr Section kSections[] = {
    // element, {attribute test}, level, gate, role, skip, reading, required
    {"generator", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::generator, Merge::last, parse_generator>, "generator"},
    {"incar", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::incar, Merge::last, parse_incar>, "incar"},
    {"parameters", {}, D, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::parameters, Merge::last, parse_parameters>},
    {"atominfo", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::atominfo, Merge::last, parse_atominfo>, "atominfo"},
    {"kpoints", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::kpoints, Merge::last, parse_kpoints>, "kpoints"},
    {"structure", {}, D, Gate::always, Role::handler, Skip::element, take_structure},
    {"calculation", {}, D, Gate::always, Role::handler, Skip::element, take_calculation},

    // A calculation, its most frequent children first.
    {"scstep", {}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::scsteps, Merge::append, parse_scstep>},
    {"structure", {}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::structure, Merge::last, read_step_structure>},
    {"energy", {}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::energies, Merge::last, read_step_energies>},
    {"varray", {"name", "forces"}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::forces, Merge::last, parse_varray_v3>},
    {"varray", {"name", "stress"}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::stress, Merge::last, parse_varray_v3>},
    {"varray", {"name", "magnetization"}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::magnetization, Merge::last, parse_varray_floats>},
    {"dos", {"comment", "kpoints_opt"}, C, Gate::dos, Role::record, Skip::bytes,
     fill<&VasprunData::kpoints_opt_dos, Merge::last, parse_dos>},
    {"dos", {}, C, Gate::dos, Role::record, Skip::bytes, fill<&VasprunData::dos, Merge::last, parse_dos>},
    {"projected", {}, C, Gate::projected, Role::handler, Skip::bytes, take_projected},
    {"eigenvalues", {"comment", "interpolated"}, C, Gate::always, Role::handler, Skip::element,
     take_interpolated_eigenvalues},
    {"eigenvalues", {}, C, Gate::eigen, Role::record, Skip::bytes,
     fill<&VasprunData::eigenvalues, Merge::last, read_eigenvalues>},
    {"dielectricfunction", {}, C, Gate::always, Role::handler, Skip::bytes, take_dielectric},
    {"varray", {"name", "epsilon", true}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::dielectric_tensors, Merge::by_name, parse_varray_block>},
    {"array", {"name", "born_charges"}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::born_charges, Merge::last, read_born_charges>},
    {"dynmat", {}, C, Gate::always, Role::extra, Skip::element, fill<&VasprunData::dynmat, Merge::last, parse_dynmat>},
    {"eigenvalues_kpoints_opt", {}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::kpoints_opt, Merge::last, read_kpoints_opt>},
    {"projected_kpoints_opt", {}, C, Gate::projected, Role::extra, Skip::element,
     fill<&VasprunData::kpoints_opt_projected, Merge::last, read_projected_kpoints_opt>},
};
static_assert(std::size(kSections) <= 64, "Walk::taken has a bit per row");

bool takes(const Section& s, const Event& ev) {
    if (s.element != ev.name) return false;
    if (s.test.attr.empty()) return true;
    const auto value = attr_str(ev, s.test.attr);
    return value && (s.test.prefix ? value->starts_with(s.test.value) : *value == s.test.value);
}

bool open(Gate gate, const ParseOptions& o) noexcept {
    switch (gate) {
        case Gate::dos: return o.parse_dos;
        case Gate::eigen: return o.parse_eigen;
        case Gate::projected: return o.parse_projected;
        case Gate::always: break;
    }
    return true;
}

void take(Walk& w, const Section& s, const Event& ev) {
    if (s.role == Role::handler) return s.read(w, ev);
    if (!open(s.gate, w.options)) return skip_block(w.cur, s.skip, ev.name);
    if (s.role == Role::record) return s.read(w, ev);
    const std::optional<std::string_view> text = extra_text(w.cur, s.skip, ev.name);
    if (!text) return;
    Cursor sub(*text, w.cur.kernels());
    Walk inner{sub, w.options, w.data, w.calc};
    s.read(inner, ev);
}

}  // namespace

std::span<const Section> sections() { return kSections; }

// Notes where a top-level element ends when it closed with its end tag (the
// text just read ends with it; at the end of input it may not have).
void note_end(Walk& w, std::string_view name) {
    const std::string_view read = w.cur.document().substr(0, w.cur.offset());
    std::size_t i = read.size();
    if (i == 0 || read[--i] != '>') return;
    while (i > 0 && is_xml_space(read[i - 1])) --i;
    if (i < name.size() + 2 || read.substr(i - name.size() - 2, name.size() + 2) != "</" + std::string(name)) return;
    w.trace->last_element_end = read.size();
    if (name == "calculation") w.trace->last_calculation_end = read.size();
}

bool walk_children(Walk& w, std::string_view end_name, Level level) {
    return for_each_child(w.cur, end_name, [&](const Event& ev) {
        std::size_t i = 0;
        while (i < std::size(kSections) && (kSections[i].level != level || !takes(kSections[i], ev))) ++i;
        if (i < std::size(kSections)) {
            w.taken |= std::uint64_t{1} << i;
            take(w, kSections[i], ev);
        } else {
            w.cur.skip_element(ev.name);
        }
        if (level == Level::document && w.trace) note_end(w, ev.name);
        return true;
    });
}

}  // namespace calcsift
