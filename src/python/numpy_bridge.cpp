// Float64 arrays made by NumPy over a buffer of ours: each array owns one copy
// of the record's data, made straight into memory prepared for it (huge pages
// for big arrays) and freed by a capsule that is the array's base. NumPy is
// reached through its C API table (the _ARRAY_API capsule), looked up on the
// first array creation, so the module imports without NumPy and builds without
// its headers. Before the table is used, NumPy's own version entries in it are
// checked against the ABI and the C-API level that the entries used here need.
#include "numpy_bridge.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base/memory.hpp"

namespace calcsift::py {

namespace {

// Entries of the NumPy C API table (stable across NumPy 1.x and 2.x).
constexpr int kGetNDArrayCVersion = 0;
constexpr int kGetNDArrayCFeatureVersion = 211;
constexpr int kArrayType = 2;
constexpr int kDescrFromType = 45;
constexpr int kNewFromDescr = 94;
constexpr int kSetBaseObject = 282;
constexpr int kNpyDouble = 12;
constexpr int kFlagsCArray = 0x0001 | 0x0100 | 0x0400;  // C-contiguous, aligned, writeable

// The ABI of NumPy 1.x is 0x01000009 and that of NumPy 2.x 0x02000000; the
// layout of the entries used here is the same in both. A larger ABI version is
// a NumPy that may have moved them. The entries exist from C-API level 7 on
// (NumPy 1.7, which added PyArray_SetBaseObject).
constexpr unsigned kMaxAbiVersion = 0x02000000;
constexpr unsigned kMinFeatureVersion = 0x00000007;

using GetVersion = unsigned (*)();
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

void** api_table = nullptr;

// Imports NumPy's multiarray module for the installed major version and reads its table.
void** load_api() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return nullptr;
    const char* module = "numpy.core.multiarray";
    PyObject* lib = PyObject_GetAttrString(numpy, "lib");
    PyObject* version = PyObject_GetAttrString(numpy, "__version__");
    PyObject* cls = lib ? PyObject_GetAttrString(lib, "NumpyVersion") : nullptr;
    PyObject* parsed = (cls && version) ? PyObject_CallFunctionObjArgs(cls, version, nullptr) : nullptr;
    PyObject* major = parsed ? PyObject_GetAttrString(parsed, "major") : nullptr;
    long major_value = major ? PyLong_AsLong(major) : -1;
    Py_XDECREF(major);
    Py_XDECREF(parsed);
    Py_XDECREF(cls);
    Py_XDECREF(version);
    Py_XDECREF(lib);
    Py_DECREF(numpy);
    if (PyErr_Occurred()) return nullptr;
    if (major_value >= 2) module = "numpy._core.multiarray";
    PyObject* multiarray = PyImport_ImportModule(module);
    if (!multiarray) return nullptr;
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (!capsule) return nullptr;
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    return static_cast<void**>(table);
}

// Checks the versions the table reports; sets ImportError when this module
// cannot use it.
bool check_versions(void** table) {
    const unsigned abi = reinterpret_cast<GetVersion>(table[kGetNDArrayCVersion])();
    const unsigned feature = reinterpret_cast<GetVersion>(table[kGetNDArrayCFeatureVersion])();
    if (abi <= kMaxAbiVersion && feature >= kMinFeatureVersion) return true;
    PyErr_Format(PyExc_ImportError,
                 "calcsift cannot use this NumPy: it reports C-API ABI version 0x%x and C-API "
                 "version 0x%x; calcsift needs ABI version at most 0x%x (NumPy 1.x or 2.x) and "
                 "C-API version at least 0x%x (NumPy 1.7)",
                 abi, feature, kMaxAbiVersion, kMinFeatureVersion);
    return false;
}

bool ensure_api() {
    if (api_table) return true;
    void** table = load_api();
    if (!table) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject* text = value ? PyObject_Str(value) : nullptr;
        PyErr_Clear();
        if (text) {
            PyErr_Format(PyExc_SystemError, "Failed to access NumPy array API capsule: %U", text);
        } else {
            PyErr_SetString(PyExc_SystemError, "Failed to access NumPy array API capsule");
        }
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return false;
    }
    if (!check_versions(table)) return false;
    api_table = table;
    return true;
}

void free_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "calcsift.buffer"));
}

}  // namespace

PyObject* make_array(const std::vector<std::size_t>& shape, const double* data) {
    if (!ensure_api()) return nullptr;
    std::size_t count = 1;
    for (std::size_t d : shape) count *= d;
    // The array owns a fresh copy; the capsule that frees it is the array's base.
    void* buffer = alloc_for_writing(count * sizeof(double));
    if (!buffer) return PyErr_NoMemory();
    if (count) std::memcpy(buffer, data, count * sizeof(double));
    PyObject* holder = PyCapsule_New(buffer, "calcsift.buffer", free_buffer);
    if (!holder) {
        std::free(buffer);
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_SetString(PyExc_SystemError, "Failed to create slice container");
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return nullptr;
    }
    std::vector<Py_ssize_t> dims(shape.begin(), shape.end());
    std::vector<Py_ssize_t> strides(shape.size());
    Py_ssize_t stride = sizeof(double);
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = stride;
        stride *= dims[i] ? dims[i] : 1;
    }
    auto descr_from_type = reinterpret_cast<DescrFromType>(api_table[kDescrFromType]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(api_table[kNewFromDescr]);
    auto set_base = reinterpret_cast<SetBaseObject>(api_table[kSetBaseObject]);
    auto* array_type = static_cast<PyTypeObject*>(api_table[kArrayType]);
    PyObject* descr = descr_from_type(kNpyDouble);
    if (!descr) {
        Py_DECREF(holder);
        return nullptr;
    }
    PyObject* array = new_from_descr(array_type, descr, static_cast<int>(dims.size()), dims.data(),
                                     strides.data(), buffer, kFlagsCArray, nullptr);
    if (!array) {
        Py_DECREF(holder);
        return nullptr;
    }
    if (set_base(array, holder) < 0) {  // steals holder
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

namespace {

// Every NumPy array object starts with its data pointer (the layout that the
// PyArray_DATA macro, compiled into extensions, relies on).
struct ArrayHead {
    PyObject_HEAD
    char* data;
};

constexpr int kNpyBool = 0;

}  // namespace

PyObject* make_bool_array(const std::vector<std::size_t>& shape, const bool* data) {
    static_assert(sizeof(bool) == 1);
    if (!ensure_api()) return nullptr;
    std::size_t count = 1;
    for (std::size_t d : shape) count *= d;
    std::vector<Py_ssize_t> dims(shape.begin(), shape.end());
    auto descr_from_type = reinterpret_cast<DescrFromType>(api_table[kDescrFromType]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(api_table[kNewFromDescr]);
    auto* array_type = static_cast<PyTypeObject*>(api_table[kArrayType]);
    PyObject* descr = descr_from_type(kNpyBool);
    if (!descr) return nullptr;
    // No data and no strides: a new C-contiguous, writeable array.
    PyObject* array = new_from_descr(array_type, descr, static_cast<int>(dims.size()), dims.data(),
                                     nullptr, nullptr, 0, nullptr);
    if (!array) return nullptr;
    if (count) std::memcpy(reinterpret_cast<ArrayHead*>(array)->data, data, count);
    return array;
}

}  // namespace calcsift::py
