"""vaskel.tokenize: worked examples, character classes and properties."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
from model import APOSTROPHES, CLAUSE_MARKS, SENTENCE_MARKS, WHITESPACE
from vaskel import tokenize

ALNUM = [
    "a", "Z", "0", "9", "\xe9", "\xdf", "\u03a9", "\u4e2d",
    "\u0663",      # ARABIC-INDIC DIGIT THREE (Nd)
    "\u216b",      # ROMAN NUMERAL TWELVE (Nl)
    "\xbd",        # VULGAR FRACTION ONE HALF (No)
    "\U00011f00",  # KAWI SIGN CANDRABINDU (Alphabetic since Unicode 15.0)
]
OTHER = [
    "-", "_", "/", "(", ")", '"', "@", "[", "`", "{", "~", "\x7f", "\x00",
    "\x1c", "\x1f",  # separators for str.split(), but not White_Space
    "\u0301",        # combining acute accent, not Alphabetic
    "\u2018", "\u2014", "\u20ac", "\u200b", "\u180e", "\ufeff",
    "\U0002ebf0",    # CJK Extension I: unassigned in Unicode 15.0
    "\U0001f600",
]


def strip_ws(text: str) -> str:
    return "".join(c for c in text if c not in WHITESPACE)


EXAMPLES = [
    ("", []),
    (" \t\n\u3000 ", []),
    ("Bonjour", ["Bonjour"]),
    ("Bonjour ", ["Bonjour"]),
    ("Bonjour le monde.", ["Bonjour", "le", "monde", "."]),
    ("Bonjour le monde. ", ["Bonjour", "le", "monde", "."]),
    ("Il a dit : \xab oui \xbb ! ", ["Il", "a", "dit", ":", "\xab", "oui", "\xbb", "!"]),
    ("l'arbre ", ["l'", "arbre"]),
    ("l\u2019arbre ", ["l\u2019", "arbre"]),
    ("aujourd'hui", ["aujourd'", "hui"]),
    ("Quoi ?! ", ["Quoi", "?!"]),
    ("Quoi... ", ["Quoi", "..."]),
    ("\xabOui\xbb. ", ["\xab", "Oui", "\xbb", "."]),
    ("\xbb.", ["\xbb", "."]),
    ("a - b ", ["a", "-", "b"]),
    ("(, x ", ["(", ",", "x"]),
    ("3,5 ", ["3", ",", "5"]),
    ("3.5 ", ["3", ".", "5"]),
    ("a,, b", ["a", ",", ",", "b"]),
    ("x;y:z", ["x", ";", "y", ":", "z"]),
    ("\u201coui\u201d ", ["\u201c", "oui", "\u201d"]),
    ("a\u2013b", ["a", "\u2013", "b"]),
    ("a\u2014b ", ["a\u2014b"]),
    ("porte-monnaie ", ["porte-monnaie"]),
    ("?- ", ["?-"]),
    ("!-a", ["!-", "a"]),
    ("-.", ["-."]),
    (".a", [".", "a"]),
    # An apostrophe outside a word waits for what follows it.
    (" 'x ", ["'x"]),
    (" ' x ", ["'", "x"]),
    ("l''a", ["l'", "'a"]),
    (".'a", [".", "'a"]),
    (",'a", [",", "'a"]),
    ("'.", ["'", "."]),
    ("x'-y", ["x'", "-y"]),
    # Non-ASCII letters and digits, spaces and marks.
    ("\xe9t\xe9 ", ["\xe9t\xe9"]),
    ("e\u0301te\u0301 ", ["e\u0301te\u0301"]),
    ("\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.", ["\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac", "."]),
    ("\u4e2d\u6587 \u5b57", ["\u4e2d\u6587", "\u5b57"]),
    ("\u0663\u0664,\u0665", ["\u0663\u0664", ",", "\u0665"]),
    ("a\xa0b\u3000c", ["a", "b", "c"]),
    ("a\x1cb ", ["a\x1cb"]),
    # A long ASCII run with marks at every offset of a 16-byte block.
    ("abcdefghijklmnopq-rstuvwxyz0123456789.ABCDEFGHIJKLMNOP,QRSTUVWXYZ ",
     ["abcdefghijklmnopq-rstuvwxyz0123456789", ".", "ABCDEFGHIJKLMNOP", ",", "QRSTUVWXYZ"]),
    ("abcdefghijklmno'pqrstuvwxyzabcdef?ghijklmnopqrstuv\u00e9wxyz",
     ["abcdefghijklmno'", "pqrstuvwxyzabcdef", "?", "ghijklmnopqrstuv\u00e9wxyz"]),
]


@pytest.mark.parametrize(("text", "tokens"), EXAMPLES)
def test_examples(text, tokens):
    assert tokenize(text) == tokens
    assert model.tokenize(text) == tokens


@pytest.mark.parametrize("ws", WHITESPACE)
def test_every_whitespace_separates(ws):
    assert tokenize(f"a{ws}b{ws}") == ["a", "b"]
    assert tokenize(f"l'{ws}.{ws}-{ws}") == ["l'", ".", "-"]


@pytest.mark.parametrize("mark", CLAUSE_MARKS)
def test_clause_mark_is_own_token(mark):
    assert tokenize(f"a{mark}b") == ["a", mark, "b"]
    assert tokenize(f"{mark}{mark}.{mark}") == [mark, mark, ".", mark]


@pytest.mark.parametrize("mark", SENTENCE_MARKS)
def test_sentence_mark_run(mark):
    assert tokenize(f"a{mark}b") == ["a", mark, "b"]
    assert tokenize(f"a{mark}{mark}!?-b") == ["a", f"{mark}{mark}!?-", "b"]


@pytest.mark.parametrize("ap", APOSTROPHES)
def test_apostrophe_ends_word(ap):
    assert tokenize(f"l{ap}a") == [f"l{ap}", "a"]
    assert tokenize(f"{ap}{ap}a{ap}") == [f"{ap}{ap}a{ap}"]


# After a sentence mark, a letter or digit starts a new token while any other
# character joins the run: the context that tells the two classes apart.
@pytest.mark.parametrize("c", ALNUM)
def test_alnum_class(c):
    assert tokenize(f".{c}") == [".", c]
    assert tokenize(f"{c}-{c}.") == [f"{c}-{c}", "."]


@pytest.mark.parametrize("c", OTHER)
def test_other_class(c):
    assert tokenize(f".{c}") == [f".{c}"]
    assert tokenize(f"a{c}b {c}") == [f"a{c}b", c]


def test_result_is_a_fresh_list_of_exact_str():
    text = "un deux"
    first, second = tokenize(text), tokenize(text)
    assert first is not second
    assert all(type(t) is str for t in first)


@pytest.mark.parametrize("unit", ["mot ", "a,", "l'a ", "«x» ", "?!b,", "é’è, "],
                         ids=["words", "clause-marks", "apostrophes", "quotes", "marks", "wide"])
def test_long_texts_match_model(unit):
    # Long enough to be cut in many batches, with every offset of the
    # repeated unit falling at some batch boundary.
    text = "".join(unit[: k % len(unit) + 1] + unit for k in range(3_000))
    assert tokenize(text) == model.tokenize(text)


@pytest.mark.parametrize("cls, members", [
    (model.ALNUM, ALNUM), (model.SPACE, WHITESPACE), (model.SENTENCE, SENTENCE_MARKS),
    (model.CLAUSE, CLAUSE_MARKS), (model.APOSTROPHE, APOSTROPHES), (model.OTHER, OTHER),
], ids=["alnum", "space", "sentence", "clause", "apostrophe", "other"])
def test_model_classes(cls, members):
    # The model classifies the characters drawn below as these lists do.
    assert [c for c in members if model.char_class(c) != cls] == []


KNOWN = st.sampled_from(ALNUM + WHITESPACE + SENTENCE_MARKS + CLAUSE_MARKS + APOSTROPHES + OTHER)
ASCII_WORD = st.text(st.sampled_from("abcxyzABC019-_/@~"), min_size=1, max_size=40)
KNOWN_TEXT = st.lists(st.one_of(KNOWN, KNOWN, ASCII_WORD), max_size=40).map("".join)
ANY_TEXT = st.lists(
    st.one_of(KNOWN, ASCII_WORD, st.characters(blacklist_categories=("Cs",))), max_size=60
).map("".join)


@settings(max_examples=400)
@given(KNOWN_TEXT)
def test_matches_model(text):
    assert tokenize(text) == model.tokenize(text)


@settings(max_examples=400)
@given(ANY_TEXT)
def test_tokens_cover_text_without_whitespace(text):
    tokens = tokenize(text)
    assert "".join(tokens) == strip_ws(text)
    for t in tokens:
        assert t and not any(c in WHITESPACE for c in t)


@given(ANY_TEXT, st.sampled_from(WHITESPACE))
def test_whitespace_boundary_splits_independently(left, ws):
    # No state survives whitespace: tokenizing around a whitespace gives the
    # tokens of both sides.
    right = "fin. l'ami, \xabOK\xbb"
    assert tokenize(left + ws + right) == tokenize(left) + tokenize(right)
