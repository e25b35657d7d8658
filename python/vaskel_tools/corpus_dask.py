"""``vaskel run --dask``: the same work on a Dask cluster.

The workers may run on other machines that see none of this machine's files:
this process reads each batch's texts and sends them with its task, each task
sends back the exports and traces, and this process writes them (with the
run's own rules: whole or not at all, exactly once). The rule base goes to
every worker once (``scatter``, as one object), not with each batch, and a
worker builds the table that cuts it on its first batch only (the same
object comes back with every batch). At most a few batches per worker are
in flight, and each one's result is released once written, so neither the
texts nor the results of the whole corpus are ever held at once.

Inside a worker only file descriptor 1 (vaskel's trace) is pointed at the
document's trace: descriptor 2 is where the worker's own threads log, and a
document's trace holds only what vaskel wrote for it. A failure report still
reaches the worker's log, and its message is the document's error line.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .corpus import DocResult, Document, WorkerState, _batches, process_document
from .files import InputError, read_text
from .trace_targets import DropTrace, InlineTrace

__all__ = ["run_dask", "dask_batch", "check_address"]

CONNECT_TIMEOUT = 10  # seconds to reach a scheduler


def dask_batch(items: list[tuple[str, str]], rules: dict[str, str], fmt: str, keep_trace: bool,
               all_rule_lines: bool = False) -> list[DocResult]:
    """Runs documents given as (path, text) in a Dask worker; exports and traces come back."""
    trace = InlineTrace((1,)) if keep_trace else DropTrace((1,))
    state = WorkerState(rules, fmt, trace, None, all_rule_lines)
    try:
        return [process_document(state, path, text) for path, text in items]
    finally:
        trace.close()


def check_address(address: str) -> None:
    """Refuses (InputError) what cannot be a scheduler's address, before anything is made.

    Checked before a Client exists, too: one made from a bad address fails
    again, with a traceback, when it is collected.
    """
    if address == "local":
        return
    try:
        from distributed.comm.addressing import get_address_host_port
    except ImportError:
        raise InputError("--dask needs Dask: pip install 'vaskel[dask]'") from None
    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme in ("tcp", "tls"):
        try:
            get_address_host_port(address)
        except ValueError as exc:
            raise InputError(f"{address}: not the address of a Dask scheduler ({exc})") from None


def _connect(address: str, jobs: int) -> tuple[Any, Any]:
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise InputError("--dask needs Dask: pip install 'vaskel[dask]'") from None
    if address == "local":
        cluster = LocalCluster(n_workers=jobs, threads_per_worker=1, processes=True, dashboard_address=None)
        return Client(cluster), cluster
    check_address(address)
    try:
        return Client(address, timeout=CONNECT_TIMEOUT, set_as_default=False), None
    except (OSError, TimeoutError) as exc:
        raise InputError(f"{address}: cannot reach the Dask scheduler within {CONNECT_TIMEOUT} s "
                         f"({type(exc).__name__})") from None
    except (ValueError, TypeError) as exc:
        raise InputError(f"{address}: not the address of a Dask scheduler ({exc})") from None


def run_dask(address: str, jobs: int, rules: dict[str, str], docs: list[Document], fmt: str, keep_trace: bool,
             ready: Callable[[], None], done: Callable[[DocResult], None], all_rule_lines: bool = False) -> None:
    client, cluster = _connect(address, jobs)
    try:
        from distributed import as_completed

        workers = max(1, sum(client.nthreads().values())) if cluster is None else jobs
        # One object: scattering the dict itself would make one Dask key per
        # rule, and every task would depend on all of them.
        [shared_rules] = client.scatter([rules], broadcast=True)
        ready()
        batches = iter(_batches(docs, workers))
        running: dict[Any, list[str]] = {}
        finished = as_completed(loop=client.loop)  # this client is not the default one

        def submit_next() -> None:
            for batch in batches:
                items = []
                for doc in batch:
                    try:
                        items.append((doc.path, read_text(doc.path)))
                    except InputError as exc:
                        done(DocResult(doc.path, ok=False, error=str(exc)))
                if items:
                    future = client.submit(dask_batch, items, shared_rules, fmt, keep_trace, all_rule_lines, pure=False)
                    running[future] = [path for path, _ in items]
                    finished.add(future)
                    return

        for _ in range(2 * workers):
            submit_next()
        for future in finished:
            paths = running.pop(future)
            try:
                results = future.result()
            except Exception as exc:  # noqa: BLE001 - a lost worker, a failed task: one line per document
                results = [DocResult(path, ok=False, error=f"{path}: the Dask task failed: {type(exc).__name__}: {exc}")
                           for path in paths]
            future.release()
            del future
            for result in results:
                done(result)
            submit_next()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
