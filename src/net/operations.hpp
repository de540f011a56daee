// Host networking for the TAP devices of virtual machines (Linux). Every
// operation checks its input first (NetError with EINVAL, nothing changed),
// then asks the kernel: TUN/TAP through /dev/net/tun, devices, addresses and
// routes through route netlink, sysctls through /proc/sys. A kernel refusal
// keeps its error number, with the operation and the device in its text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "net/error.hpp"

namespace corvane::net {

// No owner for create_tap: the device stays open to privileged users only.
inline constexpr std::uint32_t kNoOwner = 0xFFFFFFFF;

// A persistent TAP device (IFF_TAP | IFF_NO_PI, one queue) owned by `owner`.
// An existing TAP device of that name is taken as it is, its owner set; a
// device of that name of another kind is refused (EEXIST).
Result<Unit, NetError> create_tap(std::string_view name, std::uint32_t owner);
// Deletes a TUN/TAP device; any other kind is refused (EINVAL), a missing one
// fails with ENODEV.
Result<Unit, NetError> delete_tap(std::string_view name);
// Sets the link administratively up.
Result<Unit, NetError> set_link_up(std::string_view name);
// Removes every IPv4 and IPv6 address of the device.
Result<Unit, NetError> flush_addrs(std::string_view name);
// Adds the address (replacing an equal one), with its broadcast address for
// IPv4 prefixes shorter than 31.
Result<Unit, NetError> add_addr(std::string_view name, std::string_view ip, std::uint8_t prefix_len);
// Afterwards the device has exactly that address and is up.
Result<Unit, NetError> configure_tap(std::string_view name, std::string_view host_ip, std::uint8_t prefix_len);
// create_tap, configure_tap and, when asked, route_localnet set to 1 for the
// device; a device this call created is deleted again when a later step fails.
Result<Unit, NetError> prepare_tap(std::string_view name, std::uint32_t owner, std::string_view host_ip,
                                   std::uint8_t prefix_len, bool route_localnet);
// A link-scope route to dest/prefix_len through the device in the main
// table, replacing one to the same destination. Host bits past the prefix are refused.
Result<Unit, NetError> add_route(std::string_view dest, std::uint8_t prefix_len, std::string_view dev);
// The device of the IPv4 default route of the main table with the lowest
// metric; ENOENT when there is none.
Result<std::string, NetError> get_default_interface();
// Writes the value to the existing file under /proc/sys that the key names,
// in one write.
Result<Unit, NetError> write_sysctl(std::string_view key, std::string_view value);

}  // namespace corvane::net
