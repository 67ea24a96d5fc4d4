"""The replay's decisions: each line decided, its row made and its counts kept.

Lines are decided by ``Policy.evaluate``, the evaluator that every command
and the guard share, on a copy of the policy without its actions
(`dry_run`): replaying recorded traffic never sets anything off. A policy
with limits decides every line in order by its own clock (`simulating`).
"""

from __future__ import annotations

from typing import Any, Callable

import quindle_brevault_agent.cli.rendering as rendering

from .. import jsonl
from .._impl import Decision, Policy, behaviour
from ..enforce.guarding import describe_error
from .counting import Counts
from .reading import NOT_RECORDED, Unread, event_of
from .rendering import Renderer, as_text
from .simulating import Clock

__all__ = ["Position", "dry_run", "Decider"]


class Position:
    """A behaviour's name in the dry-run copy of a policy: shown as the name,
    and telling which behaviour of the policy a hit came from, even when two
    behaviours share a name."""

    __slots__ = ("index", "name")

    def __init__(self, index: int, name: Any) -> None:
        self.index = index
        self.name = name

    def __repr__(self) -> str:
        return repr(self.name)

    def __str__(self) -> str:
        return str(self.name)


def dry_run(policy: Policy) -> Policy:
    """`policy` without its actions, each behaviour named by its `Position`;
    its limits keep their store and clock."""
    renamed = (
        behaviour(Position(index, item.name), on=item.on, rule=item.rule)
        for index, item in enumerate(policy)
    )
    if policy.limits is None:
        return Policy(renamed)
    return Policy(renamed, store=policy.store, clock=policy.clock)


