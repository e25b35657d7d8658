"""Run a rule base over a corpus of text files, in worker processes or on Dask.

For each document: read it (UTF-8), tokenize, run the engine, export the tree
(XML, or JSON through ``to_dict``) and write ``OUT/<name>.xml`` (``.json``)
whole or not at all (a temporary file in the same folder, then a rename). The
document's trace (what vaskel writes on file descriptor 1, and a failure
report it writes on descriptor 2) is gathered apart and appended to the trace
file in one piece, after a line ``# document: PATH``; pieces of different
documents never interleave. A document that fails gives a one-line error; the
others still run.
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .trace import restore_fd

__all__ = ["Document", "DocResult", "RunSummary", "find_documents", "load_rules", "run_corpus"]


class InputError(Exception):
    """Bad input named in one line (a file, a rule base)."""


@dataclass(frozen=True)
class Document:
    path: str  # as given or found
    name: str  # output file name, without extension


@dataclass
class DocResult:
    path: str
    ok: bool
    error: str = ""
    tokens: int = 0
    output: str | None = None  # the export, when the worker does not write it
    trace: bytes | None = None  # the trace, when sent back whole
    spool: tuple[str, int, int] | None = None  # (file, offset, length) of the trace


@dataclass
class RunSummary:
    documents: int = 0
    failed: list[tuple[str, str]] = field(default_factory=list)
    tokens: int = 0
    seconds: float = 0.0

    @property
    def written(self) -> int:
        return self.documents - len(self.failed)


# --- inputs -----------------------------------------------------------------


def load_rules(path: str) -> dict[str, str]:
    """Reads a JSON rule base: an object mapping strings to strings."""
    try:
        raw = Path(path).read_bytes()
    except OSError as exc:
        raise InputError(f"{path}: cannot read the rule base: {exc.strerror or exc}") from None
    try:
        rules = json.loads(raw.decode("utf-8-sig"))
    except UnicodeDecodeError as exc:
        raise InputError(f"{path}: the rule base is not UTF-8 (byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise InputError(f"{path}: not JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    if not isinstance(rules, dict):
        raise InputError(f"{path}: the rule base must be a JSON object mapping strings to strings")
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


def read_text(path: str) -> str:
    """A document's text; a leading byte order mark is dropped."""
    try:
        raw = Path(path).read_bytes()
    except IsADirectoryError:
        raise InputError(f"{path}: is a folder") from None
    except OSError as exc:
        raise InputError(f"{path}: cannot read: {exc.strerror or exc}") from None
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise InputError(f"{path}: not UTF-8 text (byte 0x{raw[exc.start]:02x} at offset {exc.start})") from None


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


# --- one document, in whichever process runs it -----------------------------

_lock = threading.Lock()  # one document at a time per process: fd 1 and 2 are shared
_spool: tuple[str, int] | None = None  # the trace spool of the batch being run (path, fd)


def _write_whole(path: str, text: str) -> None:
    directory, base = os.path.split(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".part", dir=directory or ".")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as out:
            out.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _export(fmt: str, tokens: list[str], rules: dict[str, str]) -> str:
    import vaskel

    tree = vaskel.engine(tokens, rules)
    if fmt == "json":
        from .render import to_dict

        return json.dumps(to_dict(tree), ensure_ascii=False)
    return tree.to_xml()


def process_document(doc: Document, rules: dict[str, str], fmt: str, out_dir: str | None,
                     trace: str | None) -> DocResult:
    """Runs one document.

    ``out_dir``: write the export there (else it is returned in the result).
    ``trace``: None drops the trace; "inline" returns it in the result; any
    other value is a folder where this process keeps a spool file, and the
    result names the piece of it that holds the trace.
    """
    import vaskel

    from ._panic import __getattr__ as panic_type

    panic: type[BaseException] = panic_type("PanicException")
    result = DocResult(doc.path, ok=False)
    try:
        text = read_text(doc.path)
    except InputError as exc:
        result.error = str(exc)
        return result
    with _lock:
        if trace is None:
            sink = os.open(os.devnull, os.O_WRONLY)
            start = 0
            spool_path = ""
        elif trace == "inline":
            handle, spool_path = tempfile.mkstemp(prefix="vaskel-trace-")
            os.unlink(spool_path)
            sink = handle
            start = 0
            spool_path = ""
        else:
            if _spool is None:
                raise RuntimeError("process_document with a spool folder runs inside process_batch")
            spool_path, sink = _spool
            start = os.lseek(sink, 0, os.SEEK_END)
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
        saved = (os.dup(1), os.dup(2))
        try:
            os.dup2(sink, 1)
            os.dup2(sink, 2)
            try:
                tokens = vaskel.tokenize(text)
                result.tokens = len(tokens)
                output = _export(fmt, tokens, rules)
                result.ok = True
            except panic as exc:
                message = exc.args[0] if exc.args else ""
                result.error = f"{doc.path}: internal failure: {message}"
                output = None
            except (KeyboardInterrupt, SystemExit):
                raise
            except Exception as exc:  # noqa: BLE001 - reported in one line, the run goes on
                result.error = f"{doc.path}: {type(exc).__name__}: {exc}"
                output = None
        finally:
            try:
                restore_fd(saved[0], 1)
            finally:
                restore_fd(saved[1], 2)
            if trace is None:
                os.close(sink)
            elif trace == "inline":
                os.lseek(sink, 0, os.SEEK_SET)
                chunks = []
                while chunk := os.read(sink, 1 << 20):
                    chunks.append(chunk)
                result.trace = b"".join(chunks)
                os.close(sink)
            else:
                result.spool = (spool_path, start, os.lseek(sink, 0, os.SEEK_END) - start)
    if output is not None:
        if out_dir is None:
            result.output = output
        else:
            try:
                _write_whole(os.path.join(out_dir, doc.name + "." + fmt), output)
            except OSError as exc:
                result.ok = False
                result.error = f"{doc.path}: cannot write the output: {exc.strerror or exc}"
    return result


