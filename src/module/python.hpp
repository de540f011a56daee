// The one place that includes Python.h, so that PY_SSIZE_T_CLEAN is always set
// first, and the two object holders every other file uses: an owned reference
// and a process-wide object made on first use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>

namespace corvane::py {

// An owned reference to a Python object. Only used with the interpreter lock held.
struct DecRef {
    void operator()(PyObject* object) const { Py_DECREF(object); }
};

class Ref : public std::unique_ptr<PyObject, DecRef> {
public:
    using unique_ptr::unique_ptr;
    static Ref steal(PyObject* object) { return Ref(object); }
};

// A process-wide object made on first use and never released. PyMutex detaches
// the thread while it waits, so a thread that holds the interpreter lock cannot
// deadlock against the one that is creating the object.
class OnceCell {
public:
    // Returns the object (a borrowed reference), creating it with make() on first
    // use; make returns a new reference or null with an exception set.
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (PyObject* existing = object_.load(std::memory_order_acquire)) return existing;
        PyMutex_Lock(&mutex_);
        PyObject* object = object_.load(std::memory_order_acquire);
        if (object == nullptr) {
            object = make();
            if (object != nullptr) object_.store(object, std::memory_order_release);
        }
        PyMutex_Unlock(&mutex_);
        return object;
    }

    // The object if it was made already, else null; never makes it.
    PyObject* get_if_made() const { return object_.load(std::memory_order_acquire); }

private:
    std::atomic<PyObject*> object_{nullptr};
    PyMutex mutex_{};
};

// An interned attribute name made once per process.
inline PyObject* interned(OnceCell& cell, const char* text) {
    return cell.get_or_init([text] { return PyUnicode_InternFromString(text); });
}

}  // namespace corvane::py
