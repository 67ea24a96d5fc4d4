"""The replay command, run as a subprocess on temporary files and standard input."""

from __future__ import annotations

import io
import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from ctrl_c import ctrl_c_until_it_ends
from quindle_brevault_agent import jsonl
from quindle_brevault_agent import cli
from quindle_brevault_agent.cli import progress, rendering, replay
from quindle_brevault_agent._impl import Policy

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE_POLICY = ROOT / "examples" / "policy.py"
EXAMPLE_EVENTS = ROOT / "examples" / "events.jsonl"

POLICY_SOURCE = textwrap.dedent(
    """
    from quindle_brevault_agent import library as qba
    from quindle_brevault_agent._impl import Policy, behaviour, rule, trigger

    POLICY = Policy([
        qba.cap_charges(500, name="cap"),
        qba.flag_large_charges(100, name="large"),
        qba.deny_writes_to("bucket", ["vault"], name="locked"),
    ])
    """
)

ALLOW = {"stage": "spend_decision", "action_type": "charge", "amount": 20}
FLAG = {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": 200}}
BLOCK = {"stage": "execution", "method": "put", "bucket": "vault"}
TEXT_AMOUNT = {"stage": "spend_decision", "action_type": "charge", "amount": "20"}


def line(event) -> str:
    return json.dumps(event)


def run(*args, stdin=None, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "quindle_brevault_agent", *map(str, args)],
        input=stdin,
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=60,
    )


def records(stdout: str):
    return [json.loads(text) for text in stdout.splitlines()]


@pytest.fixture
def policy_file(tmp_path):
    path = tmp_path / "policy.py"
    path.write_text(POLICY_SOURCE)
    return path


@pytest.fixture
def events_file(tmp_path):
    def write(*lines, name="events.jsonl"):
        path = tmp_path / name
        path.write_text("".join(text + "\n" for text in lines))
        return path

    return write


@pytest.mark.parametrize(
    "lines, status",
    [
        ([], 0),
        ([line(ALLOW)], 0),
        ([line(ALLOW), line(FLAG)], 0),
        ([line(FLAG), line(BLOCK), line(ALLOW)], 1),
        ([line(BLOCK), "not json"], 2),
        (["[1, 2]", line(ALLOW)], 2),
        ([line(TEXT_AMOUNT)], 2),
    ],
)
def test_exit_status(policy_file, events_file, lines, status):
    result = run("replay", policy_file, events_file(*lines))
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize(
    "bad, reason",
    [
        ('{"stage": "execution", "bucket": ', "not JSON"),
        ("execution bucket=vault", "not JSON"),
        ('[{"stage": "execution"}]', "not a JSON object but an array"),
        ('"execution"', "not a JSON object but a string"),
        ("42", "not a JSON object but a number"),
        ("null", "not a JSON object but null"),
        (
            line(TEXT_AMOUNT),
            "evaluation failed: TypeError: '>' not supported between instances of 'str' and 'int' "
            "(while evaluating behaviour 'cap' (rule 'spend_cap<=500'))",
        ),
        (
            line({"stage": "execution", "bucket": ["vault"]}),
            "evaluation failed: TypeError: unhashable type: 'list' "
            "(while evaluating behaviour 'locked' (rule 'deny_bucket'))",
        ),
    ],
)
def test_a_bad_line_is_reported_and_the_replay_goes_on(policy_file, events_file, bad, reason):
    path = events_file(line(FLAG), bad, line(BLOCK))
    result = run("replay", policy_file, path)
    assert result.returncode == 2
    assert f"{path}:2: {reason}" in result.stderr
    assert "Traceback" not in result.stderr
    out = records(result.stdout)
    assert [(r["line"], r["verdict"]) for r in out] == [(1, "FLAG"), (3, "BLOCK")]
    assert "3 events read" in result.stderr
    assert "0 ALLOW, 1 FLAG, 1 BLOCK, 1 bad" in result.stderr


def test_a_line_that_is_not_utf8_is_reported(policy_file, tmp_path):
    path = tmp_path / "events.jsonl"
    path.write_bytes(line(ALLOW).encode() + b"\n" + b'{"stage": "\xff"}\n' + line(FLAG).encode() + b"\n")
    result = run("replay", policy_file, path)
    assert result.returncode == 2
    assert f"{path}:2: not UTF-8 text" in result.stderr
    assert [r["line"] for r in records(result.stdout)] == [1, 3]


def test_blank_lines_and_a_missing_final_newline_lose_nothing(policy_file, tmp_path):
    path = tmp_path / "events.jsonl"
    path.write_text(f"{line(ALLOW)}\n\n   \n{line(FLAG)}\r\n{line(BLOCK)}")
    result = run("replay", policy_file, path)
    assert result.returncode == 1, result.stderr
    assert [(r["line"], r["verdict"]) for r in records(result.stdout)] == [(1, "ALLOW"), (4, "FLAG"), (5, "BLOCK")]
    assert "3 events read" in result.stderr


@pytest.mark.parametrize("args", [[], ["-"]])
def test_events_from_standard_input(policy_file, args):
    result = run("replay", policy_file, *args, stdin=f"{line(ALLOW)}\n{line(BLOCK)}\n")
    assert result.returncode == 1
    out = records(result.stdout)
    assert [(r["file"], r["line"], r["verdict"]) for r in out] == [("-", 1, "ALLOW"), ("-", 2, "BLOCK")]


