// PanicException: the exception every native panic becomes. It derives from
// BaseException so that an ordinary `except Exception` does not swallow it.
#pragma once

#include <string_view>

#include "module/python.hpp"

namespace corvane::py {

// The class, made on first use (lock held); null with an exception set on failure.
PyObject* panic_exception_type();

// The class if it exists already, else null; never creates it.
PyObject* panic_exception_type_if_created();

// Raises PanicException(message). Any failure on this path aborts the process:
// a failure while reporting a failure has no way out.
void raise_panic(std::string_view message) noexcept;

[[noreturn]] void abort_at_boundary() noexcept;

}  // namespace corvane::py
