// How a family file declares its callables: each one once, with its Python
// name, parameter names and defaults, lock mode and native operation,
//
//     def("fill", &disk::fill, Lock::released, kPath, "size"_a = 4096, "Fill a file.")
//
// From that declaration the templates here derive, at compile time, the text
// signature docstring ("fill(path, size=4096)\n--\n\nFill a file."), the
// binding record and the method record; at run time, the entry point binds the
// arguments, converts them in order (the operation's parameter types choose the
// conversions, a left-out optional one takes its default unconverted), runs the
// operation with the interpreter lock held or released, and turns its result or
// error into Python terms, all inside the panic guard.
//
// An operation takes plain values. A method's operation takes the instance's
// native state first. An operation may also take a Caller& (after the state):
// it is the call's PythonCaller, which a Lock::held operation releases itself
// around the parts that wait.
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/boundary.hpp"
#include "module/convert.hpp"

namespace corvane::py {

// One parameter: its name and, for a trailing optional one, its default
// ("size"_a = 4096, "sync"_a = true).
struct Arg {
    const char* name = nullptr;
    bool has_default = false;
    bool is_bool = false;
    unsigned long long value = 0;

    template <class T>
    constexpr Arg operator=(T default_value) const {
        static_assert(std::is_integral_v<T>, "defaults are integers or booleans");
        return Arg{name, true, std::is_same_v<T, bool>, static_cast<unsigned long long>(default_value)};
    }
};

consteval Arg operator""_a(const char* name, std::size_t) { return Arg{name}; }

// Parameter names shared by more than one family.
inline constexpr Arg kSocketPath = "socket_path"_a;
inline constexpr Arg kTimeout = "timeout"_a;

template <class Operation, std::size_t N>
struct Def {
    const char* name;
    Operation operation;
    Lock lock;
    std::array<Arg, N> args;
    const char* doc;  // the docstring's body after the signature
};

// def(name, operation, lock, parameters..., [docstring body])
template <class Operation, class... Extra>
consteval auto def(const char* name, Operation operation, Lock lock, Extra... extra) {
    constexpr std::size_t count = (std::size_t{0} + ... + std::is_same_v<Extra, Arg>);
    Def<Operation, count> declaration{name, operation, lock, {}, ""};
    [[maybe_unused]] std::size_t at = 0;
    (
        [&] {
            if constexpr (std::is_same_v<Extra, Arg>)
                declaration.args[at++] = extra;
            else
                declaration.doc = extra;
        }(),
        ...);
    return declaration;
}

// The module functions of one family, in registration order.
template <class... Defs>
struct Functions {
    static constexpr bool is_class = false;
    std::tuple<Defs...> defs;
    constexpr const char* class_name() const { return nullptr; }
};

template <class... Defs>
consteval auto functions(Defs... defs) {
    return Functions<Defs...>{{defs...}};
}

// A constructor taking values of Types, from which the state is built in place.
template <class... Types>
struct Init {
    std::array<Arg, sizeof...(Types)> args;
};

template <class... Types, class... Args>
consteval Init<Types...> init(Args... args) {
    return {{args...}};
}

// A class whose instances hold one State, built by the constructor and
// destroyed with the instance; the methods in their order in the class.
template <class StateType, class InitType, class... Defs>
struct Class {
    using State = StateType;
    static constexpr bool is_class = true;
    const char* name;
    InitType init;
    std::tuple<Defs...> defs;
    constexpr const char* class_name() const { return name; }
};

template <class State, class InitType, class... Defs>
consteval auto class_(const char* name, InitType init, Defs... defs) {
    return Class<State, InitType, Defs...>{name, init, {defs...}};
}

namespace detail {

// Compile-time text: written once to measure it, then into an array of that size.
struct TextSize {
    std::size_t size = 0;
    constexpr void put(std::string_view text) { size += text.size(); }
};

template <std::size_t N>
struct TextArray {
    std::array<char, N + 1> chars{};
    std::size_t at = 0;
    constexpr void put(std::string_view text) {
        for (char c : text) chars[at++] = c;
    }
};

// Writer is a type with `static constexpr void write(auto& sink)`.
template <class Writer>
constexpr auto make_text() {
    constexpr std::size_t size = [] {
        TextSize sink;
        Writer::write(sink);
        return sink.size;
    }();
    TextArray<size> sink;
    Writer::write(sink);
    return sink.chars;
}

template <class Sink>
constexpr void put_number(Sink& sink, unsigned long long value) {
    char digits[20] = {};
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) sink.put(std::string_view(&digits[--count], 1));
}

// "name($self, a, b=1)\n--\n\n" and the body: the form from which CPython
// takes __text_signature__ and, after it, __doc__.
template <class Sink, std::size_t N>
constexpr void put_signature(Sink& sink, std::string_view name, bool method, const std::array<Arg, N>& args,
                             std::string_view body) {
    sink.put(name);
    sink.put("(");
    if (method) sink.put("$self");
    for (std::size_t i = 0; i < N; ++i) {
        if (method || i > 0) sink.put(", ");
        sink.put(args[i].name);
        if (!args[i].has_default) continue;
        sink.put("=");
        if (args[i].is_bool)
            sink.put(args[i].value != 0 ? "True" : "False");
        else
            put_number(sink, args[i].value);
    }
    sink.put(")\n--\n\n");
    sink.put(body);
}

template <std::size_t N>
constexpr std::array<const char*, N> names_of(const std::array<Arg, N>& args) {
    std::array<const char*, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = args[i].name;
    return names;
}

// The parameters without a default, which must all come first.
template <std::size_t N>
constexpr std::size_t required_count(const std::array<Arg, N>& args) {
    std::size_t required = 0;
    while (required < N && !args[required].has_default) ++required;
    for (std::size_t i = required; i < N; ++i)
        if (!args[i].has_default) throw "a parameter without a default follows one with a default";
    return required;
}

template <class Tuple, std::size_t Skip, class = std::make_index_sequence<std::tuple_size_v<Tuple> - Skip>>
struct DropFront;
template <class Tuple, std::size_t Skip, std::size_t... I>
struct DropFront<Tuple, Skip, std::index_sequence<I...>> {
    using type = std::tuple<std::remove_cvref_t<std::tuple_element_t<Skip + I, Tuple>>...>;
};

struct NoState {};

// What an operation takes: [State&] [Caller&] values...
template <class Operation, bool Method>
struct Shape;
template <class R, class... Params, bool Method>
struct Shape<R (*)(Params...), Method> {
    using All = std::tuple<Params...>;
    static constexpr std::size_t receivers = Method ? 1 : 0;
    static constexpr bool takes_caller = [] {
        if constexpr (sizeof...(Params) > receivers)
            return std::is_same_v<std::tuple_element_t<receivers, All>, Caller&>;
        else
            return false;
    }();
    using Values = typename DropFront<All, receivers + (takes_caller ? 1 : 0)>::type;
};

// Converts the bound arguments in parameter order; the first failure ends it.
// Holder names the callable: its Values, args and signature.
template <class Holder, std::size_t... I>
Result<typename Holder::Values, Error> convert_all(const ArgumentSlots& slots, std::index_sequence<I...>) {
    using Values = typename Holder::Values;
    Values values{};
    Error error = Error::lazy(PyExc_SystemError, {});
    [[maybe_unused]] auto convert_one = [&]<std::size_t J>(std::integral_constant<std::size_t, J>) {
        using T = std::tuple_element_t<J, Values>;
        if (slots[J] == nullptr) {
            // Left out, so optional: its default applies without conversion.
            if constexpr (Holder::args[J].has_default) {
                std::get<J>(values) = static_cast<T>(Holder::args[J].value);
                return true;
            } else {
                panic("a required argument of " + Holder::signature.full_name() + " was not bound");
            }
        }
        auto converted = extract<T>(slots[J]);
        if (!converted) {
            error = argument_error(Holder::args[J].name, std::move(converted).error());
            return false;
        }
        std::get<J>(values) = std::move(converted).value();
        return true;
    };
    if ((convert_one(std::integral_constant<std::size_t, I>{}) && ...)) return values;
    return fail(std::move(error));
}

template <class Holder>
Result<typename Holder::Values, Error> convert_all(const ArgumentSlots& slots) {
    return convert_all<Holder>(slots, std::make_index_sequence<Holder::N>{});
}

template <class>
struct InitValues;
template <class... Types>
struct InitValues<Init<Types...>> {
    using type = std::tuple<Types...>;
};

template <class T>
PyObject* raise(T&& failed) {
    std::forward<T>(failed).error().raise();
    return nullptr;
}

template <class F>
PyCFunction as_pycfunction(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// An instance of a declared class. The allocation is zero-filled and `built`
// is set only once the constructor has built the state in it: an instance
// made some other way (object.__new__, after the class's __new__ was
// replaced) has no state, which its methods refuse and its deallocation
// leaves alone.
template <class State>
struct Instance {
    PyObject_HEAD bool built;
    State state;
};

template <const auto& Owner>
struct ClassType;

// The state of the receiver of a method, or TypeError when self is not an
// instance of the class.
template <const auto& Owner>
auto receiver(PyObject* self) {
    if constexpr (Owner.is_class) {
        return ClassType<Owner>::receiver(self);
    } else {
        static NoState none;
        return Result<NoState*, Error>(&none);
    }
}

}  // namespace detail

// The I-th callable of a family or class.
template <const auto& Owner, std::size_t I>
struct Callable {
    static constexpr const auto& decl = std::get<I>(Owner.defs);
    static constexpr std::size_t N = decl.args.size();
    static constexpr const std::array<Arg, N>& args = decl.args;
    using Shape = detail::Shape<decltype(decl.operation), Owner.is_class>;
    using Values = typename Shape::Values;
    static_assert(std::tuple_size_v<Values> == N, "one parameter name per value the operation takes");
    static_assert(N <= kMaxParameters);

