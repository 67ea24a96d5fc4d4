"""``--cluster ADDRESS``: replay, test and diff with their inputs decided on a Dask cluster.

``local:N`` starts a `distributed.LocalCluster` of N worker processes for the
run and closes it at the end; ``tcp://HOST:PORT`` (any address the
distributed scheduler takes) or a scheduler file joins a running one. Dask,
its distributed scheduler and fsspec come with the ``cluster`` extra; the
command line imports them only when ``--cluster`` is given.

Inputs are files and globs, local or any fsspec URL (``s3://...`` with
s3fs), expanded here in the order given, each glob's matches sorted. An
input is cut into partitions: a whole file, or, for a plain file larger
than `BLOCK` bytes, blocks cut at line ends, whose lines are counted first
(a quick pass over the bytes) so that each block numbers its lines as the
whole file would. Gzip input and a file with NUL bytes are one partition.
Standard input (``-``) is read here, in its place among the inputs.

Each partition is decided on a worker by the command's own code, the code
that decides its lines in one process, with the policy loaded there: the
POLICY argument travels as its text and the bytes of its file, never as a
pickled object. What comes back is what one process would have written
for those lines (rows, reports of bad lines, counts), merged here in input
order, a few partitions ahead at most, so that this process holds the rows
of one partition at a time whatever the input's size. A worker that is lost
has its partitions decided again by Dask.
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import io
import logging
import os
import pickle
import shutil
import tempfile
import threading
import uuid
from collections import deque
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Iterator, NamedTuple, Protocol, Sequence, TextIO

from .. import jsonl
from ..limits.behaviours import is_limit
from ..policy_files import PolicyLoadError, load_error, load_policy
from .interrupts import Interrupts, install, restore
from .output import PROG
from .progress import Progress

__all__ = [
    "add_argument", "missing", "splittable", "open_sources", "shipped", "Shipped", "load",
    "target_here", "Session", "Stop", "PolicyFailed", "ClusterFailed", "Rows", "Spool",
    "Spooled", "encoding", "reports", "copy_rows", "numbered", "dask_setup",
]

BLOCK = 64 << 20  # bytes of a plain file decided in one partition
AHEAD = 2  # partitions in flight per worker thread
_SCAN = 1 << 16  # bytes read at a time while looking for a line end
_COUNT = 1 << 22  # bytes read at a time while counting lines
_GZIP = b"\x1f\x8b"
_CONNECT_TIMEOUT = 30  # seconds to reach a running scheduler
_DRAW = 0.2  # seconds between looks at the partitions in flight, for the progress line
_LOCAL = "local:"

INSTALL = (
    f"{PROG}: --cluster needs Dask and its distributed scheduler: "
    "pip install 'quindle-brevault-agent[cluster]'"
)

ADDRESS_HELP = (
    "decide the inputs on a Dask cluster: local:N starts N worker processes for "
    "the run; tcp://HOST:PORT or a scheduler file joins a running cluster "
    "(needs the cluster extra)"
)


def _address(text: str) -> str:
    if text.startswith(_LOCAL):
        count = text[len(_LOCAL):]
        if not (count.isdigit() and int(count) > 0):
            raise ValueError(text)
    elif not text:
        raise ValueError(text)
    return text


_address.__name__ = "cluster address (local:N, tcp://HOST:PORT or a scheduler file)"


def add_argument(parser: argparse.ArgumentParser) -> None:
    """Adds ``--cluster ADDRESS`` to a command's parser."""
    parser.add_argument("--cluster", metavar="ADDRESS", type=_address, help=ADDRESS_HELP)


def _module(name: str) -> Any:
    """An optional dependency, imported on first use (typed as Any: the
    command line never needs its types)."""
    import importlib

    return importlib.import_module(name)


def missing() -> str | None:
    """The message for ``--cluster`` without the cluster extra, or None."""
    try:
        for name in ("dask", "distributed", "fsspec"):
            _module(name)
    except ImportError:
        return INSTALL
    return None


