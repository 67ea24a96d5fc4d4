"""replay, test and diff with --cluster: the output of one process, byte for
byte, from partitions decided on a Dask cluster."""

from __future__ import annotations

import gzip
import io
import json
import logging
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import psutil
import pytest
from distributed import LocalCluster

from ctrl_c import ctrl_c_until_it_ends
from quindle_brevault_agent import cli
from quindle_brevault_agent.cli import cluster, progress

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
TIMING = re.compile(r" in \S+ s \(\S+ events/s\)")
PROGRESS = re.compile(r"\r\x1b\[K(?:[^\r\n]*(?=\r))?")  # a progress line drawn, then wiped

NEXT_POLICY = """
from quindle_brevault_agent import Policy, behaviour, cap_charges, deny_writes_to, on_charge, require_fields, restrict_scope, trigger

POLICY = Policy([
    cap_charges(1000, name="cap_charges_1000"),
    behaviour("charges_are_complete", on=on_charge(), rule=require_fields("amount", "currency", "payee")),
    deny_writes_to("bucket", ["billing-archive", "audit-log", "scratch"], name="locked_buckets"),
    restrict_scope(["projects/invoice-bot/", "scratch/"], name="own_scope_only"),
    behaviour("writes_name_a_bucket", on=trigger(stage="execution"), rule=require_fields("bucket")),
])
"""

# The example policy, except that a worker process that loads it first dies
# (once: the marker file says it did).
ON_A_WORKER = """
import os
from quindle_brevault_agent.policy_files import load_policy

POLICY = load_policy({example!r})
try:
    from distributed import get_worker
    get_worker()
except (ImportError, ValueError):
    pass  # not on a worker
else:
    {on_worker}
"""
DIES_ONCE = """try:
        os.close(os.open({marker!r}, os.O_CREAT | os.O_EXCL))
    except FileExistsError:
        pass
    else:
        os._exit(1)"""

SLOW_POLICY = """
import os, time
from quindle_brevault_agent._impl import behaviour, rule, trigger

def slow(event):
    time.sleep(0.01)
    return "ALLOW"

POLICY = [behaviour("slow", on=trigger(stage="s"), rule=rule("slow", slow))]
"""


