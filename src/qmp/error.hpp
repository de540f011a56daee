// The error value of every QMP operation: its message and a context object.
// The boundary raises it as RuntimeError carrying {"context":{...},"message":"..."}.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace corvane::qmp {

struct QmpError {
    std::string message;
    json::Value context;  // always an object

    // Compact JSON with sorted members: {"context":{...},"message":"..."}.
    std::string text() const;

    static QmpError socket_timeout(std::string_view socket_path);
    static QmpError invalid_greeting(std::string_view socket_path, json::Value greeting);
    static QmpError not_connected(std::string_view socket_path);
    static QmpError socket_closed(std::string_view socket_path);
    // class_name and desc are JSON strings or null.
    static QmpError command_failed(std::string_view socket_path, std::string_view command, json::Value class_name,
                                   json::Value desc);
    static QmpError unexpected_jobs_response(json::Value result);
    static QmpError job_failed(std::string_view socket_path, std::string_view job_id, std::string_view job_type,
                               std::string_view status, std::string_view error);
    // last_status is a JSON string, or null when the job was never seen.
    static QmpError job_timeout(std::string_view socket_path, std::string_view job_id, json::Value last_status);
    // A failure of the stream (I/O, UTF-8, JSON) whose only context is the socket path.
    static QmpError at_socket(std::string message, std::string_view socket_path);
    static QmpError lock_poisoned();
    // A call from a signal handler that runs inside another call on the same client and thread.
    static QmpError reentered(std::string_view socket_path);
};

}  // namespace corvane::qmp
