#include "qmp/client.hpp"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <utility>

#include "core/duration.hpp"
#include "json/parse.hpp"
#include "qmp/jobs.hpp"

namespace corvane::qmp {
namespace {

constexpr std::size_t kResultCapacity = 128;

// How often a wait for a busy client's mutex lets the signal handlers run.
constexpr std::chrono::milliseconds kLockSlice{20};

// For the two calls that start with the caller still in: take the mutex at
// once when it is free; when another thread's operation holds it (doing I/O
// with its caller released), wait for it released too, so that the caller's
// other threads, and a peer served by one, keep running meanwhile.
Result<std::unique_lock<std::timed_mutex>, QmpError> lock_from_caller(ClientState& client, Caller& caller) {
    std::unique_lock lock(client.mutex, std::try_to_lock);
    if (lock.owns_lock()) return lock;
    Released released(caller);
    return lock_client(client);
}

// The live clients, for the fork handlers. The registry's mutex is held
// across a fork, so the child finds the list whole.
std::mutex registry_mutex;
ClientState* registry = nullptr;

void before_fork() { registry_mutex.lock(); }
void after_fork_in_parent() { registry_mutex.unlock(); }

void after_fork_in_child() {
    for (ClientState* client = registry; client != nullptr; client = client->next) {
        if (used_by_this_thread(*client)) {
            // The forking thread is inside a call on this client (a signal
            // handler forked): that call goes on and frees the mutex itself,
            // but never again reaches the parent's socket.
            client->connection.cut_off();
            continue;
        }
        // Whichever thread held the mutex does not exist here: a new mutex,
        // no owner (a new thread may get a vanished one's id).
        new (&client->mutex) std::timed_mutex();
        client->owner.store(std::thread::id(), std::memory_order_relaxed);
        client->poisoned = false;
        client->connection.close();
    }
    registry_mutex.unlock();
}

void register_fork_handlers() {
    static const int registered = ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    if (registered != 0)
        panic("cannot register the QMP client's fork handlers (error " + std::to_string(registered) + ")");
}

// A step's value written by `write` as the text handed back to the caller.
template <class T, class Write>
Result<std::string, QmpError> as_text(Result<T, QmpError> step, Write write) {
    if (!step) return std::move(step).take_failure();
    std::string text;
    text.reserve(kResultCapacity);
    write(step.value(), text);
    return text;
}

}  // namespace

ClientState::ClientState(std::string_view socket_path) : connection(std::string(socket_path)) {
    register_fork_handlers();
    std::lock_guard guard(registry_mutex);
    next = registry;
    if (next != nullptr) next->previous = this;
    registry = this;
}

ClientState::~ClientState() {
    std::lock_guard guard(registry_mutex);
    if (previous != nullptr)
        previous->next = next;
    else
        registry = next;
    if (next != nullptr) next->previous = previous;
}

Result<std::unique_lock<std::timed_mutex>, QmpError> lock_client(ClientState& client) {
    std::unique_lock lock(client.mutex, std::defer_lock);
    while (!lock.try_lock_for(kLockSlice)) {
        if (!retry_after_signal())
            return fail(QmpError::at_socket(IoError::from_errno(EINTR).text(), client.connection.socket_path()));
    }
    return lock;
}

Result<Unit, QmpError> client_connect(ClientState& client, double timeout, double read_timeout) {
    const Duration total = seconds_to_duration(timeout);
    const Duration read = seconds_to_duration(read_timeout);
    require_deadline_in_range(total);
    return with_connection(client, [&](QmpConnection& connection) { return connection.connect(total, read); });
}

Result<std::string, QmpError> client_execute(ClientState& client, Caller& caller, std::string_view command,
                                             std::optional<std::string_view> arguments_json) {
    if (used_by_this_thread(client)) return fail(QmpError::reentered(client.connection.socket_path()));
    std::optional<std::string> arguments;
    if (arguments_json) {
        auto parsed = json::compact_json_text(*arguments_json);
        if (!parsed) {
            // Only the socket path is needed, so no LockPoisoned here.
            std::string socket_path;
            {
                auto lock = lock_from_caller(client, caller);
                if (!lock) return std::move(lock).take_failure();
                if (!client.poisoned) socket_path = client.connection.socket_path();
            }
            return fail(QmpError::at_socket(parsed.error().text(), socket_path));
        }
        arguments = std::move(parsed).value();
    }
    Released released(caller);
    return with_connection(client, [&](QmpConnection& connection) {
        return qmp_execute(connection, command, arguments ? std::optional<std::string_view>(*arguments) : std::nullopt);
    });
}

Result<Unit, QmpError> client_stop_vm(ClientState& client) {
    return with_connection(client, [](QmpConnection& connection) { return qmp_run(connection, "stop"); });
}

Result<Unit, QmpError> client_cont(ClientState& client) {
    return with_connection(client, [](QmpConnection& connection) { return qmp_run(connection, "cont"); });
}

Result<std::string, QmpError> client_query_jobs(ClientState& client) {
    return with_connection(
        client, [](QmpConnection& connection) { return as_text(query_jobs_native(connection), write_job_list); });
}

Result<std::string, QmpError> client_wait_for_job(ClientState& client, std::string_view job_id, double timeout,
                                                  double poll_interval) {
    const Duration total = seconds_to_duration(timeout);
    const Duration poll = seconds_to_duration(poll_interval);
    require_deadline_in_range(total);
    return with_connection(client, [&](QmpConnection& connection) {
        return as_text(wait_for_job(connection, job_id, total, poll), write_job_info);
    });
}

Result<Unit, QmpError> client_close(ClientState& client, Caller& caller) {
    if (used_by_this_thread(client)) return fail(QmpError::reentered(client.connection.socket_path()));
    auto lock = lock_from_caller(client, caller);
    if (!lock) return std::move(lock).take_failure();
    if (client.poisoned) return fail(QmpError::lock_poisoned());
    client.connection.close();
    return Unit{};
}

}  // namespace corvane::qmp
