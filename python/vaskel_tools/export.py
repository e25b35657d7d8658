"""The analysis in the forms other tools read: JSON, CoNLL columns, an NLTK
tree, a spaCy ``Doc``, a pandas ``DataFrame``.

NLTK, spaCy and pandas are optional: each is imported only by the function
that needs it (``pip install vaskel[nltk]``, ``vaskel[spacy]``, ``vaskel[pandas]``).
"""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence
from typing import Any

from .spans import Analysis, Chunk, analysis_of, to_iob

__all__ = ["FORMATS", "conll_document", "json_document", "to_conll", "to_dataframe", "to_json", "to_nltk",
           "to_spacy"]


def _need(module: str, extra: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"this export needs {module.split('.')[0]}: pip install vaskel[{extra}]") from None


def _depth(found: Sequence[Chunk]) -> int:
    return max((c.level for c in found), default=0)


# --- text formats ---------------------------------------------------------------------


def to_json(analysis: Analysis) -> str:
    """The analysis as one JSON object: ``text``, ``tokens``, ``offsets``,
    ``chunks`` (each with its level, index, token and character offsets, key,
    label, words and parts) and ``levels`` (the data of each level's nodes,
    level 0 first)."""
    # Tuples are written as JSON arrays, as lists are.
    doc = {
        "text": analysis.text,
        "tokens": analysis.tokens,
        "offsets": analysis.offsets,
        "chunks": [{"level": c.level, "index": c.index, "start": c.start, "end": c.end,
                    "char_start": c.char_start, "char_end": c.char_end, "key": c.key, "label": c.label,
                    "tokens": c.tokens, "parts": c.parts} for c in analysis.chunks],
        "levels": analysis.levels,
    }
    return json.dumps(doc, ensure_ascii=False) + "\n"


def _column(tag: str) -> str:
    # A column holds no whitespace: a label holding some gets "_" there.
    return "".join("_" if ch.isspace() else ch for ch in tag) or "_"


def _cell(token: str) -> str:
    # Tokens never hold whitespace when they come from tokenize; others might.
    return "".join("_" if ch.isspace() else ch for ch in token) or "_"


def to_conll(analysis: Analysis) -> str:
    """One token per line: the token, its character start and end, then one
    IOB column per level that holds chunks (at least one, all "O" when nothing
    matched), the
    columns separated by tabs; the document ends with a blank line, so that
    documents written one after another are separated by one."""
    depth = max(1, _depth(analysis.chunks))
    columns = [to_iob(len(analysis.tokens), analysis.chunks, level) for level in range(1, depth + 1)]
    lines = []
    for i, token in enumerate(analysis.tokens):
        start, end = analysis.offsets[i]
        lines.append("\t".join([_cell(token), str(start), str(end)] + [_column(col[i]) for col in columns]))
    return "".join(line + "\n" for line in lines) + "\n"


def json_document(text: str, tokens: Sequence[str], ruleset: dict[str, str], tree: Any,
                  trace: bytes | str) -> str:
    """``to_json`` of a call already made: ``tree = vaskel.engine(tokens,
    ruleset)`` with ``tokens = vaskel.tokenize(text)``, and the ``trace`` that
    call wrote on file descriptor 1."""
    return to_json(analysis_of(text, tokens, ruleset, tree, trace))


def conll_document(text: str, tokens: Sequence[str], ruleset: dict[str, str], tree: Any,
                   trace: bytes | str) -> str:
    """``to_conll`` of a call already made (arguments as for ``json_document``)."""
    return to_conll(analysis_of(text, tokens, ruleset, tree, trace))


# Format name -> (file suffix, the document's text from its analysis).
FORMATS: dict[str, tuple[str, Callable[[Analysis], str]]] = {
    "json": (".json", to_json),
    "conll": (".conll", to_conll),
}


# --- other tools ------------------------------------------------------------------------


def to_nltk(tokens: Sequence[str], found: Sequence[Chunk], level: int = 1) -> Any:
    """An ``nltk.Tree`` labelled "S" whose children are the tokens outside the
    chunks of ``level`` and, for each chunk, a subtree labelled with the
    chunk's label over its tokens (as NLTK's chunk parsers give)."""
    nltk_tree = _need("nltk.tree", "nltk")
    words = list(tokens)
    tags = to_iob(len(words), found, level)  # checks the chunks fit and do not overlap
    del tags
    starts = {c.start: c for c in found if c.level == level}
    children: list[Any] = []
    i = 0
    while i < len(words):
        c = starts.get(i)
        if c is None:
            children.append(words[i])
            i += 1
        else:
            children.append(nltk_tree.Tree(c.label, words[c.start:c.end]))
            i = c.end
    return nltk_tree.Tree("S", children)


def _spaces(text: str, tokens: Sequence[str]) -> list[bool]:
    from .spans import align

    offsets = align(text, tokens)
    out = []
    for i, (_, end) in enumerate(offsets):
        following = offsets[i + 1][0] if i + 1 < len(offsets) else len(text)
        out.append(following > end)
    return out


def to_spacy(tokens: Sequence[str], found: Sequence[Chunk], vocab: Any = None, text: str | None = None) -> Any:
    """A ``spacy.tokens.Doc`` of the tokens, the chunks of level L under
    ``doc.spans["vaskel-L"]`` (each span labelled with the chunk's label).
    With ``text``, each token is followed by a space when the text has
    whitespace after it, so that ``doc.text`` gives the text back up to
    runs of whitespace."""
    spacy_tokens = _need("spacy.tokens", "spacy")
    if vocab is None:
        vocab = _need("spacy.vocab", "spacy").Vocab()
    words = list(tokens)
    spaces = _spaces(text, words) if text is not None else None
    doc = spacy_tokens.Doc(vocab, words=words, spaces=spaces)
    for level in range(1, _depth(found) + 1):
        doc.spans[f"vaskel-{level}"] = [spacy_tokens.Span(doc, c.start, c.end, label=c.label)
                                        for c in found if c.level == level]
    return doc


def to_dataframe(analysis: Analysis) -> Any:
    """A ``pandas.DataFrame``: one row per token, the columns ``token``,
    ``start``, ``end`` (character offsets) and one IOB column per level
    holding chunks, ``level_1``, ``level_2``... (``level_1`` always)."""
    pd = _need("pandas", "pandas")
    columns: dict[str, list[Any]] = {
        "token": list(analysis.tokens),
        "start": [s for s, _ in analysis.offsets],
        "end": [e for _, e in analysis.offsets],
    }
    for level in range(1, max(1, _depth(analysis.chunks)) + 1):
        columns[f"level_{level}"] = to_iob(len(analysis.tokens), analysis.chunks, level)
    return pd.DataFrame(columns)
