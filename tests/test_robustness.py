"""vaskel attacked as hostile or unlucky callers attack it: fd 1 a pipe that a
thread of the same process drains, signals during writes and reports, Python
code that drops arguments while they are converted, lying sequences, and
allocations that fail.

Tests that change fd 1, signals or the allocator run in a child process."""

import gc
import json
import os
import re
import shutil
import sys

import pytest

import _vaskel_testing

from vaskel import Node, Tree, engine, tokenize
from vaskel_tools import PanicException

from helpers import child_env, python_command, run_command, run_python


# A rule base whose trace is large: one window line per start step.
BIG_RULES = '{"le": "DET", "chat": "NOM", "DET+NOM+X": "_"}'


# --- fd 1 a pipe drained in the same process ---------------------------------

PIPE_READER = """
    import os, sys, threading, vaskel, _vaskel_testing
    def expected(call):
        # The same trace, written to a regular file.
        fd = os.open("trace.out", os.O_RDWR | os.O_CREAT | os.O_TRUNC)
        saved = os.dup(1); os.dup2(fd, 1)
        try:
            call()
        finally:
            os.dup2(saved, 1); os.close(saved)
        os.lseek(fd, 0, 0)
        data = b"".join(iter(lambda: os.read(fd, 1 << 20), b""))
        os.close(fd)
        return data
    def through_pipe(call):
        r, w = os.pipe()
        chunks = []
        reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: os.read(r, 65536), b"")))
        reader.start()
        saved = os.dup(1); os.dup2(w, 1); os.close(w)
        try:
            result = call()
        finally:
            os.dup2(saved, 1); os.close(saved)
        reader.join(); os.close(r)
        return result, b"".join(chunks)
    def through_pty(call):
        # A pseudo-terminal whose master a thread reads, as terminal
        # emulators written in Python do; raw, so that the bytes pass as
        # they are.
        import tty
        master, slave = os.openpty()
        tty.setraw(slave)
        chunks = []
        def read():
            while True:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO once the last slave descriptor is closed
                    return
                if not chunk:
                    return
                chunks.append(chunk)
        reader = threading.Thread(target=read)
        reader.start()
        saved = os.dup(1); os.dup2(slave, 1); os.close(slave)
        try:
            result = call()
        finally:
            os.dup2(saved, 1); os.close(saved)
        reader.join(); os.close(master)
        return result, b"".join(chunks)
"""


BLOCKING_CALLS = [
    f"lambda: vaskel.engine(['le', 'chat'] * 40000, {BIG_RULES})",
    "lambda: vaskel.Tree(['x' * 40] * 150000).to_xml()",
]


