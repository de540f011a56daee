// File descriptors: ownership, whole writes, and Unix-domain stream sockets as
// both API clients use them (close-on-exec, no SIGPIPE on writes to a closed
// peer, the address rules and socket timeouts).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "core/caller.hpp"
#include "core/duration.hpp"
#include "core/io_error.hpp"
#include "core/result.hpp"

namespace corvane {

// Owns one file descriptor and closes it when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    // Taken by value: the old descriptor leaves with `other`.
    UniqueFd& operator=(UniqueFd other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    int release() { return std::exchange(fd_, -1); }

    // Errors of close are deliberately ignored: there is nothing to do about them.
    void reset(int fd = -1) {
        if (const int old = std::exchange(fd_, fd); old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};

// A system call on a file or descriptor (no socket timeout to keep), called
// again after EINTR as retry_after_signal decides: a signal whose handler
// raises ends it with EINTR; any other is retried.
template <class Call>
auto call_retrying(Call call) -> decltype(call()) {
    for (;;) {
        const auto done = call();
        if (done >= 0 || errno != EINTR || !retry_after_signal()) return done;
    }
}

// read, called again after EINTR as retry_after_signal decides (a pipe or a
// terminal waits for data; a signal at which the caller gives up fails with EINTR).
ssize_t read_resuming(int fd, void* data, std::size_t length);

// The same with pread at `offset`, leaving the file offset alone; 0 (the end)
// past the largest offset.
ssize_t read_resuming_at(int fd, void* data, std::size_t length, std::uint64_t offset);

// pwrite of every byte from `offset` on, leaving the file offset alone,
// retrying after partial writes and, as retry_after_signal decides, after
// EINTR. A write that writes nothing fails with "failed to write whole
// buffer"; one past the largest offset with EFBIG.
Result<Unit, IoError> write_all_at(int fd, const char* data, std::size_t length, std::uint64_t offset);

// The same with send, which never raises SIGPIPE; each send is bounded by the
// socket's send timeout, as call_resuming keeps it.
Result<Unit, IoError> send_all(int fd, const char* data, std::size_t length);

// What call_resuming does after an EINTR: the socket's timeout `option`
// (SO_RCVTIMEO or SO_SNDTIMEO) is read once, and before each new call set to
// what is left of it since `start`; the destructor puts it back (errno kept).
class TimeoutResume {
public:
    TimeoutResume(int fd, int option);
    ~TimeoutResume();
    TimeoutResume(const TimeoutResume&) = delete;
    TimeoutResume& operator=(const TimeoutResume&) = delete;

    // Whether to call again; false with errno set: EINTR when the caller asks
    // to give up, EAGAIN (the error of a timeout) when no time is left.
    bool again(Instant start);

private:
    int fd_;
    int option_;
    Duration timeout_{};  // zero: none
    bool read_ = false;
    bool changed_ = false;
};

// Calls `call` (a recv, send or connect on `fd`, bounded by the socket's
// `option` timeout) and, after EINTR, again as retry_after_signal decides,
// within the time left of the first call's timeout. The usual path costs a
// clock reading; only an interruption changes the socket's timeout.
template <class Call>
auto call_resuming(int fd, int option, Call call) -> decltype(call()) {
    const Instant start = Instant::now();
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
    TimeoutResume resume(fd, option);
    while (result < 0 && errno == EINTR) {
        if (!resume.again(start)) return -1;
        result = call();
    }
    return result;
}

struct UnixAddress {
    sockaddr_un addr{};
    socklen_t length = 0;
};

// "paths must not contain interior null bytes" for a NUL in the path, "path
// must be shorter than SUN_LEN" when the path and its NUL do not fit sun_path.
// An empty path gives an address without a path, which fails at connect.
Result<UnixAddress, IoError> unix_address(std::string_view path);

// AF_UNIX stream socket, close-on-exec, with SO_NOSIGPIPE where the platform has it.
Result<UniqueFd, IoError> open_unix_stream_socket();

// Bounded by the socket's send timeout; resumed after signals as call_resuming does.
Result<Unit, IoError> connect_unix(int fd, const UnixAddress& address);

// SO_RCVTIMEO or SO_SNDTIMEO. A zero duration is refused with "cannot set a 0
// duration timeout"; under one microsecond it is rounded up to one, and
// seconds beyond time_t are clamped.
Result<Unit, IoError> set_socket_timeout(int fd, int option, Duration timeout);

}  // namespace corvane
