"""guard: the event a call becomes, and that nothing runs unless the policy allows it."""

from __future__ import annotations

import asyncio
import functools
import inspect
import io
import json
import os
import pickle
import subprocess
import sys
import types
from pathlib import Path

import pytest

from quindle_brevault_agent import (
    Decision,
    DecisionLog,
    Hit,
    Policy,
    PolicyViolation,
    behaviour,
    cap_charges,
    deny_writes_to,
    guard,
    rule,
    trigger,
)
from quindle_brevault_agent import library as qba
from quindle_brevault_agent.enforce.mcp_proxy import Gate, serve


class Recorder:
    """A policy of one behaviour at stage "execution" whose verdict is set by the test."""

    def __init__(self, verdict="ALLOW"):
        self.verdict = verdict
        self.events = []

        def decide(event):
            self.events.append(event)
            if isinstance(self.verdict, Exception):
                raise self.verdict
            return self.verdict

        self.policy = Policy([behaviour("gate", on=trigger(stage="execution"), rule=rule("decide", decide))])


def plain(amount, currency="EUR", *, note=None):
    return amount


def spread(first, *rest, flag=False, **extra):
    return first


def positional_only(amount, /, **extra):
    return amount


def only_stars(*args, **kwargs):
    return args


@pytest.mark.parametrize(
    "fn, args, kwargs, bound",
    [
        (plain, (5,), {}, {"amount": 5, "currency": "EUR", "note": None}),
        (plain, (), {"amount": 5, "note": "n", "currency": "USD"}, {"amount": 5, "currency": "USD", "note": "n"}),
        (spread, (1, 2, 3), {"memo": "x"}, {"first": 1, "rest": [2, 3], "flag": False, "memo": "x"}),
        (spread, (1,), {}, {"first": 1, "rest": [], "flag": False}),
        # A key under **kwargs cannot take the place of a named parameter.
        (positional_only, (10,), {"amount": 10_000, "payee": "p"}, {"amount": 10, "payee": "p"}),
        (only_stars, (1,), {"args": 2}, {"args": [1]}),
    ],
)
@pytest.mark.parametrize("general", [False, True], ids=["compiled", "signature"])
def test_a_call_becomes_the_event_the_rules_read(fn, args, kwargs, bound, general):
    recorder = Recorder()
    # A stand-in that only its __signature__ describes is bound by the general binder.
    target = fn
    if general:
        target = functools.partial(fn)
        target.__signature__ = inspect.signature(fn)
    guarded = guard(recorder.policy, action_type="pay" if general else None)(target)
    assert guarded(*args, **kwargs) == fn(*args, **kwargs)
    kind = "pay" if general else fn.__name__
    assert recorder.events == [{"stage": "execution", "action_type": kind, "kwargs": bound}]


def test_methods_leave_self_and_cls_out():
    recorder = Recorder()
    checked = guard(recorder.policy)

    class Wallet:
        @checked
        def pay(self, amount):
            return ("pay", amount)

        @classmethod
        @checked
        def refund(cls, amount):
            return (cls.__name__, amount)

        @checked
        @staticmethod
        def fee(amount):
            return amount * 2

    wallet = Wallet()
    assert (wallet.pay(3), Wallet.refund(4), wallet.fee(5)) == (("pay", 3), ("Wallet", 4), 10)
    assert [(e["action_type"], e["kwargs"]) for e in recorder.events] == [
        ("pay", {"amount": 3}),
        ("refund", {"amount": 4}),
        ("fee", {"amount": 5}),
    ]


