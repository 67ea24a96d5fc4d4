"""The JSON Lines reader: the values and reasons json.loads gives, through
both parsers; gzip, binary and odd inputs; long lines."""

from __future__ import annotations

import gzip
import hashlib
import io
import json
import subprocess
import sys

import pytest

from quindle_brevault_agent import jsonl

try:
    import msgspec  # noqa: F401

    HAVE_MSGSPEC = True
except ImportError:
    HAVE_MSGSPEC = False


@pytest.fixture(
    params=[
        pytest.param("json", id="stdlib"),
        pytest.param(
            "msgspec",
            id="msgspec",
            marks=pytest.mark.skipif(not HAVE_MSGSPEC, reason="the fast extra is not installed"),
        ),
    ]
)
def parser(request, monkeypatch):
    if request.param == "json":
        monkeypatch.setenv(jsonl.ENVIRONMENT, "stdlib")
    else:
        monkeypatch.delenv(jsonl.ENVIRONMENT, raising=False)
    assert jsonl.parser_name() == request.param
    return request.param


class Trickle(io.RawIOBase):
    """A pipe that hands out its bytes a few at a time."""

    def __init__(self, data: bytes, step: int) -> None:
        self.data = data
        self.step = step

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        step = self.step if size < 0 else min(self.step, size)
        piece, self.data = self.data[:step], self.data[step:]
        return piece

    read1 = read


def lines_of(data: bytes, stream=None, name="in.jsonl"):
    source = jsonl.Source(name, stream or io.BytesIO(data), None)
    return list(jsonl.read(source))


def expected(raw: bytes):
    """What json.loads makes of one line: (value, reason), or None when blank."""
    try:
        return json.loads(raw.decode("utf-8")), None
    except UnicodeDecodeError as exc:
        return None, f"not UTF-8 text: {exc.reason} at column {exc.start + 1}"
    except (ValueError, RecursionError) as exc:
        return (None, f"not JSON: {exc}") if raw.strip() else None


TRICKY = [
    b'{"stage": "execution", "amount": 20}', b"NaN", b"[Infinity, -Infinity]",
    # integers past 64 bits, and past the interpreter's digit limit
    b"18446744073709551615", b"18446744073709551616", b"-9223372036854775809",
    b"123456789012345678901234567890", b"1" * 4300, b"1" * 4301,
    b"-0", b"-0.0", b"1E400", b"-1e400", b"1e-400", b"0.1000000000000000055511151231257827", b"4.9e-324", b"1e5",
    # lone and reversed surrogate escapes, duplicate keys, control characters
    b'"\\ud800"', b'{"\\udc00\\ud800": 1}', b'"\\ud83d\\ude00"', b'{"a": 1, "b": 2, "a": 3}', b'{"a": 1}{"b": 2}',
    b'"a\tb"', b'"\\u0000"',
    # UTF-8: good, an encoded surrogate, a bad byte, an overlong form, a BOM mid-input
    b'"\x7f\xc3\xa9"', b'"\xed\xa0\x80"', b'{"x": "\xff"}', b'"\xc0\x80"', b"\xef\xbb\xbf{}",
    b'{"a": 1,}', b"[1,]", b"01", b"1.", b"tru", b"1 2",
    # white space: JSON's around a value, other or none at all
    b" \t{} \r", b"{} \x0c", b"\x0c{}", b"", b"  \r", b"\x0c",
    b"[" * 8000 + b"]" * 8000, b"[" * 100000 + b"]" * 100000,
    b"[1,", b"2]",  # a value that spans two lines is two bad lines
]


def test_tricky_lines_read_as_json_loads_reads_them(parser):
    data = b"\n".join(TRICKY) + b"\n"
    got = lines_of(data)
    want = [(n, raw, *e) for n, raw in enumerate(TRICKY, 1) if (e := expected(raw)) is not None]
    # repr tells -0.0 from 0.0, 1 from 1.0 and True, and shows the order of keys.
    assert [(n, raw, repr(v), err) for n, raw, v, err in got] == [
        (n, raw, repr(v), err) for n, raw, v, err in want
    ]
    reasons = {n: err for n, _, _, err in got}
    assert reasons[2] is None and reasons[18] is None  # NaN and a lone surrogate are JSON to json.loads
    assert reasons[9].startswith("not JSON: Exceeds the limit (4300 digits)")
    assert reasons[27] == "not UTF-8 text: invalid start byte at column 8"
    assert reasons[29] == "not JSON: Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"
    assert reasons[43].startswith("not JSON: maximum recursion depth exceeded")


