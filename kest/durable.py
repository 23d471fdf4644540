"""Writes that survive a crash or a power cut: every file the `kest` package writes goes through here.

A whole file is written to a temporary file beside it, forced to disk and renamed over the old
one, and the rename itself is forced to disk through the folder: a crash at any moment leaves
either the old content or the new, never a truncated mix. An append is one write of whole lines
followed by `fsync`; when it fails the file is cut back to its former length, so a full disk
leaves no partial line behind.
"""

import contextlib
import os

Path = str | os.PathLike


def _write_all(fd: int, data: bytes) -> None:
    # One write normally takes everything; a short count only means the rest follows.
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def sync_folder(folder: Path) -> None:
    """Forces the folder's entries (a new file, a rename) to disk."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_folder(path: Path) -> None:
    """Creates the folder `path` and its missing parents, each new entry forced to disk."""
    path = os.path.abspath(path)
    if os.path.isdir(path):
        return
    parent = os.path.dirname(path)
    make_folder(parent)
    with contextlib.suppress(FileExistsError):  # made meanwhile by another process
        os.mkdir(path)
    sync_folder(parent)


def truncate(fd: int, size: int) -> None:
    """Cuts the open file `fd` to `size` bytes, on disk before this returns."""
    os.ftruncate(fd, size)
    os.fsync(fd)


def append(fd: int, data: bytes) -> None:
    """Appends `data`, whole lines, to the file open as `fd` and forces it to disk. On any failure
    the file is cut back to its length before the call and the failure is raised."""
    size = os.fstat(fd).st_size
    try:
        _write_all(fd, data)
        os.fsync(fd)
    except BaseException:
        # The failure being raised says more than one of cutting back.
        with contextlib.suppress(OSError):
            truncate(fd, size)
        raise


def _existing_mode(path: str) -> int | None:
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        return None


def replace(path: Path, data: bytes) -> None:
    """Makes `data` the whole content of the file `path`, atomically and durably. A file that
    already exists keeps its permissions; a symbolic link keeps pointing at the file it names."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    temporary = os.path.join(folder, f".{name}.{os.urandom(8).hex()}.tmp")
    mode = _existing_mode(target)
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        try:
            if mode is not None:
                os.fchmod(fd, mode)
            _write_all(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    sync_folder(folder)


def write_text(path: Path, text: str) -> None:
    """`replace` with the UTF-8 bytes of `text`."""
    replace(path, text.encode())
