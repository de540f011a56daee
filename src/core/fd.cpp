#include "core/fd.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/caller.hpp"

namespace corvane {
namespace {

// MSG_NOSIGNAL keeps a send to a closed peer from raising SIGPIPE where the
// socket itself cannot be told so with SO_NOSIGPIPE.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// Larger writes are split, as some systems refuse counts beyond a signed 32-bit size.
constexpr std::size_t kMaxWrite = 2147483647;

// The largest file offset.
constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// The loop of write_all_at and send_all around one call that may write part.
template <class Call>
Result<Unit, IoError> transfer_all(const char* data, std::size_t length, Call call) {
    while (length > 0) {
        const ssize_t done = call(data, std::min(length, kMaxWrite));
        if (done < 0) return fail(IoError::last_os_error());
        if (done == 0) return fail(IoError::message("failed to write whole buffer"));
        data += done;
        length -= static_cast<std::size_t>(done);
    }
    return Unit{};
}

}  // namespace

ssize_t read_resuming(int fd, void* data, std::size_t length) {
    return call_retrying([&] { return ::read(fd, data, length); });
}

ssize_t read_resuming_at(int fd, void* data, std::size_t length, std::uint64_t offset) {
    if (offset > kMaxOffset) return 0;
    return call_retrying([&] { return ::pread(fd, data, length, static_cast<off_t>(offset)); });
}

Result<Unit, IoError> write_all_at(int fd, const char* data, std::size_t length, std::uint64_t offset) {
    return transfer_all(data, length, [&](const char* at, std::size_t n) -> ssize_t {
        const auto into = static_cast<std::uint64_t>(at - data);
        if (offset > kMaxOffset || into > kMaxOffset - offset) {
            errno = EFBIG;
            return -1;
        }
        return call_retrying([&] { return ::pwrite(fd, at, n, static_cast<off_t>(offset + into)); });
    });
}

Result<Unit, IoError> send_all(int fd, const char* data, std::size_t length) {
    return transfer_all(data, length, [fd](const char* at, std::size_t n) {
        return call_resuming(fd, SO_SNDTIMEO, [&] { return ::send(fd, at, n, kSendFlags); });
    });
}

TimeoutResume::TimeoutResume(int fd, int option) : fd_(fd), option_(option) {}

TimeoutResume::~TimeoutResume() {
    if (!changed_) return;  // only a timeout that was there is changed
    const int saved = errno;
    (void)set_socket_timeout(fd_, option_, timeout_);
    errno = saved;
}

bool TimeoutResume::again(Instant start) {
    if (!retry_after_signal()) return false;  // errno is still EINTR
    if (!read_) {
        timeval tv{};
        socklen_t size = sizeof tv;
        if (::getsockopt(fd_, SOL_SOCKET, option_, &tv, &size) == -1) return false;
        timeout_ = Duration{static_cast<std::uint64_t>(tv.tv_sec), static_cast<std::uint32_t>(tv.tv_usec) * 1000};
        read_ = true;
    }
    if (timeout_.is_zero()) return true;  // no timeout: nothing to keep
    const Duration left = time_until(checked_add(start, timeout_).value_or(Instant::max()));
    if (left.is_zero()) {
        errno = EAGAIN;
        return false;
    }
    const int saved = errno;
    if (!set_socket_timeout(fd_, option_, left)) return false;
    changed_ = true;
    errno = saved;
    return true;
}

Result<UnixAddress, IoError> unix_address(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return fail(IoError::message("paths must not contain interior null bytes"));
    UnixAddress result;
    result.addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(result.addr.sun_path)) return fail(IoError::message("path must be shorter than SUN_LEN"));
    std::memcpy(result.addr.sun_path, path.data(), path.size());
    std::size_t length = offsetof(sockaddr_un, sun_path) + path.size();
    if (!path.empty()) length += 1;  // the terminating NUL
    result.length = static_cast<socklen_t>(length);
    return result;
}

Result<UniqueFd, IoError> open_unix_stream_socket() {
#if defined(SOCK_CLOEXEC)
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fail(IoError::last_os_error());
#else
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    if (!fd) return fail(IoError::last_os_error());
    if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) == -1) return fail(IoError::last_os_error());
#endif
#if defined(SO_NOSIGPIPE)
    int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) == -1) return fail(IoError::last_os_error());
#endif
    return fd;
}

Result<Unit, IoError> connect_unix(int fd, const UnixAddress& address) {
    const auto* addr = reinterpret_cast<const sockaddr*>(&address.addr);
    if (call_resuming(fd, SO_SNDTIMEO, [&] { return ::connect(fd, addr, address.length); }) == 0) return Unit{};
    return fail(IoError::last_os_error());
}

Result<Unit, IoError> set_socket_timeout(int fd, int option, Duration timeout) {
    if (timeout.is_zero()) return fail(IoError::message("cannot set a 0 duration timeout"));
    timeval tv{};
    tv.tv_sec = saturated_seconds<decltype(tv.tv_sec)>(timeout);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(timeout.nanos / 1000);
    if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
    if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) == -1) return fail(IoError::last_os_error());
    return Unit{};
}

}  // namespace corvane
