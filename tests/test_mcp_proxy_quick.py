"""mcp-proxy's path for the common line (one message, no carriage return) and
its reads of whole lines without a copy give what the general path gives."""

from __future__ import annotations

import io
import json

import pytest

from quindle_brevault_agent import Policy
from quindle_brevault_agent import library as qba
from quindle_brevault_agent.enforce import mcp_proxy
from quindle_brevault_agent.enforce.decision_log import DecisionLog

POLICY = Policy([
    qba.cap_charges(500, name="cap"),
    qba.flag_large_charges(100, name="large"),
    qba.deny_writes_to("bucket", ["vault"], name="locked"),
])

META = '"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}}'


def sdk_call(id_, arguments, name="write", meta=""):
    return ('{"jsonrpc":"2.0","id":%s,"method":"tools/call","params":{"name":"%s","arguments":%s%s}}\n'
            % (id_, name, arguments, "," + meta if meta else "")).encode()


ALLOWED = sdk_call(1, '{"bucket":"tmp","path":"a","text":"x"}')
VAULT = sdk_call(2, '{"bucket":"vault","path":"a","text":"x"}')

# (line, what becomes of it: "passes" byte for byte, "refused" with a tool
# result, "dropped" without an answer, "unread" with a parse error,
# "stripped" of the proxy's approval keys, "changed")
LINES = [
    (ALLOWED, "passes"),
    (sdk_call(3, '{"amount":50,"currency":"EUR","payee":"acme"}', "charge", META), "passes"),
    (VAULT, "refused"),
    (sdk_call(4, '{"bucket":"vault"}', meta=META), "refused"),
    (sdk_call('{"a":[1,{"b":null}]}', '{"bucket":"vault"}'), "refused"),
    (VAULT.replace(b'"id":2,', b""), "dropped"),
    # A repeated key, at the top or deep in the arguments, even an empty one.
    (VAULT.replace(b'"method":"tools/call"', b'"method":"ping","method":"tools/call"'), "refused"),
    (ALLOWED.replace(b'"method":"tools/call"', b'"method":"tools/call","method":"ping"'), "refused"),
    (ALLOWED.replace(b'"bucket":"tmp"', b'"bucket":"tmp","bucket":"vault"'), "refused"),
    (ALLOWED.replace(b'"id":1', b'"id":1,"id":2'), "refused"),
    (ALLOWED.replace(b'"path":"a"', b'"":1,"":2'), "refused"),
    (ALLOWED.replace(b'"bucket":"tmp"', b'"bucket" :\t"tmp" , "bucket"  : "vault"'), "refused"),
    # Escapes, white space, bytes that are not UTF-8, NaN, no final newline.
    (VAULT.replace(b"tools/call", b"tools\\/call").replace(b'"vault"', b'"v\\u0061ult"'), "refused"),
    (b" \t" + ALLOWED[:-1] + b" \t\n", "passes"),
    (ALLOWED.replace(b'"x"', b'"\xff\xfe"'), "passes"),
    (VAULT.replace(b'"x"', b'"\xff\xfe"'), "refused"),
    (sdk_call(5, '{"amount":NaN,"currency":"EUR","payee":"p"}', "charge"), "refused"),
    (sdk_call(6, '{"amount":Infinity}', "charge"), "refused"),
    (ALLOWED[:-1], "passes"),
    (VAULT[:-1], "refused"),
    # The proxy's own approval keys never reach the server, escaped or not.
    (ALLOWED.replace(b'"name"', b'"requestState":"quindle-brevault-agent/approval:x","name"'), "stripped"),
    (ALLOWED.replace(b'"name"', b'"requestState":"quindle-brevault-agent\\/approval:x","name"'), "stripped"),
    (ALLOWED.replace(b'"name"', b'"requestState":"\\u0071uindle-brevault-agent/approval:x","name"'), "stripped"),
    (ALLOWED.replace(b'"name"', b'"inputResponses":{"quindle-brevault-agent/approval":{}},"name"'), "stripped"),
    (ALLOWED.replace(b'"name"', b'"requestState":"theirs","name"'), "passes"),
    # Not a call, though the line says tools/call.
    (b'{"jsonrpc":"2.0","id":7,"method":"ping","params":{"note":"tools/call"}}\n', "passes"),
    (b'"tools/call"\n', "passes"),
    (b'{"jsonrpc":"2.0","id":8,"result":{"method":"tools/call"}}\n', "passes"),
    (b'{"jsonrpc":"2.0","id":9,"method":"initialize","params":{"capabilities":{"elicitation":{}}}}\n', "passes"),
    # More than one message, or a carriage return: the general path alone.
    (ALLOWED[:-1] + VAULT, "changed"),
    (b"[" + ALLOWED[:-1] + b"," + VAULT[:-1] + b"]\n", "changed"),
    (ALLOWED[:-1] + b"\r\n", "passes"),
    (VAULT.replace(b"{", b"{\r", 1), "refused"),
    # What the proxy cannot read in full.
    (ALLOWED[:-1] + b" x\n", "unread"),
    (VAULT.replace(b'"x"', b"7" * 4301), "unread"),
    (VAULT.replace(b'"x"', b"[" * 12000 + b"]" * 12000), "unread"),
    (b'{"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":"write","arguments":{"te\x00xt":1}}}\n', "unread"),
    (b"tools/call\n", "unread"),
]


