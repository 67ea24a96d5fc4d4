"""The native engine against the model (tests/model.py), side by side on
generated policies and events that fight back, and what only the engine has:
shared decisions, its types, and staying up when its objects are torn down."""

from __future__ import annotations

import gc
import os
import pickle
import re
import sys

import typing

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
from quindle_brevault_agent._impl import Decision, Hit, Policy, behaviour, rule, trigger

SANITIZED = os.environ.get("QBA_SANITIZED") == "1"
LOG: list = []


class Text(str):
    """A str subclass that keeps str's hash and equality."""


class Loud(str):
    """A str subclass whose own __eq__ and __hash__ run, and log."""

    def __eq__(self, other):
        LOG.append(("eq", str(self), other))
        return str.__eq__(self, other)

    def __ne__(self, other):
        LOG.append(("ne", str(self), other))
        return str.__ne__(self, other)

    __hash__ = str.__hash__


class Unhashable(str):
    __hash__ = None  # type: ignore[assignment]


class Falsy:
    def __bool__(self):
        raise LookupError("no truth")


class Stage:
    """A stage that differs from everything, itself included, as its __ne__ says."""

    def __init__(self, label, answer):
        self.label, self.answer = label, answer

    def __ne__(self, other):
        LOG.append(("ne", self.label))
        if self.answer == "raise":
            raise KeyError(self.label)
        return Falsy() if self.answer == "falsy" else self.answer

    def __repr__(self):
        return f"Stage({self.label})"


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


class Custom:
    def __repr__(self):
        return "Custom()"


CUSTOM = Custom()
STAGES = ["s", "t", None, Text("s"), 3, Stage("always", True), Stage("never", False),
          Stage("raising", "raise"), Stage("falsy", "falsy"), Loud("s")]
VERDICTS = ["ALLOW", "FLAG", "ASK", "BLOCK", "".join(["FL", "AG"]), "".join(["AL", "LOW"]), "".join(["AS", "K"]), "deny",
            None, 0, CUSTOM, Text("FLAG"), Text("ALLOW"), Loud("ALLOW"), Loud("BLOCK"),
            Unhashable("FLAG"), "raise"]
NAMES = ["cap", "fence", 7, None, BadRepr()]
WHERES = [None, True, False, 0, "x", Falsy(), "raise"]
ACTIONS = [None, "log", "raise"]

BEHAVIOURS = st.tuples(
    st.sampled_from(NAMES), st.sampled_from(NAMES), st.sampled_from(STAGES),
    st.sampled_from(WHERES), st.sampled_from(VERDICTS), st.sampled_from(ACTIONS),
)


def make(index, spec):
    name, rule_name, stage, where, verdict, action = spec

    def predicate(event):
        LOG.append(("where", index))
        if where == "raise":
            raise ArithmeticError(f"where {index}")
        return where

    def fn(event):
        LOG.append(("rule", index))
        if verdict == "raise":
            raise ValueError(f"rule {index}")
        return verdict

    def act(event, result):
        LOG.append(("action", index, event, result))
        if action == "raise":
            raise RuntimeError(f"action {index}")
        return "ignored"

    return behaviour(
        name,
        on=trigger(stage=stage, where=None if where is None else predicate),
        rule=rule(rule_name, fn),
        action=None if action is None else act,
    )


def run(fn):
    """(calls made, ("ok", verdict, hits) or the error's type, message and notes)."""
    LOG.clear()
    try:
        verdict, hits = fn()
        result = ("ok", verdict, [tuple(h) for h in hits])
    except Exception as error:  # noqa: BLE001 - any failure is compared
        result = (type(error), str(error), getattr(error, "__notes__", []))
    return list(LOG), result


def same(a, b):
    """Equal, with every verdict and name the very same object."""
    (calls_a, result_a), (calls_b, result_b) = a, b
    assert calls_a == calls_b
    assert result_a[0] == result_b[0]
    if result_a[0] != "ok":
        assert result_a == result_b
        return
    assert result_a[1] is result_b[1]
    assert len(result_a[2]) == len(result_b[2])
    for hit_a, hit_b in zip(result_a[2], result_b[2]):
        assert all(x is y for x, y in zip(hit_a, hit_b, strict=True))


