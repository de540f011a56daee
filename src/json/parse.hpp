// Strict parsing of one JSON text into a Value.
#pragma once

#include <cstddef>
#include <optional>
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

// The same text written compact, as write_json_compact writes what
// parse_json_text gives (with the same errors), but written as it is parsed,
// without a tree: the text of a large value takes about its own size.
Result<std::string, ParseError> compact_json_text(std::string_view text);

// The value of the member `key` of an object's compact text (as
// compact_json_text writes it), or nullopt when there is none or the text is
// not an object. `key` is compared as written, so it must have no character
// that writing escapes.
std::optional<std::string_view> find_member(std::string_view object, std::string_view key);

}  // namespace corvane::json
