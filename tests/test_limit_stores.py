"""The stores of limits: the same decisions in every store as in a plain
model of the windows, exact admissions from many processes and threads at
once, and decisions that fail closed while a store is broken and go on when
it is back. Redis tests run a redis-server of their own (`redis_server`)."""

from __future__ import annotations

import collections
import decimal
import json
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings
from decimal import Decimal
from pathlib import Path

import pytest

from limits_model import Model
from quindle_brevault_agent import (
    DecisionLog, MemoryStore, Policy, PolicyViolation, RedisStore, SQLiteStore, approve_large_charges, budget,
    cap_charges, guard, rate_limit, repeat_limit,
)
from quindle_brevault_agent.enforce.mcp_proxy import Gate
from quindle_brevault_agent.limits import StoreError
from redis_server import RedisServer


@pytest.fixture(scope="module")
def redis_url(tmp_path_factory):
    server = RedisServer(tmp_path_factory.mktemp("redis")).start()
    yield server.url
    server.stop()


# ---------------------------------------------------------------- the same decisions everywhere

LIMITS = [
    # name, kind, limit, per, key, action_type, verdict
    ("daily", "budget", 5, 30.0, ("agent",), "charge", "BLOCK"),
    ("team", "budget", Decimal("7.5"), 50.0, (), "charge", "FLAG"),
    ("calls", "rate_limit", 4, 10.0, ("agent",), None, "BLOCK"),
    ("loops", "repeat_limit", 2, 20.0, (), None, "BLOCK"),
]


# With a person asked first: a limit that asks, and a charge over 2 asked about.
ASKING = [*LIMITS, ("soft", "budget", Decimal("2.5"), 15.0, ("agent",), "charge", "ASK")]


def limited_policy(store, clock, limits=LIMITS, ask=None):
    made = [cap_charges(3, name="cap")]
    for name, kind, limit, per, key, action, verdict in limits:
        if kind == "budget":
            made.append(budget(limit, per=per, key=key, action_type=action, verdict=verdict, name=name))
        elif kind == "rate_limit":
            made.append(rate_limit(limit, per=per, key=key, action_type=action, verdict=verdict, name=name))
        else:
            made.append(repeat_limit(limit, within=per, action_type=action, verdict=verdict, name=name))
    if ask is not None:
        made.append(approve_large_charges(ask, name="ask"))
    return Policy(made, store=store, clock=clock)


def seen(decision):
    return (
        decision.verdict,
        [hit.behaviour for hit in decision.hits],
        [(Decimal(use.admitted), Decimal(use.left)) for use in getattr(decision, "limits", ())],
    )


