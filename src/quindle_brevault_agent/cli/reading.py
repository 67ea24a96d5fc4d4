"""What the lines of recorded traffic hold, for the commands that decide on them.

A line is a JSON object: a plain event, or a record of a `DecisionLog`
(``"decision_log": 1``), which is decided on the event it recorded and
keeps the verdict it holds beside the new one (`event_of`). The replay reads
a block of lines a piece of a few kilobytes at a time (`piece_values`), so
that a piece's values are still in the cache when they are decided.
"""

from __future__ import annotations

from typing import Any, Iterator

from .. import jsonl

__all__ = ["NOT_RECORDED", "event_of", "Unread", "piece_values"]

NOT_RECORDED = object()  # the recorded verdict of a plain event


def _is_record(value: dict[Any, Any]) -> bool:
    """Whether a JSON object is a line of a decision log."""
    mark = value["decision_log"]
    return mark.__class__ is int and mark == 1


def event_of(value: Any, fixed: Any) -> tuple[Any, Any, Any, str | None]:
    """``(event, stage, recorded, error)`` for a parsed JSON line.

    A plain event is decided at `fixed` when it is not None, else at its own
    "stage" field; a line of a decision log is decided on the event it
    recorded, at `fixed` or else the record's "stage", and `recorded` is the
    verdict it holds (`NOT_RECORDED` for a plain event). `error` is the reason
    the line holds no event, and then the rest is None.
    """
    if value.__class__ is not dict:
        return None, None, None, f"not a JSON object but {jsonl.kind(value)}"
    if "decision_log" in value and _is_record(value):
        event = value.get("event")
        if event.__class__ is not dict:
            return None, None, None, (
                f"a decision record whose event is not a JSON object but {jsonl.kind(event)}"
            )
        stage = value.get("stage") if fixed is None else fixed
        return event, stage, value.get("verdict"), None
    stage = value.get("stage") if fixed is None else fixed
    return value, stage, NOT_RECORDED, None


class Unread:
    """A line that the quick readers left to `jsonl.parse_line`: blank, not
    UTF-8, not JSON, or only read exactly by json.loads."""

    __slots__ = ("raw",)

    def __init__(self, raw: bytes) -> None:
        self.raw = raw


def piece_values(block: bytes) -> Iterator[tuple[list[Any], int]]:
    """``(values, empty)``: the value of each line of `block` (a block of
    `jsonl.blocks`), or its `Unread`, a piece of at most `jsonl.PIECE` bytes
    of whole lines at a time (a longer line is a piece of its own), and how
    many empty lines follow the piece (a long run of them, `jsonl.parts`)."""
    for part, empty in jsonl.parts(block):
        size = len(part)
        start = 0
        while start <= size:
            end = size
            if size - start > jsonl.PIECE:
                end = part.rfind(b"\n", start, start + jsonl.PIECE)
                if end < 0:  # a line longer than a piece: a piece of its own
                    end = part.find(b"\n", start)
                    end = size if end < 0 else end
            piece = part[start:end]
            values = jsonl.decode_piece(piece)
            start = end + 1
            yield (_values_of(piece) if values is None else values), (empty if start > size else 0)


def _values_of(piece: bytes) -> list[Any]:
    """The value of each line of `piece`, or its `Unread`."""
    values: list[Any] = []
    append = values.append
    scan = jsonl.text_scanner()
    if scan is not None:
        # The standard library's scanner reads text: the piece is decoded
        # once, unless some line of it is not UTF-8.
        try:
            lines = piece.decode("utf-8").split("\n")
        except UnicodeDecodeError:
            pass
        else:
            for line in lines:
                try:
                    value, end = scan(line, 0)
                except Exception:
                    append(Unread(line.encode("utf-8")))
                    continue
                if end == len(line) or (end == len(line) - 1 and line[end] == "\r"):
                    append(value)
                else:
                    append(Unread(line.encode("utf-8")))
            return values
    decode, limit = jsonl.line_decoder()
    for raw in piece.split(b"\n"):
        if raw and len(raw) < limit:
            try:
                append(decode(raw))
                continue
            except Exception:
                pass  # json.loads decides and gives the reason
        append(Unread(raw))
    return values
