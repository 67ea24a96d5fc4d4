"""ns per evaluation of every rule kind, side by side in one process.

Columns: this module's one-event function; the same rule as a hand-written
Python closure (benchmarks/closures.py); those closures compiled with Cython
(when Cython and a C compiler are at hand); and the floor,
``operator.itemgetter(field)`` on the flat event: one C call, one dict lookup.

Every cell is timed by the same C-level loop (``deque(map(fn, repeat(ev)))``),
so the loop's own cost is in every column alike. The cells of one repeat are
timed back to back and ratios are taken within a repeat; the table shows the
median of those ratios, which is what the targets are stated on.

Usage: python benchmarks/bench.py [--repeats N] [--calls N] [--json PATH]
"""

from __future__ import annotations

import argparse
import collections
import gc
import importlib.util
import itertools
import json
import operator
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import closures  # noqa: E402

from quindle_brevault_agent import _impl  # noqa: E402
from quindle_brevault_agent import library  # noqa: E402

BUCKETS = ["locked", "archive", "legal", "audit", "backup"]
PREFIXES = ["db/a/", "db/b/", "db/c/"]
REQUIRED = ("amount", "currency", "user")


def charge(**fields):
    return {"action_type": "charge", "stage": "spend_decision", **fields}


def write(**fields):
    return {"method": "PUT", "stage": "execution", **fields}


def nested(base, **fields):
    return {**base, "kwargs": fields}


# kind -> (factory call, floor field, {shape: event})
KINDS = {
    "spend_cap": (
        lambda lib: lib.spend_cap(100),
        "amount",
        {
            "flat": charge(amount=150, currency="EUR", user="u1"),
            "kwargs": nested(charge(), amount=150, currency="EUR", user="u1"),
            "missing": charge(currency="EUR", user="u1"),
        },
    ),
    "flag_over": (
        lambda lib: lib.flag_over(100),
        "amount",
        {
            "flat": charge(amount=150, currency="EUR", user="u1"),
            "kwargs": nested(charge(), amount=150, currency="EUR", user="u1"),
            "missing": charge(currency="EUR", user="u1"),
        },
    ),
    "deny_list": (
        lambda lib: lib.deny_list("bucket", BUCKETS),
        "bucket",
        {
            "flat": write(bucket="legal", key="k"),
            "flat-miss": write(bucket="public", key="k"),
            "kwargs": nested(write(), bucket="legal", key="k"),
            "missing": write(key="k"),
        },
    ),
    "allow_list": (
        lambda lib: lib.allow_list("bucket", BUCKETS),
        "bucket",
        {
            "flat": write(bucket="legal", key="k"),
            "flat-miss": write(bucket="public", key="k"),
            "kwargs": nested(write(), bucket="legal", key="k"),
            "missing": write(key="k"),
        },
    ),
    "require_fields": (
        lambda lib: lib.require_fields(*REQUIRED),
        "amount",
        {
            "flat": charge(amount=150, currency="EUR", user="u1"),
            "kwargs": nested(charge(), amount=150, currency="EUR", user="u1"),
            "missing": charge(),
        },
    ),
    "scope_fence": (
        lambda lib: lib.scope_fence(PREFIXES),
        "scope",
        {
            "flat": write(scope="db/c/orders"),
            "flat-miss": write(scope="db/z/orders"),
            "kwargs": nested(write(), scope="db/c/orders"),
            "missing": write(),
        },
    ),
}


