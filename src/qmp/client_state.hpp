// The native state of one _QmpClient object.
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "core/result.hpp"
#include "qmp/connection.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

struct ClientState {
    explicit ClientState(std::string socket_path) : connection(std::move(socket_path)) {}

    // Serialises every operation on the connection, a whole job wait included.
    std::mutex mutex;
    // Set when an operation was abandoned by a panic while it held the mutex:
    // the connection may then be in the middle of a line, so nothing more is
    // sent on it. Guarded by the mutex.
    bool poisoned = false;
    QmpConnection connection;
};

// Sets the flag when the scope is left by an exception (a panic).
class PoisonOnUnwind {
public:
    explicit PoisonOnUnwind(bool& flag) : flag_(flag), exceptions_(std::uncaught_exceptions()) {}
    ~PoisonOnUnwind() {
        if (std::uncaught_exceptions() > exceptions_) flag_ = true;
    }
    PoisonOnUnwind(const PoisonOnUnwind&) = delete;
    PoisonOnUnwind& operator=(const PoisonOnUnwind&) = delete;

private:
    bool& flag_;
    int exceptions_;
};

// Runs operation(connection) with the client's mutex held; LockPoisoned when
// an earlier operation panicked while holding it. The flag is set before the
// mutex is given back.
template <class Operation>
auto with_connection(ClientState& client, Operation&& operation) -> decltype(operation(client.connection)) {
    std::lock_guard lock(client.mutex);
    if (client.poisoned) return fail(QmpError::lock_poisoned());
    PoisonOnUnwind poison(client.poisoned);
    return operation(client.connection);
}

// A method operation made from a connection operation: the same call, with
// the client's mutex held (Locked<&dismiss_job>::call(client, job_id)).
template <auto Operation>
struct Locked;
template <class R, class... Args, R (*Operation)(QmpConnection&, Args...)>
struct Locked<Operation> {
    static R call(ClientState& client, Args... args) {
        return with_connection(client, [&](QmpConnection& connection) { return Operation(connection, args...); });
    }
};

}  // namespace corvane::qmp