@pytest.mark.parametrize("seed, limits, ask", [(1, LIMITS, None), (2, LIMITS, None), (4, ASKING, 1.5), (10, ASKING, 1.5)])
def test_every_store_decides_as_the_model_of_the_windows(tmp_path, redis_url, seed, limits, ask):
    """Decisions that ask are approved later, between other decisions (the
    windows may have filled meanwhile), some twice, or never."""
    rng = random.Random(seed)
    now = [0.0]
    clock = lambda: now[0]  # noqa: E731
    redis_store = RedisStore(redis_url, prefix=f"differential{seed}:")
    policies = {
        "memory": limited_policy(MemoryStore(), clock, limits, ask),
        "sqlite": limited_policy(SQLiteStore(tmp_path / "limits.db"), clock, limits, ask),
        "redis": limited_policy(redis_store, clock, limits, ask),
    }
    deciders = {name: policy.evaluate for name, policy in policies.items()}
    # The in-memory store is asked through the one-event evaluator, the others through evaluate.
    at_spend = policies["memory"].evaluator(stage="spend_decision")
    deciders["memory"] = lambda event, stage: at_spend(event)
    model = Model(3, limits, ask)
    earlier = []  # (decisions by store, the model's entries) of admitted events
    waiting = []  # (decisions by store, the model's pending) of decisions that ask
    outcomes = collections.Counter()
    amounts = [0.1, 0.25, 1, 2, Decimal("0.3"), 4, None, float("nan"), 0.7]
    for step in range(400):
        now[0] += rng.choice([0.0, 0.5, 1.0, 3.0, 7.0])
        if earlier and rng.random() < 0.1:
            decisions, entries = rng.choice(earlier)
            for name, policy in policies.items():
                policy.refund(decisions[name])
            Model.refund(entries)
            continue
        if waiting and rng.random() < 0.15:
            decisions, pending = waiting.pop(rng.randrange(len(waiting)))
            verdict, hits, uses, entries, _ = model.admit(pending, now[0])
            admitted = {name: policies[name].admit(decision) for name, decision in decisions.items()}
            outcomes["ask" in hits, verdict] += 1
            for name, decision in admitted.items():
                assert seen(decision) == (verdict, hits, uses), (step, name, "admit")
                assert policies[name].admit(decisions[name]) is decision  # admitted once
            if entries:
                earlier.append((admitted, entries))
            continue
        event = {
            "stage": "spend_decision",
            "action_type": rng.choice(["charge", "charge", "search"]),
            "agent": rng.choice(["a", "b"]),
            "amount": rng.choice(amounts),
            "kwargs": {"q": rng.choice([1, 2]), "page": rng.choice(["x", "y"])},
        }
        verdict, hits, uses, entries, pending = model.decide(event, now[0])
        expected = (verdict, hits, uses)
        decisions = {name: decide(event, stage="spend_decision") for name, decide in deciders.items()}
        for name, decision in decisions.items():
            assert seen(decision) == expected, (step, name, event)
            assert decision.needs_approval == (pending is not None)
        if entries:
            earlier.append((decisions, entries))
        if pending is not None and rng.random() < 0.8:  # the others are declined: never admitted
            waiting.append((decisions, pending))
    # Approvals of both kinds of question, admitted and refused.
    assert not ask or all(outcomes[kind] for kind in [(True, "ASK"), (False, "ASK"), (True, "BLOCK"), (False, "BLOCK")]), outcomes


# Long sums: digits beyond what 15-digit numbers or 128-bit integers hold,
# carries and borrows across many digits, added, refunded and expired.
LONG = [
    (Decimal("99999999999999999999.99999999999999999999"),
     [Decimal("99999999999999999999.99999999999999999998"), Decimal("0.00000000000000000001"),
      Decimal("0.00000000000000000001"), Decimal("1E-20")]),
    (Decimal("1e30"), [Decimal("999999999999999.5"), Decimal("0.5"), Decimal("1e29"), 0.1, 7, Decimal("1e-300")]),
    (10**40, [10**39, 10**39 - 1, 123456789012345678901234567890, 0.30000000000000004, 2**100]),
]


@pytest.mark.parametrize("where", ["memory", "sqlite", "redis"])
def test_long_sums_stay_exact_in_every_store(tmp_path, redis_url, where):
    exact = decimal.Context(prec=2000)
    stores = {"memory": MemoryStore, "sqlite": lambda: SQLiteStore(tmp_path / "long.db"),
              "redis": lambda: RedisStore(redis_url, prefix="long:")}
    for number, (limit, amounts) in enumerate(LONG):
        now = [0.0]
        policy = Policy([budget(limit, per=10, name=f"long{number}")], store=stores[where](), clock=lambda: now[0])
        entries = []  # (expires, amount) admitted and not refunded
        for step, amount in enumerate(amounts * 3):
            now[0] = step * 3.0
            entries = [(when, value) for when, value in entries if when > now[0]]
            used = Decimal(0)
            for _, value in entries:
                used = exact.add(used, value)
            value = Decimal(repr(amount)) if isinstance(amount, float) else Decimal(amount)
            fits = exact.add(used, value) <= limit
            decision = policy.evaluate(charge_of(amount), stage="spend_decision")
            assert decision.blocked is not fits, (where, number, step)
            after = exact.add(used, value) if fits else used
            assert decision.limits[0].left == max(exact.subtract(limit, after), Decimal(0)), (where, number, step)
            if fits and step % 4 == 1:
                policy.refund(decision)  # taken back: it no longer counts
            elif fits:
                entries.append((now[0] + 10, value))


