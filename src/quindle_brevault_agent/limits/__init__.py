"""Limits across calls: budgets, rate limits and repeat limits, as behaviours
of a `Policy`, and the stores that keep their windows.

A limit remembers what the policy admitted: the amounts or the events in the
last `per` seconds, by key. ``Policy.evaluate`` decides the stateless
behaviours first; when their decision does not block, every limit that
applies is checked and, when all fit, all are admitted together in one step of
the store (`MemoryStore`, `SQLiteStore`, `RedisStore`); when one does not,
none is. ``Policy.refund(decision)`` takes back what a decision admitted.

Amounts are exact decimals: a float counts as the decimal its repr shows, an
int or a Decimal as itself.
"""

from __future__ import annotations

from .behaviours import PERIODS, budget, is_limit, rate_limit, repeat_limit
from .stores import MemoryStore, SQLiteStore, RedisStore, StoreError, open_store

__all__ = [
    "budget",
    "rate_limit",
    "repeat_limit",
    "is_limit",
    "PERIODS",
    "MemoryStore",
    "SQLiteStore",
    "RedisStore",
    "StoreError",
    "open_store",
]
