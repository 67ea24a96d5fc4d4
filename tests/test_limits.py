"""Limits across calls in one process: what the factories take, how amounts
read, how windows slide and split, what a decision carries and refunds, and
the places a policy goes (files, lint, the log, guard, the proxy, replay,
test and diff)."""

from __future__ import annotations

import asyncio
import decimal
import json
import math
import pickle
import subprocess
import sys
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quindle_brevault_agent import (
    Decision, DecisionLog, MemoryStore, Policy, PolicyViolation, budget, cap_charges, check_behaviour,
    deny_writes_to, guard, load_policy, rate_limit, repeat_limit,
)
from quindle_brevault_agent.cli import cluster
from quindle_brevault_agent.lint import lint_target

CHARGE = "spend_decision"


def charge(amount=1, **fields):
    return {"action_type": "charge", "amount": amount, **fields}


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: budget(10), TypeError, "missing 1 required keyword-only argument: 'per'"),
        (lambda: budget("10", per=1), TypeError, "limit must be a number (an int, float or Decimal), not str"),
        (lambda: budget(True, per=1), TypeError, "not bool"),
        (lambda: budget(float("nan"), per=1), ValueError, "limit must be a finite number at least 0"),
        (lambda: budget(-1, per=1), ValueError, "limit must be a finite number at least 0"),
        (lambda: budget(10, per=0), ValueError, "per must be a finite number of seconds above 0, not 0"),
        (lambda: budget(10, per="week"), ValueError, "or one of 'second', 'minute', 'hour' or 'day', not 'week'"),
        (lambda: budget(10, per=1, key=3), TypeError, "key must be a field name or a tuple of field names"),
        (lambda: rate_limit(2.5, per=1), TypeError, "count must be an integer, not float"),
        (lambda: rate_limit(-1, per=1), ValueError, "count must be at least 0, not -1"),
        (lambda: repeat_limit(2, within=math.inf), ValueError, "within must be a finite number"),
        (lambda: Policy([budget(1, per=1, name="x"), budget(2, per=2, name="x")]), ValueError,
         "behaviours 1 and 2 are both a budget named 'x': each limit keeps its windows under its name"),
        (lambda: Policy([budget(1, per=1)], store=object()), TypeError, "store must be a MemoryStore"),
        (lambda: pickle.dumps(MemoryStore()), TypeError, "cannot be pickled"),
        (lambda: Policy([rate_limit(1, per=1)], clock=lambda: math.nan).evaluate({}, stage=None),
         ValueError, "the limits' clock returned nan"),
    ],
)
def test_what_limits_refuse_to_be(make, error, message):
    with pytest.raises(error) as caught:
        make()
    assert message in str(caught.value)


BIG = 10**300
TINY = Decimal("1e-300")


@pytest.mark.parametrize(
    "value, read",
    [
        (40, Decimal(40)), (0.1, Decimal("0.1")), (Decimal("0.10"), Decimal("0.1")), (True, Decimal(1)),
        (None, Decimal(0)), (False, Decimal(0)), ("", Decimal(0)), (0.0, Decimal(0)), (-0.0, Decimal(0)),
        (1e16, Decimal("1e16")), (2.0**60, Decimal(repr(2.0**60))), (123.456, Decimal("123.456")),
        (3.0000000000000004e-05, Decimal("3.0000000000000004e-05")), (5e-324, Decimal("5e-324")),
        (10**30, Decimal(10**30)), (TINY, TINY), (Decimal(BIG), Decimal(BIG)),
        ("12", None), ([1], None), (-1, None), (-0.5, None), (math.nan, None), (math.inf, None),
        (Decimal("NaN"), None), (Decimal("-Infinity"), None), (Decimal("1e-401"), None), (10**401, None),
    ],
)
def test_an_amount_reads_as_the_exact_decimal_it_shows(value, read):
    limit = budget(Decimal(10) ** 400, per=1, name="all", verdict="FLAG")
    policy = Policy([limit], clock=Clock())
    event = {"action_type": "charge", "kwargs": {"amount": value}}
    # The rule alone (what needs no memory) and the whole decision agree.
    assert check_behaviour(limit, event) == ("ALLOW" if read is not None else "FLAG")
    decision = policy.evaluate(event, stage=CHARGE)
    if read is None:
        assert decision == Decision("FLAG", (("all", "budget<=" + str(Decimal(10) ** 400) + "/1s", "FLAG"),))
        assert not hasattr(decision, "limits") or decision.limits == ()
    else:
        assert decision.limits[0].admitted == read and decision.verdict == "ALLOW"


