"""DecisionLog, verify-log, and the replay of decision logs."""

from __future__ import annotations

import hashlib
import io
import json
import re
import subprocess
import sys
import textwrap
import threading

import pytest

from quindle_brevault_agent import DecisionLog, Policy, library as qba
from quindle_brevault_agent.enforce.decision_log import LogError

POLICY = Policy([
    qba.cap_charges(500, name="cap"),
    qba.flag_large_charges(100, name="large"),
    qba.deny_writes_to("bucket", ["vault"], name="locked"),
])
ZERO = "0" * 64


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", "quindle_brevault_agent", *map(str, args)],
        capture_output=True, text=True, timeout=60,
    )


def charge(amount, **more):
    return {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": amount, **more}}


def strict(line):
    def refuse(name):
        raise ValueError(f"not strict JSON: {name}")

    return json.loads(line, parse_constant=refuse)


def write_log(path, amounts):
    with DecisionLog(path) as log:
        for amount in amounts:
            event = charge(amount)
            log.record(event, "spend_decision", POLICY.evaluate(event, stage="spend_decision"))


def test_a_record_is_strict_json_chained_to_the_line_before():
    stream = io.StringIO()
    log = DecisionLog(stream, redact=("card_number",))

    class Payee:
        def __str__(self):
            return "payee object"

    event = {
        "stage": "spend_decision", "action_type": "charge", "card_number": "4111",
        "kwargs": {"amount": float("nan"), "card_number": "4111", "payee": Payee(), "tags": ("a", 1),
                   "limits": [float("inf"), -float("inf")], 7: {None: {"a"}}},
    }
    decision = POLICY.evaluate(charge(900), stage="spend_decision")
    log.record(event, "spend_decision", decision)
    log.record({"x": 1}, None, POLICY.evaluate({"x": 1}, stage=None))
    first, second = stream.getvalue().splitlines()
    record = strict(first)
    assert list(record) == ["decision_log", "seq", "time", "stage", "verdict", "hits", "event", "prev"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z", record["time"])
    assert (record["seq"], record["stage"], record["verdict"], record["prev"]) == (1, "spend_decision", "BLOCK", ZERO)
    assert record["hits"] == [
        {"behaviour": "cap", "rule": "spend_cap<=500", "verdict": "BLOCK"},
        {"behaviour": "large", "rule": "flag_over>100", "verdict": "FLAG"},
    ]
    assert record["event"] == {
        "stage": "spend_decision", "action_type": "charge", "card_number": "[redacted]",
        "kwargs": {"amount": "nan", "card_number": "[redacted]", "payee": "payee object", "tags": ["a", 1],
                   "limits": ["inf", "-inf"], "7": {"None": "{'a'}"}},
    }
    assert event["card_number"] == "4111" and event["kwargs"]["card_number"] == "4111"  # the caller's event is left alone
    assert strict(second)["seq"] == 2
    assert strict(second)["prev"] == hashlib.sha256(first.encode()).hexdigest()


def test_threads_share_a_log_and_a_reopened_log_continues_its_chain(tmp_path):
    path = tmp_path / "decisions.jsonl"
    log = DecisionLog(path)
    event = charge(20)
    decision = POLICY.evaluate(event, stage="spend_decision")

    def record_many():
        for _ in range(100):
            log.record(event, "spend_decision", decision)

    threads = [threading.Thread(target=record_many) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    log.close()
    with open(path, "ab") as raw:
        raw.truncate(raw.tell() - 1)  # a last line without its newline still continues
    write_log(path, [30])
    lines = path.read_text().splitlines()
    assert [strict(line)["seq"] for line in lines] == list(range(1, 802))
    result = run("verify-log", path)
    assert result.returncode == 0, result.stderr
    last = hashlib.sha256(lines[-1].encode()).hexdigest()
    assert result.stdout == f"{path}: 801 records, chain intact, last line sha256 {last}\n"

    path.write_text(path.read_text() + "not a record\n")
    with pytest.raises(LogError, match="the last line is not a decision record"):
        DecisionLog(path)


def _edit(lines):
    record = json.loads(lines[2])
    record["verdict"] = "ALLOW"
    return [*lines[:2], json.dumps(record), *lines[3:]]


def _rechain(lines):
    # The whole chain rewritten after an edit: it verifies, but its last hash differs.
    out = [lines[0], lines[1]]
    for line in lines[2:]:
        record = json.loads(line)
        record["verdict"] = "ALLOW"
        record["prev"] = hashlib.sha256(out[-1].encode()).hexdigest()
        out.append(json.dumps(record))
    return out


def _reseq(lines):
    record = json.loads(lines[4])
    record["seq"] = 9
    return [*lines[:4], json.dumps(record)]


@pytest.mark.parametrize(
    "tamper, status, message",
    [
        (lambda lines: lines, 0, None),
        (_edit, 1, ":4: prev is not the hash of line 3"),
        (lambda lines: lines[:2] + lines[3:], 1, ":3: prev is not the hash of line 2"),
        (lambda lines: lines[:2] + [lines[1]] + lines[2:], 1, ":3: prev is not the hash of line 2"),
        (lambda lines: [lines[0], lines[2], lines[1], *lines[3:]], 1, ":2: prev is not the hash of line 1"),
        (lambda lines: lines[1:], 1, ":1: the first record's prev is not 64 zeros"),
        (_reseq, 1, ":5: seq 9 does not follow seq 4"),
        (lambda lines: lines[:2] + ["", "  "] + lines[2:], 0, None),  # blank lines hold no record
        (lambda lines: lines[:2] + ['{"decision_log": 1'] + lines[2:], 2, ":3: not JSON"),
        (lambda lines: lines[:2] + ['{"event": {}}'] + lines[2:], 2, ":3: not a decision record"),
        (_rechain, 0, None),
    ],
)
def test_verify_log_names_the_first_line_that_does_not_follow(tmp_path, tamper, status, message):
    original = tmp_path / "original.jsonl"
    write_log(original, [20, 200, 900, 50, 700])
    lines = original.read_text().splitlines()
    path = tmp_path / "decisions.jsonl"
    path.write_text("".join(line + "\n" for line in tamper(lines)))
    result = run("verify-log", path)
    assert result.returncode == status, result.stderr
    if message is None:
        assert result.stderr == ""
        last = result.stdout.split()[-1]
        assert (last == hashlib.sha256(lines[-1].encode()).hexdigest()) is (tamper is not _rechain)
    else:
        assert result.stdout == ""
        assert result.stderr.startswith(f"{path}{message}") and result.stderr.count("\n") == 1


def test_verify_log_over_several_inputs(tmp_path):
    good, bad = tmp_path / "good.jsonl", tmp_path / "bad.jsonl"
    write_log(good, [20])
    write_log(bad, [20, 30])
    bad.write_text("\n".join(reversed(bad.read_text().splitlines())) + "\n")
    result = run("verify-log", good, bad)
    assert result.returncode == 1
    assert result.stdout.startswith(f"{good}: 1 record, chain intact")
    assert result.stderr == f"{bad}:1: the first record's prev is not 64 zeros\n"
    missing = run("verify-log", bad, tmp_path / "absent.jsonl", good)
    assert missing.returncode == 2
    assert "cannot open" in missing.stderr and f"{good}: 1 record" in missing.stdout


def test_replay_keeps_the_recorded_verdict_and_counts_the_changes(tmp_path):
    path = tmp_path / "decisions.jsonl"
    write_log(path, [20, 200, 900])
    with open(path, "a") as out:
        out.write(json.dumps({"stage": "execution", "bucket": "vault"}) + "\n")  # a plain event beside them
        out.write(json.dumps({"decision_log": 1, "stage": "x", "verdict": "ALLOW", "event": [1]}) + "\n")
    looser = tmp_path / "looser.py"
    looser.write_text(textwrap.dedent("""
        from quindle_brevault_agent import library as qba
        POLICY = [qba.cap_charges(1000, name="cap"), qba.deny_writes_to("bucket", ["vault"], name="locked")]
    """))
    result = run("replay", looser, path, "--format", "jsonl")
    assert result.returncode == 2  # the last line is bad
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert [(r["line"], r["stage"], r["verdict"], r.get("recorded")) for r in records] == [
        (1, "spend_decision", "ALLOW", "ALLOW"),
        (2, "spend_decision", "ALLOW", "FLAG"),
        (3, "spend_decision", "ALLOW", "BLOCK"),
        (4, "execution", "BLOCK", None),
    ]
    assert "recorded decisions: 3, of which 2 would change" in result.stderr
    assert f"{path}:5: a decision record whose event is not a JSON object but an array" in result.stderr
    at_execution = run("replay", looser, path, "--stage", "execution", "--format", "table")
    rows = at_execution.stdout.splitlines()
    assert rows[3].split() == ["3", "execution", "ALLOW", "(recorded:", "BLOCK)"]
    assert rows[1].split() == ["1", "execution", "ALLOW"]


def test_a_decision_that_raised_is_recorded_as_an_error_in_the_chain(tmp_path):
    path = tmp_path / "log.jsonl"
    event = charge("900")
    with DecisionLog(path, redact=("amount",)) as log:
        log.record(charge(5), "spend_decision", POLICY.evaluate(charge(5), stage="spend_decision"))
        try:
            POLICY.evaluate(event, stage="spend_decision")
        except TypeError as exc:
            log.record_error(event, "spend_decision", exc)
        log.record_error({"unparsed": "{"}, None, "parse error: not JSON")
    lines = path.read_bytes().splitlines()
    second, third = (strict(line) for line in lines[1:])
    assert list(second) == [
        "decision_log", "seq", "time", "stage", "verdict", "hits", "error", "event", "prev",
    ]
    assert (second["seq"], second["verdict"], second["hits"]) == (2, "ERROR", [])
    assert re.fullmatch(
        r"TypeError: .+ \(while evaluating behaviour 'cap' \(rule 'spend_cap<=500'\)\)", second["error"]
    )
    assert second["event"]["kwargs"] == {"amount": "[redacted]"}
    assert (third["error"], third["stage"], third["event"]) == ("parse error: not JSON", None, {"unparsed": "{"})
    assert second["prev"] == hashlib.sha256(lines[0]).hexdigest()
    assert third["prev"] == hashlib.sha256(lines[1]).hexdigest()
    assert run("verify-log", path).returncode == 0


WRITER = textwrap.dedent("""
    import os, sys
    from quindle_brevault_agent import DecisionLog, Policy
    path, name, mode = sys.argv[1:]
    decision = Policy([]).evaluate({}, stage=None)

    def write(log, writer, numbers):
        for n in numbers:  # every tenth record is large: a write of many pages
            log.record({"writer": writer, "n": n, "pad": "x" * (300_000 if n % 10 == 0 else 9)}, "s", decision)

    sys.stdin.read(1)  # the writers start together
    if mode == "each":  # each process opens the log, and again halfway
        for numbers in (range(30), range(30, 60)):
            with DecisionLog(path) as log:
                write(log, name, numbers)
    elif mode == "threads":  # four threads of each process share its log, synced to the disk
        import threading
        with DecisionLog(path, fsync=True) as log:
            threads = [threading.Thread(target=write, args=(log, f"{name}{t}", range(30))) for t in range(4)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
    elif mode == "guard":  # a guarded function's records, from a log opened before the process forks
        from quindle_brevault_agent import behaviour, guard, rule, trigger
        log = DecisionLog(path)
        allow = Policy([behaviour("all", on=trigger(stage="s"), rule=rule("any", lambda event: "FLAG"))])
        record = guard(allow, stage="s", log=log)(lambda writer, n, pad: None)
        record(name, -1, "")
        children = []
        for child in range(3):
            if (pid := os.fork()) == 0:
                for n in range(60):
                    record(f"{name}.{child}", n, "x" * (300_000 if n % 10 == 0 else 9))
                os._exit(0)
            children.append(pid)
        assert all(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 for pid in children)
        record(name, -2, "")
    else:  # one log, opened before the process forks its writers
        log = DecisionLog(path)
        write(log, name, [-1])
        children = []
        for child in range(3):
            if (pid := os.fork()) == 0:
                write(log, f"{name}.{child}", range(60))
                os._exit(0)
            children.append(pid)
        assert all(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0 for pid in children)
        write(log, name, [-2])
""")


@pytest.mark.parametrize(
    "mode, writers, expected",
    [
        ("each", "abcd", {(w, n) for w in "abcd" for n in range(60)}),
        ("fork", "p", {("p", -1), ("p", -2)} | {(f"p.{c}", n) for c in range(3) for n in range(60)}),
        ("threads", "ab", {(f"{w}{t}", n) for w in "ab" for t in range(4) for n in range(30)}),
        ("guard", "pq", {(w, n) for w in "pq" for n in (-1, -2)} | {(f"{w}.{c}", n) for w in "pq" for c in range(3) for n in range(60)}),
    ],
)
def test_processes_appending_to_one_log_keep_one_chain(tmp_path, mode, writers, expected):
    path = tmp_path / "decisions.jsonl"
    procs = [
        subprocess.Popen([sys.executable, "-c", WRITER, str(path), name, mode], stdin=subprocess.PIPE, text=True)
        for name in writers
    ]
    for proc in procs:
        proc.stdin.write("go")
        proc.stdin.close()
    assert [proc.wait(timeout=120) for proc in procs] == [0] * len(procs)
    records = [strict(line) for line in path.read_bytes().splitlines()]
    written = [(r["event"].get("kwargs", r["event"])["writer"], r["event"].get("kwargs", r["event"])["n"]) for r in records]
    assert sorted(written, key=str) == sorted(expected, key=str)  # each once
    assert [r["seq"] for r in records] == list(range(1, len(expected) + 1))
    result = run("verify-log", path)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr


CUT = b'{"decision_log": 1, "seq": 3, "time": "2026-01-31T12:00:00.1'


@pytest.mark.parametrize(
    "before, tail, kept, when, outcome",
    [
        # A last line without its newline that is not JSON was cut short: moved aside.
        ("records", CUT, [], "open", ".torn"),
        ("records", CUT[:-4] + b"\xc3", [".torn", ".torn.1"], "open", ".torn.2"),  # earlier ones are kept
        ("", CUT, [], "open", ".torn"),  # the only line: the chain starts again
        ("records", CUT, [], "record", ".torn"),  # cut by another writer while this log was open
        ("records", b"\n  \n ", [], "open", None),  # blank lines are no record, nothing is moved
        # A line that ended, or that is JSON, was not cut short: refused as before.
        ("records", CUT + b"\n", [], "open", "the last line is not a decision record"),
        ("records", b"[1, 2]", [], "open", "the last line is not a decision record"),
        ("not a record\n", CUT, [], "open", "the last line is not a decision record"),
    ],
)
def test_a_last_line_cut_short_is_moved_aside_and_the_chain_goes_on(
    tmp_path, caplog, capsys, before, tail, kept, when, outcome
):
    path = tmp_path / "log.jsonl"
    if before == "records":
        write_log(path, [20, 900])
    else:
        path.write_text(before)
    good = path.read_bytes()
    for suffix in kept:
        (tmp_path / f"log.jsonl{suffix}").write_bytes(b"earlier")

    def cut():
        with open(path, "ab") as raw:
            raw.write(tail)

    caplog.set_level("WARNING", logger="quindle_brevault_agent")
    event = charge(30)
    decision = POLICY.evaluate(event, stage="spend_decision")
    if when == "open":
        cut()
    if outcome is not None and not outcome.startswith("."):
        with pytest.raises(LogError, match=outcome):
            DecisionLog(path)
        assert path.read_bytes() == good + tail
        assert sorted(p.name for p in tmp_path.iterdir()) == ["log.jsonl"]
        return
    with DecisionLog(path) as log:
        if when == "record":
            cut()
        log.record(event, "spend_decision", decision)
    data = path.read_bytes()
    kept_part = good if outcome else good + tail + b"\n"  # a blank last line gets its newline
    assert data.startswith(kept_part) and data[len(kept_part):].count(b"\n") == 1
    assert strict(data[len(kept_part):])["seq"] == good.count(b'"decision_log"') + 1
    assert run("verify-log", path).returncode == 0
    for suffix in kept:
        assert (tmp_path / f"log.jsonl{suffix}").read_bytes() == b"earlier"
    warnings = [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
    if outcome is None:
        assert warnings == [] and len(list(tmp_path.iterdir())) == 1
    else:
        assert (tmp_path / f"log.jsonl{outcome}").read_bytes() == tail
        [(name, level, message)] = warnings
        assert (name, level) == ("quindle_brevault_agent", "WARNING")
        assert f"{path}:" in message and f"{path}{outcome} " in message
    assert capsys.readouterr() == ("", "")  # the library does not print



@pytest.mark.parametrize("target", ["path", "binary stream", "text stream"])
def test_each_record_is_in_the_file_when_record_returns(tmp_path, target):
    path = tmp_path / "log.jsonl"
    stream = None if target == "path" else open(path, "wb" if target.startswith("binary") else "w")
    with DecisionLog(stream or path, key=None if stream is None else b"k") as log:
        for n in range(1, 4):
            log.record(charge(n), "spend_decision", POLICY.evaluate(charge(n), stage="spend_decision"))
            assert path.read_bytes().count(b"\n") == n  # read through another file: what reached it
    if stream is not None:
        stream.close()


KEY = b"correct horse"


def write_keyed(path, amounts, key=KEY):
    with DecisionLog(path, key=key) as log:
        for amount in amounts:
            log.record(charge(amount), "spend_decision", POLICY.evaluate(charge(amount), stage="spend_decision"))


def _edit_last(lines):
    return [*lines[:-1], lines[-1].replace('"verdict": "BLOCK"', '"verdict": "ALLOW"', 1)]


def _rechain_plain(lines):
    # Signatures stripped and the chain rewritten with SHA-256, as anybody could.
    out = []
    for line in lines:
        record = {key: value for key, value in json.loads(line).items() if key != "hmac"}
        out.append(json.dumps({**record, "prev": hashlib.sha256(out[-1].encode()).hexdigest() if out else ZERO}))
    return out


@pytest.mark.parametrize(
    "tamper, key_file, status, message",
    [
        (None, KEY + b"\n", 0, None),  # one trailing newline is not the key's
        (None, None, 2, ":1: a keyed record (HMAC-SHA256): the log cannot be checked without its key (--key-file)"),
        (None, KEY + b"\n\n", 1, ":1: the hmac does not match: the record was changed, or signed under another key"),
        (_edit_last, KEY, 1, ":5: the hmac does not match"),  # the last record too, named itself
        (lambda lines: lines[:1] + lines[2:], KEY, 1, ":2: prev is not the hmac of line 1"),
        (_rechain_plain, KEY, 1, ":1: the record has no hmac: it was not signed under the key"),
        (_rechain_plain, None, 0, None),  # what a plain chain cannot tell
        (None, b"\n", 2, "quindle-brevault-agent: key file {key} holds no key: it is empty"),
    ],
)
def test_a_keyed_log_is_checked_under_its_key(tmp_path, tamper, key_file, status, message):
    write_keyed(tmp_path / "original.jsonl", [20, 200, 900, 50, 700])
    lines = (tmp_path / "original.jsonl").read_text().splitlines()
    path, key = tmp_path / "decisions.jsonl", tmp_path / "key"
    path.write_text("".join(line + "\n" for line in (tamper or list)(lines)))
    key.write_bytes(key_file or b"")
    result = run("verify-log", path, *(["--key-file", key] if key_file is not None else []))
    assert result.returncode == status, result.stderr
    if message is None:
        head = hashlib.sha256(path.read_bytes().splitlines()[-1]).hexdigest()
        chain = "chain" if tamper else "keyed chain"
        assert (result.stdout, result.stderr) == (f"{path}: 5 records, {chain} intact, last line sha256 {head}\n", "")
    else:
        shown = message.format(key=key) if message.startswith("quindle") else f"{path}{message}"
        assert result.stderr.startswith(shown) and result.stderr.count("\n") == 1 and result.stdout == ""


@pytest.mark.parametrize(
    "written, opened, refused",
    [
        (KEY, KEY.decode(), None),  # a string key is its UTF-8 bytes
        (KEY, None, "the log is keyed \\(HMAC-SHA256\\), so its chain goes on only under its key"),
        (KEY, b"another key", "the last record's hmac does not match the key"),
        (None, KEY, "the log is not keyed, so a keyed chain cannot go on from it"),
    ],
)
def test_a_log_goes_on_only_as_it_was_begun(tmp_path, written, opened, refused):
    path = tmp_path / "log.jsonl"
    write_keyed(path, [20, 900], key=written)
    if refused is not None:
        with pytest.raises(LogError, match=refused):
            DecisionLog(path, key=opened)
        return
    write_keyed(path, [30], key=opened)
    (tmp_path / "key").write_bytes(KEY)
    assert " 3 records, keyed chain intact" in run("verify-log", path, "--key-file", tmp_path / "key").stdout
    policy = tmp_path / "policy.py"  # and keyed records replay as any decision record
    policy.write_text("from quindle_brevault_agent import library as qba\nPOLICY = [qba.cap_charges(100)]\n")
    replayed = run("replay", policy, path, "--format", "jsonl").stdout.splitlines()
    assert [json.loads(row)["recorded"] for row in replayed] == ["ALLOW", "BLOCK", "ALLOW"]


@pytest.mark.parametrize(
    "tamper, args, status, out, err",
    [
        (lambda lines: ["", " "], [], 0, "{path}: 0 records, the log is empty: nothing to check\n", ""),
        (lambda lines: [], ["--expect-count", "1"], 1, "", "{path}: expected 1 record (--expect-count), found 0\n"),
        (list, ["--expect-count", "5", "--expect-head", "{HEAD}"], 0,
         "{path}: 5 records, chain intact, last line sha256 {head}\n", ""),
        (_edit_last, ["--expect-head", "{head}"], 1, "",
         "{path}: expected last line sha256 {head} (--expect-head), found {found}\n"),
        (lambda lines: lines[:-1], ["--expect-count", "5", "--expect-head", "{head}"], 1, "",
         "{path}: expected 5 records (--expect-count), found 4\n"
         "{path}: expected last line sha256 {head} (--expect-head), found {found}\n"),
    ],
)
def test_verify_log_closes_what_a_plain_chain_cannot_see(tmp_path, tamper, args, status, out, err):
    write_log(tmp_path / "original.jsonl", [20, 200, 900, 50, 700])
    lines = (tmp_path / "original.jsonl").read_text().splitlines()
    path = tmp_path / "decisions.jsonl"
    path.write_text("".join(line + "\n" for line in tamper(lines)))
    head = hashlib.sha256(lines[-1].encode()).hexdigest()
    kept = [line for line in path.read_bytes().splitlines() if line.strip()]
    names = {"path": path, "head": head, "HEAD": head.upper(), "found": hashlib.sha256(kept[-1] if kept else b"").hexdigest()}
    result = run("verify-log", path, *[arg.format(**names) for arg in args])
    assert (result.returncode, result.stdout, result.stderr) == (status, out.format(**names), err.format(**names))


@pytest.mark.parametrize("unreadable", ["absent", "a directory", "not a record", "keyed"])
def test_verify_log_an_unreadable_input_wins_over_a_broken_one_in_either_order(tmp_path, unreadable):
    broken, bad = tmp_path / "broken.jsonl", tmp_path / "bad.jsonl"
    write_log(broken, [20, 30])
    broken.write_text("\n".join(reversed(broken.read_text().splitlines())) + "\n")
    if unreadable == "a directory":
        bad.mkdir()
    elif unreadable != "absent":
        write_keyed(bad, [20]) if unreadable == "keyed" else bad.write_text('{"event": {}}\n')
    for files in ([bad, broken], [broken, bad]):
        result = run("verify-log", *files)
        assert result.returncode == 2 and result.stdout == "", (files, result.stderr)
        assert f"{broken}:1: the first record's prev is not 64 zeros\n" in result.stderr
        assert str(bad) in result.stderr.replace(str(broken), "")
