"""Build a few threshold rules and run a handful of events through the host."""

from quindle_brevault_agent import check_rule, flag_over, spend_cap

RULES = [
    spend_cap(100),
    flag_over(50),
    spend_cap(1000, field="total"),
]

EVENTS = [
    {"action_type": "charge", "amount": 20},
    {"action_type": "charge", "amount": 75},
    {"action_type": "charge", "amount": 150},
    {"action_type": "charge", "kwargs": {"amount": 250}},
    {"action_type": "charge", "amount": None, "kwargs": {"amount": 500}},
    {"action_type": "charge", "total": 1200},
    {"action_type": "charge", "amount": float("nan")},
    {"action_type": "refund"},
]


def main() -> None:
    names = [r.name for r in RULES]
    width = max(len(repr(e)) for e in EVENTS)
    print(f"{'event':<{width}}  " + "  ".join(f"{n:>16}" for n in names))
    for event in EVENTS:
        verdicts = [check_rule(r, event) for r in RULES]
        print(f"{event!r:<{width}}  " + "  ".join(f"{v:>16}" for v in verdicts))


if __name__ == "__main__":
    main()