def records_of(lines):
    """Decision-log records of the example events that are JSON objects."""
    found = []
    for text in lines:
        try:
            event = json.loads(text)
        except ValueError:
            continue
        if isinstance(event, dict):
            found.append(json.dumps({"decision_log": 1, "stage": event.get("stage"), "verdict": "ALLOW", "event": event}))
    return found


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Events and decision logs (plain, gzip, with a byte order mark and no
    final newline, with a NUL byte), cases, and the policies."""
    folder = tmp_path_factory.mktemp("cluster")
    lines = (EXAMPLES / "events.jsonl").read_text().splitlines()
    records = records_of(lines)
    files = {
        "events": ("1-events.jsonl", ("\n".join(lines * 6 + records + ["", "[1,"]) + "\n").encode()),
        "logs": ("2-logs.jsonl.gz", gzip.compress(("\n".join(records + lines) + "\n").encode())),
        "bom": ("3-bom.jsonl", b"\xef\xbb\xbf" + "\n".join(lines[:20]).encode()),
        "nul": ("4-nul.jsonl", ("\n".join(lines[:10] + ["\0\0"] + lines[10:]) + "\n").encode()),
        "cases": ("cases-1.jsonl", ((EXAMPLES / "cases.jsonl").read_text() * 3 + 'nope\n{"event": {}, "expext": "ALLOW"}\n').encode()),
        "cases_gz": ("cases-2.jsonl.gz", gzip.compress((EXAMPLES / "cases.jsonl").read_bytes())),
        "next": ("policy_next.py", NEXT_POLICY.encode()),
    }
    names = {key: str(folder / name) for key, (name, _) in files.items()}
    for key, (name, data) in files.items():
        (folder / name).write_bytes(data)
    names["policy"] = str(EXAMPLES / "policy.py")
    names["folder"] = str(folder)
    names["stdin"] = "\n".join(lines[5:15] + ["nope"]) + "\n"
    names["stdin_cases"] = (EXAMPLES / "cases.jsonl").read_text()
    return names


@pytest.fixture(scope="module")
def shared_cluster():
    """One local cluster that the in-process runs join (tcp://...)."""
    with LocalCluster(
        n_workers=2, threads_per_worker=1, dashboard_address=None, silence_logs=logging.ERROR,
        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        preload=["quindle_brevault_agent.cli.cluster"],
    ) as running:
        yield running.scheduler_address


class Terminal(io.StringIO):
    def isatty(self):
        return True


class Stdin:
    def __init__(self, text: str) -> None:
        self.buffer = io.BytesIO(text.encode())


def in_process(monkeypatch, argv, stdin="", terminal=False):
    out, err = io.StringIO(), Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stdin", Stdin(stdin))
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    status = cli.main([str(arg) for arg in argv])
    return status, out.getvalue(), TIMING.sub("", PROGRESS.sub("", err.getvalue())), err.getvalue()


# Each run twice: in one process, with ALL the files named one by one, and on
# the shared cluster, with ALL a glob of them; the plain files are cut in
# blocks of a few hundred bytes, so that lines are numbered across blocks.
@pytest.mark.parametrize(
    "argv, stdin, terminal",
    [
        (["replay", "{policy}", "{events}", "-", "{logs}", "{bom}", "{nul}", "--format", "jsonl"], "stdin", False),
        (["replay", "{policy}", "ALL", "--format", "table", "--max-errors", "4"], None, True),
        (["replay", "{policy}", "ALL", "--stage", "spend_decision", "--fail-on", "flag", "-q"], None, False),
        (["test", "{next}", "{cases}", "-", "{cases_gz}", "--junit", "{folder}/JUNIT.xml"], "stdin_cases", False),
        (["diff", "{policy}", "{next}", "ALL", "--format", "table"], None, True),
        (["diff", "{policy}", "{next}", "{bom}", "-", "{events}"], "stdin", False),
    ],
)
def test_the_cluster_gives_the_output_of_one_process(monkeypatch, inputs, shared_cluster, argv, stdin, terminal):
    monkeypatch.setattr(cluster, "BLOCK", 300)
    monkeypatch.setattr(progress, "AFTER", 0.0)
    monkeypatch.setattr(progress, "EVERY", 0.0)
    monkeypatch.setenv("TERM", "xterm")
    monkeypatch.delenv("NO_COLOR", raising=False)
    every = [inputs[key] for key in ("events", "logs", "bom", "nul")]
    text = inputs[stdin] if stdin else ""
    runs = []
    for where, files in (("one", every), ("cluster", [os.path.join(inputs["folder"], "[0-9]-*")])):
        args = []
        for arg in argv:
            args += files if arg == "ALL" else [arg.format(**inputs).replace("JUNIT", where)]
        if where == "cluster":
            args += ["--cluster", shared_cluster]
        status, out, err, shown = in_process(monkeypatch, args, text, terminal)
        junit = Path(inputs["folder"], f"{where}.xml")
        runs.append((status, out, err, junit.read_bytes() if junit.exists() else None))
    assert runs[1] == runs[0]
    assert runs[0][0] == 2 and runs[0][1].count("\n") > 30
    if terminal:
        assert "\r\x1b[K0 of " in shown and " partitions decided (" in shown


@pytest.mark.parametrize("command", ["replay", "test", "diff"])
def test_a_local_cluster_started_for_the_run_gives_the_output_of_one_process(inputs, tmp_path, command):
    # The replay's policy kills the first worker that loads it: that worker's
    # partition is decided again, by another worker or its replacement.
    marker = tmp_path / "died"
    dying = tmp_path / "dying.py"
    dying.write_text(ON_A_WORKER.format(
        example=inputs["policy"], on_worker=DIES_ONCE.format(marker=str(marker))
    ))
    url = "file://" + inputs["bom"]
    argv = {
        "replay": ["replay", dying, inputs["events"], url, inputs["logs"], "--format", "jsonl"],
        "test": ["test", inputs["next"], inputs["cases"], inputs["cases_gz"]],
        "diff": ["diff", inputs["policy"], inputs["next"], inputs["events"], inputs["logs"], "--format", "jsonl"],
    }[command]
    runs = []
    for extra in ([], ["--cluster", "local:2"]):
        args = [str(arg) for arg in argv + extra]
        if not extra:
            args = [inputs["bom"] if arg == url else arg for arg in args]
        result = subprocess.run(
            [sys.executable, "-m", "quindle_brevault_agent", *args], capture_output=True, text=True, timeout=300
        )
        runs.append((result.returncode, result.stdout, TIMING.sub("", result.stderr)))
    if command == "replay":
        # The URL is the input's name in the cluster's rows and reports.
        runs[0] = tuple(
            part.replace(inputs["bom"], url) if isinstance(part, str) else part for part in runs[0]
        )
        assert marker.exists()
    assert runs[1] == runs[0]
    assert runs[0][0] == 2 and runs[0][1].count("\n") > 10


@pytest.mark.parametrize(
    "argv, said",
    [
        (["replay", "{dying}", "{events}"], "cannot load policy {dying}: {dying} failed to load: RuntimeError: not here"),
        (["test", "{dying}:POLICY", "{cases}"], "cannot load policy {dying}:POLICY: {dying} failed to load: RuntimeError: not here"),
        (["diff", "{policy}", "{dying}", "{events}", "--format", "table"], "NEW: cannot load policy {dying}: {dying} failed to load: RuntimeError: not here"),
    ],
)
def test_a_policy_that_fails_to_load_on_a_worker_stops_the_run_with_one_message(
    monkeypatch, inputs, shared_cluster, tmp_path, argv, said
):
    names = dict(inputs, dying=str(tmp_path / "dying.py"))
    Path(names["dying"]).write_text(ON_A_WORKER.format(example=inputs["policy"], on_worker='raise RuntimeError("not here")'))
    args = [arg.format(**names) for arg in argv] + ["--cluster", shared_cluster]
    status, out, err, _ = in_process(monkeypatch, args, terminal=True)
    assert (status, out, err) == (2, "", f"quindle-brevault-agent: {said.format(**names)}\n")


@pytest.mark.parametrize(
    "argv, said",
    [
        (["replay", "{policy}", "{events}", "--cluster", "local:2"],
         "quindle-brevault-agent: --cluster needs Dask and its distributed scheduler: pip install 'quindle-brevault-agent[cluster]'\n"),
        (["diff", "{policy}", "{policy}", "{folder}/absent-*.jsonl", "--cluster", "local:2"],
         "quindle-brevault-agent: cannot open {folder}/absent-*.jsonl: No such file or directory\n"),
        (["test", "{policy}", "file://{folder}/absent.jsonl", "--cluster", "local:2"],
         "quindle-brevault-agent: cannot open file://{folder}/absent.jsonl: No such file or directory\n"),
        (["replay", "{policy}", "{events}", "--cluster", "local:0"],
         "quindle-brevault-agent replay: error: argument --cluster: invalid cluster address"),
    ],
)
def test_what_stops_a_cluster_run_before_it_starts(inputs, tmp_path, argv, said):
    # Without the cluster extra: a `distributed` that cannot be imported.
    (tmp_path / "distributed").mkdir()
    (tmp_path / "distributed" / "__init__.py").write_text("raise ImportError('no distributed here')\n")
    env = dict(os.environ)
    if "needs Dask" in said:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, "-m", "quindle_brevault_agent", *[arg.format(**inputs) for arg in argv]],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert result.returncode == 2 and result.stdout == ""
    assert said.format(**inputs) in result.stderr and "Traceback" not in result.stderr


