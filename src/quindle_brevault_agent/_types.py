"""The types that the stub of ``quindle_brevault_agent.library`` names, as
objects that exist at run time, so that the stub executes as Python."""

from typing import Any, Literal, Protocol

__all__ = ["Event", "Verdict"]

Verdict = Literal["ALLOW", "ASK", "BLOCK", "FLAG"]


class Event(Protocol):
    """What a rule reads: a field by containment and subscription, ``kwargs`` by ``get``."""

    def __contains__(self, key: Any, /) -> bool: ...
    def __getitem__(self, key: Any, /) -> Any: ...
    def get(self, key: Any, /) -> Any: ...
