// The steps that make a TAP device ready for a virtual machine, as one operation.
#include "net/input.hpp"
#include "net/operations.hpp"
#include "net/tap.hpp"

namespace corvane::net {

Result<Unit, NetError> configure_tap(std::string_view name, std::string_view host_ip, std::uint8_t prefix_len) {
    // Both checked before the flush, so bad input changes nothing.
    if (auto checked = check_interface_name("configure_tap", name); !checked) return checked;
    if (auto prefix = parse_prefix("configure_tap", host_ip, prefix_len); !prefix)
        return std::move(prefix).take_failure();
    if (auto flushed = flush_addrs(name); !flushed) return flushed;
    if (auto added = add_addr(name, host_ip, prefix_len); !added) return added;
    return set_link_up(name);
}

Result<Unit, NetError> prepare_tap(std::string_view name, std::uint32_t owner, std::string_view host_ip,
                                   std::uint8_t prefix_len, bool route_localnet) {
    constexpr std::string_view kOperation = "prepare_tap";
    if (auto checked = check_interface_name(kOperation, name); !checked) return checked;
    if (auto prefix = parse_prefix(kOperation, host_ip, prefix_len); !prefix) return std::move(prefix).take_failure();
    auto made = make_tap(name, owner);
    if (!made) return std::move(made).take_failure();
    auto configured = configure_tap(name, host_ip, prefix_len);
    // '/' separators: the device's name may hold a dot.
    if (configured && route_localnet)
        configured = write_sysctl("net/ipv4/conf/" + std::string(name) + "/route_localnet", "1");
    if (!configured && *made) (void)delete_tap(name);
    return configured;
}

}  // namespace corvane::net
