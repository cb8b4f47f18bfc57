#include "convert.hpp"

#include <string>

#include "numpy_bridge.hpp"

namespace calcsift::py {

namespace {

PyObject* str(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Sets d[key] = value, taking ownership of value.
void set(PyObject* d, const char* key, PyObject* value) {
    Ref v(value);
    if (PyDict_SetItemString(d, key, v.get()) < 0) throw Error{};
}

PyObject* float_list(const double* v, std::size_t n) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref(PyFloat_FromDouble(v[i])).release());
    return list.release();
}

PyObject* v3_list(const std::vector<V3>& rows) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), float_list(rows[i].data(), 3));
    // float_list throws before returning null, so every slot is filled.
    return list.release();
}

PyObject* m3_list(const M3& m) {
    Ref list(PyList_New(3));
    for (std::size_t i = 0; i < 3; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), float_list(m[i].data(), 3));
    return list.release();
}

PyObject* string_list(const std::vector<std::string>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref(str(v[i])).release());
    return list.release();
}

PyObject* array(const NdArray& a) { return Ref(make_array(a.shape, a.data.data())).release(); }

PyObject* vector_array(const std::vector<double>& v) {
    return Ref(make_array({v.size()}, v.data())).release();
}

PyObject* incar_value(const IncarValue& v) {
    switch (v.value.index()) {
        case 0: return PyLong_FromLongLong(std::get<0>(v.value));
        case 1: return PyFloat_FromDouble(std::get<1>(v.value));
        case 2: return PyBool_FromLong(std::get<2>(v.value));
        case 3: return str(std::get<3>(v.value));
        default: {
            const auto& list = std::get<4>(v.value);
            return float_list(list.data(), list.size());
        }
    }
}

}  // namespace

PyObject* incar_to_dict(const IncarMap& incar) {
    Ref d(PyDict_New());
    for (const auto& [name, value] : incar.entries()) {
        Ref key(str(name));
        Ref v(incar_value(value));
        if (PyDict_SetItem(d.get(), key.get(), v.get()) < 0) throw Error{};
    }
    return d.release();
}

PyObject* atoms_to_list(const AtomInfo& info) { return string_list(info.atoms); }

PyObject* atom_types_to_list(const AtomInfo& info) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(info.atom_types.size())));
    for (std::size_t i = 0; i < info.atom_types.size(); ++i) {
        const AtomType& t = info.atom_types[i];
        Ref d(PyDict_New());
        set(d.get(), "element", str(t.element));
        set(d.get(), "count", PyLong_FromUnsignedLongLong(t.count));
        set(d.get(), "mass", PyFloat_FromDouble(t.mass));
        set(d.get(), "valence", PyFloat_FromDouble(t.valence));
        set(d.get(), "pseudopotential", str(t.pseudopotential));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list.release();
}

PyObject* kpoints_to_dict(const Kpoints& k) {
    Ref d(PyDict_New());
    set(d.get(), "kpointlist", array(k.kpointlist));
    set(d.get(), "weights", vector_array(k.weights));
    if (k.generation) {
        set(d.get(), "scheme", str(k.generation->scheme));
        if (k.generation->divisions) {
            const auto& div = *k.generation->divisions;
            Ref list(PyList_New(3));
            for (Py_ssize_t i = 0; i < 3; ++i)
                PyList_SET_ITEM(list.get(), i, Ref(PyLong_FromLong(div[static_cast<std::size_t>(i)])).release());
            set(d.get(), "divisions", list.release());
        }
    }
    if (!k.labels.empty()) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(k.labels.size())));
        for (std::size_t i = 0; i < k.labels.size(); ++i) {
            Ref index(PyLong_FromSize_t(k.labels[i].first));
            Ref label(str(k.labels[i].second));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            Ref(PyTuple_Pack(2, index.get(), label.get())).release());
        }
        set(d.get(), "labels", list.release());
    }
    return d.release();
}

PyObject* structure_to_dict(const Structure& s) {
    Ref d(PyDict_New());
    set(d.get(), "lattice", m3_list(s.lattice));
    set(d.get(), "volume", PyFloat_FromDouble(s.volume));
    set(d.get(), "positions", v3_list(s.positions));
    set(d.get(), "species", string_list(s.species));
    return d.release();
}

namespace {

// The cyclic garbage collector is paused while a large tree of new containers
// is built: every one of them is reachable from the result, so the collections
// that the allocations would trigger find nothing to free and only rescan the
// growing tree again and again (three quarters of the time for an MD run).
class GcPause {
public:
#if PY_VERSION_HEX >= 0x030A0000
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    int was_enabled_;
#endif
};

// What the conversion of many ionic steps shares: the dict keys, made once,
// and one str per distinct species name (str objects are immutable, so equal
// names may be the same object).
class StepConverter {
public:
    StepConverter()
        : structure_(key("structure")), lattice_(key("lattice")), volume_(key("volume")),
          positions_(key("positions")), species_(key("species")), e_fr_(key("e_fr_energy")),
          e_wo_(key("e_wo_entrp")), e_0_(key("e_0_energy")), forces_(key("forces")),
          stress_(key("stress")), magnetization_(key("magnetization")) {}

