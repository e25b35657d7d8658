"""The Dask example gives the same exports as a sequential run.

The example runs in a child process, so that the cluster's threads and
worker processes never share this test process with the other tests."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vaskel

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "vaskel_demo" / "data"
RULES = json.loads((DATA / "regles.json").read_text(encoding="utf-8"))
SAMPLE = (DATA / "texte.txt").read_text(encoding="utf-8")


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="dask.distributed is not installed")
@pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1", reason="worker processes are not instrumented")
def test_two_workers_match_a_sequential_run(tmp_path, capfd):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    lines = SAMPLE.splitlines()
    for k in range(12):
        rotated = lines[k % len(lines):] + lines[: k % len(lines)]
        (corpus / f"doc{k:02}.txt").write_text("\n".join(rotated) + "\n", encoding="utf-8")
    out = tmp_path / "out"
    subprocess.run([sys.executable, str(ROOT / "examples" / "dask_corpus.py"), str(corpus),
                    str(DATA / "regles.json"), str(out), "--workers", "2"], check=True, timeout=300)

    expected = {p.stem: vaskel.engine(vaskel.tokenize(p.read_text(encoding="utf-8")), RULES).to_xml()
                for p in corpus.glob("*.txt")}
    produced = {p.stem: p.read_text(encoding="utf-8") for p in out.glob("*.xml")}
    assert produced == expected
    # The traces went to the workers' own files, one per worker process.
    traces = list((out / "traces").glob("worker-*.trace"))
    assert 1 <= len(traces) <= 2
    assert any("lvl : " in t.read_text(encoding="utf-8") for t in traces)
    capfd.readouterr()
