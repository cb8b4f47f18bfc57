// The exceptions of the extension module. A failed load raises
// calcsift.VasprunError (a RuntimeError), and for a file the system could not
// open or read also the OSError subclass of its errno; the classes are those of
// the package's Python module calcsift._errors.
#pragma once

#include <Python.h>

#include <string_view>

namespace calcsift::py {

// Takes the classes from calcsift._errors (once, at module init); false with an exception set.
bool import_errors();

// Raises the error of a failed load: its display text, and the errno of a system error (0 for any other).
void set_load_error(std::string_view text, int os_errno);

// Raises RuntimeError (an internal fault, not a bad file) with the whole text.
void set_runtime_error(std::string_view text);

}  // namespace calcsift::py
