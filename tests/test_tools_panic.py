"""PanicException by name: the same type from either import order, and it pickles across processes."""

import json
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import vaskel
import vaskel_tools
import vaskel_tools._panic
from vaskel_tools import PanicException

from helpers import run_python

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
    done = run_python(code, text=True, timeout=60)
    assert done.stdout == "PanicException index out of bounds: the len is 1 but the index is 3\n", done.stderr


def test_importing_the_tools_does_not_import_vaskel():
    code = "import sys, vaskel_tools\nprint('vaskel' in sys.modules, sorted(m for m in sys.modules if 'dask' in m or 'tqdm' in m))"
    done = run_python(code, text=True, timeout=60)
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


PUBLIC = {"PanicException", "CapturedTrace", "capture_trace", "silence_trace", "Explanation", "explain", "to_dict",
          "render_text", "render_html", "show", "RunSummary", "run_corpus",
          # chunks as data
          "Chunk", "Analysis", "align", "chunks", "analyse", "to_iob", "Score", "score", "to_nltk", "to_spacy",
          "to_dataframe", "to_json", "to_conll",
          # lexicons
          "RuleBase", "Lexicon", "load_lexicon", "read_lexicon", "merge_rules"}


def test_every_public_name_is_listed_and_loads():
    # In a fresh process, before any name was loaded: dir() and __all__ must
    # show the names that are only loaded on first use.
    code = ("import json, vaskel_tools\n"
            "before = sorted(dir(vaskel_tools))\n"
            "ns = {}\nexec('from vaskel_tools import *', ns)\n"
            "print(json.dumps([before, sorted(vaskel_tools.__all__), sorted(k for k in ns if k != '__builtins__'),"
            " sorted(dir(vaskel_tools))]))\n")
    done = run_python(code, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    before, listed, star, after = json.loads(done.stdout)
    assert set(listed) == PUBLIC and len(listed) == len(PUBLIC)
    assert PUBLIC <= set(before) and set(star) == PUBLIC and PUBLIC <= set(after)
    for name in PUBLIC:
        value = getattr(vaskel_tools, name)
        assert getattr(value, "__name__", name) == name


@pytest.mark.parametrize("module", [vaskel_tools, vaskel_tools._panic], ids=["vaskel_tools", "_panic"])
def test_unknown_names_are_attribute_errors(module):
    with pytest.raises(AttributeError, match=f"module '{module.__name__}' has no attribute 'Nothing'"):
        module.Nothing
    assert not hasattr(module, "panicexception")
