"""The tokenizer's finite-state transducer written in plain Python.

It is the reference point "same algorithm, no native code" of the benchmark,
and bench.py checks that it gives exactly vaskel.tokenize's tokens on the
corpus. The transducer reads the text once; each character gets one of six
classes and the pair (state, class) selects the actions and the next state:

    state          Alnum     Space   SentenceMark  ClauseMark  Apostrophe  Other
    Gap            A  Word   F Gap   A   SentM     F,E After   A   After   A Gap
    Word           A  Word   F Gap   F,A SentM     F,E After   A,F After   A Word
    SentenceMark   F,A Word  F Gap   A   SentM     F,E After   F,A After   A SentM
    AfterMark      A  Word   F Gap   F,A SentM     F,E After   A   After   A After

A appends the character to the pending token, F outputs the pending token if
it is not empty and empties it, E outputs the character as a token of its
own. At the end of the text the pending token is flushed. The pending token
is always a slice of the text, so it is kept as its start offset.

Character classes of non-ASCII characters come from the unicodedata module:
letters and numbers (general categories L* and N*) are Alnum, which is the
Unicode Alphabetic-or-Number test except for the few combining marks that are
Alphabetic (none of which occur in the corpus; bench.py checks the tokens).
"""

from __future__ import annotations

import unicodedata

ALNUM, SPACE, SENTENCE, CLAUSE, APOSTROPHE, OTHER = range(6)
WORD, SENTM, AFTER, GAP = range(4)

# Actions, applied in this order: flush before, append, flush after (the
# character included), emit the character alone.
A, FA, AF, F, FE = "A", "FA", "AF", "F", "FE"

TABLE = {
    GAP: [(A, WORD), (F, GAP), (A, SENTM), (FE, AFTER), (A, AFTER), (A, GAP)],
    WORD: [(A, WORD), (F, GAP), (FA, SENTM), (FE, AFTER), (AF, AFTER), (A, WORD)],
    SENTM: [(FA, WORD), (F, GAP), (A, SENTM), (FE, AFTER), (FA, AFTER), (A, SENTM)],
    AFTER: [(A, WORD), (F, GAP), (FA, SENTM), (FE, AFTER), (A, AFTER), (A, AFTER)],
}

WHITE_SPACE = set("\t\n\v\f\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)
}
CLAUSE_MARKS = set(",:;\u00ab\u00bb\u2013\u201c\u201d")
APOSTROPHES = set("'\u2019")


def char_class(c: str) -> int:
    if c in WHITE_SPACE:
        return SPACE
    if c in "!.?":
        return SENTENCE
    if c in CLAUSE_MARKS:
        return CLAUSE
    if c in APOSTROPHES:
        return APOSTROPHE
    if c < "\x80":
        return ALNUM if c.isalnum() else OTHER
    return ALNUM if unicodedata.category(c)[0] in "LN" else OTHER


def tokenize(text: str) -> list[str]:
    out: list[str] = []
    classes: dict[str, int] = {}
    state = GAP
    start = 0  # the pending token is text[start:pos]
    for pos, c in enumerate(text):
        cls = classes.get(c)
        if cls is None:
            cls = classes[c] = char_class(c)
        action, state_next = TABLE[state][cls]
        if action == "A":
            pass
        elif action == "F":
            if pos > start:
                out.append(text[start:pos])
            start = pos + 1
        elif action == "FA":
            if pos > start:
                out.append(text[start:pos])
            start = pos
        elif action == "AF":
            out.append(text[start : pos + 1])
            start = pos + 1
        else:  # FE
            if pos > start:
                out.append(text[start:pos])
            out.append(c)
            start = pos + 1
        state = state_next
    if len(text) > start:
        out.append(text[start:])
    return out
