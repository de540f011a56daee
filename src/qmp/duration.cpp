#include "qmp/duration.hpp"

#include <time.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/panic.hpp"

namespace corvane::qmp {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
constexpr double kTwoTo64 = 18446744073709551616.0;

// x / 2^shift rounded to the nearest integer, ties to even.
u128 shift_right_round_even(u128 x, unsigned shift) {
    if (shift == 0) return x;
    if (shift >= 127) return 0;  // x < 2^94 here, so the quotient is below one half
    const u128 quotient = x >> shift;
    const u128 remainder = x & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1) != 0)) return quotient + 1;
    return quotient;
}

std::string seconds_text(double seconds) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", seconds);
    return buffer;
}

}  // namespace

std::optional<Duration> try_seconds_to_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0.0) return Duration{};
    if (seconds >= kTwoTo64) return std::nullopt;
    // Exact: seconds = mantissa * 2^exponent, so the nanosecond count is
    // mantissa * 10^9 * 2^exponent, which fits 128 bits for seconds < 2^64.
    const auto bits = std::bit_cast<std::uint64_t>(seconds);
    const auto exponent_bits = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (exponent_bits != 0) {
        mantissa |= std::uint64_t{1} << 52;
        exponent = exponent_bits - 1075;
    }
    u128 nanos = u128{mantissa} * kNanosPerSecond;
    if (exponent >= 0)
        nanos <<= exponent;  // exponent <= 11 below 2^64 seconds
    else
        nanos = shift_right_round_even(nanos, static_cast<unsigned>(-exponent));
    return Duration{static_cast<std::uint64_t>(nanos / kNanosPerSecond),
                    static_cast<std::uint32_t>(nanos % kNanosPerSecond)};
}

Duration seconds_to_duration(double seconds) {
    if (auto duration = try_seconds_to_duration(seconds)) return *duration;
    panic("cannot convert " + seconds_text(seconds) +
          " seconds to a duration: the value is too large (2^64 seconds or more)");
}

std::chrono::nanoseconds saturating_nanoseconds(Duration duration) {
    using Rep = std::chrono::nanoseconds::rep;
    constexpr auto max = std::numeric_limits<Rep>::max();
    if (duration.seconds > static_cast<std::uint64_t>(max / static_cast<Rep>(kNanosPerSecond)) - 1)
        return std::chrono::nanoseconds(max);
    return std::chrono::nanoseconds(static_cast<Rep>(duration.seconds) * static_cast<Rep>(kNanosPerSecond) +
                                    duration.nanos);
}

MonotonicTime MonotonicTime::now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return MonotonicTime{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int64_t>(ts.tv_nsec)};
}

MonotonicTime MonotonicTime::max() {
    return MonotonicTime{std::numeric_limits<std::int64_t>::max(), static_cast<std::int64_t>(kNanosPerSecond) - 1};
}

std::optional<MonotonicTime> checked_add(MonotonicTime now, Duration duration) {
    constexpr auto max_seconds = std::numeric_limits<std::int64_t>::max();
    if (now.seconds < 0 || duration.seconds > static_cast<std::uint64_t>(max_seconds - now.seconds))
        return std::nullopt;
    MonotonicTime sum{now.seconds + static_cast<std::int64_t>(duration.seconds), now.nanos + duration.nanos};
    if (sum.nanos >= static_cast<std::int64_t>(kNanosPerSecond)) {
        if (sum.seconds == max_seconds) return std::nullopt;
        sum.seconds += 1;
        sum.nanos -= static_cast<std::int64_t>(kNanosPerSecond);
    }
    return sum;
}

void require_deadline_in_range(Duration duration) {
    if (!checked_add(MonotonicTime::now(), duration))
        panic("overflow when adding a duration of " + std::to_string(duration.seconds) +
              " seconds to the monotonic clock");
}

MonotonicTime deadline_after(Duration duration) {
    return checked_add(MonotonicTime::now(), duration).value_or(MonotonicTime::max());
}

}  // namespace corvane::qmp