def splittable(policies: Sequence[Any]) -> str | None:
    """Why the policies cannot be decided in partitions apart, or None.

    A partition is decided apart from the others, in any order, so a
    decision may depend on its own event only. A limit (a budget, a rate
    limit, a repeat limit) depends on the events before it: a policy with
    one is refused here, with the reason, before anything is decided."""
    for policy in policies:
        limits = getattr(policy, "limits", None)
        if limits is not None:
            names = ", ".join(repr(str(item.name)) for item in policy if is_limit(item))
            return (
                f"the policy has limits ({names}), which decide each event after the ones before it:"
                " --cluster decides its partitions apart; decide them without --cluster"
            )
    return None



class Stop(Exception):
    """The run stops with this one message (a cluster that cannot be
    reached, a policy that does not load on a worker), before its summary."""


class PolicyFailed(Stop):
    """A policy that loaded here did not load on a worker: the message is the
    one a local load failure gives."""


class ClusterFailed(jsonl.InputError):
    """The cluster could not decide an input (its workers kept dying, the
    scheduler went away): the run stops there, as on input that cannot be read."""


# ---------------------------------------------------------------- inputs


@dataclass
class Located(jsonl.Source):
    """An input as the workers open it: `url`, a local file's absolute path
    or an fsspec URL; `name` is how rows and reports show it."""

    url: str = ""


def _magic(name: str) -> bool:
    return glob.has_magic(name)


def _reason(exc: BaseException) -> str:
    if isinstance(exc, FileNotFoundError):
        return "No such file or directory"
    if isinstance(exc, IsADirectoryError):
        return "Is a directory"
    if isinstance(exc, PermissionError):
        return "Permission denied"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__


def _local(name: str, stdin: BinaryIO) -> list[jsonl.Source]:
    names = [name]
    if _magic(name) and not os.path.lexists(name):
        names = sorted(glob.glob(name))
        if not names:
            raise jsonl.InputError(f"cannot open {name}: No such file or directory")
    found: list[jsonl.Source] = []
    try:
        for each in names:
            opened = jsonl.open_sources([each], stdin)[0]
            found.append(Located(opened.name, opened.stream, opened.size, os.path.abspath(each)))
    except jsonl.InputError:
        jsonl.close_sources(found)
        raise
    return found


def _remote(name: str) -> list[jsonl.Source]:
    fsspec = _module("fsspec")
    try:
        fs, path = fsspec.core.url_to_fs(name)
        paths = [path]
        if _magic(path):
            paths = sorted(fs.glob(path))
            if not paths:
                raise FileNotFoundError(name)
        found: list[jsonl.Source] = []
        for each in paths:
            info = fs.info(each)
            if info.get("type") == "directory":
                raise IsADirectoryError(each)
            url = name if each is path else fs.unstrip_protocol(each)
            found.append(Located(url, io.BytesIO(), info.get("size") or None, url))
    except Exception as exc:
        raise jsonl.InputError(f"cannot open {name}: {_reason(exc)}") from exc
    return found


def open_sources(names: Sequence[str], stdin: BinaryIO) -> list[jsonl.Source]:
    """Every input, or none, as `jsonl.open_sources` opens them, with globs
    and fsspec URLs expanded: a local file is opened here (so that an output
    that is one of them is refused, and a missing one is named as always),
    a URL is looked up; ``-`` stays standard input."""
    sources: list[jsonl.Source] = []
    try:
        for name in names:
            if name == "-":
                sources.append(jsonl.Source("-", stdin, None))
            elif "://" in name and not os.path.exists(name):
                sources += _remote(name)
            else:
                sources += _local(name, stdin)
    except jsonl.InputError:
        jsonl.close_sources(sources)
        raise
    return sources


# ---------------------------------------------------------------- the policy on a worker


@dataclass(frozen=True)
class Shipped:
    """A POLICY argument as it travels to the workers: the target as given,
    and the bytes of its file (None for a module, imported there by name);
    `label` comes before its messages (diff's ``OLD: ``)."""

    target: str
    label: str
    file: str | None  # the file that `target` names, as given
    path: str | None  # its absolute path here
    data: bytes | None
    digest: str


