"""Tokenize a French text, run the rule engine on it and export the tree.

Without arguments the sample text and rule base shipped with this package are
used; otherwise pass a UTF-8 text file and a JSON rule base (an object mapping
str to str):

    vaskel-demo [TEXT_FILE RULES_JSON]

The engine and the XML export write their trace lines straight to file
descriptor 1, so they appear between the summary lines printed here.
"""

from __future__ import annotations

import argparse
import json
import sys
from importlib import resources
from pathlib import Path

import vaskel


def load_inputs(text_path: str | None, rules_path: str | None) -> tuple[str, dict[str, str]]:
    if text_path is None or rules_path is None:
        data = resources.files("vaskel_demo") / "data"
        text = (data / "texte.txt").read_text(encoding="utf-8")
        rules = json.loads((data / "regles.json").read_text(encoding="utf-8"))
    else:
        text = Path(text_path).read_text(encoding="utf-8")
        rules = json.loads(Path(rules_path).read_text(encoding="utf-8"))
    if not isinstance(rules, dict) or not all(
        isinstance(k, str) and isinstance(v, str) for k, v in rules.items()
    ):
        raise SystemExit("the rule base must be a JSON object mapping strings to strings")
    return text, rules


def say(*lines: str) -> None:
    # Flushed at once so that our lines and the module's own trace, which
    # bypasses sys.stdout, come out in order.
    for line in lines:
        print(line)
    sys.stdout.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="vaskel-demo", description=__doc__.splitlines()[0])
    parser.add_argument("text", nargs="?", help="UTF-8 text file (default: the shipped sample)")
    parser.add_argument("rules", nargs="?", help="JSON rule base (default: the shipped sample)")
    args = parser.parse_args(argv)
    if (args.text is None) != (args.rules is None):
        parser.error("give both a text file and a rule base, or neither")

    text, rules = load_inputs(args.text, args.rules)
    tokens = vaskel.tokenize(text)
    say(f"== {len(tokens)} tokens", " | ".join(tokens), "", "== engine trace")
    tree = vaskel.engine(tokens, rules)

    levels = tree.data
    say("", "== tree", f"{len(levels)} levels: " + ", ".join(str(len(level)) for level in levels) + " nodes")
    for lvl in range(1, len(levels)):
        for node in levels[lvl]:
            if node.children:
                say(f"level {lvl}, node {node.index}: {node.data}")

    say("", "== XML export (node lines first)")
    xml = tree.to_xml()
    say(xml)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
