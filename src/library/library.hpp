// What the module frame, the rule factories and the behaviour factories
// share: their signatures and the field lookup.
#pragma once

#include "common.hpp"
#include "function.hpp"
#include "globals.hpp"

namespace qba {

// The thirteen module functions, in the order the exec step binds them.
extern Signature get_signature;
extern Signature spend_cap_signature;
extern Signature flag_over_signature;
extern Signature deny_list_signature;
extern Signature allow_list_signature;
extern Signature scope_fence_signature;
extern Signature require_fields_signature;
extern Signature on_charge_signature;
extern Signature on_write_signature;
extern Signature cap_charges_signature;
extern Signature flag_large_charges_signature;
extern Signature deny_writes_to_signature;
extern Signature restrict_scope_signature;

// The one-event functions that the factories build.
extern Signature* const rule_lambda_signatures[];
extern const int rule_lambda_signature_count;
extern Signature* const trigger_lambda_signatures[];
extern const int trigger_lambda_signature_count;

// The field lookup through the event's generic protocols.
PyObject* get_field_generic(PyObject* event, PyObject* field) noexcept;

// The nested map when it is not an exact dict: only a dict subclass is
// looked into, through its own containment test and subscription.
PyObject* get_nested_generic(PyObject* kwargs, PyObject* field) noexcept;

// The field lookup itself: the event's top level, then its nested kwargs
// dict; a new reference, or nullptr with an exception set. For an exact dict
// and an exact str key, one lookup stands for the containment test and the
// subscription, and dict.get("kwargs") cannot be overridden: only a key of
// the same hash whose __eq__ has side effects could tell the difference.
inline PyObject* get_field(PyObject* event, PyObject* field) noexcept {
    if (!PyDict_CheckExact(event) || !PyUnicode_CheckExact(field)) [[unlikely]] {
        return get_field_generic(event, field);
    }
    PyObject* value;
    int found = PyDict_GetItemRef(event, field, &value);
    if (found != 0) [[likely]] {
        return value;  // nullptr after an error
    }
    Ref kwargs;
    found = PyDict_GetItemRef(event, strings.kwargs, kwargs.out());
    if (found <= 0) {
        return found < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (!PyDict_CheckExact(kwargs.get())) {
        return get_nested_generic(kwargs.get(), field);
    }
    found = PyDict_GetItemRef(kwargs.get(), field, &value);
    return found == 0 ? Py_NewRef(Py_None) : value;
}

// Resolves and calls `_get` the way any other code would, past the case of
// the module's own `_get` known to be bound.
PyObject* call_rebound_get(PyObject* event, PyObject* field) noexcept;

// What a rule does to read a field: resolve `_get` now and call it.
inline PyObject* call_get(PyObject* event, PyObject* field) noexcept {
    if (is_original_cached(Global::get)) [[likely]] {
        return get_field(event, field);
    }
    return call_rebound_get(event, field);
}

}  // namespace qba
