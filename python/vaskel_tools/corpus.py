"""Run a rule base over a corpus of text files, in worker processes or on Dask.

For each document: read it (UTF-8, a regular file), tokenize, run the engine,
export the tree in the chosen format (``FORMATS``) and write
``OUT/<name><suffix>`` whole or not at all: the process that ran the document
writes the export to a hidden file of the run's own folder (``OUT/.vaskel-run-*``),
this process syncs it, and this process alone renames it into place and
appends the document's trace to the trace file, as one step that a signal
cannot cut in two; so an output exists exactly when the run counted it
written and its trace piece is in the trace file. The syncs run on threads of
this process while the next documents are processed (a worker closes its
export unsynced and goes on to its next document); each export is still
renamed only once its sync has ended. The renames are made durable by syncing
the output folder at the end of the run (and the trace file is synced then).

The document's trace (what vaskel writes on file descriptor 1, and a failure
report it writes on descriptor 2) comes after a line ``# document: PATH``;
pieces of different documents never interleave. A document that fails gives a
one-line error; the others still run.

Worker processes get the rule base once, when they start, and keep it as
process state (with the table that cuts it, built once in this process
before they start); each message to a worker then names one document. When a
worker dies (killed for its memory, a crash), the document it was running is
reported failed and the others go on, in a new worker: each document is
processed, counted and traced exactly once. On Dask, this process reads the
texts and sends them with the tasks, and writes what comes back.
"""

from __future__ import annotations

import json
import os
import queue
import re
import shutil
import signal
import tempfile
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .files import (InputError, UsageError, load_rules, publish, read_text, sync_and_close, sync_folder, write_new,
                    write_unsynced)
from .trace_targets import (DropTrace, InlineTrace, SharedSpool, SpoolTrace, TraceFile, TraceTarget, read_start,
                            redirected)

__all__ = ["Document", "DocResult", "RunSummary", "Format", "FORMATS", "find_documents", "load_rules", "read_text",
           "run_corpus", "check_trace_path", "effective_jobs", "InputError"]


@dataclass(frozen=True)
class Document:
    path: str  # as given or found
    name: str  # output file name, without suffix


@dataclass
class DocResult:
    path: str
    ok: bool
    error: str = ""
    tokens: int = 0
    output: str | None = None  # the export, when the worker does not write it (Dask)
    output_file: str | None = None  # the synced temporary file holding the export
    # The trace: bytes, the path of its spool file, or its place in the spool
    # file of this process (a SpoolPiece).
    trace: Any = None
    # The XML export had to write U+FFFD for characters XML 1.0 cannot carry.
    replaced: bool = False
    # The sync of ``output_file`` under way on a thread of this process
    # (``_Syncer``); None once it is synced.
    sync: Any = None
    # False: a worker wrote ``output_file`` and closed it unsynced; the
    # parent syncs it before the rename.
    synced: bool = True


@dataclass
class RunSummary:
    documents: int = 0
    failed: list[tuple[str, str]] = field(default_factory=list)
    tokens: int = 0
    seconds: float = 0.0
    replaced: list[str] = field(default_factory=list)  # documents whose XML holds U+FFFD in their place

    @property
    def written(self) -> int:
        return self.documents - len(self.failed)


# --- output formats ---------------------------------------------------------------


@dataclass(frozen=True)
class Format:
    """An output format: the file suffix, and the export of one document.

    ``export(tree, tokens, text)`` gets the engine's tree, the document's
    tokens and its text, and returns the file's content. A format whose
    ``from_analysis`` is set is written from the document's whole analysis
    instead (chunks, labels and offsets, read from the engine's own trace).
    """

    suffix: str
    export: Callable[[Any, list[str], str], str] | None = None
    from_analysis: Callable[[Any], str] | None = None


def _xml(tree: Any, tokens: list[str], text: str) -> str:
    xml: str = tree.to_xml()
    return xml


