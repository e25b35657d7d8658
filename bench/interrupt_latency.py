"""How long each long vaskel call takes to end after a signal whose handler
raises KeyboardInterrupt (what Ctrl-C does).

For every kind of call, the input is built first; then a timer is armed to
fire `--after` seconds (0.25 by default) into the call, with a SIGALRM handler
that raises KeyboardInterrupt, and the time from the signal to the exception
reaching the caller is printed. A call that ends before the timer fires is
reported as too short (raise --scale). The inputs are large: expect a few GB
of memory at scale 1.

    python bench/interrupt_latency.py [--scale 1.0] [--after 0.25] [--only engine,to_xml]
        [--import-from DIR]   # a folder holding another build of vaskel

Not a timed test: it prints a table and the largest latency, nothing else.
"""

from __future__ import annotations

import argparse
import gc
import os
import signal
import statistics
import sys
import tempfile
import time
from contextlib import contextmanager
from typing import Callable


@contextmanager
def stdout_to(path: str):
    """Points file descriptor 1 at `path` for the block."""
    sys.stdout.flush()
    saved = os.dup(1)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(fd, 1)
    os.close(fd)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


class Probe:
    """Arms the timer around one call and measures when the exception comes."""

    def __init__(self, after: float) -> None:
        self.after = after
        self.in_call = False
        self.handled_at = 0.0
        signal.signal(signal.SIGALRM, self._handler)

    def _handler(self, signum, frame):
        self.handled_at = time.perf_counter()
        if self.in_call:
            raise KeyboardInterrupt

    def measure(self, call: Callable[[], object]) -> tuple[float | None, float, float]:
        """(seconds from the signal to the exception, or to the end of a call
        that ran to its end although the signal came during it, or None when
        the call ended before the signal; seconds from the signal to its
        handler; seconds the call lasted)."""
        gc.collect()
        result = None
        start = time.perf_counter()
        self.in_call = True
        signal.setitimer(signal.ITIMER_REAL, self.after)
        try:
            result = call()
        except KeyboardInterrupt:
            end = time.perf_counter()
            self.in_call = False
            signalled = start + self.after
            return end - signalled, self.handled_at - signalled, end - start
        finally:
            self.in_call = False
            signal.setitimer(signal.ITIMER_REAL, 0)
        # The call ran to its end: the handler runs once it has returned.
        end = time.perf_counter()
        del result
        signalled = start + self.after
        late = end - signalled if end > signalled else None
        return late, late or 0.0, end - start


