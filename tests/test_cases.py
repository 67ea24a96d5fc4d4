"""The test command: cases with expected decisions, run as a subprocess and in process."""

from __future__ import annotations

import io
import json
import os
import signal
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from quindle_brevault_agent import cli

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

POLICY_SOURCE = textwrap.dedent(
    """
    from quindle_brevault_agent import library as qba
    from quindle_brevault_agent._impl import Policy, behaviour, rule, trigger

    def page(event, verdict):
        open("action-ran", "w").close()

    class Unsayable(Exception):
        def __str__(self):
            raise ValueError("no words")

    def explode(event):
        raise Unsayable

    POLICY = Policy([
        qba.cap_charges(500, name="cap"),
        qba.flag_large_charges(100, name="large"),
        behaviour("locked", on=trigger(stage="execution"),
                  rule=qba.deny_list("bucket", ["vault"]), action=page),
        behaviour("own", on=trigger(stage="review"), rule=rule("escalate", lambda e: "ESCALATE")),
        behaviour("boom", on=trigger(stage="review", where=lambda e: "boom" in e), rule=rule("boom", explode)),
    ])
    """
)

SMALL = {"stage": "spend_decision", "action_type": "charge", "amount": 20}
LARGE = {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": 900}}
VAULT = {"method": "put", "bucket": "vault"}  # no stage of its own
TEXT_AMOUNT = {"stage": "spend_decision", "action_type": "charge", "amount": "20"}


def case(event, expect, **more) -> str:
    return json.dumps({**more, "event": event, "expect": expect})


PASSING = case(SMALL, "ALLOW", hits=[])
FAILING = case(LARGE, "FLAG", name="large charge", hits=["large"])


def run(*args, stdin=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "quindle_brevault_agent", "test", *map(str, args)],
        input=stdin,
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=60,
    )


@pytest.fixture
def policy_file(tmp_path):
    path = tmp_path / "policy.py"
    path.write_text(POLICY_SOURCE)
    return path


@pytest.fixture
def cases_file(tmp_path):
    def write(*lines, name="cases.jsonl"):
        path = tmp_path / name
        path.write_text("".join(text + "\n" for text in lines))
        return path

    return write


@pytest.mark.parametrize(
    "lines, status, last",
    [
        ([], 0, "0 passed, 0 failed"),
        ([PASSING, case(LARGE, "BLOCK", hits=["cap", "large"])], 0, "2 passed, 0 failed"),
        # Without "hits" only the verdict counts; with it, the order counts too.
        ([case(LARGE, "BLOCK"), case(LARGE, "BLOCK", hits=["large", "cap"])], 1, "1 passed, 1 failed"),
        ([case(LARGE, "BLOCK", hits=["cap"])], 1, "0 passed, 1 failed"),
        # The case's stage wins over the event's; without either, every behaviour is checked.
        ([case(VAULT, "BLOCK", stage="execution"), case(LARGE, "ALLOW", stage="execution")], 0, "2 passed, 0 failed"),
        ([case(VAULT, "BLOCK", hits=["locked", "own"]), case(dict(VAULT, stage="x"), "ALLOW")], 0, "2 passed, 0 failed"),
        # A verdict of the policy's own is not BLOCK.
        ([case({"stage": "review"}, "BLOCK")], 1, "0 passed, 1 failed"),
        ([case(TEXT_AMOUNT, "BLOCK"), PASSING], 1, "1 passed, 1 failed"),
        ([case({"stage": "review", "boom": 1}, "ALLOW"), PASSING], 1, "1 passed, 1 failed"),
        ([FAILING, "{", PASSING], 2, "1 passed, 1 failed"),
        # An evaluation that raises is what a case can expect, by the type or one it derives from.
        ([case(TEXT_AMOUNT, "ERROR"), case(TEXT_AMOUNT, "ERROR", error="TypeError"),
          case(TEXT_AMOUNT, "ERROR", error="Exception")], 0, "3 passed, 0 failed"),
        ([case(TEXT_AMOUNT, "ERROR", error="KeyError"), case(SMALL, "ERROR"),
          case({"stage": "review", "boom": 1}, "ERROR", error="Unsayable")], 1, "1 passed, 2 failed"),
        ([case(SMALL, "ALLOW", hits=[], nmae="typo")], 2, "0 passed, 0 failed"),
    ],
)
def test_exit_status_and_last_line(policy_file, cases_file, tmp_path, lines, status, last):
    result = run(policy_file, cases_file(*lines), cwd=tmp_path)
    assert result.returncode == status, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1] == last
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "action-ran").exists()


