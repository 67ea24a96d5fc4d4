"""Where the windows of limits are kept.

- `MemoryStore()` (native): one process, any number of threads; the default.
- `SQLiteStore(path)`: the processes of one machine, across restarts; one
  SQLite transaction per admission, in WAL mode.
- `RedisStore(url)`: a fleet of machines; one Lua script per admission.

A store admits with ``admit(requests, now)``, all of them or none, where each
request is ``(limit_id, key, amount, limit, expires, blocks)``: the window's
identity (the limit's kind and name) and key, the amount and the limit as
plain decimal texts, when the entry stops counting, and whether a refusal
blocks (a limit that only flags admits over its limit). It answers
``(admitted, ((entry, used, fits), ...))``: whether it admitted, and for each
request its entry (None when nothing was admitted), the window's sum after
the admission (before it, when nothing was), and whether the amount fitted.
``refund(entries)`` takes back entries ``(limit_id, key, entry, amount,
expires)``; an entry that expired or was refunded already is left alone.

An entry counts while the clock is before its `expires`: from its admission
for exactly the limit's window. Amounts are summed as exact decimals.
"""

from __future__ import annotations

import decimal
import functools
import math
import os
import select
import sqlite3
import threading
from decimal import Decimal
from typing import Any

from .._engine import MemoryStore

__all__ = ["MemoryStore", "SQLiteStore", "RedisStore", "StoreError", "open_store", "exact_text"]

Request = tuple[str, str, str, str, float, bool]
Answer = tuple[bool, tuple[tuple[Any, str, bool], ...]]

# Sums of decimals in this context are exact: no digit is ever rounded off.
_EXACT = decimal.Context(prec=decimal.MAX_PREC, Emax=decimal.MAX_EMAX, Emin=decimal.MIN_EMIN)
_ZERO = Decimal(0)


class StoreError(RuntimeError):
    """A store could not admit or refund: the decision could not be made."""


