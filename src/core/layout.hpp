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
//
// Keys that are part of the layout are compile-time constants ("lattice"_key), so
// that an output can make its object for each once (the Python output interns it).
// field(o, "key"_key, x) writes a key and value(o, x); value() picks the form by
// type: bool, double, integers, std::string, NdArray and std::vector<double>
// (dense arrays), std::vector<V3> and M3 (rows of 3 floats), std::optional
// (none() when absent), other vectors (lists) and records (their emit function).
// Optional keys are left out when their value is absent; an absent block is none().
// A new record type gets its emit(Out&, const Record&) among the records below,
// before value()'s definition.
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

#include "records.hpp"

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
                                std::span<const std::size_t> shape) {
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
};

// The value of x, in the form its type has in the layout (defined at the end,
// after the emit functions of the records it may hold).
template <LayoutOutput Out, class T>
void value(Out& o, const T& x);

template <LayoutOutput Out, KeyText K, class T>
void field(Out& o, Key<K> key, const T& x) {
    o.key(key);
    value(o, x);
}

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

// {"data": array, "orbitals": [str]}: projections and the partial DOS.
template <LayoutOutput Out>
void data_and_orbitals(Out& o, const NdArray& data, const std::vector<std::string>& orbitals) {
    o.begin_dict();
    field(o, "data"_key, data);
    field(o, "orbitals"_key, orbitals);
    o.end_dict();
}

// --- records ---

template <LayoutOutput Out>
void emit(Out& o, const IncarValue& v) {
    // A float list here is a list, not an array.
    std::visit(
        [&o](const auto& x) {
            if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::vector<double>>) o.floats(x.data(), x.size());
            else value(o, x);
        },
        v.value);
}

template <LayoutOutput Out>
void emit(Out& o, const IncarMap& incar) {
    o.begin_dict();
    for (const auto& [name, v] : incar.entries()) {
        o.key(std::string_view(name));
        emit(o, v);
    }
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const AtomType& t) {
    o.begin_dict();
    field(o, "element"_key, t.element);
    field(o, "count"_key, t.count);
    field(o, "mass"_key, t.mass);
    field(o, "valence"_key, t.valence);
    field(o, "pseudopotential"_key, t.pseudopotential);
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const Kpoints& k) {
    o.begin_dict();
    field(o, "kpointlist"_key, k.kpointlist);
    field(o, "weights"_key, k.weights);
    if (k.generation) {
        field(o, "scheme"_key, k.generation->scheme);
        if (k.generation->divisions) {
            o.key("divisions"_key);
            o.begin_list(3);
            for (std::int32_t d : *k.generation->divisions) o.i64(d);
            o.end_list();
        }
    }
    if (!k.labels.empty()) {
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
    o.end_dict();
}

template <LayoutOutput Out>
void emit(Out& o, const Structure& s) {
    o.begin_dict();
    field(o, "lattice"_key, s.lattice);
    field(o, "volume"_key, s.volume);
    field(o, "positions"_key, s.positions);
    o.key("species"_key);
    o.begin_list(s.species.size());
    for (const std::string& name : s.species) o.name(name);
    o.end_list();
    o.end_dict();
}

// An ionic step with the file's energies (the summary's corrected ones are derived).
template <LayoutOutput Out>
void emit(Out& o, const IonicStep& step) {
    o.begin_dict();
    field(o, "structure"_key, step.structure);
    field(o, "e_fr_energy"_key, step.energies.e_fr_energy);
    field(o, "e_wo_entrp"_key, step.energies.e_wo_entrp);
    field(o, "e_0_energy"_key, step.energies.e_0_energy);
    field(o, "forces"_key, step.forces);
    field(o, "stress"_key, step.stress);
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
void emit(Out& o, const Projected& p) {
    data_and_orbitals(o, p.data, p.orbitals);
}

template <LayoutOutput Out>
void emit(Out& o, const Dos& dos) {
    o.begin_dict();
    field(o, "efermi"_key, dos.efermi);
    o.key("total"_key);
    o.begin_dict();
    field(o, "energies"_key, dos.total.energies);
    field(o, "densities"_key, dos.total.densities);
    field(o, "integrated"_key, dos.total.integrated);
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
    field(o, "energies"_key, d.energies);
    field(o, "real"_key, d.real);
    field(o, "imag"_key, d.imag);
    o.end_dict();
}

// --- values by type ---

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
template <class T>
inline constexpr bool is_vector = false;
template <class T>
inline constexpr bool is_vector<std::vector<T>> = true;

template <LayoutOutput Out, class T>
void value(Out& o, const T& x) {
    if constexpr (std::is_same_v<T, bool>) {
        o.boolean(x);
    } else if constexpr (std::is_same_v<T, double>) {
        o.f64(x);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        o.i64(x);
    } else if constexpr (std::is_integral_v<T>) {
        o.u64(x);
    } else if constexpr (std::is_same_v<T, std::string>) {
        o.str(x);
    } else if constexpr (std::is_same_v<T, NdArray> || std::is_same_v<T, std::vector<double>>) {
        array(o, x);
    } else if constexpr (std::is_same_v<T, std::vector<V3>>) {
        o.rows(x.data(), x.size());
    } else if constexpr (std::is_same_v<T, M3>) {
        o.rows(x.data(), x.size());
    } else if constexpr (is_optional<T>) {
        if (x) value(o, *x);
        else o.none();
    } else if constexpr (is_vector<T>) {
        o.begin_list(x.size());
        for (const auto& item : x) value(o, item);
        o.end_list();
    } else {
        emit(o, x);
    }
}

}  // namespace calcsift::layout