    static constexpr auto names = detail::names_of(args);
    static constexpr FunctionSignature signature{decl.name, Owner.class_name(), names, detail::required_count(args)};
    struct DocWriter {
        static constexpr void write(auto& sink) {
            detail::put_signature(sink, decl.name, Owner.is_class, args, decl.doc);
        }
    };
    static constexpr auto doc = detail::make_text<DocWriter>();

    static PyObject* call(PyObject* self, PyObject* const* arguments, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        return panic_guard([&]() -> PyObject* {
            auto state = detail::receiver<Owner>(self);
            if (!state) return detail::raise(std::move(state));
            ArgumentSlots slots{};
            if (auto bound = bind_arguments(signature, arguments, nargs, kwnames, slots); !bound)
                return detail::raise(std::move(bound));
            auto values = detail::convert_all<Callable>(slots);
            if (!values) return detail::raise(std::move(values));
            PythonCaller caller;
            auto run = [&] { return invoke(*state.value(), caller, values.value()); };
            if constexpr (decl.lock == Lock::released) {
                auto outcome = [&] {
                    Released released(caller);
                    return run();
                }();
                return finish(std::move(outcome));
            } else {
                return finish(run());
            }
        });
    }

    static PyObject* call_noargs(PyObject* self, PyObject*) noexcept { return call(self, nullptr, 0, nullptr); }

