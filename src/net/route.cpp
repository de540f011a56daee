// Routes of the main table, through route netlink.
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <optional>

#include "net/input.hpp"
#include "net/link.hpp"
#include "net/operations.hpp"

namespace corvane::net {
namespace {

struct Route {
    std::uint32_t table = 0;
    std::uint32_t metric = 0;
    std::uint32_t device = 0;
};

struct DefaultRoute {
    std::optional<Route> best;
};

int first_hop(const nlattr* attribute, Route& route) {
    // The first next hop of a multipath route stands for it.
    if (mnl_attr_get_payload_len(attribute) >= sizeof(rtnexthop))
        route.device =
            static_cast<std::uint32_t>(static_cast<const rtnexthop*>(mnl_attr_get_payload(attribute))->rtnh_ifindex);
    return MNL_CB_OK;
}

int route_attribute(const nlattr* attribute, void* data) {
    auto& route = *static_cast<Route*>(data);
    const bool u32 = mnl_attr_validate(attribute, MNL_TYPE_U32) == 0;
    switch (mnl_attr_get_type(attribute)) {
        case RTA_TABLE:
            if (u32) route.table = mnl_attr_get_u32(attribute);
            break;
        case RTA_PRIORITY:
            if (u32) route.metric = mnl_attr_get_u32(attribute);
            break;
        case RTA_OIF:
            if (u32) route.device = mnl_attr_get_u32(attribute);
            break;
        case RTA_MULTIPATH:
            if (route.device == 0) return first_hop(attribute, route);
            break;
        default:
            break;
    }
    return MNL_CB_OK;
}

int route_message(const nlmsghdr* header, void* data) {
    auto& found = *static_cast<DefaultRoute*>(data);
    const auto* message = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(header));
    if (header->nlmsg_type != RTM_NEWROUTE || message->rtm_family != AF_INET || message->rtm_dst_len != 0 ||
        message->rtm_type != RTN_UNICAST)
        return MNL_CB_OK;
    Route route;
    route.table = message->rtm_table;
    if (mnl_attr_parse(header, sizeof(rtmsg), route_attribute, &route) < 0) return MNL_CB_ERROR;
    if (route.table != RT_TABLE_MAIN || route.device == 0) return MNL_CB_OK;
    if (!found.best || route.metric < found.best->metric) found.best = route;
    return MNL_CB_OK;
}

}  // namespace

Result<Unit, NetError> add_route(std::string_view dest, std::uint8_t prefix_len, std::string_view dev) {
    constexpr std::string_view kOperation = "add_route";
    auto prefix = parse_prefix(kOperation, dest, prefix_len);
    if (!prefix) return std::move(prefix).take_failure();
    if (prefix->has_host_bits())
        return fail(NetError::invalid(kOperation, "destination " + std::string(dest) + "/" +
                                                      std::to_string(prefix_len) +
                                                      " has host bits set past the prefix length"));
    auto device = open_device(kOperation, dev);
    if (!device) return std::move(device).take_failure();
    Message message(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, sizeof(rtmsg));
    auto* route = message.family<rtmsg>();
    route->rtm_family = static_cast<unsigned char>(prefix->family);
    route->rtm_dst_len = prefix->length;
    route->rtm_table = RT_TABLE_MAIN;
    route->rtm_protocol = RTPROT_BOOT;
    route->rtm_scope = RT_SCOPE_LINK;
    route->rtm_type = RTN_UNICAST;
    mnl_attr_put(message.header(), RTA_DST, prefix->size(), prefix->bytes.data());
    mnl_attr_put_u32(message.header(), RTA_OIF, device->index);
    if (auto done = device->rtnl.request(message); !done) return fail(NetError::os(kOperation, dev, done.error()));
    return Unit{};
}

Result<std::string, NetError> get_default_interface() {
    constexpr std::string_view kOperation = "get_default_interface";
    auto rtnl = open_rtnl(kOperation, {});
    if (!rtnl) return std::move(rtnl).take_failure();
    DefaultRoute found;
    Message dump(RTM_GETROUTE, 0, sizeof(rtmsg));
    dump.family<rtmsg>()->rtm_family = AF_INET;
    const auto restart = [](void* data) { static_cast<DefaultRoute*>(data)->best.reset(); };
    if (auto listed = rtnl->dump(dump, route_message, &found, restart); !listed)
        return fail(NetError::os(kOperation, {}, listed.error()));
    if (!found.best)
        return fail(NetError::with_text(kOperation, {}, ENOENT, "no IPv4 default route in the main table"));
    auto link = link_at(*rtnl, found.best->device);
    if (!link) return fail(NetError::os(kOperation, {}, link.error()));
    return std::move(link->name);
}

}  // namespace corvane::net
