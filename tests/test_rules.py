"""The rule factories: names, verdicts and the order of their building steps."""

from __future__ import annotations

import math

import pytest

from quindle_brevault_agent._impl import check_rule

NAN = float("nan")
BAD_PREFIXES = "scope_fence requires at least one non-empty string prefix"


class Verdict:
    """A caller's own verdict object."""


THRESHOLDS = [("spend_cap", "spend_cap<=", "BLOCK"), ("flag_over", "flag_over>", "FLAG")]


# ---------------------------------------------------------------- thresholds


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
@pytest.mark.parametrize(
    "limit, text",
    [(100, "100"), (99.5, "99.5"), ((7,), "7"), (None, "None"), ("x", "x"), (-1, "-1")],
)
def test_threshold_names(lib, record, factory, prefix, over, limit, text):
    log = record(lib, "rule", through=True)
    r = getattr(lib, factory)(limit)
    call = log.only("rule")
    assert call.args[0] == prefix + text and call.keywords == []
    assert r.name == prefix + text
    assert r.fn.__qualname__ == f"{factory}.<locals>.<lambda>"
    assert r.fn.__module__ == lib.__name__


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
@pytest.mark.parametrize("limit", [(1, 2), (), (1, 2, 3)])
def test_threshold_tuple_limit_raises_before_rule(lib, record, factory, prefix, over, limit):
    log = record(lib, "rule")
    with pytest.raises(TypeError):
        getattr(lib, factory)(limit)
    assert log.calls == []


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
def test_threshold_rule_is_looked_up_before_formatting(lib, monkeypatch, factory, prefix, over):
    monkeypatch.delattr(lib, "rule")
    with pytest.raises(NameError, match="name 'rule' is not defined"):
        getattr(lib, factory)((1, 2))


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
@pytest.mark.parametrize(
    "args, kwargs",
    [((100, "total"), {}), ((), {}), ((100,), {"fields": "x"}), ((100,), {"limit": 1})],
)
def test_threshold_bad_calls(lib, factory, prefix, over, args, kwargs):
    with pytest.raises(TypeError):
        getattr(lib, factory)(*args, **kwargs)


OVER, ALLOW = "over", "ALLOW"
THRESHOLD_CASES = [
    # limit, kwargs of the factory, event, outcome
    (100, {}, {"amount": 150}, OVER), (100, {}, {"amount": 100}, ALLOW),
    (100, {}, {"amount": 99}, ALLOW), (100, {}, {"amount": 100.0001}, OVER),
    (100, {}, {"amount": 100.0}, ALLOW), (100, {}, {}, ALLOW), (0, {}, {}, ALLOW),
    (-1, {}, {}, OVER), (-1, {}, {"amount": None}, OVER), (-1, {}, {"amount": 0}, OVER),
    (-1, {}, {"amount": False}, OVER), (-1, {}, {"amount": ""}, OVER),
    (-1, {}, {"amount": []}, OVER), (-0.5, {}, {"amount": 0.0}, OVER),
    (0, {}, {"amount": True}, OVER), (1, {}, {"amount": True}, ALLOW),
    (100, {}, {"kwargs": {"amount": 150}}, OVER), (100, {}, {"kwargs": {"amount": 50}}, ALLOW),
    (100, {}, {"amount": None, "kwargs": {"amount": 150}}, ALLOW),
    (-1, {}, {"amount": None, "kwargs": {"amount": -5}}, OVER),
    (100, {}, {"amount": 5, "kwargs": {"amount": 150}}, ALLOW),
    (100, {}, {"kwargs": ["amount"]}, ALLOW),
    (100, {"field": "total"}, {"total": 150, "amount": 1}, OVER),
    (100, {"field": "total"}, {"total": 1, "amount": 150}, ALLOW),
    (100, {"field": "total"}, {"kwargs": {"total": 101}}, OVER),
    (100, {}, {"amount": math.inf}, OVER), (-math.inf, {}, {}, OVER),
    (100, {}, {"amount": NAN}, OVER), (NAN, {}, {"amount": 1}, OVER), (NAN, {}, {}, OVER),
    (100, {}, {"kwargs": {"amount": NAN}}, OVER), ("a", {}, {"amount": "b"}, OVER),
    ("b", {}, {"amount": "a"}, ALLOW), ((5,), {}, {"amount": (6,)}, OVER),
]


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
@pytest.mark.parametrize("limit, kwargs, event, outcome", THRESHOLD_CASES)
def test_threshold_verdicts(lib, factory, prefix, over, limit, kwargs, event, outcome):
    r = getattr(lib, factory)(limit, **kwargs)
    expected = over if outcome == OVER else "ALLOW"
    assert check_rule(r, event) == expected
    assert r.fn(ev=event) == expected


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
@pytest.mark.parametrize(
    "limit, event",
    [(100, {"amount": "150"}), (None, {}), (None, {"amount": 5}), (100, {"amount": {1}}),
     (100, {"amount": [1]})],
)
def test_threshold_incomparable_raises_at_evaluation(lib, factory, prefix, over, limit, event):
    r = getattr(lib, factory)(limit)  # building succeeds
    with pytest.raises(TypeError):
        check_rule(r, event)


