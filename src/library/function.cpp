// The function type: struct, lifecycle and GC, call paths, attributes, type.
#include "function.hpp"

#include "common.hpp"
#include "globals.hpp"

#include <cstddef>

namespace qba {

// Attributes that a caller assigned; a function that never had one keeps
// none of this, which is what holds a one-event function to 88 bytes.
struct FunctionAttrs {
    PyObject* name;         // strong, or nullptr for the signature's
    PyObject* qualname;     // strong, or nullptr for the signature's
    PyObject* module;       // strong, or nullptr for the module's name
    PyObject* doc;          // strong, or nullptr for the signature's
    PyObject* dict;         // strong, or nullptr before first use
    PyObject* annotations;  // strong, or nullptr before first use
    PyObject* type_params;  // strong, or nullptr for the empty tuple
};

static PyTypeObject* function_type = nullptr;  // strong

// ---------------------------------------------------------------- signatures

static PyObject* intern_or_none(const char* text) noexcept {
    return text ? PyUnicode_InternFromString(text) : Py_NewRef(Py_None);
}

// Fills `slot` unless an earlier exec already did.
static bool ensure_interned(PyObject*& slot, const char* text, bool none_for_null) noexcept {
    if (!slot) {
        slot = none_for_null ? intern_or_none(text) : PyUnicode_InternFromString(text);
    }
    return slot != nullptr;
}

bool init_signature(Signature& sig) noexcept {
    if (!ensure_interned(sig.name_obj, sig.name, false) ||
        !ensure_interned(sig.qualname_obj, sig.qualname, false) ||
        !ensure_interned(sig.doc_obj, sig.doc, true)) {
        return false;
    }
    for (int i = 0; i < sig.nbound(); ++i) {
        if (!ensure_interned(sig.param_objs[i], sig.params[i], false)) {
            return false;
        }
    }
    for (int j = 0; j < sig.nkwonly; ++j) {
        if (!ensure_interned(sig.default_objs[j], sig.defaults[j], true)) {
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------ lifecycle, GC

static void clear_attrs(FunctionAttrs* attrs) noexcept {
    Py_CLEAR(attrs->name);
    Py_CLEAR(attrs->qualname);
    Py_CLEAR(attrs->module);
    Py_CLEAR(attrs->doc);
    Py_CLEAR(attrs->dict);
    Py_CLEAR(attrs->annotations);
    Py_CLEAR(attrs->type_params);
}

// A function whose captures the collector cleared (it sat in a cycle of
// garbage) refuses to run rather than read them.
Py_NO_INLINE static PyObject* vectorcall_cleared(PyObject* callable, PyObject* const*, size_t,
                                                 PyObject*) noexcept {
    PyErr_Format(PyExc_RuntimeError, "%U() was cleared by the garbage collector",
                 reinterpret_cast<Function*>(callable)->sig->qualname_obj);
    return nullptr;
}

static int function_clear(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    f->vectorcall = vectorcall_cleared;
    for (PyObject*& obj : f->captures) {
        Py_CLEAR(obj);
    }
    if (f->attrs) {
        clear_attrs(f->attrs);
    }
    return 0;
}

static int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject* obj : f->captures) {
        Py_VISIT(obj);
    }
    if (FunctionAttrs* attrs = f->attrs) {
        Py_VISIT(attrs->name);
        Py_VISIT(attrs->qualname);
        Py_VISIT(attrs->module);
        Py_VISIT(attrs->doc);
        Py_VISIT(attrs->dict);
        Py_VISIT(attrs->annotations);
        Py_VISIT(attrs->type_params);
    }
    return 0;
}

// The trashcan defers the freeing of captures once the chain of nested
// deallocations gets deep, as CPython's containers do: a rule capturing a
// rule capturing a rule, a few hundred thousand deep, frees without
// overflowing the C stack.
static void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, function_dealloc)
    if (f->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyMem_Free(f->attrs);
    PyObject_GC_Del(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------- call paths

Py_NO_INLINE static PyObject* raise_positional_count(const Signature& sig,
                                                     Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", static_cast<Py_ssize_t>(sig.npositional),
                 sig.npositional == 1 ? "" : "s", given);
    return nullptr;
}

// The value of keyword `name` among the call's keywords, matched by identity
// first and then by string equality; nullptr when it is not there.
static PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues,
                              PyObject* name) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return kwvalues[i];
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) {
            return kwvalues[i];
        }
    }
    return nullptr;
}

