"""capture_trace and silence_trace: what reaches fd 1, and fd 1 put back whatever happens."""

import itertools
import os
import subprocess
import threading

import pytest

import vaskel
from vaskel_tools import PanicException, capture_trace, silence_trace

from helpers import child_env, run_python

RULES = {"le": "DET", "chat": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}


def fd1_target():
    return os.fstat(1).st_ino, os.fstat(1).st_dev


def test_capture_gets_the_engine_trace_and_nothing_leaks(capfd):
    capfd.readouterr()
    before = fd1_target()
    with capture_trace() as trace:
        vaskel.engine(["le", "chat"], RULES)
        assert trace.text == ""  # filled on exit
    assert fd1_target() == before
    assert capfd.readouterr().out == ""
    assert trace.lines == ["le : DET", "chat : NOM", "lower : 0 ; upper : 2 ; len : 2", "DET+NOM",
                           "lower : 2 ; upper : 3 ; len : 2", "lower : 3 ; upper : 5 ; len : 2", '["DET+NOM"]']
    assert trace.text == "\n".join(trace.lines) + "\n"


def test_lines_split_on_line_feeds_only():
    with capture_trace() as trace:
        vaskel.engine(["x"], {"x": "a\rb\x0cc", "y+z": "_"})
    assert trace.lines[0] == "x : a\rb\x0cc"
    assert trace.lines[2] == "a\rb\x0cc"


@pytest.mark.parametrize("make", [
    lambda: vaskel.Tree([]).get_children(1, 0),
    lambda: (_ for _ in ()).throw(KeyboardInterrupt()),
    lambda: 1 / 0,
], ids=["panic", "keyboard-interrupt", "error"])
def test_fd1_restored_however_the_block_ends(make, capfd):
    before = fd1_target()
    with pytest.raises(BaseException) as caught:
        with capture_trace() as trace:
            os.write(1, b"inside\n")
            make()
    assert fd1_target() == before
    assert trace.lines == ["inside"]
    assert caught.type in (PanicException, KeyboardInterrupt, ZeroDivisionError)
    capfd.readouterr()


def test_nested_captures_take_their_own_lines(capfd):
    with capture_trace() as outer:
        os.write(1, b"a\n")
        with capture_trace() as inner:
            os.write(1, b"b\n")
        with silence_trace():
            os.write(1, b"c\n")
        os.write(1, b"d\n")
    assert (outer.lines, inner.lines) == (["a", "d"], ["b"])
    assert capfd.readouterr().out == ""


ORDER_CHILD = """
    import sys
    if sys.argv[1:] == ["line"]:
        sys.stdout.reconfigure(line_buffering=True)  # as on a terminal
    import vaskel
    from vaskel_tools import capture_trace
    print("before")
    with capture_trace() as t:
        print("inside")
        vaskel.Tree(["leaf"]).to_xml()
        print("between")
        vaskel.Tree(["other"]).to_xml()
        with capture_trace() as inner:
            print("nested")
        print("tail", end="")
    print("after", t.lines, inner.lines, sys.stdout.line_buffering)
"""


@pytest.mark.parametrize("unbuffered", [None, "1", "line"], ids=["buffered", "unbuffered", "line-buffered"])
@pytest.mark.parametrize("to_file", [False, True], ids=["pipe", "file"])
def test_prints_keep_their_order_with_the_trace(unbuffered, to_file, tmp_path):
    # As users run scripts whose output goes to a pipe or a file: Python
    # buffers sys.stdout there unless PYTHONUNBUFFERED is set.
    out = tmp_path / "out.txt"
    line = unbuffered == "line"
    if line:
        unbuffered = None
    with open(out, "wb") as sink:
        done = run_python(ORDER_CHILD, *(["line"] if line else []), stdout=sink if to_file else subprocess.PIPE,
                          env=child_env(PYTHONUNBUFFERED=unbuffered), timeout=60)
    assert done.returncode == 0, done.stderr
    stdout = out.read_bytes() if to_file else done.stdout
    lines = ['inside', 'lvl : 0 ; i : 0', 'between', 'lvl : 0 ; i : 0', 'tail']
    # The buffering is put back as it was once the block ends.
    assert stdout.decode() == f"before\nafter {lines} ['nested'] {line}\n"


