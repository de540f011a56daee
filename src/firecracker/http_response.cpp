#include "firecracker/http_response.hpp"

#include <limits>

#include "firecracker/text.hpp"

namespace corvane::firecracker {
namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Walks text line by line: lines end at LF, and a CR right before the LF is
// not part of the line. A final line without LF counts; nothing follows a final LF.
class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {}

    std::optional<std::string_view> next() {
        if (done_ || rest_.empty()) return std::nullopt;
        const std::size_t newline = rest_.find('\n');
        if (newline == std::string_view::npos) {
            done_ = true;
            return rest_;
        }
        std::string_view line = rest_.substr(0, newline);
        rest_.remove_prefix(newline + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

// Only the first Content-Length line counts; later ones are not looked at.
Result<std::optional<std::uint64_t>, std::string> content_length(Lines& lines) {
    while (auto line = lines.next()) {
        const std::size_t colon = line->find(':');
        if (colon == std::string_view::npos) continue;
        // The name is taken as it stands: " Content-Length" and "Content-Length " do not match.
        if (!equals_ignoring_ascii_case(line->substr(0, colon), "content-length")) continue;
        auto value = parse_decimal(trim_whitespace(line->substr(colon + 1)),
                                   std::numeric_limits<std::uint64_t>::max());
        if (!value) return fail("invalid Content-Length: " + std::string(value.error()));
        return std::optional<std::uint64_t>(value.value());
    }
    return std::optional<std::uint64_t>();
}

}  // namespace

std::optional<std::size_t> find_header_end(std::string_view buffer, std::size_t from) {
    if (buffer.size() < kTerminator.size()) return std::nullopt;
    const std::size_t at = buffer.find(kTerminator, from);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::size_t resume_search_at(std::size_t searched_size) {
    return searched_size < kTerminator.size() - 1 ? 0 : searched_size - (kTerminator.size() - 1);
}

Result<std::uint64_t, std::string_view> parse_decimal(std::string_view text, std::uint64_t max) {
    if (text.empty()) return fail(std::string_view("cannot parse integer from empty string"));
    if (text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty()) return fail(std::string_view("invalid digit found in string"));
    }
    // Digits are judged in order, so whichever fault comes first is reported.
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return fail(std::string_view("invalid digit found in string"));
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > max / 10 || value * 10 > max - digit)
            return fail(std::string_view("number too large to fit in target type"));
        value = value * 10 + digit;
    }
    return value;
}

Result<ResponseHead, std::string> parse_response_head(std::string_view head) {
    if (head.empty()) return fail(std::string("missing HTTP status"));
    Lines lines(head);
    const Fields fields = first_two_fields(*lines.next());
    // The first field, the protocol version, is not checked.
    if (fields.count < 2) return fail(std::string("missing HTTP status code"));
    auto status = parse_decimal(fields.items[1], std::numeric_limits<std::uint16_t>::max());
    if (!status) return fail("invalid HTTP status: " + std::string(status.error()));
    auto length = content_length(lines);
    if (!length) return std::move(length).take_failure();
    return ResponseHead{static_cast<std::uint16_t>(status.value()), length.value()};
}

BodyPlan plan_body(std::optional<std::uint64_t> content_length, std::size_t received) {
    if (!content_length) return BodyPlan{received, 0};
    if (*content_length <= received) return BodyPlan{static_cast<std::size_t>(*content_length), 0};
    return BodyPlan{received, *content_length - received};
}

}  // namespace corvane::firecracker