    static PyMethodDef record() {
        if constexpr (N == 0)
            return {decl.name, &call_noargs, METH_NOARGS, doc.data()};
        else
            return {decl.name, detail::as_pycfunction(&call), METH_FASTCALL | METH_KEYWORDS, doc.data()};
    }

private:
    template <class State>
    static auto invoke(State& state, Caller& caller, Values& values) {
        return std::apply(
            [&](auto&... value) {
                if constexpr (Owner.is_class && Shape::takes_caller)
                    return decl.operation(state, caller, value...);
                else if constexpr (Owner.is_class)
                    return decl.operation(state, value...);
                else if constexpr (Shape::takes_caller)
                    return decl.operation(caller, value...);
                else
                    return decl.operation(value...);
            },
            values);
    }
};

namespace detail {

// The method records of a family or class, ending with the sentinel CPython
// looks for. METH_STATIC is left out on purpose: CPython 3.14 then binds no
// receiver, and a module function's __self__ must be the module.
template <const auto& Owner, std::size_t... I>
std::span<PyMethodDef> method_records(std::index_sequence<I...>) {
    static PyMethodDef records[] = {Callable<Owner, I>::record()..., {nullptr, nullptr, 0, nullptr}};
    return std::span(records, sizeof...(I));
}

template <const auto& Owner>
std::span<PyMethodDef> method_records() {
    return method_records<Owner>(std::make_index_sequence<std::tuple_size_v<decltype(Owner.defs)>>{});
}

template <const auto& Owner>
struct ClassType {
    using State = typename std::remove_cvref_t<decltype(Owner)>::State;
    using Object = Instance<State>;
    static constexpr std::size_t N = Owner.init.args.size();
    static constexpr const std::array<Arg, N>& args = Owner.init.args;
    using Values = typename InitValues<std::remove_cvref_t<decltype(Owner.init)>>::type;

