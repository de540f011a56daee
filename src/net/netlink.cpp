#include "net/netlink.hpp"

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <vector>

#include "core/caller.hpp"
#include "core/duration.hpp"

namespace corvane::net {
namespace {

// The kernel answers route requests at once; this only bounds a wait that
// something unforeseen stretches.
constexpr Duration kAnswerTimeout{10, 0};
// A dump is asked again when a change interrupted it.
constexpr int kDumpAttempts = 8;

int milliseconds_until(Instant deadline) {
    const Duration left = time_until(deadline);
    const std::uint64_t ms = left.seconds * 1000 + (left.nanos + 999'999) / 1'000'000;
    return ms > 60'000 ? 60'000 : static_cast<int>(ms);
}

}  // namespace

Message::Message(std::uint16_t type, std::uint16_t flags, std::size_t family_header_size) : buffer_{} {
    header_ = mnl_nlmsg_put_header(buffer_);
    header_->nlmsg_type = type;
    header_->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    mnl_nlmsg_put_extra_header(header_, family_header_size);
}

Rtnl::Rtnl(mnl_socket* socket) : socket_(socket), port_(mnl_socket_get_portid(socket)) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    sequence_ = static_cast<std::uint32_t>(now.tv_nsec);
}

Result<Rtnl, int> Rtnl::open() {
    mnl_socket* socket = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket == nullptr) return fail(errno);
    std::unique_ptr<mnl_socket, Close> owned(socket);
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0) return fail(errno);
    return Rtnl(owned.release());
}

Result<Unit, int> Rtnl::request(Message& message, mnl_cb_t each, void* data) {
    message.header()->nlmsg_flags |= NLM_F_ACK;
    return exchange(message, each, data);
}

Result<Unit, int> Rtnl::dump(Message& message, mnl_cb_t each, void* data, void (*restart)(void*)) {
    message.header()->nlmsg_flags |= NLM_F_DUMP;
    for (int attempt = 1;; ++attempt) {
        restart(data);
        auto done = exchange(message, each, data);
        if (done || done.error() != EAGAIN) return done;
        if (attempt == kDumpAttempts) return fail(EAGAIN);
    }
}

Result<Unit, int> Rtnl::exchange(Message& message, mnl_cb_t each, void* data) {
    nlmsghdr* header = message.header();
    header->nlmsg_seq = ++sequence_;
    const Instant deadline = deadline_after(kAnswerTimeout);
    const int fd = mnl_socket_get_fd(socket_.get());
    for (;;) {
        if (mnl_socket_sendto(socket_.get(), header, header->nlmsg_len) >= 0) break;
        if (errno != EINTR || !retry_after_signal()) return fail(errno);
    }
    // One dump message may be as large as a page of the kernel's; 32 KiB
    // holds any (libmnl's advice for dumps).
    std::vector<char> buffer(32768);
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int count = ::poll(&ready, 1, milliseconds_until(deadline));
        if (count < 0) {
            if (errno == EINTR && retry_after_signal()) continue;
            return fail(errno);
        }
        if (count == 0) {
            if (reached(deadline)) return fail(ETIMEDOUT);
            continue;
        }
        const ssize_t received = mnl_socket_recvfrom(socket_.get(), buffer.data(), buffer.size());
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return fail(errno);
        }
        const int status =
            mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), header->nlmsg_seq, port_, each, data);
        if (status == MNL_CB_STOP) return Unit{};
        // libmnl reports a dump marked inconsistent (NLM_F_DUMP_INTR) as
        // EINTR, which here means a signal at which the caller gave up.
        if (status == MNL_CB_ERROR) return fail(errno == EINTR ? EAGAIN : errno);
    }
}

}  // namespace corvane::net