def shipped(target: str, label: str = "") -> Shipped:
    """`target` (a POLICY argument that loaded here) for the workers."""
    file: str | None = None
    if os.path.isfile(target):
        file = target
    else:
        ref, colon, name = target.rpartition(":")
        if colon and name.isidentifier() and ref and os.path.isfile(ref):
            file = ref
    data = None
    if file is not None:
        try:
            with open(file, "rb") as stream:
                data = stream.read()
        except OSError:
            file = None
    digest = hashlib.sha256(data if data is not None else target.encode("utf-8", "surrogatepass"))
    return Shipped(
        target, label, file, None if file is None else os.path.abspath(file), data, digest.hexdigest()
    )


_loaded: dict[Any, Any] = {}
_loading = threading.Lock()
_copies: tempfile.TemporaryDirectory[str] | None = None


def _here(spec: Shipped) -> tuple[str, str | None]:
    """The target to load on this worker, and the file it names here when
    that is not the file as given: the file where the client read it when it
    holds the same bytes here, else a copy of the bytes (with the same name,
    in a folder of its own)."""
    global _copies
    if spec.data is None or spec.file is None or spec.path is None:
        return spec.target, None
    rest = spec.target[len(spec.file):]
    try:
        with open(spec.path, "rb") as stream:
            same = stream.read() == spec.data
    except OSError:
        same = False
    if same:
        if os.path.abspath(spec.file) == spec.path:
            return spec.target, None
        return spec.path + rest, spec.path
    if _copies is None:
        _copies = tempfile.TemporaryDirectory(prefix="quindle-policy-")
    folder = os.path.join(_copies.name, spec.digest)
    copy = os.path.join(folder, os.path.basename(spec.file))
    if not os.path.exists(copy):
        os.makedirs(folder, exist_ok=True)
        with open(copy, "wb") as stream:
            stream.write(spec.data)
    return copy + rest, copy


def target_here(spec: Shipped) -> str:
    """The target that `load` loads `spec` from on this worker."""
    return _here(spec)[0]


def load(spec: Shipped) -> Any:
    """The policy `spec` names, loaded here; `PolicyFailed` with the message
    of a local load failure (naming the file as given) when it does not load."""
    target, file = _here(spec)
    try:
        return load_policy(target)
    except PolicyLoadError as exc:
        message = load_error(spec.target, exc)
        if file is not None and spec.file is not None:
            message = message.replace(file, spec.file)
        raise PolicyFailed(spec.label + message) from None


def _load_all(specs: Sequence[Shipped]) -> list[Any]:
    return [load(spec) for spec in specs]


def _cached(loader: Callable[[Sequence[Shipped]], Any], specs: Sequence[Shipped]) -> Any:
    """What `loader` makes of `specs`, made once per worker process."""
    key = (loader.__module__, loader.__qualname__, tuple((s.target, s.label, s.digest) for s in specs))
    with _loading:
        if key not in _loaded:
            _loaded[key] = loader(specs)
        return _loaded[key]


def dask_setup(worker: Any) -> None:
    """Run by each worker process as it starts (a preload): Ctrl-C at the
    terminal is for the command, which closes the cluster it started."""
    import signal

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


# ---------------------------------------------------------------- partitions


class Part(NamedTuple):
    """A partition: input `name` (opened as `url`) whole when `stop` is None,
    else the lines that start in bytes `start` to `stop`, after `lines`
    line ends."""

    name: str
    url: str
    size: int | None
    start: int
    stop: int | None
    lines: int


class _Failed(NamedTuple):
    message: str  # a policy that did not load


class _Unreadable(NamedTuple):
    message: str  # an input that could not be opened


def _open(url: str) -> Any:
    return _module("fsspec").open(url, "rb").open()


def _count(url: str, start: int, stop: int) -> tuple[int, bool]:
    """Line ends in bytes `start` to `stop` of `url`, and whether a NUL byte is there."""
    with _open(url) as stream:
        stream.seek(start)
        lines = 0
        nul = False
        at = start
        while at < stop:
            block = stream.read(min(_COUNT, stop - at))
            if not block:
                break
            lines += block.count(b"\n")
            nul = nul or b"\0" in block
            at += len(block)
    return lines, nul


def _line_end(stream: Any, at: int, size: int) -> int:
    """The offset just after the first line end at or after `at` (`size` if none)."""
    stream.seek(at)
    while at < size:
        block = bytes(stream.read(_SCAN))
        if not block:
            break
        found = block.find(b"\n")
        if found >= 0:
            return at + found + 1
        at += len(block)
    return size


