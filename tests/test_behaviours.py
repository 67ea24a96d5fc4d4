"""Triggers and the ready-made behaviours: what they hand to the host, in what order."""

from __future__ import annotations

import pytest

from quindle_brevault_agent._impl import check_behaviour


class Seen:
    """The result of an `==` that is not a bool, tagged with who was asked."""

    def __init__(self, side, other):
        self.side, self.other = side, other


class Left:
    def __eq__(self, other):
        return Seen("left", other)

    __hash__ = None


class Right:
    def __eq__(self, other):
        return Seen("right", other)

    __hash__ = None


class Unequal(str):
    """A text that equals nothing, itself included."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class Event(dict):
    """A dict event that logs the calls made to its own `get`."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.gets = []

    def get(self, *args):
        self.gets.append(args)
        return dict.get(self, *args)


# ---------------------------------------------------------------- triggers

TRIGGER_CASES = [
    # factory, kwargs, keywords passed to trigger, field read by the predicate (None: no where)
    ("on_charge", {}, [("stage", "spend_decision")], ("action_type", "charge")),
    ("on_charge", {"stage": "s", "action_type": "x"}, [("stage", "s")], ("action_type", "x")),
    ("on_charge", {"action_type": None}, [("stage", "spend_decision")], ("action_type", None)),
    ("on_write", {}, [("stage", "execution")], None),
    ("on_write", {"method": None, "stage": 0}, [("stage", 0)], None),
    ("on_write", {"method": "PUT"}, [("stage", "execution")], ("method", "PUT")),
    ("on_write", {"method": ""}, [("stage", "execution")], ("method", "")),
    ("on_write", {"method": 0, "stage": "x"}, [("stage", "x")], ("method", 0)),
    ("on_write", {"method": False}, [("stage", "execution")], ("method", False)),
]


@pytest.mark.parametrize("factory, kwargs, keywords, reads", TRIGGER_CASES)
def test_trigger_call(lib, record, factory, kwargs, keywords, reads):
    log = record(lib, "trigger")
    result = getattr(lib, factory)(**kwargs)
    call = log.only("trigger")
    assert result is call.result and call.args == ()
    if reads is None:
        assert list(call.kwargs.items()) == keywords
        return
    assert call.keywords == ["stage", "where"]
    assert list(call.kwargs.items())[:1] == keywords
    where = call.kwargs["where"]
    assert where.__qualname__ == f"{factory}.<locals>.<lambda>"
    field, wanted = reads
    event = Event({field: Left()})
    outcome = where(event)
    assert event.gets == [(field,)]
    assert isinstance(outcome, Seen) and outcome.side == "left" and outcome.other is wanted
    assert where(ev=Event()) == (wanted is None)


PREDICATE_CASES = [
    # factory, kwargs, event, result
    ("on_charge", {}, {"action_type": "charge"}, True),
    ("on_charge", {}, {"action_type": "refund"}, False), ("on_charge", {}, {}, False),
    ("on_charge", {}, {"kwargs": {"action_type": "charge"}}, False),
    ("on_charge", {"action_type": None}, {}, True),
    ("on_charge", {"action_type": None}, {"action_type": None}, True),
    ("on_charge", {"action_type": 1}, {"action_type": 1.0}, True),
    ("on_charge", {"action_type": 1}, {"action_type": True}, True),
    ("on_write", {"method": "PUT"}, {"method": "put"}, False),
    ("on_write", {"method": "PUT"}, {"method": "PUT"}, True),
    ("on_write", {"method": "PUT"}, {"kwargs": {"method": "PUT"}}, False),
    ("on_write", {"method": ""}, {"method": ""}, True), ("on_write", {"method": ""}, {}, False),
    # A str subclass on either side keeps its own ==.
    ("on_charge", {}, {"action_type": Unequal("charge")}, False),
    ("on_charge", {"action_type": Unequal("charge")}, {"action_type": "charge"}, False),
    ("on_write", {"method": "PUT"}, {"method": "PU" + "T"}, True),
]


@pytest.mark.parametrize("factory, kwargs, event, result", PREDICATE_CASES)
def test_trigger_predicates(lib, record, factory, kwargs, event, result):
    log = record(lib, "trigger")
    getattr(lib, factory)(**kwargs)
    where = log.only("trigger").kwargs["where"]
    # An exact dict is read directly; a dict subclass through its own get.
    assert where(event) is result
    assert where(Event(event)) is result


