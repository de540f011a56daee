// The client object behind the Python class: one QmpConnection behind a mutex,
// and what each of its methods does, on plain values. Time arguments are
// converted before the mutex is taken, so a value that cannot be represented
// fails the call without touching the connection or poisoning the lock.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "core/caller.hpp"
#include "core/result.hpp"
#include "qmp/connection.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

// A process forked while another thread held a client's mutex could never
// take it in the child, and would share the parent's socket: so every live
// client is registered, and in a forked child each one starts afresh, its
// mutex free and its connection closed (the child's own copies of the
// descriptors; nothing is sent), ready to connect again.
struct ClientState {
    explicit ClientState(std::string_view socket_path);
    ~ClientState();
    ClientState(const ClientState&) = delete;
    ClientState& operator=(const ClientState&) = delete;

    // Serialises every operation on the connection, a whole job wait included.
    std::timed_mutex mutex;
    // Set when an operation was abandoned by a panic while it held the mutex:
    // the connection may then be in the middle of a line, so nothing more is
    // sent on it. Guarded by the mutex.
    bool poisoned = false;
    // The thread whose operation holds the mutex. A signal handler runs on
    // that thread while the operation waits; its own call on the client is
    // refused at once rather than waiting for the mutex its thread holds.
    std::atomic<std::thread::id> owner{};
    QmpConnection connection;

    // The other live clients, guarded by the registry's mutex (client.cpp).
    ClientState* previous = nullptr;
    ClientState* next = nullptr;
};

// Takes the client's mutex. While another thread's operation holds it, the
// wait runs in slices, between which the signal handlers run (through
// retry_after_signal) as in any other blocking wait: one that raises ends the
// wait at once, and the call fails with EINTR (the handler's exception is
// what its caller gets).
Result<std::unique_lock<std::timed_mutex>, QmpError> lock_client(ClientState& client);

// Records the owner for the life of a scope that holds the mutex.
class Owning {
public:
    explicit Owning(ClientState& client) : owner_(client.owner) {
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    ~Owning() { owner_.store(std::thread::id(), std::memory_order_relaxed); }
    Owning(const Owning&) = delete;
    Owning& operator=(const Owning&) = delete;

private:
    std::atomic<std::thread::id>& owner_;
};

// Whether this thread's operation holds the mutex: a call made from a signal
// handler in the middle of it. (Only this thread ever stores its own id.)
inline bool used_by_this_thread(const ClientState& client) {
    return client.owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

// Runs operation(connection) with the client's mutex held; LockPoisoned when
// an earlier operation panicked while holding it. The flag is set before the
// mutex is given back. Memory that runs out is no broken invariant: the
// connection, which may be in the middle of a line, is closed, and the client
// stays usable (the next command connects afresh).
template <class Operation>
auto with_connection(ClientState& client, Operation&& operation) -> decltype(operation(client.connection)) {
    if (used_by_this_thread(client)) return fail(QmpError::reentered(client.connection.socket_path()));
    auto lock = lock_client(client);
    if (!lock) return std::move(lock).take_failure();
    if (client.poisoned) return fail(QmpError::lock_poisoned());
    Owning owning(client);
    try {
        return operation(client.connection);
    } catch (const std::bad_alloc&) {
        client.connection.close();
        throw;
    } catch (...) {
        client.poisoned = true;
        throw;
    }
}

// A method operation made from a connection operation: the same call, with
// the client's mutex held (Locked<&dismiss_job>::call(client, job_id)). The
// snapshot, block-snapshot and dismissal methods need nothing more.
template <auto Operation>
struct Locked;
template <class R, class... Args, R (*Operation)(QmpConnection&, Args...)>
struct Locked<Operation> {
    static R call(ClientState& client, Args... args) {
        return with_connection(client, [&](QmpConnection& connection) { return Operation(connection, args...); });
    }
};

// These run while the caller is released.
Result<Unit, QmpError> client_connect(ClientState& client, double timeout, double read_timeout);
Result<Unit, QmpError> client_stop_vm(ClientState& client);
Result<Unit, QmpError> client_cont(ClientState& client);
Result<std::string, QmpError> client_query_jobs(ClientState& client);
Result<std::string, QmpError> client_wait_for_job(ClientState& client, std::string_view job_id, double timeout,
                                                  double poll_interval);

// These start with the caller still in: execute parses arguments_json first
// and releases the caller for the I/O (a parse failure only reads the socket
// path under the mutex); close does no I/O. Either releases the caller while
// it waits for another thread's operation to give the mutex back.
Result<std::string, QmpError> client_execute(ClientState& client, Caller& caller, std::string_view command,
                                             std::optional<std::string_view> arguments_json);
Result<Unit, QmpError> client_close(ClientState& client, Caller& caller);

}  // namespace corvane::qmp