# What XML 1.0 cannot carry, not even as a character reference; the export
# writes U+FFFD in its place.
_NOT_IN_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _needs_replacement(tree: Any, tokens: list[str], rules: dict[str, str]) -> bool:
    if any(_NOT_IN_XML.search(token) for token in tokens):
        return True
    # The labels the tree holds are looked at only when the rule base has such a label at all.
    if not any(_NOT_IN_XML.search(label) for label in rules.values()):
        return False
    return any(_NOT_IN_XML.search(node.data) for level in tree.data[1:] for node in level)


def _formats() -> dict[str, Format]:
    from .export import FORMATS as ANALYSIS_FORMATS

    table = {name: Format(suffix, from_analysis=write) for name, (suffix, write) in ANALYSIS_FORMATS.items()}
    table["xml"] = Format(".xml", _xml)
    return table


FORMATS: dict[str, Format] = _formats()
# The trace file's first line when documents run with the rule base cut to
# their tokens.
CUT_HEADER = ("rule lines: each document's trace lists only the rules its tokens can use "
              "(the tree is the same; --all-rule-lines lists every rule)")
# The format written when none is asked for: one that carries the analysis.
DEFAULT_FORMAT = "json"


# --- inputs ----------------------------------------------------------------------------

def find_documents(inputs: Iterable[str], suffix: str) -> tuple[list[Document], list[tuple[str, str]]]:
    """The documents named by files and folders (a folder gives its ``*.txt``).

    Returns the documents and the refused inputs with a reason. Two documents
    that would write the same output file are refused rather than letting the
    later one overwrite the earlier.
    """
    docs: list[Document] = []
    refused: list[tuple[str, str]] = []
    taken: dict[str, str] = {}
    for given in inputs:
        if os.path.isdir(given):
            found = sorted(str(p) for p in Path(given).glob("*.txt") if not p.is_dir())
            if not found:
                refused.append((given, f"{given}: no *.txt file in this folder"))
        else:
            found = [given]
        for path in found:
            name = Path(path).stem if path.endswith(".txt") else Path(path).name
            key = os.path.normcase(name + suffix)
            if key in taken:
                if os.path.abspath(taken[key]) != os.path.abspath(path):
                    refused.append((path, f"{path}: would write the same output file as {taken[key]}"))
                continue
            taken[key] = path
            docs.append(Document(path, name))
    return docs, refused



def check_trace_path(trace: str, rules: str, docs: Sequence[Document], out_dir: str, suffix: str) -> None:
    """Refuses (UsageError) a trace file that is an input, the rule base, an output or a folder.

    The trace file is emptied when the run starts: any of those would be lost.
    """
    if os.path.isdir(trace):
        raise UsageError(f"{trace}: the trace file is a folder")

    def key(path: str) -> tuple[Any, ...]:
        try:
            info = os.stat(path)
            return ("inode", info.st_dev, info.st_ino)
        except OSError:
            head, tail = os.path.split(os.path.abspath(path))
            return ("path", os.path.normcase(os.path.join(os.path.realpath(head), tail)))

    mine = key(trace)
    if mine == key(rules):
        raise UsageError(f"{trace}: the trace file would overwrite the rule base {rules}")
    for doc in docs:
        if mine == key(doc.path):
            raise UsageError(f"{trace}: the trace file would overwrite the input {doc.path}")
        output = os.path.join(out_dir, doc.name + suffix)
        if mine == key(output):
            raise UsageError(f"{trace}: the trace file would be overwritten by the output of {doc.path}")


def effective_jobs(jobs: int | None) -> int:
    """Worker processes for ``jobs`` (None: all): never more than the cores this process may use."""
    cores = _cores()
    return cores if jobs is None else max(1, min(jobs, cores))


def _cores() -> int:
    # The cores this process may run on, which a container or taskset can
    # make fewer than the machine's.
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


# --- one document, in whichever process runs it -----------------------------