@settings(max_examples=300, deadline=None)
@given(st.floats(min_value=0, allow_infinity=False, allow_nan=False))
def test_a_float_counts_as_the_decimal_of_its_repr(value):
    policy = Policy([budget(Decimal(10) ** 400, per=1)], clock=Clock())
    assert policy.evaluate(charge(value), stage=CHARGE).limits[0].admitted == Decimal(repr(value))


@pytest.mark.parametrize(
    "limit, amounts, admitted, left",
    [
        (1000, [0.1] * 10_001, 10_000, 0),
        (Decimal("1.0"), [Decimal("0.3")] * 4, 3, Decimal("0.1")),
        (Decimal("1e300"), [TINY, Decimal("1e300"), TINY], 2, decimal.Context(prec=700).subtract(Decimal("1e300"), 2 * TINY)),
        (2**70, [2**69, 2**69, 1], 2, 0),
        (0, [0, None, 1e-300], 2, 0),
    ],
)
def test_sums_stay_exact(limit, amounts, admitted, left):
    policy = Policy([budget(limit, per="day")], clock=Clock())
    decisions = [policy.evaluate(charge(amount), stage=CHARGE) for amount in amounts]
    assert sum(not decision.blocked for decision in decisions) == admitted
    assert decisions[-1].limits[0].left == left


