"""Ctrl-C in long calls: every call whose length the caller controls polls for
signals as it goes, and a handler's exception ends it promptly, as it stands
(not a PanicException), with no failure report, the lines already written
kept, and the module working normally afterwards.

Each case runs in a child process of its own (signals and fd 1 are changed
there). The child first times the whole call, then arms a timer a quarter
into it, and checks that the exception comes well before the rest of the
call would have run: the bound is half the call's own duration, so a loaded
machine, or the sanitized build, slows the call and the bound alike."""

import json

import pytest

from helpers import run_python

CHILD = r"""
import gc, json, os, signal, sys, tempfile, time
import vaskel, _vaskel_testing

class Timeout(Exception):
    "A handler's own exception, of an ordinary class."

SETUP
call = lambda: CALL
summary = lambda r: SUMMARY

state = {"in_call": False, "raise": None, "fired": 0}

def handler(signum, frame):
    state["fired"] += 1
    if state["in_call"] and state["raise"] is not None:
        raise state["raise"]("from the handler")

signal.signal(signal.SIGALRM, handler)
folder = tempfile.mkdtemp()

def run(delay=None, interval=0.0, exc=None):
    # One call with fd 1 on a file: (result or exception, seconds from the
    # signal to the end of the call, whole duration, trace bytes).
    path = os.path.join(folder, "trace")
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    saved = os.dup(1)
    os.dup2(fd, 1)
    gc.collect()
    state["raise"], state["fired"] = exc, 0
    outcome = None
    try:
        start = time.perf_counter()
        state["in_call"] = True
        if delay is not None:
            signal.setitimer(signal.ITIMER_REAL, delay, interval)
        try:
            outcome = call()
        except BaseException as e:
            outcome = e
        end = time.perf_counter()
    finally:
        state["in_call"] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        os.dup2(saved, 1)
        os.close(saved)
    if not isinstance(outcome, BaseException):
        outcome = summary(outcome)  # outside the timed call
    os.lseek(fd, 0, 0)
    trace = b"".join(iter(lambda: os.read(fd, 1 << 20), b""))
    os.close(fd)
    late = end - (start + delay) if delay is not None else None
    return outcome, late, end - start, trace

reference, _, duration, full_trace = run()
report = {"duration": duration, "interrupted": [], "trace_lines": full_trace.count(b"\n")}
for exc in (Timeout, KeyboardInterrupt):
    # The timer must fire during the call; on a busy machine the call may
    # end first, and the attempt is made again, earlier.
    delay = duration / 4
    for attempt in range(6):
        outcome, late, _, trace = run(delay, exc=exc)
        if isinstance(outcome, BaseException):
            break
        delay /= 2
    report["interrupted"].append({
        "expected": exc.__name__,
        "raised": type(outcome).__name__,
        "args": list(outcome.args) if isinstance(outcome, BaseException) else None,
        "late": late,
        # What was written stays, whole lines only, the start of the full trace.
        "prefix": full_trace.startswith(trace) and (not trace or trace.endswith(b"\n")),
        "lines": trace.count(b"\n"),
    })
if PASSIVE:
    # A handler that does not raise changes nothing, however often it runs.
    outcome, _, _, trace = run(0.0005, 0.0005)
    report["passive"] = {"same": outcome == reference and trace == full_trace, "fired": state["fired"]}
# The next call works as usual.
outcome, _, _, trace = run()
report["again"] = outcome == reference and trace == full_trace
print(json.dumps(report))
"""

WIDE = '_vaskel_testing.make_tree([[("x", 0, 0, [])], [("top", 1, 0, [0] * {n})]])'