class ProcessGroup:
    """Ctrl-C at a terminal: the signal goes to the command and every process it started."""

    def __init__(self, proc: subprocess.Popen) -> None:
        self.pid = proc.pid

    def send_signal(self, signum: int) -> None:
        try:
            os.killpg(self.pid, signum)
        except ProcessLookupError:
            pass

    def kill(self) -> None:
        self.send_signal(signal.SIGKILL)


def test_ctrl_c_closes_the_local_cluster_and_leaves_nothing_running(tmp_path):
    slow = tmp_path / "slow.py"
    slow.write_text(SLOW_POLICY)
    quick, long = tmp_path / "quick.jsonl", tmp_path / "long.jsonl"
    quick.write_text('{"stage": "s"}\n' * 100)
    long.write_text('{"stage": "s"}\n' * 5000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "quindle_brevault_agent", "replay", str(slow), str(quick), str(long),
         "--cluster", "local:2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
    )
    first = [proc.stdout.readline() for _ in range(100)]  # the first input's rows, while the second is decided
    started = psutil.Process(proc.pid).children(recursive=True)
    assert first[-1].startswith(b'{"line": 100, ') and len(started) >= 2
    # Pressed again only if the first was not enough: a press while the
    # interpreter ends (its handlers gone) ends it by the signal itself.
    with ctrl_c_until_it_ends(ProcessGroup(proc), every=10):
        out, err = proc.communicate(timeout=120)
    err = err.decode()
    assert proc.returncode in (130, -signal.SIGINT), err
    assert "\nquindle-brevault-agent: interrupted\n" in err and "Traceback" not in err
    assert " 100 events read from 2 inputs" in err and out == b""  # the summary counts the rows written

    def running():
        alive = []
        for child in started:
            try:
                if child.status() != psutil.STATUS_ZOMBIE:
                    alive.append(child)
            except psutil.NoSuchProcess:
                pass
        return alive

    deadline = time.monotonic() + 60
    while running() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert running() == []