# A scenario: the policy's behaviours, then steps (time, event, stage, verdict, hits).
SCENARIOS = {
    "the window slides: an entry counts for exactly its seconds": (
        [budget(10, per=60, name="b")],
        [(0, charge(6), CHARGE, "ALLOW", []), (30, charge(5), CHARGE, "BLOCK", ["b"]),
         (59.5, charge(4), CHARGE, "ALLOW", []), (59.75, charge(0.5), CHARGE, "BLOCK", ["b"]),
         (60, charge(6.5), CHARGE, "BLOCK", ["b"]), (60, charge(6), CHARGE, "ALLOW", []),
         (119.25, charge(0.5), CHARGE, "BLOCK", ["b"]), (119.5, charge(4), CHARGE, "ALLOW", [])],
    ),
    "a key gives each agent its own budget; keys read from kwargs": (
        [budget(5, per="day", key="agent", name="b"), rate_limit(1, per="minute", key=("agent", "tool"), name="r")],
        [(0, charge(5, agent="a"), CHARGE, "ALLOW", []), (1, charge(1, agent="a", tool="x"), CHARGE, "BLOCK", ["b"]),
         (2, {"action_type": "charge", "kwargs": {"amount": 5, "agent": "b"}}, CHARGE, "ALLOW", []),
         (3, charge(0, agent=1), CHARGE, "ALLOW", []), (4, charge(0, agent=1.0), CHARGE, "BLOCK", ["r"]),
         (5, charge(0, agent="1"), CHARGE, "ALLOW", [])],
    ),
    "a repeat is the same action with equal arguments": (
        [repeat_limit(1, within=10, name="loop")],
        [(0, {"action_type": "search", "kwargs": {"q": "x", "n": 1}}, "execution", "ALLOW", []),
         (1, {"action_type": "search", "kwargs": {"n": 1.0, "q": "x"}}, "planning", "BLOCK", ["loop"]),
         (2, {"action_type": "search", "kwargs": {"q": "x", "n": 2}}, "execution", "ALLOW", []),
         (3, {"action_type": "fetch", "kwargs": {"q": "x", "n": 1}}, "execution", "ALLOW", []),
         (10, {"action_type": "search", "kwargs": {"q": "x", "n": 1}}, None, "ALLOW", [])],
    ),
    "a limit that flags admits over its limit; a refusal admits nothing": (
        [budget(2, per="day", verdict="FLAG", name="soft"), rate_limit(2, per="day", name="hard")],
        [(0, charge(3), CHARGE, "FLAG", ["soft"]), (1, charge(1), CHARGE, "FLAG", ["soft"]),
         (2, charge(1), CHARGE, "BLOCK", ["soft", "hard"])],
    ),
    "a stateless block admits nothing, and then no limit is checked": (
        [cap_charges(5, name="cap"), budget(6, per="day", name="b")],
        [(0, charge(9), CHARGE, "BLOCK", ["cap"]), (1, charge(math.nan), CHARGE, "BLOCK", ["cap"]),
         (2, charge(5), CHARGE, "ALLOW", []), (3, charge(2), CHARGE, "BLOCK", ["b"]),
         (4, charge(-1), CHARGE, "BLOCK", ["b"])],
    ),
    "a limit without a stage applies at every stage, one with an action type to it alone": (
        [deny_writes_to("bucket", ["vault"], name="locked"), rate_limit(1, per="day", action_type="write", name="w"),
         rate_limit(2, per="day", name="any")],
        [(0, {"action_type": "write", "bucket": "tmp"}, "a stage no behaviour has", "ALLOW", []),
         (1, {"action_type": "write", "bucket": "vault"}, "execution", "BLOCK", ["locked"]),
         (2, {"action_type": "read"}, None, "ALLOW", []),
         (3, {"action_type": "write"}, "execution", "BLOCK", ["w", "any"])],
    ),
}


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_limits_decide_over_the_window(scenario):
    behaviours, steps = SCENARIOS[scenario]
    clock = Clock()
    policy = Policy(behaviours, clock=clock)
    for number, (when, event, stage, verdict, hits) in enumerate(steps, 1):
        clock.now = when
        decision = policy.evaluate(event, stage=stage)
        assert (decision.verdict, [hit.behaviour for hit in decision.hits]) == (verdict, hits), number


def test_a_decision_carries_what_it_admitted_and_refunds_it_once():
    clock = Clock()
    policy = Policy([cap_charges(500), budget(10, per="day", name="daily"), rate_limit(3, per=60)], clock=clock)
    other = Policy(policy.behaviours)
    first = policy.evaluate(charge(4), stage=CHARGE)
    assert first.limits == (("daily", "budget<=10/86400s", Decimal(4), Decimal(6)),
                            ("rate<=3/60s", "rate<=3/60s", 1, 2))
    # Equal, hashable and picklable as the Decision it equals, but never shared.
    again = policy.evaluate(charge(4), stage=CHARGE)
    assert first == again == Decision("ALLOW") and first is not again and hash(first) == hash(Decision("ALLOW"))
    assert type(pickle.loads(pickle.dumps(first))) is Decision
    # A policy without limits keeps its shared decision without hits.
    plain = Policy([cap_charges(500)])
    assert plain.evaluate(charge(4), stage=CHARGE) is plain.evaluate(charge(5), stage=CHARGE)
    with pytest.raises(ValueError, match="made by another policy"):
        other.refund(first)
    for _ in range(2):
        policy.refund(first)  # the second time does nothing
    policy.refund(Decision("ALLOW"))
    assert policy.evaluate(charge(2), stage=CHARGE).limits[0].left == Decimal(4)
    refused = policy.evaluate(charge(5), stage=CHARGE)
    assert refused.blocked and refused.limits == (("daily", "budget<=10/86400s", 0, 4),
                                                  ("rate<=3/60s", "rate<=3/60s", 0, 1))
    policy.refund(refused)
    clock.now = 60  # the rate's entries expire; the refunded one is gone already
    assert policy.evaluate(charge(4), stage=CHARGE).limits[0].left == 0