def as_pair(fn):
    def call():
        decision = fn()
        assert type(decision) is Decision and all(type(h) is Hit for h in decision.hits)
        return decision.verdict, decision.hits
    return call


@settings(max_examples=400, deadline=None)
@given(st.lists(BEHAVIOURS, max_size=6), st.sampled_from(STAGES))
def test_engine_and_model_agree(specs, stage):
    behaviours = [make(i, spec) for i, spec in enumerate(specs)]
    policy = Policy(behaviours)
    event = {"id": 1}
    expected = run(as_pair(lambda: model.evaluate(behaviours, event, stage=stage)))
    evaluate = policy.evaluator(stage=stage)
    # Twice each way: the second evaluation may be served what the first made.
    for _ in range(2):
        same(run(as_pair(lambda: policy.evaluate(event, stage=stage))), expected)
        same(run(as_pair(lambda: evaluate(event))), expected)
        # An action gets the very event evaluated.
        assert all(call[2] is event for call in LOG if call[0] == "action")


RAISED: list = []


def failing(error_type):
    """A callable that raises a new `error_type` each time, and keeps it in RAISED."""
    def raise_it(*args):
        RAISED.append(error_type("raised"))
        raise RAISED[-1]
    return raise_it


@pytest.mark.parametrize(
    "name, rule_name, where, fn, action, note",
    [
        ("cap_500", "spend_cap<=500", None, failing(ValueError), None,
         "while evaluating behaviour 'cap_500' (rule 'spend_cap<=500')"),
        (3, None, failing(KeyError), None, None, "while evaluating behaviour 3 (rule None)"),
        ("a", ("r", 1), None, lambda e: "FLAG", failing(OSError),
         "while evaluating behaviour 'a' (rule ('r', 1))"),
        ("d", "r", None, failing(KeyboardInterrupt), None,
         "while evaluating behaviour 'd' (rule 'r')"),
        # Raised by the engine's own steps: the verdict's rank, the predicate's truth.
        ("b", "r", None, lambda e: Unhashable("x"), None,
         "while evaluating behaviour 'b' (rule 'r')"),
        ("c", "r", lambda e: Falsy(), None, None, "while evaluating behaviour 'c' (rule 'r')"),
    ],
)
def test_an_error_keeps_its_identity_and_traceback_and_gets_one_note(name, rule_name, where, fn,
                                                                     action, note):
    policy = Policy([behaviour(name, on=trigger(stage="s", where=where), rule=rule(rule_name, fn),
                               action=action)])
    RAISED.clear()
    with pytest.raises(BaseException) as caught:
        policy.evaluate({}, stage="s")
    assert caught.value.__notes__ == [note]
    if RAISED:
        assert caught.value is RAISED[0]
        tb = caught.value.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        assert tb.tb_frame.f_code.co_name == "raise_it"
    else:
        assert type(caught.value) is (TypeError if name == "b" else LookupError)


def test_a_name_whose_repr_fails_is_shown_plainly_and_a_failing_add_note_is_ignored():
    name = BadRepr()

    class NoNotes(Exception):
        def add_note(self, note):
            raise TypeError("no notes here")

    policy = Policy([
        behaviour(name, on=trigger(stage="s"), rule=rule("r", failing(ValueError))),
    ])
    with pytest.raises(ValueError) as caught:
        policy.evaluate({}, stage="s")
    assert caught.value.__notes__ == [f"while evaluating behaviour {object.__repr__(name)} (rule 'r')"]
    error = NoNotes("kept")
    def raise_error(event):
        raise error

    policy = Policy([behaviour("b", on=trigger(stage="s"), rule=rule("r", raise_error))])
    with pytest.raises(NoNotes) as caught:
        policy.evaluate({}, stage="s")
    assert caught.value is error and not hasattr(error, "__notes__")