@pytest.mark.parametrize("is_async", [False, True], ids=["sync", "async"])
@pytest.mark.parametrize(
    "verdict, outcome",
    [
        ("ALLOW", "called"),
        ("FLAG", "called"),
        ("BLOCK", PolicyViolation),
        (None, PolicyViolation),  # a rule that returns nothing never allows
        (frozenset({"HOLD"}), PolicyViolation),  # a verdict of the caller's own ranks with BLOCK
        (TypeError("text amount"), TypeError),
    ],
)
def test_the_function_runs_only_when_the_policy_lets_it(is_async, verdict, outcome):
    recorder = Recorder(verdict)
    stream = io.StringIO()
    calls = []

    def charge(amount):
        return calls.append(amount) or "called"

    async def charge_async(amount):
        return charge(amount)

    guarded = guard(recorder.policy, log=DecisionLog(stream))(charge_async if is_async else charge)
    call = (lambda: asyncio.run(guarded(7))) if is_async else (lambda: guarded(7))

    if outcome == "called":
        assert call() == "called"
        assert calls == [7]
    else:
        with pytest.raises(outcome) as raised:
            call()
        assert calls == []
    logged = [json.loads(line) for line in stream.getvalue().splitlines()]
    if outcome is TypeError:
        # No decision was made: the error is recorded in its place.
        assert [(r["verdict"], r["hits"], r["error"], r["event"]["kwargs"]) for r in logged] == [
            ("ERROR", [], "TypeError: text amount (while evaluating behaviour 'gate' (rule 'decide'))", {"amount": 7})
        ]
        return
    assert [(r["verdict"], r["event"]["kwargs"]) for r in logged] == [(str(verdict) if verdict is not None else None, {"amount": 7})]
    if outcome is PolicyViolation:
        error = raised.value
        assert isinstance(error, PermissionError)
        assert str(error) == f"blocked by policy: gate (decide): {verdict}"
        assert error.decision.verdict is verdict and error.event == recorder.events[0]
        copy = pickle.loads(pickle.dumps(PolicyViolation(error.decision, {"amount": 7})))
        assert (str(copy), copy.event) == (str(error), {"amount": 7})


def pay(amount, currency, /, payee, *, memo=""):
    return amount


async def pay_async(amount, currency, /, payee, *, memo=""):
    return amount


def passes_on(fn):
    """A decorator's wrapper, as functools.wraps makes one."""

    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)

    return wrapper


@pytest.mark.parametrize("fn", [pay, pay_async, passes_on(pay), functools.partial(pay)])
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1,), {}),
        ((1, "EUR"), {}),
        ((1, "EUR", "p", "m"), {}),
        ((1, "EUR", "p"), {"payee": "q"}),
        ((1, "EUR", "p"), {"tip": 2}),
        ((), {"amount": 1, "currency": "EUR", "payee": "p"}),
    ],
)
def test_a_bad_call_fails_as_the_function_would_before_any_decision(fn, args, kwargs):
    recorder = Recorder()
    guarded = guard(recorder.policy)(fn)
    with pytest.raises(TypeError) as own:
        fn(*args, **kwargs)
    with pytest.raises(TypeError) as through_guard:
        guarded(*args, **kwargs)  # no coroutine is made for the async one either
    assert str(through_guard.value) == str(own.value)
    assert recorder.events == []


def test_the_wrapper_looks_like_the_function_and_event_replaces_the_builder():
    recorder = Recorder()
    guarded = guard(recorder.policy, event=lambda name, bound: {"tool": name, **bound})(pay_async)
    assert guarded.__name__ == "pay_async" and guarded.__wrapped__ is pay_async
    assert inspect.signature(guarded) == inspect.signature(pay_async)
    assert inspect.iscoroutinefunction(guarded)
    assert not inspect.iscoroutinefunction(guard(recorder.policy)(pay))
    assert asyncio.run(guarded(1, "EUR", payee="p")) == 1
    assert recorder.events == [{"tool": "pay_async", "amount": 1, "currency": "EUR", "payee": "p", "memo": ""}]


def charge(amount, currency="EUR"):
    return amount


async def charge_later(amount=5, currency="EUR", *, fee=0):
    return amount


def by_keyword(*, amount=5):
    return amount


def declared(*args, **kwargs):
    return args


declared.__signature__ = inspect.signature(charge)


class Till:
    def charge(this, amount, currency="EUR"):
        return amount


def copy(fn):
    """A function of `fn`'s code and defaults whose defaults a test may change."""
    made = types.FunctionType(fn.__code__, fn.__globals__, fn.__name__, fn.__defaults__)
    made.__kwdefaults__ = fn.__kwdefaults__
    return made


def kept_apart():
    inner = functools.partial(charge, 900)
    inner.note = "a partial with attributes of its own is not merged into the next one"
    return functools.partial(inner, "USD")


