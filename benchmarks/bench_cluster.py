"""replay --cluster local:2 against one process, side by side on the same gzip files.

--events events (10,000,000 by default) in --files gzip JSON Lines files (20),
made once from the example events (their good lines, with varied amounts and
payees) into benchmarks/results/cluster-data/ and kept there for later runs.
Then, in alternating rounds, the whole command as a subprocess, start-up
included, output to /dev/null:

  (a) ``replay examples/policy.py FILES... --format jsonl`` in one process;
  (b) the same with ``--cluster local:2`` (a LocalCluster of two worker
      processes, started and closed by the run).

The best time of each is kept; (a)/(b) must be at least --speedup (1.6).

Memory: the client of (b) reports its own peak resident set (VmHWM), once
over the first half of the files and once over all of them; the larger
may be at most 1.25 times the smaller (the client holds one partition's
rows at a time, whatever the input's size).

Results go to benchmarks/results/cluster.json.

Usage: python benchmarks/bench_cluster.py [--events N] [--files N] [--rounds N] [--check] [--json PATH]
(--check: exit 1 when a figure is past its limit)
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import platform
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
POLICY = ROOT / "examples" / "policy.py"
EVENTS = ROOT / "examples" / "events.jsonl"
DATA = HERE / "results" / "cluster-data"
SPEEDUP = 1.6
RSS_LIMIT = 1.25

# The replay as a child that reports its own peak resident set (VmHWM):
# the LocalCluster's workers are processes of their own and not counted.
_CHILD = """
import sys
from quindle_brevault_agent.cli import main
if __name__ == "__main__":
    status = main(sys.argv[2:])
    sys.stdout.flush()
    with open("/proc/self/status") as status_file:
        peak = next(line for line in status_file if line.startswith("VmHWM:"))
    with open(sys.argv[1], "w") as out:
        out.write(peak.split()[1])
    sys.exit(status)
"""


def good_events() -> list[dict[str, object]]:
    found = []
    for text in EVENTS.read_text(encoding="utf-8").splitlines():
        try:
            event = json.loads(text)
        except ValueError:
            continue
        if isinstance(event, dict) and not isinstance(event.get("amount", 0), str):
            found.append(event)
    return found


def make_data(events: int, files: int) -> list[Path]:
    """The gzip files, made unless a previous run made the same ones."""
    paths = [DATA / f"events-{index:02d}.jsonl.gz" for index in range(files)]
    manifest = DATA / "manifest.json"
    wanted = {"events": events, "files": files}
    if manifest.exists() and json.loads(manifest.read_text()) == wanted and all(p.exists() for p in paths):
        return paths
    DATA.mkdir(parents=True, exist_ok=True)
    manifest.unlink(missing_ok=True)
    base = good_events()
    rng = random.Random(23)
    per_file, extra = divmod(events, files)
    print(f"making {events:,} events in {files} gzip files under {DATA} (once)", flush=True)
    for index, path in enumerate(paths):
        count = per_file + (1 if index < extra else 0)
        with gzip.open(path, "wt", encoding="utf-8", compresslevel=6) as out:
            lines = []
            for number in range(count):
                event = dict(base[number % len(base)])
                if "amount" in event:
                    event["amount"] = round(rng.uniform(1, 1500), 2)
                    event["payee"] = f"payee-{rng.randrange(500)}"
                lines.append(json.dumps(event))
                if len(lines) == 10_000:
                    out.write("\n".join(lines) + "\n")
                    lines = []
            if lines:
                out.write("\n".join(lines) + "\n")
    manifest.write_text(json.dumps(wanted))
    return paths


def replay(paths: list[Path], *options: str) -> tuple[float, int]:
    """Seconds for the whole command, and the peak RSS of its own process in bytes."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        result = subprocess.run(
            [sys.executable, "-c", _CHILD, report.name, "replay", str(POLICY), *map(str, paths),
             "--format", "jsonl", "-q", *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
        )
        elapsed = time.perf_counter() - start
        if result.returncode not in (0, 1):
            raise SystemExit(f"the replay failed ({result.returncode}): {result.stderr.strip()[-500:]}")
        return elapsed, int(report.read()) * 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=10_000_000)
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--speedup", type=float, default=SPEEDUP)
    parser.add_argument("--check", action="store_true", help="exit 1 when a figure is past its limit")
    parser.add_argument("--json", default=str(HERE / "results" / "cluster.json"))
    args = parser.parse_args()
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("replay --cluster  skipped  (the cluster extra is not installed: pip install '.[cluster]')")
        return 0

    paths = make_data(args.events, args.files)
    size = sum(p.stat().st_size for p in paths)
    times: dict[str, list[float]] = {"one_process": [], "cluster_local_2": []}
    for _ in range(args.rounds):
        times["one_process"].append(replay(paths)[0])
        times["cluster_local_2"].append(replay(paths, "--cluster", "local:2")[0])
    best = {name: min(values) for name, values in times.items()}
    speedup = best["one_process"] / best["cluster_local_2"]
    half = paths[: max(len(paths) // 2, 1)]
    small_rss = replay(half, "--cluster", "local:2")[1]
    large_rss = replay(paths, "--cluster", "local:2")[1]
    rss_ratio = large_rss / small_rss

    over = []
    if speedup < args.speedup:
        over.append("speedup")
    if rss_ratio > RSS_LIMIT:
        over.append("ratio_rss")
    load = os.getloadavg()[0]
    print(f"events          {args.events:>12,}  in {len(paths)} gzip files ({size / 1e6:,.1f} MB), best of {args.rounds}")
    print(f"load average    {load:>12.2f}    (over the last minute, on {os.cpu_count()} CPUs)")
    print(f"one process     {best['one_process']:>12.2f} s  ({args.events / best['one_process']:,.0f} events/s)")
    print(f"--cluster local:2 {best['cluster_local_2']:>10.2f} s  ({args.events / best['cluster_local_2']:,.0f} events/s, start-up included)")
    print(f"  speed-up      {speedup:>12.2f}    (at least {args.speedup}: {'ok' if speedup >= args.speedup else 'UNDER'})")
    print(f"client peak RSS {small_rss / 2**20:>10.1f} MiB  ({len(half)} files)")
    print(f"client peak RSS {large_rss / 2**20:>10.1f} MiB  ({len(paths)} files)")
    print(f"  larger/smaller {rss_ratio:>11.2f}    (at most {RSS_LIMIT}: {'ok' if rss_ratio <= RSS_LIMIT else 'OVER'})")

    result = {
        "events": args.events,
        "files": len(paths),
        "bytes": size,
        "rounds": args.rounds,
        "python": platform.python_version(),
        "cpus": os.cpu_count(),
        "load_average": round(load, 2),
        "times_s": {name: [round(t, 3) for t in values] for name, values in times.items()},
        "best_s": {name: round(t, 3) for name, t in best.items()},
        "speedup": round(speedup, 3),
        "speedup_limit": args.speedup,
        "client_rss_bytes": {str(len(half)): small_rss, str(len(paths)): large_rss},
        "ratio_rss": round(rss_ratio, 3),
        "ratio_rss_limit": RSS_LIMIT,
        "over_limit": over,
    }
    out = Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
    print(f"results in {out}")
    return 1 if args.check and over else 0


if __name__ == "__main__":
    sys.exit(main())