# ---------------------------------------------------------------- membership

VERDICT = Verdict()
MEMBERSHIP = [("deny_list", "deny_"), ("allow_list", "allow_")]


def _membership_outcome(factory, member, verdict):
    if factory == "deny_list":
        return verdict if member else "ALLOW"
    return "ALLOW" if member else verdict


MEMBER_CASES = [
    # values, event, member?
    ([1, 2], {"f": 1}, True), ([1, 2], {"f": 3}, False), ([1], {"f": 1.0}, True),
    ([1], {"f": True}, True), ([True], {"f": 1}, True), ([1.0], {"f": 1}, True),
    ([1], {"f": "1"}, False), ("scope", {"f": "s"}, True), ("scope", {"f": "scope"}, False),
    ([frozenset({1, 2})], {"f": {1, 2}}, True), ([frozenset({1, 2})], {"f": {1}}, False),
    ([frozenset()], {"f": set()}, True), ([], {"f": 1}, False), ([], {}, False), ([1], {}, False),
    ([None], {}, True), ([None], {"f": None}, True), ([1], {"f": None}, False),
    ([None], {"f": None, "kwargs": {"f": 1}}, True), ([1], {"kwargs": {"f": 1}}, True),
    ([1], {"f": 2, "kwargs": {"f": 1}}, False), ([0], {"f": 0}, True), ([0], {"f": False}, True),
    ([(1, 2)], {"f": (1, 2)}, True), ({"k": 1}, {"f": "k"}, True),
]


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
@pytest.mark.parametrize("values, event, member", MEMBER_CASES)
def test_membership_verdicts(lib, factory, prefix, values, event, member):
    for verdict_kw in ({}, {"verdict": VERDICT}):
        r = getattr(lib, factory)("f", values, **verdict_kw)
        expected = _membership_outcome(factory, member, verdict_kw.get("verdict", "BLOCK"))
        got = check_rule(r, event)
        assert got is expected or got == expected
        assert check_rule(r, event) == got  # the rule works again and again


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
def test_membership_snapshot_and_identity(lib, factory, prefix):
    values = ["a"]
    once = iter(["x"])
    r = getattr(lib, factory)("f", values, verdict=VERDICT)
    r2 = getattr(lib, factory)("f", once, verdict="FLAG")
    values.append("b")
    values.remove("a")
    assert check_rule(r, {"f": "a"}) is _membership_outcome(factory, True, VERDICT)
    assert check_rule(r, {"f": "b"}) is _membership_outcome(factory, False, VERDICT)
    for _ in range(3):
        assert check_rule(r2, {"f": "x"}) == _membership_outcome(factory, True, "FLAG")
        assert check_rule(r2, {"f": "y"}) == _membership_outcome(factory, False, "FLAG")


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
@pytest.mark.parametrize("values", [[1], [], [frozenset({1})]])
@pytest.mark.parametrize("value", [[1], {"a": 1}, [], bytearray(b"x")])
def test_membership_unhashable_value_raises(lib, factory, prefix, values, value):
    r = getattr(lib, factory)("f", values)
    with pytest.raises(TypeError, match="unhashable"):
        check_rule(r, {"f": value})


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
@pytest.mark.parametrize(
    "field, name",
    [("scope", "scope"), (7, "7"), (("bucket",), "bucket"), (None, "None"), (1.5, "1.5")],
)
def test_membership_names(lib, record, factory, prefix, field, name):
    log = record(lib, "rule", through=True)
    r = getattr(lib, factory)(field, [1], verdict="FLAG")
    assert log.only("rule").args[0] == prefix + name
    assert r.name == prefix + name
    assert r.fn.__qualname__ == f"{factory}.<locals>.<lambda>"


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
def test_membership_tuple_field_fails_after_values_are_collected(lib, record, factory, prefix):
    log = record(lib, "rule")
    seen = []

    def values():
        seen.append("iterated")
        yield 1

    with pytest.raises(TypeError):
        getattr(lib, factory)(("a", "b"), values())
    assert seen == ["iterated"] and log.calls == []
    with pytest.raises(TypeError, match="unhashable"):  # the set comes before the name
        getattr(lib, factory)(("a", "b"), [[1]])
    with pytest.raises(TypeError):
        getattr(lib, factory)("f", 5)
    assert log.calls == []


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
def test_membership_rule_looked_up_between_set_and_name(lib, monkeypatch, factory, prefix):
    monkeypatch.delattr(lib, "rule")
    with pytest.raises(TypeError, match="unhashable"):
        getattr(lib, factory)(("a", "b"), [[1]])
    with pytest.raises(NameError, match="name 'rule' is not defined"):
        getattr(lib, factory)(("a", "b"), [1])


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("f", [1], "FLAG"), {}, r"takes exactly 2 positional arguments \(3 given\)"),
        (("f",), {}, r"takes exactly 2 positional arguments \(1 given\)"),
        (("f", [1]), {"verdicts": 1}, "unexpected keyword argument 'verdicts'"),
        (("f", [1]), {"field": "g"}, "multiple values for keyword argument 'field'"),
    ],
)
def test_membership_bad_calls(lib, factory, prefix, args, kwargs, message):
    # the wording is checked on the native module; Python functions word it their own way
    with pytest.raises(TypeError, match=message if lib.__name__ != "model" else None):
        getattr(lib, factory)(*args, **kwargs)


