#include "errors.hpp"

namespace calcsift::py {

namespace {

PyObject* vasprun_error = nullptr;  // calcsift.VasprunError
PyObject* from_errno = nullptr;     // calcsift._errors._from_errno(message, errno)

// The text as str, NUL bytes included (bytes that are not UTF-8 as backslash escapes).
PyObject* message_of(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
}

}  // namespace

bool import_errors() {
    if (from_errno) return true;
    PyObject* module = PyImport_ImportModule("calcsift._errors");
    if (!module) return false;
    vasprun_error = PyObject_GetAttrString(module, "VasprunError");
    from_errno = vasprun_error ? PyObject_GetAttrString(module, "_from_errno") : nullptr;
    Py_DECREF(module);
    if (!from_errno) Py_CLEAR(vasprun_error);
    return from_errno != nullptr;
}

void set_load_error(std::string_view text, int os_errno) {
    PyObject* message = message_of(text);
    if (!message) return;  // the decoder's own error is raised instead
    PyObject* error = os_errno ? PyObject_CallFunction(from_errno, "Oi", message, os_errno)
                               : PyObject_CallOneArg(vasprun_error, message);
    Py_DECREF(message);
    if (!error) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
}

void set_runtime_error(std::string_view text) {
    PyObject* message = message_of(text);
    if (!message) return;
    PyErr_SetObject(PyExc_RuntimeError, message);
    Py_DECREF(message);
}

}  // namespace calcsift::py
