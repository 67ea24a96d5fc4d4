"""The ``lint`` command: the traps in policies, one line each.

    quindle-brevault-agent lint POLICY... [--format text|jsonl]

The checks, their codes and what each line holds are those of
``quindle_brevault_agent.lint``. Exit status: 0 when every policy is clean, 1
with any finding, 2 when a policy does not load (the reason goes to standard
error, and the other policies are still linted), standard output is the
file of a policy (then nothing more is written) or standard output cannot be
written (a full disk: one message). A reader that goes away (``| head -1``)
is no error: the exit status still covers every policy.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any, TextIO

from ..lint import lint_target, render
from ..policy_files import PolicyLoadError, load_error
from .output import PROG, OutputError, escaping, flush_out, inputs, refusal, standard_output, write_out

__all__ = ["add_parser", "run"]

EXIT_CLEAN = 0
EXIT_FINDINGS = 1
EXIT_NOT_LOADED = 2


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "lint",
        help="find the traps in policies",
        description=(
            "Report the traps in each POLICY, one line each: FILE: behaviour N (NAME): "
            "CODE message. Exit status: 0 when clean, 1 with any finding, 2 when a "
            "policy does not load."
        ),
    )
    parser.add_argument(
        "policies",
        metavar="POLICY",
        nargs="+",
        help="a policy file (.toml, .json), a Python file or package.module, "
        "optionally :NAME (default POLICY)",
    )
    parser.add_argument(
        "--format",
        choices=("text", "jsonl"),
        default="text",
        help="output format (default: text)",
    )
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    """The lint command on parsed arguments; returns the exit status."""
    stdout = sys.stdout
    escaping(stdout)
    try:
        return _lint(args, stdout)
    except OutputError as exc:
        sys.stderr.write(f"{PROG}: {exc}\n")
        return EXIT_NOT_LOADED


def _lint(args: argparse.Namespace, stdout: TextIO) -> int:
    def out(text: str) -> None:
        write_out(stdout, text)

    status = EXIT_CLEAN
    # Standard output must not be a policy: checked for all before anything
    # is written, and for a module again once it is imported and has a file.
    written = [standard_output()]
    refused = refusal(written, inputs(args.policies, []))
    for target in args.policies:
        if refused is not None:
            break
        try:
            findings = lint_target(target)
        except PolicyLoadError as exc:
            flush_out(stdout)
            sys.stderr.write(f"{PROG}: {load_error(target, exc)}\n")
            sys.stderr.flush()
            status = EXIT_NOT_LOADED
            continue
        refused = refusal(written, inputs([target], []))
        if refused is not None:
            break
        for finding in findings:
            out(render(target, finding, args.format) + "\n")
        if findings and status == EXIT_CLEAN:
            status = EXIT_FINDINGS
    flush_out(stdout)
    if refused is not None:
        sys.stderr.write(refused + "\n")
        return EXIT_NOT_LOADED
    return status
