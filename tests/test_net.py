"""Host networking against the kernel, each test in namespaces of its own, checked with iproute2."""

import errno
import functools
import json
import os
import stat
import subprocess
import time
import traceback
import warnings

import pytest
from peers import need, tool_env

import corvane_core._ffi as ffi

pytestmark = [
    pytest.mark.skipif(not ffi.has_native_networking(), reason="this build has no native networking"),
    pytest.mark.skipif(not os.path.exists("/dev/net/tun"), reason="no /dev/net/tun"),
    need("ip"),
]
OWNER, OTHER = 1000, 1001


def in_namespace(test):
    """Runs the test in a forked child in network and mount namespaces of its own (this run's mounts are private); the
    outcome comes back through a pipe."""

    @functools.wraps(test)
    def run():
        read_end, write_end = os.pipe()
        with warnings.catch_warnings(action="ignore", category=DeprecationWarning):  # the child leaves with os._exit
            child = os.fork()
        if child == 0:
            outcome = "no namespaces here"
            try:
                os.unshare(os.CLONE_NEWNET | os.CLONE_NEWNS)
                outcome = "failed"
                test()
                outcome = "passed"
            except BaseException:
                outcome += "\n" + traceback.format_exc()
            os.write(write_end, outcome.encode())
            os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as report:
            outcome = report.read().decode()
        os.waitpid(child, 0)
        if outcome.startswith("no namespaces here"):
            pytest.skip(outcome)
        assert outcome == "passed", outcome or "the child died without a report"

    return run


def ip(*args):
    return json.loads(subprocess.run(["ip", "-json", *args], check=True, capture_output=True, text=True).stdout or "[]")


def link(name):
    return ip("-details", "link", "show", "dev", name)[0]


def addresses(name):
    [found] = ip("address", "show", "dev", name)
    return sorted(
        f"{a['local']}/{a['prefixlen']}" + (f" brd {a['broadcast']}" if "broadcast" in a else "")
        for a in found["addr_info"]
    )


def routes(*selector):
    return [
        (r["dst"], r.get("dev"), r.get("scope"), r.get("metric"))
        for r in ip(*selector, "route", "show", "table", "main")
    ]


def state():
    """Everything a refused call could have changed."""
    return ip("link"), ip("address"), ip("route", "show", "table", "all"), sysctl("net/ipv4/ip_forward")


def sysctl(path):
    with open(f"/proc/sys/{path}") as file:
        return file.read().strip()


def refusal(number, call, *args):
    """The text of the OSError that call(*args) raises, of the subclass Python picks for the number."""
    with pytest.raises(OSError) as caught:
        call(*args)
    assert type(caught.value) is type(OSError(number, "")) and caught.value.errno == number
    return caught.value.strerror


@in_namespace
def test_prepare_tap_makes_an_owned_tap_with_one_address_again_and_again():
    ffi.prepare_tap("tap0", OWNER, "172.16.0.1", 30)
    made = link("tap0")
    assert "UP" in made["flags"]
    tun = made["linkinfo"]["info_data"]
    assert [tun[key] for key in ("type", "pi", "multi_queue", "persist", "user")] == ["tap", False, False, True, OWNER]
    assert addresses("tap0") == ["172.16.0.1/30 brd 172.16.0.3"]
    assert sysctl("net/ipv4/conf/tap0/route_localnet") == "1"
    ffi.add_addr("tap0", "fd00::1", 64)
    ffi.prepare_tap("tap0", OTHER, "10.9.0.1", 24)  # the same device, taken as it is
    assert link("tap0")["ifindex"] == made["ifindex"] and link("tap0")["linkinfo"]["info_data"]["user"] == OTHER
    assert addresses("tap0") == ["10.9.0.1/24 brd 10.9.0.255"]
    ffi.create_tap("tap0", 4294967295)  # no owner asked: the owner stays
    assert link("tap0")["linkinfo"]["info_data"]["user"] == OTHER
    ffi.prepare_tap("tap.1", OWNER, "192.168.7.1", 32, False)
    assert addresses("tap.1") == ["192.168.7.1/32"] and sysctl("net/ipv4/conf/tap.1/route_localnet") == "0"
    ffi.delete_tap("tap0")
    ffi.delete_tap("tap.1")
    assert [entry["ifname"] for entry in ip("link")] == ["lo"]


