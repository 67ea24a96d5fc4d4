"""Policy.evaluate: which behaviours apply, how their verdicts combine, actions."""

from __future__ import annotations

import dataclasses

import pytest

import model

import quindle_brevault_agent.library as qba
from quindle_brevault_agent._impl import (
    Decision,
    Hit,
    Policy,
    behaviour,
    rule,
    trigger,
)


class Verdict:
    """A caller's own verdict object."""

    def __init__(self, label: str) -> None:
        self.label = label

    def __repr__(self) -> str:
        return f"Verdict({self.label!r})"


class FlagText(str):
    pass


DENY = Verdict("deny")
REVIEW = Verdict("review")


def fixed(name, verdict, stage="s"):
    """A behaviour whose rule always returns `verdict`."""
    return behaviour(name, on=trigger(stage=stage), rule=rule(f"{name}_rule", lambda event: verdict))


@pytest.mark.parametrize(
    "verdicts, expected, hit_names",
    [
        ([], "ALLOW", []),
        (["ALLOW"], "ALLOW", []),
        (["ALLOW", "ALLOW", "ALLOW"], "ALLOW", []),
        (["FLAG"], "FLAG", ["a"]),
        (["ALLOW", "FLAG", "ALLOW"], "FLAG", ["b"]),
        (["FLAG", "BLOCK"], "BLOCK", ["a", "b"]),
        (["BLOCK", "FLAG"], "BLOCK", ["a", "b"]),
        (["FLAG", "ALLOW", "BLOCK", "FLAG"], "BLOCK", ["a", "c", "d"]),
        # Verdicts that are none of the three rank with BLOCK, shown as they are;
        # between equal ranks the first in policy order is the decision's.
        ([DENY], DENY, ["a"]),
        (["FLAG", DENY], DENY, ["a", "b"]),
        ([DENY, "BLOCK"], DENY, ["a", "b"]),
        (["BLOCK", DENY], "BLOCK", ["a", "b"]),
        ([DENY, REVIEW], DENY, ["a", "b"]),
        (["FLAG", "DENY"], "DENY", ["a", "b"]),
        (["allow"], "allow", ["a"]),
        ([None], None, ["a"]),
        (["FLAG", 0], 0, ["a", "b"]),
        ([FlagText("FLAG"), "ALLOW"], "FLAG", ["a"]),
    ],
)
def test_verdict_is_the_most_severe_and_hits_keep_policy_order(verdicts, expected, hit_names):
    names = "abcdefgh"
    policy = Policy(fixed(names[i], v) for i, v in enumerate(verdicts))
    decision = policy.evaluate({}, stage="s")
    assert decision.verdict is expected or (isinstance(expected, str) and decision.verdict == expected)
    given = dict(zip(names, verdicts))
    assert decision.hits == tuple(Hit(n, f"{n}_rule", given[n]) for n in hit_names)
    for hit, name in zip(decision.hits, hit_names):
        assert hit.verdict is given[name]  # shown as it is, not converted


@pytest.mark.parametrize(
    "stage, expected_hits",
    [
        ("spend_decision", ["charge_cap"]),
        ("execution", ["locked", "fence"]),
        ("planning", []),
        (None, ["charge_cap", "locked", "fence"]),
    ],
)
def test_only_behaviours_for_the_stage_apply(stage, expected_hits):
    policy = Policy(
        [
            behaviour("charge_cap", on=trigger(stage="spend_decision"), rule=qba.spend_cap(10)),
            behaviour("locked", on=trigger(stage="execution"), rule=qba.deny_list("bucket", ["vault"])),
            behaviour("fence", on=trigger(stage="execution"), rule=qba.scope_fence(["own/"])),
        ]
    )
    event = {"amount": 50, "bucket": "vault", "scope": "other/x"}
    decision = policy.evaluate(event, stage=stage)
    assert [h.behaviour for h in decision.hits] == expected_hits
    assert decision.verdict == ("BLOCK" if expected_hits else "ALLOW")


def test_a_false_where_predicate_keeps_the_rule_from_running():
    calls = []

    def counted(event):
        calls.append(event)
        return "BLOCK"

    policy = Policy(
        [behaviour("b", on=trigger(stage="s", where=lambda e: e.get("go")), rule=rule("r", counted))]
    )
    assert policy.evaluate({"go": False}, stage="s") == Decision("ALLOW", ())
    assert calls == []
    assert policy.evaluate({"go": True}, stage="s").verdict == "BLOCK"
    assert len(calls) == 1


