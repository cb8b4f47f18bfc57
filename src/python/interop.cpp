#include "interop.hpp"

namespace calcsift::py {

namespace {

// Calls module.function(*args, **kwargs); an ImportError (the peer library is
// not installed) is raised again with the extra to install in front.
PyObject* forward(const char* module, const char* function, const char* extra, PyObject* args,
                  PyObject* kwargs) {
    PyObject* mod = PyImport_ImportModule(module);
    if (!mod) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            PyErr_Format(PyExc_ImportError, "calcsift.%s needs %s (pip install 'calcsift[%s]'): %S", function,
                         extra, extra, value ? value : Py_None);
            PyObject *type2, *value2, *tb2;
            PyErr_Fetch(&type2, &value2, &tb2);
            PyErr_NormalizeException(&type2, &value2, &tb2);
            if (value2 && value) {
                Py_INCREF(value);
                PyException_SetCause(value2, value);  // steals the new reference
            }
            PyErr_Restore(type2, value2, tb2);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
        return nullptr;
    }
    PyObject* fn = PyObject_GetAttrString(mod, function);
    Py_DECREF(mod);
    if (!fn) return nullptr;
    PyObject* result = PyObject_Call(fn, args, kwargs);
    Py_DECREF(fn);
    return result;
}

PyObject* to_ase(PyObject*, PyObject* args, PyObject* kwargs) {
    return forward("_calcsift_interop.ase_io", "to_ase", "ase", args, kwargs);
}

PyObject* to_pymatgen(PyObject*, PyObject* args, PyObject* kwargs) {
    return forward("_calcsift_interop.pymatgen_io", "to_pymatgen", "pymatgen", args, kwargs);
}

const char kToAseDoc[] =
    "to_ase(path, index=':', *, ionic_step_skip=None, ionic_step_offset=0)\n--\n\n"
    "The kept ionic steps of the run at path as ase.Atoms, each with a single-point\n"
    "calculator (energy, free_energy, forces, stress, magmoms where the step has them).\n"
    "index works as in ase.io.read: an int gives one Atoms, a slice or its text a list.";

const char kToPymatgenDoc[] =
    "to_pymatgen(path, *, ionic_step_skip=None, ionic_step_offset=0)\n--\n\n"
    "The run at path as pymatgen objects: an object with initial_structure,\n"
    "final_structure, structures (one Structure per kept ionic step), ionic_steps\n"
    "(dicts with structure, forces, stress and the energies) and final_energy.";

}  // namespace

PyMethodDef interop_functions[] = {
    {"to_ase", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_ase)), METH_VARARGS | METH_KEYWORDS,
     kToAseDoc},
    {"to_pymatgen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_pymatgen)),
     METH_VARARGS | METH_KEYWORDS, kToPymatgenDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace calcsift::py
