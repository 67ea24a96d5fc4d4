"""Loading a policy: ``load_policy`` and the forms that every command's POLICY takes.

A policy is named by

- a policy file, ``path/to/policy.toml`` (TOML, read with `tomllib`) or
  ``path/to/policy.json`` (JSON): the behaviours written as data. Loading one
  runs no code of the user's;
- a Python file (``path/to/policy.py``) or a module (``package.module``),
  optionally followed by ``:NAME``; the object named ``POLICY`` (or NAME)
  must be a `Policy` or a list of behaviours.

`load_policy` also takes the text of a policy file, or the dict that such a
text holds once read (see its docstring).

A policy file holds a list ``behaviour`` of tables (objects in JSON), in
policy order. Each is a ready-made behaviour, ``use = "cap_charges"`` (or
``flag_large_charges``, ``deny_writes_to``, ``restrict_scope``, or a limit:
``budget``, ``rate_limit``, ``repeat_limit``) with the factory's keywords by
their Python names, or a behaviour of your own: a
``name``, a trigger ``on = { trigger = "on_charge" | "on_write", ... }`` and a
rule ``rule = { use = "spend_cap" | "flag_over" | "deny_list" | "allow_list" |
"scope_fence" | "require_fields", ... }``. The file builds the policy that the
same calls of the library's factories (and of `behaviour`) build in Python.
There are no actions: an action is code. A top-level ``store`` names where
the windows of the limits are kept: ``"memory"`` (the default),
``"sqlite:PATH"`` (a relative PATH is taken from the file's folder) or a
``"redis://..."`` URL.

Files are strict. An unknown key or factory, a missing parameter, a value of
the wrong type (a limit that is not a number, a string or an empty list where
a list is expected), a verdict other than "ALLOW", "FLAG", "ASK" or "BLOCK" and a
syntax error are refused with `PolicyFileError`,
whose message names the file, the behaviour and the key; nothing is built
then.
"""

from __future__ import annotations

import datetime
import errno
import importlib
import importlib.util
import json
import os
import re
import stat
import sys
import tomllib
from dataclasses import dataclass, field
from typing import Any, Callable, NamedTuple

from ._impl import Behaviour, Policy
from .limits.behaviours import PERIODS

__all__ = [
    "POLICY_HELP",
    "load_policy",
    "load_policy_file",
    "load_error",
    "PolicyLoadError",
    "PolicyFileError",
    "PolicyFile",
]

# How every command's POLICY argument is described in its --help.
POLICY_HELP = (
    "a policy file (.toml, .json), a Python file or package.module, "
    "optionally :NAME (default POLICY), holding a Policy or a list of behaviours"
)


class PolicyLoadError(Exception):
    """The POLICY argument could not be turned into a `Policy`."""


class PolicyFileError(PolicyLoadError, ValueError):
    """A policy file that is not well-formed; the message says where and why."""


def load_error(target: str, error: PolicyLoadError) -> str:
    """What a command says when POLICY `target` does not load: "cannot load
    policy TARGET: reason", where a policy file's own message already starts
    with the file's name."""
    if isinstance(error, PolicyFileError):
        return f"cannot load policy {error}"
    return f"cannot load policy {target}: {error}"


# ---------------------------------------------------------------- what a file may say

# The value checks: each returns None for a good value, else the message tail.
Check = Callable[[str, Any, str], "str | None"]


def _kind(value: Any, table: str) -> str:
    """What `value` is, for a message: "a string", "an empty list"..."""
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a float"
    if isinstance(value, str):
        return "a string" if value else "an empty string"
    if isinstance(value, list):
        return "a list" if value else "an empty list"
    if isinstance(value, dict):
        return table
    if value is None:
        return "null"
    if isinstance(value, datetime.datetime):
        return "a date-time"
    if isinstance(value, datetime.date):
        return "a date"
    if isinstance(value, datetime.time):
        return "a time"
    return f"a {type(value).__name__}"


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _number(key: str, value: Any, table: str) -> str | None:
    if _is_number(value):
        return None
    return f"{key!r} must be a number, not {_kind(value, table)}"


