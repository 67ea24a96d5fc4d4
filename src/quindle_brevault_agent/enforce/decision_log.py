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

A decision on which the policy's limits were checked has a ``"limits"``
field after its hits: for each limit, what the decision admitted and what is
left of it, as exact decimal numbers:

    {..., "hits": [], "limits": [{"behaviour": "daily", "rule":
     "budget<=1000/86400s", "admitted": 0.1, "left": 999.9}], "event": ...}

A decision that asked a person (verdict "ASK") has an ``"approval"`` field
after its event: the question, and the answer once there is one
(`approval.answered`); no other record has it. An approved decision is
recorded as its limits admitted it: BLOCK, with the limit's hit, when one no
longer fitted.

    {..., "verdict": "ASK", ..., "event": {...}, "approval": {"question": "Approve ...?",
     "answer": "declined"}, "prev": ...}

where ``seq`` counts from 1 and ``prev`` is the SHA-256 of the previous line's
bytes without its newline (64 zeros for the first line). Changing, removing,
inserting or reordering a line breaks the chain at the line after it, which
`verify` reports. Removing lines from the end leaves an intact, shorter chain:
keep the hash of the last line elsewhere (``verify-log`` prints it) to see that.

A keyed log (``DecisionLog(path, key=KEY)``) signs each record with
HMAC-SHA256 under the secret KEY, in one more field that always comes last:

    {"decision_log": 1, ..., "prev": "<64 hex digits>", "hmac": "<64 hex digits>"}

``hmac`` is the HMAC-SHA256 under KEY of the record's bytes before
``, "hmac": "`` (from its ``{`` to the closing quote of ``prev``), and
``prev`` is the previous record's ``hmac`` (64 zeros for the first). Whoever
lacks the key can neither sign an edited record nor re-chain the records
after it. Lines cut from the end still leave an intact, shorter chain.

Every record is ASCII: the fields in the order above, parted by ``", "``,
each key followed by ``": "``, the values as `json.dumps` writes them
(`dumps`), the time in UTC with microseconds, the hashes in lowercase hex.
Readers that take a record for its fields (``replay``, ``test``, ``diff``)
read both kinds alike.