@dataclass
class WorkerState:
    """What a process running documents keeps from start to end."""

    rules: dict[str, str]
    fmt: str
    trace: TraceTarget
    temp_dir: str | None  # where exports are written (None: returned in the result)
    # False: each document runs with the rule base cut to its tokens (the same
    # tree; its trace lists only the rules the document can use).
    all_rule_lines: bool = False
    # The rule base ready to be cut (a RuleBase of ``rules``), built once.
    cut: Any = None
    # Where the exports are synced when the process running the documents
    # is the one that renames them (a ``_Syncer``); None: each is synced
    # before the next document starts, unless ``defer_sync``.
    syncer: Any = None
    # A worker process: each export is closed unsynced and the parent syncs
    # it, so that the worker goes on to its next document meanwhile.
    defer_sync: bool = False

    def prepare(self) -> None:
        """Builds the rule base to cut now, in the process that makes the state.

        The parent calls it before its workers start: they inherit (or are
        sent) the built table with the state, once each, and never build it
        again. A rule base it refuses is left for each document to report,
        as the engine would.
        """
        if not self.all_rule_lines and self.cut is None:
            from .rulebase import RuleBase

            try:
                self.cut = RuleBase(self.rules)
            except (TypeError, ValueError):
                pass

    def rules_for(self, tokens: list[str]) -> dict[str, str]:
        if self.all_rule_lines:
            return self.rules
        if self.cut is None:
            self.cut = _rule_base(self.rules)
        cut: dict[str, str] = self.cut.for_tokens(tokens)
        return cut


# The cut table of the last rule base object this process was given: a Dask
# worker gets the same scattered object with every batch and builds its
# table on the first one.
_cut_of: tuple[dict[str, str], Any] | None = None


def _rule_base(rules: dict[str, str]) -> Any:
    global _cut_of
    if _cut_of is None or _cut_of[0] is not rules:
        from .rulebase import RuleBase

        _cut_of = (rules, RuleBase(rules))
    return _cut_of[1]


# Where the engine's trace is captured when a format reads it, in the process
# running the documents.
#
# The engine writes each trace line with a write(2) of its own, some 2,700 for
# a document of 480 tokens: the sink's cost per write is most of the call.
# A pipe is the cheapest to write into (about half the cost of a file in
# memory), but a pipe's buffer is bounded: a longer trace would block the
# engine for ever with nobody reading. So a thread drains it: it sleeps until
# the pipe has something, waits a moment for it to fill (one wake-up per
# burst rather than per line) and reads what is there. The engine lets the
# interpreter lock go around each write to a pipe, so the thread runs while
# a call is under way. Where no pipe can be waited on so, a file in memory
# (or a temporary file) takes the whole trace.


class _PipeCapture:
    PIPE_SIZE = 1 << 20  # asked for; the system may give less
    FILL_RATE = 200e6  # bytes a second, more than the engine writes

    def __init__(self) -> None:
        self.pid = os.getpid()
        self.read_end, self.write_end = os.pipe()
        size = 1 << 16  # the usual default
        try:
            import fcntl

            fcntl.fcntl(self.write_end, getattr(fcntl, "F_SETPIPE_SZ", 1031), self.PIPE_SIZE)
            size = fcntl.fcntl(self.write_end, getattr(fcntl, "F_GETPIPE_SZ", 1032))
        except (ImportError, OSError):
            pass  # the default size: more wake-ups, the same bytes
        # How long the drain lets the pipe fill after its first byte: less
        # than it takes the engine to fill it, and a few calls' length, so that
        # the drain seldom wakes while a document of common size runs.
        self.pause = min(0.005, size / self.FILL_RATE)
        os.set_blocking(self.read_end, False)
        self._stop_read, self._stop_write = os.pipe()  # wakes the drain to end it
        self._chunks: list[bytes] = []
        self._lock = threading.Lock()
        self._closing = False
        # Started with the stop signals held: they reach the main thread alone.
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPERS)
        try:
            self._thread = threading.Thread(target=self._drain, name="vaskel-trace", daemon=True)
            self._thread.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)

    def _drain(self) -> None:
        import select

        poller = select.poll()
        poller.register(self.read_end, select.POLLIN)
        poller.register(self._stop_read, select.POLLIN)
        while not self._closing:
            poller.poll()
            if self._closing:
                break
            time.sleep(self.pause)
            with self._lock:
                self._read()

    def _read(self) -> None:
        while True:
            try:
                chunk = os.read(self.read_end, self.PIPE_SIZE)
            except BlockingIOError:
                return
            if not chunk:
                return
            self._chunks.append(chunk)

    def take(self) -> bytes:
        """Everything written to the pipe so far (all of a call that has returned)."""
        with self._lock:
            self._read()
            data = b"".join(self._chunks)
            self._chunks = []
        return data

    def close(self) -> None:
        self._closing = True
        os.write(self._stop_write, b"\0")
        self._thread.join()
        for fd in (self.read_end, self.write_end, self._stop_read, self._stop_write):
            os.close(fd)


