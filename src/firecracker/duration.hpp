// Time spans and monotonic instants as the API client counts them: whole
// seconds plus nanoseconds, wide enough for any timeout a caller can pass.
#pragma once

#include <compare>
#include <cstdint>

namespace corvane::firecracker {

struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below one second
};

// Float seconds to a Duration, rounded to the nearest nanosecond (ties to
// even). Negative values are the caller's business; NaN, infinity and values
// of 2^64 seconds or more panic.
Duration duration_from_seconds(double seconds);

// The timeout of one exchange or wait: the larger of the value and 1 ms, so
// NaN, zero and negative values give 1 ms.
Duration api_timeout(double seconds);

struct Instant {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    friend auto operator<=>(const Instant&, const Instant&) = default;
};

Instant monotonic_now();

// Panics when the result falls outside the clock's range.
Instant add(Instant start, Duration span);

}  // namespace corvane::firecracker
