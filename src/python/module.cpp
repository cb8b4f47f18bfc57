// The extension module calcsift._core: the class calcsift.Vasprun, its
// constructor, representation and read-only properties, and the version. The class is a plain C-API heap type so that it has
// exactly the slots, text signature and docstrings it should, and no __dict__.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/base/error.hpp"
#include "core/load/load.hpp"
#include "core/kernels/simd.hpp"
#include "convert.hpp"
#include "errors.hpp"

namespace calcsift::py {

namespace {

struct PyVasprun {
    PyObject_HEAD
    VasprunData* data;
};

const VasprunData& data_of(PyObject* self) { return *reinterpret_cast<PyVasprun*>(self)->data; }

// Re-raises the pending exception with the argument's name in front of its message.
void name_argument(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (text) {
        PyErr_Format(type, "argument '%s': %U", name, text);
        Py_DECREF(text);
    } else {
        PyErr_Restore(type, value, tb);
        return;
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

bool to_flag(PyObject* o, const char* name, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    const char* tname = Py_TYPE(o)->tp_name;
    if (std::strcmp(tname, "numpy.bool") == 0 || std::strcmp(tname, "numpy.bool_") == 0) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %s", name, tname);
    return false;
}

bool to_u64(PyObject* o, const char* name, std::uint64_t& out) {
    PyObject* index = PyNumber_Index(o);
    if (!index) {
        name_argument(name);
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        name_argument(name);
        return false;
    }
    out = v;
    return true;
}

enum class Failure { None, Error, NoMemory };

// The whole load, run without the interpreter lock: nothing here may touch a
// Python object or let an exception escape. A failure leaves its text in
// message, and the errno of a system error in os_errno.
Failure load(const std::string& path, const ParseOptions& options, bool partial, VasprunData& out,
             std::string& message, int& os_errno) noexcept {
    try {
        try {
            out = partial ? parse_file_partial(path, options) : parse_file(path, options);
            return Failure::None;
        } catch (const VasprunError& e) {
            message = e.display();
            os_errno = e.os_errno();
        } catch (const std::bad_alloc&) {
            return Failure::NoMemory;
        } catch (const std::exception& e) {
            message = e.what();
        }
    } catch (...) {
        // Building the message ran out of memory.
        return Failure::NoMemory;
    }
    return Failure::Error;
}

// A new Vasprun of the file the arguments name: read whole, or, partial, up to
// the end of its last complete calculation when it is cut.
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool partial) {
    static const char* kwlist[] = {"path",            "parse_dos",         "parse_eigen",
                                   "parse_projected", "ionic_step_skip",   "ionic_step_offset",
                                   nullptr};
    PyObject* path_obj = nullptr;
    PyObject* dos = Py_True;
    PyObject* eigen = Py_True;
    PyObject* projected = Py_False;
    PyObject* skip = Py_None;
    PyObject* offset = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, partial ? "O|OOOOO:read_partial" : "O|OOOOO:Vasprun",
                                     const_cast<char**>(kwlist),
                                     &path_obj, &dos, &eigen, &projected, &skip, &offset))
        return nullptr;

    if (!PyUnicode_Check(path_obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'path': expected str, got %s",
                     Py_TYPE(path_obj)->tp_name);
        return nullptr;
    }
    Py_ssize_t path_len = 0;
    const char* path_utf8 = PyUnicode_AsUTF8AndSize(path_obj, &path_len);
    if (!path_utf8) return nullptr;

    ParseOptions options;
    if (!to_flag(dos, "parse_dos", options.parse_dos)) return nullptr;
    if (!to_flag(eigen, "parse_eigen", options.parse_eigen)) return nullptr;
    if (!to_flag(projected, "parse_projected", options.parse_projected)) return nullptr;
    if (skip != Py_None) {
        std::uint64_t v;
        if (!to_u64(skip, "ionic_step_skip", v)) return nullptr;
        options.ionic_step_skip = v;
    }
    if (offset) {
        if (offset == Py_None) {
            PyErr_SetString(PyExc_TypeError, "argument 'ionic_step_offset': expected int, got None");
            return nullptr;
        }
        if (!to_u64(offset, "ionic_step_offset", options.ionic_step_offset)) return nullptr;
    }

    std::string path(path_utf8, static_cast<std::size_t>(path_len));
    auto* data = new (std::nothrow) VasprunData();
    if (!data) return PyErr_NoMemory();
    // The read and the parse run without the interpreter lock: other threads go
    // on meanwhile, and threads can parse files side by side. The core touches no
    // Python object; its failures are kept as text and raised once the lock is back.
    Failure failure = Failure::None;
    std::string message;
    int os_errno = 0;
    Py_BEGIN_ALLOW_THREADS
    failure = load(path, options, partial, *data, message, os_errno);
    Py_END_ALLOW_THREADS
    if (failure != Failure::None) {
        delete data;
        if (failure == Failure::NoMemory) return PyErr_NoMemory();
        set_load_error(message, os_errno);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete data;
        return nullptr;
    }
    reinterpret_cast<PyVasprun*>(self)->data = data;
    return self;
}

PyObject* vasprun_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct(type, args, kwargs, false);
}

void vasprun_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<PyVasprun*>(self)->data;
    type->tp_free(self);
    Py_DECREF(type);
}

// Written like a list of quoted strings, with backslash escapes.
void append_quoted(std::string& out, const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 15];
                    out += '}';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

