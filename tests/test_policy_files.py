"""Policy files: what a TOML or JSON file builds, and the exact refusal of each bad one."""

from __future__ import annotations

import json
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import quindle_brevault_agent as qba
from quindle_brevault_agent import _impl, library
from quindle_brevault_agent.jsonl import Source, read
from quindle_brevault_agent.policy_files import PolicyLoadError

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

OWN = '[[behaviour]]\nname = "own"\non = {on}\nrule = {rule}\n'


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    return str(path)


BAD = [
    ("p.toml", '[[behaviour]]\nuse = "cap_charges"\nlimit = 5\n[[behaviour]]\nuse = "restrict_scope"\n'
     'allowed = "tenants/t1/"\n',
     "behaviour 2 (restrict_scope): 'allowed' must be a list of strings, not a string"),
    ("p.toml", '[[behaviour]]\nuse = "cap_charges"\nlimit = true\nname = "cap"\n',
     "behaviour 1 (cap): 'limit' must be a number, not a boolean"),
    ("p.toml", '[[behaviour]]\nuse = "cap_charges"\nlimit = "500"\n',
     "behaviour 1 (cap_charges): 'limit' must be a number, not a string"),
    ("p.toml", '[[behaviour]]\nuse = "cap_charges"\n',
     "behaviour 1 (cap_charges): missing 'limit': expected a number"),
    ("p.toml", '[[behaviour]]\nuse = "cap_charges"\nlimit = 1\nlimt = 2\n',
     "behaviour 1 (cap_charges): unknown key 'limt': cap_charges takes 'limit', 'field', 'stage' and 'name'"),
    ("p.toml", '[[behaviour]]\nuse = "cap_charges"\nlimit = 1\naction = "alert"\n',
     "behaviour 1 (cap_charges): unknown key 'action': actions are code and have no place in a policy file"),
    ("p.toml", '[[behaviour]]\nuse = "spend_cap"\nlimit = 1\n',
     "behaviour 1 (spend_cap): 'use' must be one of 'cap_charges', 'flag_large_charges', "
     "'deny_writes_to', 'restrict_scope', 'budget', 'rate_limit' or 'repeat_limit', not 'spend_cap'"),
    ("p.toml", '[[behaviour]]\nuse = "deny_writes_to"\nfield = "bucket"\nvalues = []\n',
     "behaviour 1 (deny_writes_to): 'values' must be a list of strings or integers, not an empty list"),
    ("p.toml", '[[behaviour]]\nuse = "deny_writes_to"\nfield = 7\nvalues = ["a"]\n',
     "behaviour 1 (deny_writes_to): 'field' must be a string, not an integer"),
    ("p.toml", '[[behaviour]]\nuse = "restrict_scope"\nallowed = ["a/", ""]\nstage = 1.5\n',
     "behaviour 1 (restrict_scope): 'allowed' item 2 must be a non-empty string, not an empty string"),
    ("p.toml", '[[behaviour]]\nuse = "restrict_scope"\nallowed = ["a/"]\nname = ""\n',
     "behaviour 1 (restrict_scope): 'name' must be a non-empty string, not an empty string"),
    ("p.toml", OWN.format(on='{ trigger = "on_charge", stage = 3 }', rule='{ use = "require_fields", fields = ["a"] }'),
     "behaviour 1 (own): 'on.stage' must be a string, not an integer"),
    ("p.toml", OWN.format(on='{ trigger = "on_charge", where = "x" }', rule='{ use = "spend_cap", limit = 1 }'),
     "behaviour 1 (own): unknown key 'on.where': on_charge takes 'stage' and 'action_type'"),
    ("p.toml", OWN.format(on='{ stage = "x" }', rule='{ use = "spend_cap", limit = 1 }'),
     "behaviour 1 (own): missing 'on.trigger': expected 'on_charge' or 'on_write'"),
    ("p.toml", OWN.format(on='{ trigger = "on_write" }', rule='{ use = "require_fields", fields = "amount" }'),
     "behaviour 1 (own): 'rule.fields' must be a list of strings, not a string"),
    ("p.toml", OWN.format(on='{ trigger = "on_write" }', rule='{ use = "deny_list", field = "b", values = ["x", 1.5] }'),
     "behaviour 1 (own): 'rule.values' item 2 must be a string or an integer, not a float"),
    ("p.toml", OWN.format(on='{ trigger = "on_write" }', rule='{ use = "spend_cap", limit = 1 }') + 'action = "page"\n',
     "behaviour 1 (own): unknown key 'action': actions are code and have no place in a policy file"),
    ("p.toml", OWN.format(on='{ trigger = "on_write" }', rule='{ use = "deny_list", field = "b", values = ["x"], verdict = "flag" }'),
     "behaviour 1 (own): 'rule.verdict' must be one of 'ALLOW', 'FLAG', 'ASK' or 'BLOCK', not 'flag'"),
    ("p.json", '{"behaviour": [{"name": "own", "on": {"trigger": "on_charge"}, '
     '"rule": {"use": "require_fields", "fields": ["a"], "verdict": null}}]}',
     "behaviour 1 (own): 'rule.verdict' must be one of 'ALLOW', 'FLAG', 'ASK' or 'BLOCK', not null"),
    ("p.toml", OWN.format(on='"on_write"', rule='{ use = "spend_cap", limit = 1 }'),
     "behaviour 1 (own): 'on' must be a table, not a string"),
    ("p.toml", '[[behaviour]]\nname = "own"\non = { trigger = "on_write" }\n',
     "behaviour 1 (own): missing 'rule': expected a table"),
    ("p.toml", '[[behaviour]]\nlimit = 3\n',
     "behaviour 1: missing 'use': expected 'cap_charges', 'flag_large_charges', 'deny_writes_to', "
     "'restrict_scope', 'budget', 'rate_limit' or 'repeat_limit', or 'name', 'on' and 'rule' for a behaviour of your own"),
    ("p.toml", '[behaviour]\nuse = "cap_charges"\nlimit = 3\n', "'behaviour' must be a list of tables, not a table"),
    ("p.toml", "behaviours = []\n", "unknown key 'behaviours': expected 'behaviour' or 'store'"),
    ("p.toml", "", "missing 'behaviour': expected a list of tables"),
    ("p.toml", '[[behaviour]]\nuse = = 3\n', "TOML syntax error at line 2, column 7: Invalid value"),
    ("p.toml", '[[behaviour]]\nuse = "x', "TOML syntax error at line 2, column 9: Unterminated string"),
    ("p.toml", b'[[behaviour]]\nuse = "\xff"\n', "not UTF-8 text at line 2, column 8: invalid start byte"),
    ("p.json", '{"behaviour": [{"use": "cap_charges",\n "limit": }]}', "JSON syntax error at line 2, column 11: Expecting value"),
    ("p.json", '{"behaviour": [{"use": "cap_charges", "limit": 1, "limit": 2}]}',
     "behaviour 1 (cap_charges): duplicate key 'limit'"),
    ("p.json", '{"behaviour": [3]}', "behaviour 1 must be an object, not an integer"),
    ("p.json", "[]", "must hold an object with a 'behaviour' list, not an empty list"),
]


