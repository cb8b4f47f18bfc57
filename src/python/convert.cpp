#include "convert.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "numpy_bridge.hpp"

namespace calcsift::py {

PyOutput::~PyOutput() {
    for (const Frame& f : stack_) {
        Py_DECREF(f.object);  // a list or tuple with unfilled slots is released like any other
        Py_XDECREF(f.key);
    }
    Py_XDECREF(key_);
    Py_XDECREF(result_);
    for (auto& entry : names_) Py_DECREF(entry.second);
}

PyObject* PyOutput::intern(std::string_view text) {
    PyObject* s = checked(new_str(text));
    PyUnicode_InternInPlace(&s);
    return s;
}

void PyOutput::close() {
    Frame f = stack_.back();
    stack_.pop_back();
    if (f.kind != Kind::Dict && f.next != f.size) {
        Py_DECREF(f.object);
        Py_XDECREF(f.key);
        throw std::logic_error("layout: a list or tuple got fewer items than announced");
    }
    Py_XSETREF(key_, f.key);
    put(f.object);
}

void PyOutput::put_item(PyObject* dict, PyObject* v) {
    if (!key_) {
        Py_DECREF(v);
        throw std::logic_error("layout: a dict value without its key");
    }
    const int rc = PyDict_SetItem(dict, key_, v);
    Py_DECREF(v);
    Py_CLEAR(key_);
    if (rc < 0) throw Error{};
}

void PyOutput::overfull(PyObject* v) {
    Py_DECREF(v);
    throw std::logic_error("layout: a list or tuple got more items than announced");
}

void PyOutput::name(std::string_view text) {
    for (const auto& [known, object] : names_) {
        if (known == text) {
            Py_INCREF(object);
            return put(object);
        }
    }
    PyObject* object = checked(new_str(text));
    names_.emplace_back(std::string(text), object);
    Py_INCREF(object);
    put(object);
}

void PyOutput::floats(const double* v, std::size_t n) {
    Ref list(PyList_New(ssize(n)));
    for (std::size_t i = 0; i < n; ++i)
        PyList_SET_ITEM(list.get(), ssize(i), Ref(PyFloat_FromDouble(v[i])).release());
    put(list.release());
}

void PyOutput::array(std::span<const std::size_t> shape, const double* data) {
    put(make_array(std::vector<std::size_t>(shape.begin(), shape.end()), data));
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

}  // namespace

PyObject* property_value(const layout::Property<PyOutput>& property, const VasprunData& data) {
    try {
        [[maybe_unused]] GcPause pause;
        PyOutput out;
        property.emit(out, data);
        return out.result();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

}  // namespace calcsift::py
