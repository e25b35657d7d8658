"""The `vaskel` command, run as a user runs it (subprocess), and the corpus runner."""

import json
import os
import sys
import xml.etree.ElementTree as ET
from importlib.metadata import version
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import corpus, silence_trace

from helpers import child_env, run_vaskel, vaskel_command

# These tests are about the runner, not its formats: they read the tree export and
# the whole trace (every rule line), as the run writes them with these options.
TREE_RUN = ("--format", "xml", "--all-rule-lines")

DATA = Path(__file__).resolve().parent.parent / "python" / "vaskel_tools" / "data"
RULES_PATH = DATA / "regles.json"
RULES = json.loads(RULES_PATH.read_text(encoding="utf-8"))
SAMPLE = (DATA / "texte.txt").read_text(encoding="utf-8")


def expected_xml(text):
    with silence_trace():
        return vaskel.engine(vaskel.tokenize(text), RULES).to_xml()


def test_version_and_usage():
    done = run_vaskel("--version")
    assert done.stdout.decode() == f"{version('vaskel')}\n"
    for args in ([], ["run", *TREE_RUN, str(RULES_PATH)], ["frobnicate"], ["run", *TREE_RUN, str(RULES_PATH), "x", "--out", "o", "--jobs", "0"]):
        done = run_vaskel(*args)
        assert done.returncode == 2 and b"Traceback" not in done.stderr, args


def test_tokenize_files_stdin_and_json(tmp_path):
    (tmp_path / "a.txt").write_text("l'été, déjà ?!", encoding="utf-8")
    assert run_vaskel("tokenize", input="le chat.".encode()).stdout == b"le\nchat\n.\n"
    done = run_vaskel("tokenize", "--json", tmp_path / "a.txt", tmp_path / "a.txt")
    assert [json.loads(line) for line in done.stdout.decode().splitlines()] == [["l'", "été", ",", "déjà", "?!"]] * 2
    done = run_vaskel("tokenize", tmp_path / "missing.txt", tmp_path / "a.txt")
    assert done.returncode == 1 and done.stdout.decode().startswith("l'\n")
    assert done.stderr.decode().count("\n") == 1 and "missing.txt: cannot read" in done.stderr.decode()


def test_demo_shows_every_stage():
    done = run_vaskel("demo")
    out = done.stdout.decode()
    assert done.returncode == 0, done.stderr
    stages = ["== 86 tokens", "== the rule base explained", "UNREACHABLE 'PREP+DET+ADJ+NOM'", "== engine trace",
              "le : DET", "== the tree", "== XML export", "lvl : 2 ; i : 0", "<test>"]
    assert [out.index(s) for s in stages] == sorted(out.index(s) for s in stages)
    assert out.rstrip("\n").endswith(expected_xml(SAMPLE))


def test_explain_and_show(tmp_path):
    text = tmp_path / "t.txt"
    text.write_text("le chat dort", encoding="utf-8")
    rules = tmp_path / "r.json"
    rules.write_text(json.dumps({"le": "DET", "chat": "NOM", "DET+NOM": "GN"}), encoding="utf-8")
    out = run_vaskel("explain", rules, text).stdout.decode()
    assert "needs 2 labels but windows hold at most 1" in out and "pass 1, over level 0 (3 nodes)" in out
    out = run_vaskel("show", rules, text).stdout.decode()
    assert out.startswith("2 levels: 3, 1 nodes") and "lower :" not in out
    page = tmp_path / "p.html"
    assert run_vaskel("show", RULES_PATH, DATA / "texte.txt", "--html", page).returncode == 0
    ET.fromstring(page.read_text(encoding="utf-8").split("\n", 1)[1])


@pytest.mark.parametrize("content, message", [
    (b"[1, 2]", "must be a JSON object mapping strings to strings"),
    (b'{"a": 1}', "the value of 'a' is not a string"),
    (b'{"a": ', "not JSON"),
    (b'{"\\ud800": "X"}', "lone surrogate"),
    (None, "cannot read the rule base"),
    (b"[" * 100_000, "nested too deeply"),
    (b'{"a": [' * 50_000, "nested too deeply"),
])
def test_bad_rule_bases_get_one_line(tmp_path, content, message):
    rules = tmp_path / "r.json"
    if content is not None:
        rules.write_bytes(content)
    for args in (["explain", rules], ["run", *TREE_RUN, rules, DATA / "texte.txt", "--out", tmp_path / "o"]):
        done = run_vaskel(*args)
        err = done.stderr.decode()
        assert done.returncode == 1 and err.count("\n") == 1 and message in err and str(rules) in err


