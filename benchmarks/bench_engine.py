"""ns per whole-policy evaluation, side by side in one process.

The example policy (examples/policy.py) on four events: a charge that nothing
objects to, a charge with two hits, a write whose fields arrive under
``kwargs``, and a charge evaluated at ``stage=None``. Columns:

- floor: ``operator.itemgetter("amount")`` on a flat event, one C call;
- engine: ``policy.evaluator(stage=...)``, the engine's one-event callable;
- parts: the sum of the predicates and rules that the evaluation calls on
  that event, each timed alone;
- own: engine minus parts, the engine's own cost, in floors;
- engine and model at a call site: ``policy.evaluate(event, stage=...)``
  and the pure-Python model of it (tests/model.py: the evaluator that Policy
  had before the engine), each called from the same one-line Python
  function;
- x model: the model at its call site over the engine's one-event callable,
  each in the cheapest one-event form it has (the targets are stated on
  this); x site: the same, with the engine at the model's call site;
- bound: the model over the parts, the most that any evaluator calling
  the same predicates and rules could gain over the model.

Then the engine against what a user would pick instead, on a three-behaviour
policy (a cap on charges, a deny list on write buckets, a scope fence on
writes): Cedar's Python binding (``cedarpy.is_authorized`` with a pre-parsed
``PolicySet`` and ``Entities``) and pycasbin (``Enforcer.enforce`` with an ABAC
model). Each peer is first checked to decide as the engine does on the
events timed; a peer that is not installed is skipped with a note.

Every cell is timed by the same C-level loop (``deque(map(fn, repeat(ev)))``,
or ``starmap`` for the peers' several arguments); the cells of one repeat
run back to back, ratios are taken within a repeat, and the table shows their
medians.

Usage: python benchmarks/bench_engine.py [--repeats N] [--calls N] [--json PATH]
"""

from __future__ import annotations

import argparse
import collections
import itertools
import json
import operator
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "examples"))

import model  # noqa: E402
from bench import blocks_over, time_per_call  # noqa: E402
from policy import POLICY  # noqa: E402

from quindle_brevault_agent import library as qba  # noqa: E402
from quindle_brevault_agent._impl import Policy  # noqa: E402

PAID = {"action_type": "charge", "amount": 40, "currency": "EUR", "payee": "acme"}
EVENTS = {
    "charge, no hits": ("spend_decision", PAID),
    "charge, two hits": ("spend_decision", {**PAID, "amount": 900}),
    "write, kwargs": ("execution", {"method": "PUT", "kwargs": {
        "bucket": "reports", "scope": "projects/invoice-bot/q3"}}),
    "charge, stage=None": (None, PAID),
}
# The engine's own cost, in floors, that each number of hits is held to.
OWN_TARGETS = {0: 1.5, 2: 4.0}
MODEL_TARGET = 8.0
PEER_TARGETS = {"cedarpy": 200.0, "casbin": 500.0}
FLOOR_EVENT = {"amount": 40}

LOCKED = ["billing-archive", "audit-log"]
OWN = ["projects/invoice-bot/", "scratch/"]
THREE = Policy([
    qba.cap_charges(500, name="cap"),
    qba.deny_writes_to("bucket", LOCKED, name="locked"),
    qba.restrict_scope(OWN, name="fence"),
])
PEER_EVENTS = {
    "charge under cap": ("spend_decision", {"action_type": "charge", "amount": 40}),
    "charge over cap": ("spend_decision", {"action_type": "charge", "amount": 900}),
    "write in scope": ("execution", {"method": "PUT", "bucket": "reports",
                                     "scope": "projects/invoice-bot/q3"}),
    "write, locked": ("execution", {"method": "PUT", "bucket": "audit-log",
                                    "scope": "scratch/tmp"}),
}


def time_per_starcall(fn, args, calls: int) -> float:
    it = itertools.repeat(args, calls)
    start = time.perf_counter_ns()
    collections.deque(itertools.starmap(fn, it), maxlen=0)
    return (time.perf_counter_ns() - start) / calls


def parts_called(policy, event, stage):
    """The predicates and rules that evaluating `event` at `stage` calls, in order."""
    parts = []
    for item in policy:
        if stage is not None and stage != item.on.stage:
            continue
        if item.on.where is not None:
            parts.append(item.on.where)
            if not item.on.where(event):
                continue
        parts.append(item.rule.fn)
    return parts


def call_site(evaluate, stage):
    def at_call_site(event):
        return evaluate(event, stage=stage)
    return at_call_site


def model_call_site(behaviours, stage, evaluate=model.evaluate):
    def at_call_site(event):
        return evaluate(behaviours, event, stage=stage)
    return at_call_site


# ---------------------------------------------------------------- peers