@in_namespace
def test_addresses_routes_and_the_default_interface():
    for name in ("a", "b"):
        ffi.create_tap(name, 4294967295)
        ffi.set_link_up(name)
    assert "user" not in link("a")["linkinfo"]["info_data"]
    for _ in range(2):  # replaced, not doubled
        ffi.add_addr("a", "10.0.0.1", 24)
        ffi.add_addr("a", "fd00::1", 64)
        ffi.add_route("10.8.0.0", 16, "a")
        ffi.add_route("fd01::", 64, "a")
    assert addresses("a") == ["10.0.0.1/24 brd 10.0.0.255", "fd00::1/64"]
    assert ("10.8.0.0/16", "a", "link", None) in routes()
    assert ("fd01::/64", "a", None, 1024) in routes("-6")
    ffi.add_addr("a", "10.0.0.2", 24)  # a secondary, removed with its primary
    ffi.flush_addrs("a")
    assert addresses("a") == []
    no_default = "get_default_interface: no IPv4 default route in the main table"
    assert refusal(errno.ENOENT, ffi.get_default_interface) == no_default
    ip("route", "add", "default", "dev", "a", "metric", "100")
    ip("route", "add", "default", "dev", "b", "metric", "50")
    ip("route", "add", "default", "dev", "a", "table", "7")
    assert ffi.get_default_interface() == "b"


@in_namespace
def test_kernel_refusals_keep_their_error_number_and_name_the_device():
    ip("tuntap", "add", "tun0", "mode", "tun")
    assert refusal(errno.ENODEV, ffi.delete_tap, "nothere") == "delete_tap nothere: No such device"
    assert refusal(errno.ENODEV, ffi.add_route, "10.0.0.0", 8, "nothere") == "add_route nothere: No such device"
    assert refusal(errno.EINVAL, ffi.delete_tap, "lo") == "delete_tap lo: not a TUN/TAP device"
    for name in ("lo", "tun0"):
        exists = refusal(errno.EEXIST, ffi.create_tap, name, OWNER)
        assert exists == f"create_tap {name}: a device of this name exists and is not a TAP device"
    missing = refusal(errno.ENOENT, ffi.write_sysctl, "net.ipv4.nothere", "1")
    assert missing == "write_sysctl net.ipv4.nothere: No such file or directory"
    ffi.delete_tap("tun0")  # TUN devices are TUN/TAP devices too
    os.setresuid(OWNER, OWNER, OWNER)  # without CAP_NET_ADMIN
    assert refusal(errno.EACCES, ffi.create_tap, "tap0", OWNER) == "create_tap tap0: Permission denied"
    assert refusal(errno.EPERM, ffi.add_route, "10.0.0.0", 8, "lo") == "add_route lo: Operation not permitted"


