"""A policy in front of an MCP server: ``quindle-brevault-agent mcp-proxy``.

    quindle-brevault-agent mcp-proxy POLICY [--log FILE] [--stage STAGE] [--charge TOOL ...] -- COMMAND [ARG...]

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
``isError`` is true and whose text names the hits or the error.
A call sent as a notification (no id) that is refused gets no answer. Every
decision goes to ``--log`` when given.

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

The server's standard error is the proxy's, and so is everything the policy
prints, when it is loaded or while it decides. When the client closes the
proxy's standard input, the server's is closed too, and the server is sent
SIGTERM, then SIGKILL, if it has not exited after a grace period; when the
server exits, the proxy does too. SIGINT, SIGTERM and SIGHUP sent to the proxy
are passed on to the server. The exit status is the server's (128 + N when
it was ended by signal N); 2 when the policy or the log cannot be opened,
127 when COMMAND is not found and 126 when it cannot be run.
"""

from __future__ import annotations

import bisect
import hashlib
import json
import os
import re
import subprocess
import threading
from typing import Any, Callable

from .decision_log import DecisionLog
from .guarding import describe_error, describe_hits

__all__ = ["Gate", "serve"]

GRACE = 5.0  # seconds a server gets to exit after its input closes, then again after SIGTERM
CHUNK = 1 << 16

CHARGE_STAGE = "spend_decision"


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
    ) -> None:
        self.evaluate = policy.evaluate
        self.stage = stage
        self.charges = charges
        self.log = log
        self._repeated = False
        self._call_method = False
        self._decode = json.JSONDecoder(object_pairs_hook=self._pairs).raw_decode
        self._read = json.JSONDecoder().raw_decode  # for a line that cannot hold a call

    def _pairs(self, pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        made = dict(pairs)
        if len(made) != len(pairs):
            self._repeated = True
        for key, value in pairs:
            if key == "method" and value == "tools/call":
                self._call_method = True
        return made

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

    def _refusal(self, message: dict[str, Any], ambiguous: bool) -> str | None:
        """None when the call may go to the server, else the text to answer with."""
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
            decision = self.evaluate(event, stage=stage)
            if self.log is not None:
                self.log.record(event, stage, decision)
            if not decision.blocked:
                return None
            return f"Tool call {_show(name)} blocked by policy: {describe_hits(decision)}"
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
        calls = b"tools/call" in line or b"\\" in line
        text = line.decode("utf-8", "replace")
        try:
            values = self._values(text, self._decode if calls else self._read)
        except Exception as exc:  # not JSON, too deep, too many digits, too big
            return b"", [self._unreadable(line, text, exc)]
        if not calls:
            return line, []
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
                for item in value:
                    refusal = self._refusal(item, ambiguous) if self._is_call(item, ambiguous) else None
                    if refusal is None:
                        batch_kept.append(item)
                    elif "id" in item:
                        batch_answers.append(self._answer(item, refusal))
                if len(batch_kept) != len(value):
                    changed.add(piece)
                if batch_kept:
                    kept.append((piece, batch_kept))
                if batch_answers:
                    answers.append(batch_answers)
                continue
            refusal = self._refusal(value, ambiguous) if self._is_call(value, ambiguous) else None
            if refusal is None:
                kept.append((piece, value))
            else:
                changed.add(piece)
                if "id" in value:
                    answers.append(self._answer(value, refusal))
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
    def __init__(self, gate: Gate, server: subprocess.Popen[bytes], client_in: int, client_out: int) -> None:
        self.gate = gate
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

    def to_client(self, data: bytes) -> None:
        with self.out_lock:
            _write_all(self.client_out, data)

    def client_to_server(self) -> None:
        try:
            for line in _lines(self.client_in):
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
                if not data:
                    if buffer:
                        self.to_client(bytes(buffer))
                    break
                buffer += data
                end = buffer.rfind(b"\n")
                if end >= 0:
                    # Whole lines only, so that an answer of the proxy's own
                    # never lands inside one of the server's messages.
                    self.to_client(bytes(buffer[: end + 1]))
                    del buffer[: end + 1]
        except OSError:
            pass
        finally:
            self.done.set()

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
            try:
                server.wait(GRACE)
                break
            except subprocess.TimeoutExpired:
                continue
        status = server.wait()
        self.close_server_input(wait=True)
        return status


def serve(
    gate: Gate,
    command: list[str],
    client_in: int,
    client_out: int,
    on_started: Callable[[subprocess.Popen[bytes]], None] | None = None,
) -> int:
    """Runs the server and both pumps until one side closes; the server's exit status."""
    server = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    proxy = _Proxy(gate, server, client_in, client_out)
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
    pumps[1].join(GRACE)  # what the server wrote before it exited still goes out
    return status if status >= 0 else 128 - status
