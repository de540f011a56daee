#include "firecracker/http.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "core/duration.hpp"
#include "core/fd.hpp"
#include "core/text.hpp"

namespace corvane::firecracker {
namespace {

constexpr std::size_t kReceiveSize = 4096;
constexpr std::size_t kHeaderLimit = 65536;
// The largest body taken, the bound a QMP line has too: a peer announcing
// gigabytes must not make one call hold them.
constexpr std::uint64_t kBodyLimit = 10 * 1024 * 1024;

// Whether the code point at `at` of valid UTF-8 text is white space; moves past it.
bool next_is_whitespace(std::string_view text, std::size_t& at) {
    const Utf8Sequence sequence = decode_utf8(text, at);
    at += sequence.width;
    return is_unicode_whitespace(sequence.code_point);
}

// The first two fields of valid UTF-8 text split at runs of white space; a
// status line needs no more.
struct Fields {
    std::string_view items[2];
    std::size_t count = 0;
};

Fields first_two_fields(std::string_view text) {
    Fields fields;
    std::size_t at = 0;
    std::size_t start = std::string_view::npos;
    while (at < text.size() && fields.count < 2) {
        const std::size_t here = at;
        const bool space = next_is_whitespace(text, at);
        if (!space && start == std::string_view::npos) {
            start = here;
        } else if (space && start != std::string_view::npos) {
            fields.items[fields.count++] = text.substr(start, here - start);
            start = std::string_view::npos;
        }
    }
    if (start != std::string_view::npos && fields.count < 2) fields.items[fields.count++] = text.substr(start);
    return fields;
}

// Valid UTF-8 text without leading and trailing white space.
std::string_view trim_whitespace(std::string_view text) {
    std::size_t begin = text.size();
    std::size_t end = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t here = at;
        if (!next_is_whitespace(text, at)) {
            if (begin == text.size()) begin = here;
            end = at;
        }
    }
    if (begin >= end) return text.substr(0, 0);
    return text.substr(begin, end - begin);
}

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
        auto value = parse_decimal(trim_whitespace(line->substr(colon + 1)), std::numeric_limits<std::uint64_t>::max());
        if (!value) return fail("invalid Content-Length: " + std::string(value.error()));
        return std::optional<std::uint64_t>(value.value());
    }
    return std::optional<std::uint64_t>();
}

FirecrackerError last_os_error() { return FirecrackerError::io(IoError::last_os_error()); }

// Both timeouts are set before connecting: on Linux a connect to a listener
// whose backlog is full waits, bounded only by the send timeout.
Result<UniqueFd, FirecrackerError> open_connection(std::string_view socket_path, Duration timeout) {
    auto fd = open_unix_stream_socket();
    if (!fd) return fail(FirecrackerError::io(std::move(fd).error()));
    auto address = unix_address(socket_path);
    if (!address) return fail(FirecrackerError::io(std::move(address).error()));
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        auto set = set_socket_timeout(fd->get(), option, timeout);
        if (!set) return fail(FirecrackerError::io(std::move(set).error()));
    }
    if (auto connected = connect_unix(fd->get(), address.value()); !connected)
        return fail(FirecrackerError::io(std::move(connected).error()));
    return std::move(fd).value();
}

struct ReceivedHead {
    std::string buffer;   // the head and whatever followed it in the same receives
    std::size_t end = 0;  // offset of CR LF CR LF
};

// Each receive is bounded by the socket's receive timeout, kept across signals.
ssize_t receive(int fd, char* data, std::size_t length) {
    return call_resuming(fd, SO_RCVTIMEO, [&] { return ::recv(fd, data, length, 0); });
}

Result<ReceivedHead, FirecrackerError> receive_head(int fd) {
    ReceivedHead received;
    std::string& buffer = received.buffer;
    char area[kReceiveSize];
    std::size_t searched = 0;  // no terminator starts before this offset
    for (;;) {
        if (auto end = find_header_end(buffer, searched)) {
            received.end = *end;
            return received;
        }
        searched = resume_search_at(buffer.size());
        const ssize_t got = receive(fd, area, sizeof area);
        if (got < 0) return fail(last_os_error());
        if (got == 0) return fail(FirecrackerError::message("malformed HTTP response"));
        buffer.append(area, static_cast<std::size_t>(got));
        if (buffer.size() > kHeaderLimit) return fail(FirecrackerError::message("HTTP response headers are too large"));
    }
}

