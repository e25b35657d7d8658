"""Chunks as data: which tokens each match of the engine covers, with offsets.

A node the engine builds from a match records only the window's text and its
own index as child, so the tree cannot say which words formed the group. The
engine's trace can: before each window it prints ``lower : L ; upper : U ;
len : N``, and a window that matched moves the scan on by its width. The
functions here run the engine once, capture that trace, and read from it the
window behind every match node. They never decide a match themselves: every
reading is checked against the tree the same call returned, and a trace that
does not read as expected raises ``TraceError`` rather than guess.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from itertools import repeat
from operator import attrgetter
from typing import Any

__all__ = ["Analysis", "Chunk", "TraceError", "align", "analyse", "chunks", "read_chunks", "to_iob"]


@dataclass(frozen=True)
class Chunk:
    """One node the engine built from a match.

    ``start``/``end`` are token positions (end exclusive), ``char_start``/
    ``char_end`` positions in the text (``None`` unless the chunk comes from
    ``analyse``). ``parts`` are the indices, in the level below, of the
    matches a chunk of a later pass spans (empty for the first pass).
    """

    level: int
    index: int
    start: int
    end: int
    key: str
    label: str
    tokens: tuple[str, ...]
    parts: tuple[int, ...] = ()
    char_start: int | None = None
    char_end: int | None = None


@dataclass(frozen=True, eq=False)
class Analysis:
    """A text, its tokens, their offsets, the tree, its chunks and the trace."""

    text: str
    tokens: list[str]
    offsets: list[tuple[int, int]]
    tree: Any  # vaskel.Tree
    chunks: list[Chunk]
    trace: str
    levels: list[list[str]] = field(default_factory=list)  # the data of each level, level 0 first

    @property
    def depth(self) -> int:
        """The number of levels holding chunks (0 when nothing matched)."""
        return max((c.level for c in self.chunks), default=0)

    def level(self, number: int) -> list[Chunk]:
        """The chunks of one level (1 for the first pass)."""
        return [c for c in self.chunks if c.level == number]

    def iob(self, level: int = 1) -> list[str]:
        return to_iob(len(self.tokens), self.chunks, level)

    def _repr_html_(self) -> str:
        from .render import analysis_html

        return analysis_html(self)

    def __repr__(self) -> str:
        return (f"<Analysis: {len(self.tokens)} tokens, {len(self.chunks)} chunks over "
                f"{self.depth} level{'s' if self.depth != 1 else ''}>")


class TraceError(ValueError):
    """The trace did not read as the engine writes it; nothing was guessed."""


# --- offsets ------------------------------------------------------------------------


def align(text: str, tokens: Sequence[str]) -> list[tuple[int, int]]:
    """Each token's (start, end) in ``text``, so that ``text[start:end] == token``.

    Tokens are looked for in order, each after the end of the one before (the
    tokenizer drops only whitespace between them). Raises ``ValueError``
    naming the first token that does not follow in the text.
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    if isinstance(tokens, str):
        raise TypeError("tokens must be a sequence of str, not a str")
    if type(tokens) is list and set(map(type, tokens)) <= {str}:
        return _align_texts(text, tokens)
    out: list[tuple[int, int]] = []
    at = 0
    for position, token in enumerate(tokens):
        if not isinstance(token, str):
            raise TypeError(f"token {position} is a {type(token).__name__}, not a str")
        if text.startswith(token, at):
            start = at
        else:
            start = text.find(token, at)
            if start < 0:
                raise ValueError(f"token {position} {token!r} does not follow in the text "
                                 f"(looked from character {at})")
        end = start + len(token)
        out.append((start, end))
        at = end
    return out


def _align_texts(text: str, tokens: list[str]) -> list[tuple[int, int]]:
    # ``align`` for a list of plain str: the same search, without the checks
    # every token has passed already.
    out: list[tuple[int, int]] = []
    append = out.append
    startswith = text.startswith
    find = text.find
    at = 0
    for token in tokens:
        if startswith(token, at):
            start = at
        else:
            start = find(token, at)
            if start < 0:
                raise ValueError(f"token {len(out)} {token!r} does not follow in the text "
                                 f"(looked from character {at})")
        at = start + len(token)
        append((start, at))
    return out


# --- reading the trace --------------------------------------------------------------

_WINDOW = re.compile(rb"lower : (\d+) ; upper : (\d+) ; len : (\d+)\n")


def _rule_lines_ok(head: bytes, single: dict[str, str]) -> bool:
    expected = b"".join(f"{k} : {v}\n".encode() for k, v in single.items())
    if head == expected:
        return True
    # The engine prints its single-label rules in an order of its own.
    return sorted(head.split(b"\n")) == sorted(expected.split(b"\n"))


