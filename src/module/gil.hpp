// The interpreter lock at the boundary: which wrapper frames hold it, and
// allow_threads, which runs native work with it released.
#pragma once

#include <type_traits>
#include <utility>

#include "module/python.hpp"

namespace corvane::py {

// Number of wrapper frames on this thread that hold the interpreter lock;
// zero inside allow_threads.
int& attachment_count();

// One wrapper frame.
class AttachScope {
public:
    AttachScope() { ++attachment_count(); }
    ~AttachScope() { --attachment_count(); }
    AttachScope(const AttachScope&) = delete;
    AttachScope& operator=(const AttachScope&) = delete;
};

// Runs work with the interpreter lock released. The lock is taken back on
// every way out, a panic unwinding through here included. work must not touch
// any Python object.
template <class Work>
decltype(auto) allow_threads(Work&& work) {
    class Released {
    public:
        Released() : saved_count_(std::exchange(attachment_count(), 0)), state_(PyEval_SaveThread()) {}
        ~Released() {
            PyEval_RestoreThread(state_);
            attachment_count() = saved_count_;
        }
        Released(const Released&) = delete;
        Released& operator=(const Released&) = delete;

    private:
        int saved_count_;
        PyThreadState* state_;
    };
    Released released;
    return std::forward<Work>(work)();
}

}  // namespace corvane::py
