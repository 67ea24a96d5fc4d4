"""A pure-Python twin of ``quindle_brevault_agent.library``.

Every function here behaves the way the native module is meant to behave, so
that the behavioural tests can run over both and the property tests can
compare them event by event. Global names (``_get``, ``rule``, ``trigger``,
``behaviour`` and the factories the behaviours call) are plain module
globals, resolved in this module's namespace at each call, exactly as the
native module resolves them in its own namespace.

One deliberate rule of the threshold rules: a float NaN (or an instance of a
float subclass holding NaN), on either side of the comparison, counts as above
the limit, so a NaN amount can never slip under a cap.
"""

from __future__ import annotations

import math

from quindle_brevault_agent._impl import Decision, Hit, behaviour, rule, trigger

__all__ = [
    "spend_cap",
    "flag_over",
    "allow_list",
    "deny_list",
    "scope_fence",
    "require_fields",
    "on_charge",
    "on_write",
    "cap_charges",
    "flag_large_charges",
    "deny_writes_to",
    "restrict_scope",
]

_BAD_PREFIXES = "scope_fence requires at least one non-empty string prefix"


def _get(event, field):
    """Field lookup: event top level first, then a nested ``kwargs`` map."""
    if field in event:
        return event[field]
    nested = event.get("kwargs")
    if isinstance(nested, dict) and field in nested:
        return nested[field]
    return None


def _is_float_nan(x):
    return isinstance(x, float) and math.isnan(x)


def _over(value, limit):
    # `value > limit` decides; a float NaN on either side counts as over.
    if value > limit:
        return True
    return _is_float_nan(value) or _is_float_nan(limit)


def spend_cap(limit, *, field="amount"):
    """BLOCK when ``event[field]`` exceeds `limit`, else ALLOW."""
    return rule(
        "spend_cap<=%s" % limit,
        lambda ev: "BLOCK" if _over(_get(ev, field) or 0, limit) else "ALLOW",
    )


def flag_over(limit, *, field="amount"):
    """FLAG (do not block) when ``event[field]`` exceeds `limit`, else ALLOW."""
    return rule(
        "flag_over>%s" % limit,
        lambda ev: "FLAG" if _over(_get(ev, field) or 0, limit) else "ALLOW",
    )


def deny_list(field, values, *, verdict="BLOCK"):
    """`verdict` when ``event[field]`` is one of `values`, else ALLOW."""
    vals = set(values)
    return rule("deny_%s" % field, lambda ev: verdict if _get(ev, field) in vals else "ALLOW")


def allow_list(field, values, *, verdict="BLOCK"):
    """ALLOW only when ``event[field]`` is one of `values`, else `verdict`."""
    vals = set(values)
    return rule("allow_%s" % field, lambda ev: "ALLOW" if _get(ev, field) in vals else verdict)


def scope_fence(allowed, *, field="scope"):
    """ALLOW only when ``event[field]`` starts with one of the `allowed` prefixes."""
    prefixes = allowed if type(allowed) is tuple else tuple(allowed)
    if not prefixes:
        raise ValueError(_BAD_PREFIXES)
    for prefix in prefixes:
        if not isinstance(prefix, str) or prefix == "":
            raise ValueError(_BAD_PREFIXES)
    return rule(
        "scope_fence",
        lambda ev: "ALLOW" if str.startswith(_text(_get(ev, field)), prefixes) else "BLOCK",
    )


def _text(value):
    # A false value is the empty text; an exact str is used as it is.
    if not value:
        return ""
    return value if type(value) is str else str(value)


def require_fields(*fields, verdict="BLOCK"):
    """ALLOW only when every field in `fields` is present and non-null."""
    req = fields
    return rule(
        "require:" + ",".join(req),
        lambda ev: verdict if any(_get(ev, f) is None for f in req) else "ALLOW",
    )


def on_charge(*, stage="spend_decision", action_type="charge"):
    return trigger(stage=stage, where=lambda ev: ev.get("action_type") == action_type)


def on_write(*, method=None, stage="execution"):
    if method is None:
        return trigger(stage=stage)
    return trigger(stage=stage, where=lambda ev: ev.get("method") == method)


def cap_charges(limit, *, field="amount", stage="spend_decision", action=None, name=None):
    """Block any charge whose amount exceeds `limit`."""
    return behaviour(
        name or "cap_charges<=%s" % limit,
        on=on_charge(stage=stage),
        rule=spend_cap(limit, field=field),
        action=action,
    )


def flag_large_charges(limit, *, field="amount", stage="spend_decision", action=None, name=None):
    """Flag (record but allow) any charge whose amount exceeds `limit`."""
    return behaviour(
        name or "flag_large_charges>%s" % limit,
        on=on_charge(stage=stage),
        rule=flag_over(limit, field=field),
        action=action,
    )


def deny_writes_to(field, values, *, stage="execution", method=None, action=None, name=None):
    """Deny any write whose `field` is one of `values` (e.g. a locked bucket or table)."""
    return behaviour(
        name or "deny_writes_%s" % field,
        on=on_write(method=method, stage=stage),
        rule=deny_list(field, values),
        action=action,
    )


def restrict_scope(allowed, *, field="scope", stage="execution", method=None, action=None, name=None):
    """Allow a write only when its scope starts with one of the `allowed` prefixes."""
    return behaviour(
        name or "restrict_scope",
        on=on_write(method=method, stage=stage),
        rule=scope_fence(allowed, field=field),
        action=action,
    )


# ---------------------------------------------------------------- policy evaluation

_RANK = {"ALLOW": 0, "FLAG": 1, "ASK": 2, "BLOCK": 3}


def rank(verdict):
    """0 for ALLOW, 1 for FLAG, 2 for ASK, 3 for BLOCK and anything else; a str subclass is looked up."""
    if isinstance(verdict, str):
        return _RANK.get(verdict, 3)
    return 3


def _shown(obj):
    try:
        return repr(obj)
    except BaseException:  # noqa: BLE001 - a failing repr is shown plainly
        return object.__repr__(obj)


def note_for(item):
    """The note an error raised while evaluating behaviour `item` carries."""
    return f"while evaluating behaviour {_shown(item.name)} (rule {_shown(item.rule.name)})"


def evaluate(behaviours, event, *, stage):
    """The `Decision` of ``Policy(behaviours).evaluate(event, stage=stage)``, in plain Python.

    This is the evaluator Policy had before the engine, with one addition: an
    error raised while evaluating a behaviour (its stage comparison,
    predicate, rule, the verdict's rank, its action) propagates with the
    behaviour's note added.
    """
    hits = []
    actions = []
    verdict = "ALLOW"
    worst = 0
    for item in behaviours:
        try:
            on = item.on
            if stage is not None and stage != on.stage:
                continue
            if on.where is not None and not on.where(event):
                continue
            rule_ = item.rule
            result = rule_.fn(event)
            level = rank(result)
        except BaseException as error:
            _add_note(error, item)
            raise
        if level == 0:
            continue
        hits.append(Hit(item.name, rule_.name, result))
        if level > worst:
            worst = level
            verdict = result
        if item.action is not None:
            actions.append((item, result))
    decision = Decision(verdict, tuple(hits))
    for item, result in actions:
        try:
            item.action(event, result)
        except BaseException as error:
            _add_note(error, item)
            raise
    return decision


def _add_note(error, item):
    try:
        error.add_note(note_for(item))
    except BaseException:  # noqa: BLE001 - a failing add_note leaves the error as it was
        pass