class HashFails(set):
    def __hash__(self):
        raise ValueError("no hash")


@pytest.mark.parametrize("factory, prefix", MEMBERSHIP)
def test_membership_set_retry_only_after_type_error(lib, factory, prefix):
    r = getattr(lib, factory)("f", [frozenset({1})])
    with pytest.raises(ValueError, match="no hash"):
        check_rule(r, {"f": HashFails({1})})
    assert check_rule(r, {"f": type("Sub", (set,), {})({1})}) == _membership_outcome(
        factory, True, "BLOCK")


# ---------------------------------------------------------------- presence

PRESENCE_CASES = [
    # fields, event, present?
    (("amount", "scope"), {"amount": 1, "scope": "s"}, True),
    (("amount", "scope"), {"amount": 1}, False), (("a",), {"a": 0}, True),
    (("a",), {"a": ""}, True), (("a",), {"a": False}, True), (("a",), {"a": []}, True),
    (("a",), {"a": None}, False), (("a",), {"kwargs": {"a": 1}}, True),
    (("a",), {"a": None, "kwargs": {"a": 1}}, False), (("a",), {"kwargs": ["a"]}, False),
    (("amount", "FLAG"), {"amount": 1}, False),
    (("amount", "FLAG"), {"amount": 1, "FLAG": 2}, True), ((), {}, True), ((), None, True),
    ((), 42, True),
]


@pytest.mark.parametrize("fields, event, present", PRESENCE_CASES)
def test_require_verdicts(lib, fields, event, present):
    for kw, verdict in (({}, "BLOCK"), ({"verdict": VERDICT}, VERDICT)):
        r = lib.require_fields(*fields, **kw)
        assert check_rule(r, event) is ("ALLOW" if present else verdict)


@pytest.mark.parametrize(
    "fields, name",
    [(("amount", "scope"), "require:amount,scope"), ((), "require:"),
     (("amount", "FLAG"), "require:amount,FLAG"), (("a,b",), "require:a,b"),
     (("a", "a"), "require:a,a")],
)
def test_require_names(lib, record, fields, name):
    log = record(lib, "rule", through=True)
    r = lib.require_fields(*fields)
    assert log.only("rule").args[0] == name and r.name == name
    assert r.fn.__qualname__ == "require_fields.<locals>.<lambda>"


@pytest.mark.parametrize(
    "fields, event, reads",
    [
        (("a", "b", "c"), {"a": 1, "c": 3}, ["a", "b"]),
        (("a", "b", "c"), {}, ["a"]),
        (("a", "b", "c"), {"a": 1, "b": 2, "c": 3}, ["a", "b", "c"]),
        (("a", "a"), {"a": 1}, ["a", "a"]),
        ((), {}, []),
    ],
)
def test_require_reads_in_order_and_stops(lib, record, fields, event, reads):
    log = record(lib, "_get", through=True)
    r = lib.require_fields(*fields)
    check_rule(r, event)
    assert [c.args for c in log.calls] == [(event, f) for f in reads]


