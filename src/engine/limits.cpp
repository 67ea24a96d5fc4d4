// A policy's limits (the Limits type): what each limit of the policy is,
// the store and the clock; the check and the admission of an event's
// limits; refunds; and the LimitedDecision type, a decision that carries
// what its limits admitted.
#include "limits.hpp"

#include <cmath>
#include <new>
#include <utility>

namespace qba::engine {

Request& Request::operator=(Request&& other) noexcept {
    if (this != &other) {
        spec = other.spec;
        rule = other.rule;
        slot = other.slot;
        key = std::move(other.key);
        amount = std::move(other.amount);
        blocks = other.blocks;
        asks = other.asks;
        hit = other.hit;
        readable = other.readable;
        asked = other.asked;
        fits = other.fits;
        admitted = other.admitted;
        used = std::move(other.used);
        id = other.id;
        expires = other.expires;
        PyObject* old = token;
        token = std::exchange(other.token, nullptr);
        window = other.window;
        Py_XDECREF(old);
    }
    return *this;
}

namespace {

// One limit of a policy.
struct Spec {
    PyObject* rule;      // strong: the LimitRule
    PyObject* name;      // strong: the behaviour's name
    PyObject* limit_id;  // strong: the window's identity in the store, "KIND:NAME"
    PyObject* hit;       // strong: Hit(name, rule name, verdict)
    PyObject* cap_text;  // strong: the limit as a plain decimal text
    Slot* slot;          // the MemoryStore's windows, or nullptr
    Py_ssize_t position;
    bool blocks;
    bool asks;  // the limit's verdict is ASK
};

struct Limits {
    PyObject_HEAD
    PyObject* store;  // strong
    PyObject* clock;  // strong
    bool memory;        // the store is a MemoryStore
    bool system_clock;  // the clock is time.time
    Py_ssize_t nspecs;
    Spec* specs;  // owned
    Py_ssize_t npositions;
    Py_ssize_t* index_at;  // owned: for each behaviour, its limit or -1
};

Limits* as_limits(PyObject* self) noexcept { return reinterpret_cast<Limits*>(self); }

PyObject* time_time = nullptr;     // time.time, made once
PyObject* decimal_type = nullptr;  // decimal.Decimal
PyObject* admit_name = nullptr;    // "admit"
PyObject* refund_name = nullptr;   // "refund"
PyObject* empty_text = nullptr;    // ""

bool init_names() noexcept {
    if (time_time) {
        return true;
    }
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    Ref now = time ? Ref::steal(PyObject_GetAttrString(time.get(), "time")) : Ref();
    Ref decimal = Ref::steal(PyImport_ImportModule("decimal"));
    Ref type = decimal ? Ref::steal(PyObject_GetAttrString(decimal.get(), "Decimal")) : Ref();
    Ref admit = Ref::steal(PyUnicode_InternFromString("admit"));
    Ref refund = Ref::steal(PyUnicode_InternFromString("refund"));
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!now || !type || !admit || !refund || !empty) {
        return false;
    }
    time_time = now.release();
    decimal_type = type.release();
    admit_name = admit.release();
    refund_name = refund.release();
    empty_text = empty.release();
    return true;
}

void clear_spec(Spec& spec) noexcept {
    Py_CLEAR(spec.rule);
    Py_CLEAR(spec.name);
    Py_CLEAR(spec.limit_id);
    Py_CLEAR(spec.hit);
    Py_CLEAR(spec.cap_text);
}

int limits_clear(PyObject* self) noexcept {
    Limits* l = as_limits(self);
    Spec* specs = std::exchange(l->specs, nullptr);
    Py_ssize_t n = std::exchange(l->nspecs, 0);
    PyMem_Free(std::exchange(l->index_at, nullptr));
    l->npositions = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        clear_spec(specs[i]);
    }
    PyMem_Free(specs);
    Py_CLEAR(l->store);
    Py_CLEAR(l->clock);
    return 0;
}

int limits_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Limits* l = as_limits(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(l->store);
    Py_VISIT(l->clock);
    for (Py_ssize_t i = 0; i < l->nspecs; ++i) {
        Py_VISIT(l->specs[i].rule);
        Py_VISIT(l->specs[i].name);
        Py_VISIT(l->specs[i].hit);
    }
    return 0;
}

void limits_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    limits_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_NO_INLINE PyObject* raise_cleared_limits() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "the policy's limits were cleared by the garbage collector");
    return nullptr;
}

PyObject* rule_of(PyObject* behaviour) noexcept {
    Ref rule = Ref::steal(PyObject_GetAttrString(behaviour, "rule"));
    return rule ? PyObject_GetAttrString(rule.get(), "fn") : nullptr;
}

const char* const kKinds[] = {"budget", "rate_limit", "repeat_limit"};

