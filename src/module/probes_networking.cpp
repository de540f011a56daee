// Capability probes and the host-networking entry points. This build has no
// native networking: the entry points check their arguments, then refuse.
#include <cstdint>
#include <string_view>

#include "module/declare.hpp"

namespace corvane::py {
namespace {

using std::string_view;
using std::uint32_t;
using std::uint8_t;

template <bool Available>
bool probe() {
    return Available;
}

// The parameter types choose the conversions, so bad arguments are reported
// before the refusal.
template <class... Args>
Result<Unit, Error> refuse(Args...) {
    return fail(os_error("Not available on this platform"));
}

constexpr Arg kName = "_name"_a, kOwnerUid = "_owner_uid"_a, kHostIp = "_host_ip"_a, kPrefixLen = "_prefix_len"_a;

constexpr auto kFunctions = functions(
    def("has_native_networking", &probe<false>, Lock::held,
        "Return whether native Linux networking helpers are available."),
    def("has_native_qmp", &probe<true>, Lock::held, "Return whether the native QMP client is available."),
    def("has_native_disk_io", &probe<true>, Lock::held,
        "Return whether native host disk/image helpers are available."),
    def("has_native_firecracker_api", &probe<true>, Lock::held,
        "Return whether the Firecracker API client is available."),
    def("create_tap", &refuse<string_view, uint32_t>, Lock::held, kName, kOwnerUid),
    def("delete_tap", &refuse<string_view>, Lock::held, kName),
    def("set_link_up", &refuse<string_view>, Lock::held, kName),
    def("flush_addrs", &refuse<string_view>, Lock::held, kName),
    def("add_addr", &refuse<string_view, string_view, uint8_t>, Lock::held, kName, "_ip"_a, kPrefixLen),
    def("configure_tap", &refuse<string_view, string_view, uint8_t>, Lock::held, kName, kHostIp, kPrefixLen),
    def("prepare_tap", &refuse<string_view, uint32_t, string_view, uint8_t, bool>, Lock::held, kName, kOwnerUid,
        kHostIp, kPrefixLen, "_route_localnet"_a = true),
    def("add_route", &refuse<string_view, uint8_t, string_view>, Lock::held, "_dest"_a, kPrefixLen, "_dev"_a),
    def("get_default_interface", &refuse<>, Lock::held),
    def("write_sysctl", &refuse<string_view, string_view>, Lock::held, "_key"_a, "_value"_a));

}  // namespace

std::span<PyMethodDef> probe_and_networking_functions() { return detail::method_records<kFunctions>(); }

}  // namespace corvane::py
