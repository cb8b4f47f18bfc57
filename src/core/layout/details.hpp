// The layout of what the record keeps beside the sections the load reads: the
// items of <generator>, <incar> and <parameters> as written, every k-point
// block and named structure, every calculation with all its energy terms,
// machine-learned steps, every dielectric function. See layout.hpp for the
// output concept.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "core/layout/layout.hpp"
#include "core/record/record.hpp"

namespace calcsift::layout {

// A group of named terms as {name: value}.
template <LayoutOutput Out>
void terms(Out& o, const Terms& t, std::size_t group, const TermNames& names) {
    o.begin_dict();
    for (std::size_t i = t.offsets[group]; i < t.offsets[group + 1]; ++i) {
        o.key(std::string_view(names.names[t.names[i]]));
        o.f64(t.values[i]);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const std::pair<std::string, std::string>& named_text) {
    o.key(std::string_view(named_text.first));
    o.str(named_text.second);
}

// (name, type or None, text, vector[, separators]) of an item.
template <LayoutOutput Out>
void item(Out& o, const Item& i, bool with_separators) {
    o.begin_tuple(with_separators ? 5 : 4);
    o.str(i.name);
    if (i.type) o.str(*i.type);
    else o.none();
    o.str(i.text);
    o.boolean(i.vector);
    if (with_separators) {
        o.begin_tuple(i.separators.size());
        for (const std::string& s : i.separators) o.str(s);
        o.end_tuple();
    }
    o.end_tuple();
}

template <LayoutOutput Out>
void items(Out& o, const std::vector<Item>& list, bool with_separators) {
    o.begin_list(list.size());
    for (const Item& i : list) item(o, i, with_separators);
    o.end_list();
}

// A k-point block: the layout of `kpoints` but for the generation, which has
// every item of <generation> by name beside its param.
template <LayoutOutput Out>
void kpoint_block(Out& o, const Kpoints& k) {
    o.begin_dict();
    o.key("kpointlist"_key);
    array(o, k.kpointlist);
    o.key("weights"_key);
    array(o, k.weights);
    if (k.generation) {
        o.key("generation"_key);
        o.begin_dict();
        o.key("param"_key);
        o.str(k.generation->scheme);
        for (const auto& [name, value] : k.generation->items) {
            o.key(std::string_view(name));
            emit(o, value);
        }
        o.end_dict();
    }
    labels(o, k);
    o.end_dict();
}

// A structure in the layout of initial_structure, with its selective-dynamics
// flags when it has some (their error raised).
template <LayoutOutput Out>
void structure_with_flags(Out& o, const Structure& s) {
    const auto* selective = s.selective.get();
    if (!selective) return emit(o, s);
    o.begin_dict();
    structure_entries(o, s);
    o.key("selective"_key);
    flags(o, *selective);
    o.end_dict();
}

template <LayoutOutput Out>
void calculation(Out& o, const CalculationInfo& c, const VasprunData& d) {
    o.begin_dict();
    o.key("step"_key);
    if (c.step) o.u64(*c.step);
    else o.none();
    o.key("closed"_key);
    o.boolean(c.closed);
    if (c.energy) {
        o.key("energy"_key);
        terms(o, d.energy_terms, *c.energy, d.term_names);
    }
    o.key("varrays"_key);
    emit(o, c.varrays);
    if (c.selective) {
        o.key("selective"_key);
        flags(o, *c.selective);
    }
    o.key("scsteps"_key);
    o.begin_list(c.scsteps_end - c.scsteps_first);
    for (std::size_t g = c.scsteps_first; g < c.scsteps_end; ++g) terms(o, d.scstep_terms, g, d.term_names);
    o.end_list();
    o.key("ground_state_scsteps"_key);
    o.u64(c.ground_state_scsteps);
    o.key("blocks"_key);
    o.begin_list(c.blocks.size());
    for (const char* b : c.blocks) o.str(b);
    o.end_list();
    o.end_dict();
}

template <LayoutOutput Out>
void ml_step(Out& o, const MlStep& m, const VasprunData& d) {
    o.begin_dict();
    o.key("after"_key);
    o.i64(m.after);
    o.key("structure"_key);
    emit(o, m.structure);
    if (m.forces) {
        o.key("forces"_key);
        array(o, *m.forces);
    }
    if (m.stress) {
        o.key("stress"_key);
        array(o, *m.stress);
    }
    o.key("energy"_key);
    if (m.energy) {
        terms(o, d.energy_terms, *m.energy, d.term_names);
    } else {
        o.begin_dict();
        o.end_dict();
    }
    o.end_dict();
}

template <LayoutOutput Out>
void dielectric_function(Out& o, const DielectricFunction& f) {
    o.begin_dict();
    if (f.comment) {
        o.key("comment"_key);
        o.str(*f.comment);
    }
    if (f.calculation) {
        o.key("calculation"_key);
        o.u64(*f.calculation);
    }
    o.key("energies"_key);
    array(o, f.data.energies);
    o.key("real"_key);
    array(o, f.data.real);
    o.key("imag"_key);
    array(o, f.data.imag);
    o.end_dict();
}

// The projections of spin sets 2 to 4 of a non-collinear run, stacked on a
// last axis: (nkpts, nbands, nions, norbitals, 3); none for other runs.
template <LayoutOutput Out>
void projected_magnetization(Out& o, const Projected* p) {
    if (!p || p->data.shape.size() != 5 || p->data.shape[0] != 4) return o.none();
    const std::size_t per_set = p->data.data.size() / 4;
    std::vector<double> stacked(per_set * 3);
    for (std::size_t i = 0; i < per_set; ++i)
        for (std::size_t c = 0; c < 3; ++c) stacked[i * 3 + c] = p->data.data[(c + 1) * per_set + i];
    const std::size_t shape[5] = {p->data.shape[1], p->data.shape[2], p->data.shape[3], p->data.shape[4], 3};
    static constexpr double kNone = 0.0;
    o.array(std::span<const std::size_t>(shape), stacked.empty() ? &kNone : stacked.data());
}

}  // namespace calcsift::layout
