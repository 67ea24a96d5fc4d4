"""What a replay counts, and the summary it ends with.

The counts are those of the rows written: a row is counted when it is
written, never before, so that the summary always agrees with the output,
even when Ctrl-C stops the replay. They add up across processes
(``replay --jobs``): a worker sends its `totals` and the parent `add`s them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence

from .output import PROG
from .rendering import as_text

if TYPE_CHECKING:
    from .._impl import Decision

__all__ = ["Counts", "events_read", "EXIT_OK", "EXIT_BLOCKED", "EXIT_BAD_INPUT"]

EXIT_OK = 0
EXIT_BLOCKED = 1
EXIT_BAD_INPUT = 2

_SCALARS = ("events", "bad", "blocked", "recorded", "changed")
_STANDARD = ("ALLOW", "FLAG", "BLOCK")
_ASK = "ASK"  # counted between FLAG and BLOCK, and shown only when some event asked


def events_read(events: int, sources: int, elapsed: float) -> str:
    """The first line of a summary: how many events, from how many inputs, how fast."""
    rate = events / elapsed if elapsed > 0 else 0.0
    return (
        f"{PROG}: {events:,} events read from {sources} input{'s' if sources != 1 else ''}"
        f" in {elapsed:.3f} s ({rate:,.0f} events/s)"
    )


class Counts:
    """The counts of a replay of a policy whose behaviours are named `names`
    and whose triggers use `stages`."""

    def __init__(self, names: Sequence[Any], stages: frozenset[Any]) -> None:
        self.names = list(names)
        self.stages = stages
        self.events = 0
        self.bad = 0
        self.blocked = 0
        self.recorded = 0  # decision-log records replayed
        self.changed = 0  # of which the policy would decide otherwise
        self.verdicts: dict[Any, int] = {}
        self.hit_counts = [0] * len(self.names)
        # Events without hits per stage: those at a stage that no behaviour
        # uses are told apart at the end. A behaviour that triggers at every
        # stage (None) leaves no stage unused.
        self.quiet_stages: dict[Any, int] | None = None if None in stages else {}

    def count(self, stage: Any, decision: Decision, key: Any, times: int) -> None:
        """Counts `times` events decided as `decision` at `stage`; `key` is
        the verdict as it is counted (a plain string, else its text)."""
        self.verdicts[key] = self.verdicts.get(key, 0) + times
        hits = decision.hits
        if hits:
            hit_counts = self.hit_counts
            for hit in hits:
                hit_counts[hit[0].index] += times
            if decision.blocked:
                self.blocked += times
        elif self.quiet_stages is not None:
            try:
                self.quiet_stages[stage] = self.quiet_stages.get(stage, 0) + times
            except TypeError:  # a stage that is a JSON array or object
                pass

    # -- across processes

    def totals(self) -> tuple[Any, ...]:
        """The counts as plain values, for `add` in another process."""
        return (
            [getattr(self, name) for name in _SCALARS],
            self.verdicts,
            self.hit_counts,
            self.quiet_stages,
        )

    def add(self, totals: tuple[Any, ...]) -> None:
        scalars, verdicts, hit_counts, quiet_stages = totals
        for name, value in zip(_SCALARS, scalars):
            setattr(self, name, getattr(self, name) + value)
        for key, count in verdicts.items():
            self.verdicts[key] = self.verdicts.get(key, 0) + count
        for index, count in enumerate(hit_counts):
            self.hit_counts[index] += count
        if self.quiet_stages is not None:
            for key, count in quiet_stages.items():
                self.quiet_stages[key] = self.quiet_stages.get(key, 0) + count

    # -- the end

    def unused_stages(self) -> dict[Any, int]:
        """Events decided at a stage that no behaviour uses, per stage."""
        if self.quiet_stages is None:
            return {}
        stages = self.stages
        return {
            stage: count
            for stage, count in self.quiet_stages.items()
            if stage is not None and stage not in stages
        }

    def summary(self, sources: int, elapsed: float) -> str:
        parts = []
        for key in _STANDARD:
            if key == "BLOCK" and self.verdicts.get(_ASK):
                parts.append(f"{self.verdicts[_ASK]:,} {_ASK}")
            parts.append(f"{self.verdicts.get(key, 0):,} {key}")
        for key, count in self.verdicts.items():
            if key not in _STANDARD and key != _ASK:
                parts.append(f"{count:,} {key}")
        parts.append(f"{self.bad:,} bad")
        lines = [events_read(self.events, sources, elapsed), "  verdicts: " + ", ".join(parts)]
        if self.recorded:
            lines.append(
                f"  recorded decisions: {self.recorded:,}, of which {self.changed:,}"
                f" would change"
            )
        unused = self.unused_stages()
        if unused:
            lines.append(
                f"  events at a stage no behaviour uses: {sum(unused.values()):,}"
                f" (stages: {', '.join(repr(stage) for stage in unused)})"
            )
        lines.append("  hits per behaviour:")
        names = [as_text(name) for name in self.names]
        width = max((len(n) for n in names), default=0)
        for name, count in zip(names, self.hit_counts):
            lines.append(f"    {name:<{width}}  {count:,}")
        if not names:
            lines.append("    (the policy has no behaviours)")
        return "\n".join(lines) + "\n"

    def status(self, fail_on: str = "block") -> int:
        """0 when nothing was blocked (nor asked about, with `fail_on` "ask";
        nor flagged or asked about, with "flag"), 1 when something was, 2 when
        any line was bad."""
        if self.bad:
            return EXIT_BAD_INPUT
        if self.blocked:
            return EXIT_BLOCKED
        if fail_on in ("flag", "ask") and self.verdicts.get(_ASK):
            return EXIT_BLOCKED
        if fail_on == "flag" and self.verdicts.get("FLAG"):
            return EXIT_BLOCKED
        return EXIT_OK
