"""Hostile callers, hostile events and failing imports: whatever they do ends
in a Python exception or a normal exit, never in a crash or a leak; and the
function objects serve Python's own tools as plain functions do."""

import gc
import json
import os
import py_compile
import shutil
import subprocess
import sys
import textwrap
import types
import typing
from decimal import Decimal
from pathlib import Path

import pytest

import model
import quindle_brevault_agent.library as library
from quindle_brevault_agent import _impl

PROBE_IMPL = """
def rule(name, fn): return ("rule", name, fn)
def trigger(**kw): return ("trigger", kw)
def behaviour(name, **kw): return ("behaviour", name, kw)
"""

# An _impl that keeps the module being executed and plants in its namespace a
# key that clashes with "spend_cap", so that binding spend_cap fails after
# _get is bound.
CLASHING_IMPL = PROBE_IMPL + """
import sys
class Clash:
    def __hash__(self): return hash("spend_cap")
    def __eq__(self, other): raise LookupError("clash")
kept = sys.modules[__name__.rpartition(".")[0] + ".library"]
vars(kept)[Clash()] = None
"""

# An _impl that loads the same extension file under another name while the
# exec step of qba_probe.library is running.
ALIAS_IMPL = PROBE_IMPL + """
import importlib.util, sys
_origin = importlib.util.find_spec(__name__.rpartition(".")[0] + ".library").origin
_spec = importlib.util.spec_from_file_location("qba_alias.library", _origin)
alias = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(alias)
running = sys.modules[__name__.rpartition(".")[0] + ".library"]
seen = [alias is running, "_get" in vars(alias)]
"""

CRASHES = {
    "failed exec leaves _get bound": (CLASHING_IMPL, """
        try:
            import qba_probe.library
        except LookupError as error:
            out = [str(error)]
        old = sys.modules["qba_probe._impl"].kept
        out += [old._get({"kwargs": {"x": 1}}, "x"), repr(old._get)[:15]]
        import qba_probe.library as new
        out += [new is not old, new.spend_cap(5)[1], old._get({"x": 2}, "x"),
                new._get is not old._get]
    """, ["clash", 1, "<function _get ", True, "spend_cap<=5", 2, True]),
    "load under another name during exec": (ALIAS_IMPL, """
        import qba_probe.library as lib, qba_probe._impl as impl
        out = impl.seen + [impl.alias is lib, lib.spend_cap(1)[1]]
    """, [True, False, True, "spend_cap<=1"]),
    "chain of partial verdicts": (None, """
        rule = library.deny_list("f", ["x"])
        for _ in range(300_000):
            rule = library.deny_list("f", ["x"], verdict=functools.partial(rule.fn))
        del rule
        out = "freed"
    """, "freed"),
    "chain of captured limits": (None, """
        library.rule = lambda name, fn: fn
        fn = library.spend_cap(0)
        for _ in range(300_000):
            fn = library.spend_cap(fn)
        del fn
        out = "freed"
    """, "freed"),
    "chain of evaluators, each the stage of the next": (None, """
        from quindle_brevault_agent._impl import Policy
        policy = Policy([])
        evaluate = policy.evaluator(stage="s")
        for _ in range(300_000):
            evaluate = policy.evaluator(stage=evaluate)
        del evaluate
        out = "freed"
    """, "freed"),
    "spend_cap is cap_charges": (None, """
        library.spend_cap = library.cap_charges
        out = catch(lambda: library.cap_charges(100))
    """, "RecursionError"),
    "scope_fence is restrict_scope": (None, """
        library.scope_fence = library.restrict_scope
        out = catch(lambda: library.restrict_scope(["a"]))
    """, "RecursionError"),
    "deny_list is deny_writes_to": (None, """
        library.deny_list = library.deny_writes_to
        out = catch(lambda: library.deny_writes_to("f", [1]))
    """, "RecursionError"),
    "trigger is on_write": (None, """
        library.trigger = library.on_write
        out = catch(lambda: library.on_write())
    """, "RecursionError"),
    "event whose __contains__ is _get": (None, """
        class Event(dict):
            __contains__ = library._get
        out = catch(lambda: library.spend_cap(1).fn(Event()))
    """, "RecursionError"),
}

PRELUDE = """
import functools, json, sys
sys.path.insert(0, {root!r})
from quindle_brevault_agent import library
def catch(fn):
    try:
        fn()
    except Exception as error:
        return type(error).__name__
"""