def gz(data: bytes) -> bytes:
    return gzip.compress(data, mtime=0)


EVENTS = b'{"n": 1}\n\n{"n": 2, "s": "\xc3\xa9"}\n'
WANT = [(1, b'{"n": 1}', {"n": 1}), (3, b'{"n": 2, "s": "\xc3\xa9"}', {"n": 2, "s": "é"})]


NUL_LINE = (2, "not JSON: Expecting value: line 1 column 1 (char 0)")


@pytest.mark.parametrize(
    "data, want, bad",
    [
        (EVENTS, WANT, []),
        (gz(EVENTS), WANT, []),  # whatever the name
        (gz(EVENTS[:12]) + gz(EVENTS[12:]), WANT, []),  # two gzip members
        (gz(EVENTS) + b"\0" * 8, WANT, []),  # zero padding after the gzip data
        (b"\xef\xbb\xbf" + EVENTS, WANT, []),
        (gz(b"\xef\xbb\xbf" + EVENTS), WANT, []),
        (EVENTS.rstrip(b"\n"), WANT, []),  # no final newline
        (EVENTS.replace(b"\n", b"\r\n"), [(n, raw + b"\r", v) for n, raw, v in WANT], []),
        # A text file with a line of NUL bytes (a crash can leave one) is not
        # binary: that line is reported, the others are read.
        (b'{"n": 1}\n' + b"\0" * 64 + b'\n{"n": 2, "s": "\xc3\xa9"}', WANT, [NUL_LINE]),
    ],
    ids=["plain", "gzip", "gzip-members", "gzip-padded", "bom", "gzip-bom", "no-final-newline", "crlf", "nul-line"],
)
@pytest.mark.parametrize("step", [1, 4, None], ids=["byte-pipe", "small-pipe", "file"])
def test_input_forms(parser, monkeypatch, data, want, bad, step):
    monkeypatch.setattr(jsonl, "CHUNK", 5)  # lines cross chunks
    stream = io.BytesIO(data) if step is None else Trickle(data, step)
    got = lines_of(data, stream)
    assert [(n, raw, v) for n, raw, v, err in got if err is None] == want
    assert [(n, err) for n, _, _, err in got if err is not None] == bad


@pytest.mark.parametrize(
    "data, reason",
    [
        (b"\x7fELF\x02\x01\x01\x00" + bytes(range(256)) * 4, "binary data, not text"),
        ("{}\n".encode("utf-16"), "binary data, not text"),
        (gz(b"\x00\x01\x02\x03\n\x00"), "binary data, not text"),
        (gz(EVENTS * 50)[:-30], "truncated gzip data"),
        (gz(EVENTS)[:5], "truncated gzip data"),
        (gz(EVENTS)[:12] + b"\xff" * 20 + gz(EVENTS)[32:], "corrupt gzip data (Error -3 while decompressing data: "),
        (gz(EVENTS) + b"trailing", "corrupt gzip data (Not a gzipped file (b'tr'))"),
    ],
    ids=["elf", "utf-16", "gzip-binary", "gzip-truncated", "gzip-header-only", "gzip-corrupt", "gzip-trailing"],
)
def test_unreadable_input_is_one_message(data, reason):
    with pytest.raises(jsonl.InputError) as caught:
        lines_of(data, name="x.jsonl")
    assert str(caught.value).startswith(f"cannot read x.jsonl: {reason}")


def test_a_long_line_is_copied_once(monkeypatch):
    copied = []
    assemble = jsonl._assemble
    monkeypatch.setattr(jsonl, "_assemble", lambda pieces: copied.append(sum(map(len, pieces))) or assemble(pieces))
    monkeypatch.setattr(jsonl, "CHUNK", 16)
    long = json.dumps({"pad": "x" * 16 * 8}).encode()
    got = lines_of(long + b"\n" + long + b"\n{}")
    assert [(n, v) for n, _, v, _ in got] == [(1, json.loads(long)), (2, json.loads(long)), (3, {})]
    # Each line that spans chunks is put together once, not once per chunk.
    assert sum(copied) < 2 * len(long) + 2 * 16


