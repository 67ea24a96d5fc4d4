"""A policy on a function: ``guard(policy)`` decides before every call (the module is
not named guard, so that importing it cannot hide the package's ``guard`` function).

    @guard(policy, stage="spend_decision", action_type="charge")
    def pay(amount, currency, payee): ...

Each call's arguments are bound to the function's signature and become the
event ``{"stage": stage, "action_type": action_type or the function's name,
"kwargs": {name: value, ...}}``; ``policy.evaluate(event, stage=stage)``
decides before the function runs. A decision that blocks raises
`PolicyViolation` and the function is not called; a FLAG lets the call
through; an error raised while deciding (or while recording the decision)
propagates and the function is not called either.
"""

from __future__ import annotations

import functools
import inspect
from typing import TYPE_CHECKING, Any, Callable, TypeVar

if TYPE_CHECKING:
    from .._impl import Decision

__all__ = ["guard", "PolicyViolation", "describe_hits", "describe_error"]

F = TypeVar("F", bound=Callable[..., Any])

EventBuilder = Callable[[str, dict[str, Any]], Any]


def describe_hits(decision: Decision) -> str:
    """Each hit of `decision` as ``behaviour (rule): verdict``, as the replay table shows them."""
    hits = getattr(decision, "hits", ())
    if not hits:
        return f"verdict {decision.verdict}"
    return ", ".join(f"{hit[0]} ({hit[1]}): {hit[2]}" for hit in hits)


def describe_error(error: BaseException) -> str:
    """``Type: message``, followed by the note that names the behaviour being
    evaluated when the error has one."""
    reason = f"{type(error).__name__}: {error}"
    notes = getattr(error, "__notes__", None)
    if isinstance(notes, list) and notes:
        reason += f" ({notes[-1]})"
    return reason


class PolicyViolation(PermissionError):
    """A policy blocked an action: `.decision` says why, `.event` is what was decided on."""

    decision: Decision
    event: Any

    def __init__(self, decision: Decision, event: Any) -> None:
        super().__init__(f"blocked by policy: {describe_hits(decision)}")
        self.decision = decision
        self.event = event

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.decision, self.event)


# ---------------------------------------------------------------- binding


def _binder(fn: Callable[..., Any]) -> Callable[..., dict[str, Any]]:
    """A function that takes `fn`'s arguments and returns them as a dict.

    For a Python function this is a twin compiled from its parameter list,
    with its defaults and its name, so that a missing or unexpected argument
    fails with `fn`'s own message and binding costs one plain call. Anything
    else is bound with `inspect.Signature.bind`.
    """
    code = getattr(fn, "__code__", None)
    if inspect.isfunction(fn) and code is not None:
        try:
            return _compiled_binder(fn, code)
        except (SyntaxError, ValueError, TypeError):
            pass  # an odd code object: take the general path
    signature = inspect.signature(fn)
    skip = _instance_parameter(list(signature.parameters.values()))

    def bind(*args: Any, **kwargs: Any) -> dict[str, Any]:
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        named: dict[str, Any] = {}
        extra: dict[str, Any] = {}
        for name, value in bound.arguments.items():
            kind = signature.parameters[name].kind
            if name == skip:
                continue
            if kind is inspect.Parameter.VAR_POSITIONAL:
                named[name] = list(value)
            elif kind is inspect.Parameter.VAR_KEYWORD:
                extra = value
            else:
                named[name] = value
        for name, value in extra.items():
            named.setdefault(name, value)
        return named

    return bind


def _instance_parameter(parameters: list[inspect.Parameter]) -> str | None:
    """The name of a method's ``self`` or ``cls``, when the first parameter is one."""
    if parameters and parameters[0].name in ("self", "cls") and parameters[0].kind in (
        inspect.Parameter.POSITIONAL_ONLY,
        inspect.Parameter.POSITIONAL_OR_KEYWORD,
    ):
        return parameters[0].name
    return None


_CO_VARARGS = inspect.CO_VARARGS
_CO_VARKEYWORDS = inspect.CO_VARKEYWORDS


