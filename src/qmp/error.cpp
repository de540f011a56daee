#include "qmp/error.hpp"

#include <utility>

#include "json/write.hpp"

namespace corvane::qmp {
namespace {

using json::Value;

Value path_context(std::string_view socket_path) {
    Value::Object context;
    context.emplace("socket_path", Value::text(socket_path));
    return Value::object(std::move(context));
}

}  // namespace

std::string QmpError::text() const {
    // "context" sorts before "message", so the members are written in that order.
    std::string out;
    out.reserve(128);
    out += "{\"context\":";
    json::write_json_compact(context, out);
    out += ",\"message\":";
    json::write_json_string(message, out);
    out += '}';
    return out;
}

QmpError QmpError::socket_timeout(std::string_view socket_path) {
    return QmpError{"Timed out waiting for QMP socket", path_context(socket_path)};
}

QmpError QmpError::invalid_greeting(std::string_view socket_path, Value greeting) {
    Value context = path_context(socket_path);
    context.as_object().emplace("greeting", std::move(greeting));
    return QmpError{"Invalid QMP greeting", std::move(context)};
}

QmpError QmpError::not_connected(std::string_view socket_path) {
    return QmpError{"QMP client is not connected", path_context(socket_path)};
}

QmpError QmpError::socket_closed(std::string_view socket_path) {
    return QmpError{"QMP socket closed unexpectedly", path_context(socket_path)};
}

QmpError QmpError::command_failed(std::string_view socket_path, std::string_view command, Value class_name,
                                  Value desc) {
    Value context = path_context(socket_path);
    auto& members = context.as_object();
    members.emplace("command", Value::text(command));
    members.emplace("class", std::move(class_name));
    members.emplace("desc", std::move(desc));
    std::string message = "QMP command '";
    message.append(command);
    message += "' failed";
    return QmpError{std::move(message), std::move(context)};
}

QmpError QmpError::unexpected_jobs_response(Value result) {
    Value::Object context;
    context.emplace("result", std::move(result));
    return QmpError{"Unexpected QMP query-jobs response", Value::object(std::move(context))};
}

QmpError QmpError::job_failed(std::string_view socket_path, std::string_view job_id, std::string_view job_type,
                              std::string_view status, std::string_view error) {
    Value context = path_context(socket_path);
    auto& members = context.as_object();
    members.emplace("job_id", Value::text(job_id));
    members.emplace("job_type", Value::text(job_type));
    members.emplace("status", Value::text(status));
    members.emplace("error", Value::text(error));
    return QmpError{"QMP job failed", std::move(context)};
}

QmpError QmpError::job_timeout(std::string_view socket_path, std::string_view job_id, Value last_status) {
    Value context = path_context(socket_path);
    auto& members = context.as_object();
    members.emplace("job_id", Value::text(job_id));
    members.emplace("last_status", std::move(last_status));
    return QmpError{"Timed out waiting for QMP job", std::move(context)};
}

QmpError QmpError::at_socket(std::string message, std::string_view socket_path) {
    return QmpError{std::move(message), path_context(socket_path)};
}

QmpError QmpError::reentered(std::string_view socket_path) {
    return at_socket("client already in use by a call on this thread (called from a signal handler)", socket_path);
}

QmpError QmpError::lock_poisoned() { return QmpError{"QMP client lock is poisoned", Value::object()}; }

}  // namespace corvane::qmp
