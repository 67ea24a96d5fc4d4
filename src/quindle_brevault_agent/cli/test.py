"""Check that a policy still decides known cases as expected: ``quindle-brevault-agent test``.

    quindle-brevault-agent test POLICY CASES... [--junit FILE] [-q]

POLICY is named as for the replay (a policy file, a Python file or a module,
the last two optionally followed by ``:NAME``). CASES are JSON Lines files
(``-`` reads standard input), one case a line:

    {"name": "big charge", "stage": "spend_decision", "event": {...},
     "expect": "BLOCK", "hits": ["cap_charges_500"]}

``event`` (a JSON object) and ``expect`` ("ALLOW", "FLAG", "ASK", "BLOCK", or
"ERROR" for an evaluation that raises) are required. ``stage`` is the stage
to decide at; without it the event's own "stage" field is used, as the
replay does. ``hits`` lists the names of the behaviours expected to hit, in
policy order; without it only the verdict is checked. ``error``, only beside
"expect": "ERROR" (where ``hits`` has no place), names the type of the
exception expected, or a type it derives from ("TypeError",
"ArithmeticError"); without it any exception passes. ``name`` names the case
in the output. No other key is accepted, so that a misspelt key cannot turn a
check off.

Each case is decided by ``Policy.evaluate`` on a copy of the policy without
its actions: a test run never sets off an action. A policy with limits
decides the cases in order, one second apart, against a fresh in-memory
store (``--store SPEC`` names a real one: ``sqlite:PATH`` or a ``redis://``
URL). A case passes when the
verdict is the expected one (exactly: a verdict of the caller's own never
equals "BLOCK") and, when ``hits`` is given, the hits are the ones listed. An
evaluation that raises fails the case, unless the case expects "ERROR" (of
its ``error`` type); the error is shown as its actual.

Each failing case is written to standard output as

    FAIL FILE:LINE (NAME)
      expected: BLOCK [cap_charges_500]
      actual:   FLAG [flag_charges_over_100]

(`` (NAME)`` only when the case has a name; ``expected:`` shows no list when
the case gives no ``hits``; an actual that raised reads ``evaluation failed:
Type: message``), followed by a last line ``N passed, M failed``. ``-q``
leaves out the failures and writes only the last line. Characters that
cannot be shown on one line (line breaks, control characters, lone
surrogates) are written as escapes such as ``\\n`` and ``\\x07``.

``--junit FILE`` also writes a JUnit XML report for CI systems: a
``testsuite`` per case file in one ``testsuites``, each with ``tests``,
``failures`` and ``errors`` counts, a ``testcase`` per case (``classname``
the case file, ``name`` the case's name or ``FILE:LINE``), holding a
``failure`` for a wrong decision (or an error other than the expected one)
or an ``error`` for an evaluation that raised unexpected; a line that is not
a case is a ``testcase`` named ``FILE:LINE`` holding an ``error`` of type
"not a case" whose message is the reason. It is written when every case has
run, whether or not they passed.

A line that is not a case (not JSON, not a JSON object, an unknown key, a
missing or invalid ``event`` or ``expect``, ``hits`` that is not a list of
strings, a ``name`` or ``stage`` that is not a string) is reported on
standard error as ``FILE:LINE: reason`` and the run goes on. A policy that
does not load, a case file that cannot be opened or read, or an output that
cannot be written stops the run with one message; so does an output (the
``--junit`` FILE or standard output) that is the same file as the POLICY or
a case file, before anything is written.

Exit status: 0 when every case passed, 1 when any case failed, 2 when any
line was not a case, the policy did not load, or an input or output failed
(2 wins over 1); 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from typing import Any, BinaryIO, Sequence, TextIO, cast

import quindle_brevault_agent.cli.cluster as cluster

from .. import jsonl
from .._impl import Policy, without_actions
from ..enforce.guarding import describe_error
from ..policy_files import POLICY_HELP, PolicyLoadError, load_error, load_policy
from .output import PROG, OutputError, inputs, isatty, refusal, silence, standard_output
from .progress import Progress, escapes
from .simulating import simulated

__all__ = ["add_parser", "run", "Case", "BadCase", "NotACase", "parse_case"]

EXIT_PASSED = 0
EXIT_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130

VERDICTS = ("ALLOW", "FLAG", "ASK", "BLOCK")
ERROR = "ERROR"  # what a case expects of an evaluation that raises
KEYS = ("name", "stage", "event", "expect", "hits", "error")


# ---------------------------------------------------------------- cases


class BadCase(ValueError):
    """A line that is not a case; the message is the reason."""


@dataclass(frozen=True)
class Case:
    file: str
    line: int
    name: str | None
    stage: Any  # the stage to decide at: the case's, else the event's own
    event: dict[str, Any]
    expect: str  # a verdict, or ERROR
    hits: tuple[str, ...] | None  # None: the hits are not checked
    error: str | None = None  # with ERROR: the name of the exception's type, or of one of its bases

    @property
    def where(self) -> str:
        return f"{shown(self.file)}:{self.line}"

    @property
    def label(self) -> str:
        """How the output names the case: ``FILE:LINE (NAME)``."""
        if self.name is None:
            return self.where
        return f"{self.where} ({shown(self.name)})"


def _kind(value: Any) -> str:
    return "an object" if value.__class__ is dict else jsonl.kind(value)


def _quoted(value: Any, limit: int = 40) -> str:
    text = json.dumps(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def parse_case(file: str, line: int, value: Any) -> Case:
    """The case that a parsed JSON line holds; `BadCase` says why it holds none."""
    if value.__class__ is not dict:
        raise BadCase(f"not a JSON object but {jsonl.kind(value)}")
    for key in value:
        if key not in KEYS:
            raise BadCase(
                f"unknown key {_quoted(key)}: a case has the keys "
                "\"name\", \"stage\", \"event\", \"expect\", \"hits\" and \"error\""
            )
    if "event" not in value:
        raise BadCase('"event" is missing')
    event = value["event"]
    if event.__class__ is not dict:
        raise BadCase(f'"event" must be a JSON object, not {_kind(event)}')
    if "expect" not in value:
        raise BadCase('"expect" is missing')
    expect = value["expect"]
    if expect.__class__ is not str or (expect not in VERDICTS and expect != ERROR):
        raise BadCase(f'"expect" must be "ALLOW", "FLAG", "ASK", "BLOCK" or "ERROR", not {_quoted(expect)}')
    error = None
    if "error" in value:
        error = value["error"]
        if expect != ERROR:
            raise BadCase('"error" goes only with "expect": "ERROR"')
        if error.__class__ is not str or not error:
            raise BadCase(f'"error" must be the name of an exception type (a string), not {_kind(error)}')
    if expect == ERROR and "hits" in value:
        raise BadCase('"hits" has no place beside "expect": "ERROR": an evaluation that raises has no hits')
    hits = None
    if "hits" in value:
        listed = value["hits"]
        if listed.__class__ is not list:
            raise BadCase(f'"hits" must be a list of behaviour names, not {_kind(listed)}')
        for index, item in enumerate(listed):
            if item.__class__ is not str:
                raise BadCase(f'"hits"[{index}] must be a behaviour name (a string), not {_kind(item)}')
        hits = tuple(listed)
    for key in ("name", "stage"):
        if key in value and value[key].__class__ is not str:
            raise BadCase(f'"{key}" must be a string, not {_kind(value[key])}')
    stage = value["stage"] if "stage" in value else event.get("stage")
    return Case(file, line, value.get("name"), stage, event, expect, hits, error)


# ---------------------------------------------------------------- outcomes

# What cannot stand on one line of output, nor in an XML 1.0 file: control
# characters (line breaks included), the Unicode line separators, lone
# surrogates (JSON can spell them) and the two non-characters XML refuses.
_UNSHOWABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff\ufffe\uffff]")
_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    if char in _ESCAPES:
        return _ESCAPES[char]
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def shown(text: str) -> str:
    """`text` with what cannot be shown on one line written as an escape."""
    return _UNSHOWABLE.sub(_escape, text)


def _text(value: Any) -> str:
    if value.__class__ is str:
        return shown(value)
    try:
        return shown(str(value))
    except Exception:
        return f"<{type(value).__name__}>"


def _listed(names: Sequence[Any]) -> str:
    return "[" + ", ".join(_text(name) for name in names) + "]"


@dataclass(frozen=True)
class Outcome:
    """What the policy decided on a case: a verdict and the hits' behaviour names, or an error."""

    case: Case
    verdict: Any = None
    hits: tuple[Any, ...] = ()
    error: str | None = None  # the evaluation raised: "Type: message (...)"
    error_type: str | None = None  # and the name of the exception's type
    error_types: tuple[str, ...] = ()  # and of the types it derives from, its own first

    @property
    def passed(self) -> bool:
        case = self.case
        if case.expect == ERROR:
            return self.error is not None and (case.error is None or case.error in self.error_types)
        if self.error is not None:
            return False
        verdict = self.verdict
        if verdict.__class__ is not str or verdict != case.expect:
            return False
        return case.hits is None or self.hits == case.hits

    def expected(self) -> str:
        case = self.case
        if case.error is not None:
            return f"{case.expect} {shown(case.error)}"
        return case.expect if case.hits is None else f"{case.expect} {_listed(case.hits)}"

    def actual(self) -> str:
        if self.error is not None:
            return "evaluation failed: " + self.error
        return f"{_text(self.verdict)} {_listed(self.hits)}"


