// The Python output of the record layout (core/layout.hpp): builds new Python
// objects (dicts, lists, tuples, floats, ints, str, NumPy arrays) as an emit
// function walks a record.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../core/layout_properties.hpp"

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

// Each value goes into the innermost open container (or becomes the result).
// Every method throws Error with a Python exception set on failure; whatever
// was built so far is released with the output.
class PyOutput {
public:
    PyOutput() { stack_.reserve(8); }
    PyOutput(const PyOutput&) = delete;
    PyOutput& operator=(const PyOutput&) = delete;
    ~PyOutput();

    void begin_dict() { open(PyDict_New(), Kind::Dict, 0); }
    void end_dict() { close(); }
    void begin_list(std::size_t n) { open(PyList_New(ssize(n)), Kind::List, n); }
    void end_list() { close(); }
    void begin_tuple(std::size_t n) { open(PyTuple_New(ssize(n)), Kind::Tuple, n); }
    void end_tuple() { close(); }

    // Layout keys are interned once for the life of the process.
    template <layout::KeyText K>
    void key(layout::Key<K>) {
        static PyObject* const interned = intern(layout::Key<K>::text);
        Py_INCREF(interned);
        set_key(interned);
    }
    void key(std::string_view text) { set_key(checked(new_str(text))); }

    void f64(double x) { put(PyFloat_FromDouble(x)); }
    void i64(std::int64_t x) { put(PyLong_FromLongLong(x)); }
    void u64(std::uint64_t x) { put(PyLong_FromUnsignedLongLong(x)); }
    void boolean(bool b) { put(PyBool_FromLong(b)); }
    void none() {
        Py_INCREF(Py_None);
        put(Py_None);
    }
    void str(std::string_view text) { put(new_str(text)); }
    void name(std::string_view text);
    void floats(const double* v, std::size_t n);
    void array(std::span<const std::size_t> shape, const double* data);

    // The finished value (a new reference).
    PyObject* result() { return std::exchange(result_, nullptr); }

private:
    enum class Kind { Dict, List, Tuple };
    struct Frame {
        PyObject* object;
        PyObject* key;  // the key this container goes under in its parent dict, or null
        Kind kind;
        Py_ssize_t size;  // items a list or tuple must get
        Py_ssize_t next = 0;
    };

    static Py_ssize_t ssize(std::size_t n) { return static_cast<Py_ssize_t>(n); }
    static PyObject* checked(PyObject* o) {
        if (!o) throw Error{};
        return o;
    }
    static PyObject* new_str(std::string_view text) {
        return PyUnicode_FromStringAndSize(text.data(), ssize(text.size()));
    }
    static PyObject* intern(std::string_view text);

    void set_key(PyObject* key) {
        Py_XSETREF(key_, key);
    }
    void open(PyObject* container, Kind kind, std::size_t size) {
        checked(container);
        stack_.push_back({container, std::exchange(key_, nullptr), kind, ssize(size)});
    }
    void close();

    // Takes ownership of v; v may be null (a failed creation).
    void put(PyObject* v) {
        checked(v);
        if (stack_.empty()) {
            Py_XSETREF(result_, v);
            return;
        }
        Frame& f = stack_.back();
        if (f.kind == Kind::Dict) return put_item(f.object, v);
        if (f.next >= f.size) overfull(v);
        if (f.kind == Kind::List) PyList_SET_ITEM(f.object, f.next++, v);
        else PyTuple_SET_ITEM(f.object, f.next++, v);
    }
    void put_item(PyObject* dict, PyObject* v);
    [[noreturn]] static void overfull(PyObject* v);

    std::vector<Frame> stack_;
    PyObject* key_ = nullptr;
    PyObject* result_ = nullptr;
    // One str per distinct name (str objects are immutable: equal names may share one).
    std::vector<std::pair<std::string, PyObject*>> names_;
};

// The Python value of a property of a record (a new reference), or nullptr with
// an exception set.
PyObject* property_value(const layout::Property<PyOutput>& property, const VasprunData& data);

}  // namespace calcsift::py