def make_probe(root: Path, impl_source: str) -> None:
    """A package `qba_probe` under `root` with a copy of the extension."""
    package = root / "qba_probe"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "_impl.py").write_text(textwrap.dedent(impl_source))
    shutil.copy(library.__file__, package / Path(library.__file__).name)


def run(code: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=os.environ.copy(), cwd=cwd, timeout=300)


@pytest.mark.parametrize("case", CRASHES)
def test_hostile_use_ends_in_an_exception_or_a_normal_exit(case, tmp_path):
    impl_source, body, expected = CRASHES[case]
    if impl_source is not None:
        make_probe(tmp_path, impl_source)
    code = PRELUDE.format(root=str(tmp_path)) + textwrap.dedent(body) + "print(json.dumps(out))\n"
    result = run(code, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == expected


# Calls that nest with no Python frame between the levels, or one per level,
# run in a thread with a small stack: each ends in RecursionError at the
# recursion limit, before the stack runs out. What a case built deep is kept
# and freed with the main thread's stack.
RECURSING = """
import sys, threading
sys.setrecursionlimit({limit})
from quindle_brevault_agent import library
from quindle_brevault_agent._impl import Decision, Policy, behaviour, rule, trigger
kept = []

def factories_calling_each_other():
    spend_cap, library.spend_cap = library.spend_cap, library.cap_charges
    try:
        library.cap_charges(100)
    finally:
        library.spend_cap = spend_cap

def event_whose_contains_is_get():
    class Event(dict):
        __contains__ = library._get
    library.spend_cap(1).fn(Event())

def rule_that_is_the_next_policys_evaluator():
    evaluate = lambda event: "FLAG"
    for _ in range(12_000):
        policy = Policy([behaviour("b", on=trigger(stage="s"), rule=rule("r", evaluate))])
        evaluate = policy.evaluator(stage="s")
    kept.append(evaluate)
    evaluate({{}})

def rule_that_evaluates_its_own_policy():
    policy = Policy([behaviour("b", on=trigger(stage="s"),
                               rule=rule("r", lambda event: policy.evaluate(event, stage="s")))])
    kept.append(policy)
    policy.evaluate({{}}, stage="s")

def deep(wrap):
    made = Decision("ALLOW")
    for _ in range(100_000):
        made = wrap(made)
    kept.append(made)
    return made

CASES = [
    factories_calling_each_other, event_whose_contains_is_get,
    rule_that_is_the_next_policys_evaluator, rule_that_evaluates_its_own_policy,
    lambda: hash(deep(Decision)),
    lambda: deep(Decision) == deep(Decision),
    lambda: repr(deep(Decision)),
    lambda: hash(deep(lambda inner: Decision("FLAG", (inner,)))),
    lambda: repr(deep(lambda inner: Policy([]).evaluator(stage=inner))),
]

def run_all():
    for index, case in enumerate(CASES):
        print(index, end=" ", flush=True)
        try:
            case()
            print("returned")
        except RecursionError:
            print("RecursionError")
        except BaseException as error:
            print(repr(error))
    # The depth is given back on the way out of each case.
    evaluate = lambda event: "FLAG"
    for _ in range({limit} // 2):
        policy = Policy([behaviour("b", on=trigger(stage="s"), rule=rule("r", evaluate))])
        evaluate = policy.evaluator(stage="s")
    print("then", evaluate({{}}).blocked)

threading.stack_size({stack})
thread = threading.Thread(target=run_all)
thread.start()
thread.join()
"""


@pytest.mark.parametrize("stack, limit", [(4 << 20, 1000), (512 << 10, 100)],
                         ids=["4 MiB, 1000", "512 KiB, 100"])
def test_native_recursion_stops_at_the_recursion_limit_on_a_small_stack(stack, limit, tmp_path):
    result = run(RECURSING.format(stack=stack, limit=limit), tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == [f"{index} RecursionError" for index in range(9)] + [
        "then True"]


# Weak references to freed functions: alone, in a cycle the collector frees,
# and at the bottom of a chain so deep that its freeing is deferred.
WEAKLY_HELD = """
import gc, weakref
called = []
def watch(fn, label):
    return weakref.ref(fn, lambda ref: called.append(label))

fn = library.spend_cap(1).fn
refs = [watch(fn, "rule"), watch(library.on_write(method="PUT").where, "trigger")]
del fn
box = []
box.append(library.deny_list("f", ["x"], verdict=box).fn)
refs.append(watch(box[0], "cycle"))
del box
gc.collect()
library.rule = lambda name, fn: fn
fn = library.spend_cap(0)
refs.append(watch(fn, "chain"))
for _ in range(300_000):
    fn = library.spend_cap(fn)
del fn
out = [ref() is None for ref in refs] + [sorted(called)]
"""


def test_weak_references_to_freed_functions_are_cleared_and_called_back(tmp_path):
    code = PRELUDE.format(root=str(tmp_path)) + textwrap.dedent(WEAKLY_HELD)
    result = run(code + "print(json.dumps(out))\n", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == [True] * 4 + [
        ["chain", "cycle", "rule", "trigger"]]


# Every allocation of the exec step fails in turn, in a forked child: what
# the failed exec left bound either works or raises, and a second import
# starts again and succeeds. CPython 3.13.0 itself can crash later when an
# allocation fails in Python code (importlib's, or _impl's own: the import
# of a plain Python module fails the same way), so a child whose allocation
# failed in a Python frame stops there. A few allocations inside the C API
# (in PyType_FromSpec) leave the interpreter broken too: a child that
# crashes is excused only if a second child, which makes the same
# allocation fail and then merely collects garbage and exits, crashes too.
NOMEMORY = """
import gc, importlib, importlib.util, json, os, sys, traceback, _testcapi
sys.path.insert(0, {root!r})
NAME = "qba_probe.library"
CALLS = [("_get", ({{"kwargs": {{"a": 1}}}}, "a")), ("spend_cap", (5,)), ("flag_over", (5,)),
         ("deny_list", ("f", [1])), ("allow_list", ("f", [1])), ("scope_fence", (["a/"],)),
         ("require_fields", ("a",)), ("on_charge", ()), ("on_write", ()),
         ("cap_charges", (5,)), ("flag_large_charges", (5,)), ("deny_writes_to", ("f", [1])),
         ("restrict_scope", (["a/"],))]
EVENT = {{"amount": 7, "f": 1, "a": None, "scope": "a/b", "action_type": "charge"}}

def use(module):
    for name, args in CALLS:
        fn = vars(module).get(name)
        if fn is None:
            continue
        repr(fn)
        try:
            made = fn(*args)
            if isinstance(made, tuple) and made[0] == "rule":
                made[2](EVENT)
        except Exception:
            pass

def attempt(n, baseline=False):
    spec = importlib.util.find_spec(NAME)
    module = importlib.util.module_from_spec(spec)
    sys.modules[NAME] = module
    _testcapi.set_nomemory(n, n + 1)
    try:
        spec.loader.exec_module(module)
        outcome = "ok"
    except BaseException as error:
        outcome = type(error).__name__
        if traceback.extract_tb(error.__traceback__)[-1].name != "_call_with_frames_removed":
            outcome = "in Python code"
    finally:
        _testcapi.remove_mem_hooks()
    if baseline or outcome == "in Python code":
        gc.collect()
        return outcome
    if outcome != "ok":
        del sys.modules[NAME]
        use(module)
        impl = sys.modules.get("qba_probe._impl")
        assert impl is None or impl.library is module
        again = importlib.import_module(NAME)
        assert again is not module and again.spend_cap(5)[1] == "spend_cap<=5"
        use(module)
    use(sys.modules[NAME])
    return outcome

def in_child(n, baseline=False):
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        os.write(write, attempt(n, baseline).encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        outcome = pipe.read()
    return outcome, os.waitpid(pid, 0)[1]

outcomes, excused, clean = [], [], 0
while clean < 40 and len(outcomes) < 5000:
    n = len(outcomes)
    outcome, status = in_child(n)
    if status != 0:
        if in_child(n, baseline=True)[1] == 0:
            raise SystemExit(f"allocation {{n}}: wait status {{status}}")
        excused.append(n)
        outcome = "excused"
    outcomes.append(outcome)
    clean = clean + 1 if outcome == "ok" else 0
print(json.dumps([outcomes, excused]))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_every_failed_allocation_of_exec_leaves_a_working_process(tmp_path):
    pytest.importorskip("_testcapi")
    make_probe(tmp_path, PROBE_IMPL + "from . import library\n")
    py_compile.compile(str(tmp_path / "qba_probe" / "_impl.py"))
    result = run(NOMEMORY.format(root=str(tmp_path)), tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    outcomes, excused = json.loads(result.stdout.splitlines()[-1])
    # Allocations in our own exec code and in the import of _impl both fail.
    assert outcomes.count("MemoryError") > 50
    assert outcomes[-40:] == ["ok"] * 40
    assert len(excused) <= 5, excused


REIMPORT = """
import gc, json, sys
import quindle_brevault_agent.library as library
def reimport():
    del sys.modules[library.__name__]
    assert __import__(library.__name__, fromlist=["_get"]) is library
for _ in range(200):
    reimport()
grown = []
for _ in range(3):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(1000):
        reimport()
    gc.collect()
    grown.append(sys.getallocatedblocks() - before)
print(json.dumps(grown))
"""


def test_reimport_does_not_leak(tmp_path):
    result = run(REIMPORT, tmp_path)
    assert result.returncode == 0, result.stderr
    grown = json.loads(result.stdout)
    assert min(grown) < 20, grown


# ---------------------------------------------------------------- Python's tools

def test_annotations_and_type_params_as_a_plain_function_has_them():
    fn = library.spend_cap(1).fn
    assert typing.get_type_hints(library.spend_cap) == typing.get_type_hints(fn) == {}
    assert fn.__annotations__ is fn.__annotations__ and fn.__type_params__ == ()
    fn.__annotations__["ev"] = dict
    assert typing.get_type_hints(fn) == {"ev": dict}
    del fn.__annotations__
    assert fn.__annotations__ == {}
    fn.__type_params__ = (typing.TypeVar("T"),)
    assert len(fn.__type_params__) == 1
    for attr, value, message in [("__annotations__", [], "must be set to a dict object"),
                                 ("__type_params__", [], "must be set to a tuple")]:
        with pytest.raises(TypeError, match=message):
            setattr(fn, attr, value)
    with pytest.raises(TypeError, match="must be set to a tuple"):
        del fn.__type_params__


EVALUATE = _impl.Policy([]).evaluate


class Name(str):
    """A keyword name equal to a parameter's, in another object."""


@pytest.mark.parametrize("fn, args, kwnames, message", [
    (library.spend_cap, (1, 2), ("limit", "limit"),
     "spend_cap() got multiple values for keyword argument 'limit'"),
    (EVALUATE, ({}, "s", "t"), ("stage", "stage"),
     "evaluate() got multiple values for keyword argument 'stage'"),
    (EVALUATE, ("s", {}, "t"), ("stage", "event", Name("stage")),
     "evaluate() got multiple values for keyword argument 'stage'"),
    (library.cap_charges, (1, "a", "s", "b"), ("field", "stage", "field"),
     "cap_charges() got multiple values for keyword argument 'field'"),
    (library._get, ({}, "a", "b"), ("field", "field"),
     "_get() got multiple values for keyword argument 'field'"),
])
def test_a_repeated_keyword_name_in_a_vectorcall_is_refused(fn, args, kwnames, message):
    vectorcall = pytest.importorskip("_testcapi").pyobject_vectorcall
    with pytest.raises(TypeError) as raised:
        vectorcall(fn, args, kwnames)
    assert str(raised.value) == message


# Keyword names that no Python call can pass, in a child process: before
# they were refused, the engine read one as a string.
NOT_STRINGS = """
from _testcapi import pyobject_vectorcall as vectorcall
from quindle_brevault_agent._impl import Policy
evaluate = Policy([]).evaluate
def message(fn, args, kwnames):
    try:
        vectorcall(fn, args, kwnames)
    except TypeError as error:
        return str(error)
out = [message(library.spend_cap, (1, 2), (1,)),
       message(evaluate, ({}, "s"), (None,)),
       message(evaluate, ({}, "s", "t"), ("stage", b"stage")),
       message(evaluate, ("s", {}), ("stage", 7)),
       message(evaluate, ({}, "s"), (("stage",),))]
"""


def test_keyword_names_that_are_not_strings_are_refused_in_a_vectorcall(tmp_path):
    pytest.importorskip("_testcapi")
    code = PRELUDE.format(root=str(tmp_path)) + NOT_STRINGS + "print(json.dumps(out))\n"
    result = run(code, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == (
        ["spend_cap() keywords must be strings"] + ["evaluate() keywords must be strings"] * 4)


CLOSURE_FACTORIES = {
    "spend_cap": lambda m: m.spend_cap(10).fn,
    "flag_over": lambda m: m.flag_over(2.5, field="total").fn,
    "deny_list": lambda m: m.deny_list("f", [1, 2]).fn,
    "allow_list": lambda m: m.allow_list("f", [1], verdict="FLAG").fn,
    "require_fields": lambda m: m.require_fields("a", "b").fn,
    "scope_fence": lambda m: m.scope_fence(["a/"]).fn,
    "on_charge": lambda m: m.on_charge(action_type="refund").where,
    "on_write": lambda m: m.on_write(method="PUT").where,
}


@pytest.mark.parametrize("factory", CLOSURE_FACTORIES)
def test_closure_holds_what_a_python_lambda_would(factory):
    fn = CLOSURE_FACTORIES[factory](library)
    twin = CLOSURE_FACTORIES[factory](model)
    cells = fn.__closure__
    assert all(type(cell) is types.CellType for cell in cells)
    assert [c.cell_contents for c in cells] == [c.cell_contents for c in twin.__closure__]
    assert cells[0] is not fn.__closure__[0]
    event = {"f": 1, "a": 1, "b": None, "amount": 50, "scope": "b/", "method": "PUT"}
    verdict = fn(event)
    for cell in cells:
        cell.cell_contents = None
    assert fn(event) == verdict == twin(event)
    with pytest.raises(AttributeError):
        fn.__closure__ = None
    assert getattr(library, factory).__closure__ is None


# ---------------------------------------------------------------- pinned details

@pytest.mark.parametrize("prefix, value, verdict", [
    ("€a", "€b", "BLOCK"),
    ("€a", "€a/x", "ALLOW"),
    ("x\u0141", "x\u0241", "BLOCK"),  # the same low byte, another high byte
    ("x\u0241", "x\u0241y", "ALLOW"),
    ("\U0001F600x", "\U0001F600y", "BLOCK"),
    ("\U0001F600", "\U0002F600", "BLOCK"),  # differs in the third byte only
    ("\U0001F600", "\U0001F600!", "ALLOW"),
    ("ab", "ab€", "ALLOW"),  # a narrower prefix than the value
    ("é", "é\U0001F600", "ALLOW"),
    ("e", "é", "BLOCK"),
    ("€", "abc", "BLOCK"),  # a wider prefix than the value
    ("a€", "a", "BLOCK"),
])
def test_scope_fence_compares_every_byte_of_every_width(lib, prefix, value, verdict):
    fence = lib.scope_fence(["zz", prefix])
    assert fence.fn({"scope": value}) == verdict


def test_require_fields_turns_stop_iteration_into_runtime_error_every_time(monkeypatch):
    stop = StopIteration("done")

    def get(event, field):
        raise stop

    monkeypatch.setattr(library, "_get", get)
    fn = library.require_fields("a", "b").fn
    gc.collect()
    before = sys.getrefcount(stop)
    for _ in range(1000):
        with pytest.raises(RuntimeError, match="generator raised StopIteration") as raised:
            fn({})
        assert raised.value.__cause__ is stop and raised.value.__context__ is stop
    del raised
    stop.__traceback__ = None
    gc.collect()
    assert sys.getrefcount(stop) == before


@pytest.mark.parametrize("limit", [Decimal(100), 10**12, True], ids=repr)
@pytest.mark.parametrize("make_value", [lambda: 0.0, list, lambda: Decimal(0)],
                         ids=["0.0", "[]", "Decimal(0)"])
def test_a_false_value_counted_as_zero_is_released(limit, make_value):
    value = make_value()
    event = {"amount": value}
    rule = library.spend_cap(limit)
    before = sys.getrefcount(value)
    verdicts = {rule.fn(event) for _ in range(1000)}
    assert verdicts == {"ALLOW"}
    assert sys.getrefcount(value) == before


class Answers:
    """An operand of == that answers with its own name, or defers."""

    def __init__(self, name, defer=False):
        self.name, self.defer = name, defer

    def __eq__(self, other):
        return NotImplemented if self.defer else self.name

    __hash__ = None


@pytest.mark.parametrize("trigger, field", [("on_charge", "action_type"),
                                            ("on_write", "method")])
def test_trigger_predicate_puts_the_event_value_on_the_left(lib, trigger, field):
    kwarg = "action_type" if trigger == "on_charge" else "method"
    where = getattr(lib, trigger)(**{kwarg: Answers("captured")}).where
    assert where({field: Answers("event")}) == "event"
    assert where({field: Answers("event", defer=True)}) == "captured"
