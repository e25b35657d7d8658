"""The README's worked example prints what the README says it prints."""

import re
import sys
from pathlib import Path

from helpers import run_command, run_python

ROOT = Path(__file__).resolve().parent.parent


def test_worked_example_output_matches_readme():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    example = (ROOT / "examples" / "worked_example.py").read_text(encoding="utf-8")
    body = example.split('"""', 2)[2].lstrip("\n")
    assert body in readme, "the README's copy of examples/worked_example.py is out of date"
    shown = re.search(r"prints \(the trace first, on file descriptor 1\):\n\n```text\n(.*?)```", readme, re.S)
    done = run_command([sys.executable, ROOT / "examples" / "worked_example.py"], text=True, check=True)
    assert done.stdout == shown.group(1)


def test_quick_start_shows_the_chunks_it_says():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    start = readme.index("## Quick start")
    block = re.search(r"```python\n(.*?)```", readme[start:], re.S).group(1)
    assert "analyse(text, rules)" in block  # the new layer comes first
    expected = [line[2:] for line in block.splitlines() if line.startswith("# ")]
    done = run_python(block, text=True, check=True)
    assert done.stdout.splitlines() == expected


def test_chunks_tour_runs(tmp_path):
    page = tmp_path / "page.html"
    done = run_command([sys.executable, ROOT / "examples" / "chunks_tour.py", page], text=True, check=True)
    lines = done.stdout.splitlines()
    assert lines[0] == "level 1 [0] GN  DET+ADJ+NOM    tokens 0-2 chars 0-13: 'Le petit chat'"
    assert "  spurious: sentence 0, tokens 4..5, GN" in lines
    assert "<mark" in page.read_text(encoding="utf-8")
