#include "firecracker/http_exchange.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "core/unix_socket.hpp"
#include "core/utf8.hpp"
#include "firecracker/duration.hpp"
#include "firecracker/http_response.hpp"
#include "firecracker/text.hpp"

namespace corvane::firecracker {
namespace {

constexpr std::size_t kReceiveSize = 4096;
constexpr std::size_t kHeaderLimit = 65536;

FirecrackerError last_os_error() { return FirecrackerError::io(IoError::last_os_error()); }

// Both timeouts are set before connecting: on Linux a connect to a listener
// whose backlog is full waits, bounded only by the send timeout.
Result<UniqueFd, FirecrackerError> open_connection(std::string_view socket_path, Duration timeout) {
    auto fd = open_unix_stream_socket();
    if (!fd) return fail(FirecrackerError::io(std::move(fd).error()));
    auto address = unix_address(socket_path);
    if (!address) return fail(FirecrackerError::io(std::move(address).error()));
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        auto set = set_socket_timeout(fd->get(), option, timeout.seconds, timeout.nanoseconds);
        if (!set) return fail(FirecrackerError::io(std::move(set).error()));
    }
    if (auto connected = connect_unix(fd->get(), address.value()); !connected)
        return fail(FirecrackerError::io(std::move(connected).error()));
    return std::move(fd).value();
}

struct ReceivedHead {
    std::string buffer;       // the head and whatever followed it in the same receives
    std::size_t end = 0;      // offset of CR LF CR LF
};

// Any receive error ends the exchange here, an interrupted call included.
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
        const ssize_t got = ::recv(fd, area, sizeof area, 0);
        if (got < 0) return fail(last_os_error());
        if (got == 0) return fail(FirecrackerError::message("malformed HTTP response"));
        buffer.append(area, static_cast<std::size_t>(got));
        if (buffer.size() > kHeaderLimit)
            return fail(FirecrackerError::message("HTTP response headers are too large"));
    }
}

Result<Unit, FirecrackerError> receive_exact(int fd, char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t got = ::recv(fd, data, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(last_os_error());
        }
        if (got == 0) return fail(FirecrackerError::io(IoError::message("failed to fill whole buffer")));
        data += got;
        length -= static_cast<std::size_t>(got);
    }
    return Unit{};
}

// The body is read into storage of exactly the announced length, so the call
// never waits for the peer to close. The storage is left uninitialised: pages
// are only touched as bytes arrive, and a length that cannot be allocated at
// all is refused before anything more is read.
Result<Unit, FirecrackerError> receive_body(int fd, std::string_view initial, std::uint64_t length,
                                            std::unique_ptr<char[]>& storage) {
    const auto too_large = [&] {
        return FirecrackerError::message("HTTP response body of " + std::to_string(length) +
                                         " bytes is too large to allocate");
    };
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) return fail(too_large());
    storage.reset(new (std::nothrow) char[static_cast<std::size_t>(length)]);
    if (!storage) return fail(too_large());
    std::memcpy(storage.get(), initial.data(), initial.size());
    return receive_exact(fd, storage.get() + initial.size(), static_cast<std::size_t>(length) - initial.size());
}

}  // namespace

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

Result<HttpReply, FirecrackerError> http_unix_request(std::string_view socket_path, std::string_view method,
                                                      std::string_view path, std::optional<std::string_view> body,
                                                      double timeout) {
    // Converted first: an impossible timeout panics before any socket exists.
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

}  // namespace corvane::firecracker
