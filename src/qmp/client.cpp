#include "qmp/client.hpp"

#include <utility>

#include "json/parse.hpp"
#include "json/write.hpp"
#include "core/duration.hpp"
#include "qmp/jobs.hpp"

namespace corvane::qmp {
namespace {

constexpr std::size_t kResultCapacity = 128;

// For the two calls that start with the caller still in: take the mutex at
// once when it is free; when another thread's operation holds it (doing I/O
// with its caller released), wait for it released too, so that the caller's
// other threads, and a peer served by one, keep running meanwhile.
std::unique_lock<std::mutex> lock_from_caller(ClientState& client, Caller& caller) {
    std::unique_lock lock(client.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        Released released(caller);
        lock.lock();
    }
    return lock;
}

Result<Unit, QmpError> discard(Result<json::Value, QmpError> reply) {
    if (!reply) return std::move(reply).take_failure();
    return Unit{};
}

}  // namespace

Result<Unit, QmpError> client_connect(ClientState& client, double timeout, double read_timeout) {
    const Duration total = seconds_to_duration(timeout);
    const Duration read = seconds_to_duration(read_timeout);
    require_deadline_in_range(total);
    return with_connection(client, [&](QmpConnection& connection) { return connection.connect(total, read); });
}

Result<std::string, QmpError> client_execute(ClientState& client, Caller& caller, std::string_view command,
                                             std::optional<std::string_view> arguments_json) {
    if (used_by_this_thread(client)) return fail(QmpError::reentered(client.connection.socket_path()));
    std::optional<json::Value> arguments;
    if (arguments_json) {
        auto parsed = json::parse_json_text(*arguments_json);
        if (!parsed) {
            // Only the socket path is needed, so no LockPoisoned here.
            std::string socket_path;
            {
                auto lock = lock_from_caller(client, caller);
                if (!client.poisoned) socket_path = client.connection.socket_path();
            }
            return fail(QmpError::json(parsed.error().text(), socket_path));
        }
        arguments = std::move(parsed).value();
    }
    Released released(caller);
    return with_connection(client, [&](QmpConnection& connection) -> Result<std::string, QmpError> {
        auto reply = qmp_execute(connection, command, arguments ? &*arguments : nullptr);
        if (!reply) return std::move(reply).take_failure();
        std::string text;
        text.reserve(kResultCapacity);
        json::write_json_compact(reply.value(), text);
        return text;
    });
}

Result<Unit, QmpError> client_stop_vm(ClientState& client) {
    return with_connection(client,
                           [](QmpConnection& connection) { return discard(qmp_execute(connection, "stop", nullptr)); });
}

Result<Unit, QmpError> client_cont(ClientState& client) {
    return with_connection(client,
                           [](QmpConnection& connection) { return discard(qmp_execute(connection, "cont", nullptr)); });
}

Result<std::string, QmpError> client_query_jobs(ClientState& client) {
    return with_connection(client, [](QmpConnection& connection) -> Result<std::string, QmpError> {
        auto jobs = query_jobs_native(connection);
        if (!jobs) return std::move(jobs).take_failure();
        std::string text;
        text.reserve(kResultCapacity);
        write_job_list(jobs.value(), text);
        return text;
    });
}

Result<std::string, QmpError> client_wait_for_job(ClientState& client, std::string_view job_id, double timeout,
                                                  double poll_interval) {
    const Duration total = seconds_to_duration(timeout);
    const Duration poll = seconds_to_duration(poll_interval);
    require_deadline_in_range(total);
    return with_connection(client, [&](QmpConnection& connection) -> Result<std::string, QmpError> {
        auto job = wait_for_job(connection, job_id, total, poll);
        if (!job) return std::move(job).take_failure();
        std::string text;
        text.reserve(kResultCapacity);
        write_job_info(job.value(), text);
        return text;
    });
}

Result<Unit, QmpError> client_close(ClientState& client, Caller& caller) {
    if (used_by_this_thread(client)) return fail(QmpError::reentered(client.connection.socket_path()));
    auto lock = lock_from_caller(client, caller);
    if (client.poisoned) return fail(QmpError::lock_poisoned());
    client.connection.close();
    return Unit{};
}

}  // namespace corvane::qmp
