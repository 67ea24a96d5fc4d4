"""The module frame: docstring, namespace, binding of the host factories, and
the create and exec steps (one module per process, one interpreter, no
re-initialisation, a clean slate after a failed import)."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import quindle_brevault_agent
import quindle_brevault_agent._impl as impl
import quindle_brevault_agent.library as library

PUBLIC = [
    "spend_cap", "flag_over", "allow_list", "deny_list", "scope_fence", "require_fields",
    "on_charge", "on_write", "cap_charges", "flag_large_charges", "deny_writes_to",
    "restrict_scope",
]
# The order in which the exec step binds the namespace.
BOUND_IN_ORDER = [
    "behaviour", "rule", "trigger", "__all__", "_get", "spend_cap", "flag_over", "deny_list",
    "allow_list", "scope_fence", "require_fields", "on_charge", "on_write", "cap_charges",
    "flag_large_charges", "deny_writes_to", "restrict_scope",
]
DOC_LINES = [
    "Starter behaviours for quindle-brevault-agent.",
    "",
    "Ready-made, stateless rules and behaviour factories for the common cases, so a",
    "policy is one call rather than a lambda. Every rule here is a pure function of a",
    "single event, so it drops straight into ``check_rule`` / ``check_behaviour`` and",
    "recomputes cleanly.",
    "",
    "Each rule reads a field from the event top level and, failing that, from a nested",
    "``kwargs`` map, so the same rule works on a flat stage record (a spend_decision)",
    "and on a guarded brevault-connect call (where parameters arrive under ``kwargs``).",
]


def run_python(code: str, cwd: Path | None = None) -> list:
    """Runs `code` in a new interpreter process; it prints one JSON value last."""
    result = subprocess.run(
        [sys.executable, "-B", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=os.environ.copy(),
        cwd=cwd,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_docstring():
    assert library.__doc__ == "\n".join(DOC_LINES) + "\n"


def test_all_lists_the_public_functions_in_order():
    assert type(library.__all__) is list
    assert library.__all__ == PUBLIC
    for name in PUBLIC:
        assert callable(getattr(library, name))
    assert "_get" not in library.__all__


def test_star_import_binds_exactly_the_public_names():
    namespace: dict = {}
    exec("from quindle_brevault_agent.library import *", namespace)
    namespace.pop("__builtins__")
    assert sorted(namespace) == sorted(PUBLIC)
    for name, value in namespace.items():
        assert value is getattr(library, name)


def test_module_attributes_come_from_the_spec():
    spec = library.__spec__
    assert library.__name__ == spec.name == "quindle_brevault_agent.library"
    assert library.__file__ == spec.origin
    assert library.__loader__ is spec.loader
    assert library.__package__ == "quindle_brevault_agent"
    assert not hasattr(library, "__path__")
    assert quindle_brevault_agent.library is library


def test_host_factories_are_those_of_impl():
    assert library.behaviour is impl.behaviour
    assert library.rule is impl.rule
    assert library.trigger is impl.trigger


def test_rebinding_in_impl_does_not_reach_the_module(monkeypatch):
    monkeypatch.setattr(impl, "rule", lambda name, fn: "from impl")
    monkeypatch.setattr(impl, "behaviour", lambda *a, **k: "from impl")
    assert library.rule is not impl.rule
    assert isinstance(library.spend_cap(1), impl.Rule)
    assert isinstance(library.cap_charges(1), impl.Behaviour)


def test_module_keeps_no_reference_to_what_it_builds(monkeypatch):
    class Made:
        pass

    monkeypatch.setattr(library, "rule", lambda name, fn: Made())
    built = library.spend_cap(1)
    alive = weakref.ref(built)
    del built
    assert alive() is None


def test_reimport_gives_the_same_module_and_functions():
    order, same = run_python(f"""
        import importlib, json, sys
        import quindle_brevault_agent.library as first
        functions = [getattr(first, n) for n in ["_get", *first.__all__]]
        order = [k for k in vars(first) if k in {BOUND_IN_ORDER!r}]
        del sys.modules["quindle_brevault_agent.library"]
        import quindle_brevault_agent.library as second
        third = importlib.import_module("quindle_brevault_agent.library")
        reloaded = importlib.reload(first)
        same = [m is first for m in (second, third, reloaded)]
        same += [getattr(second, f.__name__) is f for f in functions]
        print(json.dumps([order, same]))
    """)
    assert order == BOUND_IN_ORDER
    assert same == [True] * (3 + 13)


@pytest.fixture
def probe_package(tmp_path):
    """A package `qba_probe` holding a copy of the extension, no _impl yet."""
    package = tmp_path / "qba_probe"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(library.__file__, package / Path(library.__file__).name)
    return tmp_path


GOOD_IMPL = """
def rule(name, fn): return ("rule", name, fn)
def trigger(**kw): return ("trigger", kw)
def behaviour(name, **kw): return ("behaviour", name, kw)
"""

BROKEN_IMPLS = {
    "lacks trigger": ("def rule(n, f): pass\ndef behaviour(n, **k): pass\n",
                      ["ImportError", "cannot import name trigger"]),
    "lacks rule and trigger": ("def behaviour(n, **k): pass\n",
                               ["ImportError", "cannot import name rule"]),
    "lacks all three": ("", ["ImportError", "cannot import name behaviour"]),
    "raises on import": ("raise LookupError('host layer broken')\n",
                         ["LookupError", "host layer broken"]),
    "is missing": (None, ["ModuleNotFoundError", "No module named 'qba_probe._impl'"]),
}


@pytest.mark.parametrize("case", sorted(BROKEN_IMPLS))
def test_failed_import_then_a_clean_second_import(probe_package, case):
    source, expected = BROKEN_IMPLS[case]
    impl_file = probe_package / "qba_probe" / "_impl.py"
    if source is not None:
        impl_file.write_text(source)
    failure, after_failure, names, built = run_python(f"""
        import importlib, json, pathlib, sys
        sys.path.insert(0, {str(probe_package)!r})
        try:
            import qba_probe.library
        except Exception as error:
            failure = [type(error).__name__, str(error)]
        else:
            failure = None
        after_failure = sorted(m for m in sys.modules if m.startswith("qba_probe."))
        pathlib.Path({str(impl_file)!r}).write_text({GOOD_IMPL!r})
        sys.modules.pop("qba_probe._impl", None)
        importlib.invalidate_caches()
        import qba_probe.library as library, qba_probe._impl as impl
        names = [getattr(library, n) is getattr(impl, n) for n in ("behaviour", "rule", "trigger")]
        built = [library.spend_cap(5)[1], library.on_write()[1], library.restrict_scope(["a"])[1]]
        print(json.dumps([failure, after_failure, names, built]))
    """)
    assert failure == expected
    assert "qba_probe.library" not in after_failure
    assert names == [True, True, True]
    assert built == ["spend_cap<=5", {"stage": "execution"}, "restrict_scope"]


def test_a_host_factory_may_be_an_imported_submodule(probe_package):
    (probe_package / "qba_probe" / "_impl.py").write_text(textwrap.dedent("""
        import sys, types
        def rule(name, fn): return name
        def behaviour(name, **kw): return name
        sys.modules[__name__ + ".trigger"] = types.ModuleType(__name__ + ".trigger")
    """))
    found = run_python(f"""
        import json, sys
        sys.path.insert(0, {str(probe_package)!r})
        import qba_probe._impl as impl
        import qba_probe.library as library
        print(json.dumps([hasattr(impl, "trigger"),
                          library.trigger is sys.modules["qba_probe._impl.trigger"],
                          library.spend_cap(3)]))
    """)
    assert found == [False, True, "spend_cap<=3"]


SUBINTERPRETER = """
    import _interpreters, json
    {main_first}
    interp = _interpreters.create("legacy")
    try:
        error = _interpreters.exec(interp, "import quindle_brevault_agent.library as m\\nm.spend_cap(1)")
        sub = None if error is None else [error.type.__name__, error.msg]
        try:
            import quindle_brevault_agent.library
            main = None
        except ImportError as e:
            main = ["ImportError", str(e)]
    finally:
        _interpreters.destroy(interp)
    print(json.dumps([sub, main]))