bool read_spec(Limits* l, PyObject* behaviour, PyObject* fn, Py_ssize_t position,
               Spec& spec) noexcept {
    LimitRule* rule = reinterpret_cast<LimitRule*>(fn);
    spec.position = position;
    spec.rule = Py_NewRef(fn);
    if (!(spec.name = PyObject_GetAttrString(behaviour, "name"))) {
        return false;
    }
    spec.limit_id = PyUnicode_FromFormat("%s:%S", kKinds[static_cast<int>(rule->kind)], spec.name);
    spec.hit = spec.limit_id ? make_hit(spec.name, rule->name, rule->verdict) : nullptr;
    spec.cap_text = spec.hit ? num_str(rule->cap) : nullptr;
    if (!spec.cap_text) {
        return false;
    }
    int rank = rank_of(rule->verdict);
    if (rank < 0) {
        return false;
    }
    spec.blocks = rank == kBlockRank;
    spec.asks = rank == kAskRank;
    if (l->memory && !(spec.slot = memory_slot(l->store, spec.limit_id))) {
        return false;
    }
    for (Py_ssize_t i = 0; i < l->nspecs; ++i) {
        int same = PyUnicode_Compare(l->specs[i].limit_id, spec.limit_id);
        if (same == 0) {
            PyErr_Format(PyExc_ValueError,
                         "behaviours %zd and %zd are both a %s named %R: each limit keeps its "
                         "windows under its name, so they would count every event twice",
                         l->specs[i].position + 1, position + 1,
                         kKinds[static_cast<int>(rule->kind)], spec.name);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* make_limits(PyObject* behaviours, PyObject* store, PyObject* clock) noexcept {
    if (!init_names()) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(behaviours);
    Ref self = Ref::steal(limit_types.limits->tp_alloc(limit_types.limits, 0));
    if (!self) {
        return nullptr;
    }
    Limits* l = as_limits(self.get());
    l->index_at = PyMem_New(Py_ssize_t, n > 0 ? n : 1);
    l->specs = PyMem_New(Spec, n > 0 ? n : 1);
    if (!l->index_at || !l->specs) {
        return PyErr_NoMemory();
    }
    l->npositions = n;
    if (store == nullptr || store == Py_None) {
        l->store = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(limit_types.memory_store));
        if (!l->store) {
            return nullptr;
        }
    } else {
        l->store = Py_NewRef(store);
    }
    l->memory = is_memory_store(l->store);
    if (!l->memory) {
        for (PyObject* name : {admit_name, refund_name}) {
            Ref method = Ref::steal(PyObject_GetAttr(l->store, name));
            if (!method || !PyCallable_Check(method.get())) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "store must be a MemoryStore, a SQLiteStore, a RedisStore or an "
                             "object with admit() and refund(), not %T",
                             l->store);
                return nullptr;
            }
        }
    }
    l->clock = Py_NewRef(clock == nullptr || clock == Py_None ? time_time : clock);
    if (!PyCallable_Check(l->clock)) {
        PyErr_Format(PyExc_TypeError, "clock must be callable, not %T", l->clock);
        return nullptr;
    }
    l->system_clock = l->clock == time_time;
    for (Py_ssize_t i = 0; i < n; ++i) {
        l->index_at[i] = -1;
        PyObject* item = PyTuple_GET_ITEM(behaviours, i);
        Ref fn = Ref::steal(rule_of(item));
        if (!fn) {
            return nullptr;
        }
        if (Py_TYPE(fn.get()) != limit_types.rule) {
            continue;
        }
        Spec& spec = l->specs[l->nspecs];
        spec = Spec{};
        bool read = read_spec(l, item, fn.get(), i, spec);
        if (!read) {
            clear_spec(spec);
            return nullptr;
        }
        l->index_at[i] = l->nspecs++;
    }
    if (l->nspecs == 0) {
        return Py_NewRef(Py_None);
    }
    return self.release();
}

Py_ssize_t limit_index(PyObject* limits, Py_ssize_t position) noexcept {
    Limits* l = as_limits(limits);
    return position < l->npositions ? l->index_at[position] : -1;
}

Py_ssize_t limit_count(PyObject* limits) noexcept { return as_limits(limits)->nspecs; }

PyObject* limits_store(PyObject* limits) noexcept { return as_limits(limits)->store; }

PyObject* limits_clock(PyObject* limits) noexcept { return as_limits(limits)->clock; }

// ---------------------------------------------------------------- LimitedDecision

