#include "qmp/python_error.hpp"

namespace corvane::qmp {

py::Error to_python_error(const QmpError& error) { return py::runtime_error(error.text()); }

}  // namespace corvane::qmp
