"""`vaskel run` as a user meets it: what it refuses, what it leaves, how it stops.

The command runs in a child process with the environment a user's shell has
(no PYTHONUNBUFFERED, a UTF-8 locale, 80 columns), never the test machine's.
"""

import json
import os
import re
import shutil
import signal
import stat
import threading
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import capture_trace, corpus, files, silence_trace

from helpers import run_command, run_vaskel, vaskel_command

# These tests are about the runner, not its formats: they read the tree export and
# the whole trace (every rule line), as the run writes them with these options.
TREE_RUN = ("--format", "xml", "--all-rule-lines")

DATA = Path(__file__).resolve().parent.parent / "python" / "vaskel_tools" / "data"
RULES_PATH = DATA / "regles.json"
RULES = json.loads(RULES_PATH.read_text(encoding="utf-8"))
SAMPLE = (DATA / "texte.txt").read_text(encoding="utf-8")


def make_corpus(root, count, repeat=1):
    root.mkdir(parents=True)
    lines = SAMPLE.splitlines()
    for k in range(count):
        rotated = lines[k % len(lines):] + lines[: k % len(lines)]
        (root / f"doc{k:02}.txt").write_text(("\n".join(rotated) + "\n") * repeat, encoding="utf-8")
    return {p.stem: p for p in root.glob("*.txt")}


def trace_pieces(path):
    """{document path: its piece of the trace}, failing on a document traced twice."""
    pieces = {}
    for piece in Path(path).read_text(encoding="utf-8").split("# document: ")[1:]:
        name, body = piece.split("\n", 1)
        assert name not in pieces, f"{name} traced twice"
        pieces[name] = body
    return pieces


def expected_trace(text):
    with capture_trace() as t:
        vaskel.engine(vaskel.tokenize(text), RULES).to_xml()
    return t.text


def hidden(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.startswith("."))


# --- what is refused, in one line, before anything is touched ------------------


@pytest.mark.parametrize("case", ["input", "rules", "output", "default-over-input", "folder"])
def test_a_trace_path_that_would_destroy_a_file_is_refused(tmp_path, case):
    corpus_dir = tmp_path / "corpus"
    docs = make_corpus(corpus_dir, 3)
    rules = tmp_path / "rules.json"
    shutil.copy(RULES_PATH, rules)
    out = tmp_path / "out"
    out.mkdir()
    (out / "doc01.xml").write_text("kept", encoding="utf-8")
    args = [rules, corpus_dir, "--out", out]
    if case == "input":
        args += ["--trace", docs["doc00"]]
    elif case == "rules":
        args += ["--trace", tmp_path / "." / "rules.json"]
    elif case == "output":
        args += ["--trace", out / "doc01.xml"]
    elif case == "default-over-input":
        (corpus_dir / "trace.txt").write_text("a document named trace", encoding="utf-8")
        args = [rules, corpus_dir, "--out", corpus_dir]
    else:
        args += ["--trace", tmp_path]
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    done = run_vaskel("run", *TREE_RUN, *args)
    assert done.returncode == 2, done.stderr
    assert done.stderr.count(b"\n") == 1 and done.stderr.startswith(b"vaskel: ") and done.stdout == b""
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


def test_an_empty_folder_is_an_error_not_a_failed_document(tmp_path):
    (tmp_path / "empty").mkdir()
    out = tmp_path / "out"
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "empty", "--out", out)
    assert done.returncode == 1
    assert done.stderr.decode().splitlines() == [f"vaskel: {tmp_path / 'empty'}: no *.txt file in this folder",
                                                 "vaskel: no document to process"]
    assert not out.exists()  # no folder made, no empty trace file
    # Beside real documents it is an error line, not a document in the count.
    make_corpus(tmp_path / "corpus", 2)
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "empty", tmp_path / "corpus", "--out", out)
    assert done.returncode == 1
    assert "2 of 2 documents written" in done.stdout.decode() and "0 failed" in done.stdout.decode()


