"""A policy on a function: ``guard(policy)`` decides before every call (the module is
not named guard, so that importing it cannot hide the package's ``guard`` function).

    @guard(policy, stage="spend_decision", action_type="charge")
    def pay(amount, currency, payee): ...

Each call's arguments are bound as the call binds them (through the
decorators that set ``__wrapped__`` or ``__signature__``, with what a
`functools.partial` or a bound method holds, and with the defaults the
function has at the time of the call) and become the event ``{"stage":
stage, "action_type": action_type or the function's name, "kwargs": {name:
value, ...}}`` (with ``"method": method`` when `method` is given);
``policy.evaluate(event, stage=stage)`` decides before the function runs. A
decision that blocks raises `PolicyViolation` and the function is not
called; a FLAG lets the call through; an error raised while deciding is
recorded in the log as a decision that could not be made, and propagates
(as does one raised while recording), and the function is not called
either. A guard that no behaviour of the policy can apply to (`Policy.applicable`)
is refused with ValueError when it decorates.
"""

from __future__ import annotations

import functools
import inspect
import logging
import threading
import types
from typing import TYPE_CHECKING, Any, Callable, Protocol, Sequence, TypeVar

from .approval import ACCEPTED, DECLINED, NOT_POSSIBLE, admit, answered, question

if TYPE_CHECKING:
    from .._impl import Decision, Policy

__all__ = [
    "guard", "PolicyViolation", "Recorder", "describe_hits", "describe_refusal", "describe_error",
    "describe_triggers",
]

F = TypeVar("F", bound=Callable[..., Any])

EventBuilder = Callable[[str, dict[str, Any]], Any]
# Asked about a decision that needs approval, with the event: True lets the call through.
Approver = Callable[[Any, Any], Any]

_logger = logging.getLogger("quindle_brevault_agent")

# False guards every function by the Python call path: the reference, which
# the tests run beside the native one (`_native_call`).
NATIVE = True


class Recorder(Protocol):
    """Where a guard records its decisions: a `DecisionLog`, or anything that records as one does."""

    def record(self, event: Any, stage: Any, decision: Decision, *, approval: Any = None) -> Any: ...
    def record_error(self, event: Any, stage: Any, error: Any) -> Any: ...


def describe_hits(decision: Decision, details: Sequence[str | None] = ()) -> str:
    """Each hit of `decision` as ``behaviour (rule): verdict``, as the replay
    table shows them, followed by `` (detail)`` where `details` (one per hit)
    says what its rule read: ``cap_500 (spend_cap<=500): BLOCK (amount=900)``."""
    hits = getattr(decision, "hits", ())
    if not hits:
        return f"verdict {decision.verdict}"
    parts = []
    for at, hit in enumerate(hits):
        text = f"{hit[0]} ({hit[1]}): {hit[2]}"
        detail = details[at] if at < len(details) else None
        parts.append(text if detail is None else f"{text} ({detail})")
    return ", ".join(parts)


def describe_refusal(decision: Decision, event: Any, policy: Any) -> str:
    """`describe_hits` with what the rule of each hit read in `event`, for
    the library's rules of `policy` that can be read (`hit_details`)."""
    from .._impl import hit_details

    try:
        details = hit_details(getattr(policy, "behaviours", ()), decision.hits, event)
    except Exception:  # a policy of the caller's own that cannot be read
        details = []
    return describe_hits(decision, details)


def describe_error(error: BaseException) -> str:
    """``Type: message``, followed by the note that names the behaviour being
    evaluated when the error has one."""
    reason = f"{type(error).__name__}: {error}"
    notes = getattr(error, "__notes__", None)
    if isinstance(notes, list) and notes:
        reason += f" ({notes[-1]})"
    return reason


