// TUN/TAP devices: made and owned through /dev/net/tun, deleted through route
// netlink after checking their kind.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "core/fd.hpp"
#include "net/input.hpp"
#include "net/link.hpp"
#include "net/operations.hpp"
#include "net/tap.hpp"

namespace corvane::net {
namespace {

bool is_tap(const Link& link) { return link.kind == "tun" && link.tun_type == IFF_TAP; }

}  // namespace

Result<bool, NetError> make_tap(std::string_view name, std::uint32_t owner) {
    constexpr std::string_view kOperation = "create_tap";
    if (auto checked = check_interface_name(kOperation, name); !checked) return std::move(checked).take_failure();
    auto rtnl = open_rtnl(kOperation, name);
    if (!rtnl) return std::move(rtnl).take_failure();
    auto existing = find_link(*rtnl, name);
    if (!existing) return fail(NetError::os(kOperation, name, existing.error()));
    if (*existing && !is_tap(**existing))
        return fail(
            NetError::with_text(kOperation, name, EEXIST, "a device of this name exists and is not a TAP device"));
    const int raw = call_retrying([] { return ::open("/dev/net/tun", O_RDWR | O_CLOEXEC); });
    if (raw < 0) return fail(NetError::os(kOperation, name, errno));
    const UniqueFd tun(raw);
    ifreq request{};
    std::memcpy(request.ifr_name, name.data(), name.size());
    // A new device is made only if none of the name appeared since the look
    // (IFF_TUN_EXCL); an existing one is attached to as it is.
    request.ifr_flags = static_cast<short>(IFF_TAP | IFF_NO_PI | (*existing ? 0 : IFF_TUN_EXCL));
    if (::ioctl(tun.get(), TUNSETIFF, &request) != 0) return fail(NetError::os(kOperation, name, errno));
    // The kernel keeps no way back to "no owner" once one is set: kNoOwner
    // leaves the owner as it is.
    if (owner != kNoOwner && ::ioctl(tun.get(), TUNSETOWNER, static_cast<unsigned long>(owner)) != 0)
        return fail(NetError::os(kOperation, name, errno));
    // Last: a device made by this call and not yet persistent goes away with
    // the descriptor when a step fails.
    if (::ioctl(tun.get(), TUNSETPERSIST, 1UL) != 0) return fail(NetError::os(kOperation, name, errno));
    return !*existing;
}

Result<Unit, NetError> create_tap(std::string_view name, std::uint32_t owner) {
    auto made = make_tap(name, owner);
    if (!made) return std::move(made).take_failure();
    return Unit{};
}

Result<Unit, NetError> delete_tap(std::string_view name) {
    constexpr std::string_view kOperation = "delete_tap";
    if (auto checked = check_interface_name(kOperation, name); !checked) return checked;
    auto rtnl = open_rtnl(kOperation, name);
    if (!rtnl) return std::move(rtnl).take_failure();
    auto existing = find_link(*rtnl, name);
    if (!existing) return fail(NetError::os(kOperation, name, existing.error()));
    if (!*existing) return fail(NetError::os(kOperation, name, ENODEV));
    if ((*existing)->kind != "tun") return fail(NetError::with_text(kOperation, name, EINVAL, "not a TUN/TAP device"));
    // By index: the device just checked, even if its name changes meanwhile.
    Message message(RTM_DELLINK, 0, sizeof(ifinfomsg));
    message.family<ifinfomsg>()->ifi_family = AF_UNSPEC;
    message.family<ifinfomsg>()->ifi_index = static_cast<int>((*existing)->index);
    if (auto done = rtnl->request(message); !done) return fail(NetError::os(kOperation, name, done.error()));
    return Unit{};
}

}  // namespace corvane::net
