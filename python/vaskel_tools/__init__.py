"""Tools around vaskel: capture its trace, explain a rule base, draw a tree,
read the chunks and their offsets, score and export them, run a rule base
over a corpus, and the ``vaskel`` command.

Importing this package is cheap and does not import vaskel; each name below
is loaded from its module on first use.
"""

from __future__ import annotations

import importlib

# Not typing.TYPE_CHECKING: importing typing would double the cost of
# importing this package.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._panic import PanicException as PanicException
    from .spans import Analysis as Analysis
    from .spans import Chunk as Chunk
    from .spans import align as align
    from .spans import analyse as analyse
    from .spans import chunks as chunks
    from .spans import to_iob as to_iob
    from .corpus import RunSummary as RunSummary
    from .corpus import run_corpus as run_corpus
    from .explain import Explanation as Explanation
    from .explain import explain as explain
    from .export import to_conll as to_conll
    from .export import to_dataframe as to_dataframe
    from .export import to_json as to_json
    from .export import to_nltk as to_nltk
    from .export import to_spacy as to_spacy
    from .lexicon import Lexicon as Lexicon
    from .lexicon import load_lexicon as load_lexicon
    from .lexicon import merge_rules as merge_rules
    from .lexicon import read_lexicon as read_lexicon
    from .render import render_html as render_html
    from .render import render_text as render_text
    from .render import show as show
    from .render import to_dict as to_dict
    from .scoring import Score as Score
    from .scoring import score as score
    from .rulebase import RuleBase as RuleBase
    from .trace import CapturedTrace as CapturedTrace
    from .trace import capture_trace as capture_trace
    from .trace import silence_trace as silence_trace

_WHERE = {
    "PanicException": "._panic",
    "CapturedTrace": ".trace",
    "capture_trace": ".trace",
    "silence_trace": ".trace",
    "Explanation": ".explain",
    "explain": ".explain",
    "to_dict": ".render",
    "render_text": ".render",
    "render_html": ".render",
    "show": ".render",
    "RunSummary": ".corpus",
    "run_corpus": ".corpus",
    "Chunk": ".spans",
    "Analysis": ".spans",
    "align": ".spans",
    "chunks": ".spans",
    "analyse": ".spans",
    "to_iob": ".spans",
    "Score": ".scoring",
    "score": ".scoring",
    "to_nltk": ".export",
    "to_spacy": ".export",
    "to_dataframe": ".export",
    "to_json": ".export",
    "to_conll": ".export",
    "RuleBase": ".rulebase",
    "Lexicon": ".lexicon",
    "load_lexicon": ".lexicon",
    "read_lexicon": ".lexicon",
    "merge_rules": ".lexicon",
}

__all__ = list(_WHERE)


def __getattr__(name: str) -> object:
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(where, __name__), name)
    if name != "PanicException":
        # Cached for the next read; PanicException is left to _panic, which
        # may only learn it once vaskel is imported.
        globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


def _tree_html(tree: object) -> str:
    from .render import _MAX_DRAWN, _fragment

    return _fragment(tree, "vaskel tree", _MAX_DRAWN)


def _analysis_html(analysis: object) -> str:
    from .render import analysis_html

    return analysis_html(analysis)


def load_ipython_extension(ip: object) -> None:
    """``%load_ext vaskel_tools``: a ``vaskel.Tree`` or an ``Analysis`` that ends
    a cell is shown as its drawing (through IPython's formatters; the classes
    are not changed)."""
    import vaskel

    from .spans import Analysis

    html = ip.display_formatter.formatters["text/html"]  # type: ignore[attr-defined]
    html.for_type(vaskel.Tree, _tree_html)
    html.for_type(Analysis, _analysis_html)


def unload_ipython_extension(ip: object) -> None:
    import vaskel

    from .spans import Analysis

    html = ip.display_formatter.formatters["text/html"]  # type: ignore[attr-defined]
    for kind in (vaskel.Tree, Analysis):
        html.type_printers.pop(kind, None)