@pytest.mark.parametrize(
    "event, verdict, hits",
    [
        ({"action_type": "charge", "amount": 40}, "ALLOW", []),
        ({"action_type": "charge", "amount": 250}, "FLAG", [("flag_large_charges>100", "flag_over>100", "FLAG")]),
        (
            {"action_type": "charge", "kwargs": {"amount": 900}},
            "BLOCK",
            [("cap_charges<=500", "spend_cap<=500", "BLOCK"), ("flag_large_charges>100", "flag_over>100", "FLAG")],
        ),
        ({"action_type": "charge", "amount": float("nan")}, "BLOCK", None),
        ({"action_type": "refund", "amount": 900}, "ALLOW", []),
    ],
)
def test_ready_made_behaviours_combine(event, verdict, hits):
    policy = Policy([qba.cap_charges(500), qba.flag_large_charges(100)])
    decision = policy.evaluate(event, stage="spend_decision")
    assert decision.verdict == verdict
    if hits is not None:
        assert [tuple(h) for h in decision.hits] == hits


def test_a_text_amount_against_a_cap_raises_from_evaluate():
    policy = Policy([qba.cap_charges(500)])
    with pytest.raises(TypeError):
        policy.evaluate({"action_type": "charge", "amount": "12"}, stage="spend_decision")


def test_policy_is_an_immutable_tuple_of_behaviours():
    items = [fixed("a", "FLAG"), fixed("b", "BLOCK")]
    policy = Policy(iter(items))
    assert policy.behaviours == tuple(items)
    assert list(policy) == items and len(policy) == 2
    items.append(fixed("c", "BLOCK"))
    assert len(policy) == 2
    with pytest.raises(dataclasses.FrozenInstanceError):
        policy.behaviours = ()  # type: ignore[misc]
    assert Policy(policy) == policy


@pytest.mark.parametrize(
    "items, message",
    [
        ([qba.spend_cap(10)], "policy item 0 is a Rule"),
        ([fixed("a", "FLAG"), "cap"], "policy item 1 is a str"),
        ([behaviour("a", on=trigger(stage="s"), rule=qba.spend_cap(1), action="page")], "action must be callable"),
    ],
)
def test_policy_rejects_what_is_not_a_behaviour(items, message):
    with pytest.raises(TypeError, match=message):
        Policy(items)


def test_evaluate_takes_the_stage_by_keyword_only():
    policy = Policy([fixed("a", "FLAG")])
    with pytest.raises(TypeError):
        policy.evaluate({}, "s")  # type: ignore[misc]
    with pytest.raises(TypeError):
        policy.evaluate({})  # type: ignore[call-arg]


@pytest.mark.parametrize(
    "verdict, blocked",
    [("ALLOW", False), ("FLAG", False), ("BLOCK", True), (DENY, True), (None, True), ("DENY", True)],
)
def test_decision_blocked(verdict, blocked):
    assert Decision(verdict, ()).blocked is blocked


# ---------------------------------------------------------------- actions


class Log:
    def __init__(self):
        self.entries = []

    def rule(self, name, verdict):
        def fn(event):
            self.entries.append(("rule", name))
            return verdict

        return rule(name, fn)

    def action(self, name):
        def act(event, verdict):
            self.entries.append(("action", name, event, verdict))
            return "ignored"

        return act


def test_actions_run_after_the_decision_in_policy_order_for_non_allow_verdicts():
    log = Log()
    policy = Policy(
        [
            behaviour("flag", on=trigger(stage="s"), rule=log.rule("r1", "FLAG"), action=log.action("flag")),
            behaviour("allow", on=trigger(stage="s"), rule=log.rule("r2", "ALLOW"), action=log.action("allow")),
            behaviour("other_stage", on=trigger(stage="t"), rule=log.rule("r3", "BLOCK"), action=log.action("x")),
            behaviour("quiet", on=trigger(stage="s"), rule=log.rule("r4", "BLOCK")),
            behaviour("own", on=trigger(stage="s"), rule=log.rule("r5", DENY), action=log.action("own")),
            behaviour(
                "filtered",
                on=trigger(stage="s", where=lambda e: False),
                rule=log.rule("r6", "BLOCK"),
                action=log.action("filtered"),
            ),
        ]
    )
    event = {"id": 1}
    decision = policy.evaluate(event, stage="s")
    assert decision.verdict == "BLOCK"
    assert log.entries == [
        ("rule", "r1"),
        ("rule", "r2"),
        ("rule", "r4"),
        ("rule", "r5"),
        ("action", "flag", event, "FLAG"),
        ("action", "own", event, DENY),
    ]
    assert log.entries[-1][2] is event


def test_an_action_runs_once_the_whole_decision_is_known():
    seen = []
    policy = Policy(
        [
            behaviour("first", on=trigger(stage="s"), rule=rule("r1", lambda e: "FLAG"), action=lambda e, v: seen.append(dict(e))),
            behaviour("second", on=trigger(stage="s"), rule=rule("r2", lambda e: e.setdefault("second_ran", True) and "BLOCK")),
        ]
    )
    policy.evaluate({}, stage="s")
    assert seen == [{"second_ran": True}]