def test_predicate_result_is_unconverted_with_captured_value_on_the_right(lib, record):
    log = record(lib, "trigger")
    wanted = Right()
    lib.on_charge(action_type=wanted)
    lib.on_write(method=wanted)
    for call, field in zip(log.calls, ("action_type", "method")):
        seen = call.kwargs["where"](Event({field: "plain"}))
        assert isinstance(seen, Seen) and seen.side == "right" and seen.other == "plain"


@pytest.mark.parametrize("factory", ["on_charge", "on_write"])
@pytest.mark.parametrize("args, kwargs", [(("x",), {}), ((), {"where": 1}), ((), {"field": 1})])
def test_trigger_bad_calls(lib, record, factory, args, kwargs):
    log = record(lib, "trigger")
    with pytest.raises(TypeError):
        getattr(lib, factory)(*args, **kwargs)
    assert log.calls == []


# ---------------------------------------------------------------- behaviours

VALUES = ["locked", "frozen"]
ALLOWED = ["db/"]
ACTION = print

# factory, positional args, trigger factory, rule factory, default name,
# then (kwargs, trigger keywords, rule args, rule keywords) for defaults and for given values
BEHAVIOURS = [
    ("cap_charges", (100,), "on_charge", "spend_cap", "cap_charges<=100", [
        ({}, [("stage", "spend_decision")], (100,), [("field", "amount")]),
        ({"field": "t", "stage": "s", "action": ACTION},
         [("stage", "s")], (100,), [("field", "t")]),
    ]),
    ("flag_large_charges", (2.5,), "on_charge", "flag_over", "flag_large_charges>2.5", [
        ({}, [("stage", "spend_decision")], (2.5,), [("field", "amount")]),
        ({"stage": None, "action": ACTION, "field": 3},
         [("stage", None)], (2.5,), [("field", 3)]),
    ]),
    ("deny_writes_to", ("bucket", VALUES), "on_write", "deny_list", "deny_writes_bucket", [
        ({}, [("method", None), ("stage", "execution")], ("bucket", VALUES), []),
        ({"action": ACTION, "stage": "s", "method": "PUT"},
         [("method", "PUT"), ("stage", "s")], ("bucket", VALUES), []),
    ]),
    ("restrict_scope", (ALLOWED,), "on_write", "scope_fence", "restrict_scope", [
        ({}, [("method", None), ("stage", "execution")], (ALLOWED,), [("field", "scope")]),
        ({"field": "f", "method": "POST", "stage": "s", "action": ACTION},
         [("method", "POST"), ("stage", "s")], (ALLOWED,), [("field", "f")]),
    ]),
]
CALLS = [
    pytest.param(f, args, trig, rulef, name, *variant, id=f"{f}-{i}")
    for f, args, trig, rulef, name, variants in BEHAVIOURS
    for i, variant in enumerate(variants)
]
FACTORIES = [pytest.param(*b[:5], id=b[0]) for b in BEHAVIOURS]


@pytest.mark.parametrize("factory, args, trig, rulef, name, kwargs, tkw, rargs, rkw", CALLS)
def test_behaviour_calls(lib, record, factory, args, trig, rulef, name, kwargs, tkw, rargs, rkw):
    log = record(lib, "behaviour", trig, rulef)
    result = getattr(lib, factory)(*args, **kwargs)
    assert log.names == [trig, rulef, "behaviour"]
    t, r, b = log.calls
    assert t.args == () and list(t.kwargs.items()) == tkw
    assert len(r.args) == len(rargs) and all(x is y for x, y in zip(r.args, rargs))
    assert list(r.kwargs.items()) == rkw
    assert b.args == (name,) and b.keywords == ["on", "rule", "action"]
    assert b.kwargs["on"] is t.result and b.kwargs["rule"] is r.result
    assert b.kwargs["action"] is kwargs.get("action")
    assert result is b.result


@pytest.mark.parametrize("factory, args, trig, rulef, default", FACTORIES)
@pytest.mark.parametrize("given", [42, "mine", ("a", "b"), [0]])
def test_behaviour_true_name_is_used_unchanged(lib, record, factory, args, trig, rulef, default,
                                               given):
    log = record(lib, "behaviour", trig, rulef)
    getattr(lib, factory)(*args, name=given)
    assert log.only("behaviour").args[0] is given


