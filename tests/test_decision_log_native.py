"""The decision log's native record path against its Python reference: the
same bytes for every value, the same digests, one chain under threads, and
records on the disk with fsync."""

from __future__ import annotations

import collections
import datetime
import enum
import fcntl
import hashlib
import hmac
import json
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
from decimal import Decimal

import pytest

from quindle_brevault_agent import DecisionLog, Policy, guard, jsonl, library as qba
from quindle_brevault_agent import _audit
from quindle_brevault_agent._engine import Decision, Hit
from quindle_brevault_agent.enforce import decision_log
from quindle_brevault_agent.enforce.decision_log import HITS, TEXT, VALUE, Layout, LogError, verify

POLICY = Policy([qba.cap_charges(500, name="cap"), qba.flag_large_charges(100, name="large")])


@pytest.fixture(params=["native", "python"])
def path(request, monkeypatch):
    """Which record path a DecisionLog made in the test takes."""
    monkeypatch.setattr(decision_log, "NATIVE", request.param == "native")
    return request.param


class Renamed(str):
    def __str__(self):
        return "not its text"


class Silent:
    def __str__(self):
        raise RuntimeError("no text")


class Claims:
    """An object that says it is a str."""

    @property
    def __class__(self):
        return str


class Refuses:
    @property
    def __class__(self):
        raise KeyError("no class")


class Subtext:
    def __str__(self):
        return Renamed("its text")


class Colour(enum.IntEnum):
    RED = 1


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def cyclic_list():
    made = [1]
    made.append(made)
    return made


def cyclic_dict():
    made = {"a": 1}
    made["self"] = made
    return made


HOSTILE = {
    "floats": [float("nan"), float("inf"), -float("inf"), -0.0, 1e16, 0.1 + 0.2, 5e-324, 1.7976931348623157e308],
    "ints": [0, -1, 2**63 - 1, 2**63, -(2**63) - 1, 2**7998, 2**7999, 10**4000],
    "keys": {1: "a", "1": "b", None: 1, 2.5: 2, (1, 2): 3, True: 4, Renamed("k"): 5, Silent(): 6},
    "str subclasses": [Renamed("content"), {"k": Renamed("v")}],
    "text": ["é", "\u2028", "\ud800", "\udfff\ud800", "\U0001f600", "\x00\x1f\x7f\"\\\n\t\b\f\r/", "plain"],
    "objects": [Silent(), Claims(), Subtext(), Decimal("12.50"), Decimal("NaN"), {1, 2}, b"\xff", bytearray(b"x")],
    "subclasses": [collections.OrderedDict(a=1), collections.Counter("ab"), Colour.RED, True,
                   collections.namedtuple("Pair", "a b")(1, 2.5)],
    "deep": nested(250, "leaf"),
    "deep dict": {"a": nested(199, {"b": nested(5, 1)})},
    "cycles": [cyclic_list(), cyclic_dict()],
    "empty": [{}, [], (), ""],
    "wide": {f"k{n}": n * 0.5 for n in range(300)},
}


@pytest.mark.parametrize("name", list(HOSTILE) + ["the whole table", "a class that raises", "digits over the limit"])
def test_native_body_is_the_python_body_for_hostile_values(name):
    value = {"table": HOSTILE} if name == "the whole table" else HOSTILE.get(name)
    if name == "a class that raises":
        value = {"ok": 1, "bad": Refuses()}
    if name == "digits over the limit":  # int's str() refuses it: the field falls back as dumps does
        value = [10**1000]
    layout = Layout((("stage", VALUE), ("value", VALUE), ("hits", HITS), ("limits", TEXT)))
    values = ("s", value, (Hit("cap", float("nan"), Renamed("BLOCK")), ("own", 1, [2])), "[0.1, 999.9]")
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640 if name == "digits over the limit" else limit)
    try:
        if name == "a class that raises":
            for encode in (decision_log.body, _audit.body):
                with pytest.raises(KeyError):
                    encode(layout, values)
            return
        made = decision_log.body(layout, values)
        native = _audit.body(layout, values)
    finally:
        sys.set_int_max_str_digits(limit)
    assert native == made
    assert made.startswith(', "stage": "s", "value": ') and made.endswith(', "limits": [0.1, 999.9]')
    json.loads("{" + made[2:] + "}")  # strict ASCII JSON