def test_a_folder_named_like_a_text_is_not_a_document(tmp_path):
    make_corpus(tmp_path / "corpus", 2)
    (tmp_path / "corpus" / "sub.txt").mkdir()
    (tmp_path / "corpus" / "sub.txt" / "inner.txt").write_text("le chat", encoding="utf-8")
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", tmp_path / "out")
    assert done.returncode == 0 and done.stderr == b""
    assert "2 of 2 documents written" in done.stdout.decode()
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["doc00.xml", "doc01.xml", "trace.txt"]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_only_regular_files_are_read(tmp_path):
    corpus_dir = tmp_path / "corpus"
    make_corpus(corpus_dir, 2)
    os.mkfifo(corpus_dir / "pipe.txt")
    (corpus_dir / "zero.txt").symlink_to("/dev/zero")
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, corpus_dir, "--out", tmp_path / "out", timeout=60)
    assert done.returncode == 1
    assert sorted(done.stderr.decode().splitlines()) == [
        f"vaskel: {corpus_dir / name}: cannot read: not a regular file (only regular files are read)"
        for name in ("pipe.txt", "zero.txt")]
    assert "2 of 4 documents written" in done.stdout.decode()
    # The rule base too, and the other commands.
    done = run_vaskel("explain", "/dev/zero", timeout=60)
    assert done.returncode == 1 and done.stderr == b"vaskel: /dev/zero: cannot read the rule base: not a regular file " \
                                                   b"(only regular files are read)\n"
    done = run_vaskel("tokenize", corpus_dir / "pipe.txt", timeout=60)
    assert done.returncode == 1 and b"not a regular file" in done.stderr


def test_a_text_over_the_limit_is_refused_before_it_is_read(tmp_path, monkeypatch):
    big = tmp_path / "big.txt"
    with open(big, "wb") as f:
        f.truncate(files.MAX_INPUT_BYTES + 1)  # sparse: no disk used
    read = []
    monkeypatch.setattr(files.os, "read", lambda *a: read.append(a) or b"")
    with pytest.raises(files.InputError, match=r"big.txt: cannot read: 1073741825 bytes, more than the limit"):
        files.read_text(str(big))
    assert read == []
    # One the memory at hand cannot hold is refused the same way.
    monkeypatch.setattr(files, "_available_memory", lambda: 1000)
    small = tmp_path / "small.txt"
    small.write_bytes(b"x" * 300)
    with pytest.raises(files.InputError, match="more than the memory available"):
        files.read_text(str(small))
    assert read == []


# --- what is written ----------------------------------------------------------------------


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o002])
def test_written_files_follow_the_umask(tmp_path, mask):
    make_corpus(tmp_path / "corpus", 2)
    out, page = tmp_path / "out", tmp_path / "page.html"
    for args in (["run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", out],
                 ["show", RULES_PATH, DATA / "texte.txt", "--html", page]):
        done = run_vaskel(*args, preexec_fn=lambda: os.umask(mask))
        assert done.returncode == 0, done.stderr
    for path in [*out.iterdir(), page]:
        assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~mask, path


def test_each_output_is_synced_before_its_rename_and_the_folder_after(tmp_path, monkeypatch):
    make_corpus(tmp_path / "corpus", 3)
    events = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(fd):
        events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
        return real_fsync(fd)

    def replace(src, dst):
        events.append(("replace", str(src), str(dst)))
        return real_replace(src, dst)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".xml")
    out = str(tmp_path / "out")
    with silence_trace():
        corpus.run_corpus(RULES, found, out, fmt="xml", trace_path=str(tmp_path / "trace.txt"), jobs=1)
    renames = [e for e in events if e[0] == "replace"]
    assert sorted(os.path.basename(e[2]) for e in renames) == ["doc00.xml", "doc01.xml", "doc02.xml"]
    for _, src, dst in renames:
        assert events.index(("fsync", src)) < events.index(("replace", src, dst))
    last = max(events.index(e) for e in renames)
    assert ("fsync", out) in events[last:] and ("fsync", str(tmp_path / "trace.txt")) in events


@pytest.mark.parametrize("length", [244, 251])
def test_long_document_names_work(tmp_path, length):
    corpus_dir = tmp_path / "corpus"
    corpus_dir.mkdir()
    stem = "é" * (length // 2) + "a" * (length % 2)  # `length` bytes
    (corpus_dir / f"{stem}.txt").write_text("le chat dort", encoding="utf-8")
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, corpus_dir, "--out", tmp_path / "out")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "out" / f"{stem}.xml").exists() and hidden(tmp_path / "out") == []