def process_batch(docs: Sequence[Document], rules: dict[str, str], fmt: str, out_dir: str | None,
                  trace: str | None) -> list[DocResult]:
    """Runs documents one after the other (``trace`` as for ``process_document``).

    With a spool folder, the batch's traces go to a file of their own there,
    which the caller deletes once it has copied them: the spool never holds
    more than the batches in flight.
    """
    global _spool
    if trace is None or trace == "inline":
        return [process_document(doc, rules, fmt, out_dir, trace) for doc in docs]
    fd, path = tempfile.mkstemp(prefix=f"batch-{os.getpid()}-", dir=trace)
    _spool = (path, fd)
    try:
        return [process_document(doc, rules, fmt, out_dir, trace) for doc in docs]
    finally:
        _spool = None
        os.close(fd)


def _drop_spool(results: list[DocResult]) -> None:
    for result in results:
        if result.spool is not None:
            try:
                os.unlink(result.spool[0])
            except OSError:
                pass
            return


# --- the run -------------------------------------------------------------------


class _TraceFile:
    def __init__(self, path: str | None) -> None:
        self.fd = -1 if path is None else os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

    def add(self, result: DocResult) -> None:
        if self.fd < 0:
            return
        shown = result.path.replace("\r", "\\r").replace("\n", "\\n")  # the header stays one line
        head = f"# document: {shown}\n".encode("utf-8", errors="surrogateescape")
        os.write(self.fd, head)
        if result.trace is not None:
            view = memoryview(result.trace)
            while view:
                view = view[os.write(self.fd, view):]
        elif result.spool is not None:
            path, offset, length = result.spool
            src = os.open(path, os.O_RDONLY)
            try:
                while length > 0:
                    try:
                        done = os.copy_file_range(src, self.fd, length, offset)
                    except (AttributeError, OSError):
                        data = os.pread(src, min(length, 1 << 20), offset)
                        done = os.write(self.fd, data) if data else 0
                    if done <= 0:
                        break
                    offset += done
                    length -= done
            finally:
                os.close(src)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)


