// How a QmpError reaches Python: RuntimeError whose one argument is the
// error's compact JSON text. Found by argument-dependent lookup at the boundary.
#pragma once

#include "module/py_error.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

py::Error to_python_error(const QmpError& error);

}  // namespace corvane::qmp
