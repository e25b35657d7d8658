"""Explain a rule base: what its multi-label keys can match, and why not.

The engine labels each node with the value of the single-label rule named by
the node's text (the empty label when none is), then tries windows of
``max_parts - 1`` labels down to 1 at each position; a window matches when its
labels joined by "+" give a multi-label key. ``explain`` says, for each key,
whether some window can ever give its text. With tokens, it also runs the
engine and walks through its passes as the engine's own trace tells them.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Explanation", "KeyVerdict", "PassReport", "Window", "explain"]


@dataclass
class KeyVerdict:
    """What one multi-label key can match."""

    key: str
    pieces: int
    first_pass: bool  # some window of the first pass can give its text
    later_pass: bool  # made of "+" alone, narrow enough to match in passes 2 and later
    labels: int | None  # fewest labels whose window gives its text; None when no labels can
    split: list[str] | None  # those labels
    reason: str  # in plain words


@dataclass
class Window:
    lower: int
    upper: int
    text: str | None  # None: the window did not fit
    matched: bool = False


@dataclass
class PassReport:
    number: int  # 1 for the first pass
    labels: list[str]  # of the level it scans (level number - 1)
    windows: list[Window]  # the first ones, at most WINDOWS_KEPT
    matches: list[str]
    tried: int = 0  # every window tried, including those not kept


@dataclass
class Explanation:
    """The report of ``explain``; ``str()`` gives it in words."""

    single: dict[str, str]
    multi: list[str]
    max_parts: int
    widths: list[int]
    reachable: list[str]
    unreachable: list[str]
    verdicts: dict[str, KeyVerdict]
    warnings: list[str]
    tokens: list[str] | None = None
    passes: list[PassReport] | None = None
    trace: str | None = None
    walk_error: str | None = None  # set when the trace could not be read
    levels: list[list[str]] = field(default_factory=list)

    def __str__(self) -> str:
        return _format(self)

    def __repr__(self) -> str:
        walk = f", walk-through of {len(self.tokens)} tokens" if self.tokens is not None else ""
        return (f"<Explanation: {len(self.single)} single-label rules, {len(self.multi)} multi-label keys "
                f"({len(self.unreachable)} unreachable), {len(self.warnings)} warnings{walk}>")

    def _repr_pretty_(self, p: Any, cycle: bool) -> None:
        # IPython shows a report ending a cell as its text, not as a dump of its fields.
        p.text(repr(self) if cycle else str(self))


def _pieces(key: str) -> list[str]:
    return key.split("+")


def _shown(label: str) -> str:
    if not label:
        return "∅"
    plain = label.isprintable() and not any(ch.isspace() or ch in "'\"∅|" for ch in label)
    return label if plain else repr(label)


class _Labels:
    """A trie of the labels that nodes can carry, by their "+" pieces."""

    __slots__ = ("children", "end")

    def __init__(self) -> None:
        self.children: dict[str, _Labels] = {}
        self.end = False  # the pieces up to here are a label


def _label_trie(values: set[str]) -> _Labels:
    root = _Labels()
    for value in values | {""}:  # "": the label of every token no rule names
        node = root
        for piece in value.split("+"):
            child = node.children.get(piece)
            if child is None:
                child = node.children[piece] = _Labels()
            node = child
        node.end = True
    return root


def _groups(pieces: list[str], labels: _Labels) -> list[list[int]]:
    """starts[k]: every j < k, ascending, such that pieces[j:k] joined by "+" is a label.

    Each walk from j stops where no label goes on, so the cost is the
    pieces times the depth of the trie, not a join per pair of positions.
    """
    n = len(pieces)
    starts: list[list[int]] = [[] for _ in range(n + 1)]
    for j in range(n):
        node = labels
        for k in range(j, n):
            child = node.children.get(pieces[k])
            if child is None:
                break
            node = child
            if node.end:
                starts[k + 1].append(j)
    return starts


def _fewest(pieces: list[str], starts: list[list[int]]) -> list[str] | None:
    """A split of all the pieces into the fewest labels, or None when there is none.

    Of the splits with that count, the one whose labels begin as early as
    possible, read from the end: at each end, the first start that leaves a
    split of one label less.
    """
    n = len(pieces)
    far = n + 1
    fewest = [far] * (n + 1)  # fewest[k]: labels in the shortest split of pieces[:k]
    fewest[0] = 0
    for k in range(1, n + 1):
        for j in starts[k]:
            if fewest[j] + 1 < fewest[k]:
                fewest[k] = fewest[j] + 1
    if fewest[n] == far:
        return None
    split: list[str] = []
    k = n
    while k:
        j = next(j for j in starts[k] if fewest[j] == fewest[k] - 1)
        split.append("+".join(pieces[j:k]))
        k = j
    split.reverse()
    return split


def _verdict(key: str, labels: _Labels, max_parts: int) -> KeyVerdict:
    pieces = _pieces(key)
    window = max_parts - 1
    starts = _groups(pieces, labels)
    best = _fewest(pieces, starts)
    later = all(p == "" for p in pieces) and len(pieces) <= window
    if best is not None and len(best) <= window:
        first = len(best)
        reason = (f"a window of {first} label{'s' if first > 1 else ''} gives it: "
                  + " | ".join(_shown(s) for s in best))
        if later:
            reason += "; it can also match in the later passes, whose labels are all empty"
        return KeyVerdict(key, len(pieces), True, later, first, best, reason)
    if best is not None:
        need = len(best)
        reason = (f"it needs {need} labels but windows hold at most {window} "
                  f"(one less than the widest key's {max_parts} pieces): add a key of {need + 1} pieces "
                  f"or more, such as {key + '+X'!r}, to widen the windows")
        return KeyVerdict(key, len(pieces), False, False, need, best, reason)
    # Which pieces no label covers: +1 where a label starts, -1 past its end.
    depth = [0] * (len(pieces) + 1)
    for k, froms in enumerate(starts):
        for j in froms:
            depth[j] += 1
            depth[k] -= 1
    covered = 0
    missing_pieces = []
    for piece, step in zip(pieces, depth):
        covered += step
        if not covered:
            missing_pieces.append(piece)
    missing = list(dict.fromkeys(missing_pieces))
    if missing:
        names = ", ".join(repr(p) for p in missing)
        reason = (f"{names} {'is' if len(missing) == 1 else 'are'} not the value of any single-label rule"
                  ", so no node ever gets that label")
    else:
        reason = "its pieces cannot be cut into labels that single-label rules give"
    if len(pieces) == max_parts:
        reason += f" (as the widest key it still sets the windows to {window} labels)"
    return KeyVerdict(key, len(pieces), False, False, None, None, reason)


def explain(ruleset: dict[str, str], tokens: Sequence[str] | None = None) -> Explanation:
    """Explains ``ruleset`` (a dict of str to str, as ``vaskel.engine`` takes it).

    With ``tokens`` (a list of str), the engine is run on them, its trace
    captured, and the report walks through each pass: the labels, the windows
    tried and the matches.
    """
    if not isinstance(ruleset, dict):
        raise TypeError(f"ruleset must be a dict of str to str, not {type(ruleset).__name__}")
    if isinstance(tokens, str):
        # A str is a sequence of str, of its characters: refused, as the engine does.
        raise TypeError("argument 'tokens': a str is not a list of strings: pass a list of str")
    single: dict[str, str] = {}
    multi: list[str] = []
    max_parts = 1
    for key, value in ruleset.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError("ruleset must be a dict of str to str")
        count = key.count("+") + 1
        if count >= 2:
            multi.append(key)
            max_parts = max(max_parts, count)
        else:
            single[key] = value
    labels = _label_trie(set(single.values()))
    widths = list(range(max_parts - 1, 0, -1))
    verdicts = {key: _verdict(key, labels, max_parts) for key in multi}
    reachable = [k for k in multi if verdicts[k].first_pass or verdicts[k].later_pass]
    unreachable = [k for k in multi if not (verdicts[k].first_pass or verdicts[k].later_pass)]

    warnings: list[str] = []
    if not multi:
        warnings.append("no multi-label rule: the engine tries no window at all, and every text ends as its "
                        "tokens under the single node \"0\"")
    else:
        example = next((k for k in multi if ruleset[k] != k), multi[0])
        warnings.append(f"the values of multi-label rules are never used: a node made by a match carries the "
                        f"window's text ({example!r}), not the rule's value ({ruleset[example]!r})")
    for key in multi:
        pieces = _pieces(key)
        if all(p == "" for p in pieces):
            warnings.append(f"key {key!r} is made of '+' alone: it matches windows of {len(pieces)} empty "
                            f"labels (tokens that no single-label rule names), also in the later passes")
        elif "" in pieces:
            warnings.append(f"key {key!r} has an empty piece: it stands for the empty label, which every "
                            f"token without a single-label rule gets")
    for key, value in single.items():
        if "+" in value:
            warnings.append(f"rule {key!r} gives the label {value!r}, which holds '+': in a window it counts "
                            f"as {value.count('+') + 1} pieces of a key")
    if "" in single:
        warnings.append("the empty key is a single-label rule: it labels empty tokens, which tokenize never gives")
    for key in unreachable:
        warnings.append(f"key {key!r} can never match: {verdicts[key].reason}")

    report = Explanation(single, multi, max_parts, widths, reachable, unreachable, verdicts, warnings)
    if tokens is not None:
        warnings.extend(_token_warnings(single, list(tokens)))
        _walk(report, ruleset, list(tokens))
    return report


def _listed(items: list[str], limit: int = 12) -> str:
    shown = ", ".join(repr(item) for item in items[:limit])
    return shown + (f" and {len(items) - limit} more" if len(items) > limit else "")


def _token_warnings(single: dict[str, str], tokens: list[str]) -> list[str]:
    """The traps of a rule base that only the tokens show: rules matching only
    in another case, keys holding whitespace, rules no token reaches."""
    out: list[str] = []
    present = set(tokens)
    by_fold: dict[str, list[str]] = {}
    for key in single:
        by_fold.setdefault(key.casefold(), []).append(key)
    near: dict[str, list[str]] = {}
    for token in tokens:
        if token not in single and token not in near and token.casefold() in by_fold:
            near[token] = by_fold[token.casefold()]
    for token, keys in list(near.items())[:20]:
        count = tokens.count(token)
        out.append(f"token {token!r} ({count} time{'s' if count != 1 else ''}, first at {tokens.index(token)}) "
                   f"gets the empty label: the rule base has {_listed(keys)}, and a key must match the "
                   f"text exactly, case included (add {token!r} as a key of its own)")
    if len(near) > 20:
        out.append(f"… {len(near) - 20} more tokens match a single-label rule only in another case")
    spaced = [key for key in single if any(ch.isspace() for ch in key)]
    if spaced:
        out.append(f"single-label key{'s' if len(spaced) > 1 else ''} {_listed(spaced)} "
                   f"hold{'s' if len(spaced) == 1 else ''} whitespace: tokenize never gives such a token, "
                   f"so no node of level 0 ever gets that label")
    unused = [key for key in single if key not in present and not any(ch.isspace() for ch in key)]
    if unused and tokens:
        hints = []
        for key in unused[:12]:
            # A word with punctuation kept on it ("tarde…"), not a longer word ("chat" for "ch").
            like = next((t for t in sorted(present) if key and t != key
                         and ((t.startswith(key) and not t[len(key):].isalnum())
                              or (t.endswith(key) and not t[:-len(key)].isalnum()))), None)
            if like is not None:
                hints.append(f"{key!r} is only part of the token {like!r}")
        out.append(f"{len(unused)} single-label rule{'s' if len(unused) > 1 else ''} no token of this text "
                   f"reaches: {_listed(unused)}" + (f" ({'; '.join(hints)})" if hints else ""))
    return out


# --- the walk-through, read from the engine's trace ---------------------------

WINDOWS_KEPT = 10_000  # per pass: a long text tries millions of windows

_LOWER = re.compile(rb"lower : (\d+) ; upper : (\d+) ; len : (\d+)\n")


class _Unreadable(Exception):
    pass


def _walk(report: Explanation, ruleset: dict[str, str], tokens: list[str]) -> None:
    import vaskel

    from .trace import capture_trace

    with capture_trace() as captured:
        tree = vaskel.engine(tokens, ruleset)
    levels = tree.data  # read once: each read copies the tree
    report.tokens = tokens
    report.trace = captured.text
    report.levels = [[node.data for node in level] for level in levels]
    try:
        report.passes = _read_passes(captured.data, report, levels)
    except _Unreadable as exc:
        report.walk_error = str(exc)


def _read_passes(data: bytes, report: Explanation, levels: Any) -> list[PassReport]:
    # The rule lines come first, in an order the engine chooses: check them
    # as a whole, then read the passes.
    rule_lines = [(f"{k} : {v}\n").encode() for k, v in report.single.items()]
    size = sum(len(line) for line in rule_lines)
    head = data[:size]
    if head != b"".join(rule_lines) and _split_lf(head) != _split_lf(b"".join(rule_lines)):
        raise _Unreadable("the rule lines are not where they were expected")
    at = size
    passes: list[PassReport] = []
    for number in range(1, len(levels)):
        below = levels[number - 1]
        labels = [report.single.get(node.data, "") for node in below]
        built = levels[number]
        count = 0 if (len(built) == 1 and not built[0].children) else len(built)
        found = [node.data for node in built][:count]
        windows: list[Window] = []
        texts: list[Window] = []  # the matched windows, in order
        tried = 0
        n = len(labels)
        pending: tuple[Window, int, int] | None = None  # the last fitting window, its step, the offset before
        matched = 0
        if n and report.max_parts >= 2:
            for step in range(n):
                for k in range(report.max_parts, 1, -1):
                    m = _LOWER.match(data, at)
                    if m is None:
                        raise _Unreadable(f"pass {number}: expected a window line at byte {at}")
                    at = m.end()
                    lower, upper, length = (int(g) for g in m.groups())
                    if length != n or upper - lower != k - 1:
                        raise _Unreadable(f"pass {number}: unexpected window line {m.group(0)!r}")
                    if pending is not None:
                        # A match moves the position on by the window's width.
                        window, pstep, offset = pending
                        moved = (lower - step) - offset
                        if moved == window.upper - window.lower:
                            window.matched = True
                            texts.append(window)
                            matched += 1
                        elif moved != 0:
                            raise _Unreadable(f"pass {number}: the position moved by {moved}")
                        pending = None
                    tried += 1
                    if upper > n:
                        if len(windows) < WINDOWS_KEPT:
                            windows.append(Window(lower, upper, None))
                        break
                    text = "+".join(labels[lower:upper])
                    raw = text.encode() + b"\n"
                    if data[at:at + len(raw)] != raw:
                        raise _Unreadable(f"pass {number}: the window at {lower} is not the expected text")
                    at += len(raw)
                    window = Window(lower, upper, text)
                    if len(windows) < WINDOWS_KEPT:
                        windows.append(window)
                    pending = (window, step, lower - step)
        if pending is not None and matched + 1 == count:
            pending[0].matched = True
            texts.append(pending[0])
            matched += 1
        if matched != count or [w.text for w in texts] != found:
            raise _Unreadable(f"pass {number}: the matches read do not agree with the tree")
        end = data.find(b"\n", at)
        if end < 0 or data[at:at + 1] != b"[":
            raise _Unreadable(f"pass {number}: expected the list of matches at byte {at}")
        at = end + 1
        passes.append(PassReport(number, labels, windows, found, tried))
    if at != len(data):
        raise _Unreadable("the trace goes on after the last pass")
    return passes


def _split_lf(block: bytes) -> list[bytes]:
    return sorted(line + b"\n" for line in block.split(b"\n")[:-1])


# --- words -----------------------------------------------------------------------


def _format(r: Explanation, max_windows: int = 60) -> str:
    out: list[str] = []
    add = out.append
    add(f"{len(r.single)} single-label rule{'s' if len(r.single) != 1 else ''}: a node whose text is the key "
        f"gets the value as its label (every other node gets the empty label, shown ∅)")
    by_label: dict[str, list[str]] = {}
    for key, value in r.single.items():
        by_label.setdefault(value, []).append(key)
    for value, keys in list(by_label.items())[:40]:
        named = ", ".join(_shown(k) if k else "''" for k in keys[:12]) + (f", … {len(keys) - 12} more" if len(keys) > 12 else "")
        add(f"  {_shown(value)} <- {named}")
    if len(by_label) > 40:
        add(f"  … {len(by_label) - 40} more labels")
    add(f"{len(r.multi)} multi-label key{'s' if len(r.multi) != 1 else ''}; max_parts = {r.max_parts}")
    if r.widths:
        add("window widths tried at each position, widest first: "
            + ", ".join(str(w) for w in r.widths) + " label" + ("s" if r.widths != [1] else ""))
    else:
        add("no window is tried (no multi-label key)")
    for key in r.multi:
        verdict = r.verdicts[key]
        mark = "reachable  " if key in r.reachable else "UNREACHABLE"
        add(f"  {mark} {key!r} ({verdict.pieces} pieces): {verdict.reason}")
    # The keys that can never match were just listed with their reason.
    listed = {f"key {key!r} can never match: {r.verdicts[key].reason}" for key in r.unreachable}
    others = [warning for warning in r.warnings if warning not in listed]
    if others:
        add("warnings:")
        for warning in others:
            add(f"  - {warning}")
    if r.tokens is None:
        return "\n".join(out)
    add("")
    add(f"walk-through on {len(r.tokens)} token{'s' if len(r.tokens) != 1 else ''}, read from the engine's trace:")
    if r.passes is None:
        add(f"  (the trace could not be read: {r.walk_error}; it is in the report's .trace)")
        return "\n".join(out)
    for p in r.passes:
        labels = " ".join(_shown(label) for label in p.labels[:40]) + (" …" if len(p.labels) > 40 else "")
        add(f"pass {p.number}, over level {p.number - 1} ({len(p.labels)} nodes); labels: {labels or '(none)'}")
        for w in p.windows[:max_windows]:
            if w.text is None:
                add(f"  at {w.lower}: {w.upper - w.lower} labels do not fit (len {len(p.labels)}): next start step")
            else:
                add(f"  at {w.lower}, {w.upper - w.lower} label{'s' if w.upper - w.lower > 1 else ''}: "
                    f"{w.text!r}" + ("  <- match" if w.matched else ""))
        if p.tried > max_windows:
            shown = sum(w.matched for w in p.windows[:max_windows])
            add(f"  … {p.tried - max_windows} more windows, {len(p.matches) - shown} of them matched")
        if p.matches:
            add(f"  matches: {p.matches[:20]}" + (" …" if len(p.matches) > 20 else "")
                + f" -> level {p.number} holds {len(p.matches)} node{'s' if len(p.matches) > 1 else ''}")
        else:
            add(f"  no match -> level {p.number} is the single node \"0\"")
        add("  two or more matches: another pass" if len(p.matches) >= 2 else "  the engine stops")
    return "\n".join(out)
