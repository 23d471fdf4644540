"""How a host is set up: where its data lives, where it listens, its limits, and its server key."""

import os
import re
import secrets
from dataclasses import dataclass
from pathlib import Path

from kest import durable

KEY_FILE = "server.key"
DATABASE_FILE = "host.db"
_KEY_PATTERN = re.compile(r"[0-9a-f]{64}")


@dataclass
class ServerConfig:
    data_dir: Path = Path("kest-data")
    db_url: str | None = None  # default: the SQLite file in data_dir
    host: str = "127.0.0.1"
    port: int = 8080
    body_limit: int = 1 << 20
    idle_seconds: float = 300.0  # a world nobody used for this long is suspended
    clock_interval: float = 0.05  # how often the clock looks for due worlds
    epoch_seconds: float = 10.0  # the period of a world created without one
    max_catchup: int = 64
    room_rate: int = 20  # frames a second of the real-time rooms, 1 to 60
    lease_seconds: float = 10.0  # with several processes on one database: how long one owns a world unrenewed

    @property
    def database(self) -> str:
        return self.db_url or str(Path(self.data_dir) / DATABASE_FILE)


def server_key(data_dir: Path) -> str:
    """The server key: 64 random hexadecimal characters in DIR/server.key (mode 0600), made on
    first start. It is used as this text everywhere and never leaves the machine."""
    durable.make_folder(data_dir)
    path = Path(data_dir) / KEY_FILE
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        text = path.read_text(encoding="ascii").strip()
        if not _KEY_PATTERN.fullmatch(text):
            raise ValueError(f"{path}: not a server key (64 lowercase hexadecimal characters)") from None
        return text
    text = secrets.token_hex(32)
    try:
        durable.append(fd, (text + "\n").encode())
    finally:
        os.close(fd)
    durable.sync_folder(data_dir)
    return text