The fields between "time" and "prev" are given by a `Layout` of (name, kind)
pairs: a kind `VALUE` is written as `dumps` writes it, `HITS` as the dicts of
a decision's hits, `TEXT` as the ASCII JSON text given (an exact decimal
number, say). The native module `_audit` writes the same bytes as this
module's Python encoding (`body` and `encode`, kept as the reference and used
for what the native encoding hands back), and for a log opened from a path
it writes the whole record in one call (`_audit.Writer`).
"""

from __future__ import annotations

import atexit
import datetime
import fcntl
import hashlib
import hmac
import io
import json
import logging
import math
import os
import re
import stat
import threading
import weakref
from typing import IO, Any, Callable, Iterable, NamedTuple, NoReturn

from .. import _audit, jsonl
from ..limits.stores import exact_text
from .guarding import describe_error

__all__ = [
    "DecisionLog", "LogError", "Problem", "Chain", "verify", "read_key", "ZERO", "REDACTED", "ERROR", "NEEDS_KEY",
    "Layout", "VALUE", "HITS", "TEXT",
]

ZERO = "0" * 64
REDACTED = "[redacted]"
ERROR = "ERROR"  # the verdict of a record whose decision raised
# Why a keyed record cannot be verified without the key.
NEEDS_KEY = "a keyed record (HMAC-SHA256): the log cannot be checked without its key"

KEY_LIMIT = 1 << 16  # bytes of a key file; a longer one is not a key

_FIRST_TAIL = 1 << 13  # bytes first read when looking for a log's last line
_TAIL = 1 << 16  # bytes read at a time after that

_logger = logging.getLogger("quindle_brevault_agent")


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


def _hits(hits: Any) -> list[dict[str, Any]]:
    return [{"behaviour": hit[0], "rule": hit[1], "verdict": hit[2]} for hit in hits]


def _hits_text(hits: Any) -> str:
    return dumps(_hits(hits))


# How a field of a record is written: its value as `dumps` writes it; a
# decision's hits, as the dicts of `_hits`; a str of ASCII JSON, as it is.
Layout = _audit.Layout
VALUE, HITS, TEXT = _audit.VALUE, _audit.HITS, _audit.TEXT

_DECISION = Layout((("stage", VALUE), ("verdict", VALUE), ("hits", HITS), ("event", VALUE)))
_LIMITED = Layout((("stage", VALUE), ("verdict", VALUE), ("hits", HITS), ("limits", TEXT), ("event", VALUE)))
_ERROR = Layout((("stage", VALUE), ("verdict", VALUE), ("hits", HITS), ("error", VALUE), ("event", VALUE)))
# A decision that asked a person: the same fields, then the question and answer.
_ASKED = {layout: Layout((*layout.fields, ("approval", VALUE))) for layout in (_DECISION, _LIMITED)}


def body(layout: Any, values: tuple[Any, ...]) -> str:
    """The fields of a record after "time" (``', "stage": ...'``), encoded in
    Python: the reference for `_audit.body`, which gives the same text."""
    parts = []
    for (name, kind), value in zip(layout.fields, values, strict=True):
        text = dumps(value) if kind == VALUE else _hits_text(value) if kind == HITS else value
        parts.append(", " + json.dumps(name) + ": " + text)
    return "".join(parts)


_audit.bind(plain, _text, dumps, _hits_text)
# False writes every record in Python (`body`, `encode`): the reference path,
# which the tests run beside the native one.
NATIVE = True


def _number(value: Any) -> str:
    """An exact amount as a JSON number: its plain decimal text."""
    if value.__class__ is int:
        return str(value)
    return exact_text(value)


def _limits(uses: Any) -> str:
    return "[" + ", ".join(
        '{"behaviour": ' + dumps(use[0]) + ', "rule": ' + dumps(use[1])
        + ', "admitted": ' + _number(use[2]) + ', "left": ' + _number(use[3]) + "}"
        for use in uses
    ) + "]"


# ---------------------------------------------------------------- a record's bytes

_MAC_OPEN = b', "hmac": "'
_MAC_TAIL = re.compile(rb', "hmac": "([0-9a-f]{64})"\}')
_MAC_SIZE = len(_MAC_OPEN) + 64 + 2  # the bytes after those a keyed record signs


def encode(seq: int, body: str, prev: str, key: bytes | None) -> tuple[bytes, str]:
    """``(line, link)``: the record numbered `seq` (without its newline), whose
    fields after "time" are `body` (``', "stage": ...'``), chained to `prev`
    and signed under `key` when one is given; `link` is what the next
    record's "prev" holds."""
    now = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
    data = (
        '{"decision_log": 1, "seq": ' + str(seq) + ', "time": "' + now + '"'
        + body + ', "prev": "' + prev + '"'
    ).encode("ascii")
    if key is None:
        data += b"}"
        return data, hashlib.sha256(data).hexdigest()
    mac = hmac.new(key, data, hashlib.sha256).hexdigest()
    return data + _MAC_OPEN + mac.encode("ascii") + b'"}', mac


def signature(line: bytes, key: bytes) -> str | None:
    """The "hmac" of the keyed record `line` when it signs the line under
    `key`, else None (another key, an edited line, or no "hmac" last)."""
    at = len(line) - _MAC_SIZE
    found = _MAC_TAIL.fullmatch(line, at) if at > 0 else None
    if found is None:
        return None
    mac = hmac.new(key, line[:at], hashlib.sha256).hexdigest()
    return mac if hmac.compare_digest(mac.encode("ascii"), found.group(1)) else None


def _keyed(record: Any) -> bool:
    return isinstance(record, dict) and "hmac" in record


def _key_bytes(key: Any) -> bytes | None:
    if key is None:
        return None
    made: bytes
    if isinstance(key, str):
        made = key.encode("utf-8")
    elif isinstance(key, (bytes, bytearray, memoryview)):
        made = bytes(key)
    else:
        raise TypeError(f"key takes bytes or a string, not {type(key).__name__}")
    if not made:
        raise ValueError("the key is empty: a keyed log needs a secret")
    return made


def read_key(path: str | os.PathLike[str]) -> bytes:
    """The key held by the file at `path`: its bytes, less one trailing newline.
    A file that cannot be read, that is empty (or a newline only) or longer
    than `KEY_LIMIT` bytes raises `LogError`."""
    name = os.fsdecode(path)
    try:
        with open(path, "rb") as stream:
            data = stream.read(KEY_LIMIT + 2)
    except OSError as exc:
        raise LogError(f"cannot read key file {name}: {exc.strerror or exc}") from None
    if data.endswith(b"\n"):
        data = data[:-1]
    if not data:
        raise LogError(f"key file {name} holds no key: it is empty")
    if len(data) > KEY_LIMIT:
        raise LogError(f"key file {name} is longer than {KEY_LIMIT} bytes, too long for a key")
    return data


