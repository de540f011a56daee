"""Host networking for a VM's TAP device, in a network namespace of the demo's own (the host's interfaces are never
touched): prepare_tap as a VM manager calls it, what the kernel then shows (`ip`), and the errors a caller meets."""

import json
import os
import subprocess
import sys
import traceback

import corvane_core._ffi as ffi

TITLE = "Host networking: a VM's TAP device (in a private network namespace)"


def ip(*args):
    return json.loads(subprocess.run(["ip", "-json", *args], check=True, capture_output=True, text=True).stdout or "[]")


def show_error(label, call):
    try:
        call()
    except OSError as error:
        print(f"  {label}: {type(error).__name__} errno {error.errno}: {error.strerror}")


def in_namespace():
    os.unshare(os.CLONE_NEWNET)
    ffi.set_link_up("lo")
    ffi.prepare_tap("fc-tap0", 1000, "172.16.0.1", 30)
    ffi.add_route("172.16.8.0", 24, "fc-tap0")
    [link] = ip("-details", "link", "show", "dev", "fc-tap0")
    tun = link["linkinfo"]["info_data"]
    print(
        f"  prepare_tap('fc-tap0', 1000, '172.16.0.1', 30): {link['linkinfo']['info_kind']}/{tun['type']}, "
        f"owner {tun['user']}, persistent {tun['persist']}, flags {','.join(link['flags'])}"
    )
    [addresses] = ip("address", "show", "dev", "fc-tap0")
    print(f"  addresses: {[a['local'] + '/' + str(a['prefixlen']) for a in addresses['addr_info']]}")
    print(f"  routes: {[r['dst'] + ' ' + r['scope'] for r in ip('route', 'show', 'dev', 'fc-tap0')]}")
    with open("/proc/sys/net/ipv4/conf/fc-tap0/route_localnet") as f:
        print(f"  route_localnet: {f.read().strip()}")
    ffi.add_route("0.0.0.0", 0, "fc-tap0")
    print(f"  get_default_interface(): {ffi.get_default_interface()!r}")
    show_error("prepare_tap('fc tap', ...)", lambda: ffi.prepare_tap("fc tap", 1000, "172.16.0.1", 30))
    show_error("add_addr('fc-tap0', '172.16.0.1', 33)", lambda: ffi.add_addr("fc-tap0", "172.16.0.1", 33))
    show_error("delete_tap('lo')", lambda: ffi.delete_tap("lo"))
    show_error("delete_tap('missing0')", lambda: ffi.delete_tap("missing0"))
    ffi.delete_tap("fc-tap0")
    print(f"  after delete_tap: {[entry['ifname'] for entry in ip('link')]}")


def run():
    if not ffi.has_native_networking():
        print("  this build has no native networking")
        return
    sys.stdout.flush()  # nothing buffered is printed twice
    child = os.fork()
    if child == 0:
        code = 0
        try:
            in_namespace()
        except PermissionError as error:
            print(f"  skipped: no network namespace here ({error})")
        except BaseException:  # noqa: BLE001 - reported, then the demo fails
            traceback.print_exc()
            code = 1
        finally:
            sys.stdout.flush()
            os._exit(code)
    _, status = os.waitpid(child, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("the networking section failed")
