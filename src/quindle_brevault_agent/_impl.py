"""The host policy layer: rules, triggers, behaviours and their evaluation.

``quindle_brevault_agent.library`` builds its rules and behaviours through the
three factories here (``rule``, ``trigger``, ``behaviour``); ``check_rule`` and
``check_behaviour`` run what they return against events.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable

__all__ = [
    "Rule",
    "Trigger",
    "Behaviour",
    "rule",
    "trigger",
    "behaviour",
    "check_rule",
    "check_behaviour",
]


@dataclass(frozen=True, slots=True)
class Rule:
    """A named one-event function that returns a verdict."""

    name: Any
    fn: Callable[[Any], Any]


@dataclass(frozen=True, slots=True)
class Trigger:
    """When a behaviour applies: a stage and an optional event predicate."""

    stage: Any
    where: Callable[[Any], Any] | None = None


@dataclass(frozen=True, slots=True)
class Behaviour:
    """A trigger joined with a rule, and what to do when the rule objects."""

    name: Any
    on: Trigger
    rule: Rule
    action: Any = None


def rule(name: Any, fn: Callable[[Any], Any]) -> Rule:
    """Make a named rule from a one-event function."""
    return Rule(name, fn)


def trigger(*, stage: Any, where: Callable[[Any], Any] | None = None) -> Trigger:
    """Make a trigger for `stage`, optionally filtered by `where(event)`."""
    return Trigger(stage, where)


def behaviour(name: Any, *, on: Trigger, rule: Rule, action: Any = None) -> Behaviour:
    """Join a trigger and a rule into a named behaviour."""
    return Behaviour(name, on, rule, action)


def check_rule(rule: Rule, event: Any) -> Any:
    """The rule's verdict on `event`."""
    return rule.fn(event)


def check_behaviour(behaviour: Behaviour, event: Any, *, stage: Any = None) -> Any:
    """The behaviour's verdict on `event`, or None when it does not apply.

    It does not apply when `stage` is given and differs from the trigger's
    stage, or when the trigger has a `where` predicate that is false for
    `event`.
    """
    on = behaviour.on
    if stage is not None and stage != on.stage:
        return None
    if on.where is not None and not on.where(event):
        return None
    return behaviour.rule.fn(event)