# Sums at the edges of the stores' quick paths (Python ints, 15-digit doubles
# in Lua) and beyond them: (limit, first, second); the first expires before
# the third decision, of 0.
EDGES = [
    (10**15, 999999999999999, 1), (10**15 - 1, 999999999999999, 1), (10**14, 10**14, 1),
    (10**15, 10**14, Decimal("0.5")),
    (Decimal("99999999999999.9"), Decimal("99999999999999.8"), Decimal("0.1")),
    (Decimal("0.00000000003"), Decimal("0.00000000001"), Decimal("0.00000000002")),
    (Decimal("0.000000000000003"), Decimal("0.000000000000001"), Decimal("0.000000000000002")),
    (Decimal("12345678902"), Decimal("12345678901.234"), Decimal("0.766")),
    (Decimal("0.3"), 0.1, 0.2), (Decimal("0.3"), 0.2, 0.1000000000000001), (10**20, 0.5, 0.25),
    (Decimal("1.1"), 1, 0.1), (Decimal("5E+3"), 4999, 1),
    (2, Decimal("1.000000000000001"), Decimal("0.999999999999999")),
]


@pytest.mark.parametrize("where", ["memory", "sqlite", "redis"])
def test_sums_at_the_edges_of_the_quick_paths_stay_exact(tmp_path, redis_url, where):
    made = {"memory": MemoryStore, "sqlite": lambda: SQLiteStore(tmp_path / "edges.db"),
            "redis": lambda: RedisStore(redis_url, prefix="edges:")}[where]
    for number, (limit, first, second) in enumerate(EDGES):
        now = [0.0]
        policy = Policy([budget(limit, per=10, name=f"edge{number}")], store=made(), clock=lambda: now[0])
        exact = [Decimal(repr(value)) if isinstance(value, float) else Decimal(value) for value in (first, second)]
        fits = exact[0] + exact[1] <= limit
        seen = []
        for now[0], amount in [(0.0, first), (5.0, second), (12.0, 0)]:
            decision = policy.evaluate(charge_of(amount), stage="spend_decision")
            seen.append((decision.blocked, decision.limits[0].left))
        after = exact[0] + exact[1] if fits else exact[0]
        assert seen == [(False, Decimal(limit) - exact[0]), (not fits, Decimal(limit) - after),
                        (False, Decimal(limit) - (exact[1] if fits else 0))], (where, number)


def charge_of(amount):
    return {"action_type": "charge", "amount": amount}


# ---------------------------------------------------------------- many processes at once

WORKER = textwrap.dedent(
    """
    import sys, threading
    from quindle_brevault_agent import Policy, RedisStore, SQLiteStore, budget, rate_limit
    where, kind, amount, charges = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    amount = float(amount) if "." in amount else int(amount)
    store = RedisStore(where) if where.startswith("redis://") else SQLiteStore(where, timeout=60)
    limit = budget(1000, per="day", name="daily") if kind == "budget" else rate_limit(1000, per="day", name="calls")
    policy = Policy([limit], store=store)
    admitted = [0] * 4
    def work(index):
        for _ in range(charges):
            if not policy.evaluate({"action_type": "charge", "amount": amount}, stage="spend_decision").blocked:
                admitted[index] += 1
    threads = [threading.Thread(target=work, args=(index,)) for index in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(sum(admitted))
    """
)


