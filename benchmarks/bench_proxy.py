"""The proxy table, part of the audit table: what mcp-proxy adds to a tools/call.

A real MCP server (the mcp SDK's ``MCPServer`` over stdio, in a subprocess)
is called by the SDK's own client, directly and through ``mcp-proxy`` (a
policy that allows the call, the tool named by ``--charge``), and through
the proxy with a decision log (``--log``). All of them are open at once and
called in turn, call by call, the order rotated each turn, so that every
column sees the same machine. This is repeated with fresh processes (a
process can be a few per cent faster than another run of the same program:
where its memory lands), and the added latency is the median over the
repeats of a repeat's proxied p50 less its direct p50, as a share of the
direct p50 (the range over the repeats beside it). The p50 and p99 columns
pool every repeat.

Both protocol generations are timed: ``ClientSession`` (the initialize
handshake, 2025-11-25) and ``mcp.Client`` (the per-request envelope,
2026-07-28), each against its own servers.

A relay row shows what any process between client and server costs: one
that copies bytes both ways and judges nothing. The CPU column is each
process's own time per call over the timed calls (not its server's; from
/proc, where there is one): the proxy's beyond the relay's is what judging
costs, a figure the load of the machine moves far less than latency.

Target: the added p50 at most 10% of the direct p50, with and without a log.

Usage: python benchmarks/bench_proxy.py [--calls N] [--repeats N] [--json PATH] [--check]
(--check: exit 1 when a target is missed)
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import sys
import tempfile
import textwrap
import time
from contextlib import AsyncExitStack
from pathlib import Path
from typing import Any, Awaitable, Callable

import anyio
import mcp

HERE = Path(__file__).resolve().parent

TARGET = 10.0  # per cent of the direct p50

SERVER = textwrap.dedent("""
    from mcp.server.mcpserver import MCPServer

    server = MCPServer("ledger")

    @server.tool()
    def charge(amount: float, currency: str, payee: str) -> str:
        return f"charged {amount} {currency} to {payee}"

    if __name__ == "__main__":
        server.run("stdio")
""")

POLICY = textwrap.dedent("""
    from quindle_brevault_agent import library as qba
    POLICY = [
        qba.cap_charges(500, name="cap"),
        qba.flag_large_charges(100, name="large"),
        qba.deny_writes_to("bucket", ["vault"], name="locked"),
    ]
""")

# What any process between the client and the server costs: one that copies
# bytes both ways, a thread each, and judges nothing.
RELAY = textwrap.dedent("""
    import os, subprocess, sys, threading

    server = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)

    def copy(source, target):
        while data := os.read(source, 1 << 16):
            os.write(target, data)

    threading.Thread(target=copy, args=(0, server.stdin.fileno()), daemon=True).start()
    copy(server.stdout.fileno(), 1)
    sys.exit(server.wait())
