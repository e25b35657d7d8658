"""explain(): reachable and unreachable keys checked against what the engine really matches."""

import json
import sys
from pathlib import Path

import pytest

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vaskel
from vaskel_tools import explain, silence_trace

from helpers import run_command

DATA = Path(__file__).resolve().parent.parent / "python" / "vaskel_tools" / "data"

README_CASES = [
    # (rules, reachable, unreachable, widths)
    ({"le": "DET", "chat": "NOM", "DET+NOM": "GN"}, [], ["DET+NOM"], [1]),
    ({"le": "DET", "la": "DET", "petit": "ADJ", "chat": "NOM", "souris": "NOM",
      "DET+NOM": "GN", "DET+ADJ+NOM": "GN", "DET+ADJ+NOM+X": "_"},
     ["DET+NOM", "DET+ADJ+NOM"], ["DET+ADJ+NOM+X"], [3, 2, 1]),
    ({"le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"},
     ["DET+NOM"], ["DET+NOM+X"], [2, 1]),
    ({"a": "X", "b": "Y", "X+Y": "P", "X+Y+Z": "Q"}, ["X+Y"], ["X+Y+Z"], [2, 1]),
    ({"x": "A+B", "A+B": "E", "A+B+E": "F"}, ["A+B"], ["A+B+E"], [2, 1]),
    ({"x": "A+B", "y": "E", "A+B+E": "F", "Z+Z+Z+Z": "_"}, ["A+B+E"], ["Z+Z+Z+Z"], [3, 2, 1]),
    ({"a": "X", "X+": "P", "X++": "Q"}, ["X+"], ["X++"], [2, 1]),
    ({"le": "DET"}, [], [], []),
]


def test_rule_bases_of_the_readme():
    for rules, reachable, unreachable, widths in README_CASES:
        report = explain(rules)
        assert (report.reachable, report.unreachable, report.widths) == (reachable, unreachable, widths), rules


def test_the_shipped_sample_rule_base():
    report = explain(json.loads((DATA / "regles.json").read_text(encoding="utf-8")))
    assert report.unreachable == ["PREP+DET+ADJ+NOM"] and report.widths == [3, 2, 1]


def test_the_obvious_rule_base_says_why():
    report = explain({"le": "DET", "chat": "NOM", "DET+NOM": "GN"})
    assert report.max_parts == 2
    assert "needs 2 labels but windows hold at most 1" in str(report)
    assert "'DET+NOM+X'" in report.verdicts["DET+NOM"].reason
    missing = explain({"le": "DET", "DET+NOM+X": "_"}).verdicts["DET+NOM+X"].reason
    assert "'NOM', 'X' are not the value of any single-label rule" in missing


def test_traps_are_warned_about():
    warnings = "\n".join(explain({"x": "A+B", "": "E", "A+": "P", "++": "Q", "A+B+C+D": "R"}).warnings)
    for needle in ("never used", "'A+' has an empty piece", "'++' is made of '+' alone",
                   "'A+B', which holds '+'", "the empty key", "'A+B+C+D' can never match"):
        assert needle in warnings
    assert "tries no window" in explain({"a": "X"}).warnings[0]


def test_walk_through_on_the_worked_example():
    report = explain({"a": "X", "b": "Y", "X+Y": "P", "X+Y+Z": "Q"}, ["a", "b", "q", "a", "b"])
    first, second = report.passes
    assert first.labels == ["X", "Y", "", "X", "Y"] and first.matches == ["X+Y", "X+Y"]
    assert [(w.lower, w.text, w.matched) for w in first.windows] == [
        (0, "X+Y", True), (2, "", False), (3, "X+Y", True), (5, None, False),
        (6, None, False), (7, None, False), (8, None, False)]
    assert second.labels == ["", ""] and second.matches == []
    assert "at 0, 2 labels: 'X+Y'  <- match" in str(report)
    assert report.trace.startswith("a : X\nb : Y\n")


LABELS = ["A", "B", "C", "A+B", ""]
PIECES = ["A", "B", "C", ""]
TOKENS = ["a", "b", "c", "d", "e", "zz"]


@st.composite
def rule_bases(draw):
    rules = {}
    for token in draw(st.lists(st.sampled_from(TOKENS[:-1]), unique=True)):
        rules[token] = draw(st.sampled_from(LABELS))
    for pieces in draw(st.lists(st.lists(st.sampled_from(PIECES), min_size=2, max_size=5), max_size=5)):
        rules["+".join(pieces)] = "_"
    return rules