# (id, setup, call, summary of the result, trace: 2 when lines are written
# from the start of the call, 1 when only after the argument conversions,
# which may be where the signal comes, 0 for none)
CASES = [
    ("engine-tokens", "tokens = ['le', 'chat'] * 500_000\nrules = {'le': 'DET', 'chat': 'NOM', 'DET+NOM+X': '_'}",
     "vaskel.engine(tokens, rules)", "[len(level) for level in r.data]", 2),
    ("engine-rules", "rules = {f'A{k}+B': '_' for k in range(1_000_000)}",
     "vaskel.engine([], rules)", "[len(level) for level in r.data]", 0),
    ("engine-rule-lines", "rules = {f'k{k}': 'V' for k in range(1_000_000)}",
     "vaskel.engine([], rules)", "[len(level) for level in r.data]", 1),
    ("tokenize", "text = \"Le chat, dit-on, n'aime pas l'eau. \" * 3_000_000",
     "vaskel.tokenize(text)", "(len(r), r[:9], r[-9:])", 0),
    # One token of 150 MB: the cutter reads a long stretch without a token.
    # (Node() fills the str's UTF-8 form, which the first call would build.)
    ("tokenize-one-token", "text = 'a\u2603' * 25_000_000 + ' b'\nvaskel.Node(text, 0, 0)",
     "vaskel.tokenize(text)", "(len(r), len(r[0]), r[1])", 0),
    ("Tree", "leaves = ['feuille'] * 5_000_000", "vaskel.Tree(leaves)", "len(r.data[0])", 0),
    ("to_xml", "tree = vaskel.Tree(['x'] * 3_000_000)", "tree.to_xml()", "(len(r), hash(r))", 2),
    ("Tree.data", "tree = vaskel.Tree(['x'] * 3_000_000)", "tree.data", "[len(level) for level in r]",
     0),
    ("decapsulate", "tree = " + WIDE.format(n="4_000_000"), "tree.decapsulate(1, 0)", "len(r)", 0),
    ("get_children", "tree = " + WIDE.format(n="4_000_000"), "tree.get_children(1, 0)", "len(r)", 0),
    ("concat", "tree = " + WIDE.format(n="8_000_000"), "tree.concat(1, 0, '+')", "len(r)", 0),
    ("subtree", "tree = " + WIDE.format(n="8_000_000"), "tree.subtree(1, 0)",
     "[len(level) for level in r.data]", 0),
    ("Node.children", "top = _vaskel_testing.make_tree([[('top', 1, 0, range(12_000_000))]]).data[0][0]",
     "top.children", "(len(r), r[-1])", 0),
]


def run_case(setup, call, summary, passive):
    code = (CHILD.replace("SETUP", setup).replace("CALL", call).replace("SUMMARY", summary)
            .replace("PASSIVE", str(passive)))
    proc = run_python(code, timeout=600)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    # Nothing on fd 2: an interrupted call is no failure, and has no report.
    assert proc.stderr == b""
    return json.loads(proc.stdout)


@pytest.mark.parametrize("setup, call, summary, writes", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_a_handler_exception_ends_the_call_promptly(setup, call, summary, writes):
    report = run_case(setup, call, summary, passive=writes > 0)
    duration = report["duration"]
    for run in report["interrupted"]:
        # The handler's own exception, not a PanicException.
        assert (run["raised"], run["args"]) == (run["expected"], ["from the handler"]), report
        # Before the rest of the call could have run (three quarters of it).
        assert run["late"] < duration / 2, report
        assert run["prefix"], report
        if writes:
            assert run["lines"] < report["trace_lines"], report
        if writes == 2:
            assert run["lines"] > 0, report
    if writes:
        assert report["passive"]["same"] and report["passive"]["fired"] > 0, report
    assert report["again"], report


def test_interrupted_calls_in_a_row_leave_the_module_whole():
    # Many short interrupted calls, one after another: each ends with the
    # handler's exception and the next one starts afresh (no stale state of
    # the countdown or of the pending error).
    proc = run_python("""
    import os, signal, sys, vaskel
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    tokens = ['le', 'chat'] * 300_000
    rules = {'le': 'DET', 'chat': 'NOM', 'DET+NOM+X': '_'}
    def handler(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, handler)
    ended = 0
    for k in range(20):
        signal.setitimer(signal.ITIMER_REAL, 0.002 + 0.001 * k)
        try:
            vaskel.engine(tokens, rules)
        except KeyboardInterrupt:
            ended += 1
        signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    tree = vaskel.engine(['le', 'chat', 'le', 'chat'], rules)
    sys.stderr.write(f"{ended} {[[n.data for n in level] for level in tree.data]}\\n")
    """, timeout=300)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    ended, levels = proc.stderr.decode().strip().split(" ", 1)
    assert int(ended) > 0
    assert levels == "[['le', 'chat', 'le', 'chat'], ['0']]"
