"""RuleBase: the rule base cut to a document builds the same tree, and its
trace differs only by the rule lines of the rules the document does not use."""

import statistics
import time

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vaskel
from vaskel_tools import capture_trace, to_dict
from vaskel_tools.rulebase import RuleBase

# Keys: tokens, labels, keys of "+" alone (they match at later passes), keys
# with empty pieces, the empty key; values: labels, some holding "+" (which
# make one-label windows match wider keys), the empty label.
KEYS = ["a", "b", "c", "d", "", "X", "Y", "A+B", "+", "++", "+++", "X+", "+X", "X+Y", "X++", "A+B+",
        "X+Y+", "A+B+X", "Y+X", "é"]
VALUES = ["X", "Y", "A", "B", "", "A+B", "+", "X+Y", "GN", "é"]
TOKENS = ["a", "b", "c", "d", "e", "", "X", "+", "A+B", "é", "Y"]


def run(tokens, rules):
    with capture_trace() as trace:
        tree = vaskel.engine(tokens, rules)
    return to_dict(tree), trace.data


def rule_lines(rules, keep=lambda key: True):
    return "".join(f"{k} : {v}\n" for k, v in rules.items() if "+" not in k and keep(k)).encode()


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.dictionaries(st.sampled_from(KEYS), st.sampled_from(VALUES), max_size=14),
       st.lists(st.sampled_from(TOKENS), max_size=14))
# Three passes: pass 1 matches X+ twice, pass 2 matches "+" (two empty labels) twice.
@example({"a": "X", "X+": "P", "X++": "Q", "+": "R"}, ["a", "b", "a", "b", "a", "b", "a", "b"])
# A value holding "+" matches a key of three pieces with one label.
@example({"x": "A+B", "A+B": "E", "A+B+E": "F", "y": "Q"}, ["x", "y"])
# The empty key labels the empty token; "+" then matches two of them.
@example({"": "", "+": "Z", "++": "W", "z": "Y"}, ["", "", "", ""])
def test_cut_rule_base_builds_the_same_tree(rules, tokens):
    full_tree, full_trace = run(tokens, rules)
    cut = RuleBase(rules).for_tokens(tokens)
    cut_tree, cut_trace = run(tokens, cut)
    assert cut_tree == full_tree
    # The trace: the rule lines of the unused single-label rules are gone,
    # the others keep their order, every other line is the same.
    everything = rule_lines(rules)
    assert full_trace.startswith(everything)
    used = set(tokens)
    assert cut_trace == rule_lines(rules, lambda key: key in used) + full_trace[len(everything):]
    # What is kept: every multi-label rule, the single-label rules of the tokens.
    assert cut == {k: v for k, v in rules.items() if "+" in k or k in used}
    assert list(cut) == [k for k in rules if k in cut]
    # Any iterable of tokens gives the same cut, in the same order, as a list.
    for other in (tuple(tokens), iter(tokens)):
        assert list(RuleBase(rules).for_tokens(other).items()) == list(cut.items())


def test_several_passes_with_a_lexicon_shaped_rule_base():
    lexicon = {f"mot{i}": "NOM" if i % 2 else "DET" for i in range(5000)}
    rules = {**lexicon, "DET+NOM": "GN", "DET+NOM+X": "_", "GN+GN": "P", "+": "Q"}
    tokens = [f"mot{i}" for i in (0, 1, 2, 3, 4, 5, 6, 7, 10, 4999)] + ["inconnu"]
    full_tree, full_trace = run(tokens, rules)
    cut = RuleBase(rules).for_tokens(tokens)
    assert len(cut) == 4 + 10
    cut_tree, _ = run(tokens, cut)
    assert cut_tree == full_tree
    # Three DET+NOM windows, then one "+" over two of their empty labels.
    assert [len(level) for level in full_tree["levels"]] == [11, 3, 1]


def test_empty_token_list_keeps_the_multi_label_rules_only():
    rules = {"a": "X", "X+Y": "P", "": "E", "X+Y+Z": "Q"}
    assert RuleBase(rules).for_tokens([]) == {"X+Y": "P", "X+Y+Z": "Q"}
    assert RuleBase(rules).for_tokens([""]) == {"X+Y": "P", "": "E", "X+Y+Z": "Q"}


def test_all_rule_lines_gives_the_whole_rule_base():
    rules = {"a": "X", "b": "Y", "X+Y": "P"}
    rb = RuleBase(rules)
    assert rb.for_tokens(["a"], all_rule_lines=True) == rules
    assert rb.rules == rules
    assert rb.multi_label_keys == ["X+Y"] and len(rb) == 3


def test_the_rule_base_is_a_snapshot_and_results_are_fresh():
    rules = {"a": "X", "X+": "P"}
    rb = RuleBase(rules)
    rules["b"] = "Y"
    rules["a"] = "Z"
    assert rb.for_tokens(["a", "b"]) == {"a": "X", "X+": "P"}
    rb.for_tokens(["a"])["a"] = "changed"
    rb.rules["a"] = "changed"
    assert rb.for_tokens(["a"]) == {"a": "X", "X+": "P"}


def test_str_subclasses_are_looked_up_by_their_text():
    class Odd(str):
        def __hash__(self):
            return 1

        def __eq__(self, other):
            return False

    rb = RuleBase({Odd("a"): Odd("X"), "X+": "P"})
    cut = rb.for_tokens([Odd("a")])
    assert cut == {"a": "X", "X+": "P"} and all(type(k) is str for k in cut)


@pytest.mark.parametrize("rules, error, text", [
    ({1: "X"}, TypeError, "keys and values must be str"),
    ({"a": None}, TypeError, "keys and values must be str"),
    # The engine refuses these whichever document it gets: a cut rule base
    # must not let some documents through.
    ({"a": "X", "z": "\ud800"}, ValueError, "cannot be encoded as UTF-8"),
    ({"\udfff": "X"}, ValueError, "cannot be encoded as UTF-8"),
])
def test_bad_rule_bases_are_refused_when_built(rules, error, text):
    with pytest.raises(error, match=text):
        RuleBase(rules)


def test_a_str_is_not_a_token_list():
    with pytest.raises(TypeError, match="a str is not a list of tokens"):
        RuleBase({"a": "X"}).for_tokens("abc")


def test_cost_does_not_grow_with_the_lexicon():
    tokens = [f"w{i % 300}" for i in range(480)]
    small = RuleBase({**{f"w{i}": "NOM" for i in range(300)}, "NOM+NOM+X": "_"})
    large = RuleBase({**{f"w{i}": "NOM" for i in range(300_000)}, "NOM+NOM+X": "_"})
    assert small.for_tokens(tokens) == large.for_tokens(tokens)

    def median(rb):
        samples = []
        for _ in range(7):
            start = time.perf_counter()
            rb.for_tokens(tokens)
            samples.append(time.perf_counter() - start)
        return statistics.median(samples)

    # Linear in the lexicon would be a thousand times slower.
    assert median(large) < 10 * median(small) + 0.001
