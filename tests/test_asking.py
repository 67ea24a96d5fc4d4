"""ASK: the rules that ask, how a decision ranks them, guard's approve
callback, the review tools, and mcp-proxy asking the client's user on both
protocol generations (in process, byte by byte, and end to end with the SDK)."""

from __future__ import annotations

import asyncio
import base64
import io
import json
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from quindle_brevault_agent import (
    Decision,
    DecisionLog,
    Policy,
    PolicyViolation,
    approve_large_charges,
    ask_over,
    behaviour,
    budget,
    cap_charges,
    check_rule,
    deny_writes_to,
    flag_large_charges,
    guard,
    rule,
    trigger,
)
from quindle_brevault_agent import library as qba
from quindle_brevault_agent.enforce.mcp_approval import ID_PREFIX, KEY, STATE
from quindle_brevault_agent.enforce.mcp_proxy import VERSION_KEY, Gate

TESTS = Path(__file__).resolve().parent
PROG = [sys.executable, "-m", "quindle_brevault_agent"]


class Nan(float):
    pass


# ---------------------------------------------------------------- the rules


@pytest.mark.parametrize("limit", [200, 200.5, float("nan")])
@pytest.mark.parametrize(
    "event",
    [{}, {"amount": 0}, {"amount": 201}, {"amount": 200}, {"kwargs": {"amount": 900}}, {"amount": None, "kwargs": {"amount": 900}},
     {"amount": float("nan")}, {"amount": Nan("nan")}, {"amount": -5}, {"amount": True}, {"amount": "900"}, {"kwargs": [1]}],
    ids=repr,
)
def test_ask_over_reads_and_compares_as_the_librarys_flag_over(limit, event):
    # The library's flag_over is the reference: ASK exactly where it flags, the same error where it raises.
    try:
        expected = check_rule(qba.flag_over(limit), event).replace("FLAG", "ASK")
    except Exception as error:
        with pytest.raises(type(error)):
            check_rule(ask_over(limit), event)
    else:
        assert check_rule(ask_over(limit), event) == expected


def test_the_factories_are_named_and_built_as_the_librarys():
    made = approve_large_charges(200, field="total", stage="pay")
    flag = qba.flag_large_charges(200, field="total", stage="pay")
    assert (made.name, made.rule.name, made.on.stage) == ("approve_large_charges>200", "ask_over>200", "pay")
    assert made.on.where({"action_type": "charge"}) and not made.on.where({"action_type": "pay"})
    assert [check_rule(r, {"total": 201}) for r in (made.rule, flag.rule)] == ["ASK", "FLAG"]
    assert approve_large_charges(5, name="mine").name == "mine" and ask_over(1.5).name == "ask_over>1.5"


def verdicts(*answers):
    return Policy([behaviour(f"b{i}", on=trigger(stage="s"), rule=rule(f"r{i}", lambda e, v=v: v)) for i, v in enumerate(answers)])


@pytest.mark.parametrize(
    "answers, verdict, blocked, needs_approval",
    [
        (["FLAG", "ASK"], "ASK", False, True),
        (["ASK", "ASK", "FLAG"], "ASK", False, True),  # several asks are one question
        (["ASK", "BLOCK"], "BLOCK", True, False),  # a BLOCK anywhere wins
        (["BLOCK", "ASK"], "BLOCK", True, False),
        (["ASK", "hold"], "hold", True, False),  # a verdict of the caller's own ranks with BLOCK
        (["ASK", None], None, True, False),
        (["ALLOW", "FLAG"], "FLAG", False, False),
    ],
)
def test_ask_ranks_between_flag_and_block(answers, verdict, blocked, needs_approval):
    decision = verdicts(*answers).evaluate({}, stage="s")
    assert (decision.verdict, decision.blocked, decision.needs_approval) == (verdict, blocked, needs_approval)
    assert [hit.verdict for hit in decision.hits] == [a for a in answers if a != "ALLOW"]


# ---------------------------------------------------------------- guard


POLICY = Policy([cap_charges(1000, name="cap"), approve_large_charges(200, name="ask"), deny_writes_to("bucket", ["vault"], name="locked")])


def _raises(decision, event):
    raise LookupError("no one to ask")


async def _async_yes(decision, event):
    return event["kwargs"]["amount"] == 300


def _awaitable(decision, event):
    return _async_yes(decision, event)


