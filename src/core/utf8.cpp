#include "core/utf8.hpp"

#include <cstddef>

namespace corvane {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The width of the well-formed sequence that starts at `at` (a non-ASCII
// byte), or 0 when it is ill-formed; then `valid` is the length of its longest
// well-formed prefix (at least 1), which counts as one ill-formed unit.
std::size_t sequence_length(std::string_view bytes, std::size_t at, std::size_t& valid) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    valid = 1;
    std::size_t width = 0;
    // The range allowed for the second byte excludes overlong forms,
    // surrogates and code points above U+10FFFF.
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        width = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        width = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < width; ++i) {
        if (at + i >= bytes.size()) return 0;
        const unsigned char next = byte(i);
        const bool fits = i == 1 ? (next >= low && next <= high) : is_continuation(next);
        if (!fits) return 0;
        valid = i + 1;
    }
    return width;
}

std::size_t ascii_run_end(std::string_view bytes, std::size_t at) {
    while (at < bytes.size() && static_cast<unsigned char>(bytes[at]) < 0x80) ++at;
    return at;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t at = ascii_run_end(bytes, 0);
    while (at < bytes.size()) {
        std::size_t valid = 0;
        const std::size_t width = sequence_length(bytes, at, valid);
        if (width == 0) return false;
        at = ascii_run_end(bytes, at + width);
    }
    return true;
}

std::string utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t run = ascii_run_end(bytes, at);
        text.append(bytes.substr(at, run - at));
        at = run;
        if (at == bytes.size()) break;
        std::size_t valid = 0;
        if (const std::size_t width = sequence_length(bytes, at, valid)) {
            text.append(bytes.substr(at, width));
            at += width;
        } else {
            text.append(kReplacement);
            at += valid;
        }
    }
    return text;
}

}  // namespace corvane
