// GuardedCall: the call path of a guarded plain function, in one C call. The
// arguments are bound by the function's parameter names and its defaults of
// the moment, the event is built, the policy evaluates it, a decision that
// lets the call through is recorded, and the function is called. Whatever
// this path does not settle itself goes to the guard's Python code, which
// does it as it always has: a call that does not bind (its TypeError is the
// function's own), a decision that blocks or asks, an error while deciding.
#include "engine.hpp"
#include "limits.hpp"

#include <cstddef>

namespace qba::engine {

namespace {

// Bound arguments kept on the stack; a function with more parameters takes
// the general path.
constexpr Py_ssize_t kMaxParameters = 16;

struct GuardedCall {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* fn;         // strong: the function the guard wraps, called with the call's own arguments
    PyObject* callee;     // strong: the function whose defaults fill in (fn, or what fn passes its call on to)
    PyObject* names;      // strong: a tuple of the parameters' names, in order (every one positional or keyword)
    PyObject* evaluate;   // strong: policy.evaluate, or an Evaluator of the guard's stage
    PyObject* stage;      // strong
    PyObject* kind;       // strong: the event's action_type
    PyObject* method;     // strong, or nullptr: the event's method
    PyObject* record;     // strong, or nullptr: record(event, stage, decision)
    PyObject* general;    // strong: the Python path, for a call this one does not bind
    PyObject* decided;    // strong: decided(event, decision) -> the decision the call goes on with, or raises
    PyObject* undecided;  // strong: undecided(event, error), after the policy raised while deciding
};

GuardedCall* as_guarded(PyObject* self) noexcept { return reinterpret_cast<GuardedCall*>(self); }

PyObject* s_action_type = nullptr;  // "action_type", interned; made once, never freed
PyObject* s_method = nullptr;       // "method"
PyObject* s_kwargs = nullptr;       // "kwargs"
PyObject* s_stage_names = nullptr;  // ("stage",): the keyword names of evaluate(event, stage=...)

// Where `key` is among `names`, or -1.
Py_ssize_t position_of(PyObject* names, PyObject* key) noexcept {
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    for (Py_ssize_t at = 0; at < count; ++at) {
        if (PyTuple_GET_ITEM(names, at) == key) {
            return at;
        }
    }
    if (!PyUnicode_CheckExact(key)) {
        return -1;
    }
    for (Py_ssize_t at = 0; at < count; ++at) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, at), key) == 0) {
            return at;
        }
    }
    return -1;
}

// The call's arguments by name, in the parameters' order, as a new dict; a
// null without an exception when they do not bind as plainly as that (too
// many, an unknown or repeated keyword, one missing without a default).
PyObject* bind(GuardedCall* g, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Py_ssize_t count = PyTuple_GET_SIZE(g->names);
    if (nargs > count) {
        return nullptr;
    }
    PyObject* slots[kMaxParameters] = {};  // borrowed
    for (Py_ssize_t at = 0; at < nargs; ++at) {
        slots[at] = args[at];
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        Py_ssize_t at = position_of(g->names, PyTuple_GET_ITEM(kwnames, i));
        if (at < 0 || slots[at]) {
            return nullptr;
        }
        slots[at] = args[nargs + i];
    }
    if (nargs + nkw < count) {
        // The defaults the function has now: they may have been replaced since it was guarded.
        PyObject* defaults = PyFunction_GetDefaults(g->callee);  // borrowed, or null
        Py_ssize_t given = defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
        Py_ssize_t first = count - given;
        for (Py_ssize_t at = 0; at < count; ++at) {
            if (!slots[at]) {
                if (at < first) {
                    return nullptr;
                }
                slots[at] = PyTuple_GET_ITEM(defaults, at - first);
            }
        }
    }
    PyObject* bound = PyDict_New();
    if (!bound) {
        return nullptr;
    }
    for (Py_ssize_t at = 0; at < count; ++at) {
        if (PyDict_SetItem(bound, PyTuple_GET_ITEM(g->names, at), slots[at]) < 0) {
            Py_DECREF(bound);
            return nullptr;
        }
    }
    return bound;
}

