// Unicode white space in HTTP response heads.
#pragma once

#include <string>
#include <string_view>

namespace corvane::firecracker {

// The Unicode White_Space property. The ASCII separators 0x1C-0x1F are not white space.
bool is_unicode_whitespace(char32_t c);

// The first two fields of valid UTF-8 text split at runs of white space; a
// status line needs no more.
struct Fields {
    std::string_view items[2];
    std::size_t count = 0;
};
Fields first_two_fields(std::string_view text);

// Valid UTF-8 text without leading and trailing white space.
std::string_view trim_whitespace(std::string_view text);

}  // namespace corvane::firecracker
