"""Replay recorded events through a policy: ``quindle-brevault-agent replay``.

    quindle-brevault-agent replay POLICY [EVENTS ...] [--stage STAGE] [--format table|jsonl]
        [-o FILE] [--fail-on block|ask|flag] [--max-errors N] [-q] [--jobs N]

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

``--jobs N`` replays each named regular file in N processes (at most one per
CPU that the replay may run on: a larger N is lowered, with a note on
standard error): the file is cut into N byte ranges at line ends, and the rows, the reports of bad lines and
the summary are exactly those of one process. Standard input, pipes and gzip
files are read by one process. When interrupted, the rows written are the
first ones of the input, and the summary counts them.

A policy with limits (budgets, rate limits, repeat limits) decides the events
in input order, against a fresh in-memory store (``--store SPEC`` names a
real one: ``sqlite:PATH`` or a ``redis://`` URL), each at its own time: a
decision record's "time", else one second after the event before it. What a
limit admits depends on every event before, so such a replay runs in one
process whatever ``--jobs`` says, and says so once on standard error.

Exit status: 0 when no event was blocked, 1 when some event was blocked (its
verdict is BLOCK, or a verdict of the caller's own, which ranks with BLOCK)
or, with ``--fail-on ask``, asked about (ASK), or with ``--fail-on flag``,
flagged or asked about, 2 when any input was bad or could not be read, the output could not be written, or the policy did not load, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import copy
import io
import pickle
import sys
import time
from typing import Any, BinaryIO, TextIO, cast

import quindle_brevault_agent.cli.cluster as cluster
import quindle_brevault_agent.cli.replay_jobs as replay_jobs

from .. import jsonl
from .._impl import Policy
from ..policy_files import POLICY_HELP, PolicyLoadError, load_error, load_policy
from .counting import EXIT_BAD_INPUT, EXIT_BLOCKED, EXIT_OK, Counts
from .deciding import Decider, dry_run
from .interrupts import Interrupts
from .output import PROG, escaping, inputs, isatty, refusal, silence, standard_output
from .progress import Progress, escapes
from .reading import piece_values
from .simulating import simulated
from .rendering import Renderer

__all__ = ["add_parser", "run", "Replay", "EXIT_OK", "EXIT_BLOCKED", "EXIT_BAD_INPUT"]


# ---------------------------------------------------------------- the replay


class Replay:
    """One replay: the lines of each input read (`run`) and decided (a
    `Decider`), their rows written to `out` and counted (`Counts`) together,
    bad lines reported on `err`, with the progress line and Ctrl-C handled
    between blocks."""

    def __init__(
        self,
        policy: Policy,
        renderer: Renderer,
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
        self.out_tty = isatty(out)
        self.progress = Progress(err, progress, escapes)
        self.max_errors = max_errors
        self.shown = 0  # bad lines reported one by one
        self.interrupts = Interrupts()
        self.started = time.perf_counter()
        self.source: jsonl.Source | None = None
        # In a worker process: where reports go, each after the size of the
        # rows written before it.
        self.reports: BinaryIO | None = None
        self.rows: list[str] = []  # decided, not yet written nor counted
        self.counts = Counts(self.names, self.stages)
        self.decider = Decider(self.policy, renderer, stage, self.counts, self.rows, self.report)

    def worker(self, out: TextIO, reports: BinaryIO) -> Replay:
        """A replay like this one, with nothing counted yet, for a worker
        process: its rows go to `out`, its reports to `reports`, and it
        shows no progress."""
        made = copy.copy(self)
        made.out = out
        made.out_tty = False
        made.progress = Progress(self.err, False)
        made.reports = reports
        made.rows = []
        made.counts = Counts(self.names, self.stages)
        made.decider = Decider(self.policy, self.renderer, self.stage, made.counts, made.rows, made.report)
        return made

    # -- output

    def flush(self) -> None:
        """Writes the rows decided so far and counts them."""
        self.decider.fold()
        if self.rows:
            if self.out_tty:
                self.progress.clear()
            self.out.write("".join(self.rows))
            self.rows.clear()
            self.out.flush()

    def report(self, source: str, line: int, reason: str) -> None:
        self.counts.bad += 1
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
        self.progress.clear()
        self.err.write(text)
        self.err.flush()

    def chunk_done(self, lines: int, done: int) -> None:
        self.flush()
        self.interrupts.check()
        source = self.source
        if self.progress.on and source is not None:
            self.progress.update(source, lines, done)

    # -- input

    def run(self, source: jsonl.Source, first_line: int = 0) -> None:
        """Replays `source`, whose lines are numbered from `first_line` + 1."""
        name = source.name
        self.source = source
        self.renderer.start_file(name)
        decide = self.decider.decide_values
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
                number = first_line + lines
                for values, empty in piece_values(block):
                    decide(name, values, number)
                    number += len(values) + empty
                lines += block.count(b"\n") + 1
                self.chunk_done(lines, done)
        finally:
            self.source = None
        self.flush()
        self.interrupts.check()

    # -- counts

    def totals(self) -> tuple[Any, ...]:
        """The counts of the rows decided so far, for `add` in another process."""
        self.decider.fold()
        return self.counts.totals()

    def add(self, totals: tuple[Any, ...]) -> None:
        self.counts.add(totals)

    def summary(self, sources: int) -> str:
        self.decider.fold()
        return self.counts.summary(sources, time.perf_counter() - self.started)

    def status(self, fail_on: str = "block") -> int:
        self.decider.fold()
        return self.counts.status(fail_on)


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
            "0 when no event was blocked, 1 when some event was blocked (or asked "
            "about, with --fail-on ask; or flagged or asked about, with --fail-on flag), "
            "2 when any input was bad or could not be read, "
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
        choices=("block", "ask", "flag"),
        default="block",
        help="exit 1 when some event was blocked (block, the default), asked about or blocked (ask), "
        "or flagged, asked about or blocked (flag)",
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
    cluster.add_argument(parser)
    parser.add_argument(
        "--store",
        metavar="SPEC",
        help="keep the windows of the policy's limits in SPEC (sqlite:PATH or a redis:// URL) "
        "instead of a fresh one in memory",
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


def _capped(jobs: int, err: TextIO) -> int:
    """`jobs`, or the number of CPUs this process may run on when that is
    fewer (with a note): more processes than CPUs only share them."""
    usable = replay_jobs.usable_cpus()
    if jobs <= usable:
        return jobs
    cpus = "CPU" if usable == 1 else "CPUs"
    err.write(f"{PROG}: note: --jobs {jobs} is more than the {usable} {cpus} this process may run on; using {usable}\n")
    return usable


def run(args: argparse.Namespace) -> int:
    """The replay command on parsed arguments; returns the exit status."""
    out = sys.stdout
    err = sys.stderr
    address = getattr(args, "cluster", None)
    if address is not None and (refused := cluster.missing()) is not None:
        err.write(refused + "\n")
        return EXIT_BAD_INPUT
    try:
        policy = load_policy(args.policy)
    except PolicyLoadError as exc:
        err.write(f"{PROG}: {load_error(args.policy, exc)}\n")
        return EXIT_BAD_INPUT
    if address is not None and (refused := cluster.splittable([policy])) is not None:
        err.write(f"{PROG}: {refused}\n")
        return EXIT_BAD_INPUT
    try:
        policy, clock = simulated(policy, getattr(args, "store", None))
    except (ValueError, ImportError) as exc:
        err.write(f"{PROG}: cannot open the store {args.store}: {exc}\n")
        return EXIT_BAD_INPUT

    names = args.events or ["-"]
    stdin = cast(BinaryIO, getattr(sys.stdin, "buffer", sys.stdin))
    try:
        sources = (jsonl.open_sources if address is None else cluster.open_sources)(names, stdin)
    except jsonl.InputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT

    output = getattr(args, "output", None)
    refused = refusal(
        [standard_output() if output is None else (output, output)],
        inputs([args.policy], sources),
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

    fmt = args.format or ("table" if isatty(out) else "jsonl")
    if fmt == "table":
        # A stage of the input can hold a lone surrogate (a JSON escape):
        # shown escaped rather than failing the write.
        escaping(out)
    renderer = Renderer(policy, fmt, show_file=len(sources) > 1)
    replay = Replay(
        policy,
        renderer,
        args.stage,
        out,
        err,
        progress=isatty(err),
        max_errors=getattr(args, "max_errors", None),
        escapes=escapes(),
    )
    jobs = _capped(getattr(args, "jobs", 1), err)
    if jobs > 1 and clock is not None:
        err.write(
            f"{PROG}: note: the policy has limits, which depend on the order of the events:"
            " replaying in one process\n"
        )
        jobs = 1
    status = None
    with replay.interrupts:
        try:
            head = renderer.header()
            if address is not None:
                _on_cluster(replay, address, args.policy, sources, head)
            else:
                if head:
                    out.write(head)
                for source in sources:
                    ranges = replay_jobs.ranges(source, jobs) if jobs > 1 else None
                    if ranges is not None and len(ranges) > 1:
                        replay_jobs.run_parallel(replay, source, ranges)
                    else:
                        replay.run(source)
        except cluster.Stop as exc:
            replay.progress.clear()
            err.write(f"{PROG}: {exc}\n")
            if output is not None:
                out.close()
            return EXIT_BAD_INPUT
        except jsonl.InputError as exc:
            replay.flush()
            replay.progress.clear()
            err.write(f"{PROG}: {exc}\n")
            status = EXIT_BAD_INPUT
        except BrokenPipeError:
            # Whoever read the output went away; say what was seen and stop.
            replay.rows.clear()
            replay.progress.clear()
            silence(out)
        except KeyboardInterrupt:
            # The rows decided so far are written: the summary counts them.
            try:
                replay.flush()
            except BrokenPipeError:
                silence(out)
            except OSError as exc:
                return _write_failed(replay, out, target, exc, sources)
            replay.progress.clear()
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
    replay.progress.clear()
    if not getattr(args, "quiet", False):
        err.write(replay.summary(len(sources)))
    err.flush()
    return replay.status(getattr(args, "fail_on", "block")) if status is None else status


def _write_failed(
    replay: Replay, out: TextIO, target: str, exc: OSError, sources: list[jsonl.Source]
) -> int:
    """The one message for output that cannot be written (a full disk)."""
    jsonl.close_sources(sources)
    replay.rows.clear()
    replay.progress.clear()
    silence(out)
    try:
        out.close()
    except (OSError, ValueError):
        pass
    replay.err.write(f"{PROG}: cannot write {target}: {exc.strerror or exc}\n")
    replay.err.flush()
    return EXIT_BAD_INPUT


# ---------------------------------------------------------------- on a cluster


def _on_cluster(replay: Replay, address: str, target: str, sources: list[jsonl.Source], head: str) -> None:
    """Replays `sources` on the cluster at `address`: each partition by
    `_decide_part` on a worker, its rows and reports written here in input
    order (standard input replayed here), the header before the first."""
    started = False

    def start() -> None:
        nonlocal started
        if not started:
            started = True
            if head:
                replay.out.write(head)

    def merge(result: tuple[bytes | cluster.Spooled, list[tuple[int, str]], tuple[Any, ...], str | None]) -> None:
        start()
        rows, said, totals, error = result
        cluster.copy_rows(replay, rows, said)
        replay.add(totals)
        if error is not None:
            raise jsonl.InputError(error)

    def local(source: jsonl.Source) -> None:
        start()
        replay.run(source)

    renderer = replay.renderer
    with cluster.Session(address, replay.err, replay.progress) as session:
        options = (renderer.fmt, renderer.show_file, replay.stage, *cluster.encoding(replay.out), session.spool)
        session.run(sources, _decide_part, [cluster.shipped(target)], options, merge, local, replay.interrupts)
    start()


def _decide_part(
    policies: list[Policy], source: jsonl.Source, first_line: int, options: tuple[Any, ...]
) -> tuple[bytes | cluster.Spooled, list[tuple[int, str]], tuple[Any, ...], str | None]:
    """On a worker: the rows (encoded for the client's output, left in its
    spool when this worker sees it), the reports of bad lines (each after
    the size of the rows before it), the counts and the input error of one
    partition, as one process replays its lines."""
    fmt, show_file, stage, code, errors, spool = options
    policy = policies[0]
    rows = cluster.Rows(code, errors, spool)
    part = Replay(policy, Renderer(policy, fmt, show_file), stage, cast(TextIO, rows), sys.stderr, progress=False)
    said = io.BytesIO()
    part.reports = said
    error = None
    try:
        part.run(source, first_line)
    except jsonl.InputError as exc:
        part.flush()
        error = str(exc)
    return rows.value(), cluster.reports(said), part.totals(), error
