// Conversions at the boundary, with the interpreter lock held: one Python
// argument to a plain native value (the value or a Python error value), and a
// native result to a Python object (failing to create one is a panic).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.hpp"
#include "module/errors.hpp"
#include "module/python.hpp"

namespace corvane::py {

// A view of the UTF-8 text of a str (embedded NULs kept). The view lives as
// long as the argument object, which the caller keeps alive for the call.
Result<std::string_view, Error> extract_str(PyObject* object);
Result<std::optional<std::string_view>, Error> extract_optional_str(PyObject* object);
Result<std::uint8_t, Error> extract_u8(PyObject* object);
Result<std::uint32_t, Error> extract_u32(PyObject* object);
Result<std::uint64_t, Error> extract_usize(PyObject* object);
Result<double, Error> extract_f64(PyObject* object);
Result<bool, Error> extract_bool(PyObject* object);
Result<std::vector<std::string>, Error> extract_str_list(PyObject* object);

// Maps a native parameter type to its conversion, so that an operation's
// parameter list decides how its arguments are converted.
template <class T>
Result<T, Error> extract(PyObject* object) {
    if constexpr (std::is_same_v<T, std::string_view>)
        return extract_str(object);
    else if constexpr (std::is_same_v<T, std::optional<std::string_view>>)
        return extract_optional_str(object);
    else if constexpr (std::is_same_v<T, std::uint8_t>)
        return extract_u8(object);
    else if constexpr (std::is_same_v<T, std::uint32_t>)
        return extract_u32(object);
    else if constexpr (std::is_same_v<T, std::uint64_t>)
        return extract_usize(object);
    else if constexpr (std::is_same_v<T, double>)
        return extract_f64(object);
    else if constexpr (std::is_same_v<T, bool>)
        return extract_bool(object);
    else if constexpr (std::is_same_v<T, std::vector<std::string>>)
        return extract_str_list(object);
    else
        static_assert(sizeof(T) == 0, "no conversion from Python for this parameter type");
}

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

// Returns the Python result, or raises the error and returns null.
template <class R>
PyObject* finish(R&& outcome) {
    // A signal handler raised while the operation waited: its exception is the
    // call's, in place of the failure (EINTR) that ended the operation.
    if (PyErr_Occurred()) return nullptr;
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
