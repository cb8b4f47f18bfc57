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

#include "core/layout/properties.hpp"

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
    PyOutput() = default;
    PyOutput(const PyOutput&) = delete;
    PyOutput& operator=(const PyOutput&) = delete;
    ~PyOutput();

    void begin_dict() { open(PyDict_New(), nullptr, 0); }
    void end_dict() { close(); }
    void begin_list(std::size_t n) {
        PyObject* list = checked(PyList_New(ssize(n)));
        open(list, reinterpret_cast<PyListObject*>(list)->ob_item, n);
    }
    void end_list() { close(); }
    void begin_tuple(std::size_t n) {
        PyObject* tuple = checked(PyTuple_New(ssize(n)));
        open(tuple, reinterpret_cast<PyTupleObject*>(tuple)->ob_item, n);
    }
    void end_tuple() { close(); }

    // Layout keys are interned once for the life of the process.
    template <layout::KeyText K>
    void key(layout::Key<K>) {
        static PyObject* const interned = intern(layout::Key<K>::text);
        key_ = interned;
    }
    void key(std::string_view text);

    void f64(double x) { put(PyFloat_FromDouble(x)); }
    void i64(std::int64_t x) { put(PyLong_FromLongLong(x)); }
    void u64(std::uint64_t x) { put(PyLong_FromUnsignedLongLong(x)); }
    void boolean(bool b) { put(PyBool_FromLong(b)); }
    void none() {
        Py_INCREF(Py_None);
        put(Py_None);
    }
    void str(std::string_view text) { put(new_str(text)); }
    void name(std::string_view text) {
        for (const auto& [known, object] : names_) {
            if (known == text) {
                Py_INCREF(object);
                return put(object);
            }
        }
        put(new_name(text));
    }
    void floats(const double* v, std::size_t n) {
        Ref list(PyList_New(ssize(n)));
        for (std::size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), ssize(i), Ref(PyFloat_FromDouble(v[i])).release());
        put(list.release());
    }
    void rows(const V3* r, std::size_t n) {
        Ref list(PyList_New(ssize(n)));
        for (std::size_t i = 0; i < n; ++i) {
            Ref row(PyList_New(3));
            for (Py_ssize_t k = 0; k < 3; ++k)
                PyList_SET_ITEM(row.get(), k, Ref(PyFloat_FromDouble(r[i][static_cast<std::size_t>(k)])).release());
            PyList_SET_ITEM(list.get(), ssize(i), row.release());
        }
        put(list.release());
    }
    void array(std::span<const std::size_t> shape, const double* data);
    void bool_array(std::span<const std::size_t> shape, const bool* data);

    // The finished value (a new reference).
    PyObject* result() { return std::exchange(result_, nullptr); }

private:
    // An open container. A list or tuple is filled slot by slot, from next up to end.
    struct Frame {
        PyObject* object;
        PyObject* key;     // the key it goes under in its parent dict (borrowed), or null
        PyObject** next;   // null for a dict
        PyObject** end;
        bool dict;
    };
    static constexpr std::size_t kMaxDepth = 16;

    static Py_ssize_t ssize(std::size_t n) { return static_cast<Py_ssize_t>(n); }
    static PyObject* checked(PyObject* o) {
        if (!o) throw Error{};
        return o;
    }
    static PyObject* new_str(std::string_view text) {
        return PyUnicode_FromStringAndSize(text.data(), ssize(text.size()));
    }
    static PyObject* intern(std::string_view text);
    PyObject* new_name(std::string_view text);

    void open(PyObject* container, PyObject** items, std::size_t n) {
        checked(container);
        if (depth_ == kMaxDepth) too_deep(container);
        stack_[depth_++] = {container, std::exchange(key_, nullptr), items, items + n, items == nullptr};
    }
    void close() {
        const Frame& f = stack_[--depth_];
        if (f.next != f.end) short_of_items(f.object);
        key_ = f.key;
        put(f.object);
    }

    // Takes ownership of v; v may be null (a failed creation).
    void put(PyObject* v) {
        checked(v);
        if (depth_ == 0) {
            Py_XSETREF(result_, v);
            return;
        }
        Frame& f = stack_[depth_ - 1];
        if (f.dict) return put_item(f.object, v);
        if (f.next == f.end) overfull(v);
        *f.next++ = v;
    }
    void put_item(PyObject* dict, PyObject* v);
    [[noreturn]] static void overfull(PyObject* v);
    [[noreturn]] static void short_of_items(PyObject* container);
    [[noreturn]] static void too_deep(PyObject* container);

    Frame stack_[kMaxDepth];
    std::size_t depth_ = 0;
    PyObject* key_ = nullptr;                // borrowed: interned, or held in keys_
    std::vector<PyObject*> keys_;            // the keys read from the file
    PyObject* result_ = nullptr;
    // One str per distinct name (str objects are immutable: equal names may share one).
    std::vector<std::pair<std::string, PyObject*>> names_;
};

// The Python value of a property of a record (a new reference), or nullptr with
// an exception set.
PyObject* property_value(const layout::Property<PyOutput>& property, const VasprunData& data);

}  // namespace calcsift::py
