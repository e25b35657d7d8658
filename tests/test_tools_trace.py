"""capture_trace and silence_trace: what reaches fd 1, and fd 1 put back whatever happens."""

import os
import subprocess
import sys
import textwrap

import pytest

import vaskel
from conftest import PanicException
from vaskel_tools import capture_trace, silence_trace

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


def test_prints_keep_their_order_with_the_trace():
    code = textwrap.dedent("""
        import vaskel
        from vaskel_tools import capture_trace
        print("before")
        with capture_trace() as t:
            print("inside")
            vaskel.tokenize("x")
            vaskel.Tree(["leaf"]).to_xml()
        print("after", t.lines)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout == "before\nafter ['inside', 'lvl : 0 ; i : 0']\n"


def test_notebook_case_fd1_on_a_pipe_drained_by_a_thread():
    # A kernel's fd 1 is a pipe read by a thread of the same process. vaskel
    # writes with the interpreter lock held, so a trace larger than the pipe
    # would block forever there; the capture goes to a file instead.
    code = textwrap.dedent("""
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
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
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