class _FileCapture:
    def __init__(self) -> None:
        self.pid = os.getpid()
        self.write_end = -1
        if hasattr(os, "memfd_create"):
            try:
                self.write_end = os.memfd_create("vaskel-trace", getattr(os, "MFD_CLOEXEC", 0))
            except OSError:
                pass
        if self.write_end < 0:
            self.write_end, name = tempfile.mkstemp(prefix="vaskel-trace-")
            os.unlink(name)

    def take(self) -> bytes:
        data = read_start(self.write_end, os.fstat(self.write_end).st_size)
        os.ftruncate(self.write_end, 0)
        os.lseek(self.write_end, 0, os.SEEK_SET)  # the engine writes at the file's offset
        return data

    def close(self) -> None:
        os.close(self.write_end)


_capture: _PipeCapture | _FileCapture | None = None


def _capture_sink() -> _PipeCapture | _FileCapture:
    global _capture
    if _capture is None or _capture.pid != os.getpid():  # a forked worker makes its own
        try:
            import select

            _capture = _PipeCapture() if hasattr(select, "poll") else _FileCapture()
        except OSError:
            _capture = _FileCapture()
    return _capture


def _close_capture() -> None:
    """Ends this process's capture (and its thread, before any fork)."""
    global _capture
    capture, _capture = _capture, None
    if capture is not None and capture.pid == os.getpid():
        capture.close()


def _traced_engine(tokens: list[str], rules: dict[str, str]) -> tuple[Any, bytes]:
    # fd 1 is the document's sink (``redirected``): it goes to the capture
    # for the call, then back, and the trace is written to the sink.
    import vaskel

    capture = _capture_sink()
    sink = os.dup(1)
    try:
        os.dup2(capture.write_end, 1)
        try:
            tree = vaskel.engine(tokens, rules)
        finally:
            os.dup2(sink, 1)
            data = capture.take()  # also what a call cut short wrote: the next one starts empty
    finally:
        os.close(sink)
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]
    return tree, data


_lock = threading.Lock()  # one document at a time per process: fd 1 and 2 are shared
_state: WorkerState | None = None  # set once per worker process by its initializer


def init_worker(state: WorkerState) -> None:
    global _state
    _state = state


def _export(state: WorkerState, tokens: list[str], text: str, result: DocResult) -> str:
    import vaskel

    fmt = FORMATS[state.fmt]
    rules = state.rules_for(tokens)
    if fmt.from_analysis is None:
        assert fmt.export is not None
        tree = vaskel.engine(tokens, rules)
        if fmt.export is _xml:
            result.replaced = _needs_replacement(tree, tokens, rules)
        return fmt.export(tree, tokens, text)
    from .spans import analysis_of

    # The trace read for the chunks still goes where the document's trace goes.
    tree, trace = _traced_engine(tokens, rules)
    return fmt.from_analysis(analysis_of(text, tokens, rules, tree, trace))


