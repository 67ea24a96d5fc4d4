// The rule factories and the one-event functions they build: thresholds,
// membership, presence and prefix rules.
#include "common.hpp"
#include "globals.hpp"
#include "library.hpp"

#include <cmath>
#include <cstring>

namespace qba {

namespace {

// Hands the name and the one-event function to the host's `rule`, resolved
// by the caller before the name was formed.
PyObject* call_rule(const Ref& rule, PyObject* name, PyObject* fn) noexcept {
    PyObject* args[] = {name, fn};
    return call_out(rule.get(), args, 2, nullptr);
}

// A rule over `captures` named `name`: `rule` is resolved, then the
// one-event function made, then both handed to `rule`.
PyObject* build_rule(Ref rule, PyObject* name, Signature& lambda, PyObject* a, PyObject* b,
                     PyObject* c = nullptr) noexcept {
    Ref fn = Ref::steal(make_function(lambda, a, b, c));
    if (!fn) {
        return nullptr;
    }
    return call_rule(rule, name, fn.get());
}

// ---------------------------------------------------------------- thresholds

bool is_nan(PyObject* x) noexcept { return PyFloat_Check(x) && std::isnan(PyFloat_AS_DOUBLE(x)); }

// value > limit by Python's comparison and truth test; a NaN on either side
// counts as over the limit, so that a NaN charge cannot pass a cap unseen.
Py_NO_INLINE int exceeds(PyObject* value, PyObject* limit) noexcept {
    Ref result = Ref::steal(PyObject_RichCompare(value, limit, Py_GT));
    if (!result) {
        return -1;
    }
    int over = PyObject_IsTrue(result.get());
    if (over != 0) {
        return over;
    }
    return is_nan(value) || is_nan(limit);
}

// What is known of the limit when the rule is made: an exact int small
// enough to be compact, an exact float, or anything else.
enum class LimitKind { generic, small_int, exact_float };

LimitKind limit_kind(PyObject* limit) noexcept {
    if (PyLong_CheckExact(limit) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(limit))) {
        return LimitKind::small_int;
    }
    return PyFloat_CheckExact(limit) ? LimitKind::exact_float : LimitKind::generic;
}

bool is_small_int(PyObject* x) noexcept {
    return PyLong_CheckExact(x) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(x));
}

long long small_int_value(PyObject* x) noexcept {
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(x));
}

// The comparison of an exact int or float value with a limit of a known
// kind, worked out without calls; false when it needs the general path.
// Both sides are exact as doubles here (a compact int has at most 30 bits),
// and !(a <= b) is a > b with a NaN counting as over. A false value (None,
// 0, 0.0) counts as the integer 0 and is compared as such.
template <LimitKind Kind>
bool fast_exceeds(PyObject* value, PyObject* limit, int& over) noexcept {
    if constexpr (Kind == LimitKind::generic) {
        return false;
    } else {
        double a;
        if (value == Py_None) {
            a = 0.0;
        } else if (is_small_int(value)) {
            if constexpr (Kind == LimitKind::small_int) {
                over = small_int_value(value) > small_int_value(limit);
                return true;
            }
            a = static_cast<double>(small_int_value(value));
        } else if (PyFloat_CheckExact(value)) {
            a = PyFloat_AS_DOUBLE(value);
        } else {
            return false;
        }
        double b = Kind == LimitKind::small_int ? static_cast<double>(small_int_value(limit))
                                                : PyFloat_AS_DOUBLE(limit);
        over = !(a <= b);
        return true;
    }
}

template <PyObject* Strings::*Over, LimitKind Kind>
PyObject* threshold_lambda(Function* self, PyObject* const* args) noexcept {
    PyObject* limit = self->captures[0];
    PyObject* field = self->captures[1];
    Ref value = Ref::steal(call_get(args[0], field));
    if (!value) {
        return nullptr;
    }
    int over;
    if (!fast_exceeds<Kind>(value.get(), limit, over)) {
        int truth = PyObject_IsTrue(value.get());
        if (truth < 0) {
            return nullptr;
        }
        if (!truth) {
            // A missing or false value counts as the integer 0.
            value = Ref::steal(PyLong_FromLong(0));
        }
        if ((over = exceeds(value.get(), limit)) < 0) {
            return nullptr;
        }
    }
    return Py_NewRef(over ? strings.*Over : strings.allow);
}