EUR, USD = {"amount": 900, "currency": "EUR"}, {"amount": 900, "currency": "USD"}


@pytest.mark.parametrize(
    "make, later, args, kwargs, bound",
    [
        (lambda: passes_on(charge), None, (900,), {}, EUR),
        (lambda: declared, None, (900,), {}, EUR),
        (lambda: functools.partial(charge, 900), None, (), {}, EUR),
        (kept_apart, None, (), {}, USD),
        (lambda: passes_on(functools.partial(charge, currency="USD")), None, (900,), {}, USD),
        (lambda: functools.partial(charge, amount=900), None, (), {"currency": "USD"}, USD),
        (lambda: passes_on(Till().charge), None, (900,), {}, EUR),
        # Defaults are the ones the function has when it is called, however many.
        (lambda: copy(charge), {"__defaults__": (900, "EUR")}, (), {}, EUR),
        (lambda: copy(charge_later), {"__defaults__": (900, "EUR")}, (), {}, {**EUR, "fee": 0}),
        (lambda: copy(by_keyword), {"__kwdefaults__": {"amount": 900}}, (), {}, {"amount": 900}),
        (lambda: functools.partial(copy(by_keyword)), {"func.__kwdefaults__": {"amount": 900}}, (), {}, {"amount": 900}),
    ],
    ids=["wraps", "signature", "partial", "nested-partials", "wrapped-partial", "partial-keyword", "bound-method",
         "defaults-given", "defaults-changed-async", "keyword-defaults", "partial-keyword-defaults"],
)
def test_the_policy_sees_the_arguments_the_call_binds(make, later, args, kwargs, bound):
    target = make()
    guarded = guard(Policy([cap_charges(500, stage="execution", name="cap")]), action_type="charge")(target)
    for name, value in (later or {}).items():
        owner, _, attribute = name.rpartition(".")
        setattr(getattr(target, owner) if owner else target, attribute, value)
    with pytest.raises(PolicyViolation) as refused:
        result = guarded(*args, **kwargs)
        if inspect.iscoroutine(result):
            asyncio.run(result)
    assert refused.value.event == {"stage": "execution", "action_type": "charge", "kwargs": bound}


def write(bucket, text=""):
    return bucket


REACH = Policy([cap_charges(500, name="cap"), deny_writes_to("bucket", ["vault"], method="put", name="locked")])
UNREACHED = "guard(): no behaviour of the policy can apply to calls of {}: their events have {}"
WAITS = "; the policy's behaviours wait for cap (stage 'spend_decision', action_type 'charge'), locked (stage 'execution', method 'put')"


