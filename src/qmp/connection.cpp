#include "qmp/connection.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/text.hpp"
#include "json/parse.hpp"
#include "json/write.hpp"

namespace corvane::qmp {
namespace {

constexpr Duration kRetryPause{0, 50'000'000};
constexpr Duration kShortest{0, 1000};  // the least a socket timeout can be

// The time left until the deadline, as a socket timeout: at least kShortest.
Duration socket_time_left(Instant deadline) { return std::max(time_until(deadline), kShortest); }

// One attempt, its connect bounded by `limit` (on Linux a connect to a
// listener whose backlog is full waits, bounded only by the send timeout).
// The socket is closed on failure.
Result<UniqueFd, IoError> try_connect(const std::string& socket_path, Duration limit) {
    auto socket = open_unix_stream_socket();
    if (!socket) return std::move(socket).take_failure();
    auto address = unix_address(socket_path);
    if (!address) return std::move(address).take_failure();
    if (auto set = set_socket_timeout(socket->get(), SO_SNDTIMEO, limit); !set) return std::move(set).take_failure();
    if (auto connected = connect_unix(socket->get(), *address); !connected) return std::move(connected).take_failure();
    return std::move(socket).value();
}

// How far a socket's receive timeout may be off the time left until a
// deadline before it is set again: less than the clock tick in which the
// kernel counts it, and the first receive of a wait then needs no extra call.
constexpr std::uint64_t kTimeoutSlackNanos = 1'000'000;

// Whether two durations differ by more than kTimeoutSlackNanos.
bool far_apart(Duration a, Duration b) {
    const auto [low, high] = std::minmax(a, b);
    if (high.seconds - low.seconds > 1) return true;
    const auto nanos = static_cast<std::int64_t>(high.seconds - low.seconds) * 1'000'000'000 +
                       static_cast<std::int64_t>(high.nanos) - static_cast<std::int64_t>(low.nanos);
    return static_cast<std::uint64_t>(nanos) > kTimeoutSlackNanos;
}

// When an exchange's wait for its reply ends: during the negotiation at the
// connect's deadline, else after the read timeout or at an earlier limit.
enum class ReplyWait { until_limit, read_timeout };

// One command's exchange on a connected connection: its line, then messages
// until its reply, all of them read by the one deadline fixed once the line
// is sent, so that events cannot stretch the wait.
Result<std::string, QmpError> exchange(QmpConnection& connection, std::string_view command,
                                       std::optional<std::string_view> arguments, ReplyWait wait, const Instant* limit);

// {"arguments":...,"execute":"..."} and a line feed; no "arguments" member
// when there are none.
std::string command_line(std::string_view command, std::optional<std::string_view> arguments) {
    // Written member by member: "arguments" sorts before "execute", which is
    // the order compact writing of the whole object would give.
    std::string line;
    line.reserve(128 + (arguments ? arguments->size() : 0));
    line += '{';
    if (arguments) {
        line += "\"arguments\":";
        line += *arguments;
        line += ',';
    }
    line += "\"execute\":";
    json::write_json_string(command, line);
    line += "}\n";
    return line;
}

// A member that is a string, as a value; null otherwise.
json::Value string_or_null(std::optional<std::string_view> member) {
    if (!member || member->front() != '"') return json::Value::null();
    auto string = json::parse_json_text(*member);
    return string ? std::move(string).value() : json::Value::null();
}

}  // namespace

Result<Unit, LineError> LineReader::read_line(std::string& line, const Instant* deadline) {
    const std::size_t line_start = line.size();
    for (;;) {
        if (start_ < end_) {
            const char* begin = buffer_ + start_;
            // Only bytes that still fit into the longest line are looked at.
            const std::size_t room = kMaxLineLength - (line.size() - line_start);
            const std::size_t available = std::min(end_ - start_, room);
            if (const void* newline = std::memchr(begin, '\n', available)) {
                const auto taken = static_cast<std::size_t>(static_cast<const char*>(newline) - begin) + 1;
                line.append(begin, taken);
                start_ += taken;
                return Unit{};
            }
            if (available == room) {
                start_ += available;
                return fail(LineError{LineError::Kind::too_long, 0});
            }
            line.append(begin, available);
            start_ = end_ = 0;
        }
        auto received = receive(buffer_, kBufferSize, deadline);
        if (!received) return std::move(received).take_failure();
        if (*received == 0) return Unit{};  // end of stream
        start_ = 0;
        end_ = *received;
    }
}

SocketLineReader::SocketLineReader(UniqueFd fd) : fd_(std::move(fd)) {}

Result<Unit, IoError> SocketLineReader::set_timeout(Duration timeout) {
    auto set = set_socket_timeout(fd_.get(), SO_RCVTIMEO, timeout);
    if (set) timeout_ = timeout;
    return set;
}

Result<std::size_t, LineError> SocketLineReader::receive(char* buffer, std::size_t size, const Instant* deadline) {
    for (;;) {
        if (deadline != nullptr) {
            const Duration left = time_until(*deadline);
            if (left.is_zero()) return fail(LineError{LineError::Kind::receive, EAGAIN});
            if (timeout_.is_zero() || far_apart(left, timeout_)) {
                if (auto set = set_timeout(left); !set)
                    return fail(LineError{LineError::Kind::receive, set.error().code()});
            }
        }
        const ssize_t received =
            call_resuming(fd_.get(), SO_RCVTIMEO, [&] { return ::recv(fd_.get(), buffer, size, 0); });
        if (received >= 0) return static_cast<std::size_t>(received);
        // A timeout set a little short of the deadline: the time left is waited for.
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || deadline == nullptr || reached(*deadline))
            return fail(LineError{LineError::Kind::receive, errno});
    }
}

