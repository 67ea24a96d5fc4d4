"""A redis-server of the tests' own: on a free loopback port, in a folder of
the test's, stopped at the end. A machine without redis-server fails the
tests that need one rather than skipping them."""

from __future__ import annotations

import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class RedisServer:
    """A server that keeps what it is told on disk (append-only, each write
    synced unless `fsync` says "everysec"), so that a restart finds the
    windows as they were."""

    def __init__(self, folder: Path, fsync: str = "always") -> None:
        self.folder = folder
        self.fsync = fsync
        self.port = free_port()
        self.process: subprocess.Popen[bytes] | None = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> RedisServer:
        program = shutil.which("redis-server")
        if program is None:
            pytest.fail("redis-server is not installed: the Redis tests need it (apt-get install redis-server)")
        self.process = subprocess.Popen(
            [program, "--port", str(self.port), "--bind", "127.0.0.1", "--dir", str(self.folder),
             "--save", "", "--appendonly", "yes", "--appendfsync", self.fsync,
             "--logfile", str(self.folder / "redis.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2) as connection:
                    connection.sendall(b"PING\r\n")
                    if connection.recv(16).startswith(b"+PONG"):
                        return self
            except OSError:
                pass
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        pytest.fail(f"redis-server did not start on port {self.port}: see {self.folder / 'redis.log'}")

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