@pytest.mark.parametrize(("name", "text", "message"), BAD)
def test_a_bad_file_is_refused_with_what_where_and_why(tmp_path, name, text, message):
    path = write(tmp_path, name, text)
    with pytest.raises(qba.PolicyFileError) as caught:
        qba.load_policy(path)
    assert str(caught.value) == f"{path}: {message}"
    assert isinstance(caught.value, ValueError) and isinstance(caught.value, PolicyLoadError)


def test_what_is_not_a_policy_file_is_a_load_error_but_not_a_value_error(tmp_path):
    path = write(tmp_path, "p.toml", "behaviour = []\n")
    for target, message in [
        (str(tmp_path / "none.json"), f"no such file: {tmp_path / 'none.json'}"),
        (path + ":POLICY", f"{path} is a policy file, which takes no :POLICY"),
    ]:
        with pytest.raises(PolicyLoadError) as caught:
            qba.load_policy(target)
        assert str(caught.value) == message and not isinstance(caught.value, ValueError)
    assert len(qba.load_policy(path)) == 0




@pytest.mark.parametrize(
    "name, make, kind",
    [("p.toml", "mkfifo", "a named pipe"), ("p.py", "mkfifo", "a named pipe"), ("p.json", "symlink_to", "a character device"),
     ("/dev/zero", None, "a character device"), ("p.toml", "mkdir", None)],
)
def test_what_is_not_a_regular_file_is_refused_unread(tmp_path, name, make, kind):
    import os

    path = tmp_path / name if make else Path(name)
    if make == "mkfifo":
        os.mkfifo(path)  # with no writer, a read would wait for ever
    elif make:
        getattr(path, make)(*(["/dev/zero"] if make == "symlink_to" else []))  # /dev/zero never ends
    with pytest.raises(PolicyLoadError) as caught:
        qba.load_policy(str(path))
    assert str(caught.value) == f"cannot read {path}: " + (f"not a regular file but {kind}" if kind else "Is a directory")