# ---------------------------------------------------------------- writing


class DecisionLog:
    """Appends one chained JSON line per decision to a file or a stream.

    ``DecisionLog(path)`` opens `path` for appending and continues the chain
    of the records already there; ``DecisionLog(stream)`` writes to an open
    text or binary stream, starting a new chain. `redact` names fields that
    are written as ``"[redacted]"`` at the event's top level and in its
    ``kwargs``. One lock serialises records, so threads of one process can
    share a log; each record is one write followed by a flush.

    With ``fsync=True`` (a log opened from a path) each record is on the
    disk before `record` returns: the threads waiting at once share one
    ``fdatasync`` (group commit). Without it, each record is in the
    operating system's hands (written, not buffered) when `record` returns:
    it survives the process being killed, not the machine losing power.

    A log opened from a path can be shared by processes too: each record is
    written under an exclusive lock on the file (``flock``), after taking
    ``seq`` and ``prev`` from the file's last line whenever another writer
    has added to it, so their records form one chain. A last line cut short
    by a writer that died mid-write (no newline, not JSON) was never
    acknowledged: it is moved to a file beside the log (``LOG.torn``, or
    ``LOG.torn.N`` when that exists), the log is cut back to its last whole
    line, a warning names both files, and the chain goes on.

    With `key` (bytes, or a string taken as UTF-8; never empty) each record is
    signed with HMAC-SHA256 under it and chained to the previous signature
    (`read_key` reads one from a file). A log opened from a path goes on only
    as it was begun: a keyed log under the key that signed its last record,
    a plain log without a key; else `LogError`. A write that fails (a full
    disk) is logged once as an error, and every later record raises
    `LogError`.
    """

    def __init__(
        self,
        target: str | os.PathLike[str] | IO[Any],
        *,
        redact: Iterable[str] = (),
        key: bytes | str | None = None,
        fsync: bool = False,
    ) -> None:
        if isinstance(redact, str):
            raise TypeError("redact takes a collection of field names, not one string")
        self.redact = frozenset(redact)
        self._key = _key_bytes(key)
        self._fsync = bool(fsync)
        self._lock = threading.Lock()
        self._broken: BaseException | None = None
        self._owned = False
        self._reopen = False  # set in a child process that inherited the file
        self._native = NATIVE
        self._writer: Any = None  # the native record path of a log opened from a path
        self._chain: Any = _Chain()
        # The native writer's append, called straight from `record` while
        # nothing is to be done first (the file opened anew in a child process).
        self._direct: Callable[[Any, tuple[Any, ...]], None] | None = None
        if isinstance(target, (str, bytes, os.PathLike)):
            self.name = os.fsdecode(target)
            self._path = target
            if self._native:
                self._writer = self._chain = _audit.Writer(self, self._key, fsync=self._fsync, layout=_DECISION)
            stream = self._open()
            if self._writer is not None:
                self._writer.fd = stream.fileno()
                self._direct = self._writer.append
                # The writer keeps the file's lock between records: it is
                # given back before the file closes with its log, even where
                # the writer outlives the log (held by a guard).
                weakref.finalize(self, self._writer.close).atexit = False
            self._owned = True
            self._stream: IO[Any] = stream
            self._binary = True
            _OWNED.add(self)
        elif callable(getattr(target, "write", None)):
            if self._fsync:
                raise ValueError("fsync=True needs a log opened from a path: a stream is flushed, not synced")
            self.name = str(getattr(target, "name", "<stream>"))
            self._stream = target
            self._binary = isinstance(target, (io.RawIOBase, io.BufferedIOBase)) or (
                "b" in str(getattr(target, "mode", ""))
            )
        else:
            raise TypeError(f"DecisionLog needs a path or a writable stream, not {type(target).__name__}")

    @property
    def seq(self) -> int:
        """The seq of the log's last record (0 before the first)."""
        return self._chain.seq  # type: ignore[no-any-return]

    @seq.setter
    def seq(self, value: int) -> None:
        self._chain.seq = value

    @property
    def prev(self) -> str:
        """What the next record's "prev" holds."""
        return self._chain.prev  # type: ignore[no-any-return]

    @prev.setter
    def prev(self, value: str) -> None:
        self._chain.prev = value

    def _open(self) -> IO[bytes]:
        """The log's file, opened for appending, with the chain taken from its end."""
        stream = open(self._path, "a+b", buffering=0)
        try:
            fd = stream.fileno()
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                self._chain.end = self._continue(fd)
            finally:
                fcntl.flock(fd, fcntl.LOCK_UN)
            if self._fsync:
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    raise LogError(f"{self.name}: fsync=True needs a regular file, which the disk can be asked to hold")
                # The file and its name reach the disk too, the first time as later.
                os.fsync(fd)
                _sync_directory(self._path)
        except BaseException:
            stream.close()
            raise
        return stream

    def _continue(self, fd: int) -> int:
        """Takes `seq` and `prev` from the last line of the file, under its
        lock; returns the file's size after any repair."""
        end = os.fstat(fd).st_size
        if end == 0:
            self.seq, self.prev = 0, ZERO
            return 0
        start, last = _last_line(fd, end)
        record = _parsed(last)
        unfinished = _pread(fd, 1, end - 1) != b"\n"
        if last and record is _UNPARSED and unfinished and start + len(last) == end:
            # A record cut short: its writer died before the newline, so its
            # decision never returned. Chain from the line before it.
            self._chain_from(*_record_at(fd, start))
            self._set_aside(fd, start, end)
            return start
        self._chain_from(last, record)
        if unfinished:
            _write_all(fd, b"\n")
            end += 1
        return end

    def _chain_from(self, last: bytes, record: Any) -> None:
        """The chain goes on after `last`, the log's last line that is not
        blank (empty when there is none), parsed as `record`."""
        if not last:
            self.seq, self.prev = 0, ZERO
            return
        seq = record.get("seq") if isinstance(record, dict) else None
        if not (isinstance(record, dict) and record.get("decision_log") == 1 and seq.__class__ is int):
            raise LogError(f"{self.name}: the last line is not a decision record, so its chain cannot go on")
        if self._key is None:
            if _keyed(record):
                raise LogError(f"{self.name}: the log is keyed (HMAC-SHA256), so its chain goes on only under its key")
            prev = hashlib.sha256(last).hexdigest()
        else:
            if not _keyed(record):
                raise LogError(f"{self.name}: the log is not keyed, so a keyed chain cannot go on from it")
            signed = signature(last, self._key)
            if signed is None:
                raise LogError(
                    f"{self.name}: the last record's hmac does not match the key, so the chain cannot go on under it"
                )
            prev = signed
        self.seq = seq
        self.prev = prev

    def _set_aside(self, fd: int, start: int, end: int) -> None:
        """Moves bytes `start` to `end` of the log to a new file beside it, then
        cuts the log at `start`."""
        torn = _pread(fd, end - start, start)
        number = 0
        while True:
            aside = f"{self.name}.torn" + (f".{number}" if number else "")
            try:
                with open(aside, "xb") as out:
                    out.write(torn)
                    out.flush()
                    os.fsync(out.fileno())
                break
            except FileExistsError:  # an earlier one is kept
                number += 1
            except OSError as exc:
                raise LogError(
                    f"{self.name}: its last line was cut short and cannot be moved to {aside}:"
                    f" {exc.strerror or exc}"
                ) from exc
        os.ftruncate(fd, start)
        _logger.warning(
            "%s: its last line was cut short by a write that never finished; moved its %d bytes"
            " to %s and went on from the line before it",
            self.name, len(torn), aside,
        )

    def _after_fork(self) -> None:
        # The child shares the parent's open file, and with it the file's
        # lock: it opens the file anew before its first record.
        self._lock = threading.Lock()
        if self._writer is not None:
            self._writer.after_fork()
        if self._owned and self._broken is None:
            self._reopen = True
            self._direct = None

    def record(self, event: Any, stage: Any, decision: Any, *, approval: Any = None) -> None:
        """Writes one record for `decision`, made on `event` at `stage`; with
        `approval`, the question a person was asked about it and the answer."""
        shown = self._shown(event) if self.redact else event
        uses = getattr(decision, "limits", None)
        values: tuple[Any, ...]
        if uses:
            layout, values = _LIMITED, (stage, decision.verdict, decision.hits, _limits(uses), shown)
        else:
            layout, values = _DECISION, (stage, decision.verdict, decision.hits, shown)
        if approval is not None:
            layout, values = _ASKED[layout], (*values, approval)
        (self._direct or self._append)(layout, values)

    def _recorder(self) -> Callable[[Any, Any, Any], None]:
        """What records a decision that did not ask, as `record` does: the
        native writer's own record, which leaves to `record` what it does
        not write itself (a redacted event, a decision's limits, a file to
        open anew), where the log has one and `record` is this class's."""
        if self._writer is not None and type(self).record is DecisionLog.record:
            return self._writer.record  # type: ignore[no-any-return]
        return self.record

    def record_error(self, event: Any, stage: Any, error: BaseException | str) -> None:
        """Writes one record for a decision on `event` at `stage` that raised
        `error`: verdict "ERROR", no hits, and the error as ``Type: message
        (note)`` (or the text given) in the record's "error" field."""
        reason = error if isinstance(error, str) else describe_error(error)
        (self._direct or self._append)(_ERROR, (stage, ERROR, (), reason, self._shown(event)))

    def _shown(self, event: Any) -> Any:
        if self.redact and isinstance(event, dict):
            return self._redacted(event)
        return event

    def _append(self, layout: Any, values: tuple[Any, ...]) -> None:
        """Writes one chained record whose fields after "time" are `values`, as `layout` names them."""
        if self._broken is not None:
            self._refuse()
        writer = self._writer
        if writer is not None:
            if self._reopen:
                with self._lock:
                    self._reopen_file()
            writer.append(layout, values)
            return
        text = _audit.body(layout, values) if self._native else body(layout, values)
        with self._lock:
            if self._broken is not None:
                self._refuse()
            if self._owned:
                self._append_to_file(text)
                return
            seq = self.seq + 1
            data, link = encode(seq, text, self.prev, self._key)
            try:
                if self._binary:
                    self._stream.write(data + b"\n")
                else:
                    self._stream.write(data.decode("ascii") + "\n")
                self._stream.flush()
            except BaseException as exc:
                self._failed(exc)
                raise
            self.seq = seq
            self.prev = link

    def _refuse(self) -> NoReturn:
        raise LogError(f"{self.name}: an earlier write failed, the log is closed to new records") from self._broken

    def _reopen_file(self) -> None:
        """In a child process, under the log's lock: the file opened anew, its chain taken again."""
        if not self._reopen:
            return
        inherited = self._stream
        self._stream = self._open()
        if self._writer is not None:
            self._writer.fd = self._stream.fileno()
            self._direct = self._writer.append
        self._reopen = False
        inherited.close()

    def _failed(self, exc: BaseException) -> None:
        # What reached the file is unknown: a record after it could not be
        # chained honestly.
        self._broken = exc
        if isinstance(exc, OSError):
            _logger.error(
                "%s: cannot write a record: %s; the log takes no more records",
                self.name, exc.strerror or exc,
            )

    def _append_to_file(self, body: str) -> None:
        """`_append` to a log opened from a path: under the file's lock, after
        any other writer's records."""
        self._reopen_file()
        fd = self._stream.fileno()
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            end = os.lseek(fd, 0, os.SEEK_END)
            if end != self._chain.end:  # another writer added to the file
                end = self._continue(fd)
            seq = self.seq + 1
            data, link = encode(seq, body, self.prev, self._key)
            try:
                _write_all(fd, data + b"\n")
                if self._fsync:
                    os.fdatasync(fd)
            except BaseException as exc:
                self._failed(exc)
                raise
            self._chain.end = end + len(data) + 1
            self.seq = seq
            self.prev = link
        finally:
            fcntl.flock(fd, fcntl.LOCK_UN)

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
            self._broken = self._broken or LogError("closed")
            if self._writer is not None:
                self._writer.close()
            if self._owned:
                self._stream.close()
                _OWNED.discard(self)

    def __enter__(self) -> DecisionLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"DecisionLog({self.name!r}, seq={self.seq})"


