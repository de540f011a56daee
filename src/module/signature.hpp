// How Python arguments are bound to a callable's parameters.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "core/result.hpp"
#include "module/py_error.hpp"
#include "module/python.hpp"

namespace corvane::py {

// One read-only record per callable that takes parameters. Every parameter is
// positional-or-keyword; the first `required` must be given.
struct FunctionSignature {
    const char* function_name;
    const char* class_name;  // null for module functions
    std::span<const char* const> parameters;
    std::size_t positional_only = 0;
    std::size_t required = 0;

    // "NAME()" or "CLASS.NAME()", as messages name the callable.
    std::string full_name() const;
};

inline constexpr std::size_t kMaxParameters = 8;

// One borrowed argument per parameter; null where none was given.
using ArgumentSlots = std::array<PyObject*, kMaxParameters>;

// Vector-call form: args holds nargs positional values, then one value per
// name in kwnames (a tuple, or null).
Result<Unit, Error> bind_arguments(const FunctionSignature& signature, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, ArgumentSlots& slots);

// Constructor form: a tuple of positional values and a keyword dict (or null).
Result<Unit, Error> bind_arguments(const FunctionSignature& signature, PyObject* args,
                                   PyObject* kwargs, ArgumentSlots& slots);

}  // namespace corvane::py
