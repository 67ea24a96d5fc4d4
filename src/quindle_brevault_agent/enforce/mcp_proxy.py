"""A policy in front of an MCP server: ``quindle-brevault-agent mcp-proxy``.

    quindle-brevault-agent mcp-proxy POLICY [--log FILE] [--stage STAGE] [--charge TOOL ...] [--deny-uncovered]
        -- COMMAND [ARG...]

starts the MCP server COMMAND with pipes for its standard input and output
and serves the MCP client on the proxy's own standard input and output, so
that it stands in for the server in a client's configuration. The stdio
transport is JSON-RPC, one message per line.

Every message passes through byte for byte and in order, in both directions,
except what the proxy cannot read (below) and the client's ``tools/call``
requests. Each call is first evaluated as the event ``{"stage": STAGE,
"action_type": NAME, "tool": NAME, "kwargs": ARGUMENTS}`` (STAGE defaults to
"execution"; a tool named by ``--charge`` is evaluated at stage
"spend_decision" with action_type "charge"). An allowed or flagged call is
forwarded. A blocked call, or one whose evaluation or
recording raises (any exception, SystemExit and KeyboardInterrupt included),
never reaches the server: the proxy answers it with a tool result whose
``isError`` is true and whose text names the hits or the error (a hit of one
of the library's rules says what it read: ``cap_500 (spend_cap<=500): BLOCK
(amount=900)``). Each refusal is logged at INFO on the logger
"quindle_brevault_agent", and so are the server's start and end.
A call sent as a notification (no id) that is refused gets no answer. Every
decision goes to ``--log`` when given; a call whose evaluation raised is
recorded with the verdict "ERROR" and the error (`DecisionLog.record_error`).

Calls that no behaviour of the policy can apply to (`Policy.applicable`, with
the call's stage and action_type) are told of on standard error: once at
start when no behaviour can apply to tool calls at STAGE, or to the
``--charge`` tools; and, for the tools that the server lists in answer to the
client's ``tools/list`` requests (page by page), the names of those no
behaviour can apply to, each once. With ``--deny-uncovered`` such a call is
refused (whether or not its tool was listed): answered as a refused tool call
and recorded with the verdict "ERROR" and the error `UNCOVERED`.

The proxy reads a client message the way a lenient server could: bytes that
are not UTF-8 are read as U+FFFD, and several JSON values on one line are
each a message. Calls inside a batch (a JSON array) are evaluated one by one;
refused ones are answered together in one array and the rest are forwarded
as a smaller batch. A call whose JSON repeats a key is refused, since a
server could read the other copy.

Servers differ in where a message ends: at a line feed only, a bare carriage
return being JSON white space, or also at a bare carriage return (universal
newlines). A line whose two readings give different messages is judged as
one line ended by its line feed, and what the proxy judged goes on
re-encoded, one message per line and no carriage return, so that every
server reads what was judged.

Every line from the client is read in full, or not forwarded: one that is
not JSON, or that goes past the limits of the proxy's JSON reader (an integer
of more than 4,300 digits, nesting too deep), is answered with a JSON-RPC
parse error (code -32700, id null) and logged. A server that reads a stream
of JSON values whatever the line ends could otherwise join a broken line to
the next one into a call that the proxy never saw.

An answer the proxy makes to a request that carries its protocol version in
``params._meta`` (2026-07-28) has ``"resultType": "complete"``, as that
version requires of every result.

A call whose decision needs approval (verdict "ASK") goes to the server only
once the client's user accepts it; `mcp_approval` asks, on either protocol
generation, and takes the client's answers to its own questions, which never
reach the server. The proxy's own approval keys are taken out of every call
it forwards.

The server's standard error is the proxy's, and so is everything the policy
prints, when it is loaded or while it decides. When the client closes the
proxy's standard input, the server's is closed too, and the server is sent
SIGTERM, then SIGKILL, if it has not exited after a grace period (held back
while a message of the server's is on its way to the client and its bytes
keep moving); when the server exits, the proxy does too, once every message
the server wrote has reached the client whole. Bytes after the server's last
newline go on when it ended on its own, not when a signal ended it in the
middle of a message. SIGINT, SIGTERM and SIGHUP sent to the proxy
are passed on to the server. The exit status is the server's (128 + N when
it was ended by signal N); 2 when the policy or the log cannot be opened,
127 when COMMAND is not found and 126 when it cannot be run.
"""