class _Window(io.RawIOBase):
    """Bytes `start` to `end` of `stream`, after `prefix`."""

    def __init__(self, stream: Any, start: int, end: int, prefix: bytes) -> None:
        super().__init__()
        self.stream = stream
        self.left = end - start
        self.prefix = prefix
        stream.seek(start)

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.prefix:
            size = min(len(buffer), len(self.prefix))
            buffer[:size] = self.prefix[:size]
            self.prefix = self.prefix[size:]
            return size
        want = min(len(buffer), self.left)
        if want <= 0:
            return 0
        data = self.stream.read(want)
        buffer[: len(data)] = data
        self.left -= len(data)
        return len(data)


def _part_source(part: Part) -> tuple[jsonl.Source, int]:
    """The partition's lines as a source, and the number of the line before
    its first. A block after the first is read after a blank line, so that
    its first bytes are taken as any other line's (no byte order mark, no
    gzip, no binary check: those are for the start of an input)."""
    try:
        stream = _open(part.url)
    except Exception as exc:
        raise jsonl.InputError(f"cannot open {part.name}: {_reason(exc)}") from exc
    if part.stop is None:
        return jsonl.Source(part.name, stream, part.size), 0
    size = part.size or 0
    try:
        start = _line_end(stream, part.start, size) if part.start else 0
        end = _line_end(stream, part.stop, size) if part.stop < size else size
    except Exception as exc:
        stream.close()
        raise jsonl.InputError(f"cannot read {part.name}: {_reason(exc)}") from exc
    window = _Window(stream, start, max(start, end), b"\n" if start else b"")
    reader = io.BufferedReader(window, jsonl.CHUNK)
    # The window closes the stream with it.
    window.close = stream.close  # type: ignore[method-assign]
    return jsonl.Source(part.name, reader, end - start or None), part.lines - 1 if start else 0


def _decide(task: Callable[..., Any], loader: Callable[[Sequence[Shipped]], Any] | None,
            specs: Sequence[Shipped], part: Part, options: Any) -> Any:
    """A partition decided on a worker: the policies loaded (once per process),
    then `task(policies, source, first_line, options)`."""
    try:
        policies = _cached(loader or _load_all, specs)
    except PolicyFailed as exc:
        return _Failed(str(exc))
    try:
        source, first_line = _part_source(part)
    except jsonl.InputError as exc:
        return _Unreadable(str(exc))
    try:
        return task(policies, source, first_line, options)
    finally:
        source.stream.close()


def numbered(lines: Iterator[jsonl.Line], first_line: int) -> Iterator[jsonl.Line]:
    """`jsonl.read`'s lines numbered after `first_line` lines."""
    if not first_line:
        return lines
    return ((number + first_line, raw, value, error) for number, raw, value, error in lines)


class _Local(NamedTuple):
    source: jsonl.Source  # standard input, read here


# ---------------------------------------------------------------- rows


class Spool(NamedTuple):
    """A folder of the client's machine where a worker that sees it (the
    file `mark` is there) leaves a partition's rows, rather than sending
    them through a socket."""

    folder: str
    mark: str


class Spooled(NamedTuple):
    """A partition's rows left in the spool."""

    path: str
    size: int


class Rows:
    """A partition's rows, encoded as the client's output encodes them, so
    that the client copies bytes: in the client's spool when this worker
    sees it, else in memory; `tell` is the size written so far."""

    def __init__(self, encoding: str, errors: str, spool: Spool | None = None) -> None:
        self.path: str | None = None
        self.memory: io.BytesIO | None = io.BytesIO()
        self.data: BinaryIO = self.memory
        if spool is not None and os.path.exists(os.path.join(spool.folder, spool.mark)):
            fd, self.path = tempfile.mkstemp(suffix=".rows", dir=spool.folder)
            self.memory = None
            self.data = os.fdopen(fd, "wb")
        self.encoding = encoding
        self.errors = errors

    def write(self, text: str) -> int:
        self.data.write(text.encode(self.encoding, self.errors))
        return len(text)

    def flush(self) -> None:
        pass

    def tell(self) -> int:
        return self.data.tell()

    def value(self) -> bytes | Spooled:
        """The rows, or where they were left."""
        if self.memory is not None or self.path is None:
            return self.memory.getvalue() if self.memory is not None else b""
        size = self.data.tell()
        self.data.close()
        return Spooled(self.path, size)


