"""Requests per second of firecracker_request against nginx on a Unix socket,
side by side with Python's http.client doing the same exchange: one request
per connection, GET / answered with fixed JSON."""

import http.client
import os
import socket
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from firecracker_nginx import VM_JSON, Nginx  # noqa: E402

import corvane_core._ffi as ffi  # noqa: E402

REQUESTS = 2000
ROUNDS = 5


class UnixHTTPConnection(http.client.HTTPConnection):
    def __init__(self, socket_path, timeout):
        super().__init__("localhost", timeout=timeout)
        self.socket_path = socket_path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.socket_path)


HEADERS = {"Accept": "application/json", "Content-Type": "application/json", "Connection": "close"}


def native(path):
    return ffi.firecracker_request(path, "GET", "/", None, 5.0)


def stdlib(path):
    connection = UnixHTTPConnection(path, 5.0)
    try:
        connection.request("GET", "/", headers=HEADERS)
        response = connection.getresponse()
        body = response.read().decode()
        return response.status, body or None
    finally:
        connection.close()


def rate(call, path):
    started = time.perf_counter()
    for _ in range(REQUESTS):
        call(path)
    return REQUESTS / (time.perf_counter() - started)


def main():
    with Nginx() as server:
        path = server.socket_path
        for call in (native, stdlib):
            assert call(path) == (200, VM_JSON), call.__name__
            rate(call, path)  # warm up
        results = {"native": [], "stdlib": []}
        for _ in range(ROUNDS):
            results["native"].append(rate(native, path))
            results["stdlib"].append(rate(stdlib, path))
    native_rate = statistics.median(results["native"])
    stdlib_rate = statistics.median(results["stdlib"])
    print(f"GET / against nginx on a Unix socket, one request per connection, {REQUESTS} requests x {ROUNDS} rounds")
    print(
        f"  firecracker_request      {native_rate:9.0f} requests/s (median; rounds: "
        + ", ".join(f"{r:.0f}" for r in results["native"])
        + ")"
    )
    print(
        f"  http.client over AF_UNIX {stdlib_rate:9.0f} requests/s (median; rounds: "
        + ", ".join(f"{r:.0f}" for r in results["stdlib"])
        + ")"
    )
    print(f"  ratio firecracker_request / http.client: {native_rate / stdlib_rate:.2f}x")


if __name__ == "__main__":
    main()