def test_a_rule_error_propagates_unchanged_and_no_action_runs():
    log = Log()
    boom = ValueError("bad amount")

    def failing(event):
        raise boom

    policy = Policy(
        [
            behaviour("flag", on=trigger(stage="s"), rule=log.rule("r1", "FLAG"), action=log.action("flag")),
            behaviour("broken", on=trigger(stage="s"), rule=rule("r2", failing)),
            behaviour("later", on=trigger(stage="s"), rule=log.rule("r3", "BLOCK")),
        ]
    )
    with pytest.raises(ValueError) as caught:
        policy.evaluate({}, stage="s")
    assert caught.value is boom
    assert log.entries == [("rule", "r1")]


def test_an_action_error_propagates_unchanged_and_later_actions_do_not_run():
    log = Log()
    boom = RuntimeError("pager down")

    def failing(event, verdict):
        raise boom

    policy = Policy(
        [
            behaviour("one", on=trigger(stage="s"), rule=log.rule("r1", "FLAG"), action=log.action("one")),
            behaviour("two", on=trigger(stage="s"), rule=log.rule("r2", "BLOCK"), action=failing),
            behaviour("three", on=trigger(stage="s"), rule=log.rule("r3", "BLOCK"), action=log.action("three")),
        ]
    )
    with pytest.raises(RuntimeError) as caught:
        policy.evaluate({}, stage="s")
    assert caught.value is boom
    assert [e[:2] for e in log.entries] == [("rule", "r1"), ("rule", "r2"), ("rule", "r3"), ("action", "one")]


def test_policy_stages_value_and_pickle():
    import pickle

    import model

    policy = Policy([
        qba.cap_charges(500), qba.flag_large_charges(100), qba.restrict_scope(["own/"]),
        behaviour("any", on=trigger(stage=None), rule=model.spend_cap(1)),
    ])
    assert policy.stages == frozenset({"spend_decision", "execution", None})
    assert Policy([]).stages == frozenset()
    assert hash(policy) == hash(Policy(policy)) and policy != Policy(list(policy)[:2])
    assert repr(Policy([])) == "Policy(behaviours=())"
    with pytest.raises(dataclasses.FrozenInstanceError, match="cannot delete field 'behaviours'"):
        del policy.behaviours
    upper = Policy([behaviour("b", on=trigger(stage="t"), rule=rule("up", str.upper))])
    again = pickle.loads(pickle.dumps(upper))
    assert again == upper and again.evaluate("block", stage="t") == Decision("BLOCK", (Hit("b", "up", "BLOCK"),))
    with pytest.raises(TypeError):
        Policy([behaviour("x", on=trigger(stage=[]), rule=qba.spend_cap(1))]).stages


class Unequal:
    """A value that will not be compared."""

    def __eq__(self, other):
        raise TypeError("no comparing")

    __ne__ = __eq__
    __hash__ = object.__hash__


def reading(lib):
    """A policy of each kind of trigger, made by `lib` (the library, or its Python model)."""
    return Policy([
        lib.cap_charges(500, name="cap"),  # spend_decision, action_type "charge"
        lib.deny_writes_to("bucket", ["vault"], method="put", name="put"),  # execution, method "put"
        lib.restrict_scope(["own/"], name="every"),  # execution, any event
        behaviour("own", on=trigger(stage="planning", where=lambda event: False), rule=lib.spend_cap(1)),
        behaviour("refunds", on=lib.on_charge(stage="execution", action_type="refund"), rule=lib.spend_cap(1)),
        behaviour("nameless", on=lib.on_charge(stage="planning", action_type=None), rule=lib.spend_cap(1)),
        behaviour("odd", on=trigger(stage=Unequal()), rule=lib.spend_cap(1)),
    ])


@pytest.mark.parametrize(
    "stage, fields, names",
    [
        ("spend_decision", {"action_type": "charge"}, ["cap", "odd"]),
        ("spend_decision", {"action_type": "pay"}, ["odd"]),
        # Events without an action_type are not charges; a trigger waiting
        # for None waits for exactly those.
        ("planning", {}, ["own", "nameless", "odd"]),
        ("planning", {"action_type": "charge"}, ["own", "odd"]),
        ("execution", {"action_type": "write"}, ["every", "odd"]),
        ("execution", {"action_type": "write", "method": "put"}, ["put", "every", "odd"]),
        ("execution", {"action_type": "refund", "method": "PUT"}, ["every", "refunds", "odd"]),
        ("execution", {"action_type": Unequal()}, ["every", "refunds", "odd"]),  # cannot tell: may apply
        (None, {"action_type": "charge"}, ["cap", "every", "own", "odd"]),
        ("exectuion", {"action_type": "write"}, ["odd"]),
    ],
)
@pytest.mark.parametrize("lib", [qba, model], ids=["native", "model"])
def test_applicable_reads_the_triggers_it_knows_and_keeps_the_rest(stage, fields, names, lib):
    policy = reading(lib)
    assert policy.applicable(stage, **fields) == tuple(item for item in policy if item.name in names)
    assert [item.name for item in policy.applicable(stage, **fields)] == names
