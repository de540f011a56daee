// Time values of the QMP client. Python passes float seconds; they become a
// Duration (unsigned seconds and nanoseconds, like a timespec without a sign)
// and deadlines are points of the monotonic clock. Nothing here wraps around:
// a value that cannot be represented is reported instead.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>

namespace corvane::qmp {

struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanos = 0;  // below 1'000'000'000

    bool is_zero() const { return seconds == 0 && nanos == 0; }
    friend auto operator<=>(const Duration&, const Duration&) = default;
};

// NaN, infinities, zero and negatives give zero; otherwise the value rounded
// to the nearest nanosecond, ties to even. Values of 2^64 seconds or more
// give nullopt.
std::optional<Duration> try_seconds_to_duration(double seconds);

// As above, but a value that cannot be represented panics with a text naming it.
Duration seconds_to_duration(double seconds);

// The duration as std::chrono nanoseconds, capped at the largest count
// (about 292 years), for the calls that take one.
std::chrono::nanoseconds saturating_nanoseconds(Duration duration);

// A point of the monotonic clock.
struct MonotonicTime {
    std::int64_t seconds = 0;
    std::int64_t nanos = 0;

    static MonotonicTime now();
    static MonotonicTime max();
    friend auto operator<=>(const MonotonicTime&, const MonotonicTime&) = default;
};

// now + duration, or nullopt when the sum is beyond the clock's range.
std::optional<MonotonicTime> checked_add(MonotonicTime now, Duration duration);

// Panics when a deadline `duration` from now cannot be represented. Called
// before the client's lock is taken, so the failure leaves the client usable.
void require_deadline_in_range(Duration duration);

// The deadline `duration` from now. Past the clock's range it is the clock's
// end, which is never reached (require_deadline_in_range has already refused
// anything that far out when it was checked).
MonotonicTime deadline_after(Duration duration);

inline bool reached(MonotonicTime deadline) { return MonotonicTime::now() >= deadline; }

}  // namespace corvane::qmp