def make_corpus(root, count):
    root.mkdir()
    lines = SAMPLE.splitlines()
    for k in range(count):
        rotated = lines[k % len(lines):] + lines[: k % len(lines)]
        (root / f"doc{k:02}.txt").write_text("\n".join(rotated) + "\n", encoding="utf-8")
    return {p.stem: p for p in root.glob("*.txt")}


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_run_writes_every_document_and_one_trace_piece_each(tmp_path, jobs):
    docs = make_corpus(tmp_path / "corpus", 12)
    (tmp_path / "corpus" / "bad.txt").write_bytes(b"caf\xe9\n")
    (tmp_path / "extra.txt").write_text("le chat", encoding="utf-8")
    out, trace, spool = tmp_path / "out", tmp_path / "trace.txt", tmp_path / "tmp"
    spool.mkdir()
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", tmp_path / "extra.txt", tmp_path / "nope.txt",
                      "--out", out, "--trace", trace, "--jobs", jobs, env=child_env(TMPDIR=str(spool)))
    assert list(spool.iterdir()) == []  # nothing in the temporary folder
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corpus", "extra.txt", "out", "tmp", "trace.txt"]
    err = done.stderr.decode().splitlines()
    assert done.returncode == 1
    assert sorted(err) == [f"vaskel: {tmp_path / 'corpus' / 'bad.txt'}: not UTF-8 text (byte 0xe9 at offset 3)",
                           f"vaskel: {tmp_path / 'nope.txt'}: cannot read: No such file or directory"]
    assert "13 of 15 documents written" in done.stdout.decode() and "2 failed" in done.stdout.decode()
    for name, path in docs.items():
        assert (out / f"{name}.xml").read_text(encoding="utf-8") == expected_xml(path.read_text(encoding="utf-8"))
    assert sorted(p.name for p in out.iterdir()) == sorted([f"{n}.xml" for n in docs] + ["extra.xml"])
    # Each document's trace in one piece: the header, then exactly what it printed.
    pieces = trace.read_text(encoding="utf-8").split("# document: ")[1:]
    assert len(pieces) == 15
    for piece in pieces:
        path, body = piece.split("\n", 1)
        if path.endswith(("bad.txt", "nope.txt")):
            assert body == ""
            continue
        tokens = vaskel.tokenize(Path(path).read_text(encoding="utf-8"))
        assert body.startswith("le : DET\n") and body.count("\n[") >= 1
        assert body.endswith("\n") and body.count("lvl : ") == len(expected_xml_lines(tokens))


def expected_xml_lines(tokens):
    from vaskel_tools import capture_trace

    with silence_trace():
        tree = vaskel.engine(tokens, RULES)
    with capture_trace() as t:
        tree.to_xml()
    return t.lines


def test_run_json_no_trace_and_name_clashes(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    (tmp_path / "a" / "x.txt").write_text("le chat", encoding="utf-8")
    (tmp_path / "b" / "x.txt").write_text("la souris", encoding="utf-8")
    out = tmp_path / "out"
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "a", tmp_path / "b", "--out", out, "--format", "json",
                      "--trace", "none", "--jobs", "1")
    assert done.returncode == 1
    assert "would write the same output file as" in done.stderr.decode()
    assert json.loads((out / "x.json").read_text(encoding="utf-8"))["levels"][0][0] == "le"
    assert sorted(p.name for p in out.iterdir()) == ["x.json"]
    assert done.stdout.decode().count("\n") == 1 and b"lower" not in done.stdout


def test_a_panicking_document_is_reported_and_the_others_still_run(tmp_path, monkeypatch, capfd):
    docs = make_corpus(tmp_path / "corpus", 3)
    real = corpus._export

    def export(state, tokens, text, result):
        if tokens[:5] == vaskel.tokenize(docs["doc01"].read_text(encoding="utf-8"))[:5]:
            vaskel.Tree([]).get_children(9, 0)
        return real(state, tokens, text, result)

    monkeypatch.setattr(corpus, "_export", export)
    found, refused = corpus.find_documents([str(tmp_path / "corpus")], ".xml")
    out = tmp_path / "out"
    summary = corpus.run_corpus(RULES, found, str(out), fmt="xml", trace_path=str(tmp_path / "t"), jobs=1,
                                 all_rule_lines=True)
    assert refused == [] and summary.written == 2
    assert summary.failed == [(str(docs["doc01"]), f"{docs['doc01']}: internal failure: "
                               "index out of bounds: the len is 1 but the index is 9")]
    assert sorted(p.name for p in out.iterdir()) == ["doc00.xml", "doc02.xml"]
    # The failure report went into that document's piece of the trace, not to the terminal.
    assert "internal failure" in (tmp_path / "t").read_text(encoding="utf-8")
    assert capfd.readouterr() == ("", "")