class PolicyViolation(PermissionError):
    """A policy blocked an action: `.decision` says why, `.event` is what was decided on.

    The message names each hit; given the `policy` that decided, it also
    says what the library's rules read in the event (``blocked by policy:
    cap_500 (spend_cap<=500): BLOCK (amount=900)``). Given `not_approved`,
    why a decision that asked was not approved, it says that instead:
    ``not approved (declined): ask_500 (ask_over>500): ASK (amount=900)``.
    """

    decision: Decision
    event: Any

    def __init__(
        self, decision: Decision, event: Any, *, policy: Policy | None = None, not_approved: str | None = None
    ) -> None:
        reason = describe_hits(decision) if policy is None else describe_refusal(decision, event, policy)
        if not_approved is None:
            super().__init__(f"blocked by policy: {reason}")
        else:
            super().__init__(f"not approved ({not_approved}): {reason}")
        self.decision = decision
        self.event = event

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.decision, self.event), {"args": self.args}


# ---------------------------------------------------------------- binding

# A call of the guarded function is bound as the call itself binds: through
# the decorators that say what they wrap (``__wrapped__``, as
# `inspect.signature` follows it), into the function a `functools.partial`
# or a bound method calls, with the arguments those hold. A plain Python
# function at the end is bound by a twin compiled from its parameter list,
# whose defaults are the function's own as they are at the time of the call.


class _Held:
    """What the layers around a function add to each call: positional
    arguments put first, keywords put under the call's own, and the positions
    of the instances that bound methods put first (their parameter is left
    out of the event, as ``self`` is)."""

    __slots__ = ("args", "keywords", "receivers")

    def __init__(self) -> None:
        self.args: tuple[Any, ...] = ()
        self.keywords: dict[str, Any] = {}
        self.receivers: frozenset[int] = frozenset()

    def put_first(self, args: tuple[Any, ...], keywords: dict[str, Any]) -> None:
        self.args = (*args, *self.args)
        self.keywords = {**keywords, **self.keywords}
        self.receivers = frozenset(at + len(args) for at in self.receivers)

    def __bool__(self) -> bool:
        return bool(self.args or self.keywords)


def _stops_unwrapping(fn: Any) -> bool:
    # Where inspect.signature stops following __wrapped__.
    return hasattr(fn, "__signature__") or isinstance(fn, types.MethodType)


def _is_plain_partial(fn: Any) -> bool:
    """A `functools.partial` whose call is partial's own and that
    inspect.signature reads as a partial (not as a partialmethod's)."""
    return (
        isinstance(fn, functools.partial)
        and type(fn).__call__ is _PARTIAL_CALL
        and not hasattr(fn, "__partialmethod__")
    )


_PARTIAL_CALL = functools.partial.__call__


def _callee(fn: Any) -> tuple[Any, _Held]:
    """The callable that a call of `fn` comes down to, and what the layers
    around it hold: ``fn(*a, **k)`` is ``callee(*held.args, *a,
    **{**held.keywords, **k})``."""
    held = _Held()
    seen: set[int] = set()
    while True:
        if id(fn) in seen:
            raise ValueError(f"guard() cannot bind the arguments of {fn!r}: its wrappers go round in a loop")
        seen.add(id(fn))
        if isinstance(fn, types.MethodType):
            held.put_first((fn.__self__,), {})
            held.receivers |= {0}
            fn = fn.__func__
            continue
        fn = inspect.unwrap(fn, stop=_stops_unwrapping)
        if isinstance(fn, types.MethodType):
            continue
        if getattr(fn, "__signature__", None) is None and _is_plain_partial(fn):
            held.put_first(fn.args, fn.keywords)
            fn = fn.func
            continue
        return fn, held


def _is_plain_function(fn: Any) -> bool:
    """A Python function that inspect.signature reads from its code and defaults alone."""
    return (
        isinstance(fn, types.FunctionType)
        and not hasattr(fn, "__signature__")
        and not hasattr(fn, "__wrapped__")
        and not hasattr(fn, "__partialmethod__")
    )


