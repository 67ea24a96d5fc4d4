"""How ``mcp-proxy`` asks the user of the MCP client about a call whose
decision needs approval (verdict "ASK"), and what it does with the answer.

The question is an ``elicitation/create`` form: a message naming the tool,
the hits and what their rules read in the arguments, and a schema of two
booleans, ``approve`` (required) and ``session`` (approve the same tool with
the same hits for the rest of the session).

On 2026-07-28 (a request that carries its protocol version) the call is
answered with an input-required result: the question under the input key
`KEY`, and a ``requestState`` of the proxy's own (`STATE`...), which binds
the tool's name and the call's exact arguments (their canonical JSON),
expires after the approval timeout, is used once, and is signed with
HMAC-SHA256 under a key made for the process. The client asks its user and
retries the call with the answer under `KEY` and the state; only a retry
whose state checks out and whose answer is accept with ``approve`` true goes
to the server, without the proxy's keys. A ``requestState`` and input
responses that the call carried from the server's own input-required result
ride inside the proxy's state and are given back to the server as they came.

On 2025-11-25 and before, the call waits while the proxy sends the client an
``elicitation/create`` request whose id starts with `ID_PREFIX`, a string the
server's own requests do not use; the client's answer to it is taken by the
proxy and never reaches the server. An accepted call is then forwarded; one
that gets no answer within the approval timeout is refused, and the question
withdrawn with ``notifications/cancelled``. A call the client cancels while
it waits is dropped.

A client without the elicitation capability, a declined or cancelled
question, no answer in time, and a state that is forged, altered, used
before, expired or made for another call all refuse the call, answered as a
refused tool call whose text says why. Approvals for the session are kept in
memory only, and end with the proxy.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import itertools
import json
import logging
import secrets
import threading
import time
from typing import Any, Callable, NamedTuple

from .approval import ACCEPTED, CANCELLED, DECLINED, NOT_POSSIBLE, TIMED_OUT, admit, answered, question
from .guarding import describe_refusal

__all__ = ["Asking", "Outcome", "KEY", "STATE", "ID_PREFIX", "SCHEMA", "APPROVAL_TIMEOUT"]

PREFIX = "quindle-brevault-agent/approval"
KEY = PREFIX  # the proxy's input request and response, on 2026-07-28
STATE = PREFIX + ":"  # the start of a requestState of the proxy's own
ID_PREFIX = PREFIX + "/"  # the ids of the proxy's own requests to the client
APPROVAL_TIMEOUT = 300.0  # seconds

SCHEMA: dict[str, Any] = {
    "type": "object",
    "properties": {
        "approve": {"type": "boolean", "title": "Approve this call"},
        "session": {
            "type": "boolean",
            "title": "Also approve this tool with the same hits for the rest of the session",
            "default": False,
        },
    },
    "required": ["approve"],
}

CAPABILITIES_KEY = "io.modelcontextprotocol/clientCapabilities"
_OUTSTANDING = 4096  # states not yet used that are kept; the oldest go first
_ARGUMENTS_SHOWN = 300  # characters of the arguments a question shows, when no hit reads them

_logger = logging.getLogger("quindle_brevault_agent")


class Outcome(NamedTuple):
    """What the proxy does with a message: forward `forward` in its place (None:
    nothing), and write `answer` to the client (None: nothing)."""

    forward: Any = None
    answer: Any = None


class _Held(NamedTuple):
    """A call waiting for its answer (2025-11-25)."""

    message: dict[str, Any]
    name: Any
    event: Any
    stage: Any
    decision: Any
    asked: str
    hits: str
    deadline: float
    timer: threading.Timer | None


def _line(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=True, allow_nan=True).encode("ascii") + b"\n"


def _show(name: Any) -> str:
    return repr(name) if isinstance(name, str) else repr(str(name))


def canonical(value: Any) -> str:
    """One text for one JSON value: keys sorted, no white space, ASCII."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=True, allow_nan=True)


def binding(name: Any, arguments: Any) -> str:
    """What a state binds: the SHA-256 of the tool's name and its exact arguments."""
    return hashlib.sha256(canonical([name, arguments]).encode("ascii")).hexdigest()


def can_elicit(capabilities: Any) -> bool:
    """Whether client capabilities declare form elicitation: an ``elicitation``
    object with ``form``, or with no mode at all (the form of the versions
    before modes)."""
    elicitation = capabilities.get("elicitation") if isinstance(capabilities, dict) else None
    return isinstance(elicitation, dict) and ("form" in elicitation or "url" not in elicitation)


