"""Leaks: every entry point, on its success path and on each of its error
paths, is called many thousands of times. Neither the process's resident
memory, nor the C heap, nor Python's traced allocations may grow, and the
reference count of every object handed to the module must come back to what
it was.

The figures of each path are printed (run pytest with -s to see them) and
repeated in the assertion message when a check fails."""

import collections
import contextlib
import ctypes
import dataclasses
import gc
import os
import sys
import time
import tracemalloc
from typing import Callable

import pytest

import _vaskel_testing as vt
from vaskel import Node, Tree, engine, tokenize

from vaskel_tools import PanicException

# Under AddressSanitizer freed blocks wait in a quarantine and malloc is not
# glibc's, so memory figures say nothing there; that build has its own checks.
pytestmark = pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1",
                                reason="memory figures are meaningless under AddressSanitizer")

# Calls per path after the warm-up. Results are cheap; a raised error costs
# more (a C++ exception is thrown and caught at the boundary), an internal
# failure more again (its report is written to fd 2), and a resumed one most
# (its traceback is formatted and printed).
FAST, ERROR, PANIC, RESUMED = 40_000, 20_000, 10_000, 2_000

# Allowed growth over a whole run of one path. The C heap and the traced
# allocations are counted to the byte, so their slack stays below one leaked
# 16-byte block per call even on the RESUMED paths (32 KB). Resident memory
# moves by whole pages and hides a leak for as long as the allocator reuses
# free pages it already holds, so it only backs up the other two against
# large leaks.
HEAP_SLACK = 24 * 1024
TRACED_SLACK = 16 * 1024
RSS_SLACK = 1024 * 1024

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _c_heap_reader():
    """Bytes in use in the C heap (glibc's mallinfo2), or None elsewhere."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
            "uordblks", "fordblks", "keepcost")]

    mallinfo2.restype = MallInfo2

    def read() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return read


c_heap = _c_heap_reader()


@contextlib.contextmanager
def quiet(stdout_path: str = os.devnull):
    """Points fd 1 at `stdout_path` and fd 2 (failure reports) at /dev/null,
    and sys.stdout / sys.stderr (tracebacks of resumed failures) at /dev/null;
    everything is put back afterwards."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved_fds = os.dup(1), os.dup(2)
    saved_streams = sys.stdout, sys.stderr
    out = os.open(stdout_path, os.O_WRONLY)
    err = os.open(os.devnull, os.O_WRONLY)
    sink = open(os.devnull, "w")
    try:
        os.dup2(out, 1)
        os.dup2(err, 2)
        sys.stdout = sys.stderr = sink
        yield
    finally:
        sys.stdout, sys.stderr = saved_streams
        os.dup2(saved_fds[0], 1)
        os.dup2(saved_fds[1], 2)
        for fd in (*saved_fds, out, err):
            os.close(fd)
        sink.close()


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


# --- the arguments, kept alive for the whole module so that their reference
# counts can be compared before and after each run ---------------------------

TEXT = "L'élève a dit : « aujourd'hui, c'est l'été ! » puis il est parti... 3,14 km/h."
KEYWORD_TEXT = "un autre texte, pour le mot-clé"
OTHER_TEXT = "de trop"
SURROGATE = "avant\ud800après"
TOKENS = ["le", "petit", "chat", "dort", "le", "chien", "dort"]
TOKENS_TUPLE = tuple(TOKENS)
RULES = {"le": "DET", "petit": "ADJ", "chat": "N", "chien": "N", "dort": "V",
         "ADJ+N": "N", "DET+N": "GN", "GN+V": "P"}
NODE_TEXT = "nœud"
BIG_LVL, BIG_I = 70_000, 123_456  # not small cached ints: their counts are their own
SEP = " · "
LEVELS = [
    [("a", 0, 0, []), ("b", 0, 1, []), ("c", 0, 2, []), ("d", 0, 3, [])],
    [("X", 1, 0, [0, 1]), ("Y", 1, 1, [2, 3])],
    [("Z", 2, 0, [0, 1])],
]
TREE = vt.make_tree(LEVELS)
EMPTY_TREE = Tree([])
DANGLING = vt.make_tree([[("a", 0, 0, [])], [("X", 1, 0, [0, 7])]])
NODE = TREE.data[1][0]
ELEMENT = ("racine", [("k", "v&<"), ("n", "2")],
           [("fils", [], [], "texte <![CDATA[brut]]> fin"), ("vide", [], [], None)], None)
