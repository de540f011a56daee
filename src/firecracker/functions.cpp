#include "firecracker/functions.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "firecracker/http.hpp"
#include "module/wrapper.hpp"

namespace corvane::firecracker {

// Both kinds reach Python as OSError with the one text.
py::Error to_python_error(const FirecrackerError& error) { return py::os_error(error.text()); }

}  // namespace corvane::firecracker

namespace corvane::py::firecracker {
namespace {

using corvane::firecracker::FirecrackerError;
using std::string_view;

Result<std::pair<std::int64_t, std::optional<std::string>>, FirecrackerError> request(
    string_view socket_path, string_view method, string_view path, std::optional<string_view> body_json,
    double timeout) {
    auto reply = corvane::firecracker::http_unix_request(socket_path, method, path, body_json, timeout);
    if (!reply) return std::move(reply).take_failure();
    return std::pair{static_cast<std::int64_t>(reply->status), std::move(reply->body)};
}

Result<Unit, FirecrackerError> wait_for_socket(string_view socket_path, double timeout) {
    return corvane::firecracker::wait_for_socket(socket_path, timeout);
}

constexpr const char* kRequestParams[] = {"socket_path", "method", "path", "body_json", "timeout"};
constexpr const char* kWaitParams[] = {"socket_path", "timeout"};

constexpr FunctionSignature kRequest{"firecracker_request", nullptr, kRequestParams, 0, 5};
constexpr FunctionSignature kWait{"firecracker_wait_for_socket", nullptr, kWaitParams, 0, 2};

}  // namespace

PyMethodDef firecracker_request{
    "firecracker_request", as_pycfunction(&fastcall_function<kRequest, Lock::released, &request>), kFastcallFlags,
    "firecracker_request(socket_path, method, path, body_json, timeout)\n--\n\n"};
PyMethodDef firecracker_wait_for_socket{
    "firecracker_wait_for_socket", as_pycfunction(&fastcall_function<kWait, Lock::released, &wait_for_socket>),
    kFastcallFlags, "firecracker_wait_for_socket(socket_path, timeout)\n--\n\n"};

}  // namespace corvane::py::firecracker
