"""mcp-proxy: end to end with the mcp SDK, byte for byte with a stand-in server, and how it ends."""

from __future__ import annotations

import hashlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
PROXY = [sys.executable, "-m", "quindle_brevault_agent", "mcp-proxy"]

POLICY = textwrap.dedent("""
    from quindle_brevault_agent import library as qba
    POLICY = [
        qba.cap_charges(500, name="cap"),
        qba.flag_large_charges(100, name="large"),
        qba.deny_writes_to("bucket", ["vault"], name="locked"),
    ]
""")


@pytest.fixture
def policy(tmp_path):
    path = tmp_path / "policy.py"
    path.write_text(POLICY)
    return path


@pytest.mark.parametrize("generation", ["2025-11-25", "2026-07-28"])
def test_the_sdk_behind_the_proxy(tmp_path, policy, generation):
    # ClientSession speaks the initialize handshake; mcp.Client the per-request
    # envelope, where a result without "resultType" would end its session.
    anyio = pytest.importorskip("anyio")
    mcp = pytest.importorskip("mcp")
    calls, log = tmp_path / "calls.jsonl", tmp_path / "decisions.jsonl"
    server = mcp.StdioServerParameters(
        command=sys.executable,
        args=[*PROXY[1:], str(policy), "--log", str(log), "--charge", "charge", "--",
              sys.executable, str(TESTS / "mcp_tools_server.py")],
        env={"TOOL_CALLS": str(calls)},
    )
    asked = [
        ("charge", {"amount": 50, "currency": "EUR", "payee": "acme"}),
        ("charge", {"amount": 900, "currency": "EUR", "payee": "acme"}),
        ("charge", {"amount": 200, "currency": "EUR", "payee": "dns"}),
        ("write", {"bucket": "vault", "path": "a", "text": "x"}),
        ("write", {"bucket": "reports", "path": "q1", "text": "xy"}),
    ]

    async def calls_made(client):
        assert sorted(tool.name for tool in (await client.list_tools()).tools) == ["charge", "write"]
        return [await client.call_tool(name, arguments) for name, arguments in asked]

    async def session():
        if generation == "2026-07-28":
            async with mcp.Client(server, mode=generation) as client:
                return await calls_made(client)
        async with mcp.stdio_client(server) as (read, write):
            async with mcp.ClientSession(read, write) as client:
                assert (await client.initialize()).protocol_version == generation
                return await calls_made(client)

    results = anyio.run(session)
    assert [(r.is_error, r.content[0].text) for r in results] == [
        (False, "charged 50.0 EUR to acme"),
        (True, "Tool call 'charge' blocked by policy: cap (spend_cap<=500): BLOCK (amount=900), large (flag_over>100): FLAG (amount=900)"),
        (False, "charged 200.0 EUR to dns"),
        (True, "Tool call 'write' blocked by policy: locked (deny_bucket): BLOCK (bucket='vault')"),
        (False, "wrote 2 characters to reports/q1"),
    ]
    received = [json.loads(line) for line in calls.read_text().splitlines()]
    assert [(r["tool"], r.get("amount", r.get("bucket"))) for r in received] == [("charge", 50), ("charge", 200), ("write", "reports")]

    records = [json.loads(line) for line in log.read_text().splitlines()]
    assert [(r["stage"], r["verdict"], r["event"]["action_type"], r["event"]["tool"]) for r in records] == [
        ("spend_decision", "ALLOW", "charge", "charge"),
        ("spend_decision", "BLOCK", "charge", "charge"),
        ("spend_decision", "FLAG", "charge", "charge"),
        ("execution", "BLOCK", "write", "write"),
        ("execution", "ALLOW", "write", "write"),
    ]
    assert records[1]["event"]["kwargs"] == asked[1][1]
    verified = subprocess.run([sys.executable, "-m", "quindle_brevault_agent", "verify-log", log], capture_output=True, text=True)
    assert verified.returncode == 0 and "5 records, chain intact" in verified.stdout
    replayed = subprocess.run(
        [sys.executable, "-m", "quindle_brevault_agent", "replay", policy, log, "--format", "jsonl"], capture_output=True, text=True
    )
    assert [(r["verdict"], r["recorded"]) for r in map(json.loads, replayed.stdout.splitlines())] == [
        (r["verdict"], r["verdict"]) for r in records
    ]
    assert "recorded decisions: 5, of which 0 would change" in replayed.stderr


