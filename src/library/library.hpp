// What the module frame, the rule factories and the behaviour factories
// share: their signatures and the field lookup.
#pragma once

#include "function.hpp"

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

// The field lookup itself: the event's top level, then its nested kwargs
// dict; a new reference, or nullptr with an exception set.
PyObject* get_field(PyObject* event, PyObject* field) noexcept;

// What a rule does to read a field: resolve `_get` now and call it.
PyObject* call_get(PyObject* event, PyObject* field) noexcept;

}  // namespace qba
