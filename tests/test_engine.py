"""Rule engine: trace lines on fd 1, the levels it builds, and a reference model."""

import copy
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
import vaskel
from _vaskel_testing import rule_hashes, rule_probes
from vaskel_tools import PanicException

from helpers import run_engine, run_python


def records(tree):
    """Levels as lists of (data, children), after checking level/index fields."""
    out = []
    for lvl, level in enumerate(tree.data):
        for pos, node in enumerate(level):
            assert (node.level, node.index) == (lvl, pos)
        out.append([(n.data, n.children) for n in level])
    return out


def run(capfd, tokens, rules):
    capfd.readouterr()
    tree = vaskel.engine(tokens, rules)
    out, _ = capfd.readouterr()
    assert out.endswith("\n")
    return tree, out[:-1].split("\n")


bounds = model.bounds_line


WORKED_RULES = {"a": "X", "b": "Y", "X+Y": "P", "X+Y+Z": "Q"}
WORKED_TOKENS = ["a", "b", "q", "a", "b"]
WORKED_PASS1 = [
    "a : X", "b : Y",
    bounds(0, 2, 5), "X+Y", bounds(2, 3, 5), "",
    bounds(3, 5, 5), "X+Y", bounds(5, 6, 5),
    bounds(6, 8, 5), bounds(7, 9, 5), bounds(8, 10, 5),
    '["X+Y", "X+Y"]',
    bounds(0, 2, 2), "+", bounds(0, 1, 2), "", bounds(1, 3, 2),
]
LEAVES5 = [(t, []) for t in WORKED_TOKENS]


def test_worked_example(capfd):
    tree, lines = run(capfd, WORKED_TOKENS, WORKED_RULES)
    assert lines == WORKED_PASS1 + ["[]"]
    assert len(lines) == 19
    assert records(tree) == [LEAVES5, [("X+Y", [0]), ("X+Y", [1])], [("0", [])]]


def test_worked_example_with_plus_key(capfd):
    tree, lines = run(capfd, WORKED_TOKENS, {**WORKED_RULES, "+": "S"})
    # Line 15 now matches, so offset moves by 2 and the rest of pass 2 no longer fits.
    assert lines == WORKED_PASS1[:15] + [bounds(2, 3, 2), bounds(3, 5, 2), '["+"]']
    assert records(tree) == [LEAVES5, [("X+Y", [0]), ("X+Y", [1])], [("+", [0])]]


ZERO = [("0", [])]

CASES = [
    # id, tokens, rules, trace lines, levels as (data, children)
    ("empty-tokens", [], {"a": "X", "X+Y": "Z"}, ["a : X", "[]"], [[], ZERO]),
    ("empty-rules", ["a", "b"], {}, ["[]"], [[("a", []), ("b", [])], ZERO]),
    ("singles-only", ["a", "b", "a"], {"a": "X", "b": "Y"}, ["a : X", "b : Y", "[]"],
     [[("a", []), ("b", []), ("a", [])], ZERO]),
    ("two-piece-keys-only", ["a", "b"], {"a": "X", "b": "Y", "X+Y": "Z"},
     ["a : X", "b : Y", bounds(0, 1, 2), "X", bounds(1, 2, 2), "Y", "[]"],
     [[("a", []), ("b", [])], ZERO]),
    ("label-holding-plus", ["x", "y"], {"x": "A+B", "A+B": "E", "A+B+E": "F"},
     ["x : A+B", bounds(0, 2, 2), "A+B+", bounds(0, 1, 2), "A+B", bounds(2, 4, 2), '["A+B"]'],
     [[("x", []), ("y", [])], [("A+B", [0])]]),
    ("unlabelled-token-in-window", ["a", "b", "c"], {"a": "X", "X+": "P", "X++": "Q"},
     ["a : X", bounds(0, 2, 3), "X+", bounds(2, 3, 3), "", bounds(3, 5, 3), bounds(4, 6, 3), '["X+"]'],
     [[("a", []), ("b", []), ("c", [])], [("X+", [0])]]),
    # The empty key labels the empty token; the node carries the window text,
    # never the value "M" of the multi-label rule.
    ("empty-key-one-match", ["", "f"], {"": "E", "f": "F", "E+F": "M", "Z+Z+Z": "_"},
     [" : E", "f : F", bounds(0, 2, 2), "E+F", bounds(2, 3, 2), bounds(3, 5, 2), '["E+F"]'],
     [[("", []), ("f", [])], [("E+F", [0])]]),
    ("n-below-max-parts", ["a", "b"], {"a": "X", "X+X+X+X+X": "R"},
     ["a : X", bounds(0, 4, 2), bounds(1, 5, 2), "[]"], [[("a", []), ("b", [])], ZERO]),
]