def test_decisions_and_hits_are_immutable_values():
    hits = (Hit("cap", "spend_cap<=5", "BLOCK"), Hit(1, None, CUSTOM))
    decision = Decision("BLOCK", hits)
    assert decision == Decision(verdict="BLOCK", hits=tuple(hits)) and decision != Decision("BLOCK")
    assert hash(decision) == hash(Decision("BLOCK", hits)) and decision.__eq__(("BLOCK", hits)) is NotImplemented
    assert Decision("FLAG").hits == () and Decision(None).blocked and not Decision("FLAG").blocked
    assert repr(decision) == ("Decision(verdict='BLOCK', hits=(Hit(behaviour='cap', rule='spend_cap<=5', "
                              "verdict='BLOCK'), Hit(behaviour=1, rule=None, verdict=Custom())))")
    assert pickle.loads(pickle.dumps(Decision("FLAG", hits[:1]))) == Decision("FLAG", hits[:1])
    assert isinstance(hits[0], tuple) and hits[0]._fields == ("behaviour", "rule", "verdict")
    assert typing.get_type_hints(type(hits[0])) == dict.fromkeys(hits[0]._fields, typing.Any)
    match decision:
        case Decision(verdict, (Hit(behaviour="cap"), _)):
            assert verdict == "BLOCK"
        case _:
            pytest.fail("no match")
    for field in ("verdict", "hits", "other"):
        with pytest.raises(AttributeError, match=f"cannot assign to field '{field}'"):
            setattr(decision, field, "ALLOW")
    with pytest.raises(TypeError):
        hash(Decision("FLAG", [1]))
    with pytest.raises(TypeError):
        Decision()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        Decision(Unhashable("FLAG")).blocked


def test_decisions_of_standard_verdicts_are_shared_and_others_made_anew():
    policy = Policy(
        [behaviour(f"b{i}", on=trigger(stage="s"), rule=rule("r", lambda e, i=i: e[i]))
         for i in range(34)]
        + [behaviour("other", on=trigger(stage="t"), rule=rule("r2", lambda e: "ALLOW"))]
    )

    def evaluate(verdicts, stage="s"):
        return policy.evaluate(verdicts + ["ALLOW"] * (34 - len(verdicts)), stage=stage)

    quiet = evaluate([])
    assert quiet is evaluate([], stage=None) is policy.evaluate([], stage="none")
    assert quiet is Policy([]).evaluator(stage=Text("x"))({}) and quiet == Decision("ALLOW", ())
    flag = "".join(["FL", "AG"])
    shared = [["FLAG"], ["BLOCK", "FLAG"], ["FLAG", "BLOCK"], ["ALLOW", "FLAG", "BLOCK"], ["ASK"], ["FLAG", "ASK"],
              ["ASK", "BLOCK"], ["ASK", "ASK", "FLAG"]]
    for verdicts in shared + [["FLAG"] * 33 + ["BLOCK"], ["FLAG", flag], [CUSTOM], ["FLAG", None]]:
        first, again = evaluate(verdicts), evaluate(verdicts)
        expected = model.evaluate(policy.behaviours, verdicts + ["ALLOW"] * (34 - len(verdicts)),
                                  stage="s")
        assert first == expected
        assert (first is again) == (verdicts in shared), verdicts
        # A hit with the standard string is made once, with the policy.
        assert all(a is b for a, b in zip(first.hits, again.hits)
                   if any(a.verdict is v for v in ("FLAG", "ASK", "BLOCK")))
    # Every pattern is a value of its own, whichever was cached before.
    for verdicts in shared * 2:
        assert evaluate(verdicts).hits == tuple(
            Hit(f"b{i}", "r", v) for i, v in enumerate(verdicts) if v != "ALLOW")
    assert evaluate([flag]).hits[0].verdict is flag
    # Patterns met in turn keep their own decision, even where their keys meet
    # on the same slot of the table.
    patterns = ([["ALLOW"] * i + ["FLAG"] for i in range(12)] + [["BLOCK"] * n for n in range(2, 8)]
                + [["ASK"] * n for n in range(1, 6)] + [["ALLOW"] * i + ["ASK"] for i in range(1, 6)])
    firsts = [evaluate(p) for p in patterns]
    assert [evaluate(p) is d for p, d in zip(patterns, firsts)] == [True] * len(patterns)


def blocks_over(fn, calls):
    for _ in range(200):
        fn()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(calls):
        fn()
    gc.collect()
    return sys.getallocatedblocks() - before