class _Chain:
    """Where a chain stands when Python writes it: the last record's seq, the
    next record's prev, and the file's size after the last record read or
    written (`_audit.Writer` holds the same)."""

    __slots__ = ("seq", "prev", "end")

    def __init__(self) -> None:
        self.seq = 0
        self.prev = ZERO
        self.end = 0


def _sync_directory(path: str | bytes | os.PathLike[Any]) -> None:
    fd = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


_OWNED: weakref.WeakSet[DecisionLog] = weakref.WeakSet()  # the logs opened from a path


def _after_fork_in_child() -> None:
    for log in list(_OWNED):
        log._after_fork()


def _release_leases() -> None:
    # Before a fork, and at exit: the file's lock, which a native writer
    # keeps between records, is given back so that neither a child sharing
    # the file nor the interpreter's shutdown holds it, and the thread that
    # gives it back when idle ends, so that the fork finds none.
    for log in list(_OWNED):
        if log._writer is not None:
            log._writer.release()


os.register_at_fork(before=_release_leases, after_in_child=_after_fork_in_child)
atexit.register(_release_leases)

_UNPARSED: Any = object()


def _parsed(line: bytes) -> Any:
    """The JSON value of `line`, or `_UNPARSED`."""
    try:
        return json.loads(line)
    except (ValueError, RecursionError):
        return _UNPARSED


