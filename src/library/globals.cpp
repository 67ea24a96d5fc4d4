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

// Made by the first exec and kept for the process; only the namespace
// changes, at each exec.
struct GlobalsState {
    PyObject* module_dict = nullptr;  // strong: the namespace of the last exec
    PyObject* builtins = nullptr;     // strong
    int watcher = -1;
    bool watched = false;  // both dicts are watched, so found objects may be kept
};

GlobalsState state;

using detail::CacheEntry;
using detail::namespace_version;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++namespace_version;
    return 0;
}

CacheEntry& entry(Global id) noexcept { return detail::cache_entries[static_cast<int>(id)]; }

Py_NO_INLINE Ref raise_name_error(PyObject* name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace

namespace detail {
std::uint64_t namespace_version = 1;
CacheEntry cache_entries[kCount] = {};
}  // namespace detail

// Forgets every found object and every original function: the namespace
// they were found in is about to change.
static void drop_cache() noexcept {
    for (CacheEntry& e : detail::cache_entries) {
        Py_CLEAR(e.original);
        e.value = nullptr;
        e.version = 0;
        e.original_version = 0;
    }
    ++namespace_version;
}

bool init_globals(PyObject* module_dict) noexcept {
    drop_cache();
    if (state.module_dict != module_dict) {
        if (state.watched && PyDict_Unwatch(state.watcher, state.module_dict) < 0) {
            PyErr_Clear();
        }
        state.watched = false;
        Py_XSETREF(state.module_dict, Py_NewRef(module_dict));
    }
    for (int i = 0; i < kCount; ++i) {
        CacheEntry& e = detail::cache_entries[i];
        if (!e.name && !(e.name = PyUnicode_InternFromString(kNames[i]))) {
            return false;
        }
    }
    if (!state.builtins) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) {
            return false;
        }
        state.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    }
    if (state.watcher < 0 && (state.watcher = PyDict_AddWatcher(on_dict_event)) < 0) {
        // No watcher to be had: plain lookups at every call.
        PyErr_Clear();
        return true;
    }
    if (PyDict_Watch(state.watcher, state.builtins) < 0 ||
        PyDict_Watch(state.watcher, state.module_dict) < 0) {
        PyErr_Clear();
        return true;
    }
    state.watched = true;
    return true;
}

PyObject* globals_dict() noexcept { return state.module_dict; }

void set_original(Global id, PyObject* function) noexcept {
    CacheEntry& e = entry(id);
    Py_XSETREF(e.original, Py_NewRef(function));
    e.version = 0;
    e.original_version = 0;
}

PyObject* original(Global id) noexcept { return entry(id).original; }

Ref lookup_global(Global id) noexcept {
    CacheEntry& e = entry(id);
    if (e.version == namespace_version) {
        return Ref::borrow(e.value);
    }
    // A lookup can run Python code (a key's __eq__) that changes the dicts;
    // the version read first makes such an entry stale at once.
    std::uint64_t version = namespace_version;
    // Held: that code may also run an exec that binds another namespace.
    Ref module_dict = Ref::borrow(state.module_dict);
    Ref value;
    int found = PyDict_GetItemRef(module_dict.get(), e.name, value.out());
    if (found == 0) {
        found = PyDict_GetItemRef(state.builtins, e.name, value.out());
    }
    if (found < 0) {
        return Ref();
    }
    if (found == 0) {
        return raise_name_error(e.name);
    }
    if (state.watched) {
        e.value = value.get();
        e.version = version;
        e.original_version = value.get() == e.original ? version : 0;
    }
    return value;
}

}  // namespace qba