@pytest.mark.parametrize("target", ["/dev/null", "/dev/stdout"])
def test_a_trace_on_a_device_needs_no_folder_beside_it(tmp_path, target):
    make_corpus(tmp_path / "corpus", 3)
    before = sorted(os.listdir("/dev"))
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", tmp_path / "out", "--trace", target,
                      "--jobs", "2")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir("/dev")) == before
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["doc00.xml", "doc01.xml", "doc02.xml"]
    if target == "/dev/stdout":
        out = done.stdout.decode()
        assert out.count("# document: ") == 3 and out.count("le : DET") >= 3
        assert out.splitlines()[-1].startswith("vaskel run: 3 of 3 documents written")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_each_trace_piece_is_exactly_its_documents_trace(tmp_path, jobs):
    docs = make_corpus(tmp_path / "corpus", 10)
    out = tmp_path / "out"
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", out, "--jobs", jobs)
    assert done.returncode == 0, done.stderr
    # The default trace file, named in the summary.
    assert done.stdout.decode().rstrip("\n").endswith(f"; trace in {out / 'trace.txt'}")
    pieces = trace_pieces(out / "trace.txt")
    assert sorted(pieces) == sorted(str(p) for p in docs.values())
    for path, body in pieces.items():
        assert body == expected_trace(Path(path).read_text(encoding="utf-8")), path
    assert hidden(out) == []


def test_the_summary_counts_every_input(tmp_path):
    make_corpus(tmp_path / "corpus", 4)
    (tmp_path / "corpus" / "bad.txt").write_bytes(b"\xff")
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", tmp_path / "missing.txt",
                      "--out", tmp_path / "out", "--trace", "none", "--jobs", "2")
    assert done.returncode == 1
    assert re.fullmatch(rf"vaskel run: 4 of 6 documents written to {re.escape(str(tmp_path / 'out'))} \(xml\), "
                        r"2 failed; 344 tokens in \d+\.\d\d s \([\d,]+ tokens/s\)\n", done.stdout.decode())
    assert not (tmp_path / "out" / "trace.txt").exists()


def test_a_second_run_into_the_same_folder_says_what_it_leaves(tmp_path):
    make_corpus(tmp_path / "corpus", 2)
    out = tmp_path / "out"
    assert run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", out).stderr == b""
    # The same run again replaces its own files and says nothing.
    assert run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", out).stderr == b""
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", out, "--format", "json",
                      "--trace", "none")
    assert done.returncode == 0
    assert done.stderr.decode() == (f"vaskel: {out}: already holds 3 file(s) this run does not write, "
                                    "left as they are (such as doc00.xml)\n")


def test_jobs_are_capped_to_the_cores(tmp_path, monkeypatch):
    assert "at most: the number of cores" in " ".join(run_vaskel("run", *TREE_RUN, "--help").stdout.decode().split())
    monkeypatch.setattr(corpus, "_cores", lambda: 2)
    started = []
    real = corpus._Worker

    def worker(*args):
        started.append(1)
        return real(*args)

    monkeypatch.setattr(corpus, "_Worker", worker)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")] if make_corpus(tmp_path / "corpus", 12) else [], ".xml")
    summary = corpus.run_corpus(RULES, found, str(tmp_path / "out"), fmt="xml", jobs=60)
    assert summary.written == 12 and len(started) == 2


def test_the_output_folder_is_checked_before_any_document(tmp_path):
    make_corpus(tmp_path / "corpus", 2)
    blocker = tmp_path / "file"
    blocker.write_text("", encoding="utf-8")
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", blocker / "out")
    assert done.returncode == 1 and done.stderr.count(b"\n") == 1 and b"cannot create the output folder" in done.stderr
    if os.geteuid() == 0:
        return  # root writes anywhere: the permission case needs another user
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o555)
    done = run_vaskel("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", locked)
    assert done.returncode == 1 and done.stderr == f"vaskel: {locked}: cannot write in the output folder: " \
                                                   "Permission denied\n".encode()