@pytest.mark.parametrize(
    "options, fn, args, outcome",
    [
        ({}, charge, (900,), UNREACHED.format("charge", "stage 'execution' and action_type 'charge'") + WAITS),
        ({"stage": "spend_decision"}, pay, (900, "EUR", "p"),
         UNREACHED.format("pay", "stage 'spend_decision' and action_type 'pay'") + WAITS),
        ({"method": "post"}, write, ("vault",),
         UNREACHED.format("write", "stage 'execution', action_type 'write' and method 'post'") + WAITS),
        ({"policy": Policy([])}, write, ("vault",),
         UNREACHED.format("write", "stage 'execution' and action_type 'write', and the policy has no behaviours")),
        ({"stage": "spend_decision"}, charge, (900,),
         {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": 900, "currency": "EUR"}}),
        ({"method": "put"}, write, ("vault",),
         {"stage": "execution", "action_type": "write", "method": "put", "kwargs": {"bucket": "vault", "text": ""}}),
        # A builder of the caller's own makes events the guard cannot foresee.
        ({"event": lambda name, bound: {"action_type": "write", "method": "put", **bound}}, write, ("vault",),
         {"action_type": "write", "method": "put", "bucket": "vault", "text": ""}),
    ],
)
def test_a_guard_that_no_behaviour_can_reach_is_refused_when_it_decorates(options, fn, args, outcome):
    options = dict(options)
    policy = options.pop("policy", REACH)
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as refused:
            guard(policy, **options)(fn)
        assert str(refused.value) == outcome
        return
    with pytest.raises(PolicyViolation) as blocked:
        guard(policy, **options)(fn)(*args)
    assert blocked.value.event == outcome


# ---------------------------------------------------------------- what a refusal says

FENCE = qba.restrict_scope(["tenants/t1/"], name="fence")


@pytest.mark.parametrize(
    "behaviours, arguments, said",
    [
        ([cap_charges(500, name="cap_500")], {"amount": 900}, "cap_500 (spend_cap<=500): BLOCK (amount=900)"),
        ([cap_charges(500, name="cap_500"), qba.flag_large_charges(100, field="amount", name="large")], {"amount": 900.5},
         "cap_500 (spend_cap<=500): BLOCK (amount=900.5), large (flag_over>100): FLAG (amount=900.5)"),
        ([FENCE], {"path": "tenants/t1/a"}, "fence (scope_fence): BLOCK (scope missing)"),
        ([FENCE], {"scope": "tenants/t2/" + "x" * 100},
         "fence (scope_fence): BLOCK (scope='tenants/t2/xxxxxxxxxxxxxxxx...xxxxxxxxxxxxxxxxxxxxxxxxxxxx')"),
        ([FENCE], {"scope": 0}, "fence (scope_fence): BLOCK (scope=0)"),
        ([deny_writes_to("bucket", ["vault"], name="locked")], {"bucket": "vault\n"}, None),  # allowed: not in the list
        ([behaviour("locked", on=trigger(stage="execution"), rule=qba.deny_list("bucket", ["vault\n"]))],
         {"bucket": "vault\n"}, "locked (deny_bucket): BLOCK (bucket='vault\\n')"),
        ([behaviour("known", on=trigger(stage="execution"), rule=qba.allow_list("kind", ["read"]))],
         {"kind": "write"}, "known (allow_kind): BLOCK (kind='write')"),
        ([behaviour("complete", on=trigger(stage="execution"), rule=qba.require_fields("payee", "currency", "memo"))],
         {"currency": "EUR", "memo": None}, "complete (require:payee,currency,memo): BLOCK (payee, memo missing)"),
        ([behaviour("odd", on=trigger(stage="execution"), rule=qba.spend_cap(5, field="two words\t"))],
         {"two words\t": 7}, "odd (spend_cap<=5): BLOCK ('two words\\t'=7)"),
        ([behaviour("own", on=trigger(stage="execution"), rule=rule("mine", lambda event: "BLOCK"))], {}, "own (mine): BLOCK"),
    ],
)
def test_a_refusal_says_what_the_librarys_rules_read(behaviours, arguments, said):
    policy = Policy(behaviours)
    stage = "spend_decision" if behaviours[0].on.stage == "spend_decision" else "execution"
    event = {"stage": stage, "action_type": "charge", "kwargs": arguments}
    decision = policy.evaluate(event, stage=stage)
    assert decision.blocked is (said is not None)

    @guard(policy, stage=stage, action_type="charge")
    def charge(**kwargs):
        return "ran"

    gate = Gate(policy, stage=stage)
    _, answers = gate.inspect(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                                          "params": {"name": "charge", "arguments": arguments}}).encode() + b"\n")
    if said is None:
        assert (charge(**arguments), answers) == ("ran", [])
        return
    assert str(PolicyViolation(decision, event, policy=policy)) == f"blocked by policy: {said}"
    with pytest.raises(PolicyViolation) as refused:
        charge(**arguments)
    assert str(refused.value) == f"blocked by policy: {said}"
    copy = pickle.loads(pickle.dumps(refused.value))
    assert (str(copy), copy.event) == (str(refused.value), event)
    [answer] = [json.loads(text) for text in answers]
    assert answer["result"]["content"][0]["text"] == f"Tool call 'charge' blocked by policy: {said}"
    # Without the policy the message names the hits only, as it always did.
    assert str(PolicyViolation(decision, event)) == "blocked by policy: " + ", ".join(
        f"{hit.behaviour} ({hit.rule}): {hit.verdict}" for hit in decision.hits
    )


class Unreadable(dict):
    def __contains__(self, key):
        raise LookupError("no reading")


