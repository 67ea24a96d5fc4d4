// Verdict ranks, hits, and the Decision type: struct, lifecycle and GC,
// comparison and hashing, attributes, type.
#include "engine.hpp"

#include <cstddef>

namespace qba::engine {

// ---------------------------------------------------------------- ranks

// A verdict that is a str subclass: its own __hash__ and __eq__ run in the
// lookup, as they would in a dict of the three standard verdicts.
Py_NO_INLINE static int rank_by_lookup(PyObject* verdict) noexcept {
    PyObject* found = nullptr;
    int present = PyDict_GetItemRef(state.rank_table, verdict, &found);
    if (present <= 0) {
        return present < 0 ? -1 : kBlockRank;
    }
    long rank = PyLong_AsLong(found);
    Py_DECREF(found);
    return static_cast<int>(rank);
}

// Any other verdict ranks with BLOCK, unless isinstance(verdict, str) holds
// all the same, through a __class__ that claims str: then it is looked up as
// a str subclass is.
Py_NO_INLINE static int rank_of_other(PyObject* verdict) noexcept {
    int claims_str = PyObject_IsInstance(verdict, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (claims_str <= 0) {
        return claims_str < 0 ? -1 : kBlockRank;
    }
    return rank_by_lookup(verdict);
}

// An exact str equal to a standard verdict, but another object.
Py_NO_INLINE static int rank_by_text(PyObject* verdict) noexcept {
    if (PyUnicode_Compare(verdict, state.allow) == 0) {
        return kAllowRank;
    }
    if (PyUnicode_Compare(verdict, state.flag) == 0) {
        return kFlagRank;
    }
    return PyUnicode_Compare(verdict, state.ask) == 0 ? kAskRank : kBlockRank;
}

int rank_of(PyObject* verdict) noexcept {
    if (verdict == state.allow) {
        return kAllowRank;
    }
    if (verdict == state.flag) {
        return kFlagRank;
    }
    if (verdict == state.block) {
        return kBlockRank;
    }
    if (verdict == state.ask) {
        return kAskRank;
    }
    if (PyUnicode_CheckExact(verdict)) {
        return rank_by_text(verdict);
    }
    if (PyUnicode_Check(verdict)) {
        return rank_by_lookup(verdict);
    }
    return rank_of_other(verdict);
}

// ---------------------------------------------------------------- hits

// Filled the way tuple.__new__ fills an instance of a tuple subclass; the
// named tuple has no fields beyond its items.
PyObject* make_hit(PyObject* behaviour, PyObject* rule, PyObject* verdict) noexcept {
    PyTypeObject* type = state.hit_type;
    PyObject* hit = type->tp_alloc(type, 3);
    if (!hit) {
        return nullptr;
    }
    PyTuple_SET_ITEM(hit, 0, Py_NewRef(behaviour));
    PyTuple_SET_ITEM(hit, 1, Py_NewRef(rule));
    PyTuple_SET_ITEM(hit, 2, Py_NewRef(verdict));
    return hit;
}

// ---------------------------------------------------------------- Decision

struct Decision {
    PyObject_HEAD
    PyObject* verdict;  // strong
    PyObject* hits;     // strong
};

static Decision* as_decision(PyObject* self) noexcept { return reinterpret_cast<Decision*>(self); }

static PyObject* decision_alloc(PyTypeObject* type, PyObject* verdict, PyObject* hits) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        as_decision(self)->verdict = Py_NewRef(verdict);
        as_decision(self)->hits = Py_NewRef(hits);
    }
    return self;
}

PyObject* make_decision(PyObject* verdict, PyObject* hits) noexcept {
    return decision_alloc(state.decision_type, verdict, hits);
}

PyObject* make_decision_as(PyTypeObject* type, PyObject* verdict, PyObject* hits) noexcept {
    return decision_alloc(type, verdict, hits);
}

PyObject* decision_verdict(PyObject* decision) noexcept { return as_decision(decision)->verdict; }

PyObject* decision_hits(PyObject* decision) noexcept { return as_decision(decision)->hits; }

static PyObject* decision_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"verdict", "hits", nullptr};
    PyObject* verdict = nullptr;
    PyObject* hits = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Decision", const_cast<char**>(keywords),
                                     &verdict, &hits)) {
        return nullptr;
    }
    Ref empty;
    if (!hits) {
        empty = Ref::steal(PyTuple_New(0));
        if (!empty) {
            return nullptr;
        }
        hits = empty.get();
    }
    return decision_alloc(type, verdict, hits);
}

static int decision_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_decision(self)->verdict);
    Py_VISIT(as_decision(self)->hits);
    return 0;
}

static int decision_clear(PyObject* self) noexcept {
    Py_CLEAR(as_decision(self)->verdict);
    Py_CLEAR(as_decision(self)->hits);
    return 0;
}

static void decision_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, decision_dealloc)
    decision_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// A decision that the collector cleared has lost its fields.
Py_NO_INLINE static PyObject* raise_cleared() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "the decision was cleared by the garbage collector");
    return nullptr;
}

// ---------------------------------------------------------------- value

// A decision may hold decisions (as its verdict, or in a hit's), nested as
// deep as a caller likes: ==, hash and repr go down through them inside the
// nesting guard, so that a deep one ends in RecursionError, not at the end
// of the C stack.
//
// Equal when of the same class with equal (verdict, hits), compared as the
// pair's tuple compares them; any other comparison is not implemented.
static PyObject* decision_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Decision* a = as_decision(self);
    Decision* b = as_decision(other);
    if (!a->verdict || !b->verdict) {
        return raise_cleared();
    }
    Ref ours = Ref::steal(PyTuple_Pack(2, a->verdict, a->hits));
    Ref theirs = Ref::steal(PyTuple_Pack(2, b->verdict, b->hits));
    if (!ours || !theirs) {
        return nullptr;
    }
    NestedCall level(" in comparison");
    return level ? PyObject_RichCompare(ours.get(), theirs.get(), op) : nullptr;
}

