// The bytes an API peer sends back, received in pieces of a size the input's
// first byte chooses: the terminator search over the growing buffer, the head
// (status line, headers, Content-Length) and the body rules. Nothing crashes,
// the piecewise search finds the first terminator, and the body stays inside
// what was received.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/text.hpp"
#include "firecracker/http.hpp"

using namespace corvane;
using namespace corvane::firecracker;

namespace {

constexpr std::size_t kHeaderLimit = 65536;  // as the exchange enforces it

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

void check_decimal(std::string_view text) {
    auto value = parse_decimal(text, std::numeric_limits<std::uint16_t>::max());
    if (!value) return;
    FUZZ_CHECK(value.value() <= std::numeric_limits<std::uint16_t>::max());
    auto again = parse_decimal(std::to_string(value.value()), std::numeric_limits<std::uint16_t>::max());
    FUZZ_CHECK(again.ok() && again.value() == value.value());
}

void check_head(std::string_view received, std::size_t end) {
    const std::string head = utf8_lossy(received.substr(0, end));
    FUZZ_CHECK(is_valid_utf8(head));
    check_decimal(head.substr(0, head.find(' ')));
    auto parsed = parse_response_head(head);
    if (!parsed) {
        const std::string& message = parsed.error();
        FUZZ_CHECK(message == "missing HTTP status" || message == "missing HTTP status code" ||
                   starts_with(message, "invalid HTTP status: ") || starts_with(message, "invalid Content-Length: "));
        return;
    }
    const std::size_t after = received.size() - end - 4;
    const BodyPlan plan = plan_body(parsed->content_length, after);
    FUZZ_CHECK(plan.keep <= after);
    if (!parsed->content_length) {
        FUZZ_CHECK(plan.keep == after && plan.more == 0);
    } else {
        FUZZ_CHECK(plan.keep + plan.more == *parsed->content_length);
        FUZZ_CHECK(plan.more == 0 || plan.keep == after);
    }
    const std::string body = utf8_lossy(received.substr(end + 4, plan.keep));
    FUZZ_CHECK(is_valid_utf8(body));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] == 0 ? 4096 : data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    // The receive loop of an exchange, with the stream as the peer's bytes.
    std::string buffer;
    std::size_t searched = 0;
    std::size_t offset = 0;
    for (;;) {
        if (auto end = find_header_end(buffer, searched)) {
            FUZZ_CHECK(end == find_header_end(buffer));
            FUZZ_CHECK(buffer.size() <= kHeaderLimit);
            check_head(buffer, *end);
            return 0;
        }
        searched = resume_search_at(buffer.size());
        FUZZ_CHECK(searched <= buffer.size());
        if (offset >= stream.size()) break;  // the peer closed: "malformed HTTP response"
        const std::string_view got = stream.substr(offset, piece);
        offset += got.size();
        buffer.append(got);
        if (buffer.size() > kHeaderLimit) {  // "HTTP response headers are too large"
            buffer.resize(buffer.size() - got.size());
            break;
        }
    }
    // Given up without a terminator: there was none in what had been searched.
    FUZZ_CHECK(!find_header_end(buffer).has_value());
    return 0;
}
