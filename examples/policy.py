"""An example policy for an agent that pays invoices and files reports.

Replay it against the recorded events next to it:

    python -m quindle_brevault_agent replay examples/policy.py examples/events.jsonl

Charges are checked when the agent decides to spend, writes when it executes
a storage call. A field is read at the top level of an event, else under its
``kwargs``.
"""

from quindle_brevault_agent import (
    Policy,
    behaviour,
    cap_charges,
    deny_writes_to,
    flag_large_charges,
    on_charge,
    require_fields,
    restrict_scope,
    trigger,
)

POLICY = Policy(
    [
        # No single charge above 500; anything above 100 is let through but flagged.
        cap_charges(500, name="cap_charges_500"),
        flag_large_charges(100, name="flag_charges_over_100"),
        # A charge has to say how much, in what currency and to whom.
        behaviour(
            "charges_are_complete",
            on=on_charge(),
            rule=require_fields("amount", "currency", "payee"),
        ),
        # The archive and the audit log are read-only for the agent.
        deny_writes_to("bucket", ["billing-archive", "audit-log"], name="locked_buckets"),
        # Writes stay inside the agent's own project, or its scratch space.
        restrict_scope(["projects/invoice-bot/", "scratch/"], name="own_scope_only"),
        # Every write names the bucket it goes to.
        behaviour(
            "writes_name_a_bucket",
            on=trigger(stage="execution"),
            rule=require_fields("bucket"),
        ),
    ]
)
