"""Replay recorded events through a policy: ``quindle-brevault-agent replay``.

    quindle-brevault-agent replay POLICY [EVENTS ...] [--stage STAGE] [--format table|jsonl]
        [-o FILE] [--fail-on block|flag] [--max-errors N] [-q] [--jobs N]

Options may come before, between or after POLICY and EVENTS.

POLICY is a policy file (``policy.toml``, ``policy.json``), a Python file
(``path/to/policy.py``) or a module (``package.module``), the last two
optionally followed by ``:NAME``; the object named ``POLICY`` (or NAME) must be
a `Policy` or a list of behaviours. EVENTS are JSON Lines files, one JSON
object per line; ``-`` or no EVENTS at all reads standard input. Each event is
evaluated at ``--stage`` when given, else at its own top-level "stage" field
(an event without one is checked against every behaviour, as
``Policy.evaluate(event, stage=None)`` does). A ``--stage`` that no behaviour
of the policy uses is warned about on standard error, with the stages the
policy does use.

Decision logs replay as they are: a line with ``"decision_log": 1`` (a
record of a `DecisionLog`) is evaluated on its "event", at ``--stage`` when
given, else at the record's "stage"; the verdict it recorded is kept beside
the new one. This shows what a new policy would have done to recorded
traffic.

Replay only decides: it never calls a behaviour's `action`, so recorded
traffic cannot set off alerts or other side effects.

Output, on standard output (or in ``-o FILE``), one record per event:

- ``table`` (the default when standard output is a terminal): line number
  (``file:line`` with several inputs), stage, verdict and the hits;
- ``jsonl`` (the default otherwise, and with ``-o``): one JSON object per event,
  ``{"line": N, "file": F, "stage": S, "verdict": V, "hits": [{"behaviour": B,
  "rule": R, "verdict": V}, ...]}``, where F is ``"-"`` for standard input.
  Values that JSON cannot encode (a caller's own verdict object, say) are
  written as their ``str()``. A decision record's line also has
  ``"recorded": V``, the verdict the log holds; in the table, a row whose
  verdict differs from the recorded one ends with ``(recorded: V)``.

A summary goes to standard error (``-q`` leaves it out): events read, events
per verdict, how many decision records were read and how many of their
verdicts the policy would change (when there were any), how many events were
decided at a stage that no behaviour uses and which stages those were (a typo
such as "plannig" must not pass as "everything allowed"), hits per behaviour
and events per second. When standard error is a terminal, a progress line is
shown there while a large input is read; with ``TERM=dumb`` or ``NO_COLOR``
set it is redrawn with carriage returns and spaces only, never escape codes.

Events are decided by ``Policy.evaluate``, the evaluator that every command
and the guard share, on a copy of the policy without its actions.

Bad input is reported on standard error as ``FILE:LINE: reason`` and the
replay goes on with the next line: a line that is not JSON (or not UTF-8), a
line that is not a JSON object, and an event whose evaluation raises (a text
amount against a numeric cap; the reason names the behaviour and its rule). Blank lines are skipped. A policy that does not
load, or an input that cannot be opened or read, stops the replay with one
message. So does an output that is one of the inputs (``-o`` naming an
EVENTS file or the POLICY file, through a link too, or standard output
redirected to one), before anything is written:
``quindle-brevault-agent: OUTPUT is the same file as input INPUT``.
``--max-errors N`` shows the first N bad lines, then says once that
further ones are not shown; all are counted in the summary.

Ctrl-C stops the replay: the rows decided so far are written, the summary
counts exactly those, and the exit status is 130. Output that cannot be
written (a full disk) stops it with one message and exit status 2; a reader
that goes away (``| head``) stops it quietly.

``--jobs N`` replays each named regular file in N processes: the file is cut
into N byte ranges at line ends, and the rows, the reports of bad lines and
the summary are exactly those of one process. Standard input, pipes and gzip
files are read by one process. When interrupted, the rows written are the
first ones of the input, and the summary counts them.

Exit status: 0 when no event was blocked, 1 when some event was blocked (its
verdict is BLOCK, or a verdict of the caller's own, which ranks with BLOCK)
or, with ``--fail-on flag``, flagged, 2 when any input was bad or could not be
read, the output could not be written, or the policy did not load, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import pickle
import signal
import sys
import time
from typing import Any, BinaryIO, Sequence, TextIO, cast

from . import jsonl, outputs, replay_jobs
from .guarding import describe_error
from ._impl import Decision, Policy, behaviour
from .policy_files import POLICY_HELP, PolicyLoadError, load_error, load_policy

__all__ = [
    "main", "add_parser", "run", "event_of", "NOT_RECORDED",
    "as_json", "as_text", "row_head", "silence", "load_policy", "PolicyLoadError",
]

PROG = "quindle-brevault-agent"

EXIT_OK = 0
EXIT_BLOCKED = 1
EXIT_BAD_INPUT = 2

_CACHE_LIMIT = 4096  # rendered records kept per replay
_PROGRESS_AFTER = 0.5  # seconds before the first progress line
_PROGRESS_EVERY = 0.2  # seconds between progress lines


# ---------------------------------------------------------------- the policy


class _Position:
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
    """`policy` without its actions, each behaviour named by its `_Position`."""
    return Policy(
        behaviour(_Position(index, item.name), on=item.on, rule=item.rule)
        for index, item in enumerate(policy)
    )


# ---------------------------------------------------------------- rendering


def as_json(value: Any) -> str:
    """`value` as JSON, or its str() as a JSON string when JSON cannot encode it."""
    try:
        return json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return json.dumps(str(value))


def as_text(value: Any) -> str:
    """`value` for a table: its str(), or "-" for None."""
    return "-" if value is None else str(value)


_UNCACHED: Any = object()  # the cache key of a record that is rendered afresh


def row_head(fmt: str, name: str, show_file: bool) -> str:
    """What a row of input `name` holds before or around its line number:
    in jsonl the text between the number and the stage, in a table the
    ``file:`` before the number when several inputs are shown."""
    if fmt == "jsonl":
        return ', "file": ' + as_json(name) + ', "stage": '
    return name + ":" if show_file else ""


class _Renderer:
    """Turns decisions into output records; `record(...)` returns one line."""

    def __init__(self, policy: Policy, fmt: str, show_file: bool) -> None:
        self.fmt = fmt
        self.jsonl = fmt == "jsonl"
        self.show_file = show_file
        self.names = [(b.name, b.rule.name) for b in policy]
        self.cache: dict[Any, str] = {}
        self.head = ""

    def start_file(self, name: str) -> None:
        self.head = row_head(self.fmt, name, self.show_file)

    def header(self) -> str:
        if self.fmt == "jsonl":
            return ""
        return f"{'line':>6}  {'stage':<16}  {'verdict':<7}  hits\n"

    def record(self, line: int, stage: Any, decision: Decision) -> str:
        # What follows the line number only depends on the stage and the hits
        # (the verdict follows from the hits), so it is rendered once per
        # plain-string (or None) stage and set of hits whose verdicts are all
        # plain strings. A hit's behaviour is its policy's `_Position`, the
        # same object every time.
        hits = decision.hits
        key: Any = _UNCACHED
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
            if key is not _UNCACHED and len(self.cache) < _CACHE_LIMIT:
                self.cache[key] = tail
        return self.row(line, tail)

    def row(self, line: int, tail: str) -> str:
        """The row of line number `line`, given what follows the number."""
        if self.jsonl:
            return f'{{"line": {line}{self.head}{tail}'
        return f"{self.head}{line}".rjust(6) + tail

    def recorded(self, out: str, verdict: Any, changed: bool) -> str:
        """`out` with the verdict that a decision log recorded for the event."""
        if self.fmt == "jsonl":
            return out[:-2] + ', "recorded": ' + as_json(verdict) + "}\n"
        if changed:
            return out[:-1] + f"  (recorded: {as_text(verdict)})\n"
        return out

    def tail(self, stage: Any, decision: Decision) -> str:
        """What follows the line number in the row of `decision` at `stage`."""
        names = self.names
        verdict = decision.verdict
        hits = [(hit.behaviour.index, hit.verdict) for hit in decision.hits]
        if self.fmt == "jsonl":
            listed = ", ".join(
                '{"behaviour": ' + as_json(names[i][0]) + ', "rule": ' + as_json(names[i][1])
                + ', "verdict": ' + as_json(v) + "}"
                for i, v in hits
            )
            return as_json(stage) + ', "verdict": ' + as_json(verdict) + ', "hits": [' + listed + "]}\n"
        listed = ", ".join(f"{as_text(names[i][0])} ({as_text(names[i][1])}): {as_text(v)}" for i, v in hits)
        return f"  {as_text(stage):<16}  {as_text(verdict):<7}  {listed}".rstrip() + "\n"


NOT_RECORDED = object()


def _is_record(value: dict[Any, Any]) -> bool:
    """Whether a JSON object is a line of a decision log."""
    mark = value["decision_log"]
    return mark.__class__ is int and mark == 1


def event_of(value: Any, fixed: Any) -> tuple[Any, Any, Any, str | None]:
    """``(event, stage, recorded, error)`` for a parsed JSON line.

    A plain event is decided at `fixed` when it is not None, else at its own
    "stage" field; a line of a decision log is decided on the event it
    recorded, at `fixed` or else the record's "stage", and `recorded` is the
    verdict it holds (`NOT_RECORDED` for a plain event). `error` is the reason
    the line holds no event, and then the rest is None.
    """
    if value.__class__ is not dict:
        return None, None, None, f"not a JSON object but {jsonl.kind(value)}"
    if "decision_log" in value and _is_record(value):
        event = value.get("event")
        if event.__class__ is not dict:
            return None, None, None, (
                f"a decision record whose event is not a JSON object but {jsonl.kind(event)}"
            )
        stage = value.get("stage") if fixed is None else fixed
        return event, stage, value.get("verdict"), None
    stage = value.get("stage") if fixed is None else fixed
    return value, stage, NOT_RECORDED, None


# ---------------------------------------------------------------- Ctrl-C


_HERE = globals()
_READER = vars(jsonl)


class _Interrupts:
    """Ctrl-C that never leaves a row written but not counted, or counted but
    not written.

    While the reader is reading or parsing, the interrupt is raised at once
    (no row is half done then, and a read that blocks on a pipe must end).
    While this module decides, counts or writes a row, it waits for the end
    of the chunk (`check`); a second Ctrl-C does not wait.
    """

    def __init__(self) -> None:
        self.pending = False
        self.at_once = False  # while waiting for input or a worker: nothing is half done
        self.previous: Any = None

    def __enter__(self) -> _Interrupts:
        try:
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self.previous = signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: Ctrl-C is not ours to handle
            pass
        return self

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            self.previous = None

    def _handle(self, signum: int, frame: Any) -> None:
        if self.at_once or self.pending:
            raise KeyboardInterrupt
        while frame is not None:
            where = frame.f_globals
            if where is _HERE:
                self.pending = True
                return
            if where is _READER:
                break
            frame = frame.f_back
        raise KeyboardInterrupt

    def check(self) -> None:
        if self.pending:
            self.pending = False
            raise KeyboardInterrupt


# ---------------------------------------------------------------- lines


class _Unread:
    """A line that the quick readers left to `jsonl.parse_line`: blank, not
    UTF-8, not JSON, or only read exactly by json.loads."""

    __slots__ = ("raw",)

    def __init__(self, raw: bytes) -> None:
        self.raw = raw


def _values_of(piece: bytes) -> list[Any]:
    """The value of each line of `piece`, or its `_Unread`."""
    values: list[Any] = []
    append = values.append
    scan = jsonl.text_scanner()
    if scan is not None:
        # The standard library's scanner reads text: the piece is decoded
        # once, unless some line of it is not UTF-8.
        try:
            lines = piece.decode("utf-8").split("\n")
        except UnicodeDecodeError:
            pass
        else:
            for line in lines:
                try:
                    value, end = scan(line, 0)
                except Exception:
                    append(_Unread(line.encode("utf-8")))
                    continue
                if end == len(line) or (end == len(line) - 1 and line[end] == "\r"):
                    append(value)
                else:
                    append(_Unread(line.encode("utf-8")))
            return values
    decode, limit = jsonl.line_decoder()
    for raw in piece.split(b"\n"):
        if raw and len(raw) < limit:
            try:
                append(decode(raw))
                continue
            except Exception:
                pass  # json.loads decides and gives the reason
        append(_Unread(raw))
    return values


# ---------------------------------------------------------------- the replay


_SCALARS = ("events", "bad", "blocked", "recorded", "changed")


class _Replay:
    def __init__(
        self,
        policy: Policy,
        renderer: _Renderer,
        stage: Any,
        out: TextIO,
        err: TextIO,
        progress: bool,
        max_errors: int | None = None,
        escapes: bool = True,
    ) -> None:
        self.policy = dry_run(policy)
        self.names = [b.name for b in policy]
        self.stages = policy.stages
        self.renderer = renderer
        self.stage = stage
        self.out = out
        self.err = err
        self.progress = progress
        self.progress_shown = False
        self.progress_width = 0
        self.escapes = escapes
        self.out_tty = _isatty(out)
        self.max_errors = max_errors
        self.shown = 0  # bad lines reported one by one
        self.interrupts = _Interrupts()
        self.started = time.perf_counter()
        self.next_progress = self.started + _PROGRESS_AFTER
        self.source: jsonl.Source | None = None
        # In a worker process: where reports go, each after the size of the
        # rows written before it.
        self.reports: BinaryIO | None = None
        self.zero()

    def zero(self) -> None:
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
        self.quiet_stages: dict[Any, int] | None = None if None in self.stages else {}
        self.pending: list[str] = []
        # The fast path's renderings: stage -> id(decision) -> entry, each
        # entry [tail, rows not yet counted, decision, stage], also listed
        # in `kept_rows`, and the one-event evaluator of each stage.
        self.kept: dict[Any, tuple[Any, dict[int, list[Any]]]] = {}
        self.kept_rows: list[list[Any]] = []

    # -- output

    def flush(self) -> None:
        self.fold()
        if self.pending:
            if self.out_tty:
                self.clear_progress()
            self.out.write("".join(self.pending))
            self.pending.clear()
            self.out.flush()

    def report(self, source: str, line: int, reason: str) -> None:
        self.bad += 1
        self.show(f"{source}:{line}: {reason}\n")

    def show(self, text: str) -> None:
        """Shows the report of a bad line, unless --max-errors were shown."""
        if self.reports is not None:  # the parent shows it, in order
            self.flush()
            pickle.dump((self.out.tell(), text), self.reports)
            return
        if self.max_errors is not None and self.shown >= self.max_errors:
            if self.shown == self.max_errors:
                self.shown += 1
                self._show(f"{PROG}: further bad lines are not shown (--max-errors {self.max_errors})\n")
            return
        self.shown += 1
        self._show(text)

    def _show(self, text: str) -> None:
        if self.out_tty:
            self.flush()  # rows and reports share the screen: keep them in order
        self.clear_progress()
        self.err.write(text)
        self.err.flush()

    def clear_progress(self) -> None:
        if self.progress_shown:
            if self.escapes:
                self.err.write("\r\x1b[K")
            else:
                self.err.write("\r" + " " * self.progress_width + "\r")
            self.err.flush()
            self.progress_shown = False

    def chunk_done(self, lines: int, done: int) -> None:
        self.flush()
        self.interrupts.check()
        source = self.source
        if not self.progress or source is None:
            return
        now = time.perf_counter()
        if now < self.next_progress:
            return
        self.next_progress = now + _PROGRESS_EVERY
        read = f"{done / 1e6:,.1f} MB"
        if source.size:
            read += f" of {source.size / 1e6:,.1f} MB ({100 * done / source.size:.0f}%)"
        shown = f"{source.name}: {lines:,} lines, {read}"
        if self.escapes:
            self.err.write("\r\x1b[K" + shown)
        else:
            # Without escape codes the line is redrawn over itself, padded
            # with spaces to cover a longer previous one.
            self.err.write("\r" + shown.ljust(self.progress_width))
            self.progress_width = max(self.progress_width, len(shown))
        self.err.flush()
        self.progress_shown = True

    # -- input

    def run(self, source: jsonl.Source, first_line: int = 0) -> None:
        """Replays `source`, whose lines are numbered from `first_line` + 1."""
        self.source = source
        self.renderer.start_file(source.name)
        lines = 0
        blocks = jsonl.blocks(source)
        interrupts = self.interrupts
        try:
            while True:
                # Waiting for input, nothing is half done: Ctrl-C ends the
                # wait at once, and one held back since the last check does.
                interrupts.at_once = True
                try:
                    interrupts.check()
                    block, done = next(blocks, (None, 0))
                finally:
                    interrupts.at_once = False
                if block is None:
                    break
                self.decide_block(source.name, block, first_line + lines)
                lines += block.count(b"\n") + 1
                self.chunk_done(lines, done)
        finally:
            self.source = None
        self.flush()
        self.interrupts.check()

    def decide_block(self, name: str, block: bytes, number: int) -> None:
        """Decides the lines of `block`, numbered from `number` + 1, a piece
        of a few kilobytes at a time (so that the values of a piece are
        still in the cache when they are decided)."""
        size = len(block)
        start = 0
        while start <= size:
            end = size
            if size - start > jsonl.PIECE:
                end = block.rfind(b"\n", start, start + jsonl.PIECE)
                if end < 0:  # a line longer than a piece: a piece of its own
                    end = block.find(b"\n", start)
                    end = size if end < 0 else end
            piece = block[start:end]
            values = jsonl.decode_piece(piece)
            if values is None:
                values = _values_of(piece)
            self.decide_values(name, values, number)
            number += len(values)
            start = end + 1

    def decide_values(self, name: str, values: list[Any], number: int) -> None:
        """Decides the lines whose values are `values`, numbered from
        `number` + 1; an `_Unread` line goes to `decide_line`.

        The usual line (a JSON object that is not a decision record, at a
        plain-string stage or none, whose decision the renderer may keep)
        takes the fast path: its row is the line number before a rendering
        kept per stage and decision, and it is counted when the rows are
        flushed (`fold`). It is decided by its stage's one-event evaluator.
        The engine hands out the same decision object for the same hits, so
        a kept rendering is found by the decision's identity; the kept entry
        holds the decision, so that identity cannot pass to another object.
        Every other line takes `decide`.
        """
        pending = self.pending.append
        kept = self.kept
        fixed = self.stage
        renderer = self.renderer
        head = renderer.head
        as_jsonl = renderer.jsonl
        for value in values:
            number += 1
            if value.__class__ is not dict or "decision_log" in value:
                if value.__class__ is _Unread:
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
                self.events += 1
                self.report(name, number, "evaluation failed: " + describe_error(exc))
                continue
            entry = at_stage[1].get(id(decision))
            if entry is None:
                self.first_of(name, number, stage, decision, at_stage[1])
                continue
            entry[1] += 1
            if as_jsonl:
                pending(f'{{"line": {number}{head}{entry[0]}')
            else:
                pending(f"{head}{number}".rjust(6) + entry[0])

    def decide_line(self, name: str, number: int, raw: bytes) -> None:
        line = jsonl.parse_line(number, raw)
        if line is None:
            return  # a blank line
        if line[3] is not None:
            self.events += 1
            self.report(name, number, line[3])
            return
        self.decide(name, number, line[2])

    def keep_stage(self, stage: Any) -> tuple[Any, dict[int, list[Any]]] | None:
        """What the fast path keeps for a stage not met yet; None when as
        many stages as renderings are kept already."""
        if len(self.kept) >= _CACHE_LIMIT:
            return None
        at_stage = self.kept[stage] = (self.policy.evaluator(stage=stage), {})
        return at_stage

    def first_of(
        self, name: str, number: int, stage: Any, decision: Decision,
        by_decision: dict[int, list[Any]],
    ) -> None:
        """A decision not kept yet: kept when its rendering may be, else
        rendered and counted as `decide` does."""
        if len(self.kept_rows) < _CACHE_LIMIT and all(
            hit[2].__class__ is str for hit in decision.hits
        ):
            try:
                tail = self.renderer.tail(stage, decision)
            except Exception as exc:
                self.events += 1
                self.report(name, number, f"cannot show the decision: {type(exc).__name__}: {exc}")
                return
            entry = [tail, 0, decision, stage]
            by_decision[id(decision)] = entry
            self.kept_rows.append(entry)
            entry[1] += 1
            self.pending.append(self.renderer.row(number, tail))
            return
        self.decided(name, number, stage, NOT_RECORDED, decision)

    def decide(self, name: str, line: int, value: Any) -> None:
        """The general path for one parsed line: checked, decided, rendered
        and counted at once."""
        event, stage, recorded, error = event_of(value, self.stage)
        if error is not None:
            self.events += 1
            self.report(name, line, error)
            return
        try:
            decision = self.policy.evaluate(event, stage=stage)
        except Exception as exc:
            self.events += 1
            self.report(name, line, "evaluation failed: " + describe_error(exc))
            return
        self.decided(name, line, stage, recorded, decision)

    def decided(self, name: str, line: int, stage: Any, recorded: Any, decision: Decision) -> None:
        self.events += 1
        verdict = decision.verdict
        try:
            out = self.renderer.record(line, stage, decision)
            key = verdict if verdict.__class__ is str else as_text(verdict)
            if recorded is not NOT_RECORDED:
                out = self.renderer.recorded(out, recorded, key != recorded)
        except Exception as exc:
            self.report(name, line, f"cannot show the decision: {type(exc).__name__}: {exc}")
            return
        if recorded is not NOT_RECORDED:
            self.recorded += 1
            if key != recorded:
                self.changed += 1
        self.pending.append(out)
        self.count(stage, decision, key, 1)

    def count(self, stage: Any, decision: Decision, key: Any, times: int) -> None:
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

    def fold(self) -> None:
        """Counts the fast path's rows since the last fold."""
        for entry in self.kept_rows:
            times = entry[1]
            if times:
                entry[1] = 0
                self.events += times
                decision = entry[2]
                self.count(entry[3], decision, decision.verdict, times)

    # -- counts, to add up the work of several processes

    def counts(self) -> tuple[Any, ...]:
        self.fold()
        return (
            [getattr(self, name) for name in _SCALARS],
            self.verdicts,
            self.hit_counts,
            self.quiet_stages,
        )

    def add(self, counts: tuple[Any, ...]) -> None:
        scalars, verdicts, hit_counts, quiet_stages = counts
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
        self.fold()
        if self.quiet_stages is None:
            return {}
        stages = self.stages
        return {
            stage: count
            for stage, count in self.quiet_stages.items()
            if stage is not None and stage not in stages
        }

    def summary(self, sources: int) -> str:
        self.fold()
        elapsed = time.perf_counter() - self.started
        rate = self.events / elapsed if elapsed > 0 else 0.0
        parts = []
        for key in ("ALLOW", "FLAG", "BLOCK"):
            parts.append(f"{self.verdicts.get(key, 0):,} {key}")
        for key, count in self.verdicts.items():
            if key not in ("ALLOW", "FLAG", "BLOCK"):
                parts.append(f"{count:,} {key}")
        parts.append(f"{self.bad:,} bad")
        lines = [
            f"{PROG}: {self.events:,} events read from {sources} input{'s' if sources != 1 else ''}"
            f" in {elapsed:.3f} s ({rate:,.0f} events/s)",
            "  verdicts: " + ", ".join(parts),
        ]
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
        self.fold()
        if self.bad:
            return EXIT_BAD_INPUT
        if self.blocked or (fail_on == "flag" and self.verdicts.get("FLAG")):
            return EXIT_BLOCKED
        return EXIT_OK


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _escapes() -> bool:
    """Whether the terminal may be sent escape codes."""
    return os.environ.get("TERM") != "dumb" and not os.environ.get("NO_COLOR")


