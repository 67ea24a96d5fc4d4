"""The ``mcp-proxy`` command: a policy in front of an MCP server.

    quindle-brevault-agent mcp-proxy POLICY [--log FILE [--log-key-file KEYFILE]] [--stage STAGE]
        [--charge TOOL ...] [--deny-uncovered] [--store SPEC] [--approval-timeout SECONDS]
        -- COMMAND [ARG...]

``--store SPEC`` keeps the windows of the policy's limits in SPEC
(``sqlite:PATH`` or a ``redis://`` URL), so that several proxies share them;
a store that fails makes the calls it decides refused and logged.

The command reads its arguments, loads the policy, opens the decision log
(keyed with the key in KEYFILE when given: `DecisionLog`, `read_key`),
warns of tool calls that no behaviour can apply to, and hands standard input
and output to the proxy of ``quindle_brevault_agent.enforce.mcp_proxy``,
which describes what passes and what is refused; a call whose decision
needs approval (verdict "ASK") waits for the client's user, for at most
``--approval-timeout`` seconds (300 by default). The exit status is the server's (128 + N when it was
ended by signal N); 2 when the policy or the log cannot be opened, 127 when
COMMAND is not found and 126 when it cannot be run. A decision log that
cannot be written (a full disk) refuses every call from then on, says so
once on standard error, and leaves the exit status the server's.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import subprocess
import sys
from typing import Any

from .._impl import Policy
from ..enforce.decision_log import DecisionLog, LogError, read_key
from ..enforce.mcp_approval import APPROVAL_TIMEOUT
from ..enforce.mcp_proxy import Gate, ToolsWatch, coverage_warnings, serve
from ..limits.stores import open_store
from ..policy_files import POLICY_HELP, PolicyLoadError, load_error, load_policy
from .output import PROG

__all__ = ["add_parser", "run"]

EXIT_USAGE = 2
EXIT_NOT_FOUND = 127
EXIT_CANNOT_RUN = 126


class _Parser(argparse.ArgumentParser):
    """Takes everything after the first ``--`` as the server's command line,
    untouched: argparse itself could drop a later ``--`` that the server needs."""

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        args = list(sys.argv[1:] if args is None else args)
        if "--" in args:
            at = args.index("--")
            args, command = args[:at], args[at + 1 :]
        else:
            command = []
        namespace, extras = super().parse_known_args(args, namespace)
        if not command and not extras:
            self.error("the server's COMMAND is missing: put it after --")
        # Without a --, what argparse did not recognise is the command.
        namespace.command = command or extras
        return namespace, [] if not command else extras


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (0 < value < math.inf):
        raise argparse.ArgumentTypeError(f"expected a number of seconds above 0, not {text!r}")
    return value


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "mcp-proxy",
        help="put a policy in front of an MCP server",
        usage="%(prog)s POLICY [--log FILE [--log-key-file KEYFILE]] [--stage STAGE] [--charge TOOL ...] [--deny-uncovered] "
        "[--store SPEC] [--approval-timeout SECONDS] -- COMMAND [ARG ...]",
        description=(
            "Start the MCP server COMMAND and stand in for it on standard input and "
            "output, evaluating every tools/call request first: a blocked call gets "
            "an error result and never reaches the server. Exit status: the server's."
        ),
    )
    parser.__class__ = _Parser
    parser.add_argument("policy", metavar="POLICY", help=POLICY_HELP)
    parser.add_argument("--log", metavar="FILE", help="append every decision to the decision log FILE")
    parser.add_argument(
        "--log-key-file",
        metavar="KEYFILE",
        help="sign the --log records with HMAC-SHA256 under the key in KEYFILE "
        "(its bytes, less one trailing newline)",
    )
    parser.add_argument("--stage", default="execution", help="the stage of a tool call (default: execution)")
    parser.add_argument(
        "--charge",
        metavar="TOOL",
        action="extend",
        nargs="+",
        default=[],
        help="a tool whose calls are charges: stage spend_decision, action_type charge",
    )
    parser.add_argument(
        "--deny-uncovered",
        action="store_true",
        help="refuse the calls of tools that no behaviour of the policy can apply to",
    )
    parser.add_argument(
        "--store",
        metavar="SPEC",
        help="keep the windows of the policy's limits in SPEC: sqlite:PATH or a redis:// URL",
    )
    parser.add_argument(
        "--approval-timeout",
        metavar="SECONDS",
        type=_seconds,
        default=APPROVAL_TIMEOUT,
        help="how long a call that needs approval waits for the client's user, "
        f"and its approval state stays good (default: {APPROVAL_TIMEOUT:g})",
    )
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    err = sys.stderr
    # The protocol owns standard output: anything else that writes to it (a
    # policy that prints when it is loaded or while it decides, say) goes to
    # standard error instead.
    sys.stdout.flush()
    client_out = os.dup(1)
    os.dup2(2, 1)
    try:
        policy = load_policy(args.policy)
    except PolicyLoadError as exc:
        err.write(f"{PROG}: {load_error(args.policy, exc)}\n")
        return EXIT_USAGE
    if getattr(args, "store", None) is not None:
        if policy.limits is None:
            err.write(f"{PROG}: warning: --store is not used: the policy has no limits\n")
        else:
            try:
                policy = Policy(policy.behaviours, store=open_store(args.store), clock=policy.clock)
            except (ValueError, ImportError) as exc:
                err.write(f"{PROG}: cannot open the store {args.store}: {exc}\n")
                return EXIT_USAGE
    log = None
    key = None
    key_file = getattr(args, "log_key_file", None)
    if key_file is not None:
        if args.log is None:
            err.write(f"{PROG}: --log-key-file signs the decision log: it needs --log FILE\n")
            return EXIT_USAGE
        try:
            key = read_key(key_file)
        except LogError as exc:
            err.write(f"{PROG}: {exc}\n")
            return EXIT_USAGE
    if args.log is not None:
        try:
            log = DecisionLog(args.log, key=key)
        except OSError as exc:
            err.write(f"{PROG}: cannot open decision log {args.log}: {exc.strerror or exc}\n")
            return EXIT_USAGE
        except LogError as exc:  # it names the file
            err.write(f"{PROG}: {exc}\n")
            return EXIT_USAGE
    charges = frozenset(args.charge)
    gate = Gate(
        policy, stage=args.stage, charges=charges, log=log, deny_uncovered=args.deny_uncovered,
        approval_timeout=getattr(args, "approval_timeout", APPROVAL_TIMEOUT),
    )
    for warning in coverage_warnings(policy, args.stage, charges):
        err.write(f"{PROG}: warning: {warning}\n")
    err.flush()

    def say(warning: str) -> None:
        try:
            err.write(f"{PROG}: warning: {warning}\n")
            err.flush()
        except (OSError, ValueError):
            pass

    watch = ToolsWatch(gate, say)

    def passed_on(server: subprocess.Popen[bytes]) -> None:
        def forward(signum: int, _frame: Any) -> None:
            try:
                server.send_signal(signum)
            except OSError:
                pass

        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, forward)

    try:
        return serve(gate, args.command, 0, client_out, on_started=passed_on, watch=watch)
    except FileNotFoundError as exc:
        err.write(f"{PROG}: cannot start {args.command[0]}: {exc.strerror or exc}\n")
        return EXIT_NOT_FOUND
    except OSError as exc:
        err.write(f"{PROG}: cannot start {args.command[0]}: {exc.strerror or exc}\n")
        return EXIT_CANNOT_RUN
    finally:
        if log is not None:
            try:
                log.close()
            except OSError:
                pass  # a write that failed was said when it failed
