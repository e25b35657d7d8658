"""The page of `vaskel show --html`: the text with its chunks beside the tree."""

import json
import os
import re
import shutil
import xml.etree.ElementTree as ET
from html.parser import HTMLParser
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import analyse, render_html, silence_trace
from vaskel_tools.render import analysis_html, render_chunks

from helpers import child_env, run_command, run_vaskel

NS = {"h": "http://www.w3.org/1999/xhtml", "s": "http://www.w3.org/2000/svg"}
DATA = Path(__file__).resolve().parent.parent / "python" / "vaskel_tools" / "data"
SAMPLE = (DATA / "texte.txt").read_text(encoding="utf-8")
NESTED = {**json.loads((DATA / "regles.json").read_text(encoding="utf-8")), "+": "P1", "++": "P2"}


def parse(page):
    HTMLParser().feed(page)
    return ET.fromstring(page.split("\n", 1)[1])


def text_of(element):
    # The words of a mark, without the labels of the marks inside it.
    out = [element.text or ""]
    for child in element:
        if child.get("class") != "lab":
            out.append(text_of(child))
        out.append(child.tail or "")
    return "".join(out)


def test_every_chunk_is_marked_over_its_words_nested_by_level():
    a = analyse(SAMPLE, NESTED)
    assert max(c.level for c in a.chunks) == 3
    root = parse(render_html(a, title="texte"))
    view = root.find(".//h:div[@class='chunked']", NS)
    marks = view.findall(".//h:mark", NS)
    assert len(marks) == len(a.chunks)
    # In document order: a chunk opens before the chunks it holds.
    order = sorted(a.chunks, key=lambda c: (c.start, -c.level))
    for mark, c in zip(marks, order):
        assert mark.get("class") == f"l{c.level}"
        assert text_of(mark).strip() == a.text[c.char_start:c.char_end]
        assert mark.find("h:span[@class='lab']", NS).text == c.label
        inner = [m for m in mark.iter(f"{{{NS['h']}}}mark") if m is not mark]
        assert all(int(m.get("class")[1:]) < c.level for m in inner)
        if c.parts:
            assert len([m for m in inner if m.get("class") == f"l{c.level - 1}"]) == len(c.parts)
    # The whole text is there, line breaks included, and every token once.
    assert text_of(view) == SAMPLE
    assert len(view.findall(".//h:span[@class='tok']", NS)) == len(a.tokens)
    # Beside it, today's drawing: one group per node.
    groups = root.findall(".//s:svg/s:g", NS)
    assert len(groups) == sum(len(level) for level in a.tree.data)


def test_the_page_stays_a_readable_width():
    text = " ".join(["le chat voit la souris ."] * 18)  # 108 tokens
    a = analyse(text, NESTED)
    root = parse(render_html(a))
    svg = root.find(".//s:svg", NS)
    assert float(svg.get("width")) < 1400  # the levels as columns: as wide as the number of levels
    # A small tree keeps its rows.
    small = parse(render_html(analyse("le chat dort.", NESTED)))
    assert float(small.find(".//s:svg", NS).get("width")) < 1100
    ys = {g.find("s:rect", NS).get("y") for g in small.findall(".//s:svg/s:g", NS)}
    assert len(ys) == 2  # two levels, two rows


def test_odd_text_stays_well_formed():
    text = "le <chat> & \"la\"\x01 souris\u0085\n\tfin"
    a = analyse(text, {"le": "D&", "la": "<D>", "D&+": "x\"y", "<D>+": "<g>", "D&+NOM+X": "_"})
    page = render_html(a, title="<t>")
    root = parse(page)
    assert "<script" not in page and page.count("http") == 2
    labels = [s.text for s in root.iter(f"{{{NS['h']}}}span") if s.get("class") == "lab"]
    assert labels == [c.label for c in a.chunks]


def test_no_match_says_so():
    a = analyse("rien ici", {"a+b": "G"})
    page = render_html(a)
    parse(page)
    assert "No match: nothing is marked" in page and "<mark" not in page
    assert render_chunks(a) == "no chunk: no window matched"


def test_fragment_for_notebooks_and_the_text_listing():
    a = analyse("le chat voit la souris.", NESTED)
    fragment = analysis_html(a)
    ET.fromstring(fragment)
    assert fragment.startswith('<div class="vaskel-tree"><style>') and a._repr_html_() == fragment
    listing = render_chunks(a)
    assert listing.splitlines()[:3] == [
        "level 1 (2 chunks)",
        "  [0] GN <- DET+NOM  tokens 0-1  chars 0-7  'le chat'",
        "  [1] GN <- DET+NOM  tokens 3-4  chars 13-22  'la souris'",
    ]


def test_vaskel_show_text_and_html(tmp_path):
    rules = tmp_path / "r.json"
    rules.write_text(json.dumps(NESTED), encoding="utf-8")
    done = run_vaskel("show", rules, DATA / "texte.txt")
    out = done.stdout.decode()
    assert done.returncode == 0 and "level 1 (" in out and "  [0] GN <- DET+ADJ+NOM  tokens 0-2  chars 0-13" in out
    assert "lower :" not in out  # the trace is captured, not printed
    page = tmp_path / "p.html"
    done = run_vaskel("show", rules, DATA / "texte.txt", "--html", page)
    assert done.returncode == 0 and done.stdout == f"wrote {page}\n".encode()
    parse(page.read_text(encoding="utf-8"))


@pytest.mark.skipif(shutil.which("chromium") is None, reason="no chromium to take the screenshot")
@pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1",
                    reason="the browser would inherit the sanitizer's preloaded runtime")
def test_a_real_browser_draws_the_page(tmp_path):
    page = tmp_path / "p.html"
    page.write_text(render_html(analyse(SAMPLE, NESTED)), encoding="utf-8")
    shot = tmp_path / "p.png"
    run_command(["chromium", "--headless", "--no-sandbox", "--disable-gpu", f"--screenshot={shot}",
                 "--window-size=1280,900", page.as_uri()], env=child_env(LD_PRELOAD=None))
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert (width, height) == (1280, 900)
    assert len(data) > 20_000  # not a blank page


def test_render_html_of_a_tree_is_unchanged_in_form():
    with silence_trace():
        tree = vaskel.engine(vaskel.tokenize("le chat voit la souris."), NESTED)
    page = render_html(tree)
    root = parse(page)
    assert root.find(".//h:div[@class='chunked']", NS) is None
    assert re.search(r"<h1>vaskel tree</h1>", page)
