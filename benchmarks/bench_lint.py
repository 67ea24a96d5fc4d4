"""Lint time against policy size: a generated Python policy of N and of 4N behaviours.

The policy mixes what the lint compares across behaviours: caps and flags on
shared fields, require_fields, lists and fences, several
stages. Each size is linted --rounds times in this process and the best time
kept. Time that grows with the size gives a ratio near 4; time that grows with
its square, near 16. Limit: 8.

Measured once on the development machine (2 cores, shared), 8,000 behaviours:
15.2 s when every pair of behaviours was compared, 0.38 s with the keyed
comparisons, the same 5,297 findings.

Usage: python benchmarks/bench_lint.py [--size N] [--rounds N] [--check]
(--check: exit 1 when the ratio is over its limit)
"""

from __future__ import annotations

import argparse
import sys
import time

from quindle_brevault_agent import Policy, behaviour, cap_charges, deny_writes_to, flag_large_charges, on_charge
from quindle_brevault_agent import require_fields, restrict_scope, trigger
from quindle_brevault_agent.lint import lint_policy

LIMIT = 8.0


def generated(size: int) -> Policy:
    made = []
    for i in range(size):
        stage = "spend_decision" if i % 2 else "execution"
        kind = i % 6
        if kind == 0:
            made.append(cap_charges(500 + i, field=f"f{i % 50}", name=f"cap{i}", stage=stage))
        elif kind == 1:
            made.append(flag_large_charges(100 + i, field=f"f{i % 50}", name=f"flag{i}", stage=stage))
        elif kind == 2:
            made.append(behaviour(f"req{i}", on=on_charge(stage=stage), rule=require_fields(f"f{i % 70}")))
        elif kind == 3:
            made.append(deny_writes_to("bucket", [f"b{i}", "x"], name=f"deny{i}"))
        elif kind == 4:
            made.append(restrict_scope([f"p{i}/", "q/"], name=f"fence{i}"))
        else:
            made.append(behaviour(f"own{i}", on=trigger(stage=stage), rule=require_fields("a", "b")))
    return Policy(made)


def best_time(policy: Policy, rounds: int) -> tuple[float, int]:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        found = lint_policy(policy)
        times.append(time.perf_counter() - start)
    return min(times), len(found)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    small, small_found = best_time(generated(args.size), args.rounds)
    large, large_found = best_time(generated(4 * args.size), args.rounds)
    ratio = large / small
    print(f"lint {args.size:>7,} behaviours  {small:8.3f} s  ({small_found:,} findings)")
    print(f"lint {4 * args.size:>7,} behaviours  {large:8.3f} s  ({large_found:,} findings)")
    print(f"  4x size / 1x         {ratio:8.2f}    (limit {LIMIT}: {'ok' if ratio <= LIMIT else 'OVER'})")
    return 1 if args.check and ratio > LIMIT else 0


if __name__ == "__main__":
    sys.exit(main())