def test_gzip_from_standard_input_and_verify_log_hashes_the_decompressed_lines(tmp_path):
    log = b"".join(
        json.dumps({"decision_log": 1, "seq": i + 1, "prev": prev, "event": {}}).encode() + b"\n"
        for i, prev in enumerate(["0" * 64])
    )
    path = tmp_path / "decisions.jsonl.gz"
    path.write_bytes(gz(log))
    command = [sys.executable, "-m", "quindle_brevault_agent", "verify-log"]
    from_file = subprocess.run([*command, str(path)], capture_output=True, timeout=60)
    from_stdin = subprocess.run([*command, "-"], input=gz(log), capture_output=True, timeout=60)
    last = hashlib.sha256(log.rstrip(b"\n")).hexdigest()
    assert from_file.stdout.decode() == f"{path}: 1 record, chain intact, last line sha256 {last}\n"
    assert from_stdin.stdout.decode() == f"-: 1 record, chain intact, last line sha256 {last}\n"
    assert from_file.returncode == from_stdin.returncode == 0


OBJECT_LINES = [
    b'{"stage": "execution", "amount": 20}', b'{"a": [1,', b'2]}', b'{"a": 1} {"b": 2}', b'{"a": 1}{"b": 2}',
    b'{"a": {"b": 1}', b"}", b'{"c": {"d": 1}}', b'{"n": -0.0, "m": 18446744073709551616}', b'{"x": 1E400}',
    b'{"s": "\\ud800"}', b'{"a": 1, "a": 2}', b'{"u": "\xff"}', b'{"r": 1}\r', b' {"w": 1}', b"{}", b"", b'{"k": "}"}',
]


@pytest.mark.skipif(not HAVE_MSGSPEC, reason="the fast extra is not installed")
def test_a_piece_decoded_at_once_is_its_lines_or_is_left_to_them(monkeypatch):
    monkeypatch.delenv(jsonl.ENVIRONMENT, raising=False)
    decoded = 0
    for start in range(len(OBJECT_LINES)):
        for stop in range(start + 1, len(OBJECT_LINES) + 1):
            lines = OBJECT_LINES[start:stop]
            values = jsonl.decode_piece(b"\n".join(lines))
            if values is not None:
                decoded += 1
                assert [repr(v) for v in values] == [repr(expected(raw)[0]) for raw in lines], lines
                assert all(expected(raw)[1] is None for raw in lines)
    assert decoded >= 5  # the plain runs do take the one-call path
    assert jsonl.decode_piece(b'{"a": 1}\n' * 2000 + b"{}") is None  # longer than a piece may be
    monkeypatch.setenv(jsonl.ENVIRONMENT, "stdlib")
    assert jsonl.decode_piece(b"{}") is None



def _with_runs(*counts):
    """Lines of every kind, each followed by `counts` line ends in turn."""
    kinds = [b'{"stage": "execution", "n": 1}', b"nope", b"  \r", b"[1]", b'{"n": 2}\r', b"\x0c"]
    return b"".join(kinds[i % len(kinds)] + b"\n" * count for i, count in enumerate(counts))


@pytest.mark.parametrize(
    "data",
    [_with_runs(1, 15, 16, 17, 2, 40, 16, 1), b"\n" * 40 + _with_runs(16, 1, 3), _with_runs(1, 1) + b"\n" * 33,
     _with_runs(1) + b"\n" * 16, b"\n" * 5000, _with_runs(*[16, 15, 1, 100] * 30)],
    ids=["threshold", "leading", "trailing", "trailing-16", "only", "many"],
)
@pytest.mark.parametrize("chunk", [7, None])
def test_runs_of_empty_lines_keep_every_line_number(parser, monkeypatch, tmp_path, data, chunk):
    from quindle_brevault_agent import cli

    if chunk is not None:  # runs cross chunks, blocks and pieces
        monkeypatch.setattr(jsonl, "CHUNK", chunk)
        monkeypatch.setattr(jsonl, "PIECE", 48)
    want = [(n, raw, *e) for n, raw in enumerate(data.split(b"\n"), 1) if (e := expected(raw)) is not None]
    assert [(n, raw, repr(v), err) for n, raw, v, err in lines_of(data)] == [(n, raw, repr(v), e) for n, raw, v, e in want]
    # The replay reads a block a piece at a time: the same lines, at the same numbers.
    (tmp_path / "runs.jsonl").write_bytes(data)
    (tmp_path / "policy.py").write_text("POLICY = []\n")
    out, err = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    cli.main(["replay", str(tmp_path / "policy.py"), str(tmp_path / "runs.jsonl"), "-q", "--format", "jsonl"])
    rows = [json.loads(text)["line"] for text in out.getvalue().splitlines()]
    reported = [int(text.split(":")[1]) for text in err.getvalue().splitlines()]
    assert (rows, sorted(rows + reported)) == ([n for n, _, v, _ in want if isinstance(v, dict)], [n for n, *_ in want])