def _batches(docs: list[Document], jobs: int) -> list[list[Document]]:
    # Small enough that the workers finish together, large enough that the
    # cost of a task stays small beside its documents.
    size = max(1, min(8, len(docs) // (jobs * 8) or 1))
    return [docs[k:k + size] for k in range(0, len(docs), size)]


def _cores() -> int:
    # The cores this process may run on, which a container or taskset can
    # make fewer than the machine's.
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def _pool_context() -> Any:
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and threading.active_count() == 1:
        return multiprocessing.get_context("fork")  # quickest; safe without other threads
    if "forkserver" in methods:
        return multiprocessing.get_context("forkserver")
    return multiprocessing.get_context("spawn")


def run_corpus(rules: dict[str, str], docs: list[Document], out_dir: str, *, fmt: str = "xml",
               trace_path: str | None = None, jobs: int | None = None, dask: str | None = None,
               on_result: Callable[[DocResult], None] | None = None) -> RunSummary:
    """Runs every document and returns the summary.

    ``jobs``: worker processes (default: the number of cores; 1 runs in this
    process). ``dask``: the address of a Dask scheduler, or "local" for a
    ``LocalCluster`` of ``jobs`` worker processes. ``on_result`` is called in
    this process once per document, as each one is done.
    """
    began = time.perf_counter()
    jobs = max(1, jobs if jobs is not None else _cores())
    os.makedirs(out_dir, exist_ok=True)
    summary = RunSummary(documents=len(docs))
    traces = _TraceFile(trace_path)

    def done(result: DocResult) -> None:
        if result.output is not None:
            try:
                _write_whole(os.path.join(out_dir, names[result.path] + "." + fmt), result.output)
            except OSError as exc:
                result.ok = False
                result.error = f"{result.path}: cannot write the output: {exc.strerror or exc}"
            result.output = None
        traces.add(result)
        summary.tokens += result.tokens
        if not result.ok:
            summary.failed.append((result.path, result.error))
        if on_result is not None:
            on_result(result)

    names = {doc.path: doc.name for doc in docs}
    # The spool sits next to the trace file: the same file system (the copy
    # stays in the kernel), and room where the trace is meant to go rather
    # than in a /tmp that may be small.
    spool_dir = (tempfile.mkdtemp(prefix=".vaskel-run-", dir=os.path.dirname(os.path.abspath(trace_path)))
                 if trace_path is not None else None)
    try:
        if dask is not None:
            _run_dask(dask, jobs, rules, docs, fmt, trace_path is not None, done)
        elif jobs == 1 or len(docs) <= 1:
            for doc in docs:
                results = process_batch([doc], rules, fmt, out_dir, spool_dir)
                done(results[0])
                _drop_spool(results)
        else:
            _run_pool(jobs, rules, docs, fmt, out_dir, spool_dir, done)
    finally:
        traces.close()
        if spool_dir is not None:
            for entry in os.listdir(spool_dir):
                os.unlink(os.path.join(spool_dir, entry))
            os.rmdir(spool_dir)
        _drop_partial_outputs(out_dir, {f".{doc.name}.{fmt}." for doc in docs})
    summary.seconds = time.perf_counter() - began
    return summary


def _drop_partial_outputs(out_dir: str, prefixes: set[str]) -> None:
    # A worker stopped while writing (the pool ends the others when one dies,
    # or on an interrupt) leaves its temporary file: never an output, but
    # litter in the folder.
    try:
        entries = os.listdir(out_dir)
    except OSError:
        return
    for entry in entries:
        if entry.endswith(".part") and entry.startswith(".") and entry[:entry.rfind(".", 0, -5) + 1] in prefixes:
            try:
                os.unlink(os.path.join(out_dir, entry))
            except OSError:
                pass


def _run_pool(jobs: int, rules: dict[str, str], docs: list[Document], fmt: str, out_dir: str,
              spool_dir: str | None, done: Callable[[DocResult], None]) -> None:
    # A worker that dies (killed for memory, a crash) breaks the whole pool,
    # and every document not done yet comes back unfinished. Those are run
    # again one at a time in a single worker, where the next death points at
    # exactly one document; that one is reported and the rest go on in
    # parallel again.
    remaining, careful = docs, False
    while remaining:
        if careful:
            unfinished = _pool_pass(1, [[doc] for doc in remaining], rules, fmt, out_dir, spool_dir, done)
            if unfinished:
                culprit, remaining = unfinished[0], unfinished[1:]
                done(DocResult(culprit.path, ok=False,
                               error=f"{culprit.path}: the worker process running it ended abruptly"))
            careful = False
        else:
            batches = _batches(remaining, jobs)
            remaining = _pool_pass(min(jobs, len(batches)), batches, rules, fmt, out_dir, spool_dir, done)
            careful = True


def _pool_pass(workers: int, batches: list[list[Document]], rules: dict[str, str], fmt: str, out_dir: str,
               spool_dir: str | None, done: Callable[[DocResult], None]) -> list[Document]:
    """Runs the batches in a pool; returns the documents left unfinished by a broken pool, in order."""
    from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
    from concurrent.futures.process import BrokenProcessPool

    unfinished: list[int] = []
    with ProcessPoolExecutor(max_workers=workers, mp_context=_pool_context()) as pool:
        pending: dict[Future[list[DocResult]], int] = {
            pool.submit(process_batch, batch, rules, fmt, out_dir, spool_dir): k for k, batch in enumerate(batches)
        }
        try:
            while pending:
                finished, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in finished:
                    k = pending.pop(future)
                    try:
                        results = future.result()
                    except BrokenProcessPool:
                        unfinished.append(k)
                        continue
                    except Exception as exc:  # noqa: BLE001 - one line per document, the run goes on
                        results = [DocResult(d.path, ok=False, error=f"{d.path}: {type(exc).__name__}: {exc}")
                                   for d in batches[k]]
                    for result in results:
                        done(result)
                    _drop_spool(results)
        except BaseException:
            for future in pending:
                future.cancel()
            raise
    return [doc for k in sorted(unfinished) for doc in batches[k]]


def _run_dask(address: str, jobs: int, rules: dict[str, str], docs: list[Document], fmt: str,
              keep_trace: bool, done: Callable[[DocResult], None]) -> None:
    try:
        from distributed import Client, LocalCluster, as_completed
    except ImportError:
        raise InputError("--dask needs Dask: pip install 'vaskel[dask]'") from None

    # Dask's workers may run on other machines: each batch sends its exports
    # and traces back, and this process writes them.
    if address == "local":
        cluster = LocalCluster(n_workers=jobs, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
    else:
        cluster = None
        client = Client(address)
    try:
        batches = _batches(docs, jobs)
        futures = {client.submit(process_batch, batch, rules, fmt, None, "inline" if keep_trace else None,
                                 pure=False): batch
                   for batch in batches}
        for future in as_completed(list(futures)):
            try:
                results = future.result()
            except Exception as exc:  # noqa: BLE001 - a lost worker, a failed task: one line per document
                results = [DocResult(d.path, ok=False, error=f"{d.path}: the Dask task failed: "
                                     f"{type(exc).__name__}: {exc}") for d in futures[future]]
            for result in results:
                done(result)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