    static constexpr auto names = names_of(args);
    static constexpr FunctionSignature signature{"__new__", Owner.name, names, required_count(args)};
    struct DocWriter {
        static constexpr void write(auto& sink) { put_signature(sink, Owner.name, false, args, ""); }
    };
    struct QualifiedNameWriter {
        static constexpr void write(auto& sink) {
            sink.put("builtins.");
            sink.put(Owner.name);
        }
    };
    static constexpr auto doc = make_text<DocWriter>();
    static constexpr auto qualified_name = make_text<QualifiedNameWriter>();
    static inline OnceCell cell;

    // Created on first use and kept for the life of the process (a borrowed
    // reference); null with an exception set when creation fails.
    static PyObject* get() {
        return cell.get_or_init([]() -> PyObject* {
            static PyType_Slot slots[] = {
                {Py_tp_doc, const_cast<char*>(doc.data())},         {Py_tp_new, reinterpret_cast<void*>(&construct)},
                {Py_tp_methods, method_records<Owner>().data()},    {Py_tp_base, &PyBaseObject_Type},
                {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)}, {0, nullptr},
            };
            // Default flags only: not subclassable, no GC, no __dict__, no weak
            // references, and the class object's attributes stay settable.
            static PyType_Spec spec = {qualified_name.data(), static_cast<int>(sizeof(Object)), 0, Py_TPFLAGS_DEFAULT,
                                       slots};
            Ref type = Ref::steal(PyType_FromSpec(&spec));
            if (!type) return nullptr;
            // The docstring is only the text signature: with no body, __doc__
            // is None, as for the methods.
            if (PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return nullptr;
            return type.release();
        });
    }

    static Result<State*, Error> receiver(PyObject* self) {
        PyObject* type = get();
        if (type == nullptr) return fail(Error::fetch());
        if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type)))
            return fail(downcast_error(self, Owner.name));
        auto* instance = reinterpret_cast<Object*>(self);
        if (!instance->built)
            return fail(type_error(std::string(Owner.name) + " object was not initialised by its constructor"));
        return &instance->state;
    }

    // Py_tp_new: binds the tuple and dict with the same rules as the methods,
    // converts, and builds the state in place in the freshly allocated object.
    static PyObject* construct(PyTypeObject* type, PyObject* arguments, PyObject* kwargs) noexcept {
        return panic_guard([&]() -> PyObject* {
            ArgumentSlots slots{};
            if (auto bound = bind_arguments(signature, arguments, kwargs, slots); !bound)
                return raise(std::move(bound));
            auto values = convert_all<ClassType>(slots);
            if (!values) return raise(std::move(values));
            auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
            PyObject* self = alloc(type, 0);
            if (self == nullptr) {
                Error::fetch().raise();
                return nullptr;
            }
            try {
                std::apply([&](auto&... value) { new (&reinterpret_cast<Object*>(self)->state) State(value...); },
                           values.value());
                reinterpret_cast<Object*>(self)->built = true;
            } catch (...) {
                free_instance(self);
                throw;
            }
            return self;
        });
    }

    // Destroys the state; a QMP client closes its connection without sending anything.
    static void dealloc(PyObject* self) {
        if (auto* instance = reinterpret_cast<Object*>(self); instance->built) instance->state.~State();
        free_instance(self);
    }

    static void free_instance(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_object(self);
        Py_DECREF(type);  // instances of heap types hold a reference to their type
    }
};

}  // namespace detail

// The families, each declared in its own file. Functions come in registration
// order, which is also their order in __all__: probes and networking, disk,
// HTTP API; the QMP class comes after them.
std::span<PyMethodDef> probe_and_networking_functions();
std::span<PyMethodDef> disk_functions();
std::span<PyMethodDef> http_api_functions();
// The class's type object (borrowed); null with an exception set on failure.
PyObject* qmp_client_type();

}  // namespace corvane::py
