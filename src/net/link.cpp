#include "net/link.hpp"

#include <linux/if_link.h>
#include <linux/if_tun.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>

#include "net/input.hpp"
#include "net/operations.hpp"

namespace corvane::net {
namespace {

int link_info_data(const nlattr* attribute, void* data) {
    auto& link = *static_cast<Link*>(data);
    if (mnl_attr_get_type(attribute) == IFLA_TUN_TYPE && mnl_attr_validate(attribute, MNL_TYPE_U8) == 0)
        link.tun_type = mnl_attr_get_u8(attribute);
    return MNL_CB_OK;
}

int link_info(const nlattr* attribute, void* data) {
    auto& link = *static_cast<Link*>(data);
    if (mnl_attr_get_type(attribute) == IFLA_INFO_KIND && mnl_attr_validate(attribute, MNL_TYPE_STRING) == 0)
        link.kind = mnl_attr_get_str(attribute);
    else if (mnl_attr_get_type(attribute) == IFLA_INFO_DATA && link.kind == "tun")
        mnl_attr_parse_nested(attribute, link_info_data, data);
    return MNL_CB_OK;
}

int link_attribute(const nlattr* attribute, void* data) {
    auto& link = *static_cast<Link*>(data);
    if (mnl_attr_get_type(attribute) == IFLA_IFNAME && mnl_attr_validate(attribute, MNL_TYPE_STRING) == 0)
        link.name = mnl_attr_get_str(attribute);
    else if (mnl_attr_get_type(attribute) == IFLA_LINKINFO && mnl_attr_validate(attribute, MNL_TYPE_NESTED) == 0)
        mnl_attr_parse_nested(attribute, link_info, data);
    return MNL_CB_OK;
}

int link_message(const nlmsghdr* header, void* data) {
    if (header->nlmsg_type != RTM_NEWLINK) return MNL_CB_OK;
    auto& link = *static_cast<Link*>(data);
    link = Link{};
    link.index = static_cast<std::uint32_t>(static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(header))->ifi_index);
    return mnl_attr_parse(header, sizeof(ifinfomsg), link_attribute, data);
}

Result<Link, int> query(Rtnl& rtnl, std::uint32_t index, std::string_view name) {
    Message message(RTM_GETLINK, 0, sizeof(ifinfomsg));
    message.family<ifinfomsg>()->ifi_family = AF_UNSPEC;
    message.family<ifinfomsg>()->ifi_index = static_cast<int>(index);
    if (!name.empty()) mnl_attr_put_strz(message.header(), IFLA_IFNAME, std::string(name).c_str());
    Link link;
    if (auto asked = rtnl.request(message, link_message, &link); !asked) return std::move(asked).take_failure();
    if (link.index == 0) return fail(ENODEV);
    return link;
}

}  // namespace

Result<std::optional<Link>, int> find_link(Rtnl& rtnl, std::string_view name) {
    auto link = query(rtnl, 0, name);
    if (!link && link.error() == ENODEV) return std::optional<Link>{};
    if (!link) return std::move(link).take_failure();
    return std::optional<Link>(std::move(link).value());
}

Result<Link, int> link_at(Rtnl& rtnl, std::uint32_t index) { return query(rtnl, index, {}); }

Result<Rtnl, NetError> open_rtnl(std::string_view operation, std::string_view subject) {
    auto rtnl = Rtnl::open();
    if (!rtnl) return fail(NetError::os(operation, subject, rtnl.error()));
    return std::move(rtnl).value();
}

Result<Device, NetError> open_device(std::string_view operation, std::string_view name) {
    if (auto checked = check_interface_name(operation, name); !checked) return std::move(checked).take_failure();
    auto rtnl = open_rtnl(operation, name);
    if (!rtnl) return std::move(rtnl).take_failure();
    auto link = query(*rtnl, 0, name);
    if (!link) return fail(NetError::os(operation, name, link.error()));
    return Device{std::move(rtnl).value(), link->index};
}

Result<Unit, NetError> set_link_up(std::string_view name) {
    constexpr std::string_view kOperation = "set_link_up";
    if (auto checked = check_interface_name(kOperation, name); !checked) return checked;
    auto rtnl = open_rtnl(kOperation, name);
    if (!rtnl) return std::move(rtnl).take_failure();
    Message message(RTM_NEWLINK, 0, sizeof(ifinfomsg));
    message.family<ifinfomsg>()->ifi_family = AF_UNSPEC;
    message.family<ifinfomsg>()->ifi_change = IFF_UP;
    message.family<ifinfomsg>()->ifi_flags = IFF_UP;
    mnl_attr_put_strz(message.header(), IFLA_IFNAME, std::string(name).c_str());
    if (auto done = rtnl->request(message); !done) return fail(NetError::os(kOperation, name, done.error()));
    return Unit{};
}

}  // namespace corvane::net
