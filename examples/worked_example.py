"""The README's worked example of how the engine matches (its output is checked by the tests)."""

import vaskel

rules = {
    "le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM",
    "DET+NOM": "GN",      # two pieces: matches a window of two labels
    "DET+NOM+X": "_",     # three pieces: never matches; makes max_parts 3
}
tokens = vaskel.tokenize("le chat voit la souris.")
tree = vaskel.engine(tokens, rules)
print([[n.data for n in level] for level in tree.data])
print([n.children for n in tree.data[1]], repr(tree.concat(1, 1, " ")))
