// A process-wide object made on first use and never released. PyMutex detaches
// the thread while it waits, so a thread that holds the interpreter lock cannot
// deadlock against the one that is creating the object.
#pragma once

#include <atomic>

#include "module/python.hpp"

namespace corvane::py {

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

private:
    std::atomic<PyObject*> object_{nullptr};
    PyMutex mutex_{};
};

// An interned attribute name made once per process.
PyObject* interned(OnceCell& cell, const char* text);

}  // namespace corvane::py
