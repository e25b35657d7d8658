"""Chunks read from the engine's trace, offsets, IOB, scoring and the exports."""

import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vaskel
from vaskel_tools import align, analyse, chunks, score, silence_trace, to_iob
from vaskel_tools.export import conll_document, json_document, to_conll, to_json
from vaskel_tools.scoring import iob_chunks, read_conll
from vaskel_tools.spans import Chunk, TraceError, read_chunks
from vaskel_tools.trace import capture_trace

from helpers import run_python, run_vaskel

RULES = {
    "le": "DET", "la": "DET", "petit": "ADJ", "chat": "NOM", "souris": "NOM",
    "DET+NOM": "GN", "DET+ADJ+NOM": "GN", "DET+ADJ+NOM+X": "_",
}
# max_parts 3: a pass over two matches tries the key "+" on their two empty labels.
PLUS = {"le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_", "+": "P"}


def engine(tokens, rules):
    with silence_trace():
        return vaskel.engine(tokens, rules)


def test_quick_start_chunks_with_words_labels_and_offsets():
    text = "le petit chat voit la souris."
    a = analyse(text, RULES)
    assert [(c.level, c.index, c.start, c.end, c.key, c.label, c.tokens, c.parts) for c in a.chunks] == [
        (1, 0, 0, 3, "DET+ADJ+NOM", "GN", ("le", "petit", "chat"), ()),
        (1, 1, 4, 6, "DET+NOM", "GN", ("la", "souris"), ()),
    ]
    assert [text[c.char_start:c.char_end] for c in a.chunks] == ["le petit chat", "la souris"]
    assert a.offsets[-1] == (28, 29) and a.levels[1] == ["DET+ADJ+NOM", "DET+NOM"]
    assert a.trace.startswith("le : DET\n") and a.iob() == ["B-GN", "I-GN", "I-GN", "O", "B-GN", "I-GN", "O"]


def test_a_later_pass_spans_the_matches_below_and_the_tokens_between():
    rules = {"le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_",
             "+": "P"}
    found = chunks(vaskel.tokenize("le chat voit la souris."), rules)
    assert [(c.level, c.start, c.end, c.key, c.label, c.parts) for c in found] == [
        (1, 0, 2, "DET+NOM", "GN", ()), (1, 3, 5, "DET+NOM", "GN", ()), (2, 0, 5, "+", "P", (0, 1))]
    assert to_iob(6, found, 2) == ["B-P", "I-P", "I-P", "I-P", "I-P", "O"]


@pytest.mark.parametrize("tokens, rules, expected", [
    # max_parts 2: windows of one label; the match is the last window line of
    # the pass, with no line after it to show the scan moving on.
    (["x", "a"], {"a": "A+B", "A+B": "G"}, [(1, 1, 2, "A+B")]),
    (["a", "x", "a"], {"a": "A+B", "A+B": "G"}, [(1, 0, 1, "A+B"), (1, 2, 3, "A+B")]),
    # "+" matches two empty labels in the first pass too.
    (["a", "a", "x", "x"], {"a": "A+B", "A+B": "G", "+": "P", "X+Y+Z": "_"},
     [(1, 0, 1, "A+B"), (1, 2, 4, "+"), (2, 0, 4, "+")]),
    ([], {"a": "A", "A+B": "G"}, []),
    (["a", "b"], {"a": "A"}, []),  # no multi-label rule: no window line at all
    (["a", "b"], {"A+B": "G", "a": "A", "b": "B"}, []),  # windows of one label never give A+B
])
def test_edge_cases_of_the_scan(tokens, rules, expected):
    assert [(c.level, c.start, c.end, c.key) for c in chunks(tokens, rules)] == expected


# --- the properties ------------------------------------------------------------------

# A label may hold a line feed, or look like a window line of the trace.
PIECES = ["A", "B", "", "A+B", "C", "l\nx", "lower : 0 ; upper : 1 ; len : 1"]
token_st = st.sampled_from(["a", "b", "c", "d", "", "+", "a+b", "é"])