@pytest.mark.parametrize(
    "approve, is_async, amount, runs, refusal, answer",
    [
        (None, False, 100, True, None, None),  # asks nothing: no approval in the record
        (None, False, 300, False, "not approved (no approve callback): ask (ask_over>200): ASK (amount=300)", "not possible"),
        (lambda d, e: True, False, 300, True, None, "accepted"),
        (lambda d, e: False, False, 300, False, "not approved (declined): ask (ask_over>200): ASK (amount=300)", "declined"),
        (lambda d, e: 1, False, 300, False, "not approved (declined)", "declined"),  # only True approves
        (_raises, True, 300, False, "not approved (the approve callback raised LookupError: no one to ask)", "not possible"),
        (_awaitable, False, 300, False, "not approved (the approve callback is async, and pay is not)", "not possible"),
        (_async_yes, True, 300, True, None, "accepted"),
        (_async_yes, True, 400, False, "not approved (declined)", "declined"),
        (_awaitable, True, 300, True, None, "accepted"),
        (lambda d, e: pytest.fail("asked about a blocked call"), False, 1200, False,
         "blocked by policy: cap (spend_cap<=1000): BLOCK (amount=1200), ask (ask_over>200): ASK (amount=1200)", None),
    ],
)
def test_guard_lets_a_call_that_asks_through_only_when_approve_says_true(approve, is_async, amount, runs, refusal, answer):
    stream = io.StringIO()
    asked = []

    def pay(amount):
        asked.append(amount)
        return "paid"

    async def pay_async(amount):
        return pay(amount)

    def approve_recorded(decision, event):
        assert decision.needs_approval and event["kwargs"] == {"amount": amount}
        return approve(decision, event)

    pay_async.__name__ = "pay"
    chosen = approve if approve is None or asyncio.iscoroutinefunction(approve) else approve_recorded
    guarded = guard(POLICY, stage="spend_decision", action_type="charge", log=DecisionLog(stream), approve=chosen)(
        pay_async if is_async else pay
    )
    call = (lambda: asyncio.run(guarded(amount))) if is_async else (lambda: guarded(amount))
    if runs:
        assert call() == "paid" and asked == [amount]
    else:
        with pytest.raises(PolicyViolation) as raised:
            call()
        assert str(raised.value).startswith(refusal) and asked == []
        assert isinstance(raised.value.__cause__, LookupError) == (approve is _raises)
    (record,) = [json.loads(line) for line in stream.getvalue().splitlines()]
    approval = record.get("approval")
    assert (approval and approval.get("answer")) == answer
    if answer is not None:
        assert approval["question"] == f"Approve a call of pay? The policy asks first: ask (ask_over>200): ASK (amount={amount})"
        assert list(record)[-2:] == ["approval", "prev"]  # a field of its own, after the event


def test_an_async_approve_callback_needs_an_async_function():
    with pytest.raises(TypeError, match="the approve callback is a coroutine function"):
        guard(POLICY, stage="spend_decision", action_type="charge", approve=_async_yes)(lambda amount: amount)
    with pytest.raises(TypeError, match="approve must be a callable"):
        guard(POLICY, approve="yes")


# ---------------------------------------------------------------- limits admitted after the approval


def limited(prior=0):
    """A daily budget of 500, one of 250 that asks, and a question over 200;
    `prior` already spent."""
    policy = Policy([
        cap_charges(1000, name="cap"), budget(500, per="day", name="daily"),
        budget(250, per="day", name="soft", verdict="ASK"), approve_large_charges(200, name="ask"),
    ], clock=lambda: 1000.0)
    if prior:
        assert not policy.evaluate({"action_type": "charge", "amount": prior}, stage="spend_decision").hits
    return policy


def spent(policy):
    """What the daily budget holds, read by a charge of 0 (which admits 0)."""
    (use, _) = policy.evaluate({"action_type": "charge", "amount": 0}, stage="spend_decision").limits
    return 500 - use.left


def _fill(policy, amount):
    """An approve callback that says yes after a charge of `amount` was
    approved and admitted meanwhile."""
    def approve(decision, event):
        assert not policy.admit(policy.evaluate({"action_type": "charge", "amount": amount}, stage="spend_decision")).blocked
        return True
    return approve