def decide(policy: Policy, case: Case) -> Outcome:
    """`case` decided by `policy` (which should have no actions)."""
    try:
        decision = policy.evaluate(case.event, stage=case.stage)
    except Exception as exc:
        try:
            reason = describe_error(exc)
        except Exception:  # an error whose message cannot be made
            reason = type(exc).__name__
        types = tuple(kind.__name__ for kind in type(exc).__mro__)
        return Outcome(case, error=shown(reason), error_type=shown(type(exc).__name__), error_types=types)
    names = tuple(
        name if name.__class__ is str else _text(name)
        for name in (hit.behaviour for hit in decision.hits)
    )
    return Outcome(case, decision.verdict, names)


@dataclass(frozen=True)
class NotACase:
    """A line that is not a case, and why."""

    file: str
    line: int
    reason: str


def failure_text(outcome: Outcome) -> str:
    """The lines that show a failed case."""
    return (
        f"FAIL {outcome.case.label}\n"
        f"  expected: {outcome.expected()}\n"
        f"  actual:   {outcome.actual()}\n"
    )


# ---------------------------------------------------------------- JUnit XML


def junit_tree(files: Sequence[str], outcomes: Sequence[Outcome | NotACase]) -> ElementTree.ElementTree:
    """The JUnit XML report: a testsuite per case file, in the order given;
    a line that is not a case is a testcase in error."""
    root = ElementTree.Element("testsuites")
    suites: dict[str, ElementTree.Element] = {}
    counts: dict[str, list[int]] = {}
    for file in files:
        if file not in suites:
            suites[file] = ElementTree.SubElement(root, "testsuite", name=shown(file))
            counts[file] = [0, 0, 0]
    for outcome in outcomes:
        if isinstance(outcome, NotACase):
            count = counts[outcome.file]
            count[0] += 1
            count[2] += 1
            where = f"{shown(outcome.file)}:{outcome.line}"
            testcase = ElementTree.SubElement(suites[outcome.file], "testcase", classname=shown(outcome.file), name=where)
            reason = shown(outcome.reason)
            error = ElementTree.SubElement(testcase, "error", message=reason, type="not a case")
            error.text = f"{where}: {reason}\n"
            continue
        case = outcome.case
        suite = suites[case.file]
        count = counts[case.file]
        count[0] += 1
        testcase = ElementTree.SubElement(
            suite,
            "testcase",
            classname=shown(case.file),
            name=case.where if case.name is None else shown(case.name),
        )
        if outcome.passed:
            continue
        details = f"{case.label}\nexpected: {outcome.expected()}\nactual:   {outcome.actual()}\n"
        if outcome.error is not None and case.expect != ERROR:
            count[2] += 1
            element = ElementTree.SubElement(
                testcase, "error", message=outcome.error, type=outcome.error_type or ""
            )
        else:
            count[1] += 1
            element = ElementTree.SubElement(
                testcase,
                "failure",
                message=f"expected {outcome.expected()}, got {outcome.actual()}",
                type="wrong decision",
            )
        element.text = details
    totals = [0, 0, 0]
    for file, suite in suites.items():
        tests, failures, errors = counts[file]
        suite.set("tests", str(tests))
        suite.set("failures", str(failures))
        suite.set("errors", str(errors))
        totals = [totals[0] + tests, totals[1] + failures, totals[2] + errors]
    root.set("tests", str(totals[0]))
    root.set("failures", str(totals[1]))
    root.set("errors", str(totals[2]))
    ElementTree.indent(root)
    return ElementTree.ElementTree(root)


