"""Reading rule bases and texts, writing outputs whole, and one-line errors.

Every command reads its inputs and writes its files through here, so that the
rules are the same everywhere:

- only regular files are read (a FIFO would block for ever, ``/dev/zero``
  would fill the memory); a text or a rule base larger than ``MAX_INPUT_BYTES``,
  or than the memory available, is refused before it is read;
- a file is written whole or not at all: a short hidden temporary name in the
  same folder, written, synced to disk, then renamed over the target, with the
  mode any file the user creates gets (0666 less the umask);
- an error is one line naming the file.
"""

from __future__ import annotations

import json
import os
import stat
from typing import Any

__all__ = ["InputError", "UsageError", "MAX_INPUT_BYTES", "one_line", "load_rules", "read_text", "read_input",
           "write_whole", "write_new", "write_unsynced", "sync_and_close", "publish", "sync_folder"]

# The largest text or rule base read (1 GiB): the engine needs several times
# the text's size in memory, and a larger input is far more likely a mistake
# (a disk image, a log) than a document.
MAX_INPUT_BYTES = 1 << 30


class InputError(Exception):
    """Bad input named in one line (a file, a rule base)."""


class UsageError(InputError):
    """A command line that cannot be run as given (exit status 2), in one line."""


def one_line(message: str) -> str:
    """The message with its line breaks shown as ``\\r`` and ``\\n``."""
    return message.replace("\r", "\\r").replace("\n", "\\n")


# /proc/meminfo, kept open: every document read looks at it again, and a
# read from its start gives the figures of that moment (pread: a forked
# worker sharing the descriptor does not move an offset the parent uses).
_meminfo = -1


def _available_memory() -> int | None:
    global _meminfo
    try:
        if _meminfo < 0:
            _meminfo = os.open("/proc/meminfo", os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        info = os.pread(_meminfo, 1 << 16, 0)
        for line in info.split(b"\n"):
            if line.startswith(b"MemAvailable:"):
                return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def read_input(path: str, what: str = "") -> bytes:
    """The bytes of a regular file, refused (InputError) when too large.

    ``what`` names the file in the messages ("the rule base"); the messages
    read ``PATH: cannot read[ WHAT]: REASON``.
    """
    label = f"cannot read {what}" if what else "cannot read"
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | getattr(os, "O_CLOEXEC", 0))
    except IsADirectoryError:
        raise InputError(f"{path}: is a folder") from None
    except OSError as exc:
        raise InputError(f"{path}: {label}: {exc.strerror or exc}") from None
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise InputError(f"{path}: is a folder")
        if not stat.S_ISREG(info.st_mode):
            raise InputError(f"{path}: {label}: not a regular file (only regular files are read)")
        size = info.st_size
        if size > MAX_INPUT_BYTES:
            raise InputError(f"{path}: {label}: {size} bytes, more than the limit of {MAX_INPUT_BYTES} bytes")
        available = _available_memory()
        # The text, its decoded string and the tokens: a few times its size.
        if available is not None and size * 4 > available:
            raise InputError(f"{path}: {label}: {size} bytes, more than the memory available can process")
        chunks = []
        left = size + 1  # one byte more tells a file that grew while read
        while left > 0:
            try:
                chunk = os.read(fd, min(left, 1 << 24))
            except OSError as exc:
                raise InputError(f"{path}: {label}: {exc.strerror or exc}") from None
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        if left <= 0:
            raise InputError(f"{path}: {label}: the file grew while it was read")
        return b"".join(chunks)
    finally:
        os.close(fd)


def decode_text(name: str, raw: bytes) -> str:
    """UTF-8 text; a leading byte order mark is dropped."""
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise InputError(f"{name}: not UTF-8 text (byte 0x{raw[exc.start]:02x} at offset {exc.start})") from None


def read_text(path: str) -> str:
    """A document's text; a leading byte order mark is dropped."""
    return decode_text(path, read_input(path))


def load_rules(path: str, what: str = "rule base") -> dict[str, str]:
    """Reads a JSON rule base: an object mapping strings to strings.

    ``what`` names the file in the messages (another table of the same
    shape, such as a tag map)."""
    raw = read_input(path, f"the {what}")
    try:
        rules: Any = json.loads(raw.decode("utf-8-sig"))
    except UnicodeDecodeError as exc:
        raise InputError(f"{path}: the {what} is not UTF-8 (byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise InputError(f"{path}: not JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except RecursionError:
        raise InputError(f"{path}: not a {what}: its JSON is nested too deeply") from None
    if not isinstance(rules, dict):
        raise InputError(f"{path}: the {what} must be a JSON object mapping strings to strings")
    for key, value in rules.items():
        if not isinstance(value, str):
            raise InputError(f"{path}: the value of {key!r} is not a string")
        for text in (key, value):
            try:
                text.encode("utf-8")
            except UnicodeEncodeError:
                # JSON lets "\ud800" through; vaskel would refuse it mid-run.
                raise InputError(f"{path}: {text!r} holds a lone surrogate, which is not text") from None
    return rules


# --- writing ------------------------------------------------------------------------

_counter = 0


def write_new(directory: str, text: str, tag: str = "") -> str:
    """Writes ``text`` (UTF-8) to a new hidden file of ``directory`` and syncs it.

    Returns its path, for ``publish``. The name is short (``.vaskel-PID-N``
    and ``tag``), whatever the name it will get, so that any name the file
    system accepts for the target works.
    """
    tmp, fd = write_unsynced(directory, text, tag)
    sync_and_close(tmp, fd)
    return tmp


def write_unsynced(directory: str, text: str, tag: str = "") -> tuple[str, int]:
    """``write_new`` without its last step: the path and the descriptor still
    open, for ``sync_and_close`` (which must come before ``publish``)."""
    global _counter
    _counter += 1
    data = text.encode("utf-8", errors="surrogateescape")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        tmp = os.path.join(directory or ".", f".vaskel-{os.getpid()}-{_counter}{tag}")
        try:
            fd = os.open(tmp, flags, 0o666)  # the umask applies, as to any file the user creates
            break
        except FileExistsError:
            _counter += 1
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    except BaseException:
        os.close(fd)
        _unlink(tmp)
        raise
    return tmp, fd


def sync_and_close(tmp: str, fd: int) -> None:
    """Syncs and closes the file ``write_unsynced`` wrote (removed if that fails)."""
    try:
        try:
            # On disk before the rename: after a crash of the machine, the
            # name points at the whole new file or at what it pointed before.
            os.fsync(fd)
        finally:
            os.close(fd)
    except BaseException:
        _unlink(tmp)
        raise


def publish(tmp: str, path: str) -> None:
    """Renames the file ``write_new`` wrote over ``path`` (removed if that fails)."""
    try:
        os.replace(tmp, path)
    except BaseException:
        _unlink(tmp)
        raise


def sync_folder(directory: str) -> None:
    """Makes the renames done in ``directory`` durable (where folders can be synced)."""
    try:
        fd = os.open(directory or ".", os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a folder; the files themselves are synced
    finally:
        os.close(fd)


def write_whole(path: str, text: str) -> None:
    """Writes ``path`` whole or not at all (see the module's notes), then syncs its folder."""
    directory = os.path.dirname(path)
    publish(write_new(directory, text), path)
    sync_folder(directory)


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