# prior spend, amount, approve (or "fill N": yes once N was charged meanwhile),
# the call raises, refund_on_error, async; then whether the function ran,
# what the daily budget holds after, and the record of the call: verdict,
# hits, answer and what its limits admitted.
@pytest.mark.parametrize(
    "prior, amount, approve, raises, refund, is_async, runs, holds, record",
    [
        # Over the limit that asks too, unchecked before the question: its hit joins the decision.
        (0, 300, True, False, False, False, True, 300, ("ASK", ["soft", "ask"], "accepted", {"daily": 300, "soft": 300})),
        (0, 300, True, False, False, True, True, 300, ("ASK", ["soft", "ask"], "accepted", {"daily": 300, "soft": 300})),
        (0, 300, False, False, False, False, False, 0, ("ASK", ["ask"], "declined", {})),
        (0, 300, None, False, False, True, False, 0, ("ASK", ["ask"], "not possible", {})),
        (0, 300, "fill 250", False, False, False, False, 250,
         ("BLOCK", ["daily", "soft", "ask"], "accepted", {"daily": 0, "soft": 0})),
        (0, 300, True, True, True, False, False, 0, ("ASK", ["soft", "ask"], "accepted", {"daily": 300, "soft": 300})),
        (0, 300, True, True, True, True, False, 0, ("ASK", ["soft", "ask"], "accepted", {"daily": 300, "soft": 300})),
        (0, 300, True, True, False, False, False, 300, ("ASK", ["soft", "ask"], "accepted", {"daily": 300, "soft": 300})),
        # The limit that asks: over it, asked about, and admitted over it once approved.
        (200, 100, True, False, False, False, True, 300, ("ASK", ["soft"], "accepted", {"daily": 100, "soft": 100})),
        (200, 100, False, False, False, False, False, 200, ("ASK", ["soft"], "declined", {"daily": 0, "soft": 0})),
        (200, 100, "fill 250", False, False, False, False, 450,
         ("BLOCK", ["daily", "soft"], "accepted", {"daily": 0, "soft": 0})),
        (100, 50, None, False, False, False, True, 150, ("ALLOW", [], None, {"daily": 50, "soft": 50})),  # within: no question
    ],
    ids=["approved", "approved async", "declined", "no callback", "filled meanwhile", "refunded", "refunded async",
         "raised, kept", "limit asks", "limit asks, declined", "limit asks, filled meanwhile", "within the limits"],
)
def test_guard_admits_the_limits_only_after_the_approval(prior, amount, approve, raises, refund, is_async, runs, holds, record):
    policy = limited(prior)
    stream = io.StringIO()
    ran = []

    def pay(amount):
        ran.append(amount)
        if raises:
            raise OSError("the bank is down")
        return "paid"

    async def pay_async(amount):
        return pay(amount)

    pay_async.__name__ = "pay"
    if isinstance(approve, str):
        approve = _fill(policy, int(approve.split()[1]))
    elif isinstance(approve, bool):
        approve = (lambda said: lambda d, e: said)(approve)
    guarded = guard(policy, stage="spend_decision", action_type="charge", log=DecisionLog(stream),
                    refund_on_error=refund, approve=approve)(pay_async if is_async else pay)
    call = (lambda: asyncio.run(guarded(amount))) if is_async else (lambda: guarded(amount))
    if runs:
        assert call() == "paid"
    else:
        with pytest.raises(OSError if raises else PolicyViolation) as raised:
            call()
        if record[0] == "BLOCK":
            assert str(raised.value).startswith("blocked by policy: daily (budget<=500/86400s): BLOCK")
    assert ran == ([amount] if runs or raises else [])
    assert spent(policy) == holds
    verdict, hits, answer, admitted = record
    last = json.loads(stream.getvalue().splitlines()[-1])
    assert (last["verdict"], [h["behaviour"] for h in last["hits"]]) == (verdict, hits)
    assert (last.get("approval") or {}).get("answer") == answer
    assert {use["behaviour"]: use["admitted"] for use in last.get("limits", [])} == admitted


def test_admit_takes_a_decision_that_asks_once_and_gives_back_any_other_as_it_is():
    policy = limited()
    asked = policy.evaluate({"action_type": "charge", "amount": 220}, stage="spend_decision")
    assert asked.needs_approval and asked.limits == () and spent(policy) == 0
    admitted = policy.admit(asked)
    assert admitted == asked and [use.admitted for use in admitted.limits] == [220, 220]
    assert policy.admit(asked) is admitted and policy.admit(admitted) is admitted and spent(policy) == 220
    policy.refund(admitted)
    policy.refund(admitted)
    assert policy.admit(asked) is admitted and spent(policy) == 0  # refunded once, never admitted again
    plain = POLICY.evaluate({"action_type": "charge", "amount": 300}, stage="spend_decision")
    assert POLICY.admit(plain) is plain and policy.admit(plain) is plain
    with pytest.raises(ValueError, match="another policy"):
        limited().admit(policy.evaluate({"action_type": "charge", "amount": 300}, stage="spend_decision"))
    with pytest.raises(TypeError, match="admit\\(\\) takes a Decision"):
        policy.admit("ASK")


