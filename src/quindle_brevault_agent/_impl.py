"""The host policy layer: rules, triggers, behaviours and their evaluation.

``quindle_brevault_agent.library`` builds its rules and behaviours through the
three factories here (``rule``, ``trigger``, ``behaviour``); ``check_rule`` and
``check_behaviour`` run what they return against events.
"""

from __future__ import annotations

import reprlib
from dataclasses import FrozenInstanceError, dataclass
from typing import Any, Callable, Iterable, Iterator, Self

from . import _engine

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


# ---------------------------------------------------------------- reading triggers

# The library's trigger predicates, by qualified name: the event field that
# each compares with the one value it captured (``ev.get(field) == value``).
TRIGGER_CAPTURES: dict[str, str] = {
    "on_charge.<locals>.<lambda>": "action_type",
    "on_write.<locals>.<lambda>": "method",
}


def qualname_of(fn: Any) -> str | None:
    """``fn.__qualname__`` when it is a string, else None."""
    try:
        name = fn.__qualname__
    except Exception:
        return None
    return name if isinstance(name, str) else None


def captured(fn: Any, names: tuple[str, ...]) -> dict[str, Any] | None:
    """The values `fn` captured, by `names`; None when it does not show them."""
    try:
        cells = fn.__closure__
        if not isinstance(cells, tuple) or len(cells) != len(names):
            return None
        return {name: cell.cell_contents for name, cell in zip(names, cells)}
    except Exception:  # no closure, or an empty cell
        return None


def condition_of(where: Any) -> Any:
    """What a trigger's `where` waits for: None when there is no predicate (every
    event of its stage), ``(field, value)`` for one of the library's (an event
    whose `field` equals `value`: ``("action_type", "charge")``, ``("method",
    "put")``), else the predicate itself, which cannot be read."""
    if where is None:
        return None
    field = TRIGGER_CAPTURES.get(qualname_of(where) or "")
    if field is not None:
        values = captured(where, (field,))
        if values is not None:
            return (field, values[field])
    return where


# ---------------------------------------------------------------- reading rules

# The library's rule functions, by qualified name: the factory that made the
# function and the names of its captured values, in the order of its cells.
RULE_CAPTURES: dict[str, tuple[str, tuple[str, ...]]] = {
    "spend_cap.<locals>.<lambda>": ("spend_cap", ("field", "limit")),
    "flag_over.<locals>.<lambda>": ("flag_over", ("field", "limit")),
    "deny_list.<locals>.<lambda>": ("deny_list", ("field", "vals", "verdict")),
    "allow_list.<locals>.<lambda>": ("allow_list", ("field", "vals", "verdict")),
    "scope_fence.<locals>.<lambda>": ("scope_fence", ("field", "prefixes")),
    "require_fields.<locals>.<lambda>": ("require_fields", ("req", "verdict")),
    # The host's own, from quindle_brevault_agent.asking.
    "ask_over.<locals>.<lambda>": ("ask_over", ("field", "limit")),
}


def rule_reading(fn: Any) -> tuple[str | None, dict[str, Any] | None]:
    """``(factory, captured values by name)`` for a rule function of the
    library's (``("spend_cap", {"field": "amount", "limit": 500})``);
    ``(factory, None)`` when it does not show its values, ``(None, None)`` for
    a function of the caller's own."""
    kind, names = RULE_CAPTURES.get(qualname_of(fn) or "", (None, ()))
    if kind is None:
        return None, None
    return kind, captured(fn, names)


SHOWN_LENGTH = 60  # characters of a field or a value that a description shows
_shortened_repr = reprlib.Repr(maxstring=SHOWN_LENGTH, maxother=SHOWN_LENGTH, maxlong=SHOWN_LENGTH).repr


def _shortened(text: str) -> str:
    return text if len(text) <= SHOWN_LENGTH else text[: SHOWN_LENGTH - 3] + "..."


def _value_text(value: Any) -> str:
    """A value as a description shows it: its repr, shortened."""
    cls = value.__class__
    if cls is int or cls is float or (cls is str and len(value) <= SHOWN_LENGTH):
        text = repr(value)
        if len(text) <= SHOWN_LENGTH:
            return text
    return _shortened(_shortened_repr(value))


def _field_text(field: Any) -> str:
    """A field as a description names it: a plain one by itself, any other by its repr."""
    if field.__class__ is str and field.isprintable() and field:
        return _shortened(field)
    return _shortened(_shortened_repr(field))


