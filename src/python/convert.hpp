// Conversion of parsed records into new Python objects. Every function returns
// a new reference, or throws Error with a Python exception already set.
#pragma once

#include <Python.h>

#include <utility>

#include "../core/parser/driver.hpp"
#include "../core/trajectory.hpp"

namespace calcsift::py {

// A Python exception is set; unwinds to the C API boundary.
struct Error {};

// An owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {
        if (!o_) throw Error{};
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const noexcept { return o_; }
    PyObject* release() noexcept { return std::exchange(o_, nullptr); }

private:
    PyObject* o_ = nullptr;
};

PyObject* incar_to_dict(const IncarMap& incar);
PyObject* atoms_to_list(const AtomInfo& info);
PyObject* atom_types_to_list(const AtomInfo& info);
PyObject* kpoints_to_dict(const Kpoints& k);
PyObject* structure_to_dict(const Structure& s);
PyObject* ionic_steps_to_list(const std::vector<IonicStep>& steps);
PyObject* eigenvalues_to_array(const EigenvalueBlock& e);
PyObject* eigenvalue_shape_to_tuple(const EigenvalueBlock& e);
PyObject* projected_to_dict(const Projected& p);
PyObject* dos_to_dict(const Dos& d);
PyObject* dielectric_to_dict(const Dielectric& d);
PyObject* trajectory_to_dict(const Trajectory& t);

}  // namespace calcsift::py
