// Global lookup with a cache kept valid by dict watchers: any change to the
// module's namespace or to the builtins bumps a version, and a cached entry
// is used only while its version is current. Without a watcher (CPython
// hands out few) every lookup goes to the dicts.
#include "globals.hpp"

namespace qba {

namespace {

constexpr int kCount = static_cast<int>(Global::count);

constexpr const char* kNames[kCount] = {
    "_get",      "rule",        "trigger",   "behaviour", "spend_cap",
    "flag_over", "deny_list",   "scope_fence", "on_charge", "on_write",
};

struct Entry {
    PyObject* name;      // strong
    PyObject* value;     // borrowed: valid while `version` is current
    std::uint64_t version;
    PyObject* original;  // strong: the module's own function, if any
};

struct GlobalsState {
    PyObject* module_dict = nullptr;  // strong
    PyObject* builtins = nullptr;     // strong
    int watcher = -1;
    // Starts at 1 so that a zeroed entry is never current.
    std::uint64_t version = 1;
    Entry entries[kCount] = {};
};

GlobalsState state;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++state.version;
    return 0;
}

Entry& entry(Global id) noexcept { return state.entries[static_cast<int>(id)]; }

Py_NO_INLINE Ref raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace

bool init_globals(PyObject* module_dict) noexcept {
    state.module_dict = Py_NewRef(module_dict);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return false;
    }
    state.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    for (int i = 0; i < kCount; ++i) {
        if (!(state.entries[i].name = PyUnicode_InternFromString(kNames[i]))) {
            return false;
        }
    }
    int watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) {
        // No watcher to be had: plain lookups at every call.
        PyErr_Clear();
        return true;
    }
    if (PyDict_Watch(watcher, state.module_dict) < 0 ||
        PyDict_Watch(watcher, state.builtins) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(watcher);
        return true;
    }
    state.watcher = watcher;
    return true;
}

void clear_globals() noexcept {
    if (state.watcher >= 0) {
        PyDict_ClearWatcher(state.watcher);
        state.watcher = -1;
    }
    for (Entry& e : state.entries) {
        Py_CLEAR(e.name);
        Py_CLEAR(e.original);
        e.value = nullptr;
        e.version = 0;
    }
    Py_CLEAR(state.module_dict);
    Py_CLEAR(state.builtins);
    ++state.version;
}

void set_original(Global id, PyObject* function) noexcept {
    Py_XSETREF(entry(id).original, Py_NewRef(function));
}

PyObject* original(Global id) noexcept { return entry(id).original; }

bool is_original_cached(Global id) noexcept {
    const Entry& e = entry(id);
    return e.version == state.version && e.value == e.original && e.value != nullptr;
}

Ref lookup_global(Global id) noexcept {
    Entry& e = entry(id);
    if (e.version == state.version) {
        return Ref::borrow(e.value);
    }
    // A lookup can run Python code (a key's __eq__) that changes the dicts;
    // the version read first makes such an entry stale at once.
    std::uint64_t version = state.version;
    Ref value;
    int found = PyDict_GetItemRef(state.module_dict, e.name, value.out());
    if (found == 0) {
        found = PyDict_GetItemRef(state.builtins, e.name, value.out());
    }
    if (found < 0) {
        return Ref();
    }
    if (found == 0) {
        return raise_name_error(e.name);
    }
    if (state.watcher >= 0) {
        e.value = value.get();
        e.version = version;
    }
    return value;
}

}  // namespace qba
