// Strict parsing of one JSON text into a Value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "json/value.hpp"

namespace corvane::json {

struct ParseError {
    std::string description;  // for example "trailing comma"
    std::size_t line = 0;     // 1-based
    std::size_t column = 0;   // 1-based byte column; at the end of the text, the last line's length

    // "trailing comma at line 1 column 4"
    std::string text() const;
};

// The whole text must be one value, with only space, tab, LF and CR around it.
// NUL bytes are ordinary bytes: the text's length is what counts.
Result<Value, ParseError> parse_json_text(std::string_view text);

}  // namespace corvane::json
