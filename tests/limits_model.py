"""A plain Python model of the windows of limits, for the differential test:
lists of (expires, amount) per window, summed with Decimal, and the same
rules for what fits, what is admitted and what is left."""

from __future__ import annotations

import decimal
import json
import math
from decimal import Decimal
from typing import Any

EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)
RANK = {"ALLOW": 0, "FLAG": 1, "BLOCK": 2}


def amount_of(value: Any) -> Decimal | None:
    """What a budget reads: None or false is 0, a float its repr, None when not an amount."""
    if value is None or value is False:
        return Decimal(0)
    if isinstance(value, float):
        if not math.isfinite(value) or value < 0:
            return None
        return Decimal(repr(value))
    if isinstance(value, (int, Decimal)):
        if isinstance(value, Decimal) and not value.is_finite():
            return None
        return Decimal(value) if value >= 0 else None
    return Decimal(0) if not value else None


def field(event: dict[str, Any], name: str) -> Any:
    if name in event:
        return event[name]
    kwargs = event.get("kwargs")
    return kwargs.get(name) if isinstance(kwargs, dict) else None


class Model:
    """`limits` are (name, kind, limit, per, key, action_type, verdict) in
    policy order after the stateless cap, named "cap"; it blocks an amount
    over `cap`."""

    def __init__(self, cap: int, limits: list[tuple[Any, ...]]) -> None:
        self.cap = cap
        self.limits = limits
        self.windows: dict[tuple[str, str], list[list[Any]]] = {}
        self.next_id = 0

    def key_of(self, limit: tuple[Any, ...], event: dict[str, Any]) -> str:
        name, kind, _limit, _per, key, _action, _verdict = limit
        if kind == "repeat_limit":
            return json.dumps([event.get("action_type"), event.get("kwargs")], sort_keys=True)
        return json.dumps([field(event, k) for k in key])

    def used(self, window: list[list[Any]], now: float) -> Decimal:
        window[:] = [entry for entry in window if entry[0] > now]
        total = Decimal(0)
        for entry in window:
            total = EXACT.add(total, entry[1])
        return total

    def decide(self, event: dict[str, Any], now: float) -> tuple[str, list[str], list[Any]]:
        """(verdict, hit names, [(admitted, left), ...] per limit checked), and the entries admitted."""
        hits: list[tuple[int, str, str]] = []
        amount = amount_of(field(event, "amount"))
        applied = []
        if event.get("action_type") == "charge":
            cap_amount = field(event, "amount") or 0
            if cap_amount != cap_amount or cap_amount > self.cap:  # NaN is over any cap
                hits.append((0, "cap", "BLOCK"))
        if any(RANK[v] == 2 for _, _, v in hits):
            return self._verdict(hits), [h[1] for h in hits], [], []
        unreadable = []  # budgets whose amount is not one: refused with their verdict
        for position, limit in enumerate(self.limits, 1):
            name, kind, _limit, _per, _key, action, verdict = limit
            if action is not None and event.get("action_type") != action:
                continue
            if kind == "budget" and amount is None:
                unreadable.append((position, name, verdict))
                continue
            applied.append((position, limit))
        if any(verdict == "BLOCK" for _, _, verdict in unreadable):
            hits.extend(unreadable)
            hits.sort()
            return self._verdict(hits), [h[1] for h in hits], [], []
        hits.extend(unreadable)
        if not applied:
            hits.sort()
            return self._verdict(hits), [h[1] for h in hits], [], []
        checked = []
        for position, limit in applied:
            name, kind, cap, per, _key, _action, verdict = limit
            window = self.windows.setdefault((name, self.key_of(limit, event)), [])
            used = self.used(window, now)
            value = amount if kind == "budget" else Decimal(1)
            fits = EXACT.add(used, value) <= Decimal(cap)
            checked.append((position, limit, window, used, value, fits))
        admit = all(fits or limit[6] != "BLOCK" for _, limit, _, _, _, fits in checked)
        uses = []
        admitted = []
        for position, limit, window, used, value, fits in checked:
            name, kind, cap, per, _key, _action, verdict = limit
            if not fits:
                hits.append((position, name, verdict))
            if admit:
                self.next_id += 1
                entry = [now + per, value, self.next_id]
                window.append(entry)
                admitted.append((window, entry))
                used = EXACT.add(used, value)
            left = max(EXACT.subtract(Decimal(cap), used), Decimal(0))
            uses.append((value if admit else Decimal(0), left))
        hits.sort()
        return self._verdict(hits), [h[1] for h in hits], uses, admitted

    @staticmethod
    def _verdict(hits: list[tuple[int, str, str]]) -> str:
        verdict, worst = "ALLOW", 0
        for _, _, v in sorted(hits):
            if RANK[v] > worst:
                verdict, worst = v, RANK[v]
        return verdict

    @staticmethod
    def refund(admitted: list[Any]) -> None:
        for window, entry in admitted:
            if entry in window:
                window.remove(entry)
