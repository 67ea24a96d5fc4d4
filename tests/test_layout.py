"""The package's layout: every module imports on its own in a fresh
interpreter, no module imports another in a circle, and the library never
imports the command line."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import quindle_brevault_agent

PACKAGE = Path(quindle_brevault_agent.__file__).parent
NAME = "quindle_brevault_agent"
CLI = NAME + ".cli"


def modules() -> dict[str, Path]:
    """The package's modules by name: its Python files and its native modules."""
    found = {}
    for path in sorted(PACKAGE.rglob("*")):
        suffix = next((s for s in (".py", *EXTENSION_SUFFIXES) if path.name.endswith(s)), None)
        if suffix is None:
            continue
        parts = path.relative_to(PACKAGE).parts
        parts = (*parts[:-1], path.name[: -len(suffix)])
        if parts[-1] == "__init__":
            parts = parts[:-1]
        found[".".join((NAME, *parts))] = path
    return found


def imported(name: str, path: Path, known: dict[str, Path]) -> set[str]:
    """The package's modules that `name` imports anywhere (in a function or
    for type checking included). ``from P import m`` of a submodule `m`
    imports P.m, not P: P is the parent, imported before any of its modules."""
    if path.suffix != ".py":
        return set()
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names if alias.name in known)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0]
                base = f"{anchor}.{node.module}" if node.module else anchor
            for alias in node.names:
                target = f"{base}.{alias.name}"
                if target in known:
                    found.add(target)
                elif base in known:
                    found.add(base)
    found.discard(name)
    return found


def cycle(graph: dict[str, set[str]]) -> list[str] | None:
    """A circle of imports in `graph`, as the modules along it, or None."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def test_every_module_imports_alone_and_none_in_a_circle():
    known = modules()
    graph = {name: imported(name, path, known) for name, path in known.items()}
    commands = {f"{CLI}.{command}" for command in ("replay", "test", "diff", "lint", "verify_log", "mcp_proxy")}
    assert commands <= graph[CLI], graph[CLI]
    assert cycle(graph) is None, " -> ".join(cycle(graph) or [])
    library = [name for name in graph if not (name == CLI or name.startswith(CLI + ".") or name.endswith(".__main__"))]
    assert NAME + "._impl" in library and NAME + ".enforce.decision_log" in library
    into_cli = {name: sorted(t for t in graph[name] if t == CLI or t.startswith(CLI + ".")) for name in library}
    assert {name: targets for name, targets in into_cli.items() if targets} == {}

    # Each module first, alone, in an interpreter of its own.
    children = {
        name: subprocess.Popen(
            [sys.executable, "-c", f"import {name}"], stderr=subprocess.PIPE, env=os.environ.copy()
        )
        for name in known
    }
    failed = {}
    for name, child in children.items():
        _, err = child.communicate(timeout=120)
        if child.returncode != 0:
            failed[name] = err.decode(errors="replace").strip().splitlines()[-1:]
    assert failed == {}
