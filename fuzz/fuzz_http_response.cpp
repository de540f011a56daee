// The bytes an API peer sends back, received in pieces of a size the input's first byte chooses: the terminator
// search over the growing buffer, the head and the body rules. Nothing crashes, the piecewise search finds the
// first terminator, a head fails with one of its messages, and the body stays inside what was received.
#include <string>

#include "check.hpp"
#include "core/text.hpp"
#include "firecracker/http.hpp"

using namespace corvane;
using namespace corvane::firecracker;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] == 0 ? 4096 : data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string buffer;  // the receive loop of an exchange, with the stream as the peer's bytes
    std::size_t searched = 0;
    for (std::size_t offset = 0;; offset += piece) {
        if (auto end = find_header_end(buffer, searched)) {
            FUZZ_CHECK(end == find_header_end(buffer) && buffer.size() <= 65536);
            const std::string head = utf8_lossy(std::string_view(buffer).substr(0, *end));
            auto parsed = parse_response_head(head);
            if (!parsed) {
                const std::string& m = parsed.error();
                FUZZ_CHECK(m == "missing HTTP status" || m == "missing HTTP status code" ||
                           m.starts_with("invalid HTTP status: ") || m.starts_with("invalid Content-Length: "));
                return 0;
            }
            const std::size_t after = buffer.size() - *end - 4;
            const BodyPlan plan = plan_body(parsed->content_length, after);
            FUZZ_CHECK(is_valid_utf8(head) && plan.keep <= after && (plan.more == 0 || plan.keep == after));
            FUZZ_CHECK(parsed->content_length ? plan.keep + plan.more == *parsed->content_length : plan.keep == after);
            return 0;
        }
        searched = resume_search_at(buffer.size());
        FUZZ_CHECK(searched <= buffer.size());
        // The peer closed ("malformed HTTP response"), or the head grows past the limit ("headers are too large").
        if (offset >= stream.size() || buffer.size() + stream.substr(offset, piece).size() > 65536) break;
        buffer.append(stream.substr(offset, piece));
    }
    FUZZ_CHECK(!find_header_end(buffer).has_value());  // none in what had been searched
    return 0;
}
