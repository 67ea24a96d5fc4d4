"""Replay speed against json.loads, side by side on the same lines; replay memory on a long stream.

The example events (examples/events.jsonl, its good lines only) are repeated
into a temporary JSON Lines file of --events lines. Then, in this process and
in alternating rounds:

  (a) json.loads of every line, the file read line by line in text mode;
  (b) the whole replay command, ``replay examples/policy.py FILE --format
      jsonl``, output to /dev/null and summary discarded, with the standard
      library's JSON parser (QUINDLE_BREVAULT_AGENT_JSON=stdlib);
  (c) the same with msgspec, when the ``fast`` extra is installed;
  (d) the same with ``--jobs 2`` and with ``--jobs 1``, when the replay takes
      --jobs (else the row is skipped with a note);
  (e) the same as the fastest of (b) and (c) with ``--format table``, whose
      rows say what the library's rules read in each event: reported as
      table / jsonl (no limit).

The best time of each over the rounds is kept. Limits: (b)/(a) at most 1.2,
(c)/(a) at most 0.6; (d) is reported as jobs 2 / jobs 1.

Memory: a replay subprocess reads events from a pipe fed by a generator (no
file is written), once with --rss-events / 10 events and once with
--rss-events; the child reports its own peak RSS (VmHWM). The larger run's peak may be
at most 1.5 times the smaller's. --rss-events 0 skips it; the default,
1,000,000, adds a few seconds; 10,000,000 is the figure that matters and
adds a couple of minutes.

Results go to benchmarks/results/replay.json.

Usage: python benchmarks/bench_replay.py [--events N] [--rounds N] [--rss-events N] [--check] [--json PATH]
(--check: exit 1 when a ratio is over its limit)
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Iterator

from quindle_brevault_agent import cli, jsonl
from quindle_brevault_agent.cli import replay
from quindle_brevault_agent._impl import Policy

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
POLICY = ROOT / "examples" / "policy.py"
EVENTS = ROOT / "examples" / "events.jsonl"
STDLIB_LIMIT = 1.2
FAST_LIMIT = 0.6
RSS_LIMIT = 1.5


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


def event_blocks(lines: list[str], count: int) -> Iterator[bytes]:
    """`count` events, the example lines over and over, in blocks of bytes."""
    block = ("\n".join(lines) + "\n").encode()
    whole, rest = divmod(count, len(lines))
    for _ in range(whole):
        yield block
    if rest:
        yield ("\n".join(lines[:rest]) + "\n").encode()


def write_events(path: str, lines: list[str], count: int) -> None:
    with open(path, "wb") as f:
        for block in event_blocks(lines, count):
            f.write(block)


def time_loads(path: str) -> float:
    loads = json.loads
    gc.collect()
    start = time.perf_counter()
    with open(path, encoding="utf-8") as f:
        for line in f:
            loads(line)
    return time.perf_counter() - start


@contextlib.contextmanager
def parser_choice(name: str) -> Iterator[None]:
    """The reader's parser for the block: "stdlib", or "auto" (msgspec when installed)."""
    saved = os.environ.get(jsonl.ENVIRONMENT)
    os.environ[jsonl.ENVIRONMENT] = name
    try:
        yield
    finally:
        if saved is None:
            del os.environ[jsonl.ENVIRONMENT]
        else:
            os.environ[jsonl.ENVIRONMENT] = saved


def time_replay(path: str, *options: str) -> float:
    saved = sys.stdout, sys.stderr
    gc.collect()
    with open(os.devnull, "w", encoding="utf-8") as sink:
        sys.stdout, sys.stderr = sink, io.StringIO()
        try:
            start = time.perf_counter()
            status = cli.main(["replay", str(POLICY), path, "--format", "jsonl", *options])
            elapsed = time.perf_counter() - start
        finally:
            sys.stdout, sys.stderr = saved
    if status == replay.EXIT_BAD_INPUT:
        raise SystemExit("the replay reported bad input; the timing would not be of a replay")
    return elapsed


def takes_jobs() -> bool:
    """Whether the replay command has a --jobs option."""
    parser = argparse.ArgumentParser(add_help=False)
    command = replay.add_parser(parser.add_subparsers())
    _, unknown = command.parse_known_args(["policy", "--jobs", "2"])
    return not unknown


# The replay run in a child that reports its own peak resident set
# (VmHWM): the rusage of a child also counts the pages of the process it was
# forked from (this benchmark, with its events in memory) before the exec.
_RSS_CHILD = """
import sys
from quindle_brevault_agent.cli import main
status = main(sys.argv[2:])
sys.stdout.flush()
with open("/proc/self/status") as status_file:
    peak = next(line for line in status_file if line.startswith("VmHWM:"))
with open(sys.argv[1], "w") as out:
    out.write(peak.split()[1])
sys.exit(status)
"""