@pytest.mark.parametrize("factory, args, trig, rulef, default", FACTORIES)
@pytest.mark.parametrize("given", ["", 0, False, None, [], 0.0])
def test_behaviour_false_name_gives_default(lib, record, factory, args, trig, rulef, default,
                                            given):
    log = record(lib, "behaviour", trig, rulef)
    getattr(lib, factory)(*args, name=given)
    assert log.only("behaviour").args[0] == default


TUPLE_NAMES = [
    ("cap_charges", "on_charge", "spend_cap", "cap_charges<=%s"),
    ("flag_large_charges", "on_charge", "flag_over", "flag_large_charges>%s"),
    ("deny_writes_to", "on_write", "deny_list", "deny_writes_%s"),
]


@pytest.mark.parametrize("factory, trig, rulef, pattern", TUPLE_NAMES)
def test_behaviour_tuple_parameters_in_the_name(lib, record, factory, trig, rulef, pattern):
    extra = ([1],) if factory == "deny_writes_to" else ()
    log = record(lib, "behaviour", trig, rulef)
    one = ("x",)
    getattr(lib, factory)(one, *extra)
    assert log.only("behaviour").args == (pattern % "x",)
    assert log.only(rulef).args[0] is one
    for bad in [(), (1, 2)]:
        log.calls.clear()
        with pytest.raises(TypeError):
            getattr(lib, factory)(bad, *extra)
        assert log.calls == []  # the name fails before the trigger is made
        getattr(lib, factory)(bad, *extra, name="given")
        assert log.names == [trig, rulef, "behaviour"]
        assert log.only(rulef).args[0] is bad


@pytest.mark.parametrize("factory, args, trig, rulef, default", FACTORIES)
@pytest.mark.parametrize("failing", ["trig", "rulef", "behaviour"])
def test_behaviour_failure_stops_later_steps(lib, record, factory, args, trig, rulef, default,
                                             failing):
    target = {"trig": trig, "rulef": rulef, "behaviour": "behaviour"}[failing]
    error = LookupError(target)
    log = record(lib, trig, rulef, "behaviour", raises={target: error})
    with pytest.raises(LookupError) as info:
        getattr(lib, factory)(*args)
    assert info.value is error
    order = [trig, rulef, "behaviour"]
    assert log.names == order[: order.index(target) + 1]


@pytest.mark.parametrize("factory, args, trig, rulef, default", FACTORIES)
@pytest.mark.parametrize("missing", ["behaviour", "trig", "rulef"])
def test_behaviour_missing_global(lib, record, monkeypatch, factory, args, trig, rulef, default,
                                  missing):
    target = {"trig": trig, "rulef": rulef, "behaviour": "behaviour"}[missing]
    others = [n for n in (trig, rulef) if n != target]
    log = record(lib, *others)
    monkeypatch.delattr(lib, target)
    with pytest.raises(NameError, match=f"name '{target}' is not defined"):
        getattr(lib, factory)(*args)
    # `behaviour` is looked up before anything is called
    expected = {"behaviour": [], trig: [], rulef: [trig]}[target]
    assert log.names == expected


def test_restrict_scope_bad_allowed(lib, record):
    log = record(lib, "on_write", "behaviour")
    log = record(lib, "scope_fence", through=True)
    with pytest.raises(ValueError, match="scope_fence requires at least one non-empty string"):
        lib.restrict_scope([""])
    assert log.names == ["on_write", "scope_fence"]


def test_deny_writes_to_bad_values(lib, record):
    log = record(lib, "on_write", "behaviour")
    log = record(lib, "deny_list", through=True)
    with pytest.raises(TypeError):
        lib.deny_writes_to("bucket", [[1]])
    assert log.names == ["on_write", "deny_list"]


@pytest.mark.parametrize("factory, args, trig, rulef, default", FACTORIES)
def test_behaviour_rebinding_is_honoured(lib, monkeypatch, factory, args, trig, rulef, default):
    monkeypatch.setattr(lib, rulef, lambda *a, **k: ("rule", a, k))
    monkeypatch.setattr(lib, trig, lambda **k: ("trigger", k))
    monkeypatch.setattr(lib, "behaviour", lambda *a, **k: ("behaviour", a, k))
    got = getattr(lib, factory)(*args)
    assert got[0] == "behaviour" and got[1] == (default,)
    assert got[2]["on"][0] == "trigger" and got[2]["rule"][0] == "rule"