CEDAR_POLICIES = """
permit(principal, action, resource);
forbid(principal, action == Action::"charge", resource) when { context.amount > 500 };
forbid(principal, action == Action::"write", resource)
    when { ["billing-archive", "audit-log"].contains(context.bucket) };
forbid(principal, action == Action::"write", resource)
    when { !(context.scope like "projects/invoice-bot/*" || context.scope like "scratch/*") };
"""

CASBIN_MODEL = """
[request_definition]
r = sub, act, obj

[policy_definition]
p = act, eft

[policy_effect]
e = !some(where (p.eft == deny))

[matchers]
m = r.act == p.act && ((p.act == "charge" && r.obj.amount > 500) || (p.act == "write" && \
(r.obj.bucket == "billing-archive" || r.obj.bucket == "audit-log" || \
!(keyMatch(r.obj.scope, "projects/invoice-bot/*") || keyMatch(r.obj.scope, "scratch/*")))))
"""

CASBIN_POLICY = "p, charge, deny\np, write, deny\n"


class Attributes:
    """A request object for the ABAC matcher: the event's fields as attributes."""

    def __init__(self, fields):
        self.__dict__.update(fields)


def action_of(event):
    return "charge" if event.get("action_type") == "charge" else "write"


def cedar_peer(workdir):
    """(callable, {event: args}, allowed-from-result) or a note."""
    try:
        import cedarpy
    except ImportError:
        return "cedarpy is not installed"
    policies = cedarpy.PolicySet.from_str(CEDAR_POLICIES)
    entities = cedarpy.Entities.from_json_str("[]")
    args = {}
    for label, (_stage, event) in PEER_EVENTS.items():
        context = {k: v for k, v in event.items() if k in ("amount", "bucket", "scope")}
        request = {"principal": 'Agent::"invoice-bot"', "action": f'Action::"{action_of(event)}"',
                   "resource": 'Account::"main"', "context": context}
        args[label] = (request, policies, entities)
    return cedarpy.is_authorized, args, lambda result: result.allowed


def casbin_peer(workdir):
    try:
        import casbin
    except ImportError:
        return "casbin is not installed"
    model_path = workdir / "abac.conf"
    policy_path = workdir / "abac.csv"
    model_path.write_text(CASBIN_MODEL)
    policy_path.write_text(CASBIN_POLICY)
    enforcer = casbin.Enforcer(str(model_path), str(policy_path))
    args = {label: ("invoice-bot", action_of(event), Attributes(event))
            for label, (_stage, event) in PEER_EVENTS.items()}
    return enforcer.enforce, args, bool


