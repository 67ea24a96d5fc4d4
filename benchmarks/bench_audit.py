"""The audit table: what a guarded call costs with its decision logged, against the floor of its record.

The floor is what no record can avoid: its bytes written and flushed to the
operating system, and their SHA-256 (hashlib), for the bytes of a record
the log itself wrote. Latency rows are timed call by call, interleaved with
the floor in one loop, so that both see the same machine; their ratios are
taken against the floor's p50 and p99 of that loop:

- guarded+logged call: a guarded function whose decisions go to a log
  opened from a path (the native record path);
- the same, Python encoding: that log's Python path (``decision_log.NATIVE
  = False``), which encodes as the log did before the native one;
- log.record alone: the record without the guard, which pays, beyond the
  floor, the file's lock and a seek (what lets processes share the log)
  only when it takes the lock again: the log keeps it between records, and
  gives it back after 1 ms idle or 4 ms held.

The guard alone is timed in the same loop, without a log: the bare call
of the function, the bare call followed by ``policy.evaluate`` of the event
the guard would build, and the guarded call; the guard's own cost is what
the guarded call takes beyond the other two (p50 against p50): the
binding, the event, the handling of the decision.

Throughput rows run bursts of the same number of guarded, logged calls on
one log, by 1 thread or by 8, alternated; the ratio of each pair is taken
and the median shown, with and without ``fsync=True`` (and the records each
fdatasync covered), for the Python path, and for the guard without a log:
what threads cost CPython itself.

Each row is made by one function of ROWS (latency) or THREAD_ROWS
(throughput); a row added there shows up in the table and the JSON.

Targets: guarded+logged p50 at most 1.5x the floor, p99 at most 5x; the
guard's own cost at most 300 ns; 8 threads at least the throughput of one,
with and without fsync.

Usage: python benchmarks/bench_audit.py [--calls N] [--rounds N] [--json PATH] [--check]
(--check: exit 1 when a target is missed)
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable

from quindle_brevault_agent import DecisionLog, Policy, guard
from quindle_brevault_agent import library as qba
from quindle_brevault_agent.enforce import decision_log

HERE = Path(__file__).resolve().parent

POLICY = Policy([
    qba.cap_charges(500, name="cap"),
    qba.flag_large_charges(100, name="large"),
    qba.deny_writes_to("bucket", ["vault"], name="locked"),
])

P50_LIMIT = 1.5
P99_LIMIT = 5.0
GUARD_LIMIT_NS = 300


def guarded_charge(log: DecisionLog) -> Callable[..., Any]:
    @guard(POLICY, stage="spend_decision", action_type="charge", log=log)
    def charge(amount: int, currency: str, payee: str) -> int:
        return amount

    return charge


def percentile(samples: list[int], share: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] / 1000.0


class Run:
    """What the rows share: a directory for their logs and the counts asked for."""

    def __init__(self, workdir: Path, calls: int, rounds: int) -> None:
        self.workdir = workdir
        self.calls = calls
        self.rounds = rounds
        self.made = 0

    def path(self, name: str) -> Path:
        self.made += 1
        return self.workdir / f"{self.made}-{name}.jsonl"


# ---------------------------------------------------------------- latency rows
#
# A latency row is (name, make, target): make(run) returns (one call, clean-up);
# the call is timed once per turn of the loop, beside the floor.


def row_guarded_logged(run: Run) -> tuple[Callable[[], Any], Callable[[], None]]:
    log = DecisionLog(run.path("native"))
    charge = guarded_charge(log)
    return (lambda: charge(20, "EUR", "p1")), log.close


def row_guarded_logged_python(run: Run) -> tuple[Callable[[], Any], Callable[[], None]]:
    decision_log.NATIVE = False
    try:
        log = DecisionLog(run.path("python"))
    finally:
        decision_log.NATIVE = True
    charge = guarded_charge(log)
    return (lambda: charge(20, "EUR", "p1")), log.close


def row_record_alone(run: Run) -> tuple[Callable[[], Any], Callable[[], None]]:
    log = DecisionLog(run.path("record"))
    event = {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": 20, "currency": "EUR", "payee": "p1"}}
    decision = POLICY.evaluate(event, stage="spend_decision")
    return (lambda: log.record(event, "spend_decision", decision)), log.close


ROWS: list[tuple[str, Callable[[Run], tuple[Callable[[], Any], Callable[[], None]]], str]] = [
    ("guarded+logged call", row_guarded_logged, f"p50 <= {P50_LIMIT}x, p99 <= {P99_LIMIT}x"),
    ("the same, Python encoding", row_guarded_logged_python, ""),
    ("log.record alone (no guard)", row_record_alone, ""),
]
TARGETED = {"guarded+logged call": (P50_LIMIT, P99_LIMIT)}


def guard_alone() -> list[Callable[[], Any]]:
    """The bare call, the bare call and the evaluation of the event the guard
    builds for it, and the guarded call (no log)."""

    def charge(amount: int, currency: str, payee: str) -> int:
        return amount

    guarded = guard(POLICY, stage="spend_decision", action_type="charge")(charge)
    event = {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": 20, "currency": "EUR", "payee": "p1"}}
    evaluate = POLICY.evaluate

    def bare() -> None:
        charge(20, "EUR", "p1")

    def bare_and_evaluate() -> None:
        charge(20, "EUR", "p1")
        evaluate(event, stage="spend_decision")

    def guarded_call() -> None:
        guarded(20, "EUR", "p1")

    return [bare, bare_and_evaluate, guarded_call]


def record_bytes(run: Run) -> bytes:
    """The bytes of a record as the guarded call's log writes it, with its newline."""
    path = run.path("sample")
    with DecisionLog(path) as log:
        guarded_charge(log)(20, "EUR", "p1")
    return path.read_bytes()


