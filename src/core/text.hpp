// Text as both clients receive it from their peers: UTF-8 checked strictly,
// decoded with replacement or walked code point by code point, and unsigned
// decimal numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace corvane {

// The sequence that starts at `at`: a well-formed one gives its code point and
// width. An ill-formed one gives `well_formed` false and as `width` the length
// of its longest well-formed prefix (at least 1), which counts as one
// ill-formed unit. Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
struct Utf8Sequence {
    char32_t code_point = 0;
    std::size_t width = 1;
    bool well_formed = true;
};
Utf8Sequence decode_utf8(std::string_view bytes, std::size_t at);

bool is_valid_utf8(std::string_view bytes);

// The Unicode White_Space property. The ASCII separators 0x1C-0x1F are not white space.
bool is_unicode_whitespace(char32_t c);

// Replaces each maximal ill-formed subsequence with U+FFFD (the Unicode
// recommended practice, which Python's "replace" error handler follows too).
std::string utf8_lossy(std::string_view bytes);

// An unsigned decimal number: an optional '+', then only ASCII digits, at most
// `max`. The error is the message that follows "invalid ...: ".
Result<std::uint64_t, std::string_view> parse_decimal(std::string_view text, std::uint64_t max);

}  // namespace corvane