def process_document(state: WorkerState, path: str, text: str) -> DocResult:
    """Runs one document whose text is read; its trace goes to ``state.trace``."""
    import vaskel

    from ._panic import __getattr__ as panic_type

    panic: type[BaseException] = panic_type("PanicException")
    result = DocResult(path, ok=False)
    output = None
    with _lock:
        sink = state.trace.begin()
        try:
            with redirected(sink, state.trace.fds):
                try:
                    tokens = vaskel.tokenize(text)
                    result.tokens = len(tokens)
                    output = _export(state, tokens, text, result)
                    result.ok = True
                except panic as exc:
                    message = exc.args[0] if exc.args else ""
                    result.error = f"{path}: internal failure: {message}"
                except (KeyboardInterrupt, SystemExit):
                    raise
                except Exception as exc:  # noqa: BLE001 - reported in one line, the run goes on
                    result.error = f"{path}: {type(exc).__name__}: {exc}"
        finally:
            result.trace = state.trace.end(sink)
    if output is not None:
        if state.temp_dir is None:
            result.output = output
        else:
            try:
                if state.syncer is not None:
                    tmp, fd = write_unsynced(state.temp_dir, output)
                    result.output_file = tmp
                    result.sync = state.syncer.submit(tmp, fd)
                elif state.defer_sync:
                    tmp, fd = write_unsynced(state.temp_dir, output)
                    os.close(fd)
                    result.output_file = tmp
                    result.synced = False
                else:
                    result.output_file = write_new(state.temp_dir, output)
            except OSError as exc:
                result.ok = False
                result.error = f"{path}: cannot write the output: {exc.strerror or exc}"
    return result


def _process_path(state: WorkerState, path: str) -> DocResult:
    try:
        text = read_text(path)
    except InputError as exc:
        result = DocResult(path, ok=False, error=str(exc))
        with _lock:
            result.trace = state.trace.end(state.trace.begin())
        return result
    return process_document(state, path, text)


# --- the run -------------------------------------------------------------------


@contextmanager
def _signals_held() -> Iterator[None]:
    # The handlers of these signals run once the block is over: what it does
    # is done whole.
    held = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    old = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)


def run_corpus(rules: dict[str, str], docs: list[Document], out_dir: str, *, fmt: str = DEFAULT_FORMAT,
               trace_path: str | None = None, jobs: int | None = None, dask: str | None = None,
               on_result: Callable[[DocResult], None] | None = None, all_rule_lines: bool = False) -> RunSummary:
    """Runs every document and returns the summary.

    ``jobs``: worker processes (default: the number of cores, and never more;
    1 runs in this process). ``dask``: the address of a Dask scheduler, or
    "local" for a ``LocalCluster`` of ``jobs`` worker processes. ``on_result``
    is called in this process once per document, as each one is done (after
    its output is in place). Each document runs with the rule base cut to the
    rules its tokens can use (the same tree; its trace lists only those rule
    lines); ``all_rule_lines=True`` runs it with the whole rule base. The trace file is opened (emptied) only once the
    workers are ready. When the run is interrupted (KeyboardInterrupt), the
    workers are stopped, temporary files removed, and the exception goes on.
    """
    began = time.perf_counter()
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}")
    suffix = FORMATS[fmt].suffix
    jobs = effective_jobs(jobs)
    os.makedirs(out_dir, exist_ok=True)
    summary = RunSummary(documents=len(docs))
    names = {doc.path: doc.name for doc in docs}
    run_dir = tempfile.mkdtemp(prefix=".vaskel-run-", dir=out_dir)
    traces: TraceFile | None = None

    def open_traces() -> None:
        nonlocal traces
        traces = TraceFile(trace_path, "" if all_rule_lines else CUT_HEADER)

    def done(result: DocResult) -> None:
        assert traces is not None
        with _signals_held():
            target = os.path.join(out_dir, names[result.path] + suffix)
            try:
                if result.output is not None:
                    result.output_file = write_new(run_dir, result.output)
                    result.output = None
                if result.output_file is not None:
                    publish(result.output_file, target)
            except OSError as exc:
                result.ok = False
                result.error = f"{result.path}: cannot write the output: {exc.strerror or exc}"
            result.output_file = None
            traces.add(result.path, result.trace)
            result.trace = None
            summary.tokens += result.tokens
            if not result.ok:
                summary.failed.append((result.path, result.error))
            elif result.replaced:
                summary.replaced.append(result.path)
            if on_result is not None:
                on_result(result)  # in the same step: the caller's counts match the files

    try:
        if dask is not None:
            from .corpus_dask import run_dask

            run_dask(dask, jobs, rules, docs, fmt, trace_path is not None, open_traces, done, all_rule_lines)
        else:
            here = jobs == 1 or len(docs) <= 1
            spool: TraceTarget = DropTrace()
            if trace_path is not None:
                # Documents run here are traced one after another into one spool file.
                spool = SharedSpool(run_dir) if here else SpoolTrace(run_dir)
            state = WorkerState(rules, fmt, spool, run_dir, all_rule_lines)
            state.prepare()  # once, before any worker starts
            if here:
                open_traces()
                try:
                    _run_here(state, docs, done)
                finally:
                    spool.close()
                    _close_capture()
            else:
                state.defer_sync = True  # this process syncs what the workers write
                _WorkerPool(min(jobs, len(docs)), state).run(docs, open_traces, done)
    finally:
        try:
            if traces is not None:
                traces.close()
            sync_folder(out_dir)
        finally:
            shutil.rmtree(run_dir, ignore_errors=True)
    summary.seconds = time.perf_counter() - began
    return summary


