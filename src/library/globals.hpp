// Global names of the module, resolved at each use: the module's namespace
// first, then the builtins, as Python code resolves a global name.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace qba {

enum class Global : int {
    get,
    rule,
    trigger,
    behaviour,
    spend_cap,
    flag_over,
    deny_list,
    scope_fence,
    on_charge,
    on_write,
    count,
};

// Binds the lookups to the module's namespace and the builtins, and watches
// both so that a found object can be kept until either changes. Each exec
// binds again; what a failed exec bound stays bound until the next one, so
// that the functions it made still resolve their names.
bool init_globals(PyObject* module_dict) noexcept;

// The namespace the lookups are bound to (borrowed), or nullptr before exec.
PyObject* globals_dict() noexcept;

// Records the module's own function for a name, for the direct-call path.
void set_original(Global id, PyObject* function) noexcept;
PyObject* original(Global id) noexcept;  // borrowed

// The object bound to the name now (a new reference), or nullptr with
// NameError "name '%U' is not defined".
Ref lookup_global(Global id) noexcept;

namespace detail {

struct CacheEntry {
    PyObject* name;      // strong
    PyObject* value;     // borrowed: valid while `version` is current
    std::uint64_t version;
    // The version at which the name was last seen bound to `original`.
    std::uint64_t original_version;
    PyObject* original;  // strong: the module's own function, if any
};

// Bumped by the dict watcher on every change to the module's namespace or
// the builtins; starts at 1 so that a zeroed entry is never current.
extern std::uint64_t namespace_version;
extern CacheEntry cache_entries[static_cast<int>(Global::count)];

}  // namespace detail

// True when the name is known, without running any Python code, to be bound
// to the module's own original function right now.
inline bool is_original_cached(Global id) noexcept {
    return detail::cache_entries[static_cast<int>(id)].original_version ==
           detail::namespace_version;
}

}  // namespace qba
