"""The field lookup `_get`: top level first, then a nested ``kwargs`` dict."""

from __future__ import annotations

import collections
import types

import pytest

import quindle_brevault_agent.library as native

NESTED = object()  # a value only ever placed under ``kwargs``
TOP = object()
EMPTY_LIST: list = []
ZERO_FLOAT = 0.0
INNER = {"amount": NESTED}


class KwDict(dict):
    pass


class Hiding(dict):
    """A dict subclass whose own containment test denies every key."""

    def __contains__(self, key):
        return False


class Renaming(dict):
    """A dict subclass whose subscription wraps what it finds."""

    def __getitem__(self, key):
        return ("seen", dict.__getitem__(self, key))


GET_CASES = [
    # present at the top level: returned as it is, whatever the value
    ("top-none-hides-nested", {"amount": None, "kwargs": {"amount": 5}}, "amount", None),
    ("top-zero", {"amount": 0, "kwargs": INNER}, "amount", 0),
    ("top-zero-float", {"amount": ZERO_FLOAT, "kwargs": INNER}, "amount", ZERO_FLOAT),
    ("top-empty-str", {"amount": "", "kwargs": INNER}, "amount", ""),
    ("top-false", {"amount": False, "kwargs": INNER}, "amount", False),
    ("top-empty-list", {"amount": EMPTY_LIST, "kwargs": INNER}, "amount", EMPTY_LIST),
    ("top-wins", {"amount": TOP, "kwargs": INNER}, "amount", TOP),
    # only nested
    ("nested-dict", {"kwargs": {"amount": NESTED}}, "amount", NESTED),
    ("nested-dict-none", {"kwargs": {"amount": None}}, "amount", None),
    ("nested-dict-subclass", {"kwargs": KwDict(amount=NESTED)}, "amount", NESTED),
    ("nested-one-level-only", {"kwargs": {"kwargs": {"amount": 1}}}, "amount", None),
    ("nested-int-key", {"kwargs": {7: NESTED}}, 7, NESTED),
    ("nested-tuple-key", {"kwargs": {("a", 1): NESTED}}, ("a", 1), NESTED),
    # kwargs that does not count as the nested map
    ("kwargs-list", {"kwargs": ["amount"]}, "amount", None),
    ("kwargs-str", {"kwargs": "amount"}, "amount", None),
    ("kwargs-mappingproxy", {"kwargs": types.MappingProxyType({"amount": 1})}, "amount", None),
    ("kwargs-userdict", {"kwargs": collections.UserDict(amount=1)}, "amount", None),
    ("kwargs-none", {"kwargs": None}, "amount", None),
    ("missing", {"other": 1}, "amount", None),
    ("empty", {}, "amount", None),
    # the field "kwargs" itself
    ("field-kwargs", {"kwargs": INNER}, "kwargs", INNER),
    ("field-kwargs-list", {"kwargs": EMPTY_LIST}, "kwargs", EMPTY_LIST),
    ("field-kwargs-missing", {"amount": 1}, "kwargs", None),
    # non-str fields at the top level
    ("int-field", {7: TOP}, 7, TOP),
    ("tuple-field", {("a", "b"): TOP}, ("a", "b"), TOP),
    ("str-subclass-field", {"amount": TOP}, type("S", (str,), {})("amount"), TOP),
    # events that are not plain dicts
    ("event-mappingproxy", types.MappingProxyType({"kwargs": {"amount": NESTED}}), "amount", NESTED),
    ("event-userdict", collections.UserDict(amount=TOP), "amount", TOP),
    ("event-dict-subclass", KwDict(kwargs=KwDict(amount=NESTED)), "amount", NESTED),
    # the event's own and the nested map's own containment test and subscription
    ("event-hides", Hiding(amount=TOP, kwargs={"amount": NESTED}), "amount", NESTED),
    ("nested-hides", {"kwargs": Hiding(amount=NESTED)}, "amount", None),
    ("event-renames", Renaming(amount=1), "amount", ("seen", 1)),
    ("nested-renames", {"kwargs": Renaming(amount=2)}, "amount", ("seen", 2)),
]


@pytest.mark.parametrize(
    "event, field, expected", [c[1:] for c in GET_CASES], ids=[c[0] for c in GET_CASES]
)
def test_lookup(lib, event, field, expected):
    got = lib._get(event, field)
    if isinstance(expected, tuple):
        assert got == expected
    else:
        assert got is expected
    assert lib._get(event=event, field=field) == got


class Probe:
    """A mapping that is not a dict and logs every protocol call."""

    def __init__(self, data, log, tag="event"):
        self.data = data
        self.log = log
        self.tag = tag

    def __contains__(self, key):
        self.log.append((self.tag, "contains", key))
        return key in self.data

    def __getitem__(self, key):
        self.log.append((self.tag, "getitem", key))
        return self.data[key]

    def get(self, *args, **kwargs):
        self.log.append((self.tag, "get", args, kwargs))
        return self.data.get(*args, **kwargs)


class ProbeDict(dict):
    """A dict subclass that logs its containment test and subscription."""

    def __init__(self, data, log):
        super().__init__(data)
        self.log = log

    def __contains__(self, key):
        self.log.append(("nested", "contains", key))
        return dict.__contains__(self, key)

    def __getitem__(self, key):
        self.log.append(("nested", "getitem", key))
        return dict.__getitem__(self, key)

    def get(self, *args):
        self.log.append(("nested", "get", args))
        return dict.get(self, *args)