def build_cython(workdir: Path):
    """closures.py compiled with Cython, or (None, reason)."""
    try:
        import Cython  # noqa: F401
    except ImportError:
        return None, "Cython is not installed"
    src = workdir / "closures_cy.py"
    shutil.copy(HERE / "closures.py", src)
    c_file = workdir / "closures_cy.c"
    ext = workdir / ("closures_cy" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = os.environ.get("CC", "cc")
    try:
        subprocess.run([sys.executable, "-m", "cython", "-3", str(src), "-o", str(c_file)],
                       check=True, capture_output=True)
        subprocess.run([cc, "-shared", "-fPIC", "-O2", "-DNDEBUG",
                        "-I" + sysconfig.get_paths()["include"], str(c_file), "-o", str(ext)],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        detail = getattr(exc, "stderr", b"") or b""
        return None, f"Cython build failed: {exc} {detail.decode(errors='replace')[:200]}"
    spec = importlib.util.spec_from_file_location("closures_cy", ext)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module, None


def time_per_call(fn, event, calls: int) -> float:
    it = itertools.repeat(event, calls)
    start = time.perf_counter_ns()
    collections.deque(map(fn, it), maxlen=0)
    return (time.perf_counter_ns() - start) / calls


def blocks_over(fn, event, calls: int) -> int:
    for _ in range(1000):
        fn(event)
    gc.collect()
    before = sys.getallocatedblocks()
    collections.deque(map(fn, itertools.repeat(event, calls)), maxlen=0)
    return sys.getallocatedblocks() - before


def time_factory(make, calls: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(calls):
        make()
    return (time.perf_counter_ns() - start) / calls


def fmt_ns(x: float) -> str:
    return f"{x:7.1f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=25)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--json", default=str(HERE / "results" / "bench.json"))
    args = parser.parse_args()

    workdir = Path(tempfile.mkdtemp(prefix="qba-bench-"))
    cython_mod, cython_note = build_cython(workdir)

    libs = {"native": library, "python": closures}
    if cython_mod is not None:
        libs["cython"] = cython_mod

    # cells[(kind, shape)] = {column: fn}, plus the floor
    cells = {}
    for kind, (make, field, events) in KINDS.items():
        fns = {col: make(lib).fn for col, lib in libs.items()}
        for shape, event in events.items():
            verdicts = {col: fn(event) for col, fn in fns.items()}
            if len(set(verdicts.values())) != 1:
                raise SystemExit(f"columns disagree on {kind}/{shape}: {verdicts}")
            cells[(kind, shape)] = (fns, event, events["flat"], field, verdicts["native"])

    samples = collections.defaultdict(list)  # (kind, shape, column) -> [ns]
    for _ in range(args.repeats):
        for (kind, shape), (fns, event, flat, field, _) in cells.items():
            floor = operator.itemgetter(field)
            samples[(kind, shape, "floor")].append(time_per_call(floor, flat, args.calls))
            for col, fn in fns.items():
                samples[(kind, shape, col)].append(time_per_call(fn, event, args.calls))

    def ratio(kind, shape, num, den_kind=None, den_shape=None, den="floor"):
        a = samples[(kind, shape, num)]
        b = samples[(den_kind or kind, den_shape or shape, den)]
        return statistics.median(x / y for x, y in zip(a, b))

    columns = list(libs) + ["floor"]
    rows = []
    header = (f"{'rule':<15}{'event':<10}" + "".join(f"{c + ' min':>12}{c + ' med':>12}" for c in columns)
              + f"{'x floor':>9}{'py/nat':>8}" + (f"{'cy/nat':>8}" if "cython" in libs else "")
              + f"{'x spend_cap':>12}{'verdict':>9}")
    print(f"ns per evaluation: {args.repeats} repeats x {args.calls} calls, min and median")
    if cython_note:
        print(f"(no Cython column: {cython_note})")
    print(header)
    print("-" * len(header))
    for (kind, shape), (_, _, _, _, verdict) in cells.items():
        row = {"rule": kind, "event": shape, "verdict": verdict}
        line = f"{kind:<15}{shape:<10}"
        for col in columns:
            s = samples[(kind, shape, col)]
            row[col] = {"min": min(s), "median": statistics.median(s)}
            line += f"{fmt_ns(min(s)):>12}{fmt_ns(statistics.median(s)):>12}"
        row["x_floor"] = ratio(kind, shape, "native")
        row["python_over_native"] = 1 / ratio(kind, shape, "native", den="python")
        line += f"{row['x_floor']:>9.2f}{row['python_over_native']:>8.2f}"
        if "cython" in libs:
            row["cython_over_native"] = 1 / ratio(kind, shape, "native", den="cython")
            line += f"{row['cython_over_native']:>8.2f}"
        base_shape = shape if (("spend_cap", shape, "native") in samples) else "flat"
        row["x_spend_cap"] = ratio(kind, shape, "native", "spend_cap", base_shape, "native")
        line += f"{row['x_spend_cap']:>12.2f}{verdict:>9}"
        rows.append(row)
        print(line)

    # Allocation on the evaluation path, and the size of a one-event function.
    print()
    print("allocated blocks over 100,000 evaluations (native):")
    allocs = {}
    for (kind, shape), (fns, event, _flat, field, _v) in cells.items():
        # The loop's own objects are counted by subtracting the floor's.
        harness = blocks_over(operator.itemgetter(field), _flat, 100_000)
        allocs[f"{kind}/{shape}"] = blocks_over(fns["native"], event, 100_000) - harness
    print("  " + ", ".join(f"{k}: {v}" for k, v in allocs.items()))
    sizes = {kind: sys.getsizeof(make(library).fn) for kind, (make, _, _) in KINDS.items()}
    sizes["python lambda"] = sys.getsizeof(lambda ev: ev)
    print("sys.getsizeof of a one-event function: "
          + ", ".join(f"{k}: {v}" for k, v in sizes.items()))

    # Factories against their pure-Python equivalents (the same host `rule`).
    print()
    factory_calls = max(2000, args.calls // 4)
    factories = {
        "cap_charges(100)": (lambda: library.cap_charges(100), lambda: closures.cap_charges(100)),
        "spend_cap(100)": (lambda: library.spend_cap(100), lambda: closures.spend_cap(100)),
        "flag_over(100)": (lambda: library.flag_over(100), lambda: closures.flag_over(100)),
        "deny_list(5 values)": (lambda: library.deny_list("bucket", BUCKETS),
                                lambda: closures.deny_list("bucket", BUCKETS)),
        "allow_list(5 values)": (lambda: library.allow_list("bucket", BUCKETS),
                                 lambda: closures.allow_list("bucket", BUCKETS)),
        "require_fields(3)": (lambda: library.require_fields(*REQUIRED),
                              lambda: closures.require_fields(*REQUIRED)),
        "scope_fence(3)": (lambda: library.scope_fence(PREFIXES),
                           lambda: closures.scope_fence(PREFIXES)),
    }
    # With the host's real factories, and with C stand-ins for them (so that
    # only the factories' own work is compared: formatting the name, making
    # the one-event function, the calls).
    stand_ins = {"rule": slice, "trigger": dict, "behaviour": "{}".format}
    fsamples = collections.defaultdict(list)
    for _ in range(max(5, args.repeats // 3)):
        for host in ("host", "stand-in"):
            saved = [(m, n, getattr(m, n)) for m in (library, closures) for n in stand_ins]
            if host == "stand-in":
                for m, n, _ in saved:
                    setattr(m, n, stand_ins[n])
            try:
                for name, (nat, py) in factories.items():
                    fsamples[(name, host, "native")].append(time_factory(nat, factory_calls))
                    fsamples[(name, host, "python")].append(time_factory(py, factory_calls))
            finally:
                for m, n, v in saved:
                    setattr(m, n, v)
    print(f"{'factory':<22}{'host':<10}{'native med':>12}{'python med':>12}{'py/nat':>8}")
    factory_rows = []
    for host in ("host", "stand-in"):
        for name in factories:
            nat_s = fsamples[(name, host, "native")]
            py_s = fsamples[(name, host, "python")]
            nat, py = statistics.median(nat_s), statistics.median(py_s)
            r = statistics.median(p / n for p, n in zip(py_s, nat_s))
            factory_rows.append({"factory": name, "host": host, "native": nat, "python": py,
                                 "python_over_native": r})
            print(f"{name:<22}{host:<10}{nat:>12.1f}{py:>12.1f}{r:>8.2f}")

    out = Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({
        "python": sys.version,
        "repeats": args.repeats,
        "calls": args.calls,
        "cython": cython_note or "built",
        "rows": rows,
        "allocated_blocks": allocs,
        "sizeof": sizes,
        "factories": factory_rows,
    }, indent=2))
    print(f"\nwritten to {out}")
    shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
