"""Decisions as rows: the pieces that the replay's rows and the diff's share,
and the replay's renderer.

A row is a line number and what follows it. In ``jsonl`` a row is
``{"line": N, "file": F, "stage": S, ...}``; in a table it is the line number
(``file:line`` with several inputs) right-aligned in six columns, the stage,
the verdicts and the hits. What follows the number depends only on the
stage and the decision, so a renderer keeps it for the decisions it meets
again (at most `CACHE_LIMIT` of them) and puts a new number before it; in a
table, a hit of one of the library's rules also says what the rule read in
the event (``cap_500 (spend_cap<=500): BLOCK (amount=900)``), so such a row
keeps its fixed part and adds what was read (`Detailed`).
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Callable, Sequence

from .._impl import rule_reader

if TYPE_CHECKING:
    from .._impl import Decision, Policy

__all__ = [
    "CACHE_LIMIT", "as_json", "as_text", "row_head", "numbered", "table_header",
    "table_tail", "table_columns", "Renderer", "Detailed", "NO_EVENT",
]

CACHE_LIMIT = 4096  # renderings kept per run, and stages the replay keeps them for


def as_json(value: Any) -> str:
    """`value` as JSON, or its str() as a JSON string when JSON cannot encode it."""
    try:
        return json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return json.dumps(str(value))


def as_text(value: Any) -> str:
    """`value` for a table: its str(), or "-" for None."""
    return "-" if value is None else str(value)


def row_head(fmt: str, name: str, show_file: bool) -> str:
    """What a row of input `name` holds before or around its line number:
    in jsonl the text between the number and the stage, in a table the
    ``file:`` before the number when several inputs are shown."""
    if fmt == "jsonl":
        return ', "file": ' + as_json(name) + ', "stage": '
    return name + ":" if show_file else ""


def numbered(jsonl: bool, head: str, line: int, tail: str) -> str:
    """The row of line number `line`, given its input's `row_head` and what
    follows the number."""
    if jsonl:
        return f'{{"line": {line}{head}{tail}'
    return f"{head}{line}".rjust(6) + tail


def table_header(verdicts: Sequence[str]) -> str:
    """The first line of a table whose verdict columns are `verdicts`."""
    return f"{'line':>6}  {'stage':<16}  " + "".join(f"{name:<7}  " for name in verdicts) + "hits\n"


def table_tail(stage: str, verdicts: Sequence[str], hits: str) -> str:
    """What follows the line number in a table row: the stage and the verdict
    columns, shown as text already, then the hits."""
    return (table_columns(stage, verdicts) + hits).rstrip() + "\n"


def table_columns(stage: str, verdicts: Sequence[str]) -> str:
    """What comes before the hits in `table_tail`."""
    columns = "".join(f"  {verdict:<7}" for verdict in verdicts)
    return f"  {stage:<16}{columns}  "


_UNCACHED: Any = object()  # the cache key of a record that is rendered afresh
NO_EVENT: Any = object()  # a decision shown without its event: nothing read is said

Reader = Callable[[Any], "str | None"]


class Detailed:
    """What follows the line number in a table row whose hits include one of
    the library's rules: the parts fixed by the stage and the decision, and
    what each such rule reads in the row's event, said when called with it."""

    __slots__ = ("columns", "hits")

    def __init__(self, stage: str, verdict: str, hits: list[tuple[str, Reader | None]]) -> None:
        self.columns = table_columns(stage, (verdict,))
        self.hits = hits

    def __call__(self, event: Any) -> str:
        parts = []
        for text, reader in self.hits:
            said = None if reader is None or event is NO_EVENT else reader(event)
            parts.append(text if said is None else f"{text} ({said})")
        return (self.columns + ", ".join(parts)).rstrip() + "\n"