def _pread(fd: int, size: int, at: int) -> bytes:
    """`size` bytes of the file at offset `at` (fewer at its end)."""
    parts = []
    while size > 0:
        data = os.pread(fd, size, at)
        if not data:
            break
        parts.append(data)
        size -= len(data)
        at += len(data)
    return b"".join(parts)


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _last_line(fd: int, end: int) -> tuple[int, bytes]:
    """``(start, line)``: the last line of the file's first `end` bytes that is
    not blank, without its newline, and its offset; ``(end, b"")`` when every
    line is blank."""
    data = b""
    at = end
    step = _FIRST_TAIL
    while at > 0:
        step = min(step, at)
        at -= step
        data = _pread(fd, step, at) + data
        if b"\n" in data.rstrip():
            break
        step = _TAIL
    lines = data.split(b"\n")
    offset = len(data)
    for line in reversed(lines):
        offset -= len(line)
        if line.strip():
            return at + offset, line
        offset -= 1
    return end, b""


def _record_at(fd: int, end: int) -> tuple[bytes, Any]:
    """The last line that is not blank before offset `end`, and its value."""
    line = _last_line(fd, end)[1]
    return line, _parsed(line)


# ---------------------------------------------------------------- verifying


class Problem(NamedTuple):
    """Where a chain stops: the line number, the reason, and whether the input
    was unreadable there (not a decision record) rather than tampered with."""

    line: int
    reason: str
    unreadable: bool


