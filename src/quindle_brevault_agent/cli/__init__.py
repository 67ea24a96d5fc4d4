"""The command line: ``quindle-brevault-agent COMMAND ...`` and ``python -m quindle_brevault_agent``.

Each command lives in a module of its own, which adds its subparser with
``add_parser(commands)`` and sets ``run`` (a function of the parsed
arguments that returns the exit status) as the parser's default.

A command's options may come before, between or after its positional
arguments (``replay POLICY --format jsonl events.jsonl``): the command is
picked first, then its own parser reads the rest intermixed, and a usage
error shows that command's usage.

The commands are `replay` (with `replay_jobs`, its ``--jobs``), `test`,
`diff`, `lint`, `verify_log` and `mcp_proxy`. What they share is in modules
that no command owns: `reading` (what a line of recorded traffic holds),
`deciding` (the replay's decisions on a copy of the policy without actions),
`rendering` (decisions as rows), `counting` (the counts and the summary),
`progress` (the progress line), `interrupts` (Ctrl-C) and `output` (the
program's name, the terminal, a reader that goes away, an output that is one
of the command's inputs). The command line
imports the library (``quindle_brevault_agent``, its ``enforce`` package,
`jsonl`, `policy_files`, `lint`); the library never imports the command line.
"""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

from . import diff, lint, mcp_proxy, replay, test, verify_log
from .output import PROG, ClosedOutput, QuietWhenGone

DISTRIBUTION = "quindle-brevault-agent"

# The command modules, in the order that --help lists them.
COMMANDS = [replay, test, diff, lint, verify_log, mcp_proxy]

EXIT_USAGE = 2


def version() -> str:
    """The installed distribution's version, else the package's own."""
    from importlib import metadata

    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        from .. import __version__

        return __version__


def parser() -> argparse.ArgumentParser:
    return _parsers()[0]


def _parsers() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The top-level parser and each command's parser by name."""
    made = argparse.ArgumentParser(
        prog=PROG,
        description="Ready-made policy rules and behaviours for an agent.",
    )
    made.add_argument("--version", action="version", version=f"{PROG} {version()}")
    commands = made.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in COMMANDS:
        module.add_parser(commands)
    return made, dict(commands.choices)


def parse(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """The parsed command line; a usage error or --help raises SystemExit."""
    args = list(sys.argv[1:] if argv is None else argv)
    top, commands = _parsers()
    # Only the top level's own options may come before the command; anything
    # else there (an unknown option, no command, a wrong one) is left to the
    # top-level parser, which reports it.
    if not args or args[0] not in commands:
        return top.parse_args(args)
    name, rest = args[0], args[1:]
    command = commands[name]
    # The command's name is set first: its own arguments may take its place
    # (mcp-proxy's server command line), as they do under the top-level parser.
    namespace = argparse.Namespace(command=name)
    if type(command).parse_known_args is not argparse.ArgumentParser.parse_known_args:
        # A parser that splits its own arguments (mcp-proxy takes everything
        # after -- as the server's command line) reads them itself.
        return command.parse_args(rest, namespace)
    return command.parse_intermixed_args(rest, namespace)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        args = parse(argv)
    except SystemExit as exc:  # --help, --version, or a usage error already printed
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    saved, saved_out = sys.stderr, sys.stdout
    sys.stderr = QuietWhenGone(saved)
    if saved_out is None:  # started with standard output closed
        sys.stdout = ClosedOutput()
    try:
        status: int = args.run(args)
    finally:
        sys.stderr, sys.stdout = saved, saved_out
    return status

