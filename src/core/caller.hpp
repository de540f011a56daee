// What a native operation may ask of whoever called it, without knowing who
// that is. The Python bindings implement it: they give up the interpreter lock
// while the operation waits, so that the process's other threads run.
#pragma once

namespace corvane {

class Caller {
public:
    // The operation is about to wait (for a mutex, on I/O) and touches nothing
    // of the caller's until the matching resume(). They come in pairs and may
    // nest (only the outermost pair counts); use Released rather than calling
    // them directly.
    virtual void release() = 0;
    virtual void resume() = 0;

    // A blocking call of the operation was interrupted by a signal. The caller
    // may act on it first; false asks the operation to give up and fail. Loops
    // that retry on EINTR call it before retrying.
    virtual bool interrupted() { return true; }

protected:
    ~Caller() = default;
};

// The caller released for the life of a scope, resumed on every way out (a
// panic unwinding through it included).
class Released {
public:
    explicit Released(Caller& caller) : caller_(caller) { caller_.release(); }
    ~Released() { caller_.resume(); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    Caller& caller_;
};

}  // namespace corvane
