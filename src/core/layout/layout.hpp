// How each record becomes keys and values, written once for every front end:
// the Python module builds objects from it, the JSON dump writes text from it.
//
// An emit function walks a record and calls an output; an output is any class
// with these members (LayoutOutput below checks them):
//
//   begin_dict()  end_dict()                 a mapping; each value follows its key
//   key(Key<"text">{})  key(string_view)     a key known at compile time / read from the file
//   begin_list(n)  end_list()                a list of exactly n values
//   begin_tuple(n)  end_tuple()              a tuple of exactly n values (a list in JSON)
//   f64(x)  i64(x)  u64(x)  boolean(b)  none()
//   str(text)                                a text (UTF-8)
//   name(text)                               a short text that recurs (a species): an
//                                            output may share one object per distinct text
//   floats(p, n)                             a list of the n floats at p
//   rows(r, n)                               a list of the n rows of 3 floats at r (the
//                                            bulk of a run: positions, forces, cells)
//   array(shape, data)                       a dense row-major float64 array: a fresh
//                                            C-contiguous copy in Python, nested lists in JSON
//   bool_array(shape, data)                  the same for bools (selective-dynamics flags)
//
// Keys that are part of the layout are compile-time constants ("lattice"_key), so
// that an output can make its object for each once (the Python output interns it).
// Optional keys are left out when their value is absent; an absent block is none().
// A new record type gets its emit(Out&, const Record&) among the records below,
// before the generic list and optional emitters at the end.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/record/record.hpp"
#include "core/record/trajectory.hpp"

