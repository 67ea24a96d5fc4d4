"""The limits of a policy replayed: a fresh store and the events' own time.

Limits depend on what came before, so the commands that decide recorded
events (``replay``, ``test``, ``diff``) decide them in input order, against a
fresh `MemoryStore` (or the store ``--store`` names), by a clock that each
event sets: a decision record's own "time", else one second after the event
before it.
"""

from __future__ import annotations

import datetime
from typing import Any

from .._impl import Policy
from ..limits.stores import open_store

__all__ = ["Clock", "simulated", "record_time"]


def record_time(value: Any) -> float | None:
    """The time of a decision record (its "time", as a DecisionLog writes it)
    in seconds, or None when `value` holds none."""
    if value.__class__ is not dict or "decision_log" not in value:
        return None
    text = value.get("time")
    if text.__class__ is not str:
        return None
    try:
        when = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.UTC)
    return when.timestamp()


class Clock:
    """The time of the event being decided: set by each event in turn."""

    __slots__ = ("now",)

    def __init__(self) -> None:
        self.now: float | None = None

    def __call__(self) -> float:
        return 0.0 if self.now is None else self.now

    def advance(self, value: Any) -> None:
        """Moves to the time of the line `value`: its own, else a second on."""
        when = record_time(value)
        if when is None:
            when = 0.0 if self.now is None else self.now + 1.0
        self.now = when


def simulated(policy: Policy, store: str | None = None) -> tuple[Policy, Clock | None]:
    """`policy` deciding its limits by a `Clock` of its own, in a fresh
    MemoryStore or the store that `store` names; unchanged, with no clock,
    when it has no limits."""
    if policy.limits is None:
        return policy, None
    clock = Clock()
    return Policy(policy.behaviours, store=open_store(store or "memory"), clock=clock), clock
