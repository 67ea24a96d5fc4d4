// What the files of the engine module share: the process-wide objects, the
// verdict ranks, and the types (Decision, Engine, Evaluator, GuardedCall).
#pragma once

#include "nesting.hpp"
#include "ref.hpp"

namespace qba::engine {

// Made once at module exec and never freed: decisions and policies made from
// them may outlive the module object.
struct State {
    PyObject* allow;            // "ALLOW", interned
    PyObject* flag;             // "FLAG", interned
    PyObject* ask;              // "ASK", interned
    PyObject* block;            // "BLOCK", interned
    PyObject* rank_table;       // {"ALLOW": 0, "FLAG": 1, "ASK": 2, "BLOCK": 3}, for str subclasses
    PyObject* add_note;         // "add_note"
    PyObject* stage;            // "stage"
    PyObject* event;            // "event"
    PyObject* frozen_error;     // dataclasses.FrozenInstanceError
    PyTypeObject* hit_type;     // the Hit named tuple
    PyTypeObject* decision_type;
    PyTypeObject* engine_type;
    PyTypeObject* evaluator_type;
    PyTypeObject* guarded_type;
    PyObject* no_hits;          // Decision("ALLOW", ()), shared by every decision without hits
};

extern State state;

inline constexpr int kAllowRank = 0;
inline constexpr int kFlagRank = 1;
inline constexpr int kAskRank = 2;
inline constexpr int kBlockRank = 3;

// How severe `verdict` is: 0 for ALLOW, 1 for FLAG, 2 for ASK, 3 for BLOCK
// and anything else. A verdict that isinstance() takes for a str without being an exact
// one (a str subclass, or an object whose __class__ claims str) is looked up
// in a dict, so that its own __hash__ and __eq__ decide; -1 with an exception
// set when they, or its __class__, raise.
int rank_of(PyObject* verdict) noexcept;

// A Hit(behaviour, rule, verdict); a new reference, or nullptr on error.
PyObject* make_hit(PyObject* behaviour, PyObject* rule, PyObject* verdict) noexcept;

// A Decision over a verdict and a tuple of hits (both borrowed).
PyObject* make_decision(PyObject* verdict, PyObject* hits) noexcept;
// The same, of a subtype of Decision, and a decision's fields (borrowed).
PyObject* make_decision_as(PyTypeObject* type, PyObject* verdict, PyObject* hits) noexcept;
PyObject* decision_verdict(PyObject* decision) noexcept;
PyObject* decision_hits(PyObject* decision) noexcept;

bool init_decision_type(PyObject* module) noexcept;
bool init_engine_types(PyObject* module) noexcept;
bool init_guarded_type(PyObject* module) noexcept;

}  // namespace qba::engine
