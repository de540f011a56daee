#include "core/sleep.hpp"

#include <cerrno>
#include <ctime>
#include <limits>

namespace corvane {

void sleep_for(std::chrono::nanoseconds duration) {
    if (duration <= std::chrono::nanoseconds::zero()) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec request{};
    request.tv_sec = static_cast<time_t>(seconds.count());
    request.tv_nsec = static_cast<long>((duration - seconds).count());
    timespec remaining{};
    while (::nanosleep(&request, &remaining) == -1 && errno == EINTR) request = remaining;
}

}  // namespace corvane
