// One HTTP/1.1 exchange with the VM monitor's API over a Unix-domain socket:
// a fresh connection, one request, one response, closed on every path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "firecracker/firecracker_error.hpp"

namespace corvane::firecracker {

struct HttpReply {
    std::uint16_t status = 0;
    // Absent for a 204 and for an empty body; invalid UTF-8 is replaced.
    std::optional<std::string> body;
};

// The exact bytes sent: request line, the fixed headers with the body's byte
// length, a blank line, the body.
std::string request_text(std::string_view method, std::string_view path, std::optional<std::string_view> body);

// `timeout` (seconds, at least 1 ms) bounds each send and receive and the
// connect, not the exchange as a whole. A timeout of 2^64 seconds or more panics.
Result<HttpReply, FirecrackerError> http_unix_request(std::string_view socket_path, std::string_view method,
                                                      std::string_view path, std::optional<std::string_view> body,
                                                      double timeout);

}  // namespace corvane::firecracker