def _compiled_binder(fn: Any, code: Any) -> Callable[..., dict[str, Any]]:
    names = code.co_varnames
    positional = code.co_argcount
    posonly = code.co_posonlyargcount
    kwonly = code.co_kwonlyargcount
    at = positional + kwonly
    varargs = names[at] if code.co_flags & _CO_VARARGS else None
    if varargs is not None:
        at += 1
    varkw = names[at] if code.co_flags & _CO_VARKEYWORDS else None

    params: list[str] = []
    for index, name in enumerate(names[:positional]):
        params.append(name)
        if index + 1 == posonly:
            params.append("/")
    if varargs is not None:
        params.append("*" + varargs)
    elif kwonly:
        params.append("*")
    params.extend(names[positional : positional + kwonly])
    if varkw is not None:
        params.append("**" + varkw)

    ordered = list(names[:positional])
    skip = ordered[0] if ordered and ordered[0] in ("self", "cls") else None
    items = [f"{name!r}: {name}" for name in ordered if name != skip]
    if varargs is not None:
        items.append(f"{varargs!r}: [*{varargs}]")
    items.extend(f"{name!r}: {name}" for name in names[positional : positional + kwonly])
    if varkw is not None:
        # Only a positional-only name or the *args name can also arrive
        # under **kwargs; the named parameter keeps its place.
        taken = tuple(n for n in (*ordered[:posonly], varargs) if n is not None and n != skip)
        if taken:
            items.append(f"**{{k: v for k, v in {varkw}.items() if k not in {taken!r}}}")
        else:
            items.append(f"**{varkw}")
    source = f"def binder({', '.join(params)}):\n    return {{{', '.join(items)}}}\n"
    namespace: dict[str, Any] = {}
    exec(compile(source, "<guard>", "exec"), {"__builtins__": {}}, namespace)
    binder = namespace["binder"]
    binder.__defaults__ = fn.__defaults__
    binder.__kwdefaults__ = fn.__kwdefaults__
    # A call error names the function by its qualified name.
    binder.__name__ = fn.__name__
    binder.__qualname__ = fn.__qualname__
    return binder  # type: ignore[no-any-return]


# ---------------------------------------------------------------- the decorator


def guard(
    policy: Any,
    *,
    stage: Any = "execution",
    action_type: Any = None,
    event: EventBuilder | None = None,
    log: Any = None,
) -> Callable[[F], F]:
    """A decorator that puts `policy` in front of a function, method or coroutine function.

    On each call the arguments are bound to the function's signature
    (defaults applied; a ``**kwargs`` parameter merged in, where a named
    parameter wins over a key of the same name; a ``*args`` parameter kept
    under its name as a list; a first parameter named ``self`` or ``cls``
    left out) and the event
    ``{"stage": stage, "action_type": action_type or fn.__name__, "kwargs": bound}``
    is evaluated with ``policy.evaluate(event, stage=stage)``. `event`, when
    given, builds the event instead: ``event(fn.__name__, bound)``.

    A blocking decision raises `PolicyViolation`; an error from the policy,
    the event builder or `log` propagates. Either way the function is not
    called. `log`, a `DecisionLog`, records every decision before the call.
    Arguments the function would reject raise its own TypeError before any
    evaluation. A coroutine function's arguments are bound when it is called
    and the decision is made when the coroutine runs, just before its body.
    """
    if not callable(getattr(policy, "evaluate", None)):
        raise TypeError(f"guard() needs a Policy, not {type(policy).__name__}")
    if event is not None and not callable(event):
        raise TypeError(f"event must be a callable or None, not {type(event).__name__}")

    def decorate(fn: F) -> F:
        if isinstance(fn, (classmethod, staticmethod)):
            return type(fn)(decorate(fn.__func__))
        if not callable(fn):
            raise TypeError(f"guard() decorates a callable, not {type(fn).__name__}")
        name = getattr(fn, "__name__", type(fn).__name__)
        kind = action_type or name
        bind = _binder(fn)
        evaluate = policy.evaluate

        def decide(bound: dict[str, Any]) -> None:
            made = (
                event(name, bound)
                if event is not None
                else {"stage": stage, "action_type": kind, "kwargs": bound}
            )
            decision = evaluate(made, stage=stage)
            if log is not None:
                log.record(made, stage, decision)
            if decision.blocked:
                raise PolicyViolation(decision, made)

        if inspect.iscoroutinefunction(fn):

            @functools.wraps(fn)
            def call_async(*args: Any, **kwargs: Any) -> Any:
                bound = bind(*args, **kwargs)  # a bad call fails here, as fn's would

                async def run() -> Any:
                    decide(bound)
                    return await fn(*args, **kwargs)

                return run()

            return inspect.markcoroutinefunction(call_async)  # type: ignore[return-value]

        @functools.wraps(fn)
        def call(*args: Any, **kwargs: Any) -> Any:
            decide(bind(*args, **kwargs))
            return fn(*args, **kwargs)

        return call  # type: ignore[return-value]

    return decorate
