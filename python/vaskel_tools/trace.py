"""Capture or silence what vaskel writes on file descriptor 1.

vaskel writes its trace (engine) and its node lines (to_xml) straight to file
descriptor 1, with the interpreter lock held, so ``contextlib.redirect_stdout``
never sees them. The helpers here point descriptor 1 itself elsewhere for the
length of a ``with`` block. The capture goes to a temporary file rather than a
pipe: a pipe read by a thread of this process could fill up while vaskel,
holding the lock, waits for that thread to drain it.
"""

from __future__ import annotations

import io
import os
import sys
import tempfile
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import IO, Any

__all__ = ["CapturedTrace", "capture_trace", "silence_trace"]


class CapturedTrace:
    """What reached file descriptor 1 inside a ``capture_trace()`` block.

    Empty while the block runs; filled when it ends, whichever way it ends.
    """

    __slots__ = ("data",)

    def __init__(self) -> None:
        self.data = b""

    @property
    def text(self) -> str:
        """The captured bytes as text (UTF-8; an invalid byte becomes U+FFFD)."""
        return self.data.decode("utf-8", errors="replace")

    @property
    def lines(self) -> list[str]:
        """The captured lines, without their line feeds.

        Only a line feed ends a line: a label may hold a carriage return or a
        form feed, which stay inside their line.
        """
        text = self.text
        if not text:
            return []
        parts = text.split("\n")
        if parts[-1] == "":
            parts.pop()
        return parts

    def __repr__(self) -> str:
        return f"<CapturedTrace: {len(self.data)} bytes>"


def flush_streams(*streams: Any) -> None:
    """Flushes each stream that is there; a closed or broken one is passed over."""
    for stream in streams:
        if stream is not None:
            try:
                stream.flush()
            except (OSError, ValueError):
                # A closed or broken stream must not keep fd 1 redirected.
                pass


def restore_fd(saved: int, fd: int = 1) -> None:
    """Puts ``saved`` back as ``fd`` and closes it (``saved`` < 0: closes ``fd``).

    Done even when a signal handler raises (KeyboardInterrupt) while this
    runs: the exception is raised again once the descriptor is back.
    """
    pending: BaseException | None = None
    while True:
        try:
            if saved >= 0:
                os.dup2(saved, fd)
                os.close(saved)
            else:
                os.close(fd)
            break
        except OSError:
            break
        except BaseException as exc:  # noqa: BLE001 - re-raised below
            pending = exc
    if pending is not None:
        raise pending


class _Block:
    """One open block: the descriptor it points fd 1 at, and fd 1 as it found it."""

    __slots__ = ("target", "saved")

    def __init__(self, target: int) -> None:
        self.target = target
        self.saved = -1  # -1: fd 1 was closed


# The blocks open in the whole process, oldest first. Each one saved fd 1 as
# the block before it had left it, so a block that ends while a newer one is
# open (another thread's) hands what it saved to that newer block instead of
# putting it back: fd 1 stays on the newest open block, and goes back to where
# it was when the last one ends, in whatever order they end.
_lock = threading.RLock()
_open: list[_Block] = []
_line_buffered: list[io.TextIOWrapper] = []


def _line_buffer_stdout() -> None:
    # Each print that ends a line reaches fd 1 at once, ahead of what vaskel
    # writes next, whatever buffering the interpreter chose for a file or a
    # pipe; put back when the last block ends.
    for stream in dict.fromkeys((sys.stdout, sys.__stdout__)):
        if not isinstance(stream, io.TextIOWrapper) or stream.line_buffering:
            continue
        try:
            if stream.fileno() != 1:
                continue
            stream.reconfigure(line_buffering=True)
        except (OSError, ValueError):
            continue
        _line_buffered.append(stream)


def _restore_buffering() -> None:
    while _line_buffered:
        stream = _line_buffered.pop()
        try:
            stream.reconfigure(line_buffering=False)
        except (OSError, ValueError):
            pass


@contextmanager
def _fd1_to(target: IO[bytes]) -> Iterator[None]:
    block = _Block(target.fileno())
    with _lock:
        flush_streams(sys.stdout, sys.__stdout__)
        if not _open:
            _line_buffer_stdout()
        try:
            block.saved = os.dup(1)
        except OSError:
            pass  # fd 1 was closed; it is closed again afterwards
        try:
            os.dup2(block.target, 1)
        except BaseException:
            restore_fd(block.saved)
            if not _open:
                _restore_buffering()
            raise
        _open.append(block)
    try:
        yield
    finally:
        with _lock:
            flush_streams(sys.stdout, sys.__stdout__)
            at = _open.index(block)
            del _open[at]
            if not _open:
                _restore_buffering()
            if at == len(_open):
                restore_fd(block.saved)
            else:
                newer = _open[at]
                if newer.saved >= 0:
                    os.close(newer.saved)
                newer.saved = block.saved


@contextmanager
def capture_trace() -> Iterator[CapturedTrace]:
    """Sends what is written to file descriptor 1 to a temporary file.

    ::

        with capture_trace() as trace:
            tree = vaskel.engine(tokens, rules)
        trace.lines  # ['le : DET', ..., '["DET+NOM"]']

    ``sys.stdout`` is flushed on entry and on exit, so ordinary prints keep
    their place; prints made inside the block while ``sys.stdout`` writes to
    fd 1 (a script, not a notebook) are captured too, in their place among the
    trace lines: ``sys.stdout`` is line-buffered while a block is open, so
    each line printed is written when it ends. Descriptor 1 is restored
    however the block ends (PanicException, KeyboardInterrupt...), and the
    result is filled in then. Blocks nest: the innermost one takes the lines.
    Descriptor 1 belongs to the whole process: what other threads write to it
    during the block is captured too. Blocks opened by several threads may
    overlap and end in any order: fd 1 always goes to the newest block still
    open, and back to where it was when the last one ends.
    """
    result = CapturedTrace()
    with tempfile.TemporaryFile() as spool:
        try:
            with _fd1_to(spool):
                yield result
        finally:
            spool.seek(0)
            result.data = spool.read()


@contextmanager
def silence_trace() -> Iterator[None]:
    """Sends what is written to file descriptor 1 to ``/dev/null``.

    Same rules as ``capture_trace()``: flushes ``sys.stdout`` on entry and
    exit, restores the descriptor however the block ends, nests, and may
    overlap with blocks of other threads.
    """
    with open(os.devnull, "wb") as sink, _fd1_to(sink):
        yield
