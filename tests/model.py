"""A plain-Python model of vaskel, written straight from the behaviour the
module promises: the tokenizer, the rule engine with its trace, the navigation
of trees, the XML writer and the export of a tree to XML.

Trees are lists of levels, level 0 first, each level a list of node tuples
(data, level, index, children), the form that _vaskel_testing.make_tree takes.
XML elements are tuples (name, [(attr, value), ...], [children], text or None),
the form that _vaskel_testing.xml_pretty takes. An internal failure of the
module is a ModelFailure carrying the same message.

Nothing here is tuned for speed: every rule is followed as it reads.
"""

import unicodedata

# Levels and indices are unsigned 32-bit numbers: this is the largest.
LARGEST_INDEX = 4294967295


class ModelFailure(Exception):
    """An internal failure: `message` is what PanicException carries, `lines`
    the diagnostic lines written to standard output before it happened."""

    def __init__(self, message, lines=()):
        super().__init__(message)
        self.message = message
        self.lines = list(lines)


def oob(length, index):
    """Message of the index-out-of-range failure."""
    return f"index out of bounds: the len is {length} but the index is {index}"


CYCLE = "decapsulate: the recorded levels of the tree form a cycle"


# ---------------------------------------------------------------- tokenizer

# Unicode White_Space: the characters that end a token.
WHITESPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\x20", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
SENTENCE_MARKS = ["!", ".", "?"]
CLAUSE_MARKS = [",", ":", ";", "\xab", "\xbb", "\u2013", "\u201c", "\u201d"]
APOSTROPHES = ["'", "\u2019"]

# Letters that the module's Unicode 15.0 tables know but the interpreter's
# older unicodedata does not.
ALPHABETIC_SINCE_15 = frozenset(["\U00011f00"])

ALNUM, SPACE, SENTENCE, CLAUSE, APOSTROPHE, OTHER = "Alnum", "Space", "Sentence", "Clause", "Apostrophe", "Other"


def _after_15_0(c):
    # Letters assigned after Unicode 15.0 (CJK Extension I, in 15.1) are not
    # letters in vaskel's tables; newer interpreters know them.
    return 0x2EBF0 <= ord(c) <= 0x2EE5D


def char_class(c):
    """Class of one character. Above ASCII, letters and numbers are taken from
    unicodedata's general category; characters that are Alphabetic without
    being letters (Other_Alphabetic marks and symbols) are outside what this
    model knows, and so are characters whose class changed between the
    interpreter's Unicode version and 15.0 (other than those listed above)."""
    if c.isascii():
        if c.isalnum():
            return ALNUM
    elif c in ALPHABETIC_SINCE_15 or (unicodedata.category(c)[0] in "LN" and not _after_15_0(c)):
        return ALNUM
    if c in WHITESPACE:
        return SPACE
    if c in SENTENCE_MARKS:
        return SENTENCE
    if c in CLAUSE_MARKS:
        return CLAUSE
    if c in APOSTROPHES:
        return APOSTROPHE
    return OTHER


GAP, WORD, MARK, AFTER = "Gap", "Word", "SentenceMark", "AfterMark"

# (state, class) -> (actions, next state); "a" append, "f" flush, "e" emit.
TRANSITIONS = {
    GAP: {ALNUM: ("a", WORD), SPACE: ("f", GAP), SENTENCE: ("a", MARK),
          CLAUSE: ("fe", AFTER), APOSTROPHE: ("a", AFTER), OTHER: ("a", GAP)},
    WORD: {ALNUM: ("a", WORD), SPACE: ("f", GAP), SENTENCE: ("fa", MARK),
           CLAUSE: ("fe", AFTER), APOSTROPHE: ("af", AFTER), OTHER: ("a", WORD)},
    MARK: {ALNUM: ("fa", WORD), SPACE: ("f", GAP), SENTENCE: ("a", MARK),
           CLAUSE: ("fe", AFTER), APOSTROPHE: ("fa", AFTER), OTHER: ("a", MARK)},
    AFTER: {ALNUM: ("a", WORD), SPACE: ("f", GAP), SENTENCE: ("fa", MARK),
            CLAUSE: ("fe", AFTER), APOSTROPHE: ("a", AFTER), OTHER: ("a", AFTER)},
}


