"""quindle-brevault-agent: ready-made policy rules and behaviours for an agent.

The public API: the host layer (``Policy``, ``Decision``, ``Hit``, ``Rule``,
``Trigger``, ``Behaviour``, the factories ``rule``, ``trigger``, ``behaviour``
and the evaluators ``check_rule``, ``check_behaviour``), the twelve
ready-made rule and behaviour factories of the native module
``quindle_brevault_agent.library``, and the two that ask a person first,
``ask_over`` and ``approve_large_charges``; ``load_policy`` with ``PolicyLoadError``,
which it raises for any policy that does not load, and ``PolicyFileError``
(a ``PolicyLoadError`` and a ``ValueError``) for a policy file or text that
is not well-formed; where decisions are
enforced and recorded: ``guard``, ``PolicyViolation`` and ``DecisionLog``;
and the limits that remember across calls: ``budget``, ``rate_limit``,
``repeat_limit`` and their stores ``MemoryStore``, ``SQLiteStore``,
``RedisStore``.

Importing the package loads nothing else: each public name is imported from
its module on first use, so that ``import quindle_brevault_agent`` stays
cheap and the native module is loaded only when something needs it.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._impl import (
        Behaviour,
        Decision,
        Hit,
        Policy,
        Rule,
        Trigger,
        behaviour,
        check_behaviour,
        check_rule,
        rule,
        trigger,
    )
    from .asking import approve_large_charges, ask_over
    from .enforce.decision_log import DecisionLog
    from .enforce.guarding import PolicyViolation, guard
    from .library import (
        allow_list,
        cap_charges,
        deny_list,
        deny_writes_to,
        flag_large_charges,
        flag_over,
        on_charge,
        on_write,
        require_fields,
        restrict_scope,
        scope_fence,
        spend_cap,
    )
    from .limits import MemoryStore, RedisStore, SQLiteStore, budget, rate_limit, repeat_limit
    from .policy_files import PolicyFileError, PolicyLoadError, load_policy

__version__ = "0.1.0"

__all__ = [
    "Policy",
    "Decision",
    "Hit",
    "Rule",
    "Trigger",
    "Behaviour",
    "rule",
    "trigger",
    "behaviour",
    "check_rule",
    "check_behaviour",
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
    "load_policy",
    "PolicyLoadError",
    "PolicyFileError",
    "guard",
    "PolicyViolation",
    "DecisionLog",
    "ask_over",
    "approve_large_charges",
    "budget",
    "rate_limit",
    "repeat_limit",
    "MemoryStore",
    "SQLiteStore",
    "RedisStore",
]

# Where each public name lives.
_HOMES = {name: "._impl" for name in __all__[:11]}
_HOMES.update({name: ".library" for name in __all__[11:23]})
_HOMES.update(load_policy=".policy_files", PolicyLoadError=".policy_files", PolicyFileError=".policy_files")
_HOMES.update(guard=".enforce.guarding", PolicyViolation=".enforce.guarding", DecisionLog=".enforce.decision_log")
_HOMES.update(ask_over=".asking", approve_large_charges=".asking")
_HOMES.update({name: ".limits" for name in __all__[__all__.index("budget") :]})


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
