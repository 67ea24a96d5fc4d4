"""Check decision logs: ``quindle-brevault-agent verify-log FILE...``.

Each FILE (``-`` for standard input) is one chain of records written by a
`DecisionLog`. For an intact chain a line goes to standard output:

    FILE: N records, chain intact, last line sha256 HEX

Otherwise standard error names the first line where the chain stops, as
``FILE:LINE: reason``: a line whose ``prev`` is not the hash of the line
before it, or whose ``seq`` does not follow (a line changed, removed,
inserted or reordered before it), or a line that is not a decision record.

Exit status: 0 when every chain is intact, 1 when some chain is broken, 2
when an input is unreadable (it cannot be opened or read, or holds a line
that is not a decision record); 2 wins over 1. A standard output that is the
same file as a FILE is refused with exit status 2 before anything is read.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any, BinaryIO, cast

from . import jsonl, outputs
from .decision_log import Chain, verify

__all__ = ["add_parser", "run"]

PROG = "quindle-brevault-agent"

EXIT_OK = 0
EXIT_BROKEN = 1
EXIT_UNREADABLE = 2


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "verify-log",
        help="check that decision logs are intact",
        description=(
            "Check the hash chain of each decision log. Exit status: 0 when every "
            "chain is intact, 1 when some chain is broken, 2 when an input is unreadable."
        ),
    )
    parser.add_argument("files", metavar="FILE", nargs="+", help="decision logs; - reads standard input")
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    out = sys.stdout
    err = sys.stderr
    stdin = cast(BinaryIO, getattr(sys.stdin, "buffer", sys.stdin))
    refused = outputs.refusal(
        [outputs.standard_output()],
        [(outputs.STANDARD_INPUT, stdin) if name == "-" else (name, name) for name in args.files],
    )
    if refused is not None:
        err.write(refused + "\n")
        return EXIT_UNREADABLE
    status = EXIT_OK
    for name in args.files:
        try:
            sources = jsonl.open_sources([name], stdin)
        except jsonl.InputError as exc:
            err.write(f"{PROG}: {exc}\n")
            status = EXIT_UNREADABLE
            continue
        try:
            found = verify(sources[0])
        except jsonl.InputError as exc:
            err.write(f"{PROG}: {exc}\n")
            status = EXIT_UNREADABLE
            continue
        finally:
            jsonl.close_sources(sources)
        if isinstance(found, Chain):
            plural = "record" if found.records == 1 else "records"
            out.write(f"{name}: {found.records} {plural}, chain intact, last line sha256 {found.last}\n")
            continue
        err.write(f"{name}:{found.line}: {found.reason}\n")
        status = max(status, EXIT_UNREADABLE if found.unreadable else EXIT_BROKEN)
    out.flush()
    return status
