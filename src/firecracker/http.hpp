// The VM monitor's HTTP API over a Unix-domain socket. One HTTP/1.1 exchange
// is a fresh connection, one request, one response, closed on every path; the
// reading of a response head is made of pure functions over received bytes.
// Waiting for a freshly started monitor repeats exchanges until its API answers.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane::firecracker {

// The failure value of the API client: an operating-system error (a number or
// one of the I/O layer's fixed texts), or a message about the response.
class FirecrackerError {
public:
    static FirecrackerError io(IoError error) { return FirecrackerError(std::move(error)); }
    static FirecrackerError message(std::string text) { return FirecrackerError(std::move(text)); }

    // "Connection refused (os error 111)", "malformed HTTP response", ...
    std::string text() const {
        if (const auto* io = std::get_if<IoError>(&value_)) return io->text();
        return std::get<std::string>(value_);
    }

    // Whether the exchange gave up at a signal, as its caller asked (EINTR).
    bool interrupted() const {
        const auto* io = std::get_if<IoError>(&value_);
        return io != nullptr && io->code() == EINTR;
    }

private:
    explicit FirecrackerError(IoError error) : value_(std::move(error)) {}
    explicit FirecrackerError(std::string text) : value_(std::move(text)) {}

    std::variant<IoError, std::string> value_;
};

struct HttpReply {
    std::uint16_t status = 0;
    // Absent for a 204 and for an empty body; invalid UTF-8 is replaced.
    std::optional<std::string> body;
};

// `timeout` (seconds, at least 1 ms) bounds each send and receive and the
// connect, not the exchange as a whole. A timeout of 2^64 seconds or more panics.
Result<HttpReply, FirecrackerError> http_unix_request(std::string_view socket_path, std::string_view method,
                                                      std::string_view path, std::optional<std::string_view> body,
                                                      double timeout);

// Polls `GET /` until it answers 200 or `timeout` seconds (at least 1 ms)
// have passed, then fails with "wait_for_socket timed out". Every attempt is
// bounded by 1 second per send and receive and followed by a 25 ms pause; no
// connection is tried while the socket file cannot be examined.
Result<Unit, FirecrackerError> wait_for_socket(std::string_view socket_path, double timeout);

// Offset of the first CR LF CR LF at or after `from`, if any.
std::optional<std::size_t> find_header_end(std::string_view buffer, std::size_t from = 0);

// Where the search resumes after the buffer grew from `searched_size` bytes:
// a terminator may straddle the old end, so its last three bytes are searched again.
std::size_t resume_search_at(std::size_t searched_size);

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