def encoding(out: TextIO) -> tuple[str, str]:
    """How rows are encoded for `out`."""
    if isinstance(out, io.TextIOWrapper):
        return out.encoding, out.errors or "strict"
    return "utf-8", "surrogatepass"


def reports(stream: io.BytesIO) -> list[tuple[int, str]]:
    """The ``(rows written before, text)`` pairs that a replay pickled into `stream`."""
    stream.seek(0)
    found = []
    while True:
        try:
            found.append(pickle.load(stream))
        except EOFError:
            return found


class Replayer(Protocol):
    """What `copy_rows` needs of the replay it writes for."""

    out: TextIO
    out_tty: bool
    progress: Progress

    def flush(self) -> None: ...
    def show(self, text: str) -> None: ...


def copy_rows(replay: Replayer, rows: bytes | Spooled, said: Sequence[tuple[int, str]]) -> None:
    """Writes a partition's rows, each report shown (`replay.show`) after
    the rows written before it; rows left in the spool are removed."""
    out = replay.out
    replay.flush()
    out.flush()  # the header, written before any row
    raw = out.buffer if isinstance(out, io.TextIOWrapper) else None
    code, errors = encoding(out)
    stream: BinaryIO
    if isinstance(rows, Spooled):
        left: str | None = rows.path
        stream, size = open(rows.path, "rb"), rows.size
    else:
        left = None
        stream, size = io.BytesIO(rows), len(rows)
    try:
        copied = 0
        for upto, text in [*said, (size, None)]:
            if upto > copied and replay.out_tty:
                replay.progress.clear()
            while copied < upto:
                data = stream.read(min(jsonl.CHUNK, upto - copied))
                if not data:
                    raise jsonl.InputError(f"the rows of a partition were cut short ({copied} of {size} bytes)")
                copied += len(data)
                if raw is not None:
                    raw.write(data)
                else:
                    out.write(data.decode(code, errors))
            if raw is not None:
                raw.flush()
            else:
                out.flush()
            if text is not None:
                replay.show(text)
    finally:
        stream.close()
        if left is not None:
            os.unlink(left)


# ---------------------------------------------------------------- the session


def _stop_workers(cluster: Any) -> Any:
    """Stops a local cluster's worker processes at once (what they were
    deciding is of no use any more), before the cluster closes."""
    import asyncio

    async def stop() -> None:
        await asyncio.gather(
            *(worker.close(timeout=0.5) for worker in list(cluster.workers.values())),
            return_exceptions=True,
        )

    return stop()


def _worker_environ(dask: Any) -> dict[str, Any]:
    """The environment a local cluster's worker processes start with: Dask's
    own, without its malloc trim threshold. A fixed threshold also fixes the
    size above which glibc maps each block afresh, so that every chunk the
    reader allocates is mapped, faulted in and unmapped again: a third to a
    half more CPU time for a worker than for one process on the same lines,
    to return memory that a run's own workers give back when they stop."""
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", None) or {})
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    return environ


