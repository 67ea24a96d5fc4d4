"""The type stubs of quindle_brevault_agent.library: shipped, true to the
runtime module, and useful to a type checker."""

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quindle_brevault_agent.library as library

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("QBA_SANITIZED") == "1", reason="stubs are checked on the plain build"
    ),
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed"),
]

TESTS = Path(__file__).resolve().parent
ALLOWLIST = TESTS / "stubtest-allowlist.txt"


def run_tool(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    """Runs a mypy tool in `cwd`, with an empty configuration of its own."""
    config = cwd / "mypy.ini"
    config.write_text("[mypy]\n")
    return subprocess.run(
        [sys.executable, "-m", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=os.environ.copy(),
        timeout=300,
    )


def test_stub_ships_beside_the_extension():
    installed = Path(library.__file__).with_name("library.pyi")
    assert installed.is_file()
    assert installed.with_name("py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    result = run_tool(
        "mypy.stubtest",
        "quindle_brevault_agent.library",
        "--allowlist",
        str(ALLOWLIST),
        "--mypy-config-file",
        "mypy.ini",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# Lines marked with an ignore must be rejected by the stubs: with
# --warn-unused-ignores an ignore that is not needed is itself an error.
USAGE = """
from typing import Any
from quindle_brevault_agent import library
from quindle_brevault_agent._impl import Behaviour, Rule, Trigger
from quindle_brevault_agent._types import Verdict

verdict: Verdict = "FLAG"
rules: list[Rule] = [
    library.spend_cap(100),
    library.flag_over(5.0, field="total"),
    library.deny_list("bucket", {"prod"}, verdict="FLAG"),
    library.allow_list("tool", ("read",)),
    library.require_fields("amount", "scope", verdict=verdict),
    library.scope_fence(["repo/"], field="path"),
]
triggers: list[Trigger] = [library.on_charge(stage="s"), library.on_write(method="PUT")]
behaviours: list[Behaviour] = [
    library.cap_charges(100, name="cap"),
    library.flag_large_charges(10, action=print),
    library.deny_writes_to("bucket", ["prod"], method="PUT"),
    library.restrict_scope(["repo/"], stage="execution"),
]
value: Any = library._get({"kwargs": {"amount": 1}}, "amount")
library.rule("r", rules[0].fn)
library.trigger(stage="s")
library.behaviour("b", on=triggers[0], rule=rules[0])

from quindle_brevault_agent import DecisionLog, Policy, PolicyFileError, PolicyLoadError, PolicyViolation, guard

def pay(amount: int) -> str:
    return str(amount)

policy = Policy(behaviours)
guarded = guard(policy, stage="spend_decision", action_type="charge", log=DecisionLog("decisions.jsonl"))(pay)
paid: str = guarded(5)
refusal: PermissionError = PolicyViolation(policy.evaluate({}, stage=None), {})
guarded("5")  # type: ignore[arg-type]
guard(policy, stage=5)  # type: ignore[arg-type]
guard(policy, action_type=b"charge")  # type: ignore[arg-type]
guard(policy, log="decisions.jsonl")  # type: ignore[arg-type]
guard(behaviours)  # type: ignore[arg-type]
said: str = policy.evaluate({}, stage=None).verdict  # type: ignore[assignment]
loading: PolicyLoadError = PolicyFileError("p.toml: behaviour 1: ...")
valued: ValueError = PolicyFileError("p.toml: behaviour 1: ...")
unvalued: ValueError = PolicyLoadError("no such file: p.toml")  # type: ignore[assignment]

bad_verdict: Verdict = "DENY"  # type: ignore[assignment]
library.Verdict  # type: ignore[attr-defined]
library.spend_cap()  # type: ignore[call-arg]
library.spend_cap(1, "amount")  # type: ignore[call-arg]
library.deny_list("f", [1], "FLAG")  # type: ignore[call-arg]
library.on_charge("spend_decision")  # type: ignore[call-arg]
library.require_fields(fields=["a"])  # type: ignore[call-arg]
library.require_fields(1)  # type: ignore[arg-type]
library.scope_fence(7)  # type: ignore[arg-type]
library.cap_charges(1, limit_name="x")  # type: ignore[call-arg]
library._get(object(), "f")  # type: ignore[arg-type]
wrong: Trigger = library.spend_cap(1)  # type: ignore[assignment]
"""


def test_type_checker_accepts_real_use_and_rejects_misuse(tmp_path):
    source = tmp_path / "usage.py"
    source.write_text(textwrap.dedent(USAGE))
    result = run_tool(
        "mypy",
        "--strict",
        "--warn-unused-ignores",
        "--no-error-summary",
        "--config-file",
        "mypy.ini",
        str(source),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


ENGINE_USAGE = """
from quindle_brevault_agent import library
from quindle_brevault_agent._impl import Behaviour, Decision, Hit, Policy

policy = Policy([library.cap_charges(100)])
decision: Decision = policy.evaluate({"amount": 5}, stage="spend_decision")
hits: tuple[Hit, ...] = decision.hits
blocked: bool = decision.blocked
name = hits[0].behaviour if hits else None
at_spend = policy.evaluator(stage="spend_decision")
again: Decision = at_spend({"amount": 5})
stages: frozenset[object] = policy.stages
covering: tuple[Behaviour, ...] = policy.applicable("spend_decision", action_type="charge", method=None)

policy.evaluate({}, "spend_decision")  # type: ignore[call-arg]
policy.evaluator("spend_decision")  # type: ignore[call-arg]
policy.applicable("spend_decision", "charge")  # type: ignore[call-arg]
wrong: str = decision.blocked  # type: ignore[assignment]
decision.verdict = "BLOCK"  # type: ignore[misc]
"""


def test_engine_stub_matches_the_engine_module_and_types_its_use(tmp_path):
    from quindle_brevault_agent import _engine

    assert Path(_engine.__file__).with_name("_engine.pyi").is_file()
    result = run_tool(
        "mypy.stubtest", "quindle_brevault_agent._engine", "--mypy-config-file", "mypy.ini",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    source = tmp_path / "engine_usage.py"
    source.write_text(ENGINE_USAGE)
    result = run_tool("mypy", "--strict", "--warn-unused-ignores", "--no-error-summary",
                      "--config-file", "mypy.ini", str(source), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_audit_stub_matches_the_record_module(tmp_path):
    from quindle_brevault_agent import _audit

    assert Path(_audit.__file__).with_name("_audit.pyi").is_file()
    result = run_tool(
        "mypy.stubtest", "quindle_brevault_agent._audit", "--mypy-config-file", "mypy.ini", cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def parameters(fn):
    return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]


def test_stub_runs_as_python_and_declares_only_what_exists():
    # Documentation tools execute the stub of a native module as Python.
    stub = Path(library.__file__).with_name("library.pyi")
    source = stub.read_text()
    namespace = {"__name__": library.__name__, "__package__": library.__package__}
    exec(compile(source, str(stub), "exec"), namespace)
    declared = set()
    for node in ast.parse(source).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.Assign):
            declared.update(target.id for target in node.targets)
        elif isinstance(node, ast.ImportFrom):
            declared.update(a.asname for a in node.names if a.asname == a.name)
    assert sorted(name for name in declared if not hasattr(library, name)) == []
    for name in ["_get", *library.__all__]:
        assert parameters(namespace[name]) == parameters(getattr(library, name)), name
    # The two triggers have no docstring of their own; the stub gives them one.
    for name in ("on_charge", "on_write"):
        assert getattr(library, name).__doc__ is None and namespace[name].__doc__.startswith("A trigger for "), name
