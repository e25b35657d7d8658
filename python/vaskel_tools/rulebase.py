"""A large rule base cut down to what one document needs.

A lexicon-sized rule base (hundreds of thousands of single-label rules) costs
``engine`` time in proportion to its size on every call: every rule is
converted, stored and printed as a rule line. Most of it cannot affect the
tree of a given document, and ``RuleBase`` keeps the rest:

- every multi-label rule (a key holding "+"): together they fix the widths of
  the windows tried and which windows match, at every pass;
- the single-label rules whose key is one of the document's tokens.

Nothing else can change the tree. Single-label rules are only looked up with
a node's text: at level 0 that is a token; every node of a later level holds
the text of a matched window, which is a multi-label key and so holds "+",
while no single-label key does. (The level of the single node "0", built
when a pass matches nothing, is the last one: no pass labels it.) The value
of a multi-label rule is never read, and a single-label rule's value only
matters through the token it labels, so the closure over "later levels"
adds nothing.

What the trace of the cut rule base lacks, compared with the whole one, is
exactly the rule lines of the single-label rules whose key is none of the
tokens; every other line is the same, and the rule lines that remain keep
the order they have in the whole dictionary.
"""

from __future__ import annotations

from bisect import bisect_right
from collections.abc import Iterable, Mapping
from itertools import compress, repeat

__all__ = ["RuleBase"]


def _plain(text: str) -> str:
    # A str subclass may hash or compare unlike its text; the engine only
    # sees the text.
    return text if type(text) is str else str.__getitem__(text, slice(None))


def _check_utf8(texts: Iterable[str], what: str) -> None:
    # The engine refuses any rule base holding a string that UTF-8 cannot
    # encode (a lone surrogate), whether or not a document uses that rule;
    # a cut rule base must not hide such a string from some documents only.
    items = list(texts)
    try:
        "\0".join(items).encode("utf-8")
    except UnicodeEncodeError:
        for text in items:
            try:
                text.encode("utf-8")
            except UnicodeEncodeError as error:
                raise ValueError(f"rule base: {what} {text!r} cannot be encoded as UTF-8: {error}") from None


class RuleBase:
    """A rule base built once, cut to the needs of each token list.

    ``RuleBase(rules)`` copies ``rules`` (a mapping of ``str`` to ``str``,
    usually a ``dict``); later changes to ``rules`` do not show.
    ``rb.for_tokens(tokens)`` returns a new ``dict`` with which
    ``vaskel.engine(tokens, ...)`` builds the same tree as with the whole rule
    base, in time proportional to the tokens and the multi-label rules
    (never to the whole lexicon). ``rb.rules`` is the whole rule base, for
    a trace that lists every rule line.
    """

    __slots__ = ("_rules", "_rank", "_multi", "_keys", "_values", "_multi_at")

    def __init__(self, rules: Mapping[str, str]) -> None:
        whole: dict[str, str] = dict(rules)
        if whole and (set(map(type, whole)) | set(map(type, whole.values()))) != {str}:
            # Not plain str throughout (found at C speed): entry by entry.
            whole = {}
            for key, value in rules.items():
                if not isinstance(key, str) or not isinstance(value, str):
                    raise TypeError(
                        "rule base: keys and values must be str, got "
                        f"{type(key).__name__} {key!r}: {type(value).__name__} {value!r}"
                    )
                whole[_plain(key)] = _plain(value)
        _check_utf8(whole, "key")
        _check_utf8(whole.values(), "value")
        # Position of each single-label key in the dictionary's order, and
        # the multi-label rules with theirs: a cut rule base keeps the order
        # of the whole one, so its rule lines are in the same order.
        # (Built with C-level iterators: a lexicon has a million keys.)
        rank = dict(zip(whole, range(len(whole))))
        multi = [(rank.pop(key), key) for key in compress(whole, map(str.__contains__, whole, repeat("+")))]
        self._rules = whole
        self._rank = rank
        self._multi = multi
        # The keys and values by position, and the positions of the
        # multi-label rules: a cut reads these instead of looking every kept
        # key up again in the whole dictionary.
        self._keys = list(whole)
        self._values = list(whole.values())
        self._multi_at = [position for position, _ in multi]

    @property
    def rules(self) -> dict[str, str]:
        """The whole rule base (a copy: the RuleBase stays as it was built)."""
        return dict(self._rules)

    def __len__(self) -> int:
        return len(self._rules)

    @property
    def multi_label_keys(self) -> list[str]:
        """Every multi-label key, in the dictionary's order."""
        return [key for _, key in self._multi]

    def for_tokens(self, tokens: Iterable[str], *, all_rule_lines: bool = False) -> dict[str, str]:
        """The rule base that builds the same tree for ``tokens``.

        It holds every multi-label rule and the single-label rules whose key
        is one of the tokens, in the whole dictionary's order. With
        ``all_rule_lines=True`` it is the whole rule base, whose trace lists
        every rule line.
        """
        if isinstance(tokens, str):
            raise TypeError("a str is not a list of tokens: pass a list of str")
        if all_rule_lines:
            return dict(self._rules)
        if type(tokens) is list and set(map(type, tokens)) <= {str}:
            # Plain str tokens (what tokenize gives): the lookups run at C speed.
            rank = self._rank
            found = sorted(map(rank.get, set(tokens), repeat(-1)))
            positions = found[bisect_right(found, -1):]
        else:
            positions = self._positions(tokens)
        kept = self._multi_at + positions
        # Two sorted runs: the sort merges them in linear time.
        kept.sort()
        return dict(zip(map(self._keys.__getitem__, kept), map(self._values.__getitem__, kept)))

    def _positions(self, tokens: Iterable[str]) -> list[int]:
        rank = self._rank
        used: list[int] = []
        for token in set(tokens):
            if not isinstance(token, str):
                # The engine refuses such a list; left to it, with its message.
                continue
            position = rank.get(_plain(token))
            if position is not None:
                used.append(position)
        used.sort()
        return used

    def __repr__(self) -> str:
        return f"RuleBase({len(self._rules)} rules, {len(self._multi)} multi-label)"