# ---------------------------------------------------------------- everywhere a policy goes

POLICY_FILE = """\
store = "sqlite:limits.db"

[[behaviour]]
use = "budget"
limit = 3
per = "day"
name = "daily"

[[behaviour]]
use = "rate_limit"
count = 0
per = 60
action_type = "write"

[[behaviour]]
use = "budget"
limit = 5
per = 60
key = ["agent"]
name = "per_agent"
"""


def test_a_policy_file_names_its_limits_and_store(tmp_path):
    path = tmp_path / "policy.toml"
    path.write_text(POLICY_FILE)
    policy = load_policy(path)
    assert repr(policy.store) == f"SQLiteStore({str(tmp_path / 'limits.db')!r})"
    assert [item.rule.name for item in policy] == ["budget<=3/86400s", "rate<=0/60s", "budget<=5/60s"]
    assert [(f.index, f.code) for f in lint_target(str(path))] == [(1, "QB110"), (2, "QB111")]
    for text, message in [
        ('store = "s3://x"\nbehaviour = []\n', "'store' must be 'memory', 'sqlite:PATH' or a redis:// URL, not 's3://x'"),
        ('[[behaviour]]\nuse = "budget"\nlimit = -1\nper = 1\n', "'limit' must be a finite number at least 0, not -1"),
        ('[[behaviour]]\nuse = "rate_limit"\ncount = 1\nper = "week"\n', "'per' must be a number of seconds above 0"),
        ('[[behaviour]]\nuse = "repeat_limit"\ntimes = 1.5\nwithin = 1\n', "'times' must be an integer, not a float"),
    ]:
        path.write_text(text)
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            load_policy(path)


def test_the_log_records_what_limits_admitted_and_guard_refunds_on_error(tmp_path):
    policy = Policy([budget(Decimal("1.5"), per="day", name="daily"), deny_writes_to("bucket", ["vault"])])
    log = DecisionLog(tmp_path / "log.jsonl")

    @guard(policy, stage=CHARGE, action_type="charge", log=log, refund_on_error=True)
    def pay(amount, fail=False):
        if fail:
            raise ConnectionError("the bank is down")
        return amount

    @guard(policy, stage=CHARGE, action_type="charge", log=log, refund_on_error=True)
    async def pay_later(amount):
        raise TimeoutError("later")

    assert pay(0.5) == 0.5
    with pytest.raises(ConnectionError):
        pay(1, fail=True)  # refunded: 1 is left
    with pytest.raises(TimeoutError):
        asyncio.run(pay_later(1))
    with pytest.raises(PolicyViolation):
        pay(1.5)
    log.record({"bucket": "tmp"}, "execution", policy.evaluate({"bucket": "tmp"}, stage="execution"))
    records = [json.loads(line) for line in (tmp_path / "log.jsonl").read_text().splitlines()]
    assert [record.get("limits") for record in records] == [
        [{"behaviour": "daily", "rule": "budget<=1.5/86400s", "admitted": 0.5, "left": 1}],
        [{"behaviour": "daily", "rule": "budget<=1.5/86400s", "admitted": 1, "left": 0}],
        [{"behaviour": "daily", "rule": "budget<=1.5/86400s", "admitted": 1, "left": 0}],
        [{"behaviour": "daily", "rule": "budget<=1.5/86400s", "admitted": 0, "left": 1}],
        None,  # no limit applied: the record is as it always was
    ]
    assert list(records[-1]) == ["decision_log", "seq", "time", "stage", "verdict", "hits", "event", "prev"]
    deciding_only = type("Deciding", (), {"evaluate": lambda self, event, stage: None})()
    with pytest.raises(TypeError, match="refund_on_error needs a policy with refund"):
        guard(deciding_only, refund_on_error=True)


ECHO_SERVER = """
import json, sys
for line in sys.stdin:
    message = json.loads(line)
    if "id" in message:
        print(json.dumps({"jsonrpc": "2.0", "id": message["id"], "result": {"content": [], "isError": False}}), flush=True)
"""