@pytest.mark.parametrize(
    "where, kind, amount, charges, admitted",
    [
        ("sqlite", "budget", "1", 250, 1000),
        ("sqlite", "rate", "1", 250, 1000),
        ("sqlite", "budget", "0.1", 700, 10000),
        ("redis", "budget", "1", 250, 1000),
        ("redis", "rate", "1", 250, 1000),
        ("redis", "budget", "0.1", 700, 10000),
    ],
)
def test_four_processes_of_four_threads_admit_exactly_the_limit(
    tmp_path, redis_url, where, kind, amount, charges, admitted
):
    target = str(tmp_path / "limits.db") if where == "sqlite" else redis_url.replace("/0", f"/{len(kind) % 8 + 1}")
    if where == "redis":
        RedisStore(target)._client.flushdb()
    workers = [
        subprocess.Popen([sys.executable, "-c", WORKER, target, kind, amount, str(charges)],
                         stdout=subprocess.PIPE, text=True)
        for _ in range(4)
    ]
    counts = [int(worker.communicate(timeout=600)[0]) for worker in workers]
    assert sum(counts) == admitted
    assert all(worker.returncode == 0 for worker in workers)
    # What the store holds is the limit exactly: nothing more fits.
    store = RedisStore(target) if where == "redis" else SQLiteStore(target)
    limit = budget(1000, per="day", name="daily") if kind == "budget" else rate_limit(1000, per="day", name="calls")
    last = Policy([limit], store=store).evaluate({"action_type": "charge", "amount": 0}, stage="spend_decision")
    assert last.limits[0].left == 0


# ---------------------------------------------------------------- the Redis store's own calls


class Chunks:
    """A socket that answers in the pieces given."""

    def __init__(self, pieces):
        self.pieces = list(pieces)
        self.sent = b""

    def sendall(self, data):
        self.sent += data

    def recv(self, size):
        return self.pieces.pop(0) if self.pieces else b""


@pytest.mark.parametrize("pieces, answer", [
    ([b"$13\r\n1 2 0.5 1 3 1\r\n"], b"1 2 0.5 1 3 1"),
    ([b"$", b"13\r", b"\n1 2 0.5 1", b" 3 1\r", b"\n"], b"1 2 0.5 1 3 1"),
    ([b"$4\r\n\r\n\r\n\r\n"], b"\r\n\r\n"),
    ([b":1", b"\r\n"], 1),
    ([b"$-1\r\n"], None),
    ([b"-NOSCRIPT No matching", b" script.\r\n"], "NOSCRIPT No matching script."),
    ([b"$13\r\n1 2 0.5"], ConnectionError("the server closed the connection")),
    ([b"*1\r\n$1\r\n1\r\n"], ConnectionError("the server answered what is not a script's answer")),
])
def test_the_redis_store_reads_an_answer_whatever_pieces_it_comes_in(pieces, answer):
    from quindle_brevault_agent.limits import stores

    sock = Chunks(pieces)
    if isinstance(answer, Exception):
        with pytest.raises(type(answer), match=str(answer)):
            stores._call(sock, b"PING\r\n")
        return
    got = stores._call(sock, b"PING\r\n")
    assert (got.text if isinstance(got, stores._Refusal) else got) == answer and sock.sent == b"PING\r\n"


def test_a_forked_child_opens_its_own_redis_connections(redis_url):
    """The parent's connection, used by both at once, would mix their answers."""
    policy = Policy([rate_limit(1000, per="day", name="forked")], store=RedisStore(redis_url, prefix="fork:"))
    assert not policy.evaluate({"action_type": "charge"}, stage="spend_decision").blocked
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the child runs no thread's code
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = sum(not policy.evaluate({}, stage="spend_decision").blocked for _ in range(500)) != 500
        finally:
            os._exit(code)
    left = [policy.evaluate({}, stage="spend_decision").limits[0].left for _ in range(499)]
    assert os.waitpid(pid, 0)[1] == 0 and left == sorted(left, reverse=True) and len(set(left)) == 499
    assert policy.evaluate({}, stage="spend_decision").blocked  # 1 + 500 + 499 admitted: the window is full


# ---------------------------------------------------------------- files of other versions