class Renderer:
    """The replay's rows: one decision of `policy` each; `record(...)` returns one row.

    The hits of a decision name their behaviour by its position in the policy
    (the replay decides with a copy whose behaviours are named so).
    """

    def __init__(self, policy: Policy, fmt: str, show_file: bool) -> None:
        self.fmt = fmt
        self.jsonl = fmt == "jsonl"
        self.show_file = show_file
        self.names = [(b.name, b.rule.name) for b in policy]
        # What the library's rules read, for a table's hits.
        self.readers: list[Reader | None] = [] if self.jsonl else [rule_reader(b.rule.fn) for b in policy]
        self.cache: dict[Any, str] = {}
        self.head = ""

    def start_file(self, name: str) -> None:
        self.head = row_head(self.fmt, name, self.show_file)

    def header(self) -> str:
        if self.jsonl:
            return ""
        return table_header(("verdict",))

    def record(self, line: int, stage: Any, decision: Decision, event: Any = NO_EVENT) -> str:
        # What follows the line number only depends on the stage and the hits
        # (the verdict follows from the hits), so it is rendered once per
        # plain-string (or None) stage and set of hits whose verdicts are all
        # plain strings. A hit's behaviour is its policy's position, the same
        # object every time.
        hits = decision.hits
        key: Any = _UNCACHED
        if self.readers and event is not NO_EVENT and self.reads(decision):
            return numbered(False, self.head, line, self.detailed(stage, decision)(event))
        if stage is None or stage.__class__ is str:
            if not hits:
                key = stage
            elif len(hits) == 1:
                hit = hits[0]
                if hit[2].__class__ is str:
                    key = (stage, hit[0], hit[2])
            else:
                parts = [stage]
                for hit in hits:
                    if hit[2].__class__ is not str:
                        break
                    parts += (hit[0], hit[2])
                else:
                    key = tuple(parts)
        tail = self.cache.get(key)
        if tail is None:
            tail = self.tail(stage, decision)
            if key is not _UNCACHED and len(self.cache) < CACHE_LIMIT:
                self.cache[key] = tail
        return numbered(self.jsonl, self.head, line, tail)

    def row(self, line: int, tail: str) -> str:
        """The row of line number `line`, given what follows the number."""
        return numbered(self.jsonl, self.head, line, tail)

    def recorded(self, out: str, verdict: Any, changed: bool) -> str:
        """`out` with the verdict that a decision log recorded for the event."""
        if self.jsonl:
            return out[:-2] + ', "recorded": ' + as_json(verdict) + "}\n"
        if changed:
            return out[:-1] + f"  (recorded: {as_text(verdict)})\n"
        return out

    def reads(self, decision: Decision) -> bool:
        """Whether a table row of `decision` says what a rule read in its event."""
        readers = self.readers
        return bool(readers) and any(readers[hit.behaviour.index] is not None for hit in decision.hits)

    def detailed(self, stage: Any, decision: Decision) -> Detailed:
        """The table row's tail of `decision` at `stage`, to be given the event."""
        names = self.names
        readers = self.readers
        hits = []
        for hit in decision.hits:
            at = hit.behaviour.index
            text = f"{as_text(names[at][0])} ({as_text(names[at][1])}): {as_text(hit.verdict)}"
            hits.append((text, readers[at]))
        return Detailed(as_text(stage), as_text(decision.verdict), hits)

    def tail(self, stage: Any, decision: Decision) -> str:
        """What follows the line number in the row of `decision` at `stage`."""
        names = self.names
        verdict = decision.verdict
        hits = [(hit.behaviour.index, hit.verdict) for hit in decision.hits]
        if self.jsonl:
            listed = ", ".join(
                '{"behaviour": ' + as_json(names[i][0]) + ', "rule": ' + as_json(names[i][1])
                + ', "verdict": ' + as_json(v) + "}"
                for i, v in hits
            )
            return as_json(stage) + ', "verdict": ' + as_json(verdict) + ', "hits": [' + listed + "]}\n"
        listed = ", ".join(f"{as_text(names[i][0])} ({as_text(names[i][1])}): {as_text(v)}" for i, v in hits)
        return table_tail(as_text(stage), (as_text(verdict),), listed)
