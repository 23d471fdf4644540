"""Chain files on disk, shared between processes.

A process that writes a chain holds an exclusive advisory lock on the chain file from its first
read to its last write, so concurrent signers take turns and none appends to a chain it has not
read; a reader holds a shared lock and never sees half an append. The kernel drops the lock with
its holder, so a signer that dies leaves nothing to clean up.

A crash in the middle of an append can leave the file's last line torn: bytes with no line break
that are not JSON. `split_torn` sets that line apart from the whole lines before it, so that it
is told apart from tampering and can be dropped.
"""

import contextlib
import fcntl
import os
from collections import namedtuple
from collections.abc import Iterator

from kest import durable, jsontext


class Torn(namedtuple("Torn", "line start data")):
    """The torn last line of a chain file: its number counted from 1, its offset in bytes (the
    length of the whole lines before it) and its bytes."""

    __slots__ = ()

    def __str__(self) -> str:
        return (
            f"TornLastLine: line {self.line}, {len(self.data)} bytes without a line break: a write cut short;"
            " kest repair drops it"
        )


def _is_torn(last_line: bytes) -> bool:
    if not last_line.strip():
        return False
    try:
        jsontext.loads(last_line.decode())
    except ValueError:  # UnicodeDecodeError too: a write may stop inside a character
        return True
    return False


def split_torn(data: bytes) -> tuple[str, Torn | None]:
    """The text of a chain file's whole lines, and its torn last line when it has one; a last
    record written without its line break is whole. UnicodeDecodeError when the whole lines are
    not UTF-8."""
    start = data.rfind(b"\n") + 1
    if not _is_torn(data[start:]):
        return data.decode(), None
    text = data[:start].decode()
    return text, Torn(text.count("\n") + 1, start, data[start:])


class Held(namedtuple("Held", "path fd created")):
    """A chain file open under its lock; `created` when this holder created it, so that its folder
    entry must reach the disk with the first append."""

    __slots__ = ()

    def read(self) -> bytes:
        os.lseek(self.fd, 0, os.SEEK_SET)
        parts = []
        while part := os.read(self.fd, 1 << 20):
            parts.append(part)
        return b"".join(parts)

    def append(self, data: bytes) -> None:
        durable.append(self.fd, data)
        if self.created:
            durable.sync_folder(os.path.dirname(os.path.abspath(self.path)))

    def cut(self, size: int) -> None:
        durable.truncate(self.fd, size)


def _open(path: str, writable: bool, create: bool) -> tuple[int, bool]:
    """The open file and whether this call created it."""
    flags = (os.O_RDWR | os.O_APPEND if writable else os.O_RDONLY) | os.O_CLOEXEC
    while True:
        if create:
            with contextlib.suppress(FileExistsError):
                return os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o666), True
        try:
            return os.open(path, flags), False
        except FileNotFoundError:
            if not create:
                raise
            # A creator whose block failed removed the file between the two tries.


def _still_named(path: str, fd: int) -> bool:
    try:
        return os.path.samestat(os.fstat(fd), os.stat(path))
    except FileNotFoundError:
        return False


@contextlib.contextmanager
def hold(path: str, *, writable: bool, create: bool = False) -> Iterator[Held]:
    """The chain file at `path`, locked: exclusively when `writable`, shared otherwise. With
    `create`, a missing file is created, and removed again when the block fails before writing
    to it. The lock waits for its holder to finish, however long that takes."""
    while True:
        fd, created = _open(path, writable, create)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX if writable else fcntl.LOCK_SH)
            # The lock is held on a file, not a name: while this waited, another holder may have
            # removed the file it created.
            if _still_named(path, fd):
                break
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)
    try:
        yield Held(path, fd, created)
    except BaseException:
        if created and os.fstat(fd).st_size == 0:
            os.unlink(path)
        raise
    finally:
        os.close(fd)
