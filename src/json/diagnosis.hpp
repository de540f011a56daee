// Turns a failed parse into the description and position a reader expects:
// the parser library says that and roughly where the text went wrong; this
// names the cause from what the grammar expected at that byte.
#pragma once

#include <cstddef>
#include <string_view>

#include "json/parse.hpp"

namespace corvane::json::detail {

// What the grammar expected next, as the tree builder last saw it. Separators
// the library consumed silently (',' and ':') are recovered from the text.
enum class Expect {
    top_value,
    end,
    array_first,
    array_separator,
    object_first,
    object_separator,
    colon,
};

enum class Cause {
    incomplete,          // the text ended early
    syntax,              // a byte that does not fit
    hex_digit,           // a \u escape without four hex digits
    lone_low_surrogate,  // \uDC00-\uDFFF with no high surrogate before it
    bad_low_surrogate,   // a high surrogate followed by a \u escape that is not a low one
    too_deep,            // the 128th nesting level
    out_of_range,        // a number too large for a double; offset is its last byte
    trailing,            // bytes after the top-level value; offset is the first of them
};

ParseError diagnose(std::string_view text, Cause cause, std::size_t offset, Expect expect);

}  // namespace corvane::json::detail
