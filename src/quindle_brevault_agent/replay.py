"""Replay recorded events through a policy: ``quindle-brevault-agent replay``.

    quindle-brevault-agent replay POLICY [EVENTS ...] [--stage STAGE] [--format table|jsonl]

POLICY is a Python file (``path/to/policy.py``) or a module (``package.module``),
optionally followed by ``:NAME``; the object named ``POLICY`` (or NAME) must be
a `Policy` or a list of behaviours. EVENTS are JSON Lines files, one JSON
object per line; ``-`` or no EVENTS at all reads standard input. Each event is
evaluated at ``--stage`` when given, else at its own top-level "stage" field
(an event without one is checked against every behaviour, as
``Policy.evaluate(event, stage=None)`` does).

Replay only decides: it never calls a behaviour's `action`, so recorded
traffic cannot set off alerts or other side effects.

Output, on standard output, one record per event:

- ``table`` (the default when standard output is a terminal): line number
  (``file:line`` with several inputs), stage, verdict and the hits;
- ``jsonl`` (the default otherwise): one JSON object per event,
  ``{"line": N, "file": F, "stage": S, "verdict": V, "hits": [{"behaviour": B,
  "rule": R, "verdict": V}, ...]}``, where F is ``"-"`` for standard input.
  Values that JSON cannot encode (a caller's own verdict object, say) are
  written as their ``str()``.

A summary goes to standard error: events read, events per verdict, hits per
behaviour and events per second. When standard error is a terminal, a
progress line is shown there while a large input is read.

Bad input is reported on standard error as ``FILE:LINE: reason`` and the
replay goes on with the next line: a line that is not JSON (or not UTF-8), a
line that is not a JSON object, and an event whose evaluation raises (a text
amount against a numeric cap). Blank lines are skipped. A policy that does not
load, or an input that cannot be opened or read, stops the replay with one
message.

Exit status: 0 when no event was blocked, 1 when some event was blocked (its
verdict is BLOCK, or a verdict of the caller's own, which ranks with BLOCK),
2 when any input was bad or could not be read, or the policy did not load.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import json
import os
import sys
import time
from typing import Any, Callable, Iterable, Sequence, TextIO

from ._impl import Decision, Hit, Policy, _rank

__all__ = ["main", "load_policy", "PolicyLoadError", "Plan", "EvaluationError"]

PROG = "quindle-brevault-agent"

EXIT_OK = 0
EXIT_BLOCKED = 1
EXIT_BAD_INPUT = 2

_CHUNK = 1 << 20  # bytes read at a time
_CACHE_LIMIT = 4096  # rendered records kept per replay
_PROGRESS_AFTER = 0.5  # seconds before the first progress line
_PROGRESS_EVERY = 0.2  # seconds between progress lines

_BLOCK_RANK = 2


# ---------------------------------------------------------------- the policy


class PolicyLoadError(Exception):
    """The POLICY argument could not be turned into a `Policy`."""


def _split_target(target: str) -> tuple[str, str]:
    ref, sep, name = target.rpartition(":")
    if sep and name.isidentifier() and ref:
        return ref, name
    return target, "POLICY"


def _is_path(ref: str) -> bool:
    separators = (os.sep, os.altsep) if os.altsep else (os.sep,)
    return ref.endswith(".py") or any(sep in ref for sep in separators) or os.path.isfile(ref)


def load_policy(target: str) -> Policy:
    """The policy named by `target`: ``FILE.py[:NAME]`` or ``package.module[:NAME]``.

    NAME defaults to ``POLICY``; the object must be a `Policy` or a list (or
    tuple) of behaviours. Any failure, an exception raised while the file or
    module runs included, is raised as `PolicyLoadError` with the reason.
    """
    ref, name = _split_target(target)
    try:
        if _is_path(ref):
            path = os.path.abspath(ref)
            if not os.path.isfile(path):
                raise PolicyLoadError(f"no such file: {ref}")
            module_name = "_quindle_policy_" + "".join(
                c if c.isalnum() else "_" for c in os.path.splitext(os.path.basename(path))[0]
            )
            spec = importlib.util.spec_from_file_location(module_name, path)
            if spec is None or spec.loader is None:
                raise PolicyLoadError(f"cannot load {ref} as a Python file")
            module = importlib.util.module_from_spec(spec)
            # The file can import modules that sit next to it, as a script can.
            folder = os.path.dirname(path)
            if folder not in sys.path:
                sys.path.insert(0, folder)
            sys.modules[module_name] = module
            spec.loader.exec_module(module)
        else:
            if "" not in sys.path and os.getcwd() not in sys.path:
                sys.path.insert(0, os.getcwd())
            module = importlib.import_module(ref)
    except PolicyLoadError:
        raise
    except (Exception, SystemExit) as exc:
        raise PolicyLoadError(f"{ref} failed to load: {type(exc).__name__}: {exc}") from exc
    try:
        found = getattr(module, name)
    except AttributeError:
        raise PolicyLoadError(f"{ref} defines no {name}") from None
    if isinstance(found, Policy):
        return found
    if isinstance(found, (list, tuple)):
        try:
            return Policy(found)
        except TypeError as exc:
            raise PolicyLoadError(f"{name} in {ref} is not a list of behaviours: {exc}") from exc
    raise PolicyLoadError(
        f"{name} in {ref} is a {type(found).__name__}, not a Policy or a list of behaviours"
    )


class EvaluationError(Exception):
    """An event's evaluation raised; `index` is the behaviour being checked, or None."""

    def __init__(self, index: int | None, error: BaseException) -> None:
        super().__init__(index, error)
        self.index = index
        self.error = error