def _string(key: str, value: Any, table: str) -> str | None:
    if isinstance(value, str):
        return None
    return f"{key!r} must be a string, not {_kind(value, table)}"


def _name(key: str, value: Any, table: str) -> str | None:
    if isinstance(value, str) and value:
        return None
    return f"{key!r} must be a non-empty string, not {_kind(value, table)}"


_VERDICTS = ("ALLOW", "FLAG", "ASK", "BLOCK")


def _verdict(key: str, value: Any, table: str) -> str | None:
    # Exactly one of the four: a verdict of any other spelling would be a
    # verdict of the caller's own, which blocks.
    if isinstance(value, str) and value in _VERDICTS:
        return None
    found = repr(value) if isinstance(value, str) else _kind(value, table)
    return f"{key!r} must be one of {_one_of(_VERDICTS)}, not {found}"


def _list_of(expected: str, item: str, good: Callable[[Any], bool]) -> Check:
    """A check for a non-empty list whose every item is `good`."""

    def check(key: str, value: Any, table: str) -> str | None:
        if not isinstance(value, list) or not value:
            return f"{key!r} must be {expected}, not {_kind(value, table)}"
        for index, member in enumerate(value, 1):
            if not good(member):
                return f"{key!r} item {index} must be {item}, not {_kind(member, table)}"
        return None

    return check


def _amount(key: str, value: Any, table: str) -> str | None:
    if not _is_number(value):
        return f"{key!r} must be a number, not {_kind(value, table)}"
    if value != value or value in (float("inf"), float("-inf")) or value < 0:
        return f"{key!r} must be a finite number at least 0, not {value!r}"
    return None


def _count(key: str, value: Any, table: str) -> str | None:
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return None
    if isinstance(value, int) and not isinstance(value, bool):
        return f"{key!r} must be an integer at least 0, not {value}"
    return f"{key!r} must be an integer, not {_kind(value, table)}"


def _period(key: str, value: Any, table: str) -> str | None:
    if isinstance(value, str) and value in PERIODS:
        return None
    if _is_number(value) and value > 0 and value != float("inf"):
        return None
    found = repr(value) if isinstance(value, (str, int, float)) and not isinstance(value, bool) else _kind(value, table)
    return f"{key!r} must be a number of seconds above 0 or one of {_one_of(PERIODS)}, not {found}"


def _key_names(key: str, value: Any, table: str) -> str | None:
    if isinstance(value, str):
        return None
    return _fields(key, value, table)


_values = _list_of(
    "a list of strings or integers",
    "a string or an integer",
    lambda v: isinstance(v, str) or (isinstance(v, int) and not isinstance(v, bool)),
)
# A fence refuses the empty prefix, which would admit everything.
_prefixes = _list_of("a list of strings", "a non-empty string", lambda v: isinstance(v, str) and v != "")
_fields = _list_of("a list of strings", "a string", lambda v: isinstance(v, str))

POSITIONAL, SPREAD, KEYWORD, REQUIRED = "positional", "spread", "keyword", "required"


class _Param(NamedTuple):
    key: str
    check: Check
    expected: str  # said when the key is missing
    passed: str = KEYWORD  # how the value is passed: all but KEYWORD ones are required


_LIMIT = _Param("limit", _number, "a number", POSITIONAL)
_FIELD = _Param("field", _string, "a string")
_STAGE = _Param("stage", _string, "a string")
_METHOD = _Param("method", _string, "a string")
_NAME = _Param("name", _name, "a non-empty string")
_VERDICT = _Param("verdict", _verdict, "'ALLOW', 'FLAG', 'ASK' or 'BLOCK'")
_POSITIONAL_FIELD = _Param("field", _string, "a string", POSITIONAL)
_VALUES = _Param("values", _values, "a list of strings or integers", POSITIONAL)
_ALLOWED = _Param("allowed", _prefixes, "a list of strings", POSITIONAL)

_ACTION_TYPE = _Param("action_type", _string, "a string")
_KEY = _Param("key", _key_names, "a string or a list of strings")
_PERIOD = "a number of seconds or one of 'second', 'minute', 'hour' or 'day'"