# --- documents run in this process -----------------------------------------------

_STOPPERS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class _SyncJob:
    __slots__ = ("tmp", "fd", "finished", "error")

    def __init__(self, tmp: str, fd: int) -> None:
        self.tmp = tmp
        self.fd = fd
        self.finished = threading.Event()
        self.error: BaseException | None = None


class _Syncer:
    """Syncs the exports written by this process on threads of their own.

    An fsync waits for the disk (a journal commit, milliseconds) and needs
    no interpreter lock: the next documents are processed meanwhile, and the
    syncs under way side by side share their commits. An export is still
    renamed into place only once its own sync has ended (``_synced``). The
    threads start with the stop signals blocked, so that those reach the
    main thread alone, whose handlers (and ``_signals_held``) decide.
    """

    THREADS = 4

    def __init__(self) -> None:
        self._jobs: queue.SimpleQueue[_SyncJob | None] = queue.SimpleQueue()
        self._abandon = False
        self._threads: list[threading.Thread] = []
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPERS)
        try:
            for _ in range(self.THREADS):
                thread = threading.Thread(target=self._work, name="vaskel-sync", daemon=True)
                thread.start()
                self._threads.append(thread)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)

    def submit(self, tmp: str, fd: int = -1) -> _SyncJob:
        """Syncs and closes ``fd``, the file ``tmp`` still open (-1: a file
        another process wrote and closed, opened again to sync it)."""
        job = _SyncJob(tmp, fd)
        self._jobs.put(job)
        return job

    def _work(self) -> None:
        while (job := self._jobs.get()) is not None:
            try:
                if self._abandon:
                    if job.fd >= 0:
                        os.close(job.fd)  # the run is stopping: the file is removed with its folder
                else:
                    if job.fd < 0:
                        job.fd = os.open(job.tmp, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
                    sync_and_close(job.tmp, job.fd)
            except BaseException as exc:  # noqa: BLE001 - handed to the thread that waits for it
                job.error = exc
            finally:
                job.finished.set()

    def close(self, abandon: bool = False) -> None:
        """Ends the threads once the syncs queued are done (``abandon``: only
        the one each thread is in; the others' files are just closed)."""
        self._abandon = abandon
        for _ in self._threads:
            self._jobs.put(None)
        for thread in self._threads:
            thread.join()


def _synced(result: DocResult) -> DocResult:
    """The result once its export is on disk (or reported as not written)."""
    job, result.sync = result.sync, None
    if job is not None:
        job.finished.wait()
        if job.error is not None:
            exc = job.error
            if not isinstance(exc, OSError):
                raise exc
            result.ok = False
            result.error = f"{result.path}: cannot write the output: {exc.strerror or exc}"
            result.output_file = None
    return result


def _run_here(state: WorkerState, docs: list[Document], done: Callable[[DocResult], None]) -> None:
    """Runs the documents in this process, in order, ``done`` called for each
    once its export is synced; up to ``IN_FLIGHT`` of them wait for their
    sync while the next ones run."""
    if len(docs) <= 1:
        for doc in docs:
            done(_process_path(state, doc.path))
        return
    in_flight = 8
    syncer = _Syncer()
    state.syncer = syncer
    finished = False
    try:
        waiting: deque[DocResult] = deque()
        for doc in docs:
            waiting.append(_process_path(state, doc.path))
            while waiting and (len(waiting) > in_flight or waiting[0].sync is None
                               or waiting[0].sync.finished.is_set()):
                done(_synced(waiting.popleft()))
        while waiting:
            done(_synced(waiting.popleft()))
        finished = True
    finally:
        state.syncer = None
        syncer.close(abandon=not finished)


# --- worker processes ------------------------------------------------------------


def _pool_context() -> Any:
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and threading.active_count() == 1:
        return multiprocessing.get_context("fork")  # quickest; safe without other threads
    if "forkserver" in methods:
        return multiprocessing.get_context("forkserver")
    return multiprocessing.get_context("spawn")


def _worker_main(conn: Any, state: WorkerState) -> None:
    # Ctrl-C reaches the whole process group: the parent alone decides, and
    # stops its workers with SIGTERM, whose default action ends them at once.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _STOPPERS)
    init_worker(state)
    while True:
        try:
            path = conn.recv()
        except (EOFError, OSError):
            break  # the parent went away
        if path is None:
            break
        assert _state is not None
        conn.send(_process_path(_state, path))
    if _state is not None:
        _state.trace.close()
    _close_capture()


class _Worker:
    def __init__(self, context: Any, state: WorkerState) -> None:
        parent, child = context.Pipe()
        self.conn = parent
        # Started with the stop signals held, so that none reaches the new
        # process before it has its own handlers.
        old = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPERS)
        try:
            self.process = context.Process(target=_worker_main, args=(child, state), daemon=True)
            self.process.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)
        child.close()
        self.sent: deque[str] = deque()  # documents sent and not answered, in order


