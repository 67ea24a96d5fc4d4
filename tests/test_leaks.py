"""Repeated calls of every function, on its success and its error paths, leave
the number of allocated memory blocks where it was."""

import gc
import os
import sys

import pytest

import quindle_brevault_agent.library as library
from quindle_brevault_agent import _engine, _impl

SANITIZED = os.environ.get("QBA_SANITIZED") == "1"
WARMUP, CALLS = (200, 300) if SANITIZED else (200, 2000)
SLACK = 20

lib = library


class Key(str):
    """A keyword name that is equal to, but not, the parameter's name."""


class BrokenEvent:
    def __contains__(self, key):
        raise KeyError("broken event")


class NoGet:
    def __contains__(self, key):
        return False


class Unordered:
    """A limit that cannot be compared with a number."""


SPEND = lib.spend_cap(100)
FLAG = lib.flag_over(100, field="total")
DENY = lib.deny_list("bucket", ["prod", "audit"])
ALLOW = lib.allow_list("tool", ["read"], verdict="FLAG")
REQUIRE = lib.require_fields("amount", "scope")
FENCE = lib.scope_fence(["repo/", "tmp/"])
CHARGE = lib.on_charge()
WRITE = lib.on_write(method="PUT")
NESTED = {"kwargs": {"amount": 500, "bucket": "prod", "tool": "read", "scope": "repo/a"}}
FLAT = {"amount": 5, "total": 500, "bucket": "dev", "tool": "write", "scope": "etc/x",
        "action_type": "charge", "method": "PUT"}


class Unreadable:
    @property
    def on(self):
        raise KeyError("on")


def nested_evaluators(depth):
    evaluate = _impl.Policy([]).evaluator(stage="s")
    for _ in range(depth):
        item = _impl.behaviour("b", on=_impl.trigger(stage="s"), rule=_impl.rule("r", evaluate))
        evaluate = _impl.Policy([item]).evaluator(stage="s")
    return evaluate


TOO_DEEP = nested_evaluators(sys.getrecursionlimit() + 10)

SUCCESS = {
    "_get flat": lambda: lib._get(FLAT, "amount"),
    "_get nested": lambda: lib._get(NESTED, "amount"),
    "_get missing": lambda: lib._get(FLAT, "absent"),
    "_get keywords": lambda: lib._get(**{Key("event"): FLAT, Key("field"): "amount"}),
    "spend_cap": lambda: lib.spend_cap(100),
    "flag_over": lambda: lib.flag_over(1.5, field="total"),
    "deny_list": lambda: lib.deny_list("bucket", ["prod", "audit"]),
    "allow_list": lambda: lib.allow_list(field="tool", values={"read"}, verdict="FLAG"),
    "scope_fence": lambda: lib.scope_fence(["repo/", "tmp/"], field="path"),
    "require_fields": lambda: lib.require_fields("amount", "scope", verdict="FLAG"),
    "require_fields none": lambda: lib.require_fields(),
    "on_charge": lambda: lib.on_charge(stage="s", action_type="refund"),
    "on_write": lambda: lib.on_write(),
    "on_write method": lambda: lib.on_write(method="PUT"),
    "cap_charges": lambda: lib.cap_charges(100),
    "flag_large_charges": lambda: lib.flag_large_charges(10, name="large", action=print),
    "deny_writes_to": lambda: lib.deny_writes_to("bucket", ["prod"], method="PUT"),
    "restrict_scope": lambda: lib.restrict_scope(["repo/"], field="path", stage="s"),
    "spend_cap rule": lambda: (SPEND.fn(FLAT), SPEND.fn(NESTED), SPEND.fn({})),
    "flag_over rule": lambda: (FLAG.fn(FLAT), FLAG.fn(ev=NESTED)),
    "deny_list rule": lambda: (DENY.fn(FLAT), DENY.fn(NESTED), DENY.fn({"bucket": {"prod"}})),
    "allow_list rule": lambda: (ALLOW.fn(FLAT), ALLOW.fn(NESTED)),
    "require_fields rule": lambda: (REQUIRE.fn(FLAT), REQUIRE.fn(NESTED), REQUIRE.fn({})),
    "scope_fence rule": lambda: (FENCE.fn(FLAT), FENCE.fn(NESTED), FENCE.fn({"scope": 7})),
    "triggers": lambda: (CHARGE.where(FLAT), WRITE.where(FLAT), WRITE.where({})),
    "attributes": lambda: (lib.cap_charges.__kwdefaults__, repr(SPEND.fn), SPEND.fn.__dict__,
                           lib.deny_list.__signature__),
    "set attributes": lambda: (setattr(CHARGE.where, "__name__", "charge"),
                               setattr(CHARGE.where, "__doc__", "doc"),
                               setattr(CHARGE.where, "tag", [1])),
}