READY_MADE: dict[str, tuple[_Param, ...]] = {
    "cap_charges": (_LIMIT, _FIELD, _STAGE, _NAME),
    "flag_large_charges": (_LIMIT, _FIELD, _STAGE, _NAME),
    "deny_writes_to": (_POSITIONAL_FIELD, _VALUES, _STAGE, _METHOD, _NAME),
    "restrict_scope": (_ALLOWED, _FIELD, _STAGE, _METHOD, _NAME),
    "budget": (
        _Param("limit", _amount, "a number", POSITIONAL), _Param("per", _period, _PERIOD, REQUIRED),
        _FIELD, _KEY, _STAGE, _ACTION_TYPE, _VERDICT, _NAME,
    ),
    "rate_limit": (
        _Param("count", _count, "an integer", POSITIONAL), _Param("per", _period, _PERIOD, REQUIRED),
        _KEY, _STAGE, _ACTION_TYPE, _VERDICT, _NAME,
    ),
    "repeat_limit": (
        _Param("times", _count, "an integer", POSITIONAL), _Param("within", _period, _PERIOD, REQUIRED),
        _STAGE, _ACTION_TYPE, _VERDICT, _NAME,
    ),
}
# The factories of `READY_MADE` that the host package makes, not the library.
LIMITS = ("budget", "rate_limit", "repeat_limit")
TRIGGERS: dict[str, tuple[_Param, ...]] = {
    "on_charge": (_STAGE, _Param("action_type", _string, "a string")),
    "on_write": (_METHOD, _STAGE),
}
RULES: dict[str, tuple[_Param, ...]] = {
    "spend_cap": (_LIMIT, _FIELD),
    "flag_over": (_LIMIT, _FIELD),
    "deny_list": (_POSITIONAL_FIELD, _VALUES, _VERDICT),
    "allow_list": (_POSITIONAL_FIELD, _VALUES, _VERDICT),
    "scope_fence": (_ALLOWED, _FIELD),
    "require_fields": (_Param("fields", _fields, "a list of strings", SPREAD), _VERDICT),
}
_OWN_KEYS = ("name", "on", "rule")


def _one_of(names: Any) -> str:
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " or " + quoted[-1]


def _all_of(names: Any) -> str:
    quoted = [repr(n) for n in names]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]


# ---------------------------------------------------------------- what a file declares


@dataclass(frozen=True)
class Call:
    """A call of one of the library's factories: its name and arguments."""

    factory: str
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Declared:
    """One behaviour of a policy file as the calls that build it: `made` for a
    ready-made behaviour, else `name`, `on` (the trigger) and `rule`."""

    made: Call | None = None
    name: str | None = None
    on: Call | None = None
    rule: Call | None = None


@dataclass(frozen=True)
class PolicyFile:
    """A loaded policy file: the policy and, behaviour by behaviour, what built
    it; `store` is the store the file names, if any."""

    policy: Policy
    declared: tuple[Declared, ...]
    store: str | None = None


class _Refused(Exception):
    """A problem in one behaviour; the caller adds where it is."""


