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

struct GlobalsState {
    PyObject* module_dict = nullptr;  // strong
    PyObject* builtins = nullptr;     // strong
    int watcher = -1;
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

bool init_globals(PyObject* module_dict) noexcept {
    state.module_dict = Py_NewRef(module_dict);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return false;
    }
    state.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    for (int i = 0; i < kCount; ++i) {
        if (!(detail::cache_entries[i].name = PyUnicode_InternFromString(kNames[i]))) {
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
    for (CacheEntry& e : detail::cache_entries) {
        Py_CLEAR(e.name);
        Py_CLEAR(e.original);
        e.value = nullptr;
        e.version = 0;
        e.original_version = 0;
    }
    Py_CLEAR(state.module_dict);
    Py_CLEAR(state.builtins);
    ++namespace_version;
}

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
        e.original_version = value.get() == e.original ? version : 0;
    }
    return value;
}

}  // namespace qba