# ---------------------------------------------------------------- the run


class _Output:
    """Standard output that goes quiet when its reader goes away."""

    def __init__(self, stream: TextIO) -> None:
        self.stream: TextIO | None = stream

    def write(self, text: str, flush: bool = False) -> None:
        stream = self.stream
        if stream is None:
            return
        try:
            stream.write(text)
            if flush:
                stream.flush()
        except UnicodeEncodeError:
            # A terminal that cannot show every character gets escapes.
            encoding = getattr(stream, "encoding", None) or "ascii"
            self.write(text.encode(encoding, "backslashreplace").decode(encoding), flush)
        except BrokenPipeError:
            # Whoever read the output went away: the cases still run, for
            # the exit status and the JUnit report.
            self.stream = None
            silence(stream)
        except OSError as exc:
            silence(stream)
            self.stream = None
            raise OutputError(f"cannot write standard output: {exc.strerror or exc}") from exc


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "test",
        help="check that a policy decides known cases as expected",
        description=(
            "Decide each case of CASES with POLICY and compare the verdict (and the "
            "hits, when listed) with the expected ones. Exit status: 0 when every case "
            "passed, 1 when any failed, 2 when any line was not a case or an input or "
            "output failed. Actions are never called."
        ),
    )
    parser.add_argument(
        "policy",
        metavar="POLICY",
        help=POLICY_HELP,
    )
    parser.add_argument(
        "cases",
        metavar="CASES",
        nargs="+",
        help='JSON Lines files, one case a line: {"name": ..., "stage": ..., '
        '"event": {...}, "expect": "ALLOW"|"FLAG"|"ASK"|"BLOCK", "hits": [...]}, or "expect": "ERROR" '
        'with an optional "error": TYPE; - reads standard input',
    )
    parser.add_argument("--junit", metavar="FILE", help="also write a JUnit XML report to FILE")
    parser.add_argument(
        "--store",
        metavar="SPEC",
        help="keep the windows of the policy's limits in SPEC (sqlite:PATH or a redis:// URL) "
        "instead of a fresh one in memory",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true", help="write only the last line, not the failures"
    )
    cluster.add_argument(parser)
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    """The test command on parsed arguments; returns the exit status."""
    err = sys.stderr
    try:
        return _run(args, sys.stdout, err)
    except KeyboardInterrupt:
        err.write(f"\n{PROG}: interrupted\n")
        err.flush()
        return EXIT_INTERRUPTED