NEWLINE, INDENT = "\n", "  "
CDATA_TEXT = "avant <![CDATA[ x < y ]]> après"
PLAIN_TEXT = "sans section"

NOT_TEXT = 5.25
FLOAT = 1.5
TOO_BIG = 2**32
HUGE = 2**64
NEGATIVE = -1000
BYTES = b"octets"
WRONG_RULES = ["pas", "un", "dict"]
BAD_ITEM = ["un", "deux", 3]
BAD_VALUE = {"a": "X", "b": 1}
BAD_KEY = {1: "X"}
SURROGATE_LIST = ["ok", SURROGATE]
SURROGATE_RULES = {SURROGATE: "X"}
CAUSE = ValueError("root cause")


class Seq:
    """A sequence that is not a list: iterated through __getitem__."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, k):
        return self.items[k]


class RaisingMidway(list):
    """Yields its items, then raises a fresh error made by `make`."""

    def __init__(self, items, make):
        super().__init__(items)
        self.make = make

    def __iter__(self):
        yield from list.__iter__(self)
        raise self.make()


class PanicIndex:
    def __index__(self):
        raise PanicException("boom index")


def annotated_with_cause():
    error = TypeError("plain")
    error.__cause__ = CAUSE
    return error


SEQ = Seq(["un", "deux", "trois"])
VALUE_ERROR_MIDWAY = RaisingMidway(["un", "deux"], lambda: ValueError("midway"))
CAUSED_TYPE_ERROR = RaisingMidway(["un"], annotated_with_cause)
PANIC_MIDWAY = RaisingMidway(["un", "deux"], lambda: PanicException("boom"))
PANIC_INDEX = PanicIndex()


class SubNode(Node):
    __slots__ = ("tag",)


class SubTree(Tree):
    pass


SUB_TREE = SubTree(TOKENS)


class LyingLength(list):
    """One item, and a __len__ that claims many, or raises what `length` makes."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if callable(self.length):
            raise self.length()
        return self.length


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise MemoryError
        return type.__getattribute__(cls, name)


LYING = LyingLength(["seul"], 2**58)
LEN_INTERRUPT = LyingLength(["seul"], KeyboardInterrupt)
NAMELESS = NamelessMeta("Nameless", (), {})()
NON_STR_KEYWORD = {BIG_I: TEXT}


@contextlib.contextmanager
def unraisable_counted():
    """Counts the failed deallocations instead of letting pytest keep them."""
    seen = collections.Counter()
    saved = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: seen.update((unraisable.exc_type,))
    try:
        yield
    finally:
        sys.unraisablehook = saved
    # The test-only module raises vaskel's own class.
    assert list(seen) == [PanicException]


@dataclasses.dataclass
class Case:
    name: str
    call: Callable[[], object]
    exc: type | None = None  # the exact exception type the call must raise
    match: str = ""  # a substring of its message
    watch: tuple = ()  # objects whose reference counts must not move
    n: int = FAST
    stdout: str = os.devnull
    setup: Callable = contextlib.nullcontext

    def __str__(self):
        return self.name


def ok(name, call, *watch, n=FAST, setup=contextlib.nullcontext):
    return Case(name, call, watch=watch, n=n, setup=setup)


def fails(name, call, exc, match, *watch, n=ERROR, stdout=os.devnull):
    return Case(name, call, exc, match, watch, n, stdout)


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


WRITE_FAILED = "failed printing to stdout: No space left on device"
FULL = "/dev/full"