@st.composite
def cases(draw):
    single = draw(st.dictionaries(st.sampled_from(["a", "b", "c", "", "é"]), st.sampled_from(PIECES), max_size=5))
    multi = draw(st.lists(st.lists(st.sampled_from(PIECES), min_size=2, max_size=5).map("+".join), max_size=6))
    plus = draw(st.lists(st.integers(1, 4).map(lambda n: "+" * n), max_size=2))
    values = st.sampled_from(["GN", "", "a+b", "V P", "+"])
    rules = dict(single)
    for key in multi + plus:
        rules[key] = draw(values)
    tokens = draw(st.lists(token_st, max_size=30))
    return tokens, rules


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases())
def test_chunks_agree_with_the_tree(case):
    tokens, rules = case
    found = chunks(tokens, rules)
    levels = engine(tokens, rules).data
    single = {k: v for k, v in rules.items() if "+" not in k}
    by_level = {}
    for c in found:
        by_level.setdefault(c.level, []).append(c)
    assert [c.level for c in found] == sorted(c.level for c in found)
    for number in range(1, len(levels)):
        nodes = levels[number]
        from_matches = not (len(nodes) == 1 and nodes[0].data == "0" and not nodes[0].children)
        mine = by_level.get(number, [])
        # Exactly one chunk per node built from a match, key the node's data.
        assert [(c.index, c.key) for c in mine] == ([(n.index, n.data) for n in nodes] if from_matches else [])
        for c in mine:
            assert c.label == rules[c.key]
            assert c.tokens == tuple(tokens[c.start:c.end])
            if number == 1:
                assert c.parts == ()
                assert "+".join(single.get(t, "") for t in c.tokens) == c.key
            else:
                below = by_level[number - 1]
                # k empty labels joined with "+" give k - 1 of them.
                assert c.key == "+" * (len(c.parts) - 1)
                assert list(c.parts) == list(range(c.parts[0], c.parts[-1] + 1))
                assert (c.start, c.end) == (below[c.parts[0]].start, below[c.parts[-1]].end)
        # The matches of one level never overlap and come in order.
        for a, b in zip(mine, mine[1:]):
            assert a.end <= b.start
    assert set(by_level) <= set(range(1, len(levels)))


# The pass reader as first written, one plain step per window line: the
# reference the quicker one in spans.py must agree with, chunks and errors.
_REFERENCE_WINDOW = re.compile(rb"lower : (\d+) ; upper : (\d+) ; len : (\d+)\n")


def _reference_pass(data: bytes, at: int, number: int, labels: list[str], max_parts: int,
               built: list[str]) -> tuple[list[tuple[int, int]], int]:
    """The windows that matched in one pass, and where the pass's lines end.

    A window matched when the scan's start moves on by its width: within a
    start step the next, narrower window starts right after it; a new step
    starts one further. Only the last window of the pass has no line after it
    to tell; the matched texts in the tree settle that one.
    """
    n = len(labels)
    encoded = [label.encode() for label in labels]
    matched: list[tuple[int, int]] = []
    pending: tuple[int, int, int] | None = None  # last fitting window: lower, upper, its offset
    step = 0
    new_step = False
    first = True
    while True:
        m = _REFERENCE_WINDOW.match(data, at)
        if m is None:
            break
        lower, upper, length = int(m[1]), int(m[2]), int(m[3])
        if length != n:
            raise TraceError(f"pass {number}: a window line gives len {length}, the level holds {n} nodes")
        if new_step:
            step += 1
        elif not first and pending is None:
            raise TraceError(f"pass {number}: a window line at byte {at} follows a window that did not fit")
        first = False
        if step >= n:
            raise TraceError(f"pass {number}: more start steps than nodes")
        offset = lower - step
        if pending is not None:
            plower, pupper, poffset = pending
            moved = offset - poffset
            if moved == pupper - plower:
                matched.append((plower, pupper))
            elif moved != 0:
                raise TraceError(f"pass {number}: the scan moved by {moved} after the window at {plower}")
        pending = None
        at = m.end()
        width = upper - lower
        if width < 1 or width > max_parts - 1:
            raise TraceError(f"pass {number}: a window of {width} labels, max_parts is {max_parts}")
        if upper > n:
            new_step = True
            continue
        text = b"+".join(encoded[lower:upper]) + b"\n"
        if data[at:at + len(text)] != text:
            raise TraceError(f"pass {number}: the window at {lower} does not hold the labels of the level")
        at += len(text)
        pending = (lower, upper, offset)
        new_step = width == 1
    # With no match the engine builds the single node "0" (a matched text always holds "+").
    found = [] if built == ["0"] else list(built)
    texts = ["+".join(labels[lo:up]) for lo, up in matched]
    if pending is not None and len(texts) + 1 == len(found):
        matched.append((pending[0], pending[1]))
        texts.append("+".join(labels[pending[0]:pending[1]]))
    if texts != found:
        raise TraceError(f"pass {number}: the matches read from the trace are not the nodes of level {number}")
    end = data.find(b"\n", at)
    if end < 0 or data[at:at + 1] != b"[" or data[end - 1:end] != b"]":
        raise TraceError(f"pass {number}: expected the list of matches at byte {at}")
    return matched, end + 1