def _run(args: argparse.Namespace, stdout: TextIO, err: TextIO) -> int:
    address = getattr(args, "cluster", None)
    if address is not None and (refused := cluster.missing()) is not None:
        err.write(refused + "\n")
        return EXIT_BAD_INPUT
    try:
        policy = without_actions(load_policy(args.policy))
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

    stdin = cast(BinaryIO, getattr(sys.stdin, "buffer", sys.stdin))
    try:
        sources = (jsonl.open_sources if address is None else cluster.open_sources)(args.cases, stdin)
    except jsonl.InputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT

    written = [standard_output()]
    if args.junit is not None:
        written.append((args.junit, args.junit))
    refused = refusal(written, inputs([args.policy], sources))
    if refused is not None:
        jsonl.close_sources(sources)
        err.write(refused + "\n")
        return EXIT_BAD_INPUT

    out = _Output(stdout)
    outcomes: list[Outcome] = []
    reported: list[Outcome | NotACase] = []  # for the JUnit report, in the order met
    bad = 0
    failed = 0
    try:
        if address is not None:
            cases, failed, bad = _on_cluster(address, args, policy, sources, out, err, reported)
        for source in (sources if address is None else []):
            for line, _raw, value, error in jsonl.read(source):
                if error is None:
                    try:
                        case = parse_case(source.name, line, value)
                    except BadCase as exc:
                        error = str(exc)
                if error is not None:
                    bad += 1
                    reported.append(NotACase(source.name, line, error))
                    err.write(f"{source.name}:{line}: {error}\n")
                    err.flush()
                    continue
                if clock is not None:
                    clock.advance(None)
                outcome = decide(policy, case)
                outcomes.append(outcome)
                reported.append(outcome)
                if not outcome.passed:
                    failed += 1
                    if not args.quiet:
                        out.write(failure_text(outcome), flush=True)
        if address is None:
            cases = len(outcomes)
        out.write(f"{cases - failed} passed, {failed} failed\n", flush=True)
    except cluster.Stop as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT
    except jsonl.InputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT
    except OutputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_BAD_INPUT
    finally:
        jsonl.close_sources(sources)

    if args.junit is not None:
        try:
            junit_tree([source.name for source in sources], reported).write(
                args.junit, encoding="utf-8", xml_declaration=True
            )
        except OSError as exc:
            err.write(f"{PROG}: cannot write {args.junit}: {exc.strerror or exc}\n")
            return EXIT_BAD_INPUT
    if bad:
        return EXIT_BAD_INPUT
    return EXIT_FAILED if failed else EXIT_PASSED