class Session:
    """A client on a cluster for one run: a local cluster started for it,
    or a running one joined (`address`). Ctrl-C while it starts or closes
    waits until it has, so that nothing is left running."""

    def __init__(self, address: str, err: TextIO, progress: Progress) -> None:
        self.address = address
        self.err = err
        self.progress = progress
        self.cluster: Any = None
        self.client: Any = None
        self.spool: Spool | None = None

    def __enter__(self) -> Session:
        pressed: list[int] = []
        previous = install(lambda signum, frame: pressed.append(signum))
        try:
            self._start()
        finally:
            restore(previous)
            if pressed:
                self._close(interrupted=True)
                raise KeyboardInterrupt
        return self

    def _start(self) -> None:
        distributed = _module("distributed")
        folder = tempfile.mkdtemp(prefix="quindle-rows-")
        self.spool = Spool(folder, uuid.uuid4().hex)
        open(os.path.join(folder, self.spool.mark), "wb").close()
        try:
            if self.address.startswith(_LOCAL):
                workers = int(self.address[len(_LOCAL):])
                what = f"start a local cluster of {workers} worker{'s' if workers != 1 else ''}"
                # A worker's event loop wakes up for its statistical profiler
                # (every 10 ms), its health check (20 ms) and its memory
                # monitor (100 ms), each time taking the interpreter from the
                # thread that decides: of little use for a run's own workers.
                dask = _module("dask")
                with dask.config.set({
                    "distributed.worker.profile.enabled": False,
                    "distributed.admin.tick.interval": "1s",
                    "distributed.worker.memory.monitor-interval": "1s",
                    "distributed.nanny.pre-spawn-environ": _worker_environ(dask),
                }):
                    self.cluster = distributed.LocalCluster(
                        n_workers=workers,
                        threads_per_worker=1,
                        processes=True,
                        dashboard_address=None,
                        # No dashboard; the scheduler's own HTTP routes on a
                        # free port of this machine only, never 8787.
                        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                        silence_logs=logging.ERROR,
                        preload=[__name__],
                    )
                self.client = distributed.Client(self.cluster, set_as_default=False)
            elif "://" not in self.address and os.path.isfile(self.address):
                what = f"join the cluster of scheduler file {self.address}"
                self.client = distributed.Client(
                    scheduler_file=self.address, set_as_default=False, timeout=_CONNECT_TIMEOUT
                )
            else:
                what = f"join the cluster at {self.address}"
                self.client = distributed.Client(
                    self.address, set_as_default=False, timeout=_CONNECT_TIMEOUT
                )
        except Exception as exc:
            self._close(interrupted=True)
            raise Stop(f"cannot {what}: {str(exc) or type(exc).__name__}") from exc

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        pressed: list[int] = []
        previous = install(lambda signum, frame: pressed.append(signum))
        try:
            self._close(interrupted=kind is not None)
        finally:
            restore(previous)
        if pressed and kind is None:
            raise KeyboardInterrupt

    def _close(self, interrupted: bool) -> None:
        client, cluster, spool = self.client, self.cluster, self.spool
        self.client = self.cluster = self.spool = None
        if spool is not None:
            shutil.rmtree(spool.folder, ignore_errors=True)
        try:
            if client is not None:
                client.close()
            if cluster is not None:
                if interrupted:
                    cluster.sync(_stop_workers, cluster)
                cluster.close()
        except Exception:
            if cluster is not None:
                cluster.close()

    # -- deciding

    def run(
        self,
        sources: Sequence[jsonl.Source],
        task: Callable[..., Any],
        specs: Sequence[Shipped],
        options: Any,
        merge: Callable[[Any], None],
        local: Callable[[jsonl.Source], None],
        interrupts: Interrupts | None = None,
        loader: Callable[[Sequence[Shipped]], Any] | None = None,
    ) -> None:
        """Decides every input in partitions on the cluster: on the workers,
        ``task(policies, source, first_line, options)`` with the policies
        that `loader` makes of `specs` (each one loaded, by default); here,
        `merge` of each partition's result in input order, and `local` of
        standard input in its place. With `interrupts`, Ctrl-C ends a wait at
        once and is held while a result is merged."""
        client = self.client
        window = AHEAD * max(sum(client.nthreads().values()), 1)
        run_id = uuid.uuid4().hex
        plan = _Plan(client, sources, run_id)
        flight: deque[tuple[Any, Any]] = deque()  # (Part, future) or (_Local, None)
        merged = 0
        while True:
            while len(flight) < window:
                item = plan.next()
                if item is None:
                    break
                future = None
                if isinstance(item, Part):
                    future = client.submit(
                        _decide, task, loader, list(specs), item, options,
                        key=f"quindle-{run_id}-{plan.handed}", priority=-plan.handed, pure=False,
                    )
                flight.append((item, future))
            if not flight:
                break
            item, future = flight.popleft()
            if future is None:
                self.progress.clear()
                local(item.source)
                continue
            result = self._wait(item, future, lambda: (
                merged + sum(1 for _, f in flight if f is not None and f.done()),
                merged + 1 + len(flight) + plan.left(),
            ), interrupts)
            del future
            self.progress.clear()
            if isinstance(result, _Failed):
                raise PolicyFailed(result.message)
            if isinstance(result, _Unreadable):
                raise jsonl.InputError(result.message)
            merge(result)
            merged += 1
            del result
            if interrupts is not None:
                interrupts.check()
        self.progress.clear()

    def _wait(self, part: Part, future: Any, done: Callable[[], tuple[int, int]],
              interrupts: Interrupts | None) -> Any:
        """The result of `future`, with the progress line (`done()`: partitions
        decided, of how many) drawn meanwhile; Ctrl-C ends the wait at once."""
        if interrupts is not None:
            interrupts.at_once = True
            interrupts.check()
        # Waited for here, on an event that the future sets when it is done
        # (a wait with a timeout inside the client can lose the result).
        finished_here = threading.Event()
        future.add_done_callback(lambda _: finished_here.set())
        try:
            while True:
                if self.progress.on:
                    finished, total = done()
                    self.progress.draw(
                        f"{finished:,} of {total:,} partitions decided ({100 * finished // max(total, 1)}%)"
                    )
                if finished_here.wait(_DRAW):
                    break
            try:
                return future.result()
            except Exception as exc:
                raise ClusterFailed(
                    f"cannot decide {part.name} on the cluster: {type(exc).__name__}: {exc}"
                ) from exc
        finally:
            if interrupts is not None:
                interrupts.at_once = False