static bool same_name(PyObject* param, PyObject* key) noexcept {
    return param == key || PyUnicode_Compare(param, key) == 0;
}

// Index in the bound array of the parameter that keyword `key` names, among
// those that can still take a keyword; -1 when none does.
static int keyword_slot(const Signature& sig, Py_ssize_t first_kw, PyObject* key,
                        bool by_identity) noexcept {
    int kw0 = sig.kwonly_start();
    for (int i = static_cast<int>(first_kw); i < sig.npositional; ++i) {
        if (by_identity ? sig.param_objs[i] == key : same_name(sig.param_objs[i], key)) {
            return i;
        }
    }
    for (int i = kw0; i < sig.nbound(); ++i) {
        if (by_identity ? sig.param_objs[i] == key : same_name(sig.param_objs[i], key)) {
            return i;
        }
    }
    return -1;
}

Py_NO_INLINE static bool raise_multiple_values(const Signature& sig, PyObject* key) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name,
                 key);
    return false;
}

// Assigns every keyword of the call, in order, to its parameter; the first
// keyword that fits none, or names a parameter an earlier keyword filled
// (a vectorcall from C may repeat a name), decides the error.
Py_NO_INLINE static bool bind_keywords(const Signature& sig, Py_ssize_t first_kw,
                                       PyObject* kwnames, PyObject* const* kwvalues,
                                       PyObject** bound) noexcept {
    static_assert(kMaxParams <= 32);
    std::uint32_t filled = 0;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = keyword_slot(sig, first_kw, key, true);
        if (slot < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
                return false;
            }
            slot = keyword_slot(sig, first_kw, key, false);
        }
        if (slot >= 0) {
            if (filled & (1u << slot)) {
                return raise_multiple_values(sig, key);
            }
            filled |= 1u << slot;
            bound[slot] = kwvalues[k];
            continue;
        }
        for (Py_ssize_t i = 0; i < first_kw; ++i) {
            if (same_name(sig.param_objs[i], key)) {
                return raise_multiple_values(sig, key);
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     key);
        return false;
    }
    return true;
}

// Binds a call to the signature's parameters in `bound`; `rest` receives the
// tuple of extra positional arguments of a signature that takes them.
static bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** bound, Ref& rest) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t npos = sig.npositional;
    if (nargs > npos && !sig.varargs) {
        raise_positional_count(sig, nargs);
        return false;
    }
    Py_ssize_t first_kw = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < first_kw; ++i) {
        bound[i] = args[i];
    }
    if (sig.varargs) {
        rest = Ref::steal(PyTuple_New(nargs - first_kw));
        if (!rest) {
            return false;
        }
        for (Py_ssize_t i = first_kw; i < nargs; ++i) {
            PyTuple_SET_ITEM(rest.get(), i - first_kw, Py_NewRef(args[i]));
        }
        bound[npos] = rest.get();
    }
    // Required parameters that the positional arguments left open: the
    // first one that no keyword fills is reported with its position.
    Py_ssize_t kw_left = nkw;
    for (Py_ssize_t i = first_kw; i < npos; ++i) {
        PyObject* value = nkw ? find_keyword(kwnames, kwvalues, sig.param_objs[i]) : nullptr;
        if (!value) {
            raise_positional_count(sig, i);
            return false;
        }
        bound[i] = value;
        --kw_left;
    }
    int kw0 = sig.kwonly_start();
    for (int j = 0; j < sig.nkwonly; ++j) {
        bound[kw0 + j] = sig.default_objs[j];
    }
    return kw_left <= 0 || bind_keywords(sig, first_kw, kwnames, kwvalues, bound);
}

