// How an IoError of the disk helpers reaches Python: an OSError whose only
// argument is the error's text, so errno, strerror and filename stay None.
#pragma once

#include "core/io_error.hpp"
#include "module/py_error.hpp"

namespace corvane {

// Found by argument-dependent lookup from the boundary's result conversion.
inline py::Error to_python_error(const IoError& error) { return py::os_error(error.text()); }

}  // namespace corvane
