"""Replay speed against json.loads, side by side on the same lines.

The example events (examples/events.jsonl, its good lines only) are repeated
into a temporary JSON Lines file of --events lines. Then, in this process and
in alternating rounds:

  (a) json.loads of every line, the file read line by line in text mode;
  (b) the whole replay command, ``replay examples/policy.py FILE --format
      jsonl``, with its output going to /dev/null and its summary discarded.

The best time of each over the rounds is kept; the ratio is replay / loads,
to be at most 2.5. Results go to benchmarks/results/replay.json.

Usage: python benchmarks/bench_replay.py [--events N] [--rounds N] [--check] [--json PATH]
(--check: exit 1 when the ratio is over the limit)
"""

from __future__ import annotations

import argparse
import gc
import io
import json
import os
import platform
import sys
import tempfile
import time
from pathlib import Path

from quindle_brevault_agent import replay
from quindle_brevault_agent._impl import Policy

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
POLICY = ROOT / "examples" / "policy.py"
EVENTS = ROOT / "examples" / "events.jsonl"
LIMIT = 2.5


def good_lines(policy: Policy) -> list[str]:
    """The example lines that are JSON objects the policy evaluates without error."""
    lines = []
    for text in EVENTS.read_text(encoding="utf-8").splitlines():
        try:
            event = json.loads(text)
            if isinstance(event, dict):
                policy.evaluate(event, stage=event.get("stage"))
                lines.append(text)
        except (ValueError, TypeError):
            continue
    return lines


def write_events(path: str, lines: list[str], count: int) -> None:
    block = "\n".join(lines) + "\n"
    whole, rest = divmod(count, len(lines))
    with open(path, "w", encoding="utf-8") as f:
        for _ in range(whole):
            f.write(block)
        if rest:
            f.write("\n".join(lines[:rest]) + "\n")


def time_loads(path: str) -> float:
    loads = json.loads
    gc.collect()
    start = time.perf_counter()
    with open(path, encoding="utf-8") as f:
        for line in f:
            loads(line)
    return time.perf_counter() - start


def time_replay(path: str) -> tuple[float, int]:
    saved = sys.stdout, sys.stderr
    gc.collect()
    with open(os.devnull, "w", encoding="utf-8") as sink:
        sys.stdout, sys.stderr = sink, io.StringIO()
        try:
            start = time.perf_counter()
            status = replay.main(["replay", str(POLICY), path, "--format", "jsonl"])
            elapsed = time.perf_counter() - start
        finally:
            sys.stdout, sys.stderr = saved
    return elapsed, status


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--check", action="store_true", help="exit 1 when the ratio is over the limit")
    parser.add_argument("--json", default=str(HERE / "results" / "replay.json"))
    args = parser.parse_args()

    policy = replay.load_policy(str(POLICY))
    lines = good_lines(policy)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "events.jsonl")
        write_events(path, lines, args.events)
        size = os.path.getsize(path)
        loads_times, replay_times = [], []
        status = None
        for _ in range(args.rounds):
            loads_times.append(time_loads(path))
            elapsed, status = time_replay(path)
            if status == replay.EXIT_BAD_INPUT:
                raise SystemExit("the replay reported bad input; the timing would not be of a replay")
            replay_times.append(elapsed)

    loads_s = min(loads_times)
    replay_s = min(replay_times)
    ratio = replay_s / loads_s
    result = {
        "events": args.events,
        "bytes": size,
        "rounds": args.rounds,
        "json_loads_s": round(loads_s, 4),
        "replay_s": round(replay_s, 4),
        "ratio": round(ratio, 3),
        "limit": LIMIT,
        "within_limit": ratio <= LIMIT,
        "replay_exit_status": status,
        "json_loads_times_s": [round(t, 4) for t in loads_times],
        "replay_times_s": [round(t, 4) for t in replay_times],
        "python": platform.python_version(),
    }
    print(f"events        {args.events:>12,}  ({size / 1e6:.1f} MB, best of {args.rounds})")
    print(f"json.loads    {loads_s:>12.3f} s  ({loads_s / args.events * 1e9:,.0f} ns/event)")
    print(f"replay        {replay_s:>12.3f} s  ({replay_s / args.events * 1e9:,.0f} ns/event)")
    print(f"ratio         {ratio:>12.2f}    (limit {LIMIT}: {'ok' if ratio <= LIMIT else 'OVER'})")
    out = Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
    print(f"results in {out}")
    return 1 if args.check and ratio > LIMIT else 0


if __name__ == "__main__":
    sys.exit(main())
