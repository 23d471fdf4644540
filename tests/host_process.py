"""A real `kest serve` process on a free loopback port, for the host's tests."""

import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import httpx

ROOT = pathlib.Path(__file__).resolve().parent.parent


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    def __init__(self, data: pathlib.Path, *options: str):
        self.data = data
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        environment = dict(os.environ, PYTHONPATH=str(ROOT))
        command = [sys.executable, "-m", "kest.cli", "serve", "--data", str(data), "--port", str(self.port), *options]
        self.process = subprocess.Popen(
            command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment
        )
        self.tokens = {}
        self._wait_ready()

    def _wait_ready(self) -> None:
        for line in self.process.stdout:
            if line.startswith("operator token "):
                self.tokens["operator"] = line.split()[-1]
            elif line.startswith("world "):
                self.tokens["gm"] = line.split()[-1]
            elif line.startswith("kest host on"):
                break
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the server stopped: {self.process.stderr.read()}")
            try:
                if httpx.get(self.url + "/health", timeout=1).status_code == 200:
                    return
            except httpx.TransportError:
                time.sleep(0.05)
        raise RuntimeError("the server did not answer in time")

    def kill(self) -> None:
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self) -> str:
        """Stops the server gently and returns what it wrote on standard error."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.kill()
        return self.process.stderr.read()


def bearer(token: str) -> dict:
    return {"Authorization": f"Bearer {token}"}