def peak_rss(lines: list[str], count: int) -> int:
    """Peak RSS in bytes of a replay subprocess that reads `count` events from a pipe."""
    with tempfile.NamedTemporaryFile("r") as report:
        child = subprocess.Popen(
            [sys.executable, "-c", _RSS_CHILD, report.name,
             "replay", str(POLICY), "-", "--format", "jsonl"],
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        assert child.stdin is not None
        try:
            for block in event_blocks(lines, count):
                child.stdin.write(block)
            child.stdin.close()
        except BrokenPipeError:
            pass
        if child.wait() == replay.EXIT_BAD_INPUT:
            raise SystemExit("the replay under memory measurement reported bad input")
        return int(report.read()) * 1024  # kilobytes


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rss-events", type=int, default=1_000_000,
                        help="events of the larger memory run (0: no memory runs)")
    parser.add_argument("--check", action="store_true", help="exit 1 when a ratio is over its limit")
    parser.add_argument("--json", default=str(HERE / "results" / "replay.json"))
    args = parser.parse_args()

    policy = replay.load_policy(str(POLICY))
    lines = good_lines(policy)
    with parser_choice("auto"):
        fast = jsonl.parser_name() == "msgspec"
    jobs = takes_jobs()
    runs = {
        "replay_stdlib": ("stdlib", ()),
        "replay_fast": ("auto", ()) if fast else None,
        "replay_jobs_1": ("auto", ("--jobs", "1")) if jobs else None,
        "replay_jobs_2": ("auto", ("--jobs", "2")) if jobs else None,
        "replay_table": ("auto" if fast else "stdlib", ("--format", "table")),
    }
    times: dict[str, list[float]] = {"json_loads": []}
    times.update((name, []) for name, run in runs.items() if run is not None)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "events.jsonl")
        write_events(path, lines, args.events)
        size = os.path.getsize(path)
        for _ in range(args.rounds):
            times["json_loads"].append(time_loads(path))
            for name, run in runs.items():
                if run is not None:
                    with parser_choice(run[0]):
                        times[name].append(time_replay(path, *run[1]))
    best = {name: min(values) for name, values in times.items()}
    loads_s = best["json_loads"]

    print(f"events          {args.events:>12,}  ({size / 1e6:.1f} MB, best of {args.rounds})")
    print(f"json.loads      {loads_s:>12.3f} s  ({loads_s / args.events * 1e9:,.0f} ns/event)")
    result: dict[str, object] = {
        "events": args.events,
        "bytes": size,
        "rounds": args.rounds,
        "python": platform.python_version(),
        "times_s": {name: [round(t, 4) for t in values] for name, values in times.items()},
        "best_s": {name: round(t, 4) for name, t in best.items()},
    }
    over = []

    def ratio_row(label: str, key: str, value: float, limit: float | None) -> None:
        result[key] = round(value, 3)
        verdict = ""
        if limit is not None:
            result[key + "_limit"] = limit
            verdict = f"(limit {limit}: {'ok' if value <= limit else 'OVER'})"
            if value > limit:
                over.append(key)
        print(f"{label:<15} {value:>12.2f}    {verdict}")

    for name, label, limit in (
        ("replay_stdlib", "replay stdlib", STDLIB_LIMIT),
        ("replay_fast", "replay msgspec", FAST_LIMIT),
    ):
        if name in best:
            print(f"{label:<15} {best[name]:>12.3f} s  ({best[name] / args.events * 1e9:,.0f} ns/event)")
            ratio_row("  / json.loads", name.replace("replay_", "ratio_"), best[name] / loads_s, limit)
        else:
            print(f"{label:<15}      skipped  (msgspec is not installed: pip install '.[fast]')")
    jsonl_best = best["replay_fast" if fast else "replay_stdlib"]
    print(f"{'replay table':<15} {best['replay_table']:>12.3f} s")
    ratio_row("  table / jsonl", "ratio_table_to_jsonl", best["replay_table"] / jsonl_best, None)
    if jobs:
        for name in ("replay_jobs_1", "replay_jobs_2"):
            print(f"{name.replace('_', ' '):<15} {best[name]:>12.3f} s")
        ratio_row("  jobs 2 / 1", "ratio_jobs_2_to_1", best["replay_jobs_2"] / best["replay_jobs_1"], None)
    else:
        print("replay --jobs        skipped  (this replay has no --jobs option)")

    if args.rss_events > 0:
        small = max(args.rss_events // 10, 1)
        with parser_choice("auto"):
            peak_rss(lines, 1)  # a first run may compile the package's bytecode
            small_rss = peak_rss(lines, small)
            large_rss = peak_rss(lines, args.rss_events)
            result["rss_parser"] = jsonl.parser_name()
        result["rss_bytes"] = {str(small): small_rss, str(args.rss_events): large_rss}
        print(f"peak RSS        {small_rss / 2**20:>10.1f} MiB  ({small:,} events from a pipe)")
        print(f"peak RSS        {large_rss / 2**20:>10.1f} MiB  ({args.rss_events:,} events from a pipe)")
        ratio_row("  larger/smaller", "ratio_rss", large_rss / small_rss, RSS_LIMIT)

    result["over_limit"] = over
    out = Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
    print(f"results in {out}")
    return 1 if args.check and over else 0


if __name__ == "__main__":
    sys.exit(main())
