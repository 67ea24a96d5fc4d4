"""A tamper-evident decision log: one JSON line per decision, each chained to the last.

A record is written as

    {"decision_log": 1, "seq": N, "time": "2026-01-31T12:00:00.123456Z",
     "stage": ..., "verdict": ..., "hits": [{"behaviour": ..., "rule": ...,
     "verdict": ...}, ...], "event": {...}, "prev": "<64 hex digits>"}

A decision that could not be made (the policy raised while deciding) is
recorded too, with the verdict ``"ERROR"``, no hits, and the error as
``Type: message (note)`` in an ``"error"`` field before the event:

    {..., "stage": ..., "verdict": "ERROR", "hits": [], "error": "TypeError: ...",
     "event": {...}, "prev": ...}

where ``seq`` counts from 1 and ``prev`` is the SHA-256 of the previous line's
bytes without its newline (64 zeros for the first line). Changing, removing,
inserting or reordering a line breaks the chain at the line after it, which
`verify` reports. Removing lines from the end leaves an intact, shorter chain:
keep the hash of the last line elsewhere (``verify-log`` prints it) to see that.
"""

from __future__ import annotations

import datetime
import hashlib
import io
import json
import math
import os
import threading
from typing import IO, Any, Iterable, NamedTuple

from .. import jsonl
from .guarding import describe_error

__all__ = ["DecisionLog", "LogError", "Problem", "Chain", "verify", "ZERO", "REDACTED", "ERROR"]

ZERO = "0" * 64
REDACTED = "[redacted]"
ERROR = "ERROR"  # the verdict of a record whose decision raised

_TAIL = 1 << 16  # bytes read at a time when looking for an existing log's last line


class LogError(Exception):
    """A decision log cannot be continued or written."""


# ---------------------------------------------------------------- JSON values


def _text(value: Any) -> str:
    try:
        return str(value)
    except Exception:  # a value whose str() fails is still recorded
        return f"<{type(value).__name__}>"


def plain(value: Any, depth: int = 0) -> Any:
    """`value` as strict JSON can hold it: NaN and infinities, objects that
    JSON has no form for, and keys that are not strings become their str()."""
    cls = value.__class__
    if cls is str or cls is bool or value is None:
        return value
    if cls is int:
        return value if value.bit_length() < 8000 else _text(value)
    if cls is float:
        return value if math.isfinite(value) else _text(value)
    if depth > 200:  # deeper than anything real; its text says what it was
        return _text(value)
    if isinstance(value, dict):
        return {
            (key if key.__class__ is str else _text(key)): plain(item, depth + 1)
            for key, item in value.items()
        }
    if isinstance(value, (list, tuple)):
        return [plain(item, depth + 1) for item in value]
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return plain(int(value) if isinstance(value, int) else float(value), depth)
    return _text(value)


def dumps(value: Any) -> str:
    """`value` as one line of strict, ASCII JSON."""
    try:
        return json.dumps(plain(value), allow_nan=False)
    except (ValueError, TypeError, RecursionError):  # a cycle, say
        return json.dumps(_text(value))


def _hits(decision: Any) -> list[dict[str, Any]]:
    return [{"behaviour": hit[0], "rule": hit[1], "verdict": hit[2]} for hit in decision.hits]


# ---------------------------------------------------------------- writing