PyObject* make_event(GuardedCall* g, PyObject* bound) noexcept {
    PyObject* made = PyDict_New();
    if (!made) {
        return nullptr;
    }
    if (PyDict_SetItem(made, state.stage, g->stage) < 0 ||
        PyDict_SetItem(made, s_action_type, g->kind) < 0 ||
        (g->method && PyDict_SetItem(made, s_method, g->method) < 0) ||
        PyDict_SetItem(made, s_kwargs, bound) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    return made;
}

// The policy raised while deciding: the guard's Python code logs it and
// records it, and it goes on to the caller (an error raised meanwhile goes
// instead, with it as its context, as in an `except` block).
Py_NO_INLINE PyObject* could_not_decide(GuardedCall* g, PyObject* made) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(error, PyExc_Exception)) {
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    PyObject* call_args[] = {made, error};
    Ref told = Ref::steal(PyObject_Vectorcall(g->undecided, call_args, 2, nullptr));
    if (!told) {
        PyObject* later = PyErr_GetRaisedException();
        PyException_SetContext(later, error);  // steals `error`
        PyErr_SetRaisedException(later);
        return nullptr;
    }
    PyErr_SetRaisedException(error);
    return nullptr;
}

// A decision lets the call through as it is when its verdict is the engine's
// own ALLOW or FLAG; any other goes to the guard's Python code.
bool lets_through(PyObject* decision) noexcept {
    PyTypeObject* type = Py_TYPE(decision);
    if (type != state.decision_type && type != limit_types.decision) {
        return false;
    }
    PyObject* verdict = decision_verdict(decision);
    return verdict == state.allow || verdict == state.flag;
}

PyObject* guarded_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) noexcept {
    GuardedCall* g = as_guarded(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!g->fn) {
        PyErr_SetString(PyExc_RuntimeError, "the guarded function was cleared by the garbage collector");
        return nullptr;
    }
    Ref bound = Ref::steal(bind(g, args, nargs, kwnames));
    if (!bound) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        return PyObject_Vectorcall(g->general, args, nargsf, kwnames);
    }
    Ref made = Ref::steal(make_event(g, bound.get()));
    if (!made) {
        return nullptr;
    }
    Ref decision;
    if (Py_TYPE(g->evaluate) == state.evaluator_type) {
        PyObject* call_args[] = {made.get()};
        decision = Ref::steal(PyObject_Vectorcall(g->evaluate, call_args, 1, nullptr));
    } else {
        PyObject* call_args[] = {made.get(), g->stage};
        decision = Ref::steal(PyObject_Vectorcall(g->evaluate, call_args, 1, s_stage_names));
    }
    if (!decision) {
        return could_not_decide(g, made.get());
    }
    if (lets_through(decision.get())) {
        if (g->record) {
            PyObject* call_args[] = {made.get(), g->stage, decision.get()};
            Ref recorded = Ref::steal(PyObject_Vectorcall(g->record, call_args, 3, nullptr));
            if (!recorded) {
                return nullptr;
            }
        }
    } else {
        PyObject* call_args[] = {made.get(), decision.get()};
        decision = Ref::steal(PyObject_Vectorcall(g->decided, call_args, 2, nullptr));
        if (!decision) {
            return nullptr;
        }
    }
    return PyObject_Vectorcall(g->fn, args, nargsf, kwnames);
}

// ---------------------------------------------------------------- lifecycle and GC

// GuardedCall(fn, callee, names, evaluate, stage, action_type, method, record, general, decided, undecided)
PyObject* guarded_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject *fn, *callee, *names, *evaluate, *stage, *kind, *method, *record, *general, *decided,
        *undecided;
    if ((kwargs && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_ParseTuple(args, "OOO!OOOOOOOO:GuardedCall", &fn, &callee, &PyTuple_Type, &names,
                          &evaluate, &stage, &kind, &method, &record, &general, &decided,
                          &undecided)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "GuardedCall() takes no keyword arguments");
        }
        return nullptr;
    }
    if (!PyFunction_Check(callee)) {
        return PyErr_Format(PyExc_TypeError, "GuardedCall(): the callee must be a function, not %T", callee);
    }
    if (PyTuple_GET_SIZE(names) > kMaxParameters) {
        return PyErr_Format(PyExc_ValueError, "GuardedCall(): more than %zd parameters", kMaxParameters);
    }
    for (Py_ssize_t at = 0; at < PyTuple_GET_SIZE(names); ++at) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(names, at))) {
            PyErr_SetString(PyExc_TypeError, "GuardedCall(): the parameter names must be strs");
            return nullptr;
        }
    }
    if (!PyCallable_Check(fn) || !PyCallable_Check(evaluate) || !PyCallable_Check(general) ||
        !PyCallable_Check(decided) || !PyCallable_Check(undecided) ||
        (record != Py_None && !PyCallable_Check(record))) {
        PyErr_SetString(PyExc_TypeError, "GuardedCall(): a callable was expected");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        return nullptr;
    }
    GuardedCall* g = as_guarded(self);
    g->vectorcall = guarded_vectorcall;
    g->fn = Py_NewRef(fn);
    g->callee = Py_NewRef(callee);
    g->names = Py_NewRef(names);
    g->evaluate = Py_NewRef(evaluate);
    g->stage = Py_NewRef(stage);
    g->kind = Py_NewRef(kind);
    g->method = method == Py_None ? nullptr : Py_NewRef(method);
    g->record = record == Py_None ? nullptr : Py_NewRef(record);
    g->general = Py_NewRef(general);
    g->decided = Py_NewRef(decided);
    g->undecided = Py_NewRef(undecided);
    return self;
}

