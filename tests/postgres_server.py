"""A throwaway PostgreSQL server for the tests: the system's own binaries, a temporary folder, a Unix socket.

`initdb` and the server refuse to run as root, so when the tests run as root (CI does) both run as the
unprivileged `postgres` user that Debian's package creates, through `runuser`, and the folder belongs to that
user. The server listens on no TCP port: only on a socket inside the folder, so servers of several test
workers never meet and nothing outside the machine can reach them.

The data need not survive a crash of the machine, so the server skips fsync; it still commits before it
answers, which is all a test of the host's own crashes relies on.
"""

import glob
import os
import pathlib
import pwd
import shutil
import subprocess
import tempfile
import uuid

import psycopg
from psycopg import sql

# The superuser that initdb creates; the tests connect as it over the socket, trusted.
SUPERUSER = "kest"
SERVICE_USER = "postgres"
START_SECONDS = 60


class Unavailable(RuntimeError):
    """No PostgreSQL server can be started on this machine, with the reason."""


def server_binaries() -> pathlib.Path:
    """The bin folder of the newest PostgreSQL installed under /usr/lib/postgresql (Debian's layout)."""
    folders = [pathlib.Path(path) for path in glob.glob("/usr/lib/postgresql/*/bin")]
    folders = [folder for folder in folders if (folder / "initdb").exists() and (folder / "pg_ctl").exists()]
    if not folders:
        raise Unavailable(
            "no PostgreSQL server binaries under /usr/lib/postgresql/*/bin; "
            "`make system-deps` installs the `postgresql` package"
        )
    return max(folders, key=lambda folder: _version_key(folder.parent.name))


def _version_key(name: str) -> tuple[int, ...]:
    return tuple(int(part) for part in name.split(".") if part.isdigit())


def _service_account() -> pwd.struct_passwd | None:
    """The account the server runs as when we are root, or None when we may run it ourselves."""
    if os.geteuid() != 0:
        return None
    try:
        return pwd.getpwnam(SERVICE_USER)
    except KeyError:
        raise Unavailable(f"running as root, but there is no `{SERVICE_USER}` user to run the server as") from None


class PostgresServer:
    """One server in its own temporary folder; `start`, then `create_database` as often as needed, then `stop`.

    Also a context manager, which stops the server and removes the folder however the block ends.
    """

    def __init__(self, durable: bool = False) -> None:
        """`durable`: flush to disk on every commit, as a production server does (benchmarks want that)."""
        self._durable = durable
        self._bin = server_binaries()
        self._account = _service_account()
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="kest-pg-"))
        self._data = self.folder / "data"
        self._log = self.folder / "server.log"
        self._running = False

    def __enter__(self) -> "PostgresServer":
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def start(self) -> None:
        if self._account is not None:
            os.chown(self.folder, self._account.pw_uid, self._account.pw_gid)
        self.folder.chmod(0o700)
        self._run(
            "initdb",
            f"--pgdata={self._data}",
            f"--username={SUPERUSER}",
            "--auth=trust",
            "--encoding=UTF8",
            "--locale=C",
            "--no-sync",
        )
        self.resume()

    def resume(self) -> None:
        """Starts the server on the data already in its folder (after `start`, then `halt`)."""
        options = " ".join(
            [
                "-c listen_addresses=''",
                f"-c unix_socket_directories='{self.folder}'",
                "-c shared_buffers=32MB",
                "-c max_connections=200",
                *([] if self._durable else ["-c fsync=off", "-c full_page_writes=off"]),
            ]
        )
        self._run(
            "pg_ctl",
            "start",
            "--wait",
            f"--timeout={START_SECONDS}",
            "-D",
            str(self._data),
            "-l",
            str(self._log),
            "-o",
            options,
        )
        self._running = True

    def halt(self) -> None:
        """Stops the server as an outage would (open sessions are cut), keeping its data for `resume`."""
        self._running = False
        self._run("pg_ctl", "stop", "--wait", "--mode=fast", "-D", str(self._data))

    def stop(self) -> None:
        """Stops the server (fast: open sessions are cut) and removes its folder; safe to call twice."""
        try:
            if self._running:
                self.halt()
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql:///{database}?host={self.folder}&user={SUPERUSER}"

    def create_database(self, name: str | None = None) -> str:
        """Creates an empty database (a fresh name unless given) and returns its connection URL."""
        name = name or f"kest_{uuid.uuid4().hex[:12]}"
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
        return self.url(name)

    def log(self) -> str:
        try:
            return self._log.read_text(errors="replace")
        except OSError:
            return ""

    def _run(self, program: str, *arguments: str) -> None:
        command = [str(self._bin / program), *arguments]
        if self._account is not None:
            command = ["runuser", "-u", self._account.pw_name, "--", *command]
        finished = subprocess.run(command, capture_output=True, text=True, cwd=self.folder)
        if finished.returncode != 0:
            raise RuntimeError(
                f"{program} failed ({finished.returncode}): {finished.stderr.strip() or finished.stdout.strip()}\n"
                f"{self.log()}"
            )
