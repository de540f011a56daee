#pragma once

#include <span>

#include "module/python.hpp"

namespace corvane::py {

// The module functions in registration order, which is also their order in __all__.
std::span<PyMethodDef* const> module_functions();

}  // namespace corvane::py
