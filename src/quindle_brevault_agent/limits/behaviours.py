"""The limit factories: ``budget``, ``rate_limit`` and ``repeat_limit``.

Each returns a `Behaviour` whose rule's function is a native `LimitRule`: the
policy's engine knows it by that and checks it after the other behaviours,
against the windows in the policy's store. Called on its own (`check_rule`),
the function checks what needs no memory: a budget refuses an amount that is
not one.
"""

from __future__ import annotations

import math
from decimal import Decimal
from typing import Any

from .. import _engine, library
from .._impl import Behaviour, behaviour, rule, trigger

__all__ = ["PERIODS", "budget", "rate_limit", "repeat_limit", "is_limit", "seconds_of"]

# The windows that have names, in seconds.
PERIODS = {"second": 1, "minute": 60, "hour": 3600, "day": 86400}


def seconds_of(per: Any, what: str = "per") -> float:
    """`per` in seconds: a number above 0, or one of the names of `PERIODS`."""
    if isinstance(per, str):
        if per in PERIODS:
            return float(PERIODS[per])
        raise ValueError(
            f"{what} must be a number of seconds or one of 'second', 'minute', 'hour' or 'day', not {per!r}"
        )
    if isinstance(per, bool) or not isinstance(per, (int, float)):
        raise TypeError(f"{what} must be a number of seconds or a period's name, not {type(per).__name__}")
    if not (per > 0 and math.isfinite(per)):
        raise ValueError(f"{what} must be a finite number of seconds above 0, not {per!r}")
    return float(per)


def _shown(seconds: float) -> str:
    return str(int(seconds)) if seconds.is_integer() else repr(seconds)


def _key(key: Any) -> tuple[str, ...]:
    if isinstance(key, str):
        return (key,)
    if isinstance(key, (tuple, list)) and all(isinstance(name, str) for name in key):
        return tuple(key)
    raise TypeError(f"key must be a field name or a tuple of field names, not {key!r}")


def _count(value: Any, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{what} must be at least 0, not {value}")
    return value


def _on(stage: Any, action_type: Any) -> Any:
    if action_type is None:
        return trigger(stage=stage)
    return library.on_charge(stage=stage, action_type=action_type)


def _limit(kind: str, limit: Any, seconds: float, field: Any, key: tuple[str, ...], verdict: Any,
           stage: Any, action_type: Any, name: Any, prefix: str) -> Behaviour:
    rule_name = f"{prefix}<={limit}/{_shown(seconds)}s"
    fn = _engine.LimitRule(kind, limit, seconds, field, key, verdict, rule_name)
    return behaviour(rule_name if name is None else name, on=_on(stage, action_type), rule=rule(rule_name, fn))


def budget(
    limit: Any,
    *,
    per: Any,
    field: str = "amount",
    key: Any = (),
    stage: Any = "spend_decision",
    action_type: Any = "charge",
    verdict: Any = "BLOCK",
    name: Any = None,
) -> Behaviour:
    """At most `limit` of `field` summed over the events admitted in the last
    `per` seconds, this one included, for each value of `key`.

    The amount is read as the rules read a field (top level, then
    ``kwargs``); a missing or false one counts as 0, and one that is not a
    number (or is NaN, infinite or negative) gets `verdict` whatever the
    window holds. Amounts are exact decimals (a float as its repr shows it).
    """
    if isinstance(limit, bool) or not isinstance(limit, (int, float, Decimal)):
        raise TypeError(f"limit must be a number (an int, float or Decimal), not {type(limit).__name__}")
    if not isinstance(field, str):
        raise TypeError(f"field must be a string, not {type(field).__name__}")
    return _limit("budget", limit, seconds_of(per), field, _key(key), verdict, stage, action_type, name, "budget")


def rate_limit(
    count: int,
    *,
    per: Any,
    key: Any = (),
    stage: Any = None,
    action_type: Any = None,
    verdict: Any = "BLOCK",
    name: Any = None,
) -> Behaviour:
    """At most `count` events admitted in the last `per` seconds, for each
    value of `key`. A `stage` or `action_type` of None matches every one."""
    count = _count(count, "count")
    return _limit("rate_limit", count, seconds_of(per), None, _key(key), verdict, stage, action_type, name, "rate")


def repeat_limit(
    times: int,
    *,
    within: Any,
    stage: Any = None,
    action_type: Any = None,
    verdict: Any = "BLOCK",
    name: Any = None,
) -> Behaviour:
    """At most `times` events of the same action type with equal arguments
    (``kwargs``) admitted in the last `within` seconds: the loop an agent
    falls into. A `stage` or `action_type` of None matches every one."""
    times = _count(times, "times")
    return _limit("repeat_limit", times, seconds_of(within, "within"), None, (), verdict, stage, action_type, name,
                  "repeat")


def is_limit(item: Any) -> bool:
    """Whether the behaviour `item` is a limit (its rule is a `LimitRule`)."""
    return isinstance(getattr(getattr(item, "rule", None), "fn", None), _engine.LimitRule)
