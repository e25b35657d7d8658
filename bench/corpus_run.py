"""How `vaskel run` scales with --jobs, and what it costs over a bare loop.

Writes a corpus of a few hundred French documents (bench/.work/run_corpus/,
cut from the benchmark corpus bench/corpus/fr.txt when it is there, else built
from the sample text shipped with vaskel_tools), then times, as fresh
processes, side by side in each repetition:

- the bare loop: one Python process that, for each document, reads it,
  calls tokenize, engine and to_xml and writes the XML to a file, with file
  descriptor 1 pointed once at the trace file (or /dev/null);
- `vaskel run RULES CORPUS --format xml --all-rule-lines --out DIR --jobs 1` and `--jobs 2`
  (the same work as the bare loop: the XML, every rule line in the trace).

The rule base is bench/rules_fr.py. Prints medians and the ratios
jobs 1 / jobs 2 (goal >= 1.7 on 2 cores) and jobs 1 / bare loop (goal
<= 1.15), with the trace kept in a file and with it dropped.

    .venv/bin/python bench/corpus_run.py [--docs 300] [--reps 5]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
WORK = BENCH / ".work" / "run_bench"
sys.path.insert(0, str(BENCH))

BARE = r"""
import os, sys, vaskel, json
rules = json.load(open(sys.argv[1], encoding="utf-8"))
corpus, out, trace = sys.argv[2], sys.argv[3], sys.argv[4]
fd = os.open(trace, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
os.dup2(fd, 1)
for name in sorted(os.listdir(corpus)):
    with open(os.path.join(corpus, name), encoding="utf-8") as f:
        text = f.read()
    xml = vaskel.engine(vaskel.tokenize(text), rules).to_xml()
    with open(os.path.join(out, name[:-4] + ".xml"), "w", encoding="utf-8") as f:
        f.write(xml)
"""


def make_corpus(docs: int, size: int) -> Path:
    corpus = WORK / "corpus"
    if corpus.exists():
        shutil.rmtree(corpus)
    corpus.mkdir(parents=True)
    source = BENCH / "corpus" / "fr.txt"
    if source.exists():
        text = source.read_text(encoding="utf-8")
    else:
        from importlib import resources

        sample = (resources.files("vaskel_tools") / "data" / "texte.txt").read_text(encoding="utf-8")
        lines = sample.splitlines()
        text = "\n".join(lines[k % len(lines)] for k in range(docs * size // 40 + 100))
    lines = text.splitlines(keepends=True)
    at = 0
    for k in range(docs):
        piece: list[str] = []
        length = 0
        while length < size:
            line = lines[at % len(lines)]
            at += 1
            piece.append(line)
            length += len(line)
        (corpus / f"doc{k:04}.txt").write_text("".join(piece), encoding="utf-8")
    return corpus


def timed(cmd: list[str], out: Path) -> float:
    # Every run writes into an empty folder: on ext4, renaming a file over an
    # existing one (as `vaskel run` does to replace an output whole) makes the
    # kernel write the new file out at once, which would time the disk.
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    began = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - began


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=300)
    parser.add_argument("--size", type=int, default=8000, help="characters per document")
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()

    from rules_fr import ruleset

    WORK.mkdir(parents=True, exist_ok=True)
    rules_path = WORK / "rules.json"
    rules_path.write_text(json.dumps(ruleset(), ensure_ascii=False), encoding="utf-8")
    corpus = make_corpus(args.docs, args.size)
    # The same work as the bare loop: the tree's XML, every rule line in the trace.
    vaskel_cmd = [sys.executable, "-m", "vaskel_tools", "run", str(rules_path), str(corpus),
                  "--format", "xml", "--all-rule-lines"]
    results: dict[str, dict[str, list[float]]] = {}
    for trace in ("file", "none"):
        out = WORK / f"out-{trace}"
        trace_file = str(WORK / "trace.txt") if trace == "file" else os.devnull
        runs = {
            "bare loop": [sys.executable, "-c", BARE, str(rules_path), str(corpus), str(out), trace_file],
            "vaskel run --jobs 1": vaskel_cmd + ["--out", str(out), "--trace", trace_file if trace == "file" else "none",
                                                 "--jobs", "1"],
            "vaskel run --jobs 2": vaskel_cmd + ["--out", str(out), "--trace", trace_file if trace == "file" else "none",
                                                 "--jobs", "2"],
        }
        for cmd in runs.values():
            timed(cmd, out)  # warm the page cache and the imports
        samples: dict[str, list[float]] = {name: [] for name in runs}
        for _ in range(args.reps):
            for name, cmd in runs.items():
                samples[name].append(timed(cmd, out))
        results[trace] = samples

    total = sum(p.stat().st_size for p in corpus.iterdir())
    print(f"vaskel run benchmark: {args.docs} documents, {total / 1e6:.1f} MB, {os.cpu_count()} cores, "
          f"{args.reps} repetitions, medians (each a fresh process)")
    summary: dict[str, float] = {}
    for trace, samples in results.items():
        med = {name: statistics.median(values) for name, values in samples.items()}
        label = "trace in a file" if trace == "file" else "trace dropped"
        print(f"{label}:")
        for name, value in med.items():
            print(f"  {name:<22} {value * 1000:9.0f} ms")
        speedup = med["vaskel run --jobs 1"] / med["vaskel run --jobs 2"]
        overhead = med["vaskel run --jobs 1"] / med["bare loop"]
        print(f"  jobs 1 / jobs 2        {speedup:9.2f}   goal >= 1.7   {'met' if speedup >= 1.7 else 'MISSED'}")
        print(f"  jobs 1 / bare loop     {overhead:9.2f}   goal <= 1.15  {'met' if overhead <= 1.15 else 'MISSED'}")
        summary[f"{trace}_speedup_jobs2"] = round(speedup, 3)
        summary[f"{trace}_jobs1_over_bare"] = round(overhead, 3)
    print(json.dumps(summary, sort_keys=True))


if __name__ == "__main__":
    main()
