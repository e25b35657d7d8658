"""vaskel's benchmark suite: every comparison side by side in one process.

Run through bench/run.sh, which prepares the environment, the corpus and the
C floor program. Each comparison runs its contenders in turn, repetition after
repetition (interleaved, so that a slow spell of the machine hits all of them
alike), and reports the median of each; a ratio is vaskel's median divided by
the other one's. The last line printed is one JSON object with all ratios and
the goals they are checked against.

    python bench/bench.py [--reps 7] [--floor bench/.work/write_floor] [--only engine,to_xml]

Diagnostic output of vaskel (the engine's trace, to_xml's node lines) goes
straight to file descriptor 1: around each timed call, fd 1 is pointed at
/dev/null with os.dup2 and restored afterwards.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import time
import timeit
from contextlib import contextmanager, nullcontext
from pathlib import Path
from typing import Callable

# The peers import numpy, whose OpenBLAS starts a pool of threads, and they
# never use it here. Keep the process single-threaded: in a process with more
# than one thread every write(2) costs more (the kernel locks the shared file
# table and position), which would tax vaskel's trace lines, but not the
# single-threaded C floor they are compared with.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import vaskel  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import pure_tokenizer  # noqa: E402
import rules_fr  # noqa: E402

CORPUS = HERE / "corpus" / "fr.txt"
WORK = HERE / ".work"

ENGINE_TOKENS = 200_000
XML_LEAVES = 200_000
MEMORY_TOKENS = 1_000_000
GROWTH_SIZES = (10_000, 100_000, 1_000_000)


# ---------------------------------------------------------------- helpers


@contextmanager
def stdout_to(path: str):
    """Points file descriptor 1 at `path` for the block."""
    sys.stdout.flush()
    saved = os.dup(1)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(fd, 1)
    os.close(fd)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def timed_quiet(fn: Callable[[], object]) -> float:
    """Wall time of fn() with fd 1 at /dev/null; the result is dropped
    after the clock stops."""
    gc.collect()
    with stdout_to(os.devnull):
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
    del result
    return elapsed


def timed(fn: Callable[[], object]) -> float:
    gc.collect()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def thread_count() -> int:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return 1


def floor_run(floor: str, mode: str, path: Path, out: Path | None = None) -> float:
    """One repetition of the C floor; it reports its own loop time."""
    argv = [floor, mode, str(path), "1"] + ([str(out)] if out else [])
    done = subprocess.run(argv, capture_output=True, text=True, check=True)
    return float(done.stdout.split()[-1])


class Section:
    """Interleaved repetitions of named contenders."""

    def __init__(self, title: str) -> None:
        self.title = title
        self.samples: dict[str, list[float]] = {}

    def add(self, name: str, seconds: float) -> None:
        self.samples.setdefault(name, []).append(seconds)

    def median(self, name: str) -> float:
        return statistics.median(self.samples[name])


ROWS: list[tuple[str, str, str, str]] = []
RATIOS: dict[str, float] = {}
GOALS: dict[str, str] = {}
NOTES: list[str] = []


def row(what: str, value: str, ratio: str = "", goal: str = "") -> None:
    ROWS.append((what, value, ratio, goal))


def ratio(key: str, value: float, goal: str | None, what: str) -> None:
    RATIOS[key] = round(value, 4)
    if goal is not None:
        GOALS[key] = goal
    row(what, "", f"{value:.3f}", goal_text(key, value, goal))


def meets(value: float, goal: str) -> bool:
    """goal is an operator and a number: "<= 1.15", "< 1", ">= 1.7"."""
    op, bound = goal.split()
    checks = {"<=": float.__le__, "<": float.__lt__, ">=": float.__ge__, ">": float.__gt__}
    return bool(checks[op](float(value), float(bound)))


def goal_text(key: str, value: float, goal: str | None) -> str:
    if goal is None:
        return "(report)"
    return f"{goal}  {'met' if meets(value, goal) else 'NOT MET'}"


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:10.2f} ms"


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- peers


def load_peers() -> dict[str, Callable[[str], list[str]]]:
    """Tokenizers of other libraries; a missing one is skipped with a note."""
    peers: dict[str, Callable[[str], list[str]]] = {}
    try:
        import spacy

        nlp = spacy.blank("fr")

        def spacy_tokens(text: str) -> list[str]:
            # The tokenizer is called on pieces of about 100,000 characters
            # cut at line ends (the pipeline refuses texts over its
            # max_length; the bare tokenizer has no limit, but pieces keep
            # its memory flat).
            out: list[str] = []
            pos = 0
            while pos < len(text):
                end = text.find("\n", pos + 100_000)
                end = len(text) if end < 0 else end + 1
                out.extend(t.text for t in nlp.tokenizer(text[pos:end]))
                pos = end
            return out

        peers["spaCy blank('fr') tokenizer"] = spacy_tokens
    except Exception as e:  # noqa: BLE001 - any failure to import means skip
        NOTES.append(f"spaCy skipped: {type(e).__name__}: {e}")
    try:
        import blingfire

        peers["blingfire text_to_words + split"] = lambda text: blingfire.text_to_words(text).split()
    except Exception as e:  # noqa: BLE001
        NOTES.append(f"blingfire skipped: {type(e).__name__}: {e}")
    try:
        from nltk.tokenize import ToktokTokenizer

        toktok = ToktokTokenizer()
        peers["NLTK ToktokTokenizer"] = toktok.tokenize
    except Exception as e:  # noqa: BLE001
        NOTES.append(f"NLTK ToktokTokenizer skipped: {type(e).__name__}: {e}")
    word = re.compile(r"\w+['’]?|[.!?]+|[^\w\s]")
    peers["re.findall one-liner"] = word.findall
    return peers


PEER_KEYS = {
    "spaCy blank('fr') tokenizer": "tokenize_vs_spacy",
    "blingfire text_to_words + split": "tokenize_vs_blingfire",
    "NLTK ToktokTokenizer": "tokenize_vs_nltk_toktok",
    "re.findall one-liner": "tokenize_vs_regex",
}


# ---------------------------------------------------------------- sections


def bench_tokenize(text: str, tokens: list[str], reps: int) -> None:
    say("tokenize ...")
    if pure_tokenizer.tokenize(text) != tokens:
        sys.exit("pure_tokenizer.tokenize differs from vaskel.tokenize on the corpus")
    NOTES.append("pure_tokenizer.py gives the same tokens as vaskel.tokenize on the corpus")
    peers = load_peers()
    s = Section("tokenize")
    contenders: dict[str, Callable[[], object]] = {
        "vaskel.tokenize": lambda: vaskel.tokenize(text),
        "str.split()": lambda: text.split(),
        "pure-Python transducer": lambda: pure_tokenizer.tokenize(text),
    }
    for name, fn in peers.items():
        contenders[name] = (lambda f: (lambda: f(text)))(fn)
    # Contenders over ten times slower than vaskel get at most 3 repetitions.
    slow = {"pure-Python transducer", "spaCy blank('fr') tokenizer", "NLTK ToktokTokenizer"}
    for r in range(reps):
        for name, fn in contenders.items():
            if name in slow and r >= min(reps, 3):
                continue
            s.add(name, timed(fn))
    mb = len(text.encode("utf-8")) / 1e6
    row(f"tokenize: corpus {mb:.1f} MB, {len(tokens):,} tokens", "")
    v = s.median("vaskel.tokenize")
    for name in contenders:
        n = len(s.samples[name])
        row(f"  {name} ({n} reps)", ms(s.median(name)), f"{v / s.median(name):.3f}" if name != "vaskel.tokenize" else "")
    ratio("tokenize_vs_split", v / s.median("str.split()"), "<= 1.5", "  vaskel / str.split()")
    for name, key in PEER_KEYS.items():
        if name in contenders:
            ratio(key, v / s.median(name), "< 1", f"  vaskel / {name}")
    ratio("tokenize_vs_pure_python", v / s.median("pure-Python transducer"), None, "  vaskel / pure-Python transducer")


def nltk_chunker():
    """NLTK's RegexpParser with a two-stage grammar equivalent to the chunk
    rules of rules_fr: noun groups and verb groups first, then prepositional
    groups over a preposition and a noun group (or a bare noun)."""
    from nltk import RegexpParser

    grammar = r"""
        GN: {<DET><ADJ><NOM>|<DET><NOM><ADJ>|<DET><NOM>|<ADJ><NOM>}
        GV: {<PRON><ADV>?<VERB>|<VERB><ADV>}
        GP: {<PREP><GN>|<PREP><NOM>}
    """
    return RegexpParser(grammar)


def bench_engine(tokens: list[str], reps: int, floor: str) -> None:
    say("engine ...")
    toks = tokens[:ENGINE_TOKENS]
    rules = rules_fr.ruleset()
    trace = WORK / "engine_trace.txt"
    with stdout_to(str(trace)):
        tree = vaskel.engine(toks, rules)
    levels = [len(level) for level in tree.data]
    del tree
    lines = trace.read_bytes().split(b"\n")[:-1]
    with_lf = [line + b"\n" for line in lines]
    null = os.open(os.devnull, os.O_WRONLY)

    def python_loop() -> None:
        write = os.write
        for line in with_lf:
            write(null, line)

    s = Section("engine")
    contenders: dict[str, Callable[[], float]] = {
        "vaskel.engine": lambda: timed_quiet(lambda: vaskel.engine(toks, rules)),
        "C floor: one write(2) per trace line": lambda: floor_run(floor, "lines", trace),
        "Python loop of os.write per trace line": lambda: timed(python_loop),
    }
    chunker = None
    try:
        chunker = nltk_chunker()
        lexicon = rules_fr.lexicon()
        tagged = [(t, lexicon.get(t, "X")) for t in toks]
        sentences: list[list[tuple[str, str]]] = []
        current: list[tuple[str, str]] = []
        for pair in tagged:
            current.append(pair)
            if pair[0] and pair[0][0] in ".!?":
                sentences.append(current)
                current = []
        if current:
            sentences.append(current)
        contenders["NLTK RegexpParser, same chunks, per sentence"] = lambda: timed(
            lambda: [chunker.parse(sent) for sent in sentences]
        )
    except Exception as e:  # noqa: BLE001
        NOTES.append(f"NLTK RegexpParser skipped: {type(e).__name__}: {e}")
    if thread_count() > 1:
        NOTES.append(f"engine timed in a process of {thread_count()} threads: write(2) costs more than in the floor")
    for _ in range(reps):
        for name, fn in contenders.items():
            s.add(name, fn())
    os.close(null)
    row(f"engine: {len(toks):,} tokens, {len(rules)} rules, levels {levels}, {len(lines):,} trace lines", "")
    v = s.median("vaskel.engine")
    for name in contenders:
        row(f"  {name}", ms(s.median(name)), f"{v / s.median(name):.3f}" if name != "vaskel.engine" else "")
    ratio("engine_vs_write_floor", v / s.median("C floor: one write(2) per trace line"), "<= 1.15",
          "  vaskel / C floor")
    ratio("engine_vs_python_write_loop", v / s.median("Python loop of os.write per trace line"), None,
          "  vaskel / Python os.write loop")
    if chunker is not None:
        ratio("engine_vs_nltk_regexp_parser", v / s.median("NLTK RegexpParser, same chunks, per sentence"),
              None, "  vaskel / NLTK RegexpParser")


def etree_xml(leaves: list[str]) -> str:
    """The same document with xml.etree.ElementTree: each leaf's text holds
    the line breaks and tabs that vaskel writes around it, ET.indent lays out
    the rest. ET escapes only & < > in text (vaskel also ' and "), so the
    texts differ only there."""
    import xml.etree.ElementTree as ET

    root = ET.Element("test")
    for leaf in leaves:
        ET.SubElement(root, "chunk").text = "\n\t\t" + leaf + "\n\t"
    ET.indent(root, space="\t")
    return ET.tostring(root, encoding="unicode")


def bench_to_xml(tokens: list[str], reps: int, floor: str) -> None:
    say("to_xml ...")
    leaves = tokens[:XML_LEAVES]
    tree = vaskel.Tree(leaves)
    leaves_file = WORK / "xml_leaves.txt"
    leaves_file.write_text("".join(leaf + "\n" for leaf in leaves), encoding="utf-8")
    floor_out = WORK / "xml_floor_output.xml"
    with stdout_to(os.devnull):
        xml = tree.to_xml()
    floor_run(floor, "xml", leaves_file, floor_out)
    if floor_out.read_text(encoding="utf-8") != xml:
        sys.exit("the C floor's XML differs from Tree.to_xml()")
    et = etree_xml(leaves)
    if et != xml.replace("&apos;", "'").replace("&quot;", '"'):
        sys.exit("the ElementTree document differs from Tree.to_xml()")
    NOTES.append("to_xml: the C floor's text equals Tree.to_xml(); ElementTree's equals it up to ' and \" escaping")
    del xml, et
    s = Section("to_xml")
    contenders: dict[str, Callable[[], float]] = {
        "vaskel Tree.to_xml": lambda: timed_quiet(tree.to_xml),
        "C floor: node lines + one-pass XML": lambda: floor_run(floor, "xml", leaves_file),
        "xml.etree: build, indent, tostring": lambda: timed(lambda: etree_xml(leaves)),
    }
    for _ in range(reps):
        for name, fn in contenders.items():
            s.add(name, fn())
    row(f"to_xml: Tree of {len(leaves):,} leaves", "")
    v = s.median("vaskel Tree.to_xml")
    for name in contenders:
        row(f"  {name}", ms(s.median(name)), f"{v / s.median(name):.3f}" if name != "vaskel Tree.to_xml" else "")
    ratio("to_xml_vs_floor", v / s.median("C floor: node lines + one-pass XML"), "<= 1.15", "  vaskel / C floor")
    ratio("to_xml_vs_etree", v / s.median("xml.etree: build, indent, tostring"), "< 1", "  vaskel / ElementTree")


class SlotsNode:
    __slots__ = ("data", "level", "index")

    def __init__(self, data: str, level: int, index: int) -> None:
        self.data = data
        self.level = level
        self.index = index


def bench_calls(reps: int) -> None:
    say("call overhead ...")
    number = 200_000
    s = Section("calls")
    cases = {
        'vaskel.tokenize("")': ('tokenize("")', {"tokenize": vaskel.tokenize}),
        '"".split()': ('"".split()', {}),
        'vaskel.Node("x", 1, 2)': ('Node("x", 1, 2)', {"Node": vaskel.Node}),
        'SlotsNode("x", 1, 2)': ('Node("x", 1, 2)', {"Node": SlotsNode}),
    }
    for _ in range(reps):
        for name, (stmt, env) in cases.items():
            s.add(name, min(timeit.repeat(stmt, globals=env, number=number, repeat=3)) / number)
    row("call overhead (per call)", "")
    for name in cases:
        row(f"  {name}", f"{s.median(name) * 1e9:10.1f} ns")
    # tokenize takes its arguments as a tuple and a dict rather than by the
    # fast convention, whose own check of keyword names would answer a call
    # like tokenize(**{1: 2}) with a message of the interpreter's instead of
    # vaskel's; building the tuple costs some tens of nanoseconds a call.
    ratio("call_tokenize_empty_vs_str_split", s.median('vaskel.tokenize("")') / s.median('"".split()'), "<= 2",
          '  tokenize("") / "".split()')
    ratio("call_node_vs_slots_class", s.median('vaskel.Node("x", 1, 2)') / s.median('SlotsNode("x", 1, 2)'), "<= 1",
          "  Node(...) / __slots__ class")


MEMORY_CHILD = r"""
import os, resource, sys
tokens = open(sys.argv[1], encoding="utf-8").read().split("\n")
if sys.argv[2] == "engine":
    import vaskel
    sys.path.insert(0, sys.argv[3])
    import rules_fr
    rules = rules_fr.ruleset()
    null = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    os.dup2(null, 1)
    tree = vaskel.engine(tokens, rules)
    os.dup2(saved, 1)
hwm = [l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1]
print(len(tokens), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, hwm)
"""


def memory_child(mode: str, tokens_file: Path) -> tuple[int, int, int]:
    # The child runs under a shell that forks it: a process made straight by
    # this one (vfork and exec) inherits this process's peak RSS in its
    # ru_maxrss, one made by a small shell only the shell's.
    done = subprocess.run(
        ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, "-c", MEMORY_CHILD,
         str(tokens_file), mode, str(HERE)],
        capture_output=True, text=True, check=True,
    )
    n, maxrss, hwm = (int(x) for x in done.stdout.split())
    return n, maxrss, hwm


def bench_memory(tokens: list[str]) -> None:
    say("memory ...")
    if len(tokens) < MEMORY_TOKENS:
        NOTES.append(f"memory: the corpus has only {len(tokens):,} tokens")
    tokens_file = WORK / "tokens_1m.txt"
    tokens_file.write_text("\n".join(tokens[:MEMORY_TOKENS]), encoding="utf-8")
    samples = []
    for _ in range(3):
        n, hold_rss, hold_hwm = memory_child("hold", tokens_file)
        _, eng_rss, eng_hwm = memory_child("engine", tokens_file)
        samples.append(((eng_rss - hold_rss) * 1024 / n, (eng_hwm - hold_hwm) * 1024 / n))
    per_token = statistics.median(x for x, _ in samples)
    per_token_hwm = statistics.median(y for _, y in samples)
    row(f"memory: engine on {n:,} tokens, peak RSS over holding the list", f"{per_token:10.1f} B/token")
    row("  (same from /proc VmHWM)", f"{per_token_hwm:10.1f} B/token")
    RATIOS["memory_bytes_per_token"] = round(per_token, 1)
    GOALS["memory_bytes_per_token"] = "<= 150"
    row("  bytes per token", "", f"{per_token:.1f}", goal_text("memory_bytes_per_token", per_token, "<= 150"))


def timed_calls(fn: Callable[[], object], calls: int, quiet: bool) -> float:
    """Total wall time of `calls` calls of fn(), each timed on its own and
    its result dropped after its clock stops, as timed() does for one."""
    gc.collect()
    total = 0.0
    with stdout_to(os.devnull) if quiet else nullcontext():
        for _ in range(calls):
            start = time.perf_counter()
            result = fn()
            total += time.perf_counter() - start
            del result
    return total


def bench_growth(text: str, tokens: list[str], reps: int) -> None:
    say("growth ...")
    rules = rules_fr.ruleset()
    # Every sample does the same work, about as many tokens as the largest
    # size: a call on a small input takes well under a millisecond, which
    # one reading of the clock would measure mostly as noise, so smaller
    # inputs are run that many more times. Sizes take turns within each
    # repetition, so that the machine drifting over the run weighs on all
    # of them alike.
    work = max(n for n in GROWTH_SIZES if n <= len(tokens))
    cases = []
    for n in GROWTH_SIZES:
        if n > len(tokens):
            NOTES.append(f"growth: corpus has fewer than {n:,} tokens")
            continue
        # A text prefix holding about n tokens, cut at a space after the
        # share of the text that n tokens take.
        cut = text.find(" ", int(len(text) * n / len(tokens)))
        part = text[: cut + 1 if cut >= 0 else len(text)]
        cases.append((n, part, len(vaskel.tokenize(part)), tokens[:n], max(1, round(work / n))))
    samples: dict[str, dict[int, list[float]]] = {op: {n: [] for n, *_ in cases}
                                                  for op in ("tokenize", "engine", "to_xml")}
    for _ in range(reps):
        for n, part, part_tokens, toks, calls in cases:
            tree = vaskel.Tree(toks)
            samples["tokenize"][n].append(
                timed_calls(lambda: vaskel.tokenize(part), calls, False) / (calls * part_tokens))
            samples["engine"][n].append(
                timed_calls(lambda: vaskel.engine(toks, rules), calls, True) / (calls * n))
            samples["to_xml"][n].append(timed_calls(tree.to_xml, calls, True) / (calls * n))
            del tree
    row("growth: time per token at " + ", ".join(f"{n:,}" for n, *_ in cases) + " tokens", "")
    NOTES.append(f"growth: each sample runs about {work:,} tokens' worth of calls; sizes take turns")
    for op, by_size in samples.items():
        values = [statistics.median(v) for v in by_size.values()]
        spread = max(values) / min(values)
        row(f"  {op}", " / ".join(f"{v * 1e9:.0f}" for v in values) + " ns")
        ratio(f"growth_{op}_max_over_min", spread, "<= 1.5", f"  {op}: slowest / fastest per token")


# ---------------------------------------------------------------- main

SECTIONS = ("tokenize", "engine", "to_xml", "calls", "memory", "growth")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--floor", default=str(WORK / "write_floor"))
    ap.add_argument("--only", default=",".join(SECTIONS),
                    help="comma-separated sections to run, from: " + ", ".join(SECTIONS))
    args = ap.parse_args()
    only = [name.strip() for name in args.only.split(",") if name.strip()]
    unknown = [name for name in only if name not in SECTIONS]
    if unknown:
        sys.exit(f"unknown section(s) {', '.join(unknown)}: choose from {', '.join(SECTIONS)}")
    if not CORPUS.exists():
        sys.exit(f"no corpus at {CORPUS}: run bench/prepare_corpus.py")
    if not os.access(args.floor, os.X_OK):
        sys.exit(f"no floor program at {args.floor}: cc -O2 -o {args.floor} bench/write_floor.c")
    WORK.mkdir(exist_ok=True)

    text = CORPUS.read_text(encoding="utf-8")
    tokens = vaskel.tokenize(text)
    if "tokenize" in only:
        bench_tokenize(text, tokens, args.reps)
    if "engine" in only:
        bench_engine(tokens, args.reps, args.floor)
    if "to_xml" in only:
        bench_to_xml(tokens, args.reps, args.floor)
    if "calls" in only:
        bench_calls(args.reps)
    if "memory" in only:
        bench_memory(tokens)
    if "growth" in only:
        bench_growth(text, tokens, args.reps)

    print(f"vaskel benchmark: Python {platform.python_version()}, {os.cpu_count()} cores, "
          f"{args.reps} repetitions, medians")
    width = max(len(r[0]) for r in ROWS)
    print(f"{'':{width}}  {'median':>13}  {'ratio':>7}  goal")
    for what, value, rat, goal in ROWS:
        print(f"{what:{width}}  {value:>13}  {rat:>7}  {goal}".rstrip())
    for note in NOTES:
        print(f"note: {note}")
    missed = [k for k, g in GOALS.items() if k in RATIOS and not meets(RATIOS[k], g)]
    print(json.dumps({"ratios": RATIOS, "goals": GOALS, "missed": missed}, sort_keys=True))


if __name__ == "__main__":
    main()
