// The behaviour factories: triggers for charges and writes, and the
// ready-made behaviours that join a trigger with a rule.
#include "common.hpp"
#include "globals.hpp"
#include "library.hpp"

namespace qba {

namespace {

// Resolves the factory `id` now and calls it. When the name is bound to the
// module's own function, its body runs on `bound` (the parameters in
// declaration order) without binding a call; anything else bound there is
// called with `nargs` positional arguments and the keywords in `kwnames`.
PyObject* call_factory(Global id, PyObject* const* bound, PyObject* const* args, size_t nargs,
                       PyObject* kwnames) noexcept {
    Ref callee = is_original_cached(id) ? Ref::borrow(original(id)) : lookup_global(id);
    if (!callee) {
        return nullptr;
    }
    if (callee.get() == original(id)) {
        auto* f = reinterpret_cast<Function*>(callee.get());
        return f->sig->body(f, bound);
    }
    return call_out(callee.get(), args, nargs, kwnames);
}

// ---------------------------------------------------------------- triggers

// The predicate reads the event's top level through its own `get` and
// returns the comparison as it comes, event value on the left. An exact
// dict's `get` cannot be overridden, so its lookup is done directly (a
// missing key reads as None), and two exact str compare without dispatch.
template <PyObject* Strings::*Field>
PyObject* trigger_lambda(Function* self, PyObject* const* args) noexcept {
    PyObject* event = args[0];
    PyObject* wanted = self->captures[0];
    Ref value;
    if (PyDict_CheckExact(event)) [[likely]] {
        if (PyDict_GetItemRef(event, strings.*Field, value.out()) < 0) {
            return nullptr;
        }
        if (!value) {
            value = Ref::borrow(Py_None);
        }
    } else if (!(value = Ref::steal(PyObject_CallMethodOneArg(event, strings.get, strings.*Field)))) {
        return nullptr;
    }
    PyObject* v = value.get();
    if (PyUnicode_CheckExact(v) && PyUnicode_CheckExact(wanted)) {
        return PyBool_FromLong(v == wanted || PyUnicode_Compare(v, wanted) == 0);
    }
    return PyObject_RichCompare(v, wanted, Py_EQ);
}

Signature on_charge_lambda = {
    .name = "<lambda>",
    .qualname = "on_charge.<locals>.<lambda>",
    .npositional = 1,
    .params = {"ev"},
    .body = trigger_lambda<&Strings::action_type>,
    .nclosure = 1,
};

Signature on_write_lambda = {
    .name = "<lambda>",
    .qualname = "on_write.<locals>.<lambda>",
    .npositional = 1,
    .params = {"ev"},
    .body = trigger_lambda<&Strings::method>,
    .nclosure = 1,
};

PyObject* make_trigger(PyObject* stage, Signature* lambda, PyObject* wanted) noexcept {
    Ref trigger = lookup_global(Global::trigger);
    if (!trigger) {
        return nullptr;
    }
    if (!lambda) {
        PyObject* args[] = {stage};
        return call_out(trigger.get(), args, 0, strings.kw_stage);
    }
    Ref where = Ref::steal(make_function(*lambda, wanted));
    if (!where) {
        return nullptr;
    }
    PyObject* args[] = {stage, where.get()};
    return call_out(trigger.get(), args, 0, strings.kw_stage_where);
}

// on_charge(*, stage, action_type)
PyObject* on_charge_body(Function*, PyObject* const* args) noexcept {
    return make_trigger(args[0], &on_charge_lambda, args[1]);
}

// on_write(*, method, stage): no predicate at all for a method of None.
PyObject* on_write_body(Function*, PyObject* const* args) noexcept {
    PyObject* method = args[0];
    return make_trigger(args[1], method == Py_None ? nullptr : &on_write_lambda, method);
}

// ---------------------------------------------------------------- behaviours

// The behaviour name: a true `name` as it is, else `format % value`, or
// `value` itself where there is no format.
PyObject* behaviour_name(PyObject* name, PyObject* format, PyObject* value) noexcept {
    int truth = PyObject_IsTrue(name);
    if (truth < 0) {
        return nullptr;
    }
    if (truth) {
        return Py_NewRef(name);
    }
    return format ? PyNumber_Remainder(format, value) : Py_NewRef(value);
}

// A call of a factory: its bound parameters, and the same call as
// positional arguments and keyword names.
struct FactoryCall {
    Global factory;
    PyObject* bound[3];
    PyObject* const* args;
    size_t nargs;
    PyObject* kwnames;