def test_failures_are_shown_with_expected_and_actual(policy_file, cases_file):
    path = cases_file(
        PASSING,
        FAILING,
        case(SMALL, "BLOCK"),
        case(TEXT_AMOUNT, "ALLOW", name="text amount"),
        case({"stage": "review"}, "FLAG", hits=[]),
        case(VAULT, "ALLOW", name="tab\there\nand \ud800", hits=["caf\u00e9"], stage="execution"),
    )
    result = run(policy_file, path)
    assert result.returncode == 1
    assert result.stderr == ""
    assert result.stdout == textwrap.dedent(
        f"""\
        FAIL {path}:2 (large charge)
          expected: FLAG [large]
          actual:   BLOCK [cap, large]
        FAIL {path}:3
          expected: BLOCK
          actual:   ALLOW []
        FAIL {path}:4 (text amount)
          expected: ALLOW
          actual:   evaluation failed: TypeError: '>' not supported between instances of 'str' and 'int' (while evaluating behaviour 'cap' (rule 'spend_cap<=500'))
        FAIL {path}:5
          expected: FLAG []
          actual:   ESCALATE [own]
        FAIL {path}:6 (tab\\there\\nand \\ud800)
          expected: ALLOW [caf\u00e9]
          actual:   BLOCK [locked]
        1 passed, 5 failed
        """
    )
    quiet = run(policy_file, path, "-q")
    assert (quiet.returncode, quiet.stdout) == (1, "1 passed, 5 failed\n")


KEYS = '"name", "stage", "event", "expect", "hits" and "error"'


@pytest.mark.parametrize(
    "bad, reason",
    [
        ('{"event": {}, "expect": ', "not JSON: Expecting value: line 1 column 25 (char 24)"),
        ('["ALLOW"]', "not a JSON object but an array"),
        ("null", "not a JSON object but null"),
        (case(SMALL, "ALLOW", expext="BLOCK"), f'unknown key "expext": a case has the keys {KEYS}'),
        ('{"event": {}}', '"expect" is missing'),
        ('{"expect": "ALLOW"}', '"event" is missing'),
        (case(SMALL, "allow"), '"expect" must be "ALLOW", "FLAG", "ASK", "BLOCK" or "ERROR", not "allow"'),
        (case(SMALL, ["ALLOW"]), '"expect" must be "ALLOW", "FLAG", "ASK", "BLOCK" or "ERROR", not ["ALLOW"]'),
        (case(SMALL, "x" * 60), f'"expect" must be "ALLOW", "FLAG", "ASK", "BLOCK" or "ERROR", not "{"x" * 36}...'),
        (case(SMALL, "BLOCK", error="TypeError"), '"error" goes only with "expect": "ERROR"'),
        (case(SMALL, "ERROR", error=""), '"error" must be the name of an exception type (a string), not a string'),
        (case(SMALL, "ERROR", error=["TypeError"]), '"error" must be the name of an exception type (a string), not an array'),
        (case(SMALL, "ERROR", hits=[]), '"hits" has no place beside "expect": "ERROR": an evaluation that raises has no hits'),
        (case("spend", "ALLOW"), '"event" must be a JSON object, not a string'),
        (case(SMALL, "ALLOW", hits="cap"), '"hits" must be a list of behaviour names, not a string'),
        (case(SMALL, "ALLOW", hits={"cap": 1}), '"hits" must be a list of behaviour names, not an object'),
        (case(SMALL, "ALLOW", hits=["cap", None]), '"hits"[1] must be a behaviour name (a string), not null'),
        (case(SMALL, "ALLOW", name=7), '"name" must be a string, not a number'),
        (case(SMALL, "ALLOW", stage=None), '"stage" must be a string, not null'),
        (case(SMALL, "ALLOW", stage=["execution"]), '"stage" must be a string, not an array'),
    ],
)
def test_a_bad_line_is_reported_and_the_run_goes_on(monkeypatch, policy_file, cases_file, bad, reason):
    path = cases_file(FAILING, bad, PASSING)
    out, err = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    assert cli.main(["test", str(policy_file), str(path)]) == 2
    assert err.getvalue() == f"{path}:2: {reason}\n"
    assert out.getvalue().startswith(f"FAIL {path}:1 (large charge)\n")
    assert out.getvalue().endswith("\n1 passed, 1 failed\n")