def test_require_stop_iteration_becomes_runtime_error(lib, record):
    stop = StopIteration("from the event")
    record(lib, "_get", raises={"_get": stop})
    r = lib.require_fields("a", "b")
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        check_rule(r, {"a": 1})
    assert info.value.__cause__ is stop
    record(lib, "_get", raises={"_get": KeyError("k")})
    with pytest.raises(KeyError):
        check_rule(r, {"a": 1})


@pytest.mark.parametrize("fields", [(1,), ("a", 2), (None,), (b"a",)])
def test_require_non_str_field(lib, record, fields):
    log = record(lib, "rule")
    with pytest.raises(TypeError):
        lib.require_fields(*fields)
    assert log.calls == []


def test_require_rule_looked_up_before_join(lib, monkeypatch):
    monkeypatch.delattr(lib, "rule")
    with pytest.raises(NameError, match="name 'rule' is not defined"):
        lib.require_fields(1)


def test_require_fields_keyword_is_unexpected(lib):
    with pytest.raises(TypeError, match="unexpected keyword argument 'fields'"):
        lib.require_fields(fields=("a",))


# ---------------------------------------------------------------- prefixes


class Text(str):
    pass


class AlwaysEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


@pytest.mark.parametrize(
    "allowed",
    [[], (), iter([]), "", ["db/", ""], ["db/", 5], [5, "db/"], [None], [b"db"], ("a", Text("")),
     [AlwaysEqual("x")],
     {}, ["a", "b", ""]],
)
def test_scope_fence_rejects(lib, record, allowed):
    log = record(lib, "rule")
    with pytest.raises(ValueError, match=f"^{BAD_PREFIXES}$"):
        lib.scope_fence(allowed)
    assert log.calls == []


@pytest.mark.parametrize("allowed", [None, 5])
def test_scope_fence_not_iterable(lib, allowed):
    with pytest.raises(TypeError):
        lib.scope_fence(allowed)


def test_scope_fence_rule_looked_up_after_validation(lib, monkeypatch):
    monkeypatch.delattr(lib, "rule")
    with pytest.raises(ValueError, match=BAD_PREFIXES):
        lib.scope_fence([""])
    with pytest.raises(NameError, match="name 'rule' is not defined"):
        lib.scope_fence(["a"])


SCOPE_CASES = [
    # prefixes, event, allowed?
    (["db/a"], {"scope": "db/ab"}, True), (["db/a"], {"scope": "db/"}, False),
    (["Sales"], {"scope": "sales/q1"}, False), (["sales"], {"scope": "sales/q1"}, True),
    (["a", "b"], {"scope": "bee"}, True), ("ab", {"scope": "bee"}, True),
    ("ab", {"scope": "cab"}, False), (["x"], {}, False), (["x"], {"scope": None}, False),
    (["x"], {"kwargs": {"scope": "xy"}}, True),
    (["x"], {"scope": None, "kwargs": {"scope": "xy"}}, False), (["12"], {"scope": 123}, True),
    (["12"], {"scope": 13}, False), (["T"], {"scope": True}, True),
    (["T"], {"scope": False}, False), (["F"], {"scope": False}, False),
    (["0"], {"scope": 0}, False), (["0"], {"scope": "0"}, True), (["0"], {"scope": 0.0}, False),
    (["1.5"], {"scope": 1.5}, True),
    (["["], {"scope": [1]}, True),
    (["["], {"scope": []}, False),
    (["é"], {"scope": "école"}, True), (["é"], {"scope": "e\u0301cole"}, False),
    (["€"], {"scope": "€10"}, True), (["\U0001f600"], {"scope": "\U0001f600/x"}, True),
    (["\U0001f600"], {"scope": "\U0001f601/x"}, False), (["a\U0001f600"], {"scope": "a"}, False),
    (["ab"], {"scope": Text("abc")}, True), ([Text("ab")], {"scope": "abc"}, True),
    ([Text("ab")], {"scope": "ba"}, False), (["a", "a"], {"scope": "a"}, True),
    (["é"], {"scope": "é\U0001f600"}, True), (["ab€"], {"scope": "ab"}, False),
    (["€"], {"scope": "\xe9"}, False), (["é"], {"scope": b"\xc3\xa9"}, False),
    (["b'"], {"scope": b"x"}, True), ({"x": 1, "y": 2}, {"scope": "y"}, True),
    (["x"], {"scope": "x", "other": "y"}, True),
]