def _binder(fn: Callable[..., Any]) -> tuple[Callable[..., dict[str, Any]], Any]:
    """``(bind, twin_of)``: `bind` takes `fn`'s arguments and returns them by name.

    When a call of `fn` comes down to a plain Python function, it is bound by
    a twin compiled from that function's parameter list, so that a missing or
    unexpected argument fails with the function's own message and binding
    costs one plain call. When `fn` passes its arguments on as they come,
    `bind` is the twin itself and `twin_of` that function, whose defaults the
    caller copies onto the twin whenever they change (`_refresh`); otherwise
    `bind` does so itself and `twin_of` is None. Anything else is bound with
    its `inspect.Signature`.
    """
    callee, held = _callee(fn)
    if _is_plain_function(callee):
        try:
            twin = _compiled_binder(callee, callee.__code__, held.receivers)
        except (SyntaxError, ValueError, TypeError):
            pass  # an odd code object: take the general path
        else:
            _refresh(twin, callee)
            if not held:
                return twin, callee
            return _holding(twin, callee, held), None
    return _signature_binder(callee, held), None


def _refresh(twin: Any, fn: Any) -> tuple[Any, Any]:
    """Gives `twin` the defaults that `fn` has now, and returns them."""
    defaults, kwdefaults = fn.__defaults__, fn.__kwdefaults__
    twin.__defaults__ = defaults
    twin.__kwdefaults__ = kwdefaults
    return defaults, kwdefaults


def _stale(twin: Any, fn: Any) -> bool:
    """Whether `fn` was given other defaults since `twin` copied them."""
    return fn.__defaults__ is not twin.__defaults__ or fn.__kwdefaults__ is not twin.__kwdefaults__


def _holding(twin: Any, fn: Any, held: _Held) -> Callable[..., dict[str, Any]]:
    first, keywords = held.args, held.keywords

    def bind(*args: Any, **kwargs: Any) -> dict[str, Any]:
        if _stale(twin, fn):
            _refresh(twin, fn)
        return twin(*first, *args, **({**keywords, **kwargs} if keywords else kwargs))  # type: ignore[no-any-return]

    return bind


def _signature_binder(fn: Any, held: _Held) -> Callable[..., dict[str, Any]]:
    signature = inspect.signature(fn)
    parameters = list(signature.parameters.values())
    skip = {_instance_parameter(parameters)}
    positional = [p.name for p in parameters if p.kind in _POSITIONAL]
    skip.update(positional[at] for at in held.receivers if at < len(positional))
    first, keywords = held.args, held.keywords

    def bind(*args: Any, **kwargs: Any) -> dict[str, Any]:
        bound = signature.bind(*first, *args, **({**keywords, **kwargs} if keywords else kwargs))
        bound.apply_defaults()
        named: dict[str, Any] = {}
        extra: dict[str, Any] = {}
        for name, value in bound.arguments.items():
            kind = signature.parameters[name].kind
            if name in skip:
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


_POSITIONAL = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)


def _instance_parameter(parameters: list[inspect.Parameter]) -> str | None:
    """The name of a method's ``self`` or ``cls``, when the first parameter is one."""
    if parameters and parameters[0].name in ("self", "cls") and parameters[0].kind in _POSITIONAL:
        return parameters[0].name
    return None


_CO_VARARGS = inspect.CO_VARARGS
_CO_VARKEYWORDS = inspect.CO_VARKEYWORDS


def _compiled_binder(fn: Any, code: Any, receivers: frozenset[int] = frozenset()) -> Callable[..., dict[str, Any]]:
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
    skip = {ordered[at] for at in receivers if at < positional}
    if ordered and ordered[0] in ("self", "cls"):
        skip.add(ordered[0])
    items = [f"{name!r}: {name}" for name in ordered if name not in skip]
    if varargs is not None:
        items.append(f"{varargs!r}: [*{varargs}]")
    items.extend(f"{name!r}: {name}" for name in names[positional : positional + kwonly])
    if varkw is not None:
        # Only a positional-only name or the *args name can also arrive
        # under **kwargs; the named parameter keeps its place.
        taken = tuple(n for n in (*ordered[:posonly], varargs) if n is not None and n not in skip)
        if taken:
            items.append(f"**{{k: v for k, v in {varkw}.items() if k not in {taken!r}}}")
        else:
            items.append(f"**{varkw}")
    source = f"def binder({', '.join(params)}):\n    return {{{', '.join(items)}}}\n"
    namespace: dict[str, Any] = {}
    exec(compile(source, "<guard>", "exec"), {"__builtins__": {}}, namespace)
    binder = namespace["binder"]
    # A call error names the function by its qualified name.
    binder.__name__ = fn.__name__
    binder.__qualname__ = fn.__qualname__
    return binder  # type: ignore[no-any-return]