class Plan:
    """A policy laid out for evaluating many events quickly.

    ``plan.decide(event, stage)`` returns ``(verdict, hits)`` where `hits` is
    a tuple of ``(behaviour index, verdict)`` pairs; it agrees exactly with
    ``policy.evaluate(event, stage=stage)`` (``plan.decision`` builds the very
    same `Decision`), except that actions are never called and an error is
    raised as `EvaluationError` naming the behaviour that raised it.
    """

    def __init__(self, policy: Policy) -> None:
        self.policy = policy
        self.behaviours = policy.behaviours
        steps = tuple((b.on.stage, b.on.where, b.rule.fn) for b in self.behaviours)
        # When every trigger stage is a plain string (or None), the behaviours
        # for a plain-string stage can be found by one dict lookup: string
        # equality and dict lookup agree. Any other stage is compared one
        # behaviour at a time, exactly as Policy.evaluate does.
        by_stage: dict[str, tuple[tuple[int, Any, Any], ...]] | None = {}
        for stage, _where, _fn in steps:
            if stage is not None and stage.__class__ is not str:
                by_stage = None
                break
        if by_stage is not None:
            for index, (stage, where, fn) in enumerate(steps):
                if stage is not None:
                    by_stage[stage] = by_stage.get(stage, ()) + ((index, where, fn),)
        self._by_stage = by_stage
        self._all = tuple((index, where, fn) for index, (_s, where, fn) in enumerate(steps))
        self._steps = steps
        self.decide = self._make_decide()

    def _make_decide(self) -> Callable[[Any, Any], tuple[Any, tuple[tuple[int, Any], ...]]]:
        by_stage = self._by_stage
        every = self._all
        steps = self._steps
        nothing: tuple[tuple[int, Any, Any], ...] = ()
        rank_of = _rank
        Error = EvaluationError

        def decide(event: Any, stage: Any) -> tuple[Any, tuple[tuple[int, Any], ...]]:
            if stage is None:
                todo = every
            elif by_stage is not None and stage.__class__ is str:
                todo = by_stage.get(stage, nothing)
            else:
                return compare_each(event, stage)
            hits: list[tuple[int, Any]] | None = None
            verdict: Any = "ALLOW"
            worst = 0
            index = None
            try:
                for index, where, fn in todo:
                    if where is not None and not where(event):
                        continue
                    result = fn(event)
                    if result.__class__ is str:
                        if result == "ALLOW":
                            continue
                        rank = 1 if result == "FLAG" else _BLOCK_RANK
                    else:
                        rank = rank_of(result)
                        if rank == 0:
                            continue
                    if hits is None:
                        hits = [(index, result)]
                    else:
                        hits.append((index, result))
                    if rank > worst:
                        worst = rank
                        verdict = result
            except Exception as exc:
                raise Error(index, exc) from exc
            if hits is None:
                return "ALLOW", ()
            return verdict, tuple(hits)

        def compare_each(event: Any, stage: Any) -> tuple[Any, tuple[tuple[int, Any], ...]]:
            # A stage that is not a plain string is compared with each
            # trigger's stage in turn, between the predicates and rules, in
            # policy order, as Policy.evaluate does.
            hits: list[tuple[int, Any]] = []
            verdict: Any = "ALLOW"
            worst = 0
            index = None
            try:
                for index, (wanted, where, fn) in enumerate(steps):
                    if stage != wanted:
                        continue
                    if where is not None and not where(event):
                        continue
                    result = fn(event)
                    rank = rank_of(result)
                    if rank == 0:
                        continue
                    hits.append((index, result))
                    if rank > worst:
                        worst = rank
                        verdict = result
            except Exception as exc:
                raise Error(index, exc) from exc
            return verdict, tuple(hits)

        return decide

    def decision(self, event: Any, stage: Any) -> Decision:
        """The `Decision` that ``Policy.evaluate`` makes, built from `decide`."""
        verdict, hits = self.decide(event, stage)
        behaviours = self.behaviours
        return Decision(
            verdict,
            tuple(Hit(behaviours[i].name, behaviours[i].rule.name, v) for i, v in hits),
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


class _Renderer:
    """Turns decisions into output records; `record(...)` returns one line."""

    def __init__(self, plan: Plan, fmt: str, show_file: bool) -> None:
        self.fmt = fmt
        self.show_file = show_file
        self.names = [(b.name, b.rule.name) for b in plan.behaviours]
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

    def record(self, line: int, stage: Any, verdict: Any, hits: tuple[tuple[int, Any], ...]) -> str:
        # What follows the line number only depends on the stage and the hits,
        # so it is rendered once per plain-string (or None) stage and set of
        # hits. Only keys whose verdicts are all plain strings are stored, and
        # a lookup finds nothing for an unhashable verdict.
        if stage is None or stage.__class__ is str:
            key: Any = (stage, hits) if hits else stage
            try:
                tail = self.cache[key]
            except KeyError:
                tail = self._tail(stage, verdict, hits)
                if len(self.cache) < _CACHE_LIMIT and all(v.__class__ is str for _i, v in hits):
                    self.cache[key] = tail
            except TypeError:
                tail = self._tail(stage, verdict, hits)
        else:
            tail = self._tail(stage, verdict, hits)
        if self.fmt == "jsonl":
            return '{"line": ' + str(line) + self.head + tail
        return f"{self.head}{line}".rjust(6) + tail

    def _tail(self, stage: Any, verdict: Any, hits: tuple[tuple[int, Any], ...]) -> str:
        names = self.names
        if self.fmt == "jsonl":
            listed = ", ".join(
                '{"behaviour": ' + _json(names[i][0]) + ', "rule": ' + _json(names[i][1])
                + ', "verdict": ' + _json(v) + "}"
                for i, v in hits
            )
            return _json(stage) + ', "verdict": ' + _json(verdict) + ', "hits": [' + listed + "]}\n"
        listed = ", ".join(f"{_text(names[i][0])} ({_text(names[i][1])}): {_text(v)}" for i, v in hits)
        return f"  {_text(stage):<16}  {_text(verdict):<7}  {listed}".rstrip() + "\n"


# ---------------------------------------------------------------- the replay


class _Source:
    def __init__(self, name: str, stream: Any, size: int | None) -> None:
        self.name = name
        self.stream = stream
        self.size = size


class _Stop(Exception):
    """An input could not be read; the replay stops with this message."""


class _Replay:
    def __init__(
        self,
        plan: Plan,
        renderer: _Renderer,
        stage: Any,
        out: TextIO,
        err: TextIO,
        progress: bool,
    ) -> None:
        self.plan = plan
        self.renderer = renderer
        self.stage = stage
        self.out = out
        self.err = err
        self.progress = progress
        self.progress_shown = False
        self.out_tty = _isatty(out)
        self.started = time.perf_counter()
        self.next_progress = self.started + _PROGRESS_AFTER
        self.events = 0
        self.bad = 0
        self.blocked = 0
        self.verdicts: dict[Any, int] = {}
        self.hit_counts = [0] * len(plan.behaviours)
        self.pending: list[str] = []

    # -- output

    def flush(self) -> None:
        if self.pending:
            if self.out_tty:
                self._clear_progress()
            self.out.write("".join(self.pending))
            self.pending.clear()
            self.out.flush()

    def report(self, source: str, line: int, reason: str) -> None:
        self.bad += 1
        if self.out_tty:
            self.flush()  # rows and reports share the screen: keep them in order
        self._clear_progress()
        self.err.write(f"{source}:{line}: {reason}\n")
        self.err.flush()

    def _clear_progress(self) -> None:
        if self.progress_shown:
            self.err.write("\r\x1b[K")
            self.err.flush()
            self.progress_shown = False

    def _show_progress(self, source: _Source, lines: int, done: int) -> None:
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

    def run(self, source: _Source) -> None:
        self.renderer.start_file(source.name)
        read = source.stream.read1 if hasattr(source.stream, "read1") else source.stream.read
        carry = b""
        line = 0
        done = 0
        first = True
        while True:
            try:
                data = read(_CHUNK)
            except OSError as exc:
                raise _Stop(f"cannot read {source.name}: {exc.strerror or exc}") from exc
            if not data:
                break
            done += len(data)
            if first:
                first = False
                if data.startswith(b"\xef\xbb\xbf"):
                    data = data[3:]
            end = data.rfind(b"\n")
            if end < 0:
                carry += data
                continue
            block = carry + data[: end + 1] if carry else data[: end + 1]
            carry = data[end + 1 :]
            line = self._lines(source.name, block, line)
            self.flush()
            if self.progress:
                self._show_progress(source, line, done)
        if carry:
            line = self._lines(source.name, carry, line)
        self.flush()

    def _lines(self, name: str, block: bytes, line: int) -> int:
        """Replays the complete lines in `block`; returns the last line number."""
        try:
            texts: list[Any] = block.decode("utf-8").split("\n")
        except UnicodeDecodeError:
            texts = block.split(b"\n")
        if texts and not texts[-1]:
            texts.pop()  # what follows the final newline
        loads = json.loads
        decide = self.plan.decide
        record = self.renderer.record
        pending = self.pending.append
        verdicts = self.verdicts
        hit_counts = self.hit_counts
        fixed = self.stage
        events = 0
        blocked = 0
        for text in texts:
            line += 1
            try:
                if text.__class__ is bytes:
                    text = text.decode("utf-8")
                event = loads(text)
            except UnicodeDecodeError as exc:
                events += 1
                self.report(name, line, f"not UTF-8 text: {exc.reason} at column {exc.start + 1}")
                continue
            except (ValueError, RecursionError) as exc:
                if not text.strip():
                    continue
                events += 1
                self.report(name, line, f"not JSON: {exc}")
                continue
            events += 1
            if event.__class__ is not dict:
                self.report(name, line, f"not a JSON object but {_kind(event)}")
                continue
            stage = event.get("stage") if fixed is None else fixed
            try:
                verdict, hits = decide(event, stage)
                out = record(line, stage, verdict, hits)
                key = verdict if verdict.__class__ is str else _text(verdict)
            except EvaluationError as exc:
                self.report(name, line, self._why(exc))
                continue
            except Exception as exc:
                self.report(name, line, f"cannot show the decision: {type(exc).__name__}: {exc}")
                continue
            pending(out)
            verdicts[key] = verdicts.get(key, 0) + 1
            if hits:
                for index, _v in hits:
                    hit_counts[index] += 1
                if _rank(verdict) == _BLOCK_RANK:
                    blocked += 1
        self.events += events
        self.blocked += blocked
        return line

    def _why(self, exc: EvaluationError) -> str:
        error = exc.error
        where = ""
        if exc.index is not None:
            b = self.plan.behaviours[exc.index]
            where = f" in behaviour {_text(b.name)} (rule {_text(b.rule.name)})"
        return f"evaluation failed{where}: {type(error).__name__}: {error}"

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
            "  hits per behaviour:",
        ]
        names = [_text(b.name) for b in self.plan.behaviours]
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


