// The VM monitor's HTTP API: one request per connection, and the wait for a
// freshly started monitor. Both run with the interpreter lock released.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "firecracker/http.hpp"
#include "module/declare.hpp"

namespace corvane::py {
namespace {

using firecracker::FirecrackerError;
using std::string_view;

// Any status comes back as (status, body).
Result<std::pair<std::int64_t, std::optional<std::string>>, FirecrackerError> request(
    string_view socket_path, string_view method, string_view path, std::optional<string_view> body_json,
    double timeout) {
    auto reply = firecracker::http_unix_request(socket_path, method, path, body_json, timeout);
    if (!reply) return std::move(reply).take_failure();
    return std::pair{static_cast<std::int64_t>(reply->status), std::move(reply->body)};
}

constexpr auto kFunctions = functions(
    def("firecracker_request", &request, Lock::released, kSocketPath, "method"_a, "path"_a, "body_json"_a, kTimeout),
    def("firecracker_wait_for_socket", &firecracker::wait_for_socket, Lock::released, kSocketPath, kTimeout));

}  // namespace

std::span<PyMethodDef> http_api_functions() { return detail::method_records<kFunctions>(); }

}  // namespace corvane::py