def rule_reader(fn: Any) -> Callable[[Any], str | None] | None:
    """For a rule function of the library's whose values can be read, a
    function that says what the rule reads in an event: ``amount=900`` (the
    field and the value, as the rule reads it: at the top level, else under
    ``kwargs``), ``scope missing``, or for ``require_fields`` the fields it
    finds missing, ``payee, currency missing``; None when there is nothing
    to say or the reading raises. None for any other function."""
    kind, params = rule_reading(fn)
    if params is None:
        return None
    from . import library

    module = library
    if kind == "require_fields":
        required = params["req"]
        if not isinstance(required, tuple):
            return None
        shown = [(field, _field_text(field)) for field in required]

        def missing(event: Any) -> str | None:
            try:
                get = module._get
                absent = [text for field, text in shown if get(event, field) is None]
            except Exception:
                return None
            return ", ".join(absent) + " missing" if absent else None

        return missing
    field = params["field"]
    name = _field_text(field)

    def value(event: Any) -> str | None:
        try:
            seen = module._get(event, field)
            if seen is None:
                return name + " missing"
            return name + "=" + _value_text(seen)
        except Exception:
            return None

    return value


def hit_details(behaviours: Iterable[Any], hits: Iterable[Any], event: Any) -> list[str | None]:
    """What the rule of each hit read in `event` (see `rule_reader`). A hit
    is traced to its behaviour by the name and the rule name it holds, the
    very objects of the behaviour; where several behaviours hold them and
    their rules read differently, or nothing can be read, it is None."""
    items = tuple(behaviours)
    details: list[str | None] = []
    for hit in hits:
        said: Any = _UNSAID
        try:
            for item in items:
                if item.name is not hit[0] or item.rule.name is not hit[1]:
                    continue
                reader = rule_reader(item.rule.fn)
                text = None if reader is None else reader(event)
                if said is _UNSAID:
                    said = text
                elif said != text:
                    said = None
                    break
        except Exception:  # a behaviour of the caller's own that will not be read
            said = None
        details.append(None if said is _UNSAID else said)
    return details


_UNSAID: Any = object()


def _may_apply(on: Any, stage: Any, fields: dict[str, Any], every_stage: bool = False) -> bool:
    """Whether the trigger `on` can apply at `stage` to an event whose fields
    are `fields` (at every stage, for a limit of stage None); a question it
    cannot answer counts as yes."""
    try:
        # Compared as the evaluation compares: the stage on the left, with !=.
        if stage is not None and not every_stage and stage != on.stage:
            return False
        condition = condition_of(on.where)
        if condition is None:
            return True
        if isinstance(condition, tuple):
            field, wanted = condition
            return bool(fields[field] == wanted)
    except Exception:
        pass
    return True


# How severe each standard verdict is. Anything else a rule returns, a caller's
# own verdict object included, ranks with BLOCK: it is never read as allowing.
_RANK = {"ALLOW": 0, "FLAG": 1, "ASK": 2, "BLOCK": 3}
_BLOCK_RANK = 3


def _rank(verdict: Any) -> int:
    """How severe `verdict` is: 0 for ALLOW, 1 for FLAG, 2 for ASK, 3 for BLOCK or anything else."""
    if isinstance(verdict, str):
        return _RANK.get(verdict, _BLOCK_RANK)
    return _BLOCK_RANK


# The evaluation is native: `Decision` and `Hit` are the engine's own types,
# and `Policy` is a Python class over the engine's base type, so that
# `policy.evaluate` is one C call.
Hit = _engine.Hit
Decision = _engine.Decision


