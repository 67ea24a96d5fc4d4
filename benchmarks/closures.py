"""The rules as a user would write them by hand: plain closures over a
Python field lookup. The benchmark runs this module as it is and compiled
with Cython."""

from quindle_brevault_agent._impl import behaviour, rule, trigger


def _get(event, field):
    if field in event:
        return event[field]
    kw = event.get("kwargs")
    if isinstance(kw, dict) and field in kw:
        return kw[field]
    return None


def spend_cap(limit, *, field="amount"):
    return rule("spend_cap<=%s" % limit,
                lambda ev: "BLOCK" if (_get(ev, field) or 0) > limit else "ALLOW")


def flag_over(limit, *, field="amount"):
    return rule("flag_over>%s" % limit,
                lambda ev: "FLAG" if (_get(ev, field) or 0) > limit else "ALLOW")


def deny_list(field, values, *, verdict="BLOCK"):
    vals = set(values)
    return rule("deny_%s" % field, lambda ev: verdict if _get(ev, field) in vals else "ALLOW")


def allow_list(field, values, *, verdict="BLOCK"):
    vals = set(values)
    return rule("allow_%s" % field, lambda ev: "ALLOW" if _get(ev, field) in vals else verdict)


def require_fields(*fields, verdict="BLOCK"):
    req = fields
    return rule("require:" + ",".join(req),
                lambda ev: "ALLOW" if all(_get(ev, f) is not None for f in req) else verdict)


def scope_fence(allowed, *, field="scope"):
    prefixes = tuple(allowed)
    if not prefixes or any(not isinstance(p, str) or p == "" for p in prefixes):
        raise ValueError("scope_fence requires at least one non-empty string prefix")
    return rule("scope_fence",
                lambda ev: "ALLOW" if str(_get(ev, field) or "").startswith(prefixes) else "BLOCK")


def on_charge(*, stage="spend_decision", action_type="charge"):
    return trigger(stage=stage, where=lambda ev: ev.get("action_type") == action_type)


def cap_charges(limit, *, field="amount", stage="spend_decision", action=None, name=None):
    return behaviour(name or "cap_charges<=%s" % limit,
                     on=on_charge(stage=stage),
                     rule=spend_cap(limit, field=field),
                     action=action)
