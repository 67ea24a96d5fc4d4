"""Native and model side by side: generated events, and events that fight back."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
import quindle_brevault_agent.library as native

SETTINGS = settings(max_examples=100, deadline=None)
FIELDS = ["amount", "scope", "f"]
TEXT = st.text(alphabet="db/aAé€\U0001f6000123T", max_size=5)
SMALL = st.sampled_from([0, 1, 2, 1.0, True, False, "a", "b", None, ""])
SCALARS = st.one_of(
    SMALL,
    st.sampled_from([100, -1, 99.5, float("nan"), float("inf"), "db/", "db/a", "12", "T"]),
    st.integers(-3, 200), st.floats(allow_nan=True), TEXT,
)
HASHABLES = st.one_of(SMALL, SCALARS, st.frozensets(SMALL, max_size=2))
VALUES = st.one_of(
    SCALARS,
    st.lists(SMALL, max_size=2),
    st.sets(SMALL, max_size=2),
    st.frozensets(SMALL, max_size=2),
)
FLAT = st.dictionaries(st.sampled_from(FIELDS), VALUES, max_size=3)
EVENTS = st.one_of(
    FLAT,
    st.builds(lambda top, nested: {**top, "kwargs": nested}, FLAT, st.one_of(FLAT, VALUES)),
)
PREFIXES = st.sampled_from(["0", "F", "N", "T", "Tr", "1", "12", "db/", "[", "(", "f", "é"])
TRICKY = [0, False, None, "", 0.0, [], True, 123, 1.5, "db/a", [1], (1,), frozenset(), "é1"]
VERDICTS = st.sampled_from(["BLOCK", "FLAG", "ALLOW", None, 0])


def outcome(fn, *args, **kwargs):
    """What a call gives: ("ok", result) or (exception type, message)."""
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - any failure is compared
        return type(error), str(error)


def build(factory, *args, **kwargs):
    """The rule from both modules, after checking they build (or fail) alike."""
    built = [outcome(getattr(m, factory), *args, **kwargs) for m in (native, model)]
    (kn, n), (km, m) = built
    if kn != "ok" or km != "ok":
        assert built[0] == built[1]
        return None
    assert n.name == m.name
    return n, m


def same_verdicts(rules, events):
    if rules is None:
        return
    n, m = rules
    for event in events:
        assert outcome(n.fn, event) == outcome(m.fn, event), event


@SETTINGS
@given(
    factory=st.sampled_from(["spend_cap", "flag_over"]),
    limit=st.one_of(SCALARS, st.tuples(SCALARS), st.tuples(SCALARS, SCALARS), st.just(())),
    field=st.sampled_from(FIELDS),
    events=st.lists(EVENTS, min_size=1, max_size=4),
)
def test_thresholds_agree(factory, limit, field, events):
    same_verdicts(build(factory, limit, field=field), events)


@SETTINGS
@given(
    factory=st.sampled_from(["deny_list", "allow_list"]),
    field=st.one_of(st.sampled_from(FIELDS), st.tuples(st.sampled_from(FIELDS)),
                    st.tuples(TEXT, TEXT)),
    values=st.one_of(st.lists(HASHABLES, max_size=4), TEXT,
                     st.lists(st.one_of(HASHABLES, st.lists(SMALL, max_size=1)), max_size=3)),
    verdict=VERDICTS,
    events=st.lists(EVENTS, min_size=1, max_size=4),
)
def test_membership_agrees(factory, field, values, verdict, events):
    # also hit the members, and sets equal to frozen ones
    members = list(values)[:3] + [set(v) for v in values if isinstance(v, frozenset)]
    events = events + [{field: v} for v in members if not isinstance(v, list)]
    same_verdicts(build(factory, field, values, verdict=verdict), events)


@SETTINGS
@given(
    fields=st.lists(st.one_of(st.sampled_from(FIELDS), st.just(7)), max_size=4),
    verdict=VERDICTS,
    events=st.lists(EVENTS, min_size=1, max_size=4),
)
def test_require_fields_agrees(fields, verdict, events):
    same_verdicts(build("require_fields", *fields, verdict=verdict), events)


@SETTINGS
@given(
    allowed=st.one_of(
        st.lists(st.one_of(TEXT, PREFIXES, st.integers(0, 9), st.none()), max_size=3),
        TEXT,
        st.tuples(TEXT),
    ),
    field=st.sampled_from(FIELDS),
    events=st.lists(EVENTS, min_size=1, max_size=4),
)
def test_scope_fence_agrees(allowed, field, events):
    events = events + [{field: v} for v in TRICKY]
    same_verdicts(build("scope_fence", allowed, field=field), events)


# ---------------------------------------------------------------- hostile events


class Boom(Exception):
    pass


def boom(what):
    def method(self, *args):
        raise Boom(what)

    return method


BadBool = type("BadBool", (), {"__bool__": boom("bool")})
BadGt = type("BadGt", (), {"__gt__": boom("gt")})
GtBadBool = type("GtBadBool", (), {"__gt__": lambda self, other: BadBool()})
BadEq = type("BadEq", (), {"__eq__": boom("eq"), "__hash__": lambda self: hash(1)})
BadHash = type("BadHash", (), {"__hash__": boom("hash")})
BadStr = type("BadStr", (), {"__str__": boom("str")})
BadStrText = type("BadStrText", (str,), {"__str__": boom("str of a str subclass")})
UnhashableSet = type("UnhashableSet", (set,), {})


class Wrecker:
    """A value that empties the event holding it whenever it is asked anything."""

    def __init__(self, event):
        self.event = event

    def _wreck(self):
        self.event.clear()
        self.event["kwargs"] = {"amount": 1}

    def __bool__(self):
        self._wreck()
        return True

    def __gt__(self, other):
        self._wreck()
        return True

    def __eq__(self, other):
        self._wreck()
        return False

    def __hash__(self):
        self._wreck()
        return 1

    def __str__(self):
        self._wreck()
        return "db/wrecked"


class Nested(dict):
    """A kwargs map that drops itself from the event while it is read."""

    def __init__(self, outer, **items):
        super().__init__(**items)
        self.outer = outer

    def __contains__(self, key):
        self.outer.pop("kwargs", None)
        return dict.__contains__(self, key)

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        self.clear()
        self.outer.clear()
        return value


class Mapish:
    """A non-dict event; each hook runs before the matching read."""

    def __init__(self, data, **hooks):
        self.data = data
        self.hooks = hooks

    def _hook(self, name, *args):
        hook = self.hooks.get(name)
        return hook(self, *args) if hook else None

    def __contains__(self, key):
        found = self._hook("contains", key)
        return key in self.data if found is None else found

    def __getitem__(self, key):
        self._hook("getitem", key)
        return self.data[key]

    def get(self, key):
        self._hook("get", key)
        return self.data.get(key)


NoGet = type("NoGet", (), {"__contains__": lambda self, key: False})


def raise_(what):
    def hook(self, *args):
        raise Boom(what)

    return hook


def spread(value):
    return {k: value for k in ("amount", "scope", "action_type", "method")}


def wrecked(nested):
    event = {}
    wrecker = Wrecker(event)
    event.update({"kwargs": spread(wrecker)} if nested else spread(wrecker))
    return event


def with_nested(**items):
    event = {}
    event["kwargs"] = Nested(event, **items)
    return event


def emptying(self, key):
    self.data.clear()
    self.data["kwargs"] = {}


HOSTILE_VALUES = [BadBool, BadGt, GtBadBool, BadEq, BadHash, BadStr,
                  lambda: BadStrText("db/x"), lambda: UnhashableSet({1}), lambda: UnhashableSet()]
HOSTILE = {
    **{f"value-{i}": (lambda v=v: spread(v())) for i, v in enumerate(HOSTILE_VALUES)},
    **{f"nested-value-{i}": (lambda v=v: {"kwargs": spread(v())})
       for i, v in enumerate(HOSTILE_VALUES)},
    "wrecker": lambda: wrecked(False),
    "nested-wrecker": lambda: wrecked(True),
    "kwargs-drops-itself": lambda: with_nested(amount=150, scope="db/1", method="PUT"),
    "kwargs-drops-itself-missing": lambda: with_nested(other=1),
    "contains-raises": lambda: Mapish({}, contains=raise_("contains")),
    "contains-bad-bool": lambda: Mapish({}, contains=lambda self, key: BadBool()),
    "getitem-raises": lambda: Mapish(spread(1), getitem=raise_("getitem")),
    "get-raises": lambda: Mapish({}, get=raise_("get")),
    "getitem-empties": lambda: Mapish(spread(150), getitem=emptying),
    "get-empties": lambda: Mapish({"kwargs": spread(150)}, get=emptying),
    "contains-empties": lambda: Mapish(spread("db/2"), contains=lambda s, k: emptying(s, k)),
    "no-get": NoGet,
    "not-a-container": lambda: 42,
    "none": lambda: None,
}
RULES = {
    "spend_cap": lambda m: m.spend_cap(100).fn,
    "flag_over-nan": lambda m: m.flag_over(float("nan")).fn,
    "flag_over-neg": lambda m: m.flag_over(-1, field="scope").fn,
    "deny_list": lambda m: m.deny_list("amount", [1, "x", frozenset({1})]).fn,
    "deny_list-empty": lambda m: m.deny_list("scope", []).fn,
    "allow_list": lambda m: m.allow_list("amount", [None, frozenset()], verdict="FLAG").fn,
    "require_fields": lambda m: m.require_fields("amount", "scope").fn,
    "require_fields-none": lambda m: m.require_fields().fn,
    "scope_fence": lambda m: m.scope_fence(["db/", "b"]).fn,
    "scope_fence-amount": lambda m: m.scope_fence(("1",), field="amount").fn,
    "on_charge": lambda m: m.on_charge(action_type=1).where,
    "on_write": lambda m: m.on_write(method="PUT").where,
}


@pytest.mark.parametrize("make", list(HOSTILE.values()), ids=list(HOSTILE))
def test_hostile_events_agree(make):
    for name, rule in RULES.items():
        results = []
        for module in (native, model):
            fn = rule(module)
            event = make()
            first = outcome(fn, event)
            results.append((first, outcome(fn, event)))  # again, on what is left of it
        assert results[0] == results[1], name
