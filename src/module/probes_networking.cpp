// Capability probes and the host-networking entry points. A build with native
// networking (CORVANE_NETWORKING, Linux) binds them to the net core, which
// works with the interpreter lock released; a build without it checks the
// arguments with the lock held, then refuses.
#include <cstdint>
#include <string_view>

#include "module/declare.hpp"
#if CORVANE_NETWORKING
#include "net/operations.hpp"
#endif

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

#if CORVANE_NETWORKING
constexpr bool kNetworking = true;
constexpr Lock kNetLock = Lock::released;
using net::add_addr, net::add_route, net::configure_tap, net::create_tap, net::delete_tap, net::flush_addrs,
    net::get_default_interface, net::prepare_tap, net::set_link_up, net::write_sysctl;
#else
constexpr bool kNetworking = false;
constexpr Lock kNetLock = Lock::held;
constexpr auto create_tap = &refuse<string_view, uint32_t>;
constexpr auto delete_tap = &refuse<string_view>;
constexpr auto set_link_up = &refuse<string_view>;
constexpr auto flush_addrs = &refuse<string_view>;
constexpr auto add_addr = &refuse<string_view, string_view, uint8_t>;
constexpr auto configure_tap = &refuse<string_view, string_view, uint8_t>;
constexpr auto prepare_tap = &refuse<string_view, uint32_t, string_view, uint8_t, bool>;
constexpr auto add_route = &refuse<string_view, uint8_t, string_view>;
constexpr auto get_default_interface = &refuse<>;
constexpr auto write_sysctl = &refuse<string_view, string_view>;
#endif

constexpr Arg kName = "_name"_a, kOwnerUid = "_owner_uid"_a, kHostIp = "_host_ip"_a, kPrefixLen = "_prefix_len"_a;

constexpr auto kFunctions = functions(
    def("has_native_networking", &probe<kNetworking>, Lock::held,
        "Return whether native Linux networking helpers are available."),
    def("has_native_qmp", &probe<true>, Lock::held, "Return whether the native QMP client is available."),
    def("has_native_disk_io", &probe<true>, Lock::held, "Return whether native host disk/image helpers are available."),
    def("has_native_firecracker_api", &probe<true>, Lock::held,
        "Return whether the Firecracker API client is available."),
    def("create_tap", create_tap, kNetLock, kName, kOwnerUid), def("delete_tap", delete_tap, kNetLock, kName),
    def("set_link_up", set_link_up, kNetLock, kName), def("flush_addrs", flush_addrs, kNetLock, kName),
    def("add_addr", add_addr, kNetLock, kName, "_ip"_a, kPrefixLen),
    def("configure_tap", configure_tap, kNetLock, kName, kHostIp, kPrefixLen),
    def("prepare_tap", prepare_tap, kNetLock, kName, kOwnerUid, kHostIp, kPrefixLen, "_route_localnet"_a = true),
    def("add_route", add_route, kNetLock, "_dest"_a, kPrefixLen, "_dev"_a),
    def("get_default_interface", get_default_interface, kNetLock),
    def("write_sysctl", write_sysctl, kNetLock, "_key"_a, "_value"_a));

}  // namespace

std::span<PyMethodDef> probe_and_networking_functions() { return detail::method_records<kFunctions>(); }

}  // namespace corvane::py
