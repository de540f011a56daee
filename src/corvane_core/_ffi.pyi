"""Private Python extension module. Public Python code lives in wrapper modules."""

from collections.abc import Sequence
from typing import final

__all__ = [
    "has_native_networking",
    "has_native_qmp",
    "has_native_disk_io",
    "has_native_firecracker_api",
    "create_tap",
    "delete_tap",
    "set_link_up",
    "flush_addrs",
    "add_addr",
    "configure_tap",
    "prepare_tap",
    "add_route",
    "get_default_interface",
    "write_sysctl",
    "clone_or_sparse_copy",
    "decompress_zstd_sparse",
    "firecracker_request",
    "firecracker_wait_for_socket",
    "_QmpClient",
]

def has_native_networking() -> bool:
    """Return whether native Linux networking helpers are available."""

def has_native_qmp() -> bool:
    """Return whether the native QMP client is available."""

def has_native_disk_io() -> bool:
    """Return whether native host disk/image helpers are available."""

def has_native_firecracker_api() -> bool:
    """Return whether the Firecracker API client is available."""

# Host networking for VM TAP devices (Linux; has_native_networking() says
# whether this build has it, and without it each call checks its arguments,
# then raises OSError("Not available on this platform")). Every failure is
# OSError(errno, "OPERATION DEVICE: text"), so Python picks the subclass:
# PermissionError without CAP_NET_ADMIN, FileExistsError, errno ENODEV for a
# missing device. Malformed names (empty, over 15 bytes, '/', ':', white space,
# control characters, '.', '..'), addresses, prefixes and sysctl keys raise
# errno EINVAL before anything changes.
#
# create_tap: a persistent TAP device (no packet information, one queue) owned
#   by _owner_uid (4294967295: no owner set); an existing TAP device of that
#   name is kept and given the owner; a device of another kind is refused.
# delete_tap: deletes a TUN/TAP device, and nothing else.
# set_link_up: the link administratively up.
# flush_addrs: removes every IPv4 and IPv6 address of the device.
# add_addr: adds the address (with its IPv4 broadcast address); an address the
#   device has already is replaced.
# configure_tap: afterwards the device has exactly that address and is up.
# prepare_tap: create_tap, configure_tap, then net.ipv4.conf.<name>.route_localnet
#   set to 1 when _route_localnet; a device it created is deleted again when a
#   later step fails.
# add_route: a link-scope route through _dev in the main table (replaced if it
#   exists); host bits set past the prefix are refused.
# get_default_interface: the device of the IPv4 default route of the main
#   table with the lowest metric; FileNotFoundError when there is none.
# write_sysctl: writes _value to the existing file under /proc/sys that the key
#   names ('.' separated, or '/' when it holds one), in one write.
def create_tap(_name: str, _owner_uid: int) -> None: ...
def delete_tap(_name: str) -> None: ...
def set_link_up(_name: str) -> None: ...
def flush_addrs(_name: str) -> None: ...
def add_addr(_name: str, _ip: str, _prefix_len: int) -> None: ...
def configure_tap(_name: str, _host_ip: str, _prefix_len: int) -> None: ...
def prepare_tap(_name: str, _owner_uid: int, _host_ip: str, _prefix_len: int, _route_localnet: bool = True) -> None: ...
def add_route(_dest: str, _prefix_len: int, _dev: str) -> None: ...
def get_default_interface() -> str: ...
def write_sysctl(_key: str, _value: str) -> None: ...

# Disk-image helpers. Both write a temporary file beside the target, turn
# all-zero chunks into holes and rename the result over the target; failures
# raise OSError with one text and leave the target as it was. They return the
# kind of file made: clone_or_sparse_copy gives "reflink" where the file
# system shares the source's blocks with the new file (Linux: XFS, btrfs),
# otherwise both give "sparse".
def clone_or_sparse_copy(source: str, target: str) -> str: ...
def decompress_zstd_sparse(source: str, target: str, chunk_size: int = 1048576) -> str: ...

# The VM monitor's HTTP API over a Unix socket: one request per connection.
# Any status comes back as (status, body); body is None for a 204 or an empty
# body. Failures raise OSError with one text argument.
def firecracker_request(
    socket_path: str, method: str, path: str, body_json: str | None, timeout: float
) -> tuple[int, str | None]: ...
def firecracker_wait_for_socket(socket_path: str, timeout: float) -> None: ...

# A QMP client over a Unix-domain socket. Every failure is RuntimeError whose
# one argument is the JSON text {"context":{...},"message":"..."}. JSON values
# come back as compact JSON text. It cannot be subclassed, and its instances
# have no attribute dictionary and no weak references.
@final
class _QmpClient:
    def __new__(cls, socket_path: str) -> _QmpClient: ...
    def connect(self, timeout: float, read_timeout: float) -> None: ...
    def execute(self, command: str, arguments_json: str | None) -> str: ...
    def stop_vm(self) -> None: ...
    def cont(self) -> None: ...
    def snapshot_save(self, job_id: str, tag: str, vmstate: str, devices: Sequence[str]) -> None: ...
    def snapshot_load(self, job_id: str, tag: str, vmstate: str, devices: Sequence[str]) -> None: ...
    def snapshot_delete(self, job_id: str, tag: str, devices: Sequence[str]) -> None: ...
    def blockdev_snapshot_internal_sync(self, device: str, name: str) -> None: ...
    def blockdev_snapshot_delete_internal_sync(self, device: str, name: str) -> None: ...
    def query_jobs(self) -> str: ...
    def dismiss_job(self, job_id: str) -> None: ...
    def wait_for_job(self, job_id: str, timeout: float, poll_interval: float) -> str: ...
    def close(self) -> None: ...