namespace {

// What a decision admitted, beside its verdict and hits (the type's own
// data): a record per limit checked, in the room here for the usual few.
inline constexpr Py_ssize_t kRoom = 2;

struct Admission {
    PyObject* limits;  // strong: the policy's Limits, or nullptr
    Request* records;  // in `room`, or owned (PyMem)
    Py_ssize_t count;
    bool refunded;
    // A decision that asks holds its requests, admitted by Limits.admit once
    // a person approved: then `admitted_as` is the decision admit made.
    bool pending;
    bool admitting;          // Limits.admit is at work on it
    Py_ssize_t* positions;   // owned (PyMem), while pending: the behaviour of each hit
    PyObject* admitted_as;   // strong, or nullptr
    alignas(Request) unsigned char room[kRoom * sizeof(Request)];
};

Admission* admission_of(PyObject* self) noexcept {
    return static_cast<Admission*>(PyObject_GetTypeData(self, limit_types.decision));
}

int decision_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Admission* a = admission_of(self);
    Py_VISIT(a->limits);
    Py_VISIT(a->admitted_as);
    return state.decision_type->tp_traverse(self, visit, arg);
}

void clear_admission(Admission* a) noexcept {
    Request* records = std::exchange(a->records, nullptr);
    Py_ssize_t count = std::exchange(a->count, 0);
    for (Py_ssize_t i = 0; i < count; ++i) {
        records[i].~Request();
    }
    if (records != reinterpret_cast<Request*>(a->room)) {
        PyMem_Free(records);
    }
    PyMem_Free(std::exchange(a->positions, nullptr));
    Py_CLEAR(a->admitted_as);
    Py_CLEAR(a->limits);
}

int decision_clear(PyObject* self) noexcept {
    clear_admission(admission_of(self));
    return state.decision_type->tp_clear(self);
}

// A decision holds no deep structure: no trashcan is needed.
void decision_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear_admission(admission_of(self));
    state.decision_type->tp_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Equal to any decision with the same verdict and hits, as decisions compare.
PyObject* decision_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, state.decision_type) ||
        (Py_TYPE(other) != state.decision_type && Py_TYPE(other) != limit_types.decision)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Ref ours = Ref::steal(PyTuple_New(2));
    Ref theirs = Ref::steal(PyTuple_New(2));
    if (!ours || !theirs) {
        return nullptr;
    }
    for (auto [pair, from] : {std::pair{ours.get(), self}, std::pair{theirs.get(), other}}) {
        PyObject* verdict = PyObject_GetAttrString(from, "verdict");
        if (!verdict) {
            return nullptr;
        }
        PyTuple_SET_ITEM(pair, 0, verdict);
        PyObject* hits = PyObject_GetAttrString(from, "hits");
        if (!hits) {
            return nullptr;
        }
        PyTuple_SET_ITEM(pair, 1, hits);
    }
    return PyObject_RichCompare(ours.get(), theirs.get(), op);
}

Py_hash_t decision_hash(PyObject* self) noexcept { return state.decision_type->tp_hash(self); }

// A LimitedDecision pickles as the Decision it equals: what it admitted
// belongs to the process that admitted it.
PyObject* decision_reduce(PyObject* self, PyObject*) noexcept {
    Ref verdict = Ref::steal(PyObject_GetAttrString(self, "verdict"));
    Ref hits = verdict ? Ref::steal(PyObject_GetAttrString(self, "hits")) : Ref();
    if (!hits) {
        return nullptr;
    }
    return Py_BuildValue("O(OO)", state.decision_type, verdict.get(), hits.get());
}

// An amount for the reader: a budget's as a Decimal, a count as an int.
PyObject* amount_object(const Num& value, bool count) noexcept {
    Ref text = Ref::steal(num_str(value));
    if (!text) {
        return nullptr;
    }
    if (count) {
        return PyLong_FromUnicodeObject(text.get(), 10);
    }
    return PyObject_CallOneArg(decimal_type, text.get());
}

PyObject* get_limits(PyObject* self, void*) noexcept {
    Admission* a = admission_of(self);
    if (!a->limits) {
        return PyTuple_New(0);
    }
    Limits* l = as_limits(a->limits);
    if (!l->specs) {
        return raise_cleared_limits();
    }
    Py_ssize_t asked = 0;
    for (Py_ssize_t i = 0; i < a->count; ++i) {
        asked += a->records[i].asked ? 1 : 0;
    }
    Ref uses = Ref::steal(PyTuple_New(asked));
    if (!uses) {
        return nullptr;
    }
    for (Py_ssize_t i = 0, at = 0; i < a->count; ++i) {
        const Request& record = a->records[i];
        if (!record.asked) {
            continue;
        }
        const Spec& spec = l->specs[record.spec];
        const LimitRule* rule = record.rule;
        bool count = rule->kind != LimitKind::budget;
        Num left;
        int sign = 0;
        if (!num_cmp(record.used, rule->cap, sign) ||
            (sign < 0 && !num_sub(rule->cap, record.used, left))) {
            return nullptr;
        }
        Ref admitted = Ref::steal(amount_object(record.admitted ? record.amount : Num(0, 0), count));
        Ref remaining = admitted ? Ref::steal(amount_object(left, count)) : Ref();
        if (!remaining) {
            return nullptr;
        }
        PyObject* use = limit_types.use->tp_alloc(limit_types.use, 4);
        if (!use) {
            return nullptr;
        }
        PyTuple_SET_ITEM(use, 0, Py_NewRef(spec.name));
        PyTuple_SET_ITEM(use, 1, Py_NewRef(rule->name));
        PyTuple_SET_ITEM(use, 2, admitted.release());
        PyTuple_SET_ITEM(use, 3, remaining.release());
        PyTuple_SET_ITEM(uses.get(), at++, use);
    }
    return uses.release();
}