def judged(line, quick, monkeypatch):
    monkeypatch.setattr(mcp_proxy, "QUICK", quick)
    stream = io.StringIO()
    gate = mcp_proxy.Gate(POLICY, charges=frozenset({"charge"}), log=DecisionLog(stream))
    forward, answers = gate.inspect(line)
    records = [json.loads(text) for text in stream.getvalue().splitlines()]
    return forward, answers, [(r["verdict"], r["event"], r.get("error"), r.get("hits")) for r in records]


@pytest.mark.parametrize("line, fate", LINES)
def test_a_hostile_line_gets_the_same_answer_on_either_path(monkeypatch, line, fate):
    quick = judged(line, True, monkeypatch)
    assert quick == judged(line, False, monkeypatch)
    forward, answers, records = quick
    answered = [json.loads(answer) for answer in answers]
    if fate == "passes":
        assert (forward, answers) == (line, [])
    elif fate == "refused":
        (answer,) = answered
        assert forward == b"" and answer["result"]["isError"] is True
        assert ("resultType" in answer["result"]) == (META.encode() in line)
    elif fate == "dropped":
        assert (forward, answers, [verdict for verdict, *_ in records]) == (b"", [], ["BLOCK"])
    elif fate == "unread":
        assert forward == b"" and [a["error"]["code"] for a in answered] == [-32700]
        assert [verdict for verdict, *_ in records] == ["ERROR"]
    elif fate == "stripped":
        params = json.loads(forward)["params"]
        assert answers == [] and "requestState" not in params and "inputResponses" not in params
    else:
        assert forward not in (b"", line) and len(answers) == 1


# What os.read returns, read after read, and the lines made of it.
READS = [
    ([b'{"a":1}\n', b'{"b":2}\n'], [b'{"a":1}\n', b'{"b":2}\n']),
    ([b'{"a":1}\n{"b"', b":2}\n", b"\n", b'{"c":3}'], [b'{"a":1}\n', b'{"b":2}\n', b"\n", b'{"c":3}']),
    ([b'{"a"', b":1}\n"], [b'{"a":1}\n']),
    ([b"\n\n", b"x\r\n"], [b"\n", b"\n", b"x\r\n"]),
]


@pytest.mark.parametrize("reads, lines", READS)
def test_lines_are_the_same_whether_a_read_ends_a_line_or_not(monkeypatch, reads, lines):
    made = []
    for quick in (True, False):
        pending = [*reads, b""]
        monkeypatch.setattr(mcp_proxy, "QUICK", quick)
        monkeypatch.setattr(mcp_proxy.os, "read", lambda fd, size: pending.pop(0))
        made.append(list(mcp_proxy._lines(-1)))
    assert made == [lines, lines]


# A server whose lines reach the proxy whole, split, several to a read, and
# with its last one unended.
PIECES = [b'{"a":1}\n', b'{"b":', b'2}\n{"c":3}\n', b"\n", b'{"d":4}']
SPLITTING = "import sys, time\nfor piece in %r:\n    sys.stdout.buffer.write(piece)\n    sys.stdout.buffer.flush()\n    time.sleep(0.05)\n" % PIECES


@pytest.mark.parametrize("quick", [True, False])
def test_the_server_s_bytes_reach_the_client_as_written_on_either_path(monkeypatch, quick):
    import os
    import sys

    monkeypatch.setattr(mcp_proxy, "QUICK", quick)
    client_in, closed = os.pipe()
    read_end, client_out = os.pipe()
    try:
        status = mcp_proxy.serve(mcp_proxy.Gate(POLICY), [sys.executable, "-c", SPLITTING], client_in, client_out)
        os.close(client_out)
        os.close(closed)
        received = b""
        while data := os.read(read_end, 1 << 16):
            received += data
    finally:
        os.close(read_end)
        os.close(client_in)
    assert (status, received) == (0, b"".join(PIECES))