class _Reader:
    """Checks the tables of one file; `table` is what the format calls a table."""

    def __init__(self, table: str) -> None:
        self.table = table

    def keys_of(self, value: Any, key: str) -> dict[str, Any]:
        """`value` as a table, refused when it is not one or repeats a key."""
        if not isinstance(value, dict):
            raise _Refused(f"{key!r} must be {self.table}, not {_kind(value, self.table)}")
        duplicate = getattr(value, "duplicate", None)
        if duplicate is not None:
            raise _Refused(f"duplicate key {_dotted(key, duplicate)!r}")
        return value

    def call(self, factory: str, params: tuple[_Param, ...], table: dict[str, Any], prefix: str,
             skip: tuple[str, ...]) -> Call:
        """The call of `factory` that `table` declares; keys in `skip` are read elsewhere."""
        known = {p.key for p in params}
        for key in table:
            if key in known or key in skip:
                continue
            raise _Refused(
                _unknown(_dotted(prefix, key), f"{factory} takes {_all_of(p.key for p in params)}")
            )
        args: list[Any] = []
        kwargs: dict[str, Any] = {}
        for param in params:
            key = _dotted(prefix, param.key)
            if param.key not in table:
                if param.passed != KEYWORD:
                    raise _Refused(f"missing {key!r}: expected {param.expected}")
                continue
            value = table[param.key]
            problem = param.check(key, value, self.table)
            if problem is not None:
                raise _Refused(problem)
            if param.passed == POSITIONAL:
                args.append(value)
            elif param.passed == REQUIRED:
                kwargs[param.key] = value
            elif param.passed == SPREAD:
                args.extend(value)
            else:
                kwargs[param.key] = value
        return Call(factory, tuple(args), kwargs)

    def factory(self, table: dict[str, Any], key: str, shown: str, choices: dict[str, Any]) -> str:
        if key not in table:
            raise _Refused(f"missing {shown!r}: expected {_one_of(choices)}")
        chosen = table[key]
        if not isinstance(chosen, str) or chosen not in choices:
            found = repr(chosen) if isinstance(chosen, str) else _kind(chosen, self.table)
            raise _Refused(f"{shown!r} must be one of {_one_of(choices)}, not {found}")
        return chosen

    def behaviour(self, entry: dict[str, Any]) -> Declared:
        if "use" in entry:
            use = self.factory(entry, "use", "use", READY_MADE)
            return Declared(made=self.call(use, READY_MADE[use], entry, "", ("use",)))
        if "on" not in entry and "rule" not in entry:
            raise _Refused(
                f"missing 'use': expected {_one_of(READY_MADE)}, "
                "or 'name', 'on' and 'rule' for a behaviour of your own"
            )
        for key in entry:
            if key not in _OWN_KEYS:
                raise _Refused(_unknown(key, f"a behaviour of your own takes {_all_of(_OWN_KEYS)}"))
        for key, expected in (("name", "a non-empty string"), ("on", self.table), ("rule", self.table)):
            if key not in entry:
                raise _Refused(f"missing {key!r}: expected {expected}")
        problem = _name("name", entry["name"], self.table)
        if problem is not None:
            raise _Refused(problem)
        on = self.keys_of(entry["on"], "on")
        trigger = self.factory(on, "trigger", "on.trigger", TRIGGERS)
        on_call = self.call(trigger, TRIGGERS[trigger], on, "on", ("trigger",))
        rule = self.keys_of(entry["rule"], "rule")
        use = self.factory(rule, "use", "rule.use", RULES)
        rule_call = self.call(use, RULES[use], rule, "rule", ("use",))
        return Declared(name=entry["name"], on=on_call, rule=rule_call)


def _unknown(key: str, expected: str) -> str:
    if key.rpartition(".")[2] == "action":
        return f"unknown key {key!r}: actions are code and have no place in a policy file"
    return f"unknown key {key!r}: {expected}"


def _dotted(prefix: str, key: str) -> str:
    return f"{prefix}.{key}" if prefix else key


def _label(entry: dict[str, Any]) -> str:
    """How an error names a behaviour: by its name, else by its `use`."""
    for key in ("name", "use"):
        value = entry.get(key)
        if isinstance(value, str) and value:
            return f" ({value})"
    return ""


# ---------------------------------------------------------------- reading a file


class _JSONObject(dict[str, Any]):
    """A JSON object that remembers the first key it was given twice."""

    duplicate: str | None = None


def _json_object(pairs: list[tuple[str, Any]]) -> _JSONObject:
    made = _JSONObject()
    for key, value in pairs:
        if key in made and made.duplicate is None:
            made.duplicate = key
        made[key] = value
    return made


_TOML_AT = re.compile(r"(?s)(?P<msg>.*) \(at line (?P<line>\d+), column (?P<col>\d+)\)")
_TOML_AT_END = re.compile(r"(?s)(?P<msg>.*) \(at end of document\)")


def _position(text: str, offset: int) -> tuple[int, int]:
    line_start = text.rfind("\n", 0, offset) + 1
    return text.count("\n", 0, offset) + 1, offset - line_start + 1


