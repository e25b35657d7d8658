"""PanicException by name: one type per process, importable as vaskel_tools.PanicException
whichever module comes first, picklable across processes, and raised by the test module too."""

import concurrent.futures
import multiprocessing
import os
import pickle

import pytest

import _vaskel_testing as vt
import vaskel
import vaskel_tools._panic
from vaskel_tools import PanicException

from helpers import child_env, run_python

INDEX_FAILURE = "index out of bounds: the len is 1 but the index is 1"


def ahead_on_path(folder):
    """A child's environment with `folder` first on sys.path."""
    # Ahead of the PYTHONPATH of the run, if any: that is where the suites
    # against other builds of vaskel find the module under test.
    return child_env(PYTHONPATH=os.pathsep.join(filter(None, [str(folder), os.environ.get("PYTHONPATH")])))


def provoke():
    """A real internal failure of vaskel (run in worker processes too)."""
    vaskel.Tree([]).get_children(1, 0)


def test_type_identity_and_shape():
    assert PanicException.__module__ == "vaskel_tools"
    assert PanicException.__name__ == PanicException.__qualname__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__.startswith("Raised when the native code of vaskel fails internally")
    assert "SystemExit" in PanicException.__doc__
    assert vaskel_tools._panic.PanicException is PanicException
    # The type is reachable by name without adding a name to vaskel.
    assert vaskel.__all__ == ["tokenize", "engine", "Node", "Tree"]
    assert not hasattr(vaskel, "PanicException")
    with pytest.raises(PanicException) as info:
        provoke()
    assert type(info.value) is PanicException and info.value.args == (INDEX_FAILURE,)


