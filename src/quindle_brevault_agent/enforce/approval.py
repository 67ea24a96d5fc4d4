"""Asking a person: the question a decision that needs approval asks, the
answer as the decision log records it, and where an approved decision is
admitted.

A decision whose verdict is "ASK" (``decision.needs_approval``) lets its
action through only once a person approves it: `guard` asks its ``approve``
callback, ``mcp-proxy`` the user of the MCP client. Whoever asks records one
of the `ANSWERS` beside the question, in the record's "approval" field:

    {..., "verdict": "ASK", ..., "approval": {"question": "...", "answer": "accepted", "for": "once"}, ...}

with "reason" when the answer says why, and "remembered": true when an
approval given earlier for the rest of the session answered.

The order is decide, ask, admit: `admit` is called once the person has
approved, and only then, so that nothing a decision would take (a budget, a
rate) is taken for an action that is not let through.
"""

from __future__ import annotations

from typing import Any

__all__ = [
    "ACCEPTED", "DECLINED", "CANCELLED", "TIMED_OUT", "NOT_POSSIBLE", "ANSWERS", "question", "answered", "admit",
]

ACCEPTED = "accepted"
DECLINED = "declined"
CANCELLED = "cancelled"
TIMED_OUT = "timed out"
NOT_POSSIBLE = "not possible"
ANSWERS = (ACCEPTED, DECLINED, CANCELLED, TIMED_OUT, NOT_POSSIBLE)


def question(subject: str, hits: str) -> str:
    """What a person is asked: ``Approve SUBJECT? The policy asks first: HITS``."""
    return f"Approve {subject}? The policy asks first: {hits}"


def answered(
    asked: str,
    answer: str | None,
    *,
    reason: str | None = None,
    session: bool = False,
    remembered: bool = False,
) -> dict[str, Any]:
    """The "approval" field of a record: the question, and the answer once there is one."""
    made: dict[str, Any] = {"question": asked}
    if answer is None:
        return made
    made["answer"] = answer
    if answer == ACCEPTED:
        made["for"] = "session" if session else "once"
    if remembered:
        made["remembered"] = True
    if reason is not None:
        made["reason"] = reason
    return made


def admit(policy: Any, event: Any, stage: Any, decision: Any) -> Any:
    """The decision to act on once a person approved `decision`, made on
    `event` at `stage`: what `policy` takes for the action (its limits) is
    admitted here, after the approval and never before it
    (``policy.admit(decision)``). A decision that comes back blocked (a
    limit that no longer fits) refuses the action after all; a policy
    without ``admit`` takes nothing, and the approved decision is the one
    to act on.
    """
    admitting = getattr(policy, "admit", None)
    return decision if admitting is None else admitting(decision)