CASES = [
    # results
    ok("tokenize", lambda: tokenize(TEXT), TEXT, n=PANIC),
    ok("tokenize-kw", lambda: tokenize(txt=KEYWORD_TEXT), KEYWORD_TEXT),
    ok("engine", lambda: engine(TOKENS, RULES), TOKENS, RULES, n=ERROR),
    ok("engine-tuple", lambda: engine(TOKENS_TUPLE, RULES), TOKENS_TUPLE, RULES, n=ERROR),
    ok("Node", lambda: Node(NODE_TEXT, BIG_LVL, BIG_I), NODE_TEXT, BIG_LVL, BIG_I, Node),
    ok("Node-kw", lambda: Node(i=BIG_I, txt=NODE_TEXT, lvl=BIG_LVL), NODE_TEXT, BIG_LVL, BIG_I, Node),
    ok("Node-subclass", lambda: SubNode(NODE_TEXT, BIG_LVL, BIG_I), NODE_TEXT, SubNode, Node),
    ok("Tree", lambda: Tree(TOKENS), TOKENS, Tree),
    ok("Tree-sequence", lambda: Tree(SEQ), SEQ, Tree),
    ok("Tree-subclass", lambda: SubTree(TOKENS_TUPLE), TOKENS_TUPLE, SubTree, Tree),
    ok("decapsulate", lambda: TREE.decapsulate(2, 0), TREE, Node),
    ok("concat", lambda: TREE.concat(2, 0, SEP), TREE, SEP),
    ok("concat-kw", lambda: TREE.concat(sep=SEP, i=0, lvl=1), TREE, SEP),
    ok("get_children", lambda: TREE.get_children(2, 0), TREE, Node),
    ok("subtree", lambda: TREE.subtree(2, 0), TREE, Tree),
    ok("subtree-of-subclass", lambda: SUB_TREE.subtree(0, 3), SUB_TREE, Tree, SubTree),
    ok("to_xml", lambda: TREE.to_xml(), TREE, n=ERROR),
    ok("Tree.data", lambda: TREE.data, TREE, Node),
    ok("Node.children", lambda: NODE.children, NODE),
    ok("Node.data", lambda: NODE.data, NODE),
    ok("Node.index", lambda: NODE.index, NODE),
    ok("Node.level", lambda: NODE.level, NODE),
    ok("make_tree", lambda: vt.make_tree(LEVELS), LEVELS, Tree),
    ok("xml_pretty", lambda: vt.xml_pretty(ELEMENT, NEWLINE, INDENT), ELEMENT, NEWLINE, INDENT),
    ok("split_cdata", lambda: vt.split_cdata(CDATA_TEXT), CDATA_TEXT),
    ok("split_cdata-none", lambda: vt.split_cdata(PLAIN_TEXT), PLAIN_TEXT),
    ok("failing-dealloc", lambda: vt.FailingDealloc("message"), vt.FailingDealloc, n=ERROR,
       setup=unraisable_counted),
    # binding
    fails("too-many", lambda: tokenize(TEXT, OTHER_TEXT), TypeError, "takes 1 positional", TEXT, OTHER_TEXT),
    fails("too-many-engine", lambda: engine(TOKENS, RULES, BIG_I), TypeError, "takes 2 positional",
          TOKENS, RULES, BIG_I),
    fails("unknown-kw", lambda: tokenize(text=TEXT), TypeError, "unexpected keyword argument 'text'", TEXT),
    fails("unknown-kw-surrogate", lambda: tokenize(**{SURROGATE: TEXT}), TypeError, "unexpected keyword",
          SURROGATE, TEXT),
    fails("duplicate", lambda: tokenize(TEXT, txt=OTHER_TEXT), TypeError, "multiple values", TEXT, OTHER_TEXT),
    fails("duplicate-method", lambda: TREE.subtree(BIG_LVL, BIG_I, lvl=BIG_LVL), TypeError, "multiple values",
          TREE, BIG_LVL, BIG_I),
    fails("missing", lambda: engine(TOKENS), TypeError, "missing 1 required", TOKENS),
    fails("missing-all", lambda: Node(), TypeError, "missing 3 required"),
    fails("missing-method", lambda: TREE.concat(BIG_LVL), TypeError, "missing 2 required", TREE, BIG_LVL),
    # conversions
    fails("text-type", lambda: tokenize(NOT_TEXT), TypeError, "argument 'txt'", NOT_TEXT),
    fails("text-bytes", lambda: Node(BYTES, BIG_LVL, BIG_I), TypeError, "argument 'txt'", BYTES, BIG_LVL),
    fails("sep-type", lambda: TREE.concat(0, 0, BIG_I), TypeError, "argument 'sep'", TREE, BIG_I),
    fails("u32-type", lambda: Node(NODE_TEXT, FLOAT, BIG_I), TypeError, "argument 'lvl'", NODE_TEXT, FLOAT),
    fails("u32-none", lambda: Node(NODE_TEXT, BIG_LVL, None), TypeError, "argument 'i'", NODE_TEXT, BIG_LVL),
    fails("u32-overflow", lambda: Node(NODE_TEXT, TOO_BIG, BIG_I), OverflowError, "out of range integral",
          NODE_TEXT, TOO_BIG),
    fails("u32-huge", lambda: TREE.get_children(HUGE, 0), OverflowError, "", TREE, HUGE),
    fails("u32-negative", lambda: TREE.decapsulate(0, NEGATIVE), OverflowError, "", TREE, NEGATIVE),
    fails("surrogate-text", lambda: tokenize(SURROGATE), UnicodeEncodeError, "surrogate", SURROGATE),
    fails("surrogate-owned", lambda: Node(SURROGATE, BIG_LVL, BIG_I), UnicodeEncodeError, "", SURROGATE),
    fails("surrogate-item", lambda: Tree(SURROGATE_LIST), UnicodeEncodeError, "", SURROGATE_LIST, SURROGATE),
    fails("surrogate-key", lambda: engine(TOKENS, SURROGATE_RULES), UnicodeEncodeError, "",
          TOKENS, SURROGATE_RULES, SURROGATE),
    fails("list-str", lambda: engine(TEXT, RULES), TypeError, "argument 'tokens'", TEXT, RULES),
    fails("list-not-sequence", lambda: Tree(BIG_I), TypeError, "'Sequence'", BIG_I),
    fails("list-item", lambda: engine(BAD_ITEM, RULES), TypeError, "'int' object cannot", BAD_ITEM, RULES),
    fails("list-iter-raises", lambda: Tree(VALUE_ERROR_MIDWAY), ValueError, "midway", VALUE_ERROR_MIDWAY),
    fails("list-iter-cause", lambda: engine(CAUSED_TYPE_ERROR, RULES), TypeError, "argument 'tokens': plain",
          CAUSED_TYPE_ERROR, CAUSE, RULES),
    fails("dict-type", lambda: engine(TOKENS, WRONG_RULES), TypeError, "'PyDict'", TOKENS, WRONG_RULES),
    fails("dict-value", lambda: engine(TOKENS, BAD_VALUE), TypeError, "argument 'ruleset'", TOKENS, BAD_VALUE),
    fails("dict-key", lambda: engine(TOKENS, BAD_KEY), TypeError, "argument 'ruleset'", TOKENS, BAD_KEY),
    fails("make_tree-shape", lambda: vt.make_tree([[("a", 0, 0)]]), TypeError, "a node is"),
    fails("make_tree-item", lambda: vt.make_tree([[("a", NEGATIVE, 0, [])]]), OverflowError, "", NEGATIVE),
    fails("xml_pretty-args", lambda: vt.xml_pretty(ELEMENT, BIG_I, INDENT), TypeError, "", ELEMENT, BIG_I),
    fails("xml_pretty-shape", lambda: vt.xml_pretty(("a", [("k",)], [], None), NEWLINE, INDENT), TypeError,
          "an attribute is"),
    fails("split_cdata-type", lambda: vt.split_cdata(BIG_I), TypeError, "'PyString'", BIG_I),
    fails("non-str-keyword", lambda: tokenize(**NON_STR_KEYWORD), TypeError, "'PyString'", NON_STR_KEYWORD),
    fails("len-interrupt", lambda: Tree(LEN_INTERRUPT), KeyboardInterrupt, "", LEN_INTERRUPT),
    fails("qualname-memory", lambda: tokenize(NAMELESS), MemoryError, "", NAMELESS),
    ok("len-lying", lambda: Tree(LYING), LYING, Tree),
    # internal failures
    fails("oob-get_children", lambda: EMPTY_TREE.get_children(1, 0), PanicException, oob(1, 1), EMPTY_TREE,
          n=PANIC),
    fails("oob-decapsulate", lambda: TREE.decapsulate(BIG_LVL, 0), PanicException, oob(3, BIG_LVL), TREE,
          BIG_LVL, n=PANIC),
    fails("oob-concat", lambda: TREE.concat(2, BIG_I, SEP), PanicException, oob(1, BIG_I), TREE, BIG_I, SEP,
          n=PANIC),
    fails("oob-subtree", lambda: TREE.subtree(0, BIG_I), PanicException, oob(4, BIG_I), TREE, BIG_I, n=PANIC),
    fails("oob-dangling", lambda: DANGLING.decapsulate(1, 0), PanicException, oob(1, 7), DANGLING, n=PANIC),
    fails("oob-to_xml", lambda: DANGLING.to_xml(), PanicException, oob(1, 7), DANGLING, n=PANIC),
    fails("write-engine", lambda: engine(TOKENS, RULES), PanicException, WRITE_FAILED, TOKENS, RULES,
          n=PANIC, stdout=FULL),
    fails("write-to_xml", lambda: TREE.to_xml(), PanicException, WRITE_FAILED, TREE, n=PANIC, stdout=FULL),
    fails("resumed-Tree", lambda: Tree(PANIC_MIDWAY), PanicException, "boom", PANIC_MIDWAY, n=RESUMED),
    fails("resumed-engine", lambda: engine(PANIC_MIDWAY, RULES), PanicException, "boom", PANIC_MIDWAY, RULES,
          n=RESUMED),
    fails("resumed-u32", lambda: Node(NODE_TEXT, PANIC_INDEX, BIG_I), PanicException, "boom index",
          NODE_TEXT, PANIC_INDEX, n=RESUMED),
]