def test_nothing_is_added_where_the_reading_cannot_tell():
    cap = cap_charges(500, name="cap")
    # A second behaviour holding the same name and rule name, over another field.
    twin = behaviour(cap.name, on=cap.on, rule=rule(cap.rule.name, qba.spend_cap(500, field="total").fn))
    hit = Decision("BLOCK", (Hit(cap.name, cap.rule.name, "BLOCK"),))
    plain = "blocked by policy: cap (spend_cap<=500): BLOCK"
    assert str(PolicyViolation(hit, {"amount": 900, "total": 1}, policy=Policy([cap, twin]))) == plain
    assert str(PolicyViolation(hit, Unreadable(amount=900), policy=Policy([cap]))) == plain
    assert str(PolicyViolation(hit, {"amount": 900}, policy=Policy([twin]))) == plain + " (total missing)"


# ---------------------------------------------------------------- logging

QUIET = """
from quindle_brevault_agent import Policy, PolicyViolation, cap_charges, guard
from quindle_brevault_agent.enforce.mcp_proxy import Gate

policy = Policy([cap_charges(500, name="cap_500")])

@guard(policy, stage="spend_decision", action_type="charge")
def pay(amount):
    return amount

for amount in (900, "9"):
    try:
        pay(amount)
    except (PolicyViolation, TypeError):
        pass
for amount in ("900", 900):
    Gate(policy, charges=frozenset({"pay"})).inspect(
        b'{"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "pay", "arguments": {"amount": %s}}}\\n'
        % str(amount).encode()
    )
"""


def test_refusals_errors_and_the_server_are_logged_and_a_plain_process_prints_none_of_it(caplog):
    caplog.set_level("INFO", logger="quindle_brevault_agent")
    policy = Policy([cap_charges(500, name="cap_500")])

    @guard(policy, stage="spend_decision", action_type="charge")
    def pay(amount):
        return amount

    for amount in (900, "9", 5):
        try:
            pay(amount)
        except (PolicyViolation, TypeError):
            pass
    gate = Gate(policy, charges=frozenset({"pay"}))
    for amount in (900, "9"):
        gate.inspect(json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                                 "params": {"name": "pay", "arguments": {"amount": amount}}}).encode() + b"\n")
    client_in, closed = os.pipe()
    os.close(closed)
    sink, client_out = os.pipe()
    try:
        assert serve(gate, ["sh", "-c", "exit 3"], client_in, client_out) == 3
    finally:
        for fd in (client_in, sink, client_out):
            os.close(fd)
    cap = "cap_500 (spend_cap<=500): BLOCK (amount=900)"
    error = "TypeError: '>' not supported between instances of 'str' and 'int' (while evaluating behaviour 'cap_500' (rule 'spend_cap<=500'))"
    logged = [(r.name, r.levelname, r.getMessage()) for r in caplog.records]
    pid = logged[-1][2].split("pid ")[1].split(")")[0]
    assert logged == [("quindle_brevault_agent", "INFO", message) for message in [
        f"refused a call of pay: blocked by policy: {cap}",
        f"could not decide on a call of pay: {error}",
        f"Tool call 'pay' blocked by policy: {cap}",
        f"Tool call 'pay' refused: the policy could not decide: {error}",
        f"started the MCP server sh (pid {pid})",
        f"the MCP server sh (pid {pid}) exited with status 3",
    ]]
    # Nothing of it reaches standard error where logging is not set up.
    quiet = subprocess.run([sys.executable, "-c", QUIET], capture_output=True, text=True, timeout=60)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")


def test_the_readme_example_runs_as_pasted_and_prints_what_it_says(tmp_path):
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    start = readme.index("```python\n", readme.index("### A guarded function")) + len("```python\n")
    code = readme[start : readme.index("```", start)]
    (tmp_path / "example.py").write_text(code)
    result = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    said = [text.split("# ", 1)[1] for text in code.splitlines() if "print(refusal)" in text]
    assert (result.returncode, result.stdout.splitlines(), result.stderr) == (0, said, "")
    assert len(said) == 2 and len((tmp_path / "decisions.jsonl").read_text().splitlines()) == 4


# ---------------------------------------------------------------- the native call path


def settle_up(amount, currency="EUR", payee=None):
    return (amount, currency, payee)


def no_parameters():
    return "none"