def test_the_worker_side_of_a_policy_is_loaded_from_its_bytes(tmp_path, monkeypatch):
    # The file moved away (another machine): the bytes are loaded from a copy
    # with the same name, and messages name the file as given.
    path = tmp_path / "policy.toml"
    path.write_text('[[behaviour]]\nuse = "cap_charges"\nlimit = 5\n')
    monkeypatch.chdir(tmp_path)
    spec = cluster.shipped("policy.toml")
    path.write_text('[[behaviour]]\nuse = "nothing"\n')
    broken = cluster.shipped("policy.toml")
    path.unlink()
    assert [b.name for b in cluster.load(spec)] == ["cap_charges<=5"]  # the bytes shipped
    assert cluster.target_here(spec) != "policy.toml"
    with pytest.raises(cluster.PolicyFailed) as failed:
        cluster.load(broken)
    said = str(failed.value)
    assert said.startswith("cannot load policy policy.toml: behaviour 1") and "quindle-policy-" not in said


def test_a_local_cluster_starts_its_workers_without_the_malloc_trim_threshold(monkeypatch):
    # Dask's fixed trim threshold also fixes glibc's mmap threshold, so that a
    # worker maps and unmaps every chunk it reads: the run's own workers go
    # without it, and keep the rest of the environment Dask gives them.
    import dask

    monkeypatch.delenv("MALLOC_TRIM_THRESHOLD_", raising=False)
    names = ("MALLOC_TRIM_THRESHOLD_", "OMP_NUM_THREADS", "QBA_KEPT")
    with dask.config.set({"distributed.nanny.pre-spawn-environ.QBA_KEPT": "yes"}):
        with cluster.Session("local:1", io.StringIO(), progress.Progress(io.StringIO(), False)) as session:
            seen = session.client.run(lambda: [os.environ.get(name) for name in names])
    assert list(seen.values()) == [[None, "1", "yes"]]
