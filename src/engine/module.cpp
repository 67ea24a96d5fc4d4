// The module frame of quindle_brevault_agent._engine: the process-wide
// objects, the Hit named tuple, and the exec step.
#include "engine.hpp"
#include "limits.hpp"

#include <cstdint>

namespace qba::engine {

State state;

namespace {

const char kModuleDoc[] =
    "The native policy engine behind quindle_brevault_agent._impl.Policy.\n"
    "\n"
    "Engine is the base type of Policy: it takes the behaviours apart once, at\n"
    "construction, and evaluates them as a whole. Decision and Hit are what an\n"
    "evaluation returns.";

const char kHitDoc[] =
    "An applied behaviour whose verdict is not ALLOW: its name, its rule's name, the verdict.";

std::int64_t owner_interpreter = -1;

bool intern(PyObject*& slot, const char* text) noexcept {
    return (slot = PyUnicode_InternFromString(text)) != nullptr;
}

bool init_strings() noexcept {
    return intern(state.allow, "ALLOW") && intern(state.flag, "FLAG") &&
           intern(state.ask, "ASK") && intern(state.block, "BLOCK") &&
           intern(state.add_note, "add_note") && intern(state.stage, "stage") &&
           intern(state.event, "event");
}

bool init_rank_table() noexcept {
    state.rank_table = Py_BuildValue("{OiOiOiOi}", state.allow, kAllowRank, state.flag, kFlagRank,
                                     state.ask, kAskRank, state.block, kBlockRank);
    return state.rank_table != nullptr;
}

bool init_frozen_error() noexcept {
    Ref dataclasses = Ref::steal(PyImport_ImportModule("dataclasses"));
    state.frozen_error =
        dataclasses ? PyObject_GetAttrString(dataclasses.get(), "FrozenInstanceError") : nullptr;
    return state.frozen_error != nullptr;
}

// Hit is a named tuple whose instances the engine fills in directly, so it
// must be a tuple subclass with nothing beyond the tuple's items.
bool init_hit_type() noexcept {
    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    Ref namedtuple = collections
                         ? Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"))
                         : Ref();
    Ref args = Ref::steal(Py_BuildValue("(s(sss))", "Hit", "behaviour", "rule", "verdict"));
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "module", "quindle_brevault_agent._engine"));
    if (!namedtuple || !args || !kwargs) {
        return false;
    }
    Ref hit = Ref::steal(PyObject_Call(namedtuple.get(), args.get(), kwargs.get()));
    Ref doc = Ref::steal(PyUnicode_FromString(kHitDoc));
    if (!hit || !doc || PyObject_SetAttrString(hit.get(), "__doc__", doc.get()) < 0) {
        return false;
    }
    // The field annotations of a typing.NamedTuple, for get_type_hints().
    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    Ref any = typing ? Ref::steal(PyObject_GetAttrString(typing.get(), "Any")) : Ref();
    Ref annotations = any ? Ref::steal(Py_BuildValue("{sOsOsO}", "behaviour", any.get(), "rule",
                                                     any.get(), "verdict", any.get()))
                          : Ref();
    if (!annotations ||
        PyObject_SetAttrString(hit.get(), "__annotations__", annotations.get()) < 0) {
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(hit.get());
    if (!PyType_Check(hit.get()) || !PyType_IsSubtype(type, &PyTuple_Type) ||
        type->tp_basicsize != PyTuple_Type.tp_basicsize || type->tp_dictoffset != 0) {
        PyErr_SetString(PyExc_ImportError, "Hit is not a plain named tuple");
        return false;
    }
    state.hit_type = reinterpret_cast<PyTypeObject*>(hit.release());
    return true;
}

bool add_objects(PyObject* module) noexcept {
    return PyModule_AddObjectRef(module, "Hit", reinterpret_cast<PyObject*>(state.hit_type)) == 0 &&
           PyModule_AddObjectRef(module, "Decision",
                                 reinterpret_cast<PyObject*>(state.decision_type)) == 0 &&
           PyModule_AddObjectRef(module, "Engine",
                                 reinterpret_cast<PyObject*>(state.engine_type)) == 0 &&
           PyModule_AddObjectRef(module, "Evaluator",
                                 reinterpret_cast<PyObject*>(state.evaluator_type)) == 0 &&
           PyModule_AddObjectRef(module, "GuardedCall",
                                 reinterpret_cast<PyObject*>(state.guarded_type)) == 0;
}

// The process-wide objects are made by the first exec and kept for good; a
// later exec (the module imported anew) binds the same ones.
int module_exec(PyObject* module) noexcept {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return -1;
    }
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "quindle_brevault_agent._engine can only be loaded into one interpreter "
                        "per process");
        return -1;
    }
    if (state.no_hits) {
        return add_objects(module) && add_limits_objects(module) ? 0 : -1;
    }
    if (!init_strings() || !init_rank_table() || !init_frozen_error() || !init_hit_type() ||
        !init_decision_type(module) || !init_engine_types(module) || !init_guarded_type(module) ||
        !init_limits_types(module)) {
        // What was made stays: nothing frees it, and a retried import makes it anew.
        state = State{};
        return -1;
    }
    return add_objects(module) && add_limits_objects(module) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_engine", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace

}  // namespace qba::engine

extern "C" PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&qba::engine::module_def); }
