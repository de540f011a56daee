"""The VM monitor's HTTP API over a Unix socket: waiting for it, then calling it.

The peer here is a small HTTP/1.1 server on a Unix socket that answers a few
endpoints the way the monitor's API does. It starts late, so the wait has to
keep trying until it answers.
"""

import json
import os
import shutil
import socketserver
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler

import corvane_core._ffi as ffi

TITLE = "Firecracker API client"

INSTANCE = {"id": "demo-vm", "state": "Not started", "vmm_version": "1.0.0", "app_name": "Firecracker"}


class ApiHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    machine_config = {"vcpu_count": 1, "mem_size_mib": 128}

    def address_string(self):
        return "unix"

    def log_message(self, format, *args):
        self.server.log.append(f"{self.command} {self.path}")

    def reply(self, status, document=None):
        body = b"" if document is None else json.dumps(document, separators=(",", ":")).encode()
        self.send_response(status)
        if body:
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def fault(self, status, message):
        self.reply(status, {"fault_message": message})

    def read_json(self):
        length = int(self.headers.get("Content-Length", "0"))
        return json.loads(self.rfile.read(length) or b"null")

    def do_GET(self):
        if self.path == "/":
            self.reply(200, INSTANCE)
        elif self.path == "/machine-config":
            self.reply(200, ApiHandler.machine_config)
        else:
            self.fault(400, "Invalid request method and/or path: GET " + self.path)

    def do_DELETE(self):
        self.fault(400, "Invalid request method and/or path: DELETE " + self.path)

    def do_PUT(self):
        if self.path != "/machine-config":
            self.fault(400, "Invalid request method and/or path: PUT " + self.path)
            return
        try:
            config = self.read_json()
        except ValueError as error:
            self.fault(400, f"An error occurred when deserializing the json body of a request: {error}.")
            return
        if not isinstance(config, dict) or "vcpu_count" not in config:
            self.fault(400, "missing field `vcpu_count`")
            return
        ApiHandler.machine_config = config
        self.reply(204)


class ApiServer(socketserver.ThreadingMixIn, socketserver.UnixStreamServer):
    daemon_threads = True

    def __init__(self, path):
        self.log = []
        super().__init__(path, ApiHandler)


def start_late(path, delay, servers):
    time.sleep(delay)
    server = ApiServer(path)
    servers.append(server)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def call(socket_path, method, path, body):
    shown = "None" if body is None else repr(body)
    try:
        result = ffi.firecracker_request(socket_path, method, path, body, 2.0)
    except OSError as error:
        print(f"  {method} {path} body={shown}\n    -> OSError: {error}")
    else:
        print(f"  {method} {path} body={shown}\n    -> {result!r}")


def run():
    directory = tempfile.mkdtemp(prefix="fcdemo", dir="/tmp")
    socket_path = os.path.join(directory, "firecracker.sock")
    servers = []
    try:
        print("  no API socket yet:")
        call(socket_path, "GET", "/", None)

        delay = 0.7
        print(f"  starting the API server in {delay} s; waiting for it (timeout 5 s) ...")
        starter = threading.Thread(target=start_late, args=(socket_path, delay, servers))
        started = time.monotonic()
        starter.start()
        ticks = 0
        done = threading.Event()

        def count_ticks():
            nonlocal ticks
            while not done.wait(0.05):
                ticks += 1

        ticker = threading.Thread(target=count_ticks)
        ticker.start()
        ffi.firecracker_wait_for_socket(socket_path, 5.0)
        done.set()
        ticker.join()
        starter.join()
        print(
            f"  firecracker_wait_for_socket returned None after {time.monotonic() - started:.2f} s "
            f"(another Python thread ticked {ticks} times meanwhile)"
        )

        call(socket_path, "GET", "/", None)
        call(socket_path, "PUT", "/machine-config", '{"vcpu_count":2,"mem_size_mib":256}')
        call(socket_path, "GET", "/machine-config", None)
        call(socket_path, "PUT", "/machine-config", '{"vcpu_count": 2,')
        call(socket_path, "PUT", "/machine-config", '{"mem_size_mib":256}')
        call(socket_path, "DELETE", "/vm", None)
        print(f"  the server saw: {', '.join(servers[0].log)}")
        print("  (the first GET / is the wait's probe; no connection is tried while the socket file is missing)")

        try:
            ffi.firecracker_wait_for_socket(os.path.join(directory, "never.sock"), 0.3)
        except OSError as error:
            print(f"  waiting 0.3 s for a socket that never appears -> OSError: {error}")
    finally:
        for server in servers:
            server.shutdown()
            server.server_close()
        shutil.rmtree(directory, ignore_errors=True)