def read_chunks(tokens: Sequence[str], ruleset: dict[str, str], tree: Any, trace: bytes | str) -> list[Chunk]:
    """The chunks of a call already made: ``tree = vaskel.engine(tokens, ruleset)``
    and ``trace``, what that call wrote on file descriptor 1 (all of it).

    Raises ``TraceError`` when the trace does not belong to that call.
    """
    return _read(list(tokens), ruleset, _level_texts(tree.data), trace, None)


_DATA = attrgetter("data")


def _level_texts(levels: Any) -> list[list[str]]:
    """The data of each level's nodes, level 0 first."""
    return [list(map(_DATA, level)) for level in levels]


def _read(tokens: list[str], ruleset: dict[str, str], levels: list[list[str]], trace: bytes | str,
          offsets: Sequence[tuple[int, int]] | None) -> list[Chunk]:
    # ``levels``: the data of each level's nodes (``_level_texts``).
    data = trace.encode("utf-8", "surrogateescape") if isinstance(trace, str) else bytes(trace)
    single = {k: v for k, v in ruleset.items() if "+" not in k}
    max_parts = max((k.count("+") + 1 for k in ruleset if "+" in k), default=1)
    if levels[0] != tokens:
        raise TraceError("the tree's leaves are not these tokens")

    size = sum(len(f"{k} : {v}\n".encode()) for k, v in single.items())
    if not _rule_lines_ok(data[:size], single):
        raise TraceError("the trace does not start with the rule base's single-label rules")
    at = size
    out: list[Chunk] = []
    below: list[Chunk] = []  # the chunks of the level scanned (empty for level 0)
    for number in range(1, len(levels)):
        labels = list(map(single.get, levels[number - 1], repeat("")))
        built = levels[number]
        windows, at = _read_pass(data, at, number, labels, max_parts, built)
        level: list[Chunk] = []
        for index, (lower, upper) in enumerate(windows):
            key = built[index]
            parts: tuple[int, ...] = ()
            if number == 1:
                start, end = lower, upper
            else:
                start, end = below[lower].start, below[upper - 1].end
                parts = tuple(range(lower, upper))
            chars = (offsets[start][0], offsets[end - 1][1]) if offsets is not None else (None, None)
            level.append(Chunk(number, index, start, end, key, ruleset.get(key, ""),
                               tuple(tokens[start:end]), parts, *chars))
        out.extend(level)
        below = level
        if len(windows) < 2 and number != len(levels) - 1:
            raise TraceError(f"pass {number} found {len(windows)} match(es) but the tree goes on")
    if at != len(data):
        raise TraceError(f"the trace goes on after the last pass (byte {at} of {len(data)})")
    return out


def _read_pass(data: bytes, at: int, number: int, labels: list[str], max_parts: int,
               built: list[str]) -> tuple[list[tuple[int, int]], int]:
    """The windows that matched in one pass, and where the pass's lines end.

    A window matched when the scan's start moves on by its width: within a
    start step the next, narrower window starts right after it; a new step
    starts one further. Only the last window of the pass has no line after it
    to tell; the matched texts in the tree settle that one.
    """
    n = len(labels)
    n_text = b"%d" % n
    encoded = [label.encode() for label in labels]
    alone = [label + b"\n" for label in encoded]  # the line of a window of one label
    match = _WINDOW.match
    startswith = data.startswith
    widest = max_parts - 1
    matched: list[tuple[int, int]] = []
    append = matched.append
    # The last window that fitted, when the line after it is yet to be read:
    # its lower, upper and offset.
    pending = False
    plower = pupper = poffset = 0
    step = 0
    new_step = False
    first = True
    while (m := match(data, at)) is not None:
        lower_text, upper_text, length_text = m.groups()
        if length_text != n_text:
            length = int(length_text)
            if length != n:
                raise TraceError(f"pass {number}: a window line gives len {length}, the level holds {n} nodes")
        lower = int(lower_text)
        upper = int(upper_text)
        if new_step:
            step += 1
        elif not first and not pending:
            raise TraceError(f"pass {number}: a window line at byte {at} follows a window that did not fit")
        first = False
        if step >= n:
            raise TraceError(f"pass {number}: more start steps than nodes")
        offset = lower - step
        if pending:
            moved = offset - poffset
            if moved == pupper - plower:
                append((plower, pupper))
            elif moved:
                raise TraceError(f"pass {number}: the scan moved by {moved} after the window at {plower}")
            pending = False
        at = m.end()
        width = upper - lower
        if width < 1 or width > widest:
            raise TraceError(f"pass {number}: a window of {width} labels, max_parts is {max_parts}")
        if upper > n:
            new_step = True
            continue
        text = alone[lower] if width == 1 else b"+".join(encoded[lower:upper]) + b"\n"
        if not startswith(text, at):
            raise TraceError(f"pass {number}: the window at {lower} does not hold the labels of the level")
        at += len(text)
        pending = True
        plower, pupper, poffset = lower, upper, offset
        new_step = width == 1
    # With no match the engine builds the single node "0" (a matched text always holds "+").
    found = [] if built == ["0"] else list(built)
    texts = ["+".join(labels[lo:up]) for lo, up in matched]
    if pending and len(texts) + 1 == len(found):
        matched.append((plower, pupper))
        texts.append("+".join(labels[plower:pupper]))
    if texts != found:
        raise TraceError(f"pass {number}: the matches read from the trace are not the nodes of level {number}")
    end = data.find(b"\n", at)
    if end < 0 or data[at:at + 1] != b"[" or data[end - 1:end] != b"]":
        raise TraceError(f"pass {number}: expected the list of matches at byte {at}")
    return matched, end + 1