# ---------------------------------------------------------------- the command


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def _jobs(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_count.__name__ = "non-negative integer"
_jobs.__name__ = "positive integer"


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "replay",
        help="replay recorded events through a policy",
        description=(
            "Show what POLICY would have decided on recorded events. Exit status: "
            "0 when no event was blocked, 1 when some event was blocked (or flagged, "
            "with --fail-on flag), 2 when any input was bad or could not be read, "
            "130 when interrupted. Actions are never called."
        ),
    )
    parser.add_argument(
        "policy",
        metavar="POLICY",
        help=POLICY_HELP,
    )
    parser.add_argument(
        "events",
        metavar="EVENTS",
        nargs="*",
        help="JSON Lines files, one event object per line; - or none reads standard input",
    )
    parser.add_argument(
        "--stage",
        help="evaluate every event at STAGE (default: each event's own \"stage\" field)",
    )
    parser.add_argument(
        "--format",
        choices=("table", "jsonl"),
        help="output format (default: table on a terminal, jsonl otherwise or with --output)",
    )
    parser.add_argument(
        "-o", "--output", metavar="FILE", help="write the rows to FILE instead of standard output"
    )
    parser.add_argument(
        "--fail-on",
        choices=("block", "flag"),
        default="block",
        help="exit 1 when some event was blocked (block, the default), or flagged or blocked (flag)",
    )
    parser.add_argument(
        "--max-errors",
        metavar="N",
        type=_count,
        help="report the first N bad lines only (all are counted)",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="no summary (bad lines and warnings are still shown)"
    )
    parser.add_argument(
        "--jobs",
        metavar="N",
        type=_jobs,
        default=1,
        help="replay each named file in N processes (default 1); "
        "standard input, pipes and gzip files are read in one",
    )
    parser.set_defaults(run=run)
    return parser


