"""The diff command: two policies over the same events, as a subprocess where exit and output matter."""

from __future__ import annotations

import io
import json
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

from ctrl_c import ctrl_c_until_it_ends
from quindle_brevault_agent.cli import diff as policy_diff
from quindle_brevault_agent._engine import Hit

PROG = "quindle-brevault-agent"

OLD_SOURCE = textwrap.dedent(
    """
    from quindle_brevault_agent import library as qba
    from quindle_brevault_agent import Policy, behaviour, rule, trigger

    POLICY = Policy([
        qba.cap_charges(500, name="cap"),
        qba.flag_large_charges(100, name="large"),
        qba.deny_writes_to("bucket", ["vault"], name="locked"),
    ])
    """
)

# The cap raised to 1000, the flag dropped, the archive denied, the vault
# only flagged now.
NEW_SOURCE = OLD_SOURCE.replace(
    """    qba.cap_charges(500, name="cap"),
    qba.flag_large_charges(100, name="large"),
    qba.deny_writes_to("bucket", ["vault"], name="locked"),
""",
    """    qba.cap_charges(1000, name="cap"),
    qba.deny_writes_to("bucket", ["archive"], name="archived"),
    behaviour("locked", on=trigger(stage="execution"),
              rule=rule("flag_vault", lambda e: "FLAG" if e["bucket"] == "vault" else "ALLOW")),
""",
)


def charge(amount):
    return {"stage": "spend_decision", "action_type": "charge", "amount": amount}


def put(bucket):
    return {"stage": "execution", "method": "put", "bucket": bucket}


def line(event) -> str:
    return json.dumps(event)


# Unchanged, FLAG -> ALLOW, BLOCK -> ALLOW, BLOCK -> BLOCK (the flag gone, the
# cap's rule renamed only), unchanged, ALLOW -> BLOCK, BLOCK -> FLAG.
EVENTS = [charge(20), charge(200), charge(700), charge(2000), put("reports"), put("archive"), put("vault")]


def run(*args, stdin=None, stdout=subprocess.PIPE, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "quindle_brevault_agent", *map(str, args)],
        input=stdin,
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        cwd=cwd,
        timeout=60,
    )


def records(stdout: str):
    return [json.loads(text) for text in stdout.splitlines()]


def summary(stderr: str) -> list[str]:
    """The summary's lines after the first (which holds a time)."""
    lines = stderr.splitlines()
    start = next(i for i, text in enumerate(lines) if text.startswith(f"{PROG}: ") and " events read " in text)
    return lines[start + 1 :]


@pytest.fixture
def pair(tmp_path):
    (tmp_path / "old.py").write_text(OLD_SOURCE)
    (tmp_path / "new.py").write_text(NEW_SOURCE)
    return tmp_path / "old.py", tmp_path / "new.py"


@pytest.fixture
def events_file(tmp_path):
    def write(*lines, name="events.jsonl"):
        path = tmp_path / name
        path.write_text("".join(text + "\n" for text in lines))
        return path

    return write


@pytest.mark.parametrize(
    "lines, same, status",
    [
        ([], False, 0),
        ([line(e) for e in EVENTS], True, 0),
        ([line(charge(20)), line(put("reports")), line(put("vault"))], False, 1),
        ([line(charge(20)), line(charge(2000))], False, 1),
        ([line(charge(200)), "{oops"], False, 2),
        # Bad input outranks changes, and a failure under NEW alone counts.
        ([line(charge(200)), line({"stage": "execution", "method": "put"})], False, 2),
    ],
)
def test_exit_status(pair, events_file, lines, same, status):
    old, new = pair
    result = run("diff", old, old if same else new, events_file(*lines), "--format", "table")
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr


def test_a_policy_change_on_events(pair, events_file):
    old, new = pair
    path = events_file(*map(line, EVENTS))
    result = run("diff", old, new, path)
    assert result.returncode == 1, result.stderr

    def hit(behaviour, rule, verdict):
        return {"behaviour": behaviour, "rule": rule, "verdict": verdict}

    def row(number, old_verdict, new_verdict, added=(), removed=(), changed=()):
        return {
            "line": number,
            "file": str(path),
            "stage": EVENTS[number - 1]["stage"],
            "old": old_verdict,
            "new": new_verdict,
            "added": list(added),
            "removed": list(removed),
            "changed": list(changed),
        }

    assert records(result.stdout) == [
        row(2, "FLAG", "ALLOW", removed=[hit("large", "flag_over>100", "FLAG")]),
        row(3, "BLOCK", "ALLOW", removed=[hit("cap", "spend_cap<=500", "BLOCK"), hit("large", "flag_over>100", "FLAG")]),
        row(4, "BLOCK", "BLOCK", removed=[hit("large", "flag_over>100", "FLAG")]),
        row(6, "ALLOW", "BLOCK", added=[hit("archived", "deny_bucket", "BLOCK")]),
        row(
            7,
            "BLOCK",
            "FLAG",
            changed=[
                {
                    "behaviour": "locked",
                    "old": {"rule": "deny_bucket", "verdict": "BLOCK"},
                    "new": {"rule": "flag_vault", "verdict": "FLAG"},
                }
            ],
        ),
    ]
    expected_summary = [
        "  2 unchanged, 5 changed, 0 bad",
        "  ALLOW -> BLOCK: 1",
        "  FLAG -> ALLOW: 1",
        "  BLOCK -> ALLOW: 1",
        "  BLOCK -> FLAG: 1",
        "  BLOCK -> BLOCK: 1",
    ]
    assert summary(result.stderr) == expected_summary
    assert result.stderr.startswith(f"{PROG}: 7 events read from 1 input in ")

    table = run("diff", old, new, path, "--format", "table")
    assert table.stdout.splitlines() == [
        "  line  stage             old      new      hits",
        "     2  spend_decision    FLAG     ALLOW    -large (flag_over>100): FLAG",
        "     3  spend_decision    BLOCK    ALLOW    -cap (spend_cap<=500): BLOCK, -large (flag_over>100): FLAG",
        "     4  spend_decision    BLOCK    BLOCK    -large (flag_over>100): FLAG",
        "     6  execution         ALLOW    BLOCK    +archived (deny_bucket): BLOCK",
        "     7  execution         BLOCK    FLAG     ~locked (deny_bucket -> flag_vault): BLOCK -> FLAG",
    ]
    assert summary(table.stderr) == expected_summary


def test_decision_logs_and_several_inputs(pair, events_file, monkeypatch):
    old, new = pair
    # A decision record is decided on the event it holds, at the stage it
    # recorded (the event's own "stage" is not read); --stage outranks both.
    record = {"decision_log": 1, "seq": 1, "stage": "spend_decision", "verdict": "FLAG", "event": {"action_type": "charge", "amount": 200}}
    log = events_file(line(record), line(dict(record, event=put("archive"))), name="log.jsonl")
    plain = events_file(line(put("archive")), name="plain.jsonl")
    result = run("diff", old, new, log, plain)
    assert [(r["file"], r["line"], r["stage"], r["old"], r["new"]) for r in records(result.stdout)] == [
        (str(log), 1, "spend_decision", "FLAG", "ALLOW"),
        (str(plain), 1, "execution", "ALLOW", "BLOCK"),
    ]
    assert result.stderr.startswith(f"{PROG}: 3 events read from 2 inputs in ")
    staged = run("diff", old, new, log, "--stage", "execution")
    assert [(r["line"], r["stage"], r["old"], r["new"]) for r in records(staged.stdout)] == [
        (2, "execution", "ALLOW", "BLOCK")
    ]

    # The table is the default on a terminal, and names the file with several inputs.
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    screen = Terminal()
    monkeypatch.setattr(sys, "stdout", screen)
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    assert policy_diff.run(policy_diff_args(old, new, [str(log), str(plain)])) == 1
    rows = screen.getvalue().splitlines()
    assert rows[1].split()[:4] == [f"{log}:1", "spend_decision", "FLAG", "ALLOW"]
    assert rows[2].split()[:4] == [f"{plain}:1", "execution", "ALLOW", "BLOCK"]