# ---------------------------------------------------------------- main


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=25)
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--json", default=str(HERE / "results" / "bench_engine.json"))
    args = parser.parse_args()

    behaviours = tuple(POLICY)
    floor = operator.itemgetter("amount")
    cells = {}
    for label, (stage, event) in EVENTS.items():
        decision = POLICY.evaluate(event, stage=stage)
        expected = model.evaluate(behaviours, event, stage=stage)
        if decision != expected:
            raise SystemExit(f"engine and model disagree on {label}: {decision} {expected}")
        cells[label] = {
            "event": event,
            "engine": POLICY.evaluator(stage=stage),
            "engine call site": call_site(POLICY.evaluate, stage),
            "model call site": model_call_site(behaviours, stage),
            "parts": parts_called(POLICY, event, stage),
            "hits": len(decision.hits),
            "verdict": decision.verdict,
        }

    samples = collections.defaultdict(list)
    for _ in range(args.repeats):
        for label, cell in cells.items():
            event = cell["event"]
            samples[(label, "floor")].append(time_per_call(floor, FLOOR_EVENT, args.calls))
            for column in ("engine", "engine call site", "model call site"):
                samples[(label, column)].append(time_per_call(cell[column], event, args.calls))
            samples[(label, "parts")].append(
                sum(time_per_call(part, event, args.calls) for part in cell["parts"]))

    def median(label, column):
        return statistics.median(samples[(label, column)])

    def ratio(label, num, den):
        return statistics.median(a / b for a, b in zip(samples[(label, num)], samples[(label, den)]))

    print(f"ns per evaluation of examples/policy.py: {args.repeats} repeats x {args.calls} calls, "
          "medians")
    header = (f"{'event':<20}{'hits':>5}{'floor':>8}{'engine':>8}{'parts':>8}{'own':>8}"
              f"{'own/flr':>8}{'target':>7}{'eng@py':>8}{'model@py':>9}{'x model':>8}{'x site':>7}{'target':>7}"
              f"{'bound':>7}")
    print(header)
    print("-" * len(header))
    rows = []
    met = True
    for label, cell in cells.items():
        own = [e - p for e, p in zip(samples[(label, "engine")], samples[(label, "parts")])]
        own_over_floor = statistics.median(o / f for o, f in zip(own, samples[(label, "floor")]))
        faster = ratio(label, "model call site", "engine")
        same_site = ratio(label, "model call site", "engine call site")
        bound = ratio(label, "model call site", "parts")
        own_target = OWN_TARGETS.get(cell["hits"])
        if own_target is not None and own_over_floor > own_target:
            met = False
        if faster < MODEL_TARGET:
            met = False
        row = {
            "event": label, "hits": cell["hits"], "verdict": cell["verdict"],
            "floor": median(label, "floor"), "engine": median(label, "engine"),
            "parts": median(label, "parts"), "own": statistics.median(own),
            "own_over_floor": own_over_floor, "own_target": own_target,
            "engine_call_site": median(label, "engine call site"),
            "model_call_site": median(label, "model call site"),
            "model_over_engine": faster,
            "model_over_engine_same_site": same_site,
            "model_over_parts": bound,
        }
        rows.append(row)
        print(f"{label:<20}{cell['hits']:>5}{row['floor']:>8.1f}{row['engine']:>8.1f}"
              f"{row['parts']:>8.1f}{row['own']:>8.1f}{own_over_floor:>8.2f}"
              f"{'<=' + format(own_target, 'g') if own_target else '-':>7}"
              f"{row['engine_call_site']:>8.1f}{row['model_call_site']:>9.1f}{faster:>8.1f}{same_site:>7.1f}"
              f"{'>=' + format(MODEL_TARGET, 'g'):>7}{bound:>7.1f}")

    # Allocation: a decision without hits is one shared object.
    quiet = cells["charge, no hits"]
    harness = blocks_over(floor, FLOOR_EVENT, 100_000)
    allocs = {
        "engine": blocks_over(quiet["engine"], quiet["event"], 100_000) - harness,
        "engine call site": blocks_over(quiet["engine call site"], quiet["event"], 100_000)
        - harness,
    }
    if allocs["engine"] != 0:
        met = False
    print("\nallocated blocks over 100,000 evaluations of the decision without hits: "
          + ", ".join(f"{k}: {v}" for k, v in allocs.items()))

    # Peers, on the three-behaviour policy.
    print("\nagainst the peers, three-behaviour policy (cap, deny list, scope fence): ns per decision")
    workdir = Path(tempfile.mkdtemp(prefix="qba-bench-engine-"))
    peers = {"cedarpy": cedar_peer(workdir), "casbin": casbin_peer(workdir)}
    notes = {name: peer for name, peer in peers.items() if isinstance(peer, str)}
    peers = {name: peer for name, peer in peers.items() if not isinstance(peer, str)}
    for name, note in notes.items():
        print(f"(no {name} column: {note})")
    evaluators = {label: (THREE.evaluator(stage=stage), event)
                  for label, (stage, event) in PEER_EVENTS.items()}
    for name, (call, peer_args, allowed) in peers.items():
        for label, (evaluate, event) in evaluators.items():
            ours = not evaluate(event).blocked
            theirs = allowed(call(*peer_args[label]))
            if ours != theirs:
                raise SystemExit(f"{name} decides {label} otherwise: allowed={theirs}, ours={ours}")
    peer_calls = max(200, args.calls // 100)
    psamples = collections.defaultdict(list)
    for _ in range(max(5, args.repeats // 3)):
        for label, (evaluate, event) in evaluators.items():
            psamples[(label, "engine")].append(time_per_call(evaluate, event, args.calls))
            for name, (call, peer_args, _allowed) in peers.items():
                psamples[(label, name)].append(
                    time_per_starcall(call, peer_args[label], peer_calls))
    header = f"{'event':<20}{'engine':>9}" + "".join(
        f"{name:>11}{'x engine':>10}{'target':>8}" for name in peers)
    print(header)
    print("-" * len(header))
    peer_rows = []
    for label in evaluators:
        line = f"{label:<20}{statistics.median(psamples[(label, 'engine')]):>9.1f}"
        row = {"event": label, "engine": statistics.median(psamples[(label, "engine")])}
        for name in peers:
            times = psamples[(label, name)]
            times_over = statistics.median(
                p / e for p, e in zip(times, psamples[(label, "engine")]))
            if times_over < PEER_TARGETS[name]:
                met = False
            row[name] = statistics.median(times)
            row[f"{name}_over_engine"] = times_over
            line += (f"{statistics.median(times):>11.1f}{times_over:>10.0f}"
                     f"{'>=' + format(PEER_TARGETS[name], 'g'):>8}")
        peer_rows.append(row)
        print(line)

    print(f"\ntargets {'met' if met else 'NOT met'}")
    out = Path(args.json)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({
        "python": sys.version, "repeats": args.repeats, "calls": args.calls,
        "rows": rows, "allocated_blocks": allocs, "peers": peer_rows, "peer_notes": notes,
        "targets_met": met,
    }, indent=2, default=repr))
    print(f"written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