class Policy(_engine.Engine):
    """An ordered, immutable collection of behaviours, evaluated as a whole.

    ``Policy(behaviours)`` takes any iterable of `Behaviour` and keeps them as
    a tuple, in order. A behaviour's `action` must be None or a callable.
    What each behaviour's evaluation needs is read once, here.

    ``policy.evaluate(event, stage=...)`` returns the `Decision`;
    ``policy.evaluator(stage=...)`` returns the same evaluation at one stage
    as a one-event callable; ``policy.applicable(stage, action_type=...,
    method=...)`` tells which behaviours can apply to such events at all.

    The windows of the policy's limits (`quindle_brevault_agent.limits`) are
    kept in `store` (a new `MemoryStore` when None) by the time that `clock`
    tells, in seconds (`time.time` when None); ``policy.refund(decision)``
    takes back what a decision admitted. A decision that asks a person first
    (``needs_approval``) admits nothing: ``policy.admit(decision)``, once
    the person approved, admits what it holds and returns the decision to
    act on.
    """

    __slots__ = ()
    __match_args__ = ("behaviours",)

    def __new__(cls, behaviours: Iterable[Behaviour], *, store: Any = None, clock: Any = None) -> Self:
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
        if store is None and clock is None:
            return super().__new__(cls, items)
        return super().__new__(cls, items, store, clock)

    @property
    def store(self) -> Any:
        """Where the windows of the policy's limits are kept; None without limits."""
        limits = self.limits
        return None if limits is None else limits.store

    @property
    def clock(self) -> Any:
        """What tells the time for the policy's limits; None without limits."""
        limits = self.limits
        return None if limits is None else limits.clock

    def refund(self, decision: Decision) -> None:
        """Takes back what `decision` admitted to the policy's limits, once; a
        decision that admitted nothing is left as it is."""
        limits = self.limits
        if limits is not None:
            limits.refund(decision)

    def admit(self, decision: Decision) -> Decision:
        """Admits to the policy's limits what `decision`, one that asked a
        person first, holds, now that the person approved it: the decision to
        act on, blocked when a limit no longer fits (then nothing is
        admitted). Admitted once: a second call returns the same decision; one
        that holds nothing to admit is returned as it is."""
        limits = self.limits
        return decision if limits is None else limits.admit(decision)

    @property
    def stages(self) -> frozenset[Any]:
        """The trigger stages of the behaviours, None included if a trigger has it."""
        return frozenset(item.on.stage for item in self.behaviours)

    def applicable(self, stage: Any, *, action_type: Any = None, method: Any = None) -> tuple[Behaviour, ...]:
        """The behaviours, in policy order, that can apply at `stage` to an event
        whose "action_type" and "method" fields are `action_type` and `method`
        (None: the event has no such field, as ``event.get`` reads it).

        A trigger's stage must equal `stage`, as for `evaluate` (a `stage` of
        None matches every trigger). The predicates of the library's triggers
        are read through what they captured: `on_charge` waits for an
        action_type, `on_write` for a method. Any other predicate, or a value
        that will not compare, counts as one that may apply.
        """
        fields = {"action_type": action_type, "method": method}
        return tuple(
            item for item in self.behaviours if _may_apply(item.on, stage, fields, _every_stage(item))
        )

    def __iter__(self) -> Iterator[Behaviour]:
        return iter(self.behaviours)

    def __len__(self) -> int:
        return len(self.behaviours)

    def __eq__(self, other: object) -> bool:
        if other.__class__ is self.__class__:
            return (self.behaviours,) == (other.behaviours,)
        return NotImplemented

    def __hash__(self) -> int:
        return hash((self.behaviours,))

    @reprlib.recursive_repr()
    def __repr__(self) -> str:
        return f"{self.__class__.__qualname__}(behaviours={self.behaviours!r})"

    def __setattr__(self, name: str, value: Any) -> None:
        raise FrozenInstanceError(f"cannot assign to field {name!r}")

    def __delattr__(self, name: str) -> None:
        raise FrozenInstanceError(f"cannot delete field {name!r}")

    def __reduce__(self) -> tuple[Any, ...]:
        if self.limits is None:
            return (self.__class__, (self.behaviours,))
        return (_limited_policy, (self.__class__, self.behaviours, self.store, self.clock))


def without_actions(policy: Policy) -> Policy:
    """`policy` with the same behaviours, in the same order, but no actions:
    what the commands decide with, so that checking never sets anything off.
    Its limits keep their store and clock."""
    stripped = (behaviour(item.name, on=item.on, rule=item.rule) for item in policy)
    if policy.limits is None:
        return Policy(stripped)
    return Policy(stripped, store=policy.store, clock=policy.clock)


def _every_stage(item: Any) -> bool:
    """Whether `item` is a limit of stage None, which applies at every stage."""
    try:
        return isinstance(item.rule.fn, _engine.LimitRule) and item.on.stage is None
    except Exception:
        return False


def _limited_policy(cls: type[Policy], behaviours: tuple[Behaviour, ...], store: Any, clock: Any) -> Policy:
    return cls(behaviours, store=store, clock=clock)