def exact_text(value: Decimal) -> str:
    """`value` as a plain decimal text, without an exponent or trailing zeros."""
    text = format(value, "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text or "0"


# ---------------------------------------------------------------- SQLite

# One table holds each window: its entries in the order of their expiry, and
# after them a last row (expires +inf, seq 0) with the window's sum in
# `amount`, its soonest expiry and the number of its last entry. A new entry
# goes just before that row, so an admission writes one page per window.
_FORMAT = 1
_SCHEMA = """
CREATE TABLE IF NOT EXISTS qba_limits (
    limit_id TEXT NOT NULL,
    key TEXT NOT NULL,
    expires REAL NOT NULL,
    seq INTEGER NOT NULL,
    amount TEXT NOT NULL,
    next_expiry REAL,
    last_seq INTEGER,
    PRIMARY KEY (limit_id, key, expires, seq)
) WITHOUT ROWID;
"""
_TOTAL = math.inf  # the `expires` of a window's last row
_EMPTY = ("0", _TOTAL, 0)  # a window without a row: its sum, soonest expiry and last entry
# A file of the first format: a table of windows and one of entries.
_OLD_TABLES = (
    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('qba_limit_windows', 'qba_limit_entries')"
)
_MIGRATE = """
INSERT INTO qba_limits (limit_id, key, expires, seq, amount)
    SELECT limit_id, key, expires, seq, amount FROM qba_limit_entries;
INSERT INTO qba_limits (limit_id, key, expires, seq, amount, next_expiry, last_seq)
    SELECT limit_id, key, 9e999, 0, used, next_expiry, seq FROM qba_limit_windows;
DROP TABLE qba_limit_entries;
DROP TABLE qba_limit_windows;
"""
# The windows of the requests, by their place in the requests.
_WINDOW = (
    "SELECT {at}, amount, next_expiry, last_seq FROM qba_limits"
    " WHERE limit_id = ? AND key = ? AND expires = 9e999 AND seq = 0"
)
_EXPIRE = "DELETE FROM qba_limits WHERE limit_id = ? AND key = ? AND expires <= ? RETURNING amount"
_NEXT = "SELECT MIN(expires) FROM qba_limits WHERE limit_id = ? AND key = ?"
# New entries and the windows' last rows (which replace the old ones), in
# one statement.
_WRITE = "INSERT OR REPLACE INTO qba_limits (limit_id, key, expires, seq, amount, next_expiry, last_seq) VALUES {rows}"
_TAKE_BACK = (
    "DELETE FROM qba_limits WHERE limit_id = ? AND key = ? AND expires = ? AND seq = ? AND expires < 9e999"
    " RETURNING amount"
)
_TOTAL_OF = "SELECT amount FROM qba_limits WHERE limit_id = ? AND key = ? AND expires = 9e999 AND seq = 0"
_SET_TOTAL = "UPDATE qba_limits SET amount = ? WHERE limit_id = ? AND key = ? AND expires = 9e999 AND seq = 0"


class SQLiteStore:
    """The windows in a SQLite database file, shared by the processes of one
    machine and kept across restarts.

    Each admission is one ``BEGIN IMMEDIATE`` transaction: the windows' old
    entries are dropped, every amount is checked, and all are added or none.
    The database is in WAL mode with ``synchronous=NORMAL``: a process that
    dies loses nothing it admitted; a power cut may lose the last admissions.
    A process waits up to `timeout` seconds for another's transaction, then
    the decision raises `StoreError`; so does any other failure of the
    database (a read-only or corrupt file), and the next decision opens the
    file anew. A file written by an earlier version is converted when it is
    first opened; one written by a later version is refused.
    """

    def __init__(self, path: str | os.PathLike[str], *, timeout: float = 5.0) -> None:
        self.path = os.fspath(path)
        self.timeout = timeout
        self._lock = threading.Lock()
        self._connection: sqlite3.Connection | None = None
        self._cursor: sqlite3.Cursor | None = None
        self._pid = 0
        # The windows (sum, soonest expiry, last entry) as the connection
        # last committed them, and its data_version then.
        self._known: dict[tuple[str, str], tuple[str, float, int]] = {}
        self._version: int | None = None

    def __repr__(self) -> str:
        return f"SQLiteStore({self.path!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_sqlite_store, (self.path, self.timeout))

    def _connect(self) -> sqlite3.Cursor:
        # A connection is never used across a fork: the child opens its own.
        if self._cursor is not None and self._pid == os.getpid():
            return self._cursor
        connection = sqlite3.connect(
            self.path, timeout=self.timeout, isolation_level=None, check_same_thread=False
        )
        try:
            connection.execute("PRAGMA journal_mode=WAL").fetchall()
            connection.execute("PRAGMA synchronous=NORMAL")
            _prepare(connection, self.path)
        except BaseException:
            connection.close()
            raise
        self._connection = connection
        self._cursor = connection.cursor()
        self._pid = os.getpid()
        self._known, self._version = {}, None  # data_version counts for one connection only
        return self._cursor

    def _failed(self, exc: BaseException, doing: str) -> StoreError:
        connection, self._connection, self._cursor = self._connection, None, None
        if connection is not None and self._pid == os.getpid():
            try:
                connection.rollback()
                connection.close()
            except sqlite3.Error:
                pass
        return StoreError(f"the limits' store {self.path} could not {doing}: {exc}")

    def admit(self, requests: tuple[Request, ...], now: float) -> Answer:
        with self._lock:
            try:
                return self._admit(self._connect(), requests, now)
            except sqlite3.Error as exc:
                raise self._failed(exc, "admit") from exc
            except BaseException:
                self._failed(RuntimeError(), "admit")
                raise

    def _admit(self, db: sqlite3.Cursor, requests: tuple[Request, ...], now: float) -> Answer:
        db.execute("BEGIN IMMEDIATE")
        # The windows as this connection last wrote them, unless another
        # connection has written since (data_version tells, and nobody can
        # write while this transaction holds the lock).
        version = db.execute("PRAGMA data_version").fetchone()[0]
        known = self._known
        if version != self._version:
            known.clear()
            self._version = version
        missing = [(limit_id, key) for limit_id, key, *_ in requests if (limit_id, key) not in known]
        if missing:
            for name in missing:
                known[name] = _EMPTY
            for at, used, soonest, seq in db.execute(_windows(len(missing)), [v for name in missing for v in name]):
                known[missing[at]] = (used, soonest, seq)
        windows = []
        admit = True
        for limit_id, key, amount, limit, _expires, blocks in requests:
            used, soonest, seq = known[limit_id, key]
            changed = False
            if soonest <= now:
                changed = True
                total = Decimal(used)
                for (gone,) in db.execute(_EXPIRE, (limit_id, key, now)).fetchall():
                    total = _EXACT.subtract(total, Decimal(gone))
                soonest = db.execute(_NEXT, (limit_id, key)).fetchone()[0]
                if soonest is None or soonest == _TOTAL:  # none left
                    used, soonest = "0", _TOTAL
                else:
                    used = exact_text(total)
            after, fits = _add_within(used, amount, limit)
            admit = admit and (fits or not blocks)
            windows.append((used, after, soonest, seq, fits, changed))
        rows: list[Any] = []
        results: list[tuple[Any, str, bool]] = []
        saved = []
        for (limit_id, key, amount, _limit, expires, _blocks), (used, after, soonest, seq, fits, changed) in zip(
            requests, windows
        ):
            if admit:
                window = (after, min(soonest, expires), seq + 1)
                rows += (limit_id, key, expires, seq + 1, amount, None, None, limit_id, key, _TOTAL, 0, *window)
                saved.append(((limit_id, key), window))
                results.append((seq + 1, after, fits))
            else:
                if changed:  # what expired is gone: the window is written back all the same
                    rows += (limit_id, key, _TOTAL, 0, used, soonest, seq)
                    saved.append(((limit_id, key), (used, soonest, seq)))
                results.append((None, used, fits))
        if rows:
            db.execute(_statement(_WRITE, len(rows) // 7, 7), rows)
        db.execute("COMMIT")
        if len(known) > 4096:
            known.clear()
        known.update(saved)
        return admit, tuple(results)

    def refund(self, entries: tuple[tuple[str, str, Any, str, float], ...]) -> None:
        with self._lock:
            try:
                db = self._connect()
                db.execute("BEGIN IMMEDIATE")
                for limit_id, key, entry, _amount, expires in entries:
                    self._known.pop((limit_id, key), None)
                    gone = db.execute(_TAKE_BACK, (limit_id, key, expires, entry)).fetchone()
                    if gone is None:
                        continue  # expired, or refunded already
                    row = db.execute(_TOTAL_OF, (limit_id, key)).fetchone()
                    if row is not None:
                        left = _EXACT.subtract(Decimal(row[0]), Decimal(gone[0]))
                        db.execute(_SET_TOTAL, (exact_text(max(left, _ZERO)), limit_id, key))
                db.execute("COMMIT")
            except sqlite3.Error as exc:
                raise self._failed(exc, "refund") from exc
            except BaseException:
                self._failed(RuntimeError(), "refund")
                raise

    def close(self) -> None:
        with self._lock:
            connection, self._connection, self._cursor = self._connection, None, None
            if connection is not None and self._pid == os.getpid():
                connection.close()


def _prepare(connection: sqlite3.Connection, path: str) -> None:
    """The file's tables, made, or converted from the first format (in one
    transaction, which another process opening the file at once waits for)."""
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version == _FORMAT:
        return
    if version > _FORMAT:
        raise sqlite3.DatabaseError(
            f"{path} holds windows in format {version}, written by a later version; this one reads format {_FORMAT}"
        )
    connection.execute("BEGIN IMMEDIATE")
    try:
        if connection.execute("PRAGMA user_version").fetchone()[0] != _FORMAT:
            connection.execute(_SCHEMA)
            if connection.execute(_OLD_TABLES).fetchone()[0] == 2:
                for statement in _MIGRATE.split(";"):
                    if statement.strip():
                        connection.execute(statement)
            connection.execute(f"PRAGMA user_version = {_FORMAT}")
        connection.execute("COMMIT")
    except BaseException:
        connection.rollback()
        raise


@functools.lru_cache(maxsize=64)
def _windows(count: int) -> str:
    """The statement that reads `count` windows."""
    return " UNION ALL ".join(_WINDOW.format(at=at) for at in range(count))


@functools.lru_cache(maxsize=64)
def _statement(template: str, rows: int, width: int) -> str:
    """`template` with `rows` rows of `width` parameters."""
    row = "(" + ", ".join("?" * width) + ")"
    return template.format(rows=", ".join([row] * rows))


def _add_within(used: str, amount: str, limit: str) -> tuple[str, bool]:
    """``used + amount`` as a plain decimal text, and whether it is at most
    `limit`: as Python ints when the three are integers of a length that
    int() reads, else as decimals."""
    if "." in used or "." in amount or "." in limit or len(used) + len(limit) > 2000:
        after = _EXACT.add(Decimal(used), Decimal(amount))
        return exact_text(after), after <= Decimal(limit)
    total = int(used) + int(amount)
    return str(total), total <= int(limit)


def _sqlite_store(path: str, timeout: float) -> SQLiteStore:
    return SQLiteStore(path, timeout=timeout)


# ---------------------------------------------------------------- Redis

# Exact sums of plain decimal texts in Lua, whose numbers are doubles: digits
# of up to 15 are summed as numbers (well inside a double's exact integers),
# longer ones 14 digits at a time.
_DECIMALS = r"""
local function digits(s)
  local point = string.find(s, '.', 1, true)
  if not point then return s, 0 end
  return string.sub(s, 1, point - 1) .. string.sub(s, point + 1), #s - point
end
local function join(all, scale)
  all = string.gsub(all, '^0+', '')
  if #all <= scale then all = string.rep('0', scale + 1 - #all) .. all end
  if scale == 0 then return all end
  local part = string.gsub(string.sub(all, #all - scale + 1), '0+$', '')
  if part == '' then return string.sub(all, 1, #all - scale) end
  return string.sub(all, 1, #all - scale) .. '.' .. part
end
-- Both as digits at one scale: as numbers when 15 digits hold them, else as
-- digit strings of one length.
local function aligned(a, b)
  local x, xs = digits(a)
  local y, ys = digits(b)
  local scale = math.max(xs, ys)
  if #x + scale - xs <= 15 and #y + scale - ys <= 15 then
    return tonumber(x) * 10 ^ (scale - xs), tonumber(y) * 10 ^ (scale - ys), scale
  end
  x = x .. string.rep('0', scale - xs)
  y = y .. string.rep('0', scale - ys)
  local width = math.max(#x, #y)
  return string.rep('0', width - #x) .. x, string.rep('0', width - #y) .. y, scale
end
local function combine(a, b, sign)
  local x, y, scale = aligned(a, b)
  if type(x) == 'number' then
    local s = x + sign * y
    if s < 0 then return '0' end
    return join(string.format('%.0f', s), scale)
  end
  local out = {}
  local carry = 0
  local i = #x
  while i >= 1 do
    local j = math.max(1, i - 13)
    local width = i - j + 1
    local s = tonumber(string.sub(x, j, i)) + sign * tonumber(string.sub(y, j, i)) + carry
    local unit = 10 ^ width
    carry = 0
    if s >= unit then s = s - unit; carry = 1 end
    if s < 0 then s = s + unit; carry = -1 end
    out[#out + 1] = string.format('%0' .. width .. '.0f', s)
    i = j - 1
  end
  if carry < 0 then return '0' end
  local all = ''
  for k = #out, 1, -1 do all = all .. out[k] end
  if carry > 0 then all = '1' .. all end
  return join(all, scale)
end
local function compare(a, b)
  local x, y = aligned(a, b)
  if x < y then return -1 elseif x > y then return 1 end
  return 0
end
-- Most amounts are short: when two or three of them, at one scale, have at
-- most 15 digits, they are summed as doubles. Each reads as the double
-- nearest to it, which times the scale's power of ten rounds back to its
-- digits, and a sum below 10^15 prints back exactly.
local function point(s)
  local at = string.find(s, '.', 1, true)
  return at and #s - at or 0
end
local function shown(sum, scale, unit)
  if scale == 0 then return string.format('%.0f', sum) end
  return (string.gsub(string.format('%.' .. scale .. 'f', sum / unit), '%.?0+$', ''))
end
-- `a + sign * b` (0 below 0).
local function sum(a, b, sign)
  local sa, sb = point(a), point(b)
  local scale = math.max(sa, sb)
  if #a + scale - sa <= 15 and #b + scale - sb <= 15 then
    local unit = 10 ^ scale
    local total = math.floor(tonumber(a) * unit + 0.5) + sign * math.floor(tonumber(b) * unit + 0.5)
    if total < 0 then return '0' end
    if total < 1e15 then return shown(total, scale, unit) end
  end
  return combine(a, b, sign)
end
-- `a + b`, and whether it is at most `limit`. (A limit without a point reads
-- as itself below 2^53 and as at least 10^15 above, so it compares exactly
-- with a quick sum, however long it is.)
local function add_within(a, b, limit)
  local sa, sb, sl = point(a), point(b), point(limit)
  if sa == 0 and sb == 0 and #a <= 15 and #b <= 15 then  -- counts, and whole amounts
    local total = tonumber(a) + tonumber(b)
    if total < 1e15 and sl == 0 then
      return string.format('%.0f', total), total <= tonumber(limit)
    end
  end
  local scale = math.max(sa, sb, sl)
  if #a + scale - sa <= 15 and #b + scale - sb <= 15 and (sl == 0 or #limit + scale - sl <= 15) then
    local unit = 10 ^ scale
    local total = math.floor(tonumber(a) * unit + 0.5) + math.floor(tonumber(b) * unit + 0.5)
    if total < 1e15 then
      return shown(total, scale, unit), total <= math.floor(tonumber(limit) * unit + 0.5)
    end
  end
  local total = combine(a, b, 1)
  return total, compare(total, limit) <= 0
end
"""

# KEYS: each request's window (a hash: "used", the sum; "next", the soonest
# expiry; "seq", the last entry's number; "kept", until when, in the
# server's time, the keys are kept) and entries (a sorted set of "ID:AMOUNT"
# by expiry).
# ARGV: now, then per request AMOUNT, LIMIT, EXPIRES, BLOCKS (1 or 0) and
# TTL (the keys' time to live, twice the window, in whole seconds).
# Returns "ADMITTED" then per request " ENTRY USED FITS" (ENTRY 0 for none;
# ADMITTED and FITS 1 or 0): one text, which reads back at once.
_ADMIT = _DECIMALS + r"""
local now = ARGV[1]
local clock = tonumber(now)
local n = #KEYS / 2
local admit = true
-- Per request: the sum before and after, whether the amount fits, the
-- soonest expiry, the last entry's number, until when the keys are kept, and
-- whether entries expired.
local windows = {}
for i = 1, n do
  local window, entries, arg = KEYS[2 * i - 1], KEYS[2 * i], 5 * i - 3
  local found = redis.call('HMGET', window, 'used', 'next', 'seq', 'kept')
  local total, soonest = found[1] or '0', found[2]
  local changed = false
  if soonest and tonumber(soonest) <= clock then
    for _, member in ipairs(redis.call('ZRANGEBYSCORE', entries, '-inf', now)) do
      total = sum(total, string.match(member, ':(.*)$'), -1)
    end
    redis.call('ZREMRANGEBYSCORE', entries, '-inf', now)
    soonest = redis.call('ZRANGE', entries, 0, 0, 'WITHSCORES')[2]
    if not soonest then total = '0' end
    changed = true
  end
  local after, fits = add_within(total, ARGV[arg], ARGV[arg + 1])
  if not fits and ARGV[arg + 3] == '1' then admit = false end
  windows[i] = {total, after, fits, soonest, found[3], found[4], changed}
end
local reply = {admit and '1' or '0'}
-- The keys live twice the window, in the server's own time, from when it was
-- last set; it is set again half way through.
local real = admit and tonumber(redis.call('TIME')[1]) or 0
for i = 1, n do
  local window, entries, arg = KEYS[2 * i - 1], KEYS[2 * i], 5 * i - 3
  local w = windows[i]
  local soonest = w[4]
  if admit then
    local expires = ARGV[arg + 2]
    local id = string.format('%.0f', (tonumber(w[5]) or 0) + 1)
    if not soonest or tonumber(expires) < tonumber(soonest) then soonest = expires end
    redis.call('ZADD', entries, expires, id .. ':' .. ARGV[arg])
    local life = tonumber(ARGV[arg + 4])
    if (tonumber(w[6]) or 0) - real < life * 3 / 4 then
      redis.call('HSET', window, 'used', w[2], 'next', soonest, 'seq', id, 'kept', string.format('%.0f', real + life))
      redis.call('EXPIRE', window, life)
      redis.call('EXPIRE', entries, life)
    else
      redis.call('HSET', window, 'used', w[2], 'next', soonest, 'seq', id)
    end
    reply[3 * i - 1] = id
    reply[3 * i] = w[2]
  else
    if w[7] then
      if soonest then
        redis.call('HSET', window, 'used', w[1], 'next', soonest)
      else
        redis.call('HSET', window, 'used', '0')
        redis.call('HDEL', window, 'next')
      end
    end
    reply[3 * i - 1] = '0'
    reply[3 * i] = w[1]
  end
  reply[3 * i + 1] = w[3] and '1' or '0'
end
return table.concat(reply, ' ')
"""

# KEYS: each entry's window and entries; ARGV: each entry's ID and AMOUNT.
_REFUND = _DECIMALS + r"""
for i = 1, #ARGV / 2 do
  local window, entries = KEYS[2 * i - 1], KEYS[2 * i]
  local amount = ARGV[2 * i]
  if redis.call('ZREM', entries, ARGV[2 * i - 1] .. ':' .. amount) == 1 then
    local total = redis.call('HGET', window, 'used') or '0'
    redis.call('HSET', window, 'used', sum(total, amount, -1))
  end
end
return 1
"""


class RedisStore:
    """The windows in a Redis server, shared by a fleet of machines.

    Each admission is one Lua script, which Redis runs whole and alone: the
    windows' old entries are dropped, every amount is checked, and all are
    added or none. Amounts travel and are kept as plain decimal texts and
    summed exactly in the script, since Lua's numbers are doubles.
    An admission is sent once, never again: a server that cannot be reached,
    fails, or whose answer is lost makes the decision raise `StoreError`, so
    that nothing is admitted twice (a lost answer may have admitted once).
    Keys start with `prefix` and expire once their window has.
    Needs the ``redis`` client: ``pip install 'quindle-brevault-agent[redis]'``.
    """

    def __init__(self, url: str, *, prefix: str = "qba:limit:", timeout: float = 5.0) -> None:
        try:
            import redis
            from redis.backoff import NoBackoff
            from redis.retry import Retry
        except ImportError as exc:
            raise ImportError(
                "RedisStore needs the redis client: pip install 'quindle-brevault-agent[redis]'"
            ) from exc
        self.url = url
        self.prefix = prefix
        self.timeout = timeout
        self._errors = (redis.RedisError, OSError)
        self._redis = redis
        # No retry: a call sent again after its answer was lost would admit
        # twice.
        self._client = redis.Redis.from_url(
            url, socket_timeout=timeout, socket_connect_timeout=timeout, retry=Retry(NoBackoff(), 0)
        )
        self._scripts: dict[str, bytes] = {}
        # The client's connections, opened and greeted by it (TLS, AUTH,
        # SELECT), each used by one call at a time; the calls themselves are
        # written and read here, which costs a fraction of the client's own
        # path for a command.
        self._idle: list[Any] = []
        self._pid = os.getpid()
        self._known: dict[tuple[str, str, str], bytes] = {}

    def __repr__(self) -> str:
        return f"RedisStore({self.url!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_redis_store, (self.url, self.prefix, self.timeout))

    def _keys(self, limit_id: str, key: str) -> tuple[str, str]:
        # The key's text is JSON, without a control character: the last
        # separator ends the limit's name.
        window = f"{self.prefix}{limit_id}\x1f{key}\x1f"
        return window + "w", window + "e"

    def _take(self) -> Any:
        """An open connection with nothing to read. (One that the server
        closed, or that holds an answer nobody read, is opened anew: a call
        is never sent on a connection that cannot answer it.)"""
        if self._pid != os.getpid():
            self._idle, self._pid = [], os.getpid()  # a forked child opens its own
        try:
            connection = self._idle.pop()
        except IndexError:
            pool = self._client.connection_pool
            connection = pool.connection_class(**pool.connection_kwargs)
        if connection._sock is None:
            connection.connect()
        elif _readable(connection._sock):
            connection.disconnect()
            connection.connect()
        return connection

    def _script(self, script: str) -> bytes:
        loaded = self._client.script_load(script)
        sha = self._scripts[script] = loaded if isinstance(loaded, bytes) else str(loaded).encode()
        return sha

    def _run(self, script: str, keys: int, items: int, body: bytes, doing: str) -> Any:
        """The script's answer to ``EVALSHA sha keys`` followed by `body`, its
        `items` keys and arguments as the protocol sends them, sent once (a
        NOSCRIPT answer, from a server that lost its scripts, means it never
        ran: it is loaded and sent again)."""
        try:
            sha = self._scripts.get(script) or self._script(script)
            connection = self._take()
            try:
                answer = _call(connection._sock, _evalsha(sha, keys, items, body))
                if isinstance(answer, _Refusal) and answer.text.startswith("NOSCRIPT"):
                    answer = _call(connection._sock, _evalsha(self._script(script), keys, items, body))
            except BaseException:
                connection.disconnect()  # what it was in the middle of is unknown
                raise
            finally:
                self._idle.append(connection)
            if isinstance(answer, _Refusal):
                raise self._redis.ResponseError(answer.text)
            return answer
        except self._errors as exc:
            raise StoreError(f"the limits' store {self.url} could not {doing}: {exc}") from exc

    def admit(self, requests: tuple[Request, ...], now: float) -> Answer:
        # The amounts and limits are plain decimal texts: ASCII, as the rest.
        keys: list[bytes] = []
        args = [_bulk(repr(now))]
        for limit_id, key, amount, limit, expires, blocks in requests:
            keys.append(self._known.get((self.prefix, limit_id, key)) or self._both(limit_id, key))
            when, life = repr(expires), str(max(math.ceil(2 * (expires - now)), 1))
            args.append(
                f"${len(amount)}\r\n{amount}\r\n${len(limit)}\r\n{limit}\r\n${len(when)}\r\n{when}\r\n"
                f"$1\r\n{1 if blocks else 0}\r\n${len(life)}\r\n{life}\r\n"
            )
        count = len(requests)
        reply = self._run(_ADMIT, 2 * count, 7 * count + 1, b"".join(keys) + "".join(args).encode(), "admit")
        fields = reply.decode("ascii").split(" ")
        admitted = fields[0] == "1"
        results = []
        for at in range(1, len(fields), 3):
            entry = int(fields[at])
            results.append((entry if admitted and entry else None, fields[at + 1], fields[at + 2] == "1"))
        return admitted, tuple(results)

    def _both(self, limit_id: str, key: str) -> bytes:
        """A window's two keys as the protocol sends them (kept for the next
        admissions, up to a few thousand windows)."""
        if len(self._known) >= 4096:
            self._known.clear()
        packed = b"".join(_bulk_bytes(name.encode()) for name in self._keys(limit_id, key))
        self._known[(self.prefix, limit_id, key)] = packed
        return packed

    def refund(self, entries: tuple[tuple[str, str, Any, str, float], ...]) -> None:
        keys: list[str] = []
        args: list[str] = []
        for limit_id, key, entry, amount, _expires in entries:
            keys.extend(self._keys(limit_id, key))
            args.extend((str(entry), amount))
        if keys:
            body = b"".join(_bulk_bytes(item.encode()) for item in keys + args)
            self._run(_REFUND, len(keys), len(keys) + len(args), body, "refund")

    def close(self) -> None:
        idle, self._idle = self._idle, []
        for connection in idle:
            connection.disconnect()
        self._client.close()


class _Refusal:
    """An error answer of the server."""

    def __init__(self, text: str) -> None:
        self.text = text


def _readable(sock: Any) -> bool:
    """Whether `sock` has something to read (or was closed), without waiting."""
    if getattr(sock, "pending", None) is not None and sock.pending():
        return True  # a TLS socket holding decrypted bytes
    if not hasattr(select, "poll"):
        return bool(select.select([sock], [], [], 0)[0])
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return bool(poller.poll(0))


def _call(sock: Any, command: bytes) -> Any:
    """Sends `command` and reads its answer: the bytes of a bulk string (None
    for a null one), an integer, or a `_Refusal` for an error."""
    sock.sendall(command)
    data = b""
    while True:
        more = sock.recv(65536)
        if not more:
            raise ConnectionError("the server closed the connection")
        data += more
        end = data.find(b"\r\n")
        if end < 0:
            continue
        kind = data[:1]
        if kind == b"$":
            size = int(data[1:end])
            if size < 0:
                return None
            if len(data) >= end + size + 4:
                return data[end + 2 : end + 2 + size]
        elif kind == b":":
            return int(data[1:end])
        elif kind == b"-":
            return _Refusal(data[1:end].decode("utf-8", "replace"))
        else:
            raise ConnectionError(f"the server answered what is not a script's answer: {data[:40]!r}")


def _evalsha(sha: bytes, keys: int, items: int, body: bytes) -> bytes:
    """``EVALSHA sha keys`` and then `body`, which holds `items` items."""
    return b"*%d\r\n$7\r\nEVALSHA\r\n$%d\r\n%s\r\n%s%s" % (
        items + 3, len(sha), sha, _bulk(str(keys)).encode(), body)


def _bulk(text: str) -> str:
    """An ASCII text as the protocol's bulk string."""
    return f"${len(text)}\r\n{text}\r\n"


def _bulk_bytes(data: bytes) -> bytes:
    return b"$%d\r\n%s\r\n" % (len(data), data)


def _redis_store(url: str, prefix: str, timeout: float) -> RedisStore:
    return RedisStore(url, prefix=prefix, timeout=timeout)


# ---------------------------------------------------------------- by name


def open_store(spec: str, *, base: str | None = None) -> Any:
    """The store that `spec` names: ``memory``, ``sqlite:PATH`` (a relative
    PATH is taken from the folder `base` when given) or a Redis URL
    (``redis://``, ``rediss://``, ``unix://``)."""
    if spec == "memory":
        return MemoryStore()
    if spec.startswith("sqlite:"):
        path = spec[len("sqlite:") :]
        if not path:
            raise ValueError("a sqlite: store needs a path: sqlite:PATH")
        if base is not None and not os.path.isabs(path):
            path = os.path.join(base, path)
        return SQLiteStore(path)
    if spec.startswith(("redis://", "rediss://", "unix://")):
        return RedisStore(spec)
    raise ValueError(f"unknown store {spec!r}: expected 'memory', 'sqlite:PATH' or a redis:// URL")
