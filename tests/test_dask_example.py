"""The Dask example gives the same exports as a sequential run."""

import json
import os
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed")

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
import dask_corpus  # noqa: E402

RULES = json.loads((ROOT / "python" / "vaskel_demo" / "data" / "regles.json").read_text(encoding="utf-8"))
SAMPLE = (ROOT / "python" / "vaskel_demo" / "data" / "texte.txt").read_text(encoding="utf-8")


@pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1", reason="worker processes are not instrumented")
def test_two_workers_match_a_sequential_run(tmp_path, capfd):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    lines = SAMPLE.splitlines()
    for k in range(12):
        (corpus / f"doc{k:02}.txt").write_text("\n".join(lines[k % len(lines):] + lines[: k % len(lines)]) + "\n",
                                              encoding="utf-8")
    out = tmp_path / "out"
    dask_corpus.main([str(corpus), str(ROOT / "python" / "vaskel_demo" / "data" / "regles.json"), str(out),
                      "--workers", "2"])

    expected = {p.stem: dask_corpus.process_text(p.read_text(encoding="utf-8"), RULES) for p in corpus.glob("*.txt")}
    produced = {p.stem: p.read_text(encoding="utf-8") for p in out.glob("*.xml")}
    assert produced == expected
    # The traces went to the workers' own files, one per worker process.
    traces = list((out / "traces").glob("worker-*.trace"))
    assert 1 <= len(traces) <= 2
    assert any("lvl : " in t.read_text(encoding="utf-8") for t in traces)
    capfd.readouterr()