def test_jsonl_record_for_an_event(policy_file, events_file):
    event = {"stage": "spend_decision", "action_type": "charge", "amount": 900}
    path = events_file(line(ALLOW), line(event))
    result = run("replay", policy_file, path, "--format", "jsonl")
    assert records(result.stdout)[1] == {
        "line": 2,
        "file": str(path),
        "stage": "spend_decision",
        "verdict": "BLOCK",
        "hits": [
            {"behaviour": "cap", "rule": "spend_cap<=500", "verdict": "BLOCK"},
            {"behaviour": "large", "rule": "flag_over>100", "verdict": "FLAG"},
        ],
    }


def test_several_files_number_their_own_lines(policy_file, events_file):
    first = events_file(line(ALLOW), line(FLAG), name="a.jsonl")
    second = events_file(line(BLOCK), name="b.jsonl")
    result = run("replay", policy_file, first, second)
    assert [(r["file"], r["line"]) for r in records(result.stdout)] == [
        (str(first), 1),
        (str(first), 2),
        (str(second), 1),
    ]
    assert "3 events read from 2 inputs" in result.stderr


@pytest.mark.parametrize(
    "args, expected",
    [
        ([], ["spend_decision", "spend_decision", "execution", None]),
        (["--stage", "execution"], ["execution"] * 4),
    ],
)
def test_stage_comes_from_the_event_unless_given(policy_file, events_file, args, expected):
    # The last event has no stage: every behaviour is checked, and the locked
    # bucket blocks it. At --stage execution no charge rule applies.
    no_stage = {"action_type": "charge", "amount": 900, "bucket": "vault"}
    path = events_file(line(ALLOW), line(FLAG), line(BLOCK), line(no_stage))
    result = run("replay", policy_file, path, *args)
    out = records(result.stdout)
    assert [r["stage"] for r in out] == expected
    hits = [[h["behaviour"] for h in r["hits"]] for r in out]
    if args:
        assert hits == [[], [], ["locked"], ["locked"]]
    else:
        assert hits == [[], ["large"], ["locked"], ["cap", "large", "locked"]]


def test_table_format(policy_file, events_file):
    path = events_file(line(ALLOW), line(FLAG), "oops", line(BLOCK))
    result = run("replay", policy_file, path, "--format", "table")
    rows = result.stdout.splitlines()
    assert rows[0].split() == ["line", "stage", "verdict", "hits"]
    assert rows[1].split() == ["1", "spend_decision", "ALLOW"]
    assert rows[2].split() == ["2", "spend_decision", "FLAG", "large", "(flag_over>100):", "FLAG", "(amount=200)"]
    assert rows[3].split() == ["4", "execution", "BLOCK", "locked", "(deny_bucket):", "BLOCK", "(bucket='vault')"]
    assert len(rows) == 4


def test_summary(policy_file, events_file):
    path = events_file(line(ALLOW), line(FLAG), line(BLOCK), line(BLOCK), "{", line(FLAG))
    result = run("replay", policy_file, path)
    summary = result.stderr
    assert "6 events read from 1 input" in summary
    assert "events/s" in summary
    assert "verdicts: 1 ALLOW, 2 FLAG, 2 BLOCK, 1 bad" in summary
    hits = {}
    for text in summary.splitlines():
        parts = text.split()
        if len(parts) == 2 and parts[0] in ("cap", "large", "locked"):
            hits[parts[0]] = int(parts[1])
    assert hits == {"cap": 0, "large": 2, "locked": 2}


def test_a_missing_file_stops_at_once(policy_file, events_file, tmp_path):
    good = events_file(line(BLOCK))
    missing = tmp_path / "nowhere.jsonl"
    result = run("replay", policy_file, good, missing)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.strip() == f"quindle-brevault-agent: cannot open {missing}: No such file or directory"


