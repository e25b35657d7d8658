"""The README's quick start, second part: capture the trace, explain a rule base, draw the tree."""

import vaskel
from vaskel_tools import capture_trace, explain, render_text

RULES = {"le": "DET", "chat": "NOM", "DET+NOM": "GN"}


def main() -> None:
    tokens = vaskel.tokenize("le petit chat voit la souris.")
    with capture_trace() as trace:  # the engine's trace goes to a temporary file
        tree = vaskel.engine(tokens, RULES)
    print(f"{len(trace.lines)} trace lines, the first: {trace.lines[:4]}")
    # Why does DET+NOM match nothing? Windows hold one label fewer than the widest key.
    print(explain(RULES, tokens))
    print(render_text(tree))
    # The fix that explain suggests: a three-piece key widens the windows to two labels.
    print(explain({**RULES, "DET+NOM+X": "_"}).reachable)


if __name__ == "__main__":
    main()
