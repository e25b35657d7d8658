"""Where a document's trace goes while a run processes it, and the trace file.

vaskel writes its trace (and a failure report) straight to file descriptors 1
and 2. The process that runs a document points those descriptors at the
sink of a ``TraceTarget`` for the length of the document (``redirected``),
and the target then hands back the piece that document wrote:

- ``DropTrace``: ``/dev/null``, nothing comes back;
- ``InlineTrace``: a temporary file of this process, whose bytes come back in
  the result (a Dask worker, which shares no folder with the client);
- ``SpoolTrace``: a file of the worker's own in a folder the parent reads,
  emptied for each document; a piece comes back as bytes, or as the path of
  the file when it is long (such bytes never cross a pipe);
- ``SharedSpool``: one file of the process that runs the documents and
  writes the trace file itself, the pieces one after another in it, each
  coming back as its place in that file (no file made per document).

Only the parent writes the trace file (``TraceFile``), one piece at a time.
"""

from __future__ import annotations

import os
import sys
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager

from .trace import flush_streams, restore_fd

__all__ = ["TraceTarget", "DropTrace", "InlineTrace", "SpoolTrace", "SharedSpool", "SpoolPiece", "TraceFile",
           "redirected"]


@contextmanager
def redirected(sink: int, fds: tuple[int, ...]) -> Iterator[None]:
    """Points each of ``fds`` at ``sink`` for the block; puts them back however it ends."""
    flush_streams(sys.stdout, sys.stderr)
    saved: list[tuple[int, int]] = []
    try:
        for fd in fds:
            try:
                saved.append((os.dup(fd), fd))
            except OSError:
                saved.append((-1, fd))  # closed before: closed again after
            os.dup2(sink, fd)
        yield
    finally:
        flush_streams(sys.stdout, sys.stderr)
        pending: BaseException | None = None
        for keep, fd in reversed(saved):
            try:
                restore_fd(keep, fd)
            except BaseException as exc:  # noqa: BLE001 - every descriptor goes back first
                pending = exc
        if pending is not None:
            raise pending


def read_start(fd: int, size: int) -> bytes:
    """The first ``size`` bytes of the file open as ``fd`` (fewer if it is shorter)."""
    chunks = []
    at = 0
    while at < size:
        chunk = os.pread(fd, size - at, at)
        if not chunk:
            break
        chunks.append(chunk)
        at += len(chunk)
    return b"".join(chunks)


class TraceTarget:
    """The sink of one document's trace in the process running it.

    ``fds``: the descriptors pointed at the sink (1 and 2, or only 1 where
    other threads of the process log on 2, as in a Dask worker).
    """

    def __init__(self, fds: tuple[int, ...] = (1, 2)) -> None:
        self.fds = fds

    def begin(self) -> int:
        """A descriptor for the next document's trace."""
        raise NotImplementedError

    def end(self, sink: int) -> bytes | str | SpoolPiece | None:
        """What the document wrote: bytes, the path of a spool file, its piece
        of a shared spool file, or None (dropped)."""
        raise NotImplementedError

    def close(self) -> None:
        """Releases what the target holds for this process."""


