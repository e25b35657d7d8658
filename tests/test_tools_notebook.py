"""%load_ext vaskel_tools and how the reports look at the end of a cell."""

import xml.etree.ElementTree as ET

import pytest

import vaskel
import vaskel_tools
from vaskel_tools import analyse, explain, silence_trace

RULES = {"le": "DET", "la": "DET", "chat": "NOM", "souris": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}


class FakeFormatter:
    def __init__(self):
        self.type_printers = {}

    def for_type(self, kind, func):
        self.type_printers[kind] = func


class FakeShell:
    def __init__(self):
        self.display_formatter = type("F", (), {})()
        self.display_formatter.formatters = {"text/html": FakeFormatter()}


def test_load_ext_registers_html_for_trees_and_analyses_without_changing_the_classes():
    ip = FakeShell()
    vaskel_tools.load_ipython_extension(ip)
    printers = ip.display_formatter.formatters["text/html"].type_printers
    with silence_trace():
        tree = vaskel.engine(vaskel.tokenize("le chat voit la souris."), RULES)
    page = printers[vaskel.Tree](tree)
    ET.fromstring(page)
    assert page.startswith('<div class="vaskel-tree">') and page.count("<g class=\"node") == 9
    a = analyse("le chat voit la souris.", RULES)
    shown = printers[type(a)](a)
    assert "<mark" in shown and shown == a._repr_html_()
    assert not hasattr(vaskel.Tree, "_repr_html_")
    vaskel_tools.unload_ipython_extension(ip)
    assert printers == {}


def test_an_explanation_shows_its_report_and_a_short_repr():
    report = explain(RULES, vaskel.tokenize("le chat voit la souris."))
    assert repr(report) == ("<Explanation: 4 single-label rules, 2 multi-label keys (1 unreachable), "
                            f"{len(report.warnings)} warnings, walk-through of 6 tokens>")
    printed = []
    pretty = type("P", (), {"text": lambda self, s: printed.append(s)})()
    report._repr_pretty_(pretty, False)
    assert printed == [str(report)]


def test_in_a_real_ipython_shell():
    pytest.importorskip("IPython", reason="IPython is not installed")
    from IPython.core.interactiveshell import InteractiveShell

    ip = InteractiveShell.instance()
    try:
        ip.run_line_magic("load_ext", "vaskel_tools")
        with silence_trace():
            tree = vaskel.engine(["le", "chat"], RULES)
        data, _ = ip.display_formatter.format(tree)
        assert "<svg" in data["text/html"]
        data, _ = ip.display_formatter.format(analyse("le chat", RULES))
        assert "<mark" in data["text/html"]
        report = explain(RULES)
        data, _ = ip.display_formatter.format(report)
        assert data["text/plain"] == str(report)
    finally:
        InteractiveShell.clear_instance()