""")

ARGUMENTS = {"amount": 50, "currency": "EUR", "payee": "acme"}
GENERATIONS = ["2025-11-25", "2026-07-28"]


def percentile(samples: list[int], share: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] / 1000.0


def servers(workdir: Path, generation: str) -> dict[str, mcp.StdioServerParameters]:
    """The ways to reach a server: directly, through the proxy, and through it with a log."""
    server, policy, relay = workdir / "server.py", workdir / "policy.py", workdir / "relay.py"
    server.write_text(SERVER)
    relay.write_text(RELAY)
    policy.write_text(POLICY)
    proxy = [sys.executable, "-m", "quindle_brevault_agent", "mcp-proxy", str(policy), "--charge", "charge"]
    command = ["--", sys.executable, str(server)]
    env = {**os.environ, "PYTHONHASHSEED": "0"}  # every process of a program hashes alike
    made = {
        "direct": [sys.executable, str(server)],
        "relay (copies bytes)": [sys.executable, str(relay), sys.executable, str(server)],
        "proxied": [*proxy, *command],
        "proxied, --log": [*proxy, "--log", str(workdir / f"decisions-{generation}-{time.monotonic_ns()}.jsonl"), *command],
    }
    return {name: mcp.StdioServerParameters(command=argv[0], args=argv[1:], env=env) for name, argv in made.items()}


def cpu_seconds(argv: list[str]) -> float | None:
    """The CPU time so far of the child of this process that runs `argv` (None where /proc cannot tell)."""
    try:
        for entry in os.scandir("/proc"):
            if not entry.name.isdigit():
                continue
            try:
                with open(f"/proc/{entry.name}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                if int(fields[1]) != os.getpid():
                    continue
                with open(f"/proc/{entry.name}/cmdline", "rb") as cmdline:
                    if cmdline.read().split(b"\0")[:-1] != [os.fsencode(arg) for arg in argv]:
                        continue
            except (OSError, IndexError, ValueError):
                continue
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        pass
    return None


async def connect(stack: AsyncExitStack, generation: str, server: mcp.StdioServerParameters) -> Callable[[], Awaitable[Any]]:
    """One open session; returns a call of the charge tool that checks its result."""
    if generation == "2026-07-28":
        client = await stack.enter_async_context(mcp.Client(server, mode=generation))
    else:
        read, write = await stack.enter_async_context(mcp.stdio_client(server))
        client = await stack.enter_async_context(mcp.ClientSession(read, write))
        await client.initialize()

    async def call() -> Any:
        result = await client.call_tool("charge", ARGUMENTS)
        if result.is_error:
            raise RuntimeError(f"the call was refused: {result.content}")
        return result

    return call


async def timed(generation: str, workdir: Path, calls: int) -> dict[str, tuple[list[int], float | None]]:
    """One repeat of one generation: every way of reaching the server, opened
    anew and called in turn; by way, the times of its calls and its own CPU
    time per call."""
    async with AsyncExitStack() as stack:
        ways = servers(workdir, generation)
        made = [(name, await connect(stack, generation, server)) for name, server in ways.items()]
        samples: dict[str, list[int]] = {name: [] for name, _ in made}
        clock = time.perf_counter_ns
        for _ in range(min(300, calls)):  # warm up
            for _, call in made:
                await call()
        argvs = {name: [server.command, *server.args] for name, server in ways.items()}
        spent = {name: cpu_seconds(argv) for name, argv in argvs.items()}
        gc.collect()
        gc.disable()
        try:
            for turn in range(calls):
                order = made[turn % len(made):] + made[: turn % len(made)]
                for name, call in order:
                    start = clock()
                    await call()
                    samples[name].append(clock() - start)
                if turn % 200 == 199:
                    gc.collect()
        finally:
            gc.enable()
        logged = Path(argvs["proxied, --log"][argvs["proxied, --log"].index("--log") + 1])
        if len(logged.read_bytes().splitlines()) < calls:
            raise RuntimeError(f"{logged}: fewer records than calls")
        result: dict[str, tuple[list[int], float | None]] = {}
        for name, argv in argvs.items():
            now, before = cpu_seconds(argv), spent[name]
            result[name] = samples[name], None if now is None or before is None else (now - before) / calls * 1e6
    return result


def rows_of(generation: str, repeats: list[dict[str, tuple[list[int], float | None]]]) -> list[dict[str, Any]]:
    rows = []
    for name in repeats[0]:
        pooled = [t for repeat in repeats for t in repeat[name][0]]
        shares = sorted(
            (percentile(repeat[name][0], 0.5) - percentile(repeat["direct"][0], 0.5)) / percentile(repeat["direct"][0], 0.5) * 100.0
            for repeat in repeats
        )
        added = [percentile(repeat[name][0], 0.5) - percentile(repeat["direct"][0], 0.5) for repeat in repeats]
        cpu = [repeat[name][1] for repeat in repeats]
        rows.append({
            "generation": generation, "row": name,
            "p50_us": percentile(pooled, 0.5), "p99_us": percentile(pooled, 0.99),
            "added_p50_us": None if name == "direct" else statistics.median(added),
            "added_pct": None if name == "direct" else statistics.median(shares),
            "added_pct_range": None if name == "direct" else [shares[0], shares[-1]],
            "cpu_us_per_call": None if None in cpu else statistics.median(c for c in cpu if c is not None),
            "target": f"<= {TARGET:g}%" if name.startswith("proxied") else "",
        })
    return rows


def show(rows: list[dict[str, Any]]) -> None:
    print("audit table, proxy: direct p50/p99, proxied p50/p99, added p50 as % of direct p50, target <= 10%")
    print(f"{'':32}{'p50 us':>9}{'p99 us':>9}{'added p50':>11}{'% direct':>10}{'over repeats':>17}{'own CPU/call':>14}  target")
    for row in rows:
        name = f"{row['generation']} {row['row']}"
        added = spread = ""
        if row["added_pct"] is not None:
            added = f"{row['added_p50_us']:>11.1f}{row['added_pct']:>9.1f}%"
            spread = "{:.1f} to {:.1f}%".format(*row["added_pct_range"])
        cpu = "" if row["cpu_us_per_call"] is None else f"{row['cpu_us_per_call']:.0f} us"
        print(f"{name:32}{row['p50_us']:>9.1f}{row['p99_us']:>9.1f}{added:>21}{spread:>17}{cpu:>14}  {row['target']}")
    print(f"(load average {' '.join(f'{load:.2f}' for load in os.getloadavg())}; own CPU: the process itself, not the server it runs)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=800, help="timed calls per row and repeat")
    parser.add_argument("--repeats", type=int, default=3, help="runs of every row, each with fresh processes")
    parser.add_argument("--json", default=str(HERE / "results" / "proxy.json"))
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    rows: list[dict[str, Any]] = []
    with tempfile.TemporaryDirectory(prefix="bench-proxy-") as workdir:
        for generation in GENERATIONS:
            repeats = [anyio.run(timed, generation, Path(workdir), args.calls) for _ in range(args.repeats)]
            rows += rows_of(generation, repeats)
    show(rows)
    os.makedirs(os.path.dirname(args.json), exist_ok=True)
    with open(args.json, "w") as out:
        json.dump({"load": os.getloadavg(), "rows": rows}, out, indent=1)
    failed = [f"{row['generation']} {row['row']}" for row in rows if row["target"] and row["added_pct"] > TARGET]
    if failed:
        sys.stdout.flush()
        print(f"over target: {', '.join(failed)}", file=sys.stderr)
    return 1 if args.check and failed else 0


if __name__ == "__main__":
    sys.exit(main())
