"""PanicException by name: the same type from either import order, and it pickles across processes."""

import pickle
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

import vaskel
import vaskel_tools
from conftest import PanicException

published = PanicException.__module__ == "vaskel_tools"
needs_publishing = pytest.mark.skipif(not published, reason="this vaskel does not publish PanicException")


def test_from_vaskel_tools_is_the_raised_type():
    assert vaskel_tools.PanicException is PanicException
    with pytest.raises(vaskel_tools.PanicException, match="index out of bounds"):
        vaskel.Tree([]).get_children(1, 0)
    assert list(vaskel.__all__) == ["tokenize", "engine", "Node", "Tree"]


@pytest.mark.parametrize("first", ["vaskel", "vaskel_tools"])
def test_either_import_order(first):
    code = (f"import {first}\nfrom vaskel_tools import PanicException\nimport vaskel\n"
            "try:\n    vaskel.Tree([]).subtree(3, 0)\nexcept PanicException as e:\n    print(type(e).__name__, e)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "PanicException index out of bounds: the len is 1 but the index is 3\n", done.stderr


def test_importing_the_tools_does_not_import_vaskel():
    code = "import sys, vaskel_tools\nprint('vaskel' in sys.modules, sorted(m for m in sys.modules if 'dask' in m or 'tqdm' in m))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "False []\n", done.stderr


def _fail_in_worker(n):
    return vaskel.Tree(["x"]).get_children(0, n)


@needs_publishing
def test_pickles_and_crosses_a_process_pool():
    exc = PanicException("some message")
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is PanicException and back.args == ("some message",)
    with ProcessPoolExecutor(1) as pool:
        with pytest.raises(PanicException, match="the len is 1 but the index is 7"):
            pool.submit(_fail_in_worker, 7).result()