PyGetSetDef decision_getset[] = {
    {"limits", get_limits, nullptr,
     "A LimitUse for each limit that was checked, in policy order: the behaviour, its rule,\n"
     "what the decision admitted (0 when it admitted nothing) and what is left.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef decision_methods[] = {
    {"__reduce__", decision_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decision_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decision_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decision_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decision_clear)},
    {Py_tp_richcompare, reinterpret_cast<void*>(decision_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(decision_hash)},
    {Py_tp_getset, decision_getset},
    {Py_tp_methods, decision_methods},
    {Py_tp_doc, const_cast<char*>(
                    "A decision on which a policy's limits were checked: a Decision that\n"
                    "also tells what its limits admitted (`limits`), and is never shared, so\n"
                    "that the policy can refund it. One that asks a person first holds what\n"
                    "it would admit, and admits it when the policy's `admit` is called with\n"
                    "it. It equals the Decision with the same verdict and hits, and pickles\n"
                    "as one.")},
    {0, nullptr},
};

PyType_Spec decision_spec = {
    "quindle_brevault_agent._engine.LimitedDecision",
    -static_cast<int>(sizeof(Admission)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    decision_slots,
};

// ---------------------------------------------------------------- check and admit

// The requests of one decision, on the stack for the usual few.
class Requests {
public:
    explicit Requests(Py_ssize_t count) noexcept
        : items_(count <= kInline ? reinterpret_cast<Request*>(room_)
                                  : static_cast<Request*>(PyMem_Malloc(count * sizeof(Request)))),
          size_(items_ ? count : 0) {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            new (items_ + i) Request();
        }
    }
    Requests(const Requests&) = delete;
    Requests& operator=(const Requests&) = delete;
    ~Requests() {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            items_[i].~Request();
        }
        if (items_ != reinterpret_cast<Request*>(room_)) {
            PyMem_Free(items_);
        }
    }
    bool ok() const noexcept { return items_ != nullptr; }
    Request* data() noexcept { return items_; }
    Py_ssize_t size() const noexcept { return size_; }
    Request& operator[](Py_ssize_t i) noexcept { return items_[i]; }

    // Moves the requests to `a`, as its records.
    bool move_to(Admission* a) noexcept {
        Request* records = size_ <= kRoom ? reinterpret_cast<Request*>(a->room)
                                          : static_cast<Request*>(PyMem_Malloc(size_ * sizeof(Request)));
        if (!records) {
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            new (records + i) Request(std::move(items_[i]));
        }
        a->records = records;
        a->count = size_;
        return true;
    }

private:
    static constexpr Py_ssize_t kInline = 4;
    alignas(Request) unsigned char room_[kInline * sizeof(Request)];
    Request* items_;
    Py_ssize_t size_;
};

Py_NO_INLINE bool raise_bad_clock(PyObject* value) noexcept {
    PyErr_Format(PyExc_ValueError, "the limits' clock returned %R, not a number of seconds", value);
    return false;
}

bool read_now(Limits* l, double& now) noexcept {
    if (l->system_clock) {
        PyTime_t t;
        if (PyTime_Time(&t) < 0) {
            return false;
        }
        now = PyTime_AsSecondsDouble(t);
        return true;
    }
    Ref value = Ref::steal(PyObject_CallNoArgs(l->clock));
    if (!value) {
        return false;
    }
    now = PyFloat_AsDouble(value.get());
    if (now == -1.0 && PyErr_Occurred()) {
        return false;
    }
    return std::isfinite(now) ? true : raise_bad_clock(value.get());
}

