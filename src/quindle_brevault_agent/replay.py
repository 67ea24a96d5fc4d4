"""Replay recorded events through a policy: ``quindle-brevault-agent replay``.

    quindle-brevault-agent replay POLICY [EVENTS ...] [--stage STAGE] [--format table|jsonl]

POLICY is a policy file (``policy.toml``, ``policy.json``), a Python file
(``path/to/policy.py``) or a module (``package.module``), the last two
optionally followed by ``:NAME``; the object named ``POLICY`` (or NAME) must be
a `Policy` or a list of behaviours. EVENTS are JSON Lines files, one JSON
object per line; ``-`` or no EVENTS at all reads standard input. Each event is
evaluated at ``--stage`` when given, else at its own top-level "stage" field
(an event without one is checked against every behaviour, as
``Policy.evaluate(event, stage=None)`` does).

Decision logs replay as they are: a line with ``"decision_log": 1`` (a
record of a `DecisionLog`) is evaluated on its "event", at ``--stage`` when
given, else at the record's "stage"; the verdict it recorded is kept beside
the new one. This shows what a new policy would have done to recorded
traffic.

Replay only decides: it never calls a behaviour's `action`, so recorded
traffic cannot set off alerts or other side effects.

Output, on standard output, one record per event:

- ``table`` (the default when standard output is a terminal): line number
  (``file:line`` with several inputs), stage, verdict and the hits;
- ``jsonl`` (the default otherwise): one JSON object per event,
  ``{"line": N, "file": F, "stage": S, "verdict": V, "hits": [{"behaviour": B,
  "rule": R, "verdict": V}, ...]}``, where F is ``"-"`` for standard input.
  Values that JSON cannot encode (a caller's own verdict object, say) are
  written as their ``str()``. A decision record's line also has
  ``"recorded": V``, the verdict the log holds; in the table, a row whose
  verdict differs from the recorded one ends with ``(recorded: V)``.

A summary goes to standard error: events read, events per verdict, how many
decision records were read and how many of their verdicts the policy would
change (when there were any), hits per behaviour and events per second. When standard error is a terminal, a
progress line is shown there while a large input is read.

Events are decided by ``Policy.evaluate``, the evaluator that every command
and the guard share, on a copy of the policy without its actions.

Bad input is reported on standard error as ``FILE:LINE: reason`` and the
replay goes on with the next line: a line that is not JSON (or not UTF-8), a
line that is not a JSON object, and an event whose evaluation raises (a text
amount against a numeric cap; the reason names the behaviour and its rule). Blank lines are skipped. A policy that does not
load, or an input that cannot be opened or read, stops the replay with one
message.

Exit status: 0 when no event was blocked, 1 when some event was blocked (its
verdict is BLOCK, or a verdict of the caller's own, which ranks with BLOCK),
2 when any input was bad or could not be read, or the policy did not load.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Any, BinaryIO, Sequence, TextIO, cast

from . import jsonl
from .guarding import describe_error
from ._impl import Decision, Policy, behaviour
from .policy_files import PolicyLoadError, load_error, load_policy

__all__ = ["main", "add_parser", "run", "event_of", "NOT_RECORDED", "load_policy", "PolicyLoadError"]

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


def _json(value: Any) -> str:
    """`value` as JSON, or its str() as a JSON string when JSON cannot encode it."""
    try:
        return json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return json.dumps(str(value))


def _text(value: Any) -> str:
    return "-" if value is None else str(value)


_UNCACHED: Any = object()  # the cache key of a record that is rendered afresh


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
        if self.fmt == "jsonl":
            self.head = ', "file": ' + _json(name) + ', "stage": '
        else:
            self.head = name + ":" if self.show_file else ""

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
            tail = self._tail(stage, decision)
            if key is not _UNCACHED and len(self.cache) < _CACHE_LIMIT:
                self.cache[key] = tail
        if self.jsonl:
            return f'{{"line": {line}{self.head}{tail}'
        return f"{self.head}{line}".rjust(6) + tail

    def recorded(self, out: str, verdict: Any, changed: bool) -> str:
        """`out` with the verdict that a decision log recorded for the event."""
        if self.fmt == "jsonl":
            return out[:-2] + ', "recorded": ' + _json(verdict) + "}\n"
        if changed:
            return out[:-1] + f"  (recorded: {_text(verdict)})\n"
        return out

    def _tail(self, stage: Any, decision: Decision) -> str:
        names = self.names
        verdict = decision.verdict
        hits = [(hit.behaviour.index, hit.verdict) for hit in decision.hits]
        if self.fmt == "jsonl":
            listed = ", ".join(
                '{"behaviour": ' + _json(names[i][0]) + ', "rule": ' + _json(names[i][1])
                + ', "verdict": ' + _json(v) + "}"
                for i, v in hits
            )
            return _json(stage) + ', "verdict": ' + _json(verdict) + ', "hits": [' + listed + "]}\n"
        listed = ", ".join(f"{_text(names[i][0])} ({_text(names[i][1])}): {_text(v)}" for i, v in hits)
        return f"  {_text(stage):<16}  {_text(verdict):<7}  {listed}".rstrip() + "\n"


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


# ---------------------------------------------------------------- the replay


class _Replay:
    def __init__(
        self,
        policy: Policy,
        renderer: _Renderer,
        stage: Any,
        out: TextIO,
        err: TextIO,
        progress: bool,
    ) -> None:
        self.policy = dry_run(policy)
        self.names = [b.name for b in policy]
        self.renderer = renderer
        self.stage = stage
        self.out = out
        self.err = err
        self.progress = progress
        self.progress_shown = False
        self.out_tty = _isatty(out)
        self.started = time.perf_counter()
        self.next_progress = self.started + _PROGRESS_AFTER
        self.source: jsonl.Source | None = None
        self.events = 0
        self.bad = 0
        self.blocked = 0
        self.recorded = 0  # decision-log records replayed
        self.changed = 0  # of which the policy would decide otherwise
        self.verdicts: dict[Any, int] = {}
        self.hit_counts = [0] * len(self.names)
        self.pending: list[str] = []

    # -- output

    def flush(self) -> None:
        if self.pending:
            if self.out_tty:
                self.clear_progress()
            self.out.write("".join(self.pending))
            self.pending.clear()
            self.out.flush()

    def report(self, source: str, line: int, reason: str) -> None:
        self.bad += 1
        if self.out_tty:
            self.flush()  # rows and reports share the screen: keep them in order
        self.clear_progress()
        self.err.write(f"{source}:{line}: {reason}\n")
        self.err.flush()

    def clear_progress(self) -> None:
        if self.progress_shown:
            self.err.write("\r\x1b[K")
            self.err.flush()
            self.progress_shown = False

    def chunk_done(self, lines: int, done: int) -> None:
        self.flush()
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
        self.err.write(f"\r\x1b[K{source.name}: {lines:,} lines, {read}")
        self.err.flush()
        self.progress_shown = True

    # -- input

    def run(self, source: jsonl.Source) -> None:
        self.source = source
        name = source.name
        self.renderer.start_file(name)
        evaluate = self.policy.evaluate
        record = self.renderer.record
        pending = self.pending.append
        verdicts = self.verdicts
        hit_counts = self.hit_counts
        fixed = self.stage
        try:
            for line, _raw, event, error in jsonl.read(source, self.chunk_done):
                self.events += 1
                if error is not None:
                    self.report(name, line, error)
                    continue
                event, stage, recorded, error = event_of(event, fixed)
                if error is not None:
                    self.report(name, line, error)
                    continue
                try:
                    decision = evaluate(event, stage=stage)
                except Exception as exc:
                    self.report(name, line, "evaluation failed: " + describe_error(exc))
                    continue
                verdict = decision.verdict
                try:
                    out = record(line, stage, decision)
                    key = verdict if verdict.__class__ is str else _text(verdict)
                    if recorded is not NOT_RECORDED:
                        out = self.renderer.recorded(out, recorded, key != recorded)
                except Exception as exc:
                    self.report(name, line, f"cannot show the decision: {type(exc).__name__}: {exc}")
                    continue
                if recorded is not NOT_RECORDED:
                    self.recorded += 1
                    if key != recorded:
                        self.changed += 1
                pending(out)
                verdicts[key] = verdicts.get(key, 0) + 1
                hits = decision.hits
                if hits:
                    for hit in hits:
                        hit_counts[hit[0].index] += 1
                    if decision.blocked:
                        self.blocked += 1
        finally:
            self.source = None
        self.flush()

    # -- the end

    def summary(self, sources: int) -> str:
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
        lines.append("  hits per behaviour:")
        names = [_text(name) for name in self.names]
        width = max((len(n) for n in names), default=0)
        for name, count in zip(names, self.hit_counts):
            lines.append(f"    {name:<{width}}  {count:,}")
        if not names:
            lines.append("    (the policy has no behaviours)")
        return "\n".join(lines) + "\n"

    def status(self) -> int:
        if self.bad:
            return EXIT_BAD_INPUT
        if self.blocked:
            return EXIT_BLOCKED
        return EXIT_OK


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


# ---------------------------------------------------------------- the command


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "replay",
        help="replay recorded events through a policy",
        description=(
            "Show what POLICY would have decided on recorded events. Exit status: "
            "0 when no event was blocked, 1 when some event was blocked, 2 when any "
            "input was bad or could not be read. Actions are never called."
        ),
    )
    parser.add_argument(
        "policy",
        metavar="POLICY",
        help="a policy file (.toml, .json), a Python file or package.module, "
        "optionally :NAME (default POLICY), holding a Policy or a list of behaviours",
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
        help="output format (default: table on a terminal, jsonl otherwise)",
    )
    parser.set_defaults(run=run)
    return parser


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

    fmt = args.format or ("table" if _isatty(out) else "jsonl")
    renderer = _Renderer(policy, fmt, show_file=len(sources) > 1)
    replay = _Replay(policy, renderer, args.stage, out, err, progress=_isatty(err))
    status = None
    try:
        head = renderer.header()
        if head:
            out.write(head)
        for source in sources:
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
        _silence(out)
    except KeyboardInterrupt:
        replay.pending.clear()
        replay.clear_progress()
        err.write(f"\n{PROG}: interrupted\n")
        status = 130
    finally:
        jsonl.close_sources(sources)
    replay.clear_progress()
    err.write(replay.summary(len(sources)))
    err.flush()
    return replay.status() if status is None else status


def main(argv: Sequence[str] | None = None) -> int:
    """The whole command line (``replay ...`` included in `argv`); the exit status."""
    from .cli import main as cli_main

    return cli_main(argv)


def _silence(out: TextIO) -> None:
    # Later flushes of standard output (at exit included) must not fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
