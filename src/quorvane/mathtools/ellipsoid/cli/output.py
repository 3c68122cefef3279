"""Where the results go, without destroying what sits at the output path.

- Standard output (no ``-o``, or ``-o -``): written as the rows are converted.
- A regular file, or a path that does not exist yet: symbolic links are followed to the real
  target. The results go to a hidden temporary file in the target's directory, which gets the
  mode (and, where permitted, the owner and group) of the file it replaces, is flushed to disk,
  and is then renamed over the target. The target appears or changes only when the run
  succeeds; on an error or a signal it is left as it was and the temporary file is removed.
  A hard-linked target is replaced under this one name only: its other names keep the old
  contents.
- Anything else (a FIFO, a character device such as ``/dev/null``, a Unix socket, or an open
  descriptor such as ``/dev/stdout``) is opened and written directly, with no temporary file.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import signal
import socket
import stat
import sys
import threading
from collections.abc import Iterator
from typing import IO, Any

from quorvane.mathtools.ellipsoid.cli.errors import UsageError
from quorvane.mathtools.ellipsoid.cli.formats import ERRORS

# /proc/self/fd, /proc/PID/fd, /proc/PID/task/TID/fd: the links there name open descriptors
# (/dev/stdout and /dev/fd/N lead here), which must be written through, never replaced.
_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
_FD_DIR = re.compile(r"/proc/[^/]+(?:/task/[^/]+)?/fd")


class _TextAsBytes:
    """A binary sink over a text-only stream (a stand-in for standard output)."""

    def __init__(self, text: IO[str]) -> None:
        self.text = text

    def write(self, data: bytes | bytearray | memoryview) -> int:
        self.text.write(bytes(data).decode("utf-8", ERRORS))
        return len(data)

    def flush(self) -> None:
        self.text.flush()


def resolve(path: str) -> tuple[str, int | None]:
    """The real target of ``path`` after symbolic links, and the descriptor of this process it
    names (``/dev/stdout``, ``/dev/fd/1``), if it names one."""
    current = os.path.abspath(path)
    for _ in range(40):  # the kernel's own limit on nested links
        directory = os.path.realpath(os.path.dirname(current))
        name = os.path.basename(current)
        current = os.path.join(directory, name)
        if _FD_DIR.fullmatch(directory):
            mine = directory.split("/")[2] == str(os.getpid())
            return current, int(name) if mine and name.isdigit() else None
        if not os.path.islink(current):
            return current, None
        current = os.path.join(directory, os.readlink(current))
    raise UsageError(f"cannot write {path!r}: too many levels of symbolic links")


@contextlib.contextmanager
def open_output(path: str | None) -> Iterator[Any]:
    """A binary sink for the results at ``path`` (``None`` or ``-``: standard output)."""
    if path is None or path == "-":
        if sys.stdout is None:  # closed (>&-)
            raise UsageError("standard output is closed: give -o FILE")
        buffer = getattr(sys.stdout, "buffer", None)
        if buffer is None:
            yield _TextAsBytes(sys.stdout)
            sys.stdout.flush()
            return
        sys.stdout.flush()
        yield buffer
        buffer.flush()
        return
    target, descriptor = resolve(path)
    if descriptor is not None:
        # Our own open descriptor: share its offset and flags (append mode stays append mode).
        with _fail(path):
            fd = os.dup(descriptor)
        with os.fdopen(fd, "wb") as sink:
            yield sink
        return
    try:
        st: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as exc:
        raise UsageError(f"cannot write {path!r}: {exc.strerror}") from None
    if st is not None and stat.S_ISDIR(st.st_mode):
        raise UsageError(f"cannot write {path!r}: it is a directory")
    if st is not None and not stat.S_ISREG(st.st_mode):
        with _open_special(path, target, st) as sink:
            yield sink
        return
    with _replace(path, target, st) as sink:
        yield sink


@contextlib.contextmanager
def _fail(path: str) -> Iterator[None]:
    try:
        yield
    except OSError as exc:
        raise UsageError(f"cannot write {path!r}: {exc.strerror or exc}") from None


@contextlib.contextmanager
def _open_special(path: str, target: str, st: os.stat_result) -> Iterator[Any]:
    """Stream into a FIFO, a device or a socket as it is."""
    if stat.S_ISSOCK(st.st_mode):
        with _fail(path):
            conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                conn.connect(target)
            except OSError:
                conn.close()
                raise
        with conn, conn.makefile("wb") as sink:
            yield sink
            sink.flush()
            conn.shutdown(socket.SHUT_WR)
        return
    # A FIFO blocks here until a reader opens it, as any writer of a FIFO does.
    with _fail(path):
        fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | getattr(os, "O_CLOEXEC", 0))
    with os.fdopen(fd, "wb") as sink:
        yield sink


@contextlib.contextmanager
def _replace(path: str, target: str, st: os.stat_result | None) -> Iterator[Any]:
    """Write a temporary file beside ``target`` and rename it over ``target`` on success."""
    directory, name = os.path.split(target)
    tmp = None
    try:
        # The name is chosen before the file is made, so that a signal handled right after
        # the open still finds the file to remove. (Blocking the signals around the open
        # instead would hand a signal sent meanwhile to another thread, and the main thread
        # would then sit in its next read of a pipe without noticing it.)
        with _fail(path):
            while True:
                tmp = os.path.join(directory, f".{name}.{secrets.token_hex(8)}.part")
                try:
                    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
                    break
                except FileExistsError:
                    tmp = None  # someone else's: not ours to remove
        with os.fdopen(fd, "wb") as sink:
            yield sink
            sink.flush()
            if st is None:
                umask = os.umask(0)
                os.umask(umask)
                os.fchmod(sink.fileno(), 0o666 & ~umask)
            else:
                _copy_owner_and_mode(sink.fileno(), st)
            os.fsync(sink.fileno())
        ignore_stop_signals()
        with _fail(path):
            os.replace(tmp, target)
        with contextlib.suppress(OSError):  # make the rename itself durable
            dfd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
            try:
                os.fsync(dfd)
            finally:
                os.close(dfd)
    except BaseException:
        if tmp is not None:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        raise


def ignore_stop_signals() -> None:
    """Ignore Ctrl-C, SIGTERM and SIGHUP for the rest of the run: called just before the output
    is renamed into place, after which the run ends with status 0 (nothing happens outside the
    main thread, where signals cannot be set). A signal that arrived before and whose handler
    has not run yet is dropped too."""
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in _STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)


def _copy_owner_and_mode(fd: int, st: os.stat_result) -> None:
    # The owner first: changing it clears the set-user-ID and set-group-ID bits. Only root may
    # give a file away; anyone may set the group to one of their own groups.
    own = os.fstat(fd)
    if (own.st_uid, own.st_gid) != (st.st_uid, st.st_gid):
        try:
            os.fchown(fd, st.st_uid, st.st_gid)
        except PermissionError:
            with contextlib.suppress(OSError):
                os.fchown(fd, -1, st.st_gid)
    os.fchmod(fd, stat.S_IMODE(st.st_mode))