# Each order of first imports, in a fresh interpreter: the name gives the very type that
# vaskel raises. The test module, imported first, must not make a type of its own.
@pytest.mark.parametrize("first", [
    "import vaskel; from vaskel_tools import PanicException",
    "from vaskel_tools import PanicException; import vaskel",
    "from vaskel_tools._panic import PanicException; import vaskel",
    "import vaskel_tools; assert 'vaskel' not in sys.modules; import vaskel;"
    " PanicException = vaskel_tools.PanicException",
    "import _vaskel_testing, vaskel; from vaskel_tools import PanicException",
])
def test_same_type_whichever_module_is_imported_first(first):
    proc = run_python(f"""
        import sys
        {first}
        import vaskel_tools, vaskel_tools._panic, _vaskel_testing
        assert vaskel_tools.PanicException is vaskel_tools._panic.PanicException is PanicException
        try:
            vaskel.Tree([]).get_children(1, 0)
        except PanicException as e:
            print(type(e).__module__, type(e).__qualname__, e)
        try:
            _vaskel_testing.make_tree([[("a", 0, 0, [])], [("X", 1, 0, [5])]]).decapsulate(1, 0)
        except PanicException as e:
            print(type(e) is PanicException, e)
    """, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == (f"vaskel_tools PanicException {INDEX_FAILURE}\n"
                           "True index out of bounds: the len is 1 but the index is 5\n")


def test_pickle_round_trip_in_fresh_processes(capfd):
    with pytest.raises(PanicException) as info:
        provoke()
    capfd.readouterr()
    blob = pickle.dumps(info.value)
    # The receiving process has imported nothing of vaskel: unpickling finds the class.
    proc = run_python(
        "import pickle, sys\n"
        "e = pickle.loads(sys.stdin.buffer.read())\n"
        "import vaskel\n"
        "from vaskel_tools import PanicException\n"
        "assert type(e) is PanicException and isinstance(e, BaseException)\n"
        "sys.stdout.buffer.write(pickle.dumps(PanicException(e.args[0] + ' (renvoyé)')))\n",
        input=blob)
    assert proc.returncode == 0, proc.stderr.decode()
    back = pickle.loads(proc.stdout)
    assert type(back) is PanicException and back.args == (INDEX_FAILURE + " (renvoyé)",)


def test_failure_in_process_pool_worker_reaches_the_parent():
    # "spawn": the worker is a fresh interpreter that has to find the class by name.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        future = pool.submit(provoke)
        with pytest.raises(PanicException) as info:
            future.result(timeout=120)
    assert type(info.value) is PanicException and info.value.args == (INDEX_FAILURE,)


class PanicSeq:
    """A sequence whose items fail with vaskel's PanicException."""

    def __len__(self):
        return 1

    def __getitem__(self, k):
        raise PanicException("boom")


def test_test_module_failures_are_vaskels(capfd):
    # A failure inside the test module's copy of the boundary.
    with pytest.raises(PanicException) as info:
        vt.make_tree([[("a", 0, 0, [])], [("X", 1, 0, [5])]]).to_xml()
    assert type(info.value) is PanicException
    capfd.readouterr()
    # A PanicException coming back from Python code is recognised and resumed.
    with pytest.raises(PanicException) as info:
        vt.make_tree(PanicSeq())
    assert type(info.value) is PanicException and info.value.args == ("boom",)
    err = capfd.readouterr().err.splitlines()
    assert err[0].startswith("vaskel: resuming an internal failure")
    assert err[-1] == "vaskel_tools.PanicException: boom"
    assert type(vt.make_tree([[("a", 0, 0, [])]])) is vaskel.Tree


def test_failing_dealloc_raises_vaskels_type():
    proc = run_python("""
        import sys, _vaskel_testing
        from vaskel_tools import PanicException
        seen = []
        sys.unraisablehook = lambda u: seen.append((u.exc_type is PanicException, u.exc_value.args))
        x = _vaskel_testing.FailingDealloc(message="msg")
        del x
        print(seen)
    """, text=True)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "[(True, ('msg',))]\n"


def fake_tools(tmp_path, init="", panic=""):
    package = tmp_path / "vaskel_tools"
    package.mkdir()
    (package / "__init__.py").write_text(init)
    (package / "_panic.py").write_text(panic)
    return tmp_path


# How vaskel's init behaves when publishing the type meets a vaskel_tools that is
# missing, broken, or imports vaskel at import time.
def test_publishing_without_vaskel_tools():
    proc = run_python("""
        import sys
        sys.modules["vaskel_tools"] = None  # as if not installed
        import vaskel
        try:
            vaskel.Tree([]).get_children(1, 0)
        except BaseException as e:
            print(type(e).__module__, type(e).__name__, e.args)
        print(vaskel.tokenize("encore ici"))
    """, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"vaskel_tools PanicException ('{INDEX_FAILURE}',)\n['encore', 'ici']\n"


@pytest.mark.parametrize("init, expected", [
    # A nested import of vaskel during its own init: said plainly, with the
    # refused second init as the cause, instead of a silently unpublished type.
    ("import vaskel\n", "ImportError vaskel_tools imported vaskel while vaskel was being initialised; "
                        "vaskel_tools must import vaskel only when it is first used, never at import time "
                        "<class 'ImportError'>"),
    # An error other than ImportError is a fault of the package: it is not hidden.
    ("raise ValueError('cassé')\n", "ValueError cassé None"),
])
def test_publishing_errors(tmp_path, init, expected):
    proc = run_python("""
        try:
            import vaskel
        except BaseException as e:
            print(type(e).__name__, e, type(e.__cause__) if e.__cause__ else None)
    """, text=True, env=ahead_on_path(fake_tools(tmp_path, init=init)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected + "\n"


def test_init_can_be_retried_after_an_interrupted_publishing(tmp_path):
    # The first import of vaskel_tools is interrupted, as by Ctrl-C while vaskel loads.
    init = ("import builtins\n"
            "builtins.tries = getattr(builtins, 'tries', 0) + 1\n"
            "if builtins.tries == 1:\n    raise KeyboardInterrupt\n")
    proc = run_python("""
        import sys
        try:
            import vaskel
        except KeyboardInterrupt:
            print("interrupted", "vaskel" in sys.modules)
        import vaskel, vaskel_tools._panic
        try:
            vaskel.Tree([]).get_children(1, 0)
        except vaskel_tools._panic.PanicException as e:
            print("published", e)
        sys.modules.pop("vaskel")
        try:
            import vaskel
        except ImportError:
            print("then refused")
    """, text=True, env=ahead_on_path(fake_tools(tmp_path, init=init)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"interrupted False\npublished {INDEX_FAILURE}\nthen refused\n"


def test_other_names_are_not_invented():
    with pytest.raises(AttributeError, match="has no attribute 'Panic'"):
        vaskel_tools._panic.Panic  # noqa: B018