class DecisionLog:
    """Appends one chained JSON line per decision to a file or a stream.

    ``DecisionLog(path)`` opens `path` for appending and continues the chain
    of the records already there; ``DecisionLog(stream)`` writes to an open
    text or binary stream, starting a new chain. `redact` names fields that
    are written as ``"[redacted]"`` at the event's top level and in its
    ``kwargs``. One lock serialises records, so threads of one process can
    share a log; each record is one write followed by a flush.
    """

    def __init__(self, target: str | os.PathLike[str] | IO[Any], *, redact: Iterable[str] = ()) -> None:
        if isinstance(redact, str):
            raise TypeError("redact takes a collection of field names, not one string")
        self.redact = frozenset(redact)
        self._lock = threading.Lock()
        self._broken: BaseException | None = None
        self._owned = False
        self.seq = 0
        self.prev = ZERO
        if isinstance(target, (str, bytes, os.PathLike)):
            self.name = os.fsdecode(target)
            stream = open(target, "a+b")
            self._owned = True
            try:
                self._continue(stream)
            except BaseException:
                stream.close()
                raise
            self._stream: IO[Any] = stream
            self._binary = True
        elif callable(getattr(target, "write", None)):
            self.name = str(getattr(target, "name", "<stream>"))
            self._stream = target
            self._binary = isinstance(target, (io.RawIOBase, io.BufferedIOBase)) or (
                "b" in str(getattr(target, "mode", ""))
            )
        else:
            raise TypeError(f"DecisionLog needs a path or a writable stream, not {type(target).__name__}")

    def _continue(self, stream: IO[bytes]) -> None:
        """Takes `seq` and `prev` from the last line of an existing log."""
        end = stream.seek(0, os.SEEK_END)
        if end == 0:
            return
        data = b""
        at = end
        while at > 0:
            step = min(_TAIL, at)
            at -= step
            stream.seek(at)
            data = stream.read(step) + data
            if b"\n" in data.rstrip(b"\r\n\t ") or at == 0:
                break
        ends_in_newline = data.endswith(b"\n")
        # The last line that is not blank, as verify reads it: its bytes without the newline.
        last = next((line for line in reversed(data.split(b"\n")) if line.strip()), b"")
        if not last:
            return  # only blank lines so far
        try:
            record = json.loads(last)
        except ValueError:
            record = None
        seq = record.get("seq") if isinstance(record, dict) else None
        if not (isinstance(record, dict) and record.get("decision_log") == 1 and seq.__class__ is int):
            raise LogError(f"{self.name}: the last line is not a decision record, so its chain cannot go on")
        if not ends_in_newline:
            stream.write(b"\n")
            stream.flush()
        self.seq = seq
        self.prev = hashlib.sha256(last).hexdigest()

    def record(self, event: Any, stage: Any, decision: Any) -> None:
        """Writes one record for `decision`, made on `event` at `stage`."""
        self._append(
            ', "stage": ' + dumps(stage)
            + ', "verdict": ' + dumps(decision.verdict)
            + ', "hits": ' + dumps(_hits(decision))
            + ', "event": ' + dumps(self._shown(event))
        )

    def record_error(self, event: Any, stage: Any, error: BaseException | str) -> None:
        """Writes one record for a decision on `event` at `stage` that raised
        `error`: verdict "ERROR", no hits, and the error as ``Type: message
        (note)`` (or the text given) in the record's "error" field."""
        reason = error if isinstance(error, str) else describe_error(error)
        self._append(
            ', "stage": ' + dumps(stage)
            + ', "verdict": "' + ERROR + '", "hits": []'
            + ', "error": ' + dumps(reason)
            + ', "event": ' + dumps(self._shown(event))
        )

    def _shown(self, event: Any) -> Any:
        if self.redact and isinstance(event, dict):
            return self._redacted(event)
        return event

    def _append(self, body: str) -> None:
        """Writes one chained record whose fields after "time" are `body`."""
        with self._lock:
            if self._broken is not None:
                raise LogError(f"{self.name}: an earlier write failed, the log is closed to new records") from self._broken
            seq = self.seq + 1
            now = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
            line = (
                '{"decision_log": 1, "seq": ' + str(seq) + ', "time": "' + now + '"'
                + body + ', "prev": "' + self.prev + '"}'
            )
            data = line.encode("ascii")
            try:
                if self._binary:
                    self._stream.write(data + b"\n")
                else:
                    self._stream.write(line + "\n")
                self._stream.flush()
            except BaseException as exc:
                # What reached the file is unknown: a record after it could
                # not be chained honestly.
                self._broken = exc
                raise
            self.seq = seq
            self.prev = hashlib.sha256(data).hexdigest()

    def _redacted(self, event: dict[Any, Any]) -> dict[Any, Any]:
        fields = self.redact
        out = {key: (REDACTED if key in fields else value) for key, value in event.items()}
        kwargs = out.get("kwargs")
        if isinstance(kwargs, dict):
            out["kwargs"] = {key: (REDACTED if key in fields else value) for key, value in kwargs.items()}
        return out

    def close(self) -> None:
        """Closes a log opened from a path; a stream given by the caller stays open."""
        with self._lock:
            if self._owned:
                self._stream.close()
            self._broken = self._broken or LogError("closed")

    def __enter__(self) -> DecisionLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"DecisionLog({self.name!r}, seq={self.seq})"


# ---------------------------------------------------------------- verifying


class Problem(NamedTuple):
    """Where a chain stops: the line number, the reason, and whether the input
    was unreadable there (not a decision record) rather than tampered with."""

    line: int
    reason: str
    unreadable: bool


class Chain(NamedTuple):
    """An intact chain: how many records, and the SHA-256 of its last line (ZERO when empty)."""

    records: int
    last: str


def verify(source: jsonl.Source) -> Chain | Problem:
    """Checks the chain of one decision log; an unreadable input raises `jsonl.InputError`."""
    records = 0
    prev = ZERO
    prev_seq = 0
    prev_line = 0
    for number, raw, value, error in jsonl.read(source):
        if error is not None:
            return Problem(number, error, True)
        if not (isinstance(value, dict) and value.get("decision_log") == 1 and value["decision_log"] is not True):
            return Problem(number, "not a decision record", True)
        seq = value.get("seq")
        link = value.get("prev")
        if seq.__class__ is not int:
            return Problem(number, "not a decision record: seq is not an integer", True)
        if link.__class__ is not str:
            return Problem(number, "not a decision record: prev is not a string", True)
        if link != prev:
            if records == 0:
                return Problem(number, "the first record's prev is not 64 zeros", False)
            return Problem(number, f"prev is not the hash of line {prev_line}", False)
        if seq != prev_seq + 1:
            if records == 0:
                return Problem(number, f"the first record's seq is {seq}, not 1", False)
            return Problem(number, f"seq {seq} does not follow seq {prev_seq}", False)
        records += 1
        prev = hashlib.sha256(raw).hexdigest()
        prev_seq = seq
        prev_line = number
    return Chain(records, prev)