    PyObject* step(const IonicStep& step) {
        Ref d(PyDict_New());
        put(d, structure_, structure(step.structure));
        put(d, e_fr_, PyFloat_FromDouble(step.energies.e_fr_energy));
        put(d, e_wo_, PyFloat_FromDouble(step.energies.e_wo_entrp));
        put(d, e_0_, PyFloat_FromDouble(step.energies.e_0_energy));
        put(d, forces_, v3_list(step.forces));
        put(d, stress_, m3_list(step.stress));
        if (step.magnetization) {
            const Rows& m = *step.magnetization;
            Ref rows(PyList_New(static_cast<Py_ssize_t>(m.count())));
            for (std::size_t r = 0; r < m.count(); ++r)
                PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), float_list(m.row(r), m.row_size(r)));
            put(d, magnetization_, rows.release());
        }
        return d.release();
    }

private:
    static PyObject* key(const char* text) { return Ref(PyUnicode_InternFromString(text)).release(); }

    // d[key] = value, taking ownership of value.
    static void put(const Ref& d, const Ref& key, PyObject* value) {
        Ref v(value);
        if (PyDict_SetItem(d.get(), key.get(), v.get()) < 0) throw Error{};
    }

    PyObject* structure(const Structure& s) {
        Ref d(PyDict_New());
        put(d, lattice_, m3_list(s.lattice));
        put(d, volume_, PyFloat_FromDouble(s.volume));
        put(d, positions_, v3_list(s.positions));
        Ref species(PyList_New(static_cast<Py_ssize_t>(s.species.size())));
        for (std::size_t i = 0; i < s.species.size(); ++i)
            PyList_SET_ITEM(species.get(), static_cast<Py_ssize_t>(i), name(s.species[i]));
        put(d, species_, species.release());
        return d.release();
    }

    // A new reference to the str of a species name.
    PyObject* name(const std::string& text) {
        for (const auto& [known, object] : names_) {
            if (known == text) {
                Py_INCREF(object.get());
                return object.get();
            }
        }
        names_.emplace_back(text, Ref(str(text)));
        PyObject* object = names_.back().second.get();
        Py_INCREF(object);
        return object;
    }

    Ref structure_, lattice_, volume_, positions_, species_, e_fr_, e_wo_, e_0_, forces_, stress_,
        magnetization_;
    std::vector<std::pair<std::string, Ref>> names_;
};

}  // namespace

PyObject* ionic_steps_to_list(const std::vector<IonicStep>& steps) {
    [[maybe_unused]] GcPause pause;
    StepConverter convert;
    Ref list(PyList_New(static_cast<Py_ssize_t>(steps.size())));
    for (std::size_t i = 0; i < steps.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert.step(steps[i]));
    return list.release();
}

PyObject* eigenvalues_to_array(const EigenvalueBlock& e) { return array(e.data); }

PyObject* eigenvalue_shape_to_tuple(const EigenvalueBlock& e) {
    Ref a(PyLong_FromSize_t(e.shape[0]));
    Ref b(PyLong_FromSize_t(e.shape[1]));
    Ref c(PyLong_FromSize_t(e.shape[2]));
    return Ref(PyTuple_Pack(3, a.get(), b.get(), c.get())).release();
}

PyObject* projected_to_dict(const Projected& p) {
    Ref d(PyDict_New());
    set(d.get(), "data", array(p.data));
    set(d.get(), "orbitals", string_list(p.orbitals));
    return d.release();
}

PyObject* dos_to_dict(const Dos& dos) {
    Ref d(PyDict_New());
    set(d.get(), "efermi", PyFloat_FromDouble(dos.efermi));
    Ref total(PyDict_New());
    set(total.get(), "energies", vector_array(dos.total.energies));
    set(total.get(), "densities", array(dos.total.densities));
    set(total.get(), "integrated", array(dos.total.integrated));
    set(d.get(), "total", total.release());
    if (dos.partial) {
        Ref partial(PyDict_New());
        set(partial.get(), "data", array(dos.partial->data));
        set(partial.get(), "orbitals", string_list(dos.partial->orbitals));
        set(d.get(), "partial", partial.release());
    }
    return d.release();
}

PyObject* dielectric_to_dict(const Dielectric& diel) {
    Ref d(PyDict_New());
    set(d.get(), "energies", vector_array(diel.energies));
    set(d.get(), "real", array(diel.real));
    set(d.get(), "imag", array(diel.imag));
    return d.release();
}

PyObject* trajectory_to_dict(const Trajectory& t) {
    Ref d(PyDict_New());
    set(d.get(), "positions", array(t.positions));
    set(d.get(), "lattice", array(t.lattice));
    set(d.get(), "forces", array(t.forces));
    set(d.get(), "stress", array(t.stress));
    set(d.get(), "e_fr_energy", array(t.e_fr_energy));
    set(d.get(), "e_wo_entrp", array(t.e_wo_entrp));
    set(d.get(), "e_0_energy", array(t.e_0_energy));
    if (t.magnetization) set(d.get(), "magnetization", array(*t.magnetization));
    return d.release();
}

}  // namespace calcsift::py
