"""A plain Python model of the windows of limits, for the differential test:
lists of (expires, amount) per window, summed with Decimal, and the same
rules for what fits, what is admitted and what is left; a decision that asks
a person first admits nothing until `Model.admit`."""

from __future__ import annotations

import decimal
import json
import math
from decimal import Decimal
from typing import Any

EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)
RANK = {"ALLOW": 0, "FLAG": 1, "ASK": 2, "BLOCK": 3}


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
    over `cap`. With `ask`, a last behaviour named "ask" asks about a
    charge over `ask`.

    `decide` returns (verdict, hit names, uses, admitted entries, pending):
    `pending` is None, or, for a decision that asks, what `admit` takes once
    a person approved it."""

    def __init__(self, cap: int, limits: list[tuple[Any, ...]], ask: Any = None) -> None:
        self.cap = cap
        self.ask = ask
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

    def decide(self, event: dict[str, Any], now: float) -> tuple[str, list[str], list[Any], list[Any], Any]:
        hits: list[tuple[int, str, str]] = []
        amount = amount_of(field(event, "amount"))
        applied = []
        if event.get("action_type") == "charge":
            cap_amount = field(event, "amount") or 0
            if cap_amount != cap_amount or cap_amount > self.cap:  # NaN is over any cap
                hits.append((0, "cap", "BLOCK"))
            if self.ask is not None and (cap_amount != cap_amount or cap_amount > self.ask):
                hits.append((len(self.limits) + 1, "ask", "ASK"))
        if any(v == "BLOCK" for _, _, v in hits):
            return self._verdict(hits), [h[1] for h in sorted(hits)], [], [], None
        unreadable = []  # budgets whose amount is not one: refused with their verdict
        for position, limit in enumerate(self.limits, 1):
            name, kind, _limit, _per, _key, action, verdict = limit
            if action is not None and event.get("action_type") != action:
                continue
            if kind == "budget" and amount is None:
                unreadable.append((position, name, verdict))
                continue
            applied.append((position, limit))
        hits.extend(unreadable)
        hits.sort()
        if any(verdict == "BLOCK" for _, _, verdict in unreadable):
            return self._verdict(hits), [h[1] for h in hits], [], [], None
        if any(v == "ASK" for _, _, v in hits):
            # Asked about first: the limits are checked and admitted after the approval.
            return self._verdict(hits), [h[1] for h in hits], [], [], (event, hits, applied, amount)
        if not applied:
            return self._verdict(hits), [h[1] for h in hits], [], [], None
        # Before a question, a limit that asks admits nothing over it.
        return self._admit(event, hits, applied, amount, now, ("BLOCK", "ASK"))

    def admit(self, pending: Any, now: float) -> tuple[str, list[str], list[Any], list[Any], Any]:
        """The decision once a person approved the one that held `pending`."""
        event, hits, applied, amount = pending
        return self._admit(event, list(hits), applied, amount, now, ("BLOCK",))

    def _admit(self, event: Any, hits: list[Any], applied: list[Any], amount: Any, now: float, strict: Any) -> Any:
        checked = []
        for position, limit in applied:
            name, kind, cap, per, _key, _action, verdict = limit
            window = self.windows.setdefault((name, self.key_of(limit, event)), [])
            used = self.used(window, now)
            value = amount if kind == "budget" else Decimal(1)
            fits = EXACT.add(used, value) <= Decimal(cap)
            checked.append((position, limit, window, used, value, fits))
        admit = all(fits or limit[6] not in strict for _, limit, _, _, _, fits in checked)
        uses = []
        admitted = []
        held = {h[0] for h in hits}
        for position, limit, window, used, value, fits in checked:
            name, kind, cap, per, _key, _action, verdict = limit
            if not fits and position not in held:
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
        pending = None
        if not admit and "ASK" in strict and not any(
            not fits and limit[6] == "BLOCK" for _, limit, _, _, _, fits in checked
        ):
            pending = (event, hits, applied, amount)
        return self._verdict(hits), [h[1] for h in hits], uses, admitted, pending

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
