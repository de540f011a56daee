#include "module/once_cell.hpp"

namespace corvane::py {

PyObject* interned(OnceCell& cell, const char* text) {
    return cell.get_or_init([text] { return PyUnicode_InternFromString(text); });
}

}  // namespace corvane::py
