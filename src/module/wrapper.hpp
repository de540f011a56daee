// The boundary, written once. A callable is a FunctionSignature plus a native
// operation on plain values; the templates here make the C entry point that
// binds the arguments, converts them in order (the operation's parameter types
// choose the conversions), runs the operation with the interpreter lock held
// or released, and turns its result or error into Python terms, all inside the
// panic guard.
#pragma once

#include <cstddef>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/result.hpp"
#include "module/convert.hpp"
#include "module/gil.hpp"
#include "module/panic_exception.hpp"
#include "module/py_error.hpp"
#include "module/signature.hpp"
#include "module/to_python.hpp"

namespace corvane::py {

// Whether an operation runs with the interpreter lock held or released.
enum class Lock { held, released };

template <class F>
struct OperationTraits;
template <class R, class... Args>
struct OperationTraits<R (*)(Args...)> {
    using Result = R;
    using Parameters = std::tuple<std::remove_cvref_t<Args>...>;
};

// A method's operation takes the receiver's native state first. Each class
// says how to get that state from `self` by specialising Receiver.
template <class T>
struct Receiver;

template <class F>
struct MethodTraits;
template <class R, class Self, class... Args>
struct MethodTraits<R (*)(Self&, Args...)> {
    using State = Self;
    using Parameters = std::tuple<std::remove_cvref_t<Args>...>;
};

template <class F>
struct ConstructorTraits;
template <class R, class... Args>
struct ConstructorTraits<R (*)(PyTypeObject*, Args...)> {
    using Parameters = std::tuple<std::remove_cvref_t<Args>...>;
};

// The frame of every entry point: counts the attached frame, and turns a
// panic anywhere inside into PanicException.
template <class Body>
PyObject* panic_guard(Body&& body) noexcept {
    AttachScope attached;
    try {
        return body();
    } catch (const Panic& p) {
        raise_panic(p.message);
    } catch (const std::bad_alloc&) {
        raise_panic("memory allocation failed");
    } catch (...) {
        raise_panic("native code panicked");
    }
    return nullptr;
}

namespace detail {

template <std::size_t I, class Params, auto... Defaults>
bool convert_one(const FunctionSignature& sig, const ArgumentSlots& slots, Params& values, Error& error) {
    using T = std::tuple_element_t<I, Params>;
    PyObject* object = slots[I];
    if (object == nullptr) {
        // Left out, so optional: its default applies without conversion.
        constexpr std::size_t first_default = std::tuple_size_v<Params> - sizeof...(Defaults);
        if constexpr (I >= first_default) {
            std::get<I>(values) = static_cast<T>(std::get<I - first_default>(std::tuple{Defaults...}));
            return true;
        } else {
            panic("a required argument of " + sig.full_name() + " was not bound");
        }
    }
    auto converted = Extract<T>::from(object);
    if (!converted) {
        error = argument_error(sig.parameters[I], std::move(converted).error());
        return false;
    }
    std::get<I>(values) = std::move(converted).value();
    return true;
}

// Converts the bound arguments in parameter order; the first failure ends it.
template <class Params, auto... Defaults, std::size_t... I>
Result<Params, Error> convert_all(const FunctionSignature& sig, const ArgumentSlots& slots,
                                  std::index_sequence<I...>) {
    Params values{};
    Error error = Error::lazy(PyExc_SystemError, {});
    if ((convert_one<I, Params, Defaults...>(sig, slots, values, error) && ...)) return values;
    return fail(std::move(error));
}

template <Lock L, class Run>
PyObject* run(Run&& operation) {
    if constexpr (L == Lock::released) {
        return finish(allow_threads(std::forward<Run>(operation)));
    } else {
        return finish(operation());
    }
}

template <class Params, auto... Defaults>
Result<Params, Error> bind_and_convert(const FunctionSignature& sig, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    ArgumentSlots slots{};
    if (auto bound = bind_arguments(sig, args, nargs, kwnames, slots); !bound)
        return std::move(bound).take_failure();
    return convert_all<Params, Defaults...>(sig, slots, std::make_index_sequence<std::tuple_size_v<Params>>{});
}

}  // namespace detail

// Module function with parameters (METH_FASTCALL | METH_KEYWORDS). Defaults
// are the values of the trailing optional parameters, in order.
template <const FunctionSignature& Sig, Lock L, auto Operation, auto... Defaults>
PyObject* fastcall_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return panic_guard([&]() -> PyObject* {
        using Params = typename OperationTraits<decltype(Operation)>::Parameters;
        auto values = detail::bind_and_convert<Params, Defaults...>(Sig, args, nargs, kwnames);
        if (!values) {
            std::move(values).error().raise();
            return nullptr;
        }
        return detail::run<L>([&] { return std::apply(Operation, values.value()); });
    });
}

// Module function without parameters (METH_NOARGS).
template <Lock L, auto Operation>
PyObject* noargs_function(PyObject*, PyObject*) noexcept {
    return panic_guard([]() -> PyObject* { return detail::run<L>([] { return Operation(); }); });
}

namespace detail {

template <class State>
Result<State*, Error> receiver(PyObject* self) {
    return Receiver<State>::from(self);
}

}  // namespace detail

// Method with parameters; Operation takes the instance's native state first.
template <const FunctionSignature& Sig, Lock L, auto Operation>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return panic_guard([&]() -> PyObject* {
        using Traits = MethodTraits<decltype(Operation)>;
        auto state = detail::receiver<typename Traits::State>(self);
        if (!state) {
            std::move(state).error().raise();
            return nullptr;
        }
        auto values = detail::bind_and_convert<typename Traits::Parameters>(Sig, args, nargs, kwnames);
        if (!values) {
            std::move(values).error().raise();
            return nullptr;
        }
        auto* target = state.value();
        return detail::run<L>([&] {
            return std::apply([&](auto&... v) { return Operation(*target, v...); }, values.value());
        });
    });
}

// Method without parameters (METH_NOARGS).
template <Lock L, auto Operation>
PyObject* noargs_method(PyObject* self, PyObject*) noexcept {
    return panic_guard([&]() -> PyObject* {
        using Traits = MethodTraits<decltype(Operation)>;
        auto state = detail::receiver<typename Traits::State>(self);
        if (!state) {
            std::move(state).error().raise();
            return nullptr;
        }
        auto* target = state.value();
        return detail::run<L>([&] { return Operation(*target); });
    });
}

// The Py_tp_new slot: binds the tuple and dict with the same rules, converts,
// and lets Make (lock held) build the instance: Make(type, values...) gives a
// Result<Ref, Error>.
template <const FunctionSignature& Sig, auto Make>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return panic_guard([&]() -> PyObject* {
        using ValueParams = typename ConstructorTraits<decltype(Make)>::Parameters;
        ArgumentSlots slots{};
        if (auto bound = bind_arguments(Sig, args, kwargs, slots); !bound) {
            std::move(bound).error().raise();
            return nullptr;
        }
        auto values = detail::convert_all<ValueParams>(
            Sig, slots, std::make_index_sequence<std::tuple_size_v<ValueParams>>{});
        if (!values) {
            std::move(values).error().raise();
            return nullptr;
        }
        return finish(std::apply([&](auto&... v) { return Make(type, v...); }, values.value()));
    });
}

// Flags of the method records. METH_STATIC is left out on purpose: CPython
// 3.14 then binds no receiver, and the functions' __self__ must be the module.
inline constexpr int kFastcallFlags = METH_FASTCALL | METH_KEYWORDS;
inline constexpr int kNoargsFlags = METH_NOARGS;

template <class F>
PyCFunction as_pycfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace corvane::py