// One body per kind of limit, chosen when the rule is made.
template <PyObject* Strings::*Over, LimitKind Kind>
Signature threshold_lambda_signature(const char* qualname) noexcept {
    return {
        .name = "<lambda>",
        .qualname = qualname,
        .npositional = 1,
        .params = {"ev"},
        .body = threshold_lambda<Over, Kind>,
        .nclosure = 2,
        .closure_order = {1, 0},  // field, limit
    };
}

Signature spend_cap_lambdas[] = {
    threshold_lambda_signature<&Strings::block, LimitKind::generic>("spend_cap.<locals>.<lambda>"),
    threshold_lambda_signature<&Strings::block, LimitKind::small_int>("spend_cap.<locals>.<lambda>"),
    threshold_lambda_signature<&Strings::block, LimitKind::exact_float>("spend_cap.<locals>.<lambda>"),
};

Signature flag_over_lambdas[] = {
    threshold_lambda_signature<&Strings::flag, LimitKind::generic>("flag_over.<locals>.<lambda>"),
    threshold_lambda_signature<&Strings::flag, LimitKind::small_int>("flag_over.<locals>.<lambda>"),
    threshold_lambda_signature<&Strings::flag, LimitKind::exact_float>("flag_over.<locals>.<lambda>"),
};

PyObject* threshold_factory(PyObject* format, Signature* lambdas, PyObject* const* args) noexcept {
    PyObject* limit = args[0];
    PyObject* field = args[1];
    Ref rule = lookup_global(Global::rule);
    if (!rule) {
        return nullptr;
    }
    Ref name = Ref::steal(PyNumber_Remainder(format, limit));
    if (!name) {
        return nullptr;
    }
    Signature& lambda = lambdas[static_cast<int>(limit_kind(limit))];
    return build_rule(std::move(rule), name.get(), lambda, limit, field);
}

PyObject* spend_cap_body(Function*, PyObject* const* args) noexcept {
    return threshold_factory(strings.fmt_spend_cap, spend_cap_lambdas, args);
}

PyObject* flag_over_body(Function*, PyObject* const* args) noexcept {
    return threshold_factory(strings.fmt_flag_over, flag_over_lambdas, args);
}

// ---------------------------------------------------------------- membership

// Captures: field, vals (a set), verdict.
template <bool Deny>
PyObject* membership_lambda(Function* self, PyObject* const* args) noexcept {
    PyObject* field = self->captures[0];
    PyObject* vals = self->captures[1];
    PyObject* verdict = self->captures[2];
    Ref value = Ref::steal(call_get(args[0], field));
    if (!value) {
        return nullptr;
    }
    // The set's own `in`, which retries an unhashable set value as a
    // frozenset; a str or int value needs no such retry.
    PyObject* v = value.get();
    int member = (PyUnicode_CheckExact(v) || PyLong_CheckExact(v)) ? PySet_Contains(vals, v)
                                                                   : PySequence_Contains(vals, v);
    if (member < 0) {
        return nullptr;
    }
    if (Deny) {
        return Py_NewRef(member ? verdict : strings.allow);
    }
    return Py_NewRef(member ? strings.allow : verdict);
}

Signature deny_list_lambda = {
    .name = "<lambda>",
    .qualname = "deny_list.<locals>.<lambda>",
    .npositional = 1,
    .params = {"ev"},
    .body = membership_lambda<true>,
    .nclosure = 3,
    .closure_order = {0, 1, 2},
};

Signature allow_list_lambda = {
    .name = "<lambda>",
    .qualname = "allow_list.<locals>.<lambda>",
    .npositional = 1,
    .params = {"ev"},
    .body = membership_lambda<false>,
    .nclosure = 3,
    .closure_order = {0, 1, 2},
};

PyObject* membership_factory(PyObject* format, Signature& lambda, PyObject* const* args) noexcept {
    PyObject* field = args[0];
    PyObject* values = args[1];
    PyObject* verdict = args[2];
    // A snapshot, iterated once.
    Ref vals = Ref::steal(PySet_New(values));
    if (!vals) {
        return nullptr;
    }
    Ref rule = lookup_global(Global::rule);
    if (!rule) {
        return nullptr;
    }
    Ref name = Ref::steal(PyNumber_Remainder(format, field));
    if (!name) {
        return nullptr;
    }
    return build_rule(std::move(rule), name.get(), lambda, field, vals.get(), verdict);
}