def read_answer(result: Any) -> tuple[str, str | None, bool]:
    """``(answer, reason, for the session)`` of an elicitation result."""
    if not isinstance(result, dict):
        return NOT_POSSIBLE, "the client gave no answer to the approval question", False
    action = result.get("action")
    content = result.get("content")
    content = content if isinstance(content, dict) else {}
    if action == "accept":
        if content.get("approve") is True:
            return ACCEPTED, None, content.get("session") is True
        return DECLINED, "the user did not approve it", False
    if action == "decline":
        return DECLINED, "the user declined", False
    if action == "cancel":
        return CANCELLED, "the user cancelled the question", False
    return NOT_POSSIBLE, "the answer to the approval question is not one the proxy can read", False


def _hits_key(name: Any, decision: Any) -> Any:
    """What a session approval is kept under: the tool and the hits' names and verdicts."""
    try:
        return (str(name), tuple((str(hit[0]), str(hit[1]), str(hit[2])) for hit in decision.hits))
    except Exception:  # names that will not be told apart: no memory for them
        return None


class Asking:
    """The proxy's questions: the states it made that are not used yet, the
    calls waiting for an answer, and the approvals for the session.

    `answer(message, text)` makes the refused tool result that answers
    `message`; `to_client`, when set, writes lines to the client (a call
    that waits in vain is refused through it)."""

    def __init__(
        self,
        policy: Any,
        log: Any,
        answer: Callable[[dict[str, Any], str], dict[str, Any]],
        *,
        timeout: float = APPROVAL_TIMEOUT,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.policy = policy
        self.log = log
        self.answer = answer
        self.timeout = timeout
        self.clock = clock
        self.to_client: Callable[[bytes], None] | None = None
        self.handshake_elicits = False  # what the client's initialize declared
        self.asked = False  # whether the proxy ever sent the client a question of its own
        self._key = secrets.token_bytes(32)
        self._outstanding: dict[str, float] = {}  # nonce -> when its state expires
        self._held: dict[str, _Held] = {}  # by the id of the question
        self._remembered: set[Any] = set()
        self._ids = itertools.count(1)
        self._lock = threading.Lock()

    @property
    def holding(self) -> bool:
        """Whether some call waits for its answer."""
        return bool(self._held)

    # -- a call that needs approval

    def call(self, message: dict[str, Any], modern: bool, name: Any, event: Any, stage: Any, decision: Any) -> Any:
        """What to do with a call whose decision needs approval: a refusal's
        text, or an `Outcome`."""
        params = message.get("params")
        params = params if isinstance(params, dict) else {}
        hits = describe_refusal(decision, event, self.policy)
        asked = question(f"the call of tool {_show(name)}", hits + self._arguments(hits, params))
        state = params.get("requestState")
        if modern and isinstance(state, str) and state.startswith(STATE):
            return self._retry(message, params, state, name, event, stage, decision, asked, hits)
        if _hits_key(name, decision) in self._remembered:
            return self._settled(message, name, event, stage, decision, asked, hits, ACCEPTED, None, True, True)
        if "id" not in message:
            reason = "a call sent as a notification cannot wait for an answer"
            return self._settled(message, name, event, stage, decision, asked, hits, NOT_POSSIBLE, reason)
        if modern:
            meta = params.get("_meta")
            elicits = can_elicit(meta.get(CAPABILITIES_KEY) if isinstance(meta, dict) else None)
        else:
            elicits = self.handshake_elicits
        if not elicits:
            reason = "the client cannot ask its user: it declared no elicitation capability"
            return self._settled(message, name, event, stage, decision, asked, hits, NOT_POSSIBLE, reason)
        if modern:
            return self._input_required(message, params, name, event, stage, decision, asked)
        return self._hold(message, name, event, stage, decision, asked, hits)

    @staticmethod
    def _arguments(hits: str, params: dict[str, Any]) -> str:
        """The arguments, shortened, when no hit says what it read in them."""
        if hits.endswith(")"):
            return ""
        try:
            text = canonical(params.get("arguments"))
        except (ValueError, TypeError, RecursionError):
            return ""
        if len(text) > _ARGUMENTS_SHOWN:
            text = text[: _ARGUMENTS_SHOWN - 3] + "..."
        return f"; arguments: {text}"

    def _settled(
        self,
        message: dict[str, Any],
        name: Any,
        event: Any,
        stage: Any,
        decision: Any,
        asked: str,
        hits: str,
        answer: str,
        reason: str | None,
        session: bool = False,
        remembered: bool = False,
        forward: Any = None,
    ) -> Any:
        """Records the answer; the refusal's text, or an `Outcome` that forwards
        `forward` (the call as it came when None)."""
        if answer == ACCEPTED:
            admitted = admit(self.policy, event, stage, decision)
            self._record(event, stage, admitted, answered(asked, answer, session=session, remembered=remembered))
            if session:
                key = _hits_key(name, decision)
                if key is not None:
                    with self._lock:
                        self._remembered.add(key)
            if admitted.blocked:
                return f"Tool call {_show(name)} blocked by policy: {describe_refusal(admitted, event, self.policy)}"
            if forward is None:
                forward = stripped(message) or message
            return Outcome(forward=forward)
        self._record(event, stage, decision, answered(asked, answer, reason=reason))
        return f"Tool call {_show(name)} not approved ({reason or answer}): {hits}"

    def _record(self, event: Any, stage: Any, decision: Any, approval: dict[str, Any]) -> None:
        if self.log is not None:
            self.log.record(event, stage, decision, approval=approval)

    # -- 2026-07-28: the input-required result, and the retry

    def _input_required(
        self, message: dict[str, Any], params: dict[str, Any], name: Any, event: Any, stage: Any, decision: Any,
        asked: str,
    ) -> Outcome:
        carried: dict[str, Any] = {}
        if "requestState" in params:  # the server's own, from its input-required result
            carried["s"] = params["requestState"]
        responses = params.get("inputResponses")
        if isinstance(responses, dict):
            theirs = {key: value for key, value in responses.items() if key != KEY}
            if theirs:
                carried["r"] = theirs
        state = self._state(name, params.get("arguments"), carried)
        self._record(event, stage, decision, answered(asked, None))
        request = {"method": "elicitation/create", "params": {"mode": "form", "message": asked, "requestedSchema": SCHEMA}}
        result = {"resultType": "input_required", "inputRequests": {KEY: request}, "requestState": state}
        return Outcome(answer={"jsonrpc": "2.0", "id": message["id"], "result": result})

    def _state(self, name: Any, arguments: Any, carried: dict[str, Any]) -> str:
        nonce = secrets.token_hex(16)
        expires = self.clock() + self.timeout
        payload = {"n": nonce, "c": binding(name, arguments), "e": expires, **carried}
        body = base64.urlsafe_b64encode(canonical(payload).encode("ascii")).decode("ascii")
        with self._lock:
            while len(self._outstanding) >= _OUTSTANDING:
                del self._outstanding[next(iter(self._outstanding))]
            self._outstanding[nonce] = expires
        return STATE + body + "." + self._mac(body)

    def _mac(self, body: str) -> str:
        return hmac.new(self._key, (STATE + body).encode("ascii"), hashlib.sha256).hexdigest()

    def _checked(self, state: str, name: Any, arguments: Any) -> tuple[dict[str, Any] | None, str, str]:
        """``(payload, answer, reason)``: the payload of a state that checks
        out, else None with why it does not. Checking uses the state up."""
        body, dot, mac = state[len(STATE):].rpartition(".")
        if not dot or not body.isascii() or not hmac.compare_digest(mac.encode("ascii", "replace"), self._mac(body).encode("ascii")):
            return None, NOT_POSSIBLE, "its approval state was not made by this proxy: it is forged or altered"
        payload = json.loads(base64.urlsafe_b64decode(body))
        with self._lock:
            outstanding = self._outstanding.pop(payload["n"], None)
        if self.clock() >= payload["e"]:
            return None, TIMED_OUT, f"its approval state expired: no answer within {self.timeout:g} seconds"
        if outstanding is None:
            return None, NOT_POSSIBLE, "its approval state was used before"
        if payload["c"] != binding(name, arguments):
            return None, NOT_POSSIBLE, "its approval state was made for another call: another tool or other arguments"
        return payload, ACCEPTED, ""

    def _retry(
        self, message: dict[str, Any], params: dict[str, Any], state: str, name: Any, event: Any, stage: Any,
        decision: Any, asked: str, hits: str,
    ) -> Any:
        payload, answer, reason = self._checked(state, name, params.get("arguments"))
        if payload is None:
            return self._settled(message, name, event, stage, decision, asked, hits, answer, reason)
        responses = params.get("inputResponses")
        responses = responses if isinstance(responses, dict) else {}
        answer, said, session = read_answer(responses.get(KEY))
        forward = None
        if answer == ACCEPTED:
            forward = restored(message, payload)
        return self._settled(message, name, event, stage, decision, asked, hits, answer, said, session, False, forward)

    # -- 2025-11-25 and before: the question while the call waits

    def _hold(self, message: dict[str, Any], name: Any, event: Any, stage: Any, decision: Any, asked: str, hits: str) -> Outcome:
        rid = f"{ID_PREFIX}{next(self._ids)}"
        timer = None
        if self.to_client is not None:
            timer = threading.Timer(self.timeout, self._expire, (rid,))
            timer.daemon = True
        self.asked = True
        with self._lock:
            self._held[rid] = _Held(message, name, event, stage, decision, asked, hits, self.clock() + self.timeout, timer)
        if timer is not None:
            timer.start()
        params = {"mode": "form", "message": asked, "requestedSchema": SCHEMA}
        return Outcome(answer={"jsonrpc": "2.0", "id": rid, "method": "elicitation/create", "params": params})

    def _take(self, rid: Any) -> _Held | None:
        with self._lock:
            held = self._held.pop(rid, None) if isinstance(rid, str) else None
        if held is not None and held.timer is not None:
            held.timer.cancel()
        return held

    def other(self, message: dict[str, Any]) -> Outcome | None:
        """What to do with a client message that is no tool call: the answer
        to a question of the proxy's (taken, never forwarded), the client's
        initialize (its capabilities noted) or a cancellation of a waiting
        call; None for anything else, which passes."""
        method = message.get("method")
        if method is None:
            rid = message.get("id")
            if not (isinstance(rid, str) and rid.startswith(ID_PREFIX)):
                return None
            held = self._take(rid)
            if held is None:
                return Outcome()  # too late, or never asked: nothing goes on
            reason: str | None
            if self.clock() >= held.deadline:  # no timer said so: a gate that does not serve
                answer, reason, session = TIMED_OUT, f"no answer within {self.timeout:g} seconds", False
            elif "result" in message:
                answer, reason, session = read_answer(message["result"])
            else:
                error = message.get("error")
                said = error.get("message") if isinstance(error, dict) else None
                answer, reason, session = NOT_POSSIBLE, f"the client could not ask its user: {said}", False
            return self._answered(held, answer, reason, session)
        params = message.get("params")
        if method == "initialize" and isinstance(params, dict):
            self.handshake_elicits = can_elicit(params.get("capabilities"))
        elif method == "notifications/cancelled" and isinstance(params, dict) and self._held:
            with self._lock:
                waiting = [rid for rid, held in self._held.items() if held.message.get("id") == params.get("requestId")]
            for rid in waiting:
                self._take(rid)
        return None

    def _answered(self, held: _Held, answer: str, reason: str | None, session: bool) -> Outcome:
        try:
            settled = self._settled(
                held.message, held.name, held.event, held.stage, held.decision, held.asked, held.hits,
                answer, reason, session,
            )
        except BaseException as exc:  # as when deciding: the call is refused, and the error logged
            from .guarding import describe_error

            reason = describe_error(exc)
            if self.log is not None:
                try:
                    self.log.record_error(held.event, held.stage, reason)
                except Exception:
                    pass  # the log is broken; the call is refused all the same
            settled = f"Tool call {_show(held.name)} refused: the policy could not decide: {reason}"
        if isinstance(settled, Outcome):
            return settled
        _logger.info("%s", settled)
        return Outcome(answer=self.answer(held.message, settled))

    def _expire(self, rid: str) -> None:
        """Refuses a call whose question got no answer in time, and withdraws the question."""
        held = self._take(rid)
        send = self.to_client
        if held is None or send is None:
            return
        outcome = self._answered(held, TIMED_OUT, f"no answer within {self.timeout:g} seconds", False)
        cancel = {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": rid, "reason": "the approval timed out"}}
        try:
            send(_line(outcome.answer) + _line(cancel))
        except (OSError, ValueError):
            pass  # the client is gone


def restored(message: dict[str, Any], payload: dict[str, Any]) -> dict[str, Any]:
    """`message` without the proxy's keys, with the server's own requestState
    and input responses back where they were, if the call carried any."""
    params = dict(message["params"])
    params.pop("requestState", None)
    responses = params.pop("inputResponses", None)
    theirs = {key: value for key, value in responses.items() if key != KEY} if isinstance(responses, dict) else {}
    theirs.update(payload.get("r", {}))
    if theirs:
        params["inputResponses"] = theirs
    if "s" in payload:
        params["requestState"] = payload["s"]
    return {**message, "params": params}


def stripped(message: dict[str, Any]) -> dict[str, Any] | None:
    """`message` without the proxy's keys, for a call that does not need
    approval; None when it carries none of them."""
    params = message.get("params")
    if not isinstance(params, dict):
        return None
    state = params.get("requestState")
    responses = params.get("inputResponses")
    ours = isinstance(state, str) and state.startswith(STATE)
    answered_here = isinstance(responses, dict) and KEY in responses
    if not (ours or answered_here):
        return None
    params = dict(params)
    if ours:
        del params["requestState"]
    if isinstance(responses, dict) and answered_here:
        theirs = {key: value for key, value in responses.items() if key != KEY}
        if theirs:
            params["inputResponses"] = theirs
        else:
            del params["inputResponses"]
    return {**message, "params": params}
