"""Find the traps in a policy: ``quindle-brevault-agent lint``.

    quindle-brevault-agent lint POLICY... [--format text|jsonl]

Each POLICY is a policy file (``FILE.toml``, ``FILE.json``) or a Python
policy (``FILE.py[:NAME]``, ``package.module[:NAME]``), as for the replay.
Each finding is one line on standard output,

    FILE: behaviour N (NAME): CODE message

where FILE is the POLICY as given, N the behaviour's position from 1 and NAME
its name; ``--format jsonl`` writes one JSON object per finding instead,
``{"file": F, "behaviour": N, "name": NAME, "code": CODE, "message": M}``.
Findings come in policy order, and by code within a behaviour.

The codes:

QB101  a prefix or member value of one character in a fence or list of more
       than one: a string was probably given where a list was meant
       (``scope_fence("tenants/t1/")`` fences on "t", "e", "n"...)
QB102  a scope prefix that does not end with "/", ":" or ".": the prefix
       "db/a" also admits "db/ab"
QB103  a cap, flag or ask on a field that no ``require_fields`` of a behaviour of
       the same stage asks for: an event without the field counts as 0 and
       passes
QB104  a flag limit at or above the cap limit on the same field and stage:
       the flag can never be seen alone
QB105  a limit that is NaN, infinite or negative
QB106  a behaviour with the same name as an earlier one
QB107  a behaviour that repeats an earlier one exactly: the same stage,
       trigger, rule and action
QB108  a verdict other than "ALLOW", "FLAG", "ASK" or "BLOCK" given to deny_list,
       allow_list or require_fields (a Python policy: a file refuses one):
       a verdict of one's own, which blocks
QB109  a stage one or two edits (a character inserted, removed or replaced,
       or two neighbours swapped) away from "spend_decision", "execution" or
       a stage that more behaviours of the policy use, and no further than
       one edit in four characters of its own: the message names the stage
       it probably meant (``spend_decison``: "spend_decision")
QB110  a budget without a key: one budget is shared by every agent (said
       once, on the policy's first such budget)
QB111  a rate limit or a repeat limit of 0: every event it applies to is
       refused

Behaviours of one stage are compared with care for their triggers: a trigger
without a predicate applies to every event of its stage, one of `on_charge`
to the events of its action type, one of `on_write` to those of its method.
A ``require_fields`` covers a cap (QB103), and a cap hides a flag (QB104),
only where its trigger applies to every event that the other's does.

Policy files are linted completely. For a Python policy the lint reads what
the loaded objects show: each behaviour's name, stage and action, and the
parameters of the library's rules and triggers, which show their captured
values the way a Python closure does (``fn.__closure__``, in the order of the
captured names, the function named by ``fn.__qualname__``). A check that needs
what a rule does not show is skipped for that rule.

Behaviours are compared with each other through keys of their values, so
that the lint's time grows with the policy's size, not with its square
(``benchmarks/bench_lint.py``).

Exit status: 0 when every policy is clean, 1 with any finding, 2 when a
policy does not load (the reason goes to standard error, and the other
policies are still linted) or standard output is the file of a policy (then
nothing more is written).
"""

from __future__ import annotations

import inspect
import json
import math
from dataclasses import dataclass
from typing import Any, Iterable, Iterator, Sequence

from . import _engine
from ._impl import Policy, condition_of, rule_reading
from .policy_files import (
    Call,
    Declared,
    PolicyLoadError,
    is_policy_file,
    load_policy,
    load_policy_file,
)

__all__ = ["Finding", "lint_policy", "lint_target", "render"]

SEPARATORS = "/:."

# The library's rules and triggers are read as `Policy.applicable` and the
# descriptions of refusals read them: `rule_reading` (through RULE_CAPTURES)
# and `condition_of`.