@pytest.mark.parametrize("closed", ["1", "2", "1 2"])
def test_closed_standard_streams(tmp_path, closed):
    make_corpus(tmp_path / "corpus", 3)
    redirs = " ".join(f"{fd}>&-" for fd in closed.split())
    for extra, status in (("", 0), (str(tmp_path / "missing.txt"), 1)):
        out = tmp_path / f"out{status}"
        script = f'exec "$@" {extra} --out {out} {redirs}'
        done = run_command(["sh", "-c", script, "sh",
                            *vaskel_command("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus")])
        assert done.returncode == status, done.stderr
        assert b"Traceback" not in done.stderr
        assert len(trace_pieces(out / "trace.txt")) == 3 + status
        assert len(list(out.glob("*.xml"))) == 3


# --- how it stops ---------------------------------------------------------------------------


def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def _gone(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return True
    return state in ("Z", "X")


def _start_slow_run(spawn, tmp_path, jobs="2", count=40):
    docs = make_corpus(tmp_path / "corpus", count, repeat=60)
    out = tmp_path / "out"
    proc = spawn(vaskel_command("run", *TREE_RUN, RULES_PATH, tmp_path / "corpus", "--out", out, "--jobs", jobs),
                 start_new_session=True)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not (out.exists() and list(out.glob("*.xml"))):
        time.sleep(0.01)
    return proc, docs, out


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
@pytest.mark.parametrize("whole_group", [False, True])
def test_a_stopped_run_ends_its_workers_and_says_what_it_wrote(tmp_path, spawn, signum, status, whole_group):
    proc, docs, out = _start_slow_run(spawn, tmp_path)
    workers = _children(proc.pid)
    assert proc.poll() is None and workers, "the run ended before the signal"
    (os.killpg if whole_group else os.kill)(proc.pid, signum)
    stdout, stderr = proc.communicate(timeout=30)
    assert proc.returncode == status, stderr
    written = sorted(p.stem for p in out.glob("*.xml"))
    assert 0 < len(written) < len(docs)
    assert stderr.decode() == (f"vaskel: interrupted: {len(written)} of {len(docs)} documents written to {out}; "
                               f"their traces in {out / 'trace.txt'}\n")
    assert stdout == b""
    # The trace holds the written documents, each once, and nothing else is left.
    assert sorted(Path(p).stem for p in trace_pieces(out / "trace.txt")) == written
    assert hidden(out) == []
    deadline = time.monotonic() + 5
    while not all(_gone(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert all(_gone(pid) for pid in workers)


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
def test_a_killed_worker_costs_one_document_and_nothing_is_done_twice(tmp_path, spawn):
    proc, docs, out = _start_slow_run(spawn, tmp_path, count=30)
    workers = _children(proc.pid)
    assert workers and proc.poll() is None
    os.kill(workers[0], signal.SIGKILL)
    stdout, stderr = proc.communicate(timeout=120)
    lines = stderr.decode().splitlines()
    assert proc.returncode == 1 and len(lines) == 1 and lines[0].endswith("the worker process running it ended abruptly")
    assert f"29 of 30 documents written to {out} (xml), 1 failed" in stdout.decode()
    pieces = trace_pieces(out / "trace.txt")
    assert sorted(pieces) == sorted(str(p) for p in docs.values())
    victim = lines[0].split("vaskel: ", 1)[1].split(": the worker")[0]
    assert pieces[victim] == ""
    assert sorted(p.stem for p in out.glob("*.xml")) == sorted(n for n, p in docs.items() if str(p) != victim)
    assert hidden(out) == []


# --- what a run writes by default: the analysis, with each document's cut rule base --------


def test_default_run_writes_the_analysis_and_cuts_the_rule_base(tmp_path):
    import json

    import vaskel
    from vaskel_tools import RuleBase, analyse, capture_trace, merge_rules

    make_corpus(tmp_path / "corpus", 2)
    (tmp_path / "lex.tsv").write_text("petit\tADJ\nzèbre\tNOM\n", encoding="utf-8")
    out = tmp_path / "out"
    done = run_vaskel("run", RULES_PATH, tmp_path / "corpus", "--out", out, "--jobs", "1",
                      "--lexicon", tmp_path / "lex.tsv")
    assert done.returncode == 0, done.stderr
    rules = merge_rules(RULES, {"petit": "ADJ", "zèbre": "NOM"})  # the JSON rule base wins on a clash
    assert rules["zèbre"] == "NOM"
    trace = (out / "trace.txt").read_text(encoding="utf-8")
    assert trace.startswith("# rule lines: each document's trace lists only the rules its tokens can use")
    for stem in ("doc00", "doc01"):
        text = (tmp_path / "corpus" / f"{stem}.txt").read_text(encoding="utf-8")
        doc = json.loads((out / f"{stem}.json").read_text(encoding="utf-8"))
        whole = analyse(text, rules)
        assert doc["tokens"] == whole.tokens and doc["levels"] == whole.levels
        assert [(c["level"], c["start"], c["end"], c["key"], c["label"]) for c in doc["chunks"]] == \
            [(c.level, c.start, c.end, c.key, c.label) for c in whole.chunks]
        # The piece lists only the rules the document's tokens can use, the rest as the whole call.
        cut = RuleBase(rules).for_tokens(whole.tokens)
        assert "zèbre" not in cut and len(cut) < len(rules)
        with capture_trace() as expected:
            vaskel.engine(whole.tokens, cut)
        piece = trace.split(f"# document: {tmp_path / 'corpus' / stem}.txt\n")[1].split("# document:")[0]
        assert piece.splitlines() == expected.lines
    # conll: token, offsets, one IOB column per level
    done = run_vaskel("run", RULES_PATH, tmp_path / "corpus" / "doc00.txt", "--out", tmp_path / "c",
                      "--format", "conll", "--trace", "none")
    assert done.returncode == 0, done.stderr
    rows = [line.split("\t") for line in (tmp_path / "c" / "doc00.conll").read_text(encoding="utf-8").splitlines()
            if line]
    text = (tmp_path / "corpus" / "doc00.txt").read_text(encoding="utf-8")
    assert all(text[int(r[1]):int(r[2])] == r[0] for r in rows)
    assert any(r[3].startswith("B-") for r in rows)


def test_characters_xml_cannot_carry_are_replaced_and_the_summary_says_so(tmp_path):
    # The leaf and the label each hold a character XML cannot carry; U+007F it can.
    (tmp_path / "corpus").mkdir()
    (tmp_path / "corpus" / "odd.txt").write_text("le\x01chat\x7f z\n", encoding="utf-8")
    (tmp_path / "corpus" / "plain.txt").write_text("le chat\n", encoding="utf-8")
    rules = tmp_path / "rules.json"
    rules.write_text(json.dumps({"le\x01chat\x7f": "A\x02+B", "A\x02+B": "E"}), encoding="utf-8")
    done = run_vaskel("run", *TREE_RUN, rules, tmp_path / "corpus", "--out", tmp_path / "out", "--trace", "none")
    assert done.returncode == 0, done.stderr.decode()
    lines = done.stdout.decode().splitlines()
    assert lines[1:] == [f"vaskel run: 1 documents hold characters XML 1.0 cannot carry, written as U+FFFD: "
                         f"{tmp_path / 'corpus' / 'odd.txt'}"]
    (top,) = ET.parse(tmp_path / "out" / "odd.xml").getroot()
    assert top.attrib == {"type": "A\ufffd+B"}
    assert [leaf.text.strip() for leaf in top] == ["le\ufffdchat\x7f"]


# --- the rule base reaches each worker once; the trace read for the analysis ---------


@pytest.mark.skipif(sys.platform != "linux", reason="workers are forked")
@pytest.mark.parametrize("jobs", [1, 2])
def test_the_table_that_cuts_the_rule_base_is_built_once_before_the_workers(tmp_path, monkeypatch, jobs):
    from vaskel_tools import rulebase

    monkeypatch.setattr(corpus, "_pool_context", lambda: __import__("multiprocessing").get_context("fork"))
    builders = tmp_path / "builders"
    real_init = rulebase.RuleBase.__init__

    def init(self, rules):
        with open(builders, "a", encoding="utf-8") as f:  # the workers are other processes
            f.write(f"{os.getpid()}\n")
        real_init(self, rules)

    monkeypatch.setattr(rulebase.RuleBase, "__init__", init)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")] if make_corpus(tmp_path / "corpus", 8) else [], ".xml")
    summary = corpus.run_corpus(dict(RULES), found, str(tmp_path / "out"), fmt="xml", jobs=jobs, trace_path=None)
    assert summary.written == 8
    assert builders.read_text(encoding="utf-8").split() == [str(os.getpid())]


@pytest.mark.skipif(sys.platform != "linux", reason="workers are forked")
@pytest.mark.parametrize("first_jobs, then_jobs", [(1, 2), (2, 1), (1, 1)])
def test_analyses_are_right_after_runs_made_before_in_the_same_process(tmp_path, monkeypatch, first_jobs, then_jobs):
    # The trace each analysis reads is captured in a file the process keeps:
    # a forked worker must not share its parent's, nor read a document's
    # trace after the one before it.
    from vaskel_tools import RuleBase, analyse

    monkeypatch.setattr(corpus, "_pool_context", lambda: __import__("multiprocessing").get_context("fork"))
    docs = make_corpus(tmp_path / "corpus", 6)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".json")
    for run_number, jobs in enumerate((first_jobs, then_jobs)):
        out = tmp_path / f"out{run_number}"
        with silence_trace():
            summary = corpus.run_corpus(RULES, found, str(out), fmt="json", jobs=jobs,
                                        trace_path=str(tmp_path / f"trace{run_number}.txt"))
        assert summary.written == 6, summary.failed
        pieces = trace_pieces(tmp_path / f"trace{run_number}.txt")
        for stem, path in docs.items():
            text = path.read_text(encoding="utf-8")
            with silence_trace():
                whole = analyse(text, RULES)
            doc = json.loads((out / f"{stem}.json").read_text(encoding="utf-8"))
            assert doc["levels"] == whole.levels
            assert [(c["start"], c["end"], c["label"]) for c in doc["chunks"]] == \
                [(c.start, c.end, c.label) for c in whole.chunks]
            # The document's trace piece is the call's trace once, with the rules it can use.
            with capture_trace() as expected:
                vaskel.engine(whole.tokens, RuleBase(RULES).for_tokens(whole.tokens))
            assert pieces[str(path)] == expected.text


# --- exports are synced while the next document runs, and before their rename ---------


def _fork_context(monkeypatch):
    # The patches below reach the workers only when they are forked.
    monkeypatch.setattr(corpus, "_pool_context", lambda: __import__("multiprocessing").get_context("fork"))


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc, forks workers")
@pytest.mark.parametrize("jobs", [1, 2])
def test_every_export_is_on_disk_before_its_name_whoever_syncs_it(tmp_path, monkeypatch, jobs):
    _fork_context(monkeypatch)
    docs = make_corpus(tmp_path / "corpus", 9)
    log = tmp_path / "log"
    real_fsync, real_replace = os.fsync, os.replace

    def note(*event):
        fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_APPEND)  # one write each, from every process
        os.write(fd, ("\t".join(event) + "\n").encode())
        os.close(fd)

    def fsync(fd):
        path = os.readlink(f"/proc/self/fd/{fd}")
        real_fsync(fd)
        note("synced", path)

    def replace(src, dst):
        note("renamed", str(src), str(dst))
        return real_replace(src, dst)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".xml")
    with silence_trace():
        summary = corpus.run_corpus(RULES, found, str(tmp_path / "out"), fmt="xml", jobs=jobs, trace_path=None)
    assert summary.written == 9
    events = [line.split("\t") for line in log.read_text().splitlines()]
    renamed = [e for e in events if e[0] == "renamed"]
    assert sorted(os.path.basename(e[2]) for e in renamed) == sorted(f"{stem}.xml" for stem in docs)
    for event in renamed:
        assert ["synced", event[1]] in events[:events.index(event)], event
    assert hidden(tmp_path / "out") == []


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc, forks workers")
@pytest.mark.parametrize("jobs", [1, 2])
def test_an_export_that_cannot_be_synced_fails_its_document_only(tmp_path, monkeypatch, jobs):
    _fork_context(monkeypatch)
    make_corpus(tmp_path / "corpus", 6)
    (tmp_path / "corpus" / "doc03.txt").write_text("le disque refuse", encoding="utf-8")
    real_fsync = os.fsync

    def fsync(fd):
        path = os.readlink(f"/proc/self/fd/{fd}")
        if os.path.basename(path).startswith(".vaskel-") and b"refuse" in Path(path).read_bytes():
            raise OSError(5, "Input/output error")
        return real_fsync(fd)

    monkeypatch.setattr(os, "fsync", fsync)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".json")
    seen = []
    with silence_trace():
        summary = corpus.run_corpus(RULES, found, str(tmp_path / "out"), fmt="json", jobs=jobs,
                                    trace_path=str(tmp_path / "trace.txt"), on_result=seen.append)
    bad = str(tmp_path / "corpus" / "doc03.txt")
    assert summary.failed == [(bad, f"{bad}: cannot write the output: Input/output error")]
    assert sorted(p.name for p in (tmp_path / "out").glob("*.json")) == \
        [f"doc0{k}.json" for k in range(6) if k != 3]
    assert len(seen) == 6 and sorted(r.path for r in seen) == sorted(d.path for d in found)
    # Counted once, traced once, and nothing is left behind.
    assert sorted(trace_pieces(tmp_path / "trace.txt")) == sorted(d.path for d in found)
    assert hidden(tmp_path / "out") == []


