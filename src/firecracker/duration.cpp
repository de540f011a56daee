#include "firecracker/duration.hpp"

#include <cmath>
#include <ctime>
#include <limits>

#include "core/panic.hpp"

namespace corvane::firecracker {
namespace {

constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

// A 53-bit significand times 10^9 needs 83 bits; GCC and Clang have 128-bit
// integers on every 64-bit target (__extension__ marks the non-ISO type as intended).
__extension__ typedef unsigned __int128 Wide;

// The exact fraction of a double below one, in nanoseconds, rounded half to
// even. A multiplication in floating point would round twice.
std::uint64_t fraction_to_nanoseconds(double fraction) {
    int exponent = 0;
    const double mantissa = std::frexp(fraction, &exponent);  // fraction = mantissa * 2^exponent
    // 53 significant bits as an integer: fraction = bits * 2^(exponent - 53).
    const auto bits = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
    const int shift = 53 - exponent;  // at least 53, since fraction < 1
    if (shift >= 120) return 0;        // far below half a nanosecond
    const Wide scaled = static_cast<Wide>(bits) * kNanosPerSecond;
    const Wide whole = scaled >> shift;
    const Wide remainder = scaled - (whole << shift);
    const Wide half = static_cast<Wide>(1) << (shift - 1);
    std::uint64_t nanos = static_cast<std::uint64_t>(whole);
    if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
    return nanos;
}

}  // namespace

Duration duration_from_seconds(double seconds) {
    constexpr double two_to_64 = 18446744073709551616.0;
    if (!(seconds < two_to_64))  // NaN fails the comparison too
        panic("cannot convert float seconds to Duration: value is either too big or NaN");
    if (seconds <= 0) return {};
    const double whole = std::floor(seconds);
    Duration result{static_cast<std::uint64_t>(whole), 0};
    const std::uint64_t nanos = seconds == whole ? 0 : fraction_to_nanoseconds(seconds - whole);
    if (nanos >= kNanosPerSecond) {
        // Only a fraction within half a nanosecond of 1 rounds up to it; the
        // whole part of such a value is far below 2^64, so this cannot wrap.
        ++result.seconds;
    } else {
        result.nanoseconds = static_cast<std::uint32_t>(nanos);
    }
    return result;
}

Duration api_timeout(double seconds) {
    constexpr double minimum = 0.001;
    // NaN compares false, so it also takes the minimum.
    return duration_from_seconds(seconds > minimum ? seconds : minimum);
}

Instant monotonic_now() {
    timespec now{};
#if defined(__APPLE__)
    ::clock_gettime(CLOCK_UPTIME_RAW, &now);
#else
    ::clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    return Instant{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

Instant add(Instant start, Duration span) {
    // Unsigned arithmetic is modular, so this is the room above any start.
    constexpr auto max_seconds = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t room = max_seconds - static_cast<std::uint64_t>(start.seconds);
    if (span.seconds > room) panic("overflow when adding duration to instant");
    Instant result{static_cast<std::int64_t>(static_cast<std::uint64_t>(start.seconds) + span.seconds),
                   start.nanoseconds + span.nanoseconds};
    if (result.nanoseconds >= kNanosPerSecond) {
        if (static_cast<std::uint64_t>(result.seconds) == max_seconds)
            panic("overflow when adding duration to instant");
        ++result.seconds;
        result.nanoseconds -= kNanosPerSecond;
    }
    return result;
}

}  // namespace corvane::firecracker