# A ready-made behaviour as the trigger and rule it makes: the trigger's
# keywords, the rule's positional arguments and its keywords, each taken from
# the behaviour's parameter of the same name.
READY_MADE_PARTS: dict[str, tuple[str, tuple[str, ...], str, tuple[str, ...], tuple[str, ...]]] = {
    "cap_charges": ("on_charge", ("stage",), "spend_cap", ("limit",), ("field",)),
    "flag_large_charges": ("on_charge", ("stage",), "flag_over", ("limit",), ("field",)),
    "deny_writes_to": ("on_write", ("method", "stage"), "deny_list", ("field", "values"), ()),
    "restrict_scope": ("on_write", ("method", "stage"), "scope_fence", ("allowed",), ("field",)),
}


@dataclass(frozen=True)
class Shape:
    """What the lint knows of one behaviour.

    `where` is None for a trigger that applies to every event of its stage,
    ``(key, value)`` for one of the library's triggers (``("action_type",
    "charge")``, ``("method", "put")``), else the predicate itself. `kind` is
    the library's rule factory that made the rule (None for a rule of the
    caller's own), and `params` its captured values by name, None when the
    rule does not show them.
    """

    index: int
    name: Any
    stage: Any
    where: Any
    kind: str | None
    params: dict[str, Any] | None
    fn: Any
    action: Any


@dataclass(frozen=True)
class Finding:
    index: int  # the behaviour's position, from 1
    name: Any
    code: str
    message: str


# ---------------------------------------------------------------- reading a policy


def _same(a: Any, b: Any) -> bool:
    """``a == b`` as a plain bool; a comparison that fails is a difference."""
    if a is b:
        return True
    try:
        return bool(a == b)
    except Exception:
        return False


def _text(value: Any, show: Any = str) -> str:
    """``str(value)`` (or `show`), for a message; a value that cannot say itself is named by its type."""
    try:
        text = show(value)
    except Exception:
        return f"<unprintable {type(value).__name__}>"
    return text if isinstance(text, str) else f"<unprintable {type(value).__name__}>"


def _limit_params(fn: Any) -> dict[str, Any]:
    """What a limit's rule shows of itself, by name."""
    return {"limit": fn.limit, "per": fn.per, "field": fn.field, "key": fn.key, "verdict": fn.verdict}


def shape_of(index: int, item: Any) -> Shape:
    """What the behaviour `item` shows of itself."""
    on = getattr(item, "on", None)
    rule = getattr(item, "rule", None)
    fn = getattr(rule, "fn", None)
    if isinstance(fn, _engine.LimitRule):
        return Shape(
            index=index,
            name=getattr(item, "name", None),
            stage=getattr(on, "stage", None),
            where=condition_of(getattr(on, "where", None)),
            kind=fn.kind,
            params=_limit_params(fn),
            fn=fn,
            action=getattr(item, "action", None),
        )
    kind, params = rule_reading(fn)
    return Shape(
        index=index,
        name=getattr(item, "name", None),
        stage=getattr(on, "stage", None),
        where=condition_of(getattr(on, "where", None)),
        kind=kind,
        params=params,
        fn=fn,
        action=getattr(item, "action", None),
    )


