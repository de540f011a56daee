// UTF-8 as both clients receive it from their peers: checked strictly, or
// decoded with replacement.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Replaces each maximal ill-formed subsequence with U+FFFD (the Unicode
// recommended practice, which Python's "replace" error handler follows too).
std::string utf8_lossy(std::string_view bytes);

}  // namespace corvane