def test_evaluations_allocate_nothing_that_stays():
    import quindle_brevault_agent.library as qba

    policy = Policy([qba.cap_charges(500), qba.flag_large_charges(100),
                     qba.restrict_scope(["own/"]), behaviour("e", on=trigger(stage="x"),
                                                             rule=rule("r", failing(ValueError)))])
    charge = {"action_type": "charge", "amount": 50}
    at_spend = policy.evaluator(stage="spend_decision")
    assert blocks_over(lambda: at_spend(charge), 2000) < 20
    for event, stage in [({"action_type": "charge", "amount": 900}, "spend_decision"),
                         ({"method": "PUT", "scope": "x/"}, Text("execution")),
                         ({}, "x")]:
        def evaluate():
            RAISED.clear()
            try:
                policy.evaluate(event, stage=stage)
            except ValueError:
                pass
        assert blocks_over(evaluate, 2000) < 20


def test_a_cycle_through_a_policy_is_collected_and_runs_while_torn_down():
    seen = []

    class Witness:
        # Finalized by the collector with the cycle, before anything in it is cleared.
        def __del__(self):
            seen.append(self.evaluate({}).verdict)
            seen.append(self.policy.evaluate({}, stage="s").verdict)

    box = []
    policy = Policy([behaviour("b", on=trigger(stage="s"), rule=rule("r", lambda e: "FLAG"),
                               action=lambda e, v, box=box: box)])
    witness = Witness()
    witness.policy, witness.evaluate = policy, policy.evaluator(stage="s")
    box.append(witness)
    del policy, witness, box
    gc.collect()
    assert seen == ["FLAG", "FLAG"]


def test_a_rule_that_evaluates_its_own_policy_ends_in_a_recursion_error():
    policy = Policy([behaviour("loop", on=trigger(stage="s"),
                               rule=rule("r", lambda e: policy.evaluate(e, stage="s")))])
    with pytest.raises(RecursionError) as caught:
        policy.evaluate({}, stage="s")
    assert set(caught.value.__notes__) == {"while evaluating behaviour 'loop' (rule 'r')"}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.evaluate({}, "s"), "evaluate() takes 1 positional argument but 2 were given"),
        (lambda p: p.evaluate({}), "evaluate() missing 1 required keyword-only argument: 'stage'"),
        (lambda p: p.evaluate(stage="s"), "evaluate() missing 1 required positional argument: 'event'"),
        (lambda p: p.evaluate({}, stage="s", when=1), "evaluate() got an unexpected keyword argument 'when'"),
        (lambda p: p.evaluate({}, event={}, stage="s"), "evaluate() got multiple values for argument 'event'"),
        (lambda p: p.evaluator("s"), "evaluator() takes one keyword-only argument, 'stage'"),
        (lambda p: p.evaluator(stage="s")({}, {}), "evaluator takes exactly one argument, the event (2 given)"),
        (lambda p: p.evaluator(stage="s")(event={}), "evaluator takes exactly one argument, the event (1 given)"),
    ],
)
def test_argument_errors(call, message):
    policy = Policy([behaviour("b", on=trigger(stage="s"), rule=rule("r", lambda e: "FLAG"))])
    assert policy.evaluate(event={}, stage="s").verdict == "FLAG"
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call(policy)


class Claims:
    """A verdict that is no str but whose __class__ says it is, equal to and
    hashed as `text`; isinstance() believes it."""

    def __init__(self, text):
        self.text = text

    @property
    def __class__(self):
        if self.text is None:
            raise LookupError("no class")
        return str

    def __eq__(self, other):
        return self.text == other

    def __hash__(self):
        return hash(self.text)


@pytest.mark.parametrize("text", ["ALLOW", "FLAG", "ASK", "BLOCK", "deny", None])
def test_a_verdict_is_ranked_as_isinstance_sees_it(text):
    verdict = Claims(text)
    policy = Policy([behaviour("f", on=trigger(stage="s"), rule=rule("r", lambda e: "FLAG")),
                     behaviour("v", on=trigger(stage="s"), rule=rule("r", lambda e: verdict))])
    expected = run(as_pair(lambda: model.evaluate(policy.behaviours, {}, stage="s")))
    evaluate = policy.evaluator(stage="s")
    for _ in range(2):  # the second time through the shared decisions
        same(run(as_pair(lambda: policy.evaluate({}, stage="s"))), expected)
        same(run(as_pair(lambda: evaluate({}))), expected)
    try:
        expected_rank = model.rank(verdict)
    except LookupError:
        with pytest.raises(LookupError):
            Decision(verdict).blocked
        with pytest.raises(LookupError):
            Decision(verdict).needs_approval
    else:
        assert Decision(verdict).blocked is (expected_rank == 3)
        assert Decision(verdict).needs_approval is (expected_rank == 2)