def test_notebook_case_fd1_on_a_pipe_drained_by_a_thread():
    # A kernel's fd 1 is a pipe read by a thread of the same process. vaskel
    # writes with the interpreter lock held, so a trace larger than the pipe
    # would block forever there; the capture goes to a file instead.
    done = run_python("""
        import os, sys, threading
        import vaskel
        from vaskel_tools import capture_trace
        r, w = os.pipe()
        os.dup2(w, 1); os.close(w)
        got = []
        reader = threading.Thread(target=lambda: got.append(b"".join(iter(lambda: os.read(r, 65536), b""))))
        reader.start()
        tokens = ["le", "chat"] * 20000
        with capture_trace() as t:
            tree = vaskel.engine(tokens, {"le": "DET", "chat": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"})
        os.write(1, b"done\\n")
        os.close(1)
        reader.join()
        sys.stderr.write(f"{len(t.lines)} {len(tree.data[1])} {got[0]!r}\\n")
    """, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    count, matches, piped = done.stderr.split(" ", 2)
    assert int(matches) > 1000 and int(count) > 40000
    assert piped.strip() == "b'done\\n'"


def test_restore_survives_an_interrupt_in_the_middle(monkeypatch, capfd):
    from vaskel_tools import trace as trace_module

    before = fd1_target()
    real_dup2, calls = os.dup2, []

    def dup2(a, b, *rest):
        real_dup2(a, b, *rest)
        calls.append(b)
        if len(calls) == 2:  # the restoring dup2 is done, then a signal handler raises
            raise KeyboardInterrupt

    monkeypatch.setattr(trace_module.os, "dup2", dup2)
    with pytest.raises(KeyboardInterrupt):
        with capture_trace() as trace:
            os.write(1, b"x\n")
    monkeypatch.undo()
    assert fd1_target() == before and trace.lines == ["x"]
    capfd.readouterr()


@pytest.mark.parametrize("data, text, lines", [
    (b"", "", []),
    (b"a\n", "a\n", ["a"]),
    (b"a\nb", "a\nb", ["a", "b"]),
    (b"a\n\n", "a\n\n", ["a", ""]),
    (b"a\r\nb\x0bc\n", "a\r\nb\x0bc\n", ["a\r", "b\x0bc"]),
    (b"\xff\xc3\xa9\n", "\ufffd\u00e9\n", ["\ufffd\u00e9"]),
], ids=["empty", "one", "unended", "empty-last", "other-breaks", "invalid-utf8"])
def test_captured_text_and_lines(data, text, lines, capfd):
    with capture_trace() as trace:
        os.write(1, data)
    assert (trace.data, trace.text, trace.lines) == (data, text, lines)
    assert repr(trace) == f"<CapturedTrace: {len(data)} bytes>"


def test_silence_drops_the_lines_and_puts_fd1_back(capfd):
    capfd.readouterr()
    before = fd1_target()
    with silence_trace():
        vaskel.engine(["le", "chat"], RULES)
    os.write(1, b"after\n")
    assert fd1_target() == before and capfd.readouterr().out == "after\n"


def test_fd1_closed_on_entry_is_closed_again(capfd):
    saved = os.dup(1)
    os.close(1)
    try:
        with capture_trace() as trace:
            os.write(1, b"x\n")
        with pytest.raises(OSError):
            os.fstat(1)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    assert trace.lines == ["x"]


def test_overlapping_blocks_of_two_threads_leave_fd1_where_it_was(capfd):
    # The other thread's block opens first and ends first, while this one is
    # still open: fd 1 must neither go back early nor end on a closed file.
    capfd.readouterr()
    before = fd1_target()
    opened, release, got = threading.Event(), threading.Event(), []

    def other():
        with capture_trace() as trace:
            os.write(1, b"other\n")
            opened.set()
            release.wait(10)
        got.append(trace)

    thread = threading.Thread(target=other)
    thread.start()
    assert opened.wait(10)
    with capture_trace() as mine:
        os.write(1, b"mine\n")
        release.set()
        thread.join(10)
        os.write(1, b"still mine\n")
    os.write(1, b"after\n")
    assert fd1_target() == before
    assert (got[0].lines, mine.lines) == (["other"], ["mine", "still mine"])
    assert capfd.readouterr().out == "after\n"


@pytest.mark.parametrize("order", list(itertools.permutations(range(3))), ids=str)
def test_blocks_may_end_in_any_order(order, capfd):
    capfd.readouterr()
    before = fd1_target()
    blocks = [capture_trace(), silence_trace(), capture_trace()]
    results = []
    for number, block in enumerate(blocks):
        results.append(block.__enter__())
        os.write(1, f"open {number}\n".encode())
    for number in order:
        blocks[number].__exit__(None, None, None)
        os.write(1, f"closed {number}\n".encode())
    assert fd1_target() == before
    # Each line goes to the newest block still open, the last one to fd 1.
    expected, still = {}, {0, 1, 2}
    for number in range(3):
        expected.setdefault(number, []).append(f"open {number}")
    for number in order:
        still.discard(number)
        if still:
            expected[max(still)].append(f"closed {number}")
    assert (results[0].lines, results[2].lines) == (expected[0], expected[2])
    assert capfd.readouterr().out == f"closed {order[-1]}\n"