@pytest.mark.parametrize("tokens, rules, trace, levels", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_engine_cases(capfd, tokens, rules, trace, levels):
    tree, lines = run(capfd, tokens, rules)
    assert lines == trace
    assert records(tree) == levels


def test_several_passes(capfd):
    # 15 leaves -> 5 "X+X" -> 2 "+" -> 1 "+": three passes, each over empty
    # labels after the first.
    rules = {"a": "X", "X+X": "P", "+": "Q", "Z+Z+Z": "_"}
    tree, lines = run(capfd, ["a"] * 15, rules)
    assert lines == reference(["a"] * 15, rules)[0]
    assert [lines.count(r) for r in ('["X+X", "X+X", "X+X", "X+X", "X+X"]', '["+", "+"]', '["+"]')] == [1, 1, 1]
    assert records(tree)[1:] == [[("X+X", [j]) for j in range(5)], [("+", [0]), ("+", [1])], [("+", [0])]]


def test_report_line_escaping(capfd):
    left = 'q"\\\t\r'
    right = "\n\0e\u0301\u00a0\u200b\u00e9'"
    rules = {"a": left, "b": right, left + "+" + right: "R", "Z+Z+Z": "_"}
    capfd.readouterr()
    tree = vaskel.engine(["a", "b"], rules)
    out, _ = capfd.readouterr()
    expected = '["q\\"\\\\\\t\\r+\\n\\0e\\u{301}\\u{a0}\\u{200b}\u00e9\'"]'
    assert out.endswith("\n" + expected + "\n")
    assert tree.data[1][0].data == left + "+" + right
    assert model.quote_list([left + "+" + right]) == expected


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((5, 5), TypeError, "argument 'tokens': "),
        (("ab", []), TypeError, "argument 'tokens': "),
        (([1], {"a": "b"}), TypeError, "argument 'tokens': 'int' object cannot be converted to 'PyString'"),
        ((["a"], []), TypeError, "argument 'ruleset': 'list' object cannot be converted to 'PyDict'"),
        ((["a"], {"a": 1}), TypeError, "argument 'ruleset': 'int' object cannot be converted to 'PyString'"),
        ((["a"],), TypeError, "engine() missing 1 required positional argument: 'ruleset'"),
    ],
)
def test_argument_errors_print_nothing(capfd, args, exc, message):
    capfd.readouterr()
    with pytest.raises(exc) as info:
        vaskel.engine(*args)
    assert str(info.value).startswith(message)
    assert capfd.readouterr().out == ""


def test_keywords_and_inputs_left_unchanged(capfd):
    tokens = ["a", "b", "q", "a", "b"]
    rules = dict(WORKED_RULES)
    before = (copy.deepcopy(tokens), list(rules.items()))
    tree = vaskel.engine(ruleset=rules, tokens=tokens)
    assert (tokens, list(rules.items())) == before
    assert records(tree)[1] == [("X+Y", [0]), ("X+Y", [1])]


def test_stdout_write_failure(capfd):
    saved = os.dup(1)
    full = os.open("/dev/full", os.O_WRONLY)
    try:
        os.dup2(full, 1)
        with pytest.raises(PanicException) as info:
            vaskel.engine(["a"], {"a": "X"})
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(full)
    assert info.value.args == ("failed printing to stdout: No space left on device",)
    assert "failed printing to stdout" in capfd.readouterr().err
    tree, lines = run(capfd, ["a"], {"a": "X"})
    assert lines == ["a : X", "[]"]
    assert records(tree) == [[("a", [])], ZERO]


# --- reference model --------------------------------------------------------

def reference(tokens, ruleset):
    """Trace lines and levels as (data, children), from the model."""
    lines, levels = model.engine(tokens, ruleset)
    return lines, [[(data, children) for data, _, _, children in level] for level in levels]


def test_reference_matches_worked_example():
    assert reference(WORKED_TOKENS, WORKED_RULES) == (
        WORKED_PASS1 + ["[]"], [LEAVES5, [("X+Y", [0]), ("X+Y", [1])], [("0", [])]])


LABEL = st.sampled_from(["X", "X", "", 'q"\\', "X+", "+"])