# ---------------------------------------------------------------- reach


def _shown(value: Any) -> str:
    try:
        return repr(value)
    except Exception:
        return f"<{type(value).__name__}>"


def _named(value: Any) -> str:
    try:
        return str(value)
    except Exception:
        return f"<{type(value).__name__}>"


def _reason(error: BaseException) -> str:
    try:
        return describe_error(error)
    except Exception:  # an error whose message cannot be made is still named
        return type(error).__name__


def describe_triggers(behaviours: Any) -> str:
    """What each behaviour waits for, briefly: ``NAME (stage 'S', action_type 'T')``,
    ``NAME (stage 'S', method 'M')``, ``NAME (stage 'S')`` for a trigger without
    a predicate, comma-separated; "no behaviours" when there are none."""
    from .._impl import condition_of

    parts = []
    for item in behaviours:
        said = [f"stage {_shown(item.on.stage)}"]
        condition = condition_of(item.on.where)
        if isinstance(condition, tuple):
            said.append(f"{condition[0]} {_shown(condition[1])}")
        elif condition is not None:
            said.append("a predicate of its own")
        parts.append(f"{_named(item.name)} ({', '.join(said)})")
    return ", ".join(parts) if parts else "no behaviours"


def _unreachable(policy: Any, stage: Any, action_type: Any, method: Any) -> str | None:
    """Why no behaviour of `policy` can apply to the events described, or None when one can."""
    applicable = getattr(policy, "applicable", None)
    if applicable is None or applicable(stage, action_type=action_type, method=method):
        return None
    fields = [f"stage {_shown(stage)}", f"action_type {_shown(action_type)}"]
    if method is not None:
        fields.append(f"method {_shown(method)}")
    events = ", ".join(fields[:-1]) + " and " + fields[-1]
    behaviours = getattr(policy, "behaviours", ())
    if not behaviours:
        return f"their events have {events}, and the policy has no behaviours"
    return f"their events have {events}; the policy's behaviours wait for {describe_triggers(behaviours)}"


# ---------------------------------------------------------------- the decorator


def _refund(policy: Any, decision: Any, error: BaseException) -> None:
    """Gives back what `decision` admitted, since the call it allowed raised
    `error`; a refund that fails is noted on `error`."""
    try:
        policy.refund(decision)
    except Exception as failed:
        error.add_note(f"and the refund of its decision failed: {describe_error(failed)}")


