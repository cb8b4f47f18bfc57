#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace calcsift::py {

// A new C-contiguous, writeable float64 array holding a copy of data (product
// of shape values). Returns a new reference, or nullptr with an exception set.
PyObject* make_array(const std::vector<std::size_t>& shape, const double* data);

// The same for a bool array (NumPy allocates it; data holds one byte per value).
PyObject* make_bool_array(const std::vector<std::size_t>& shape, const bool* data);

}  // namespace calcsift::py