def _parse_toml(text: str, shown: str) -> Any:
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        message = str(exc)
        line = getattr(exc, "lineno", None)
        if isinstance(line, int):
            col, message = getattr(exc, "colno", 0), getattr(exc, "msg", message)
        elif match := _TOML_AT.fullmatch(message):
            line, col, message = int(match["line"]), int(match["col"]), match["msg"]
        elif match := _TOML_AT_END.fullmatch(message):
            (line, col), message = _position(text, len(text)), match["msg"]
        else:
            raise PolicyFileError(f"{shown}: TOML syntax error: {message}") from None
        raise PolicyFileError(
            f"{shown}: TOML syntax error at line {line}, column {col}: {message}"
        ) from None
    except ValueError as exc:  # a number too long to convert, say
        raise PolicyFileError(f"{shown}: not valid TOML: {exc}") from None


def _parse_json(text: str, shown: str) -> Any:
    try:
        return json.loads(text, object_pairs_hook=_json_object)
    except json.JSONDecodeError as exc:
        raise PolicyFileError(
            f"{shown}: JSON syntax error at line {exc.lineno}, column {exc.colno}: {exc.msg}"
        ) from None
    except ValueError as exc:
        raise PolicyFileError(f"{shown}: not valid JSON: {exc}") from None


_FORMATS: dict[str, tuple[Callable[[str, str], Any], str, str]] = {
    # suffix: (parser, what the format calls a table, and several of them)
    ".toml": (_parse_toml, "a table", "tables"),
    ".json": (_parse_json, "an object", "objects"),
}