class Never(str):
    """A stage unequal to everything, its own value included."""

    def __ne__(self, other):
        return True

    __hash__ = str.__hash__


class Every(str):
    """A stage equal to every stage."""

    def __ne__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("stage, applied", [(Never("s"), []), (Every("s"), ["s1", "t", "s2"]),
                                            (Every("none"), ["s1", "t", "s2"]),
                                            (Text("s"), ["s1", "s2"])],
                         ids=["Never('s')", "Every('s')", "Every('none')", "Text('s')"])
def test_a_str_subclass_stage_is_compared_with_its_own_ne(stage, applied):
    policy = Policy([behaviour(name, on=trigger(stage=name[0]), rule=rule("r", lambda e: "FLAG"))
                     for name in ("s1", "t", "s2")])
    expected = model.evaluate(policy.behaviours, {}, stage=stage)
    for decision in (policy.evaluate({}, stage=stage), policy.evaluator(stage=stage)({})):
        assert decision == expected and [hit.behaviour for hit in decision.hits] == applied


# Patterns of verdicts over 70 behaviours, met one after the other: a pattern
# of the first 32 behaviours is shared from a table keyed by which flagged, asked and
# which blocked, and a hit beyond them must never be taken for one of theirs.
@pytest.mark.parametrize("patterns", [
    [{1: "BLOCK"}, {33: "FLAG"}],
    [{33: "FLAG"}, {1: "BLOCK"}, {1: "FLAG", 33: "FLAG"}],
    [{0: "FLAG"}, {32: "FLAG"}, {0: "FLAG", 32: "BLOCK"}, {0: "BLOCK"}],
    [{31: "BLOCK"}, {63: "FLAG"}, {63: "BLOCK"}, {31: "FLAG"}],
    [{5: "FLAG", 40: "BLOCK"}, {5: "FLAG", 8: "BLOCK"}, {5: "FLAG"}, {69: "BLOCK"}],
    [{1: "ASK"}, {1: "FLAG"}, {1: "BLOCK"}, {1: "ASK", 2: "FLAG"}, {33: "ASK"}, {0: "FLAG", 1: "ASK"}],
], ids=str)
def test_shared_decisions_of_more_than_32_behaviours_are_their_own(patterns):
    policy = Policy([behaviour(i, on=trigger(stage="s"), rule=rule("r", lambda e, i=i: e.get(i, "ALLOW")))
                     for i in range(70)])
    evaluate = policy.evaluator(stage="s")
    for event in patterns * 3:
        expected = model.evaluate(policy.behaviours, event, stage="s")
        for decision in (policy.evaluate(event, stage="s"), evaluate(event)):
            assert decision == expected and decision.verdict is expected.verdict


def attributes(**values):
    """An object whose attributes are properties, each returning its value or
    raising it; any other attribute is missing."""
    def read(value):
        def get(self):
            if isinstance(value, BaseException):
                raise value
            return value
        return property(get)
    return type("Attributes", (), {name: read(value) for name, value in values.items()})()


ON_FAILS = KeyError("on")
RULE_FAILS = OSError("rule")
STAGE_FAILS = ValueError("stage")


# The attributes are read in this order: on, rule, on.stage, on.where,
# rule.fn, rule.name, name, action.
@pytest.mark.parametrize("item, error", [
    (attributes(on=ON_FAILS, rule=rule("r", len)), ON_FAILS),
    (attributes(on=ON_FAILS), ON_FAILS),
    (attributes(on=trigger(stage="s"), rule=RULE_FAILS), RULE_FAILS),
    (attributes(on=attributes(stage=STAGE_FAILS), rule=rule("r", len)), STAGE_FAILS),
], ids=["on raises", "on raises, no rule", "rule raises, no name", "stage raises, no where"])
def test_the_first_error_reading_a_behaviour_is_the_one_raised(item, error):
    from quindle_brevault_agent._engine import Engine

    fine = behaviour("b", on=trigger(stage="s"), rule=rule("r", len))
    with pytest.raises(type(error)) as caught:
        Engine([fine, item])
    assert caught.value is error