@pytest.mark.skipif(sys.platform != "linux", reason="forks workers")
def test_a_worker_that_dies_with_exports_still_to_sync_loses_only_the_document_it_ran(tmp_path, monkeypatch):
    _fork_context(monkeypatch)
    docs = make_corpus(tmp_path / "corpus", 8)
    real_fsync, real_process = os.fsync, corpus.process_document
    victim = str(docs["doc05"])

    def slow_fsync(fd):
        time.sleep(0.05)  # the exports of the documents before are still waiting for the disk
        return real_fsync(fd)

    def process(state, path, text):
        if path == victim:
            os._exit(9)
        return real_process(state, path, text)

    monkeypatch.setattr(os, "fsync", slow_fsync)
    monkeypatch.setattr(corpus, "process_document", process)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".xml")
    with silence_trace():
        summary = corpus.run_corpus(RULES, found, str(tmp_path / "out"), fmt="xml", jobs=2,
                                    trace_path=str(tmp_path / "trace.txt"))
    assert summary.failed == [(victim, f"{victim}: the worker process running it ended abruptly")]
    assert sorted(p.stem for p in (tmp_path / "out").glob("*.xml")) == sorted(n for n in docs if n != "doc05")
    assert sorted(trace_pieces(tmp_path / "trace.txt")) == sorted(str(p) for p in docs.values())
    assert hidden(tmp_path / "out") == []