namespace calcsift::layout {

// The text of a key as a template argument.
template <std::size_t N>
struct KeyText {
    char text[N]{};
    constexpr KeyText(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// One key of the layout; each distinct text is its own type.
template <KeyText K>
struct Key {
    static constexpr std::string_view text = K.view();
};

template <KeyText K>
constexpr Key<K> operator""_key() {
    return {};
}

template <class Out>
concept LayoutOutput = requires(Out o, std::string_view s, double x, const double* p, std::size_t n,
                                std::span<const std::size_t> shape, const bool* b) {
    o.begin_dict();
    o.end_dict();
    o.key("k"_key);
    o.key(s);
    o.begin_list(n);
    o.end_list();
    o.begin_tuple(n);
    o.end_tuple();
    o.f64(x);
    o.i64(std::int64_t{0});
    o.u64(std::uint64_t{0});
    o.boolean(true);
    o.none();
    o.str(s);
    o.name(s);
    o.floats(p, n);
    o.rows(static_cast<const V3*>(nullptr), n);
    o.array(shape, p);
    o.bool_array(shape, b);
};

// --- pieces shared by several records ---

template <LayoutOutput Out>
void array(Out& o, const NdArray& a) {
    // A zero-dimensional block without its value reads as 0.0.
    static constexpr double kZero = 0.0;
    o.array(std::span<const std::size_t>(a.shape), a.data.empty() ? &kZero : a.data.data());
}

// A vector as a one-dimensional array.
template <LayoutOutput Out>
void array(Out& o, const std::vector<double>& v) {
    const std::size_t n = v.size();
    o.array(std::span<const std::size_t>(&n, 1), v.data());
}

template <LayoutOutput Out>
void strings(Out& o, const std::vector<std::string>& v) {
    o.begin_list(v.size());
    for (const std::string& s : v) o.str(s);
    o.end_list();
}

// {"data": array, "orbitals": [str]}: projections and the partial DOS.
template <LayoutOutput Out>
void data_and_orbitals(Out& o, const NdArray& data, const std::vector<std::string>& orbitals) {
    o.begin_dict();
    o.key("data"_key);
    array(o, data);
    o.key("orbitals"_key);
    strings(o, orbitals);
    o.end_dict();
}

// --- records ---

template <LayoutOutput Out>
void emit(Out& o, const IncarValue& v) {
    std::visit(
        [&o](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::int64_t>) o.i64(x);
            else if constexpr (std::is_same_v<T, double>) o.f64(x);
            else if constexpr (std::is_same_v<T, bool>) o.boolean(x);
            else if constexpr (std::is_same_v<T, std::string>) o.str(x);
            else if constexpr (std::is_same_v<T, std::vector<double>>) o.floats(x.data(), x.size());
            else {
                // the int and bool lists of <parameters>
                o.begin_list(x.size());
                for (auto item : x) {
                    if constexpr (std::is_same_v<T, std::vector<bool>>) o.boolean(item);
                    else o.i64(item);
                }
                o.end_list();
            }
        },
        v.value);
}

template <LayoutOutput Out>
void emit(Out& o, const IncarMap& incar) {
    o.begin_dict();
    for (const auto& [name, value] : incar.entries()) {
        o.key(std::string_view(name));
        emit(o, value);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const Parameters& p) {
    emit(o, p.values);
}

template <LayoutOutput Out>
void emit(Out& o, const AtomType& t) {
    o.begin_dict();
    o.key("element"_key);
    o.str(t.element);
    o.key("count"_key);
    o.u64(t.count);
    o.key("mass"_key);
    o.f64(t.mass);
    o.key("valence"_key);
    o.f64(t.valence);
    o.key("pseudopotential"_key);
    o.str(t.pseudopotential);
    o.end_dict();
}

// The "labels" entry of a k-point set: (index, label) pairs; none without labels.
template <LayoutOutput Out>
void labels(Out& o, const Kpoints& k) {
    if (k.labels.empty()) return;
    o.key("labels"_key);
    o.begin_list(k.labels.size());
    for (const auto& [index, label] : k.labels) {
        o.begin_tuple(2);
        o.u64(index);
        o.str(label);
        o.end_tuple();
    }
    o.end_list();
}

template <LayoutOutput Out>
void emit(Out& o, const Kpoints& k) {
    o.begin_dict();
    o.key("kpointlist"_key);
    array(o, k.kpointlist);
    o.key("weights"_key);
    array(o, k.weights);
    if (k.generation) {
        o.key("scheme"_key);
        o.str(k.generation->scheme);
        if (k.generation->divisions) {
            o.key("divisions"_key);
            o.begin_list(3);
            for (std::int32_t d : *k.generation->divisions) o.i64(d);
            o.end_list();
        }
    }
    labels(o, k);
    o.end_dict();
}

// The entries of a structure's dict (lattice, volume, positions, species).
template <LayoutOutput Out>
void structure_entries(Out& o, const Structure& s) {
    o.key("lattice"_key);
    o.rows(s.lattice.data(), 3);
    o.key("volume"_key);
    o.f64(s.volume);
    o.key("positions"_key);
    o.rows(s.positions.data(), s.positions.size());
    o.key("species"_key);
    o.begin_list(s.species.size());
    for (const std::string& name : s.species) o.name(name);
    o.end_list();
}

template <LayoutOutput Out>
void emit(Out& o, const Structure& s) {
    o.begin_dict();
    structure_entries(o, s);
    o.end_dict();
}

// An ionic step with the file's energies (the summary's corrected ones are derived).
template <LayoutOutput Out>
void emit(Out& o, const IonicStep& step) {
    o.begin_dict();
    o.key("structure"_key);
    emit(o, step.structure);
    o.key("e_fr_energy"_key);
    o.f64(step.energies.e_fr_energy);
    o.key("e_wo_entrp"_key);
    o.f64(step.energies.e_wo_entrp);
    o.key("e_0_energy"_key);
    o.f64(step.energies.e_0_energy);
    o.key("forces"_key);
    o.rows(step.forces.data(), step.forces.size());
    o.key("stress"_key);
    o.rows(step.stress.data(), 3);
    if (step.magnetization) {
        const Rows& m = *step.magnetization;
        o.key("magnetization"_key);
        o.begin_list(m.count());
        for (std::size_t r = 0; r < m.count(); ++r) o.floats(m.row(r), m.row_size(r));
        o.end_list();
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const Trajectory& t) {
    o.begin_dict();
    o.key("positions"_key);
    array(o, t.positions);
    o.key("lattice"_key);
    array(o, t.lattice);
    o.key("forces"_key);
    array(o, t.forces);
    o.key("stress"_key);
    array(o, t.stress);
    o.key("e_fr_energy"_key);
    array(o, t.e_fr_energy);
    o.key("e_wo_entrp"_key);
    array(o, t.e_wo_entrp);
    o.key("e_0_energy"_key);
    array(o, t.e_0_energy);
    if (t.magnetization) {
        o.key("magnetization"_key);
        array(o, *t.magnetization);
    }
    if (t.machine_learned) {
        static constexpr bool kNone = false;
        const std::size_t n = t.machine_learned->size();
        o.key("machine_learned"_key);
        o.bool_array(std::span<const std::size_t>(&n, 1), n ? (*t.machine_learned)[0].data() : &kNone);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const Projected& p) {
    data_and_orbitals(o, p.data, p.orbitals);
}

template <LayoutOutput Out>
void emit(Out& o, const Dos& dos) {
    o.begin_dict();
    o.key("efermi"_key);
    o.f64(dos.efermi);
    o.key("total"_key);
    o.begin_dict();
    o.key("energies"_key);
    array(o, dos.total.energies);
    o.key("densities"_key);
    array(o, dos.total.densities);
    o.key("integrated"_key);
    array(o, dos.total.integrated);
    o.end_dict();
    if (dos.partial) {
        o.key("partial"_key);
        data_and_orbitals(o, dos.partial->data, dos.partial->orbitals);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const Dielectric& d) {
    o.begin_dict();
    o.key("energies"_key);
    array(o, d.energies);
    o.key("real"_key);
    array(o, d.real);
    o.key("imag"_key);
    array(o, d.imag);
    o.end_dict();
}

// The electronic steps of each ionic step: (nsc, 3) arrays of e_fr_energy,
// e_wo_entrp and e_0_energy.
template <LayoutOutput Out>
void electronic_steps(Out& o, const std::vector<IonicStep>& steps) {
    static constexpr double kNone = 0.0;  // the data of a (0, 3) array
    std::vector<double> flat;  // one buffer for all: every output copies an array at once
    o.begin_list(steps.size());
    for (const IonicStep& step : steps) {
        flat.clear();
        for (const StepEnergies& e : step.scsteps) {
            flat.push_back(e.e_fr_energy);
            flat.push_back(e.e_wo_entrp);
            flat.push_back(e.e_0_energy);
        }
        const std::size_t shape[2] = {step.scsteps.size(), 3};
        o.array(std::span<const std::size_t>(shape), flat.empty() ? &kNone : flat.data());
    }
    o.end_list();
}

// Rows of three per atom as an (n, 3) array.
template <LayoutOutput Out>
void array(Out& o, const std::vector<V3>& rows) {
    static_assert(sizeof(V3) == 3 * sizeof(double));
    static constexpr double kNone = 0.0;
    const std::size_t shape[2] = {rows.size(), 3};
    o.array(std::span<const std::size_t>(shape), rows.empty() ? &kNone : rows[0].data());
}

template <LayoutOutput Out>
void array(Out& o, const M3& m) {
    static_assert(sizeof(M3) == 9 * sizeof(double));
    const std::size_t shape[2] = {3, 3};
    o.array(std::span<const std::size_t>(shape), m[0].data());
}

// Selective-dynamics flags as an (n, 3) bool array.
template <LayoutOutput Out>
void flags(Out& o, const std::vector<std::array<bool, 3>>& flags) {
    static_assert(sizeof(std::array<bool, 3>) == 3);
    static constexpr bool kNone = false;
    const std::size_t shape[2] = {flags.size(), 3};
    o.bool_array(std::span<const std::size_t>(shape), flags.empty() ? &kNone : flags[0].data());
}

// Arrays by name (the epsilon blocks of a calculation).
template <LayoutOutput Out>
void emit(Out& o, const NamedArrays& arrays) {
    o.begin_dict();
    for (const auto& [name, a] : arrays) {
        o.key(std::string_view(name));
        array(o, a);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const NdArray& a) {
    array(o, a);
}

template <LayoutOutput Out>
void emit(Out& o, const Dynmat& d) {
    o.begin_dict();
    o.key("hessian"_key);
    array(o, d.hessian);
    o.key("eigenvalues"_key);
    array(o, d.eigenvalues);
    o.key("eigenvectors"_key);
    array(o, d.eigenvectors);
    o.end_dict();
}

// The parts of KPOINTS_OPT in the layouts of their main counterparts; none
// without any. The eigenvalues are those VASP writes inside the projections
// (with occupancies) when there are, else those of <eigenvalues_kpoints_opt>.
template <LayoutOutput Out>
void kpoints_opt(Out& o, const KpointsOptBands* bands, const KpointsOptProjected* projected, const Dos* dos) {
    const EigenvalueBlock* eigenvalues = projected && projected->eigenvalues ? &*projected->eigenvalues
                                         : bands && bands->eigenvalues      ? &*bands->eigenvalues
                                                                            : nullptr;
    const Projected* projections = projected && projected->projected ? &*projected->projected : nullptr;
    if (!bands && !eigenvalues && !projections && !dos) return o.none();
    static constexpr double kNone = 0.0;
    static constexpr std::size_t kNoList[2] = {0, 3};
    o.begin_dict();
    o.key("kpointlist"_key);
    if (bands) array(o, bands->kpointlist);
    else o.array(std::span<const std::size_t>(kNoList), &kNone);
    o.key("weights"_key);
    if (bands) array(o, bands->weights);
    else o.array(std::span<const std::size_t>(kNoList, 1), &kNone);
    if (eigenvalues) {
        o.key("eigenvalues"_key);
        array(o, eigenvalues->data);
    }
    if (projections) {
        o.key("projected"_key);
        emit(o, *projections);
    }
    if (dos) {
        o.key("dos"_key);
        emit(o, *dos);
    }
    o.end_dict();
}

// A list of records.
template <LayoutOutput Out, class T>
void emit(Out& o, const std::vector<T>& items) {
    o.begin_list(items.size());
    for (const T& item : items) emit(o, item);
    o.end_list();
}

// A block that may be absent: none() then.
template <LayoutOutput Out, class T>
void emit(Out& o, const std::optional<T>& block) {
    if (block) emit(o, *block);
    else o.none();
}

// A block no load depends on: none() when absent; the error of its reading is raised.
template <LayoutOutput Out, class T>
void emit(Out& o, const Fallible<T>& block) {
    if (const T* value = block.get()) emit(o, *value);
    else o.none();
}

}  // namespace calcsift::layout