def _arguments(factory: str, call_args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
    """The library's `factory` called so: every parameter's value, defaults included."""
    from . import library

    bound = inspect.signature(getattr(library, factory)).bind(*call_args, **kwargs)
    bound.apply_defaults()
    return dict(bound.arguments)


def _declared_where(call: Call) -> Any:
    values = _arguments(call.factory, call.args, call.kwargs)
    if call.factory == "on_charge":
        return ("action_type", values["action_type"])
    return None if values["method"] is None else ("method", values["method"])


def _declared_params(call: Call) -> dict[str, Any]:
    """What the rule that `call` makes captures, by the names it captures them under."""
    values = _arguments(call.factory, call.args, call.kwargs)
    if call.factory in ("deny_list", "allow_list"):
        return {"field": values["field"], "vals": set(values["values"]), "verdict": values["verdict"]}
    if call.factory == "scope_fence":
        return {"field": values["field"], "prefixes": tuple(values["allowed"])}
    if call.factory == "require_fields":
        return {"req": tuple(values["fields"]), "verdict": values["verdict"]}
    return {"field": values["field"], "limit": values["limit"]}


def _parts(made: Call) -> tuple[Call, Call]:
    """The trigger and rule calls that the ready-made behaviour `made` makes."""
    trigger, trigger_keys, rule, positional, keywords = READY_MADE_PARTS[made.factory]
    values = _arguments(made.factory, made.args, made.kwargs)
    return (
        Call(trigger, (), {key: values[key] for key in trigger_keys}),
        Call(rule, tuple(values[key] for key in positional), {key: values[key] for key in keywords}),
    )


def declared_shape(index: int, item: Any, declared: Declared) -> Shape:
    """The shape of a behaviour built from a policy file, completed from what the file says."""
    shown = shape_of(index, item)
    if isinstance(shown.fn, _engine.LimitRule):
        return shown  # a limit shows all it is
    try:
        if declared.made is not None:
            on, rule = _parts(declared.made)
        else:
            assert declared.on is not None and declared.rule is not None
            on, rule = declared.on, declared.rule
        where, params = _declared_where(on), _declared_params(rule)
    except (TypeError, ValueError, AttributeError):  # a factory rebound to one of another signature
        return shown
    return Shape(
        index=index,
        name=shown.name,
        stage=shown.stage,
        where=where,
        kind=rule.factory,
        params=params,
        fn=shown.fn,
        action=shown.action,
    )


def shapes(policy: Policy, declared: Sequence[Declared] | None = None) -> list[Shape]:
    """One `Shape` per behaviour of `policy`; `declared` when it came from a policy file."""
    if declared is None:
        return [shape_of(index, item) for index, item in enumerate(policy, 1)]
    return [
        declared_shape(index, item, made)
        for index, (item, made) in enumerate(zip(policy, declared), 1)
    ]


# ---------------------------------------------------------------- the checks


def _covers(wide: Shape, narrow: Shape, unknown: bool) -> bool:
    """True when `wide` applies to every event that `narrow` applies to;
    `unknown` when a predicate of the caller's own leaves it open."""
    if not _same(wide.stage, narrow.stage):
        return False
    if wide.where is None or _same(wide.where, narrow.where):
        return True
    if isinstance(wide.where, tuple) and (narrow.where is None or isinstance(narrow.where, tuple)):
        return False
    return unknown


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _quoted(values: Iterable[Any]) -> str:
    return ", ".join(repr(v) for v in values)


def _one_character(values: Iterable[Any]) -> list[str]:
    return [v for v in values if isinstance(v, str) and len(v) == 1]


def _distinct(values: Iterable[Any]) -> list[Any]:
    kept: list[Any] = []
    seen: set[Any] = set()  # the keys of the values kept
    unkeyed: list[Any] = []  # the values kept that have none
    for value in values:
        key = _key(value)
        if key is _ODD:
            if any(_same(value, other) for other in kept):
                continue
            unkeyed.append(value)
        elif key in seen or any(_same(value, other) for other in unkeyed):
            continue
        else:
            seen.add(key)
        kept.append(value)
    return kept


def _admits(prefix: str) -> str:
    """A text that `prefix` admits although it is not under it."""
    return prefix + ("0" if prefix[-1].isdigit() else "x")


def _check_values(shape: Shape) -> Iterator[tuple[str, str]]:
    params = shape.params
    if params is None:
        return
    if shape.kind == "scope_fence":
        prefixes = params["prefixes"]
        if not isinstance(prefixes, tuple):
            return
        distinct = _distinct(prefixes)
        single = _one_character(distinct)
        if len(distinct) > 1 and single:
            noun = "prefix" if len(single) == 1 else "prefixes"
            yield "QB101", (
                f"one-character {noun} {_quoted(single)} in a fence of {len(distinct)}: "
                "a string was probably given where a list was meant"
            )
        else:
            single = []
        for prefix in distinct:
            if isinstance(prefix, str) and prefix and prefix[-1] not in SEPARATORS and prefix not in single:
                yield "QB102", (
                    f"scope prefix {prefix!r} does not end with '/', ':' or '.': "
                    f"it also admits {_admits(prefix)!r}"
                )
    elif shape.kind in ("deny_list", "allow_list"):
        vals = params["vals"]
        if not isinstance(vals, (set, frozenset)):
            return
        single = sorted(_one_character(vals))
        if len(vals) > 1 and single:
            noun = "member" if len(single) == 1 else "members"
            yield "QB101", (
                f"one-character {noun} {_quoted(single)} in a list of {len(vals)}: "
                "a string was probably given where a list was meant"
            )


_OVER = {"spend_cap": "blocked", "flag_over": "flagged", "ask_over": "asked about"}


def _check_limit(shape: Shape) -> Iterator[tuple[str, str]]:
    if shape.kind not in _OVER or shape.params is None:
        return
    limit = shape.params["limit"]
    if not _is_number(limit):
        return
    done = _OVER[shape.kind]
    if isinstance(limit, float) and math.isnan(limit):
        yield "QB105", f"limit is NaN: every event this applies to is {done}"
    elif limit == math.inf:
        yield "QB105", f"limit is infinite: no event is ever {done}"
    elif limit < 0:
        yield "QB105", (
            f"limit {_text(limit, repr)} is negative: every event this applies to is {done}, "
            f"one without {_text(shape.params['field'], repr)} included"
        )


def _asked_one_by_one(shape: Shape, others: Iterable[Shape]) -> bool:
    """Whether a require_fields behaviour among `others` that covers `shape`
    may ask for its field; an open question counts as asked for."""
    field = shape.params["field"] if shape.params is not None else None
    for other in others:
        if other.kind != "require_fields" or not _covers(other, shape, unknown=True):
            continue
        if other.params is None:
            return True  # it may ask for the field
        req = other.params["req"]
        if isinstance(req, tuple) and any(_same(field, f) for f in req):
            return True
    return False


def _check_required(shape: Shape, every: Sequence[Shape], asked: _Requirements | None = None) -> Iterator[tuple[str, str]]:
    if shape.kind not in _OVER or shape.params is None:
        return
    field = shape.params["field"]
    found = None if asked is None else asked.asked(shape)
    if found is None:
        found = _asked_one_by_one(shape, every)
    if found:
        return
    yield "QB103", (
        f"no require_fields of {_text(field, repr)} at stage {_text(shape.stage, repr)}: "
        f"an event without {_text(field, repr)} counts as 0 and passes"
    )


def _comparable_limit(shape: Shape) -> Any:
    """A finite number limit, else None: QB105 tells of the others."""
    limit = None if shape.params is None else shape.params["limit"]
    if not _is_number(limit) or (isinstance(limit, float) and not math.isfinite(limit)):
        return None
    return limit


def _hides(cap: Shape, shape: Shape, flag: Any) -> bool:
    """Whether the cap `cap` blocks every event that the flag `shape` (of limit `flag`) would flag."""
    if cap.kind != "spend_cap" or cap.params is None or shape.params is None:
        return False
    if not _covers(cap, shape, unknown=False):
        return False
    limit = _comparable_limit(cap)
    if limit is None or not _same(cap.params["field"], shape.params["field"]):
        return False
    return bool(flag >= limit)


def _check_flag_under_cap(shape: Shape, every: Sequence[Shape], caps: _Caps | None = None) -> Iterator[tuple[str, str]]:
    if shape.kind != "flag_over":
        return
    flag = _comparable_limit(shape)
    if flag is None or shape.params is None:
        return
    cap = _UNKNOWN if caps is None else caps.first_hiding(shape, flag)
    if cap is _UNKNOWN:
        cap = next((cap for cap in every if _hides(cap, shape, flag)), None)
    if cap is None:
        return
    yield "QB104", (
        f"flag limit {_text(flag, repr)} is at or above the cap limit {_text(_comparable_limit(cap), repr)} of behaviour "
        f"{cap.index} ({_text(cap.name)}) on {_text(shape.params['field'], repr)}: "
        "the flag can never be seen alone"
    )


def _repeats(shape: Shape, other: Shape) -> bool:
    if not (_same(shape.stage, other.stage) and _same(shape.where, other.where)):
        return False
    if not _same(shape.action, other.action):
        return False
    if shape.fn is other.fn:
        return True
    return (
        shape.kind is not None
        and shape.kind == other.kind
        and shape.params is not None
        and other.params is not None
        and _same(shape.params, other.params)
    )


def _check_repeats(shape: Shape, every: Sequence[Shape], earlier: _Earlier | None = None) -> Iterator[tuple[str, str]]:
    if earlier is None:
        earlier = _Earlier()
        for other in every[: shape.index - 1]:
            earlier.add(other)
    named = earlier.named(shape)
    if named is not None:
        yield "QB106", f"same name as behaviour {named.index}"
    repeated = earlier.repeated(shape)
    if repeated is not None:
        yield "QB107", (
            f"repeats behaviour {repeated.index} ({_text(repeated.name)}): "
            "same stage, trigger, rule and action"
        )


_VERDICTS = ("ALLOW", "FLAG", "ASK", "BLOCK")


def _check_verdict(shape: Shape) -> Iterator[tuple[str, str]]:
    if shape.kind not in ("deny_list", "allow_list", "require_fields") or shape.params is None:
        return
    verdict = shape.params["verdict"]
    if isinstance(verdict, str) and verdict in _VERDICTS:
        return
    yield "QB108", (
        f"verdict {_text(verdict, repr)} is not 'ALLOW', 'FLAG', 'ASK' or 'BLOCK': "
        "it is a verdict of your own, which blocks"
    )


def _check_stage(shape: Shape, misspelt: dict[str, tuple[str, int]]) -> Iterator[tuple[str, str]]:
    stage = shape.stage
    if stage.__class__ is not str or stage not in misspelt:
        return
    meant, edits = misspelt[stage]
    noun = "edit" if edits == 1 else "edits"
    yield "QB109", f"stage {stage!r} is {edits} {noun} from {meant!r}, which it probably meant"


def _shared_budget(shape: Shape) -> bool:
    return shape.kind == "budget" and shape.params is not None and not shape.params["key"]


def _check_shared_budget(shape: Shape, first: Shape | None) -> Iterator[tuple[str, str]]:
    if shape is not first:
        return  # said once, on the first
    yield "QB110", (
        "budget without a key: one budget is shared by every agent "
        "(key=\"agent\", say, gives each agent its own)"
    )


def _check_zero_count(shape: Shape) -> Iterator[tuple[str, str]]:
    if shape.kind not in ("rate_limit", "repeat_limit") or shape.params is None:
        return
    if shape.params["limit"] == 0:
        noun = "rate limit" if shape.kind == "rate_limit" else "repeat limit"
        yield "QB111", f"{noun} of 0: every event it applies to is refused"


def _quietly(findings: Iterator[tuple[str, str]]) -> list[tuple[str, str]]:
    """The findings of one check; none when a value of the caller's own will not
    be compared or shown, as the lint cannot tell then."""
    try:
        return list(findings)
    except Exception:
        return []


def lint_shapes(every: Sequence[Shape]) -> list[Finding]:
    """The findings on a policy's behaviours, in policy order and by code."""
    found: list[Finding] = []
    asked = _Requirements(every)
    caps = _Caps(every)
    earlier = _Earlier()
    misspelt = misspelt_stages(shape.stage for shape in every)
    shared = next((shape for shape in every if _shared_budget(shape)), None)
    for shape in every:
        codes = [
            *_quietly(_check_values(shape)),
            *_quietly(_check_required(shape, every, asked)),
            *_quietly(_check_flag_under_cap(shape, every, caps)),
            *_quietly(_check_limit(shape)),
            *_quietly(_check_repeats(shape, every, earlier)),
            *_quietly(_check_verdict(shape)),
            *_quietly(_check_stage(shape, misspelt)),
            *_quietly(_check_shared_budget(shape, shared)),
            *_quietly(_check_zero_count(shape)),
        ]
        earlier.add(shape)
        codes.sort(key=lambda pair: pair[0])
        found.extend(Finding(shape.index, shape.name, code, message) for code, message in codes)
    return found


# ---------------------------------------------------------------- comparing by keys

# The checks that compare behaviours with each other find them by keys, so
# that the lint's time grows with the policy's size rather than its square.
# A value's key stands for it where `_same` compares it through a hash and an
# equality that agree (strings, numbers, None, objects compared by identity,
# and tuples, sets and dicts of them): equal keys for the values that `_same`
# finds equal, and for no others. A value without a key (one of the caller's
# own with an equality of its own) is compared one by one, as before.

_ODD: Any = object()  # no key
_UNKNOWN: Any = object()  # the keys cannot tell
_IDENTITY, _TUPLE, _SET, _DICT = object(), object(), object(), object()
_SCALAR_HASH = {str.__eq__: str.__hash__, int.__eq__: int.__hash__, float.__eq__: float.__hash__}
_OBJECT_EQ = object.__eq__


def _key_of(value: Any) -> Any:
    if value is None:
        return None
    cls = value.__class__
    eq = cls.__eq__
    if eq is _OBJECT_EQ:
        return (_IDENTITY, id(value))
    hashed = _SCALAR_HASH.get(eq)
    if hashed is not None:
        return value if cls.__hash__ is hashed else _ODD
    if cls is tuple:
        parts = tuple(_key_of(item) for item in value)
        return _ODD if any(part is _ODD for part in parts) else (_TUPLE, parts)
    if cls is set or cls is frozenset:
        members = [_key_of(item) for item in value]
        return _ODD if any(member is _ODD for member in members) else (_SET, frozenset(members))
    if cls is dict:
        items = [(_key_of(k), _key_of(v)) for k, v in value.items()]
        return _ODD if any(k is _ODD or v is _ODD for k, v in items) else (_DICT, frozenset(items))
    return _ODD


def _key(value: Any) -> Any:
    """The key of `value`, or _ODD."""
    try:
        return _key_of(value)
    except Exception:  # nested too deep, say
        return _ODD


def _keys(*values: Any) -> tuple[Any, ...] | None:
    keys = tuple(_key(value) for value in values)
    return None if any(key is _ODD for key in keys) else keys


class _Earlier:
    """The behaviours met so far, for QB106 and QB107: the first of them with
    the name of a later one, and the first that it repeats."""

    def __init__(self) -> None:
        self.first: dict[Any, Shape] = {}
        self.unkeyed: list[Shape] = []  # the ones without keys
        self.every: list[Shape] = []

    @staticmethod
    def _name_keys(shape: Shape) -> list[Any] | None:
        keys = _keys(shape.name)
        return None if keys is None else [("name", keys)]

    @staticmethod
    def _repeat_keys(shape: Shape) -> list[Any] | None:
        where = _keys(shape.stage, shape.where, shape.action)
        if where is None:
            return None
        found: list[Any] = [("fn", where, id(shape.fn))]
        if shape.kind is not None and shape.params is not None:
            params = _keys(shape.params)
            if params is None:
                return None
            found.append(("params", where, shape.kind, params))
        return found

    def _first(self, shape: Shape, keys: list[Any] | None, matches: Any) -> Shape | None:
        if keys is None:
            return next((other for other in self.every if matches(shape, other)), None)
        found: Shape | None = None
        for key in keys:
            other = self.first.get(key)
            if other is not None and (found is None or other.index < found.index):
                found = other
        for other in self.unkeyed:
            if found is not None and other.index > found.index:
                break
            if matches(shape, other):
                return other
        return found

    def named(self, shape: Shape) -> Shape | None:
        return self._first(shape, self._name_keys(shape), lambda later, other: _same(other.name, later.name))

    def repeated(self, shape: Shape) -> Shape | None:
        return self._first(shape, self._repeat_keys(shape), _repeats)

    def add(self, shape: Shape) -> None:
        names, repeats = self._name_keys(shape), self._repeat_keys(shape)
        if names is None or repeats is None:
            self.unkeyed.append(shape)
        else:
            for key in (*names, *repeats):
                self.first.setdefault(key, shape)
        self.every.append(shape)


class _Asked:
    """What the require_fields behaviours of one stage and trigger ask for."""

    def __init__(self) -> None:
        self.anything = False  # one does not show its fields
        self.fields: set[Any] = set()  # keys
        self.unkeyed: list[Any] = []  # fields without keys

    def add(self, shape: Shape) -> None:
        if shape.params is None:
            self.anything = True
            return
        req = shape.params["req"]
        if not isinstance(req, tuple):
            return
        for field in req:
            key = _key(field)
            if key is _ODD:
                self.unkeyed.append(field)
            else:
                self.fields.add(key)

    def has(self, field: Any, key: Any) -> bool:
        return self.anything or key in self.fields or any(_same(field, f) for f in self.unkeyed)


_WIDE: Any = object()  # the require_fields of a stage that cover every event of it they may
_ALL: Any = object()  # every require_fields of a stage


class _Requirements:
    """The require_fields behaviours of a policy, by stage and trigger, for QB103."""

    def __init__(self, every: Sequence[Shape]) -> None:
        self.unkeyed: list[Shape] = []
        self.stages: dict[Any, dict[Any, _Asked]] = {}
        for shape in every:
            if shape.kind != "require_fields":
                continue
            keys = _keys(shape.stage, shape.where)
            if keys is None:
                self.unkeyed.append(shape)
                continue
            groups = self.stages.setdefault(keys[0], {})
            # Without a predicate, or with one of the caller's own, it covers
            # every trigger of its stage; with one of the library's, the same one.
            wide = shape.where is None or not isinstance(shape.where, tuple)
            groups.setdefault(_WIDE if wide else ("where", keys[1]), _Asked()).add(shape)
            groups.setdefault(_ALL, _Asked()).add(shape)

    def asked(self, shape: Shape) -> bool | None:
        """Whether a require_fields behaviour that covers the cap or flag
        `shape` may ask for its field; None when the keys cannot tell."""
        assert shape.params is not None
        field = shape.params["field"]
        keys = _keys(shape.stage, shape.where, field)
        if keys is None:
            return None
        groups = self.stages.get(keys[0], {})
        if shape.where is None:
            names = [_WIDE]
        elif isinstance(shape.where, tuple):
            names = [_WIDE, ("where", keys[1])]
        else:  # a predicate of the caller's own: any of them may cover it
            names = [_ALL]
        for name in names:
            group = groups.get(name)
            if group is not None and group.has(field, keys[2]):
                return True
        return _asked_one_by_one(shape, self.unkeyed)


class _Limits:
    """Caps in policy order, with the lowest limit up to each."""

    def __init__(self) -> None:
        self.caps: list[Shape] = []
        self.lowest: list[Any] = []

    def add(self, cap: Shape, limit: Any) -> None:
        self.caps.append(cap)
        self.lowest.append(limit if not self.lowest or limit < self.lowest[-1] else self.lowest[-1])

    def first_at_most(self, flag: Any) -> Shape | None:
        lowest = self.lowest
        if not lowest or lowest[-1] > flag:
            return None
        low, high = 0, len(lowest) - 1
        while low < high:  # the lowest limits only go down
            middle = (low + high) // 2
            if lowest[middle] <= flag:
                high = middle
            else:
                low = middle + 1
        return self.caps[low]


class _Caps:
    """The spend caps of a policy with a finite number limit, by stage, field and trigger, for QB104."""

    def __init__(self, every: Sequence[Shape]) -> None:
        self.unkeyed: list[Shape] = []
        self.groups: dict[tuple[Any, ...], _Limits] = {}
        for cap in every:
            if cap.kind != "spend_cap" or cap.params is None:
                continue
            limit = _comparable_limit(cap)
            if limit is None:
                continue
            keys = _keys(cap.stage, cap.params["field"], cap.where)
            if keys is None:
                self.unkeyed.append(cap)
            else:
                self.groups.setdefault(keys, _Limits()).add(cap, limit)

    def first_hiding(self, shape: Shape, flag: Any) -> Any:
        """The first cap that hides the flag `shape` of limit `flag`, None
        when there is none, _UNKNOWN when the keys cannot tell."""
        assert shape.params is not None
        keys = _keys(shape.stage, shape.params["field"], shape.where)
        if keys is None:
            return _UNKNOWN
        found: Shape | None = None
        # A cap without a predicate covers the flag, and so does one with the same.
        for where in {None, keys[2]} if keys[2] is not None else (None,):
            limits = self.groups.get((keys[0], keys[1], where))
            cap = None if limits is None else limits.first_at_most(flag)
            if cap is not None and (found is None or cap.index < found.index):
                found = cap
        for cap in self.unkeyed:
            if found is not None and cap.index > found.index:
                break
            if _hides(cap, shape, flag):
                return cap
        return found


# ---------------------------------------------------------------- misspelt stages

STAGES = ("spend_decision", "execution")  # the stages the library's factories use


def edits(a: str, b: str, most: int = 2) -> int:
    """The edits (a character inserted, removed, replaced, or two neighbours
    swapped) that turn `a` into `b`, or `most` + 1 when more than `most`."""
    if abs(len(a) - len(b)) > most:
        return most + 1
    before: list[int] = []
    row = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        earlier, before, row = before, row, [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            cost = 0 if a[i - 1] == b[j - 1] else 1
            best = min(before[j] + 1, row[j - 1] + 1, before[j - 1] + cost)
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                best = min(best, earlier[j - 2] + 1)
            row[j] = best
        if min(row) > most:
            return most + 1
    return row[len(b)]


def _shortened(text: str, most: int) -> set[str]:
    """`text` with up to `most` characters taken out, every way."""
    found = {text}
    last = {text}
    for _ in range(most):
        last = {word[:at] + word[at + 1 :] for word in last for at in range(len(word))}
        found |= last
    return found


def misspelt_stages(stages: Iterable[Any]) -> dict[str, tuple[str, int]]:
    """The stages (strings) that are probably misspellings, each with the
    stage it probably meant and how many edits away it is: one or two edits
    from a stage of `STAGES`, or from a stage that more of `stages` use.
    The nearest is meant; of two as near, one of `STAGES`, then the more
    used, then the first met."""
    uses: dict[str, int] = {}
    for stage in stages:
        if stage.__class__ is str:
            uses[stage] = uses.get(stage, 0) + 1
    # Two strings at most two edits apart are the same once at most two
    # characters are taken out of each: candidates meet under such a form.
    order = {stage: at for at, stage in enumerate((*STAGES, *uses))}
    under: dict[str, list[str]] = {}
    for stage in order:
        for form in _shortened(stage, 2):
            under.setdefault(form, []).append(stage)
    found: dict[str, tuple[str, int]] = {}
    for stage in uses:
        if stage in STAGES:
            continue
        best: tuple[Any, ...] | None = None
        seen: set[str] = {stage}
        for form in _shortened(stage, 2):
            for other in under.get(form, ()):
                if other in seen:
                    continue
                seen.add(other)
                known = other in STAGES
                if not known and uses.get(other, 0) <= uses[stage]:
                    continue
                apart = edits(stage, other)
                if apart > 2 or apart * 4 > len(stage):
                    continue
                rank = (apart, not known, -uses.get(other, 0), order[other])
                if best is None or rank < best[0]:
                    best = (rank, other, apart)
        if best is not None:
            found[stage] = (best[1], best[2])
    return found


def lint_policy(policy: Policy) -> list[Finding]:
    """The findings on a loaded `Policy`, from what its objects show."""
    return lint_shapes(shapes(policy))


def lint_target(target: str) -> list[Finding]:
    """The findings on the policy named by `target`, as the command takes it.

    A policy that does not load raises `PolicyLoadError`.
    """
    if is_policy_file(target):
        loaded = load_policy_file(target)
        return lint_shapes(shapes(loaded.policy, loaded.declared))
    return lint_policy(load_policy(target))


# ---------------------------------------------------------------- a finding as a line


def _json(value: Any) -> Any:
    try:
        json.dumps(value, allow_nan=False)
    except Exception:
        return _text(value)
    return value


def render(target: str, finding: Finding, fmt: str) -> str:
    if fmt == "jsonl":
        return json.dumps(
            {
                "file": target,
                "behaviour": finding.index,
                "name": _json(finding.name),
                "code": finding.code,
                "message": finding.message,
            }
        )
    return f"{target}: behaviour {finding.index} ({_text(finding.name)}): {finding.code} {finding.message}"