def policy_diff_args(old, new, events, fmt=None):
    import argparse

    return argparse.Namespace(old=str(old), new=str(new), events=events, stage=None, format=fmt)


@pytest.mark.parametrize(
    "bad, reason",
    [
        ("{oops", "not JSON: Expecting property name enclosed in double quotes"),
        ("[1]", "not a JSON object but an array"),
        (line({"decision_log": 1, "event": "x"}), "a decision record whose event is not a JSON object but a string"),
        (
            line({"stage": "execution", "method": "put"}),
            "evaluation failed under NEW: KeyError: 'bucket' (while evaluating behaviour 'locked' (rule 'flag_vault'))",
        ),
        (
            line(charge("900")),
            "evaluation failed under OLD: TypeError: '>' not supported between instances of 'str' and 'int' "
            "(while evaluating behaviour 'cap' (rule 'spend_cap<=500')); under NEW: TypeError: '>' not "
            "supported between instances of 'str' and 'int' (while evaluating behaviour 'cap' (rule "
            "'spend_cap<=1000'))",
        ),
    ],
)
def test_a_bad_line_is_reported_and_the_run_goes_on(pair, events_file, bad, reason):
    old, new = pair
    path = events_file(line(charge(200)), bad, line(put("archive")))
    result = run("diff", old, new, path)
    assert result.returncode == 2
    reports = [text for text in result.stderr.splitlines() if text.startswith(f"{path}:")]
    assert len(reports) == 1 and reports[0].startswith(f"{path}:2: {reason}"), result.stderr
    assert [r["line"] for r in records(result.stdout)] == [1, 3]
    assert summary(result.stderr)[0] == "  0 unchanged, 2 changed, 1 bad"


@pytest.mark.parametrize("broken", ["OLD", "NEW", "both"])
def test_a_policy_that_does_not_load_is_named(pair, events_file, broken):
    old, new = pair
    missing = old.parent / "missing.py"
    args = [missing if broken in ("OLD", "both") else old, missing if broken in ("NEW", "both") else new]
    result = run("diff", *args, events_file(line(charge(200))))
    assert result.returncode == 2
    assert result.stdout == ""
    expected = [f"{PROG}: {which}: cannot load policy {missing}: no such file: {missing}" for which in ("OLD", "NEW") if broken in (which, "both")]
    assert result.stderr.splitlines() == expected


def test_new_imports_its_own_helpers_not_olds(tmp_path, events_file):
    # Two checkouts of one project: each policy imports a module next to it.
    for folder, limit in (("old", 500), ("new", 100)):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "limits.py").write_text(f"CAP = {limit}\n")
        (tmp_path / folder / "policy.py").write_text(
            "from limits import CAP\nfrom quindle_brevault_agent import cap_charges\nPOLICY = [cap_charges(CAP, name='cap')]\n"
        )
    result = run("diff", tmp_path / "old" / "policy.py", tmp_path / "new" / "policy.py", events_file(line(charge(200))))
    assert result.returncode == 1, result.stderr
    assert [(r["old"], r["new"]) for r in records(result.stdout)] == [("ALLOW", "BLOCK")]


