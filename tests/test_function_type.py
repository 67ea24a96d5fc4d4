"""The function type behind every function of the module and every one-event
function that a factory builds: attributes, introspection, argument binding,
method binding, pickling, size and garbage collection."""

import copy
import gc
import inspect
import pickle
import pydoc
import re
import sys
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quindle_brevault_agent.library as library

MODULE = "quindle_brevault_agent.library"
FunctionType = type(library.spend_cap)
MODULE_FUNCTIONS = ["_get", *library.__all__]

# The one-event functions, by the factory whose __qualname__ they carry.
ONE_EVENT = {
    "spend_cap": lambda: library.spend_cap(10).fn,
    "flag_over": lambda: library.flag_over(10).fn,
    "deny_list": lambda: library.deny_list("f", [1]).fn,
    "allow_list": lambda: library.allow_list("f", [1]).fn,
    "require_fields": lambda: library.require_fields("a").fn,
    "scope_fence": lambda: library.scope_fence(["a/"]).fn,
    "on_charge": lambda: library.on_charge().where,
    "on_write": lambda: library.on_write(method="PUT").where,
}


def test_one_extension_type_for_every_function():
    made = [make() for make in ONE_EVENT.values()]
    for fn in [getattr(library, n) for n in MODULE_FUNCTIONS] + made:
        assert type(fn) is FunctionType
    assert FunctionType.__name__ == "function"
    assert FunctionType.__module__ == MODULE
    assert not inspect.isfunction(library.spend_cap)
    with pytest.raises(TypeError, match="cannot create"):
        FunctionType()


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_module_function_identity(name):
    fn = getattr(library, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == MODULE
    assert fn.__defaults__ is None
    assert re.fullmatch(rf"<function {name} at 0x[0-9a-fA-F]+>", repr(fn))


@pytest.mark.parametrize("factory", sorted(ONE_EVENT))
def test_one_event_function_identity(factory):
    fn = ONE_EVENT[factory]()
    qualname = f"{factory}.<locals>.<lambda>"
    assert fn.__name__ == "<lambda>"
    assert fn.__qualname__ == qualname
    assert fn.__module__ == MODULE
    assert fn.__doc__ is None
    assert fn.__defaults__ is None
    assert fn.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == "(ev)"
    assert re.fullmatch(rf"<function {re.escape(qualname)} at 0x[0-9a-fA-F]+>", repr(fn))


# name: (signature, keyword-only defaults in declaration order, docstring)
INTROSPECTION = {
    "_get": ("(event, field)", None,
             "Field lookup: event top level first, then a nested ``kwargs`` map."),
    "spend_cap": ("(limit, *, field='amount')", [("field", "amount")],
                  "BLOCK when ``event[field]`` exceeds `limit`, else ALLOW."),
    "flag_over": ("(limit, *, field='amount')", [("field", "amount")],
                  "FLAG (do not block) when ``event[field]`` exceeds `limit`, else ALLOW."),
    "deny_list": ("(field, values, *, verdict='BLOCK')", [("verdict", "BLOCK")],
                  "`verdict` when ``event[field]`` is one of `values`, else ALLOW."),
    "allow_list": ("(field, values, *, verdict='BLOCK')", [("verdict", "BLOCK")],
                   "ALLOW only when ``event[field]`` is one of `values`, else `verdict`."),
    "scope_fence": ("(allowed, *, field='scope')", [("field", "scope")],
                    "ALLOW only when ``event[field]`` starts with one of the `allowed` prefixes."),
    "require_fields": ("(*fields, verdict='BLOCK')", [("verdict", "BLOCK")],
                       "ALLOW only when every field in `fields` is present and non-null."),
    "on_charge": ("(*, stage='spend_decision', action_type='charge')",
                  [("stage", "spend_decision"), ("action_type", "charge")], None),
    "on_write": ("(*, method=None, stage='execution')",
                 [("method", None), ("stage", "execution")], None),
    "cap_charges": (
        "(limit, *, field='amount', stage='spend_decision', action=None, name=None)",
        [("field", "amount"), ("stage", "spend_decision"), ("action", None), ("name", None)],
        "Block any charge whose amount exceeds `limit`."),
    "flag_large_charges": (
        "(limit, *, field='amount', stage='spend_decision', action=None, name=None)",
        [("field", "amount"), ("stage", "spend_decision"), ("action", None), ("name", None)],
        "Flag (record but allow) any charge whose amount exceeds `limit`."),
    "deny_writes_to": (
        "(field, values, *, stage='execution', method=None, action=None, name=None)",
        [("stage", "execution"), ("method", None), ("action", None), ("name", None)],
        "Deny any write whose `field` is one of `values` (e.g. a locked bucket or table)."),
    "restrict_scope": (
        "(allowed, *, field='scope', stage='execution', method=None, action=None, name=None)",
        [("field", "scope"), ("stage", "execution"), ("method", None), ("action", None),
         ("name", None)],
        "Allow a write only when its scope starts with one of the `allowed` prefixes."),
}


@pytest.mark.parametrize("name", sorted(INTROSPECTION))
def test_signature_kwdefaults_and_doc(name):
    signature, kwdefaults, doc = INTROSPECTION[name]
    fn = getattr(library, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc
    if kwdefaults is None:
        assert fn.__kwdefaults__ is None
        return
    first = fn.__kwdefaults__
    assert type(first) is dict and list(first.items()) == kwdefaults
    # Each access gives a new dict: changing one changes nothing.
    first[kwdefaults[0][0]] = "changed"
    first["extra"] = 1
    second = fn.__kwdefaults__
    assert second is not first
    assert list(second.items()) == kwdefaults


@pytest.mark.parametrize("name", sorted(INTROSPECTION))
def test_help_shows_signature_and_docstring(name):
    _, _, doc = INTROSPECTION[name]
    shown = pydoc.plaintext.document(getattr(library, name))
    assert shown.startswith(name + "(")
    assert (doc or "") in shown


def test_changing_a_kwdefaults_copy_leaves_the_default_in_force():
    library.spend_cap.__kwdefaults__["field"] = "total"
    rule = library.spend_cap(10)
    assert rule.fn({"amount": 50, "total": 0}) == "BLOCK"


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
@pytest.mark.parametrize("bad", [None, 3, b"name"])
def test_name_attributes_take_strings_only(attr, bad):
    fn = library.spend_cap(10).fn
    class Name(str):
        pass
    setattr(fn, attr, "renamed")
    assert getattr(fn, attr) == "renamed"
    setattr(fn, attr, Name("sub"))
    assert getattr(fn, attr) == "sub"
    message = f"{attr} must be set to a string object"
    with pytest.raises(TypeError, match=re.escape(message)):
        setattr(fn, attr, bad)
    with pytest.raises(TypeError, match=re.escape(message)):
        delattr(fn, attr)
    assert getattr(fn, attr) == "sub"


def test_repr_follows_qualname_and_module_attributes_are_settable(monkeypatch):
    fn = library.deny_list("f", [1]).fn
    fn.__qualname__ = "policy.locked"
    assert repr(fn).startswith("<function policy.locked at 0x")
    fn.__module__ = "policies"
    fn.__doc__ = "Locked buckets."
    assert (fn.__module__, fn.__doc__) == ("policies", "Locked buckets.")
    # Module functions too, and only the one changed.
    monkeypatch.setattr(library.spend_cap, "__doc__", "patched")
    assert library.spend_cap.__doc__ == "patched"
    assert library.flag_over.__doc__ == INTROSPECTION["flag_over"][2]
    assert library.spend_cap(1).fn.__doc__ is None


def test_function_attributes_live_in_dict():
    fn = library.on_charge().where
    assert fn.__dict__ == {}
    fn.owner = "billing"
    assert fn.owner == "billing" and fn.__dict__ == {"owner": "billing"}
    fn.__dict__["tag"] = 2
    assert fn.tag == 2
    del fn.owner
    assert fn.__dict__ == {"tag": 2}
    with pytest.raises(AttributeError):
        del fn.owner
    with pytest.raises(AttributeError):
        fn.owner
    fn.__dict__ = {"fresh": True}
    assert fn.fresh is True
    with pytest.raises(TypeError):
        fn.__dict__ = []
    # Another function of the same kind has a dict of its own.
    assert library.on_charge().where.__dict__ == {}


def test_binds_as_a_method_on_a_class():
    rule = library.spend_cap(10)

    class Event(dict):
        lookup = library._get
        verdict = rule.fn

    event = Event(amount=50)
    assert Event.lookup is library._get
    assert Event.__dict__["verdict"] is rule.fn
    assert event.lookup("amount") == 50
    assert event.verdict() == "BLOCK"
    assert Event(amount=5).verdict() == "ALLOW"
    bound = event.verdict
    assert bound.__self__ is event and bound.__func__ is rule.fn


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_module_functions_pickle_by_name(protocol):
    for name in MODULE_FUNCTIONS:
        fn = getattr(library, name)
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(library.spend_cap) is library.spend_cap
    assert copy.deepcopy(library.spend_cap) is library.spend_cap


@pytest.mark.parametrize("factory", sorted(ONE_EVENT))
def test_one_event_functions_do_not_pickle(factory):
    fn = ONE_EVENT[factory]()
    with pytest.raises((pickle.PicklingError, AttributeError), match="local object"):
        pickle.dumps(fn)


@pytest.mark.parametrize("factory", sorted(ONE_EVENT))
def test_one_event_function_is_small_and_weak_referenceable(factory):
    fn = ONE_EVENT[factory]()
    assert sys.getsizeof(fn) <= 88
    ref, held = weakref.ref(fn), weakref.WeakSet([fn, library.spend_cap])
    assert ref() is fn and len(held) == 2
    del fn
    assert ref() is None and list(held) == [library.spend_cap]


class Box:
    """A captured object that can refer back to the rule built over it."""


def test_cycle_through_a_captured_object_is_collected():
    box = Box()
    rule = library.spend_cap(box)
    box.fn = rule.fn
    assert box in gc.get_referents(rule.fn)
    alive = weakref.ref(box)
    del box, rule
    gc.collect()
    assert alive() is None


def test_cycle_through_a_captured_list_is_collected():
    verdict = [Box()]
    rule = library.deny_list("f", ["x"], verdict=verdict)
    verdict.append(rule.fn)
    assert rule.fn({"f": "x"}) is verdict
    assert gc.is_tracked(rule.fn)
    assert verdict in gc.get_referents(rule.fn)
    alive = weakref.ref(verdict[0])
    del verdict, rule
    gc.collect()
    assert alive() is None


def test_captures_are_held_by_the_function_alone():
    limit = Box()
    before = sys.getrefcount(limit)
    rules = [library.spend_cap(limit) for _ in range(10)]
    assert sys.getrefcount(limit) == before + 10
    del rules
    assert sys.getrefcount(limit) == before


# ---------------------------------------------------------------- arguments

def event_fn():
    return library.spend_cap(10).fn


ARGUMENT_ERRORS = [
    (lambda: library._get({}), "_get() takes exactly 2 positional arguments (1 given)"),
    (lambda: library._get({}, "a", "b"), "_get() takes exactly 2 positional arguments (3 given)"),
    (lambda: library._get({}, "a", extra=1), "_get() got an unexpected keyword argument 'extra'"),
    (lambda: library._get({}, "a", event={}),
     "_get() got multiple values for keyword argument 'event'"),
    (lambda: library.spend_cap(), "spend_cap() takes exactly 1 positional argument (0 given)"),
    (lambda: library.spend_cap(1, "amount"),
     "spend_cap() takes exactly 1 positional argument (2 given)"),
    (lambda: library.deny_list(values=1), "deny_list() takes exactly 2 positional arguments (0 given)"),
    (lambda: library.deny_list("f"), "deny_list() takes exactly 2 positional arguments (1 given)"),
    (lambda: library.deny_list(values=1, bogus=2),
     "deny_list() takes exactly 2 positional arguments (0 given)"),
    (lambda: library.deny_list(1, [2], field=3),
     "deny_list() got multiple values for keyword argument 'field'"),
    (lambda: library.allow_list("f", [1], "FLAG"),
     "allow_list() takes exactly 2 positional arguments (3 given)"),
    (lambda: library.require_fields(fields=["a"]),
     "require_fields() got an unexpected keyword argument 'fields'"),
    (lambda: library.on_charge("spend_decision"),
     "on_charge() takes exactly 0 positional arguments (1 given)"),
    (lambda: library.on_write(None, "execution"),
     "on_write() takes exactly 0 positional arguments (2 given)"),
    (lambda: library.cap_charges(), "cap_charges() takes exactly 1 positional argument (0 given)"),
    (lambda: library.flag_over(1, limit=2),
     "flag_over() got multiple values for keyword argument 'limit'"),
    (lambda: library.scope_fence(["a"], "scope"),
     "scope_fence() takes exactly 1 positional argument (2 given)"),
    (lambda: library.flag_large_charges(field="amount"),
     "flag_large_charges() takes exactly 1 positional argument (0 given)"),
    (lambda: library.deny_writes_to("f", [1], "PUT"),
     "deny_writes_to() takes exactly 2 positional arguments (3 given)"),
    (lambda: library.restrict_scope(allowed=["a"], scopes=["b"]),
     "restrict_scope() got an unexpected keyword argument 'scopes'"),
    (lambda: event_fn()(), "<lambda>() takes exactly 1 positional argument (0 given)"),
    (lambda: event_fn()({}, {}), "<lambda>() takes exactly 1 positional argument (2 given)"),
    (lambda: event_fn()({}, ev={}), "<lambda>() got multiple values for keyword argument 'ev'"),
    (lambda: event_fn()(ev={}, x=1), "<lambda>() got an unexpected keyword argument 'x'"),
    (lambda: library.on_charge().where(), "<lambda>() takes exactly 1 positional argument (0 given)"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_match_by_equality_as_well_as_identity():
    class Key(str):
        pass

    built = "".join(["fi", "eld"])
    assert built == "field" and built is not sys.intern(built)
    event = {"a": 1, "kwargs": {"b": 2}}
    assert library._get(**{Key("event"): event, Key("field"): "a"}) == 1
    assert library._get(event, **{built: "b"}) == 2
    assert event_fn()(**{Key("ev"): {"amount": 11}}) == "BLOCK"
    assert event_fn()(ev={"amount": 11}) == "BLOCK"
    assert event_fn()(**{"".join(["e", "v"]): {"amount": 9}}) == "ALLOW"
    assert library.on_charge().where(ev={"action_type": "charge"}) is True
    rule = library.require_fields("a", **{Key("verdict"): "FLAG"})
    assert rule.fn({}) == "FLAG"
    assert library.on_charge(**{Key("action_type"): "refund"}).where({"action_type": "refund"})


def test_require_fields_takes_any_number_of_positionals():
    assert library.require_fields().name == "require:"
    assert library.require_fields(*"abcdefghij").name == "require:" + ",".join("abcdefghij")


# Python functions with the same parameters bind the same calls; the wording
# of the errors is the module's own.
REFERENCE_VALUES = {"event": {"f": 1}, "field": "f", "values": [1], "verdict": "FLAG",
                    "limit": 5, "allowed": ["a"], "stage": "s", "method": "PUT",
                    "action": None, "name": "n", "action_type": "charge", "fields": "x"}
BINDING_TARGETS = ["_get", "spend_cap", "deny_list", "require_fields", "on_write",
                   "deny_writes_to", "restrict_scope"]


def expected_error(name, nargs, keywords):
    params = inspect.signature(getattr(library, name)).parameters.values()
    positional = [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    varargs = any(p.kind is p.VAR_POSITIONAL for p in params)
    kwonly = [p.name for p in params if p.kind is p.KEYWORD_ONLY]
    n = len(positional)
    count = f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'}"
    if nargs > n and not varargs:
        return f"{count} ({nargs} given)"
    for i in range(nargs, n):
        if positional[i] not in keywords:
            return f"{count} ({i} given)"
    for key in keywords:
        if key in positional[:nargs]:
            return f"{name}() got multiple values for keyword argument '{key}'"
        if key not in positional and key not in kwonly:
            return f"{name}() got an unexpected keyword argument '{key}'"
    return None


@settings(max_examples=150, deadline=None)
@given(
    name=st.sampled_from(BINDING_TARGETS),
    nargs=st.integers(0, 4),
    keywords=st.lists(st.sampled_from(sorted(REFERENCE_VALUES) + ["bogus"]), unique=True,
                      max_size=4),
)
def test_binding_matches_python_rules(name, nargs, keywords):
    fn = getattr(library, name)
    positional = [p.name for p in inspect.signature(fn).parameters.values()
                  if p.kind is p.POSITIONAL_OR_KEYWORD]
    args = [REFERENCE_VALUES[p] for p in positional][:nargs]
    args += ["x"] * (nargs - len(args))
    kwargs = {k: REFERENCE_VALUES.get(k, 0) for k in keywords}
    try:
        inspect.signature(fn).bind(*args, **kwargs)
        python_accepts = True
    except TypeError:
        python_accepts = False
    expected = expected_error(name, nargs, keywords)
    assert (expected is None) == python_accepts
    if expected is None:
        fn(*args, **kwargs)
    else:
        with pytest.raises(TypeError) as info:
            fn(*args, **kwargs)
        assert str(info.value) == expected