_NOT_REGULAR = [
    (stat.S_ISFIFO, "a named pipe"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
]


def _not_regular(shown: str, mode: int) -> PolicyLoadError:
    """The error for a policy path that is there but is not a regular file."""
    if stat.S_ISDIR(mode):
        return PolicyLoadError(f"cannot read {shown}: {os.strerror(errno.EISDIR)}")
    kind = next((name for test, name in _NOT_REGULAR if test(mode)), "something else")
    return PolicyLoadError(f"cannot read {shown}: not a regular file but {kind}")


def _read_regular(shown: str) -> bytes:
    """The bytes of the regular file `shown`. Anything else (a named pipe, a
    device such as /dev/zero) is refused before a byte is read, and a named
    pipe is opened without waiting for a writer."""
    try:
        fd = os.open(shown, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise PolicyLoadError(f"no such file: {shown}") from None
    except OSError as exc:
        raise PolicyLoadError(f"cannot read {shown}: {exc.strerror or exc}") from None
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise _not_regular(shown, mode)
        with open(fd, "rb", closefd=False) as stream:
            return stream.read()
    except OSError as exc:
        raise PolicyLoadError(f"cannot read {shown}: {exc.strerror or exc}") from None
    finally:
        os.close(fd)


def is_policy_file(path: str) -> bool:
    """True when `path` names a policy file (by its suffix), rather than Python."""
    return os.path.splitext(path)[1].lower() in _FORMATS


def load_policy_file(path: str | os.PathLike[str]) -> PolicyFile:
    """The policy in the TOML or JSON file at `path`, with what each behaviour declares.

    A file whose name does not end with ``.json`` is read as TOML. A file that
    cannot be read raises `PolicyLoadError`; one that is not well-formed
    raises `PolicyFileError`.
    """
    shown = os.fspath(path)
    parse, table, tables = _FORMATS.get(os.path.splitext(shown)[1].lower(), _FORMATS[".toml"])
    data = _read_regular(shown)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        good = data[: exc.start].decode("utf-8")
        line, col = _position(good, len(good))
        raise PolicyFileError(
            f"{shown}: not UTF-8 text at line {line}, column {col}: {exc.reason}"
        ) from None
    return _from_text(text, shown, parse, table, tables)


def _from_text(text: str, shown: str, parse: Callable[[str, str], Any], table: str, tables: str) -> PolicyFile:
    """The policy in the TOML or JSON `text` (`parse` reads it), called `shown` in messages."""
    try:
        document = parse(text, shown)
    except RecursionError:
        raise PolicyFileError(f"{shown}: nested too deeply to read") from None
    return _from_document(document, shown, table, tables)


def _from_document(document: Any, shown: str, table: str, tables: str) -> PolicyFile:
    """The policy in a parsed policy `document`, whose format calls a mapping
    `table` (several: `tables`)."""
    reader = _Reader(table)
    try:
        if not isinstance(document, dict):
            raise _Refused(
                f"must hold {table} with a 'behaviour' list, not {_kind(document, table)}"
            )
        top = reader.keys_of(document, "")
        for key in top:
            if key not in ("behaviour", "store"):
                raise _Refused(f"unknown key {key!r}: expected 'behaviour' or 'store'")
        store = top.get("store")
        if store is not None and not _is_store(store):
            found = repr(store) if isinstance(store, str) else _kind(store, table)
            raise _Refused(f"'store' must be 'memory', 'sqlite:PATH' or a redis:// URL, not {found}")
        if "behaviour" not in top:
            raise _Refused(f"missing 'behaviour': expected a list of {tables}")
        entries = top["behaviour"]
        if not isinstance(entries, list):
            raise _Refused(
                f"'behaviour' must be a list of {tables}, "
                f"not {_kind(entries, table)}"
            )
    except _Refused as exc:
        raise PolicyFileError(f"{shown}: {exc}") from None

    declared: list[Declared] = []
    for number, entry in enumerate(entries, 1):
        where = f"{shown}: behaviour {number}"
        if not isinstance(entry, dict):
            raise PolicyFileError(f"{where} must be {table}, not {_kind(entry, table)}")
        where += _label(entry)
        try:
            declared.append(reader.behaviour(reader.keys_of(entry, "")))
        except _Refused as exc:
            raise PolicyFileError(f"{where}: {exc}") from None

    built: list[Behaviour] = []
    for number, (entry, item) in enumerate(zip(entries, declared), 1):
        try:
            built.append(build(item))
        except Exception as exc:  # the checks above should leave nothing for a factory to refuse
            raise PolicyFileError(
                f"{shown}: behaviour {number}{_label(entry)}: {type(exc).__name__}: {exc}"
            ) from exc
    if store is None:
        try:
            return PolicyFile(Policy(built), tuple(declared))
        except ValueError as exc:  # two limits of one name
            raise PolicyFileError(f"{shown}: {exc}") from None
    from .limits.stores import open_store

    try:
        opened = open_store(store, base=os.path.dirname(os.path.abspath(shown)))
    except ImportError as exc:
        raise PolicyLoadError(f"{shown}: cannot use the store {store}: {exc}") from None
    except Exception as exc:
        raise PolicyLoadError(f"{shown}: cannot open the store {store}: {exc}") from None
    try:
        return PolicyFile(Policy(built, store=opened), tuple(declared), store)
    except ValueError as exc:
        raise PolicyFileError(f"{shown}: {exc}") from None


def _is_store(value: Any) -> bool:
    return isinstance(value, str) and (
        value == "memory"
        or (value.startswith("sqlite:") and len(value) > len("sqlite:"))
        or value.startswith(("redis://", "rediss://", "unix://"))
    )


def build(item: Declared) -> Behaviour:
    """The behaviour that `item` declares, made by the library's factories."""
    from . import _impl, library

    def call(made: Call) -> Any:
        if made.factory in LIMITS:
            from . import limits

            return getattr(limits, made.factory)(*made.args, **made.kwargs)
        return getattr(library, made.factory)(*made.args, **made.kwargs)

    if item.made is not None:
        behaviour: Behaviour = call(item.made)
        return behaviour
    assert item.on is not None and item.rule is not None
    return _impl.behaviour(item.name, on=call(item.on), rule=call(item.rule))


# ---------------------------------------------------------------- POLICY


def _split_target(target: str) -> tuple[str, str]:
    ref, sep, name = target.rpartition(":")
    if sep and name.isidentifier() and ref:
        return ref, name
    return target, "POLICY"


def _is_path(ref: str) -> bool:
    separators = (os.sep, os.altsep) if os.altsep else (os.sep,)
    return ref.endswith(".py") or any(sep in ref for sep in separators) or os.path.isfile(ref)


# What messages call a policy given as a text or as a dict.
TEXT_SHOWN = "<text>"
DICT_SHOWN = "<dict>"


def text_format(source: str) -> str | None:
    """".json" or ".toml" when `source` is the text of a policy rather than a
    name of one, else None. It is a text when it holds a line feed, or when
    it starts with "{" and ends with "}" (white space aside): JSON when it
    starts with "{", else TOML."""
    stripped = source.removeprefix("\ufeff").strip()
    if stripped.startswith("{") and (stripped.endswith("}") or "\n" in source):
        return ".json"
    return ".toml" if "\n" in source else None


def load_policy(source: str | os.PathLike[str] | dict[str, Any]) -> Policy:
    """The policy that `source` holds or names.

    - A dict is a policy document, what a policy file holds once read
      (``{"behaviour": [{"use": "cap_charges", "limit": 500}]}``), checked
      as strictly as a file (a list must be a list, not a tuple); messages
      call it ``<dict>``.
    - A str that holds a line feed, or that starts with ``{`` and ends with
      ``}`` (white space aside), is the text of a policy file: JSON when it
      starts with ``{``, else TOML (so a one-line TOML text needs a line
      feed at its end). Messages call it ``<text>``.
    - Any other str, and any path-like object, names a policy: a policy
      file ``FILE.toml`` or ``FILE.json``, ``FILE.py[:NAME]`` or
      ``package.module[:NAME]``. A name is taken for a text only when it
      holds a line feed or is wrapped in braces.

    A policy file, text or dict that is not well-formed raises
    `PolicyFileError` (a `ValueError`). For the Python forms NAME defaults to
    ``POLICY``, and the object must be a `Policy` or a list (or tuple) of
    behaviours. Any other failure, an exception raised while a Python file
    or module runs included, is raised as `PolicyLoadError` with the reason;
    `PolicyFileError` is one too.
    """
    if isinstance(source, dict):
        return _from_document(source, DICT_SHOWN, "a dict", "dicts").policy
    if isinstance(source, str):
        fmt = text_format(source)
        if fmt is not None:
            parse, table, tables = _FORMATS[fmt]
            return _from_text(source.removeprefix("\ufeff"), TEXT_SHOWN, parse, table, tables).policy
    return _load_named(source)


def _load_named(target: str | os.PathLike[str]) -> Policy:
    """The policy named by `target`: a policy file ``FILE.toml`` or
    ``FILE.json``, ``FILE.py[:NAME]`` or ``package.module[:NAME]``."""
    target = os.fspath(target)
    if is_policy_file(target):
        return load_policy_file(target).policy
    ref, name = _split_target(target)
    if is_policy_file(ref):
        raise PolicyLoadError(f"{ref} is a policy file, which takes no :{name}")
    try:
        if _is_path(ref):
            path = os.path.abspath(ref)
            if not os.path.isfile(path):
                if os.path.exists(path) and not os.path.isdir(path):
                    raise _not_regular(ref, os.stat(path).st_mode)
                raise PolicyLoadError(f"no such file: {ref}")
            module_name = "_quindle_policy_" + "".join(
                c if c.isalnum() else "_" for c in os.path.splitext(os.path.basename(path))[0]
            )
            spec = importlib.util.spec_from_file_location(module_name, path)
            if spec is None or spec.loader is None:
                raise PolicyLoadError(f"cannot load {ref} as a Python file")
            module = importlib.util.module_from_spec(spec)
            # The file can import modules that sit next to it, as a script can.
            folder = os.path.dirname(path)
            if folder not in sys.path:
                sys.path.insert(0, folder)
            sys.modules[module_name] = module
            spec.loader.exec_module(module)
        else:
            if "" not in sys.path and os.getcwd() not in sys.path:
                sys.path.insert(0, os.getcwd())
            module = importlib.import_module(ref)
    except PolicyLoadError:
        raise
    except (Exception, SystemExit) as exc:
        raise PolicyLoadError(f"{ref} failed to load: {type(exc).__name__}: {exc}") from exc
    try:
        found = getattr(module, name)
    except AttributeError:
        raise PolicyLoadError(f"{ref} defines no {name}") from None
    if isinstance(found, Policy):
        return found
    if isinstance(found, (list, tuple)):
        try:
            return Policy(found)
        except TypeError as exc:
            raise PolicyLoadError(f"{name} in {ref} is not a list of behaviours: {exc}") from exc
    raise PolicyLoadError(
        f"{name} in {ref} is a {type(found).__name__}, not a Policy or a list of behaviours"
    )