// The limits' first step: for each limit that applied, its key and amount;
// an amount that is not one is refused by its limit with its verdict.
bool check_limits(Limits* l, PyObject* event, const Py_ssize_t* applied, Requests& requests) noexcept {
    for (Py_ssize_t i = 0; i < requests.size(); ++i) {
        const Spec& spec = l->specs[applied[i]];
        const LimitRule* rule = reinterpret_cast<const LimitRule*>(spec.rule);
        Request& request = requests[i];
        request.spec = applied[i];
        request.rule = rule;
        request.slot = spec.slot;
        request.blocks = spec.blocks;
        request.asks = spec.asks;
        if (rule->kind == LimitKind::budget) {
            Ref value = Ref::steal(read_field(event, rule->field));
            int read = value ? read_amount(value.get(), request.amount) : -1;
            if (read < 0) {
                return false;
            }
            request.readable = read > 0;
        } else {
            request.amount = Num(1, 0);
        }
        try {
            if (!key_text(*rule, event, request.key)) {
                return false;
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

Py_NO_INLINE bool raise_bad_answer(PyObject* store) noexcept {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError,
                     "%T.admit() must return (admitted, ((entry, used, fits), ...)) with one "
                     "result per request",
                     store);
    }
    return false;
}

// Admission by a store written in Python: one call of store.admit(requests,
// now) with a request (limit_id, key, amount, limit, expires, blocks) per
// limit, which answers (admitted, ((entry, used, fits), ...)).
bool python_admit(Limits* l, Request* all, Py_ssize_t total, double now) noexcept {
    // The requests that the store is asked, in order.
    Indices asked(total);
    if (!asked.ok()) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        if (all[i].asked) {
            asked.add(i);
        }
    }
    Py_ssize_t count = asked.size();
    Ref items = Ref::steal(PyTuple_New(count));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Request& r = all[asked.data()[i]];
        const Spec& spec = l->specs[r.spec];
        r.expires = now + r.rule->per;
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(r.key.data(), static_cast<Py_ssize_t>(r.key.size())));
        Ref amount = key ? Ref::steal(num_str(r.amount)) : Ref();
        PyObject* item = amount ? Py_BuildValue("(OOOOdO)", spec.limit_id, key.get(), amount.get(),
                                                spec.cap_text, r.expires,
                                                r.blocks ? Py_True : Py_False)
                                : nullptr;
        if (!item) {
            return false;
        }
        PyTuple_SET_ITEM(items.get(), i, item);
    }
    Ref when = Ref::steal(PyFloat_FromDouble(now));
    Ref answer = when ? Ref::steal(PyObject_CallMethodObjArgs(l->store, admit_name, items.get(),
                                                                when.get(), nullptr))
                      : Ref();
    if (!answer) {
        return false;
    }
    if (!PyTuple_Check(answer.get()) || PyTuple_GET_SIZE(answer.get()) != 2 ||
        !PyTuple_Check(PyTuple_GET_ITEM(answer.get(), 1)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(answer.get(), 1)) != count) {
        return raise_bad_answer(l->store);
    }
    int admitted = PyObject_IsTrue(PyTuple_GET_ITEM(answer.get(), 0));
    if (admitted < 0) {
        return false;
    }
    PyObject* results = PyTuple_GET_ITEM(answer.get(), 1);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* result = PyTuple_GET_ITEM(results, i);
        if (!PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 3 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(result, 1))) {
            return raise_bad_answer(l->store);
        }
        Request& r = all[asked.data()[i]];
        Py_ssize_t size = 0;
        const char* used = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(result, 1), &size);
        int fits = used ? PyObject_IsTrue(PyTuple_GET_ITEM(result, 2)) : -1;
        if (fits < 0) {
            return false;
        }
        if (parse_amount(used, size, r.used) <= 0) {
            return raise_bad_answer(l->store);
        }
        r.fits = fits;
        r.admitted = admitted && PyTuple_GET_ITEM(result, 0) != Py_None;
        if (r.admitted) {
            Py_XSETREF(r.token, Py_NewRef(PyTuple_GET_ITEM(result, 0)));
        }
    }
    return true;
}

// The limits' second step: the store admits them all or none. A limit that
// refuses an amount that is not one, with a verdict that blocks, refuses
// them all before the store is asked.
bool admit_limits(Limits* l, Requests& requests, double now) noexcept {
    for (Py_ssize_t i = 0; i < requests.size(); ++i) {
        if (!requests[i].readable && requests[i].blocks) {
            return true;
        }
    }
    for (Py_ssize_t i = 0; i < requests.size(); ++i) {
        requests[i].asked = requests[i].readable;
    }
    return l->memory ? memory_admit(l->store, requests.data(), requests.size(), now)
                     : python_admit(l, requests.data(), requests.size(), now);
}

