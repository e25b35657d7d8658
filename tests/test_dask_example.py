"""`vaskel run --dask local` gives the same exports as a sequential run.

The command runs in a child process, so that the cluster's threads and
worker processes never share this test process with the other tests."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import silence_trace

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "vaskel_tools" / "data"
RULES = json.loads((DATA / "regles.json").read_text(encoding="utf-8"))
SAMPLE = (DATA / "texte.txt").read_text(encoding="utf-8")


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="dask.distributed is not installed")
@pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1", reason="worker processes are not instrumented")
def test_two_workers_match_a_sequential_run(tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    lines = SAMPLE.splitlines()
    for k in range(12):
        rotated = lines[k % len(lines):] + lines[: k % len(lines)]
        (corpus / f"doc{k:02}.txt").write_text("\n".join(rotated) + "\n", encoding="utf-8")
    (corpus / "bad.txt").write_bytes(b"\xff")
    out = tmp_path / "out"
    done = subprocess.run([sys.executable, "-m", "vaskel_tools", "run", str(DATA / "regles.json"), str(corpus),
                           "--out", str(out), "--dask", "local", "--jobs", "2"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr
    assert f"{corpus / 'bad.txt'}: not UTF-8 text" in done.stderr
    assert "12 of 13 documents written" in done.stdout

    with silence_trace():
        expected = {p.stem: vaskel.engine(vaskel.tokenize(p.read_text(encoding="utf-8")), RULES).to_xml()
                    for p in corpus.glob("doc*.txt")}
    produced = {p.stem: p.read_text(encoding="utf-8") for p in out.glob("*.xml")}
    assert produced == expected
    # The traces came back from the workers, one piece per document.
    trace = (out / "trace.txt").read_text(encoding="utf-8")
    assert trace.count("# document: ") == 13 and trace.count("\nlvl : 2 ; i : 0\n") == 12