# The first format of a SQLite store: a table of windows and one of entries.
FIRST_FORMAT = """
CREATE TABLE qba_limit_windows (limit_id TEXT NOT NULL, key TEXT NOT NULL, used TEXT NOT NULL,
    next_expiry REAL NOT NULL, seq INTEGER NOT NULL, PRIMARY KEY (limit_id, key)) WITHOUT ROWID;
CREATE TABLE qba_limit_entries (limit_id TEXT NOT NULL, key TEXT NOT NULL, expires REAL NOT NULL,
    seq INTEGER NOT NULL, amount TEXT NOT NULL, PRIMARY KEY (limit_id, key, expires, seq)) WITHOUT ROWID;
INSERT INTO qba_limit_windows VALUES ('budget:daily', '["a"]', '2.5', 10.0, 2), ('budget:daily', '["b"]', '0', 9e999, 4);
INSERT INTO qba_limit_entries VALUES ('budget:daily', '["a"]', 10.0, 1, '1'), ('budget:daily', '["a"]', 20.0, 2, '1.5');
"""


@pytest.mark.parametrize("written_by, steps", [
    # (now, agent, amount, refund it, admitted, left); agent a's window holds
    # 1 until 10 and 1.5 until 20, agent b's is empty with 4 entries made.
    ("first format", [(5.0, "a", 0.5, False, True, 0), (5.0, "a", 0.1, False, False, 0),
                      (10.0, "a", 1, True, True, 0), (10.0, "a", 0.75, False, True, Decimal("0.25")),
                      (30.0, "a", 1.75, False, True, 0), (30.0, "b", 2.5, False, True, Decimal("0.5"))]),
    ("a later version", []),
])
def test_a_sqlite_file_of_another_version_is_converted_or_refused(tmp_path, written_by, steps):
    path = tmp_path / "limits.db"
    with sqlite3.connect(path) as old:
        old.executescript(FIRST_FORMAT if written_by == "first format" else "PRAGMA user_version = 9;")
    now = [0.0]
    policies = [Policy([budget(3, per=100, key="agent", name="daily")], store=SQLiteStore(path), clock=lambda: now[0])
                for _ in range(2)]  # the second opens the file once the first converted it
    if not steps:
        with pytest.raises(StoreError, match="format 9, written by a later version; this one reads format 1"):
            policies[0].evaluate(charge_of(1) | {"agent": "a"}, stage="spend_decision")
        return
    for number, (when, agent, amount, refund, admitted, left) in enumerate(steps):
        now[0] = when
        policy = policies[number % 2]
        decision = policy.evaluate(charge_of(amount) | {"agent": agent}, stage="spend_decision")
        assert (decision.blocked, decision.limits[0].left) == (not admitted, left), number
        if refund:
            policy.refund(decision)
    with sqlite3.connect(path) as new:
        tables = {name for (name,) in new.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        # Agent b's entries go on from the number its window had reached.
        seqs = [seq for (seq,) in new.execute("SELECT seq FROM qba_limits WHERE key = '[\"b\"]' AND seq > 0")]
    assert tables == {"qba_limits"} and seqs == [5]


# ---------------------------------------------------------------- broken stores

CALL = b'{"jsonrpc": "2.0", "id": 7, "method": "tools/call", "params": {"name": "pay", "arguments": {"amount": 1}}}\n'


class SQLiteFault:
    def __init__(self, kind, folder):
        self.kind = kind
        self.folder = folder
        self.path = folder / "limits.db"
        self.store = SQLiteStore(self.path, timeout=0.2)
        self.holder = None

    def files(self):
        return [self.path, Path(f"{self.path}-wal"), Path(f"{self.path}-shm")]

    def break_(self):
        self.store.close()  # the next decision opens the file anew
        if self.kind == "locked":
            self.holder = sqlite3.connect(self.path, isolation_level=None)
            self.holder.execute("BEGIN EXCLUSIVE")
        elif self.kind == "read-only":
            for file in self.files():
                if file.exists():
                    file.chmod(0o444)
            self.folder.chmod(0o555)
        else:  # corrupt, with a copy kept as a backup would be
            with sqlite3.connect(self.path) as source, sqlite3.connect(self.folder / "backup.db") as copy:
                source.backup(copy)
            for file in self.files():
                file.unlink(missing_ok=True)
            self.path.write_bytes(b"this is not a database\n" * 400)

    def mend(self):
        if self.kind == "locked":
            self.holder.rollback()
            self.holder.close()
        elif self.kind == "read-only":
            self.folder.chmod(0o777)
            for file in self.files():
                if file.exists():
                    file.chmod(0o666)
        else:
            self.path.unlink()
            shutil.copy(self.folder / "backup.db", self.path)


class RedisFault:
    def __init__(self, kind, folder):
        self.kind = kind
        self.server = RedisServer(folder)
        if kind == "stopped":
            self.server.start()
        self.store = RedisStore(self.server.url, timeout=2)

    def break_(self):
        self.server.stop()

    def mend(self):
        self.server.start()


def unprivileged(attempt):
    """`attempt()` where file permissions hold: as root, in a forked child
    that drops to the user nobody (root reads and writes any file; the
    interpreter itself may be out of nobody's reach, so no new one is
    started)."""
    if os.geteuid() != 0:
        return attempt()
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the child runs no thread's code
        pid = os.fork()
    if pid == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
            os.write(write, json.dumps(attempt()).encode())
        finally:
            os._exit(0)
    os.close(write)
    deadline = time.monotonic() + 120
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the unprivileged attempt did not end")
        time.sleep(0.05)
    with os.fdopen(read) as answer:
        return json.loads(answer.read() or "null")


@pytest.mark.parametrize(
    "fault",
    ["sqlite locked", "sqlite read-only", "sqlite corrupt", "redis stopped", "redis unreachable"],
)
def test_a_broken_store_refuses_logs_and_admits_nothing_twice(fault):
    folder = Path(tempfile.mkdtemp())
    folder.chmod(0o777)  # a child of nobody's writes its log here too
    try:
        backend, kind = fault.split(" ")
        broken = SQLiteFault(kind, folder) if backend == "sqlite" else RedisFault(kind, folder)
        log_path = folder / "decisions.jsonl"
        log_path.touch(mode=0o666)
        log_path.chmod(0o666)
        policy = Policy([budget(3, per="day", name="daily")], store=broken.store)
        log = DecisionLog(log_path)
        pay = guard(policy, stage="spend_decision", action_type="charge", log=log)(lambda amount: "paid")
        gate = Gate(policy, charges=frozenset({"pay"}), log=log)
        paid = 0
        if kind != "unreachable":
            paid += pay(1) == "paid"
            broken.break_()

        def attempt():
            try:
                pay(1)
                refused = "paid"
            except StoreError as exc:
                refused = str(exc)
            forward, answers = gate.inspect(CALL)
            return [refused, forward.decode(), [answer.decode() for answer in answers]]

        refused, forward, answers = unprivileged(attempt) if kind == "read-only" else attempt()
        assert refused.startswith("the limits' store ") and "could not admit" in refused
        assert forward == "" and len(answers) == 1
        answer = json.loads(answers[0])
        assert answer["id"] == 7 and answer["result"]["isError"] is True
        assert "refused: the policy could not decide: StoreError: the limits' store" in answer["result"]["content"][0]["text"]
        broken.mend()
        for _ in range(4):
            try:
                paid += pay(1) == "paid"
            except PolicyViolation as refusal:
                assert refusal.decision.hits[0].behaviour == "daily"
        assert paid == 3  # nothing admitted twice, nothing lost
        records = [json.loads(line) for line in log_path.read_text().splitlines()]
        verdicts = [record["verdict"] for record in records]
        assert verdicts.count("ERROR") == 2 and verdicts.count("ALLOW") == 3 and verdicts[-1] == "BLOCK"
        errors = [record["error"] for record in records if record["verdict"] == "ERROR"]
        assert all(error.startswith("StoreError: the limits' store ") for error in errors)
        assert [record["limits"][0]["left"] for record in records if record["verdict"] == "ALLOW"] == [2, 1, 0]
    finally:
        if isinstance(broken, RedisFault):
            broken.server.stop()
        folder.chmod(0o777)
        shutil.rmtree(folder, ignore_errors=True)