Py_NO_INLINE static PyObject* call_general(Function* f, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    PyObject* bound[kMaxParams];
    Ref rest;
    if (!bind_arguments(*f->sig, args, nargs, kwnames, bound, rest)) {
        return nullptr;
    }
    return f->sig->body(f, bound);
}

// Signatures of positional parameters only: an exact call goes straight to
// the body with the caller's own argument array.
static PyObject* vectorcall_positional(PyObject* callable, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == f->sig->npositional) [[likely]] {
        return f->sig->body(f, args);
    }
    return call_general(f, args, nargs, kwnames);
}

// Signatures with keyword-only parameters: an exact positional call only
// needs the defaults filled in, on the stack.
static PyObject* vectorcall_with_defaults(PyObject* callable, PyObject* const* args,
                                          size_t nargsf, PyObject* kwnames) noexcept {
    auto* f = reinterpret_cast<Function*>(callable);
    const Signature& sig = *f->sig;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && nargs == sig.npositional && !sig.varargs) {
        PyObject* bound[kMaxParams];
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            bound[i] = args[i];
        }
        for (int j = 0; j < sig.nkwonly; ++j) {
            bound[sig.npositional + j] = sig.default_objs[j];
        }
        return sig.body(f, bound);
    }
    return call_general(f, args, nargs, kwnames);
}

PyObject* call_out(PyObject* callable, PyObject* const* args, size_t nargsf,
                   PyObject* kwnames) noexcept {
    NestedCall level;
    return level ? PyObject_Vectorcall(callable, args, nargsf, kwnames) : nullptr;
}

PyObject* make_function(Signature& sig, PyObject* a, PyObject* b, PyObject* c) noexcept {
    auto* f = PyObject_GC_New(Function, function_type);
    if (!f) {
        return nullptr;
    }
    f->vectorcall = (sig.nkwonly == 0 && !sig.varargs) ? vectorcall_positional
                                                       : vectorcall_with_defaults;
    f->sig = &sig;
    f->attrs = nullptr;
    f->captures[0] = Py_XNewRef(a);
    f->captures[1] = Py_XNewRef(b);
    f->captures[2] = Py_XNewRef(c);
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

// ---------------------------------------------------------------- attributes

static FunctionAttrs* ensure_attrs(Function* f) noexcept {
    if (!f->attrs) {
        f->attrs = static_cast<FunctionAttrs*>(PyMem_Calloc(1, sizeof(FunctionAttrs)));
        if (!f->attrs) {
            PyErr_NoMemory();
        }
    }
    return f->attrs;
}

static PyObject* current_qualname(Function* f) noexcept {
    return f->attrs && f->attrs->qualname ? f->attrs->qualname : f->sig->qualname_obj;
}

static PyObject* get_name(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    return Py_NewRef(f->attrs && f->attrs->name ? f->attrs->name : f->sig->name_obj);
}

static int set_string_attr(Function* f, PyObject* FunctionAttrs::*field, PyObject* value,
                           const char* message) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    FunctionAttrs* attrs = ensure_attrs(f);
    if (!attrs) {
        return -1;
    }
    Py_XSETREF(attrs->*field, Py_NewRef(value));
    return 0;
}

static int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string_attr(reinterpret_cast<Function*>(self), &FunctionAttrs::name, value,
                           "__name__ must be set to a string object");
}

static PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(current_qualname(reinterpret_cast<Function*>(self)));
}

static int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string_attr(reinterpret_cast<Function*>(self), &FunctionAttrs::qualname, value,
                           "__qualname__ must be set to a string object");
}

static PyObject* get_dict(PyObject* self, void*) noexcept {
    FunctionAttrs* attrs = ensure_attrs(reinterpret_cast<Function*>(self));
    if (!attrs) {
        return nullptr;
    }
    if (!attrs->dict && !(attrs->dict = PyDict_New())) {
        return nullptr;
    }
    return Py_NewRef(attrs->dict);
}

