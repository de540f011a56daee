// What a native operation may ask of whoever called it, without knowing who
// that is. The Python bindings implement it: they give up the interpreter lock
// while the operation waits, so that the process's other threads run.
#pragma once

#include <cerrno>
#include <cstdint>
#include <utility>

#include "core/duration.hpp"

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
    // that retry on EINTR call it before retrying (through retry_after_signal).
    // Called while released.
    virtual bool interrupted() { return true; }

protected:
    ~Caller() = default;
};

// The caller of the operation that runs on this thread, while it is released
// (set by Released), else null.
inline thread_local Caller* released_caller = nullptr;

// For a loop whose blocking call failed with EINTR: whether to call again.
// False when the caller asks the operation to give up; the operation then
// fails with EINTR, which no other failure of a blocking call carries (every
// other interruption is retried). errno is kept: the handlers that run
// meanwhile may change it.
inline bool retry_after_signal() {
    if (released_caller == nullptr) return true;
    const int saved = errno;
    const bool go_on = released_caller->interrupted();
    errno = saved;
    return go_on;
}

// For a long run of work whose system calls never wait for a signal (reads
// and writes of regular files are not interrupted, so no EINTR ever asks the
// caller): between pieces of the work, the caller is asked as after an EINTR
// once kInterval has passed since it was last asked. The clock is read once
// per kWorkPerReading of work, counting kWorkPerCall for each piece besides
// its bytes, so that a piece costs next to nothing.
class SignalCheckpoint {
public:
    // After `bytes` more of work: whether to go on (false when the caller asks
    // the operation to give up, which then fails with EINTR).
    bool pass(std::uint64_t bytes) {
        work_ += bytes + kWorkPerCall;
        if (work_ < kWorkPerReading || released_caller == nullptr) return true;
        work_ = 0;
        const Instant now = Instant::now();
        if (now < next_) return true;
        next_ = after_interval(now);
        return released_caller->interrupted();
    }

private:
    static constexpr Duration kInterval{0, 50'000'000};
    static constexpr std::uint64_t kWorkPerCall = 16384;
    static constexpr std::uint64_t kWorkPerReading = 1 << 20;

    static Instant after_interval(Instant now) { return checked_add(now, kInterval).value_or(Instant::max()); }

    std::uint64_t work_ = 0;
    Instant next_ = after_interval(Instant::now());
};

// The caller released for the life of a scope, resumed on every way out (a
// panic unwinding through it included).
class Released {
public:
    explicit Released(Caller& caller) : caller_(caller), outer_(std::exchange(released_caller, &caller)) {
        caller_.release();
    }
    ~Released() {
        caller_.resume();
        released_caller = outer_;
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    Caller& caller_;
    Caller* outer_;
};

}  // namespace corvane