# ---------------------------------------------------------------- review tools


def run(*args, stdin=None):
    return subprocess.run([*PROG, *map(str, args)], input=stdin, capture_output=True, text=True, timeout=60)


@pytest.fixture
def asking_policy(tmp_path):
    path = tmp_path / "policy.py"
    path.write_text(textwrap.dedent("""
        from quindle_brevault_agent import approve_large_charges, library as qba
        POLICY = [qba.cap_charges(1000, name="cap"), approve_large_charges(200, name="ask"), qba.flag_large_charges(100, name="flag")]
    """))
    return path


def charge(amount):
    return json.dumps({"stage": "spend_decision", "action_type": "charge", "amount": amount}) + "\n"


@pytest.mark.parametrize(
    "args, stdin, status, said",
    [
        (["replay", "{policy}", "-q"], charge(300) + charge(50), 0, '"verdict": "ASK"'),
        (["replay", "{policy}", "--fail-on", "ask"], charge(300), 1, "verdicts: 0 ALLOW, 0 FLAG, 1 ASK, 0 BLOCK, 0 bad"),
        (["replay", "{policy}", "--fail-on", "flag"], charge(300), 1, None),
        (["replay", "{policy}", "--fail-on", "ask"], charge(150), 0, "verdicts: 0 ALLOW, 1 FLAG, 0 BLOCK, 0 bad"),
        (["replay", "{policy}", "--fail-on", "ask"], charge(1500), 1, None),
        (["test", "{policy}", "-"], json.dumps({"event": json.loads(charge(300)), "expect": "ASK", "hits": ["ask", "flag"]}) + "\n",
         0, "1 passed, 0 failed"),
        (["test", "{policy}", "-"], json.dumps({"event": json.loads(charge(300)), "expect": "BLOCK"}) + "\n", 1, "actual:   ASK"),
        (["diff", "{old}", "{policy}", "-", "--format", "table"], charge(300) + charge(1500) + charge(400),
         1, "FLAG -> ASK: 2\n  FLAG -> BLOCK: 1"),
        (["lint", "{only}"], None, 1, "behaviour 1 (approve_large_charges>200): QB103 no require_fields of 'amount'"),
        (["lint", "{nan}"], None, 1, "QB105 limit is NaN: every event this applies to is asked about"),
        (["lint", "{toml}"], None, 0, None),  # ASK is a standard verdict in a file
        (["replay", "{toml}", "-q"], '{"stage": "execution", "bucket": "shared"}\n', 0, '"verdict": "ASK", "hits": [{"behaviour": "asked"'),
        # Nobody answers in a replay: a decision that asks admits nothing, so the third charge is asked about
        # again rather than blocked by the hard budget.
        (["replay", "{limited}", "--format", "table"], charge(4) * 3, 0, "verdicts: 1 ALLOW, 0 FLAG, 2 ASK, 0 BLOCK, 0 bad"),
        (["mcp-proxy", "{policy}", "--approval-timeout", "nan", "--", "true"], None, 2,
         "argument --approval-timeout: expected a number of seconds above 0, not 'nan'"),
    ],
)
def test_review_tools_count_ask_as_its_own_verdict(tmp_path, asking_policy, args, stdin, status, said):
    old = tmp_path / "old.py"
    old.write_text('from quindle_brevault_agent import library as qba\nPOLICY = [qba.flag_large_charges(100, name="flag")]\n')
    nan = tmp_path / "nan.py"
    nan.write_text("from quindle_brevault_agent import ask_over, behaviour, library as qba\n"
                   "POLICY = [behaviour('a', on=qba.on_charge(), rule=ask_over(float('nan'))),"
                   " behaviour('r', on=qba.on_charge(), rule=qba.require_fields('amount'))]\n")
    only = tmp_path / "only.py"
    only.write_text("from quindle_brevault_agent import approve_large_charges\nPOLICY = [approve_large_charges(200)]\n")
    toml = tmp_path / "policy.toml"
    toml.write_text('[[behaviour]]\nname = "asked"\non = { trigger = "on_write" }\n'
                    'rule = { use = "deny_list", field = "bucket", values = ["shared"], verdict = "ASK" }\n')
    limited = tmp_path / "limited.toml"
    limited.write_text('[[behaviour]]\nuse = "budget"\nlimit = 5\nper = "day"\nkey = "agent"\nverdict = "ASK"\nname = "soft"\n'
                       '[[behaviour]]\nuse = "budget"\nlimit = 8\nper = "day"\nkey = "agent"\nname = "hard"\n')
    names = {"policy": asking_policy, "old": old, "nan": nan, "only": only, "toml": toml, "limited": limited}
    result = run(*[a.format(**names) for a in args], stdin=stdin)
    assert result.returncode == status, result.stderr
    if said is not None:
        assert said in result.stdout + result.stderr