@pytest.mark.parametrize("prefixes, event, allowed", SCOPE_CASES)
def test_scope_fence_verdicts(lib, prefixes, event, allowed):
    expected = "ALLOW" if allowed else "BLOCK"
    for make in (tuple, list, lambda p: (x for x in p)):
        r = lib.scope_fence(make(prefixes))
        assert r.name == "scope_fence"
        assert check_rule(r, event) == expected
        assert r.fn(ev=event) == expected


def test_scope_fence_other_field_and_snapshot(lib, record):
    log = record(lib, "rule", through=True)
    allowed = ["db/"]
    r = lib.scope_fence(allowed, field="bucket")
    allowed[0] = "zz"
    assert log.only("rule").args[0] == "scope_fence"
    assert r.fn.__qualname__ == "scope_fence.<locals>.<lambda>"
    assert check_rule(r, {"bucket": "db/x", "scope": "zz"}) == "ALLOW"
    assert check_rule(r, {"bucket": "zz", "scope": "db/x"}) == "BLOCK"


# ---------------------------------------------------------------- odd values


class FloatSub(float):
    pass


class Odd:
    """A value whose comparison result, truth and text are chosen by the test."""

    def __init__(self, gt=False, truth=True, text="odd", log=None):
        self.gt, self.truth, self.text, self.log = gt, truth, text, log

    def __gt__(self, other):
        if self.log is not None:
            self.log.append(("gt", other))
        if isinstance(self.gt, Exception):
            raise self.gt
        return self.gt

    def __ne__(self, other):  # looks like a NaN to a careless `x != x` test
        return True

    def __bool__(self):
        if isinstance(self.truth, Exception):
            raise self.truth
        return self.truth

    def __str__(self):
        if isinstance(self.text, Exception):
            raise self.text
        return self.text


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
@pytest.mark.parametrize(
    "limit, value, outcome",
    [
        (100, FloatSub("nan"), OVER),
        (FloatSub("nan"), 5, OVER),
        (FloatSub("nan"), None, OVER),
        (100, FloatSub(150), OVER),
        (100, FloatSub(50), ALLOW),
        (100, Odd(gt=False), ALLOW),  # not a float: no NaN rule
        (100, Odd(gt=[1]), OVER),  # the comparison's result goes through the truth test
        (100, Odd(gt=[]), ALLOW),
        (100, Odd(gt="yes"), OVER),
        (100, Odd(gt=ValueError("gt")), ValueError),
        (100, Odd(truth=ValueError("bool")), ValueError),
        (-1, Odd(truth=False, gt=ValueError("never compared")), OVER),  # false: counts as 0
        (1, Odd(truth=False, gt=ValueError("never compared")), ALLOW),
    ],
)
def test_threshold_odd_values(lib, factory, prefix, over, limit, value, outcome):
    r = getattr(lib, factory)(limit)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            check_rule(r, {"amount": value})
    else:
        assert check_rule(r, {"amount": value}) == (over if outcome == OVER else "ALLOW")


@pytest.mark.parametrize("factory, prefix, over", THRESHOLDS)
def test_threshold_value_on_the_left(lib, factory, prefix, over):
    log = []
    limit = object()
    r = getattr(lib, factory)(limit)
    assert check_rule(r, {"kwargs": {"amount": Odd(gt=True, log=log)}}) == over
    assert len(log) == 1 and log[0][0] == "gt" and log[0][1] is limit


class Shown(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize(
    "prefixes, value, outcome",
    [
        (["sh"], Shown("abc"), "ALLOW"),  # not an exact str: its str() is tested
        (["ab"], Shown("abc"), "BLOCK"),
        (["ab"], "abc", "ALLOW"),
        (["od"], Odd(truth=False), "BLOCK"),  # false: the empty text, str() never asked
        (["od"], Odd(truth=False, text=ValueError("never")), "BLOCK"),
        (["od"], Odd(), "ALLOW"),
        (["od"], Odd(text=ValueError("str")), ValueError),
        (["od"], Odd(truth=ValueError("bool")), ValueError),
    ],
)
def test_scope_fence_text_of_odd_values(lib, prefixes, value, outcome):
    r = lib.scope_fence(prefixes)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            check_rule(r, {"scope": value})
    else:
        assert check_rule(r, {"scope": value}) == outcome


def test_scope_fence_converts_tuple_subclasses_by_iteration(lib):
    class Swapped(tuple):
        def __iter__(self):
            return iter(["other"])

    r = lib.scope_fence(Swapped(("db/",)))
    assert check_rule(r, {"scope": "other/x"}) == "ALLOW"
    assert check_rule(r, {"scope": "db/x"}) == "BLOCK"