# A stand-in server: writes a request of its own, a line that is not UTF-8 and
# a long one, keeps every byte it receives, and ends with a line that has no
# newline and the status 3.
STAND_IN = textwrap.dedent("""
    import sys
    out = sys.stdout.buffer
    out.write(b'{"jsonrpc":"2.0","id":1,"method":"ping"}\\n' + b'\\xff\\xfe not UTF-8\\n' + b'"' + b'x' * 300000 + b'"\\n')
    out.flush()
    data = sys.stdin.buffer.read()
    open(sys.argv[1], "wb").write(data)
    out.write(b'{"jsonrpc":"2.0","method":"notifications/message"}')
    sys.exit(3)
""")
SERVER_OUT = [b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n', b"\xff\xfe not UTF-8\n", b'"' + b"x" * 300000 + b'"\n',
              b'{"jsonrpc":"2.0","method":"notifications/message"}']


def call(id_, name, **arguments):
    message = {"jsonrpc": "2.0", "method": "tools/call", "params": {"name": name, "arguments": arguments}}
    return message if id_ is None else {"id": id_, **message}


def line(value):
    return json.dumps(value).encode() + b"\n"


VAULT = call(3, "write", bucket="vault")
ALLOWED = call(2, "charge", amount=50)
PING = {"jsonrpc": "2.0", "id": "p", "method": "ping"}
# (what the client sends, what the server must receive of it, the ids answered by the proxy)
TRAFFIC = [
    (line({"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {}}), None, []),
    (line(ALLOWED), None, []),
    (line(VAULT), b"", [3]),
    # A bare carriage return ends a message for the SDK's server: the call after it is seen.
    (b'{"jsonrpc":"2.0","method":"notifications/initialized"}\r' + line(call(4, "write", bucket="vault")),
     b'{"jsonrpc":"2.0","method":"notifications/initialized"}\r', [4]),
    (line(call(5, "write", bucket="vault", note="x")).replace(b'"x"', b'"\xff"'), b"", [5]),
    (line(call(6, "write", bucket="tmp", note="x")).replace(b'"x"', b'"\xff"'), None, []),
    (line([ALLOWED, call("7b", "write", bucket="vault"), PING]), line([ALLOWED, PING]), [["7b"]]),
    (line(VAULT)[:-2] + b', "params": {"name": "write", "arguments": {}}}\n', b"", [3]),
    (line(VAULT).replace(b"tools/call", b"tools\\/call").replace(b'"id": 3', b'"id": 9'), b"", [9]),
    (line(call(10, "charge", amount="20")), b"", [10]),
    (line(call(None, "write", bucket="vault")), b"", []),
    # What the proxy cannot read in full never goes on: a parse error (id null) answers it.
    (b"hello tools/call {\n", b"", [None]),
    (line(ALLOWED)[:-1] + b" }\n", b"", [None]),
    (line(call(15, "write", bucket="vault", n=0)).replace(b'"n": 0', b'"n": ' + b"7" * 4301), b"", [None]),
    (line(call(16, "write", bucket="vault", n=0)).replace(b'"n": 0', b'"n": ' + b"[" * 12000 + b"]" * 12000), b"", [None]),
    (line(call(17, "write", bucket="tmp", n=0)).replace(b'"n": 0', b'"n": ' + b"7" * 4300), None, []),
    # A bare carriage return as JSON white space: the line is judged whole, and
    # what goes on is re-encoded, so that no server can read it another way.
    (line(call(18, "write", bucket="vault")).replace(b"{", b"{\r", 1), b"", [18]),
    (line(call(19, "write", bucket="tmp")).replace(b', "method"', b',\r"method"'), line(call(19, "write", bucket="tmp")), []),
    (b'{"x":\r' + line(call(20, "write", bucket="vault"))[:-1] + b"\r}\n", line({"x": call(20, "write", bucket="vault")}), []),
    # A server that reads a stream of JSON values, whatever the line ends,
    # would read these three lines as one call: the broken ones do not go on.
    (b'{"jsonrpc": "2.0", "id": 21, "method":\n', b"", [None]),
    (b'"tools/call"\n', None, []),
    (b', "params": {"name": "write", "arguments": {"bucket": "vault"}}}\n', b"", [None]),
    (line(call(13, "write", bucket="tmp", text="y" * 2_000_000)), None, []),
    (b'{"jsonrpc":"2.0","id":14,"method":"ping"}', None, []),
]


def test_every_message_passes_in_order_except_refused_calls(tmp_path, policy):
    received = tmp_path / "received"
    server = tmp_path / "server.py"
    server.write_text(STAND_IN)
    sent = b"".join(message for message, _, _ in TRAFFIC)
    log = tmp_path / "decisions.jsonl"
    result = subprocess.run(
        [*PROXY, policy, "--charge", "charge", "--log", log, "--", sys.executable, server, received],
        input=sent, capture_output=True, timeout=60,
    )
    assert result.returncode == 3, result.stderr
    expected = b"".join(message if forwarded is None else forwarded for message, forwarded, _ in TRAFFIC)
    assert received.read_bytes() == expected

    # The server's output comes through unchanged and in order; every other
    # line is an answer of the proxy's, in the order the calls came.
    lines = result.stdout.splitlines(keepends=True)
    server_lines = [text for text in lines if text in SERVER_OUT]
    assert server_lines == SERVER_OUT
    answers = [json.loads(text) for text in lines if text not in SERVER_OUT]
    ids = [[a["id"] for a in answer] if isinstance(answer, list) else answer["id"] for answer in answers]
    assert ids == [i for _, _, answered in TRAFFIC for i in answered]
    results = [answer for answer in answers if isinstance(answer, dict) and "error" not in answer]
    texts = [answer["result"]["content"][0]["text"] for answer in results]
    assert all(answer["result"]["isError"] is True for answer in results)
    assert texts[0] == "Tool call 'write' blocked by policy: locked (deny_bucket): BLOCK (bucket='vault')"
    assert texts[3] == "Tool call 'write' refused: the request repeats a key, so the server could read it differently."
    assert texts[5].startswith("Tool call 'charge' refused: the policy could not decide: TypeError: ")

    # Each line it could not read is logged once, by its size, digest and start.
    unread = [message for message, _, answered in TRAFFIC if answered == [None]]
    errors = [answer["error"] for answer in answers if isinstance(answer, dict) and "error" in answer]
    assert [error["code"] for error in errors] == [-32700] * len(unread)
    records = [json.loads(text) for text in log.read_text().splitlines()]
    logged = [r for r in records if r["verdict"] == "ERROR"]
    assert [(r["event"].get("tool"), r["error"].split(":")[0]) for r in logged] == [
        ("charge", "TypeError"), (None, "JSONDecodeError"), (None, "JSONDecodeError"), (None, "ValueError"), (None, "RecursionError"),
        (None, "JSONDecodeError"), (None, "JSONDecodeError"),
    ]
    shown = [r["event"]["unread"] for r in logged if "unread" in r["event"]]
    assert [(u["bytes"], u["sha256"], u["start"]) for u in shown] == [
        (len(m), hashlib.sha256(m).hexdigest(), m[:120].decode()) for m in unread
    ]
    assert [error["message"] for error in errors] == [
        "Parse error: the proxy cannot read this message, so it did not forward it: " + r["error"] for r in logged if "unread" in r["event"]
    ]


def _start(policy, *command):
    return subprocess.Popen([*PROXY, policy, "--", *command], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


@pytest.mark.parametrize(
    "command, act, status",
    [
        # The server exits while the client still holds its end open.
        (["sh", "-c", 'read line; echo "got $line"; echo oops >&2; exit 4'], "send", 4),
        (["sh", "-c", "cat; exit 5"], "close", 5),
        (["sh", "-c", "echo up; exec sleep 30"], "terminate", 128 + signal.SIGTERM),
        (["no-such-server-anywhere"], "close", 127),
    ],
)
def test_the_proxy_ends_with_the_server_and_its_status(policy, command, act, status):
    proxy = _start(policy, *command)
    started = time.monotonic()
    if act == "send":
        proxy.stdin.write(b'"hello"\n')
        proxy.stdin.flush()
    elif act == "close":
        proxy.stdin.close()
    else:
        # The server's first line comes through once the proxy passes signals on.
        assert proxy.stdout.readline() == b"up\n"
        proxy.send_signal(signal.SIGTERM)
    out, err = proxy.stdout.read(), proxy.stderr.read()
    assert proxy.wait(timeout=30) == status, err
    assert time.monotonic() - started < 20
    if act == "send":
        assert (out, err) == (b'got "hello"\n', b"oops\n")
    if status == 127:
        assert err == b"quindle-brevault-agent: cannot start no-such-server-anywhere: No such file or directory\n"


# A stand-in server that lists its tools in two pages (sending a request of
# its own under the id of each tools/list first) and answers every call.
LISTING = textwrap.dedent("""
    import json, sys
    pages = {None: (["pay", "write"], "2"), "2": (["search"], None)}
    for line in sys.stdin:
        message = json.loads(line)
        if message.get("method") == "tools/list":
            names, cursor = pages[message.get("params", {}).get("cursor")]
            result = {"tools": [{"name": name, "inputSchema": {"type": "object"}} for name in names]}
            if cursor:
                result["nextCursor"] = cursor
            print(json.dumps({"jsonrpc": "2.0", "id": message["id"], "method": "ping"}))
            print(json.dumps({"jsonrpc": "2.0", "id": message["id"], "result": result}), flush=True)
        elif message.get("method") == "tools/call":
            text = "ran " + message["params"]["name"]
            print(json.dumps({"jsonrpc": "2.0", "id": message["id"], "result": {"content": [{"type": "text", "text": text}]}}), flush=True)
""")
CAP_AND_PUT = 'POLICY = [qba.cap_charges(500, name="cap"), qba.deny_writes_to("bucket", ["vault"], method="put", name="locked")]'
ANY_WRITE = 'POLICY = [qba.deny_writes_to("bucket", ["vault"], name="locked")]'
WARN = "quindle-brevault-agent: warning: no behaviour of the policy can apply to "
CAP_WAITS = "the policy's behaviours wait for cap (stage 'spend_decision', action_type 'charge'), locked (stage 'execution', method 'put')"
AT_EXECUTION = WARN + "tool calls at stage 'execution' (action_type: the tool's name); " + CAP_WAITS
DENIED = " (--deny-uncovered refuses them)"
UNCOVERED = "uncovered: no behaviour of the policy can apply to this call"


@pytest.mark.parametrize(
    "source, options, warnings, refused, recorded",
    [
        (CAP_AND_PUT, [], [AT_EXECUTION, WARN + "calls of the listed tools 'pay', 'write'",
                           WARN + "calls of the listed tool 'search'"], [], ["ALLOW"] * 3),
        (CAP_AND_PUT, ["--charge", "pay"], [AT_EXECUTION, WARN + "calls of the listed tool 'write'",
                                            WARN + "calls of the listed tool 'search'"],
         [4], ["ALLOW", "ERROR: TypeError", "ALLOW"]),
        (CAP_AND_PUT, ["--charge", "pay", "--deny-uncovered"],
         [AT_EXECUTION, WARN + "calls of the listed tool 'write'" + DENIED, WARN + "calls of the listed tool 'search'" + DENIED],
         [3, 4, 5], [f"ERROR: {UNCOVERED}", "ERROR: TypeError", f"ERROR: {UNCOVERED}"]),
        (ANY_WRITE, ["--stage", "exectuion", "--charge", "pay"],
         [WARN + "tool calls at stage 'exectuion' (action_type: the tool's name); "
                 "the policy's behaviours wait for locked (stage 'execution')",
          WARN + "the --charge tools (stage 'spend_decision', action_type 'charge'); "
                 "the policy's behaviours wait for locked (stage 'execution')",
          WARN + "calls of the listed tools 'pay', 'write'", WARN + "calls of the listed tool 'search'"],
         [], ["ALLOW"] * 3),
        (ANY_WRITE, ["--deny-uncovered"], [], [], ["ALLOW"] * 3),
    ],
    ids=["no-charge", "charge", "deny-uncovered", "stage-typo", "covered"],
)
def test_calls_no_behaviour_can_apply_to_are_named_and_can_be_refused(tmp_path, source, options, warnings, refused, recorded):
    (tmp_path / "policy.py").write_text(f"from quindle_brevault_agent import library as qba\n{source}\n")
    (tmp_path / "server.py").write_text(LISTING)
    log = tmp_path / "decisions.jsonl"
    sent = [
        {"jsonrpc": "2.0", "id": 1, "method": "tools/list"},
        {"jsonrpc": "2.0", "id": "1", "method": "tools/list", "params": {"cursor": "2"}},
        call(3, "search", q="x"),
        call(4, "pay", amount="900"),  # a text amount against the cap cannot be decided
        call(5, "delete", path="a"),  # never listed: decided all the same
    ]
    result = subprocess.run(
        [*PROXY, tmp_path / "policy.py", "--log", log, *options, "--", sys.executable, tmp_path / "server.py"],
        input=b"".join(map(line, sent)), capture_output=True, timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr.decode().splitlines() == warnings
    answers = [json.loads(text) for text in result.stdout.splitlines()]
    texts = {a["id"]: a["result"]["content"][0]["text"] for a in answers if "content" in a.get("result", {})}
    assert sorted(texts) == [3, 4, 5]
    assert sorted(i for i, text in texts.items() if text.startswith("Tool call")) == refused
    if 3 in refused:
        assert texts[3] == "Tool call 'search' refused: no behaviour of the policy can apply to it (--deny-uncovered)."
    records = [json.loads(text) for text in log.read_text().splitlines()]
    shown = [r["verdict"] + (": " + r["error"] if "error" in r else "") for r in records]
    assert len(shown) == len(recorded) and all(s.startswith(r) for s, r in zip(shown, recorded)), shown
    assert subprocess.run([*PROXY[:-1], "verify-log", log], capture_output=True).returncode == 0
    # The replay keeps a recorded ERROR beside its new verdict; an event that still cannot be decided is a bad line.
    replayed = subprocess.run([*PROXY[:-1], "replay", tmp_path / "policy.py", log, "--format", "jsonl", "-q"],
                              capture_output=True, text=True)
    assert [(row["line"], row["recorded"]) for row in map(json.loads, replayed.stdout.splitlines())] == [
        (number, r["verdict"]) for number, r in enumerate(records, 1) if "TypeError" not in r.get("error", "")
    ]


# A policy that talks on standard output when it loads and while it decides,
# and whose rule raises what the call's argument "say" asks for.
SPEAKING_POLICY = textwrap.dedent("""
    import sys
    from quindle_brevault_agent import Policy, behaviour, on_write, rule
    print("loading the policy")

    def speaker(event):
        said = event["kwargs"]["say"]
        print("deciding on", said)
        if said == "exit":
            sys.exit(3)
        if said == "interrupt":
            raise KeyboardInterrupt("pressed")
        if said == "odd":
            raise BaseException("odd")
        return "BLOCK" if said == "no" else "ALLOW"

    POLICY = Policy([behaviour("speaker", on=on_write(), rule=rule("speaker", speaker))])
""")
# Writes back every line it receives; Ctrl-C ends it as it would end most programs.
ECHO = "import signal, sys\nsignal.signal(signal.SIGINT, signal.SIG_DFL)\nfor line in sys.stdin.buffer:\n" \
       "    sys.stdout.buffer.write(line)\n    sys.stdout.buffer.flush()\n"
NEWEST = {"_meta": {"io.modelcontextprotocol/protocolVersion": "2026-07-28"}}


def newest(message):
    return {**message, "params": {**message["params"], **NEWEST}}


def refused(id_, text, version=None):
    result = {"content": [{"type": "text", "text": text}], "isError": True}
    return line({"jsonrpc": "2.0", "id": id_, "result": result if version is None else {**result, "resultType": "complete"}})


def test_what_the_policy_raises_or_prints_stays_off_the_channel(tmp_path):
    policy, log = tmp_path / "speaking.py", tmp_path / "decisions.jsonl"
    policy.write_text(SPEAKING_POLICY)
    sent = [call(1, "write", say="fine"), call(2, "write", say="exit"), call(3, "write", say="interrupt"),
            newest(call(4, "write", say="odd")), newest(call(5, "write", say="no")), call(6, "write", say="fine again")]
    proxy = subprocess.Popen([*PROXY, policy, "--log", log, "--", sys.executable, "-c", ECHO],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proxy.stdin.write(b"".join(map(line, sent)))
    proxy.stdin.flush()
    out = [proxy.stdout.readline() for _ in range(6)]
    proxy.send_signal(signal.SIGINT)  # the proxy served on; a real Ctrl-C still ends it
    out.append(proxy.stdout.read())
    err = proxy.stderr.read().decode()
    assert proxy.wait(timeout=30) == 128 + signal.SIGINT, err

    could_not = "Tool call 'write' refused: the policy could not decide: {} (while evaluating behaviour 'speaker' (rule 'speaker'))"
    assert out[-1] == b"" and sorted(out[:6]) == sorted([
        line(sent[0]), line(sent[5]),
        refused(2, could_not.format("SystemExit: 3")),
        refused(3, could_not.format("KeyboardInterrupt: pressed")),
        refused(4, could_not.format("BaseException: odd"), "2026-07-28"),
        refused(5, "Tool call 'write' blocked by policy: speaker (speaker): BLOCK", "2026-07-28"),
    ])
    # What the policy printed went to standard error, in order.
    assert "loading the policy" in err.splitlines()
    assert [text for text in err.splitlines() if text.startswith("deciding on")] == [
        f"deciding on {m['params']['arguments']['say']}" for m in sent
    ]
    records = [json.loads(text) for text in log.read_text().splitlines()]
    assert [(r["verdict"], r.get("error")) for r in records] == [
        ("ALLOW", None), ("ERROR", "SystemExit: 3 (while evaluating behaviour 'speaker' (rule 'speaker'))"),
        ("ERROR", "KeyboardInterrupt: pressed (while evaluating behaviour 'speaker' (rule 'speaker'))"),
        ("ERROR", "BaseException: odd (while evaluating behaviour 'speaker' (rule 'speaker'))"), ("BLOCK", None), ("ALLOW", None),
    ]



@pytest.mark.parametrize(
    "log, key, status, err",
    [   # a log that cannot be written: every call refused, said once, and the server's exit status
        pytest.param("/dev/full", None, 3, "/dev/full: cannot write a record: No space left on device; the log takes no "
                     "more records", marks=pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")),
        ("log.jsonl", b"s3cret\n", 3, None),
        ("log.jsonl", b"", 2, "quindle-brevault-agent: key file {key} holds no key: it is empty"),
    ],
)
def test_the_log_is_keyed_or_its_failure_said_once(tmp_path, policy, log, key, status, err):
    log, key_file = log if log.startswith("/") else tmp_path / log, tmp_path / "key"
    key_file.write_bytes(key or b"")
    keyed = ["--log-key-file", key_file] if key is not None else []
    result = subprocess.run([*PROXY, policy, "--log", log, *keyed, "--", "sh", "-c", "cat >/dev/null; exit 3"],
                            input=line(call(1, "write", bucket="tmp")) * 2, capture_output=True, timeout=60)
    assert (result.returncode, result.stderr.decode().splitlines()) == (status, [err.format(key=key_file)] if err else [])
    assert len(result.stdout.splitlines()) == 2 * (log == "/dev/full")  # the refusals
    if status == 3 and keyed:
        verified = subprocess.run([*PROXY[:-1], "verify-log", log, "--key-file", key_file], capture_output=True, text=True)
        assert " 2 records, keyed chain intact" in verified.stdout


# After its input closes, a server writes twelve lines of a megabyte, then a
# message without a newline, or half a line before it hangs.
CLOSING = textwrap.dedent("""
    import sys, time
    sys.stdin.buffer.read()
    for n in range(12):
        sys.stdout.buffer.write(b'{"n": %d, "pad": "' % n + b"x" * (1 << 20) + b'"}\\n')
    sys.stdout.buffer.write(b'{"n": "last"}' if sys.argv[1] == "ends" else b'{"n": "half')
    sys.stdout.buffer.flush()
    time.sleep(60 * (sys.argv[1] == "hangs"))
""")


@pytest.mark.parametrize("ending, status, tail", [("ends", 0, b'{"n": "last"}'), ("hangs", 128 + signal.SIGTERM, b"")])
def test_every_message_the_server_finished_reaches_a_slow_client_whole(monkeypatch, ending, status, tail):
    import threading

    from quindle_brevault_agent import Policy
    from quindle_brevault_agent.enforce import mcp_proxy

    monkeypatch.setattr(mcp_proxy, "GRACE", 1.0)  # the client takes longer to read it all, but never pauses as long
    client_in, closed = os.pipe()
    os.close(closed)  # the client has closed its end
    read_end, client_out = os.pipe()
    ended = []
    gate = mcp_proxy.Gate(Policy([]))
    proxy = threading.Thread(target=lambda: ended.append(mcp_proxy.serve(
        gate, [sys.executable, "-c", CLOSING, ending], client_in, client_out)) or os.close(client_out))
    proxy.start()
    received = bytearray()
    while data := os.read(read_end, 1 << 16):
        received += data
        time.sleep(0.01)
    proxy.join()
    os.close(read_end)
    os.close(client_in)
    *lines, last = bytes(received).split(b"\n")
    assert ([json.loads(text)["n"] for text in lines], last, ended) == (list(range(12)), tail, [status])


@pytest.mark.parametrize("command", ["mcp-proxy", "replay", "test", "lint", "diff"])
def test_every_command_names_every_form_of_policy_in_its_help(command, capsys):
    from quindle_brevault_agent import cli
    from quindle_brevault_agent.policy_files import POLICY_HELP

    assert cli.main([command, "--help"]) == 0
    forms = POLICY_HELP.partition(" (default POLICY)")[0]
    assert forms.startswith("a policy file (.toml, .json), a Python file or package.module")
    assert " ".join(forms.split()) in " ".join(capsys.readouterr().out.split())
