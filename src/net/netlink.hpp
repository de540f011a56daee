// Route netlink through libmnl: one socket per operation, requests answered by
// an acknowledgement, and dumps read to their end. Every wait for the kernel
// ends at a deadline and follows the caller's signal rules (retry_after_signal).
// Failures are error numbers; the operations add what they were doing.
#pragma once

#include <libmnl/libmnl.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/result.hpp"

namespace corvane::net {

// One message under construction, with room for a request's attributes.
class Message {
public:
    // A header of the given type and flags, followed by the family's own
    // header (ifinfomsg, ifaddrmsg, rtmsg...) zero-filled.
    Message(std::uint16_t type, std::uint16_t flags, std::size_t family_header_size);

    nlmsghdr* header() { return header_; }
    template <class T>
    T* family() {
        return static_cast<T*>(mnl_nlmsg_get_payload(header_));
    }

private:
    // A request holds a few small attributes: a name, two or three addresses.
    alignas(nlmsghdr) char buffer_[512];
    nlmsghdr* header_;
};

class Rtnl {
public:
    // A route netlink socket, close-on-exec, bound to a port of its own.
    static Result<Rtnl, int> open();

    // Sends the request with an acknowledgement asked for and waits for it:
    // the kernel's error number on refusal. Messages answering a query come
    // before the acknowledgement and go to `each` (a libmnl data callback).
    Result<Unit, int> request(Message& message, mnl_cb_t each = nullptr, void* data = nullptr);

    // Sends a dump request and calls `each` (a libmnl data callback) for every
    // message of the answer. A dump the kernel reports as interrupted by a
    // change is asked again, a few times, then fails with EAGAIN; `restart`
    // drops what `each` gathered before every attempt.
    Result<Unit, int> dump(Message& message, mnl_cb_t each, void* data, void (*restart)(void*));

private:
    struct Close {
        void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
    };
    explicit Rtnl(mnl_socket* socket);

    Result<Unit, int> exchange(Message& message, mnl_cb_t each, void* data);

    std::unique_ptr<mnl_socket, Close> socket_;
    std::uint32_t port_;
    std::uint32_t sequence_;
};

}  // namespace corvane::net
