"""The engine with rule bases much larger than the token list (a lexicon),
and with fewer rules than tokens: both ways of building the label table give
the trace and the tree of the plain model."""

import model
import pytest
from helpers import run_engine
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

LABELS = ["D", "N", "A", "", "D+N", "+"]
WORDS = ["le", "chat", "noir", "", "Le", "+x", "é", "l'", "x" * 20]


def levels_of(tree):
    return [[(n.data, n.level, n.index, list(n.children)) for n in level] for level in tree.data]


@st.composite
def lexicon_inputs(draw):
    tokens = draw(st.lists(st.sampled_from(WORDS), max_size=12))
    # Rules for some of the tokens, and many more for words no token is.
    singles = draw(st.dictionaries(st.sampled_from(WORDS), st.sampled_from(LABELS), max_size=6))
    unused = draw(st.integers(0, 300))
    for k in range(unused):
        singles.setdefault(f"mot{k}", LABELS[k % len(LABELS)])
    multi = draw(st.lists(st.sampled_from(["D+N", "D+N+X", "N+A", "D+N+A+X", "+", "++", "D+N+", "A++"]),
                          unique=True, max_size=5))
    rules = list(singles.items()) + [(k, draw(st.sampled_from(["P", "+", ""]))) for k in multi]
    return tokens, dict(draw(st.permutations(rules)))


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(lexicon_inputs())
def test_against_the_model(capfd, inputs):
    tokens, rules = inputs
    tree, out = run_engine(capfd, tokens, rules)
    expected_lines, expected_levels = model.engine(tokens, rules)
    assert out == "".join(line + "\n" for line in expected_lines)
    assert levels_of(tree) == expected_levels


def test_a_lexicon_and_a_short_document(capfd):
    rules = {f"mot{k}": "N" for k in range(50_000)}
    rules.update({"le": "D", "la": "D", "D+N+X": "_", "D+N": "GN", "+": "Q"})
    tokens = ["le", "mot7", "la", "mot49999", "inconnu", "le", "mot3"]
    tree, out = run_engine(capfd, tokens, rules)
    expected_lines, expected_levels = model.engine(tokens, rules)
    assert out == "".join(line + "\n" for line in expected_lines)
    assert levels_of(tree) == expected_levels
    assert [n.data for n in tree.data[1]] == ["D+N", "D+N"]


class SameText(str):
    """A key whose hash differs from its text's: a dict holds it beside the
    plain str of the same text."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("tokens", [[], ["a"], ["a", "b", "a", "c", "d", "e", "f"]])
def test_keys_of_the_same_text_keep_the_first_place_and_the_last_value(capfd, tokens):
    rules = {SameText("a"): "first", "b": "B", "a": "last", SameText("b"): "B2", "X+": "P"}
    assert len(rules) == 5
    tree, out = run_engine(capfd, tokens, rules)
    lines = out.split("\n")
    assert lines[:2] == ["a : last", "b : B2"]
    expected_lines, expected_levels = model.engine(tokens, {"a": "last", "b": "B2", "X+": "P"})
    assert out == "".join(line + "\n" for line in expected_lines)
    assert levels_of(tree) == expected_levels


LONG = "k" * 3_000_000


@pytest.mark.parametrize(
    "rules",
    [
        {LONG: "N", "D+N+X": "_", "N+N": "P", "w1": "N"},  # one key longer than any block of lines
        {f"w{k}": "é" * (k % 700) + "+" * (k % 3) for k in range(5000)} | {"+++": "_"},  # lines over many blocks
        {"": "", "+": "", "a": "b : c\nd", "b : c": "a", "é+": "x"},  # separators inside keys and values
    ],
    ids=["long key", "many blocks", "separators"],
)
def test_rule_lines_of_any_size_come_out_whole(capfd, rules):
    tokens = [LONG, "w1", "w4999", "", "a", "w1", "b : c", LONG]
    tree, out = run_engine(capfd, tokens, rules)
    expected_lines, expected_levels = model.engine(tokens, rules)
    assert out == "".join(line + "\n" for line in expected_lines)
    assert levels_of(tree) == expected_levels
