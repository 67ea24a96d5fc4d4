// Process-wide objects of the module: made by the first exec and kept for the
// life of the process, since functions made by a failed exec may still run.
// The module has no per-module state and one object per process.
#pragma once

#include "ref.hpp"

namespace qba {

struct Strings {
    PyObject* module_name;   // "quindle_brevault_agent.library"
    PyObject* dunder_module;
    PyObject* get;
    PyObject* kwargs;
    PyObject* empty;
    PyObject* allow;
    PyObject* block;
    PyObject* flag;
    PyObject* action_type;
    PyObject* method;
    PyObject* comma;
    PyObject* require_prefix;
    PyObject* scope_fence;
    PyObject* restrict_scope;
    PyObject* fmt_spend_cap;
    PyObject* fmt_flag_over;
    PyObject* fmt_deny;
    PyObject* fmt_allow;
    PyObject* fmt_cap_charges;
    PyObject* fmt_flag_large_charges;
    PyObject* fmt_deny_writes;
    PyObject* scope_fence_error;
    // Keyword-name tuples of the calls the factories make.
    PyObject* kw_stage;             // ("stage",)
    PyObject* kw_stage_where;       // ("stage", "where")
    PyObject* kw_field;             // ("field",)
    PyObject* kw_method_stage;      // ("method", "stage")
    PyObject* kw_on_rule_action;    // ("on", "rule", "action")
};

extern Strings strings;

// Makes whichever strings an earlier exec did not.
bool init_strings() noexcept;

}  // namespace qba
