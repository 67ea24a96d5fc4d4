"""Check decision logs: ``quindle-brevault-agent verify-log FILE...``.

Each FILE (``-`` for standard input) is one chain of records written by a
`DecisionLog`. For an intact chain a line goes to standard output:

    FILE: N records, chain intact, last line sha256 HEX

(``keyed chain intact`` for a log checked under ``--key-file``). A file that
holds no record says so, ``FILE: 0 records, the log is empty: nothing to
check``, and passes: a log that nothing was decided into yet is well formed.
Only ``--expect-count`` (or ``--expect-head``) can tell it from a log that
was emptied.

Otherwise standard error names the first line where the chain stops, as
``FILE:LINE: reason``: a line whose ``prev`` is not the hash of the line
before it, or whose ``seq`` does not follow (a line changed, removed,
inserted or reordered before it), or a line that is not a decision record.

What a plain chain cannot see is closed by what is kept elsewhere:
``--expect-head HASH`` (the last line's SHA-256, as printed before) and
``--expect-count N`` fail a chain whose end is not the one expected (lines
cut from the end, a last line changed, the whole log rewritten from some
line on), as ``FILE: expected ... (--expect-count), found ...``. A keyed log
(`DecisionLog(path, key=...)`) is checked with ``--key-file FILE``: every
record must be signed under that key, so an edited record is named itself;
without the key a keyed log cannot be checked, and says so.

Exit status: 0 when every chain is intact (and as expected), 1 when some
chain is broken or not as expected, 2 when an input is unreadable (it cannot
be opened or read, holds a line that is not a decision record, or is keyed
and no key was given), the key file cannot be read, or standard output
cannot be written; 2 wins over 1. A standard output that is the same file as
a FILE is refused with exit status 2 before anything is read. A reader of
standard output that goes away (``| head -1``) is no error: the logs are
still checked, and the exit status says how they are.
"""

from __future__ import annotations

import argparse
import re
import sys
from typing import Any, BinaryIO, TextIO, cast

from .. import jsonl
from ..enforce.decision_log import NEEDS_KEY, Chain, LogError, read_key, verify
from .output import PROG, STANDARD_INPUT, OutputError, escaping, flush_out, refusal, standard_output, write_out

__all__ = ["add_parser", "run"]

EXIT_OK = 0
EXIT_BROKEN = 1
EXIT_UNREADABLE = 2


def _head(text: str) -> str:
    if not re.fullmatch(r"[0-9a-fA-F]{64}", text):
        raise ValueError(text)
    return text.lower()


def _count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


_head.__name__ = "SHA-256 (64 hex digits)"
_count.__name__ = "non-negative integer"


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
    parser.add_argument(
        "--key-file", metavar="FILE",
        help="check a keyed log under the key in FILE (its bytes, less one trailing newline)",
    )
    parser.add_argument(
        "--expect-head", metavar="HASH", type=_head,
        help="fail unless the last line's sha256 is HASH (as printed by an earlier check)",
    )
    parser.add_argument(
        "--expect-count", metavar="N", type=_count, help="fail unless the log holds N records"
    )
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    out = sys.stdout
    err = sys.stderr
    escaping(out)
    try:
        return _check(args, out, err)
    except OutputError as exc:
        err.write(f"{PROG}: {exc}\n")
        return EXIT_UNREADABLE


def _check(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    stdin = cast(BinaryIO, getattr(sys.stdin, "buffer", sys.stdin))
    refused = refusal(
        [standard_output()],
        [(STANDARD_INPUT, stdin) if name == "-" else (name, name) for name in args.files],
    )
    if refused is not None:
        err.write(refused + "\n")
        return EXIT_UNREADABLE
    key = None
    if getattr(args, "key_file", None) is not None:
        try:
            key = read_key(args.key_file)
        except LogError as exc:
            err.write(f"{PROG}: {exc}\n")
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
            found = verify(sources[0], key)
        except jsonl.InputError as exc:
            err.write(f"{PROG}: {exc}\n")
            status = EXIT_UNREADABLE
            continue
        finally:
            jsonl.close_sources(sources)
        if isinstance(found, Chain):
            missed = _unexpected(name, found, args)
            if missed:
                flush_out(out)  # the lines before it first
                err.write(missed)
                status = max(status, EXIT_BROKEN)
            else:
                write_out(out, _intact(name, found))
            continue
        reason = found.reason + (" (--key-file)" if found.reason == NEEDS_KEY else "")
        flush_out(out)
        err.write(f"{name}:{found.line}: {reason}\n")
        status = max(status, EXIT_UNREADABLE if found.unreadable else EXIT_BROKEN)
    flush_out(out)
    return status


def _intact(name: str, found: Chain) -> str:
    if found.records == 0:
        return f"{name}: 0 records, the log is empty: nothing to check\n"
    chain = "keyed chain" if found.keyed else "chain"
    return f"{name}: {_records(found.records)}, {chain} intact, last line sha256 {found.last}\n"


def _records(count: int) -> str:
    return f"{count} record" if count == 1 else f"{count} records"


def _unexpected(name: str, found: Chain, args: argparse.Namespace) -> str:
    """The lines that say how an intact chain differs from what was expected."""
    said = ""
    count = getattr(args, "expect_count", None)
    if count is not None and found.records != count:
        said += f"{name}: expected {_records(count)} (--expect-count), found {found.records}\n"
    head = getattr(args, "expect_head", None)
    if head is not None and found.last != head:
        said += f"{name}: expected last line sha256 {head} (--expect-head), found {found.last}\n"
    return said