class DropTrace(TraceTarget):
    def __init__(self, fds: tuple[int, ...] = (1, 2)) -> None:
        super().__init__(fds)
        self._null = -1

    def begin(self) -> int:
        if self._null < 0:
            self._null = os.open(os.devnull, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
        return self._null

    def end(self, sink: int) -> None:
        return None

    def close(self) -> None:
        if self._null >= 0:
            os.close(self._null)
            self._null = -1


class InlineTrace(TraceTarget):
    def __init__(self, fds: tuple[int, ...] = (1, 2)) -> None:
        super().__init__(fds)
        self._file = -1

    def begin(self) -> int:
        if self._file < 0:
            self._file, name = tempfile.mkstemp(prefix="vaskel-trace-")
            os.unlink(name)
        os.ftruncate(self._file, 0)
        os.lseek(self._file, 0, os.SEEK_SET)
        return self._file

    def end(self, sink: int) -> bytes:
        os.lseek(sink, 0, os.SEEK_SET)
        chunks = []
        while chunk := os.read(sink, 1 << 20):
            chunks.append(chunk)
        return b"".join(chunks)

    def close(self) -> None:
        if self._file >= 0:
            os.close(self._file)
            self._file = -1


class SpoolTrace(TraceTarget):
    """A spool file of this process in ``folder``, emptied for each document.

    A piece of up to ``INLINE`` bytes comes back as bytes (it crosses the
    pipe with the result: no file is made or removed per document); a longer
    one comes back as the path of the spool file itself, which the reader
    copies and removes, and the next document gets a new file.
    """

    INLINE = 1 << 22

    def __init__(self, folder: str, fds: tuple[int, ...] = (1, 2)) -> None:
        super().__init__(fds)
        self.folder = folder
        self._count = 0
        self._path = ""
        self._fd = -1

    def begin(self) -> int:
        if self._fd < 0:
            self._count += 1
            self._path = os.path.join(self.folder, f"t{os.getpid()}-{self._count}")
            self._fd = os.open(self._path, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
        else:
            os.ftruncate(self._fd, 0)
            os.lseek(self._fd, 0, os.SEEK_SET)  # the engine writes at the file's offset
        return self._fd

    def end(self, sink: int) -> bytes | str:
        size = os.lseek(self._fd, 0, os.SEEK_CUR)
        if size <= self.INLINE:
            return read_start(self._fd, size)
        os.close(self._fd)
        self._fd = -1
        return self._path

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1
            try:
                os.unlink(self._path)
            except OSError:
                pass

class SpoolPiece:
    """One document's piece of a ``SharedSpool``: ``length`` bytes from ``offset``."""

    __slots__ = ("spool", "offset", "length")

    def __init__(self, spool: "SharedSpool", offset: int, length: int) -> None:
        self.spool = spool
        self.offset = offset
        self.length = length


class SharedSpool(TraceTarget):
    """One spool file in ``folder`` for every document of this process, the
    pieces one after another; it starts again from empty whenever the last
    piece written has been copied. For documents run in the process that
    writes the trace file: the pieces are taken in the order they were
    written, between two documents."""

    def __init__(self, folder: str, fds: tuple[int, ...] = (1, 2)) -> None:
        super().__init__(fds)
        self.folder = folder
        self._fd = -1
        self._start = 0
        self._end = 0  # where the next piece starts

    def begin(self) -> int:
        if self._fd < 0:
            path = os.path.join(self.folder, f"t{os.getpid()}")
            self._fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
            os.unlink(path)  # held by its descriptor alone
        os.lseek(self._fd, self._end, os.SEEK_SET)  # the engine writes at the file's offset
        self._start = self._end
        return self._fd

    def end(self, sink: int) -> SpoolPiece:
        self._end = os.lseek(self._fd, 0, os.SEEK_CUR)
        return SpoolPiece(self, self._start, self._end - self._start)

    def copied(self, piece: SpoolPiece) -> None:
        if piece.offset + piece.length == self._end and self._fd >= 0:
            os.ftruncate(self._fd, 0)
            self._end = 0

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


class TraceFile:
    """The run's trace file: ``# document: PATH`` then that document's piece.

    ``path`` None: no trace file (pieces given are still removed). ``header``,
    when given, is written first, as ``# `` lines.
    """

    def __init__(self, path: str | None, header: str = "") -> None:
        self.path = path
        self.fd = -1
        if path is not None:
            self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0), 0o666)
            if header:
                self._write("".join(f"# {line}\n" for line in header.splitlines()).encode("utf-8"))

    def add(self, doc_path: str, piece: bytes | str | SpoolPiece | None) -> None:
        try:
            if self.fd >= 0:
                head = f"# document: {doc_path.replace(chr(13), chr(92) + 'r').replace(chr(10), chr(92) + 'n')}\n"
                self._write(head.encode("utf-8", errors="surrogateescape"))
                if isinstance(piece, bytes):
                    self._write(piece)
                elif isinstance(piece, str):
                    self._copy(piece)
                elif isinstance(piece, SpoolPiece):
                    self._copy_range(piece.spool._fd, piece.offset, piece.length)
        finally:
            if isinstance(piece, str):
                try:
                    os.unlink(piece)
                except OSError:
                    pass
            elif isinstance(piece, SpoolPiece):
                piece.spool.copied(piece)

    def _write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def _copy(self, spool: str) -> None:
        src = os.open(spool, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            self._copy_range(src, 0, os.fstat(src).st_size)
        finally:
            os.close(src)

    def _copy_range(self, src: int, offset: int, length: int) -> None:
        while length > 0:
            try:
                done = os.copy_file_range(src, self.fd, length, offset)
            except (AttributeError, OSError):
                data = os.pread(src, min(length, 1 << 20), offset)
                done = len(data)
                if data:
                    self._write(data)
            if done <= 0:
                break
            offset += done
            length -= done

    def close(self) -> None:
        if self.fd >= 0:
            try:
                os.fsync(self.fd)
            except OSError:
                pass  # a pipe, a terminal, /dev/null
            os.close(self.fd)
            self.fd = -1
