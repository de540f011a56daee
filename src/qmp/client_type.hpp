// The Python class _QmpClient: one QmpConnection behind a mutex per instance.
#pragma once

#include "module/python.hpp"

namespace corvane::qmp {

// The type object, created on first use and kept for the life of the process
// (a borrowed reference); null with an exception set when creation fails.
PyObject* client_type();

}  // namespace corvane::qmp
