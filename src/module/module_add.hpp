#pragma once

#include "core/result.hpp"
#include "module/py_error.hpp"
#include "module/python.hpp"

namespace corvane::py {

// Appends name to the module's __all__ (made when missing) and sets the
// attribute. A failed append is a panic.
Result<Unit, Error> module_add(PyObject* module, PyObject* name, PyObject* value);

// Adds the module's classes after its functions.
Result<Unit, Error> add_module_classes(PyObject* module);

}  // namespace corvane::py
