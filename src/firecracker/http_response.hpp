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

// Where the search resumes after the buffer grew from `searched_size` bytes:
// a terminator may straddle the old end, so its last three bytes are searched again.
std::size_t resume_search_at(std::size_t searched_size);

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

// What becomes of the bytes that followed the head in the same receives:
// the body is their first `keep` bytes plus `more` bytes still to be read.
// Without a Content-Length the body is what arrived with the head; extra
// bytes past an announced length are dropped.
struct BodyPlan {
    std::size_t keep = 0;
    std::uint64_t more = 0;
};
BodyPlan plan_body(std::optional<std::uint64_t> content_length, std::size_t received);

}  // namespace corvane::firecracker