QmpConnection::QmpConnection(std::string socket_path) : socket_path_(std::move(socket_path)) {}

Result<Unit, QmpError> QmpConnection::connect(Duration total, Duration read_timeout) {
    if (connected()) return Unit{};
    auto opened = open(total, read_timeout);
    if (opened) {
        connect_timeout_ = total;
        read_timeout_ = read_timeout;
    }
    return opened;
}

Result<Unit, QmpError> QmpConnection::open(Duration total, Duration read_timeout) {
    const Instant deadline = deadline_after(total);

    UniqueFd socket;
    for (;;) {
        auto attempt = try_connect(socket_path_, socket_time_left(deadline));
        if (attempt) {
            socket = std::move(attempt).value();
            break;
        }
        if (attempt.error().code() == EINTR) return fail(io_error(attempt.error().text()));
        if (reached(deadline)) return fail(QmpError::socket_timeout(socket_path_));
        if (!sleep_for(kRetryPause)) return fail(io_error(IoError::from_errno(EINTR).text()));
    }
    UniqueFd duplicate(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 3));
    if (!duplicate) return fail(io_error(IoError::last_os_error().text()));

    reader_ = std::make_unique<SocketLineReader>(std::move(duplicate));
    stream_ = std::move(socket);

    if (auto negotiated = negotiate(deadline, read_timeout); !negotiated) {
        close();
        return negotiated;
    }
    return Unit{};
}

Result<Unit, QmpError> QmpConnection::negotiate(Instant deadline, Duration read_timeout) {
    auto greeting = read_message(deadline);
    if (!greeting) return std::move(greeting).take_failure();
    if (!json::find_member(*greeting, "QMP")) {
        auto tree = json::parse_json_text(*greeting);
        return fail(QmpError::invalid_greeting(socket_path_, tree ? std::move(tree).value() : json::Value::null()));
    }

    if (auto set = set_socket_timeout(stream_.get(), SO_SNDTIMEO, socket_time_left(deadline)); !set)
        return fail(io_error(set.error().text()));
    if (auto reply = exchange(*this, "qmp_capabilities", std::nullopt, ReplyWait::until_limit, &deadline); !reply)
        return std::move(reply).take_failure();

    for (auto option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        if (auto set = set_socket_timeout(stream_.get(), option, read_timeout); !set)
            return fail(io_error(set.error().text()));
    }
    if (auto set = reader_->set_timeout(read_timeout); !set) return fail(io_error(set.error().text()));
    return Unit{};
}

// GCC reports the inactive alternatives of the moved JSON value as possibly
// uninitialised when it inlines the variant's move; they are never read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<std::string, QmpError> message_from_line(std::string_view line, std::string_view socket_path) {
    if (!is_valid_utf8(line)) return fail(QmpError::at_socket("stream did not contain valid UTF-8", socket_path));
    if (line.empty()) return fail(QmpError::socket_closed(socket_path));
    auto parsed = json::compact_json_text(line);
    if (!parsed) return fail(QmpError::at_socket(parsed.error().text(), socket_path));
    return std::move(parsed).value();
}