// The hits of `decision`, whose hits come from the behaviours at
// `positions`, with those of the requests `added` says, in policy order; the
// verdict is the first of the most severe. `merged` gets each hit's
// behaviour when it is not nullptr (room for them all). A new
// LimitedDecision of the requests, or nullptr with an exception set.
template <typename Added>
PyObject* merge_hits(Limits* l, PyObject* limits, PyObject* decision, const Py_ssize_t* positions,
                     Requests& requests, Added added, Py_ssize_t* merged) noexcept {
    PyObject* verdict = decision_verdict(decision);
    Ref hits = Ref::borrow(decision_hits(decision));
    Py_ssize_t count = requests.size();
    Py_ssize_t nbase = PyTuple_GET_SIZE(hits.get());
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        extra += added(requests[i]) ? 1 : 0;
    }
    if (extra || merged) {
        Ref all = Ref::steal(PyTuple_New(nbase + extra));
        if (!all) {
            return nullptr;
        }
        Py_ssize_t a = 0;  // the next hit of `decision`
        Py_ssize_t b = 0;  // the next request
        int worst = -1;
        for (Py_ssize_t at = 0; at < nbase + extra; ++at) {
            while (b < count && !added(requests[b])) {
                ++b;
            }
            PyObject* hit;
            Py_ssize_t position;
            if (b < count &&
                (a >= nbase || l->specs[requests[b].spec].position < positions[a])) {
                const Spec& spec = l->specs[requests[b++].spec];
                hit = spec.hit;
                position = spec.position;
            } else {
                position = positions[a];
                hit = PyTuple_GET_ITEM(hits.get(), a++);
            }
            if (merged) {
                merged[at] = position;
            }
            PyTuple_SET_ITEM(all.get(), at, Py_NewRef(hit));
            PyObject* hit_verdict = PyTuple_GET_ITEM(hit, 2);
            int rank = rank_of(hit_verdict);
            if (rank < 0) {
                return nullptr;
            }
            if (rank > worst) {
                worst = rank;
                verdict = hit_verdict;
            }
        }
        hits = std::move(all);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        requests[i].hit = requests[i].hit || added(requests[i]);
    }
    Ref made = Ref::steal(make_decision_as(limit_types.decision, verdict, hits.get()));
    if (!made) {
        return nullptr;
    }
    Admission* a = admission_of(made.get());
    if (!requests.move_to(a)) {
        return nullptr;
    }
    a->limits = Py_NewRef(limits);
    return made.release();
}

}  // namespace

PyObject* decide_limits(PyObject* limits, PyObject* event, PyObject* decision,
                        const Py_ssize_t* hit_positions, const Py_ssize_t* applied,
                        Py_ssize_t napplied, bool asks) noexcept {
    Limits* l = as_limits(limits);
    if (!l->specs) {
        return raise_cleared_limits();
    }
    Requests requests(napplied);
    if (!requests.ok()) {
        return PyErr_NoMemory();
    }
    if (!check_limits(l, event, applied, requests)) {
        return nullptr;
    }
    // A limit that refuses the amount and blocks refuses the event at once:
    // there is nothing to ask about. One that asks makes the decision ask.
    bool blocked = false;
    bool unreadable_asks = false;
    bool strict = false;
    for (Py_ssize_t i = 0; i < napplied; ++i) {
        const Request& r = requests[i];
        blocked = blocked || (!r.readable && r.blocks);
        unreadable_asks = unreadable_asks || (!r.readable && r.asks);
        strict = strict || r.asks;
    }
    asks = !blocked && (asks || unreadable_asks);
    if (!asks) {
        // Before anyone is asked, a limit that asks admits nothing over it:
        // then nothing is admitted, and the decision asks.
        for (Py_ssize_t i = 0; strict && i < napplied; ++i) {
            requests[i].blocks = requests[i].blocks || requests[i].asks;
        }
        double now = 0;
        if (!read_now(l, now) || !admit_limits(l, requests, now)) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; strict && i < napplied; ++i) {
            const Request& r = requests[i];
            if (r.asked && !r.fits) {
                if (l->specs[r.spec].blocks) {
                    asks = false;  // refused: there is nothing to ask about
                    break;
                }
                asks = asks || r.asks;
            }
        }
    }
    // A request refused by its limit: unreadable, or over the limit in the store.
    auto refused = [](const Request& r) { return r.asked ? !r.fits : !r.readable; };
    if (!asks) {
        return merge_hits(l, limits, decision, hit_positions, requests, refused, nullptr);
    }
    Py_ssize_t room = PyTuple_GET_SIZE(decision_hits(decision)) + napplied;
    Py_ssize_t* positions = PyMem_New(Py_ssize_t, room);
    if (!positions) {
        return PyErr_NoMemory();
    }
    PyObject* made = merge_hits(l, limits, decision, hit_positions, requests, refused, positions);
    if (!made) {
        PyMem_Free(positions);
        return nullptr;
    }
    Admission* a = admission_of(made);
    a->positions = positions;
    a->pending = true;
    return made;
}

// ---------------------------------------------------------------- refunds

