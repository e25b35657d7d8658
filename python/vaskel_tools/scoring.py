"""Score chunks against gold data, both given as IOB tag sequences.

A chunk is a run of tags that begins with "B-X", or with an "I-X" that does
not continue a chunk of label X, and goes on over the "I-X" that follow. A
predicted chunk counts as correct when a gold chunk of the same sentence has
the same first token, the same last token and the same label.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

__all__ = ["LabelScore", "Score", "iob_chunks", "read_conll", "score"]

Span = tuple[int, int, int, str]  # sentence, start, end (exclusive), label


def iob_chunks(tags: Sequence[str]) -> list[tuple[int, int, str]]:
    """The chunks of one IOB sequence: (start, end exclusive, label)."""
    out: list[tuple[int, int, str]] = []
    start = -1
    label = ""
    for i, tag in enumerate(list(tags) + ["O"]):
        if not isinstance(tag, str):
            raise TypeError(f"tag {i} is a {type(tag).__name__}, not a str")
        if tag == "O":
            kind, name = "O", ""
        elif tag[:2] in ("B-", "I-"):
            kind, name = tag[0], tag[2:]
        else:
            raise ValueError(f"tag {i} {tag!r} is not 'O', 'B-label' or 'I-label'")
        if start >= 0 and not (kind == "I" and name == label):
            out.append((start, i, label))
            start = -1
        if kind == "B" or (kind == "I" and start < 0):
            start, label = i, name
    return out


def _spans(sequences: Sequence[Sequence[str]]) -> list[Span]:
    return [(s, a, b, label) for s, tags in enumerate(sequences) for a, b, label in iob_chunks(tags)]


def _ratio(part: int, whole: int) -> float:
    return part / whole if whole else 0.0


def _f1(p: float, r: float) -> float:
    return 2 * p * r / (p + r) if p + r else 0.0


@dataclass(frozen=True)
class LabelScore:
    label: str
    gold: int
    predicted: int
    correct: int

    @property
    def precision(self) -> float:
        return _ratio(self.correct, self.predicted)

    @property
    def recall(self) -> float:
        return _ratio(self.correct, self.gold)

    @property
    def f1(self) -> float:
        return _f1(self.precision, self.recall)


@dataclass(frozen=True)
class Score:
    """Precision, recall and F1 overall (``overall``) and per label (``labels``);
    ``missed`` the gold chunks not predicted, ``spurious`` the predicted chunks
    not in the gold data, each as (sentence, start, end, label)."""

    overall: LabelScore
    labels: dict[str, LabelScore]
    missed: list[Span] = field(default_factory=list)
    spurious: list[Span] = field(default_factory=list)
    tokens: int = 0
    tokens_correct: int = 0  # tokens whose tag is the same in both

    @property
    def precision(self) -> float:
        return self.overall.precision

    @property
    def recall(self) -> float:
        return self.overall.recall

    @property
    def f1(self) -> float:
        return self.overall.f1

    @property
    def accuracy(self) -> float:
        """The share of tokens tagged as in the gold data."""
        return _ratio(self.tokens_correct, self.tokens)

    def __str__(self) -> str:
        rows = [self.overall] + [self.labels[k] for k in sorted(self.labels)]
        width = max([len("label")] + [len(r.label) for r in rows])
        lines = [f"{'label':<{width}}  {'gold':>6}  {'pred':>6}  {'correct':>7}  "
                 f"{'precision':>9}  {'recall':>7}  {'F1':>7}"]
        for r in rows:
            lines.append(f"{r.label:<{width}}  {r.gold:>6}  {r.predicted:>6}  {r.correct:>7}  "
                         f"{r.precision:>9.2%}  {r.recall:>7.2%}  {r.f1:>7.2%}")
        lines.append(f"token accuracy: {self.accuracy:.2%} ({self.tokens_correct} of {self.tokens} tokens); "
                     f"{len(self.missed)} missed, {len(self.spurious)} spurious")
        for name, spans in (("missed", self.missed), ("spurious", self.spurious)):
            for s, a, b, label in spans[:20]:
                lines.append(f"  {name}: sentence {s}, tokens {a}..{b - 1}, {label}")
            if len(spans) > 20:
                lines.append(f"  … {len(spans) - 20} more {name}")
        return "\n".join(lines)


def score(gold: Sequence[Sequence[str]], predicted: Sequence[Sequence[str]]) -> Score:
    """Scores ``predicted`` against ``gold``: two lists of IOB sequences, one per
    sentence or document, of the same lengths."""
    if isinstance(gold, str) or isinstance(predicted, str):
        raise TypeError("gold and predicted are lists of IOB sequences, not str")
    gold, predicted = list(gold), list(predicted)
    if gold and isinstance(gold[0], str) and predicted and isinstance(predicted[0], str):
        raise TypeError("gold and predicted are lists of IOB sequences (one per sentence): wrap one "
                        "sequence in a list")
    if len(gold) != len(predicted):
        raise ValueError(f"{len(gold)} gold sequences but {len(predicted)} predicted ones")
    tokens = correct_tokens = 0
    for s, (g, p) in enumerate(zip(gold, predicted)):
        if len(g) != len(p):
            raise ValueError(f"sequence {s}: {len(g)} gold tags but {len(p)} predicted ones")
        tokens += len(g)
        correct_tokens += sum(a == b for a, b in zip(g, p))
    gold_spans, pred_spans = _spans(gold), _spans(predicted)
    gold_set, pred_set = set(gold_spans), set(pred_spans)
    names = sorted({span[3] for span in gold_spans + pred_spans})

    def count(spans: Iterable[Span], label: str | None) -> int:
        return sum(1 for span in spans if label is None or span[3] == label)

    hits = gold_set & pred_set
    labels = {name: LabelScore(name, count(gold_spans, name), count(pred_spans, name), count(hits, name))
              for name in names}
    overall = LabelScore("overall", len(gold_spans), len(pred_spans), len(hits))
    missed = [span for span in gold_spans if span not in pred_set]
    spurious = [span for span in pred_spans if span not in gold_set]
    return Score(overall, labels, missed, spurious, tokens, correct_tokens)


def read_conll(text: str, name: str = "<text>") -> list[list[str]]:
    """The IOB tags of a CoNLL-style text: whitespace-separated columns, the
    last one the tag; a blank line between sentences. Lines starting with
    "#" are comments; a "-DOCSTART-" line (CoNLL-2003) ends a sentence and
    is no token."""
    sentences: list[list[str]] = []
    current: list[str] = []
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("#"):
            continue
        columns = line.split()
        if not columns or columns[0] == "-DOCSTART-":
            if current:
                sentences.append(current)
                current = []
            continue
        tag = columns[-1]
        if tag != "O" and tag[:2] not in ("B-", "I-"):
            raise ValueError(f"{name}, line {number}: the last column {tag!r} is not an IOB tag")
        current.append(tag)
    if current:
        sentences.append(current)
    return sentences