def _stage_warning(stage: str, stages: frozenset[Any]) -> str | None:
    """The warning for a --stage that no behaviour of the policy uses, if so."""
    if None in stages or stage in stages:
        return None
    if not stages:
        used = "the policy has no behaviours"
    else:
        used = "the stages it uses: " + ", ".join(sorted(repr(item) for item in stages))
    return f"{PROG}: warning: no behaviour of the policy uses stage {stage!r} ({used})\n"


def run(args: argparse.Namespace) -> int:
    """The replay command on parsed arguments; returns the exit status."""
    out = sys.stdout
    err = sys.stderr
    try:
        policy = load_policy(args.policy)
    except PolicyLoadError as exc:
        err.write(f"{PROG}: {load_error(args.policy, exc)}\n")
        return EXIT_BAD_INPUT

    names = args.events or ["-"]
    stdin = cast(BinaryIO, getattr(sys.stdin, "buffer", sys.stdin))
    try:
        sources = jsonl.open_sources(names, stdin)
    except jsonl.InputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT

    output = getattr(args, "output", None)
    refused = outputs.refusal(
        [outputs.standard_output() if output is None else (output, output)],
        outputs.inputs([args.policy], sources),
    )
    if refused is not None:
        jsonl.close_sources(sources)
        err.write(refused + "\n")
        return EXIT_BAD_INPUT
    target = "standard output"
    if output is not None:
        target = output
        try:
            out = open(output, "w", encoding="utf-8", errors="backslashreplace")
        except OSError as exc:
            jsonl.close_sources(sources)
            err.write(f"{PROG}: cannot open {output} for writing: {exc.strerror or exc}\n")
            return EXIT_BAD_INPUT

    if args.stage is not None:
        warning = _stage_warning(args.stage, policy.stages)
        if warning:
            err.write(warning)

    fmt = args.format or ("table" if _isatty(out) else "jsonl")
    if fmt == "table" and isinstance(out, io.TextIOWrapper) and out.errors == "strict":
        # A stage of the input can hold a lone surrogate (a JSON escape):
        # shown escaped rather than failing the write.
        out.reconfigure(errors="backslashreplace")
    renderer = _Renderer(policy, fmt, show_file=len(sources) > 1)
    replay = _Replay(
        policy,
        renderer,
        args.stage,
        out,
        err,
        progress=_isatty(err),
        max_errors=getattr(args, "max_errors", None),
        escapes=_escapes(),
    )
    jobs = getattr(args, "jobs", 1)
    status = None
    with replay.interrupts:
        try:
            head = renderer.header()
            if head:
                out.write(head)
            for source in sources:
                ranges = replay_jobs.ranges(source, jobs) if jobs > 1 else None
                if ranges is not None and len(ranges) > 1:
                    replay_jobs.run_parallel(replay, source, ranges)
                else:
                    replay.run(source)
        except jsonl.InputError as exc:
            replay.flush()
            replay.clear_progress()
            err.write(f"{PROG}: {exc}\n")
            status = EXIT_BAD_INPUT
        except BrokenPipeError:
            # Whoever read the output went away; say what was seen and stop.
            replay.pending.clear()
            replay.clear_progress()
            silence(out)
        except KeyboardInterrupt:
            # The rows decided so far are written: the summary counts them.
            try:
                replay.flush()
            except BrokenPipeError:
                silence(out)
            except OSError as exc:
                return _write_failed(replay, out, target, exc, sources)
            replay.clear_progress()
            err.write(f"\n{PROG}: interrupted\n")
            status = 130
        except OSError as exc:
            return _write_failed(replay, out, target, exc, sources)
        finally:
            jsonl.close_sources(sources)
    if output is not None:
        try:
            out.close()
        except OSError as exc:
            return _write_failed(replay, out, target, exc, sources)
    replay.clear_progress()
    if not getattr(args, "quiet", False):
        err.write(replay.summary(len(sources)))
    err.flush()
    return replay.status(getattr(args, "fail_on", "block")) if status is None else status


def _write_failed(
    replay: _Replay, out: TextIO, target: str, exc: OSError, sources: list[jsonl.Source]
) -> int:
    """The one message for output that cannot be written (a full disk)."""
    jsonl.close_sources(sources)
    replay.pending.clear()
    replay.clear_progress()
    silence(out)
    try:
        out.close()
    except (OSError, ValueError):
        pass
    replay.err.write(f"{PROG}: cannot write {target}: {exc.strerror or exc}\n")
    replay.err.flush()
    return EXIT_BAD_INPUT


def main(argv: Sequence[str] | None = None) -> int:
    """The whole command line (``replay ...`` included in `argv`); the exit status."""
    from .cli import main as cli_main

    return cli_main(argv)


def silence(out: TextIO) -> None:
    """Points `out` at the null device: later flushes (at exit included) cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