namespace {

PyObject* limits_refund(PyObject* self, PyObject* decision) noexcept {
    Limits* l = as_limits(self);
    if (!l->specs) {
        return raise_cleared_limits();
    }
    if (Py_TYPE(decision) != limit_types.decision) {
        if (PyObject_TypeCheck(decision, state.decision_type)) {
            Py_RETURN_NONE;  // a decision that no limit admitted
        }
        PyErr_Format(PyExc_TypeError, "refund() takes a Decision, not %T", decision);
        return nullptr;
    }
    Admission* a = admission_of(decision);
    if (!a->limits || a->refunded) {
        Py_RETURN_NONE;
    }
    if (a->limits != self) {
        PyErr_SetString(PyExc_ValueError, "refund(): the decision was made by another policy");
        return nullptr;
    }
    if (l->memory) {
        for (Py_ssize_t i = 0; i < a->count; ++i) {
            const Request& r = a->records[i];
            if (r.admitted) {
                memory_refund(l->store, r.slot, r.key, r.id, r.expires);
            }
        }
        a->refunded = true;
        Py_RETURN_NONE;
    }
    // A store in Python: refund((limit_id, key, entry, amount, expires), ...).
    Py_ssize_t admitted = 0;
    for (Py_ssize_t i = 0; i < a->count; ++i) {
        admitted += a->records[i].admitted ? 1 : 0;
    }
    Ref entries = Ref::steal(PyTuple_New(admitted));
    if (!entries) {
        return nullptr;
    }
    for (Py_ssize_t i = 0, at = 0; i < a->count; ++i) {
        const Request& r = a->records[i];
        if (!r.admitted) {
            continue;
        }
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(r.key.data(), static_cast<Py_ssize_t>(r.key.size())));
        Ref amount = key ? Ref::steal(num_str(r.amount)) : Ref();
        PyObject* entry = amount ? Py_BuildValue("(OOOOd)", l->specs[r.spec].limit_id, key.get(),
                                                 r.token, amount.get(), r.expires)
                                 : nullptr;
        if (!entry) {
            return nullptr;
        }
        PyTuple_SET_ITEM(entries.get(), at++, entry);
    }
    if (admitted) {
        Ref done = Ref::steal(PyObject_CallMethodOneArg(l->store, refund_name, entries.get()));
        if (!done) {
            return nullptr;
        }
    }
    a->refunded = true;
    Py_RETURN_NONE;
}

Py_NO_INLINE PyObject* raise_admitting() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "admit(): the decision is being admitted by another call");
    return nullptr;
}