@pytest.mark.parametrize(
    "source, target, reason",
    [
        ("POLICY = [", "policy.py", "SyntaxError"),
        ("raise RuntimeError('no config')", "policy.py", "RuntimeError: no config"),
        ("import not_a_module_anywhere", "policy.py", "ModuleNotFoundError"),
        ("STRICT = []", "policy.py", "defines no POLICY"),
        (POLICY_SOURCE, "policy.py:STRICT", "defines no STRICT"),
        ("POLICY = {'cap': 500}", "policy.py", "is a dict, not a Policy or a list of behaviours"),
        ("from quindle_brevault_agent import library as q\nPOLICY = [q.spend_cap(5)]", "policy.py", "item 0 is a Rule"),
        ("import sys\nsys.exit(3)", "policy.py", "SystemExit"),
        (POLICY_SOURCE, "absent.py", "no such file"),
        (POLICY_SOURCE, "no_such_package.module", "ModuleNotFoundError"),
    ],
)
def test_a_policy_that_fails_to_load_stops_with_one_message(tmp_path, events_file, source, target, reason):
    (tmp_path / "policy.py").write_text(source)
    result = run("replay", target, events_file(line(BLOCK)), cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert "Traceback" not in result.stderr
    message = result.stderr.strip()
    assert message.startswith(f"quindle-brevault-agent: cannot load policy {target}: ")
    assert reason in message
    assert len(message.splitlines()) == 1


@pytest.mark.parametrize(
    "files, target, is_module",
    [
        ({"policy.py": POLICY_SOURCE}, "policy.py", False),
        ({"policy.py": POLICY_SOURCE.replace("POLICY =", "STRICT =")}, "policy.py:STRICT", False),
        ({"policy.py": POLICY_SOURCE.replace("Policy([", "list([")}, "policy.py", False),
        # A policy file can import the modules next to it.
        ({"shared.py": POLICY_SOURCE, "policy.py": "from shared import POLICY"}, "policy.py", False),
        ({"rules/__init__.py": "", "rules/payments.py": POLICY_SOURCE}, "rules.payments", True),
        (
            {"rules/__init__.py": "", "rules/payments.py": POLICY_SOURCE.replace("POLICY =", "LIVE =")},
            "rules.payments:LIVE",
            True,
        ),
    ],
)
def test_policy_forms(tmp_path, files, target, is_module):
    for name, source in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(source)
    events = tmp_path / "events.jsonl"
    events.write_text(line(FLAG) + "\n")
    if is_module:
        cwd = tmp_path  # a module is found from the working directory
    else:
        cwd = tmp_path / "elsewhere"
        cwd.mkdir()
        target = str(tmp_path / target)
    result = run("replay", target, events, cwd=cwd)
    assert result.returncode == 0, result.stderr
    assert records(result.stdout)[0]["hits"][0]["behaviour"] == "large"


def test_an_own_verdict_object_blocks_and_is_shown_as_its_str(tmp_path, events_file):
    (tmp_path / "policy.py").write_text(
        POLICY_SOURCE
        + textwrap.dedent(
            """
            class Escalate:
                def __str__(self):
                    return "ESCALATE"

            POLICY = Policy([
                behaviour("odd", on=trigger(stage="execution"), rule=rule("own", lambda e: Escalate())),
                behaviour("none", on=trigger(stage="execution"), rule=rule("nothing", lambda e: None)),
            ])
            """
        )
    )
    result = run("replay", tmp_path / "policy.py", events_file(line(BLOCK)))
    assert result.returncode == 1
    (record,) = records(result.stdout)
    assert record["verdict"] == "ESCALATE"
    assert record["hits"] == [
        {"behaviour": "odd", "rule": "own", "verdict": "ESCALATE"},
        {"behaviour": "none", "rule": "nothing", "verdict": None},
    ]
    assert "1 ESCALATE" in result.stderr


def test_replay_never_calls_actions(tmp_path, events_file):
    marker = tmp_path / "action-ran"
    (tmp_path / "policy.py").write_text(
        POLICY_SOURCE
        + textwrap.dedent(
            f"""
            def page(event, verdict):
                open({str(marker)!r}, "w").close()

            POLICY = Policy([qba.deny_writes_to("bucket", ["vault"], name="locked")])
            POLICY = Policy([behaviour(b.name, on=b.on, rule=b.rule, action=page) for b in POLICY])
            """
        )
    )
    result = run("replay", tmp_path / "policy.py", events_file(line(BLOCK)))
    assert result.returncode == 1
    assert not marker.exists()


def test_the_console_script_runs_the_replay(policy_file, events_file):
    script = Path(sys.executable).with_name("quindle-brevault-agent")
    if not script.exists():
        pytest.skip("the console script is not installed next to this interpreter")
    result = subprocess.run(
        [str(script), "replay", str(policy_file), str(events_file(line(FLAG)))],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert records(result.stdout)[0]["verdict"] == "FLAG"


@pytest.mark.parametrize("args", [["replay"], ["replay", "p.py", "--format", "csv"], ["check"]])
def test_usage_errors_exit_2(args):
    result = run(*args)
    assert result.returncode == 2
    assert "usage:" in result.stderr


def test_a_reader_that_goes_away_is_no_error(policy_file, events_file):
    path = events_file(*[line(FLAG)] * 5000)
    proc = subprocess.Popen(
        [sys.executable, "-m", "quindle_brevault_agent", "replay", str(policy_file), str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 0
    assert "Traceback" not in err


# ---------------------------------------------------------------- in process


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_replay_agrees_with_policy_evaluate_on_the_example_events():
    result = run("replay", EXAMPLE_POLICY, EXAMPLE_EVENTS, "--format", "jsonl")
    policy = replay.load_policy(str(EXAMPLE_POLICY))
    out = {r["line"]: r for r in records(result.stdout)}
    expected = {}
    for number, text in enumerate(EXAMPLE_EVENTS.read_text().splitlines(), 1):
        try:
            event = json.loads(text)
            if not isinstance(event, dict):
                continue
            decision = policy.evaluate(event, stage=event.get("stage"))
        except (ValueError, TypeError):
            continue
        expected[number] = {
            "line": number,
            "file": str(EXAMPLE_EVENTS),
            "stage": event.get("stage"),
            "verdict": decision.verdict,
            "hits": [{"behaviour": h.behaviour, "rule": h.rule, "verdict": h.verdict} for h in decision.hits],
        }
    assert out == expected
    assert {r["verdict"] for r in out.values()} == {"ALLOW", "FLAG", "BLOCK"}
    assert result.returncode == 2


DUPLICATE_NAMES_POLICY = """
from quindle_brevault_agent import Policy, behaviour, rule, trigger

POLICY = Policy([
    behaviour("same", on=trigger(stage="s"), rule=rule("first", lambda e: "ALLOW")),
    behaviour("same", on=trigger(stage="s"), rule=rule("second", lambda e: e["v"])),
])
"""


def test_hits_are_counted_per_behaviour_even_when_names_repeat(tmp_path):
    path = tmp_path / "dup.py"
    path.write_text(DUPLICATE_NAMES_POLICY)
    result = run("replay", path, "--stage", "s", stdin='{"v": "FLAG"}\n{"v": "FLAG"}\n{}\n')
    assert result.returncode == 2
    assert [r["hits"] for r in records(result.stdout)] == [
        [{"behaviour": "same", "rule": "second", "verdict": "FLAG"}]
    ] * 2
    counts = [text.split() for text in result.stderr.splitlines() if text.strip().startswith("same")]
    assert counts == [["same", "0"], ["same", "2"]]
    assert "-:3: evaluation failed: KeyError: 'v' (while evaluating behaviour 'same' (rule 'second'))" in result.stderr


class Own:
    """A caller's own verdict object."""


DENY, REVIEW = Own(), Own()


@pytest.mark.parametrize(
    "verdicts",
    [
        ["ALLOW", "FLAG", "ALLOW"],
        ["FLAG", "BLOCK", "FLAG"],
        ["BLOCK", "BLOCK"],
        [DENY, "BLOCK"],
        ["BLOCK", DENY],
        [DENY, REVIEW],
        ["FLAG", None, "DENY"],
        ["allow", "FLAG"],
    ],
)
@pytest.mark.parametrize("stage", ["s", None, 1])
def test_the_dry_run_decides_as_the_policy(verdicts, stage):
    from quindle_brevault_agent._impl import behaviour, rule, trigger

    policy = Policy(
        behaviour(f"b{i}", on=trigger(stage="s" if stage != 1 else 1), rule=rule(f"r{i}", lambda e, v=v: v))
        for i, v in enumerate(verdicts)
    )
    decision = replay.dry_run(policy).evaluate({}, stage=stage)
    expected = policy.evaluate({}, stage=stage)
    assert decision.verdict is expected.verdict
    assert [(str(h.behaviour), h.rule) for h in decision.hits] == [(h.behaviour, h.rule) for h in expected.hits]
    assert [h.verdict for h in decision.hits] == [h.verdict for h in expected.hits]


def run_in_process(monkeypatch, argv, stdout, stderr):
    monkeypatch.setattr(sys, "stdout", stdout)
    monkeypatch.setattr(sys, "stderr", stderr)
    return cli.main(argv)


def test_table_is_the_default_on_a_terminal_and_jsonl_elsewhere(monkeypatch, policy_file, events_file):
    path = str(events_file(line(FLAG)))
    screen = Terminal()
    assert run_in_process(monkeypatch, ["replay", str(policy_file), path], screen, io.StringIO()) == 0
    assert screen.getvalue().splitlines()[0].split() == ["line", "stage", "verdict", "hits"]
    piped = io.StringIO()
    assert run_in_process(monkeypatch, ["replay", str(policy_file), path], piped, io.StringIO()) == 0
    assert json.loads(piped.getvalue())["verdict"] == "FLAG"


def test_progress_line_on_a_terminal(monkeypatch, policy_file, events_file):
    monkeypatch.setattr(jsonl, "CHUNK", 256)
    monkeypatch.setattr(progress, "AFTER", 0.0)
    monkeypatch.setattr(progress, "EVERY", 0.0)
    monkeypatch.setenv("TERM", "xterm")
    monkeypatch.delenv("NO_COLOR", raising=False)
    path = str(events_file(*[line(ALLOW)] * 200))
    screen = Terminal()
    run_in_process(monkeypatch, ["replay", str(policy_file), path], io.StringIO(), screen)
    shown = screen.getvalue()
    assert f"\r\x1b[K{path}: " in shown and " lines, " in shown
    summary_at = shown.index("quindle-brevault-agent: 200 events read")
    assert shown[:summary_at].endswith("\r\x1b[K")  # the progress line is wiped first
    for name, value in (("TERM", "dumb"), ("NO_COLOR", "1")):
        with monkeypatch.context() as env:
            env.setenv(name, value)
            screen = Terminal()
            run_in_process(monkeypatch, ["replay", str(policy_file), path], io.StringIO(), screen)
            shown = screen.getvalue()
            assert "\x1b" not in shown and f"\r{path}: " in shown
            wiped = shown[: shown.index("quindle-brevault-agent: 200 events read")].rsplit("\n", 1)[-1]
            # wiped with spaces as wide as the longest progress line
            assert wiped.endswith("\r" + " " * max(map(len, wiped.split("\r"))) + "\r")
    plain = io.StringIO()
    run_in_process(monkeypatch, ["replay", str(policy_file), path], io.StringIO(), plain)
    assert "\r" not in plain.getvalue()


CUSTOM_POLICY = '''
from quindle_brevault_agent._impl import behaviour, rule, trigger

class Odd:
    def __str__(self):
        return "ODD"

def alert(event, verdict):
    open({marker!r}, "w").write("called")

POLICY = [
    behaviour("odd", on=trigger(stage="o"), rule=rule("r_odd", lambda e: Odd())),
    behaviour("flagged", on=trigger(stage="f"), rule=rule("r_flag", lambda e: "FLAG"), action=alert),
]
'''


@pytest.mark.parametrize(
    "stage, status, verdict",
    [("o", 1, "ODD"), ("f", 0, "FLAG"), ("x", 0, "ALLOW")],
)
def test_custom_verdict_is_shown_as_text_and_blocks_and_actions_never_run(tmp_path, stage, status, verdict):
    marker = tmp_path / "alerted"
    path = tmp_path / "custom.py"
    path.write_text(CUSTOM_POLICY.format(marker=str(marker)))
    result = run("replay", path, "--stage", stage, stdin='{"id": 1}\n')
    assert result.returncode == status, result.stderr
    (record,) = records(result.stdout)
    assert record["verdict"] == verdict
    assert not marker.exists()


# ---------------------------------------------------------------- what CI relies on


def summary_counts(stderr: str):
    """(events read, {verdict: count} including "bad") from a summary."""
    head = next(text for text in stderr.splitlines() if " events read from " in text)
    verdicts = next(text for text in stderr.splitlines() if text.startswith("  verdicts: "))
    counts = {}
    for part in verdicts[len("  verdicts: "):].split(", "):
        number, name = part.split(" ")
        counts[name] = int(number.replace(",", ""))
    return int(head.split()[1].replace(",", "")), counts


@pytest.mark.parametrize(
    "args, status, expected",
    [
        # options before, between and after the positional arguments
        (["replay", "{policy}", "--format", "jsonl", "{events}", "--stage", "execution"], 1, None),
        (["replay", "--fail-on", "flag", "{policy}", "{flag}"], 1, None),
        (["replay", "{policy}", "{flag}"], 0, None),
        (["--version"], 0, "quindle-brevault-agent 0."),
        (["replay", "{policy}", "{events}", "--jobs", "0"], 2, "usage: quindle-brevault-agent replay "),
        (["replay", "{policy}", "--bogus"], 2, "quindle-brevault-agent replay: error: unrecognized arguments: --bogus"),
        (["lint", "--format", "jsonl", "{policy}"], None, None),
        (["verify-log"], 2, "usage: quindle-brevault-agent verify-log "),
        (["mcp-proxy", "{policy}", "--stage", "x"], 2, "put it after --"),
        (["replay", "{policy}", "{events}", "-o", "{missing}"], 2, "quindle-brevault-agent: cannot open {missing} for writing: "),
        (["replay", "{policy}", "{events}", "--stage", "plannig"], 0, (
            "quindle-brevault-agent: warning: no behaviour of the policy uses stage 'plannig'"
            " (the stages it uses: 'execution', 'spend_decision')"
        )),
    ],
)
def test_command_line(policy_file, events_file, tmp_path, args, status, expected):
    names = {
        "policy": policy_file,
        "events": events_file(line(ALLOW), line(BLOCK)),
        "flag": events_file(line(FLAG), name="flag.jsonl"),
        "missing": tmp_path / "no" / "out.jsonl",
    }
    result = run(*[arg.format(**names) for arg in args])
    assert "Traceback" not in result.stderr
    if status is not None:
        assert result.returncode == status, result.stderr
    if expected is not None:
        assert expected.format(**names) in result.stdout + result.stderr
    if args[0] == "lint":  # a parser that was not intermixed before reads its options anywhere
        assert result.returncode == 1 and records(result.stdout)[0]["file"] == str(policy_file)


def test_unused_stages_are_counted_and_quiet_hides_the_summary(policy_file, events_file):
    path = events_file(line(ALLOW), line({"stage": "plannig"}), line({"stage": "plannig"}), line({"stage": "revew"}), "{}")
    result = run("replay", policy_file, path)
    assert result.returncode == 0
    assert "  events at a stage no behaviour uses: 3 (stages: 'plannig', 'revew')\n" in result.stderr
    quiet = run("replay", policy_file, path, "-q", "--stage", "nowhere")
    assert quiet.stderr.startswith("quindle-brevault-agent: warning: no behaviour of the policy uses stage 'nowhere'")
    assert " events read " not in quiet.stderr and len(records(quiet.stdout)) == 5


def test_max_errors_and_output_file(policy_file, events_file, tmp_path):
    path = events_file(*["nope", line(FLAG), "[1]"] * 4)
    out = tmp_path / "rows.jsonl"
    result = run("replay", policy_file, path, "--max-errors", "3", "-o", out, "--fail-on", "flag")
    assert result.returncode == 2  # bad input wins over a flag
    reports = [text for text in result.stderr.splitlines() if text.startswith(str(path))]
    assert [text.split(":")[1] for text in reports] == ["1", "3", "4"]
    assert result.stderr.count("further bad lines are not shown (--max-errors 3)") == 1
    assert summary_counts(result.stderr) == (12, {"ALLOW": 0, "FLAG": 4, "BLOCK": 0, "bad": 8})
    assert result.stdout == "" and [r["line"] for r in records(out.read_text())] == [2, 5, 8, 11]


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_output_that_cannot_be_written_is_one_message(policy_file, events_file, jobs):
    path = events_file(*[line(FLAG)] * 3000)
    for target in (["-o", "/dev/full"], []):
        with open("/dev/full", "w") as full:
            result = subprocess.run(
                [sys.executable, "-m", "quindle_brevault_agent", "replay", str(policy_file), str(path), "--jobs", jobs, *target],
                stdout=full, stderr=subprocess.PIPE, text=True, timeout=60,
            )
        name = "/dev/full" if target else "standard output"
        assert result.returncode == 2
        assert result.stderr == f"quindle-brevault-agent: cannot write {name}: No space left on device\n"


@pytest.mark.parametrize(
    "args, stdin, stdout, refused",
    [
        (["replay", "{policy}", "{events}", "-o", "{events}"], None, None, ("{events}", "{events}")),
        (["replay", "{policy}", "{events}", "--jobs", "2", "-o", "{hard}"], None, None, ("{hard}", "{events}")),
        (["replay", "{policy}", "{cases}", "{events}", "-o", "{soft}"], None, None, ("{soft}", "{events}")),
        (["replay", "{policy}:POLICY", "{events}", "-o", "{policy}"], None, None, ("{policy}", "{policy}")),
        (["replay", "{policy}", "-", "-o", "{soft}"], "{events}", None, ("{soft}", "standard input")),
        (["replay", "{policy}", "{events}", "--jobs", "2"], None, "{events}", ("standard output", "{events}")),
        (["test", "{policy}", "{cases}", "--junit", "{cases}"], None, None, ("{cases}", "{cases}")),
        (["test", "{policy}", "-"], "{cases}", "{hard_cases}", ("standard output", "standard input")),
        (["diff", "{policy}", "{policy}", "{events}"], None, "{policy}", ("standard output", "{policy}")),
        (["lint", "{policy}"], None, "{policy}", ("standard output", "{policy}")),
        (["verify-log", "{events}"], None, "{soft}", ("standard output", "{events}")),
        # Only regular files are compared: a device read and written is no loss.
        (["replay", "{policy}", "/dev/null", "-o", "/dev/null"], "/dev/null", "/dev/null", None),
    ],
)
def test_an_output_that_is_an_input_is_refused_before_anything_is_written(
    policy_file, events_file, tmp_path, args, stdin, stdout, refused
):
    names = {
        "policy": policy_file,
        "events": events_file(line(ALLOW), line(BLOCK)),
        "cases": events_file(json.dumps({"event": ALLOW, "expect": "BLOCK"}), name="cases.jsonl"),
    }
    os.link(names["events"], tmp_path / "hard.jsonl")
    os.link(names["cases"], tmp_path / "hard_cases.jsonl")
    (tmp_path / "soft.jsonl").symlink_to(names["events"])
    names.update(hard=tmp_path / "hard.jsonl", hard_cases=tmp_path / "hard_cases.jsonl", soft=tmp_path / "soft.jsonl")
    before = {name: Path(path).read_bytes() for name, path in names.items()}
    with open(str(stdin or os.devnull).format(**names), "rb") as given, \
            open(str(stdout or os.devnull).format(**names), "ab") as taken:
        result = subprocess.run(
            [sys.executable, "-m", "quindle_brevault_agent", *[arg.format(**names) for arg in args]],
            stdin=given, stdout=taken, stderr=subprocess.PIPE, text=True, timeout=60,
        )
    if refused is None:
        assert result.returncode == 0 and " 0 events read " in result.stderr, result.stderr
        return
    output, source = (text.format(**names) for text in refused)
    assert result.returncode == 2
    assert result.stderr == f"quindle-brevault-agent: {output} is the same file as input {source}\n"
    assert {name: Path(path).read_bytes() for name, path in names.items()} == before


def test_interrupt_writes_and_counts_the_rows_already_decided(policy_file):
    proc = subprocess.Popen(
        [sys.executable, "-m", "quindle_brevault_agent", "replay", str(policy_file)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    assert proc.stdin and proc.stdout and proc.stderr
    # Less than a pipe's worth each way, so that nobody waits on a full pipe;
    # standard input stays open: the replay waits for more when interrupted.
    proc.stdin.write(((line(FLAG) + "\n") * 150 + "nope\n" + (line(BLOCK) + "\n") * 50).encode())
    proc.stdin.flush()
    first = proc.stdout.readline()
    # Every row is decided and written by now.
    with ctrl_c_until_it_ends(proc):
        rest = proc.stdout.read()
        err = proc.stderr.read().decode()
        status = proc.wait(timeout=60)
    assert status == 130
    rows = records((first + rest).decode())
    assert "quindle-brevault-agent: interrupted" in err and "Traceback" not in err
    verdicts = [r["verdict"] for r in rows]
    assert summary_counts(err) == (
        len(rows) + 1, {"ALLOW": 0, "FLAG": verdicts.count("FLAG"), "BLOCK": verdicts.count("BLOCK"), "bad": 1}
    )
    assert len(rows) == 200
    proc.stdin.close()



@pytest.mark.parametrize(
    "where, at_once, held",
    [
        # innermost frame first
        (["replay"], False, True),  # writing the rows
        (["policy", "deciding", "replay"], False, True),  # a rule of the caller's own
        (["json", "rendering", "deciding", "replay"], False, True),
        (["counting", "replay"], False, True),
        (["progress", "replay"], False, True),
        (["replay_jobs", "replay"], False, True),  # a worker's rows copied in
        (["jsonl", "deciding", "replay"], False, False),  # the reader parses a line
        (["jsonl", "replay"], False, False),
        (["json"], False, False),  # nothing of the command line's own
        (["replay"], True, False),  # waiting for input or a worker
    ],
)
def test_ctrl_c_waits_only_where_a_row_is_half_done(where, at_once, held):
    import json as stdlib_json
    import types

    from quindle_brevault_agent.cli import counting, deciding, interrupts, replay_jobs

    modules = {
        "replay": replay, "deciding": deciding, "rendering": rendering, "counting": counting,
        "progress": progress, "replay_jobs": replay_jobs, "jsonl": jsonl, "json": stdlib_json,
        "policy": types.ModuleType("policy"),
    }
    frame = None
    for name in reversed(where):
        frame = types.SimpleNamespace(f_globals=vars(modules[name]), f_back=frame)
    caught = interrupts.Interrupts()
    caught.at_once = at_once
    if not held:
        with pytest.raises(KeyboardInterrupt):
            caught.handle(2, frame)
        return
    caught.handle(2, frame)
    with pytest.raises(KeyboardInterrupt):
        caught.check()
    caught.check()  # raised once
    caught.handle(2, frame)
    with pytest.raises(KeyboardInterrupt):
        caught.handle(2, frame)  # a second Ctrl-C does not wait

def test_jobs_give_the_output_of_one_process(policy_file, tmp_path, monkeypatch):
    monkeypatch.setenv("PYTHON_CPU_COUNT", "8")  # three processes, however few CPUs the machine has
    kinds = [line(ALLOW), "nope", line(FLAG), "", line(BLOCK), "[2]", line(TEXT_AMOUNT), line({"stage": "plannig"})]
    text = "\n".join(kinds[(i * 7 + i // 3) % len(kinds)] for i in range(2000))
    path = tmp_path / "mixed.jsonl"
    path.write_bytes(b"\xef\xbb\xbf" + text.encode())  # a byte order mark, no final newline
    other = tmp_path / "other.jsonl"
    other.write_text(line(FLAG) + "\n" + "nope\n" + line(BLOCK) + "\n")
    results = []
    for jobs in ("1", "2", "3"):
        for extra in ([], ["--max-errors", "7", "--format", "table"]):
            result = run("replay", policy_file, path, other, "--jobs", jobs, *extra)
            summary = [t for t in result.stderr.splitlines() if " events/s)" not in t]
            results.append((extra, result.returncode, result.stdout, summary))
    assert results[0][1] == 2 and len(records(results[0][2])) > 1000
    assert "  events at a stage no behaviour uses: " in "\n".join(results[0][3])
    for extra, *rest in results[2:]:
        assert rest == list(results[0 if not extra else 1][1:])
    first = records(results[0][2])[0]
    assert first["line"] == 1  # the byte order mark is skipped, not reported


def test_the_kept_rows_path_gives_the_rows_and_counts_of_the_general_path(monkeypatch, tmp_path):
    # The usual line's row is a kept rendering found by its decision and
    # counted when rows are flushed; with nothing kept, every line is
    # rendered and counted at once. Both must write the same bytes and
    # summaries, with either JSON parser, small blocks included.
    extra = [
        json.dumps({"decision_log": 1, "stage": "spend_decision", "verdict": "ALLOW",
                    "event": {"action_type": "charge", "amount": 900, "currency": "EUR", "payee": "p"}}),
        json.dumps({"stage": ["odd"], "action_type": "charge", "amount": 5}),
        json.dumps({"stage": "plannig", "amount": 1}),
        '  {"stage": "spend_decision", "action_type": "charge", "amount": 700}\r',
        "", "\ufeff{}", '{"a": 1} 2', "[1,", "2]",
    ]
    path = tmp_path / "mixed.jsonl"
    path.write_text("\n".join(EXAMPLE_EVENTS.read_text().splitlines() * 3 + extra) + "\n")
    monkeypatch.setattr(jsonl, "CHUNK", 512)

    def replayed(args):
        out, err = io.StringIO(), io.StringIO()
        status = run_in_process(monkeypatch, ["replay", str(EXAMPLE_POLICY), str(path), *args], out, err)
        return status, out.getvalue(), re.sub(r" in \S+ s \(\S+ events/s\)", "", err.getvalue())

    for parser in ("stdlib", "default"):
        monkeypatch.setenv(jsonl.ENVIRONMENT, parser)
        for args in (["--format", "jsonl"], ["--format", "table"], ["--stage", "spend_decision"]):
            monkeypatch.setattr(rendering, "CACHE_LIMIT", 4096)
            kept = replayed(args)
            monkeypatch.setattr(rendering, "CACHE_LIMIT", 0)
            assert replayed(args) == kept, (parser, args)
            assert kept[0] == 2 and kept[1].count("\n") > 100


@pytest.mark.parametrize(
    "args",
    [
        ["replay", EXAMPLE_POLICY, EXAMPLE_EVENTS],
        ["diff", EXAMPLE_POLICY, ROOT / "examples" / "policy.toml", EXAMPLE_EVENTS],
        ["test", EXAMPLE_POLICY, ROOT / "examples" / "cases.jsonl"],
        ["verify-log", EXAMPLE_EVENTS],
        ["replay", "absent_policy.py"],
    ],
)
def test_a_closed_standard_error_leaves_the_exit_status_alone(args):
    command = [sys.executable, "-m", "quindle_brevault_agent", *map(str, args)]
    expected = subprocess.run(command, capture_output=True, timeout=60).returncode
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    child.stderr.close()  # whoever read the messages has gone away
    assert child.wait(timeout=60) == expected


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["replay", "{policy}", "{events}"], ["verify-log", "{log}", "{log}"], ["lint", "{lint}"]])
@pytest.mark.parametrize("output", ["No space left on device", "Bad file descriptor", "gone"])
def test_standard_output_that_cannot_be_written_is_one_sentence(policy_file, events_file, tmp_path, args, output):
    from quindle_brevault_agent import DecisionLog

    with DecisionLog(tmp_path / "log.jsonl") as log:
        log.record(ALLOW, "spend_decision", Policy([]).evaluate(ALLOW, stage="spend_decision"))
    (tmp_path / "lint.toml").write_text('[[behaviour]]\nuse = "cap_charges"\nlimit = 500\n')  # a finding
    names = {"policy": policy_file, "events": events_file(*[line(FLAG)] * 3000), "log": tmp_path / "log.jsonl",
             "lint": tmp_path / "lint.toml"}
    command = [sys.executable, "-m", "quindle_brevault_agent", *[arg.format(**names) for arg in args]]
    if output == "gone":  # the reader went away before anything was written: quiet, and the usual status
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        child.stdout.close()
        assert b"Traceback" not in child.stderr.read()
        assert child.wait(timeout=60) == subprocess.run(command, capture_output=True, timeout=60).returncode
        return
    with open("/dev/full", "w") as full:  # full, or closed before the command starts
        result = subprocess.run(command, stdout=full, stderr=subprocess.PIPE, text=True, timeout=60,
                                preexec_fn=(lambda: os.close(1)) if output.startswith("Bad") else None)
    assert (result.returncode, result.stderr) == (2, f"quindle-brevault-agent: cannot write standard output: {output}\n")


@pytest.mark.parametrize("errors", ["strict", "surrogateescape"])  # surrogateescape: the C and C.UTF-8 locales
@pytest.mark.parametrize(
    "args, shown",
    [   # the rows split into words: nothing is lost, and no row
        (["replay", "{new}", "{events}", "--format", "table"],
         [["line", "stage"], ["1", "\\ud800", "BLOCK", "cap\\ud800"], ["2", "spend_decision", "ALLOW"]]),
        (["diff", "{old}", "{new}", "{events}", "--format", "table"],
         [["line", "stage"], ["1", "\\ud800", "ALLOW", "BLOCK", "+cap\\ud800"]]),
        (["lint", "{new}"], [["{new}:", "behaviour", "1", "(cap\\ud800):", "QB103"]]),
    ],
)
def test_a_lone_surrogate_is_written_escaped(tmp_path, events_file, monkeypatch, errors, args, shown):
    monkeypatch.setenv("PYTHONIOENCODING", f"utf-8:{errors}")
    (tmp_path / "new.py").write_text('from quindle_brevault_agent import library as qba\n'
                                     'POLICY = [qba.cap_charges(100, name="cap\\ud800", stage="\\ud800")]\n')
    (tmp_path / "old.py").write_text("POLICY = []\n")
    charge = {"action_type": "charge", "amount": 900}
    names = {"new": tmp_path / "new.py", "old": tmp_path / "old.py",
             "events": events_file(line({"stage": "\ud800", **charge}), line({"stage": "spend_decision", **charge}))}
    result = run(*[arg.format(**names) for arg in args])
    rows = [row.split() for row in result.stdout.splitlines()]
    expected = [[word.format(**names) for word in words] for words in shown]
    assert [row[: len(words)] for row, words in zip(rows, expected)] == expected and len(rows) == len(expected)
    assert result.returncode == 1 and "Traceback" not in result.stderr


@pytest.mark.parametrize("cpus, jobs, note", [("2", "1000000000000", "2 CPUs"), ("1", "1000", "1 CPU"), ("2", "2", None)])
def test_jobs_are_capped_at_the_cpus_the_replay_may_run_on(policy_file, events_file, monkeypatch, cpus, jobs, note):
    monkeypatch.setenv("PYTHON_CPU_COUNT", cpus)
    path = events_file(*[line(FLAG), "nope", line(BLOCK)] * 400)
    one, many = (run("replay", policy_file, path, "--jobs", n, "-q") for n in ("1", jobs))
    assert (many.returncode, many.stdout) == (one.returncode, one.stdout)
    notes = [text for text in many.stderr.splitlines() if not text.startswith(str(path))]
    assert notes == [f"quindle-brevault-agent: note: --jobs {jobs} is more than the {note} this process may run on; "
                     f"using {cpus}"] * (note is not None)


def test_a_bad_line_is_shown_after_the_rows_before_it_on_a_shared_terminal(policy_file, events_file, monkeypatch):
    import pty

    monkeypatch.setenv("PYTHON_CPU_COUNT", "2")
    monkeypatch.setenv("TERM", "dumb")
    events = [line(FLAG)] * 3000
    events[40], events[2600] = "nope", "[1]"  # one read by this process, one by the worker
    path = events_file(*events)
    screens = []
    for jobs in ("1", "2"):
        leader, follower = pty.openpty()  # standard output and error on one terminal
        child = subprocess.Popen([sys.executable, "-m", "quindle_brevault_agent", "replay", str(policy_file), str(path),
                                  "-q", "--jobs", jobs], stdin=subprocess.DEVNULL, stdout=follower, stderr=follower)
        os.close(follower)
        shown = b""
        while True:
            try:
                data = os.read(leader, 1 << 16)
            except OSError:  # the terminal is gone once the command has ended
                break
            shown += data
            if not data:
                break
        os.close(leader)
        assert child.wait(timeout=60) == 2
        screens.append(shown.decode().splitlines()[1:])
    numbers = [int(text.split(":")[1] if text.startswith(str(path)) else text.split()[0]) for text in screens[1]]
    assert screens[1] == screens[0] and numbers == list(range(1, 3001))
    assert [text for text in screens[1] if text.startswith(str(path))] == [
        f"{path}:41: not JSON: Expecting value: line 1 column 1 (char 0)", f"{path}:2601: not a JSON object but an array",
    ]


def test_a_table_row_says_what_the_rules_read_in_its_own_event(policy_file, events_file):
    def charge(amount):
        return {"stage": "spend_decision", "action_type": "charge", "kwargs": {"amount": amount}}

    # The same decision again and again, each row with its own amount; a
    # decision record goes the general path.
    record = json.dumps({"decision_log": 1, "stage": "spend_decision", "verdict": "BLOCK", "event": charge(700)})
    path = events_file(*map(line, [charge(900), charge(1200), charge(200)]), record,
                       line(charge(900.5)), line({"stage": "execution", "bucket": "vault"}))
    both = "cap (spend_cap<=500): BLOCK (amount={0}), large (flag_over>100): FLAG (amount={0})"
    expected = [
        "1 spend_decision BLOCK " + both.format(900),
        "2 spend_decision BLOCK " + both.format(1200),
        "3 spend_decision FLAG large (flag_over>100): FLAG (amount=200)",
        "4 spend_decision BLOCK " + both.format(700),
        "5 spend_decision BLOCK " + both.format(900.5),
        "6 execution BLOCK locked (deny_bucket): BLOCK (bucket='vault')",
    ]
    for jobs in ("1", "2"):
        result = run("replay", policy_file, path, "--format", "table", "--jobs", jobs)
        assert [" ".join(row.split()) for row in result.stdout.splitlines()[1:]] == expected, result.stderr
