// The dump document: every property of a parsed record, in the Python layout.
#include <type_traits>
#include <variant>

#include "json.hpp"

namespace calcsift::cli {

namespace {

using W = FileJsonWriter;

void put_strings(W& w, const std::vector<std::string>& v) {
    w.StartArray();
    for (const auto& s : v) put_string(w, s);
    w.EndArray();
}

void put_v3_rows(W& w, const std::vector<V3>& rows) {
    w.StartArray();
    for (const V3& r : rows) put_doubles(w, r.data(), 3);
    w.EndArray();
}

void put_m3(W& w, const M3& m) {
    w.StartArray();
    for (const V3& r : m) put_doubles(w, r.data(), 3);
    w.EndArray();
}

void put_incar(W& w, const IncarMap& incar) {
    w.StartObject();
    for (const auto& [name, value] : incar.entries()) {
        put_key(w, name);
        std::visit(
            [&w](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::int64_t>) {
                    w.Int64(v);
                } else if constexpr (std::is_same_v<T, double>) {
                    put_double(w, v);
                } else if constexpr (std::is_same_v<T, bool>) {
                    w.Bool(v);
                } else if constexpr (std::is_same_v<T, std::string>) {
                    put_string(w, v);
                } else if constexpr (std::is_same_v<T, std::vector<double>>) {
                    put_doubles(w, v.data(), v.size());
                } else {
                    w.StartArray();
                    for (auto x : v) {
                        if constexpr (std::is_same_v<T, std::vector<bool>>) w.Bool(x);
                        else w.Int64(x);
                    }
                    w.EndArray();
                }
            },
            value.value);
    }
    w.EndObject();
}

void put_atom_types(W& w, const std::vector<AtomType>& types) {
    w.StartArray();
    for (const AtomType& t : types) {
        w.StartObject();
        put_key(w, "element");
        put_string(w, t.element);
        put_key(w, "count");
        w.Uint64(t.count);
        put_key(w, "mass");
        put_double(w, t.mass);
        put_key(w, "valence");
        put_double(w, t.valence);
        put_key(w, "pseudopotential");
        put_string(w, t.pseudopotential);
        w.EndObject();
    }
    w.EndArray();
}

void put_kpoints(W& w, const Kpoints& k) {
    w.StartObject();
    put_key(w, "kpointlist");
    put_ndarray(w, k.kpointlist);
    put_key(w, "weights");
    put_doubles(w, k.weights.data(), k.weights.size());
    if (k.generation) {
        put_key(w, "scheme");
        put_string(w, k.generation->scheme);
        if (k.generation->divisions) {
            put_key(w, "divisions");
            w.StartArray();
            for (std::int32_t v : *k.generation->divisions) w.Int(v);
            w.EndArray();
        }
    }
    if (!k.labels.empty()) {
        put_key(w, "labels");
        w.StartArray();
        for (const auto& [index, label] : k.labels) {
            w.StartArray();
            w.Uint64(index);
            put_string(w, label);
            w.EndArray();
        }
        w.EndArray();
    }
    w.EndObject();
}

void put_structure(W& w, const Structure& s) {
    w.StartObject();
    put_key(w, "lattice");
    put_m3(w, s.lattice);
    put_key(w, "volume");
    put_double(w, s.volume);
    put_key(w, "positions");
    put_v3_rows(w, s.positions);
    put_key(w, "species");
    put_strings(w, s.species);
    w.EndObject();
}

void put_ionic_steps(W& w, const std::vector<IonicStep>& steps) {
    w.StartArray();
    for (const IonicStep& step : steps) {
        w.StartObject();
        put_key(w, "structure");
        put_structure(w, step.structure);
        put_key(w, "e_fr_energy");
        put_double(w, step.energies.e_fr_energy);
        put_key(w, "e_wo_entrp");
        put_double(w, step.energies.e_wo_entrp);
        put_key(w, "e_0_energy");
        put_double(w, step.energies.e_0_energy);
        put_key(w, "forces");
        put_v3_rows(w, step.forces);
        put_key(w, "stress");
        put_m3(w, step.stress);
        if (step.magnetization) {
            const Rows& m = *step.magnetization;
            put_key(w, "magnetization");
            w.StartArray();
            for (std::size_t r = 0; r < m.count(); ++r) put_doubles(w, m.row(r), m.row_size(r));
            w.EndArray();
        }
        w.EndObject();
    }
    w.EndArray();
}

void put_dos(W& w, const Dos& dos) {
    w.StartObject();
    put_key(w, "efermi");
    put_double(w, dos.efermi);
    put_key(w, "total");
    w.StartObject();
    put_key(w, "energies");
    put_doubles(w, dos.total.energies.data(), dos.total.energies.size());
    put_key(w, "densities");
    put_ndarray(w, dos.total.densities);
    put_key(w, "integrated");
    put_ndarray(w, dos.total.integrated);
    w.EndObject();
    if (dos.partial) {
        put_key(w, "partial");
        w.StartObject();
        put_key(w, "data");
        put_ndarray(w, dos.partial->data);
        put_key(w, "orbitals");
        put_strings(w, dos.partial->orbitals);
        w.EndObject();
    }
    w.EndObject();
}

}  // namespace

void write_record(W& w, const VasprunData& d) {
    w.StartObject();
    put_key(w, "program");
    put_string(w, d.generator.program);
    put_key(w, "version");
    put_string(w, d.generator.version);
    put_key(w, "incar");
    put_incar(w, d.incar);
    put_key(w, "atoms");
    put_strings(w, d.atominfo.atoms);
    put_key(w, "atom_types");
    put_atom_types(w, d.atominfo.atom_types);
    put_key(w, "kpoints");
    put_kpoints(w, d.kpoints);
    put_key(w, "initial_structure");
    put_structure(w, d.initial_structure);
    put_key(w, "final_structure");
    put_structure(w, d.final_structure);
    put_key(w, "ionic_steps");
    put_ionic_steps(w, d.ionic_steps);

    put_key(w, "eigenvalues");
    if (d.eigenvalues) put_ndarray(w, d.eigenvalues->data); else w.Null();
    put_key(w, "eigenvalue_shape");
    if (d.eigenvalues) {
        w.StartArray();
        for (std::size_t n : d.eigenvalues->shape) w.Uint64(n);
        w.EndArray();
    } else {
        w.Null();
    }
    put_key(w, "projected");
    if (d.projected) {
        w.StartObject();
        put_key(w, "data");
        put_ndarray(w, d.projected->data);
        put_key(w, "orbitals");
        put_strings(w, d.projected->orbitals);
        w.EndObject();
    } else {
        w.Null();
    }
    put_key(w, "efermi");
    if (d.efermi) put_double(w, *d.efermi); else w.Null();
    put_key(w, "dos");
    if (d.dos) put_dos(w, *d.dos); else w.Null();
    put_key(w, "dielectric");
    if (d.dielectric) {
        w.StartObject();
        put_key(w, "energies");
        put_doubles(w, d.dielectric->energies.data(), d.dielectric->energies.size());
        put_key(w, "real");
        put_ndarray(w, d.dielectric->real);
        put_key(w, "imag");
        put_ndarray(w, d.dielectric->imag);
        w.EndObject();
    } else {
        w.Null();
    }
    put_key(w, "converged");
    // NaN compares unequal to 0.0, so it counts as converged.
    w.Bool(!d.ionic_steps.empty() && d.ionic_steps.back().energies.e_fr_energy != 0.0);
    w.EndObject();
}

}  // namespace calcsift::cli
