"""The native policy engine behind quindle_brevault_agent._impl.Policy."""

from typing import Any, ClassVar, NamedTuple, Self, final

from typing_extensions import disjoint_base

from ._types import Verdict

class Hit(NamedTuple):
    """An applied behaviour whose verdict is not ALLOW: its name, its rule's name, the verdict."""

    behaviour: Any
    rule: Any
    verdict: Any

@disjoint_base
class Decision:
    """What a policy decided on one event."""

    __match_args__: ClassVar[tuple[str, str]]
    def __new__(cls, verdict: Verdict | object, hits: tuple[Hit, ...] = ()) -> Self: ...
    @property
    def verdict(self) -> Verdict | object:
        """"ALLOW", "FLAG", "ASK" or "BLOCK", or the verdict of a caller's own rule, which blocks."""
    @property
    def hits(self) -> tuple[Hit, ...]: ...
    @property
    def blocked(self) -> bool: ...
    @property
    def needs_approval(self) -> bool:
        """True when the verdict is ASK: the action waits for a person's approval."""
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

class LimitUse(NamedTuple):
    """What a decision did with one limit."""

    behaviour: Any
    rule: Any
    admitted: Any
    left: Any

@final
class LimitedDecision(Decision):
    """A decision on which a policy's limits were checked."""

    @property
    def limits(self) -> tuple[LimitUse, ...]: ...

@final
class LimitRule:
    """The rule of a limit behaviour."""

    def __new__(
        cls, kind: str, limit: Any, per: float, field: Any, key: tuple[str, ...], verdict: Any, name: Any
    ) -> Self: ...
    @property
    def kind(self) -> str: ...
    @property
    def limit(self) -> Any: ...
    @property
    def per(self) -> float: ...
    @property
    def field(self) -> Any: ...
    @property
    def key(self) -> tuple[str, ...]: ...
    @property
    def verdict(self) -> Any: ...
    @property
    def name(self) -> Any: ...
    def __call__(self, event: Any, /) -> Any: ...

@final
class MemoryStore:
    """The windows of limits in this process's memory."""

    def __new__(cls) -> Self: ...

@final
class Limits:
    """The limits of a policy."""

    @property
    def store(self) -> Any: ...
    @property
    def clock(self) -> Any: ...
    @property
    def rules(self) -> tuple[LimitRule, ...]: ...
    def refund(self, decision: Decision, /) -> None: ...
    def admit(self, decision: Decision, /) -> Decision: ...

@disjoint_base
class Engine:
    """The evaluation of an ordered tuple of behaviours."""

    def __new__(cls, behaviours: Any, store: Any = None, clock: Any = None, /) -> Self: ...
    @property
    def behaviours(self) -> tuple[Any, ...]: ...
    @property
    def limits(self) -> Limits | None: ...
    def evaluate(self, event: Any, *, stage: Any) -> Decision: ...
    def evaluator(self, *, stage: Any) -> Evaluator: ...

@final
class Evaluator:
    """A policy's evaluation at one stage, as a one-event callable."""

    @property
    def stage(self) -> Any: ...
    @property
    def policy(self) -> Engine: ...
    def __call__(self, event: Any, /) -> Decision: ...

@final
class GuardedCall:
    """The call path of a function that guard() wraps, when its parameters are plain."""

    def __new__(
        cls, fn: Any, callee: Any, names: tuple[str, ...], evaluate: Any, stage: Any, action_type: Any,
        method: Any, record: Any, general: Any, decided: Any, undecided: Any, /,
    ) -> Self: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: Any, owner: Any = None, /) -> Any: ...
