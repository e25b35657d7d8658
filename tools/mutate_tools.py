"""Plants small faults in vaskel_tools, one at a time, and says which ones the tests catch.

    .venv/bin/python tools/mutate_tools.py [--tests REV] [--only NAME ...] [--list] [TEST FILE ...]

Each fault is a substitution of one piece of text in one module. For each, a
copy of the tree is made in a temporary folder (the package, the tests, the
examples and the README), the fault is planted in the copy, and pytest runs
the given test files there (default: the tests of explain, render, trace and
__init__/_panic) with a fixed Hypothesis seed; a fault is caught when some
test fails. The working tree is never changed. ``--tests REV`` takes the
tests folder as it was at a git revision instead (to compare against older
tests). vaskel itself is the one installed in the Python running this script.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "python/vaskel_tools"
DEFAULT_TESTS = ["tests/test_tools_explain.py", "tests/test_tools_render.py", "tests/test_tools_trace.py",
                 "tests/test_tools_panic.py"]
COPIED = ["python", "examples", "README.md", "conftest.py", "pyproject.toml"]

# (name, module, text, replacement): each text must occur exactly once in its module.
MUTANTS: list[tuple[str, str, str, str]] = [
    # explain: verdicts
    ("later-pass-off-by-one", "explain.py", "and len(pieces) <= window", "and len(pieces) < window"),
    ("first-pass-off-by-one", "explain.py", "if best is not None and len(best) <= window:",
     "if best is not None and len(best) < window:"),
    ("advice-one-piece-narrow", "explain.py", "add a key of {need + 1} pieces", "add a key of {need} pieces"),
    ("no-width-one", "explain.py", "widths = list(range(max_parts - 1, 0, -1))",
     "widths = list(range(max_parts - 1, 1, -1))"),
    ("two-pieces-not-multi", "explain.py", "if count >= 2:", "if count > 2:"),
    ("split-reversed", "explain.py", "    split.reverse()\n", "\n"),
    ("split-latest-start", "explain.py", "j = next(j for j in starts[k] if",
     "j = next(j for j in reversed(starts[k]) if"),
    ("empty-label-forgotten", "explain.py", 'for value in values | {""}:', "for value in values:"),
    ("group-end-off-by-one", "explain.py", "starts[k + 1].append(j)", "starts[k].append(j) if k > j else None"),
    ("missing-named-twice", "explain.py", "missing = list(dict.fromkeys(missing_pieces))",
     "missing = missing_pieces"),
    ("widest-note-off-by-one", "explain.py", "if len(pieces) == max_parts:", "if len(pieces) == max_parts - 1:"),
    ("empty-label-shown-plain", "explain.py", "ch in \"'\\\"∅|\"", "ch in \"'\\\"|\""),
    ("example-value-unchecked", "explain.py", 'example = next((k for k in multi if ruleset[k] != k), multi[0])',
     "example = multi[0]"),
    ("empty-piece-warned-twice", "explain.py", 'elif "" in pieces:', 'if "" in pieces:'),
    ("plus-label-pieces", "explain.py", "as {value.count('+') + 1} pieces", "as {value.count('+')} pieces"),
    ("empty-key-test-on-values", "explain.py", 'if "" in single:', 'if "" in single.values():'),
    ("str-tokens-walked", "explain.py", "    if isinstance(tokens, str):\n", "    if tokens is ...:\n"),
    ("single-match-read-as-none", "explain.py", "count = 0 if (len(built) == 1 and not built[0].children)",
     "count = 0 if (len(built) == 1)"),
    # explain: words
    ("another-pass-for-three", "explain.py", "if len(p.matches) >= 2 else", "if len(p.matches) > 2 else"),
    ("windows-cut-off-by-one", "explain.py", "if p.tried > max_windows:", "if p.tried >= max_windows:"),
    ("matched-count-of-all-windows", "explain.py", "shown = sum(w.matched for w in p.windows[:max_windows])",
     "shown = sum(w.matched for w in p.windows)"),
    ("labels-cut-off-by-one", "explain.py", '(" …" if len(p.labels) > 40 else "")',
     '(" …" if len(p.labels) >= 40 else "")'),
    ("pass-over-wrong-level", "explain.py", "over level {p.number - 1}", "over level {p.number}"),
    ("one-node-plural", "explain.py", "node{'s' if len(p.matches) > 1 else ''}",
     "node{'s' if len(p.matches) >= 1 else ''}"),
    ("keys-cut-count", "explain.py", 'f", … {len(keys) - 12} more"', 'f", … {len(keys) - 11} more"'),
    ("unreachable-reason-twice", "explain.py", "others = [warning for warning in r.warnings if warning not in listed]",
     "others = list(r.warnings)"),
    # render
    ("drawing-upside-down", "render.py", "return 10 + (len(levels) - 1 - lvl) * _ROW_H", "return 10 + lvl * _ROW_H"),
    ("aria-label-unescaped", "render.py", 'aria-label="{esc(_visible(title))}"', 'aria-label="{_visible(title)}"'),
    ("page-title-unescaped", "render.py", "<title>{html.escape(_visible(title))}</title>",
     "<title>{_visible(title)}</title>"),
    ("box-text-unescaped", "render.py", '{esc(label) if label else "∅"}', '{label if label else "∅"}'),
    ("tip-unescaped", "render.py", "<title>{esc(tip)}</title>", "<title>{tip}</title>"),
    ("backslash-not-doubled", "render.py", 'out.append("\\\\\\\\")', 'out.append("\\\\")'),
    ("plain-space-escaped", "render.py", '(cat == "Zs" and ch != " ")', '(cat == "Zs")'),
    ("shortened-one-too-long", "render.py", 'shown = shown[: limit - 1] + "…"', 'shown = shown[:limit] + "…"'),
    ("children-cut-count", "render.py", 'more = len(node["children"]) - 8', 'more = len(node["children"]) - 7'),
    ("text-cut-off-by-one", "render.py", "if len(level) > max_nodes:", "if len(level) >= max_nodes:"),
    ("recorded-at-needs-both", "render.py", 'if node["level"] != lvl or node["index"] != pos:',
     'if node["level"] != lvl and node["index"] != pos:'),
    ("negative-child-shown", "render.py", "if 0 <= child < len(below):", "if child < len(below):"),
    ("no-top-class", "render.py", '"top" if lvl == len(levels) - 1', '"top" if lvl == len(levels)'),
    ("link-to-own-row", "render.py", 'y2="{y_of(lvl - 1):.1f}"', 'y2="{y_of(lvl):.1f}"'),
    ("link-to-left-edge", "render.py", "x2 = xs[lvl - 1][child] + width_of[lvl - 1][child] / 2",
     "x2 = xs[lvl - 1][child]"),
    ("boxes-overlap", "render.py", "want = max(right, xs[lvl - 1][child]", "want = (xs[lvl - 1][child]"),
    ("cut-spare-not-spent", "render.py", "            spare -= extra\n", "\n"),
    ("note-on-every-tree", "render.py", "if drawn < total:", "if drawn <= total:"),
    # trace
    ("buffering-not-put-back", "trace.py", "            if not _open:\n                _restore_buffering()\n"
     "            if at", "            if at"),
    ("restore-out-of-order", "trace.py", "if at == len(_open):", "if True:"),
    ("exit-not-flushed", "trace.py", "        with _lock:\n            _flush_stdout()\n            at",
     "        with _lock:\n            at"),
    ("handover-dropped", "trace.py", "                newer.saved = block.saved\n", ""),
    ("stdout-not-line-buffered", "trace.py", "        if not _open:\n            _line_buffer_stdout()\n", ""),
    ("unended-line-dropped", "trace.py", '        if parts[-1] == "":\n            parts.pop()',
     "        parts.pop()"),
    ("invalid-bytes-dropped", "trace.py", 'errors="replace"', 'errors="ignore"'),
    # __init__, _panic
    ("dir-without-lazy-names", "__init__.py", "return sorted(set(globals()) | set(__all__))",
     "return sorted(globals())"),
    ("runsummary-not-exported", "__init__.py", '    "RunSummary": ".corpus",\n', ""),
    ("all-misses-a-name", "__init__.py", "__all__ = list(_WHERE)", "__all__ = list(_WHERE)[:-1]"),
    ("panic-any-name", "_panic.py", '    if name != "PanicException":\n        raise AttributeError',
     '    if name.startswith("_"):\n        raise AttributeError'),
]


def _tree(tests_rev: str | None) -> Path:
    top = Path(tempfile.mkdtemp(prefix="vaskel-mutant-"))
    for name in COPIED:
        source = ROOT / name
        if source.is_dir():
            shutil.copytree(source, top / name, ignore=shutil.ignore_patterns("__pycache__", "*.so"))
        else:
            shutil.copy2(source, top / name)
    if tests_rev is None:
        shutil.copytree(ROOT / "tests", top / "tests", ignore=shutil.ignore_patterns("__pycache__"))
    else:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", tests_rev, "tests"], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(top)], input=archive, check=True)
    return top


def _run(top: Path, tests: list[str], timeout: float) -> tuple[bool, str]:
    env = dict(os.environ, PYTHONPATH=str(top / "python"), PYTHONDONTWRITEBYTECODE="1")
    command = [sys.executable, "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider", "--hypothesis-seed=0",
               *tests]
    try:
        done = subprocess.run(command, cwd=top, env=env, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False, "timed out"
    lines = [line for line in done.stdout.splitlines() if line.startswith("FAILED") or line.startswith("ERROR")]
    if not lines:
        lines = done.stdout.strip().splitlines()[-1:] or [""]
    return done.returncode == 0, lines[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tests", nargs="*", default=DEFAULT_TESTS, help="test files, relative to the tree")
    parser.add_argument("--tests", dest="rev", metavar="REV", help="take tests/ from this git revision")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="plant only these faults")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds per run (default 600)")
    args = parser.parse_args()
    chosen = [m for m in MUTANTS if not args.only or m[0] in args.only]
    if args.list:
        for name, module, _, _ in chosen:
            print(f"{module:12} {name}")
        return 0
    for name, module, text, _ in chosen:
        found = (ROOT / PACKAGE / module).read_text(encoding="utf-8").count(text)
        if found != 1:
            print(f"fault {name}: its text occurs {found} times in {module}, not once", file=sys.stderr)
            return 2
    top = _tree(args.rev)
    try:
        passed, detail = _run(top, args.tests, args.timeout)
        if not passed:
            print(f"the tests fail with no fault planted: {detail}", file=sys.stderr)
            return 2
        caught = 0
        for name, module, text, replacement in chosen:
            path = top / PACKAGE / module
            clean = path.read_text(encoding="utf-8")
            path.write_text(clean.replace(text, replacement, 1), encoding="utf-8")
            start = time.monotonic()
            try:
                passed, detail = _run(top, args.tests, args.timeout)
            finally:
                path.write_text(clean, encoding="utf-8")
            caught += not passed
            verdict = "MISSED" if passed else "caught"
            print(f"{verdict}  {module:12} {name:32} {time.monotonic() - start:5.1f} s  "
                  f"{'' if passed else detail}", flush=True)
        print(f"caught {caught} of {len(chosen)} ({100 * caught / max(1, len(chosen)):.0f}%)")
    finally:
        shutil.rmtree(top, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
