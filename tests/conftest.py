"""Shared fixtures: the two implementations under test, and call recorders.

``lib`` runs a test once over the native module and once over the pure-Python
model in ``model.py``, so every behavioural expectation is checked against
both. ``record`` puts recorders on a module in place of its globals (``rule``,
``trigger``, ``behaviour``, ``_get``, the factories), for the duration of one
test, and logs every call: positional arguments, keyword names in the order
they arrived, and the order of the calls across all recorders.
"""

from __future__ import annotations

import pytest

import model
import quindle_brevault_agent.library as native


@pytest.fixture(params=[pytest.param(native, id="native"), pytest.param(model, id="model")])
def lib(request):
    return request.param


class Token:
    """What a recorder returns when it does not call through: a unique object."""

    def __init__(self, name: str, index: int) -> None:
        self.name = name
        self.index = index

    def __repr__(self) -> str:
        return f"<{self.name} result #{self.index}>"


class Call:
    def __init__(self, name, args, kwargs):
        self.name = name
        self.args = args
        self.kwargs = dict(kwargs)
        self.keywords = list(kwargs)  # the order in which the keywords arrived
        self.result = None

    def __repr__(self) -> str:
        return f"Call({self.name!r}, {self.args!r}, {self.kwargs!r})"


class CallLog:
    def __init__(self) -> None:
        self.calls: list[Call] = []

    @property
    def names(self) -> list[str]:
        return [c.name for c in self.calls]

    def only(self, name: str) -> Call:
        """The single call made to `name`."""
        found = [c for c in self.calls if c.name == name]
        assert len(found) == 1, f"{name} called {len(found)} times: {self.calls}"
        return found[0]


class Recorder:
    """A stand-in for a module global that logs each call.

    It raises `raises` if given, else calls `through` (the original) if given,
    else returns a fresh Token.
    """

    def __init__(self, name, log, *, through=None, raises=None):
        self.name = name
        self.log = log
        self.through = through
        self.raises = raises

    def __call__(self, *args, **kwargs):
        call = Call(self.name, args, kwargs)
        self.log.calls.append(call)
        if self.raises is not None:
            raise self.raises
        if self.through is not None:
            call.result = self.through(*args, **kwargs)
        else:
            call.result = Token(self.name, len(self.log.calls))
        return call.result


@pytest.fixture
def record(monkeypatch):
    """record(module, *names, through=False, raises={}) -> CallLog

    Rebinds each of `names` on `module` to a Recorder sharing one CallLog;
    with `through=True` the recorders call the module's current object.
    `raises` maps names to exceptions their recorder raises instead.
    Everything is restored after the test.
    """
    log = CallLog()

    def install(module, *names, through=False, raises=None):
        raises = raises or {}
        for name in names:
            original = getattr(module, name) if through else None
            monkeypatch.setattr(
                module, name, Recorder(name, log, through=original, raises=raises.get(name))
            )
        return log

    return install
