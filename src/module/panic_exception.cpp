#include "module/panic_exception.hpp"

#include <cstdio>
#include <cstdlib>

#include "module/once_cell.hpp"

namespace corvane::py {
namespace {

OnceCell panic_type_cell;

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way up and end the interpreter.";

}  // namespace

PyObject* panic_exception_type() {
    return panic_type_cell.get_or_init([] {
        return PyErr_NewExceptionWithDoc("corvane_core._ffi.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    });
}

PyObject* panic_exception_type_if_created() {
    // get_or_init with a maker that never runs when the cell is filled; when it
    // is empty the maker returns null and leaves it empty.
    return panic_type_cell.get_or_init([]() -> PyObject* { return nullptr; });
}

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void raise_panic(std::string_view message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        if (type == nullptr) abort_at_boundary();
        PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                              "replace");
        if (text == nullptr) abort_at_boundary();
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace corvane::py