static int set_dict(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete __dict__");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__dict__ must be set to a dictionary");
        return -1;
    }
    FunctionAttrs* attrs = ensure_attrs(reinterpret_cast<Function*>(self));
    if (!attrs) {
        return -1;
    }
    Py_XSETREF(attrs->dict, Py_NewRef(value));
    return 0;
}

// A descriptor, not only an attribute lookup: pydoc reads a docstring with
// object.__getattribute__.
static PyObject* get_doc(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    return Py_NewRef(f->attrs && f->attrs->doc ? f->attrs->doc : f->sig->doc_obj);
}

static int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    FunctionAttrs* attrs = ensure_attrs(reinterpret_cast<Function*>(self));
    if (!attrs) {
        return -1;
    }
    Py_XSETREF(attrs->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

static PyObject* get_defaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// A dict made on first access and kept, as a Python function without
// annotations has; typing.get_type_hints() reads it.
static PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionAttrs* attrs = ensure_attrs(reinterpret_cast<Function*>(self));
    if (!attrs) {
        return nullptr;
    }
    if (!attrs->annotations && !(attrs->annotations = PyDict_New())) {
        return nullptr;
    }
    return Py_NewRef(attrs->annotations);
}

// A dict, or None (also by deletion) for a new empty dict at the next access.
static int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionAttrs* attrs = ensure_attrs(reinterpret_cast<Function*>(self));
    if (!attrs) {
        return -1;
    }
    Py_XSETREF(attrs->annotations, Py_XNewRef(value));
    return 0;
}

static PyObject* get_type_params(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    if (f->attrs && f->attrs->type_params) {
        return Py_NewRef(f->attrs->type_params);
    }
    return PyTuple_New(0);
}

static int set_type_params(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    FunctionAttrs* attrs = ensure_attrs(reinterpret_cast<Function*>(self));
    if (!attrs) {
        return -1;
    }
    Py_XSETREF(attrs->type_params, Py_NewRef(value));
    return 0;
}

// New cells at each access, so that setting a cell's contents cannot change
// what the function does.
static PyObject* get_closure(PyObject* self, void*) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    const Signature& sig = *f->sig;
    if (sig.nclosure == 0) {
        Py_RETURN_NONE;
    }
    Ref cells = Ref::steal(PyTuple_New(sig.nclosure));
    if (!cells) {
        return nullptr;
    }
    for (int i = 0; i < sig.nclosure; ++i) {
        PyObject* cell = PyCell_New(f->captures[sig.closure_order[i]]);
        if (!cell) {
            return nullptr;
        }
        PyTuple_SET_ITEM(cells.get(), i, cell);
    }
    return cells.release();
}