Result<Unit, FirecrackerError> receive_exact(int fd, char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t got = receive(fd, data, length);
        if (got < 0) return fail(last_os_error());
        if (got == 0) return fail(FirecrackerError::io(IoError::message("failed to fill whole buffer")));
        data += got;
        length -= static_cast<std::size_t>(got);
    }
    return Unit{};
}

// The body is read into storage of exactly the announced length, so the call
// never waits for the peer to close; the length is already known to be within
// the body limit.
Result<Unit, FirecrackerError> receive_body(int fd, std::string_view initial, std::uint64_t length,
                                            std::unique_ptr<char[]>& storage) {
    storage.reset(new char[static_cast<std::size_t>(length)]);
    std::memcpy(storage.get(), initial.data(), initial.size());
    return receive_exact(fd, storage.get() + initial.size(), static_cast<std::size_t>(length) - initial.size());
}

bool has_control_byte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

Result<Unit, FirecrackerError> check_request_line(std::string_view method, std::string_view path) {
    for (const auto& [name, text] : {std::pair{"method", method}, std::pair{"path", path}}) {
        if (has_control_byte(text))
            return fail(
                FirecrackerError::message(std::string("HTTP request ") + name + " contains a control character"));
    }
    return Unit{};
}

// The exact bytes sent: request line, the fixed headers with the body's byte
// length, a blank line, the body.
std::string request_text(std::string_view method, std::string_view path, std::optional<std::string_view> body) {
    const std::string_view content = body.value_or(std::string_view());
    std::string text;
    text.reserve(method.size() + path.size() + content.size() + 160);
    text.append(method).append(" ").append(path).append(" HTTP/1.1\r\n");
    text.append("Host: localhost\r\n");
    text.append("Accept: application/json\r\n");
    text.append("Content-Type: application/json\r\n");
    text.append("Content-Length: ").append(std::to_string(content.size())).append("\r\n");
    text.append("Connection: close\r\n");
    text.append("\r\n");
    text.append(content);
    return text;
}

}  // namespace

Result<HttpReply, FirecrackerError> http_unix_request(std::string_view socket_path, std::string_view method,
                                                      std::string_view path, std::optional<std::string_view> body,
                                                      double timeout) {
    // Checked first, so that nothing is sent for a request line that a
    // control byte (CR LF above all) would split into several requests.
    if (auto line = check_request_line(method, path); !line) return std::move(line).take_failure();
    // An impossible timeout panics before any socket exists.
    const Duration limit = api_timeout(timeout);
    auto connection = open_connection(socket_path, limit);
    if (!connection) return std::move(connection).take_failure();
    const int fd = connection->get();

    const std::string request = request_text(method, path, body);
    if (auto sent = send_all(fd, request.data(), request.size()); !sent)
        return fail(FirecrackerError::io(std::move(sent).error()));

    auto received = receive_head(fd);
    if (!received) return std::move(received).take_failure();
    const std::string_view buffer = received->buffer;
    auto head = parse_response_head(utf8_lossy(buffer.substr(0, received->end)));
    if (!head) return fail(FirecrackerError::message(std::move(head).error()));

    if (head->content_length && *head->content_length > kBodyLimit)
        return fail(FirecrackerError::message("HTTP response body of " + std::to_string(*head->content_length) +
                                              " bytes exceeds the limit of " + std::to_string(kBodyLimit) + " bytes"));

    std::string_view content = buffer.substr(received->end + 4);
    std::unique_ptr<char[]> storage;
    const BodyPlan plan = plan_body(head->content_length, content.size());
    content = content.substr(0, plan.keep);
    if (plan.more > 0) {
        const std::uint64_t length = *head->content_length;
        if (auto read = receive_body(fd, content, length, storage); !read) return std::move(read).take_failure();
        content = std::string_view(storage.get(), static_cast<std::size_t>(length));
    }
    connection->reset();

    HttpReply reply;
    reply.status = head->status;
    if (reply.status != 204 && !content.empty()) reply.body = utf8_lossy(content);
    return reply;
}

std::optional<std::size_t> find_header_end(std::string_view buffer, std::size_t from) {
    const std::size_t at = buffer.find(kTerminator, from);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::size_t resume_search_at(std::size_t searched_size) {
    return searched_size < kTerminator.size() - 1 ? 0 : searched_size - (kTerminator.size() - 1);
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
