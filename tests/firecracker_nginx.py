"""A real HTTP/1.1 server on a Unix socket: nginx as a child process in the
foreground, configured in a temporary directory to answer fixed JSON."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from tool_env import tool_environment

VM_JSON = '{"id":"demo-vm","state":"Running","vmm_version":"1.0.0"}'
FAULT_JSON = '{"fault_message":"Invalid request method and/or path."}'

CONFIG = """
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 512; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    default_type application/json;
    server {{
        listen unix:{socket};
        location = / {{ return 200 '{vm}'; }}
        location = /machine-config {{ return 204; }}
        location = /empty {{ return 200 ''; }}
        location = /fails {{ return 500 '{{"fault_message":"boom"}}'; }}
        location / {{ return 404 '{fault}'; }}
    }}
}}
"""


class Nginx:
    """Started by the caller, stopped by the caller; nothing survives stop()."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="ngx", dir="/tmp")
        self.socket_path = os.path.join(self.dir, "api.sock")
        config = os.path.join(self.dir, "nginx.conf")
        with open(config, "w") as f:
            f.write(CONFIG.format(dir=self.dir, socket=self.socket_path, vm=VM_JSON, fault=FAULT_JSON))
        self.process = subprocess.Popen(
            ["nginx", "-p", self.dir, "-c", config, "-e", os.path.join(self.dir, "error.log")],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            env=tool_environment(),
        )
        self._wait_until_listening()

    def _wait_until_listening(self, limit=15.0):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                error = self.process.stderr.read().decode(errors="replace")
                self.stop()
                raise RuntimeError(f"nginx exited: {error}")
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.connect(self.socket_path)
                return
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError("nginx did not start listening")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
