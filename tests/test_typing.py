"""The public API is typed: the package's Python modules and the examples
type-check under mypy --strict, and the public names carry real types rather
than Any."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("QBA_SANITIZED") == "1", reason="types are checked on the plain build"
    ),
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed"),
]

ROOT = Path(__file__).resolve().parent.parent

USES = '''
from quindle_brevault_agent import Decision, Policy, cap_charges, check_rule, spend_cap

policy = Policy([cap_charges(500)])
decision = policy.evaluate({"amount": 900}, stage="spend_decision")
reveal_type(decision)
reveal_type(decision.blocked)
reveal_type(spend_cap(100))
verdict: int = check_rule(spend_cap(1), {})  # a verdict is Any: a rule may return a caller's own
wrong: int = decision  # type: ignore[assignment]
'''


def mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    (cwd / "mypy.ini").write_text("[mypy]\nwarn_unused_ignores = True\n")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=300,
    )


def test_examples_and_public_names_type_check_strictly(tmp_path):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    package = sorted(str(p) for p in (ROOT / "src" / "quindle_brevault_agent").rglob("*.py"))
    (tmp_path / "uses.py").write_text(USES)
    result = mypy(*package, *examples, str(tmp_path / "uses.py"), cwd=tmp_path)
    revealed = [line.split("Revealed type is ")[1] for line in result.stdout.splitlines() if "Revealed type" in line]
    assert [text.strip('"').rpartition(".")[2] for text in revealed] == ["Decision", "bool", "Rule"], result.stdout
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert errors == [], result.stdout
