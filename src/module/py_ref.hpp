// An owned reference to a Python object. Only used with the interpreter lock held.
#pragma once

#include <utility>

#include "module/python.hpp"

namespace corvane::py {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }

    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* object = nullptr) { Py_XDECREF(std::exchange(object_, object)); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace corvane::py