def test_an_output_that_cannot_be_written(pair, events_file):
    old, new = pair
    path = events_file(*[line(charge(200))] * 20000)
    with open("/dev/full", "w") as full:
        result = run("diff", old, new, path, stdout=full)
    assert result.returncode == 2
    assert result.stderr.splitlines()[0] == f"{PROG}: cannot write the output: No space left on device"
    assert "Traceback" not in result.stderr

    # A reader that goes away is no error: what was found still decides the status.
    proc = subprocess.Popen(
        [sys.executable, "-m", "quindle_brevault_agent", "diff", str(old), str(new), str(path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.readline()
    proc.stdout.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 1
    assert "Traceback" not in err and "Error" not in err


def test_an_interrupt_shows_and_counts_the_same_rows(pair):
    old, new = pair
    proc = subprocess.Popen(
        [sys.executable, "-m", "quindle_brevault_agent", "diff", str(old), str(new)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert proc.stdin is not None and proc.stdout is not None and proc.stderr is not None
    proc.stdin.write("".join(line(e) + "\n" for e in EVENTS * 3))
    proc.stdin.flush()
    rows = [proc.stdout.readline() for _ in range(15)]  # every change made so far is shown
    with ctrl_c_until_it_ends(proc):  # while it waits for more input
        rows += proc.stdout.readlines()
        err = proc.stderr.read()
        status = proc.wait(timeout=60)
    proc.stdin.close()
    assert status == 130
    assert len(rows) == 15 and all(json.loads(text)["line"] for text in rows)
    assert f"{PROG}: interrupted" in err and "Traceback" not in err
    assert summary(err)[0] == "  6 unchanged, 15 changed, 0 bad"


class Own:
    """A caller's own verdict, shown as its str()."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize(
    "old_hits, new_hits, added, removed, changed",
    [
        ([("a", "r", "BLOCK")], [("a", "r", "BLOCK")], [], [], []),
        ([("a", "r", "FLAG"), ("b", "r", "FLAG")], [("a", "r", "FLAG")], [], [1], []),
        # A renamed rule, or another order, is no change.
        ([("a", "r1", "FLAG"), ("b", "r", "FLAG")], [("b", "r", "FLAG"), ("a", "r2", "FLAG")], [], [], []),
        # Names as a multiset: the second "a" of OLD has no partner.
        ([("a", "r", "FLAG"), ("b", "r", "FLAG"), ("a", "r", "FLAG")], [("a", "r", "FLAG"), ("c", "r", "BLOCK")], [1], [1, 2], []),
        ([("a", "r", "FLAG"), ("a", "r", "BLOCK")], [("a", "r", "FLAG"), ("a", "r", "FLAG")], [], [], [(1, 1)]),
        # Own verdicts compare as shown; None is not the text "None".
        ([("a", "r", Own("ESCALATE"))], [("a", "r", Own("ESCALATE"))], [], [], []),
        ([("a", "r", Own("ESCALATE"))], [("a", "r", "BLOCK")], [], [], [(0, 0)]),
        ([("a", "r", None)], [("a", "r", "None")], [], [], [(0, 0)]),
        ([(1, "r", "FLAG")], [("1", "r", "FLAG")], [], [], []),
    ],
)
def test_compare_hits(old_hits, new_hits, added, removed, changed):
    old = [Hit(*hit) for hit in old_hits]
    new = [Hit(*hit) for hit in new_hits]
    got = policy_diff.compare(old, new)
    assert got == ([new[i] for i in added], [old[i] for i in removed], [(old[i], new[j]) for i, j in changed])

    # A row, from the shortcut for equal plain hits, from the cache, or made
    # afresh (a stage that is not a string is never cached), says the same.
    def decision(hits):
        return types.SimpleNamespace(verdict="FLAG", hits=tuple(hits))

    differs = bool(added or removed or changed)
    renderer = policy_diff._Renderer("jsonl", show_file=False)
    renderer.start_file("f")
    rows = [renderer.row(1, stage, decision(old), decision(new)) for stage in ("s", "s", 7)]
    assert [made is not None for made in rows] == [differs] * 3
    if differs:
        assert rows[0] == rows[1] == (rows[2][0].replace('"stage": 7', '"stage": "s"'), ("FLAG", "FLAG"))


def test_own_verdicts_in_the_jsonl_rows(tmp_path, events_file):
    source = textwrap.dedent(
        """
        from quindle_brevault_agent import Policy, behaviour, rule, trigger

        class Escalate:
            def __str__(self):
                return "ESCALATE"

        POLICY = Policy([behaviour("odd", on=trigger(stage="s"), rule=rule("r", lambda e: {VERDICT}))])
        """
    )
    (tmp_path / "a.py").write_text(source.replace("{VERDICT}", "Escalate()"))
    (tmp_path / "b.py").write_text(source.replace("{VERDICT}", "Escalate()"))
    (tmp_path / "c.py").write_text(source.replace("{VERDICT}", "'BLOCK' if e['v'] else None"))
    events = events_file('{"stage": "s", "v": 1}', '{"stage": "s", "v": 0}')
    same = run("diff", tmp_path / "a.py", tmp_path / "b.py", events)
    assert (same.returncode, same.stdout) == (0, ""), same.stderr
    result = run("diff", tmp_path / "a.py", tmp_path / "c.py", events)
    assert result.returncode == 1
    assert [(r["old"], r["new"], r["changed"][0]["new"]["verdict"]) for r in records(result.stdout)] == [
        ("ESCALATE", "BLOCK", "BLOCK"),
        ("ESCALATE", None, None),
    ]
    assert summary(result.stderr)[1:] == ["  ESCALATE -> BLOCK: 1", "  ESCALATE -> -: 1"]


ROOT = Path(__file__).resolve().parent.parent


def test_the_readme_example_as_shown_and_as_policy_evaluate_decides(tmp_path):
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("## Compare two policies") :]
    source = section[section.index("```python\n") + 10 :]
    (tmp_path / "policy_next.py").write_text(source[: source.index("```")])
    shown = section[section.index("$ python -m quindle_brevault_agent diff") :]
    shown = shown[: shown.index("```")].splitlines()[1:]
    events = ROOT / "examples" / "events.jsonl"
    args = ["examples/policy.py", tmp_path / "policy_next.py", "examples/events.jsonl", "--format", "table"]
    result = run("diff", *args, cwd=ROOT)
    assert result.returncode == 2
    rows = result.stdout.splitlines()
    assert rows == shown[: len(rows)]
    said = [text for text in result.stderr.splitlines() if " events read " not in text]
    assert said == [text for text in shown[len(rows) :] if " events read " not in text]

    # The rows are the lines whose two decisions differ, by Policy.evaluate.
    old = policy_diff.load_policy(str(ROOT / "examples" / "policy.py"))
    new = policy_diff.load_policy(str(tmp_path / "policy_next.py"))
    changed = []
    for number, text in enumerate(events.read_text().splitlines(), 1):
        try:
            event = json.loads(text)
            decisions = [p.evaluate(event, stage=event.get("stage")) for p in (old, new)]
        except (ValueError, TypeError, AttributeError):
            continue
        seen = [(d.verdict, sorted((h.behaviour, h.verdict) for h in d.hits)) for d in decisions]
        if seen[0] != seen[1]:
            changed.append(number)
    assert [int(row.split()[0]) for row in rows[1:]] == changed


def test_same_named_behaviours_at_two_stages_give_rows_with_their_own_stages(tmp_path, events_file):
    source = 'from quindle_brevault_agent import library as qba\nPOLICY = [qba.cap_charges(LIMIT, name="cap"), qba.cap_charges(LIMIT, name="cap", stage="review")]\n'
    (tmp_path / "old.py").write_text(source.replace("LIMIT", "500"))
    (tmp_path / "new.py").write_text(source.replace("LIMIT", "100"))
    stages = ["spend_decision", "review", "review", "spend_decision"]
    events = events_file(*(line(dict(charge(200), stage=stage)) for stage in stages))
    added = [{"behaviour": "cap", "rule": "spend_cap<=100", "verdict": "BLOCK"}]
    jsonl = run("diff", tmp_path / "old.py", tmp_path / "new.py", events, "--format", "jsonl")
    assert jsonl.returncode == 1, jsonl.stderr
    assert [(r["line"], r["stage"], r["added"]) for r in records(jsonl.stdout)] == [
        (number, stage, added) for number, stage in enumerate(stages, 1)
    ]
    table = run("diff", tmp_path / "old.py", tmp_path / "new.py", events, "--format", "table")
    assert [row.split()[:2] for row in table.stdout.splitlines()[1:]] == [
        [str(number), stage] for number, stage in enumerate(stages, 1)
    ]