def run(tokens, rules):
    with silence_trace():
        tree = vaskel.engine(tokens, rules)
    levels = tree.data
    return [[n.data for n in level] for level in levels[1:] if level[0].children]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rule_bases(), st.lists(st.sampled_from(TOKENS), max_size=14))
def test_what_the_engine_matches_is_reachable(rules, tokens):
    report = explain(rules, tokens)
    matched = run(tokens, rules)
    for number, texts in enumerate(matched, start=1):
        for text in texts:
            assert text in report.reachable
            verdict = report.verdicts[text]
            assert verdict.first_pass if number == 1 else verdict.later_pass
    # The walk-through read from the trace agrees with the tree.
    assert report.passes is not None, report.walk_error
    assert [p.matches for p in report.passes if p.matches] == matched


@settings(max_examples=150, deadline=None)
@given(rule_bases())
def test_every_reachable_key_is_matched_by_some_tokens(rules):
    report = explain(rules)
    token_of = {}
    for token, label in rules.items():
        if "+" not in token:
            token_of.setdefault(label, token)
    token_of[""] = "zz"  # no rule names it: the empty label
    pads = ["zz"] + [t for t in token_of.values() if t != "zz"]
    for key in report.reachable:
        split = report.verdicts[key].split
        body = [token_of[label] for label in split]
        assert any(key in (run(body + [pad] * report.max_parts, rules) or [[]])[0] for pad in pads), key


def test_walk_through_reads_labels_that_look_like_trace_lines():
    tricky = "X\nlower : 0 ; upper : 1 ; len : 3"
    rules = {"a": tricky, "b": "[]\n", "c\nd": "Y", f"{tricky}+[]\n": "P", "Q+Q+Q": "_"}
    report = explain(rules, ["a", "b", "a", "b"])
    assert report.passes is not None, report.walk_error
    assert report.passes[0].matches == [f"{tricky}+[]\n"]
    assert [(w.lower, w.matched) for w in report.passes[0].windows] == [(0, True), (2, False), (3, False), (4, False), (5, False)]
    assert report.reachable == [f"{tricky}+[]\n"]


def test_the_tools_tour_prints_what_the_readme_says():
    root = DATA.parent.parent.parent
    done = run_command([sys.executable, root / "examples" / "tools_tour.py"], text=True, check=True, timeout=60)
    readme = (root / "README.md").read_text(encoding="utf-8")
    shown = "['le : DET', 'chat : NOM', 'lower : 0 ; upper : 1 ; len : 7', 'DET'"
    assert shown in readme and shown in done.stdout
    claim = "UNREACHABLE 'DET+NOM' (2 pieces): it needs 2 labels but windows hold at most 1"
    assert claim in readme and claim in done.stdout
    assert done.stdout.rstrip().endswith("['DET+NOM']")


# --- the per-key analysis against the first, plain algorithm ------------------------
# Every way of cutting the key into labels, tried one pair of positions at a
# time: slow (cubic in the pieces) but plain, so it states what the verdicts
# must be.


def reference_verdict(key, values, max_parts):
    pieces = key.split("+")
    n, window = len(pieces), max_parts - 1
    labels = values | {""}
    reach = [dict() for _ in range(n + 1)]  # reach[j][c]: a split of pieces[:j] into c labels
    reach[0][0] = []
    for j in range(n):
        for k in range(j + 1, n + 1):
            group = "+".join(pieces[j:k])
            if group in labels:
                for c, split in list(reach[j].items()):
                    reach[k].setdefault(c + 1, split + [group])
    fits = sorted(reach[n])
    later = all(p == "" for p in pieces) and n <= window
    if fits and fits[0] <= window:
        return (True, later, fits[0], reach[n][fits[0]])
    if fits:
        return (False, False, fits[0], reach[n][fits[0]])
    covered = set()
    for j in range(n):
        for k in range(j + 1, n + 1):
            if "+".join(pieces[j:k]) in labels:
                covered.update(range(j, k))
    return (False, False, None, list(dict.fromkeys(p for m, p in enumerate(pieces) if m not in covered)))


VALUE_PIECES = ["A", "B", "C", ""]


@st.composite
def label_rule_bases(draw):
    values = draw(st.lists(st.lists(st.sampled_from(VALUE_PIECES), min_size=1, max_size=3).map("+".join),
                           max_size=6))
    rules = {f"t{i}": value for i, value in enumerate(values)}
    for pieces in draw(st.lists(st.lists(st.sampled_from(VALUE_PIECES + ["Z"]), min_size=2, max_size=9),
                                min_size=1, max_size=6)):
        rules["+".join(pieces)] = "_"
    return rules


