#include "convert.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>

#include "errors.hpp"
#include "numpy_bridge.hpp"

namespace calcsift::py {

PyOutput::~PyOutput() {
    // A list or tuple with unfilled slots is released like any other.
    for (std::size_t i = 0; i < depth_; ++i) Py_DECREF(stack_[i].object);
    for (PyObject* k : keys_) Py_DECREF(k);
    Py_XDECREF(result_);
    for (auto& entry : names_) Py_DECREF(entry.second);
}

PyObject* PyOutput::intern(std::string_view text) {
    PyObject* s = checked(new_str(text));
    PyUnicode_InternInPlace(&s);
    return s;
}

void PyOutput::key(std::string_view text) {
    if (keys_.size() == keys_.capacity()) keys_.reserve(std::max<std::size_t>(16, 2 * keys_.size()));
    keys_.push_back(checked(new_str(text)));
    key_ = keys_.back();
}

void PyOutput::put_item(PyObject* dict, PyObject* v) {
    PyObject* key = std::exchange(key_, nullptr);
    if (!key) {
        Py_DECREF(v);
        throw std::logic_error("layout: a dict value without its key");
    }
    const int rc = PyDict_SetItem(dict, key, v);
    Py_DECREF(v);
    if (rc < 0) throw Error{};
}

void PyOutput::overfull(PyObject* v) {
    Py_DECREF(v);
    throw std::logic_error("layout: a list or tuple got more items than announced");
}

void PyOutput::short_of_items(PyObject* container) {
    Py_DECREF(container);
    throw std::logic_error("layout: a list or tuple got fewer items than announced");
}

void PyOutput::too_deep(PyObject* container) {
    Py_DECREF(container);
    throw std::logic_error("layout: containers nested too deep");
}

// A new reference to a new str for the name, which is kept for its next use.
PyObject* PyOutput::new_name(std::string_view text) {
    std::string known(text);
    if (names_.size() == names_.capacity()) names_.reserve(std::max<std::size_t>(8, 2 * names_.size()));
    PyObject* object = checked(new_str(text));
    names_.emplace_back(std::move(known), object);
    Py_INCREF(object);
    return object;
}

void PyOutput::array(std::span<const std::size_t> shape, const double* data) {
    put(make_array(std::vector<std::size_t>(shape.begin(), shape.end()), data));
}

void PyOutput::bool_array(std::span<const std::size_t> shape, const bool* data) {
    put(make_bool_array(std::vector<std::size_t>(shape.begin(), shape.end()), data));
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
    } catch (const VasprunError& e) {
        // The kept error of a block no load depends on: the error of a bad file, as a load's is.
        set_load_error(e.display(), e.os_errno());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_runtime_error(e.what());
        return nullptr;
    }
}

}  // namespace calcsift::py
