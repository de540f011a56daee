// Native results to Python objects, with the interpreter lock held. Failing to
// create a result object (memory exhaustion) is a panic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "core/result.hpp"
#include "module/py_error.hpp"
#include "module/py_ref.hpp"
#include "module/python.hpp"

namespace corvane::py {

inline PyObject* checked(PyObject* object) {
    if (object == nullptr) {
        PyErr_Clear();
        panic("failed to create a Python object for the result");
    }
    return object;
}

inline PyObject* to_python(Unit) { return Py_NewRef(Py_None); }
inline PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
inline PyObject* to_python(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
inline PyObject* to_python(const std::string& text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
inline PyObject* to_python(Ref object) { return object.release(); }

template <class T>
PyObject* to_python(const std::optional<T>& value) {
    return value ? to_python(*value) : Py_NewRef(Py_None);
}

template <class A, class B>
PyObject* to_python(const std::pair<A, B>& pair) {
    Ref first = Ref::steal(to_python(pair.first));
    Ref second = Ref::steal(to_python(pair.second));
    Ref tuple = Ref::steal(checked(PyTuple_New(2)));
    PyTuple_SET_ITEM(tuple.get(), 0, first.release());
    PyTuple_SET_ITEM(tuple.get(), 1, second.release());
    return tuple.release();
}

// Error values of the boundary itself. Each subsystem declares to_python_error
// for its own error type next to it, found by argument-dependent lookup.
inline Error to_python_error(Error error) { return error; }

// Returns the Python result, or raises the error and returns null.
template <class R>
PyObject* finish(R&& outcome) {
    if constexpr (is_result_v<R>) {
        if (!outcome) {
            to_python_error(std::move(outcome).error()).raise();
            return nullptr;
        }
        return to_python(std::move(outcome).value());
    } else {
        return to_python(std::forward<R>(outcome));
    }
}

}  // namespace corvane::py