class _Split(NamedTuple):
    """A plain file cut in blocks, whose lines are being counted on the cluster."""

    source: Located
    starts: list[int]
    counts: list[Any]  # futures of (line ends, NUL byte seen) per block


class _Plan:
    """The partitions of the inputs in input order, and `_Local` for standard
    input; a plain file larger than `BLOCK` is cut in blocks once its lines
    are counted (the counts are asked for at once, ahead of any partition)."""

    def __init__(self, client: Any, sources: Sequence[jsonl.Source], run_id: str) -> None:
        self.queue: deque[Any] = deque()
        self.ready: deque[Any] = deque()
        self.handed = 0
        for index, source in enumerate(sources):
            if not isinstance(source, Located):
                self.queue.append(_Local(source))
                continue
            size = source.size or 0
            if size <= BLOCK or _is_gzip(source):
                self.queue.append(Part(source.name, source.url, source.size, 0, None, 0))
                continue
            starts = list(range(0, size, BLOCK))
            counts = [
                client.submit(
                    _count, source.url, start, min(start + BLOCK, size),
                    key=f"quindle-{run_id}-count-{index}-{block}", priority=1, pure=False,
                )
                for block, start in enumerate(starts)
            ]
            self.queue.append(_Split(source, starts, counts))

    def left(self) -> int:
        """Partitions not handed out yet, as far as they are known."""
        return len(self.ready) + sum(len(i.starts) if isinstance(i, _Split) else 1 for i in self.queue)

    def next(self) -> Part | _Local | None:
        while not self.ready:
            if not self.queue:
                return None
            item = self.queue.popleft()
            if isinstance(item, _Split):
                self.ready.extend(_blocks(item))
            else:
                self.ready.append(item)
        self.handed += 1
        found: Part | _Local = self.ready.popleft()
        return found


def _blocks(split: _Split) -> list[Part]:
    """The partitions of a file cut in blocks: each block numbers its lines
    after the line ends of the blocks before it; a file with a NUL byte is
    read whole, as one process judges whether it is binary at all."""
    source = split.source
    try:
        found = [future.result() for future in split.counts]
    except Exception as exc:
        raise ClusterFailed(f"cannot read {source.name}: {type(exc).__name__}: {exc}") from exc
    if any(nul for _, nul in found):
        return [Part(source.name, source.url, source.size, 0, None, 0)]
    parts = []
    before = 0
    for start, (lines, _) in zip(split.starts, found):
        parts.append(Part(source.name, source.url, source.size, start, start + BLOCK, before + 1))
        before += lines
    return parts


def _is_gzip(source: Located) -> bool:
    try:
        with _open(source.url) as stream:
            return bytes(stream.read(2)) == _GZIP
    except Exception as exc:
        raise jsonl.InputError(f"cannot read {source.name}: {_reason(exc)}") from exc