@pytest.mark.skipif(sys.platform != "linux", reason="forks workers")
def test_pieces_waiting_for_their_sync_keep_their_own_trace(tmp_path, monkeypatch):
    # In one process, the documents' trace pieces go one after another into
    # one spool file while their exports wait for their sync: slow syncs make
    # several wait at once. The trace file must hold the same pieces as when
    # workers trace each document into a file of its own.
    _fork_context(monkeypatch)
    make_corpus(tmp_path / "corpus", 12)
    (tmp_path / "corpus" / "doc05.txt").write_bytes(b"\xff not text")  # a failed read: an empty piece
    (tmp_path / "corpus" / "doc07.txt").write_text("", encoding="utf-8")
    real = corpus.sync_and_close

    def slow(tmp, fd):
        time.sleep(0.02)
        real(tmp, fd)

    monkeypatch.setattr(corpus, "sync_and_close", slow)
    found, _ = corpus.find_documents([str(tmp_path / "corpus")], ".json")
    traces = {}
    for jobs in (1, 2):
        out = tmp_path / f"out{jobs}"
        with silence_trace():
            summary = corpus.run_corpus(RULES, found, str(out), fmt="json", jobs=jobs,
                                        trace_path=str(out / "trace.txt"))
        assert summary.written == 11 and len(summary.failed) == 1
        assert hidden(out) == []
        traces[jobs] = trace_pieces(out / "trace.txt")
    from vaskel_tools.rulebase import RuleBase

    cut = RuleBase(RULES)
    for name, body in traces[1].items():
        if name.endswith("doc05.txt"):
            continue
        tokens = vaskel.tokenize(Path(name).read_text(encoding="utf-8"))
        with capture_trace() as t:
            vaskel.engine(tokens, cut.for_tokens(tokens))
        assert body == t.text, name
    assert traces[1] == traces[2]
    assert traces[1][str(tmp_path / "corpus" / "doc05.txt")] == ""