"""
INTERPRETER_CHANGE = [
    "ImportError",
    "Interpreter change detected - this module can only be loaded into one interpreter per process.",
]


def test_a_second_interpreter_cannot_import_the_module():
    sub, main = run_python(SUBINTERPRETER.format(main_first="import quindle_brevault_agent.library"))
    assert sub == INTERPRETER_CHANGE
    assert main is None


def test_the_first_interpreter_to_import_owns_the_module():
    sub, main = run_python(SUBINTERPRETER.format(main_first=""))
    assert sub is None
    assert main == INTERPRETER_CHANGE


def test_exec_of_a_second_module_object_is_refused():
    results = run_python("""
        import importlib.util, json, sys
        origin = importlib.util.find_spec("quindle_brevault_agent.library").origin
        def module(name):
            spec = importlib.util.spec_from_file_location(name, origin)
            return spec, importlib.util.module_from_spec(spec)
        spec, first = module("quindle_brevault_agent.library")
        _, second = module("alias.library")
        results = [first is not second]
        sys.modules[spec.name] = first
        spec.loader.exec_module(first)
        spend_cap = first.spend_cap
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            results.append(str(error))
        results.append(hasattr(second, "spend_cap"))
        spec.loader.exec_module(first)
        results.append(first.spend_cap is spend_cap)
        # Once the module exists, a create for any spec hands back that module.
        results.append(module("other.library")[1] is first)
        import quindle_brevault_agent.library as imported
        results.append(imported is first)
        print(json.dumps(results))
    """)
    assert results == [
        True,
        "Module 'library' has already been imported. Re-initialisation is not supported.",
        False,
        True,
        True,
        True,
    ]


@pytest.mark.parametrize("missing", [["trigger"], ["rule", "trigger"]])
def test_adding_the_missing_names_to_the_loaded_impl_lets_a_second_import_succeed(
        probe_package, missing):
    source = "".join(f"def {n}(*a, **k): return ({n!r}, a, k)\n"
                     for n in ("behaviour", "rule", "trigger") if n not in missing)
    (probe_package / "qba_probe" / "_impl.py").write_text(source)
    failure, bound, built = run_python(f"""
        import json, sys
        sys.path.insert(0, {str(probe_package)!r})
        try:
            import qba_probe.library
        except ImportError as error:
            failure = str(error)
        impl = sys.modules["qba_probe._impl"]
        for name in {missing!r}:
            setattr(impl, name, lambda *a, _n=name, **k: [_n, list(k)])
        import qba_probe.library as library
        bound = [getattr(library, n) is getattr(impl, n) for n in ("behaviour", "rule", "trigger")]
        print(json.dumps([failure, bound, [library.on_charge(), library.spend_cap(2)[0]]]))
    """)
    assert failure == f"cannot import name {missing[0]}"
    assert bound == [True, True, True]
    assert built[0] == ["trigger", ["stage", "where"]]
    assert built[1] == "rule"
