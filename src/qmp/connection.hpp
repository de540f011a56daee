// One QMP connection: the socket, a buffered line reader over a second
// descriptor of it, the connect procedure with its retry loop, greeting check
// and capability negotiation, line framing, and one command's exchange: the
// command line, then replies read until the first success or error reply,
// skipping events and anything else.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/duration.hpp"
#include "core/fd.hpp"
#include "core/result.hpp"
#include "qmp/error.hpp"

namespace corvane::qmp {

// Why no line could be read: a receive error (its errno value), or a peer
// that sent kMaxLineLength bytes without a line feed.
struct LineError {
    enum class Kind { receive, too_long };
    Kind kind;
    int error_number = 0;  // for `receive`
};

// Frames lines out of the bytes a source receives; bytes received past the
// current line stay in the buffer for the next read. The framing is the same
// whatever the source: a socket for a connection, memory for the fuzzer.
class LineReader {
public:
    static constexpr std::size_t kBufferSize = 8192;
    // The longest line accepted, its line feed included. A peer that streams
    // bytes without a line feed would otherwise grow the line until memory
    // runs out; no QMP message comes near this size.
    static constexpr std::size_t kMaxLineLength = 10 * 1024 * 1024;

    virtual ~LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Appends the next line (its line feed included) to `line`. At the end
    // of the stream the bytes read so far are the line; an empty `line` then
    // means the stream ended. Nothing past kMaxLineLength
    // bytes is taken: the read fails with `too_long` instead, in the middle
    // of the line. Each receive ends by the deadline, when one is given.
    Result<Unit, LineError> read_line(std::string& line, const Instant* deadline = nullptr);

protected:
    LineReader() = default;

private:
    // Up to `size` bytes into `buffer`: how many, 0 at the end of the stream.
    virtual Result<std::size_t, LineError> receive(char* buffer, std::size_t size, const Instant* deadline) = 0;

    std::size_t start_ = 0;
    std::size_t end_ = 0;
    // Within the reader, so that a reader costs one allocation or none.
    char buffer_[kBufferSize];
};

// A connection's reader: receives from its own descriptor of the socket, each
// receive bounded by the descriptor's receive timeout or, given a deadline, by
// the time left until it (EAGAIN once reached).
class SocketLineReader final : public LineReader {
public:
    explicit SocketLineReader(UniqueFd fd);
    int fd() const { return fd_.get(); }

    // The receive timeout of the receives without a deadline.
    Result<Unit, IoError> set_timeout(Duration timeout);
    // See QmpConnection::cut_off.
    void cut_off(const UniqueFd& spare);

private:
    Result<std::size_t, LineError> receive(char* buffer, std::size_t size, const Instant* deadline) override;

    UniqueFd fd_;
    Duration timeout_{};  // the descriptor's receive timeout as last set; zero: none
};

// What one received line means: the message as compact JSON text (see
// json::compact_json_text: no tree of it is built), or the failure that ends
// the read (invalid UTF-8, the end of the stream as an empty line, bad JSON).
Result<std::string, QmpError> message_from_line(std::string_view line, std::string_view socket_path);

class QmpConnection {
public:
    explicit QmpConnection(std::string socket_path);

    const std::string& socket_path() const { return socket_path_; }
    bool connected() const { return stream_.valid(); }

    // Connects, checks the greeting and negotiates capabilities, unless
    // already connected (then nothing happens at all). Each connect is bounded
    // by the time left of `total` and retried every 50 ms until it has
    // passed; the greeting and the capabilities reply are awaited until then
    // too. Afterwards the socket timeouts are `read_timeout`, and both values
    // are kept for the automatic connects that follow.
    Result<Unit, QmpError> connect(Duration total, Duration read_timeout);

    // The same with the timeouts of the last connect() that connected; 5 s and
    // 30 s when none did. A command on a disconnected client connects so.
    Result<Unit, QmpError> connect_again() { return open(connect_timeout_, read_timeout_); }

    // How long a command waits for its reply, from when its line was sent.
    Duration read_timeout() const { return read_timeout_; }

    // The next line, as message_from_line gives it; each receive ends by the deadline. Every failure
    // (a receive error or timeout, a signal at which the caller gave up, a
    // line past LineReader::kMaxLineLength, invalid UTF-8, bad JSON, the end
    // of the stream) closes the connection: what is still on its way would
    // otherwise be taken for the reply to the next command.
    Result<std::string, QmpError> read_message(Instant deadline);

    // Sends one complete line; a failure closes the connection, as the peer
    // may have received part of it.
    Result<Unit, QmpError> send_line(std::string_view bytes);

    // Closes both descriptors without sending anything.
    void close();

    // In a forked child, for a call in progress on the connection: both
    // descriptors keep their numbers, which the call may hold, but refer to a
    // socket of their own that was never connected, so that the call fails
    // without touching the parent's socket; it then closes them.
    void cut_off();

private:
    Result<Unit, QmpError> open(Duration total, Duration read_timeout);
    Result<Unit, QmpError> negotiate(Instant deadline, Duration read_timeout);
    QmpError io_error(std::string message) const { return QmpError::at_socket(std::move(message), socket_path_); }

    std::string socket_path_;
    UniqueFd stream_;
    std::unique_ptr<SocketLineReader> reader_;
    Duration connect_timeout_{5, 0};
    Duration read_timeout_{30, 0};
};

// How a command's reader treats one received message: events, non-objects,
// empty objects and anything without "return" or an object "error" are
// skipped; an object "error" wins over "return".
enum class MessageKind { skipped, error_reply, return_reply };
MessageKind classify_message(std::string_view message);

// Sends the command with its arguments, compact JSON text or none
// (connecting first when needed, see connect_again), and gives the compact
// text of the reply's "return" member; an error reply is CommandFailed, and
// keeps the connection (the stream is in step); any other failure has closed
// it, so the next command connects afresh. The wait for the reply ends after
// the read timeout, counted from when the line was sent, whatever else
// arrives meanwhile, or at `limit` when that comes first.
Result<std::string, QmpError> qmp_execute(QmpConnection& connection, std::string_view command,
                                          std::optional<std::string_view> arguments, const Instant* limit = nullptr);

// The same for a command whose reply's value is of no use.
Result<Unit, QmpError> qmp_run(QmpConnection& connection, std::string_view command,
                               std::optional<std::string_view> arguments = std::nullopt);

}  // namespace corvane::qmp