class Counter:
    def ring(this, amount, currency="EUR"):  # not named self: bound into the event, as the Python path does
        return (type(this).__name__, amount, currency)


def changed_defaults():
    made = copy(settle_up)
    made.__defaults__ = ("USD", "p9")
    return made


@pytest.mark.parametrize(
    "make, native, calls",
    [
        (lambda: settle_up, True, [
            ((5,), {}), ((5, "USD", "p"), {}), ((), {"payee": "p", "amount": 5}), ((5,), {"currency": "USD"}),
            # The calls the function itself would refuse, with its own messages.
            ((), {}), ((1, 2, 3, 4), {}), ((5,), {"amount": 6}), ((5,), {"fee": 1}), ((), {"currency": "USD"}),
        ]),
        (lambda: no_parameters, True, [((), {}), ((1,), {}), ((), {"x": 1})]),
        (changed_defaults, True, [((5,), {}), ((5, "EUR"), {})]),  # its defaults of the moment
        (lambda: Counter().ring, False, [((5,), {}), ((), {"amount": 5, "currency": "USD"}), ((), {})]),
        (lambda: Counter.ring, True, [((Counter(), 5), {}), ((Counter(),), {"amount": 5})]),
        (lambda: passes_on(settle_up), True, [((5,), {"payee": "p"}), ((), {"payee": "p"})]),
        (lambda: plain, False, [((5,), {"note": "n"}), ((), {})]),  # keyword-only: the Python path only
        (lambda: spread, False, [((1, 2), {"memo": "m"})]),
    ],
    ids=["defaults", "none", "defaults-replaced", "bound-method", "this", "wraps", "keyword-only", "stars"],
)
@pytest.mark.parametrize("verdict", ["ALLOW", "FLAG", "BLOCK"])
def test_the_native_call_path_gives_what_the_python_path_gives(monkeypatch, make, native, calls, verdict):
    from quindle_brevault_agent import _engine
    from quindle_brevault_agent.enforce import guarding

    seen = {}
    for path in (True, False):
        monkeypatch.setattr(guarding, "NATIVE", path)
        recorder = Recorder(verdict)
        stream = io.StringIO()
        fn = make()
        guarded = guard(recorder.policy, log=DecisionLog(stream))(fn)
        assert isinstance(guarded, _engine.GuardedCall) is (path and native)
        outcomes = []
        for args, kwargs in calls:
            try:
                outcome = ("returned", guarded(*args, **kwargs))
            except (TypeError, PolicyViolation) as exc:
                outcome = (type(exc).__name__, str(exc))
                if isinstance(exc, TypeError):  # the function's own message, before any decision
                    with pytest.raises(TypeError) as own:
                        fn(*args, **kwargs)
                    assert str(own.value) == str(exc)
            outcomes.append(outcome)
        records = [json.loads(line) for line in stream.getvalue().splitlines()]
        seen[path] = (outcomes, recorder.events, [(r["seq"], r["verdict"], r["hits"], r["event"]) for r in records])
    assert seen[True] == seen[False]
    outcomes, events, records = seen[True]
    assert len(records) == len(events) == sum(outcome[0] != "TypeError" for outcome in outcomes) > 0
    assert all((outcome[0] == "returned") is (verdict != "BLOCK") for outcome in outcomes if outcome[0] != "TypeError")


@pytest.mark.parametrize(
    "verdict, approve, outcome",
    [
        ("ASK", lambda decision, event: True, "returned"),
        ("ASK", lambda decision, event: False, "not approved (declined)"),
        ("ASK", None, "not approved (no approve callback)"),
        (TypeError("text amount"), None, "TypeError: text amount"),
        (frozenset({"HOLD"}), None, "blocked by policy"),  # a verdict of the caller's own ranks with BLOCK
    ],
)
def test_the_native_call_path_hands_asking_refusing_and_errors_to_the_python_code(monkeypatch, verdict, approve, outcome):
    from quindle_brevault_agent.enforce import guarding

    seen = {}
    for path in (True, False):
        monkeypatch.setattr(guarding, "NATIVE", path)
        recorder = Recorder(verdict)
        stream = io.StringIO()
        calls = []
        guarded = guard(recorder.policy, log=DecisionLog(stream), approve=approve)(lambda amount: calls.append(amount))
        try:
            guarded(7)
            said = "returned"
        except Exception as exc:
            said = f"{type(exc).__name__}: {exc}"
        lines = [json.loads(line) for line in stream.getvalue().splitlines()]
        seen[path] = (said, calls, [{k: v for k, v in r.items() if k not in ("time", "prev")} for r in lines])
    assert seen[True] == seen[False]
    said, calls, lines = seen[True]
    assert outcome in said and (calls == [7]) is (outcome == "returned") and len(lines) == 1