BAD_INPUT = [  # the function, its arguments, the text after its name
    ("create_tap", ("", 0), "interface name '' is empty"),
    ("create_tap", ("x" * 16, 0), f"interface name '{'x' * 16}' is longer than 15 bytes"),
    ("delete_tap", ("..",), "interface name '..' is '.' or '..'"),
    ("set_link_up", ("a/b",), "interface name 'a/b' holds '/'"),
    ("flush_addrs", ("a:1",), "interface name 'a:1' holds ':'"),
    ("flush_addrs", ("a\u2003b",), "interface name 'a\\xe2\\x80\\x83b' holds white space"),
    ("create_tap", ("a\x7f", 0), "interface name 'a\\x7f' holds a control character"),
    ("add_addr", ("lo", "1.2.3.4\0", 24), "invalid IP address '1.2.3.4\\x00'"),
    ("add_addr", ("lo", "10.0.0.1", 33), "prefix length 33 is too long for IPv4 (at most 32)"),
    ("configure_tap", ("lo", "::1", 129), "prefix length 129 is too long for IPv6 (at most 128)"),
    ("prepare_tap", ("t0", 0, "1.2.3", 24), "invalid IP address '1.2.3'"),
    ("add_route", ("10.0.0.128", 24, "lo"), "destination 10.0.0.128/24 has host bits set past the prefix length"),
    ("write_sysctl", (".net.ipv4", "1"), "key '.net.ipv4' has an empty component"),
    ("write_sysctl", ("net/../../etc/passwd", "1"), "key 'net/../../etc/passwd' has a '.' or '..' component"),
    ("write_sysctl", ("net.ipv4.ip_forward", ""), "empty value for key 'net.ipv4.ip_forward'"),
]


@in_namespace
def test_bad_input_is_refused_before_anything_changes():
    ffi.set_link_up("lo")  # addresses that a refused configure_tap must keep
    before = state()
    for name, args, text in BAD_INPUT:
        assert refusal(errno.EINVAL, getattr(ffi, name), *args) == f"{name}: {text}"
    assert state() == before


@in_namespace
def test_prepare_tap_removes_the_device_it_made_when_a_later_step_fails():
    subprocess.run(["mount", "--bind", "-o", "ro", "/proc/sys", "/proc/sys"], check=True)
    failed = refusal(errno.EROFS, ffi.prepare_tap, "tap0", OWNER, "10.0.0.1", 24)
    assert failed == "write_sysctl net/ipv4/conf/tap0/route_localnet: Read-only file system"
    assert [entry["ifname"] for entry in ip("link")] == ["lo"]
    ffi.create_tap("tap0", OWNER)  # a device it did not make stays
    refusal(errno.EROFS, ffi.prepare_tap, "tap0", OWNER, "10.0.0.1", 24)
    assert link("tap0")["linkinfo"]["info_kind"] == "tun"


def qemu_on_tap(name, user):
    tap = f"tap,id=n0,ifname={name},script=no,downscript=no"
    command = ["qemu-system-x86_64", "-machine", "none", "-S", "-display", "none", "-nodefaults", "-netdev", tap]
    return subprocess.Popen(command, user=user, group=user, env=tool_env(), stderr=subprocess.PIPE, text=True)


@need("qemu-system-x86_64")
@in_namespace
def test_qemu_as_the_owner_opens_the_prepared_tap_and_another_user_is_refused():
    # A device node open to everyone, as distributions ship it; TUNSETIFF checks the device's owner.
    subprocess.run(["mount", "-t", "tmpfs", "none", "/dev/net"], check=True)
    os.mknod("/dev/net/tun", stat.S_IFCHR, os.makedev(10, 200))
    os.chmod("/dev/net/tun", 0o666)
    ffi.prepare_tap("vmtap0", OWNER, "172.16.0.1", 30)
    assert "NO-CARRIER" in link("vmtap0")["flags"]
    refused = qemu_on_tap("vmtap0", OTHER)
    assert refused.wait(timeout=60) != 0 and "Operation not permitted" in refused.communicate()[1]
    with qemu_on_tap("vmtap0", OWNER) as owner:  # leaving waits for it
        try:
            eventually(lambda: "LOWER_UP" in link("vmtap0")["flags"] or owner.poll() is not None)
            assert owner.poll() is None, owner.stderr.read()
        finally:
            owner.kill()
    eventually(lambda: "NO-CARRIER" in link("vmtap0")["flags"])  # the persistent device outlives its user


def eventually(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "the condition never held"
        time.sleep(0.05)