# ---------------------------------------------------------------- the proxy, in process


def tool_call(id_, amount, modern=True, **params):
    meta = {VERSION_KEY: "2026-07-28", "io.modelcontextprotocol/clientCapabilities": {"elicitation": {"form": {}}}}
    body = {"name": "charge", "arguments": {"amount": amount, "currency": "EUR"}, **({"_meta": meta} if modern else {}), **params}
    return {"jsonrpc": "2.0", "id": id_, "method": "tools/call", "params": body}


def line(value):
    return json.dumps(value).encode() + b"\n"


def gate_and_log():
    stream = io.StringIO()
    gate = Gate(POLICY, charges=frozenset({"charge"}), log=DecisionLog(stream))
    now = [1000.0]
    gate.asking.clock = lambda: now[0]
    return gate, now, lambda: [json.loads(text).get("approval") for text in stream.getvalue().splitlines()]


def altered(state):
    body, mac = state[len(STATE):].split(".")
    payload = json.loads(base64.urlsafe_b64decode(body))
    payload["c"] = "0" * 64
    return STATE + base64.urlsafe_b64encode(json.dumps(payload).encode()).decode() + "." + mac


ACCEPT = {"action": "accept", "content": {"approve": True}}

SAME = (lambda s: s)


# How the client retries a call that was answered with input required: each
# retry (its id, amount, input response, requestState made from the proxy's,
# the clock's step first), then the ids that reach the server, the refusal,
# and the answers the log records after the question.
@pytest.mark.parametrize(
    "retries, forwarded, refusal, answers",
    [
        ([(11, 300, ACCEPT, SAME, 0)], [11], None, ["accepted"]),
        ([(11, 300, {"action": "decline"}, SAME, 0)], [], "not approved (the user declined)", ["declined"]),
        ([(11, 300, {"action": "cancel"}, SAME, 0)], [], "not approved (the user cancelled the question)", ["cancelled"]),
        ([(11, 300, {"action": "accept", "content": {"approve": "yes"}}, SAME, 0)], [], "not approved (the user did not approve it)",
         ["declined"]),
        ([(11, 300, None, SAME, 0)], [], "not approved (the client gave no answer to the approval question)", ["not possible"]),
        ([(11, 300, ACCEPT, lambda s: STATE + "e30=." + "0" * 64, 0)], [],
         "not approved (its approval state was not made by this proxy: it is forged or altered)", ["not possible"]),
        ([(11, 300, ACCEPT, altered, 0)], [],
         "not approved (its approval state was not made by this proxy: it is forged or altered)", ["not possible"]),
        ([(11, 301, ACCEPT, SAME, 0)], [],
         "not approved (its approval state was made for another call: another tool or other arguments)", ["not possible"]),
        ([(11, 300, ACCEPT, SAME, 300)], [], "not approved (its approval state expired: no answer within 300 seconds)", ["timed out"]),
        ([(11, 300, ACCEPT, SAME, 0), (12, 300, ACCEPT, SAME, 0)], [11], "not approved (its approval state was used before)",
         ["accepted", "not possible"]),
    ],
    ids=["accepted", "declined", "cancelled", "accept without approve", "no answer", "forged", "altered", "other arguments",
         "expired", "replayed"],
)
def test_a_retry_reaches_the_server_only_with_a_sound_state_and_an_approval(retries, forwarded, refusal, answers):
    gate, now, approvals = gate_and_log()
    first = tool_call(10, 300, requestState="server-state", inputResponses={"server-key": {"action": "accept"}})
    sent, (answer,) = gate.inspect(line(first))
    assert sent == b""
    result = json.loads(answer)["result"]
    assert result["resultType"] == "input_required" and list(result["inputRequests"]) == [KEY]
    question = result["inputRequests"][KEY]
    assert question["method"] == "elicitation/create" and question["params"]["requestedSchema"]["required"] == ["approve"]
    assert question["params"]["message"] == "Approve the call of tool 'charge'? The policy asks first: ask (ask_over>200): ASK (amount=300)"
    reached, texts = [], []
    for id_, amount, response, state, step in retries:
        now[0] += step
        retry = tool_call(id_, amount, requestState=state(result["requestState"]),
                          inputResponses={} if response is None else {KEY: response})
        sent, answered = gate.inspect(line(retry))
        if sent:
            # The proxy's keys are gone; the server's own state and answers are back as they came.
            (message,) = [json.loads(text) for text in sent.splitlines()]
            assert message == {**first, "id": id_}
            reached.append(message["id"])
        texts += [json.loads(text)["result"]["content"][0]["text"] for text in answered]
    assert reached == forwarded
    assert texts == ([] if refusal is None else [f"Tool call 'charge' {refusal}: ask (ask_over>200): ASK (amount={amount})"])
    assert [a.get("answer") for a in approvals()] == [None, *answers]


