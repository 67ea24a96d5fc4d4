"""Starter behaviours for quindle-brevault-agent.

Ready-made, stateless rules and behaviour factories for the common cases, so a
policy is one call rather than a lambda. Every rule here is a pure function of a
single event, so it drops straight into ``check_rule`` / ``check_behaviour`` and
recomputes cleanly.

Each rule reads a field from the event top level and, failing that, from a nested
``kwargs`` map, so the same rule works on a flat stage record (a spend_decision)
and on a guarded brevault-connect call (where parameters arrive under ``kwargs``).
"""

from collections.abc import Iterable
from typing import Any

from ._impl import Behaviour, Rule, Trigger
from ._impl import behaviour as behaviour
from ._impl import rule as rule
from ._impl import trigger as trigger
from ._types import Event

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

def _get(event: Event, field: Any) -> Any: ...

# Rule factories.
def spend_cap(limit: Any, *, field: Any = "amount") -> Rule: ...
def flag_over(limit: Any, *, field: Any = "amount") -> Rule: ...
def deny_list(field: Any, values: Iterable[Any], *, verdict: object = "BLOCK") -> Rule: ...
def allow_list(field: Any, values: Iterable[Any], *, verdict: object = "BLOCK") -> Rule: ...
def scope_fence(allowed: Iterable[str], *, field: Any = "scope") -> Rule: ...
def require_fields(*fields: str, verdict: object = "BLOCK") -> Rule: ...

# Trigger factories. The native functions carry no docstring of their own;
# these are for the tools that read the stub.
def on_charge(*, stage: Any = "spend_decision", action_type: Any = "charge") -> Trigger:
    """A trigger for the events of `stage` whose ``action_type`` field equals `action_type`.

    The field is read with ``event.get("action_type")``, at the event's top
    level only.
    """

def on_write(*, method: Any = None, stage: Any = "execution") -> Trigger:
    """A trigger for every event of `stage` or, given a `method`, for those
    whose ``method`` field equals it.

    The field is read with ``event.get("method")``, at the event's top level only.
    """

# Ready-made behaviours.
def cap_charges(
    limit: Any,
    *,
    field: Any = "amount",
    stage: Any = "spend_decision",
    action: Any = None,
    name: Any = None,
) -> Behaviour: ...
def flag_large_charges(
    limit: Any,
    *,
    field: Any = "amount",
    stage: Any = "spend_decision",
    action: Any = None,
    name: Any = None,
) -> Behaviour: ...
def deny_writes_to(
    field: Any,
    values: Iterable[Any],
    *,
    stage: Any = "execution",
    method: Any = None,
    action: Any = None,
    name: Any = None,
) -> Behaviour: ...
def restrict_scope(
    allowed: Iterable[str],
    *,
    field: Any = "scope",
    stage: Any = "execution",
    method: Any = None,
    action: Any = None,
    name: Any = None,
) -> Behaviour: ...
