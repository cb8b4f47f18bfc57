// Module functions that hand a run to ASE and pymatgen. They are written in
// Python (package _calcsift_interop, installed beside the module) and imported
// on first call, so that importing calcsift never imports either library.
#pragma once

#include <Python.h>

namespace calcsift::py {

// Null-terminated, for PyModuleDef::m_methods.
extern PyMethodDef interop_functions[];

}  // namespace calcsift::py
