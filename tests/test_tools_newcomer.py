"""The traps a newcomer meets: explain's warnings with tokens, the README's
tokenizer claims, the shipped sample, the order of the command's arguments."""

import json
import re
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import explain

from helpers import run_vaskel

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "vaskel_tools" / "data"
RULES = {"le": "DET", "chat": "NOM", "pomme de terre": "NOM", "tarde": "VERBE", "ch": "X",
         "DET+NOM": "GN", "DET+NOM+X": "_"}


def test_explain_with_tokens_warns_about_case_whitespace_and_rules_never_reached():
    tokens = vaskel.tokenize("Le chat dort. Le chat tarde… le chat")
    warnings = explain(RULES, tokens).warnings
    case = [w for w in warnings if w.startswith("token 'Le'")]
    assert case == ["token 'Le' (2 times, first at 0) gets the empty label: the rule base has 'le', and a key "
                    "must match the text exactly, case included (add 'Le' as a key of its own)"]
    assert any("'pomme de terre' holds whitespace: tokenize never gives such a token" in w for w in warnings)
    [unused] = [w for w in warnings if "no token of this text reaches" in w]
    assert unused == ("2 single-label rules no token of this text reaches: 'tarde', 'ch' "
                      "('tarde' is only part of the token 'tarde…')")
    # The report in words carries them; without tokens none of them is given.
    assert "token 'Le' (2 times" in str(explain(RULES, tokens))
    assert not any("token" in w and "reaches" in w or w.startswith("token ") for w in explain(RULES).warnings)
    # A rule base that fits its text gets none of them.
    fits = explain({"le": "DET", "chat": "NOM", "DET+NOM+X": "_"}, ["le", "chat"]).warnings
    assert not any(w.startswith("token ") or "reaches" in w or "whitespace" in w for w in fits)


@pytest.mark.parametrize("text, tokens", [
    ("au jardin… puis", ["au", "jardin…", "puis"]),
    ("50 %.", ["50", "%."]),
    ("3,50 €", ["3", ",", "50", "€"]),
    ("3.5 ", ["3", ".", "5"]),
    ("fin—début", ["fin—début"]),
    ("fin — début", ["fin", "—", "début"]),
    ("a–b", ["a", "–", "b"]),
    ("x?! .%", ["x", "?!", ".%"]),
])
def test_the_readme_tokenizer_claims(text, tokens):
    assert vaskel.tokenize(text) == tokens
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("- **The tokenizer keeps words whole.**"):readme.index("- **Diagnostic output")]
    assert "`jardin…`" in section and "`50 %.` gives `50`, `%.`" in section and "`3,50` gives `3`, `,`, `50`" in section
    assert "A run of\n  `! . ?` is one token" not in section  # what it said before: not always


def test_the_shipped_sample_reaches_every_single_label_rule():
    rules = json.loads((DATA / "regles.json").read_text(encoding="utf-8"))
    tokens = set(vaskel.tokenize((DATA / "texte.txt").read_text(encoding="utf-8")))
    assert [k for k in rules if "+" not in k and k not in tokens] == []


@pytest.mark.parametrize("command", ["demo", "explain", "show"])
def test_every_command_takes_the_rule_base_first_and_says_when_swapped(command):
    rules, text = DATA / "regles.json", DATA / "texte.txt"
    done = run_vaskel(command, rules, text)
    assert done.returncode == 0, done.stderr
    done = run_vaskel(command, text, rules)
    err = done.stderr.decode()
    assert done.returncode == 1 and err.count("\n") == 1 and "Traceback" not in err
    assert re.search(rf"{re.escape(str(rules))} is a rule base: the rule base comes first, vaskel {command} "
                     r"RULES\.json TEXT_FILE", err)


def test_a_rule_base_that_is_bad_on_its_own_gets_the_plain_error(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text("[1]", encoding="utf-8")
    done = run_vaskel("explain", bad, DATA / "texte.txt")
    assert done.returncode == 1 and b"comes first" not in done.stderr and b"must be a JSON object" in done.stderr
