// Compact JSON text: no white space, object members in ascending byte order.
#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace corvane::json {

void write_json_compact(const Value& value, std::string& out);
std::string write_json_compact(const Value& value);

// The pieces, for records written member by member in a fixed order.
void write_json_string(std::string_view text, std::string& out);
// Its escaped bytes, without the quotes.
void write_json_string_contents(std::string_view text, std::string& out);
void write_json_double(double number, std::string& out);

// Absent or null gives "null"; a string gives its text without quotes or
// escapes; anything else its compact JSON text.
std::string json_value_text(const Value* value);

}  // namespace corvane::json