TOML = """
[[behaviour]]
use = "cap_charges"
limit = 500.0
stage = "pay"
[[behaviour]]
use = "flag_large_charges"
limit = 100
field = "total"
name = "big"
[[behaviour]]
use = "deny_writes_to"
field = "bucket"
values = ["vault", 7]
method = "put"
[[behaviour]]
use = "restrict_scope"
allowed = ["a/", "b:"]
field = "path"
[[behaviour]]
name = "complete"
on = { trigger = "on_charge", action_type = "refund" }
rule = { use = "require_fields", fields = ["amount", "payee"], verdict = "FLAG" }
[[behaviour]]
name = "tools"
on = { trigger = "on_write", stage = "plan" }
rule = { use = "allow_list", field = "tool", values = ["read"] }
"""


def python_calls():
    return [
        library.cap_charges(500.0, stage="pay"),
        library.flag_large_charges(100, field="total", name="big"),
        library.deny_writes_to("bucket", ["vault", 7], method="put"),
        library.restrict_scope(["a/", "b:"], field="path"),
        _impl.behaviour(
            "complete",
            on=library.on_charge(action_type="refund"),
            rule=library.require_fields("amount", "payee", verdict="FLAG"),
        ),
        _impl.behaviour("tools", on=library.on_write(stage="plan"), rule=library.allow_list("tool", ["read"])),
    ]


def calls(log):
    """The logged calls, an argument that an earlier call returned shown as its position."""
    made = [c.result for c in log.calls]

    def shown(value):
        return next((("result", i) for i, r in enumerate(made) if r is value), value)

    return [
        (c.name, tuple(map(shown, c.args)), {k: shown(v) for k, v in c.kwargs.items()})
        for c in log.calls
    ]


FACTORIES = ["cap_charges", "flag_large_charges", "deny_writes_to", "restrict_scope",
             "on_charge", "on_write", "require_fields", "allow_list"]


@pytest.mark.parametrize("fmt", ["toml", "json"])
def test_a_file_makes_the_same_calls_in_file_order_as_python(tmp_path, record, fmt):
    import tomllib

    text = TOML if fmt == "toml" else json.dumps(tomllib.loads(TOML))
    path = write(tmp_path, f"p.{fmt}", text)
    log = record(library, *FACTORIES, through=True)
    record(_impl, "behaviour", through=True)
    loaded = qba.load_policy(path)
    from_file = calls(log)
    log.calls.clear()
    made = python_calls()
    assert from_file == calls(log)
    assert [b.name for b in loaded] == [b.name for b in made]
    assert [(b.on.stage, b.rule.name, b.action) for b in loaded] == [
        (b.on.stage, b.rule.name, None) for b in made
    ]


