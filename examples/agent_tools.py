"""A small agent tool set under the example policy, with a decision log.

    python examples/agent_tools.py

Each tool is guarded: the policy decides on every call before the tool runs,
a blocked call raises PolicyViolation instead, and every decision is written
to a decision log. The log is then checked with ``verify-log`` and replayed
through a stricter policy to see which decisions it would change.
"""

from __future__ import annotations

import asyncio
import os
import sys
import tempfile
from typing import Callable

from policy import POLICY  # the policy next to this file

from quindle_brevault_agent import DecisionLog, PolicyViolation, guard
from quindle_brevault_agent.cli import main as command_line

STRICTER = """\
from quindle_brevault_agent import Policy, cap_charges
from policy import POLICY
POLICY = Policy([cap_charges(100, name="cap_charges_100"), *POLICY])
"""


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="agent-tools-") as folder:
        return run(folder)


def run(folder: str) -> int:
    path = os.path.join(folder, "decisions.jsonl")
    refused: list[str] = []
    with DecisionLog(path) as log:
        @guard(POLICY, stage="spend_decision", action_type="charge", log=log)
        def pay(amount: float, currency: str, payee: str) -> str:
            """Pay `amount` in `currency` to `payee`."""
            return f"paid {amount} {currency} to {payee}"

        @guard(POLICY, stage="execution", log=log)
        async def store_report(bucket: str, scope: str, text: str) -> str:
            """Store `text` in `bucket` under `scope`."""
            await asyncio.sleep(0)
            return f"stored {len(text)} characters in {bucket}:{scope}"

        calls: list[tuple[str, Callable[[], object]]] = [
            ("pay", lambda: pay(42.5, "EUR", "acme-hosting")),
            ("pay", lambda: pay(149.99, "USD", payee="cloud-dns")),  # flagged, let through
            ("pay", lambda: pay(900, "EUR", "office-lease")),  # over the cap
            ("store_report", lambda: asyncio.run(store_report("reports", "projects/invoice-bot/q4.csv", "a,b\n"))),
            ("store_report", lambda: asyncio.run(store_report("audit-log", "projects/invoice-bot/x.log", "edit"))),
        ]
        for name, call in calls:
            try:
                print(f"{name}: {call()}")
            except PolicyViolation as refusal:
                refused.append(name)
                print(f"{name}: refused: {refusal}")

    print(f"\n$ quindle-brevault-agent verify-log {path}")
    sys.stdout.flush()
    verified = command_line(["verify-log", path])

    print("\nWhat a cap of 100 would have done to these calls:")
    sys.stdout.flush()
    stricter = os.path.join(folder, "stricter.py")
    with open(stricter, "w") as out:
        out.write(STRICTER)
    command_line(["replay", stricter, path, "--format", "table"])
    sys.stdout.flush()

    # The demo fails when the guard or the log does not do its job.
    return 0 if refused == ["pay", "store_report"] and verified == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