    PyObject* operator()() const noexcept {
        return call_factory(factory, bound, args, nargs, kwnames);
    }
};

// Steps common to every ready-made behaviour, once `behaviour` is resolved
// and the name formed: the trigger, then the rule, then the behaviour.
PyObject* build_behaviour(Ref behaviour, PyObject* name, const FactoryCall& make_trigger,
                          const FactoryCall& make_rule, PyObject* action) noexcept {
    Ref trigger = Ref::steal(make_trigger());
    if (!trigger) {
        return nullptr;
    }
    Ref rule = Ref::steal(make_rule());
    if (!rule) {
        return nullptr;
    }
    PyObject* args[] = {name, trigger.get(), rule.get(), action};
    return call_out(behaviour.get(), args, 1, strings.kw_on_rule_action);
}

PyObject* default_of(const Signature& sig, int kwonly_index) noexcept {
    return sig.default_objs[kwonly_index];
}

// cap_charges / flag_large_charges (limit, *, field, stage, action, name)
template <PyObject* Strings::*Format, Global RuleFactory>
PyObject* charge_behaviour_body(Function*, PyObject* const* args) noexcept {
    PyObject* limit = args[0];
    PyObject* field = args[1];
    PyObject* stage = args[2];
    PyObject* action = args[3];
    Ref behaviour = lookup_global(Global::behaviour);
    if (!behaviour) {
        return nullptr;
    }
    Ref name = Ref::steal(behaviour_name(args[4], strings.*Format, limit));
    if (!name) {
        return nullptr;
    }
    PyObject* trigger_args[] = {stage};
    FactoryCall make_trigger = {Global::on_charge,
                                {stage, default_of(on_charge_signature, 1)},
                                trigger_args, 0, strings.kw_stage};
    PyObject* rule_args[] = {limit, field};
    FactoryCall make_rule = {RuleFactory, {limit, field}, rule_args, 1, strings.kw_field};
    return build_behaviour(std::move(behaviour), name.get(), make_trigger, make_rule, action);
}

// deny_writes_to(field, values, *, stage, method, action, name)
PyObject* deny_writes_to_body(Function*, PyObject* const* args) noexcept {
    PyObject* field = args[0];
    PyObject* values = args[1];
    PyObject* stage = args[2];
    PyObject* method = args[3];
    PyObject* action = args[4];
    Ref behaviour = lookup_global(Global::behaviour);
    if (!behaviour) {
        return nullptr;
    }
    Ref name = Ref::steal(behaviour_name(args[5], strings.fmt_deny_writes, field));
    if (!name) {
        return nullptr;
    }
    PyObject* trigger_args[] = {method, stage};
    FactoryCall make_trigger = {Global::on_write, {method, stage}, trigger_args, 0,
                                strings.kw_method_stage};
    PyObject* rule_args[] = {field, values};
    FactoryCall make_rule = {Global::deny_list,
                             {field, values, default_of(deny_list_signature, 0)},
                             rule_args, 2, nullptr};
    return build_behaviour(std::move(behaviour), name.get(), make_trigger, make_rule, action);
}

// restrict_scope(allowed, *, field, stage, method, action, name)
PyObject* restrict_scope_body(Function*, PyObject* const* args) noexcept {
    PyObject* allowed = args[0];
    PyObject* field = args[1];
    PyObject* stage = args[2];
    PyObject* method = args[3];
    PyObject* action = args[4];
    Ref behaviour = lookup_global(Global::behaviour);
    if (!behaviour) {
        return nullptr;
    }
    Ref name = Ref::steal(behaviour_name(args[5], nullptr, strings.restrict_scope));
    if (!name) {
        return nullptr;
    }
    PyObject* trigger_args[] = {method, stage};
    FactoryCall make_trigger = {Global::on_write, {method, stage}, trigger_args, 0,
                                strings.kw_method_stage};
    PyObject* rule_args[] = {allowed, field};
    FactoryCall make_rule = {Global::scope_fence, {allowed, field}, rule_args, 1,
                             strings.kw_field};
    return build_behaviour(std::move(behaviour), name.get(), make_trigger, make_rule, action);
}

}  // namespace

// ---------------------------------------------------------------- signatures

Signature on_charge_signature = {
    .name = "on_charge",
    .qualname = "on_charge",
    .nkwonly = 2,
    .params = {"stage", "action_type"},
    .defaults = {"spend_decision", "charge"},
    .body = on_charge_body,
};

Signature on_write_signature = {
    .name = "on_write",
    .qualname = "on_write",
    .nkwonly = 2,
    .params = {"method", "stage"},
    .defaults = {nullptr, "execution"},
    .body = on_write_body,
};

Signature cap_charges_signature = {
    .name = "cap_charges",
    .qualname = "cap_charges",
    .doc = "Block any charge whose amount exceeds `limit`.",
    .npositional = 1,
    .nkwonly = 4,
    .params = {"limit", "field", "stage", "action", "name"},
    .defaults = {"amount", "spend_decision", nullptr, nullptr},
    .body = charge_behaviour_body<&Strings::fmt_cap_charges, Global::spend_cap>,
};

Signature flag_large_charges_signature = {
    .name = "flag_large_charges",
    .qualname = "flag_large_charges",
    .doc = "Flag (record but allow) any charge whose amount exceeds `limit`.",
    .npositional = 1,
    .nkwonly = 4,
    .params = {"limit", "field", "stage", "action", "name"},
    .defaults = {"amount", "spend_decision", nullptr, nullptr},
    .body = charge_behaviour_body<&Strings::fmt_flag_large_charges, Global::flag_over>,
};

Signature deny_writes_to_signature = {
    .name = "deny_writes_to",
    .qualname = "deny_writes_to",
    .doc = "Deny any write whose `field` is one of `values` (e.g. a locked bucket or table).",
    .npositional = 2,
    .nkwonly = 4,
    .params = {"field", "values", "stage", "method", "action", "name"},
    .defaults = {"execution", nullptr, nullptr, nullptr},
    .body = deny_writes_to_body,
};

Signature restrict_scope_signature = {
    .name = "restrict_scope",
    .qualname = "restrict_scope",
    .doc = "Allow a write only when its scope starts with one of the `allowed` prefixes.",
    .npositional = 1,
    .nkwonly = 5,
    .params = {"allowed", "field", "stage", "method", "action", "name"},
    .defaults = {"scope", "execution", nullptr, nullptr, nullptr},
    .body = restrict_scope_body,
};

Signature* const trigger_lambda_signatures[] = {&on_charge_lambda, &on_write_lambda};
const int trigger_lambda_signature_count =
    sizeof trigger_lambda_signatures / sizeof trigger_lambda_signatures[0];

}  // namespace qba
