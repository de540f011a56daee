// The addresses of a device, through route netlink.
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <vector>

#include "net/input.hpp"
#include "net/link.hpp"
#include "net/operations.hpp"

namespace corvane::net {
namespace {

// One address as the kernel lists it, enough to delete it again.
struct Listed {
    ifaddrmsg header{};
    std::vector<unsigned char> local;
    std::vector<unsigned char> address;
};

struct Listing {
    std::uint32_t index;
    std::vector<Listed> found;
};

std::vector<unsigned char> bytes_of(const nlattr* attribute) {
    const auto* data = static_cast<const unsigned char*>(mnl_attr_get_payload(attribute));
    return {data, data + mnl_attr_get_payload_len(attribute)};
}

int address_attribute(const nlattr* attribute, void* data) {
    auto& listed = *static_cast<Listed*>(data);
    if (mnl_attr_get_type(attribute) == IFA_LOCAL) listed.local = bytes_of(attribute);
    if (mnl_attr_get_type(attribute) == IFA_ADDRESS) listed.address = bytes_of(attribute);
    return MNL_CB_OK;
}

int address_message(const nlmsghdr* header, void* data) {
    auto& listing = *static_cast<Listing*>(data);
    const auto* address = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(header));
    if (header->nlmsg_type != RTM_NEWADDR || address->ifa_index != listing.index) return MNL_CB_OK;
    if (address->ifa_family != AF_INET && address->ifa_family != AF_INET6) return MNL_CB_OK;
    Listed listed;
    listed.header = *address;
    if (mnl_attr_parse(header, sizeof(ifaddrmsg), address_attribute, &listed) < 0) return MNL_CB_ERROR;
    listing.found.push_back(std::move(listed));
    return MNL_CB_OK;
}

void put_bytes(Message& message, std::uint16_t type, const std::vector<unsigned char>& bytes) {
    if (!bytes.empty()) mnl_attr_put(message.header(), type, bytes.size(), bytes.data());
}

}  // namespace

Result<Unit, NetError> flush_addrs(std::string_view name) {
    constexpr std::string_view kOperation = "flush_addrs";
    auto device = open_device(kOperation, name);
    if (!device) return std::move(device).take_failure();
    Listing listing{device->index, {}};
    Message dump(RTM_GETADDR, 0, sizeof(ifaddrmsg));
    dump.family<ifaddrmsg>()->ifa_family = AF_UNSPEC;
    const auto restart = [](void* data) { static_cast<Listing*>(data)->found.clear(); };
    if (auto listed = device->rtnl.dump(dump, address_message, &listing, restart); !listed)
        return fail(NetError::os(kOperation, name, listed.error()));
    for (const Listed& listed : listing.found) {
        Message message(RTM_DELADDR, 0, sizeof(ifaddrmsg));
        *message.family<ifaddrmsg>() = listed.header;
        put_bytes(message, IFA_LOCAL, listed.local);
        put_bytes(message, IFA_ADDRESS, listed.address);
        // Removing an IPv4 primary address removes its secondaries with it.
        auto done = device->rtnl.request(message);
        if (!done && done.error() != EADDRNOTAVAIL) return fail(NetError::os(kOperation, name, done.error()));
    }
    return Unit{};
}

Result<Unit, NetError> add_addr(std::string_view name, std::string_view ip, std::uint8_t prefix_len) {
    constexpr std::string_view kOperation = "add_addr";
    if (auto checked = check_interface_name(kOperation, name); !checked) return checked;
    auto prefix = parse_prefix(kOperation, ip, prefix_len);
    if (!prefix) return std::move(prefix).take_failure();
    auto device = open_device(kOperation, name);
    if (!device) return std::move(device).take_failure();
    Message message(RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE, sizeof(ifaddrmsg));
    auto* header = message.family<ifaddrmsg>();
    header->ifa_family = static_cast<unsigned char>(prefix->family);
    header->ifa_prefixlen = prefix->length;
    header->ifa_scope = RT_SCOPE_UNIVERSE;
    header->ifa_index = device->index;
    mnl_attr_put(message.header(), IFA_LOCAL, prefix->size(), prefix->bytes.data());
    mnl_attr_put(message.header(), IFA_ADDRESS, prefix->size(), prefix->bytes.data());
    // A /31 or /32 has no broadcast address.
    if (prefix->family == AF_INET && prefix->length < 31) {
        const auto broadcast = prefix->broadcast();
        mnl_attr_put(message.header(), IFA_BROADCAST, broadcast.size(), broadcast.data());
    }
    if (auto done = device->rtnl.request(message); !done) return fail(NetError::os(kOperation, name, done.error()));
    return Unit{};
}

}  // namespace corvane::net
