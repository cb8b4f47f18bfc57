// The section table and the walk over it (see table.hpp).
#include "core/parser/table.hpp"

#include <algorithm>
#include <iterator>

namespace calcsift {

namespace {

// --- readers in the table's terms --------------------------------------------

IncarMap read_incar(Walk& w, const Event&) { return parse_incar(w.cur, &w.data.incar_items); }

// Every top-level <kpoints> is kept beside the last one, which is the run's.
Kpoints read_kpoints(Walk& w, const Event&) {
    std::optional<VasprunError> error;
    Kpoints k = parse_kpoints(w.cur, &error);
    auto& blocks = w.data.kpoint_blocks;
    if (blocks.value) blocks.value->push_back(k);
    if (error) blocks.error = error;
    return k;
}

Structure read_step_structure(Walk& w, const Event&) {
    Calculation& c = *w.calc;
    // The <scstep>s before the structure are the ground state's electronic steps.
    if (!c.structure) c.ground_state_scsteps = c.scsteps.size();
    return parse_structure(w.cur, w.atoms());
}

StepEnergies read_step_energies(Walk& w, const Event&) {
    Terms& pool = w.data.energy_terms;
    const StepEnergies e = parse_energy_fields(w.cur, 0.0, {&pool, &w.data.term_names});
    w.calc->info.energy = pool.count();
    pool.end_group();
    return e;
}

StepEnergies read_scstep(Walk& w, const Event&) {
    return parse_scstep(w.cur, {&w.data.scstep_terms, &w.data.term_names});
}

EigenvalueBlock read_eigenvalues(Cursor& cur) { return parse_eigenvalues(cur); }

Projected read_projected(Cursor& cur) { return parse_projected(cur); }

NdArray read_born_charges(Walk& w, const Event&) { return parse_born_charges(w.cur, w.atoms().size()); }

KpointsOptBands read_kpoints_opt(Walk& w, const Event&) { return parse_eigenvalues_kpoints_opt(w.cur, w.options); }

// <projected_kpoints_opt>: its eigenvalues under parse_eigen, its projections under parse_projected.
KpointsOptProjected read_projected_kpoints_opt(Walk& w, const Event&) {
    constexpr std::string_view kElement = "projected_kpoints_opt";
    KpointsOptProjected k;
    for_each_child(w.cur, kElement, [&](const Event& ev) {
        if (ev.name == "eigenvalues") {
            if (w.options.parse_eigen) keep_last(k.eigenvalues, [&] { return parse_eigenvalues(w.cur); });
            else w.cur.fast_skip(ev.name);
        } else if (ev.name == "array") {
            if (w.options.parse_projected) keep_last(k.projected, [&] { return read_projected_array(w.cur, kElement); });
            else w.cur.fast_skip(ev.name);
        } else {
            return false;
        }
        return true;
    });
    if (w.options.parse_projected && !k.projected) throw VasprunError::missing_element("array inside projected");
    return k;
}

// Any other <varray> of a calculation, by name; the epsilon ones are also the
// run's dielectric tensors (the last calculation that has one supplies it).
void read_calculation_varray(Walk& w, const Event& ev) {
    const std::string name(attr_str(ev, "name").value_or(""));
    const bool epsilon = name.starts_with("epsilon");
    try {
        NdArray a = parse_varray_block(w.cur);
        auto& varrays = w.calc->info.varrays;
        auto it = std::find_if(varrays.begin(), varrays.end(), [&](const auto& v) { return v.first == name; });
        if (it == varrays.end()) varrays.emplace_back(name, a);
        else it->second = a;
        if (!epsilon) return;
        auto& tensors = w.data.dielectric_tensors;
        if (!tensors.value) tensors.value.emplace();
        auto t = std::find_if(tensors.value->begin(), tensors.value->end(), [&](const auto& v) { return v.first == name; });
        if (t == tensors.value->end()) tensors.value->emplace_back(name, std::move(a));
        else t->second = std::move(a);
    } catch (const VasprunError& e) {
        w.data.calculations.error = e;
        if (epsilon) w.data.dielectric_tensors.error = e;
    }
}

DielectricFunction read_dielectric_function(Walk& w, const Event& ev) {
    DielectricFunction f;
    if (const auto comment = attr_str(ev, "comment")) f.comment.emplace(*comment);
    if (w.calc) f.calculation = w.data.progress.calculations;
    f.data = parse_dielectric(w.cur);
    return f;
}

// The machine-learned step the top-level blocks after a structure belong to
// (none before the first such structure: then they are read for nothing).
MlStep* last_ml_step(Walk& w) {
    auto& steps = w.data.ml_steps.value;
    return steps && !steps->empty() ? &steps->back() : nullptr;
}

void read_ml_forces(Walk& w, const Event&) {
    w.data.ml_steps.read_into([&] {
        std::vector<V3> rows = parse_varray_v3(w.cur);
        if (MlStep* step = last_ml_step(w)) step->forces = std::move(rows);
    });
}

void read_ml_stress(Walk& w, const Event&) {
    w.data.ml_steps.read_into([&] {
        std::vector<V3> rows = parse_varray_v3(w.cur);
        if (rows.size() < 3) throw VasprunError::shape({3, 3}, {rows.size(), 3});
        if (MlStep* step = last_ml_step(w)) step->stress = M3{rows[0], rows[1], rows[2]};
    });
}

void read_ml_energy(Walk& w, const Event&) {
    Terms& pool = w.data.energy_terms;
    const std::size_t mark = pool.values.size();
    try {
        parse_energy_fields(w.cur, 0.0, {&pool, &w.data.term_names});
    } catch (const VasprunError& e) {
        pool.names.resize(mark);  // the group is dropped whole
        pool.values.resize(mark);
        w.data.ml_steps.error = e;
        return;
    }
    const std::size_t group = pool.count();
    pool.end_group();
    if (MlStep* step = last_ml_step(w)) step->energy = group;
}

// --- where the document is odd -------------------------------------------------

void keep_named(Walk& w, std::string_view name, const Structure& s) {
    auto& named = w.data.named_structures;
    auto it = std::find_if(named.begin(), named.end(), [&](const auto& n) { return n.first == name; });
    if (it == named.end()) named.emplace_back(std::string(name), s);
    else it->second = s;
}

// Top-level structures: "finalpos" is the final structure; any other is the
// initial one when there is none yet, else the final one. VASP 6.1 writes the
// symmetry-reduced cell at top level too, before <atominfo>: it is not a
// structure of the run and must not take the initial slot (that would drop the
// real initialpos); some VASP 5.4.4 runs write it instead of initialpos, so the
// last one is kept as the initial structure of last resort. An unnamed one
// after the initial structure is a machine-learned step of VASP 6.3+.
void take_structure(Walk& w, const Event& ev) {
    const auto name = attr_str(ev, "name");
    Structure s = parse_structure(w.cur, w.atoms());
    if (name) keep_named(w, *name, s);
    if (!name && w.have_initial && w.data.ml_steps.value) {
        MlStep step;
        step.after = static_cast<std::ptrdiff_t>(w.data.progress.calculations) - 1;
        step.structure = s;
        w.data.ml_steps.value->push_back(std::move(step));
    }
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

// The first <dielectricfunction> of a calculation is read; later ones are
// passed over (and read as extras). Each one is also among the run's dielectric functions.
void take_dielectric(Walk& w, const Event& ev) {
    auto& all = w.data.dielectric_functions;
    if (!w.calc->dielectric_read) {
        w.calc->dielectric_read = true;
        DielectricFunction f = read_dielectric_function(w, ev);
        w.data.dielectric.reset();
        w.data.dielectric = f.data;
        if (all.value) all.value->push_back(std::move(f));
        return;
    }
    const auto text = extra_text(w.cur, Skip::bytes, ev.name);
    if (!text) return;
    Cursor sub(*text, w.cur.kernels());
    Walk inner{sub, w.options, w.data, w.calc};
    try {
        DielectricFunction f = read_dielectric_function(inner, ev);
        if (all.value) all.value->push_back(std::move(f));
    } catch (const VasprunError& e) {
        all.error = e;
    }
}

void read_top_dielectric(Walk& w, const Event& ev) {
    auto& all = w.data.dielectric_functions;
    try {
        DielectricFunction f = read_dielectric_function(w, ev);
        if (all.value) all.value->push_back(std::move(f));
    } catch (const VasprunError& e) {
        all.error = e;
    }
}

constexpr auto D = Level::document;
constexpr auto C = Level::calculation;

constexpr Section kSections[] = {
    // element, {attribute test}, level, gate, role, skip, reading, required, block
    // A calculation, its most frequent children first.
    {"scstep", {}, C, Gate::always, Role::record, Skip::element,
     fill<&Calculation::scsteps, Merge::append, read_scstep>},
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
     fill<&VasprunData::kpoints_opt_dos, Merge::last, parse_dos>, nullptr, "kpoints_opt"},
    {"dos", {}, C, Gate::dos, Role::record, Skip::bytes, fill<&VasprunData::dos, Merge::last, parse_dos>, nullptr,
     "dos"},
    {"projected", {}, C, Gate::projected, Role::handler, Skip::bytes, take_projected, nullptr, "projected"},
    {"eigenvalues", {"comment", "interpolated"}, C, Gate::always, Role::handler, Skip::element,
     take_interpolated_eigenvalues},
    {"eigenvalues", {}, C, Gate::eigen, Role::record, Skip::bytes,
     fill<&VasprunData::eigenvalues, Merge::last, read_eigenvalues>, nullptr, "eigenvalues"},
    {"dielectricfunction", {}, C, Gate::always, Role::handler, Skip::bytes, take_dielectric, nullptr,
     "dielectricfunction"},
    {"varray", {"name", "opticaltransitions"}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::optical_transitions, Merge::last, parse_varray_block>},
    {"varray", {}, C, Gate::always, Role::extra, Skip::element, read_calculation_varray},
    {"array", {"name", "born_charges"}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::born_charges, Merge::last, read_born_charges>, nullptr, "born_charges"},
    {"dynmat", {}, C, Gate::always, Role::extra, Skip::element, fill<&VasprunData::dynmat, Merge::last, parse_dynmat>,
     nullptr, "dynmat"},
    {"eigenvalues_kpoints_opt", {}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::kpoints_opt, Merge::last, read_kpoints_opt>, nullptr, "kpoints_opt"},
    {"projected_kpoints_opt", {}, C, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::kpoints_opt_projected, Merge::last, read_projected_kpoints_opt>, nullptr, "kpoints_opt"},

    // The document.
    {"generator", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::generator, Merge::last, parse_generator>, "generator"},
    {"incar", {}, D, Gate::always, Role::record, Skip::element, fill<&VasprunData::incar, Merge::last, read_incar>,
     "incar"},
    {"parameters", {}, D, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::parameters, Merge::last, parse_parameters>},
    {"atominfo", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::atominfo, Merge::last, parse_atominfo>, "atominfo"},
    {"kpoints", {}, D, Gate::always, Role::record, Skip::element,
     fill<&VasprunData::kpoints, Merge::last, read_kpoints>, "kpoints"},
    {"structure", {}, D, Gate::always, Role::handler, Skip::element, take_structure},
    {"calculation", {}, D, Gate::always, Role::handler, Skip::element, take_calculation},
    // The machine-learned steps of VASP 6.3+ between the calculations, and
    // what runs without a calculation (optical transitions) write.
    {"varray", {"name", "forces"}, D, Gate::always, Role::extra, Skip::element, read_ml_forces},
    {"varray", {"name", "stress"}, D, Gate::always, Role::extra, Skip::element, read_ml_stress},
    {"energy", {}, D, Gate::always, Role::extra, Skip::element, read_ml_energy},
    {"varray", {"name", "opticaltransitions"}, D, Gate::always, Role::extra, Skip::element,
     fill<&VasprunData::optical_transitions, Merge::last, parse_varray_block>},
    {"dielectricfunction", {}, D, Gate::always, Role::extra, Skip::element, read_top_dielectric},
};
static_assert(std::size(kSections) <= 64, "Walk::taken has a bit per row");

// The attributes the rows test, looked up once per start tag.
class Attributes {
public:
    explicit Attributes(const Event& ev) : ev_(ev) {}
    std::optional<std::string_view> get(std::string_view attr) {
        for (std::size_t i = 0; i < count_; ++i)
            if (names_[i] == attr) return values_[i];
        std::optional<std::string_view> value = attr_str(ev_, attr);
        if (count_ < 2) {
            names_[count_] = attr;
            values_[count_++] = value;
        }
        return value;
    }

private:
    const Event& ev_;
    std::string_view names_[2];
    std::optional<std::string_view> values_[2];
    std::size_t count_ = 0;
};

bool takes(const Section& s, const Event& ev, Attributes& attrs) {
    if (s.element != ev.name) return false;
    if (s.test.attr.empty()) return true;
    const auto value = attrs.get(s.test.attr);
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

void note_block(CalculationInfo& info, const char* block) {
    if (std::find(info.blocks.begin(), info.blocks.end(), block) == info.blocks.end()) info.blocks.push_back(block);
}

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
        Attributes attrs(ev);
        std::size_t i = 0;
        while (i < std::size(kSections) && (kSections[i].level != level || !takes(kSections[i], ev, attrs))) ++i;
        if (i < std::size(kSections)) {
            const Section& s = kSections[i];
            w.taken |= std::uint64_t{1} << i;
            if (s.block) note_block(w.calc->info, s.block);
            take(w, s, ev);
        } else {
            w.cur.skip_element(ev.name);
        }
        if (level == Level::document && w.trace) note_end(w, ev.name);
        return true;
    });
}

}  // namespace calcsift
