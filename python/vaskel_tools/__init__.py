"""Tools around vaskel: capture its trace, explain a rule base, draw a tree,
run a rule base over a corpus, and the ``vaskel`` command.

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
    from .corpus import RunSummary as RunSummary
    from .corpus import run_corpus as run_corpus
    from .explain import Explanation as Explanation
    from .explain import explain as explain
    from .lexicon import Lexicon as Lexicon
    from .lexicon import load_lexicon as load_lexicon
    from .lexicon import merge_rules as merge_rules
    from .lexicon import read_lexicon as read_lexicon
    from .render import render_html as render_html
    from .render import render_text as render_text
    from .render import show as show
    from .render import to_dict as to_dict
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