def test_protocol_present_at_top_level(lib):
    log = []
    assert lib._get(Probe({"amount": TOP, "kwargs": {}}, log), "amount") is TOP
    assert log == [("event", "contains", "amount"), ("event", "getitem", "amount")]


def test_protocol_absent_reads_kwargs_through_get(lib):
    log = []
    nested = ProbeDict({"amount": NESTED}, log)
    assert lib._get(Probe({"kwargs": nested}, log), "amount") is NESTED
    assert log == [
        ("event", "contains", "amount"),
        ("event", "get", ("kwargs",), {}),
        ("nested", "contains", "amount"),
        ("nested", "getitem", "amount"),
    ]


def test_protocol_nested_miss_does_not_subscript(lib):
    log = []
    nested = ProbeDict({"other": 1}, log)
    assert lib._get(Probe({"kwargs": nested}, log), "amount") is None
    assert log[-1] == ("nested", "contains", "amount")
    assert ("nested", "getitem", "amount") not in log


def test_protocol_non_dict_nested_map_is_never_touched(lib):
    log = []
    nested = Probe({"amount": NESTED}, log, tag="nested")
    assert lib._get(Probe({"kwargs": nested}, log), "amount") is None
    assert [entry[0] for entry in log] == ["event", "event"]


def test_protocol_get_result_without_kwargs(lib):
    log = []
    assert lib._get(Probe({}, log), "amount") is None
    assert log == [("event", "contains", "amount"), ("event", "get", ("kwargs",), {})]


class Boom(Exception):
    pass


class Raising:
    """An event whose one protocol method raises a given exception."""

    def __init__(self, method, error):
        self.method = method
        self.error = error

    def _maybe(self, method):
        if method == self.method:
            raise self.error

    def __contains__(self, key):
        self._maybe("contains")
        return key == "present"

    def __getitem__(self, key):
        self._maybe("getitem")
        return TOP

    def get(self, key):
        self._maybe("get")
        return {"nested": NESTED}


@pytest.mark.parametrize(
    "method, field",
    [("contains", "present"), ("getitem", "present"), ("get", "nested")],
)
def test_event_errors_propagate_unchanged(lib, method, field):
    error = Boom(method)
    with pytest.raises(Boom) as info:
        lib._get(Raising(method, error), field)
    assert info.value is error


def test_broken_mapping_key_error_propagates(lib):
    class Liar(dict):
        def __contains__(self, key):
            return True

    with pytest.raises(KeyError, match="amount"):
        lib._get(Liar(), "amount")


class NoGet:
    def __contains__(self, key):
        return False


@pytest.mark.parametrize(
    "event, field, error, message",
    [
        (NoGet(), "amount", AttributeError, "'NoGet' object has no attribute 'get'"),
        ([], "amount", AttributeError, "'list' object has no attribute 'get'"),
        (5, "amount", TypeError, "argument of type 'int' is not iterable"),
        ({}, [], TypeError, "unhashable type: 'list'"),
        ({"kwargs": {}}, {}, TypeError, "unhashable type: 'dict'"),
        # the top level is not a dict, the nested map is: the nested test hashes
        (Probe({"kwargs": {}}, []), [], TypeError, "unhashable type: 'list'"),
    ],
)
def test_lookup_errors(lib, event, field, error, message):
    with pytest.raises(error) as info:
        lib._get(event, field)
    assert str(info.value) == message


class Collider:
    """A key that shares the hash of "amount" and takes the field away from its
    dict on the `strike`-th comparison, so that the containment test and the
    subscription of one lookup see different dicts."""

    def __init__(self, target: dict, strike: int):
        self.target = target
        self.strike = strike
        self.calls = 0
        self.armed = False

    def __hash__(self):
        return hash("amount")

    def __eq__(self, other):
        if not self.armed:
            return False
        self.calls += 1
        if self.calls == self.strike:
            self.armed = False
            del self.target["amount"]
            self.armed = True
        return False


class PlainDict(dict):
    """A dict subclass: read through the generic protocols, not the fast path."""


def _collided(strike, nested, cls=dict):
    target: dict = cls()
    key = Collider(target, strike)
    target[key] = 0
    target["amount"] = 5
    key.armed = True
    return ({"kwargs": target} if nested else target), key


def _comparisons_per_lookup():
    # How many times one lookup of "amount" compares with the collider
    # depends on the probe sequence, so it is measured on an equal dict.
    event, key = _collided(0, False)
    assert "amount" in event
    return key.calls


@pytest.mark.parametrize("cls", [dict, PlainDict], ids=["dict", "dict-subclass"])
@pytest.mark.parametrize("nested", [False, True], ids=["top", "nested"])
def test_containment_and_subscription_are_two_reads(lib, nested, cls):
    # The field is still there for the containment test and gone by the
    # subscription: a KeyError, not the value the first read saw. The native
    # module reads an exact dict by an exact str once instead (its fast path):
    # only a key of the same hash with a side-effecting __eq__ can tell, and
    # it sees one comparison and the value that read found.
    per_lookup = _comparisons_per_lookup()
    event, key = _collided(per_lookup + 1, nested, cls)
    if lib is native and cls is dict:
        assert lib._get(event, "amount") == 5
        assert key.calls == per_lookup
        return
    with pytest.raises(KeyError):
        lib._get(event, "amount")
    assert key.calls > per_lookup  # the subscription was a second read


@pytest.mark.parametrize("nested", [False, True], ids=["top", "nested"])
def test_field_taken_away_during_containment_test(lib, nested):
    event, key = _collided(1, nested)
    assert lib._get(event, "amount") is None