def _outcome(tokens, rules, tree, trace):
    try:
        return [(c.level, c.index, c.start, c.end, c.key, c.parts) for c in read_chunks(tokens, rules, tree, trace)]
    except TraceError as exc:
        return ("TraceError", str(exc))


# What a trace can suffer: a line dropped, doubled or moved, a number changed,
# a label line altered, bytes cut off or added.
EDITS = st.sampled_from(["drop", "double", "swap", "digit", "label", "cut", "append", "none"])


@settings(max_examples=400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(cases(), EDITS, st.randoms(use_true_random=False))
def test_the_pass_reader_agrees_with_the_reference_on_faulty_traces(monkeypatch, case, edit, rnd):
    # The same chunks, or the same TraceError, on the engine's own traces and
    # on traces made faulty. (The fixture is used as a context, undone within
    # each example.)
    tokens, rules = case
    tree = engine(tokens, rules)
    with capture_trace() as captured:
        vaskel.engine(tokens, rules)
    lines = captured.data.split(b"\n")[:-1]
    if edit != "none" and lines:
        k = rnd.randrange(len(lines))
        if edit == "drop":
            del lines[k]
        elif edit == "double":
            lines.insert(k, lines[k])
        elif edit == "swap" and len(lines) > 1:
            j = rnd.randrange(len(lines))
            lines[k], lines[j] = lines[j], lines[k]
        elif edit == "digit":
            digits = [i for i, b in enumerate(lines[k]) if 48 <= b <= 57]
            if digits:
                i = rnd.choice(digits)
                lines[k] = lines[k][:i] + rnd.choice([b"0", b"1", b"9", b"00", b"07", b""]) + lines[k][i + 1:]
        elif edit == "label":
            lines[k] = lines[k] + rnd.choice([b"+", b"A", b"]", b"\nlower : 0 ; upper : 1 ; len : 1"])
    trace = b"".join(line + b"\n" for line in lines)
    if edit == "cut" and trace:
        trace = trace[:rnd.randrange(len(trace))]
    elif edit == "append":
        trace += rnd.choice([b"[]\n", b"lower : 0 ; upper : 1 ; len : 1\n", b"x"])
    from vaskel_tools import spans

    mine = _outcome(tokens, rules, tree, trace)
    with monkeypatch.context() as m:
        m.setattr(spans, "_read_pass", _reference_pass)
        reference = _outcome(tokens, rules, tree, trace)
    assert mine == reference


@settings(max_examples=300, deadline=None)
@given(st.text(st.characters(blacklist_categories=("Cs",)), max_size=80))
def test_align_round_trips_on_random_texts(text):
    tokens = vaskel.tokenize(text)
    offsets = align(text, tokens)
    assert [text[s:e] for s, e in offsets] == tokens
    # Between the tokens, and around them, only whitespace is left out.
    bounds = [0] + [x for pair in offsets for x in pair] + [len(text)]
    gaps = [text[bounds[i]:bounds[i + 1]] for i in range(0, len(bounds), 2)]
    assert all(gap == "" or gap.isspace() for gap in gaps), gaps


def test_align_names_the_first_token_that_does_not_follow():
    assert align("le  chat\n.", ["le", "chat", "."]) == [(0, 2), (4, 8), (9, 10)]
    with pytest.raises(ValueError, match=r"token 1 'chien' does not follow"):
        align("le chat", ["le", "chien"])
    with pytest.raises(ValueError, match=r"token 2 'le'"):
        align("le chat", ["le", "chat", "le"])  # in the text, but not after "chat"
    with pytest.raises(TypeError):
        align("le chat", "le chat")


def test_a_trace_of_another_call_is_refused():
    tokens = vaskel.tokenize("le chat voit la souris.")
    with capture_trace() as captured:
        tree = vaskel.engine(tokens, RULES)
    assert len(read_chunks(tokens, RULES, tree, captured.data)) == 2
    other = {**RULES, "voit": "VERBE"}
    with pytest.raises(TraceError):
        read_chunks(tokens, other, tree, captured.data)
    with pytest.raises(TraceError):
        read_chunks(tokens, RULES, tree, captured.data + b"lower : 0 ; upper : 1 ; len : 6\n")
    with pytest.raises(TraceError):
        read_chunks(tokens, RULES, tree, captured.data.replace(b"lower : 3", b"lower : 4"))
    with pytest.raises(TraceError):
        read_chunks(tokens[:-1], RULES, tree, captured.data)


# --- IOB and scoring ---------------------------------------------------------------------


def test_to_iob_tags_one_level_and_checks_the_chunks():
    found = [Chunk(1, 0, 0, 2, "A+B", "GN", ("x", "y")), Chunk(1, 1, 3, 4, "C+", "V", ("z",)),
             Chunk(2, 0, 0, 4, "+", "P", ("x", "y", "w", "z"), (0, 1))]
    assert to_iob(5, found) == ["B-GN", "I-GN", "O", "B-V", "O"]
    assert to_iob(["x", "y", "w", "z"], found, level=2) == ["B-P", "I-P", "I-P", "I-P"]
    assert to_iob(2, [], 1) == ["O", "O"]
    with pytest.raises(ValueError, match="outside"):
        to_iob(3, found, level=2)
    with pytest.raises(ValueError, match="overlaps"):
        to_iob(5, found + [Chunk(1, 2, 1, 3, "A+B", "GN", ("y", "w"))])


@pytest.mark.parametrize("tags, expected", [
    (["B-NP", "I-NP", "O", "B-VP"], [(0, 2, "NP"), (3, 4, "VP")]),
    (["I-NP", "I-NP", "B-NP", "I-VP"], [(0, 2, "NP"), (2, 3, "NP"), (3, 4, "VP")]),  # I- opening a chunk
    (["B-NP", "B-NP", "O", "O"], [(0, 1, "NP"), (1, 2, "NP")]),
    ([], []),
])
def test_iob_chunks(tags, expected):
    assert iob_chunks(tags) == expected


def test_score_against_hand_counted_cases():
    gold = [["B-NP", "I-NP", "O", "B-VP", "B-NP"], ["B-NP", "O", "B-PP"]]
    pred = [["B-NP", "I-NP", "O", "B-NP", "B-NP"], ["B-NP", "I-NP", "B-PP"]]
    s = score(gold, pred)
    # gold: NP(0,0-2) VP(0,3-4) NP(0,4-5) NP(1,0-1) PP(1,2-3) = 5
    # pred: NP(0,0-2) NP(0,3-4) NP(0,4-5) NP(1,0-2) PP(1,2-3) = 5; correct: 3
    assert (s.overall.gold, s.overall.predicted, s.overall.correct) == (5, 5, 3)
    assert s.precision == pytest.approx(0.6) and s.recall == pytest.approx(0.6) and s.f1 == pytest.approx(0.6)
    np_ = s.labels["NP"]
    assert (np_.gold, np_.predicted, np_.correct) == (3, 4, 2)
    assert np_.precision == pytest.approx(0.5) and np_.recall == pytest.approx(2 / 3)
    assert np_.f1 == pytest.approx(2 * 0.5 * (2 / 3) / (0.5 + 2 / 3))
    assert (s.labels["VP"].recall, s.labels["VP"].precision, s.labels["PP"].f1) == (0.0, 0.0, 1.0)
    assert s.missed == [(0, 3, 4, "VP"), (1, 0, 1, "NP")]
    assert s.spurious == [(0, 3, 4, "NP"), (1, 0, 2, "NP")]
    assert (s.tokens, s.tokens_correct) == (8, 6)
    table = str(s)
    assert table.splitlines()[0].split() == ["label", "gold", "pred", "correct", "precision", "recall", "F1"]
    assert table.splitlines()[1].split()[:4] == ["overall", "5", "5", "3"] and "60.00%" in table
    assert "missed: sentence 0, tokens 3..3, VP" in table


def test_score_edge_cases():
    s = score([["O", "O"]], [["O", "O"]])
    assert (s.precision, s.recall, s.f1, s.accuracy) == (0.0, 0.0, 0.0, 1.0) and s.labels == {}
    assert score([["B-X"]], [["B-X"]]).f1 == 1.0
    with pytest.raises(ValueError, match="sequence 0"):
        score([["O"]], [["O", "O"]])
    with pytest.raises(ValueError, match="2 gold sequences"):
        score([["O"], ["O"]], [["O"]])
    with pytest.raises(TypeError, match="wrap"):
        score(["O"], ["O"])
    with pytest.raises(ValueError, match="'X'"):
        score([["X"]], [["O"]])


def test_read_conll():
    text = "# comment\nle 0 2 B-GN\nchat\t3 7 I-GN\n\n\n. O\n-DOCSTART- -X- O\nil B-GN\n"
    assert read_conll(text) == [["B-GN", "I-GN"], ["O"], ["B-GN"]]
    with pytest.raises(ValueError, match="line 2"):
        read_conll("le B-GN\nchat 3\n", "f")


# --- text formats --------------------------------------------------------------------------

TEXT = "Le petit chat voit la souris.\nEt le chat dort."


def run(text, rules):
    tokens = vaskel.tokenize(text)
    with capture_trace() as captured:
        tree = vaskel.engine(tokens, rules)
    return tokens, tree, captured.data


def test_json_carries_tokens_offsets_chunks_and_levels():
    tokens, tree, trace = run(TEXT, RULES)
    doc = json.loads(json_document(TEXT, tokens, RULES, tree, trace))
    assert doc["tokens"] == tokens and doc["text"] == TEXT
    assert [TEXT[s:e] for s, e in doc["offsets"]] == tokens
    assert [(c["key"], c["label"], c["tokens"], c["char_start"], c["char_end"]) for c in doc["chunks"]] == [
        ("DET+NOM", "GN", ["la", "souris"], 19, 28), ("DET+NOM", "GN", ["le", "chat"], 33, 40)]
    assert doc["levels"][0] == tokens and doc["levels"][1] == ["DET+NOM", "DET+NOM"]
    assert json_document(TEXT, tokens, RULES, tree, trace.decode()) == to_json(analyse(TEXT, RULES))


def test_conll_one_token_a_line_with_offsets_and_a_column_per_level():
    rules = {**PLUS, "+": "P P", "le": "DET", "Le": "DET"}  # a label holding a space keeps the columns apart
    tokens, tree, trace = run(TEXT, rules)
    out = conll_document(TEXT, tokens, rules, tree, trace)
    assert out.endswith("\n\n") and out.count("\n\n") == 1
    rows = [line.split("\t") for line in out.splitlines() if line]
    assert len(rows) == len(tokens) and all(len(r) == 5 for r in rows)
    assert rows[0] == ["Le", "0", "2", "O", "O"]  # "petit" has no rule here
    assert rows[4] == ["la", "19", "21", "B-GN", "B-P_P"] and rows[5][3:] == ["I-GN", "I-P_P"]
    assert rows[9][3:] == ["I-GN", "I-P_P"] and rows[10][3:] == ["O", "O"]
    assert read_conll(out) == [[r[-1] for r in rows]]
    nothing = to_conll(analyse("rien ici", {"x+y": "G"}))
    assert nothing == "rien\t0\t4\tO\nici\t5\t8\tO\n\n"


def test_vaskel_score_prints_the_table(tmp_path):
    (tmp_path / "gold.conll").write_text("le B-GN\nchat I-GN\ndort O\n\nil B-GN\n", encoding="utf-8")
    (tmp_path / "pred.conll").write_text("le\t0\t2\tB-GN\nchat\t3\t7\tI-GN\ndort\t8\t12\tB-V\n\nil 0 2 O\n",
                                         encoding="utf-8")
    done = run_vaskel("score", tmp_path / "gold.conll", tmp_path / "pred.conll")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    assert lines[1].split()[:4] == ["overall", "2", "2", "1"]
    assert [line.split()[:4] for line in lines[2:4]] == [["GN", "2", "1", "1"], ["V", "0", "1", "0"]]
    assert "missed: sentence 1, tokens 0..0, GN" in done.stdout.decode()
    (tmp_path / "short.conll").write_text("le B-GN\n", encoding="utf-8")
    done = run_vaskel("score", tmp_path / "gold.conll", tmp_path / "short.conll")
    assert done.returncode == 1 and done.stderr.decode().count("\n") == 1 and b"Traceback" not in done.stderr
    done = run_vaskel("score", tmp_path / "gold.conll", tmp_path / "missing.conll")
    assert done.returncode == 1 and b"missing.conll" in done.stderr


# --- exports to other tools ----------------------------------------------------------------


def test_to_nltk_tree():
    nltk = pytest.importorskip("nltk", reason="nltk is not installed (pip install vaskel[nltk])")
    from vaskel_tools import to_nltk

    tokens = vaskel.tokenize("le chat voit la souris.")
    found = chunks(tokens, PLUS)
    tree = to_nltk(tokens, found)
    assert isinstance(tree, nltk.Tree) and tree.label() == "S"
    assert str(tree) == "(S (GN le chat) voit (GN la souris) .)"
    assert tree.leaves() == tokens
    assert str(to_nltk(tokens, found, level=2)) == "(S (P le chat voit la souris) .)"
    assert str(to_nltk(tokens, [], 1)) == "(S le chat voit la souris .)"


def test_to_spacy_doc_with_spans_per_level_and_spacing():
    pytest.importorskip("spacy", reason="spaCy is not installed (pip install vaskel[spacy])")
    from vaskel_tools import to_spacy

    text = "le  chat voit\nla souris."
    tokens = vaskel.tokenize(text)
    found = chunks(tokens, PLUS)
    doc = to_spacy(tokens, found, text=text)
    assert [t.text for t in doc] == tokens and doc.text == "le chat voit la souris."
    assert [(s.start, s.end, s.label_, s.text) for s in doc.spans["vaskel-1"]] == [
        (0, 2, "GN", "le chat"), (3, 5, "GN", "la souris")]
    assert [(s.label_, s.text) for s in doc.spans["vaskel-2"]] == [("P", "le chat voit la souris")]
    bare = to_spacy(tokens, found, vocab=doc.vocab)
    assert bare.text == "le chat voit la souris . " and bare.vocab is doc.vocab


def test_to_dataframe_one_row_per_token():
    pytest.importorskip("pandas", reason="pandas is not installed (pip install vaskel[pandas])")
    from vaskel_tools import to_dataframe

    a = analyse("le chat voit la souris.", PLUS)
    df = to_dataframe(a)
    assert list(df.columns) == ["token", "start", "end", "level_1", "level_2"]
    assert df["token"].tolist() == a.tokens and df["start"].tolist() == [0, 3, 8, 13, 16, 22]
    assert df["level_1"].tolist() == ["B-GN", "I-GN", "O", "B-GN", "I-GN", "O"]
    assert df["level_2"].tolist() == ["B-P", "I-P", "I-P", "I-P", "I-P", "O"]
    assert list(to_dataframe(analyse("rien", RULES)).columns) == ["token", "start", "end", "level_1"]


def test_a_missing_optional_package_says_which_extra(monkeypatch):
    import builtins

    real = builtins.__import__

    def refuse(name, *args, **kwargs):
        if name.split(".")[0] in ("nltk", "pandas", "spacy"):
            raise ImportError(name)
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", refuse)
    import importlib

    monkeypatch.setattr(importlib, "import_module", lambda name, *a: refuse(name))
    from vaskel_tools.export import to_dataframe, to_nltk, to_spacy

    for call, extra in ((lambda: to_nltk([], []), "nltk"), (lambda: to_spacy([], []), "spacy"),
                        (lambda: to_dataframe(analyse("", RULES)), "pandas")):
        with pytest.raises(ImportError, match=rf"pip install vaskel\[{extra}\]"):
            call()


def test_the_new_names_are_listed_and_lazy():
    code = ("import sys, vaskel_tools as t; names = set(dir(t)); "
            "assert {'align', 'chunks', 'analyse', 'to_iob', 'score', 'to_nltk', 'to_spacy', 'to_dataframe', "
            "'Chunk', 'Analysis'} <= names, names; assert 'vaskel' not in sys.modules; "
            "assert callable(t.chunks) and callable(t.score); import vaskel_tools.spans; "
            "assert callable(t.chunks); print('ok')")
    done = run_python(code, timeout=60)
    assert done.stdout == b"ok\n", done.stderr
