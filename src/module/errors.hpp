// Errors at the boundary: the Python error value, the exception kinds the
// module raises, how each error value of the core becomes one, and
// PanicException, the exception every native panic becomes.
#pragma once

#include <string>
#include <string_view>

#include "core/io_error.hpp"
#include "firecracker/http.hpp"
#include "module/python.hpp"
#include "net/error.hpp"
#include "qmp/error.hpp"

namespace corvane::py {

// An exception that native code can create and carry without the interpreter
// lock and that the boundary raises later.
class Error {
public:
    // An exception of a built-in type with one text argument; needs no lock.
    static Error lazy(PyObject* type, std::string text);
    // OSError(code, text), for which Python picks the subclass of the error
    // number (PermissionError for EPERM, ...); needs no lock.
    static Error os_error_number(int code, std::string text);
    // An exception of a built-in type with a ready-made argument object (lock held).
    static Error with_argument(PyObject* type, Ref argument);
    // An exception instance, raised as it is.
    static Error from_exception(Ref exception);
    // Takes the exception a failed CPython call left pending (lock held). A
    // PanicException raised by Python code resumes the panic instead; with no
    // exception pending the error is SystemError.
    static Error fetch();

    PyObject* type() const;
    // Raises it (lock held). A failure to build the exception is fatal.
    void raise() &&;
    // Builds the exception instance (lock held).
    Ref into_exception() &&;

private:
    PyObject* type_ = nullptr;  // a built-in exception type: immortal, not counted
    std::string text_;
    int code_ = 0;  // an error number: the exception gets (code_, text_)
    Ref argument_;
    Ref exception_;
};

// The error kinds of the boundary.
Error os_error(std::string text);       // OSError with one argument, errno None
Error runtime_error(std::string text);  // RuntimeError
Error type_error(std::string text);
Error overflow_error(std::string text);
// TypeError "'T' object is not an instance of 'U'" ("'None' is not ..." for None).
Error downcast_error(PyObject* object, std::string_view expected);
// Rewrites an exact TypeError of a conversion as "argument 'NAME': ..."; other errors pass.
Error argument_error(std::string_view name, Error error);

// Text of str(object), or the fallback with the error cleared.
std::string str_of(PyObject* object, std::string_view fallback);

// The error values of the core, as Python sees them. An IoError of the disk
// helpers and both kinds of FirecrackerError are OSError with the one text, so
// errno, strerror and filename stay None; a QmpError is RuntimeError whose one
// argument is its compact JSON text. A NetError is OSError(errno, text).
inline Error to_python_error(Error error) { return error; }
Error to_python_error(const IoError& error);
Error to_python_error(const firecracker::FirecrackerError& error);
Error to_python_error(const qmp::QmpError& error);
Error to_python_error(const net::NetError& error);

// Raises PanicException(message), made on first use. PanicException derives
// from BaseException so that an ordinary `except Exception` does not swallow
// it. Any failure on this path aborts the process:
// a failure while reporting a failure has no way out.
void raise_panic(std::string_view message) noexcept;

[[noreturn]] void abort_at_boundary() noexcept;

}  // namespace corvane::py