@st.composite
def engine_inputs(draw):
    """Tokens and a rule base whose keys often fit windows of the first pass."""
    singles = draw(st.fixed_dictionaries({"a": LABEL}, optional={"b": LABEL, "": LABEL, "X": LABEL}))
    tokens = draw(st.lists(st.sampled_from(["a", "a", "b", "", "X"]), max_size=40))
    labels = [singles.get(t, "") for t in tokens]
    pieces = st.lists(st.sampled_from(["X", "", 'q"\\']), min_size=2, max_size=4)
    keys = draw(st.lists(pieces.map("+".join), max_size=3))
    for _ in range(draw(st.integers(0, 3)) if labels else 0):
        start = draw(st.integers(0, len(labels) - 1))
        keys.append("+".join(labels[start:start + draw(st.integers(2, 3))]))
    # "+" and "++" are the only keys that can match after the first pass; a
    # wide key lets windows of two or three labels be tried.
    keys += draw(st.lists(st.sampled_from(["+", "++"]), unique=True))
    keys.append(draw(st.sampled_from(["Z+Z+Z", "Z+Z+Z+Z", ""])))
    rules = list(singles.items()) + [(k, draw(st.sampled_from(["P", "+"]))) for k in keys if "+" in k]
    return tokens, dict(draw(st.permutations(rules)))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(engine_inputs())
def test_engine_agrees_with_reference(capfd, inputs):
    tokens, rules = inputs
    tree, out = run_engine(capfd, tokens, rules)
    levels = records(tree)
    assert len(levels) >= 2 and len(levels[-1]) == 1
    assert all(levels[1:])
    for below, level in zip(levels, levels[1:]):
        if level != [("0", [])]:
            assert len(level) <= len(below)
    lines, expected = reference(tokens, rules)
    assert out == "\n".join(lines) + "\n"
    assert levels == expected


# Characters of the report line's list notation, one per row: those written
# as they stand and those that take an escape (DEL and the other controls
# do not print, so they take the \u{...} form).
@pytest.mark.parametrize("char, written", [
    ("\x7f", "\\u{7f}"),
    ("\x01", "\\u{1}"),
    ("\x1b", "\\u{1b}"),
    ("\x85", "\\u{85}"),
    ("\u2028", "\\u{2028}"),
    ("\ufeff", "\\u{feff}"),
    ("\U000e0001", "\\u{e0001}"),
    (" ", " "),
    ("~", "~"),
    ("'", "'"),
    ("\u00e9", "\u00e9"),
    ("\U0001d11e", "\U0001d11e"),
])
def test_report_line_characters(capfd, char, written):
    label = "a" + char + "+"
    tree, out = run_engine(capfd, ["t"], {"t": label, label: "M"})
    assert out.split("\n")[-2] == '["a' + written + '+"]'
    assert model.quote_list([label]) == '["a' + written + '+"]'
    assert tree.data[1][0].data == label


# ---------------------------------------------------------------- rule tables

def colliding_keys(count, seed, bits):
    """Keys whose rule-table hash under `seed` has its low `bits` bits zero:
    in a table of 2**bits slots hashing with that seed, they all start at
    slot 0."""
    found, start, mask = [], 0, (1 << bits) - 1
    while len(found) < count:
        batch = [f"k{j}" for j in range(start, start + 100_000)]
        start += len(batch)
        found += [key for key, h in zip(batch, rule_hashes(batch, seed)) if h & mask == 0]
    return found[:count]


def test_rule_tables_resist_crafted_keys():
    count = 1_000  # a table of 2,048 slots
    crafted = colliding_keys(count, 0, 11)
    plain = [f"r{j}" for j in range(count)]
    # Where the seed is known the keys pile up in one run of slots, and
    # finding each walks half the run on average.
    assert rule_probes(crafted, 0) > count * count // 4
    # The process's own seed spreads them like any other keys.
    assert rule_probes(crafted, None) < 3 * count
    assert rule_probes(plain, None) < 3 * count


def test_rule_hash_seed_differs_between_processes():
    code = "import _vaskel_testing as t; print(t.rule_hashes(['le', 'DET+NOM'], None))"
    outputs = {run_python(code, text=True, check=True).stdout for _ in range(3)}
    assert len(outputs) == 3
    # Within a process it is fixed.
    assert rule_hashes(["le"], None) == rule_hashes(["le"], None)


def test_rule_lines_keep_the_dictionary_order(capfd):
    keys = [f"w{j}" for j in range(200)]
    rules = {key: "T" for key in reversed(keys)}
    _, out = run_engine(capfd, [], rules)
    assert out.splitlines() == [f"{key} : T" for key in reversed(keys)] + ["[]"]
