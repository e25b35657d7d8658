"""`vaskel run --dask` gives the same exports as a sequential run, and fails in one line.

The command runs in a child process, so that the cluster's threads and
worker processes never share this test process with the other tests. Every
scheduler address used here lives in a network namespace the test makes
itself (`unshare -n`), never on the machine's own network."""

import importlib.util
import json
import os
import shutil
import sys
import textwrap
import time
from pathlib import Path

import pytest

import vaskel
from vaskel_tools import silence_trace

from helpers import run_command, run_python, run_vaskel, vaskel_command

# These tests are about the runner, not its formats: they read the tree export and
# the whole trace (every rule line), as the run writes them with these options.
TREE_RUN = ("--format", "xml", "--all-rule-lines")

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "python" / "vaskel_tools" / "data"
RULES = json.loads((DATA / "regles.json").read_text(encoding="utf-8"))
SAMPLE = (DATA / "texte.txt").read_text(encoding="utf-8")

needs_dask = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                                reason="dask.distributed is not installed")
not_sanitized = pytest.mark.skipif(os.environ.get("VASKEL_SANITIZED") == "1",
                                   reason="worker processes are not instrumented")


def make_corpus(corpus, count=12, repeat=1):
    corpus.mkdir()
    lines = SAMPLE.splitlines()
    for k in range(count):
        rotated = lines[k % len(lines):] + lines[: k % len(lines)]
        (corpus / f"doc{k:02}.txt").write_text(("\n".join(rotated) + "\n") * repeat, encoding="utf-8")


def expected(corpus):
    with silence_trace():
        return {p.stem: vaskel.engine(vaskel.tokenize(p.read_text(encoding="utf-8")), RULES).to_xml()
                for p in corpus.glob("doc*.txt")}


def can_unshare_net():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    return run_command(["unshare", "-n", "true"]).returncode == 0


