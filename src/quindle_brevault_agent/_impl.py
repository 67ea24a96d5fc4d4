"""The host policy layer: rules, triggers, behaviours and their evaluation.

``quindle_brevault_agent.library`` builds its rules and behaviours through the
three factories here (``rule``, ``trigger``, ``behaviour``); ``check_rule`` and
``check_behaviour`` run what they return against events.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator, NamedTuple

__all__ = [
    "Rule",
    "Trigger",
    "Behaviour",
    "rule",
    "trigger",
    "behaviour",
    "check_rule",
    "check_behaviour",
    "Hit",
    "Decision",
    "Policy",
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


# The factories run for every rule and behaviour a policy builds. They fill
# the slots directly instead of going through the frozen dataclasses'
# __init__, which pays for an object.__setattr__ call per field; the objects
# made are the same.
_new = object.__new__


def _slot_setter(cls: type, field: str) -> Callable[[Any, Any], None]:
    setter: Callable[[Any, Any], None] = vars(cls)[field].__set__
    return setter


_set_rule_name = _slot_setter(Rule, "name")
_set_rule_fn = _slot_setter(Rule, "fn")
_set_trigger_stage = _slot_setter(Trigger, "stage")
_set_trigger_where = _slot_setter(Trigger, "where")
_set_behaviour_name = _slot_setter(Behaviour, "name")
_set_behaviour_on = _slot_setter(Behaviour, "on")
_set_behaviour_rule = _slot_setter(Behaviour, "rule")
_set_behaviour_action = _slot_setter(Behaviour, "action")


def rule(name: Any, fn: Callable[[Any], Any]) -> Rule:
    """Make a named rule from a one-event function."""
    made: Rule = _new(Rule)
    _set_rule_name(made, name)
    _set_rule_fn(made, fn)
    return made


def trigger(*, stage: Any, where: Callable[[Any], Any] | None = None) -> Trigger:
    """Make a trigger for `stage`, optionally filtered by `where(event)`."""
    made: Trigger = _new(Trigger)
    _set_trigger_stage(made, stage)
    _set_trigger_where(made, where)
    return made


def behaviour(name: Any, *, on: Trigger, rule: Rule, action: Any = None) -> Behaviour:
    """Join a trigger and a rule into a named behaviour."""
    made: Behaviour = _new(Behaviour)
    _set_behaviour_name(made, name)
    _set_behaviour_on(made, on)
    _set_behaviour_rule(made, rule)
    _set_behaviour_action(made, action)
    return made


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


# How severe each standard verdict is. Anything else a rule returns, a caller's
# own verdict object included, ranks with BLOCK: it is never read as allowing.
_RANK = {"ALLOW": 0, "FLAG": 1, "BLOCK": 2}
_BLOCK_RANK = 2


def _rank(verdict: Any) -> int:
    """How severe `verdict` is: 0 for ALLOW, 1 for FLAG, 2 for BLOCK or anything else."""
    if isinstance(verdict, str):
        return _RANK.get(verdict, _BLOCK_RANK)
    return _BLOCK_RANK


class Hit(NamedTuple):
    """An applied behaviour whose verdict is not ALLOW: its name, its rule's name, the verdict."""

    behaviour: Any
    rule: Any
    verdict: Any


@dataclass(frozen=True, slots=True)
class Decision:
    """What a policy decided on one event.

    `verdict` is the most severe verdict among the behaviours that applied
    (BLOCK over FLAG over ALLOW, "ALLOW" when none applied). A verdict that is
    none of the three ranks with BLOCK and is kept as it is; among verdicts of
    the same rank the first in policy order is the decision's. `hits` holds a
    `Hit` for each applied behaviour whose verdict is not ALLOW, in policy order.
    """

    verdict: Any
    hits: tuple[Hit, ...] = ()

    @property
    def blocked(self) -> bool:
        """True when the verdict is BLOCK or a verdict that ranks with it."""
        return _rank(self.verdict) == _BLOCK_RANK


@dataclass(frozen=True, slots=True, init=False)
class Policy:
    """An ordered, immutable collection of behaviours, evaluated as a whole.

    ``Policy(behaviours)`` takes any iterable of `Behaviour` and keeps them as
    a tuple, in order. A behaviour's `action` must be None or a callable.
    """

    behaviours: tuple[Behaviour, ...]

    def __init__(self, behaviours: Iterable[Behaviour]) -> None:
        items = tuple(behaviours)
        for index, item in enumerate(items):
            if not isinstance(item, Behaviour):
                raise TypeError(
                    f"policy item {index} is a {type(item).__name__}, not a Behaviour"
                )
            if item.action is not None and not callable(item.action):
                raise TypeError(
                    f"behaviour {item.name!r}: action must be callable or None, "
                    f"not {type(item.action).__name__}"
                )
        object.__setattr__(self, "behaviours", items)

    def __iter__(self) -> Iterator[Behaviour]:
        return iter(self.behaviours)

    def __len__(self) -> int:
        return len(self.behaviours)

    def evaluate(self, event: Any, *, stage: Any) -> Decision:
        """Check every behaviour against `event` and return the `Decision`.

        A behaviour applies under the same conditions as in `check_behaviour`:
        `stage` None checks every behaviour, otherwise only those whose trigger
        stage equals `stage`, and a trigger's `where` predicate must be true
        for `event`. An applied behaviour's verdict is whatever its rule
        returns, None included (None then ranks with BLOCK, like any verdict
        that is not one of the three).

        Actions: once the decision is made, the `action` of each applied
        behaviour whose verdict is not ALLOW is called as
        ``action(event, verdict)``, in policy order; its return value is
        ignored and an action of None means no action.

        Errors raised by a trigger predicate, a rule or an action propagate
        unchanged. A rule error leaves no action called; an action error
        leaves the later actions uncalled.
        """
        hits: list[Hit] = []
        actions: list[tuple[Callable[[Any, Any], Any], Any]] = []
        verdict: Any = "ALLOW"
        worst = 0
        for item in self.behaviours:
            on = item.on
            if stage is not None and stage != on.stage:
                continue
            if on.where is not None and not on.where(event):
                continue
            rule_ = item.rule
            result = rule_.fn(event)
            rank = _rank(result)
            if rank == 0:
                continue
            hits.append(Hit(item.name, rule_.name, result))
            if rank > worst:
                worst = rank
                verdict = result
            if item.action is not None:
                actions.append((item.action, result))
        decision = Decision(verdict, tuple(hits))
        for action, result in actions:
            action(event, result)
        return decision