// The decision that a pending one becomes once its requests are admitted:
// its hits, and those of the limits that did not fit now. A limit whose
// verdict is ASK admits over it, as the person approved; one that blocks
// refuses the decision, and none is admitted.
PyObject* admit_pending(Limits* l, PyObject* limits, PyObject* decision, Admission* a) noexcept {
    Requests requests(a->count);
    if (!requests.ok()) {
        return PyErr_NoMemory();
    }
    try {
        for (Py_ssize_t i = 0; i < a->count; ++i) {
            const Request& held = a->records[i];
            Request& r = requests[i];
            r.spec = held.spec;
            r.rule = held.rule;
            r.slot = held.slot;
            r.key = held.key;
            r.amount = held.amount;
            r.blocks = l->specs[held.spec].blocks;
            r.asks = held.asks;
            r.hit = held.hit;
            r.readable = held.readable;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    double now = 0;
    if (!read_now(l, now) || !admit_limits(l, requests, now)) {
        return nullptr;
    }
    auto added = [](const Request& r) { return r.asked && !r.fits && !r.hit; };
    return merge_hits(l, limits, decision, a->positions, requests, added, nullptr);
}

PyObject* limits_admit(PyObject* self, PyObject* decision) noexcept {
    Limits* l = as_limits(self);
    if (!l->specs) {
        return raise_cleared_limits();
    }
    if (Py_TYPE(decision) != limit_types.decision) {
        if (PyObject_TypeCheck(decision, state.decision_type)) {
            return Py_NewRef(decision);  // nothing to admit
        }
        PyErr_Format(PyExc_TypeError, "admit() takes a Decision, not %T", decision);
        return nullptr;
    }
    Admission* a = admission_of(decision);
    if (!a->pending) {
        return Py_NewRef(decision);
    }
    if (a->limits != self) {
        PyErr_SetString(PyExc_ValueError, "admit(): the decision was made by another policy");
        return nullptr;
    }
    if (a->admitted_as) {
        return Py_NewRef(a->admitted_as);  // admitted once, never twice
    }
    if (a->admitting) {
        return raise_admitting();
    }
    // The store may call out to Python, and another thread may then try to
    // admit the same decision: it is told so rather than admitting twice.
    a->admitting = true;
    PyObject* made = admit_pending(l, self, decision, a);
    a->admitting = false;
    if (made) {
        a->admitted_as = Py_NewRef(made);
    }
    return made;
}

PyObject* get_store(PyObject* self, void*) noexcept {
    Limits* l = as_limits(self);
    return l->store ? Py_NewRef(l->store) : raise_cleared_limits();
}

PyObject* get_clock(PyObject* self, void*) noexcept {
    Limits* l = as_limits(self);
    return l->clock ? Py_NewRef(l->clock) : raise_cleared_limits();
}

PyObject* get_rules(PyObject* self, void*) noexcept {
    Limits* l = as_limits(self);
    if (!l->specs) {
        return raise_cleared_limits();
    }
    PyObject* rules = PyTuple_New(l->nspecs);
    for (Py_ssize_t i = 0; rules && i < l->nspecs; ++i) {
        PyTuple_SET_ITEM(rules, i, Py_NewRef(l->specs[i].rule));
    }
    return rules;
}

PyObject* limits_repr(PyObject* self) noexcept {
    Limits* l = as_limits(self);
    if (!l->store) {
        return PyUnicode_FromString("<limits, cleared>");
    }
    return PyUnicode_FromFormat("<%zd limits in %R>", l->nspecs, l->store);
}

PyMethodDef limits_methods[] = {
    {"refund", limits_refund, METH_O,
     "refund($self, decision, /)\n--\n\n"
     "Takes back what `decision` admitted, once; a decision that admitted\n"
     "nothing is left as it is."},
    {"admit", limits_admit, METH_O,
     "admit($self, decision, /)\n--\n\n"
     "Admits what `decision`, one that asked a person first, holds for its\n"
     "limits, once a person approved it, and returns the decision to act on:\n"
     "its hits and what was admitted, or, when a limit that blocks no longer\n"
     "fits, the same with that limit's hit, and nothing admitted. A second\n"
     "call returns the same decision and admits nothing more; a decision that\n"
     "holds nothing to admit is returned as it is."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef limits_getset[] = {
    {"store", get_store, nullptr, "Where the windows are kept.", nullptr},
    {"clock", get_clock, nullptr, "What tells the time, in seconds.", nullptr},
    {"rules", get_rules, nullptr, "The rule of each limit, in policy order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot limits_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(limits_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(limits_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(limits_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(limits_repr)},
    {Py_tp_methods, limits_methods},
    {Py_tp_getset, limits_getset},
    {Py_tp_doc, const_cast<char*>("The limits of a policy: its store, its clock and its limit rules.")},
    {0, nullptr},
};

PyType_Spec limits_spec = {
    "quindle_brevault_agent._engine.Limits",
    sizeof(Limits),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    limits_slots,
};

bool init_use_type() noexcept {
    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    Ref namedtuple = collections
                         ? Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"))
                         : Ref();
    Ref args = Ref::steal(
        Py_BuildValue("(s(ssss))", "LimitUse", "behaviour", "rule", "admitted", "left"));
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "module", "quindle_brevault_agent._engine"));
    if (!namedtuple || !args || !kwargs) {
        return false;
    }
    Ref use = Ref::steal(PyObject_Call(namedtuple.get(), args.get(), kwargs.get()));
    Ref doc = Ref::steal(PyUnicode_FromString(
        "What a decision did with one limit: the behaviour's name, its rule's name, what it "
        "admitted (0 when nothing) and what is left of the limit."));
    if (!use || !doc || PyObject_SetAttrString(use.get(), "__doc__", doc.get()) < 0) {
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(use.get());
    if (!PyType_Check(use.get()) || type->tp_basicsize != PyTuple_Type.tp_basicsize) {
        PyErr_SetString(PyExc_ImportError, "LimitUse is not a plain named tuple");
        return false;
    }
    limit_types.use = reinterpret_cast<PyTypeObject*>(use.release());
    return true;
}

}  // namespace

bool init_limits_types(PyObject* module) noexcept {
    if (!init_limit_rule_type(module) || !init_memory_store_type(module) || !init_use_type()) {
        return false;
    }
    limit_types.limits =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &limits_spec, nullptr));
    limit_types.decision = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(
        module, &decision_spec, reinterpret_cast<PyObject*>(state.decision_type)));
    return limit_types.limits && limit_types.decision;
}

bool add_limits_objects(PyObject* module) noexcept {
    return PyModule_AddObjectRef(module, "LimitRule", reinterpret_cast<PyObject*>(limit_types.rule)) == 0 &&
           PyModule_AddObjectRef(module, "MemoryStore",
                                 reinterpret_cast<PyObject*>(limit_types.memory_store)) == 0 &&
           PyModule_AddObjectRef(module, "Limits", reinterpret_cast<PyObject*>(limit_types.limits)) == 0 &&
           PyModule_AddObjectRef(module, "LimitedDecision",
                                 reinterpret_cast<PyObject*>(limit_types.decision)) == 0 &&
           PyModule_AddObjectRef(module, "LimitUse", reinterpret_cast<PyObject*>(limit_types.use)) == 0;
}

}  // namespace qba::engine