def test_the_proxys_keys_never_reach_the_server_and_the_servers_own_pass_untouched():
    gate, _, approvals = gate_and_log()
    server_state = tool_call(1, 50, requestState="theirs", inputResponses={"their-key": {"action": "accept"}})
    assert gate.inspect(line(server_state)) == (line(server_state), [])  # allowed: byte for byte
    ours = tool_call(2, 50, requestState=STATE + "anything", inputResponses={KEY: ACCEPT, "their-key": {}})
    sent, answered = gate.inspect(line(ours))
    assert json.loads(sent) == tool_call(2, 50, inputResponses={"their-key": {}}) and answered == []
    assert approvals() == [None, None]


def test_a_call_that_waits_on_an_older_protocol_is_answered_through_the_proxys_own_request():
    gate, now, approvals = gate_and_log()
    initialize = {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"capabilities": {"elicitation": {}}}}
    assert gate.inspect(line(initialize)) == (line(initialize), [])

    def ask(id_, amount):
        sent, (request,) = gate.inspect(line(tool_call(id_, amount, modern=False)))
        request = json.loads(request)
        assert sent == b"" and request["method"] == "elicitation/create" and request["id"].startswith(ID_PREFIX)
        return request["id"]

    def reply(value):
        sent, answered = gate.inspect(line(value))
        return sent, [json.loads(text)["result"]["content"][0]["text"] for text in answered]

    first, second, third, fourth, fifth = ask(2, 300), ask(3, 400), ask(4, 500), ask(5, 600), ask(6, 700)
    # The server's own requests keep their ids: an answer to one passes untouched, even now.
    theirs = {"jsonrpc": "2.0", "id": 2, "result": {"action": "accept", "content": {"approve": True}}}
    assert reply(theirs) == (line(theirs), [])
    assert reply({"jsonrpc": "2.0", "id": first, "result": ACCEPT}) == (line(tool_call(2, 300, modern=False)), [])
    assert reply({"jsonrpc": "2.0", "id": second, "error": {"code": -32600, "message": "Elicitation not supported"}}) == (
        b"", ["Tool call 'charge' not approved (the client could not ask its user: Elicitation not supported): "
              "ask (ask_over>200): ASK (amount=400)"])
    cancelled = {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 4}}
    assert reply(cancelled) == (line(cancelled), [])
    assert reply({"jsonrpc": "2.0", "id": third, "result": ACCEPT}) == (b"", [])  # the client gave the call up
    assert reply({"jsonrpc": "2.0", "id": first, "result": ACCEPT}) == (b"", [])  # answered before: taken, not forwarded
    assert reply({"jsonrpc": "2.0", "id": fourth, "result": {**ACCEPT, "content": {"approve": True, "session": True}}}) == (
        line(tool_call(5, 600, modern=False)), [])
    now[0] += 300
    assert reply({"jsonrpc": "2.0", "id": fifth, "result": ACCEPT})[1] == [
        "Tool call 'charge' not approved (no answer within 300 seconds): ask (ask_over>200): ASK (amount=700)"]
    # The same tool with the same hits, for the rest of the session: asked no more.
    assert gate.inspect(line(tool_call(7, 800, modern=False))) == (line(tool_call(7, 800, modern=False)), [])
    assert reply({"jsonrpc": "2.0", "id": fifth, "result": ACCEPT}) == (b"", [])  # nothing waits, still the proxy's
    assert [(a["answer"], a.get("for"), a.get("remembered")) for a in approvals()] == [
        ("accepted", "once", None), ("not possible", None, None), ("accepted", "session", None), ("timed out", None, None),
        ("accepted", "session", True),
    ]


