// Conversions of one Python argument to a plain native value. Each runs with
// the interpreter lock held and gives the value or a Python error value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "module/py_error.hpp"
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
struct Extract;

template <>
struct Extract<std::string_view> {
    static auto from(PyObject* o) { return extract_str(o); }
};
template <>
struct Extract<std::optional<std::string_view>> {
    static auto from(PyObject* o) { return extract_optional_str(o); }
};
template <>
struct Extract<std::uint8_t> {
    static auto from(PyObject* o) { return extract_u8(o); }
};
template <>
struct Extract<std::uint32_t> {
    static auto from(PyObject* o) { return extract_u32(o); }
};
template <>
struct Extract<std::uint64_t> {
    static auto from(PyObject* o) { return extract_usize(o); }
};
template <>
struct Extract<double> {
    static auto from(PyObject* o) { return extract_f64(o); }
};
template <>
struct Extract<bool> {
    static auto from(PyObject* o) { return extract_bool(o); }
};
template <>
struct Extract<std::vector<std::string>> {
    static auto from(PyObject* o) { return extract_str_list(o); }
};

}  // namespace corvane::py
