// The one function type behind every function of the module and every
// one-event function that a factory builds: a static description of the
// signature, a C++ body, and up to three captured objects.
#pragma once

#include "nesting.hpp"
#include "ref.hpp"

#include <cstdint>

namespace qba {

struct Function;

// A body receives the bound parameters in declaration order (positional ones,
// then the tuple of extra positional arguments where there is one, then the
// keyword-only ones with their defaults filled in), all borrowed for the call.
using Body = PyObject* (*)(Function* self, PyObject* const* args) noexcept;

inline constexpr int kMaxParams = 8;

struct Signature {
    const char* name = nullptr;      // __name__, and the name in argument errors
    const char* qualname = nullptr;  // __qualname__
    const char* doc = nullptr;       // __doc__, or nullptr for None
    std::uint8_t npositional = 0;  // positional-or-keyword parameters
    bool varargs = false;          // takes every further positional argument
    std::uint8_t nkwonly = 0;      // keyword-only parameters, all with defaults
    // Names in bound order: positional, the extra-positional tuple, keyword-only.
    const char* params[kMaxParams] = {};
    const char* defaults[kMaxParams] = {};  // keyword-only defaults; nullptr is None
    Body body = nullptr;
    // __closure__: the captures as the cells of a Python lambda of the same
    // factory would hold them (free variables ordered by name), by index
    // into Function::captures; none for a module-level function.
    std::uint8_t nclosure = 0;
    std::uint8_t closure_order[3] = {};

    // Made by the first exec and kept for the life of the process: functions
    // that outlive a failed exec still read them.
    PyObject* name_obj = nullptr;
    PyObject* qualname_obj = nullptr;
    PyObject* doc_obj = nullptr;
    PyObject* param_objs[kMaxParams] = {};
    PyObject* default_objs[kMaxParams] = {};

    int kwonly_start() const noexcept { return npositional + (varargs ? 1 : 0); }
    int nbound() const noexcept { return kwonly_start() + nkwonly; }
};

struct FunctionAttrs;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature* sig;          // borrowed: static
    FunctionAttrs* attrs;    // owned; made on the first assignment of an attribute
    PyObject* captures[3];   // strong, or nullptr
    PyObject* weakrefs;      // the list of weak references, or nullptr
};

// Creates the function type once per process; false with an exception set
// on failure (a later call tries again).
bool init_function_type() noexcept;

// Creates whichever interned names and defaults of a signature are missing.
bool init_signature(Signature& sig) noexcept;

// A new function over `sig`, holding new references to the captures.
PyObject* make_function(Signature& sig, PyObject* a = nullptr, PyObject* b = nullptr,
                        PyObject* c = nullptr) noexcept;

// A vectorcall of anything but one of our bodies, inside the guard of
// nesting.hpp.
PyObject* call_out(PyObject* callable, PyObject* const* args, size_t nargsf,
                   PyObject* kwnames) noexcept;

}  // namespace qba