from __future__ import annotations

import bisect
import hashlib
import json
import logging
import os
import re
import subprocess
import threading
import time
from typing import Any, Callable

from .decision_log import DecisionLog
from .guarding import describe_error, describe_refusal
from .mcp_approval import APPROVAL_TIMEOUT, Asking, Outcome, stripped

__all__ = ["Gate", "ToolsWatch", "serve"]

# Seconds a server gets to exit after its input closes, then again after
# SIGTERM; a message on its way to the client holds the signal back for as
# long as its bytes keep moving.
GRACE = 5.0
CHUNK = 1 << 16

CHARGE_STAGE = "spend_decision"

# The error recorded for a call refused by --deny-uncovered.
UNCOVERED = "uncovered: no behaviour of the policy can apply to this call"
_COVERED_KEPT = 4096  # tool names whose coverage is remembered

_logger = logging.getLogger("quindle_brevault_agent")


# ---------------------------------------------------------------- deciding


class Gate:
    """Decides on the client's messages: `inspect(line)` returns the bytes
    to forward to the server and the lines to answer the client with."""

    def __init__(
        self,
        policy: Any,
        *,
        stage: Any = "execution",
        charges: frozenset[str] = frozenset(),
        log: DecisionLog | None = None,
        deny_uncovered: bool = False,
        approval_timeout: float = APPROVAL_TIMEOUT,
    ) -> None:
        self.evaluate = policy.evaluate
        self.policy = policy
        self.stage = stage
        self.charges = charges
        self.log = log
        self.deny_uncovered = deny_uncovered
        self._applicable = getattr(policy, "applicable", None)
        self._covered: dict[str, bool] = {}  # by tool name, for the names seen so far
        self._repeated = False
        self._call_method = False
        self._may_carry_keys = True  # whether the line being judged can name the proxy's approval keys
        self._decode = json.JSONDecoder(object_pairs_hook=self._pairs).raw_decode
        self._read = json.JSONDecoder().raw_decode  # for a line that cannot hold a call
        # The calls that need approval: mcp_approval asks the client's user.
        self.asking = Asking(policy, log, self._answer, timeout=approval_timeout)

    def _pairs(self, pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        made = dict(pairs)
        if len(made) != len(pairs):
            self._repeated = True
            for key, value in pairs:  # any copy of "method" counts
                if key == "method" and value == "tools/call":
                    self._call_method = True
        elif made.get("method") == "tools/call":
            self._call_method = True
        return made

    # -- coverage

    def where(self, name: Any) -> tuple[Any, Any]:
        """The stage and action_type of a call of the tool `name`."""
        if isinstance(name, str) and name in self.charges:
            return CHARGE_STAGE, "charge"
        return self.stage, name

    def uncovered(self, name: Any) -> bool:
        """Whether no behaviour of the policy can apply to a call of the tool `name`."""
        if self._applicable is None:
            return False  # a policy that cannot tell: any behaviour may apply
        known = self._covered.get(name) if isinstance(name, str) else None
        if known is None:
            stage, kind = self.where(name)
            known = bool(self._applicable(stage, action_type=kind))
            if isinstance(name, str) and len(self._covered) < _COVERED_KEPT:
                self._covered[name] = known
        return not known

    # -- parsing

    def _values(self, text: str, decode: Callable[[str, int], tuple[Any, int]]) -> list[tuple[Any, bool, int, int]]:
        """The JSON values on one line, each with whether it repeats a key
        and names tools/call under a repeated key, and where it starts and
        ends. Raises what the JSON reader raises when anything but JSON
        white space is left over or a value is beyond the reader's limits."""
        values: list[tuple[Any, bool, int, int]] = []
        end = len(text)
        at = 0
        while True:
            if at < end and text[at] in " \t\r\n":
                found = _NOT_SPACE(text, at)
                at = end if found is None else found.start()
            if at >= end:
                return values
            self._repeated = self._call_method = False
            value, stop = decode(text, at)
            values.append((value, self._repeated and self._call_method, at, stop))
            at = stop

    # -- one message

    def _is_call(self, message: Any, ambiguous: bool) -> bool:
        return isinstance(message, dict) and (ambiguous or message.get("method") == "tools/call")

    def _outcome(self, item: Any, ambiguous: bool) -> Any:
        """For one message: None when it goes on as it came, the text to refuse
        a call with, or an `Outcome` (a call that asks, or the answer to a
        question of the proxy's)."""
        if self._is_call(item, ambiguous):
            return self._refusal(item, ambiguous)
        if isinstance(item, dict):
            return self.asking.other(item)
        return None

    def _refusal(self, message: dict[str, Any], ambiguous: bool) -> Any:
        """None when the call may go to the server, an `Outcome` for one that
        asks or goes on changed, else the text to answer with, which is also
        logged (at INFO: the client is answered with it)."""
        refusal = self._judged(message, ambiguous)
        if isinstance(refusal, str):
            _logger.info("%s", refusal)
        return refusal

    def _judged(self, message: dict[str, Any], ambiguous: bool) -> Any:
        params = message.get("params")
        params = params if isinstance(params, dict) else {}
        name = params.get("name")
        if ambiguous:
            return f"Tool call {_show(name)} refused: the request repeats a key, so the server could read it differently."
        arguments = params.get("arguments")
        stage: Any
        kind: Any
        if isinstance(name, str) and name in self.charges:
            stage, kind = CHARGE_STAGE, "charge"
        else:
            stage, kind = self.stage, name
        event = {
            "stage": stage,
            "action_type": kind,
            "tool": name,
            "kwargs": {} if arguments is None else arguments,
        }
        try:
            if self.deny_uncovered and self.uncovered(name):
                return self._uncovered_refusal(name, event, stage)
            decision = self.evaluate(event, stage=stage)
            if decision.needs_approval:
                return self.asking.call(message, _per_request_version(message), name, event, stage, decision)
            if self.log is not None:
                self.log.record(event, stage, decision)
            if not decision.blocked:
                # The proxy's own approval keys never reach the server; a line
                # without their name, even in escapes, carries none.
                forward = stripped(message) if self._may_carry_keys else None
                return None if forward is None else Outcome(forward=forward)
            return f"Tool call {_show(name)} blocked by policy: {describe_refusal(decision, event, self.policy)}"
        except BaseException as exc:
            # A rule's SystemExit or KeyboardInterrupt too: it refuses this
            # call only. Signals reach the main thread, never this one.
            reason = _described(exc)
            if self.log is not None:
                try:
                    self.log.record_error(event, stage, reason)
                except Exception:
                    pass  # the log is broken; the call is refused all the same
            return f"Tool call {_show(name)} refused: the policy could not decide: {reason}"

    def _uncovered_refusal(self, name: Any, event: Any, stage: Any) -> str:
        if self.log is not None:
            try:
                self.log.record_error(event, stage, UNCOVERED)
            except Exception:
                pass  # the log is broken; the call is refused all the same
        return f"Tool call {_show(name)} refused: no behaviour of the policy can apply to it (--deny-uncovered)."

    @staticmethod
    def _answer(message: dict[str, Any], text: str) -> dict[str, Any]:
        result: dict[str, Any] = {"content": [{"type": "text", "text": text}], "isError": True}
        if _per_request_version(message):
            result["resultType"] = "complete"
        return {"jsonrpc": "2.0", "id": message["id"], "result": result}

    def _unreadable(self, line: bytes, text: str, error: BaseException) -> bytes:
        """The parse error that answers a line the proxy cannot read in full."""
        reason = _described(error)
        if self.log is not None:
            # The line itself can be huge: its size, its digest and its start identify it.
            shown = {"bytes": len(line), "sha256": hashlib.sha256(line).hexdigest(), "start": text[:UNREAD_SHOWN]}
            try:
                self.log.record_error({"stage": self.stage, "unread": shown}, self.stage, reason)
            except Exception:
                pass  # the log is broken; the line is refused all the same
        return _line(
            {
                "jsonrpc": "2.0",
                "id": None,
                "error": {"code": PARSE_ERROR, "message": f"Parse error: the proxy cannot read this message, so it did not forward it: {reason}"},
            }
        )

    # -- one line of input

    def inspect(self, line: bytes) -> tuple[bytes, list[bytes]]:
        """`line` is one line as read, with its line feed (the last line of
        the input may lack it). Returns what to forward (`line` itself unless
        a call in it was refused or its readings differ) and the answers to
        write to the client."""
        # Only a line that says tools/call, or could say it in escapes, can
        # hold a call. Every line is read in full all the same: a server that
        # reads a stream of JSON values, line ends or not, would join a
        # broken line to the next.
        calls = (
            b"tools/call" in line or b"\\" in line or b"initialize" in line
            # The client's answers to the proxy's own questions, late ones
            # too, and its cancellations of calls that wait for one.
            or (self.asking.asked and b"quindle-brevault-agent" in line)
            or (self.asking.holding and b"cancelled" in line)
        )
        self._may_carry_keys = not QUICK or b"quindle-brevault-agent" in line or b"\\" in line
        text = line.decode("utf-8", "replace")
        if QUICK and calls and text[:1] == "{" and "\r" not in text:
            # One object on the line, as a client writes it: read as `_values`
            # reads it, without its loop.
            self._repeated = self._call_method = False
            try:
                value, stop = self._decode(text, 0)
            except Exception as exc:
                return b"", [self._unreadable(line, text, exc)]
            if stop == len(text) or text[stop:] == "\n":
                return self._one(line, text, value, self._repeated and self._call_method)
        try:
            values = self._values(text, self._decode if calls else self._read)
        except Exception as exc:  # not JSON, too deep, too many digits, too big
            return b"", [self._unreadable(line, text, exc)]
        if not calls:
            return line, []
        if QUICK and len(values) == 1 and isinstance(values[0][0], dict) and "\r" not in text:
            return self._one(line, text, values[0][0], values[0][1])
        cuts = _bare_returns(text) if "\r" in text else []
        kept: list[tuple[int, Any]] = []  # (piece, value) of every value that goes on
        changed: set[int] = set()  # the pieces in which a call was refused
        answers: list[Any] = []
        split = False  # whether a bare carriage return falls inside a value
        for value, ambiguous, start, stop in values:
            piece = bisect.bisect_left(cuts, start) if cuts else 0
            if cuts and bisect.bisect_left(cuts, stop) != piece:
                split = True
            if isinstance(value, list):
                batch_kept: list[Any] = []
                batch_answers: list[Any] = []
                touched = False
                for item in value:
                    outcome = self._outcome(item, ambiguous)
                    if outcome is None:
                        batch_kept.append(item)
                        continue
                    touched = True
                    if isinstance(outcome, Outcome):
                        if outcome.forward is not None:
                            batch_kept.append(outcome.forward)
                        if outcome.answer is not None:
                            answers.append(outcome.answer)  # a line of its own
                    elif "id" in item:
                        batch_answers.append(self._answer(item, outcome))
                if touched:
                    changed.add(piece)
                if batch_kept:
                    kept.append((piece, batch_kept))
                if batch_answers:
                    answers.append(batch_answers)
                continue
            outcome = self._outcome(value, ambiguous)
            if outcome is None:
                kept.append((piece, value))
            elif isinstance(outcome, Outcome):
                changed.add(piece)
                if outcome.forward is not None:
                    kept.append((piece, outcome.forward))
                if outcome.answer is not None:
                    answers.append(outcome.answer)
            else:
                changed.add(piece)
                if "id" in value:
                    answers.append(self._answer(value, outcome))
        try:
            answered = [_line(answer) for answer in answers]
            if split:
                # A server that ends messages at a bare carriage return would
                # read other messages than the ones judged: every server gets
                # the judged ones, one per line.
                return b"".join(_line(value) for _, value in kept), answered
            if not changed:
                return line, answered
            # Bare carriage returns, if any, fall between messages: each piece
            # goes on as it came unless a call in it was refused.
            kept_in: dict[int, list[bytes]] = {}
            for index, value in kept:
                if index in changed:
                    kept_in.setdefault(index, []).append(_line(value))
            forward = [
                b"".join(kept_in.get(index, ())) if index in changed else piece
                for index, piece in enumerate(pieces(line) if cuts else [line])
            ]
            return b"".join(forward), answered
        except (ValueError, RecursionError) as exc:  # a value the encoder cannot write back
            return b"", [self._unreadable(line, text, exc)]

    def _one(self, line: bytes, text: str, message: dict[str, Any], ambiguous: bool) -> tuple[bytes, list[bytes]]:
        """`inspect` for a line that holds one message and no carriage return,
        the common case: the same result without the bookkeeping of pieces
        and batches."""
        outcome = self._outcome(message, ambiguous)
        if outcome is None:
            return line, []
        try:
            if isinstance(outcome, Outcome):
                answered = [] if outcome.answer is None else [_line(outcome.answer)]
                return (b"" if outcome.forward is None else _line(outcome.forward)), answered
            return b"", [_line(self._answer(message, outcome))] if "id" in message else []
        except (ValueError, RecursionError) as exc:  # a value the encoder cannot write back
            return b"", [self._unreadable(line, text, exc)]


# Whether `Gate.inspect` takes its path for a line of one message (`Gate._one`);
# the tests turn it off to check that both paths give the same result.
QUICK = True

_NOT_SPACE = re.compile(r"[^ \t\r\n]").search  # the next character that is not JSON white space

PARSE_ERROR = -32700
UNREAD_SHOWN = 120  # characters of an unreadable line that its log record shows

# The versions of the initialize handshake. A request that carries any other
# version in its _meta speaks the per-request envelope (2026-07-28), where
# every result says its "resultType".
HANDSHAKE_VERSIONS = frozenset({"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"})
VERSION_KEY = "io.modelcontextprotocol/protocolVersion"


def _per_request_version(message: dict[str, Any]) -> bool:
    params = message.get("params")
    meta = params.get("_meta") if isinstance(params, dict) else None
    version = meta.get(VERSION_KEY) if isinstance(meta, dict) else None
    return isinstance(version, str) and version not in HANDSHAKE_VERSIONS


def _described(error: BaseException) -> str:
    try:
        return describe_error(error)
    except BaseException:  # an error whose str() fails is still named
        return type(error).__name__


def _line(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=True, allow_nan=True).encode("ascii") + b"\n"


def _show(name: Any) -> str:
    return repr(name) if isinstance(name, str) else repr(str(name))


def _bare_returns(text: str) -> list[int]:
    """Where `text` has a carriage return that no line feed follows."""
    cuts = []
    at = text.find("\r")
    while at >= 0:
        if not text.startswith("\n", at + 1):
            cuts.append(at)
        at = text.find("\r", at + 1)
    return cuts


def pieces(line: bytes) -> list[bytes]:
    """`line` split after each bare carriage return, which ends a message for
    a server that reads its input with universal newlines."""
    out = []
    start = 0
    at = line.find(b"\r")
    while at >= 0:
        if line[at + 1 : at + 2] != b"\n":
            out.append(line[start : at + 1])
            start = at + 1
        at = line.find(b"\r", at + 1)
    if start < len(line):
        out.append(line[start:])
    return out


# ---------------------------------------------------------------- what the tools are


class ToolsWatch:
    """Names, on standard error, the tools that the server lists and that no
    behaviour of the policy can apply to (`Gate.uncovered`), each once.

    The ids of the client's tools/list requests are noted as they pass
    (`asked`); the server's answers to them, one page each, are read for the
    tools' names (`answered`). Neither ever changes what passes: a message
    that does not parse is not followed."""

    AWAITED = 1024  # requests followed at once; more are not

    def __init__(self, gate: Gate, say: Callable[[str], None]) -> None:
        self.gate = gate
        self.say = say
        self.awaited: set[str] = set()  # the ids, as JSON
        self.named: set[str] = set()
        self.lock = threading.Lock()

    def asked(self, piece: bytes) -> None:
        # Written with escapes, "tools/list" holds a \/ or a \u.
        if b"tools/list" not in piece and b"\\/" not in piece and b"\\u" not in piece:
            return
        for message in _messages(piece):
            if message.get("method") == "tools/list" and "id" in message:
                key = _id_key(message["id"])
                with self.lock:
                    if key is not None and len(self.awaited) < self.AWAITED:
                        self.awaited.add(key)

    def answered(self, lines: bytes) -> None:
        if not self.awaited:
            return
        for line in lines.splitlines():
            for message in _messages(line):
                if "method" in message or "id" not in message:
                    continue
                key = _id_key(message["id"])
                with self.lock:
                    if key not in self.awaited:
                        continue
                    self.awaited.discard(key)
                result = message.get("result")
                tools = result.get("tools") if isinstance(result, dict) else None
                if isinstance(tools, list):
                    self._name(tools)

    def _name(self, tools: list[Any]) -> None:
        names = [tool.get("name") for tool in tools if isinstance(tool, dict)]
        uncovered = [name for name in names if isinstance(name, str) and self.gate.uncovered(name)]
        with self.lock:
            new = [name for name in dict.fromkeys(uncovered) if name not in self.named]
            self.named.update(new)
        if new:
            listed = ", ".join(repr(name) for name in new)
            refused = " (--deny-uncovered refuses them)" if self.gate.deny_uncovered else ""
            noun = "tool" if len(new) == 1 else "tools"
            self.say(f"no behaviour of the policy can apply to calls of the listed {noun} {listed}{refused}")


def _messages(data: bytes) -> list[dict[str, Any]]:
    """The JSON-RPC messages in one line, those of a batch included; what
    does not parse ends the list."""
    text = data.decode("utf-8", "replace")
    decode = json.JSONDecoder().raw_decode
    found: list[dict[str, Any]] = []
    at = 0
    end = len(text)
    while True:
        while at < end and text[at] in " \t\r\n":
            at += 1
        if at >= end:
            return found
        try:
            value, at = decode(text, at)
        except (ValueError, RecursionError):
            return found
        for item in value if isinstance(value, list) else [value]:
            if isinstance(item, dict):
                found.append(item)


def _id_key(value: Any) -> str | None:
    """A request id as a key: its JSON, so that 1 and "1" stay apart."""
    try:
        return json.dumps(value, sort_keys=True)
    except (TypeError, ValueError, RecursionError):
        return None


def reachable(policy: Any, stage: Any, charges: frozenset[str]) -> bool:
    """Whether a behaviour of `policy` can apply to the call of some tool not
    named by --charge, decided at `stage` with the tool's name as its
    action_type: to a name that no trigger waits for, or to one that one does."""
    from .._impl import condition_of

    names: list[Any] = [object()]  # equal to no name a trigger waits for
    for item in policy.behaviours:
        condition = condition_of(item.on.where)
        if isinstance(condition, tuple) and condition[0] == "action_type":
            if isinstance(condition[1], str) and condition[1] not in charges:
                names.append(condition[1])
    return any(policy.applicable(stage, action_type=name) for name in names)


def coverage_warnings(policy: Any, stage: Any, charges: frozenset[str]) -> list[str]:
    """What to say at start when no behaviour can apply to the proxy's tool calls."""
    from .guarding import describe_triggers

    said = []
    waits = f"the policy's behaviours wait for {describe_triggers(policy.behaviours)}"
    if not reachable(policy, stage, charges):
        said.append(
            f"no behaviour of the policy can apply to tool calls at stage {stage!r} "
            f"(action_type: the tool's name); {waits}"
        )
    if charges and not policy.applicable(CHARGE_STAGE, action_type="charge"):
        said.append(
            f"no behaviour of the policy can apply to the --charge tools "
            f"(stage {CHARGE_STAGE!r}, action_type 'charge'); {waits}"
        )
    return said


# ---------------------------------------------------------------- the pumps


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        view = view[written:]


def _lines(fd: int) -> Any:
    """The lines read from `fd`, each with its newline (the last may lack one)."""
    buffer = bytearray()
    while True:
        data = os.read(fd, CHUNK)
        if not data:
            if buffer:
                yield bytes(buffer)
            return
        if QUICK and not buffer and data.find(b"\n") == len(data) - 1:
            yield data  # one whole line, as most reads are: no copy
            continue
        start = len(buffer)
        buffer += data
        end = buffer.rfind(b"\n", start)
        if end < 0:
            continue
        parts = bytes(buffer[:end]).split(b"\n")
        del buffer[: end + 1]
        for part in parts:
            yield part + b"\n"


class _Proxy:
    def __init__(
        self,
        gate: Gate,
        server: subprocess.Popen[bytes],
        client_in: int,
        client_out: int,
        watch: ToolsWatch | None = None,
    ) -> None:
        self.gate = gate
        self.watch = watch
        self.server = server
        self.client_in = client_in
        self.client_out = client_out
        self.server_in = server.stdin.fileno()  # type: ignore[union-attr]
        self.server_out = server.stdout.fileno()  # type: ignore[union-attr]
        self.out_lock = threading.Lock()  # whole lines to the client, from either pump
        self.in_lock = threading.Lock()  # the server's input, and closing it
        self.in_open = True
        self.done = threading.Event()
        self.client_closed = False
        # What the server-to-client pump holds of a message: bytes of a line
        # not yet ended, or whole lines being written out; and when bytes
        # last moved from the server, or on to the client.
        self.partial = False
        self.sending = False
        self.moved = time.monotonic()
        self.tail = b""  # the server's last bytes, after its last newline

    def to_client(self, data: bytes) -> None:
        with self.out_lock:
            if len(data) <= CHUNK:
                written = os.write(self.client_out, data)
                self.moved = time.monotonic()
                if written == len(data):
                    return
                data = data[written:]
            view = memoryview(data)
            while view:
                view = view[os.write(self.client_out, view[:CHUNK]):]
                self.moved = time.monotonic()

    def client_to_server(self) -> None:
        try:
            for line in _lines(self.client_in):
                self._asked(line)
                forward, answers = self.gate.inspect(line)
                if forward:
                    with self.in_lock:
                        if not self.in_open:
                            return
                        _write_all(self.server_in, forward)
                for answer in answers:
                    self.to_client(answer)
        except OSError:
            pass  # the server's input or the client's output is gone: shut down
        finally:
            self.client_closed = True
            self.done.set()

    def server_to_client(self) -> None:
        buffer = bytearray()
        try:
            while True:
                data = os.read(self.server_out, CHUNK)
                self.moved = time.monotonic()
                if not data:
                    # Sent by `drain` once the server's exit status says that
                    # it ended on its own rather than by a signal.
                    self.tail = bytes(buffer)
                    break
                if QUICK and not buffer and data.endswith(b"\n"):
                    lines = data  # whole lines, as most reads are: no copy
                else:
                    start = len(buffer)
                    buffer += data
                    # A newline can only be in what was just read: searching it
                    # alone keeps a long line linear.
                    end = buffer.rfind(b"\n", start)
                    if end < 0:
                        self.partial = True
                        continue
                    # Whole lines only, so that an answer of the proxy's own
                    # never lands inside one of the server's messages.
                    lines = bytes(buffer[: end + 1])
                    del buffer[: end + 1]
                self.sending = True
                try:
                    self.to_client(lines)
                finally:
                    self.sending = False
                self._answered(lines)
                self.partial = bool(buffer)
        except OSError:
            pass
        finally:
            self.partial = False
            self.done.set()

    def _asked(self, line: bytes) -> None:
        if self.watch is not None:
            try:
                self.watch.asked(line)
            except Exception:
                pass  # only a warning is lost

    def _answered(self, lines: bytes) -> None:
        if self.watch is not None:
            try:
                self.watch.answered(lines)
            except Exception:
                pass  # only a warning is lost

    def close_server_input(self, wait: bool) -> None:
        if not self.in_lock.acquire(timeout=-1 if wait else 0.5):
            return
        try:
            if self.in_open:
                self.in_open = False
                try:
                    self.server.stdin.close()  # type: ignore[union-attr]
                except OSError:
                    pass
        finally:
            self.in_lock.release()

    def finish(self) -> int:
        server = self.server
        self.close_server_input(wait=False)
        for step in (None, server.terminate, server.kill):
            if step is not None:
                try:
                    step()
                except OSError:
                    pass
            if self._exits(server):
                break
        status = server.wait()
        self.close_server_input(wait=True)
        return status

    def _exits(self, server: subprocess.Popen[bytes]) -> bool:
        """Whether `server` exits within the grace period: GRACE seconds, and
        after them for as long as a message it began is still moving."""
        start = time.monotonic()
        while True:
            now = time.monotonic()
            ends = start + GRACE
            if self.partial or self.sending:
                ends = max(ends, self.moved + GRACE)
            if now >= ends:
                return False
            try:
                server.wait(min(0.1, ends - now))
                return True
            except subprocess.TimeoutExpired:
                continue

    def drain(self, pump: threading.Thread) -> None:
        """Waits for `pump` to pass on what the server wrote, for as long as
        its bytes keep moving; then the server's last bytes, after its last
        newline, when it ended on its own (not by a signal)."""
        while pump.is_alive() and time.monotonic() < self.moved + GRACE:
            pump.join(0.1)
        if pump.is_alive() or not self.tail or (self.server.returncode or 0) < 0:
            return
        try:
            self.to_client(self.tail)
        except OSError:
            pass


def serve(
    gate: Gate,
    command: list[str],
    client_in: int,
    client_out: int,
    on_started: Callable[[subprocess.Popen[bytes]], None] | None = None,
    watch: ToolsWatch | None = None,
) -> int:
    """Runs the server and both pumps until one side closes; the server's exit status."""
    server = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    _logger.info("started the MCP server %s (pid %d)", command[0], server.pid)
    proxy = _Proxy(gate, server, client_in, client_out, watch)
    gate.asking.to_client = proxy.to_client  # a call that waits in vain is refused through it
    if on_started is not None:
        on_started(server)
    pumps = [
        threading.Thread(target=proxy.client_to_server, name="client-to-server", daemon=True),
        threading.Thread(target=proxy.server_to_client, name="server-to-client", daemon=True),
    ]
    for pump in pumps:
        pump.start()
    while not proxy.done.wait(0.2):
        if server.poll() is not None:
            break
    status = proxy.finish()
    proxy.drain(pumps[1])  # what the server wrote before it exited still goes out
    _logger.info(
        "the MCP server %s (pid %d) %s", command[0], server.pid,
        f"exited with status {status}" if status >= 0 else f"was ended by signal {-status}",
    )
    return status if status >= 0 else 128 - status