@settings(max_examples=400, deadline=None)
@given(label_rule_bases())
def test_verdicts_agree_with_the_plain_algorithm(rules):
    report = explain(rules)
    values = {v for k, v in rules.items() if "+" not in k}
    for key in report.multi:
        verdict = report.verdicts[key]
        first, later, labels, split_or_missing = reference_verdict(key, values, report.max_parts)
        assert (verdict.first_pass, verdict.later_pass, verdict.labels) == (first, later, labels), key
        if labels is not None:
            assert verdict.split == split_or_missing, key
        elif split_or_missing:
            named = ", ".join(repr(p) for p in split_or_missing)
            assert verdict.reason.startswith(f"{named} {'is' if len(split_or_missing) == 1 else 'are'} not"), key
        else:
            assert verdict.reason.startswith("its pieces cannot be cut"), key


@pytest.mark.parametrize("values, key, split", [
    # Of the shortest splits, the one whose last labels start earliest.
    (["A", "A+A", "B"], "A+A+A+B", ["A", "A+A", "B"]),
    (["A+B", "B+C", "A", "C"], "A+B+C+D", ["A", "B+C", "D"]),
    (["A", "B"], "A++B", ["A", "", "B"]),
    (["A+"], "A++A", None),
])
def test_the_split_named(values, key, split):
    rules = {f"t{i}": v for i, v in enumerate(values)} | {"D": "D", key: "_", "Q+Q+Q+Q+Q": "_"}
    assert explain(rules).verdicts[key].split == split


def test_a_key_of_1600_pieces_is_explained_at_once():
    # One cut per pair of positions made it take seconds (cubic in the pieces).
    import time

    rules = {f"mot{i}": ["A", "B", "A+B", "C"][i % 4] for i in range(200)} | {f"A+B+C+{i}": "_" for i in range(40)}
    key = "+".join(["A", "B"] * 800)
    start = time.perf_counter()
    verdict = explain(rules | {key: "_"}).verdicts[key]
    assert time.perf_counter() - start < 2.0
    assert verdict.labels == 800 and verdict.split == ["A+B"] * 800


# --- what the verdicts and the advice promise ----------------------------------------


@pytest.mark.parametrize("widest, empty_pieces, later", [
    (3, 2, True), (3, 3, False), (4, 3, True), (4, 2, True), (5, 4, True), (5, 5, False),
])
def test_a_key_of_empty_pieces_matches_in_later_passes_when_a_window_holds_it(widest, empty_pieces, later):
    # From the second pass on, every label is empty: windows of up to
    # widest - 1 empty labels are tried there.
    key = "+" * (empty_pieces - 1)
    rules = {"a": "X", key: "_", "+".join(["X"] * widest): "_"}
    verdict = explain(rules).verdicts[key]
    assert verdict.later_pass is later
    assert ("also match in the later passes" in verdict.reason) is later
    # The engine agrees, on tokens that no rule names: enough of them for
    # the second pass to scan more labels than its widest window.
    matched = run(["q"] * (empty_pieces * widest * widest), rules)
    assert any(key in texts for texts in matched[1:]) is later


@settings(max_examples=150, deadline=None)
@given(label_rule_bases())
def test_following_the_advice_makes_a_key_reachable(rules):
    report = explain(rules)
    for key in report.unreachable:
        verdict = report.verdicts[key]
        if verdict.labels is None:
            assert "add a key" not in verdict.reason
            continue
        need = verdict.labels
        assert f"add a key of {need + 1} pieces or more, such as {key + '+X'!r}," in verdict.reason
        assert key in explain(rules | {"+".join(["Q"] * (need + 1)): "_"}).reachable
        if need > report.max_parts:
            # One piece less is not enough.
            assert key not in explain(rules | {"+".join(["Q"] * need): "_"}).reachable


@pytest.mark.parametrize("rules, key, reason", [
    ({"le": "DET", "DET+NOM+NOM": "_"}, "DET+NOM+NOM",
     "'NOM' is not the value of any single-label rule, so no node ever gets that label "
     "(as the widest key it still sets the windows to 2 labels)"),
    ({"le": "DET", "X+Y+X": "_", "Q+Q+Q+Q": "_"}, "X+Y+X",
     "'X', 'Y' are not the value of any single-label rule, so no node ever gets that label"),
    ({"x": "A+B", "A+C": "_", "A+A+A": "_"}, "A+C",
     "'A', 'C' are not the value of any single-label rule, so no node ever gets that label"),
    ({"x": "A+B", "y": "B+C", "A+C": "_", "A+B+C": "_"}, "A+B+C",
     "its pieces cannot be cut into labels that single-label rules give "
     "(as the widest key it still sets the windows to 2 labels)"),
    ({"le": "DET", "chat": "NOM", "DET+NOM": "GN"}, "DET+NOM",
     "it needs 2 labels but windows hold at most 1 (one less than the widest key's 2 pieces): "
     "add a key of 3 pieces or more, such as 'DET+NOM+X', to widen the windows"),
    ({"x": "A+B", "y": "C", "A+B+C": "_", "Q+Q+Q": "_"}, "A+B+C",
     "a window of 2 labels gives it: A+B | C"),
], ids=["one-missing", "missing-once-each", "label-with-plus", "no-cut", "too-wide", "window"])
def test_reasons_in_words(rules, key, reason):
    assert explain(rules).verdicts[key].reason == reason