PyObject* vasprun_repr(PyObject* self) {
    const VasprunData& d = data_of(self);
    std::string atoms = "[";
    for (std::size_t i = 0; i < d.atominfo.atoms.size(); ++i) {
        if (i) atoms += ", ";
        append_quoted(atoms, d.atominfo.atoms[i]);
    }
    atoms += "]";
    std::string text = "Vasprun(program=" + d.generator.program + ", version=" + d.generator.version +
                       ", atoms=" + atoms + ", nkpts=" + std::to_string(d.kpoints.weights.size()) +
                       ", nsteps=" + std::to_string(d.ionic_steps.size()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The getter of every property: the closure is its entry of the layout table.
PyObject* get_property(PyObject* self, void* closure) {
    return property_value(*static_cast<const layout::Property<PyOutput>*>(closure), data_of(self));
}

// The properties of the layout table, in its order, with their docstrings.
PyGetSetDef* properties() {
    constexpr auto& table = layout::properties<PyOutput>;
    static PyGetSetDef defs[std::size(table) + 1] = {};
    if (!defs[0].name) {
        for (std::size_t i = 0; i < std::size(table); ++i)
            defs[i] = {table[i].name, get_property, nullptr, table[i].doc,
                       const_cast<void*>(static_cast<const void*>(&table[i]))};
    }
    return defs;
}

// The signature part of the type's internal doc; the class itself has no docstring.
const char kClassDoc[] =
    "Vasprun(path, parse_dos=True, parse_eigen=True, parse_projected=False, "
    "ionic_step_skip=None, ionic_step_offset=0)\n--\n\n";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vasprun_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vasprun_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(vasprun_repr)},
    {Py_tp_getset, nullptr},  // set to properties() when the type is made
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec vasprun_type_slots = {
    "calcsift.Vasprun",
    sizeof(PyVasprun),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyObject* vasprun_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    for (PyType_Slot* slot = slots; slot->slot; ++slot)
        if (slot->slot == Py_tp_getset) slot->pfunc = properties();
    type = PyType_FromSpec(&vasprun_type_slots);
    if (!type) return nullptr;
    if (PyObject_SetAttrString(type, "__doc__", Py_None) < 0) {
        Py_CLEAR(type);
        return nullptr;
    }
    return type;
}

PyObject* read_partial(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* type = vasprun_type();
    if (!type) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), args, kwargs, true);
}

const char kReadPartialDoc[] =
    "read_partial(path, parse_dos=True, parse_eigen=True, parse_projected=False, "
    "ionic_step_skip=None, ionic_step_offset=0)\n--\n\n"
    "A Vasprun of a run record that may be cut (a run killed by a time limit): the\n"
    "whole record when VASP closed it, otherwise everything it holds up to the end\n"
    "of its last complete <calculation> (before any, of its last complete top-level\n"
    "element), read as Vasprun reads a document that ends there. Its property\n"
    "complete tells which. The options are those of Vasprun.";

}  // namespace

PyMethodDef reading_functions[] = {
    {"read_partial", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_partial)),
     METH_VARARGS | METH_KEYWORDS, kReadPartialDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace calcsift::py

// Single-phase initialisation written out by hand: the check for a second
// interpreter must come before anything touches per-process state (binding
// libraries' own module prologues deadlock in a sub-interpreter).
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "calcsift._core",
    "The extension module of calcsift: the class Vasprun (public as calcsift.Vasprun).",
    0,  // not -1: a re-import in another interpreter must call PyInit again to be refused
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module's _simd_kernels and _simd_sets.
bool add_simd_constants(PyObject* module) {
    const calcsift::SimdKernels* chosen = calcsift::chosen_kernels();
    PyObject* name = chosen ? PyUnicode_FromString(chosen->name) : Py_None;
    if (!chosen) Py_INCREF(Py_None);
    if (!name || PyModule_AddObject(module, "_simd_kernels", name) < 0) {
        Py_XDECREF(name);
        return false;
    }
    const auto sets = calcsift::runnable_kernel_sets();
    PyObject* names = PyTuple_New(static_cast<Py_ssize_t>(sets.size()));
    if (!names) return false;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        PyObject* s = PyUnicode_FromString(sets[i]->name);
        if (!s) {
            Py_DECREF(names);
            return false;
        }
        PyTuple_SET_ITEM(names, static_cast<Py_ssize_t>(i), s);
    }
    if (PyModule_AddObject(module, "_simd_sets", names) < 0) {
        Py_DECREF(names);
        return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit__core() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "calcsift does not support sub-interpreters");
        return nullptr;
    }
    static PyObject* cached = nullptr;
    if (cached) {
        Py_INCREF(cached);
        return cached;
    }
    if (!calcsift::py::import_errors()) return nullptr;
    PyObject* type = calcsift::py::vasprun_type();
    if (!type) return nullptr;
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    Py_INCREF(type);
    if (PyModule_AddObject(module, "Vasprun", type) < 0) {
        Py_DECREF(type);
        Py_DECREF(module);
        return nullptr;
    }
    if (PyModule_AddFunctions(module, calcsift::py::reading_functions) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // The project's version, from pyproject.toml.
    if (PyModule_AddStringConstant(module, "__version__", CALCSIFT_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // For tests of the CALCSIFT_SIMD switch: the reader's SIMD kernel set (None when the
    // variable is refused: every parse then fails), and the sets this CPU runs, widest first.
    if (!add_simd_constants(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(module);
    cached = module;
    return module;
}