def decisions(policy, events):
    made = []
    for event in events:
        for stage in (event.get("stage"), None):
            try:
                decision = policy.evaluate(event, stage=stage)
            except TypeError as exc:  # a text amount against a numeric cap
                made.append(str(exc))
            else:
                made.append((decision.verdict, decision.hits))
    return made


def test_the_example_files_decide_as_the_python_example():
    with open(EXAMPLES / "events.jsonl", "rb") as stream:
        events = [e for _n, _raw, e, _error in read(Source("events", stream, None)) if isinstance(e, dict)]
    python = qba.load_policy(str(EXAMPLES / "policy.py"))
    expected = decisions(python, events)
    assert {d[0] for d in expected if isinstance(d, tuple)} == {"ALLOW", "FLAG", "BLOCK"}
    toml = qba.load_policy(EXAMPLES / "policy.toml")
    assert decisions(toml, events) == expected
    replays = [
        subprocess.run(
            [sys.executable, "-m", "quindle_brevault_agent", "replay", str(EXAMPLES / name),
             str(EXAMPLES / "events.jsonl"), "--format", "jsonl"],
            capture_output=True, text=True, timeout=60,
        )
        for name in ("policy.py", "policy.toml")
    ]
    assert replays[0].returncode == replays[1].returncode == 2  # the text amount
    assert replays[0].stdout == replays[1].stdout != ""


def test_a_policy_given_as_a_text_or_a_dict_and_what_its_refusals_call_it():
    with open(EXAMPLES / "events.jsonl", "rb") as stream:
        events = [e for _n, _raw, e, _error in read(Source("events", stream, None)) if isinstance(e, dict)]
    expected = decisions(qba.load_policy(EXAMPLES / "policy.toml"), events)
    text = (EXAMPLES / "policy.toml").read_text()
    document = json.loads(json.dumps(tomllib.loads(text)))
    for source in [text, document, json.dumps(document), "\ufeff " + json.dumps(document, indent=2) + "\n"]:
        assert decisions(qba.load_policy(source), events) == expected
    assert "PolicyLoadError" in qba.__all__ and qba.PolicyLoadError is PolicyLoadError
    bad = {"use": "cap_charges", "limit": 5}
    for source, message in [
        ("[[behaviour]]\nuse =\n", "<text>: TOML syntax error at line 2, column 6: Invalid value"),
        ('{"behaviour": [}', "<text>: JSON syntax error at line 1, column 16: Expecting value"),
        ("{name}", "<text>: JSON syntax error at line 1, column 2: Expecting property name enclosed in double quotes"),
        ({"behaviour": [dict(bad, limit=(5,))]}, "<dict>: behaviour 1 (cap_charges): 'limit' must be a number, not a tuple"),
        ({"behaviour": (bad,)}, "<dict>: 'behaviour' must be a list of dicts, not a tuple"),
        ({"behaviour": [bad, 5]}, "<dict>: behaviour 2 must be a dict, not an integer"),
        ({"behavior": [bad]}, "<dict>: unknown key 'behavior': expected 'behaviour' or 'store'"),
    ]:
        with pytest.raises(qba.PolicyFileError) as caught:
            qba.load_policy(source)
        assert str(caught.value) == message
        assert isinstance(caught.value, ValueError) and isinstance(caught.value, qba.PolicyLoadError)
    # A name is never read as a text unless it holds a line feed or is all in braces.
    for name, message in [("{policy}.toml", "no such file: {policy}.toml"),
                          ("behaviour = []", "behaviour = [] failed to load: ModuleNotFoundError: No module named 'behaviour = []'")]:
        with pytest.raises(qba.PolicyLoadError) as caught:
            qba.load_policy(name)
        assert str(caught.value) == message and not isinstance(caught.value, ValueError)
