#include "module/errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "core/result.hpp"

namespace corvane::py {
namespace {

OnceCell panic_type_cell;

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way up and end the interpreter.";

// The class, made on first use (lock held); null with an exception set on failure.
PyObject* panic_exception_type() {
    return panic_type_cell.get_or_init([] {
        return PyErr_NewExceptionWithDoc("corvane_core._ffi.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    });
}

Ref text_object(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// A PanicException that Python code raised inside a native call is not an
// ordinary error: report it and carry the panic on to the outermost wrapper.
[[noreturn]] void resume_panic(Ref exception) {
    std::string text = str_of(exception.get(), "Unwrapped panic from Python code");
    std::fputs("Python code raised PanicException inside a native call; resuming the panic:\n", stderr);
    PyErr_DisplayException(exception.get());
    panic(std::move(text));
}

}  // namespace

std::string str_of(PyObject* object, std::string_view fallback) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (text) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size))
            return std::string(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return std::string(fallback);
}

Error Error::lazy(PyObject* type, std::string text) {
    Error error;
    error.type_ = type;
    error.text_ = std::move(text);
    return error;
}

Error Error::os_error_number(int code, std::string text) {
    Error error = lazy(PyExc_OSError, std::move(text));
    error.code_ = code;
    return error;
}

Error Error::with_argument(PyObject* type, Ref argument) {
    Error error;
    error.type_ = type;
    error.argument_ = std::move(argument);
    return error;
}

Error Error::from_exception(Ref exception) {
    Error error;
    error.exception_ = std::move(exception);
    return error;
}

Error Error::fetch() {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* panic_type = panic_type_cell.get_if_made();
    if (panic_type != nullptr && PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type)))
        resume_panic(std::move(exception));
    return from_exception(std::move(exception));
}

PyObject* Error::type() const {
    if (exception_) return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get()));
    return type_;
}

Ref Error::into_exception() && {
    if (exception_) return std::move(exception_);
    Ref exception;
    if (code_ != 0) {
        Ref text = text_object(text_);
        if (text) exception = Ref::steal(PyObject_CallFunction(type_, "iO", code_, text.get()));
    } else {
        Ref argument = argument_ ? std::move(argument_) : text_object(text_);
        if (argument) exception = Ref::steal(PyObject_CallOneArg(type_, argument.get()));
    }
    if (!exception) return Ref::steal(PyErr_GetRaisedException());
    return exception;
}

void Error::raise() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    if (code_ != 0) {
        Ref exception = std::move(*this).into_exception();
        if (!exception) abort_at_boundary();
        PyErr_SetRaisedException(exception.release());
        return;
    }
    Ref argument = argument_ ? std::move(argument_) : text_object(text_);
    if (!argument) abort_at_boundary();
    PyErr_SetObject(type_, argument.get());
}

Error os_error(std::string text) { return Error::lazy(PyExc_OSError, std::move(text)); }
Error runtime_error(std::string text) { return Error::lazy(PyExc_RuntimeError, std::move(text)); }
Error type_error(std::string text) { return Error::lazy(PyExc_TypeError, std::move(text)); }
Error overflow_error(std::string text) { return Error::lazy(PyExc_OverflowError, std::move(text)); }

Error downcast_error(PyObject* object, std::string_view expected) {
    std::string message;
    if (object == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        std::string name = "<failed to extract type name>";
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
        Py_ssize_t size = 0;
        const char* data = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
        if (data != nullptr)
            name.assign(data, static_cast<std::size_t>(size));
        else
            PyErr_Clear();
        message = "'" + name + "' object is not an instance of '";
    }
    message.append(expected);
    message += "'";
    return type_error(std::move(message));
}

Error argument_error(std::string_view name, Error error) {
    if (error.type() != PyExc_TypeError) return error;
    Ref original = std::move(error).into_exception();
    std::string message = "argument '" + std::string(name) + "': " + str_of(original.get(), "");
    Ref remapped = std::move(type_error(std::move(message))).into_exception();
    if (!remapped) return Error::fetch();
    // The new error keeps the original's cause, not the original itself.
    PyException_SetCause(remapped.get(), PyException_GetCause(original.get()));
    return Error::from_exception(std::move(remapped));
}

Error to_python_error(const IoError& error) { return os_error(error.text()); }
Error to_python_error(const firecracker::FirecrackerError& error) { return os_error(error.text()); }
Error to_python_error(const qmp::QmpError& error) { return runtime_error(error.text()); }
Error to_python_error(const net::NetError& error) { return Error::os_error_number(error.code(), error.text()); }

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(std::string_view message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        if (type == nullptr) abort_at_boundary();
        Ref text = text_object(message);
        if (!text) abort_at_boundary();
        PyErr_SetObject(type, text.get());
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace corvane::py
