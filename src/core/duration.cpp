#include "core/duration.hpp"

#include <time.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/caller.hpp"
#include "core/result.hpp"

namespace corvane {
namespace {

// A 53-bit significand times 10^9 needs 83 bits; GCC and Clang have 128-bit
// integers on every 64-bit target (__extension__ marks the non-ISO type as intended).
__extension__ typedef unsigned __int128 u128;

constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
constexpr double kTwoTo64 = 18446744073709551616.0;
constexpr auto kMaxSeconds = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

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

std::optional<Duration> duration_from_seconds(double seconds) {
    if (!(seconds < kTwoTo64)) return std::nullopt;  // NaN fails the comparison too
    if (seconds <= 0.0) return Duration{};
    // Exact: seconds = mantissa * 2^exponent, so the nanosecond count is
    // mantissa * 10^9 * 2^exponent, which fits 128 bits for seconds < 2^64.
    // A multiplication in floating point would round twice.
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

Instant Instant::now() {
    timespec now{};
#if defined(__APPLE__)
    ::clock_gettime(CLOCK_UPTIME_RAW, &now);
#else
    ::clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    return Instant{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

Instant Instant::max() { return Instant{std::numeric_limits<std::int64_t>::max(), kNanosPerSecond - 1}; }

std::optional<Instant> checked_add(Instant start, Duration span) {
    // Unsigned arithmetic is modular, so this is the room above any start.
    const std::uint64_t room = kMaxSeconds - static_cast<std::uint64_t>(start.seconds);
    if (span.seconds > room) return std::nullopt;
    Instant sum{static_cast<std::int64_t>(static_cast<std::uint64_t>(start.seconds) + span.seconds),
                start.nanos + span.nanos};
    if (sum.nanos >= kNanosPerSecond) {
        if (static_cast<std::uint64_t>(sum.seconds) == kMaxSeconds) return std::nullopt;
        ++sum.seconds;
        sum.nanos -= kNanosPerSecond;
    }
    return sum;
}

Duration time_until(Instant deadline) {
    const Instant now = Instant::now();
    if (now >= deadline) return Duration{};
    std::int64_t seconds = deadline.seconds - now.seconds;
    std::int64_t nanos = static_cast<std::int64_t>(deadline.nanos) - now.nanos;
    if (nanos < 0) {
        --seconds;
        nanos += kNanosPerSecond;
    }
    return Duration{static_cast<std::uint64_t>(seconds), static_cast<std::uint32_t>(nanos)};
}

bool sleep_for(Duration duration) {
    // A signal that came while the loop around this pause was busy elsewhere
    // (connecting, reading a reply) interrupted no system call, so its
    // handlers run here: a raising one ends the loop now, not at its deadline.
    if (!retry_after_signal()) return false;
    if (duration.is_zero()) return true;
    timespec request{};
    request.tv_sec = saturated_seconds<decltype(request.tv_sec)>(duration);
    request.tv_nsec = static_cast<long>(duration.nanos);
    timespec remaining{};
    while (::nanosleep(&request, &remaining) == -1) {
        if (errno != EINTR || !retry_after_signal()) return errno != EINTR;
        request = remaining;
    }
    return true;
}

Duration seconds_to_duration(double seconds) {
    if (!std::isfinite(seconds)) return Duration{};
    if (auto duration = duration_from_seconds(seconds)) return *duration;
    panic("cannot convert " + seconds_text(seconds) +
          " seconds to a duration: the value is too large (2^64 seconds or more)");
}

void require_deadline_in_range(Duration duration) {
    if (!checked_add(Instant::now(), duration))
        panic("overflow when adding a duration of " + std::to_string(duration.seconds) +
              " seconds to the monotonic clock");
}

Instant deadline_after(Duration duration) { return checked_add(Instant::now(), duration).value_or(Instant::max()); }

Duration api_timeout(double seconds) {
    constexpr double minimum = 0.001;
    // NaN compares false, so it also takes the minimum.
    auto duration = duration_from_seconds(seconds > minimum ? seconds : minimum);
    if (!duration) panic("cannot convert float seconds to Duration: value is either too big or NaN");
    return *duration;
}

Instant api_deadline(Duration timeout) {
    auto deadline = checked_add(Instant::now(), timeout);
    if (!deadline) panic("overflow when adding duration to instant");
    return *deadline;
}

}  // namespace corvane
