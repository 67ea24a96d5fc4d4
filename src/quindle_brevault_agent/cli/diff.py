"""What a policy change would change on recorded traffic: ``quindle-brevault-agent diff``.

    quindle-brevault-agent diff OLD NEW [EVENTS ...] [--stage STAGE] [--format table|jsonl]

OLD and NEW are policies in any form that ``replay`` takes (a policy file, a
Python file or a module, the last two optionally followed by ``:NAME``).
EVENTS are read exactly as the replay reads them: JSON Lines of events or of
decision-log records (evaluated on the event they recorded), ``-`` or no
EVENTS at all for standard input, each event at ``--stage`` when given, else
at its own stage. Both policies decide every event, on copies without their
actions: nothing is set off. Limits are decided in input order, each policy
against a fresh in-memory store of its own, each event at its own time (a
decision record's "time", else one second after the event before it).

An event is reported when the two decisions differ: in the verdict, or in the
hits, compared by behaviour name. ``added`` are the hits of NEW whose
behaviour has no hit under OLD, ``removed`` the reverse (as multisets: a name
that hits twice under OLD and once under NEW is removed once). A behaviour that
hits under both with another verdict is ``changed``. A hit whose rule was
renamed but whose verdict stayed, or hits listed in another order, are no
change. Verdicts, names and rules are compared as they are shown: a verdict
that is not a plain string (a caller's own object) as its ``str()``.

Output, on standard output, one record per changed event:

- ``table`` (the default when standard output is a terminal): line
  (``file:line`` with several inputs), stage, old and new verdict, then the
  hits: ``+NAME (RULE): V`` added, ``-NAME (RULE): V`` removed,
  ``~NAME (RULE): OLD -> NEW`` changed (``(RULE -> RULE)`` when the rule was
  renamed too);
- ``jsonl`` (the default otherwise): ``{"line": N, "file": F, "stage": S,
  "old": V, "new": V, "added": [HIT, ...], "removed": [HIT, ...], "changed":
  [{"behaviour": B, "old": {"rule": R, "verdict": V}, "new": {"rule": R,
  "verdict": V}}, ...]}`` where a HIT is ``{"behaviour": B, "rule": R,
  "verdict": V}`` and F is ``"-"`` for standard input.

A summary goes to standard error, where the replay puts its own, so that
standard output stays a clean stream of records: events read, unchanged,
changed and bad, then the count of each transition, ``ALLOW -> BLOCK: 12``
(``FLAG -> FLAG: 3`` counts events whose verdict stayed but whose hits did
not).

Bad input is reported on standard error as ``FILE:LINE: reason`` and the run
goes on: a line that is not JSON or not a JSON object, and an event whose
evaluation raises under either policy (the reason says under which). A
policy that does not load (the message says which, OLD or NEW) or an input
that cannot be opened or read stops the run with one message, and so does a
standard output that is the same file as OLD, NEW or an input.

Exit status: 0 when no event changed, 1 when some event changed, 2 when any
input was bad or could not be read, a policy did not load or the output
could not be written (2 wins over 1), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
import time
from typing import Any, BinaryIO, Sequence, TextIO, cast

import quindle_brevault_agent.cli.cluster as cluster
import quindle_brevault_agent.cli.rendering as rendering

from .. import jsonl
from .._impl import Policy, without_actions
from ..enforce.guarding import describe_error
from ..policy_files import POLICY_HELP, PolicyLoadError, load_error, load_policy
from .counting import events_read
from .interrupts import install, restore
from .output import PROG, OutputError, escaping, inputs, isatty, refusal, silence, standard_output
from .progress import Progress, escapes
from .reading import event_of
from .rendering import as_json, as_text, numbered, row_head, table_header, table_tail
from .simulating import simulated

__all__ = ["add_parser", "run", "compare"]

EXIT_SAME = 0
EXIT_CHANGED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130

_ORDER = {"ALLOW": 0, "FLAG": 1, "ASK": 2, "BLOCK": 3}


# ---------------------------------------------------------------- the policies


def _load(which: str, target: str, err: TextIO) -> Policy | None:
    try:
        return load_policy(target)
    except PolicyLoadError as exc:
        err.write(f"{PROG}: {which}: {load_error(target, exc)}\n")
        return None


def _forget_modules_of(target: str, before: set[str]) -> None:
    """Drops from `sys.modules` the Python modules that loading the Python file
    `target` imported from its own folder, so that NEW imports its own helpers
    rather than OLD's (two checkouts of one project, say). OLD's policy keeps
    what it already holds. Only modules found through the folder itself go;
    anything installed below it (a virtual environment) stays."""
    ref = target
    head, colon, tail = target.rpartition(":")
    if colon and tail.isidentifier():
        ref = head
    if not (ref.endswith(".py") or os.sep in ref):
        return
    folder = os.path.dirname(os.path.abspath(ref))
    for name in set(sys.modules) - before:
        path = getattr(sys.modules.get(name), "__file__", None)
        if not (isinstance(path, str) and path.endswith(".py")):
            continue
        top = os.path.relpath(os.path.abspath(path), folder).split(os.sep)[0]
        package = name.partition(".")[0]
        if top == package or top == package + ".py":
            del sys.modules[name]


# ---------------------------------------------------------------- comparing


def _shown(value: Any) -> Any:
    """What `value` is compared as: a plain string or None as it is, anything else as its str()."""
    if value is None or value.__class__ is str:
        return value
    return str(value)


def compare(old_hits: Sequence[Any], new_hits: Sequence[Any]) -> tuple[list[Any], list[Any], list[Any]]:
    """``(added, removed, changed)`` between two decisions' hits.

    A hit of NEW is paired with the next unpaired hit of OLD whose behaviour
    has the same name; `added` are the hits of NEW left unpaired, `removed`
    those of OLD, each in its policy's order, and `changed` the ``(old, new)``
    pairs whose verdicts differ.
    """
    waiting: dict[Any, list[int]] = {}
    for index, hit in enumerate(old_hits):
        waiting.setdefault(_shown(hit[0]), []).append(index)
    paired = [False] * len(old_hits)
    added = []
    changed = []
    for hit in new_hits:
        indices = waiting.get(_shown(hit[0]))
        if not indices:
            added.append(hit)
            continue
        index = indices.pop(0)
        paired[index] = True
        before = old_hits[index]
        if _shown(before[2]) != _shown(hit[2]):
            changed.append((before, hit))
    removed = [hit for hit, done in zip(old_hits, paired) if not done]
    return added, removed, changed


# ---------------------------------------------------------------- rendering


def _plain(hits: Sequence[Any]) -> bool:
    for hit in hits:
        if hit[0].__class__ is not str or hit[1].__class__ is not str or hit[2].__class__ is not str:
            return False
    return True


class _Renderer:
    """Turns two decisions into a row, or None when they do not differ."""

    def __init__(self, fmt: str, show_file: bool) -> None:
        self.fmt = fmt
        self.show_file = show_file
        self.head = ""
        # (stage, old hits, new hits) -> (transition, rest of the row) or None;
        # only for plain-string stages, names, rules and verdicts.
        self.cache: dict[Any, Any] = {}

    def start_file(self, name: str) -> None:
        self.head = row_head(self.fmt, name, self.show_file)

    def header(self) -> str:
        if self.fmt == "jsonl":
            return ""
        return table_header(("old", "new"))

    def row(self, line: int, stage: Any, old: Any, new: Any) -> tuple[str, tuple[str, str]] | None:
        """The row and its transition (old and new verdict as shown)."""
        old_hits = old.hits
        new_hits = new.hits
        key: Any = None
        if _plain(old_hits) and _plain(new_hits):
            if old_hits == new_hits:
                return None
            if stage is None or stage.__class__ is str:
                key = (stage, old_hits, new_hits)
                found = self.cache.get(key, self)
                if found is not self:
                    return None if found is None else self._with_line(line, found)
        made = self._differ(stage, old, new)
        if key is not None and len(self.cache) < rendering.CACHE_LIMIT:
            self.cache[key] = made
        return None if made is None else self._with_line(line, made)

    def _with_line(self, line: int, made: tuple[tuple[str, str], str]) -> tuple[str, tuple[str, str]]:
        transition, tail = made
        return numbered(self.fmt == "jsonl", self.head, line, tail), transition

    def _differ(self, stage: Any, old: Any, new: Any) -> tuple[tuple[str, str], str] | None:
        added, removed, changed = compare(old.hits, new.hits)
        old_verdict = old.verdict
        new_verdict = new.verdict
        if not (added or removed or changed) and _shown(old_verdict) == _shown(new_verdict):
            return None
        transition = (as_text(old_verdict), as_text(new_verdict))
        if self.fmt == "jsonl":
            return transition, (
                as_json(stage) + ', "old": ' + as_json(old_verdict) + ', "new": ' + as_json(new_verdict)
                + ', "added": [' + ", ".join(map(_json_hit, added))
                + '], "removed": [' + ", ".join(map(_json_hit, removed))
                + '], "changed": [' + ", ".join(
                    '{"behaviour": ' + as_json(after[0]) + ', "old": ' + _json_side(before)
                    + ', "new": ' + _json_side(after) + "}"
                    for before, after in changed
                )
                + "]}\n"
            )
        listed = [f"+{as_text(h[0])} ({as_text(h[1])}): {as_text(h[2])}" for h in added]
        listed += [f"-{as_text(h[0])} ({as_text(h[1])}): {as_text(h[2])}" for h in removed]
        for before, after in changed:
            rule = as_text(after[1])
            if _shown(before[1]) != _shown(after[1]):
                rule = f"{as_text(before[1])} -> {rule}"
            listed.append(f"~{as_text(after[0])} ({rule}): {as_text(before[2])} -> {as_text(after[2])}")
        return transition, table_tail(as_text(stage), transition, ", ".join(listed))


def _json_hit(hit: Any) -> str:
    return '{"behaviour": ' + as_json(hit[0]) + ', "rule": ' + as_json(hit[1]) + ', "verdict": ' + as_json(hit[2]) + "}"


def _json_side(hit: Any) -> str:
    return '{"rule": ' + as_json(hit[1]) + ', "verdict": ' + as_json(hit[2]) + "}"


# ---------------------------------------------------------------- the run


class _Diff:
    def __init__(self, old: Policy, new: Policy, renderer: _Renderer, stage: Any, out: TextIO, err: TextIO) -> None:
        self.old, old_clock = simulated(without_actions(old))
        self.new, new_clock = simulated(without_actions(new))
        self.clocks = [clock for clock in (old_clock, new_clock) if clock is not None]
        self.renderer = renderer
        self.stage = stage
        self.out = out
        self.err = err
        self.out_tty = isatty(out)
        self.started = time.perf_counter()
        self.unchanged = 0
        self.changed = 0
        self.bad = 0
        self.transitions: dict[tuple[str, str], int] = {}
        # Rows not yet written, each with its transition: a row is counted
        # when it is written, so that the summary always agrees with the output.
        self.pending: list[tuple[str, tuple[str, str]]] = []
        self.writing = False
        self.closing = False  # past the input: a Ctrl-C is only noted
        self.interrupted = False

    # -- output

    def flush(self) -> None:
        if not self.pending:
            return
        # Ctrl-C waits until the rows are both written and counted.
        self.writing = True
        try:
            _write(self.out, "".join([row for row, _ in self.pending]))
            self.count_pending()
        finally:
            self.writing = False
        try:
            self.out.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(exc.strerror or str(exc)) from exc
        if self.interrupted and not self.closing:
            raise KeyboardInterrupt

    def count_pending(self) -> None:
        transitions = self.transitions
        for _, transition in self.pending:
            transitions[transition] = transitions.get(transition, 0) + 1
        self.changed += len(self.pending)
        self.pending.clear()

    def on_interrupt(self, signum: int, frame: Any) -> None:
        if self.writing or self.closing:
            self.interrupted = True
        else:
            raise KeyboardInterrupt

    def report(self, source: str, line: int, reason: str) -> None:
        self.bad += 1
        if self.out_tty:
            self.flush()  # rows and reports share the screen: keep them in order
        self.err.write(f"{source}:{line}: {reason}\n")
        self.err.flush()

    def chunk_done(self, lines: int, done: int) -> None:
        self.flush()

    # -- input

    def run(self, source: jsonl.Source, first_line: int = 0) -> None:
        name = source.name
        self.renderer.start_file(name)
        evaluate_old = self.old.evaluate
        evaluate_new = self.new.evaluate
        row_of = self.renderer.row
        pending = self.pending.append
        fixed = self.stage
        unchanged = self.unchanged
        try:
            for line, _raw, value, error in cluster.numbered(jsonl.read(source, self.chunk_done), first_line):
                if error is not None:
                    self.report(name, line, error)
                    continue
                event, stage, _recorded, error = event_of(value, fixed)
                if error is not None:
                    self.report(name, line, error)
                    continue
                for clock in self.clocks:
                    clock.advance(value)
                failed = None
                try:
                    old = evaluate_old(event, stage=stage)
                except Exception as exc:
                    failed = exc
                try:
                    new = evaluate_new(event, stage=stage)
                except Exception as exc:
                    self.report(name, line, _failure(failed, exc))
                    continue
                if failed is not None:
                    self.report(name, line, _failure(failed, None))
                    continue
                old_hits = old.hits
                if not old_hits and not new.hits:
                    unchanged += 1
                    continue
                try:
                    made = row_of(line, stage, old, new)
                except Exception as exc:
                    self.report(name, line, f"cannot show the decisions: {type(exc).__name__}: {exc}")
                    continue
                if made is None:
                    unchanged += 1
                else:
                    pending(made)
        finally:
            self.unchanged = unchanged
        self.flush()

    # -- the end

    def summary(self, sources: int) -> str:
        elapsed = time.perf_counter() - self.started
        read = self.unchanged + self.changed + self.bad
        lines = [
            events_read(read, sources, elapsed),
            f"  {self.unchanged:,} unchanged, {self.changed:,} changed, {self.bad:,} bad",
        ]
        # The standard verdicts in their order of severity, then the others as first seen.
        for (old, new), count in sorted(
            self.transitions.items(), key=lambda item: (_ORDER.get(item[0][0], 4), _ORDER.get(item[0][1], 4))
        ):
            lines.append(f"  {old} -> {new}: {count:,}")
        return "\n".join(lines) + "\n"

    def status(self) -> int:
        if self.bad:
            return EXIT_BAD_INPUT
        if self.changed:
            return EXIT_CHANGED
        return EXIT_SAME


def _failure(old: BaseException | None, new: BaseException | None) -> str:
    if old is not None and new is not None:
        said_old, said_new = describe_error(old), describe_error(new)
        if said_old == said_new:
            return f"evaluation failed under OLD and NEW: {said_old}"
        return f"evaluation failed under OLD: {said_old}; under NEW: {said_new}"
    if old is not None:
        return f"evaluation failed under OLD: {describe_error(old)}"
    assert new is not None
    return f"evaluation failed under NEW: {describe_error(new)}"


# ---------------------------------------------------------------- the command


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "diff",
        help="show what a policy change would change on recorded events",
        description=(
            "Decide recorded events under OLD and under NEW and show every event "
            "whose verdict or hits differ. Exit status: 0 when no event changed, 1 "
            "when some event changed, 2 when any input was bad or could not be read. "
            "Actions are never called."
        ),
    )
    parser.add_argument("old", metavar="OLD", help="the policy as it is: " + POLICY_HELP)
    parser.add_argument("new", metavar="NEW", help="the policy as it would be, in the same forms")
    parser.add_argument(
        "events",
        metavar="EVENTS",
        nargs="*",
        help="JSON Lines files of events or decision-log records; - or none reads standard input",
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
    cluster.add_argument(parser)
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    """The diff command on parsed arguments; returns the exit status."""
    out = sys.stdout
    err = sys.stderr
    address = getattr(args, "cluster", None)
    if address is not None and (refused := cluster.missing()) is not None:
        err.write(refused + "\n")
        return EXIT_BAD_INPUT
    before = set(sys.modules)
    old = _load("OLD", args.old, err)
    _forget_modules_of(args.old, before)
    new = _load("NEW", args.new, err)
    if old is None or new is None:
        return EXIT_BAD_INPUT
    if address is not None and (refused := cluster.splittable([old, new])) is not None:
        err.write(f"{PROG}: {refused}\n")
        return EXIT_BAD_INPUT

    names = args.events or ["-"]
    stdin = cast(BinaryIO, getattr(sys.stdin, "buffer", sys.stdin))
    try:
        sources = (jsonl.open_sources if address is None else cluster.open_sources)(names, stdin)
    except jsonl.InputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT
    refused = refusal([standard_output()], inputs([args.old, args.new], sources))
    if refused is not None:
        jsonl.close_sources(sources)
        err.write(refused + "\n")
        return EXIT_BAD_INPUT

    fmt = args.format or ("table" if isatty(out) else "jsonl")
    if fmt == "table":
        escaping(out)  # a stage or a name may hold a lone surrogate
    renderer = _Renderer(fmt, show_file=len(sources) > 1)
    diff = _Diff(old, new, renderer, args.stage, out, err)
    status = None
    stopped = ""
    halted = False  # stopped before anything was decided: no summary
    previous = install(diff.on_interrupt)
    try:
        try:
            head = renderer.header()
            if address is not None:
                _on_cluster(diff, address, args, sources, head)
            elif head:
                _write(out, head)
            for source in (sources if address is None else []):
                diff.run(source)
        except cluster.Stop as exc:
            status = EXIT_BAD_INPUT
            stopped = f"{PROG}: {exc}\n"
            halted = True
        except KeyboardInterrupt:
            status = EXIT_INTERRUPTED
            stopped = f"\n{PROG}: interrupted\n"
        except jsonl.InputError as exc:
            status = EXIT_BAD_INPUT
            stopped = f"{PROG}: {exc}\n"
        diff.closing = True
        diff.flush()  # the rows decided before a stop are shown, and counted
    except BrokenPipeError:
        # Whoever read the output went away: nothing more to say, but the
        # events found changed still count.
        diff.count_pending()
        silence(out)
    except OutputError as exc:
        diff.pending.clear()
        silence(out)
        stopped = f"{PROG}: cannot write the output: {exc}\n"
        status = EXIT_BAD_INPUT
    finally:
        diff.closing = True
        jsonl.close_sources(sources)
    err.write(stopped + ("" if halted else diff.summary(len(sources))))
    err.flush()
    restore(previous)
    return diff.status() if status is None else status


def _write(out: TextIO, text: str) -> None:
    try:
        out.write(text)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise OutputError(exc.strerror or str(exc)) from exc



# ---------------------------------------------------------------- on a cluster


def _on_cluster(diff: _Diff, address: str, args: argparse.Namespace, sources: list[jsonl.Source], head: str) -> None:
    """Compares the policies on `sources` on the cluster at `address`, each
    partition by `_diff_part` on a worker (standard input here), its rows,
    reports and counts taken here in input order, the header before the first."""
    out, err = diff.out, diff.err
    started = False

    def start() -> None:
        nonlocal started
        if not started:
            started = True
            if head:
                _write(out, head)

    def merge(result: tuple[str, list[tuple[int, str]], tuple[int, int, int, dict[Any, int]], str | None]) -> None:
        start()
        rows, said, (unchanged, changed, bad, transitions), error = result
        diff.writing = True  # Ctrl-C waits until the rows are both written and counted
        try:
            copied = 0
            for upto, text in [*said, (len(rows), None)]:
                if upto > copied:
                    _write(out, rows[copied:upto])
                    copied = upto
                if text is not None:
                    err.write(text)
                    err.flush()
        finally:
            diff.unchanged += unchanged
            diff.changed += changed
            diff.bad += bad
            for key, count in transitions.items():
                diff.transitions[key] = diff.transitions.get(key, 0) + count
            diff.writing = False
        try:
            out.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(exc.strerror or str(exc)) from exc
        if diff.interrupted and not diff.closing:
            raise KeyboardInterrupt
        if error is not None:
            raise jsonl.InputError(error)

    def local(source: jsonl.Source) -> None:
        start()
        diff.run(source)

    renderer = diff.renderer
    specs = [cluster.shipped(args.old, "OLD: "), cluster.shipped(args.new, "NEW: ")]
    with cluster.Session(address, err, Progress(err, isatty(err), escapes())) as session:
        session.run(
            sources, _diff_part, specs, (renderer.fmt, renderer.show_file, diff.stage), merge, local,
            loader=_load_both,
        )
    start()


def _load_both(specs: Sequence[cluster.Shipped]) -> list[Policy]:
    """OLD and NEW, loaded as the command loads them."""
    before = set(sys.modules)
    old = cluster.load(specs[0])
    _forget_modules_of(cluster.target_here(specs[0]), before)
    return [old, cluster.load(specs[1])]


class _Said:
    """A worker's standard error: each report kept after the size of the rows before it."""

    def __init__(self, rows: io.StringIO) -> None:
        self.rows = rows
        self.said: list[tuple[int, str]] = []

    def write(self, text: str) -> int:
        self.said.append((self.rows.tell(), text))
        return len(text)

    def flush(self) -> None:
        pass


def _diff_part(
    policies: list[Policy], source: jsonl.Source, first_line: int, options: tuple[str, bool, Any]
) -> tuple[str, list[tuple[int, str]], tuple[int, int, int, dict[Any, int]], str | None]:
    """On a worker: the rows, the reports (each after the size of the rows
    before it), the counts and the input error of one partition, as one
    process compares the policies on its lines."""
    fmt, show_file, stage = options
    rows = io.StringIO()
    said = _Said(rows)
    part = _Diff(policies[0], policies[1], _Renderer(fmt, show_file), stage, rows, cast(TextIO, said))
    part.out_tty = True  # rows written before each report, to know where it goes
    error = None
    try:
        part.run(source, first_line)
    except jsonl.InputError as exc:
        part.flush()
        error = str(exc)
    counts = (part.unchanged, part.changed, part.bad, part.transitions)
    return rows.getvalue(), said.said, counts, error
