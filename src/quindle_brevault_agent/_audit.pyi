"""The native record path of quindle_brevault_agent.enforce.decision_log."""

from collections.abc import Buffer, Callable, Iterable
from typing import Any, Final, Self, final

VALUE: Final[int]
HITS: Final[int]
TEXT: Final[int]
SHA_EXTENSIONS: Final[int]

@final
class Layout:
    """The fields of one kind of record, in order."""

    def __new__(cls, fields: Iterable[tuple[str, int]]) -> Self: ...
    @property
    def fields(self) -> tuple[tuple[str, int], ...]: ...

@final
class Writer:
    """The records of a decision log opened from a path."""

    def __new__(cls, log: Any, key: bytes | None = None, *, fsync: bool = False, layout: Layout | None = None) -> Self: ...
    seq: int
    prev: str
    end: int
    fd: int
    @property
    def syncs(self) -> int: ...
    def append(self, layout: Layout, values: tuple[Any, ...], /) -> None: ...
    def record(self, event: Any, stage: Any, decision: Any, /) -> None: ...
    def close(self) -> None: ...
    def after_fork(self) -> None: ...
    def release(self) -> None: ...

def bind(
    plain: Callable[[Any, int], Any],
    text: Callable[[Any], str],
    dumps: Callable[[Any], str],
    hits_text: Callable[[Any], str],
    /,
) -> None: ...
def body(layout: Layout, values: tuple[Any, ...], /) -> str: ...
def sha256(data: Buffer, /, *, portable: bool = False) -> str: ...
def hmac_sha256(key: Buffer, data: Buffer, /, *, portable: bool = False) -> str: ...