class _WorkerPool:
    # Two documents in flight per worker: it never waits for the next one,
    # and when it dies the first unanswered one is the one it was running.
    IN_FLIGHT = 2
    # Exports a worker wrote, waiting here for their sync, at most: past
    # that, the disk sets the pace.
    SYNCING = 32
    # How long the run waits for a worker before it looks at the syncs
    # again (it looks each time a result comes, too).
    SYNC_LOOK = 0.02

    def __init__(self, workers: int, state: WorkerState) -> None:
        self.size = workers
        self.state = state
        self.context = _pool_context()
        # When the workers leave their exports unsynced: the threads that
        # sync them here, and the results waiting for their sync, in arrival
        # order.
        self.syncer: _Syncer | None = None
        self.syncing: deque[DocResult] = deque()

    def run(self, docs: list[Document], ready: Callable[[], None], done: Callable[[DocResult], None]) -> None:
        from multiprocessing.connection import wait

        queue: deque[str] = deque(doc.path for doc in docs)
        workers: list[_Worker] = []
        finished = False
        try:
            if self.context.get_start_method() == "fork":
                _threads_ended()  # a capture or sync thread of an earlier run, still exiting
            workers = [self._worker() for _ in range(self.size)]
            if self.state.defer_sync:
                self.syncer = _Syncer()
            ready()
            while True:
                for worker in workers:
                    self._feed(worker, queue)
                if not any(worker.sent for worker in workers):
                    if not queue:
                        break
                    workers.append(self._worker())  # every worker died
                    continue
                # Idle workers too: one that dies between two documents is
                # replaced before it is given one.
                owners: dict[Any, _Worker] = {worker.conn: worker for worker in workers}
                owners.update((worker.process.sentinel, worker) for worker in workers)
                for item in wait(list(owners), self.SYNC_LOOK if self.syncing else None):
                    owner = owners.get(item)
                    if owner is None or owner not in workers:
                        continue
                    if not self._receive(owner, done):
                        workers.remove(owner)
                        self._lost(owner, queue, done)
                        if queue:
                            workers.append(self._worker())
                self._synced_ones(done)
            for worker in workers:
                try:
                    worker.conn.send(None)
                except OSError:
                    pass
            while self.syncing:
                done(_synced(self.syncing.popleft()))
            for worker in workers:
                worker.process.join(timeout=10)
            finished = True
        finally:
            if self.syncer is not None:
                self.syncer.close(abandon=not finished)
                self.syncer = None
            for worker in workers:
                if worker.process.is_alive():
                    worker.process.terminate()
            for worker in workers:
                worker.process.join()
                worker.conn.close()

    def _worker(self) -> _Worker:
        """A new worker. A forked one is made with no sync thread of ours
        running (a thread inside a lock at the fork would leave that lock
        held in the child): the syncs under way end first."""
        if self.syncer is None or self.context.get_start_method() != "fork":
            return _Worker(self.context, self.state)
        self.syncer.close()
        _threads_ended()
        try:
            return _Worker(self.context, self.state)
        finally:
            self.syncer = _Syncer()

    def _feed(self, worker: _Worker, queue: deque[str]) -> None:
        while queue and len(worker.sent) < self.IN_FLIGHT:
            path = queue.popleft()
            worker.sent.append(path)
            try:
                worker.conn.send(path)
            except OSError:
                return  # a dead worker: found by the wait

    def _receive(self, worker: _Worker, done: Callable[[DocResult], None]) -> bool:
        """Takes every result the worker sent; False once it is gone."""
        try:
            while worker.conn.poll():
                result: DocResult = worker.conn.recv()
                worker.sent.popleft()
                if result.synced or result.output_file is None or self.syncer is None:
                    done(result)
                    continue
                result.synced = True
                result.sync = self.syncer.submit(result.output_file)
                self.syncing.append(result)
                while len(self.syncing) > self.SYNCING:
                    done(_synced(self.syncing.popleft()))
        except (EOFError, OSError):
            return False
        return bool(worker.process.is_alive())

    def _synced_ones(self, done: Callable[[DocResult], None]) -> None:
        """``done`` for each result whose sync has ended, in arrival order among them."""
        if not self.syncing:
            return
        waiting: deque[DocResult] = deque()
        for result in self.syncing:
            if result.sync.finished.is_set():
                done(_synced(result))
            else:
                waiting.append(result)
        self.syncing = waiting

    def _lost(self, worker: _Worker, queue: deque[str], done: Callable[[DocResult], None]) -> None:
        worker.process.join()
        worker.conn.close()
        if worker.sent:
            culprit = worker.sent.popleft()
            queue.extendleft(reversed(worker.sent))  # never started: run elsewhere
            worker.sent.clear()
            done(DocResult(culprit, ok=False, error=f"{culprit}: the worker process running it ended abruptly"))


def _threads_ended(timeout: float = 0.05) -> None:
    """Waits (a moment at most) until the system no longer counts the
    threads this process joined: a thread is joined once its Python code is
    over, a little before the system has it gone. (Threads that some
    library keeps, which no join ends, cost the whole moment.)"""
    deadline = time.monotonic() + timeout
    while _system_threads() > 1 and time.monotonic() < deadline:
        time.sleep(0.001)


def _system_threads() -> int:
    # The 20th field of /proc/self/stat (after the name, in parentheses,
    # which may hold spaces); 0 where there is no such file.
    try:
        with open("/proc/self/stat", "rb") as f:
            stat = f.read()
        return int(stat[stat.rindex(b")") + 2:].split()[17])
    except (OSError, ValueError, IndexError):
        return 0


def _batches(docs: list[Document], jobs: int) -> list[list[Document]]:
    # Small enough that the workers finish together, large enough that the
    # cost of a task stays small beside its documents.
    size = max(1, min(8, len(docs) // (jobs * 8) or 1))
    return [docs[k:k + size] for k in range(0, len(docs), size)]
