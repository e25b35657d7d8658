"""explain(): reachable and unreachable keys checked against what the engine really matches."""

import json
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vaskel
from vaskel_tools import explain, silence_trace

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
    import subprocess
    import sys

    root = DATA.parent.parent.parent
    done = subprocess.run([sys.executable, str(root / "examples" / "tools_tour.py")], capture_output=True,
                          text=True, check=True, timeout=60)
    readme = (root / "README.md").read_text(encoding="utf-8")
    shown = "['le : DET', 'chat : NOM', 'lower : 0 ; upper : 1 ; len : 7', 'DET'"
    assert shown in readme and shown in done.stdout
    claim = "UNREACHABLE 'DET+NOM' (2 pieces): it needs 2 labels but windows hold at most 1"
    assert claim in readme and claim in done.stdout
    assert done.stdout.rstrip().endswith("['DET+NOM']")