# Shared singletons passed in by many calls: their counts are watched too, but
# the interpreter itself holds and drops references to them all the time.
SHARED = (None, 0, 1, 2)
SHARED_SLACK = 8
# Fresh rounds that a failed check must fail again to count as a leak.
CONFIRM_ROUNDS = 2


def check_first_call(case):
    try:
        case.call()
    except BaseException as exc:  # noqa: BLE001 - any outcome is examined
        assert case.exc is not None, f"{case}: unexpected {type(exc).__name__}: {exc}"
        assert type(exc) is case.exc, f"{case}: {type(exc).__name__}: {exc}"
        assert case.match in str(exc), f"{case}: {exc!r}"
    else:
        assert case.exc is None, f"{case}: no {case.exc.__name__} raised"


def repeat(case, n):
    call = case.call
    if case.exc is None:
        for _ in range(n):
            call()
    else:
        exc = case.exc
        for _ in range(n):
            try:
                call()
            except exc:
                pass


def _trimmer():
    """glibc's malloc_trim, or a function that does nothing elsewhere."""
    try:
        trim = ctypes.CDLL(None).malloc_trim
    except (OSError, AttributeError):
        return lambda: None
    trim.argtypes = [ctypes.c_size_t]
    return lambda: trim(0)


trim_heap = _trimmer()