def cases(scale: float, only: set[str] | None):
    """(name, setup) pairs; setup() returns (call, fd 1 target)."""
    import vaskel

    def n(count: int) -> int:
        return max(1000, int(count * scale))

    chunk_rules = {"le": "DET", "chat": "NOM", "DET+NOM+X": "_"}
    devnull = os.devnull
    trace_file = os.path.join(tempfile.gettempdir(), f"vaskel_interrupt_{os.getpid()}.txt")

    def engine_devnull():
        tokens = ["le", "chat"] * (n(3_000_000) // 2)
        return (lambda: vaskel.engine(tokens, chunk_rules)), devnull

    def engine_file():
        tokens = ["le", "chat"] * (n(3_000_000) // 2)
        return (lambda: vaskel.engine(tokens, chunk_rules)), trace_file

    def engine_rules():
        # Multi-label keys only: the engine writes no line while it sorts them.
        rules = {f"A{k}+B": "_" for k in range(n(3_000_000))}
        return (lambda: vaskel.engine([], rules)), devnull

    def tokenize_text():
        text = "Le chat, dit-on, n'aime pas l'eau. " * (n(320_000_000) // 35)
        return (lambda: vaskel.tokenize(text)), devnull

    def one_token():
        text = "\u2603" * n(100_000_000)
        vaskel.Node(text, 0, 0)  # builds the str's UTF-8 form, as a first call would
        return (lambda: vaskel.tokenize(text)), devnull

    def tree_new():
        leaves = ["feuille"] * n(16_000_000)
        return (lambda: vaskel.Tree(leaves)), devnull

    def to_xml():
        tree = vaskel.Tree(["x"] * n(10_000_000))
        return tree.to_xml, devnull

    def tree_data():
        tree = vaskel.Tree(["x"] * n(6_000_000))
        return (lambda: tree.data), devnull

    def wide_tree():
        # One node above N copies of one leaf (its children list names leaf
        # 0 N times): no engine run makes so wide a node, so the tree is
        # built from its records by the test-only module.
        import _vaskel_testing

        return _vaskel_testing.make_tree([[("x", 0, 0, [])], [("top", 1, 0, [0] * n(10_000_000))]])

    def decapsulate():
        tree = wide_tree()
        return (lambda: tree.decapsulate(1, 0)), devnull

    def get_children():
        tree = wide_tree()
        return (lambda: tree.get_children(1, 0)), devnull

    def concat():
        tree = wide_tree()
        return (lambda: tree.concat(1, 0, " ")), devnull

    def subtree():
        tree = wide_tree()
        return (lambda: tree.subtree(1, 0)), devnull

    table = [
        ("engine, 3M tokens, trace on /dev/null", "engine", engine_devnull),
        ("engine, 3M tokens, trace on a file", "engine", engine_file),
        ("engine([], 3M rules)", "engine", engine_rules),
        ("tokenize, 320 MB", "tokenize", tokenize_text),
        ("tokenize, one token of 100M characters", "tokenize", one_token),
        ("Tree(16M leaves)", "tree", tree_new),
        ("to_xml, 10M leaves", "to_xml", to_xml),
        ("Tree.data, 6M leaves", "tree", tree_data),
        ("decapsulate, 10M children", "tree", decapsulate),
        ("get_children, 10M children", "tree", get_children),
        ("concat, 10M children", "tree", concat),
        ("subtree, 10M children", "tree", subtree),
    ]
    for name, group, setup in table:
        if only is None or group in only:
            yield name, setup
    if os.path.exists(trace_file):
        os.unlink(trace_file)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every input size")
    parser.add_argument("--after", type=float, default=0.25, help="seconds into the call")
    parser.add_argument("--reps", type=int, default=1, help="measurements per call (median)")
    parser.add_argument("--only", help="comma-separated: engine, tokenize, tree, to_xml")
    parser.add_argument("--import-from", help="import vaskel from this folder first")
    args = parser.parse_args()
    if args.import_from:
        sys.path.insert(0, os.path.abspath(args.import_from))
    import vaskel

    only = set(args.only.split(",")) if args.only else None
    probe = Probe(args.after)
    print(f"vaskel from {vaskel.__file__}; signal {args.after} s into each call; scale {args.scale}; "
          f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}")
    # The handler runs when the call polls for signals; the exception reaches
    # the caller once the call has unwound and released its memory.
    print(f"{'call':<44}{'to handler':>12}{'to exception':>14}{'call lasted':>14}")
    worst = 0.0
    for name, setup in cases(args.scale, only):
        call, target = setup()
        latencies, handled, durations = [], [], []
        for _ in range(args.reps):
            with stdout_to(target):
                latency, to_handler, duration = probe.measure(call)
            durations.append(duration)
            if latency is not None:
                latencies.append(latency)
                handled.append(to_handler)
        del call
        lasted = statistics.median(durations)
        if len(latencies) < args.reps:
            print(f"{name:<44}{'(ended first)':>26}{lasted:>12.3f} s", flush=True)
            continue
        latency = statistics.median(latencies)
        worst = max(worst, latency)
        to_handler = statistics.median(handled)
        print(f"{name:<44}{to_handler * 1000:>9.1f} ms{latency * 1000:>11.1f} ms{lasted:>12.3f} s", flush=True)
    print(f"largest latency: {worst * 1000:.1f} ms")


if __name__ == "__main__":
    main()