int guarded_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    GuardedCall* g = as_guarded(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->fn);
    Py_VISIT(g->callee);
    Py_VISIT(g->names);
    Py_VISIT(g->evaluate);
    Py_VISIT(g->stage);
    Py_VISIT(g->kind);
    Py_VISIT(g->method);
    Py_VISIT(g->record);
    Py_VISIT(g->general);
    Py_VISIT(g->decided);
    Py_VISIT(g->undecided);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int guarded_clear(PyObject* self) noexcept {
    GuardedCall* g = as_guarded(self);
    Py_CLEAR(g->fn);
    Py_CLEAR(g->callee);
    Py_CLEAR(g->names);
    Py_CLEAR(g->evaluate);
    Py_CLEAR(g->stage);
    Py_CLEAR(g->kind);
    Py_CLEAR(g->method);
    Py_CLEAR(g->record);
    Py_CLEAR(g->general);
    Py_CLEAR(g->decided);
    Py_CLEAR(g->undecided);
    PyObject_ClearManagedDict(self);
    return 0;
}

void guarded_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    guarded_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Looked up on a class, as a function is: bound to the instance it is read from.
PyObject* guarded_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (!instance || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

// Pickled as a function is: by the name it is found under in its module.
PyObject* guarded_reduce(PyObject* self, PyObject*) noexcept {
    return PyObject_GetAttrString(self, "__qualname__");
}

PyObject* guarded_repr(PyObject* self) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(self, "__qualname__"));
    if (!name) {
        PyErr_Clear();
        return PyUnicode_FromFormat("<guarded function at %p>", self);
    }
    return PyUnicode_FromFormat("<guarded function %S at %p>", name.get(), self);
}

PyMemberDef guarded_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(GuardedCall, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef guarded_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef guarded_methods[] = {
    {"__reduce__", guarded_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot guarded_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(guarded_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(guarded_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(guarded_get)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded_repr)},
    {Py_tp_members, guarded_members},
    {Py_tp_methods, guarded_methods},
    {Py_tp_getset, guarded_getset},
    {Py_tp_doc, const_cast<char*>(
        "GuardedCall(fn, callee, names, evaluate, stage, action_type, method, record, general, "
        "decided, undecided, /)\n--\n\n"
        "The call path of a function that guard() wraps, when the function's parameters are\n"
        "plain (positional or keyword, none of them *args, **kwargs or keyword-only).")},
    {0, nullptr},
};

PyType_Spec guarded_spec = {
    "quindle_brevault_agent._engine.GuardedCall",
    sizeof(GuardedCall),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    guarded_slots,
};

bool intern(PyObject*& slot, const char* text) noexcept {
    return slot || (slot = PyUnicode_InternFromString(text)) != nullptr;
}

}  // namespace

bool init_guarded_type(PyObject* module) noexcept {
    if (!intern(s_action_type, "action_type") || !intern(s_method, "method") || !intern(s_kwargs, "kwargs")) {
        return false;
    }
    if (!s_stage_names && !(s_stage_names = PyTuple_Pack(1, state.stage))) {
        return false;
    }
    state.guarded_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &guarded_spec, nullptr));
    return state.guarded_type != nullptr;
}

}  // namespace qba::engine
