// Network devices as the operations meet them: what the kernel says of one,
// asked by name or by index, and the steps every operation starts with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "net/error.hpp"
#include "net/netlink.hpp"

namespace corvane::net {

struct Link {
    std::uint32_t index = 0;
    std::string name;
    std::string kind;           // the driver's link kind ("tun" for TUN/TAP), or ""
    std::uint8_t tun_type = 0;  // IFF_TUN or IFF_TAP for a "tun" device
};

// The device of that name; nullopt when there is none (ENODEV).
Result<std::optional<Link>, int> find_link(Rtnl& rtnl, std::string_view name);
// The device of that index; ENODEV when there is none.
Result<Link, int> link_at(Rtnl& rtnl, std::uint32_t index);

// A route netlink socket for the operation; its failure names the operation and subject.
Result<Rtnl, NetError> open_rtnl(std::string_view operation, std::string_view subject);
// A checked device name, a socket and the device's index (ENODEV when there
// is none): where the address and route operations start.
struct Device {
    Rtnl rtnl;
    std::uint32_t index;
};
Result<Device, NetError> open_device(std::string_view operation, std::string_view name);

}  // namespace corvane::net