class Decider:
    """Decides lines with `policy` (a `dry_run`) at `stage` (None: each
    line's own), adds their rows to `rows` and counts them in `counts`;
    `report(name, line, reason)` is told of a line that cannot be decided
    or shown, after it is counted as an event."""

    def __init__(
        self,
        policy: Policy,
        renderer: Renderer,
        stage: Any,
        counts: Counts,
        rows: list[str],
        report: Callable[[str, int, str], None],
    ) -> None:
        self.policy = policy
        self.renderer = renderer
        self.stage = stage
        self.counts = counts
        self.rows = rows
        self.report = report
        # The fast path's renderings: stage -> id(decision) -> entry, each
        # entry [tail, rows not yet counted, decision, stage], also listed
        # in `kept_rows`, and the one-event evaluator of each stage.
        self.kept: dict[Any, tuple[Any, dict[int, list[Any]]]] = {}
        self.kept_rows: list[list[Any]] = []
        # The clock of a policy with limits, moved to each line's time.
        clock = policy.clock
        self.clock = clock if isinstance(clock, Clock) else None

    def decide_values(self, name: str, values: list[Any], number: int) -> None:
        """Decides the lines whose values are `values`, numbered from
        `number` + 1; an `Unread` line goes to `decide_line`.

        The usual line (a JSON object that is not a decision record, at a
        plain-string stage or none, whose decision the renderer may keep)
        takes the fast path: its row is the line number before a rendering
        kept per stage and decision, and it is counted when the rows are
        written (`fold`). It is decided by its stage's one-event evaluator.
        The engine hands out the same decision object for the same hits, so
        a kept rendering is found by the decision's identity; the kept entry
        holds the decision, so that identity cannot pass to another object.
        Every other line takes `decide`.
        """
        if self.clock is not None:
            # Limits decide in order, each line at its own time.
            for value in values:
                number += 1
                if value.__class__ is Unread:
                    self.decide_line(name, number, value.raw)
                else:
                    self.decide(name, number, value)
            return
        pending = self.rows.append
        kept = self.kept
        fixed = self.stage
        renderer = self.renderer
        head = renderer.head
        as_jsonl = renderer.jsonl
        for value in values:
            number += 1
            if value.__class__ is not dict or "decision_log" in value:
                if value.__class__ is Unread:
                    self.decide_line(name, number, value.raw)
                else:
                    self.decide(name, number, value)
                continue
            stage = value.get("stage") if fixed is None else fixed
            if stage is not None and stage.__class__ is not str:
                self.decide(name, number, value)
                continue
            at_stage = kept.get(stage)
            if at_stage is None:
                at_stage = self.keep_stage(stage)
                if at_stage is None:
                    self.decide(name, number, value)
                    continue
            try:
                decision = at_stage[0](value)
            except Exception as exc:
                self.counts.events += 1
                self.report(name, number, "evaluation failed: " + describe_error(exc))
                continue
            entry = at_stage[1].get(id(decision))
            if entry is None:
                self.first_of(name, number, stage, decision, at_stage[1], value)
                continue
            entry[1] += 1
            if as_jsonl:
                pending(f'{{"line": {number}{head}{entry[0]}')
            else:
                tail = entry[0]
                # A row whose rules say what they read is made for its event.
                pending(f"{head}{number}".rjust(6) + (tail if tail.__class__ is str else tail(value)))

    def decide_line(self, name: str, number: int, raw: bytes) -> None:
        line = jsonl.parse_line(number, raw)
        if line is None:
            return  # a blank line
        if line[3] is not None:
            self.counts.events += 1
            self.report(name, number, line[3])
            return
        self.decide(name, number, line[2])

    def keep_stage(self, stage: Any) -> tuple[Any, dict[int, list[Any]]] | None:
        """What the fast path keeps for a stage not met yet; None when as
        many stages as renderings are kept already."""
        if len(self.kept) >= rendering.CACHE_LIMIT:
            return None
        at_stage = self.kept[stage] = (self.policy.evaluator(stage=stage), {})
        return at_stage

    def first_of(
        self, name: str, number: int, stage: Any, decision: Decision,
        by_decision: dict[int, list[Any]], event: Any,
    ) -> None:
        """A decision not kept yet: kept when its rendering may be, else
        rendered and counted as `decide` does."""
        if len(self.kept_rows) < rendering.CACHE_LIMIT and all(
            hit[2].__class__ is str for hit in decision.hits
        ):
            renderer = self.renderer
            try:
                kept: Any
                if renderer.reads(decision):
                    kept = renderer.detailed(stage, decision)
                    tail = kept(event)
                else:
                    kept = tail = renderer.tail(stage, decision)
            except Exception as exc:
                self.counts.events += 1
                self.report(name, number, f"cannot show the decision: {type(exc).__name__}: {exc}")
                return
            entry = [kept, 0, decision, stage]
            by_decision[id(decision)] = entry
            self.kept_rows.append(entry)
            entry[1] += 1
            self.rows.append(renderer.row(number, tail))
            return
        self.decided(name, number, stage, NOT_RECORDED, decision, event)

    def decide(self, name: str, line: int, value: Any) -> None:
        """The general path for one parsed line: checked, decided, rendered
        and counted at once."""
        event, stage, recorded, error = event_of(value, self.stage)
        if error is not None:
            self.counts.events += 1
            self.report(name, line, error)
            return
        if self.clock is not None:
            self.clock.advance(value)
        try:
            decision = self.policy.evaluate(event, stage=stage)
        except Exception as exc:
            self.counts.events += 1
            self.report(name, line, "evaluation failed: " + describe_error(exc))
            return
        self.decided(name, line, stage, recorded, decision, event)

    def decided(
        self, name: str, line: int, stage: Any, recorded: Any, decision: Decision, event: Any = rendering.NO_EVENT,
    ) -> None:
        counts = self.counts
        counts.events += 1
        verdict = decision.verdict
        try:
            out = self.renderer.record(line, stage, decision, event)
            key = verdict if verdict.__class__ is str else as_text(verdict)
            if recorded is not NOT_RECORDED:
                out = self.renderer.recorded(out, recorded, key != recorded)
        except Exception as exc:
            self.report(name, line, f"cannot show the decision: {type(exc).__name__}: {exc}")
            return
        if recorded is not NOT_RECORDED:
            counts.recorded += 1
            if key != recorded:
                counts.changed += 1
        self.rows.append(out)
        counts.count(stage, decision, key, 1)

    def fold(self) -> None:
        """Counts the fast path's rows since the last fold."""
        counts = self.counts
        for entry in self.kept_rows:
            times = entry[1]
            if times:
                entry[1] = 0
                counts.events += times
                decision = entry[2]
                counts.count(entry[3], decision, decision.verdict, times)
