"""Global names used by the module's functions are looked up at each call: the
module namespace first, then the builtins; a change to either takes effect at
the very next call, however many calls have gone before."""

import builtins

import pytest

import quindle_brevault_agent.library as library
from quindle_brevault_agent._impl import Behaviour, Rule, Trigger

# The functions themselves, so that a probe still runs with the namespace emptied.
F = {name: getattr(library, name) for name in library.__all__}
REPEAT = 50
EVENT = {"amount": 1, "f": 1, "scope": "x", "action_type": "charge", "method": "PUT"}


class Marker:
    def __init__(self, tag):
        self.tag = tag


def which(result):
    """Who made `result`: the tag of a stand-in, or "original"."""
    if isinstance(result, Marker):
        return result.tag
    assert isinstance(result, (Rule, Trigger, Behaviour)), result
    return "original"


def rules():
    return [F["spend_cap"](10), F["flag_over"](10), F["deny_list"]("f", [2]),
            F["allow_list"]("f", [1]), F["require_fields"]("amount"),
            F["scope_fence"](["x"])]


class GetProbe:
    """Evaluates every kind of rule; a stand-in `_get` logs its tag."""

    def __init__(self, built_after):
        self.log = []
        self.existing = None if built_after else rules()

    def fake(self, tag):
        def _get(event, field):
            self.log.append(tag)
            return event[field]
        return _get

    def __call__(self):
        found = []
        for rule in self.existing or rules():
            del self.log[:]
            rule.fn(EVENT)
            found.append(self.log[0] if self.log else "original")
        return tuple(found)


class FactoryProbe:
    """Calls every function that looks `name` up; a stand-in returns a Marker."""

    def __init__(self, calls):
        self.calls = calls

    def fake(self, tag):
        return lambda *args, **kwargs: Marker(tag)

    def __call__(self):
        return tuple(which(call()) for call in self.calls)


PROBES = {
    "_get existing rules": ("_get", lambda: GetProbe(built_after=False)),
    "_get new rules": ("_get", lambda: GetProbe(built_after=True)),
    "rule": ("rule", lambda: FactoryProbe([
        lambda: F["spend_cap"](1), lambda: F["flag_over"](1),
        lambda: F["deny_list"]("f", [1]), lambda: F["allow_list"]("f", [1]),
        lambda: F["require_fields"]("a"), lambda: F["scope_fence"](["a"])])),
    "trigger": ("trigger", lambda: FactoryProbe([
        lambda: F["on_charge"](), lambda: F["on_write"](),
        lambda: F["on_write"](method="PUT")])),
    "behaviour": ("behaviour", lambda: FactoryProbe([
        lambda: F["cap_charges"](1), lambda: F["flag_large_charges"](1),
        lambda: F["deny_writes_to"]("f", [1]), lambda: F["restrict_scope"](["a"])])),
    "spend_cap": ("spend_cap", lambda: FactoryProbe([lambda: F["cap_charges"](1).rule])),
    "flag_over": ("flag_over", lambda: FactoryProbe(
        [lambda: F["flag_large_charges"](1).rule])),
    "deny_list": ("deny_list", lambda: FactoryProbe(
        [lambda: F["deny_writes_to"]("f", [1]).rule])),
    "scope_fence": ("scope_fence", lambda: FactoryProbe(
        [lambda: F["restrict_scope"](["a"]).rule])),
    "on_charge": ("on_charge", lambda: FactoryProbe(
        [lambda: F["cap_charges"](1).on, lambda: F["flag_large_charges"](1).on])),
    "on_write": ("on_write", lambda: FactoryProbe(
        [lambda: F["deny_writes_to"]("f", [1]).on,
         lambda: F["restrict_scope"](["a"]).on])),
}


def expect(probe, tag, repeat=REPEAT):
    """The first call after a change, then many more, all see `tag`."""
    for _ in range(repeat):
        found = probe()
        assert set(found) == {tag}, found


def expect_name_error(probe, name, repeat=5):
    for _ in range(repeat):
        with pytest.raises(NameError) as info:
            probe()
        assert str(info.value) == f"name '{name}' is not defined"


@pytest.fixture(autouse=True)
def no_builtin_shadows():
    for name, _ in PROBES.values():
        assert not hasattr(builtins, name)


@pytest.mark.parametrize("case", PROBES)
def test_every_change_takes_effect_at_the_next_call(case, monkeypatch):
    name, make_probe = PROBES[case]
    probe = make_probe()
    namespace = vars(library)
    original = namespace[name]

    expect(probe, "original")
    monkeypatch.setitem(namespace, name, probe.fake("mod1"))
    expect(probe, "mod1")
    monkeypatch.setitem(namespace, name, probe.fake("mod2"))
    expect(probe, "mod2")
    # A builtin of the same name is shadowed while the module has one.
    monkeypatch.setattr(builtins, name, probe.fake("blt1"), raising=False)
    expect(probe, "mod2")
    monkeypatch.delitem(namespace, name)
    expect(probe, "blt1")
    monkeypatch.setattr(builtins, name, probe.fake("blt2"))
    expect(probe, "blt2")
    monkeypatch.setattr(builtins, name, original)
    expect(probe, "original")
    monkeypatch.delattr(builtins, name)
    expect_name_error(probe, name)
    monkeypatch.setattr(builtins, name, probe.fake("blt1"), raising=False)
    expect(probe, "blt1")
    monkeypatch.setitem(namespace, name, original)
    expect(probe, "original")
    monkeypatch.setitem(namespace, name, probe.fake("mod1"))
    monkeypatch.delattr(builtins, name)
    expect(probe, "mod1")
    monkeypatch.delitem(namespace, name)
    expect_name_error(probe, name)
    monkeypatch.setitem(namespace, name, original)
    expect(probe, "original")


def mutations(name, fake, original):
    """Ways of changing the two namespaces, each with the outcome that follows."""
    module = vars(library)
    saved = {}
    yield lambda: setattr(library, name, fake("setattr")), "setattr"
    yield lambda: module.update({name: fake("update")}), "update"
    yield lambda: module.__setitem__(name, original), "original"
    yield lambda: delattr(library, name), NameError
    yield lambda: module.setdefault(name, fake("setdefault")), "setdefault"
    yield lambda: module.pop(name), NameError
    yield lambda: vars(builtins).update({name: fake("builtins")}), "builtins"
    yield lambda: vars(builtins).pop(name), NameError
    yield lambda: module.update({name: original}), "original"
    yield lambda: (saved.update(module), module.clear()), "cleared"
    yield lambda: module.update(saved), "original"


@pytest.mark.parametrize("case", PROBES)
def test_changes_by_any_dict_operation_are_seen(case):
    name, make_probe = PROBES[case]
    probe = make_probe()
    module = vars(library)
    snapshot = dict(module)
    try:
        for change, outcome in mutations(name, probe.fake, snapshot[name]):
            change()
            if outcome is NameError:
                expect_name_error(probe, name, repeat=2)
            elif outcome == "cleared":
                with pytest.raises(NameError, match="^name '[a-z_]+' is not defined$"):
                    probe()
            else:
                expect(probe, outcome, repeat=3)
    finally:
        module.update(snapshot)
        vars(builtins).pop(name, None)
    expect(probe, "original", repeat=1)
