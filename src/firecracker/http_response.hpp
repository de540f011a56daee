// Reading an HTTP/1.1 response head: pure functions over received bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace corvane::firecracker {

// Offset of the first CR LF CR LF at or after `from`, if any.
std::optional<std::size_t> find_header_end(std::string_view buffer, std::size_t from = 0);

// An unsigned decimal number: an optional '+', then only ASCII digits, at most
// `max`. The error is the message that follows "invalid ...: ".
Result<std::uint64_t, std::string_view> parse_decimal(std::string_view text, std::uint64_t max);

struct ResponseHead {
    std::uint16_t status = 0;
    std::optional<std::uint64_t> content_length;  // absent when not announced
};

// The head is the header text before CR LF CR LF, already decoded. The error
// is the message that ends the exchange ("missing HTTP status", ...).
Result<ResponseHead, std::string> parse_response_head(std::string_view head);

}  // namespace corvane::firecracker
