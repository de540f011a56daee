// The bytes an API peer sends back, received in pieces of a size the input's first byte chooses: the
// terminator search over the growing buffer, the head and the body rules. Nothing crashes, the
// piecewise search finds the first terminator, and the body stays inside what was received.
#include <cstdint>
#include <limits>
#include <string>

#include "check.hpp"
#include "core/utf8.hpp"
#include "firecracker/http_response.hpp"

using namespace corvane;
using namespace corvane::firecracker;

namespace {

void check_head(std::string_view received, std::size_t end) {
    const std::string head = utf8_lossy(received.substr(0, end));
    FUZZ_CHECK(is_valid_utf8(head));
    constexpr std::uint64_t max = std::numeric_limits<std::uint16_t>::max();
    if (auto status = parse_decimal(head.substr(0, head.find(' ')), max)) {
        auto again = parse_decimal(std::to_string(status.value()), max);
        FUZZ_CHECK(status.value() <= max && again.ok() && again.value() == status.value());
    }
    auto parsed = parse_response_head(head);
    if (!parsed) {
        const std::string& m = parsed.error();
        FUZZ_CHECK(m == "missing HTTP status" || m == "missing HTTP status code" ||
                   m.starts_with("invalid HTTP status: ") || m.starts_with("invalid Content-Length: "));
        return;
    }
    const std::size_t after = received.size() - end - 4;
    const BodyPlan plan = plan_body(parsed->content_length, after);
    FUZZ_CHECK(plan.keep <= after);
    if (parsed->content_length)
        FUZZ_CHECK(plan.keep + plan.more == *parsed->content_length && (plan.more == 0 || plan.keep == after));
    else
        FUZZ_CHECK(plan.keep == after && plan.more == 0);
    FUZZ_CHECK(is_valid_utf8(utf8_lossy(received.substr(end + 4, plan.keep))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] == 0 ? 4096 : data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string buffer;  // the receive loop of an exchange, with the stream as the peer's bytes
    std::size_t searched = 0;
    for (std::size_t offset = 0;;) {
        if (auto end = find_header_end(buffer, searched)) {
            FUZZ_CHECK(end == find_header_end(buffer) && buffer.size() <= 65536);
            check_head(buffer, *end);
            return 0;
        }
        searched = resume_search_at(buffer.size());
        FUZZ_CHECK(searched <= buffer.size());
        if (offset >= stream.size()) break;  // the peer closed: "malformed HTTP response"
        const std::string_view got = stream.substr(offset, piece);
        offset += got.size();
        buffer.append(got);
        if (buffer.size() > 65536) {  // "HTTP response headers are too large"
            buffer.resize(buffer.size() - got.size());
            break;
        }
    }
    FUZZ_CHECK(!find_header_end(buffer).has_value());  // none in what had been searched
    return 0;
}
