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
QB103  a cap or flag on a field that no ``require_fields`` of a behaviour of
       the same stage asks for: an event without the field counts as 0 and
       passes
QB104  a flag limit at or above the cap limit on the same field and stage:
       the flag can never be seen alone
QB105  a limit that is NaN, infinite or negative
QB106  a behaviour with the same name as an earlier one
QB107  a behaviour that repeats an earlier one exactly: the same stage,
       trigger, rule and action
QB108  a budget without a key: one budget is shared by every agent (said
       once, on the policy's first such budget)
QB109  a rate limit or a repeat limit of 0: every event it applies to is
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
from ._impl import Policy, captured, condition_of, qualname_of
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

# The library's rule functions, by qualified name: the factory that made the
# function and the names of its captured values, in the order of its cells.
# (Its triggers are read by `condition_of`, the reading that
# `Policy.applicable` uses too.)
RULE_CAPTURES: dict[str, tuple[str, tuple[str, ...]]] = {
    "spend_cap.<locals>.<lambda>": ("spend_cap", ("field", "limit")),
    "flag_over.<locals>.<lambda>": ("flag_over", ("field", "limit")),
    "deny_list.<locals>.<lambda>": ("deny_list", ("field", "vals", "verdict")),
    "allow_list.<locals>.<lambda>": ("allow_list", ("field", "vals", "verdict")),
    "scope_fence.<locals>.<lambda>": ("scope_fence", ("field", "prefixes")),
    "require_fields.<locals>.<lambda>": ("require_fields", ("req", "verdict")),
}

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
    kind, names = RULE_CAPTURES.get(qualname_of(fn) or "", (None, ()))
    return Shape(
        index=index,
        name=getattr(item, "name", None),
        stage=getattr(on, "stage", None),
        where=condition_of(getattr(on, "where", None)),
        kind=kind,
        params=captured(fn, names) if kind is not None else None,
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
    for value in values:
        if not any(_same(value, seen) for seen in kept):
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


_OVER = {"spend_cap": "blocked", "flag_over": "flagged"}


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


def _check_required(shape: Shape, every: Sequence[Shape]) -> Iterator[tuple[str, str]]:
    if shape.kind not in _OVER or shape.params is None:
        return
    field = shape.params["field"]
    for other in every:
        # An open question counts as asked for: the lint stays quiet.
        if other.kind != "require_fields" or not _covers(other, shape, unknown=True):
            continue
        if other.params is None:
            return  # it may ask for the field: stay quiet
        req = other.params["req"]
        if isinstance(req, tuple) and any(_same(field, f) for f in req):
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


def _check_flag_under_cap(shape: Shape, every: Sequence[Shape]) -> Iterator[tuple[str, str]]:
    if shape.kind != "flag_over":
        return
    flag = _comparable_limit(shape)
    if flag is None or shape.params is None:
        return
    for cap in every:
        if cap.kind != "spend_cap" or cap.params is None or not _covers(cap, shape, unknown=False):
            continue
        limit = _comparable_limit(cap)
        if limit is None or not _same(cap.params["field"], shape.params["field"]):
            continue
        if flag >= limit:
            yield "QB104", (
                f"flag limit {_text(flag, repr)} is at or above the cap limit {_text(limit, repr)} of behaviour "
                f"{cap.index} ({_text(cap.name)}) on {_text(shape.params['field'], repr)}: "
                "the flag can never be seen alone"
            )
            return


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


def _check_repeats(shape: Shape, every: Sequence[Shape]) -> Iterator[tuple[str, str]]:
    earlier = every[: shape.index - 1]
    for other in earlier:
        if _same(other.name, shape.name):
            yield "QB106", f"same name as behaviour {other.index}"
            break
    for other in earlier:
        if _repeats(shape, other):
            yield "QB107", (
                f"repeats behaviour {other.index} ({_text(other.name)}): "
                "same stage, trigger, rule and action"
            )
            break


def _check_shared_budget(shape: Shape, every: Sequence[Shape]) -> Iterator[tuple[str, str]]:
    if shape.kind != "budget" or shape.params is None or shape.params["key"]:
        return
    for other in every[: shape.index - 1]:
        if other.kind == "budget" and other.params is not None and not other.params["key"]:
            return  # said once, on the first
    yield "QB108", (
        "budget without a key: one budget is shared by every agent "
        "(key=\"agent\", say, gives each agent its own)"
    )


def _check_zero_count(shape: Shape) -> Iterator[tuple[str, str]]:
    if shape.kind not in ("rate_limit", "repeat_limit") or shape.params is None:
        return
    if shape.params["limit"] == 0:
        noun = "rate limit" if shape.kind == "rate_limit" else "repeat limit"
        yield "QB109", f"{noun} of 0: every event it applies to is refused"


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
    for shape in every:
        codes = [
            *_quietly(_check_values(shape)),
            *_quietly(_check_required(shape, every)),
            *_quietly(_check_flag_under_cap(shape, every)),
            *_quietly(_check_limit(shape)),
            *_quietly(_check_repeats(shape, every)),
            *_quietly(_check_shared_budget(shape, every)),
            *_quietly(_check_zero_count(shape)),
        ]
        codes.sort(key=lambda pair: pair[0])
        found.extend(Finding(shape.index, shape.name, code, message) for code, message in codes)
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
