"""firecracker_request and the wait against a real HTTP/1.1 server (nginx) on a Unix socket."""

import json

import pytest

import corvane_core._ffi as ffi
from firecracker_nginx import FAULT_JSON, VM_JSON, Nginx


@pytest.fixture(scope="module")
def nginx():
    server = Nginx()
    yield server
    server.stop()


@pytest.mark.parametrize(
    "method, path, body, expected",
    [
        ("GET", "/", None, (200, VM_JSON)),
        ("PUT", "/machine-config", '{"vcpu_count":2,"mem_size_mib":256}', (204, None)),
        ("PUT", "/machine-config", "{ not json", (204, None)),
        ("GET", "/empty", None, (200, None)),
        ("GET", "/no/such/path", None, (404, FAULT_JSON)),
        ("PATCH", "/vm", '{"state":"Paused"}', (404, FAULT_JSON)),
        ("GET", "/fails", None, (500, '{"fault_message":"boom"}')),
        ("PUT", "/machine-config", "x" * 100_000, (204, None)),
    ],
)
def test_requests_against_nginx(nginx, method, path, body, expected):
    assert ffi.firecracker_request(nginx.socket_path, method, path, body, 5.0) == expected


def test_answer_is_the_json_text(nginx):
    status, body = ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 5.0)
    assert status == 200 and json.loads(body)["state"] == "Running"


def test_many_connections_in_a_row(nginx):
    results = {ffi.firecracker_request(nginx.socket_path, "GET", "/", None, 5.0) for _ in range(200)}
    assert results == {(200, VM_JSON)}


def test_malformed_request_line_is_answered_400(nginx):
    status, body = ffi.firecracker_request(nginx.socket_path, "GET", "no-slash", None, 5.0)
    assert status == 400 and body is not None and "400" in body


def test_wait_for_socket_accepts_nginx(nginx):
    assert ffi.firecracker_wait_for_socket(nginx.socket_path, 5.0) is None


def test_wait_gives_up_after_nginx_stops():
    server = Nginx()
    path = server.socket_path
    ffi.firecracker_wait_for_socket(path, 5.0)
    server.stop()
    with pytest.raises(OSError) as caught:
        ffi.firecracker_wait_for_socket(path, 0.2)
    assert caught.value.args == ("wait_for_socket timed out",)
