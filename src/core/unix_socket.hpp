// Unix-domain stream sockets as both API clients use them: close-on-exec, no
// SIGPIPE on writes to a closed peer, the address rules and socket timeouts.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/io_error.hpp"
#include "core/result.hpp"
#include "core/unique_fd.hpp"

namespace corvane {

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

Result<Unit, IoError> connect_unix(int fd, const UnixAddress& address);

// SO_RCVTIMEO or SO_SNDTIMEO. A zero duration is refused with "cannot set a 0
// duration timeout"; under one microsecond it is rounded up to one.
Result<Unit, IoError> set_socket_timeout(int fd, int option, std::chrono::nanoseconds timeout);

// The same for a duration given as whole seconds and nanoseconds, which can
// exceed what std::chrono::nanoseconds holds; seconds beyond time_t are clamped.
Result<Unit, IoError> set_socket_timeout(int fd, int option, std::uint64_t seconds, std::uint32_t nanoseconds);

// Sends every byte, retrying after EINTR and partial writes. A send that
// writes nothing fails with "failed to write whole buffer".
Result<Unit, IoError> send_all(int fd, const char* data, std::size_t length);

}  // namespace corvane
