"""The README's quick start: tokenize, run the engine, question the tree, export it."""

import vaskel

# Single-label rules give tokens a label; multi-label keys join labels with "+".
# The 4-piece key is never matched: it widens the windows to 3 labels, so that
# "DET+ADJ+NOM" can match (see the README on windows and max_parts).
RULES = {
    "le": "DET", "la": "DET", "petit": "ADJ", "chat": "NOM", "souris": "NOM", "voit": "VERBE",
    "DET+NOM": "GN", "DET+ADJ+NOM": "GN", "DET+ADJ+NOM+X": "_",
}


def main() -> None:
    tokens = vaskel.tokenize("le petit chat voit la souris.")
    print(tokens)
    tree = vaskel.engine(tokens, RULES)  # the trace goes to file descriptor 1
    for node in tree.data[1]:
        print(node.index, node.data, node.children)
    print(tree.concat(0, 2, "/"))  # a leaf reaches no leaves: ""
    sub = tree.subtree(1, 0)
    print([[n.data for n in level] for level in sub.data])
    print(tree.to_xml())


if __name__ == "__main__":
    main()