def _kind(value: Any) -> str:
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if value is None:
        return "null"
    return f"a {type(value).__name__}"


# ---------------------------------------------------------------- the command


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Ready-made policy rules and behaviours for an agent.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    replay = commands.add_parser(
        "replay",
        help="replay recorded events through a policy",
        description=(
            "Show what POLICY would have decided on recorded events. Exit status: "
            "0 when no event was blocked, 1 when some event was blocked, 2 when any "
            "input was bad or could not be read. Actions are never called."
        ),
    )
    replay.add_argument(
        "policy",
        metavar="POLICY",
        help="a Python file or package.module, optionally :NAME (default POLICY), "
        "holding a Policy or a list of behaviours",
    )
    replay.add_argument(
        "events",
        metavar="EVENTS",
        nargs="*",
        help="JSON Lines files, one event object per line; - or none reads standard input",
    )
    replay.add_argument(
        "--stage",
        help="evaluate every event at STAGE (default: each event's own \"stage\" field)",
    )
    replay.add_argument(
        "--format",
        choices=("table", "jsonl"),
        help="output format (default: table on a terminal, jsonl otherwise)",
    )
    return parser


def _open(names: Sequence[str], stdin: Any) -> list[_Source]:
    sources = []
    try:
        for name in names:
            if name == "-":
                sources.append(_Source("-", stdin, None))
                continue
            try:
                stream = open(name, "rb")
            except OSError as exc:
                raise _Stop(f"cannot open {name}: {exc.strerror or exc}") from exc
            sources.append(_Source(name, stream, _size(stream)))
    except _Stop:
        _close(sources)
        raise
    return sources


