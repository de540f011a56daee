// The boundary, written once: the frame every entry point runs in, the
// interpreter lock as the core's Caller, and how Python arguments are bound to
// a callable's parameters.
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <span>
#include <string>

#include "core/caller.hpp"
#include "core/result.hpp"
#include "module/errors.hpp"
#include "module/python.hpp"

namespace corvane::py {

// Whether an operation runs with the interpreter lock held or released.
enum class Lock { held, released };

// The core's Caller for one call from Python: releasing it releases the
// interpreter lock, so the operation must not touch any Python object until
// it resumes.
class PythonCaller final : public Caller {
public:
    void release() override {
        if (depth_++ == 0) state_ = PyEval_SaveThread();
    }
    void resume() override {
        if (--depth_ == 0) PyEval_RestoreThread(state_);
    }
    // Runs the signal handlers with the lock taken for the moment (they run in
    // the main thread only, as everywhere in CPython). A handler that raised
    // leaves its exception set, ends the operation and is what the call
    // raises; once one is set, nothing more runs.
    bool interrupted() override {  // only while released
        PyEval_RestoreThread(state_);
        const bool go_on = !PyErr_Occurred() && PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return go_on;
    }

private:
    int depth_ = 0;
    PyThreadState* state_ = nullptr;
};

// The frame of every entry point: turns a panic anywhere inside into
// PanicException, and memory that ran out into MemoryError (everything the
// call held has been released on the way, as for a panic).
template <class Body>
PyObject* panic_guard(Body&& body) noexcept {
    try {
        return body();
    } catch (const Panic& p) {
        raise_panic(p.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        raise_panic("native code panicked");
    }
    return nullptr;
}

// How messages name a callable and which parameters it has. Every parameter is
// positional-or-keyword; the first `required` must be given.
struct FunctionSignature {
    const char* function_name;
    const char* class_name;  // null for module functions
    std::span<const char* const> parameters;
    std::size_t required = 0;

    // "NAME()" or "CLASS.NAME()".
    std::string full_name() const;
};

inline constexpr std::size_t kMaxParameters = 8;

// One borrowed argument per parameter; null where none was given.
using ArgumentSlots = std::array<PyObject*, kMaxParameters>;

// Vector-call form: args holds nargs positional values, then one value per
// name in kwnames (a tuple, or null).
Result<Unit, Error> bind_arguments(const FunctionSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, ArgumentSlots& slots);

// Constructor form: a tuple of positional values and a keyword dict (or null).
Result<Unit, Error> bind_arguments(const FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                                   ArgumentSlots& slots);

}  // namespace corvane::py
