"""Rules and behaviours that ask a person first: the verdict "ASK".

``ask_over(limit, *, field="amount")`` is the rule ``ask_over>LIMIT``: "ASK"
when the field exceeds `limit`, else "ALLOW". ``approve_large_charges(limit,
...)`` is its behaviour on charges, `on_charge` joined with `ask_over`, as
`flag_large_charges` joins `on_charge` with `flag_over`.

They read the field as the library's rules do: at the event's top level,
else under its ``kwargs`` (``library._get``, looked up on the library module
at each call). A missing or false value counts as 0, and a NaN value or
limit counts as over the limit, so that a NaN charge is asked about rather
than let through.

A decision whose worst verdict is "ASK" has ``needs_approval`` true: `guard`
asks its ``approve`` callback, ``mcp-proxy`` the user of the MCP client.
"""

from __future__ import annotations

import math
from typing import Any

from . import library as _library
from ._impl import Behaviour, Rule, behaviour, rule

__all__ = ["ask_over", "approve_large_charges"]


_isnan = math.isnan


def _over(value: Any, limit: Any) -> bool:
    # `value > limit` decides; a float NaN on either side counts as over.
    if value > limit:
        return True
    return (isinstance(value, float) and _isnan(value)) or (isinstance(limit, float) and _isnan(limit))


def ask_over(limit: Any, *, field: Any = "amount") -> Rule:
    """The rule ``ask_over>LIMIT``: "ASK" when the event's `field` exceeds `limit`, else "ALLOW"."""
    return rule(
        "ask_over>%s" % (limit,),
        lambda ev: "ASK" if _over(_library._get(ev, field) or 0, limit) else "ALLOW",
    )


def approve_large_charges(
    limit: Any,
    *,
    field: Any = "amount",
    stage: Any = "spend_decision",
    action: Any = None,
    name: Any = None,
) -> Behaviour:
    """Ask a person before any charge whose amount exceeds `limit`."""
    return behaviour(
        name or "approve_large_charges>%s" % (limit,),
        on=_library.on_charge(stage=stage),
        rule=ask_over(limit, field=field),
        action=action,
    )