@pytest.mark.parametrize(
    "factory, args, kwargs",
    [("cap_charges", (100, "amount"), {}), ("flag_large_charges", (), {}),
     ("cap_charges", (1,), {"limit": 1}), ("deny_writes_to", ("a", [1], "x"), {}),
     ("deny_writes_to", ("a",), {}), ("restrict_scope", (["a"], "scope"), {}),
     ("restrict_scope", (["a"],), {"verdict": "FLAG"})],
)
def test_behaviour_bad_calls(lib, record, factory, args, kwargs):
    log = record(lib, "behaviour", "on_charge", "on_write")
    with pytest.raises(TypeError):
        getattr(lib, factory)(*args, **kwargs)
    assert log.calls == []


def test_keyword_only_required_arguments_accepted(lib):
    assert lib.cap_charges(limit=5).rule.name == "spend_cap<=5"
    assert lib.deny_writes_to(field="b", values=[1]).name == "deny_writes_b"
    assert lib.restrict_scope(allowed=["a"]).name == "restrict_scope"


# ---------------------------------------------------------------- end to end

CHARGE = {"action_type": "charge", "amount": 150}
NESTED_CHARGE = {"action_type": "charge", "kwargs": {"amount": 150}}
E2E = [
    # factory, args, kwargs, event, stage, verdict
    ("cap_charges", (100,), {}, CHARGE, "spend_decision", "BLOCK"),
    ("cap_charges", (100,), {}, NESTED_CHARGE, None, "BLOCK"),
    ("cap_charges", (100,), {}, {"action_type": "charge", "amount": 100}, None, "ALLOW"),
    ("cap_charges", (100,), {}, {"action_type": "charge"}, None, "ALLOW"),
    ("cap_charges", (100,), {}, {"action_type": "refund", "amount": 150}, None, None),
    ("cap_charges", (100,), {}, {"kwargs": {"action_type": "charge", "amount": 150}}, None, None),
    ("cap_charges", (100,), {}, CHARGE, "execution", None),
    ("cap_charges", (100,), {"stage": "pay"}, CHARGE, "pay", "BLOCK"),
    ("cap_charges", (100,), {"field": "total"}, dict(CHARGE, total=1), None, "ALLOW"),
    ("flag_large_charges", (100,), {}, CHARGE, "spend_decision", "FLAG"),
    ("flag_large_charges", (100,), {}, NESTED_CHARGE, None, "FLAG"),
    ("flag_large_charges", (200,), {}, CHARGE, None, "ALLOW"),
    ("deny_writes_to", ("bucket", VALUES), {}, {"bucket": "locked"}, "execution", "BLOCK"),
    ("deny_writes_to", ("bucket", VALUES), {}, {"kwargs": {"bucket": "frozen"}}, None, "BLOCK"),
    ("deny_writes_to", ("bucket", VALUES), {}, {"bucket": "open"}, None, "ALLOW"),
    ("deny_writes_to", ("bucket", VALUES), {"method": "PUT"},
     {"method": "GET", "bucket": "locked"}, None, None),
    ("deny_writes_to", ("bucket", VALUES), {"method": "PUT"},
     {"method": "PUT", "bucket": "locked"}, None, "BLOCK"),
    ("deny_writes_to", ("bucket", VALUES), {}, {"bucket": "locked"}, "spend_decision", None),
    ("restrict_scope", (ALLOWED,), {}, {"scope": "db/x"}, "execution", "ALLOW"),
    ("restrict_scope", (ALLOWED,), {}, {"kwargs": {"scope": "db/x"}}, None, "ALLOW"),
    ("restrict_scope", (ALLOWED,), {}, {"scope": "fs/x"}, None, "BLOCK"),
    ("restrict_scope", (ALLOWED,), {}, {}, None, "BLOCK"),
    ("restrict_scope", (ALLOWED,), {"field": "path"}, {"path": "db/1", "scope": "x"}, None,
     "ALLOW"),
]


@pytest.mark.parametrize("factory, args, kwargs, event, stage, verdict", E2E)
def test_end_to_end(lib, factory, args, kwargs, event, stage, verdict):
    b = getattr(lib, factory)(*args, **kwargs)
    assert check_behaviour(b, event, stage=stage) == verdict