# A write to a full pipe, or to a terminal whose buffer (a few KB) is full,
# blocks until the reader drains it: it must not hold the interpreter lock.
@pytest.mark.parametrize("call", BLOCKING_CALLS)
@pytest.mark.parametrize("channel", ["through_pipe", "through_pty"])
def test_output_drained_by_a_thread_of_the_same_process(channel, call, tmp_path):
    proc = run_python(PIPE_READER + f"""
    call = {call}
    want = expected(call)
    assert len(want) > 2_000_000, len(want)
    result, got = {channel}(call)
    assert result is not None
    sys.stderr.write(f"{{len(got)}} {{got == want}}\\n")
    """, timeout=60, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    size, same = proc.stderr.decode().split()
    assert same == "True" and int(size) > 2_000_000


def test_threads_interleave_whole_lines_through_a_pipe(tmp_path):
    proc = run_python(PIPE_READER + f"""
    calls = [lambda: vaskel.engine(['le', 'chat'] * 20000, {BIG_RULES}) for _ in range(3)]
    def both():
        workers = [threading.Thread(target=c) for c in calls]
        for t in workers: t.start()
        for t in workers: t.join()
        return True
    one = expected(calls[0])
    _, got = through_pipe(both)
    lines = sorted(got.split(b"\\n"))
    want = sorted(one.split(b"\\n")[:-1] * 3 + [b""])
    sys.stderr.write(f"{{lines == want}}\\n")
    """, timeout=60, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert proc.stderr.decode().strip() == "True"


# --- signals ----------------------------------------------------------------

def test_ctrl_c_ends_a_write_blocked_on_a_full_pipe():
    # Nobody reads the pipe: the trace fills it and the write blocks until
    # the timer's handler raises KeyboardInterrupt.
    proc = run_python(f"""
    import os, signal, sys, vaskel
    r, w = os.pipe()
    os.dup2(w, 1)
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 1.0)
    try:
        vaskel.engine(['le', 'chat'] * 40000, {BIG_RULES})
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\\n")
    os.set_blocking(r, False)
    written = len(os.read(r, 1 << 20))
    sys.stderr.write(f"{{written}}\\n")
    """, timeout=30)
    err = proc.stderr.decode()
    assert proc.returncode == 0, err[-3000:]
    lines = err.splitlines()
    assert lines[0] == "interrupted"
    assert int(lines[1]) > 0  # the lines written before the interrupt stay
    assert "internal failure" not in err


def test_partial_writes_resume_where_they_stopped(spawn):
    # One trace line of several MB goes into a pipe read slowly, while a
    # timer signal interrupts the writes again and again: each short write
    # must go on from the first byte not yet written.
    line = "".join(chr(0x61 + k % 26) for k in range(4_000_000))
    child = spawn(python_command("""
        import signal, vaskel
        signal.signal(signal.SIGALRM, lambda s, f: None)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        key = "".join(chr(0x61 + k % 26) for k in range(4_000_000))
        vaskel.engine([], {key: "V"})
        signal.setitimer(signal.ITIMER_REAL, 0)
        """))
    chunks = []
    import time
    while True:
        chunk = child.stdout.read1(4096)
        if not chunk:
            break
        chunks.append(chunk)
        if len(chunks) % 64 == 0:
            time.sleep(0.002)
    child.wait(timeout=60)
    assert child.returncode == 0, child.stderr.read().decode()[-3000:]
    assert b"".join(chunks) == (line + " : V\n[]\n").encode()


INDEX_300K = "index out of bounds: the len is 300000 but the index is 300000"
REPORT_300K = (r"^vaskel: internal failure in thread '{name}': index out of bounds: "
               r"the len is 300000 but the index is 300000 \(at src/\S+:\d+\)$")


def check_reports(lines, name):
    assert lines and len(lines) % 2 == 0, lines
    for report, note in zip(lines[::2], lines[1::2]):
        assert re.match(REPORT_300K.format(name=name), report), lines
        assert note.startswith("note:")


# Any class: Ctrl-C's KeyboardInterrupt, a timeout that derives from
# Exception, a class of the program's own.
@pytest.mark.parametrize("raised", ["KeyboardInterrupt", "TimeoutError", "Deadline"])
def test_signal_handler_exception_during_a_failure_report_is_not_lost(raised):
    # A signal caught after a call's last poll for signals, just before it
    # fails: the failure is reported, and the handler's exception, which runs
    # where the report reads the thread's name, surfaces with the
    # PanicException as its context and the thread's real name in the report.
    # (A signal caught earlier ends the call before the failure: see
    # test_interrupt.py.)
    proc = run_python(f"""
    import signal, sys, _vaskel_testing
    class Deadline(Exception):
        pass
    Raised = {raised}
    def interrupt(signum, frame):
        raise Raised("from the handler")
    signal.signal(signal.SIGALRM, interrupt)
    try:
        _vaskel_testing.signal_then_fail(signal.SIGALRM, "{INDEX_300K}")
    except Raised as e:
        sys.stderr.write(f"raised {{type(e).__name__}} {{e.args}} context {{type(e.__context__).__name__}} "
                         f"{{e.__context__.args}}\\n")
    """, timeout=60)
    err = proc.stderr.decode()
    assert proc.returncode == 0, err[-3000:]
    lines = err.splitlines()
    assert lines[-1] == f"raised {raised} ('from the handler',) context PanicException ('{INDEX_300K}',)"
    check_reports(lines[:-1], "MainThread")


@pytest.mark.parametrize("target", ["MainThread", "worker-7"])
def test_asynchronous_exception_during_a_failure_report_is_not_lost(target):
    # Another thread sets an exception on the target thread (as a watchdog
    # does with PyThreadState_SetAsyncExc) while its to_xml walks a malformed
    # tree; fd 1 is a pipe drained by a thread, so the walk releases the lock
    # at each line and the setter runs. The interpreter raises that exception
    # only between bytecode instructions: the report lets it do so, and the
    # call ends with it, the PanicException as its context.
    proc = run_python(PIPE_READER + f"""
    import ctypes
    class Stop(Exception):
        pass
    n = 300_000
    tree = _vaskel_testing.make_tree(
        [[("x", 0, k, []) for k in range(n)], [("top", 1, 0, list(range(n + 1)))]])
    def attempt():
        outcome = []
        go = threading.Event()
        ident = threading.get_ident()
        def setter():
            go.wait()
            ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(ident), ctypes.py_object(Stop))
        threading.Thread(target=setter).start()
        try:
            try:
                go.set()
                tree.to_xml()
            except Stop as e:
                outcome.append(e)
            except BaseException:
                pass
            for _ in range(1000):  # the exception arrives here if it came late
                time.sleep(0.001)
        except Stop:
            pass
        return outcome[0] if outcome and outcome[0].__context__ is not None else None
    import time
    def run():
        for _ in range(10):
            e = attempt()
            if e is not None:
                return e
    found = []
    def target():
        found.append(through_pipe(run)[0])
    if {target!r} == "MainThread":
        target()
    else:
        t = threading.Thread(target=target, name={target!r})
        t.start()
        t.join()
    e = found[0]
    sys.stderr.write(f"raised {{type(e).__name__}} context {{type(e.__context__).__name__}} "
                     f"{{e.__context__.args}}\\n")
    """, timeout=60)
    err = proc.stderr.decode()
    assert proc.returncode == 0, err[-3000:]
    lines = err.splitlines()
    assert lines[-1] == f"raised Stop context PanicException ('{INDEX_300K}',)"
    check_reports(lines[:-1], target)


FD2_PIPE = """
    import fcntl, os, sys, threading, vaskel, _vaskel_testing
    def small_pipe():
        r, w = os.pipe()
        fcntl.fcntl(w, getattr(fcntl, "F_SETPIPE_SZ", 1031), 4096)
        return r, w
    def provoke(count):
        for _ in range(count):
            try:
                vaskel.Tree([]).get_children(1, 0)
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise
"""


def test_failure_reports_to_a_pipe_drained_by_a_thread_of_the_same_process():
    # Two hundred reports overflow the pipe's 4 KB; the reader needs the lock
    # to go on draining it, so each report is written without it.
    proc = run_python(FD2_PIPE + """
    r, w = small_pipe()
    chunks = []
    reader = threading.Thread(target=lambda: chunks.extend(iter(lambda: os.read(r, 65536), b"")))
    reader.start()
    saved = os.dup(2); os.dup2(w, 2); os.close(w)
    try:
        provoke(200)
    finally:
        os.dup2(saved, 2); os.close(saved)
    reader.join()
    lines = b"".join(chunks).decode().splitlines()
    print(len(lines), len(set(lines)))
    print(lines[0])
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert len(proc.stdout.decode().splitlines()) == 2, proc.stdout.decode()
    count_distinct, first = proc.stdout.decode().splitlines()
    count, distinct = count_distinct.split()
    assert (count, distinct) == ("400", "2")
    assert re.match(r"^vaskel: internal failure in thread 'MainThread': index out of bounds: the len is 1 "
                    r"but the index is 1 \(at src/\S+:\d+\)$", first), first


def test_ctrl_c_ends_a_failure_report_blocked_on_a_full_pipe():
    # Nobody reads fd 2: the report fills the pipe and waits until the
    # handler's KeyboardInterrupt ends it; the call raises that exception.
    proc = run_python(FD2_PIPE + """
    import signal
    r, w = small_pipe()
    saved = os.dup(2); os.dup2(w, 2)
    def interrupt(signum, frame):
        raise KeyboardInterrupt("from the handler")
    signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 1.0)
    try:
        provoke(1000)
    except KeyboardInterrupt as e:
        outcome = f"{type(e).__name__} {e.args} context {type(e.__context__).__name__}"
    finally:
        os.dup2(saved, 2)
    print(outcome)
    """, timeout=30)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert proc.stdout.decode() == "KeyboardInterrupt ('from the handler',) context PanicException\n"


# A daemon thread blocked on a write without the lock when the interpreter
# exits: the interpreter ends it as it takes the lock back (a forced unwind
# through vaskel's frames), and the process must exit cleanly. The main thread
# leaves buffered output behind, so that the exit waits on the same pipe; the
# parent drains it only once the exit is under way.
EXIT_WHILE_BLOCKED = {
    "trace": ("stdout", f"vaskel.engine(['le', 'chat'] * 40000, {BIG_RULES})"),
    "to_xml trace": ("stdout", "vaskel.Tree(['x' * 40] * 150000).to_xml()"),
    "failure report": ("stderr", "provoke(10 ** 6)"),
}


@pytest.mark.skipif(_vaskel_testing.CXX_LIBRARY != "libstdc++",
                    reason="glibc ends the thread with an unwind that only libstdc++'s handlers let through")
@pytest.mark.parametrize("case", list(EXIT_WHILE_BLOCKED))
def test_exit_while_a_daemon_thread_waits_on_a_write(case, spawn):
    stream, call = EXIT_WHILE_BLOCKED[case]
    marker = "stderr" if stream == "stdout" else "stdout"
    code = FD2_PIPE + f"""
    import atexit, time
    started = threading.Event()
    def work():
        started.set()
        {call}
    threading.Thread(target=work, daemon=True).start()
    started.wait()
    time.sleep(0.5)  # the thread now waits on the full pipe
    # Left in a block buffer, written at exit in one piece (no more than
    # PIPE_BUF bytes, so the thread's writes cannot cut it).
    sys.{stream} = open({1 if stream == "stdout" else 2}, "w", buffering=8192, closefd=False)
    sys.{stream}.write("main leaves\\n" * 341)
    atexit.register(lambda: os.write({2 if marker == "stderr" else 1}, b"exiting\\n"))
    """
    child = spawn(python_command(code))
    import threading
    watchdog = threading.Timer(60, child.kill)
    watchdog.start()
    try:
        blocked, marked = (child.stdout, child.stderr) if stream == "stdout" else (child.stderr, child.stdout)
        assert marked.readline() == b"exiting\n"
        import time
        time.sleep(0.5)  # the interpreter is finalising, its flush waiting on the pipe
        drained = blocked.read()
        rest = marked.read()
        child.wait(timeout=60)
    finally:
        watchdog.cancel()
        child.kill()
    text = (rest if stream == "stdout" else drained).decode(errors="replace")
    assert "terminate called" not in text and "Fatal" not in text, text[-3000:]
    assert child.returncode == 0, text[-3000:]
    assert b"main leaves\n" * 341 in drained


# --- errors that must not be swallowed ----------------------------------------

class Lying(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


@pytest.mark.parametrize("length", [2**31, 2**58, sys.maxsize, 0, ValueError("no length"),
                                    SystemExit(3)])
def test_len_only_sizes_the_result(length, capfd):
    assert [n.data for n in Tree(Lying(["seul"], length)).data[0]] == ["seul"]
    assert [n.data for n in engine(Lying(["seul"], length), {}).data[0]] == ["seul"]
    capfd.readouterr()


@pytest.mark.parametrize("error", [KeyboardInterrupt("stop"), PanicException("from len")])
def test_len_error_that_must_reach_the_caller(error, capfd):
    with pytest.raises(type(error)) as info:
        Tree(Lying(["a"], error))
    assert info.value.args == error.args
    err = capfd.readouterr().err
    if type(error) is PanicException:
        assert err.startswith("vaskel: resuming an internal failure")
    else:
        assert err == ""


def unnamed_instance(error):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise error
            return type.__getattribute__(cls, name)

    return Meta("Odd", (), {})()


@pytest.mark.parametrize("error", [MemoryError(), KeyboardInterrupt(), PanicException("from name")])
def test_type_name_lookup_errors_that_must_reach_the_caller(error, capfd):
    with pytest.raises(type(error)):
        tokenize(unnamed_instance(error))
    with pytest.raises(type(error)):
        engine([], {"a": unnamed_instance(error)})
    capfd.readouterr()


def test_annotation_out_of_memory_stays_memory_error():
    class Message:
        def __str__(self):
            raise MemoryError

    class Items(list):
        def __iter__(self):
            raise TypeError(Message())

    # The annotation cannot read the message for want of memory: the call
    # ends with that MemoryError, not with an annotation of an empty message.
    with pytest.raises(MemoryError):
        Tree(Items())


# --- keyword arguments dropped while earlier ones convert --------------------

class DropsKeywords:
    """An argument whose conversion clears the dictionary of keyword
    arguments it came in, freeing the values that only the dictionary held."""

    def __init__(self, value):
        self.value = value

    def drop(self):
        for ref in gc.get_referrers(self):
            if isinstance(ref, dict) and any(v is self for v in ref.values()):
                ref.clear()
        # Fill the freed memory with other objects.
        self.junk = [str(k) * 3 for k in range(2000)] + [10**20 + k for k in range(2000)]

    def __index__(self):
        self.drop()
        return self.value

    def __iter__(self):
        self.drop()
        return iter(self.value)

    def __getitem__(self, k):
        return self.value[k]

    def __len__(self):
        return len(self.value)


class Small(int):
    pass


def fresh_int(n):
    # A new object even for the small values the interpreter shares.
    return Small(n)


def fresh_str(s):
    return "".join(list(s))


T = Tree(["un", "deux", "trois"])
DROPPED = [
    (lambda: engine(**{"tokens": DropsKeywords(["le"]), "ruleset": {fresh_str("le"): fresh_str("DET")}}),
     lambda tree: [n.data for n in tree.data[0]] == ["le"]),
    (lambda: Node(**{"txt": fresh_str("mot"), "lvl": DropsKeywords(7), "i": fresh_int(700_001)}),
     lambda node: (node.data, node.level, node.index) == ("mot", 7, 700_001)),
    (lambda: T.concat(**{"lvl": DropsKeywords(0), "i": fresh_int(1), "sep": fresh_str("--" * 40)}), None),
    (lambda: T.get_children(**{"lvl": DropsKeywords(0), "i": fresh_int(2)}), lambda r: r == []),
    (lambda: T.decapsulate(**{"lvl": DropsKeywords(0), "i": fresh_int(2)}), lambda r: r == []),
    (lambda: T.subtree(**{"lvl": DropsKeywords(0), "i": fresh_int(2)}),
     lambda r: [[n.data for n in lv] for lv in r.data] == [["trois"]]),
]


@pytest.mark.parametrize(("call", "check"), DROPPED,
                         ids=["engine", "Node", "concat", "get_children", "decapsulate", "subtree"])
def test_keyword_arguments_held_for_the_call(call, check, capfd):
    for _ in range(20):
        result = call()
        assert check is None or check(result)
    capfd.readouterr()


# --- exact messages -------------------------------------------------------------

def test_non_str_keyword_refused_by_the_binding():
    for call in (lambda: tokenize(**{1: 2}), lambda: engine(**{1: 2}), lambda: Node(**{1: 2})):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "'int' object cannot be converted to 'PyString'"


# --- allocations that fail -------------------------------------------------------

SHIM_C = r"""
#include <errno.h>
#include <stddef.h>
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
static long skip = -1, left = 0;
/* After `k` more allocations succeed, the next `n` fail, then all succeed. */
void shim_arm(long k, long n) { skip = k; left = n; }
void shim_disarm(void) { skip = -1; }
static int fails(void) {
    if (skip < 0) return 0;
    if (skip > 0) { --skip; return 0; }
    if (--left <= 0) skip = -1;
    errno = ENOMEM;
    return 1;
}
void* malloc(size_t n) { return fails() ? NULL : __libc_malloc(n); }
void* calloc(size_t a, size_t b) { return fails() ? NULL : __libc_calloc(a, b); }
void* realloc(void* p, size_t n) { return fails() ? NULL : __libc_realloc(p, n); }
"""

ENTRY_POINTS = {
    "tokenize": "lambda: vaskel.tokenize('Le chat, le chien et l\\'oiseau. ' * 3)",
    "engine": "lambda: vaskel.engine(['le', 'chat', 'dort'] * 3, {'le': 'DET', 'chat': 'NOM', 'DET+NOM': 'GN'})",
    "Tree": "lambda: vaskel.Tree(['un', 'deux', 'trois'])",
    "Node": "lambda: vaskel.Node('mot', 1, 2)",
    "get_children": "lambda: tree.get_children(1, 0)",
    "get_children failing": "lambda: tree.get_children(5, 0)",
    "decapsulate": "lambda: tree.decapsulate(1, 0)",
    "decapsulate failing": "lambda: tree.decapsulate(1, 9)",
    "concat": "lambda: tree.concat(1, 0, ' ')",
    "subtree": "lambda: tree.subtree(1, 0)",
    "subtree failing": "lambda: tree.subtree(9, 0)",
    "to_xml": "lambda: tree.to_xml()",
    "to_xml failing": "lambda: bad.to_xml()",
    "data": "lambda: tree.data",
    "Node getters": "lambda: (node.data, node.children, node.level, node.index)",
    "binding error": "lambda: vaskel.Node('x', 1)",
    "conversion error": "lambda: vaskel.engine([], {'a': 1})",
}


@pytest.mark.skipif(shutil.which("cc") is None or os.environ.get("VASKEL_SANITIZED") == "1",
                    reason="needs a C compiler and the plain allocator")
def test_failed_allocations_never_abort(tmp_path):
    shim = tmp_path / "shim.so"
    (tmp_path / "shim.c").write_text(SHIM_C)
    run_command(["cc", "-O1", "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "shim.c")], check=True)
    code = """
    import ctypes, json, os, sys, vaskel, _vaskel_testing
    from collections import Counter
    arm = ctypes.CDLL(None).shim_arm
    arm.argtypes = (ctypes.c_long, ctypes.c_long)
    disarm = ctypes.CDLL(None).shim_disarm
    def settle():
        # The harness itself may meet the failing allocations: disarm until
        # that succeeds.
        while True:
            try:
                disarm()
                return
            except BaseException:
                pass
    try:
        vaskel.Tree([]).get_children(1, 0)
    except BaseException as e:
        Panic = type(e)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    tree = vaskel.engine(['le', 'chat', 'dort'], {'le': 'DET', 'chat': 'NOM', 'DET+NOM': 'GN'})
    bad = _vaskel_testing.make_tree([[("a", 0, 0, [])], [("b", 1, 0, [0, 3])]])
    node = vaskel.Node('mot', 1, 2)
    calls = {%s}
    def attempt(name, call, k, n):
        try:
            arm(k, n)
            call()
            return "ok"
        except (MemoryError, Panic):
            return "refused"
        except TypeError as e:
            if str(e) == expected.get(name):
                return "expected error"
            return f"TypeError: {e}"
        except BaseException as e:
            return f"{type(e).__name__}: {e}"
        finally:
            settle()
    expected = {
        "binding error": "Node.__new__() missing 1 required positional argument: 'i'",
        "conversion error": "argument 'ruleset': 'int' object cannot be converted to 'PyString'",
    }
    seen = {}
    for name, call in calls.items():
        counts = Counter()
        for n in (2, 3, 8):
            for k in range(0, 300, 1 if n == 2 else 7):
                try:
                    counts[attempt(name, call, k, n)] += 1
                except BaseException:
                    settle()
                    counts["harness"] += 1
        seen[name] = dict(counts)
    sys.stderr.write("RESULT " + json.dumps(seen) + "\\n")
    """ % ", ".join(f"{k!r}: {v}" for k, v in ENTRY_POINTS.items())
    proc = run_python(code, timeout=300, env=child_env(LD_PRELOAD=str(shim), PYTHONMALLOC="malloc"))
    err = proc.stderr.decode(errors="replace")
    assert proc.returncode == 0, err[-3000:]
    result = json.loads(err[err.index("RESULT ") + 7:])
    for name, counts in result.items():
        assert set(counts) <= {"ok", "refused", "expected error", "harness"}, (name, counts)
    assert sum(counts.get("refused", 0) for counts in result.values()) > 100
    # A C++ library failure names the boundary that caught it.
    for line in err.splitlines():
        if "internal failure in thread" in line and "memory allocation failed" in line:
            assert re.search(r"memory allocation failed \(at src/boundary/\S+\.cpp:\d+\)$", line), line


WRITE_ZERO_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>
/* Once VASKEL_TEST_WRITE_ZERO is set, a write(2) to fd 1 takes no byte. */
ssize_t write(int fd, const void* p, size_t n) {
    static ssize_t (*real)(int, const void*, size_t);
    if (!real) real = (ssize_t (*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (fd == 1 && n > 0 && getenv("VASKEL_TEST_WRITE_ZERO")) return 0;
    return real(fd, p, n);
}
"""


@pytest.mark.skipif(shutil.which("cc") is None or os.environ.get("VASKEL_SANITIZED") == "1",
                    reason="needs a C compiler and no sanitizer runtime preloaded")
def test_write_taking_no_byte_fails_instead_of_looping(tmp_path):
    shim = tmp_path / "write_zero.so"
    (tmp_path / "write_zero.c").write_text(WRITE_ZERO_C)
    run_command(["cc", "-O1", "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "write_zero.c"), "-ldl"],
                check=True)
    proc = run_python("""
    import os, sys, vaskel
    os.environ["VASKEL_TEST_WRITE_ZERO"] = "1"
    for call in (lambda: vaskel.engine(["le"], {"le": "DET"}), lambda: vaskel.Tree(["a"]).to_xml()):
        try:
            call()
        except BaseException as e:
            sys.stderr.write(f"raised {type(e).__name__}: {e}\\n")
    """, timeout=30, env=child_env(LD_PRELOAD=str(shim)))
    err = proc.stderr.decode()
    assert proc.returncode == 0, err[-3000:]
    raised = [line for line in err.splitlines() if line.startswith("raised")]
    assert raised == ["raised PanicException: failed printing to stdout: the write took no bytes"] * 2


# --- the process ending from inside a report, subinterpreters ----------------

def test_panic_exception_that_is_also_system_exit_reaches_the_callers_handlers():
    # The resumed report prints the exception; printing a SystemExit must not
    # end the process before the caller's `finally` and `except` run.
    proc = run_python("""
    import vaskel
    from vaskel_tools import PanicException
    class Bye(PanicException, SystemExit):
        pass
    class Lying(list):
        def __len__(self):
            raise Bye("from len")
    reached = []
    try:
        try:
            vaskel.Tree(Lying(["a"]))
        finally:
            reached.append("finally")
    except PanicException as e:
        reached.append(f"except {type(e).__name__} {e.args}")
    print(reached)
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    assert proc.stdout.decode() == "['finally', \"except PanicException ('from len',)\"]\n"
    assert proc.stderr.decode().startswith("vaskel: resuming an internal failure")


SUBINTERPRETER_IMPORT = """
import os
try:
    import vaskel
    os.write(1, b"imported\\n")
except ImportError:
    os.write(1, b"refused\\n")
"""


def test_import_attempted_in_a_subinterpreter_leaves_the_main_interpreter_free():
    # Every way this Python offers to run code in a subinterpreter, before and
    # after the main interpreter imports vaskel: the attempts are refused and
    # the main interpreter imports and uses vaskel all the same.
    proc = run_python(f"""
    import os
    try:
        import _interpreters as subs
    except ImportError:
        try:
            import _xxsubinterpreters as subs
        except ImportError:
            subs = None
    try:
        import _testcapi
    except ImportError:
        _testcapi = None
    script = {SUBINTERPRETER_IMPORT!r}
    def attempt():
        if subs is not None:
            iid = subs.create()
            subs.run_string(iid, script)
            subs.destroy(iid)
        if _testcapi is not None:
            _testcapi.run_in_subinterp(script)
    attempt()
    import vaskel
    os.write(1, repr(vaskel.tokenize("le chat")).encode() + b"\\n")
    attempt()
    os.write(1, repr(vaskel.Tree(["un"]).data[0][0].data).encode() + b"\\n")
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    lines = proc.stdout.decode().splitlines()
    assert "['le', 'chat']" in lines and "'un'" in lines, lines
    attempts = [line for line in lines if line not in ("['le', 'chat']", "'un'")]
    if attempts:
        assert set(attempts) == {"refused"}, lines
    else:
        pytest.skip("this Python offers no way to run code in a subinterpreter")