def tokenize(text):
    out, buf, state = [], "", GAP
    for c in text:
        actions, state = TRANSITIONS[state][char_class(c)]
        for action in actions:
            if action == "a":
                buf += c
            elif action == "e":
                out.append(c)
            else:  # a flush outputs only a non-empty token
                if buf:
                    out.append(buf)
                buf = ""
    if buf:
        out.append(buf)
    return out


# ---------------------------------------------------------------- engine

def bounds_line(lower, upper, n):
    return f"lower : {lower} ; upper : {upper} ; len : {n}"


_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
_NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}


def _quote_char(c):
    if c in _SHORT_ESCAPES:
        return _SHORT_ESCAPES[c]
    category = unicodedata.category(c)
    # Mn and Me stand for the characters that extend the one before them.
    if (category in _NOT_PRINTABLE and c != " ") or category in ("Mn", "Me"):
        return "\\u{%x}" % ord(c)
    return c


def quote_list(texts):
    """The report line of a pass: the matched texts in list notation."""
    return "[" + ", ".join('"' + "".join(map(_quote_char, t)) + '"' for t in texts) + "]"


def engine(tokens, ruleset):
    """Trace lines and levels of (data, level, index, children) of one run."""
    lines, single, multi, max_parts = [], {}, set(), 1
    for key, value in ruleset.items():
        pieces = key.count("+") + 1
        if pieces >= 2:
            multi.add(key)
            max_parts = max(max_parts, pieces)
        else:
            lines.append(f"{key} : {value}")
            single[key] = value
    levels = [[(t, 0, k, []) for k, t in enumerate(tokens)]]
    while True:
        if len(levels) > 64:
            raise ModelFailure("engine did not stop", lines)
        labels = [single.get(node[0], "") for node in levels[-1]]
        n, matches, offset = len(labels), [], 0
        if n and max_parts >= 2:
            for i in range(n):
                k = max_parts
                while k > 1:
                    lower = offset + i
                    upper = lower + k - 1
                    lines.append(bounds_line(lower, upper, n))
                    if upper > n:
                        break
                    text = "+".join(labels[lower:upper])
                    lines.append(text)
                    k -= 1
                    if text in multi:
                        matches.append(text)
                        offset += k
        lines.append(quote_list(matches))
        lvl = len(levels)
        levels.append([(m, lvl, j, [j]) for j, m in enumerate(matches)] or [("0", lvl, 0, [])])
        if len(matches) < 2:
            return lines, levels


# ---------------------------------------------------------------- navigation

DATA, LEVEL, INDEX, CHILDREN = range(4)


def level_below(lvl):
    """The level that holds the children of a node of level `lvl`: the one
    below it. Level 0 has no level below: the children of a leaf that lists
    some are looked for on level 4294967295, the largest index, which no tree
    has, so the failure names 4294967295, and so does the node line that
    to_xml prints for the first of those children just before it."""
    return lvl - 1 if lvl > 0 else LARGEST_INDEX


def node_at(levels, lvl, i):
    if lvl >= len(levels):
        raise ModelFailure(oob(len(levels), lvl))
    if i >= len(levels[lvl]):
        raise ModelFailure(oob(len(levels[lvl]), i))
    return levels[lvl][i]


def get_children(levels, lvl, i):
    node = node_at(levels, lvl, i)
    if not node[CHILDREN]:
        return []
    below = level_below(lvl)
    if below >= len(levels):
        raise ModelFailure(oob(len(levels), below))
    lower = levels[below]
    out = []
    for c in node[CHILDREN]:
        if c >= len(lower):
            raise ModelFailure(oob(len(lower), c))
        out.append(lower[c])
    return out


def decapsulate(levels, lvl, i):
    limit = sum(len(level) for level in levels)

    def walk(lvl, i, depth):
        if lvl == 0:
            return []
        node = node_at(levels, lvl, i)
        # Nesting deeper than the tree has nodes means some node is being
        # expanded inside itself: the walk would never end.
        if depth > limit:
            raise ModelFailure(CYCLE)
        lower = levels[lvl - 1]
        out = []
        for c in node[CHILDREN]:
            if c >= len(lower):
                raise ModelFailure(oob(len(lower), c))
            child = lower[c]
            if child[LEVEL] == 0:
                out.append(child)
            else:
                out += walk(child[LEVEL], child[INDEX], depth + 1)
        return out

    return walk(lvl, i, 1)


