"""to_dict, render_text and render_html on real trees."""

import json
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

import vaskel
from vaskel_tools import render_html, render_text, show, silence_trace, to_dict

RULES = {"le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}


def make(tokens, rules=RULES):
    with silence_trace():
        return vaskel.engine(tokens, rules)


def test_to_dict_is_plain_data_of_every_node():
    tree = make(vaskel.tokenize("le chat voit la souris."))
    d = to_dict(tree)
    assert json.loads(json.dumps(d)) == d
    assert [[n["data"] for n in level] for level in d["levels"]] == [[n.data for n in level] for level in tree.data]
    assert d["levels"][1] == [{"data": "DET+NOM", "level": 1, "index": 0, "children": [0]},
                              {"data": "DET+NOM", "level": 1, "index": 1, "children": [1]}]


def test_render_text_shows_levels_indexes_children_and_cuts():
    text = render_text(make(vaskel.tokenize("le chat voit la souris.")))
    assert "level 1 (2 nodes)\n  [0] DET+NOM  -> 0 le\n  [1] DET+NOM  -> 1 chat" in text
    assert text.index("\nlevel 2") < text.index("\nlevel 1") < text.index("\nlevel 0")
    big = render_text(make(["x"] * 500), max_nodes=10)
    assert "… 490 more nodes not shown" in big and big.count("\n  [") == 11
    odd = render_text(vaskel.Tree(["a\nb\x00", ""]))
    assert "[0] a\\x0ab\\x00" in odd and "[1] (empty)" in odd


def _parse_both(page):
    HTMLParser().feed(page)
    return ET.fromstring(page.split("\n", 1)[1])  # XHTML: the page minus its doctype


def test_render_html_is_well_formed_and_draws_every_node():
    tree = make(vaskel.tokenize("le chat voit la souris & <l'autre> \"x\"\x01."))
    root = _parse_both(render_html(tree, title="a <title> & more"))
    ns = {"h": "http://www.w3.org/1999/xhtml", "s": "http://www.w3.org/2000/svg"}
    groups = root.findall(".//s:svg/s:g", ns)
    assert len(groups) == sum(len(level) for level in tree.data)
    assert len(root.findall(".//s:line", ns)) == 2
    assert root.find(".//h:title", ns).text == "a <title> & more"
    page = render_html(tree)
    assert "<script" not in page and "src=" not in page and "href=" not in page
    assert page.count("http") == 2  # the two namespaces: nothing is fetched


def test_large_trees_are_cut_with_a_note():
    tree = make(["le", "chat"] * 3000)
    page = render_html(tree, max_nodes=500)
    root = _parse_both(page)
    assert "only 500 are drawn" in page or "are drawn" in page
    drawn = root.findall(".//{http://www.w3.org/2000/svg}g")
    assert len(drawn) <= 500


def test_show_displays_the_drawing_in_a_notebook(monkeypatch):
    import sys
    import types

    shown = []
    display = types.ModuleType("IPython.display")
    display.HTML = lambda text: ("HTML", text)
    display.display = shown.append
    monkeypatch.setitem(sys.modules, "IPython", types.ModuleType("IPython"))
    monkeypatch.setitem(sys.modules, "IPython.display", display)
    show(make(["le", "chat"]), title="t")
    [(kind, text)] = shown
    assert kind == "HTML" and text.startswith("<div class=\"vaskel-tree\"><style>") and "<svg" in text
    assert "body" not in text.split("</style>")[0]  # scoped: the notebook keeps its own styles
    ET.fromstring(text)