# --- the report in words ---------------------------------------------------------------


def test_the_whole_report_in_words():
    report = explain({"x": "A+B", "": "E", "A+": "P", "++": "Q", "A+B+C+D": "R", "y": "A", "z": "B"})
    assert str(report) == "\n".join([
        "4 single-label rules: a node whose text is the key gets the value as its label (every other node "
        "gets the empty label, shown ∅)",
        "  A+B <- x", "  E <- ''", "  A <- y", "  B <- z",
        "3 multi-label keys; max_parts = 4",
        "window widths tried at each position, widest first: 3, 2, 1 labels",
        "  reachable   'A+' (2 pieces): a window of 2 labels gives it: A | ∅",
        "  reachable   '++' (3 pieces): a window of 3 labels gives it: ∅ | ∅ | ∅; it can also match in the "
        "later passes, whose labels are all empty",
        "  UNREACHABLE 'A+B+C+D' (4 pieces): 'C', 'D' are not the value of any single-label rule, so no node "
        "ever gets that label (as the widest key it still sets the windows to 3 labels)",
        "warnings:",
        "  - the values of multi-label rules are never used: a node made by a match carries the window's text "
        "('A+'), not the rule's value ('P')",
        "  - key 'A+' has an empty piece: it stands for the empty label, which every token without a "
        "single-label rule gets",
        "  - key '++' is made of '+' alone: it matches windows of 3 empty labels (tokens that no single-label "
        "rule names), also in the later passes",
        "  - rule 'x' gives the label 'A+B', which holds '+': in a window it counts as 2 pieces of a key",
        "  - the empty key is a single-label rule: it labels empty tokens, which tokenize never gives",
    ])


def test_the_whole_walk_through_in_words():
    text = str(explain({"a": "X", "b": "Y", "X+Y": "P", "X+Y+Z": "Q"}, ["a", "b", "q", "a", "b"]))
    assert text.split("\n\n")[1] == "\n".join([
        "walk-through on 5 tokens, read from the engine's trace:",
        "pass 1, over level 0 (5 nodes); labels: X Y ∅ X Y",
        "  at 0, 2 labels: 'X+Y'  <- match",
        "  at 2, 1 label: ''",
        "  at 3, 2 labels: 'X+Y'  <- match",
        "  at 5: 1 labels do not fit (len 5): next start step",
        "  at 6: 2 labels do not fit (len 5): next start step",
        "  at 7: 2 labels do not fit (len 5): next start step",
        "  at 8: 2 labels do not fit (len 5): next start step",
        "  matches: ['X+Y', 'X+Y'] -> level 1 holds 2 nodes",
        "  two or more matches: another pass",
        "pass 2, over level 1 (2 nodes); labels: ∅ ∅",
        "  at 0, 2 labels: '+'",
        "  at 0, 1 label: ''",
        "  at 1: 2 labels do not fit (len 2): next start step",
        "  no match -> level 2 is the single node \"0\"",
        "  the engine stops",
    ])
    assert text.count("the values of multi-label rules are never used") == 1
    assert text.count("'Z' is not the value") == 1  # listed with its key, not again as a warning


def test_one_match_makes_one_node_and_the_engine_stops():
    report = explain({"le": "DET", "chat": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}, ["le", "chat", "x"])
    assert [p.matches for p in report.passes] == [["DET+NOM"]]
    assert "  matches: ['DET+NOM'] -> level 1 holds 1 node\n  the engine stops" in str(report)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rule_bases(), st.lists(st.sampled_from(TOKENS), max_size=14))
def test_each_pass_says_whether_another_one_follows(rules, tokens):
    report = explain(rules, tokens)
    assert report.passes is not None, report.walk_error
    ends = [line for line in str(report).splitlines()
            if line in ("  two or more matches: another pass", "  the engine stops")]
    assert ends == ["  two or more matches: another pass"] * (len(report.passes) - 1) + ["  the engine stops"]
    assert len(report.levels) == len(report.passes) + 1


