// What each _QmpClient method does, on plain values. All but `execute` and
// `close` run with the interpreter lock released; they take the client's
// mutex themselves. Time arguments are converted before the mutex is taken,
// so a value that cannot be represented fails the call without touching the
// connection or poisoning the lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "qmp/client_state.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

Result<Unit, QmpError> client_connect(ClientState& client, double timeout, double read_timeout);
// Lock held on entry: parses arguments_json first, then releases the lock for
// the I/O. A parse failure only reads the socket path under the mutex.
Result<std::string, QmpError> client_execute(ClientState& client, std::string_view command,
                                             std::optional<std::string_view> arguments_json);
// The snapshot, block-snapshot and dismissal methods need nothing beyond the
// mutex: they are Locked<&operation>::call (client_state.hpp).
Result<Unit, QmpError> client_stop_vm(ClientState& client);
Result<Unit, QmpError> client_cont(ClientState& client);
Result<std::string, QmpError> client_query_jobs(ClientState& client);
Result<std::string, QmpError> client_wait_for_job(ClientState& client, std::string_view job_id, double timeout,
                                                  double poll_interval);
// Lock held: closing does no I/O. Waiting for another thread's operation to
// give the mutex back happens with the interpreter lock released.
Result<Unit, QmpError> client_close(ClientState& client);

}  // namespace corvane::qmp