# The user's answer and a charge approved and admitted meanwhile; then what the
# daily budget holds after, the refusal, and the record of the answer: its
# verdict, answer and what its limits admitted.
@pytest.mark.parametrize("modern", [True, False], ids=["2026-07-28", "2025-11-25"])
@pytest.mark.parametrize(
    "answer, meanwhile, holds, refusal, record",
    [
        (ACCEPT, 0, 300, None, ("ASK", "accepted", [300, 300])),
        ({"action": "decline"}, 0, 0, "not approved (the user declined): ask (ask_over>200): ASK (amount=300)",
         ("ASK", "declined", [])),
        (ACCEPT, 250, 250, "blocked by policy: daily (budget<=500/86400s): BLOCK", ("BLOCK", "accepted", [0, 0])),
    ],
    ids=["accepted", "declined", "filled meanwhile"],
)
def test_the_proxy_admits_the_limits_only_once_the_user_accepts(modern, answer, meanwhile, holds, refusal, record):
    policy = limited()
    stream = io.StringIO()
    gate = Gate(policy, charges=frozenset({"charge"}), log=DecisionLog(stream))
    if not modern:
        gate.inspect(line({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"capabilities": {"elicitation": {}}}}))
    sent, (question,) = gate.inspect(line(tool_call(10, 300, modern=modern)))
    question = json.loads(question)
    assert sent == b"" and spent(policy) == 0  # asked, nothing admitted yet
    if meanwhile:
        _fill(policy, meanwhile)(None, None)
    if modern:
        reply = tool_call(11, 300, requestState=question["result"]["requestState"], inputResponses={KEY: answer})
    else:
        reply = {"jsonrpc": "2.0", "id": question["id"], "result": answer}
    sent, answered = gate.inspect(line(reply))
    texts = [json.loads(text)["result"]["content"][0]["text"] for text in answered]
    assert (json.loads(sent)["params"]["arguments"] if sent else None) == ({"amount": 300, "currency": "EUR"} if refusal is None else None)
    assert len(texts) == (refusal is not None) and all(text.startswith(f"Tool call 'charge' {refusal}") for text in texts)
    assert spent(policy) == holds
    last = json.loads(stream.getvalue().splitlines()[-1])
    assert (last["verdict"], last["approval"]["answer"], [use["admitted"] for use in last.get("limits", [])]) == record


# ---------------------------------------------------------------- the proxy, end to end


PROXIED_POLICY = textwrap.dedent("""
    from quindle_brevault_agent import approve_large_charges, library as qba
    POLICY = [
        qba.cap_charges(1000, name="cap"),
        approve_large_charges(200, name="ask"),
        qba.deny_writes_to("bucket", ["vault"], name="locked"),
    ]
""")

# (tool, arguments, what the client's user answers, the result's text); a
# question of the server's own is answered {"sure": true}.
SESSION = [
    ("charge", {"amount": 300, "currency": "EUR", "payee": "a"}, "accept", "charged 300.0 EUR to a"),
    ("charge", {"amount": 400, "currency": "EUR", "payee": "a"}, "decline", "not approved (the user declined)"),
    ("charge", {"amount": 500, "currency": "EUR", "payee": "a"}, "cancel", "not approved (the user cancelled the question)"),
    ("charge", {"amount": 550, "currency": "EUR", "payee": "a"}, "wait", "not approved (no answer within 2 seconds)"),
    ("charge", {"amount": 600, "currency": "EUR", "payee": "a"}, "session", "charged 600.0 EUR to a"),
    ("charge", {"amount": 700, "currency": "EUR", "payee": "a"}, None, "charged 700.0 EUR to a"),
    ("charge", {"amount": 1500, "currency": "EUR", "payee": "a"}, None, "blocked by policy: cap (spend_cap<=1000): BLOCK"),
    ("write", {"bucket": "vault", "path": "p", "text": "t"}, None, "blocked by policy: locked (deny_bucket): BLOCK"),
    ("keep", {"text": "hi"}, None, "kept 'hi'"),
]


