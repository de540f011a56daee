#include "firecracker/http.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "core/duration.hpp"

namespace corvane::firecracker {
namespace {

constexpr double kAttemptTimeout = 1.0;
constexpr Duration kPause{0, 25'000'000};

// A path with a NUL byte cannot name a file, so it cannot be examined either.
bool can_examine(std::string_view socket_path) {
    if (socket_path.find('\0') != std::string_view::npos) return false;
    const std::string path(socket_path);
    struct stat status{};
    return ::stat(path.c_str(), &status) == 0;
}

// Errors and other statuses (204 included) only mean "not yet"; the one
// failure kept is a signal at which the caller asked to give up.
Result<bool, FirecrackerError> api_answers(std::string_view socket_path) {
    auto reply = http_unix_request(socket_path, "GET", "/", std::nullopt, kAttemptTimeout);
    if (!reply && reply.error().interrupted()) return std::move(reply).take_failure();
    return reply && reply->status == 200;
}

}  // namespace

Result<Unit, FirecrackerError> wait_for_socket(std::string_view socket_path, double timeout) {
    const Instant deadline = api_deadline(api_timeout(timeout));
    while (!reached(deadline)) {
        if (can_examine(socket_path)) {
            auto answers = api_answers(socket_path);
            if (!answers) return std::move(answers).take_failure();
            if (*answers) return Unit{};
        }
        if (!sleep_for(kPause)) return fail(FirecrackerError::io(IoError::from_errno(EINTR)));
    }
    return fail(FirecrackerError::message("wait_for_socket timed out"));
}

}  // namespace corvane::firecracker
