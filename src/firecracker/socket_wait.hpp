// Waiting for a freshly started VM monitor until its API answers.
#pragma once

#include <string_view>

#include "core/result.hpp"
#include "firecracker/http_exchange.hpp"

namespace corvane::firecracker {

// Polls `GET /` until it answers 200 or `timeout` seconds (at least 1 ms)
// have passed, then fails with "wait_for_socket timed out". Every attempt is
// bounded by 1 second per send and receive and followed by a 25 ms pause; no
// connection is tried while the socket file cannot be examined.
Result<Unit, FirecrackerError> wait_for_socket(std::string_view socket_path, double timeout);

}  // namespace corvane::firecracker