# --- the trace read from a pipe that a thread drains -----------------------------------


@pytest.mark.skipif(sys.platform != "linux", reason="forks workers")
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_trace_longer_than_a_pipe_holds_comes_whole_and_no_thread_outlives_the_run(tmp_path, monkeypatch, jobs):
    # The engine writes its trace into a pipe that a thread drains while the
    # call runs: a document whose trace is many times the pipe's size must
    # neither block nor lose a byte, and after the run this process is back
    # to its own threads (a later run can fork its workers safely).
    _fork_context(monkeypatch)
    corpus_dir = tmp_path / "corpus"
    corpus_dir.mkdir()
    (corpus_dir / "big.txt").write_text(SAMPLE * 500, encoding="utf-8")
    (corpus_dir / "small.txt").write_text("le chat dort .\n", encoding="utf-8")
    found, _ = corpus.find_documents([str(corpus_dir)], ".json")
    threads = threading.active_count()
    with silence_trace():
        summary = corpus.run_corpus(RULES, found, str(tmp_path / "out"), fmt="json", jobs=jobs,
                                    trace_path=str(tmp_path / "trace.txt"))
    assert summary.written == 2 and summary.failed == []
    assert threading.active_count() == threads
    from vaskel_tools.rulebase import RuleBase

    cut = RuleBase(RULES)
    pieces = trace_pieces(tmp_path / "trace.txt")
    for doc in found:
        tokens = vaskel.tokenize(Path(doc.path).read_text(encoding="utf-8"))
        with capture_trace() as t:
            vaskel.engine(tokens, cut.for_tokens(tokens))
        assert pieces[doc.path] == t.text, doc.path
    assert len(pieces[str(corpus_dir / "big.txt")]) > 4 << 20  # four times the most a pipe is given
    analysis = json.loads((tmp_path / "out" / "big.json").read_text(encoding="utf-8"))
    assert analysis["tokens"] == vaskel.tokenize(SAMPLE * 500)