ERRORS = {
    "too many positional": (lambda: lib.deny_list("f", [1], "FLAG"), TypeError),
    "missing positional": (lambda: lib.deny_list(values=[1], bogus=2), TypeError),
    "unexpected keyword": (lambda: lib.spend_cap(1, limits=2), TypeError),
    "multiple values": (lambda: lib.deny_list(1, [2], field=3), TypeError),
    "keyword-only": (lambda: lib.on_charge("spend_decision"), TypeError),
    "varargs keyword": (lambda: lib.require_fields(fields=["a"]), TypeError),
    "behaviour arguments": (lambda: lib.restrict_scope(["a"], "scope"), TypeError),
    "one-event arguments": (lambda: SPEND.fn(FLAT, ev=FLAT), TypeError),
    "trigger arguments": (lambda: CHARGE.where(), TypeError),
    "_get arguments": (lambda: lib._get(FLAT, field="a", extra=1), TypeError),
    "comparison": (lambda: lib.spend_cap(Unordered()).fn(FLAT), TypeError),
    "unhashable value": (lambda: DENY.fn({"bucket": {}}), TypeError),
    "unhashable field": (lambda: lib._get(FLAT, []), TypeError),
    "no prefixes": (lambda: lib.scope_fence([]), ValueError),
    "empty prefix": (lambda: lib.scope_fence(["a", ""]), ValueError),
    "prefix not a string": (lambda: lib.restrict_scope(["a", 1]), ValueError),
    "not iterable": (lambda: lib.deny_list("f", 5), TypeError),
    "field names not strings": (lambda: lib.require_fields("a", 1), TypeError),
    "formatting": (lambda: lib.spend_cap((1, 2)), TypeError),
    "event raises": (lambda: SPEND.fn(BrokenEvent()), KeyError),
    "event raises in require": (lambda: REQUIRE.fn(BrokenEvent()), KeyError),
    "event has no get": (lambda: FENCE.fn(NoGet()), AttributeError),
    "trigger event has no get": (lambda: WRITE.where(NoGet()), AttributeError),
    "behaviour unreadable": (lambda: _engine.Engine([Unreadable()]), KeyError),
    "evaluation nested too deep": (lambda: TOO_DEEP({}), RecursionError),
}

# Errors that need the module's namespace changed: (name, replacement or None).
PATCHED_ERRORS = {
    "_get missing": ("_get", None, lambda: SPEND.fn(FLAT), NameError),
    "rule missing": ("rule", None, lambda: lib.scope_fence(["a"]), NameError),
    "trigger missing": ("trigger", None, lambda: lib.on_write(method="PUT"), NameError),
    "behaviour missing": ("behaviour", None, lambda: lib.cap_charges(1), NameError),
    "spend_cap missing": ("spend_cap", None, lambda: lib.cap_charges(1), NameError),
    "on_write missing": ("on_write", None, lambda: lib.deny_writes_to("f", [1]), NameError),
    "rule raises": ("rule", "raise", lambda: lib.deny_list("f", [1]), RuntimeError),
    "behaviour raises": ("behaviour", "raise", lambda: lib.restrict_scope(["a"]), RuntimeError),
    "_get raises": ("_get", "raise", lambda: ALLOW.fn(FLAT), RuntimeError),
    "_get replaced": ("_get", "replace", lambda: REQUIRE.fn(FLAT), None),
}


def raise_runtime_error(*args, **kwargs):
    raise RuntimeError("host factory failed")


def call(fn):
    try:
        fn()
    except Exception:
        pass


def assert_no_growth(fn):
    # A leak grows in every round; the interpreter's own caches (inspect's,
    # for __signature__) settle after a few hundred calls and stop.
    for _ in range(WARMUP):
        call(fn)
    grown = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(CALLS):
            call(fn)
        gc.collect()
        grown.append(sys.getallocatedblocks() - before)
        if grown[-1] < SLACK:
            return
    pytest.fail(f"blocks grew by {grown} in three rounds of {CALLS} calls")


@pytest.mark.parametrize("case", SUCCESS)
def test_success_paths_do_not_leak(case):
    SUCCESS[case]()
    assert_no_growth(SUCCESS[case])


@pytest.mark.parametrize("case", ERRORS)
def test_error_paths_do_not_leak(case):
    fn, error = ERRORS[case]
    with pytest.raises(error):
        fn()
    assert_no_growth(fn)


@pytest.mark.parametrize("case", PATCHED_ERRORS)
def test_lookup_and_host_errors_do_not_leak(case, monkeypatch):
    name, replacement, fn, error = PATCHED_ERRORS[case]
    if replacement is None:
        monkeypatch.delattr(library, name)
    elif replacement == "raise":
        monkeypatch.setattr(library, name, raise_runtime_error)
    else:
        monkeypatch.setattr(library, name, lambda event, field: event.get(field))
    if error is None:
        fn()
    else:
        with pytest.raises(error):
            fn()
    assert_no_growth(fn)


def test_rules_in_cycles_are_freed_by_the_collector():
    def build_and_drop():
        box = []
        rule = lib.deny_list("f", ["x"], verdict=box)
        box.append(rule)  # a cycle through the captured verdict
        assert _impl.check_rule(rule, {"f": "x"}) is box

    assert_no_growth(build_and_drop)