def test_output_written_whole_or_not_at_all(tmp_path, monkeypatch):
    from vaskel_tools import files

    target = tmp_path / "x.xml"
    target.write_text("old", encoding="utf-8")

    def replace(src, dst):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(files.os, "replace", replace)
    with pytest.raises(OSError):
        files.write_whole(str(target), "new")
    monkeypatch.undo()
    assert target.read_text(encoding="utf-8") == "old"
    assert os.listdir(tmp_path) == ["x.xml"]
    files.write_whole(str(target), "new")
    assert target.read_text(encoding="utf-8") == "new" and os.listdir(tmp_path) == ["x.xml"]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["demo"], ["tokenize", DATA / "texte.txt"], ["explain", RULES_PATH]])
def test_a_full_standard_output_gets_one_line(args):
    with open("/dev/full", "wb") as full:
        done = run_vaskel(*args, stdout=full, timeout=60)
    assert done.returncode == 1
    assert done.stderr.decode() in ("vaskel: standard output: No space left on device\n",
                                    "vaskel: internal failure: failed printing to stdout: No space left on device "
                                    "(os error 28)\n")


def test_a_worker_that_dies_costs_only_its_document(tmp_path, monkeypatch):
    if corpus._pool_context().get_start_method() != "fork":
        pytest.skip("the stand-in crash reaches the workers only through fork")
    docs = make_corpus(tmp_path / "corpus", 24)
    victim = vaskel.tokenize(docs["doc07"].read_text(encoding="utf-8"))[:5]
    real = corpus._export

    def export(state, tokens, text, result):
        if tokens[:5] == victim:
            os._exit(9)  # as if killed for its memory
        return real(state, tokens, text, result)

    monkeypatch.setattr(corpus, "_export", export)
    threads = []  # as the system counts them, as each worker is forked
    real_worker = corpus._Worker

    def worker(*args):
        threads.append(corpus._system_threads())
        return real_worker(*args)

    monkeypatch.setattr(corpus, "_Worker", worker)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".xml")
    out = tmp_path / "out"
    seen = []
    summary = corpus.run_corpus(RULES, found, str(out), fmt="xml", all_rule_lines=True,
                                trace_path=str(tmp_path / "t"), jobs=2, on_result=lambda result: seen.append(result.path))
    # The replacements too are forked from a process of one thread (none of
    # the run's sync threads still counted), where the run started so.
    assert len(threads) > 2
    if threads[0] == 1:
        assert set(threads) == {1}, threads
    victims = sorted(str(p) for p in docs.values()
                     if vaskel.tokenize(p.read_text(encoding="utf-8"))[:5] == victim)
    assert 1 < len(victims) < 24
    assert sorted(path for path, _ in summary.failed) == victims
    assert all(message.endswith("the worker process running it ended abruptly") for _, message in summary.failed)
    # Every other document written, each one reported and traced exactly once, nothing else left.
    assert sorted(seen) == sorted(str(p) for p in docs.values())
    assert summary.written == 24 - len(victims)
    assert sorted(p.name for p in out.iterdir()) == sorted(f"{n}.xml" for n, p in docs.items() if str(p) not in victims)
    heads = [line for line in (tmp_path / "t").read_text(encoding="utf-8").splitlines() if line.startswith("# document: ")]
    assert sorted(heads) == sorted(f"# document: {p}" for p in docs.values())


@pytest.mark.skipif(sys.platform != "linux", reason="uses a Linux pseudo-terminal")
def test_progress_bar_only_on_a_terminal(tmp_path, spawn):
    import fcntl
    import pty
    import struct
    import termios

    make_corpus(tmp_path / "corpus", 3)
    main, sub = pty.openpty()
    fcntl.ioctl(sub, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = spawn(vaskel_command("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", tmp_path / "a"), stderr=sub)
    os.close(sub)
    seen = b""
    while True:
        try:
            chunk = os.read(main, 4096)
        except OSError:  # the other end closed
            break
        if not chunk:
            break
        seen += chunk
    assert proc.wait(timeout=60) == 0
    os.close(main)
    assert b"0/3" in seen and b"doc" in seen
    piped = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", tmp_path / "b")
    assert piped.returncode == 0 and piped.stderr == b""