R2 = {"a": "X", "b": "Y", "X+Y": "_"}  # one window per position
R3 = {"a": "X", "b": "Y", "X+Y": "_", "X+Y+Z": "_"}


@pytest.mark.parametrize("rules, tokens, line", [
    (R2, ["q"] * 60, None),
    (R2, ["q"] * 61, "  … 1 more windows, 0 of them matched"),
    (R3, ["q"] * 29 + ["a", "b"], "  … 1 more windows, 0 of them matched"),
    (R3, ["q"] * 30 + ["a", "b"], "  … 3 more windows, 1 of them matched"),
], ids=["60", "61", "match-shown", "match-not-shown"])
def test_long_passes_show_the_first_sixty_windows(rules, tokens, line):
    text = str(explain(rules, tokens))
    more = [row for row in text.splitlines() if "more windows" in row]
    assert more == ([line] if line else [])
    assert text.count("\n  at ") == 60


@pytest.mark.parametrize("count, cut", [(40, False), (41, True)])
def test_long_label_rows_are_cut_at_forty(count, cut):
    text = str(explain(R2, ["a"] * count))
    row = next(line for line in text.splitlines() if line.startswith("pass 1"))
    assert row == f"pass 1, over level 0 ({count} nodes); labels: " + " ".join(["X"] * 40) + (" …" if cut else "")


@pytest.mark.parametrize("keys, shown", [
    (12, "  X <- " + ", ".join(f"w{i}" for i in range(12))),
    (14, "  X <- " + ", ".join(f"w{i}" for i in range(12)) + ", … 2 more"),
])
def test_many_keys_of_one_label_are_cut_at_twelve(keys, shown):
    rules = {f"w{i}": "X" for i in range(keys)} | {"X+X": "_"}
    assert shown in str(explain(rules)).splitlines()


@pytest.mark.parametrize("rules, warnings", [
    ({"a": "X", "X+X": "X+X", "X+X+X": "V"}, [
        "the values of multi-label rules are never used: a node made by a match carries the window's text "
        "('X+X+X'), not the rule's value ('V')",
        "key 'X+X+X' can never match: it needs 3 labels but windows hold at most 2 (one less than the widest "
        "key's 3 pieces): add a key of 4 pieces or more, such as 'X+X+X+X', to widen the windows"]),
    ({"a": "", "X+": "_"}, [
        "the values of multi-label rules are never used: a node made by a match carries the window's text "
        "('X+'), not the rule's value ('_')",
        "key 'X+' has an empty piece: it stands for the empty label, which every token without a single-label "
        "rule gets",
        "key 'X+' can never match: 'X' is not the value of any single-label rule, so no node ever gets that "
        "label (as the widest key it still sets the windows to 1 labels)"]),
    ({"a": "X+Y+Z", "+": "_"}, [
        "the values of multi-label rules are never used: a node made by a match carries the window's text "
        "('+'), not the rule's value ('_')",
        "key '+' is made of '+' alone: it matches windows of 2 empty labels (tokens that no single-label rule "
        "names), also in the later passes",
        "rule 'a' gives the label 'X+Y+Z', which holds '+': in a window it counts as 3 pieces of a key",
        "key '+' can never match: it needs 2 labels but windows hold at most 1 (one less than the widest key's "
        "2 pieces): add a key of 3 pieces or more, such as '++X', to widen the windows"]),
], ids=["example-value", "empty-value", "plus-alone"])
def test_warnings_exactly(rules, warnings):
    assert explain(rules).warnings == warnings


def test_labels_are_shown_unambiguously():
    text = str(explain({"a": "∅", "b": "", "c": "x y", "d": "X", "∅+X": "_"}))
    assert "  '∅' <- a" in text and "  ∅ <- b" in text and "  'x y' <- c" in text and "  X <- d" in text
    assert "0 single-label rules" in str(explain({"A+B": "_"}))
    assert "1 single-label rule:" in str(explain({"a": "A"}))


@pytest.mark.parametrize("tokens", ["le chat", "le"])
def test_a_str_as_tokens_is_refused(tokens):
    with pytest.raises(TypeError, match="argument 'tokens': a str is not a list of strings: pass a list of str"):
        explain({"le": "DET", "DET+NOM": "GN"}, tokens)


def test_any_sequence_of_str_is_taken_as_tokens():
    rules = {"le": "DET", "chat": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}
    assert explain(rules, ("le", "chat")).passes[0].matches == ["DET+NOM"]
    assert explain(rules, ["le", "chat"]).tokens == ["le", "chat"]
