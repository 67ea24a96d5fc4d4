"""The lint: each code on a small policy written to trip it, the same on a policy
file and on the Python policy it stands for, and the command's output and status."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import model
from quindle_brevault_agent import _impl, cli
from quindle_brevault_agent import library as native
from quindle_brevault_agent.lint import lint_policy, lint_target, render

ROOT = Path(__file__).resolve().parent.parent

REQUIRE = '[[behaviour]]\nname = "req"\non = {{ trigger = "{on}" }}\nrule = {{ use = "require_fields", fields = {fields} }}\n'
CAP = '[[behaviour]]\nuse = "{use}"\nlimit = {limit}\n{more}\n'
OWN = '[[behaviour]]\nname = "{name}"\non = {{ trigger = "{on}" {more} }}\nrule = {{ {rule} }}\n'
LIST = "a string was probably given where a list was meant"


def req(lib, *fields, **on):
    trigger = lib.on_write(**on) if on else lib.on_charge()
    return _impl.behaviour("req", on=trigger, rule=lib.require_fields(*fields))


CASES = [
    pytest.param(
        '[[behaviour]]\nuse = "restrict_scope"\nallowed = ["t", "e", "n", "a", "n", "t", "s", "/", "t", "1", "/"]\n'
        '[[behaviour]]\nuse = "deny_writes_to"\nfield = "bucket"\nvalues = ["a", "u", "d", "i", "t"]\n'
        '[[behaviour]]\nuse = "restrict_scope"\nallowed = ["db/a", "db/b/", "x:", "y.", "v", "tenants/t1"]\n',
        lambda lib: [lib.restrict_scope("tenants/t1/"), lib.deny_writes_to("bucket", "audit"),
                     lib.restrict_scope(["db/a", "db/b/", "x:", "y.", "v", "tenants/t1"])],
        [(1, "QB101", f"one-character prefixes 't', 'e', 'n', 'a', 's', '/', '1' in a fence of 7: {LIST}"),
         (2, "QB101", f"one-character members 'a', 'd', 'i', 't', 'u' in a list of 5: {LIST}"),
         (3, "QB101", f"one-character prefix 'v' in a fence of 6: {LIST}"),
         (3, "QB102", "scope prefix 'db/a' does not end with '/', ':' or '.': it also admits 'db/ax'"),
         (3, "QB102", "scope prefix 'tenants/t1' does not end with '/', ':' or '.': it also admits 'tenants/t10'"),
         (3, "QB106", "same name as behaviour 1")],
        id="strings-as-lists-and-open-prefixes",
    ),
    pytest.param(
        CAP.format(use="cap_charges", limit=500, more="")
        + REQUIRE.format(on="on_write", fields='["amount"]').replace('"on_write"', '"on_write", stage = "spend_decision", method = "put"')
        + OWN.format(name="refunds", on="on_charge", more=', action_type = "refund"', rule='use = "require_fields", fields = ["amount"]')
        + CAP.format(use="flag_large_charges", limit=50, more='field = "total"')
        + REQUIRE.format(on="on_write", fields='["total"]').replace('"on_write"', '"on_write", stage = "spend_decision"'),
        lambda lib: [lib.cap_charges(500), req(lib, "amount", stage="spend_decision", method="put"),
                     _impl.behaviour("refunds", on=lib.on_charge(action_type="refund"), rule=lib.require_fields("amount")),
                     lib.flag_large_charges(50, field="total"), req(lib, "total", stage="spend_decision")],
        [(1, "QB103", "no require_fields of 'amount' at stage 'spend_decision': "
                      "an event without 'amount' counts as 0 and passes"),
         (5, "QB106", "same name as behaviour 2")],
        id="a-cap-needs-a-require-that-covers-its-events",
    ),
    pytest.param(
        CAP.format(use="cap_charges", limit=100, more='name = "cap"') + CAP.format(use="flag_large_charges", limit=100, more="")
        + CAP.format(use="flag_large_charges", limit=99.5, more="") + CAP.format(use="flag_large_charges", limit=200, more='stage = "x"')
        + REQUIRE.format(on="on_charge", fields='["amount"]')
        + REQUIRE.format(on="on_write", fields='["amount"]').replace('"on_write"', '"on_write", stage = "x"'),
        lambda lib: [lib.cap_charges(100, name="cap"), lib.flag_large_charges(100), lib.flag_large_charges(99.5),
                     lib.flag_large_charges(200, stage="x"), req(lib, "amount"), req(lib, "amount", stage="x")],
        [(2, "QB104", "flag limit 100 is at or above the cap limit 100 of behaviour 1 (cap) on 'amount': "
                      "the flag can never be seen alone"),
         (6, "QB106", "same name as behaviour 5")],
        id="a-flag-at-the-cap",
    ),
    pytest.param(
        "".join(OWN.format(name=n, on="on_write", more="", rule=f'use = "{u}", limit = {v}')
                for n, u, v in [("nan", "spend_cap", "nan"), ("inf", "flag_over", "inf"), ("neg", "spend_cap", -5),
                                ("zero", "spend_cap", 0)])
        + REQUIRE.format(on="on_write", fields='["amount"]'),
        lambda lib: [_impl.behaviour(n, on=lib.on_write(), rule=f(v)) for n, f, v in [
            ("nan", lib.spend_cap, float("nan")), ("inf", lib.flag_over, float("inf")), ("neg", lib.spend_cap, -5),
            ("zero", lib.spend_cap, 0)]] + [req(lib, "amount", stage="execution")],
        [(1, "QB105", "limit is NaN: every event this applies to is blocked"),
         (2, "QB105", "limit is infinite: no event is ever flagged"),
         (3, "QB105", "limit -5 is negative: every event this applies to is blocked, one without 'amount' included")],
        id="limits",
    ),
    pytest.param(
        CAP.format(use="cap_charges", limit=5, more="") * 2 + CAP.format(use="cap_charges", limit=5, more='name = "again"')
        + CAP.format(use="cap_charges", limit=5, more='field = "amount"\nstage = "other"')
        + REQUIRE.format(on="on_charge", fields='["amount"]')
        + REQUIRE.format(on="on_charge", fields='["amount"]').replace('"on_charge"', '"on_charge", stage = "other"'),
        lambda lib: [lib.cap_charges(5), lib.cap_charges(5), lib.cap_charges(5, name="again"),
                     lib.cap_charges(5, field="amount", stage="other"), req(lib, "amount"),
                     _impl.behaviour("req", on=lib.on_charge(stage="other"), rule=lib.require_fields("amount"))],
        [(2, "QB106", "same name as behaviour 1"),
         (2, "QB107", "repeats behaviour 1 (cap_charges<=5): same stage, trigger, rule and action"),
         (3, "QB107", "repeats behaviour 1 (cap_charges<=5): same stage, trigger, rule and action"),
         (4, "QB106", "same name as behaviour 1"),
         (6, "QB106", "same name as behaviour 5")],
        id="names-and-repeats",
    ),
    pytest.param(
        '[[behaviour]]\nuse = "restrict_scope"\nallowed = ["/"]\nname = "root"\n'
        + "".join(f'[[behaviour]]\nuse = "deny_writes_to"\nfield = "bucket"\nvalues = ["{name}"]\nstage = "{stage}"\nname = "{name}"\n'
                  for name, stage in [("typo", "exectuion"), ("r1", "review"), ("r2", "review"), ("r3", "reveiw"),
                                      ("s1", "s1"), ("s2", "s2"), ("cased", "Execution")]),
        lambda lib: [lib.restrict_scope(["/"], name="root")] + [
            lib.deny_writes_to("bucket", [name], stage=stage, name=name)
            for name, stage in [("typo", "exectuion"), ("r1", "review"), ("r2", "review"), ("r3", "reveiw"),
                                ("s1", "s1"), ("s2", "s2"), ("cased", "Execution")]],
        # A fence of the one prefix "/" is no string given for a list; "s1"
        # and "s2" are too short to tell, and "review" is the stage more use.
        [(2, "QB109", "stage 'exectuion' is 1 edit from 'execution', which it probably meant"),
         (5, "QB109", "stage 'reveiw' is 1 edit from 'review', which it probably meant"),
         (8, "QB109", "stage 'Execution' is 1 edit from 'execution', which it probably meant")],
        id="misspelt-stages-and-a-root-fence",
    ),
]


def found(findings):
    return [(f.index, f.code, f.message) for f in findings]


@pytest.mark.parametrize(("toml", "python", "expected"), CASES)
def test_each_check_fires_alike_on_a_file_and_on_python(tmp_path, toml, python, expected):
    path = tmp_path / "p.toml"
    path.write_text(toml)
    assert found(lint_target(str(path))) == expected
    assert found(lint_policy(_impl.Policy(python(model)))) == expected
    assert found(lint_policy(_impl.Policy(python(native)))) == expected


def test_rules_of_the_callers_own_are_skipped_quietly():
    opaque = _impl.rule("mine", lambda ev: "ALLOW")
    hidden = _impl.rule("spend_cap<=1", lambda ev: "BLOCK")
    hidden.fn.__qualname__ = "spend_cap.<locals>.<lambda>"  # the right name, but no cells to read
    policy = _impl.Policy([
        _impl.behaviour("a", on=_impl.trigger(stage="s", where=lambda ev: True), rule=opaque),
        _impl.behaviour("b", on=_impl.trigger(stage="s"), rule=hidden),
        _impl.behaviour("c", on=_impl.trigger(stage="s", where=len), rule=model.flag_over(-1)),
    ])
    assert found(lint_policy(policy)) == [
        (3, "QB103", "no require_fields of 'amount' at stage 's': an event without 'amount' counts as 0 and passes"),
        (3, "QB105", "limit -1 is negative: every event this applies to is flagged, one without 'amount' included"),
    ]


class Hostile(int):
    """A value that refuses to be compared or shown."""

    def __eq__(self, other):
        raise RuntimeError("eq")

    __ge__ = __lt__ = __repr__ = __eq__
    __hash__ = int.__hash__

    def __str__(self):
        return "hostile"


def test_values_that_refuse_to_compare_or_show_leave_the_lint_standing():
    bad = Hostile(-1)
    on = _impl.trigger(stage=bad)
    policy = _impl.Policy([
        _impl.behaviour(bad, on=on, rule=model.spend_cap(bad, field=bad)),
        _impl.behaviour(bad, on=on, rule=model.flag_over(bad, field=bad)),
    ])
    assert [(f.index, f.code) for f in lint_policy(policy)] == [(1, "QB103"), (2, "QB103"), (2, "QB106")]
    assert render("p", lint_policy(policy)[0], "text") == ("p: behaviour 1 (hostile): QB103 no require_fields of <unprintable Hostile> at "
                            "stage <unprintable Hostile>: an event without <unprintable Hostile> counts as 0 and passes")


def test_the_command(tmp_path, capsys):
    examples = [str(ROOT / "examples" / name) for name in ("policy.toml", "policy.py")]
    assert cli.main(["lint", *examples]) == 0
    assert capsys.readouterr() == ("", "")

    traps = tmp_path / "traps.json"
    traps.write_text(json.dumps({"behaviour": [{"use": "restrict_scope", "allowed": ["db/a"], "name": "open"}]}))
    broken = tmp_path / "broken.toml"
    broken.write_text("[[behaviour]]\nuse = 1\n")
    assert cli.main(["lint", str(traps)]) == 1
    line = f"{traps}: behaviour 1 (open): QB102 scope prefix 'db/a' does not end with '/', ':' or '.': it also admits 'db/ax'\n"
    assert capsys.readouterr() == (line, "")
    assert cli.main(["lint", "--format", "jsonl", str(broken), str(traps)]) == 2
    out, err = capsys.readouterr()
    assert [json.loads(text) for text in out.splitlines()] == [
        {"file": str(traps), "behaviour": 1, "name": "open", "code": "QB102",
         "message": "scope prefix 'db/a' does not end with '/', ':' or '.': it also admits 'db/ax'"},
    ]
    assert err == (
        f"quindle-brevault-agent: cannot load policy {broken}: behaviour 1: 'use' must be one of "
        "'cap_charges', 'flag_large_charges', 'deny_writes_to', 'restrict_scope', 'budget', 'rate_limit' "
        "or 'repeat_limit', not an integer\n"
    )


class Verdict:
    def __repr__(self):
        return "Verdict.DENY"


@pytest.mark.parametrize("lib", [model, native], ids=["model", "native"])
def test_verdicts_of_a_python_policy_other_than_the_three(lib):
    on = lib.on_write()
    policy = _impl.Policy([
        _impl.behaviour(name, on=on, rule=made) for name, made in [
            ("deny", lib.deny_list("bucket", ["vault", "archive"], verdict="flag")),
            ("allow", lib.allow_list("tool", ["read", "list"], verdict="FLAG")),
            ("own", lib.require_fields("bucket", verdict=Verdict())),
            ("none", lib.deny_list("bucket", ["tmp", "cache"], verdict=None)),
            ("allowing", lib.require_fields("bucket", verdict="ALLOW")),
        ]
    ])
    own = "is not 'ALLOW', 'FLAG', 'ASK' or 'BLOCK': it is a verdict of your own, which blocks"
    assert found(lint_policy(policy)) == [
        (1, "QB108", f"verdict 'flag' {own}"),
        (3, "QB108", f"verdict Verdict.DENY {own}"),
        (4, "QB108", f"verdict None {own}"),
    ]


def test_a_large_policy_gets_exactly_the_findings_planted_in_it():
    # Three caps and three flags share each field, the caps' limits going
    # down in policy order; the first of the three asks for the field but in
    # every seventh group. Every fifth flag sits at its own cap's limit, the
    # first cap at or under it; every hundredth require_fields takes the
    # name of an earlier cap.
    behaviours, planted = [], []
    for i in range(1500):
        group, at, limit = i // 3, 3 * i + 1, 2000 - i
        field = f"f{group}"
        behaviours.append(native.cap_charges(limit, field=field, name=f"cap{i}"))
        behaviours.append(native.flag_large_charges(limit if i % 5 == 0 else 100 + i % 3, field=field, name=f"flag{i}"))
        asked = native.require_fields(field if i % 3 == 0 and group % 7 else f"other{i}")
        behaviours.append(_impl.behaviour(f"cap{i - 1}" if i % 100 == 99 else f"req{i}", on=native.on_charge(), rule=asked))
        if group % 7 == 0:
            missing = f"no require_fields of {field!r} at stage 'spend_decision': an event without {field!r} counts as 0 and passes"
            planted += [(at, "QB103", missing), (at + 1, "QB103", missing)]
        if i % 5 == 0:
            planted.append((at + 1, "QB104", f"flag limit {limit} is at or above the cap limit {limit} of behaviour "
                                            f"{at} (cap{i}) on {field!r}: the flag can never be seen alone"))
        if i % 100 == 99:
            planted.append((at + 2, "QB106", f"same name as behaviour {at - 3}"))
    assert found(lint_policy(_impl.Policy(behaviours))) == sorted(planted)