def test_junit_report(policy_file, cases_file, tmp_path):
    first = cases_file(PASSING, FAILING, "oops", name="a.jsonl")
    second = cases_file(case(TEXT_AMOUNT, "BLOCK", name="odd \x01\ud800 <&>"), case(TEXT_AMOUNT, "ERROR", error="KeyError"),
                        case(TEXT_AMOUNT, "ERROR"), name="b.jsonl")
    report = tmp_path / "report.xml"
    result = run(policy_file, first, second, "--junit", report)
    assert result.returncode == 2  # the bad line; the report is written all the same
    root = ElementTree.parse(report).getroot()
    assert root.tag == "testsuites"
    assert (root.get("tests"), root.get("failures"), root.get("errors")) == ("6", "2", "2")
    suites = root.findall("testsuite")
    assert [(s.get("name"), s.get("tests"), s.get("failures"), s.get("errors")) for s in suites] == [
        (str(first), "3", "1", "1"),
        (str(second), "3", "1", "1"),
    ]
    cases = [(c.get("classname"), c.get("name"), [e.tag for e in c]) for s in suites for c in s]
    assert cases == [
        (str(first), f"{first}:1", []),
        (str(first), "large charge", ["failure"]),
        (str(first), f"{first}:3", ["error"]),  # the line that is not a case
        (str(second), "odd \\x01\\ud800 <&>", ["error"]),
        (str(second), f"{second}:2", ["failure"]),  # another error than the one expected
        (str(second), f"{second}:3", []),
    ]
    bad = suites[0].findall("testcase")[2].find("error")
    reason = "not JSON: Expecting value: line 1 column 1 (char 0)"
    assert (bad.get("type"), bad.get("message"), bad.text) == ("not a case", reason, f"{first}:3: {reason}\n")
    other = suites[1].findall("testcase")[1].find("failure")
    assert other.get("message").startswith("expected ERROR KeyError, got evaluation failed: TypeError: ")
    failure = suites[0].find("testcase/failure")
    assert failure.get("message") == "expected FLAG [large], got BLOCK [cap, large]"
    assert failure.text == f"{first}:2 (large charge)\nexpected: FLAG [large]\nactual:   BLOCK [cap, large]\n"
    error = suites[1].find("testcase/error")
    assert error.get("type") == "TypeError"
    assert error.get("message").startswith("TypeError: '>' not supported")
    assert "actual:   evaluation failed: TypeError:" in error.text


@pytest.mark.parametrize("policy", ["policy.py", "policy.toml"])
def test_the_shipped_cases_pass(policy):
    result = run(EXAMPLES / policy, EXAMPLES / "cases.jsonl")
    assert result.returncode == 0, result.stdout + result.stderr
    shipped = [json.loads(text) for text in (EXAMPLES / "cases.jsonl").read_text().splitlines()]
    assert result.stdout == f"{len(shipped)} passed, 0 failed\n"
    assert {c["expect"] for c in shipped} == {"ALLOW", "FLAG", "BLOCK"}
    assert any("kwargs" in c["event"] for c in shipped) and any("stage" in c for c in shipped)


@pytest.mark.parametrize(
    "args, message",
    [
        (["absent.py", "-"], "quindle-brevault-agent: cannot load policy absent.py: "),
        (["POLICY", "nowhere.jsonl"], "quindle-brevault-agent: cannot open nowhere.jsonl: No such file or directory"),
        (["POLICY", "-", "--junit", "no/such/dir/r.xml"], "quindle-brevault-agent: cannot write no/such/dir/r.xml: No such file or directory"),
    ],
)
def test_what_stops_the_run_is_one_message(policy_file, tmp_path, args, message):
    args = [str(policy_file) if arg == "POLICY" else arg for arg in args]
    result = run(*args, stdin=PASSING + "\n", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith(message)
    assert len(result.stderr.splitlines()) == 1


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_standard_output_that_cannot_be_written(policy_file, cases_file):
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "quindle_brevault_agent", "test", str(policy_file), str(cases_file(FAILING))],
            stdout=full,
            stderr=subprocess.PIPE,
            text=True,
            timeout=60,
        )
    assert result.returncode == 2
    assert result.stderr == "quindle-brevault-agent: cannot write standard output: No space left on device\n"


def test_a_reader_that_goes_away_and_ctrl_c(policy_file, cases_file, tmp_path):
    report = tmp_path / "report.xml"
    proc = subprocess.Popen(
        [sys.executable, "-m", "quindle_brevault_agent", "test", str(policy_file),
         str(cases_file(*[FAILING] * 3000)), "--junit", str(report)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 1
    assert err == ""
    assert ElementTree.parse(report).getroot().get("failures") == "3000"

    interrupting = tmp_path / "interrupting.py"
    interrupting.write_text(
        "from quindle_brevault_agent import Policy, behaviour, rule, trigger\n"
        "def stop(event):\n    raise KeyboardInterrupt\n"
        "POLICY = Policy([behaviour('stop', on=trigger(stage='s'), rule=rule('stop', stop))])\n"
    )
    result = run(interrupting, "-", stdin=case({"stage": "s"}, "ALLOW") + "\n")
    assert result.returncode == 128 + signal.SIGINT
    assert result.stderr == "\nquindle-brevault-agent: interrupted\n"
