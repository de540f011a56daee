#include "module/boundary.hpp"

#include <string_view>
#include <vector>

namespace corvane::py {
namespace {

std::string plural_arguments(std::size_t count) { return count == 1 ? "argument" : "arguments"; }

Error too_many(const FunctionSignature& sig, Py_ssize_t given) {
    const std::size_t n = sig.parameters.size();
    std::string message = sig.full_name() + " takes ";
    if (sig.required < n) message += "from " + std::to_string(sig.required) + " to ";
    message += std::to_string(n) + " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    return type_error(std::move(message));
}

// The keyword appears as str() of the keyword object, so a name that is not
// valid UTF-8 is still reported faithfully.
Error keyword_error(const FunctionSignature& sig, const char* what, PyObject* keyword) {
    const std::string prefix = sig.full_name() + " " + what + " '";
    Ref message = Ref::steal(PyUnicode_FromFormat("%s%S'", prefix.c_str(), keyword));
    if (!message) return Error::fetch();
    return Error::with_argument(PyExc_TypeError, std::move(message));
}

Error missing(const FunctionSignature& sig, const ArgumentSlots& slots) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) names.push_back(std::string("'") + sig.parameters[i] + "'");
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                list += " and ";
            else if (i + 1 == names.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += names[i];
    }
    return type_error(sig.full_name() + " missing " + std::to_string(names.size()) + " required positional " +
                      plural_arguments(names.size()) + ": " + list);
}

Result<Unit, Error> bind_keyword(const FunctionSignature& sig, PyObject* keyword, PyObject* value,
                                 ArgumentSlots& slots) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (text == nullptr) PyErr_Clear();  // not encodable: no parameter can match
    const std::string_view name = text ? std::string_view(text, static_cast<std::size_t>(size)) : std::string_view();
    for (std::size_t i = 0; text != nullptr && i < sig.parameters.size(); ++i) {
        if (name != sig.parameters[i]) continue;
        if (slots[i] != nullptr) return fail(keyword_error(sig, "got multiple values for argument", keyword));
        slots[i] = value;
        return Unit{};
    }
    return fail(keyword_error(sig, "got an unexpected keyword argument", keyword));
}

Result<Unit, Error> bind_positional(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                                    ArgumentSlots& slots) {
    const std::size_t n = sig.parameters.size();
    if (n > kMaxParameters) panic("signature of " + sig.full_name() + " has too many parameters");
    slots.fill(nullptr);
    for (std::size_t i = 0; i < n && i < static_cast<std::size_t>(nargs); ++i) slots[i] = args[i];
    if (static_cast<std::size_t>(nargs) > n) return fail(too_many(sig, nargs));
    return Unit{};
}

Result<Unit, Error> check_missing(const FunctionSignature& sig, Py_ssize_t nargs, const ArgumentSlots& slots) {
    if (static_cast<std::size_t>(nargs) >= sig.required) return Unit{};
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) return fail(missing(sig, slots));
    return Unit{};
}

}  // namespace

std::string FunctionSignature::full_name() const {
    std::string name;
    if (class_name != nullptr) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

Result<Unit, Error> bind_arguments(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, ArgumentSlots& slots) {
    if (auto bound = bind_positional(sig, args, nargs, slots); !bound) return bound;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (auto bound = bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots); !bound) return bound;
    return check_missing(sig, nargs, slots);
}

Result<Unit, Error> bind_arguments(const FunctionSignature& sig, PyObject* args, PyObject* kwargs,
                                   ArgumentSlots& slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (auto bound = bind_positional(sig, PySequence_Fast_ITEMS(args), nargs, slots); !bound) return bound;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value))
            if (auto bound = bind_keyword(sig, keyword, value, slots); !bound) return bound;
    }
    return check_missing(sig, nargs, slots);
}

}  // namespace corvane::py