def guard(
    policy: Policy,
    *,
    stage: str | None = "execution",
    action_type: str | None = None,
    method: str | None = None,
    event: EventBuilder | None = None,
    log: Recorder | None = None,
    refund_on_error: bool = False,
    approve: Approver | None = None,
) -> Callable[[F], F]:
    """A decorator that puts `policy` in front of a function, method or coroutine function.

    On each call the arguments are bound as the call binds them (defaults
    applied, as they are at the time of the call; through the decorators
    that set ``__wrapped__`` or ``__signature__``, and with the arguments
    that a `functools.partial` holds; a ``**kwargs`` parameter merged in,
    where a named parameter wins over a key of the same name; a ``*args``
    parameter kept under its name as a list; a first parameter named
    ``self`` or ``cls``, or bound to a method's instance, left out) and the
    event ``{"stage": stage, "action_type": action_type or fn.__name__,
    "kwargs": bound}`` is evaluated with ``policy.evaluate(event,
    stage=stage)``. `method`, when given, is put in the event as its
    "method", for the triggers that wait for one (`on_write`). `event`, when
    given, builds the event instead: ``event(fn.__name__, bound)``.

    Without `event`, a function that no behaviour of the policy can apply to
    (none at `stage`, or each waiting for another action_type or method, as
    `Policy.applicable` tells) is refused with ValueError when decorated.

    A blocking decision raises `PolicyViolation`. An error raised by the
    policy while deciding is recorded in `log` (verdict "ERROR") and then
    propagates; one from the event builder or from `log` propagates. Either
    way the function is not called. `log`, a `DecisionLog`, records every
    decision before the call. Arguments the function would reject raise a
    TypeError before any evaluation. A coroutine function's arguments are
    bound when it is called and the decision is made when the coroutine runs,
    just before its body.

    A decision that needs approval (verdict "ASK") is put to `approve`, as
    ``approve(decision, event)``; the call goes on only when it returns True
    (awaited first when it returns an awaitable, for a coroutine function).
    No `approve`, any other answer, or an exception from it refuses the call
    with `PolicyViolation` (``not approved (...)``). The log records the
    question and the answer; what the policy takes for the call (its
    limits) is admitted only after the approval (`approval.admit`), and a
    limit that no longer fits then refuses the call with `PolicyViolation`.

    Each refused call (with what its rules read: `PolicyViolation`) and each
    error while deciding is logged at INFO on the logger
    "quindle_brevault_agent"; both also reach the caller as an exception.

    With `refund_on_error`, a call whose function raises gives back what its
    decision admitted to the policy's limits (``policy.refund(decision)``)
    before the exception goes on; a refund that fails is noted on it.
    """
    if not callable(getattr(policy, "evaluate", None)):
        raise TypeError(f"guard() needs a Policy, not {type(policy).__name__}")
    if event is not None and not callable(event):
        raise TypeError(f"event must be a callable or None, not {type(event).__name__}")
    if refund_on_error and not callable(getattr(policy, "refund", None)):
        raise TypeError(f"refund_on_error needs a policy with refund(), not {type(policy).__name__}")
    if approve is not None and not callable(approve):
        raise TypeError(f"approve must be a callable or None, not {type(approve).__name__}")

    def decorate(fn: F) -> F:
        if isinstance(fn, (classmethod, staticmethod)):
            return type(fn)(decorate(fn.__func__))
        if not callable(fn):
            raise TypeError(f"guard() decorates a callable, not {type(fn).__name__}")
        name = getattr(fn, "__name__", type(fn).__name__)
        if inspect.iscoroutinefunction(approve) and not inspect.iscoroutinefunction(fn):
            raise TypeError(
                f"guard(): the approve callback is a coroutine function, which a call of {_named(name)} "
                "cannot wait for: guard an async def with it, or give a plain function"
            )
        kind = action_type or name
        if event is None:
            why = _unreachable(policy, stage, kind, method)
            if why is not None:
                raise ValueError(f"guard(): no behaviour of the policy can apply to calls of {_named(name)}: {why}")
        bind, twin_of = _binder(fn)
        evaluate = policy.evaluate

        def decide(bound: dict[str, Any]) -> Any:
            """The event and the decision on it, once made; one that lets
            the call through is recorded, one that refuses is recorded and
            raised, and one that needs approval goes to `settle`."""
            if event is not None:
                made = event(name, bound)
            elif method is None:
                made = {"stage": stage, "action_type": kind, "kwargs": bound}
            else:
                made = {"stage": stage, "action_type": kind, "method": method, "kwargs": bound}
            try:
                decision = evaluate(made, stage=stage)
            except Exception as exc:
                undecided(made, exc)
                raise
            return made, passed(made, decision)

        def undecided(made: Any, exc: Exception) -> None:
            """Logs and records that the policy raised while deciding on `made`."""
            if _logger.isEnabledFor(logging.INFO):
                _logger.info("could not decide on a call of %s: %s", _named(name), _reason(exc))
            if log is not None:
                log.record_error(made, stage, exc)

        def passed(made: Any, decision: Any) -> Any:
            """A decision that lets the call through is recorded and returned,
            one that refuses is recorded and raised; one that needs approval
            is returned as it is, for `settle`."""
            if decision.needs_approval:
                return decision
            if log is not None:
                log.record(made, stage, decision)
            if decision.blocked:
                refusal = PolicyViolation(decision, made, policy=policy)
                _logger.info("refused a call of %s: %s", _named(name), refusal)
                raise refusal
            return decision

        def decided(made: Any, decision: Any) -> Any:
            """`passed`, and `settle` for a decision that asks: the decision
            the call goes on with (the native call path's way back here)."""
            decision = passed(made, decision)
            if decision.needs_approval:
                decision = settle(made, decision)
            return decision

        def conclude(made: Any, decision: Any, answer: str, reason: str | None = None, cause: Any = None) -> Any:
            """Records the answer to a decision that asked; returns the
            decision the call goes on with, else raises."""
            asked = question(f"a call of {_named(name)}", describe_refusal(decision, made, policy))
            if answer == ACCEPTED:
                try:
                    decision = admit(policy, made, stage, decision)
                except Exception as exc:
                    if _logger.isEnabledFor(logging.INFO):
                        _logger.info("could not decide on a call of %s: %s", _named(name), _reason(exc))
                    if log is not None:
                        log.record_error(made, stage, exc)
                    raise
                if log is not None:
                    log.record(made, stage, decision, approval=answered(asked, ACCEPTED))
                if not decision.blocked:
                    return decision
                refusal = PolicyViolation(decision, made, policy=policy)
            else:
                if log is not None:
                    log.record(made, stage, decision, approval=answered(asked, answer, reason=reason))
                refusal = PolicyViolation(decision, made, policy=policy, not_approved=reason or answer)
            _logger.info("refused a call of %s: %s", _named(name), refusal)
            raise refusal from cause

        def settle(made: Any, decision: Any) -> Any:
            if approve is None:
                return conclude(made, decision, NOT_POSSIBLE, "no approve callback")
            try:
                said = approve(decision, made)
            except Exception as exc:
                return conclude(made, decision, NOT_POSSIBLE, f"the approve callback raised {_reason(exc)}", exc)
            if inspect.isawaitable(said):
                getattr(said, "close", lambda: None)()  # never awaited: no warning that it was not
                return conclude(made, decision, NOT_POSSIBLE, f"the approve callback is async, and {_named(name)} is not")
            return conclude(made, decision, ACCEPTED if said is True else DECLINED)

        async def settle_async(made: Any, decision: Any) -> Any:
            if approve is None:
                return conclude(made, decision, NOT_POSSIBLE, "no approve callback")
            try:
                said = approve(decision, made)
                if inspect.isawaitable(said):
                    said = await said
            except Exception as exc:
                return conclude(made, decision, NOT_POSSIBLE, f"the approve callback raised {_reason(exc)}", exc)
            return conclude(made, decision, ACCEPTED if said is True else DECLINED)

        if twin_of is not None:
            # The twin binds with copies of the function's defaults, taken
            # again whenever the function has been given others; the ones
            # last taken are kept here, where a call reads them fastest.
            defaults, kwdefaults = bind.__defaults__, bind.__kwdefaults__
            kwonly = bool(twin_of.__code__.co_kwonlyargcount)
            taking = threading.Lock()

            def retake() -> None:
                nonlocal defaults, kwdefaults
                with taking:
                    defaults, kwdefaults = _refresh(bind, twin_of)

        if inspect.iscoroutinefunction(fn):

            @functools.wraps(fn)
            def call_async(*args: Any, **kwargs: Any) -> Any:
                if twin_of is not None and (
                    twin_of.__defaults__ is not defaults or twin_of.__kwdefaults__ is not kwdefaults
                ):
                    retake()
                bound = bind(*args, **kwargs)  # a bad call fails here, as fn's would

                async def run() -> Any:
                    made, decision = decide(bound)
                    if decision.needs_approval:
                        decision = await settle_async(made, decision)
                    if not refund_on_error:
                        return await fn(*args, **kwargs)
                    try:
                        return await fn(*args, **kwargs)
                    except BaseException as exc:
                        _refund(policy, decision, exc)
                        raise

                return run()

            return inspect.markcoroutinefunction(call_async)  # type: ignore[return-value]

        if twin_of is None:

            @functools.wraps(fn)
            def call(*args: Any, **kwargs: Any) -> Any:
                made, decision = decide(bind(*args, **kwargs))
                if decision.needs_approval:
                    decision = settle(made, decision)
                if not refund_on_error:
                    return fn(*args, **kwargs)
                try:
                    return fn(*args, **kwargs)
                except BaseException as exc:
                    _refund(policy, decision, exc)
                    raise

            return call  # type: ignore[return-value]

        @functools.wraps(fn)
        def call_twin(*args: Any, **kwargs: Any) -> Any:
            # Keyword-only defaults only count where there are keyword-only parameters.
            if twin_of.__defaults__ is not defaults or (kwonly and twin_of.__kwdefaults__ is not kwdefaults):
                retake()
            made, decision = decide(bind(*args, **kwargs))
            if decision.needs_approval:
                decision = settle(made, decision)
            if not refund_on_error:
                return fn(*args, **kwargs)
            try:
                return fn(*args, **kwargs)
            except BaseException as exc:
                _refund(policy, decision, exc)
                raise

        if event is not None or refund_on_error or not NATIVE:
            return call_twin  # type: ignore[return-value]
        fast = _native_call(fn, twin_of, policy, evaluate, stage, kind, method, log, call_twin, decided, undecided)
        return call_twin if fast is None else fast  # type: ignore[return-value]

    return decorate