class Chain(NamedTuple):
    """An intact chain: how many records, the SHA-256 of its last line (ZERO
    when empty), and whether its records are signed under a key."""

    records: int
    last: str
    keyed: bool = False


def verify(source: jsonl.Source, key: bytes | str | None = None) -> Chain | Problem:
    """Checks the chain of one decision log; an unreadable input raises `jsonl.InputError`.

    Without `key`, a keyed record stops the check (`NEEDS_KEY`, as an input
    that cannot be read); with it, every record must be signed under it.
    """
    key = _key_bytes(key)
    records = 0
    prev = ZERO
    prev_seq = 0
    prev_line = 0
    last = ZERO
    linked = "hash" if key is None else "hmac"
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
        if key is None:
            if _keyed(value):
                return Problem(number, NEEDS_KEY, True)
            made = hashlib.sha256(raw).hexdigest()
            last = made
        else:
            # Checked first: an edited record is named itself, not the one after it.
            signed = signature(raw, key)
            if signed is None:
                if not _keyed(value):
                    return Problem(number, "the record has no hmac: it was not signed under the key", False)
                return Problem(number, "the hmac does not match: the record was changed, or signed under another key", False)
            made = signed
            last = hashlib.sha256(raw).hexdigest()
        if link != prev:
            if records == 0:
                return Problem(number, "the first record's prev is not 64 zeros", False)
            return Problem(number, f"prev is not the {linked} of line {prev_line}", False)
        if seq != prev_seq + 1:
            if records == 0:
                return Problem(number, f"the first record's seq is {seq}, not 1", False)
            return Problem(number, f"seq {seq} does not follow seq {prev_seq}", False)
        records += 1
        prev = made
        prev_seq = seq
        prev_line = number
    return Chain(records, last, key is not None)