static Py_hash_t decision_hash(PyObject* self) noexcept {
    Decision* d = as_decision(self);
    if (!d->verdict) {
        raise_cleared();
        return -1;
    }
    Ref pair = Ref::steal(PyTuple_Pack(2, d->verdict, d->hits));
    if (!pair) {
        return -1;
    }
    NestedCall level(" while hashing a decision");
    return level ? PyObject_Hash(pair.get()) : -1;
}

static PyObject* decision_repr(PyObject* self) noexcept {
    Decision* d = as_decision(self);
    if (!d->verdict) {
        return raise_cleared();
    }
    int busy = Py_ReprEnter(self);
    if (busy != 0) {
        return busy > 0 ? PyUnicode_FromString("...") : nullptr;
    }
    PyObject* text = nullptr;
    if (NestedCall level(" while getting the repr of an object"); level) {
        Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(self)));
        text = name ? PyUnicode_FromFormat("%U(verdict=%R, hits=%R)", name.get(), d->verdict,
                                           d->hits)
                    : nullptr;
    }
    Py_ReprLeave(self);
    return text;
}

static PyObject* decision_reduce(PyObject* self, PyObject*) noexcept {
    Decision* d = as_decision(self);
    if (!d->verdict) {
        return raise_cleared();
    }
    return Py_BuildValue("O(OO)", Py_TYPE(self), d->verdict, d->hits);
}

// Assigning or deleting any attribute fails as on a frozen dataclass.
static int decision_setattro(PyObject*, PyObject* name, PyObject* value) noexcept {
    PyObject* message = PyUnicode_FromFormat(
        value ? "cannot assign to field %R" : "cannot delete field %R", name);
    if (message) {
        PyErr_SetObject(state.frozen_error, message);
        Py_DECREF(message);
    }
    return -1;
}

static PyObject* get_blocked(PyObject* self, void*) noexcept {
    Decision* d = as_decision(self);
    if (!d->verdict) {
        return raise_cleared();
    }
    int rank = rank_of(d->verdict);
    if (rank < 0) {
        return nullptr;
    }
    return PyBool_FromLong(rank == kBlockRank);
}

static PyObject* get_needs_approval(PyObject* self, void*) noexcept {
    Decision* d = as_decision(self);
    if (!d->verdict) {
        return raise_cleared();
    }
    int rank = rank_of(d->verdict);
    if (rank < 0) {
        return nullptr;
    }
    return PyBool_FromLong(rank == kAskRank);
}

static PyMemberDef decision_members[] = {
    {"verdict", Py_T_OBJECT_EX, offsetof(Decision, verdict), Py_READONLY,
     "The most severe verdict of the behaviours that applied, \"ALLOW\" when none objected."},
    {"hits", Py_T_OBJECT_EX, offsetof(Decision, hits), Py_READONLY,
     "A Hit for each applied behaviour whose verdict is not ALLOW, in policy order."},
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef decision_getset[] = {
    {"blocked", get_blocked, nullptr,
     "True when the verdict is BLOCK or a verdict that ranks with it.", nullptr},
    {"needs_approval", get_needs_approval, nullptr,
     "True when the verdict is ASK: the action waits for a person's approval.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef decision_methods[] = {
    {"__reduce__", decision_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- type

static const char decision_doc[] =
    "Decision(verdict, hits=())\n"
    "--\n"
    "\n"
    "What a policy decided on one event.\n"
    "\n"
    "`verdict` is the most severe verdict among the behaviours that applied\n"
    "(BLOCK over ASK over FLAG over ALLOW, \"ALLOW\" when none applied). A verdict\n"
    "that is none of the four ranks with BLOCK and is kept as it is; among verdicts of\n"
    "the same rank the first in policy order is the decision's. `hits` holds a\n"
    "`Hit` for each applied behaviour whose verdict is not ALLOW, in policy order.\n"
    "Decisions are immutable, equal by value, hashable and picklable.";

static PyType_Slot decision_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decision_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decision_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decision_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decision_clear)},
    {Py_tp_richcompare, reinterpret_cast<void*>(decision_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(decision_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(decision_repr)},
    {Py_tp_setattro, reinterpret_cast<void*>(decision_setattro)},
    {Py_tp_members, decision_members},
    {Py_tp_getset, decision_getset},
    {Py_tp_methods, decision_methods},
    {Py_tp_doc, const_cast<char*>(decision_doc)},
    {0, nullptr},
};

static PyType_Spec decision_spec = {
    "quindle_brevault_agent._engine.Decision",
    sizeof(Decision),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    decision_slots,
};

bool init_decision_type(PyObject* module) noexcept {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &decision_spec, nullptr));
    if (!type) {
        return false;
    }
    Ref match_args = Ref::steal(Py_BuildValue("(ss)", "verdict", "hits"));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!match_args || !empty ||
        PyObject_SetAttrString(type.get(), "__match_args__", match_args.get()) < 0) {
        return false;
    }
    state.decision_type = reinterpret_cast<PyTypeObject*>(type.get());
    state.no_hits = make_decision(state.allow, empty.get());
    if (!state.no_hits) {
        state.decision_type = nullptr;
        return false;
    }
    type.release();
    return true;
}

}  // namespace qba::engine