def _plain_parameters(fn: Any) -> tuple[str, ...] | None:
    """The names of `fn`'s parameters when each is positional or keyword
    (none of them *args, **kwargs, keyword-only or positional-only, and the
    first not a method's ``self`` or ``cls``), else None."""
    code = fn.__code__
    if code.co_flags & (_CO_VARARGS | _CO_VARKEYWORDS) or code.co_kwonlyargcount or code.co_posonlyargcount:
        return None
    names: tuple[str, ...] = code.co_varnames[: code.co_argcount]
    if names and names[0] in ("self", "cls") or len(names) > _NATIVE_PARAMETERS:
        return None
    return names


_NATIVE_PARAMETERS = 16  # the most a native call binds


def _native_call(
    fn: Any, callee: Any, policy: Any, evaluate: Any, stage: Any, kind: Any, method: Any, log: Any,
    general: Any, decided: Any, undecided: Any,
) -> Any:
    """The guarded call of `fn` as one native call (`_engine.GuardedCall`)
    when the function its call comes to, `callee`, has plain parameters;
    None otherwise. It gives what `general` gives for every call: whatever
    it does not settle itself it hands to `general`, `decided` or
    `undecided`."""
    from .. import _engine

    names = _plain_parameters(callee)
    if names is None:
        return None
    # An Evaluator looks the stage's behaviours up once, where Engine.evaluate does each time.
    one_stage = evaluate
    if (
        isinstance(policy, _engine.Engine)
        and type(policy).evaluate is _engine.Engine.evaluate
        and isinstance(evaluate, types.BuiltinMethodType)
        and evaluate.__self__ is policy
    ):
        try:
            one_stage = policy.evaluator(stage=stage)
        except Exception:
            pass
    recorder = getattr(log, "_recorder", None)
    record = None if log is None else recorder() if callable(recorder) else log.record
    made = _engine.GuardedCall(fn, callee, names, one_stage, stage, kind, method, record, general, decided, undecided)
    return functools.update_wrapper(made, fn)