PyObject* deny_list_body(Function*, PyObject* const* args) noexcept {
    return membership_factory(strings.fmt_deny, deny_list_lambda, args);
}

PyObject* allow_list_body(Function*, PyObject* const* args) noexcept {
    return membership_factory(strings.fmt_allow, allow_list_lambda, args);
}

// ---------------------------------------------------------------- presence

// A StopIteration out of `_get` ends the reading of the fields the way a
// generator would: as RuntimeError, with the StopIteration as its cause.
Py_NO_INLINE void stop_iteration_to_runtime_error() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return;
    }
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetContext(error, Py_NewRef(stop));
    PyException_SetCause(error, stop);
    PyErr_SetRaisedException(error);
}

// Captures: req (a tuple of str), verdict.
PyObject* require_fields_lambda_body(Function* self, PyObject* const* args) noexcept {
    PyObject* req = self->captures[0];
    PyObject* verdict = self->captures[1];
    Py_ssize_t n = PyTuple_GET_SIZE(req);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref value = Ref::steal(call_get(args[0], PyTuple_GET_ITEM(req, i)));
        if (!value) {
            stop_iteration_to_runtime_error();
            return nullptr;
        }
        if (value.get() == Py_None) {
            return Py_NewRef(verdict);
        }
    }
    return Py_NewRef(strings.allow);
}

Signature require_fields_lambda = {
    .name = "<lambda>",
    .qualname = "require_fields.<locals>.<lambda>",
    .npositional = 1,
    .params = {"ev"},
    .body = require_fields_lambda_body,
    .nclosure = 2,
    .closure_order = {0, 1},
};

PyObject* require_fields_body(Function*, PyObject* const* args) noexcept {
    PyObject* req = args[0];
    PyObject* verdict = args[1];
    Ref rule = lookup_global(Global::rule);
    if (!rule) {
        return nullptr;
    }
    Ref joined = Ref::steal(PyUnicode_Join(strings.comma, req));
    if (!joined) {
        return nullptr;
    }
    Ref name = Ref::steal(PyUnicode_Concat(strings.require_prefix, joined.get()));
    if (!name) {
        return nullptr;
    }
    return build_rule(std::move(rule), name.get(), require_fields_lambda, req, verdict);
}

// ---------------------------------------------------------------- prefix

// text.startswith(prefix), for a non-empty prefix. Strings are held in the
// narrowest kind that fits their widest character, so a prefix of a wider
// kind than the text cannot match, and one of the same kind compares bytes.
int starts_with(PyObject* text, PyObject* prefix) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(prefix);
    if (n > PyUnicode_GET_LENGTH(text)) {
        return 0;
    }
    int text_kind = PyUnicode_KIND(text);
    int prefix_kind = PyUnicode_KIND(prefix);
    if (text_kind == prefix_kind) {
        return std::memcmp(PyUnicode_DATA(text), PyUnicode_DATA(prefix),
                           static_cast<size_t>(n) * prefix_kind) == 0;
    }
    if (prefix_kind > text_kind) {
        return 0;
    }
    return static_cast<int>(PyUnicode_Tailmatch(text, prefix, 0, PY_SSIZE_T_MAX, -1));
}

// Captures: field, prefixes (a tuple of non-empty str).
PyObject* scope_fence_lambda_body(Function* self, PyObject* const* args) noexcept {
    PyObject* field = self->captures[0];
    PyObject* prefixes = self->captures[1];
    Ref value = Ref::steal(call_get(args[0], field));
    if (!value) {
        return nullptr;
    }
    // An exact str is its own text, and false only when empty.
    PyObject* v = value.get();
    int truth = PyUnicode_CheckExact(v) ? PyUnicode_GET_LENGTH(v) != 0 : PyObject_IsTrue(v);
    if (truth < 0) {
        return nullptr;
    }
    Ref text;
    if (!truth) {
        text = Ref::borrow(strings.empty);
    } else if (PyUnicode_CheckExact(value.get())) {
        text = std::move(value);
    } else if (!(text = Ref::steal(PyObject_Str(value.get())))) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(prefixes);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int match = starts_with(text.get(), PyTuple_GET_ITEM(prefixes, i));
        if (match < 0) {
            return nullptr;
        }
        if (match) {
            return Py_NewRef(strings.allow);
        }
    }
    return Py_NewRef(strings.block);
}

