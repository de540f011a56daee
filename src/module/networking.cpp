#include "module/networking.hpp"

#include <cstdint>
#include <string_view>

#include "module/wrapper.hpp"

namespace corvane::py::networking {
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

constexpr const char* kCreateTapParams[] = {"_name", "_owner_uid"};
constexpr const char* kNameParams[] = {"_name"};
constexpr const char* kAddAddrParams[] = {"_name", "_ip", "_prefix_len"};
constexpr const char* kConfigureTapParams[] = {"_name", "_host_ip", "_prefix_len"};
constexpr const char* kPrepareTapParams[] = {"_name", "_owner_uid", "_host_ip", "_prefix_len", "_route_localnet"};
constexpr const char* kAddRouteParams[] = {"_dest", "_prefix_len", "_dev"};
constexpr const char* kWriteSysctlParams[] = {"_key", "_value"};

constexpr FunctionSignature kCreateTap{"create_tap", nullptr, kCreateTapParams, 0, 2};
constexpr FunctionSignature kDeleteTap{"delete_tap", nullptr, kNameParams, 0, 1};
constexpr FunctionSignature kSetLinkUp{"set_link_up", nullptr, kNameParams, 0, 1};
constexpr FunctionSignature kFlushAddrs{"flush_addrs", nullptr, kNameParams, 0, 1};
constexpr FunctionSignature kAddAddr{"add_addr", nullptr, kAddAddrParams, 0, 3};
constexpr FunctionSignature kConfigureTap{"configure_tap", nullptr, kConfigureTapParams, 0, 3};
constexpr FunctionSignature kPrepareTap{"prepare_tap", nullptr, kPrepareTapParams, 0, 4};
constexpr FunctionSignature kAddRoute{"add_route", nullptr, kAddRouteParams, 0, 3};
constexpr FunctionSignature kWriteSysctl{"write_sysctl", nullptr, kWriteSysctlParams, 0, 2};

template <const FunctionSignature& Sig, auto Operation, auto... Defaults>
PyCFunction held_fastcall() {
    return as_pycfunction(&fastcall_function<Sig, Lock::held, Operation, Defaults...>);
}

}  // namespace

PyMethodDef has_native_networking{
    "has_native_networking", as_pycfunction(&noargs_function<Lock::held, &probe<false>>), kNoargsFlags,
    "has_native_networking()\n--\n\nReturn whether native Linux networking helpers are available."};
PyMethodDef has_native_qmp{
    "has_native_qmp", as_pycfunction(&noargs_function<Lock::held, &probe<true>>), kNoargsFlags,
    "has_native_qmp()\n--\n\nReturn whether the native QMP client is available."};
PyMethodDef has_native_disk_io{
    "has_native_disk_io", as_pycfunction(&noargs_function<Lock::held, &probe<true>>), kNoargsFlags,
    "has_native_disk_io()\n--\n\nReturn whether native host disk/image helpers are available."};
PyMethodDef has_native_firecracker_api{
    "has_native_firecracker_api", as_pycfunction(&noargs_function<Lock::held, &probe<true>>), kNoargsFlags,
    "has_native_firecracker_api()\n--\n\nReturn whether the Firecracker API client is available."};

PyMethodDef create_tap{"create_tap", held_fastcall<kCreateTap, &refuse<string_view, uint32_t>>(), kFastcallFlags,
                       "create_tap(_name, _owner_uid)\n--\n\n"};
PyMethodDef delete_tap{"delete_tap", held_fastcall<kDeleteTap, &refuse<string_view>>(), kFastcallFlags,
                       "delete_tap(_name)\n--\n\n"};
PyMethodDef set_link_up{"set_link_up", held_fastcall<kSetLinkUp, &refuse<string_view>>(), kFastcallFlags,
                        "set_link_up(_name)\n--\n\n"};
PyMethodDef flush_addrs{"flush_addrs", held_fastcall<kFlushAddrs, &refuse<string_view>>(), kFastcallFlags,
                        "flush_addrs(_name)\n--\n\n"};
PyMethodDef add_addr{"add_addr", held_fastcall<kAddAddr, &refuse<string_view, string_view, uint8_t>>(),
                     kFastcallFlags, "add_addr(_name, _ip, _prefix_len)\n--\n\n"};
PyMethodDef configure_tap{"configure_tap",
                          held_fastcall<kConfigureTap, &refuse<string_view, string_view, uint8_t>>(),
                          kFastcallFlags, "configure_tap(_name, _host_ip, _prefix_len)\n--\n\n"};
PyMethodDef prepare_tap{
    "prepare_tap",
    held_fastcall<kPrepareTap, &refuse<string_view, uint32_t, string_view, uint8_t, bool>, true>(),
    kFastcallFlags, "prepare_tap(_name, _owner_uid, _host_ip, _prefix_len, _route_localnet=True)\n--\n\n"};
PyMethodDef add_route{"add_route", held_fastcall<kAddRoute, &refuse<string_view, uint8_t, string_view>>(),
                      kFastcallFlags, "add_route(_dest, _prefix_len, _dev)\n--\n\n"};
PyMethodDef get_default_interface{"get_default_interface", as_pycfunction(&noargs_function<Lock::held, &refuse<>>),
                                  kNoargsFlags, "get_default_interface()\n--\n\n"};
PyMethodDef write_sysctl{"write_sysctl", held_fastcall<kWriteSysctl, &refuse<string_view, string_view>>(),
                         kFastcallFlags, "write_sysctl(_key, _value)\n--\n\n"};

}  // namespace corvane::py::networking
