"""The README's quick start, first part: the chunks of a text as data, in CoNLL
columns and JSON, scored against hand-made gold tags, and as a page."""

import json
import sys
from importlib import resources

from vaskel_tools import analyse, render_html, score, to_conll, to_json


def main() -> None:
    data = resources.files("vaskel_tools") / "data"
    text = (data / "texte.txt").read_text(encoding="utf-8")
    rules = json.loads((data / "regles.json").read_text(encoding="utf-8"))
    a = analyse(text, rules)  # one engine call; its trace is read, not printed
    for c in a.chunks[:5]:
        print(f"level {c.level} [{c.index}] {c.label:3} {c.key:14} tokens {c.start}-{c.end - 1} "
              f"chars {c.char_start}-{c.char_end}: {text[c.char_start:c.char_end]!r}")
    print(to_conll(a).splitlines()[:4])
    print(len(json.loads(to_json(a))["chunks"]), "chunks in the JSON export")
    gold = a.iob()
    gold[4:6] = ["O", "O"]  # pretend a reader did not mark "la voisine"
    print(score([gold], [a.iob()]))
    if len(sys.argv) > 1:
        with open(sys.argv[1], "w", encoding="utf-8") as out:
            out.write(render_html(a, title="texte.txt"))


if __name__ == "__main__":
    main()