Signature scope_fence_lambda = {
    .name = "<lambda>",
    .qualname = "scope_fence.<locals>.<lambda>",
    .npositional = 1,
    .params = {"ev"},
    .body = scope_fence_lambda_body,
    .nclosure = 2,
    .closure_order = {0, 1},
};

Py_NO_INLINE PyObject* raise_bad_prefixes() noexcept {
    PyErr_SetObject(PyExc_ValueError, strings.scope_fence_error);
    return nullptr;
}

PyObject* scope_fence_body(Function*, PyObject* const* args) noexcept {
    PyObject* allowed = args[0];
    PyObject* field = args[1];
    Ref prefixes = PyTuple_CheckExact(allowed) ? Ref::borrow(allowed)
                                               : Ref::steal(PySequence_Tuple(allowed));
    if (!prefixes) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(prefixes.get());
    if (n == 0) {
        return raise_bad_prefixes();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* prefix = PyTuple_GET_ITEM(prefixes.get(), i);
        if (!PyUnicode_Check(prefix)) {
            return raise_bad_prefixes();
        }
        int empty = PyObject_RichCompareBool(prefix, strings.empty, Py_EQ);
        if (empty < 0) {
            return nullptr;
        }
        if (empty) {
            return raise_bad_prefixes();
        }
    }
    Ref rule = lookup_global(Global::rule);
    if (!rule) {
        return nullptr;
    }
    return build_rule(std::move(rule), strings.scope_fence, scope_fence_lambda, field,
                      prefixes.get());
}

}  // namespace

// ---------------------------------------------------------------- signatures

Signature spend_cap_signature = {
    .name = "spend_cap",
    .qualname = "spend_cap",
    .doc = "BLOCK when ``event[field]`` exceeds `limit`, else ALLOW.",
    .npositional = 1,
    .nkwonly = 1,
    .params = {"limit", "field"},
    .defaults = {"amount"},
    .body = spend_cap_body,
};

Signature flag_over_signature = {
    .name = "flag_over",
    .qualname = "flag_over",
    .doc = "FLAG (do not block) when ``event[field]`` exceeds `limit`, else ALLOW.",
    .npositional = 1,
    .nkwonly = 1,
    .params = {"limit", "field"},
    .defaults = {"amount"},
    .body = flag_over_body,
};

Signature deny_list_signature = {
    .name = "deny_list",
    .qualname = "deny_list",
    .doc = "`verdict` when ``event[field]`` is one of `values`, else ALLOW.",
    .npositional = 2,
    .nkwonly = 1,
    .params = {"field", "values", "verdict"},
    .defaults = {"BLOCK"},
    .body = deny_list_body,
};

Signature allow_list_signature = {
    .name = "allow_list",
    .qualname = "allow_list",
    .doc = "ALLOW only when ``event[field]`` is one of `values`, else `verdict`.",
    .npositional = 2,
    .nkwonly = 1,
    .params = {"field", "values", "verdict"},
    .defaults = {"BLOCK"},
    .body = allow_list_body,
};

Signature scope_fence_signature = {
    .name = "scope_fence",
    .qualname = "scope_fence",
    .doc = "ALLOW only when ``event[field]`` starts with one of the `allowed` prefixes.",
    .npositional = 1,
    .nkwonly = 1,
    .params = {"allowed", "field"},
    .defaults = {"scope"},
    .body = scope_fence_body,
};

Signature require_fields_signature = {
    .name = "require_fields",
    .qualname = "require_fields",
    .doc = "ALLOW only when every field in `fields` is present and non-null.",
    .npositional = 0,
    .varargs = true,
    .nkwonly = 1,
    .params = {"fields", "verdict"},
    .defaults = {"BLOCK"},
    .body = require_fields_body,
};

Signature* const rule_lambda_signatures[] = {
    &spend_cap_lambdas[0], &spend_cap_lambdas[1], &spend_cap_lambdas[2],
    &flag_over_lambdas[0], &flag_over_lambdas[1], &flag_over_lambdas[2],
    &deny_list_lambda,
    &allow_list_lambda,  &require_fields_lambda, &scope_fence_lambda,
};
const int rule_lambda_signature_count =
    sizeof rule_lambda_signatures / sizeof rule_lambda_signatures[0];

}  // namespace qba
