"""The command line: ``quindle-brevault-agent COMMAND ...`` and ``python -m quindle_brevault_agent``.

Each command lives in a module of its own, which adds its subparser with
``add_parser(commands)`` and sets ``run`` (a function of the parsed
arguments that returns the exit status) as the parser's default.
"""

from __future__ import annotations

import argparse
from typing import Sequence

from . import cases, lint, mcp_proxy, policy_diff, replay, verify_log

PROG = "quindle-brevault-agent"

# The command modules, in the order that --help lists them.
COMMANDS = [replay, cases, policy_diff, lint, verify_log, mcp_proxy]

EXIT_USAGE = 2


def parser() -> argparse.ArgumentParser:
    made = argparse.ArgumentParser(
        prog=PROG,
        description="Ready-made policy rules and behaviours for an agent.",
    )
    commands = made.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in COMMANDS:
        module.add_parser(commands)
    return made


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        args = parser().parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error already printed
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    status: int = args.run(args)
    return status