def latency(run: Run) -> tuple[list[dict[str, Any]], dict[str, Any]]:
    line = record_bytes(run)
    floor_file = open(run.path("floor"), "ab")
    sha256 = hashlib.sha256

    def floor() -> None:
        floor_file.write(line)
        floor_file.flush()
        sha256(line).hexdigest()

    made = [(name, *make(run), target) for name, make, target in ROWS]
    alone = guard_alone()
    calls = [floor] + [call for _, call, _, _ in made] + alone
    samples: list[list[int]] = [[] for _ in calls]
    clock = time.perf_counter_ns
    for call in calls:  # warm up
        for _ in range(min(2000, run.calls)):
            call()
    gc.collect()
    gc.disable()
    try:
        for _ in range(run.calls):
            for call, times in zip(calls, samples):
                start = clock()
                call()
                times.append(clock() - start)
    finally:
        gc.enable()
        floor_file.close()
        for _, _, close, _ in made:
            close()
    floor_p50, floor_p99 = percentile(samples[0], 0.5), percentile(samples[0], 0.99)
    rows = [{"row": "floor: write + flush + sha256", "p50_us": floor_p50, "p99_us": floor_p99,
             "x_floor_p50": 1.0, "x_floor_p99": 1.0, "target": "", "bytes": len(line)}]
    for (name, _, _, target), times in zip(made, samples[1:]):
        p50, p99 = percentile(times, 0.5), percentile(times, 0.99)
        rows.append({"row": name, "p50_us": p50, "p99_us": p99, "x_floor_p50": p50 / floor_p50,
                     "x_floor_p99": p99 / floor_p99, "target": target})
    bare, both, guarded = (percentile(times, 0.5) * 1000 for times in samples[-len(alone):])
    own = {"bare_ns": bare, "bare_and_evaluate_ns": both, "guarded_ns": guarded, "own_ns": guarded - both,
           "target": f"own <= {GUARD_LIMIT_NS} ns"}
    return rows, own


# ---------------------------------------------------------------- throughput rows
#
# A pool of 8 threads calls a guarded function whose log is shared, in
# bursts of the same number of records: all of a burst by one thread, or an
# eighth by each. Bursts of 1 and 8 alternate, so that both see the same
# machine; the ratio of each pair is taken, and the median shown.


class Pool:
    """Eight threads that make a burst of calls each time they are started."""

    def __init__(self, call: Callable[[], Any], threads: int = 8) -> None:
        self.call = call
        self.quota = [0] * threads
        self.start = threading.Barrier(threads + 1)
        self.end = threading.Barrier(threads + 1)
        self.closing = False
        self.workers = [threading.Thread(target=self.work, args=(at,), daemon=True) for at in range(threads)]
        for worker in self.workers:
            worker.start()

    def work(self, at: int) -> None:
        call = self.call
        while True:
            self.start.wait()
            if self.closing:
                return
            for _ in range(self.quota[at]):
                call()
            self.end.wait()

    def burst(self, threads: int, records: int) -> float:
        """Records per second of `records` calls made by the first `threads` threads."""
        for at in range(len(self.quota)):
            self.quota[at] = records // threads if at < threads else 0
        # The clock starts before the last party reaches the barrier: once it
        # opens, the workers may hold the GIL for a switch interval or more.
        began = time.perf_counter()
        self.start.wait()
        self.end.wait()
        return records // threads * threads / (time.perf_counter() - began)

    def close(self) -> None:
        self.closing = True
        self.start.wait()
        for worker in self.workers:
            worker.join()


def thread_pairs(
    run: Run, call: Callable[[], Any], records: int, syncs: Callable[[], int] = lambda: 0
) -> tuple[list[tuple[float, float]], int]:
    """(1 thread, 8 threads) records per second, burst by burst, and the
    syncs made during the bursts of 8."""
    pool = Pool(call)
    pairs = []
    synced = 0
    try:
        pool.burst(8, records)  # warm up
        for _ in range(run.rounds):
            one = pool.burst(1, records)
            before = syncs()
            eight = pool.burst(8, records)
            synced += syncs() - before
            pairs.append((one, eight))
    finally:
        pool.close()
    return pairs, synced


def logged_call(run: Run, fsync: bool, native: bool = True) -> tuple[Callable[[], Any], DecisionLog]:
    decision_log.NATIVE = native
    try:
        log = DecisionLog(run.path("threads-fsync" if fsync else "threads"), fsync=fsync)
    finally:
        decision_log.NATIVE = True
    charge = guarded_charge(log)
    return (lambda: charge(20, "EUR", "p1")), log