# ---------------------------------------------------------------- on a cluster


def _on_cluster(
    address: str, args: argparse.Namespace, policy: Policy, sources: list[jsonl.Source], out: _Output,
    err: TextIO, reported: list[Outcome | NotACase],
) -> tuple[int, int, int]:
    """Checks the cases of `sources` on the cluster at `address`, each
    partition by `_check_part` on a worker (standard input here), and says
    what one process says of them, in input order; ``(cases, failed, bad)``.
    The outcomes and the lines that are not cases are kept (in `reported`)
    for a JUnit report only."""
    junit = args.junit is not None
    totals = [0, 0, 0]

    def say(said: list[tuple[bool, str]]) -> None:
        for to_err, text in said:
            if to_err:
                err.write(text)
                err.flush()
            elif not args.quiet:
                out.write(text, flush=True)

    def merge(result: tuple[list[tuple[bool, str]], int, int, int, list[Outcome | NotACase], str | None]) -> None:
        said, cases, failed, bad, kept, error = result
        say(said)
        totals[0] += cases
        totals[1] += failed
        totals[2] += bad
        reported.extend(kept)
        if error is not None:
            raise jsonl.InputError(error)

    def local(source: jsonl.Source) -> None:
        merge(_check_part([policy], source, 0, (junit,)))

    progress = Progress(err, isatty(err), escapes())
    with cluster.Session(address, err, progress) as session:
        session.run(
            sources, _check_part, [cluster.shipped(args.policy)], (junit,), merge, local,
            loader=_load_for_cases,
        )
    return totals[0], totals[1], totals[2]


def _load_for_cases(specs: Sequence[cluster.Shipped]) -> list[Policy]:
    return [without_actions(cluster.load(specs[0]))]


def _check_part(
    policies: list[Policy], source: jsonl.Source, first_line: int, options: tuple[bool]
) -> tuple[list[tuple[bool, str]], int, int, int, list[Outcome | NotACase], str | None]:
    """On a worker: what one process says of the lines of a partition, in
    order (``(True, text)`` for standard error: a line that is not a case),
    the cases, failures and bad lines counted, the outcomes and the lines
    that are not cases for a JUnit report, and the input error."""
    (junit,) = options
    policy = policies[0]
    said: list[tuple[bool, str]] = []
    kept: list[Outcome | NotACase] = []
    cases = failed = bad = 0
    stopped = None
    try:
        for line, _raw, value, error in cluster.numbered(jsonl.read(source), first_line):
            if error is None:
                try:
                    case = parse_case(source.name, line, value)
                except BadCase as exc:
                    error = str(exc)
            if error is not None:
                bad += 1
                if junit:
                    kept.append(NotACase(source.name, line, error))
                said.append((True, f"{source.name}:{line}: {error}\n"))
                continue
            outcome = decide(policy, case)
            cases += 1
            if junit:
                kept.append(outcome)
            if not outcome.passed:
                failed += 1
                said.append((False, failure_text(outcome)))
    except jsonl.InputError as exc:
        stopped = str(exc)
    return said, cases, failed, bad, kept, stopped