def _size(stream: Any) -> int | None:
    try:
        size = os.fstat(stream.fileno()).st_size
    except OSError:
        return None
    return size or None


def _close(sources: Iterable[_Source]) -> None:
    for source in sources:
        if source.name != "-":
            source.stream.close()


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    out = sys.stdout
    err = sys.stderr
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error already printed
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT

    try:
        policy = load_policy(args.policy)
    except PolicyLoadError as exc:
        err.write(f"{PROG}: cannot load policy {args.policy}: {exc}\n")
        return EXIT_BAD_INPUT

    names = args.events or ["-"]
    stdin = sys.stdin.buffer if hasattr(sys.stdin, "buffer") else sys.stdin
    try:
        sources = _open(names, stdin)
    except _Stop as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT

    fmt = args.format or ("table" if _isatty(out) else "jsonl")
    plan = Plan(policy)
    renderer = _Renderer(plan, fmt, show_file=len(sources) > 1)
    replay = _Replay(plan, renderer, args.stage, out, err, progress=_isatty(err))
    status = None
    try:
        head = renderer.header()
        if head:
            out.write(head)
        for source in sources:
            replay.run(source)
    except _Stop as exc:
        replay.flush()
        replay._clear_progress()
        err.write(f"{PROG}: {exc}\n")
        status = EXIT_BAD_INPUT
    except BrokenPipeError:
        # Whoever read the output went away; say what was seen and stop.
        replay.pending.clear()
        replay._clear_progress()
        _silence(out)
    except KeyboardInterrupt:
        replay.pending.clear()
        replay._clear_progress()
        err.write(f"\n{PROG}: interrupted\n")
        status = 130
    finally:
        _close(sources)
    replay._clear_progress()
    err.write(replay.summary(len(sources)))
    err.flush()
    return replay.status() if status is None else status


def _silence(out: TextIO) -> None:
    # Later flushes of standard output (at exit included) must not fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