def rows_threads(run: Run, fsync: bool, records: int, native: bool = True) -> list[dict[str, Any]]:
    call, log = logged_call(run, fsync, native)
    pairs, synced = thread_pairs(run, call, records, lambda: log._writer.syncs if native else 0)
    log.close()
    mode = ("fsync=True" if fsync else "no fsync") + ("" if native else ", Python encoding")
    ratios = [eight / one for one, eight in pairs]
    per_sync = records // 8 * 8 * len(pairs) / synced if fsync and synced else None
    return [
        {"row": f"1 thread, {mode}", "records_per_s": statistics.median(one for one, _ in pairs),
         "x_one": 1.0, "records_per_sync": None, "target": ""},
        {"row": f"8 threads, {mode}", "records_per_s": statistics.median(eight for _, eight in pairs),
         "x_one": statistics.median(ratios), "x_one_range": [min(ratios), max(ratios)],
         "records_per_sync": per_sync, "target": ">= 1.0x" if native else ""},
    ]


def rows_unlogged(run: Run) -> list[dict[str, Any]]:
    # What threads cost CPython itself: the same guard, no log.
    @guard(POLICY, stage="spend_decision", action_type="charge")
    def charge(amount: int, currency: str, payee: str) -> int:
        return amount

    pairs, _ = thread_pairs(run, lambda: charge(20, "EUR", "p1"), 20_000)
    ratios = [eight / one for one, eight in pairs]
    return [{"row": "8 threads, guard without a log", "records_per_s": statistics.median(e for _, e in pairs),
             "x_one": statistics.median(ratios), "x_one_range": [min(ratios), max(ratios)],
             "records_per_sync": None, "target": ""}]


THREAD_ROWS: list[Callable[[Run], list[dict[str, Any]]]] = [
    lambda run: rows_threads(run, False, 4_000),
    lambda run: rows_threads(run, True, 200),
    lambda run: rows_threads(run, False, 800, native=False),
    rows_unlogged,
]


def throughput(run: Run) -> list[dict[str, Any]]:
    return [row for make in THREAD_ROWS for row in make(run)]


def show(latency_rows: list[dict[str, Any]], own: dict[str, Any], thread_rows: list[dict[str, Any]]) -> None:
    print("audit table: us per call, ratios against the floor timed in the same loop")
    print(f"{'':38}{'p50':>9}{'p99':>9}{'x floor p50':>13}{'x floor p99':>13}  target")
    for row in latency_rows:
        print(f"{row['row']:38}{row['p50_us']:>9.2f}{row['p99_us']:>9.2f}"
              f"{row['x_floor_p50']:>13.2f}{row['x_floor_p99']:>13.2f}  {row['target']}")
    print()
    print(f"{'guard alone: ns per call, p50':38}{'bare':>9}{'+ evaluate':>12}{'guarded':>9}{'own cost':>10}  target")
    print(f"{'guard alone (no log)':38}{own['bare_ns']:>9.0f}{own['bare_and_evaluate_ns']:>12.0f}"
          f"{own['guarded_ns']:>9.0f}{own['own_ns']:>10.0f}  {own['target']}")
    print()
    print(f"{'threads on one log':38}{'records/s':>12}{'x 1 thread':>12}{'per fsync':>11}  target")
    for row in thread_rows:
        batch = row["records_per_sync"]
        print(f"{row['row']:38}{row['records_per_s']:>12,.0f}{row['x_one']:>12.2f}"
              f"{(f'{batch:.1f}' if batch else ''):>11}  {row['target']}")


def missed(latency_rows: list[dict[str, Any]], own: dict[str, Any], thread_rows: list[dict[str, Any]]) -> list[str]:
    out = []
    if own["own_ns"] > GUARD_LIMIT_NS:
        out.append("guard alone")
    for row in latency_rows:
        limits = TARGETED.get(row["row"])
        if limits and (row["x_floor_p50"] > limits[0] or row["x_floor_p99"] > limits[1]):
            out.append(row["row"])
    out.extend(row["row"] for row in thread_rows if row["target"] and row["x_one"] < 1.0)
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20_000, help="timed calls per latency row")
    parser.add_argument("--rounds", type=int, default=30, help="alternated bursts of 1 and 8 threads")
    parser.add_argument("--json", default=str(HERE / "results" / "audit.json"))
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-audit-") as workdir:
        run = Run(Path(workdir), args.calls, args.rounds)
        latency_rows, own = latency(run)
        thread_rows = throughput(run)
    show(latency_rows, own, thread_rows)
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as out:
        json.dump({"latency": latency_rows, "guard_alone": own, "threads": thread_rows}, out, indent=1)
    failed = missed(latency_rows, own, thread_rows)
    if failed:
        sys.stdout.flush()
        print(f"over target: {', '.join(failed)}", file=sys.stderr)
    return 1 if args.check and failed else 0


if __name__ == "__main__":
    sys.exit(main())