def test_proxies_share_a_store(tmp_path):
    (tmp_path / "policy.toml").write_text('[[behaviour]]\nuse = "budget"\nlimit = 1\nper = "day"\nname = "daily"\n')
    (tmp_path / "server.py").write_text(ECHO_SERVER)
    calls = [{"jsonrpc": "2.0", "id": n, "method": "tools/call", "params": {"name": "pay", "arguments": {"amount": 1}}}
             for n in (1, 2)]
    answers = []
    for sent in (calls, calls[:1]):
        result = subprocess.run(
            [sys.executable, "-m", "quindle_brevault_agent", "mcp-proxy", tmp_path / "policy.toml", "--charge", "pay",
             "--store", f"sqlite:{tmp_path / 'limits.db'}", "--", sys.executable, tmp_path / "server.py"],
            input="".join(json.dumps(call) + "\n" for call in sent), capture_output=True, text=True, timeout=60,
        )
        answers.append(dict(sorted((answer["id"], answer["result"]["isError"])
                                   for answer in map(json.loads, result.stdout.splitlines()))))
    assert answers == [{1: False, 2: True}, {1: True}]


def run(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "quindle_brevault_agent", *map(str, args)],
                          input=stdin, capture_output=True, text=True, timeout=120)


def test_replay_test_and_diff_decide_limits_in_order_by_the_events_time(tmp_path):
    budgeted = tmp_path / "budget.toml"
    budgeted.write_text('[[behaviour]]\nuse = "budget"\nlimit = 2\nper = 90\nname = "b"\n')
    plain = tmp_path / "plain.toml"
    plain.write_text('[[behaviour]]\nuse = "cap_charges"\nlimit = 10\n')
    # Blocks of three decision records a minute apart, then three plain
    # events a second apart each; the blocks three minutes apart.
    lines = []
    for block in range(20):
        for n in range(3):
            when = f"2026-01-01T{block * 3 // 60:02d}:{block * 3 % 60 + n:02d}:00.000000Z"
            lines.append(json.dumps({"decision_log": 1, "seq": n, "time": when, "stage": CHARGE, "verdict": "ALLOW",
                                     "hits": [], "event": charge(1), "prev": "0" * 64}))
        lines += [json.dumps({"stage": CHARGE, **charge(1)})] * 3
    events = tmp_path / "events.jsonl"
    events.write_text("\n".join(lines) + "\n")
    one = run("replay", budgeted, events, "--format", "jsonl")
    verdicts = [json.loads(line)["verdict"] for line in one.stdout.splitlines()]
    assert verdicts == (["ALLOW"] * 3 + ["BLOCK"] * 3) * 20
    two = run("replay", budgeted, events, "--format", "jsonl", "--jobs", "2")
    assert two.stdout == one.stdout and one.returncode == two.returncode == 1
    assert "replaying in one process" in two.stderr and "replaying in one process" not in one.stderr
    stored = run("replay", budgeted, events, "--format", "jsonl", "--store", f"sqlite:{tmp_path / 'x.db'}")
    assert stored.stdout == one.stdout

    cases = tmp_path / "cases.jsonl"
    cases.write_text("".join(json.dumps({"event": charge(1), "stage": CHARGE, "expect": expect}) + "\n"
                             for expect in ("ALLOW", "ALLOW", "BLOCK")))
    assert run("test", budgeted, cases).stdout == "3 passed, 0 failed\n"
    changed = run("diff", plain, budgeted, events, "--format", "jsonl")
    assert [json.loads(line)["line"] for line in changed.stdout.splitlines()][:4] == [4, 5, 6, 10]
    # A cluster decides partitions apart: it refuses limits, before anything is decided.
    assert cluster.splittable([load_policy(plain), load_policy(budgeted)]) == (
        "the policy has limits ('b'), which decide each event after the ones before it:"
        " --cluster decides its partitions apart; decide them without --cluster"
    )
    assert cluster.splittable([load_policy(plain)]) is None
