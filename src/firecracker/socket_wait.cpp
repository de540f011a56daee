#include "firecracker/http.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>

#include "core/duration.hpp"

namespace corvane::firecracker {
namespace {

constexpr double kAttemptTimeout = 1.0;
constexpr Duration kPause{0, 25'000'000};

// A path with a NUL byte cannot name a file, so it cannot be examined either.
bool can_examine(std::string_view socket_path) {
    if (socket_path.find('\0') != std::string_view::npos) return false;
    const std::string path(socket_path);
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

bool api_answers(std::string_view socket_path) {
    auto reply = http_unix_request(socket_path, "GET", "/", std::nullopt, kAttemptTimeout);
    // Errors and other statuses (204 included) only mean "not yet".
    return reply && reply->status == 200;
}

}  // namespace

Result<Unit, FirecrackerError> wait_for_socket(std::string_view socket_path, double timeout) {
    const Instant deadline = api_deadline(api_timeout(timeout));
    while (!reached(deadline)) {
        if (can_examine(socket_path) && api_answers(socket_path)) return Unit{};
        sleep_for(kPause);
    }
    return fail(FirecrackerError::message("wait_for_socket timed out"));
}

}  // namespace corvane::firecracker