def test_a_call_cut_short_leaves_nothing_for_the_next_document(monkeypatch):
    # What an interrupted call wrote into the capture is not read as the
    # start of the next document's trace.
    calls = []
    real = vaskel.engine

    def engine(tokens, rules):
        calls.append(tokens)
        if len(calls) == 1:
            real(tokens, rules)  # its trace is written, then the call fails
            raise KeyboardInterrupt
        return real(tokens, rules)

    monkeypatch.setattr(vaskel, "engine", engine)
    tokens = vaskel.tokenize(SAMPLE)
    try:
        with silence_trace():
            with pytest.raises(KeyboardInterrupt):
                corpus._traced_engine(tokens, RULES)
            _, data = corpus._traced_engine(tokens, RULES)
    finally:
        corpus._close_capture()
    with capture_trace() as t:
        real(tokens, RULES)
    assert data == t.data


def test_where_no_pipe_can_be_had_the_trace_is_captured_in_a_file(monkeypatch):
    def no_pipe():
        raise OSError(24, "Too many open files")

    monkeypatch.setattr(corpus, "_PipeCapture", no_pipe)
    tokens = vaskel.tokenize(SAMPLE)
    corpus._close_capture()
    try:
        with silence_trace():
            first = corpus._traced_engine(tokens, RULES)[1]
            second = corpus._traced_engine(tokens[:5], RULES)[1]  # the file starts empty again
        assert isinstance(corpus._capture, corpus._FileCapture)
    finally:
        corpus._close_capture()
    for data, toks in ((first, tokens), (second, tokens[:5])):
        with capture_trace() as t:
            vaskel.engine(toks, RULES)
        assert data == t.data