def figures(case):
    gc.collect()
    # Free pages go back to the system first: resident memory then counts
    # what is in use, not what an earlier test freed and the allocator kept
    # (a leak filling those pages would not show).
    trim_heap()
    return {
        "rss": rss(),
        "heap": c_heap() if c_heap is not None else 0,
        "traced": tracemalloc.get_traced_memory()[0],
        "refs": [sys.getrefcount(o) for o in case.watch],
        "shared": [sys.getrefcount(o) for o in SHARED],
    }


def kib(n):
    return f"{n / 1024:+.1f} KiB"


def problems_of(case, before, after):
    """The checks that one round of calls failed, as (name, details) pairs."""
    grown = {k: after[k] - before[k] for k in ("rss", "heap", "traced")}
    problems = []
    if grown["rss"] >= RSS_SLACK:
        problems.append(("rss", grown["rss"]))
    if grown["heap"] >= HEAP_SLACK:
        problems.append(("heap", grown["heap"]))
    if grown["traced"] >= TRACED_SLACK:
        problems.append(("traced", grown["traced"]))
    moved = [(o, b, a) for o, b, a in zip(case.watch, before["refs"], after["refs"]) if a != b]
    if moved:
        problems.append(("refs", moved))
    moved = [(o, b, a) for o, b, a in zip(SHARED, before["shared"], after["shared"])
             if abs(a - b) > SHARED_SLACK]
    if moved:
        problems.append(("shared refs", moved))
    return problems


def one_round(case):
    before = figures(case)
    started = time.perf_counter()
    repeat(case, case.n)
    elapsed = time.perf_counter() - started
    return before, figures(case), elapsed


