// Time as both clients count it. Python passes float seconds; they become a
// Duration (unsigned seconds and nanoseconds, like a timespec without a sign)
// and deadlines are instants of the monotonic clock. Nothing here wraps
// around: a value that cannot be represented is reported instead.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <optional>

namespace corvane {

struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanos = 0;  // below 1'000'000'000

    bool is_zero() const { return seconds == 0 && nanos == 0; }
    friend auto operator<=>(const Duration&, const Duration&) = default;
};

// The whole seconds in a system call's seconds type (time_t), saturated at its largest value.
template <class Seconds>
constexpr Seconds saturated_seconds(Duration duration) {
    constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<Seconds>::max());
    return static_cast<Seconds>(duration.seconds < most ? duration.seconds : most);
}

// Float seconds rounded to the nearest nanosecond, ties to even; zero and
// negative values (minus infinity included) give zero. NaN, infinity and
// values of 2^64 seconds or more give nullopt.
std::optional<Duration> duration_from_seconds(double seconds);

// A point of the monotonic clock.
struct Instant {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;

    static Instant now();
    static Instant max();
    friend auto operator<=>(const Instant&, const Instant&) = default;
};

// start + span, or nullopt when the sum is beyond the clock's range.
std::optional<Instant> checked_add(Instant start, Duration span);

inline bool reached(Instant deadline) { return Instant::now() >= deadline; }

// The time from now until the deadline; zero once it is reached.
Duration time_until(Instant deadline);

// Sleeps for the whole duration: after a signal it resumes with the time left,
// unless the caller asks to give up (retry_after_signal), which gives false.
// The caller is asked once before sleeping too, so a loop that pauses between
// attempts acts on signals that arrived outside any system call.
[[nodiscard]] bool sleep_for(Duration duration);

// --- The QMP client's rules --------------------------------------------------

// NaN, infinities, zero and negatives give zero; a value of 2^64 seconds or
// more panics with a text naming it.
Duration seconds_to_duration(double seconds);

// Panics when a deadline `duration` from now cannot be represented. Called
// before the client's lock is taken, so the failure leaves the client usable.
void require_deadline_in_range(Duration duration);

// The deadline `duration` from now. Past the clock's range it is the clock's
// end, which is never reached (require_deadline_in_range has already refused
// anything that far out when it was checked).
Instant deadline_after(Duration duration);

// --- The HTTP API client's rules ---------------------------------------------

// The timeout of one exchange or wait: the larger of the value and 1 ms, so
// NaN, zero and negative values give 1 ms. Infinity and values of 2^64
// seconds or more panic.
Duration api_timeout(double seconds);

// The deadline `timeout` from now; panics when it falls outside the clock's range.
Instant api_deadline(Duration timeout);

}  // namespace corvane