@pytest.mark.parametrize("callback", [True, False], ids=["elicitation", "no elicitation"])
@pytest.mark.parametrize("generation", ["2025-11-25", "2026-07-28"])
def test_the_sdks_clients_ask_their_user_through_the_proxy(tmp_path, generation, callback):
    anyio = pytest.importorskip("anyio")
    mcp = pytest.importorskip("mcp")
    from mcp import types

    policy, calls, log = tmp_path / "policy.py", tmp_path / "calls.jsonl", tmp_path / "decisions.jsonl"
    policy.write_text(PROXIED_POLICY)
    # On 2026-07-28 nothing waits in the proxy: a state outlives the test's questions.
    timeout = "2" if generation == "2025-11-25" else "300"
    server = mcp.StdioServerParameters(
        command=sys.executable,
        args=[*PROG[1:], "mcp-proxy", str(policy), "--log", str(log), "--charge", "charge", "--approval-timeout", timeout, "--",
              sys.executable, str(TESTS / "mcp_asking_server.py")],
        env={"TOOL_CALLS": str(calls)},
    )
    # Without the capability the server's own question is an error, not a result.
    session = [step for step in SESSION if (generation == "2025-11-25" or step[2] != "wait") and (callback or step[0] != "keep")]
    asked = []

    async def answer(context, params):
        asked.append(params.message)
        if params.message.startswith("Really keep"):
            return types.ElicitResult(action="accept", content={"sure": True})
        amount = int(re.search(r"amount=(\d+)", params.message).group(1))
        said = next(step[2] for step in session if step[1].get("amount") == amount)
        if said == "wait":
            await anyio.sleep_forever()  # withdrawn by the proxy when it gives up
        if said in ("accept", "session"):
            return types.ElicitResult(action="accept", content={"approve": True, "session": said == "session"})
        return types.ElicitResult(action=said)

    kw = {"elicitation_callback": answer} if callback else {}

    async def calls_made():
        if generation == "2026-07-28":
            async with mcp.Client(server, mode=generation, **kw) as client:
                return [await client.call_tool(name, arguments) for name, arguments, _, _ in session]
        async with mcp.stdio_client(server) as (read, write):
            async with mcp.ClientSession(read, write, **kw) as client:
                await client.initialize()
                return [await client.call_tool(name, arguments) for name, arguments, _, _ in session]

    results = anyio.run(calls_made)
    texts = [r.content[0].text for r in results]
    received = [json.loads(text) for text in calls.read_text().splitlines()] if calls.exists() else []
    records = [json.loads(text) for text in log.read_text().splitlines()]
    if callback:
        for text, (_, _, _, expected) in zip(texts, session):
            assert expected in text
        # Each approved call reached the server once, with its arguments as the client sent them.
        assert received == [
            {"tool": "charge", "amount": 300.0, "currency": "EUR", "payee": "a"},
            {"tool": "charge", "amount": 600.0, "currency": "EUR", "payee": "a"},
            {"tool": "charge", "amount": 700.0, "currency": "EUR", "payee": "a"},
            {"tool": "keep", "text": "hi", "sure": True},
        ]
        # 700 was approved for the session with 600; the server's own question went through.
        assert [re.sub(r".*amount=(\d+).*", r"\1", q) for q in asked] == [
            *(str(step[1]["amount"]) for step in session if step[2] is not None), "Really keep the note 'hi'?"]
        expected_answers = ["accepted", "declined", "cancelled", "timed out", "accepted", "accepted"]
        if generation == "2026-07-28":
            expected_answers = [None, "accepted", None, "declined", None, "cancelled", None, "accepted", "accepted"]
        assert [r["approval"].get("answer") for r in records if "approval" in r] == expected_answers
        remembered = [r["event"]["kwargs"]["amount"] for r in records if r.get("approval", {}).get("remembered")]
        assert remembered == [700]
    else:
        # Nothing that asks reaches the server, nor does the server's own question.
        refused = "not approved (the client cannot ask its user: it declared no elicitation capability)"
        asking = [text for text, step in zip(texts, session) if step[0] == "charge" and step[1]["amount"] < 1000]
        assert all(refused in text for text in asking) and len(asking) == len(session) - 2
        assert asked == [] and received == []
    assert [r.is_error for r in results] == [not (callback and step[3].startswith(("charged", "kept"))) for step in session]
    verified = run("verify-log", log)
    assert verified.returncode == 0, verified.stdout
    replayed = run("replay", policy, log, "--fail-on", "ask", "-q")
    assert replayed.returncode == 1 and '"recorded": "ASK"' in replayed.stdout