// A new dict at each access, so that no caller can change a function.
static PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    const Signature& sig = *reinterpret_cast<Function*>(self)->sig;
    if (sig.nkwonly == 0) {
        Py_RETURN_NONE;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    int kw0 = sig.kwonly_start();
    for (int j = 0; j < sig.nkwonly; ++j) {
        if (PyDict_SetItem(dict.get(), sig.param_objs[kw0 + j], sig.default_objs[j]) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

static PyObject* make_parameter(PyObject* parameter_cls, PyObject* name, const char* kind,
                                PyObject* default_value) noexcept {
    Ref kind_obj = Ref::steal(PyObject_GetAttrString(parameter_cls, kind));
    if (!kind_obj) {
        return nullptr;
    }
    if (!default_value) {
        return PyObject_CallFunctionObjArgs(parameter_cls, name, kind_obj.get(), nullptr);
    }
    Ref args = Ref::steal(PyTuple_Pack(2, name, kind_obj.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "default", default_value));
    if (!args || !kwargs) {
        return nullptr;
    }
    return PyObject_Call(parameter_cls, args.get(), kwargs.get());
}

// The real signature for inspect.signature() and help().
static PyObject* get_signature(PyObject* self, void*) noexcept {
    const Signature& sig = *reinterpret_cast<Function*>(self)->sig;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref params = Ref::steal(PyList_New(0));
    if (!parameter_cls || !params) {
        return nullptr;
    }
    int kw0 = sig.kwonly_start();
    for (int i = 0; i < sig.nbound(); ++i) {
        const char* kind = i < sig.npositional ? "POSITIONAL_OR_KEYWORD"
                           : i < kw0           ? "VAR_POSITIONAL"
                                               : "KEYWORD_ONLY";
        PyObject* default_value = i >= kw0 ? sig.default_objs[i - kw0] : nullptr;
        Ref param = Ref::steal(
            make_parameter(parameter_cls.get(), sig.param_objs[i], kind, default_value));
        if (!param || PyList_Append(params.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    return PyObject_CallMethod(inspect.get(), "Signature", "O", params.get());
}

// The namespace where the function resolves global names.
static PyObject* get_globals(PyObject*, void*) noexcept {
    PyObject* dict = globals_dict();
    if (!dict) {
        PyErr_SetString(PyExc_AttributeError, "__globals__");
        return nullptr;
    }
    return Py_NewRef(dict);
}

static PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// __module__ is served here rather than by a descriptor, so that the
// type's own __module__ stays the module's name.
static bool is_name(PyObject* name, PyObject* interned) noexcept {
    return name == interned || (PyUnicode_Check(name) && PyUnicode_Compare(name, interned) == 0);
}

static PyObject* function_getattro(PyObject* self, PyObject* name) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    FunctionAttrs* attrs = f->attrs;
    if (is_name(name, strings.dunder_module)) {
        return Py_NewRef(attrs && attrs->module ? attrs->module : strings.module_name);
    }
    PyObject* result = PyObject_GenericGetAttr(self, name);
    if (result || !attrs || !attrs->dict || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return result;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    // Held, since the lookup may run a key's __eq__ that replaces __dict__.
    Ref dict = Ref::borrow(attrs->dict);
    int found = PyDict_GetItemRef(dict.get(), name, &result);
    if (found == 0) {
        PyErr_SetRaisedException(error.release());
    }
    return result;
}

Py_NO_INLINE static int del_missing(PyObject* name) noexcept {
    PyErr_Format(PyExc_AttributeError, "'function' object has no attribute '%U'", name);
    return -1;
}

static int function_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    auto* f = reinterpret_cast<Function*>(self);
    if (!PyUnicode_Check(name)) {
        return PyObject_GenericSetAttr(self, name, value);
    }
    if (is_name(name, strings.dunder_module)) {
        FunctionAttrs* attrs = ensure_attrs(f);
        if (!attrs) {
            return -1;
        }
        Py_XSETREF(attrs->module, Py_NewRef(value ? value : Py_None));
        return 0;
    }
    // What the type defines (descriptors, methods) is set the generic way;
    // any other name is an entry of the function's __dict__.
    Ref type_dict = Ref::steal(PyType_GetDict(Py_TYPE(self)));
    int on_type = type_dict ? PyDict_Contains(type_dict.get(), name) : -1;
    if (on_type < 0) {
        return -1;
    }
    if (on_type || PyUnicode_CompareWithASCIIString(name, "__class__") == 0) {
        return PyObject_GenericSetAttr(self, name, value);
    }
    Ref dict = Ref::steal(get_dict(self, nullptr));
    if (!dict) {
        return -1;
    }
    if (value) {
        return PyDict_SetItem(dict.get(), name, value);
    }
    int removed = PyDict_Pop(dict.get(), name, nullptr);
    if (removed < 0) {
        return -1;
    }
    return removed ? 0 : del_missing(name);
}

static PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>",
                                current_qualname(reinterpret_cast<Function*>(self)), self);
}

// Bound as a method when stored on a class, like a Python function.
static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

// Module-level functions pickle by name; one-event functions, whose
// qualified name holds "<locals>", fail to, as lambdas do.
static PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(current_qualname(reinterpret_cast<Function*>(self)));
}

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---------------------------------------------------------------- type

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

static PyType_Spec function_spec = {
    "quindle_brevault_agent.library.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

bool init_function_type() noexcept {
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    }
    return function_type != nullptr;
}

}  // namespace qba
