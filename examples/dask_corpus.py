"""Process a folder of French text files in parallel with Dask.

vaskel holds the interpreter lock for the whole of each call, so parallel work
means several processes. Here a dask.bag spreads the files over the worker
processes of a cluster; each worker tokenizes its documents, runs the rule
engine and returns the XML export of each one. The engine and the export write
their trace lines to file descriptor 1; each worker points that descriptor at a
file of its own (TRACE_DIR/worker-<pid>.trace) so that the traces of different
workers do not interleave.

    python examples/dask_corpus.py CORPUS_DIR RULES_JSON OUT_DIR [--workers N] [--scheduler ADDRESS]

Without --scheduler a local cluster of N worker processes is started; with it,
the same code runs on an existing (possibly multi-machine) Dask cluster.
"""

from __future__ import annotations

import argparse
import json
import os
from pathlib import Path

import dask.bag as db
from distributed import Client, LocalCluster

import vaskel

_trace_fd_redirected = False


def _send_trace_to_own_file(trace_dir: str) -> None:
    # Once per worker process: fd 1 goes to this worker's trace file.
    global _trace_fd_redirected
    if _trace_fd_redirected:
        return
    Path(trace_dir).mkdir(parents=True, exist_ok=True)
    fd = os.open(Path(trace_dir) / f"worker-{os.getpid()}.trace", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(fd, 1)
    os.close(fd)
    _trace_fd_redirected = True


def process_text(text: str, rules: dict[str, str]) -> str:
    """The XML export of one document: tokenize, run the engine, export."""
    return vaskel.engine(vaskel.tokenize(text), rules).to_xml()


def process_file(path: str, rules: dict[str, str], trace_dir: str | None) -> tuple[str, str]:
    if trace_dir is not None:
        _send_trace_to_own_file(trace_dir)
    return Path(path).name, process_text(Path(path).read_text(encoding="utf-8"), rules)


def process_corpus(
    files: list[str], rules: dict[str, str], client: Client, trace_dir: str | None
) -> dict[str, str]:
    """Maps file names to XML exports, computed on the client's cluster."""
    bag = db.from_sequence(files, npartitions=max(1, min(len(files), 4 * len(client.nthreads()))))
    return dict(bag.map(process_file, rules, trace_dir).compute())


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", type=Path)
    parser.add_argument("rules", type=Path)
    parser.add_argument("out", type=Path)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = parser.parse_args(argv)

    rules = json.loads(args.rules.read_text(encoding="utf-8"))
    files = sorted(str(p) for p in args.corpus.glob("*.txt"))
    trace_dir = str(args.out / "traces")
    args.out.mkdir(parents=True, exist_ok=True)

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        results = process_corpus(files, rules, client, trace_dir)
    for name, xml in results.items():
        (args.out / (Path(name).stem + ".xml")).write_text(xml, encoding="utf-8")
    print(f"{len(results)} documents exported to {args.out}")


if __name__ == "__main__":
    main()