@needs_dask
@not_sanitized
@pytest.mark.parametrize("keep_trace", [True, False])
def test_two_workers_match_a_sequential_run(tmp_path, keep_trace):
    make_corpus(tmp_path / "corpus")
    (tmp_path / "corpus" / "bad.txt").write_bytes(b"\xff")
    # Relative paths: this process reads the texts, not the workers.
    done = run_vaskel("run", *TREE_RUN, DATA / "regles.json", "corpus", "--out", "out", "--dask", "local",
                      "--jobs", "2", *([] if keep_trace else ["--trace", "none"]), text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 1, done.stderr
    assert done.stderr == f"vaskel: {Path('corpus') / 'bad.txt'}: not UTF-8 text (byte 0xff at offset 0)\n"
    assert "12 of 13 documents written" in done.stdout
    out = tmp_path / "out"
    produced = {p.stem: p.read_text(encoding="utf-8") for p in out.glob("*.xml")}
    assert produced == expected(tmp_path / "corpus")
    if not keep_trace:
        assert sorted(p.name for p in out.iterdir()) == sorted(f"{name}.xml" for name in produced)
        return
    # The traces came back from the workers, one piece per document, and
    # only what vaskel wrote: nothing the workers logged.
    trace = (out / "trace.txt").read_text(encoding="utf-8")
    assert trace.count("# document: ") == 13 and trace.count("\nlvl : 2 ; i : 0\n") == 12
    assert "distributed" not in trace and "WARNING" not in trace


@needs_dask
def test_a_bad_address_gets_one_line_at_once(tmp_path):
    make_corpus(tmp_path / "corpus", 2)
    done = run_vaskel("run", *TREE_RUN, DATA / "regles.json", tmp_path / "corpus", "--out", tmp_path / "out",
                      "--dask", "bogus", text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == "vaskel: bogus: not the address of a Dask scheduler (missing port number in address 'bogus')\n"
    assert not (tmp_path / "out").exists()


@needs_dask
@pytest.mark.skipif(not can_unshare_net(), reason="needs root and unshare -n for a network of its own")
def test_an_unreachable_scheduler_gets_one_line_and_truncates_nothing(tmp_path):
    make_corpus(tmp_path / "corpus", 2)
    out = tmp_path / "out"
    out.mkdir()
    (out / "trace.txt").write_text("the trace of an earlier run", encoding="utf-8")
    # A network namespace of its own, whose loopback is down: nothing answers.
    began = time.monotonic()
    done = run_command(["unshare", "-n", *vaskel_command("run", *TREE_RUN, DATA / "regles.json", tmp_path / "corpus",
                                                         "--out", out, "--dask", "tcp://127.0.0.1:8786")],
                       text=True, timeout=120)
    assert time.monotonic() - began < 30
    assert done.returncode == 1
    assert done.stderr == "vaskel: tcp://127.0.0.1:8786: cannot reach the Dask scheduler within 10 s (OSError)\n"
    assert (out / "trace.txt").read_text(encoding="utf-8") == "the trace of an earlier run"
    assert sorted(p.name for p in out.iterdir()) == ["trace.txt"]


CLUSTER = textwrap.dedent("""
    # Runs inside `unshare -n -m`: the client stays in this namespace, behind
    # a bridge; the scheduler and two workers each get a network namespace of
    # their own, joined to the bridge by a veth pair, and each worker a mount
    # namespace of its own where the corpus folder is hidden under an empty
    # tmpfs. Then `vaskel run` from the corpus' parent with relative paths, and
    # one worker killed once outputs appear.
    import os, signal, subprocess, sys, time
    py, corpus, rules, out_name = sys.argv[1:5]
    def sh(*cmd):
        subprocess.run(cmd, check=True)
    sh("mount", "--make-rprivate", "/")
    sh("ip", "link", "set", "lo", "up")
    sh("ip", "link", "add", "br0", "type", "bridge")
    sh("ip", "addr", "add", "10.77.0.1/24", "dev", "br0")
    sh("ip", "link", "set", "br0", "up")
    hosts = {"sched": "10.77.0.10", "w1": "10.77.0.11", "w2": "10.77.0.12"}
    for name, ip in hosts.items():
        sh("ip", "netns", "add", f"vsk-{name}")
        sh("ip", "link", "add", f"v-{name}", "type", "veth", "peer", "name", "eth0", "netns", f"vsk-{name}")
        sh("ip", "link", "set", f"v-{name}", "master", "br0", "up")
        sh("ip", "-n", f"vsk-{name}", "addr", "add", f"{ip}/24", "dev", "eth0")
        sh("ip", "-n", f"vsk-{name}", "link", "set", "eth0", "up")
        sh("ip", "-n", f"vsk-{name}", "link", "set", "lo", "up")
    address = f"tcp://{hosts['sched']}:8786"
    procs = [subprocess.Popen(["ip", "netns", "exec", "vsk-sched", py, "-m", "distributed.cli.dask_scheduler",
                               "--host", hosts["sched"], "--port", "8786", "--no-dashboard"],
                              stderr=subprocess.DEVNULL, start_new_session=True)]
    for name in ("w1", "w2"):
        hide = (f"mount -t tmpfs none {corpus} && exec {py} -m distributed.cli.dask_worker {address} "
                f"--host {hosts[name]} --nthreads 1 --nworkers 1 --no-dashboard --death-timeout 60")
        procs.append(subprocess.Popen(["ip", "netns", "exec", f"vsk-{name}", "unshare", "-m", "--propagation",
                                       "private", "sh", "-c", hide], cwd="/", stderr=subprocess.DEVNULL,
                                      start_new_session=True))
    try:
        from distributed import Client
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            if any(client.run(lambda: os.listdir(corpus)).values()):
                sys.exit("the workers see the corpus")
            seen = sorted(w.rsplit(":", 1)[0] for w in client.scheduler_info()["workers"])
            if seen != [f"tcp://{hosts['w1']}", f"tcp://{hosts['w2']}"]:
                sys.exit(f"the workers are not on their own hosts: {seen}")
        run = subprocess.Popen([py, "-m", "vaskel_tools", "run", "--format", "xml", "--all-rule-lines", rules,
                                os.path.basename(corpus), "--out", out_name, "--dask", address],
                               cwd=os.path.dirname(corpus), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = os.path.join(os.path.dirname(corpus), out_name)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and run.poll() is None:
            if os.path.isdir(out) and any(n.endswith(".xml") for n in os.listdir(out)):
                os.killpg(procs[1].pid, signal.SIGKILL)
                print("killed a worker mid-run" if run.poll() is None else "the run ended first", flush=True)
                break
            time.sleep(0.01)
        stdout, stderr = run.communicate(timeout=300)
        sys.stdout.write(stdout.decode())
        sys.stderr.write(stderr.decode())
        sys.exit(run.returncode)
    finally:
        for proc in procs:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            proc.wait()
        for name in hosts:
            subprocess.run(["ip", "netns", "delete", f"vsk-{name}"])
""")


@needs_dask
@not_sanitized
@pytest.mark.skipif(not can_unshare_net() or shutil.which("ip") is None,
                    reason="needs root, unshare and ip for networks and mounts of their own")
def test_a_cluster_whose_workers_cannot_see_the_corpus_and_one_dies(tmp_path):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, 40, repeat=30)
    script = tmp_path / "cluster.py"
    script.write_text(CLUSTER, encoding="utf-8")
    done = run_command(["unshare", "-n", "-m", sys.executable, script, sys.executable, corpus, DATA / "regles.json",
                        "out"], text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    # Only Dask's own notes (a result it could not fetch from the dead worker, rescheduled).
    assert all(" - distributed." in line for line in done.stderr.splitlines()), done.stderr
    assert done.stdout.startswith("killed a worker mid-run\n")
    assert "40 of 40 documents written to out (xml), 0 failed" in done.stdout
    out = tmp_path / "out"
    assert {p.stem: p.read_text(encoding="utf-8") for p in out.glob("*.xml")} == expected(corpus)
    heads = [line for line in (out / "trace.txt").read_text(encoding="utf-8").splitlines()
             if line.startswith("# document: ")]
    assert sorted(heads) == sorted(f"# document: {Path('corpus') / p.name}" for p in corpus.glob("*.txt"))
    assert sorted(p.name for p in out.iterdir() if p.name.startswith(".")) == []


@needs_dask
@not_sanitized
@pytest.mark.parametrize("all_rule_lines", [False, True])
def test_the_rule_base_reaches_each_worker_once(tmp_path, all_rule_lines):
    # A worker in this child process (no other process to count in): the
    # cluster holds the rule base as one object whatever its size, and the
    # worker builds the table that cuts it once, not once per batch.
    make_corpus(tmp_path / "corpus")
    done = run_python(f"""
        import json, sys
        from distributed import Client, LocalCluster
        from vaskel_tools import corpus, corpus_dask, rulebase

        rules = json.loads(open({str(DATA / "regles.json")!r}, encoding="utf-8").read())
        rules.update({{f"mot{{i}}": "NOM" for i in range(500)}})
        builds = []
        real_init = rulebase.RuleBase.__init__
        def init(self, *args):
            builds.append(1)
            real_init(self, *args)
        rulebase.RuleBase.__init__ = init
        cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None)
        corpus_dask._connect = lambda address, jobs: (Client(cluster), cluster)
        docs, _ = corpus.find_documents([{str(tmp_path / "corpus")!r}], ".xml")
        keys = []
        results = []
        corpus_dask.run_dask("local", 1, rules, docs, "xml", False,
                             lambda: keys.append(len(cluster.scheduler.tasks)), results.append, {all_rule_lines})
        print(json.dumps({{"keys": keys, "builds": len(builds), "ok": sum(r.ok for r in results),
                          "batches": len(corpus._batches(docs, 1))}}))
    """, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.splitlines()[-1])
    assert seen["ok"] == 12 and seen["batches"] > 1
    assert seen["keys"] == [1]
    assert seen["builds"] == (0 if all_rule_lines else 1)