# --- running the engine -------------------------------------------------------------


def _run(tokens: list[str], ruleset: dict[str, str]) -> tuple[Any, bytes]:
    import vaskel

    from .trace import capture_trace

    with capture_trace() as captured:
        tree = vaskel.engine(tokens, ruleset)
    return tree, captured.data


def _tokens_of(tokens: Sequence[str]) -> list[str]:
    if isinstance(tokens, str):
        raise TypeError("tokens must be a sequence of str, not a str (use vaskel.tokenize(text) or analyse)")
    return list(tokens)


def chunks(tokens: Sequence[str], ruleset: dict[str, str]) -> list[Chunk]:
    """Runs the engine once on ``tokens`` and returns one ``Chunk`` per node
    built from a match, level by level, in index order, read from its trace."""
    tokens = _tokens_of(tokens)
    tree, trace = _run(tokens, ruleset)
    return read_chunks(tokens, ruleset, tree, trace)


def analysis_of(text: str, tokens: Sequence[str], ruleset: dict[str, str], tree: Any,
                trace: bytes | str) -> Analysis:
    """The ``Analysis`` of a call already made (``tokens`` from ``text``,
    ``tree`` and ``trace`` from ``vaskel.engine(tokens, ruleset)``)."""
    tokens = list(tokens)
    offsets = align(text, tokens)
    levels = _level_texts(tree.data)  # read once: each read copies the tree
    found = _read(tokens, ruleset, levels, trace, offsets)
    raw = trace.encode("utf-8", "surrogateescape") if isinstance(trace, str) else trace
    return Analysis(text, tokens, offsets, tree, found, raw.decode("utf-8", "replace"), levels)


def analyse(text: str, ruleset: dict[str, str]) -> Analysis:
    """Tokenizes ``text``, runs the engine once and gives the whole analysis:
    tokens, offsets, the tree, the chunks (with character offsets) and the trace."""
    import vaskel

    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    tokens = vaskel.tokenize(text)
    tree, trace = _run(tokens, ruleset)
    return analysis_of(text, tokens, ruleset, tree, trace)


# --- IOB ----------------------------------------------------------------------------


def to_iob(n_tokens_or_tokens: int | Sequence[str], found: Sequence[Chunk], level: int = 1) -> list[str]:
    """One tag per token for the chunks of ``level``: "B-label" on a chunk's
    first token, "I-label" on the others, "O" outside every chunk."""
    if isinstance(n_tokens_or_tokens, int):
        n = n_tokens_or_tokens
    elif isinstance(n_tokens_or_tokens, str):
        raise TypeError("give a number of tokens or a sequence of tokens, not a str")
    else:
        n = len(n_tokens_or_tokens)
    if n < 0:
        raise ValueError("the number of tokens cannot be negative")
    tags = ["O"] * n
    for c in found:
        if c.level != level:
            continue
        if not 0 <= c.start < c.end <= n:
            raise ValueError(f"chunk {c.index} of level {level} covers tokens {c.start}..{c.end}, "
                             f"outside the {n} tokens")
        if any(tag != "O" for tag in tags[c.start:c.end]):
            raise ValueError(f"chunk {c.index} of level {level} overlaps another chunk")
        tags[c.start] = f"B-{c.label}"
        for i in range(c.start + 1, c.end):
            tags[i] = f"I-{c.label}"
    return tags