def concat(levels, lvl, i, sep):
    return sep.join(node[DATA] for node in decapsulate(levels, lvl, i))


def subtree(levels, lvl, i):
    current = [node_at(levels, lvl, i)]
    collected = []
    for counter in range(lvl, 0, -1):
        collected.append(current)
        current = [c for m in current for c in get_children(levels, counter, m[INDEX])]
    collected.append(current)
    return collected[::-1]


# ---------------------------------------------------------------- XML writer

CD_OPEN, CD_CLOSE = "<![CDATA[", "]]>"


# XML 1.0 cannot carry these, not even as character references: the writer
# puts U+FFFD REPLACEMENT CHARACTER in their place, wherever it escapes.
UNWRITABLE = [chr(c) for c in range(0x20) if chr(c) not in "\t\n\r"] + ["\ufffe", "\uffff"]


def xml_safe(s):
    for ch in UNWRITABLE:
        s = s.replace(ch, "\ufffd")
    return s


def escape_text(s):
    s = xml_safe(s)
    for ch, ent in (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ("'", "&apos;"), ('"', "&quot;")):
        s = s.replace(ch, ent)
    return s


def escape_attr(s):
    s = escape_text(s)
    for ch, ent in (("\n", "&#10;"), ("\r", "&#13;"), ("\t", "&#9;")):
        s = s.replace(ch, ent)
    return s


def split_cdata(text):
    start = text.find(CD_OPEN)
    if start < 0:
        return text, None
    close = text.find(CD_CLOSE, start)
    if close < 0:
        return text, None
    end = close + len(CD_CLOSE)
    return text[:start], (text[start:end], text[end:])


def pretty(element, newline="\n", indent="\t"):
    """An element's text, built in full and then re-cut by every ancestor."""
    name, attrs, kids, text = element
    out = "<" + name + "".join(f' {a}="{escape_attr(v)}"' for a, v in attrs)
    if not kids and text is None:
        return out + "/>"
    content = "".join(pretty(k, newline, indent) + newline for k in kids)
    if text is not None:
        before, rest = split_cdata(text)
        content += escape_text(before)
        if rest is not None:
            content += xml_safe(rest[0]) + escape_text(rest[1])
    lines = content.split("\n")
    if lines[-1] == "":
        lines.pop()
    lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    return out + ">" + "".join(newline + indent + line for line in lines) + newline + "</" + name + ">"


# ---------------------------------------------------------------- tree to XML

def node_line(lvl, i):
    return f"lvl : {lvl} ; i : {i}"


def to_xml(levels):
    """The XML text of a tree and the node lines printed while building it."""
    lines = []

    def element(lvl, i):
        lines.append(node_line(lvl, i))
        try:
            node = node_at(levels, lvl, i)
        except ModelFailure as failure:
            raise ModelFailure(failure.message, lines) from None
        if lvl == 0:
            attrs, text = [], node[DATA]
        else:
            attrs, text = [("type", node[DATA])], None
        return ("chunk", attrs, [element(level_below(lvl), c) for c in node[CHILDREN]], text)

    if not levels:
        raise ModelFailure(oob(0, 0))
    root = ("test", [], [element(node[LEVEL], node[INDEX]) for node in levels[-1]], None)
    return pretty(root, "\n", "\t"), lines


class Tree:
    """The functions above as methods of a tree of levels, called like those
    of vaskel.Tree; subtree gives a Tree again."""

    def __init__(self, levels):
        self.levels = levels

    def get_children(self, lvl, i):
        return get_children(self.levels, lvl, i)

    def decapsulate(self, lvl, i):
        return decapsulate(self.levels, lvl, i)

    def concat(self, lvl, i, sep):
        return concat(self.levels, lvl, i, sep)

    def subtree(self, lvl, i):
        return Tree(subtree(self.levels, lvl, i))

    def to_xml(self):
        return to_xml(self.levels)