def measure(case):
    """Runs the case; returns its summary line and the list of checks that
    failed (as short names, with details).

    A leak grows by the same amount in every round of calls, while the
    interpreter's own caches (the regular expressions and the line cache
    behind a printed traceback, the exception-group backport's formatting on
    3.10, free lists; each holding None and small ints) fill once or swing
    up and down. So a check that fails in the first round is run again in
    up to CONFIRM_ROUNDS fresh rounds, and counts only if it fails in every
    one of them."""
    with quiet(case.stdout), case.setup():
        check_first_call(case)
        repeat(case, max(200, case.n // 10))
        before, after, elapsed = one_round(case)
        problems = problems_of(case, before, after)
        rounds = [problems]
        for _ in range(CONFIRM_ROUNDS):
            if not problems:
                break
            again = {name for name, _ in problems_of(case, *one_round(case)[:2])}
            problems = [(name, details) for name, details in problems if name in again]
            rounds.append(problems)
        top = []
        if any(name == "traced" for name, _ in problems):
            # Run again between two snapshots to show where the memory goes.
            first = tracemalloc.take_snapshot()
            repeat(case, case.n // 10)
            top = tracemalloc.take_snapshot().compare_to(first, "lineno")[:5]
            problems = [(name, "\n".join(map(str, top)) if name == "traced" else details)
                        for name, details in problems]

    grown = {k: after[k] - before[k] for k in ("rss", "heap", "traced")}
    summary = (f"{case.name}: {case.n} calls in {elapsed:.2f} s; rss {before['rss'] / 2**20:.1f} MiB "
               f"{kib(grown['rss'])}, C heap {kib(grown['heap'])}, traced {kib(grown['traced'])}")
    if len(rounds) > 1:
        summary += "; rounds again for " + " / ".join(",".join(n for n, _ in r) or "nothing" for r in rounds[1:])
    return summary, problems


@pytest.mark.parametrize("case", CASES, ids=str)
def test_no_leak(case):
    summary, problems = measure(case)
    print("\n" + summary, end="")
    assert not problems, f"{summary}\n{problems!r}"


def test_c_heap_is_measured():
    assert c_heap is not None, "glibc's mallinfo2 is needed to count the C heap"


# The checks themselves must fire on a leak as small as one block per call,
# at the lowest call count used above.
LIBC = ctypes.CDLL(None)
LIBC.malloc.restype = ctypes.c_void_p
LIBC.malloc.argtypes = [ctypes.c_size_t]
KEPT = []
HELD = object()


def leak_c_block():
    LIBC.malloc(64)


def leak_c_page():
    LIBC.malloc(1024)


def leak_reference():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(HELD))


def leak_none_reference():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(None))


def leak_100_bytes():
    LIBC.malloc(100)


@pytest.mark.parametrize(("case", "expected"), [
    (ok("leak-object", lambda: KEPT.append(object()), n=RESUMED), {"traced"}),
    (ok("leak-c-block", leak_c_block, n=RESUMED), {"heap"}),
    (ok("leak-c-page", leak_c_page, n=ERROR), {"heap", "rss"}),
    (ok("leak-reference", leak_reference, HELD, n=RESUMED), {"refs"}),
    (ok("leak-100-bytes", leak_100_bytes, n=RESUMED), {"heap"}),
    # None is immortal from 3.12 on: its count never moves there.
    pytest.param(ok("leak-none-reference", leak_none_reference, n=RESUMED), {"shared refs"},
                 marks=pytest.mark.skipif(sys.version_info >= (3, 12), reason="None is immortal")),
], ids=str)
def test_checks_catch_small_leaks(case, expected):
    """Planted leaks of one reference or of 64 or 100 bytes per call, at the
    lowest call count used above, fail every round of the checks."""
    summary, problems = measure(case)
    # A leaked Python object also shows in the C heap: tracemalloc keeps
    # its record of the block there.
    assert expected <= {name for name, _ in problems}, summary


def test_traces_written_after_write_failures(capfd):
    """After a run of failed writes, fd 1 put back, the trace comes out again."""
    with quiet(FULL):
        for _ in range(100):
            with pytest.raises(PanicException):
                engine(["le"], {"le": "DET"})
    capfd.readouterr()
    engine(["le"], {"le": "DET"})
    assert capfd.readouterr().out == "le : DET\n[]\n"