class Noting(DecisionLog):
    def record(self, event, stage, decision, *, approval=None):
        super().record({**event, "noted": True}, stage, decision, approval=approval)


@pytest.mark.parametrize(
    "options, later, each",
    [
        ({}, {}, b'"payee": "'),
        ({"key": b"k" * 40}, {}, b'"payee": "'),
        ({}, {"redact": frozenset({"payee"})}, b'"payee": "[redacted]"'),  # asked for after the log was opened
        ({"redact": ("payee",)}, {}, b'"payee": "[redacted]"'),
        ({"limits": True}, {}, b'"limits": [{"behaviour": "daily"'),  # a decision with limits is recorded with them
        ({"subclass": True}, {}, b'"noted": true'),  # a log's own record() is the one called
    ],
    ids=["plain", "keyed", "redact-later", "redact", "limits", "subclass"],
)
def test_a_guarded_call_records_what_the_python_path_records(tmp_path, monkeypatch, options, later, each):
    import re

    from quindle_brevault_agent import budget, jsonl
    from quindle_brevault_agent.enforce import decision_log, guarding

    options = dict(options)
    behaviours = [cap_charges(500, name="cap"), qba.flag_large_charges(100, name="large")]
    if options.pop("limits", False):
        behaviours.append(budget(1000, per=60, name="daily"))
    kind = Noting if options.pop("subclass", False) else DecisionLog
    lines = {}
    for path in (True, False):
        monkeypatch.setattr(guarding, "NATIVE", path)
        monkeypatch.setattr(decision_log, "NATIVE", path)
        log = kind(tmp_path / f"{path}.jsonl", **options)
        for name, value in later.items():
            setattr(log, name, value)

        @guard(Policy(behaviours), stage="spend_decision", action_type="charge", log=log)
        def settle(amount, currency="EUR", payee="p"):
            return amount

        assert [settle(20), settle(200, payee="q")] == [20, 200]
        with pytest.raises(PolicyViolation):
            settle(900)
        log.close()
        written = tmp_path / f"{path}.jsonl"
        with open(written, "rb") as stream:
            chain = decision_log.verify(jsonl.Source(str(written), stream, None), options.get("key"))
        assert chain.records == 3, chain
        lines[path] = [re.sub(rb'"(time|prev|hmac)": "[^"]*"', b"", line) for line in written.read_bytes().splitlines()]
    assert lines[True] == lines[False]
    assert all(each in line for line in lines[True][:2])  # the calls let through


@guard(Policy([cap_charges(500, stage="execution", name="cap")]), action_type="charge")
def till(amount, currency="EUR"):
    """Takes an amount."""
    return amount


def test_a_natively_guarded_function_looks_copies_and_pickles_as_the_function():
    import copy as copying
    import weakref

    from quindle_brevault_agent import _engine

    assert isinstance(till, _engine.GuardedCall)
    assert (till.__name__, till.__qualname__, till.__doc__, till.__module__) == ("till", "till", "Takes an amount.", __name__)
    assert str(inspect.signature(till)) == "(amount, currency='EUR')" and till.__wrapped__(900) == 900
    assert pickle.loads(pickle.dumps(till)) is till and copying.deepcopy(till) is till
    assert weakref.ref(till)() is till and repr(till).startswith("<guarded function till at ")
    assert till(5) == 5
    with pytest.raises(PolicyViolation):
        till(900)
    # Read from an instance it is bound as a function is: the instance comes first, as the amount.
    with pytest.raises(TypeError, match="between instances of 'Shop' and 'int'"):
        type("Shop", (), {"pay": till})().pay("USD")