@pytest.mark.parametrize(
    "hits, error",
    [
        ([("a", "r", "FLAG")], None),
        ((Hit(1, {2: 3}, None),), None),
        ([("too", "short")], IndexError),
        ({("a", "r", "FLAG")}, None),  # any iterable of hits
        ([{"0": 1}], KeyError),
    ],
)
def test_native_hits_and_text_fields_are_the_python_ones(hits, error):
    layout = Layout((("hits", HITS),))
    if error is not None:
        for encode in (decision_log.body, _audit.body):
            with pytest.raises(error):
                encode(layout, (hits,))
        return
    assert _audit.body(layout, (hits,)) == decision_log.body(layout, (hits,))
    with pytest.raises(TypeError, match="ASCII"):
        _audit.body(Layout((("limits", TEXT),)), ("é",))


def verified(path, key=None):
    with open(path, "rb") as stream:
        return verify(jsonl.Source(str(path), stream, None), key)


def masked(line: bytes) -> bytes:
    """The line without what its time decides: the time, and the links after it."""
    return re.sub(rb'"(time|prev|hmac)": "[^"]*"', rb'"\1": ""', line)


@pytest.mark.parametrize("key", [None, b"k" * 100], ids=["plain", "keyed"])
def test_records_written_natively_are_the_python_records(tmp_path, monkeypatch, key):
    events = [
        ("spend_decision", {"stage": "spend_decision", "action_type": "charge", "card": "4111",
                            "kwargs": {"amount": 900, "card": "4111", "note": HOSTILE["text"]}}),
        ("spend_decision", {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": 20}}),
        (None, {"table": HOSTILE}),
        (Renamed("stage"), [1, 2]),
    ]
    decisions = [POLICY.evaluate(event, stage=stage) for stage, event in events[:2]]
    decisions += [Decision("FLAG", (Hit(Renamed("b"), float("inf"), "FLAG"),)), Decision(Silent())]
    lines = {}
    for native in (True, False):
        monkeypatch.setattr(decision_log, "NATIVE", native)
        path = tmp_path / f"{native}.jsonl"
        # A log that goes on after a seq beyond 64 bits.
        path.write_bytes(decision_log.encode(2**64, ', "stage": null', decision_log.ZERO, key)[0] + b"\n")
        before = datetime.datetime.now(datetime.UTC)
        with DecisionLog(path, redact=("card",), key=key) as log:
            for (stage, event), decision in zip(events, decisions):
                log.record(event, stage, decision)
            log.record_error(events[0][1], "spend_decision", ValueError("bad amount"))
            log.record(events[1][1], "spend_decision", Decision("ASK"),
                       approval={"question": HOSTILE["text"], "answer": "declined"})
        after = datetime.datetime.now(datetime.UTC)
        lines[native] = path.read_bytes().splitlines()
        times = [datetime.datetime.fromisoformat(json.loads(line)["time"]) for line in lines[native][1:]]
        assert before <= times[0] <= times[-1] <= after
        # Each line chained to the one before (the first, seq 2**64, is where verify-log would stop).
        links = [decision_log.signature(line, key) if key else hashlib.sha256(line).hexdigest() for line in lines[native]]
        assert [json.loads(line)["prev"] for line in lines[native][1:]] == links[:-1] and None not in links
    assert [masked(line) for line in lines[True]] == [masked(line) for line in lines[False]]
    assert json.loads(lines[True][-1])["seq"] == 2**64 + len(events) + 2
    assert json.loads(lines[True][-1])["approval"]["answer"] == "declined"
    assert b'"card": "[redacted]"' in lines[True][1] and b"4111" not in lines[True][1]


PAD = {0: 100_000, 1: 9, 2: 4096}  # records of many pages, and small ones


@pytest.mark.parametrize("fsync", [False, True])
@pytest.mark.parametrize("key", [None, b"k"], ids=["plain", "keyed"])
def test_threads_logging_at_once_keep_one_chain(tmp_path, path, fsync, key):
    log = DecisionLog(tmp_path / "log.jsonl", key=key, fsync=fsync)
    decision = POLICY.evaluate({}, stage=None)
    start = threading.Barrier(8)

    def write(writer):
        start.wait()
        for n in range(20):
            log.record({"writer": writer, "n": n, "pad": "x" * PAD[n % 3]}, "s", decision)

    threads = [threading.Thread(target=write, args=(w,)) for w in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    log.close()
    records = [json.loads(line) for line in (tmp_path / "log.jsonl").read_bytes().splitlines()]
    assert sorted((r["event"]["writer"], r["event"]["n"]) for r in records) == [(w, n) for w in range(8) for n in range(20)]
    assert all(len(r["event"]["pad"]) == PAD[r["event"]["n"] % 3] for r in records)  # none cut into by another
    assert [r["seq"] for r in records] == list(range(1, 161))
    assert verified(tmp_path / "log.jsonl", key) == (160, hashlib.sha256(
        (tmp_path / "log.jsonl").read_bytes().splitlines()[-1]).hexdigest(), key is not None)
    if path == "native" and fsync:
        assert 1 <= log._writer.syncs <= 160


def test_with_fsync_each_record_is_synced_before_it_returns(tmp_path, path):
    with DecisionLog(tmp_path / "log.jsonl", fsync=True) as log:
        for n in range(1, 6):
            log.record({"n": n}, "s", POLICY.evaluate({}, stage=None))
            if path == "native":  # one thread: one sync per record, made before record() returned
                assert log._writer.syncs == n
    with open(tmp_path / "other", "wb") as stream:
        with pytest.raises(ValueError, match="fsync=True needs a log opened from a path"):
            DecisionLog(stream, fsync=True)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_write_that_fails_closes_the_log(tmp_path, path, caplog):
    with pytest.raises(LogError, match="^/dev/full: fsync=True needs a regular file"):
        DecisionLog("/dev/full", fsync=True)
    log = DecisionLog("/dev/full")
    decision = POLICY.evaluate({}, stage=None)
    with pytest.raises(OSError) as failed:
        log.record({"n": 1}, "s", decision)
    assert failed.value.errno == 28 and not isinstance(failed.value, LogError)
    with pytest.raises(LogError, match="an earlier write failed, the log is closed to new records"):
        log.record({"n": 2}, "s", decision)
    log.close()
    assert [r.getMessage() for r in caplog.records] == [
        "/dev/full: cannot write a record: No space left on device; the log takes no more records"
    ]
    with DecisionLog(tmp_path / "log.jsonl") as closed:
        closed.record({"n": 1}, "s", decision)
    with pytest.raises(LogError, match="closed to new records"):
        closed.record_error({"n": 2}, "s", "late")
    assert (tmp_path / "log.jsonl").read_bytes().count(b"\n") == 1


@pytest.mark.parametrize("size", [0, 1, 55, 56, 57, 63, 64, 65, 111, 119, 120, 127, 128, 129, 1000, 100_003])
def test_sha256_and_hmac_are_hashlibs(size):
    data = bytes((n * 31 + size) % 256 for n in range(size))
    for portable in (True, False):  # without the processor's SHA instructions, and with them where it has them
        assert _audit.sha256(data, portable=portable) == hashlib.sha256(data).hexdigest()
        for key in (b"", b"k", bytes(range(64)), bytes(range(65)), data[:200]):
            assert _audit.hmac_sha256(key, data, portable=portable) == hmac.new(key, data, hashlib.sha256).hexdigest()


# Writers of one log in one process, each script run with a time limit: a
# file lock kept between records and never given back would hang it.
SHARING = textwrap.dedent("""
    import fcntl, os, signal, sys, threading, time
    from quindle_brevault_agent import DecisionLog, Policy
    path, mode = sys.argv[1:]
    decision = Policy([]).evaluate({}, stage=None)

    def write(log, writer, numbers):
        for n in numbers:
            log.record({"writer": writer, "n": n}, "s", decision)

    first = DecisionLog(path)
    write(first, "a", [0])
    if mode == "two logs, one thread":  # each waits for the other's lock, in turn
        second = DecisionLog(path)
        for n in range(1, 20):
            write(first, "a", [n])
            write(second, "b", [n])
    elif mode == "two logs, two threads":
        threads = [threading.Thread(target=write, args=(DecisionLog(path), w, range(1, 200))) for w in "bc"]
        for thread in threads:
            thread.start()
        write(first, "a", range(1, 200))
        for thread in threads:
            thread.join()
    elif mode == "fork while held":  # given back before the fork; the child writes while the parent does
        checked, told = os.pipe()
        if (pid := os.fork()) == 0:
            with open(path, "rb") as other:
                fcntl.flock(other.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)  # free at once
                fcntl.flock(other.fileno(), fcntl.LOCK_UN)
            os.write(told, b"!")
            write(first, "child", range(100))
            os._exit(0)
        os.read(checked, 1)
        write(first, "a", range(1, 100))
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    elif mode == "killed while held":  # the kernel drops the lock of a killed child
        if (pid := os.fork()) == 0:
            write(first, "child", range(10**9))
        while os.path.getsize(path) < 50_000:
            time.sleep(0.001)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        write(first, "a", range(1, 20))
""")


@pytest.mark.parametrize("mode, expected", [
    ("two logs, one thread", {(w, n) for w in "ab" for n in range(1, 20)} | {("a", 0)}),
    ("two logs, two threads", {(w, n) for w in "abc" for n in range(1, 200)} | {("a", 0)}),
    ("fork while held", {("a", n) for n in range(100)} | {("child", n) for n in range(100)}),
    ("killed while held", {("a", n) for n in range(20)}),
])
def test_writers_of_one_process_share_the_file_lock_the_log_keeps(tmp_path, mode, expected):
    log = tmp_path / "log.jsonl"
    done = subprocess.run([sys.executable, "-c", SHARING, str(log), mode], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    records = [json.loads(line) for line in log.read_bytes().splitlines()]
    written = [(r["event"]["writer"], r["event"]["n"]) for r in records]
    children = sorted(n for w, n in written if w == "child")
    if mode == "killed while held":  # as many as it wrote, each once, its torn last one moved aside
        assert children == list(range(len(children))) and len(children) > 100
        expected = expected | {("child", n) for n in children}
    assert sorted(written) == sorted(expected)
    assert [r["seq"] for r in records] == list(range(1, len(records) + 1))
    assert verified(log, None)[0] == len(records)


def lock_is_free(path):
    with open(path, "rb") as other:
        try:
            fcntl.flock(other.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        fcntl.flock(other.fileno(), fcntl.LOCK_UN)
        return True


@pytest.mark.parametrize("when", ["closed", "idle"])
def test_the_file_lock_a_log_keeps_between_records_is_given_back(tmp_path, when):
    path = tmp_path / "log.jsonl"
    log = DecisionLog(path)
    recorded = guard(POLICY, stage="spend_decision", action_type="charge", log=log)(lambda amount: amount)
    recorded(1)
    if when == "closed":
        log.close()
    deadline = time.monotonic() + 30  # idle: the log's own thread gives it back
    while not lock_is_free(path) and when == "idle" and time.monotonic() < deadline:
        time.sleep(0.001)
    assert lock_is_free(path)
    if when == "idle":  # and takes it again for the next record
        recorded(3)
        log.close()
        assert [r["event"]["kwargs"]["amount"] for r in map(json.loads, path.read_bytes().splitlines())] == [1, 3]
