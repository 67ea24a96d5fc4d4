"""``replay --jobs N``: one named file replayed by N processes.

The file is cut into N byte ranges, each cut moved to the next line end, so
that every line belongs to one range. This process replays the first range;
a forked worker replays each other one into temporary files (its rows, its
bad-line reports with the size of the rows before each, and its counts),
numbering its lines after the newlines that come before its range. The
rows and reports are then written in input order and the counts added up,
so the output is that of one process.
"""

from __future__ import annotations

import io
import mmap
import os
import pickle
import signal
import stat
import tempfile
from typing import Any, BinaryIO, Protocol, TextIO, cast

from .. import jsonl
from .interrupts import Interrupts
from .progress import Progress

__all__ = ["ranges", "run_parallel", "Replayer", "usable_cpus"]


class Replayer(Protocol):
    """What the workers need of the replay that they share the work of."""

    out: TextIO
    err: TextIO
    out_tty: bool
    interrupts: Interrupts
    progress: Progress

    def run(self, source: jsonl.Source, first_line: int = 0) -> None: ...
    def flush(self) -> None: ...
    def show(self, text: str) -> None: ...
    def worker(self, out: TextIO, reports: BinaryIO) -> Replayer: ...
    def totals(self) -> tuple[Any, ...]: ...
    def add(self, totals: tuple[Any, ...]) -> None: ...


_SCAN = 1 << 16  # bytes read at a time while looking for a line end
_COUNT = 1 << 22  # bytes read at a time while counting lines
_GZIP = b"\x1f\x8b"


class _Range(io.RawIOBase):
    """Bytes `start` to `end` of the file open as `fd`, after `prefix`; read
    with pread, so that processes sharing `fd` never move each other's offset."""

    def __init__(self, fd: int, start: int, end: int, prefix: bytes = b"") -> None:
        super().__init__()
        self.fd = fd
        self.at = start
        self.end = end
        self.prefix = prefix

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self.prefix:
            size = min(len(buffer), len(self.prefix))
            buffer[:size] = self.prefix[:size]
            self.prefix = self.prefix[size:]
            return size
        want = min(len(buffer), self.end - self.at)
        if want <= 0:
            return 0
        got = os.preadv(self.fd, [memoryview(buffer)[:want]], self.at)
        self.at += got
        return got


def _source(name: str, fd: int, start: int, end: int, prefix: bytes = b"") -> jsonl.Source:
    stream = io.BufferedReader(_Range(fd, start, end, prefix), jsonl.CHUNK)
    return jsonl.Source(name, cast(BinaryIO, stream), end - start or None)


def _line_end(fd: int, at: int, size: int) -> int:
    """The offset just after the first line end at or after `at` (`size` if none)."""
    while at < size:
        block = os.pread(fd, _SCAN, at)
        if not block:
            break
        found = block.find(b"\n")
        if found >= 0:
            return at + found + 1
        at += len(block)
    return size


def _lines_before(fd: int, end: int) -> int:
    lines = 0
    at = 0
    while at < end:
        block = os.pread(fd, min(_COUNT, end - at), at)
        if not block:
            break
        lines += block.count(b"\n")
        at += len(block)
    return lines


def usable_cpus() -> int:
    """How many CPUs this process may run on (its affinity), at least 1."""
    return max(1, os.process_cpu_count() or 1)


