// The module frame: the process-wide strings, the field lookup `_get`, and
// the create and exec steps of the module.
#include "common.hpp"
#include "globals.hpp"
#include "library.hpp"

#include <cstdint>
#include <cstdio>

namespace qba {

Strings strings;

// ---------------------------------------------------------------- strings

namespace {

struct StringSpec {
    PyObject* Strings::*field;
    const char* text;
};

constexpr StringSpec kStrings[] = {
    {&Strings::module_name, "quindle_brevault_agent.library"},
    {&Strings::dunder_module, "__module__"},
    {&Strings::get, "get"},
    {&Strings::kwargs, "kwargs"},
    {&Strings::empty, ""},
    {&Strings::allow, "ALLOW"},
    {&Strings::block, "BLOCK"},
    {&Strings::flag, "FLAG"},
    {&Strings::action_type, "action_type"},
    {&Strings::method, "method"},
    {&Strings::comma, ","},
    {&Strings::require_prefix, "require:"},
    {&Strings::scope_fence, "scope_fence"},
    {&Strings::restrict_scope, "restrict_scope"},
    {&Strings::fmt_spend_cap, "spend_cap<=%s"},
    {&Strings::fmt_flag_over, "flag_over>%s"},
    {&Strings::fmt_deny, "deny_%s"},
    {&Strings::fmt_allow, "allow_%s"},
    {&Strings::fmt_cap_charges, "cap_charges<=%s"},
    {&Strings::fmt_flag_large_charges, "flag_large_charges>%s"},
    {&Strings::fmt_deny_writes, "deny_writes_%s"},
    {&Strings::scope_fence_error, "scope_fence requires at least one non-empty string prefix"},
};

struct KeywordSpec {
    PyObject* Strings::*field;
    const char* names[3];
};

constexpr KeywordSpec kKeywords[] = {
    {&Strings::kw_stage, {"stage", nullptr, nullptr}},
    {&Strings::kw_stage_where, {"stage", "where", nullptr}},
    {&Strings::kw_field, {"field", nullptr, nullptr}},
    {&Strings::kw_method_stage, {"method", "stage", nullptr}},
    {&Strings::kw_on_rule_action, {"on", "rule", "action"}},
};

}  // namespace

bool init_strings() noexcept {
    for (const StringSpec& spec : kStrings) {
        PyObject*& slot = strings.*spec.field;
        if (!slot && !(slot = PyUnicode_InternFromString(spec.text))) {
            return false;
        }
    }
    for (const KeywordSpec& spec : kKeywords) {
        if (strings.*spec.field != nullptr) {
            continue;
        }
        Py_ssize_t n = 0;
        while (n < 3 && spec.names[n]) {
            ++n;
        }
        Ref names = Ref::steal(PyTuple_New(n));
        if (!names) {
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* name = PyUnicode_InternFromString(spec.names[i]);
            if (!name) {
                return false;
            }
            PyTuple_SET_ITEM(names.get(), i, name);
        }
        strings.*spec.field = names.release();
    }
    return true;
}

// ---------------------------------------------------------------- _get

PyObject* get_nested_generic(PyObject* kwargs, PyObject* field) noexcept {
    if (!PyDict_Check(kwargs)) {
        Py_RETURN_NONE;
    }
    int found = PySequence_Contains(kwargs, field);
    if (found < 0) {
        return nullptr;
    }
    if (found == 0) {
        Py_RETURN_NONE;
    }
    return PyObject_GetItem(kwargs, field);
}

// The nested map of an event read through its generic protocols.
static PyObject* get_nested(PyObject* kwargs, PyObject* field) noexcept {
    if (PyDict_CheckExact(kwargs) && PyUnicode_CheckExact(field)) {
        PyObject* value;
        int found = PyDict_GetItemRef(kwargs, field, &value);
        return found == 0 ? Py_NewRef(Py_None) : value;
    }
    return get_nested_generic(kwargs, field);
}

static PyObject* read_field_generic(PyObject* event, PyObject* field) noexcept {
    int found = PySequence_Contains(event, field);
    if (found < 0) {
        return nullptr;
    }
    if (found) {
        return PyObject_GetItem(event, field);
    }
    Ref kwargs = Ref::steal(PyObject_CallMethodOneArg(event, strings.get, strings.kwargs));
    if (!kwargs) {
        return nullptr;
    }
    return get_nested(kwargs.get(), field);
}

// The event's own protocols may be our functions (a `__contains__` that is
// `_get`), which call back here with no Python frame in between.
PyObject* get_field_generic(PyObject* event, PyObject* field) noexcept {
    NestedCall level;
    return level ? read_field_generic(event, field) : nullptr;
}

PyObject* call_rebound_get(PyObject* event, PyObject* field) noexcept {
    Ref get = lookup_global(Global::get);
    if (!get) {
        return nullptr;
    }
    if (get.get() == original(Global::get)) {
        return get_field(event, field);
    }
    PyObject* args[] = {event, field};
    return call_out(get.get(), args, 2, nullptr);
}

static PyObject* get_body(Function*, PyObject* const* args) noexcept {
    return get_field(args[0], args[1]);
}

Signature get_signature = {
    .name = "_get",
    .qualname = "_get",
    .doc = "Field lookup: event top level first, then a nested ``kwargs`` map.",
    .npositional = 2,
    .params = {"event", "field"},
    .body = get_body,
};

// ---------------------------------------------------------------- module

namespace {

constexpr const char kModuleDoc[] =
    "Starter behaviours for quindle-brevault-agent.\n"
    "\n"
    "Ready-made, stateless rules and behaviour factories for the common cases, so a\n"
    "policy is one call rather than a lambda. Every rule here is a pure function of a\n"
    "single event, so it drops straight into ``check_rule`` / ``check_behaviour`` and\n"
    "recomputes cleanly.\n"
    "\n"
    "Each rule reads a field from the event top level and, failing that, from a nested\n"
    "``kwargs`` map, so the same rule works on a flat stage record (a spend_decision)\n"
    "and on a guarded brevault-connect call (where parameters arrive under ``kwargs``).\n";

constexpr const char* kAll[] = {
    "spend_cap", "flag_over",   "allow_list", "deny_list",          "scope_fence",    "require_fields",
    "on_charge", "on_write",    "cap_charges", "flag_large_charges", "deny_writes_to", "restrict_scope",
};

struct ModuleFunction {
    Signature* sig;
    Global global;  // Global::count where no function looks the name up
};

// The order in which the exec step creates and binds them.
const ModuleFunction kFunctions[] = {
    {&get_signature, Global::get},
    {&spend_cap_signature, Global::spend_cap},
    {&flag_over_signature, Global::flag_over},
    {&deny_list_signature, Global::deny_list},
    {&allow_list_signature, Global::count},
    {&scope_fence_signature, Global::scope_fence},
    {&require_fields_signature, Global::count},
    {&on_charge_signature, Global::on_charge},
    {&on_write_signature, Global::on_write},
    {&cap_charges_signature, Global::count},
    {&flag_large_charges_signature, Global::count},
    {&deny_writes_to_signature, Global::count},
    {&restrict_scope_signature, Global::count},
};

constexpr const char* kHostNames[] = {"behaviour", "rule", "trigger"};

std::int64_t owner_interpreter = -1;

// The module object of this process (strong), set when its exec starts;
// nullptr before that and again after a failed exec, so that the next
// import starts again from the beginning.
PyObject* the_module = nullptr;

// The state block that the import system gave the_module at its exec. Each
// re-import hands the existing module to the import system again, which
// replaces the block by a new one (the size of the module state is 0, but
// the block is still allocated, as the marker of an executed module); the
// replaced one is no longer the module's and is freed here.
void* module_state_block = nullptr;

// Calls `fn` on every signature of the module until it returns false.
template <class Fn>
bool for_each_signature(Fn fn) {
    for (const ModuleFunction& mf : kFunctions) {
        if (!fn(*mf.sig)) {
            return false;
        }
    }
    for (int i = 0; i < rule_lambda_signature_count; ++i) {
        if (!fn(*rule_lambda_signatures[i])) {
            return false;
        }
    }
    for (int i = 0; i < trigger_lambda_signature_count; ++i) {
        if (!fn(*trigger_lambda_signatures[i])) {
            return false;
        }
    }
    return true;
}

int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to,
                   bool allow_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (!allow_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module) {
        return Py_NewRef(the_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

bool check_version() noexcept {
    constexpr unsigned long kMajorMinor = 0xFFFF0000UL;
    unsigned long compiled = PY_VERSION_HEX;
    unsigned long running = Py_Version;
    if ((compiled & kMajorMinor) == (running & kMajorMinor)) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  static_cast<int>(compiled >> 24), static_cast<int>((compiled >> 16) & 0xFF),
                  "quindle_brevault_agent.library", "does not match",
                  static_cast<int>(running >> 24), static_cast<int>((running >> 16) & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// The attribute of _impl, else the already imported submodule of that name.
PyObject* import_from(PyObject* impl, PyObject* name) noexcept {
    PyObject* value = PyObject_GetAttr(impl, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        if (const char* impl_name = PyModule_GetName(impl)) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", impl_name, name));
            if (full) {
                value = PyImport_GetModule(full.get());
            }
        }
    }
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

bool bind_host_factories(PyObject* dict) noexcept {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return false;
    }
    for (const char* text : kHostNames) {
        Ref name = Ref::steal(PyUnicode_InternFromString(text));
        if (!name || PyList_Append(fromlist.get(), name.get()) < 0) {
            return false;
        }
    }
    Ref impl_name = Ref::steal(PyUnicode_InternFromString("_impl"));
    if (!impl_name) {
        return false;
    }
    Ref impl = Ref::steal(
        PyImport_ImportModuleLevelObject(impl_name.get(), dict, nullptr, fromlist.get(), 1));
    if (!impl) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
        Ref value = Ref::steal(import_from(impl.get(), name));
        if (!value || PyDict_SetItem(dict, name, value.get()) < 0) {
            return false;
        }
    }
    return true;
}

bool bind_all(PyObject* dict) noexcept {
    constexpr Py_ssize_t n = sizeof kAll / sizeof kAll[0];
    Ref all = Ref::steal(PyList_New(n));
    if (!all) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyUnicode_InternFromString(kAll[i]);
        if (!name) {
            return false;
        }
        PyList_SET_ITEM(all.get(), i, name);
    }
    return PyDict_SetItemString(dict, "__all__", all.get()) == 0;
}

bool init_process_state(PyObject* dict) noexcept {
    if (!init_strings() || !init_function_type() || !init_globals(dict)) {
        return false;
    }
    return for_each_signature(init_signature);
}

bool exec_steps(PyObject* module) noexcept {
    PyObject* dict = PyModule_GetDict(module);
    if (!check_version() || !init_process_state(dict) || !bind_host_factories(dict) ||
        !bind_all(dict)) {
        return false;
    }
    for (const ModuleFunction& mf : kFunctions) {
        Ref function = Ref::steal(make_function(*mf.sig));
        if (!function || PyDict_SetItem(dict, mf.sig->name_obj, function.get()) < 0) {
            return false;
        }
        if (mf.global != Global::count) {
            set_original(mf.global, function.get());
        }
    }
    return true;
}

// The module's state block now, after the import system replaced it.
void take_state_block(PyObject* module) noexcept {
    void* block = PyModule_GetState(module);
    if (block != module_state_block) {
        PyMem_Free(module_state_block);
        module_state_block = block;
    }
}

int module_exec(PyObject* module) noexcept {
    if (the_module) {
        if (the_module == module) {
            // Already running (a load under another name during exec), or
            // a re-import of the module.
            take_state_block(module);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'library' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    module_state_block = PyModule_GetState(module);
    if (!exec_steps(module)) {
        // The process-wide objects stay, for the functions already bound;
        // the failed module keeps its block, which it frees when it goes.
        Py_CLEAR(the_module);
        module_state_block = nullptr;
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "library", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace qba

extern "C" PyMODINIT_FUNC PyInit_library() { return PyModuleDef_Init(&qba::module_def); }