Result<std::string, QmpError> QmpConnection::read_message(Instant deadline) {
    if (!reader_) return fail(QmpError::not_connected(socket_path_));
    std::string line;
    auto message = [&]() -> Result<std::string, QmpError> {
        if (auto read = reader_->read_line(line, &deadline); !read) {
            if (read.error().kind == LineError::Kind::receive)
                return fail(io_error(IoError::from_errno(read.error().error_number).text()));
            return fail(io_error("QMP message exceeds " + std::to_string(LineReader::kMaxLineLength) +
                                 " bytes without a line feed"));
        }
        return message_from_line(line, socket_path_);
    }();
    if (!message) close();
    return message;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

Result<Unit, QmpError> QmpConnection::send_line(std::string_view bytes) {
    if (!stream_) return fail(QmpError::not_connected(socket_path_));
    if (auto sent = send_all(stream_.get(), bytes.data(), bytes.size()); !sent) {
        close();
        return fail(io_error(sent.error().text()));
    }
    return Unit{};
}

void QmpConnection::close() {
    reader_.reset();
    stream_.reset();
}

namespace {

// The descriptor's number comes to refer to `spare`'s socket; without a spare
// (no descriptor was left for one) it is closed and given up instead.
void refer_to(UniqueFd& fd, const UniqueFd& spare) {
    if (fd && (!spare || ::dup3(spare.get(), fd.get(), O_CLOEXEC) < 0)) ::close(fd.release());
}

}  // namespace

void SocketLineReader::cut_off(const UniqueFd& spare) { refer_to(fd_, spare); }

void QmpConnection::cut_off() {
    const UniqueFd spare(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    refer_to(stream_, spare);
    if (reader_) reader_->cut_off(spare);
}

MessageKind classify_message(std::string_view message) {
    // A text that is no object, or an empty one, has no members.
    if (json::find_member(message, "event")) return MessageKind::skipped;
    if (const auto error = json::find_member(message, "error"); error && error->front() == '{')
        return MessageKind::error_reply;
    if (json::find_member(message, "return")) return MessageKind::return_reply;
    return MessageKind::skipped;
}

Result<std::string, QmpError> qmp_execute(QmpConnection& connection, std::string_view command,
                                          std::optional<std::string_view> arguments, const Instant* limit) {
    if (!connection.connected()) {
        if (auto connected = connection.connect_again(); !connected) return std::move(connected).take_failure();
    }
    return exchange(connection, command, arguments, ReplyWait::read_timeout, limit);
}

Result<Unit, QmpError> qmp_run(QmpConnection& connection, std::string_view command,
                               std::optional<std::string_view> arguments) {
    auto reply = qmp_execute(connection, command, arguments);
    if (!reply) return std::move(reply).take_failure();
    return Unit{};
}

namespace {

Result<std::string, QmpError> exchange(QmpConnection& connection, std::string_view command,
                                       std::optional<std::string_view> arguments, ReplyWait wait,
                                       const Instant* limit) {
    if (auto sent = connection.send_line(command_line(command, arguments)); !sent)
        return std::move(sent).take_failure();
    Instant deadline = wait == ReplyWait::until_limit ? *limit : deadline_after(connection.read_timeout());
    if (limit != nullptr) deadline = std::min(deadline, *limit);

    for (;;) {
        auto message = connection.read_message(deadline);
        if (!message) return message;
        std::string& text = message.value();
        switch (classify_message(text)) {
            case MessageKind::skipped:
                continue;
            case MessageKind::error_reply: {
                const std::string_view error = *json::find_member(text, "error");
                return fail(QmpError::command_failed(connection.socket_path(), command,
                                                     string_or_null(json::find_member(error, "class")),
                                                     string_or_null(json::find_member(error, "desc"))));
            }
            case MessageKind::return_reply: {
                // Cut down to the member's value in place: a large reply is not copied.
                const std::string_view value = *json::find_member(text, "return");
                const auto begin = static_cast<std::size_t>(value.data() - text.data());
                text.resize(begin + value.size());
                text.erase(0, begin);
                return std::move(text);
            }
        }
    }
}

}  // namespace

}  // namespace corvane::qmp