def ranges(source: jsonl.Source, jobs: int) -> list[tuple[int, int]] | None:
    """The byte ranges of `source` for `jobs` processes, each ending at a line
    end; None when it is to be read in one piece (standard input, a pipe, gzip,
    a file with NUL bytes, whose first block the reader may judge as a whole)."""
    if source.name == "-":
        return None
    try:
        fd = source.stream.fileno()
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode) or info.st_size == 0:
            return None
        size = info.st_size
        if os.pread(fd, 2, 0) == _GZIP:
            return None
        with mmap.mmap(fd, 0, access=mmap.ACCESS_READ) as whole:
            if whole.find(b"\0") >= 0:
                return None
    except (OSError, ValueError, AttributeError):
        return None
    bounds = [0]
    for part in range(1, jobs):
        bounds.append(_line_end(fd, max(size * part // jobs, bounds[-1]), size))
    bounds.append(size)
    return [(bounds[i], bounds[i + 1]) for i in range(jobs) if i == 0 or bounds[i] < bounds[i + 1]]


class _Encoded:
    """A worker's rows, encoded as the parent's output encodes them, so that
    the parent copies bytes."""

    def __init__(self, file: BinaryIO, encoding: str, errors: str) -> None:
        self.file = file
        self.encoding = encoding
        self.errors = errors

    def write(self, text: str) -> None:
        self.file.write(text.encode(self.encoding, self.errors))

    def flush(self) -> None:
        self.file.flush()

    def tell(self) -> int:
        return self.file.tell()


def _encoding(out: TextIO) -> tuple[str, str, BinaryIO | None]:
    """How rows are encoded for `out`, and its byte stream when it has one."""
    if isinstance(out, io.TextIOWrapper):
        return out.encoding, out.errors or "strict", cast(BinaryIO, out.buffer)
    return "utf-8", "surrogatepass", None


class _Worker:
    """A forked process replaying one range into temporary files."""

    def __init__(self, start: int, end: int) -> None:
        self.start = start
        self.end = end
        self.rows = tempfile.TemporaryFile()
        self.reports = tempfile.TemporaryFile()
        self.result = tempfile.TemporaryFile()
        self.pid = 0

    def spawn(self, replay: Replayer, name: str, fd: int) -> None:
        # Ctrl-C stays blocked across the fork: the child must never unwind
        # through the parent's code, and ignores it (the parent ends it).
        old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    signal.signal(signal.SIGINT, signal.SIG_IGN)
                    signal.pthread_sigmask(signal.SIG_SETMASK, old)
                    self._work(replay, name, fd)
                    status = 0
                finally:
                    os._exit(status)  # never the parent's cleanup, atexit or flushes
            self.pid = pid
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, old)

    def _work(self, parent: Replayer, name: str, fd: int) -> None:
        encoding, errors, _ = _encoding(parent.out)
        rows = _Encoded(cast(BinaryIO, self.rows), encoding, errors)
        replay = parent.worker(cast(TextIO, rows), cast(BinaryIO, self.reports))
        error = None
        # The range is read after a blank line, so that the reader takes its
        # first bytes as any other line's (no byte order mark, no gzip).
        first_line = _lines_before(fd, self.start) - 1
        try:
            replay.run(_source(name, fd, self.start, self.end, b"\n"), first_line)
        except jsonl.InputError as exc:
            replay.flush()
            error = str(exc)
        rows.flush()
        self.reports.flush()
        pickle.dump((replay.totals(), error), self.result)
        self.result.flush()

    def wait(self, interrupts: Interrupts) -> tuple[Any, str | None] | None:
        """The counts and input error of a worker that ended well, else None."""
        interrupts.at_once = True
        try:
            interrupts.check()  # one held back before the wait ends it
            _, status = os.waitpid(self.pid, 0)
        finally:
            interrupts.at_once = False
        self.pid = 0
        if status != 0:
            return None
        self.result.seek(0)
        try:
            found: tuple[Any, str | None] = pickle.load(self.result)
        except Exception:
            return None
        return found

    def stop(self) -> None:
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except OSError:
                pass
            self.pid = 0
        for file in (self.rows, self.reports, self.result):
            file.close()


def _merge(replay: Replayer, worker: _Worker, counts: Any) -> None:
    """Writes a worker's rows and reports in order, then adds up its counts."""
    encoding, errors, raw = _encoding(replay.out)
    rows = worker.rows
    rows.seek(0)
    worker.reports.seek(0)
    copied = 0

    def copy(upto: int | None) -> None:
        nonlocal copied
        replay.flush()
        replay.out.flush()  # the header, written before any row
        if replay.out_tty:
            replay.progress.clear()
        while upto is None or copied < upto:
            data = rows.read(jsonl.CHUNK if upto is None else min(jsonl.CHUNK, upto - copied))
            if not data:
                break
            copied += len(data)
            if raw is not None:
                raw.write(data)
            else:
                replay.out.write(data.decode(encoding, errors))
        if raw is not None:
            raw.flush()
        else:
            replay.out.flush()

    while True:
        try:
            written, text = pickle.load(worker.reports)
        except EOFError:
            break
        copy(written)
        replay.show(text)
    copy(None)
    replay.add(counts)


def run_parallel(replay: Replayer, source: jsonl.Source, ranges: list[tuple[int, int]]) -> None:
    """Replays `source` in its `ranges`: the first here, the others in workers."""
    fd = source.stream.fileno()
    replay.out.flush()
    replay.err.flush()
    workers = [_Worker(start, end) for start, end in ranges[1:]]
    try:
        for worker in workers:
            worker.spawn(replay, source.name, fd)
        start, end = ranges[0]
        replay.run(_source(source.name, fd, start, end))
        for worker in workers:
            found = worker.wait(replay.interrupts)
            if found is None:
                # The worker failed (killed, out of memory): its range is
                # replayed here instead.
                prefix_lines = _lines_before(fd, worker.start) - 1
                replay.run(_source(source.name, fd, worker.start, worker.end, b"\n"), prefix_lines)
                continue
            counts, error = found
            _merge(replay, worker, counts)
            if error is not None:
                raise jsonl.InputError(error)
            replay.interrupts.check()
    finally:
        for worker in workers:
            worker.stop()
